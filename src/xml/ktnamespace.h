// Namespaces of the document model: interned namespace ids, the expanded name
// KTQName with its comparators, and KTNamespaceContext, the prefix bindings in
// scope at a document node. The XPath tree context and the schema model use it.
#pragma once

#include <map>
#include <memory>
#include <utility>

#include "core/ktstring.h"

class KTXNode;

// The namespace name that Namespaces in XML reserves for the prefix xml.
inline constexpr const char16_t* kXmlNamespaceUri = u"http://www.w3.org/XML/1998/namespace";

// Identity of one entry of the process-wide set of namespace URIs. Interning
// the same text always gives the same id, so ids compare by identity; the id
// of the empty URI means no namespace (and is what a default id holds).
class KTNamespaceId {
 public:
  KTNamespaceId();
  // Interns the text (null counts as empty).
  static KTNamespaceId Intern(const char16_t* uri);
  static KTNamespaceId None() { return KTNamespaceId(); }

  const KTString& Uri() const { return *uri_; }
  bool IsNone() const { return uri_->IsEmpty(); }
  const KTString* Identity() const { return uri_; }

  friend bool operator==(KTNamespaceId a, KTNamespaceId b) { return a.uri_ == b.uri_; }
  friend bool operator!=(KTNamespaceId a, KTNamespaceId b) { return a.uri_ != b.uri_; }

 private:
  explicit KTNamespaceId(const KTString* uri) : uri_(uri) {}
  const KTString* uri_;
};

bool NamespaceIdLess(KTNamespaceId a, KTNamespaceId b);
bool NamespaceIdGreater(KTNamespaceId a, KTNamespaceId b);
bool NamespaceIdEqual(KTNamespaceId a, KTNamespaceId b);
bool NamespaceUriNotEqual(KTNamespaceId id, const char16_t* uri);
bool NamespaceUriEqual(KTNamespaceId id, const char16_t* uri);
bool KTStringLess(const char16_t* a, const char16_t* b);

// Expanded name: local name and namespace id.
struct KTQName {
  KTString localName;
  KTNamespaceId ns;

  KTQName() = default;
  KTQName(const char16_t* local, KTNamespaceId id) : localName(local), ns(id) {}
  KTQName WithLocalName(const char16_t* local) const { return KTQName(local, ns); }
};

// Different namespaces order by identity (stable for the run, unrelated to
// the URI texts); within one namespace names order by UTF-16 code units.
bool QNameLess(const KTQName& a, const KTQName& b);
bool QNameEqual(const KTQName& a, const KTQName& b);
bool QNameNotEqual(const KTQName& a, const KTQName& b);

struct KTQNameLessFn {
  bool operator()(const KTQName& a, const KTQName& b) const { return QNameLess(a, b); }
};

// One prefix binding; a locked binding is never changed by declarations.
struct KTPrefixBinding {
  KTString prefix;
  KTNamespaceId ns;
  bool locked = false;

  // False and no change when locked.
  bool SetPrefix(const char16_t* text);
  // "prefix:local"; with an empty prefix the local name, or "???:local" when
  // markUnbound.
  KTString QualifiedName(const char16_t* localName, bool markUnbound) const;
};

// The prefix bindings in scope at one document node ("xml" and "xmlns"
// pre-bound and locked). A context grows as declarations are added; a cached
// child context serves questions about elements below the context's node.
class KTNamespaceContext {
 public:
  using PrefixMap = std::map<KTString, KTPrefixBinding>;

  KTNamespaceContext(KTXNode* node = nullptr, bool includeAncestors = false);
  // The parent's bindings plus the node's own declarations.
  KTNamespaceContext(const KTNamespaceContext& parent, KTXNode* node);
  virtual ~KTNamespaceContext();
  KTNamespaceContext& operator=(const KTNamespaceContext&) = delete;

  void Reset();
  // Null when an existing binding of the prefix is locked.
  KTPrefixBinding* Bind(const KTString& prefix, KTNamespaceId ns, bool locked);
  void AddDeclarations(KTXNode* node, bool includeAncestors);
  void BindDeclaration(KTXNode* attribute);

  void GetElementQName(KTQName& out, KTXNode* node);
  void ResolveQName(KTQName& out, const char16_t* qualifiedName) const;
  void GetAttributeQName(std::pair<KTQName, KTQName>& out, KTXNode* attribute);
  // first: the attribute's expanded name; second: for an unprefixed
  // attribute the owner element's expanded name, else empty.
  void ResolveAttributeName(std::pair<KTQName, KTQName>& out, const char16_t* attributeName,
                            const char16_t* ownerName) const;

  KTXNode* GetNode() const { return node_; }
  const PrefixMap& GetBindings() const { return map_; }
  const KTPrefixBinding* FindBinding(const KTString& prefix) const;
  const KTPrefixBinding* GetDefaultBinding() const { return default_; }

 private:
  KTNamespaceContext* ChildContextFor(KTXNode* element);

  PrefixMap map_;
  KTXNode* node_ = nullptr;
  std::unique_ptr<KTNamespaceContext> child_;
  KTXNode* childNode_ = nullptr;
  const KTPrefixBinding* default_ = nullptr;
};

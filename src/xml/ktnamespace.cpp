// Interned namespace ids, qualified-name comparators and the namespace
// context of a document node.
#include "xml/ktnamespace.h"

#include <functional>
#include <mutex>
#include <set>

#include "platform/ktwchar.h"
#include "xml/ktxnode.h"

namespace {

// The process-wide URI set: created on first use and never shrunk, so the
// addresses of its entries serve as ids for the whole run. It is never
// destroyed, so ids held by static objects stay valid at exit.
struct UriLess {
  using is_transparent = void;
  bool operator()(const KTString& a, const KTString& b) const { return a.View() < b.View(); }
  bool operator()(const KTString& a, std::u16string_view b) const { return a.View() < b; }
  bool operator()(std::u16string_view a, const KTString& b) const { return a < b.View(); }
};
using UriSetType = std::set<KTString, UriLess>;

UriSetType& UriSet() {
  static UriSetType* set = new UriSetType();
  return *set;
}

// Looked up without a copy; a copy is made only for a new URI.
// Namespace ids may be made on several threads at once (documents loaded
// beside each other): the set is used under a lock.
const KTString* InternText(const char16_t* uri) {
  static std::mutex busy;
  std::lock_guard<std::mutex> lock(busy);
  auto& set = UriSet();
  std::u16string_view key(uri);
  auto it = set.find(key);
  if (it == set.end()) it = set.insert(KTString(key)).first;
  return &*it;
}

const KTString* EmptyUri() {
  static const KTString* empty = InternText(u"");
  return empty;
}

bool StartsWithXmlns(const char16_t* name) { return KTStrNCmp(name, u"xmlns", 5) == 0; }

}  // namespace

KTNamespaceId::KTNamespaceId() : uri_(EmptyUri()) {}

KTNamespaceId KTNamespaceId::Intern(const char16_t* uri) {
  if (!uri || !*uri) return KTNamespaceId();
  return KTNamespaceId(InternText(uri));
}

bool NamespaceIdLess(KTNamespaceId a, KTNamespaceId b) {
  return std::less<const KTString*>()(a.Identity(), b.Identity());
}
bool NamespaceIdGreater(KTNamespaceId a, KTNamespaceId b) { return NamespaceIdLess(b, a); }
bool NamespaceIdEqual(KTNamespaceId a, KTNamespaceId b) { return a == b; }
bool NamespaceUriNotEqual(KTNamespaceId id, const char16_t* uri) { return !NamespaceUriEqual(id, uri); }
bool NamespaceUriEqual(KTNamespaceId id, const char16_t* uri) { return id.Uri() == (uri ? uri : u""); }
bool KTStringLess(const char16_t* a, const char16_t* b) { return KTStrCmp(a ? a : u"", b ? b : u"") < 0; }

bool QNameLess(const KTQName& a, const KTQName& b) {
  if (a.ns != b.ns) return NamespaceIdLess(a.ns, b.ns);
  return a.localName < b.localName;
}
bool QNameEqual(const KTQName& a, const KTQName& b) { return a.ns == b.ns && a.localName == b.localName; }
bool QNameNotEqual(const KTQName& a, const KTQName& b) { return !QNameEqual(a, b); }

bool KTPrefixBinding::SetPrefix(const char16_t* text) {
  if (locked) return false;
  prefix = text;
  return true;
}

KTString KTPrefixBinding::QualifiedName(const char16_t* localName, bool markUnbound) const {
  if (!prefix.IsEmpty()) return prefix + u":" + localName;
  if (markUnbound) return KTString(u"???:") + localName;
  return KTString(localName);
}

// ---- KTNamespaceContext ----

KTNamespaceContext::KTNamespaceContext(KTXNode* node, bool includeAncestors) {
  Reset();
  if (node) AddDeclarations(node, includeAncestors);
}

KTNamespaceContext::KTNamespaceContext(const KTNamespaceContext& parent, KTXNode* node)
    : map_(parent.map_), node_(parent.node_) {
  auto it = map_.find(KTString());
  if (it != map_.end()) default_ = &it->second;
  if (node) AddDeclarations(node, false);
}

KTNamespaceContext::~KTNamespaceContext() = default;

void KTNamespaceContext::Reset() {
  map_.clear();
  default_ = nullptr;
  node_ = nullptr;
  child_.reset();
  childNode_ = nullptr;
  Bind(KTString(u"xml"), KTNamespaceId::Intern(kXmlNamespaceUri), true);
  Bind(KTString(u"xmlns"), KTNamespaceId::None(), true);
}

KTPrefixBinding* KTNamespaceContext::Bind(const KTString& prefix, KTNamespaceId ns, bool locked) {
  auto it = map_.find(prefix);
  if (it == map_.end()) {
    it = map_.emplace(prefix, KTPrefixBinding{prefix, ns, locked}).first;
  } else {
    if (it->second.locked) return nullptr;
    it->second.ns = ns;
    it->second.prefix = prefix;
    it->second.locked = locked;
  }
  if (prefix.IsEmpty()) default_ = &it->second;
  return &it->second;
}

void KTNamespaceContext::AddDeclarations(KTXNode* node, bool includeAncestors) {
  if (!node || node == node_) return;
  if (includeAncestors) {
    // Iterative walk up: collect the chain below the node the context stands
    // for, then apply it from the top so nearer declarations win.
    std::vector<KTXNode*> chain;
    for (KTXNode* n = node; n && n != node_; n = n->GetParent()) chain.push_back(n);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) AddDeclarations(*it, false);
    return;
  }
  KTChildIterator it;
  for (node->FirstChildOfKind(it, kAttribute); !it.IsEnd(); it.Next()) {
    const char16_t* name = it.Node()->GetName();
    if (StartsWithXmlns(name) && (name[5] == 0 || name[5] == u':')) BindDeclaration(it.Node());
  }
  node_ = node;
}

void KTNamespaceContext::BindDeclaration(KTXNode* attribute) {
  if (!attribute || attribute->GetKind() != kAttribute) return;
  const char16_t* name = attribute->GetName();
  KTNamespaceId ns = KTNamespaceId::Intern(attribute->GetValue());
  if (KTStrCmp(name, u"xmlns") == 0) {
    Bind(KTString(), ns, false);
  } else if (KTStrNCmp(name, u"xmlns:", 6) == 0) {
    Bind(KTString(name + 6), ns, false);  // a locked prefix stays as it is
  }
}

KTNamespaceContext* KTNamespaceContext::ChildContextFor(KTXNode* element) {
  if (!child_ || childNode_ != element) {
    child_ = std::make_unique<KTNamespaceContext>(*this, element);
    childNode_ = element;
  }
  return child_.get();
}

void KTNamespaceContext::GetElementQName(KTQName& out, KTXNode* node) {
  if (!node || node->GetKind() != kElement) {
    out = KTQName();
    return;
  }
  if (node == node_) {
    ResolveQName(out, node->GetName());
    return;
  }
  ChildContextFor(node)->ResolveQName(out, node->GetName());
}

void KTNamespaceContext::ResolveQName(KTQName& out, const char16_t* qualifiedName) const {
  if (!qualifiedName) qualifiedName = u"";
  const char16_t* colon = KTStrChr(qualifiedName, u':');
  if (colon) {
    KTString prefix;
    prefix.Assign(qualifiedName, static_cast<int>(colon - qualifiedName));
    const KTPrefixBinding* b = FindBinding(prefix);
    out = KTQName(colon + 1, b ? b->ns : KTNamespaceId::None());
    return;
  }
  out = KTQName(qualifiedName, default_ ? default_->ns : KTNamespaceId::None());
}

void KTNamespaceContext::GetAttributeQName(std::pair<KTQName, KTQName>& out, KTXNode* attribute) {
  if (!attribute || attribute->GetKind() != kAttribute) {
    out = {KTQName(), KTQName()};
    return;
  }
  KTXNode* owner = attribute->GetParent();
  if (owner && owner->GetKind() == kElement) {
    KTNamespaceContext* ctx = owner == node_ ? this : ChildContextFor(owner);
    ctx->ResolveAttributeName(out, attribute->GetName(), owner->GetName());
  } else {
    ResolveAttributeName(out, attribute->GetName(), u"");
  }
}

void KTNamespaceContext::ResolveAttributeName(std::pair<KTQName, KTQName>& out, const char16_t* attributeName,
                                              const char16_t* ownerName) const {
  if (!attributeName) attributeName = u"";
  const char16_t* colon = KTStrChr(attributeName, u':');
  if (colon) {
    KTString prefix;
    prefix.Assign(attributeName, static_cast<int>(colon - attributeName));
    const KTPrefixBinding* b = FindBinding(prefix);
    out = {KTQName(colon + 1, b ? b->ns : KTNamespaceId::None()), KTQName()};
    return;
  }
  out.first = KTQName(attributeName, KTNamespaceId::None());
  ResolveQName(out.second, ownerName);
}

const KTPrefixBinding* KTNamespaceContext::FindBinding(const KTString& prefix) const {
  auto it = map_.find(prefix);
  return it == map_.end() ? nullptr : &it->second;
}

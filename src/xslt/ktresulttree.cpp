// Result-tree building: the operations through which executors append nodes
// to the result tree, with the placement rules of KTXPathNode, namespace
// declarations kept consistent with the names they serve, and attribute
// value templates.
//
// Namespace scopes of the result: every result element carries (or shares
// with its parent) an element and an attribute prefix map that hold exactly
// the bindings in scope at it on output, i.e. those its namespace-node
// children and its ancestors' declare. The fix-ups below compare a node's
// needs with those maps and add declarations (namespace nodes plus map
// entries) where the output would otherwise lose a binding. A copied subtree
// keeps the maps it had where it came from; AddInScopeNamespaceNodes makes
// its top declare whatever of that scope its new place lacks.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/ktwchar.h"
#include "xml/ktxpathnode.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktstaticcheck.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltkeywords.h"
#include "xslt/ktxsltnames.h"
#include "xslt/ktxsltprocessor.h"

namespace {

constexpr int kAvtSyntaxError = KTXSLTError::kValueTemplateSyntax;
constexpr std::u16string_view kXmlPrefix = u"xml";
constexpr std::u16string_view kXmlUri = u"http://www.w3.org/XML/1998/namespace";

bool IsAttributeLike(int kind) { return kind == kXPathAttribute || kind == kXPathNamespace; }

std::u16string_view UriText(const KTString* uri) { return uri ? uri->View() : std::u16string_view(); }

// Namespace URIs compare by text; no URI and the empty URI both mean "no
// namespace".
bool SameUri(const KTString* a, const KTString* b) { return a == b || UriText(a) == UriText(b); }

// The URI a map binds the prefix to; `bound` tells an absent prefix from a
// default bound to no namespace.
const KTString* Lookup(const KTPrefixMap* map, std::u16string_view prefix, bool* bound = nullptr) {
  if (bound) *bound = false;
  if (!map) return nullptr;
  auto found = map->find(prefix);
  if (found == map->end()) return nullptr;
  if (bound) *bound = true;
  return found->second;
}

KTString DeclarationName(std::u16string_view prefix) {
  if (prefix.empty()) return KTString(u"xmlns");
  KTString name(u"xmlns:");
  name += KTString(prefix);
  return name;
}

// The prefix a namespace node declares: result and document children are
// named "xmlns" or "xmlns:p"; nodes of the namespace axis are named by the
// prefix alone and stand outside their element's child list.
std::u16string_view DeclaredPrefix(const KTXPathNode* node) {
  std::u16string_view name = node->GetName();
  if (node->GetIndexInParent() < 0 && node->GetParent()) return name;
  if (name == u"xmlns") return std::u16string_view();
  if (name.substr(0, 6) == u"xmlns:") return name.substr(6);
  return name;
}

// Gives an element just appended to `parent` its parent's maps, or new empty
// ones where the parent shows none. Mostly the parent shows both and lends
// the pair it holds them in, without copying the reference to each map.
void ShareOrMakeMaps(KTXPathNode* added, const KTXPathNode* parent) {
  added->ShareParentMaps();
  if (added->OwnElementMap() && added->OwnAttributeMap()) return;
  KTPrefixMapRef elementMap = parent->InheritedElementMap();
  KTPrefixMapRef attributeMap = parent->InheritedAttributeMap();
  added->SetMaps(elementMap ? elementMap : std::make_shared<KTPrefixMap>(),
                 attributeMap ? attributeMap : std::make_shared<KTPrefixMap>());
}

// The element's own declaration of a prefix, or null.
KTXPathNode* OwnDeclaration(const KTXPathNode* element, std::u16string_view prefix) {
  int count = element->GetChildCount();
  for (int i = 0; i < count; ++i) {
    KTXPathNode* child = element->GetChild(i);
    if (!IsAttributeLike(child->GetKind())) break;
    if (child->GetKind() == kXPathNamespace && DeclaredPrefix(child) == prefix) return child;
  }
  return nullptr;
}

// The prefixes an element declares itself. An element with few attribute-like
// children is scanned per question; for one with many, the prefixes are
// hashed once, so that checking n bindings against n declarations (a copy of
// an element that declares thousands of namespaces) costs O(n), not O(n^2).
class OwnDeclarations {
 public:
  explicit OwnDeclarations(const KTXPathNode* element) : element_(element) {
    int count = element->GetChildCount();
    if (count < kHashedChildCount) return;
    hashed_ = true;
    for (int i = 0; i < count; ++i) {
      const KTXPathNode* child = element->GetChild(i);
      if (!IsAttributeLike(child->GetKind())) break;
      if (child->GetKind() == kXPathNamespace) prefixes_.insert(DeclaredPrefix(child));
    }
  }
  bool Has(std::u16string_view prefix) const {
    return hashed_ ? prefixes_.count(prefix) > 0 : OwnDeclaration(element_, prefix) != nullptr;
  }
  // Records a declaration just added; `prefix` must outlive this object.
  void Add(std::u16string_view prefix) {
    if (hashed_) prefixes_.insert(prefix);
  }

 private:
  static constexpr int kHashedChildCount = 32;
  const KTXPathNode* element_;
  bool hashed_ = false;
  std::unordered_set<std::u16string_view> prefixes_;
};

struct Binding {
  KTString prefix;
  const KTString* uri;
};

// Adds a namespace node for each binding the element does not declare yet
// and gives the element maps that hold the bindings; nodes below it that
// shared its previous maps share the new ones.
void Declare(KTXPathNode* element, const std::vector<Binding>& bindings) {
  if (bindings.empty()) return;
  // Declarations go after the element's last one, before its attributes.
  int at = 0;
  for (int i = 0; i < element->GetChildCount() && IsAttributeLike(element->GetChild(i)->GetKind()); ++i)
    if (element->GetChild(i)->GetKind() == kXPathNamespace) at = i + 1;
  OwnDeclarations declared(element);
  for (const Binding& binding : bindings) {
    if (declared.Has(binding.prefix.View())) continue;
    declared.Add(binding.prefix.View());
    auto node = std::make_unique<KTXPathNode>(nullptr, kXPathNamespace);
    node->SetName(DeclarationName(binding.prefix.View()).c_str());
    node->SetValue(binding.uri ? binding.uri->c_str() : u"");
    element->InsertChild(at++, std::move(node));
  }
  KTPrefixMapRef oldElement = element->InheritedElementMap();
  KTPrefixMapRef oldAttribute = element->InheritedAttributeMap();
  auto newElement = oldElement ? std::make_shared<KTPrefixMap>(*oldElement) : std::make_shared<KTPrefixMap>();
  auto newAttribute = oldAttribute ? std::make_shared<KTPrefixMap>(*oldAttribute) : std::make_shared<KTPrefixMap>();
  for (const Binding& binding : bindings) {
    (*newElement)[binding.prefix] = binding.uri;
    if (!binding.prefix.IsEmpty()) (*newAttribute)[binding.prefix] = binding.uri;
  }
  element->SetMaps(newElement, newAttribute);
  // Descendants that shared the old maps now share the new ones (an
  // explicit stack: copied subtrees may be deep).
  if (!oldElement && !oldAttribute) return;
  std::vector<KTXPathNode*> pending;
  for (const auto& child : element->Children()) pending.push_back(child.get());
  while (!pending.empty()) {
    KTXPathNode* node = pending.back();
    pending.pop_back();
    const KTPrefixMapRef& e = node->OwnElementMap();
    const KTPrefixMapRef& a = node->OwnAttributeMap();
    bool sharedE = e && e == oldElement;
    bool sharedA = a && a == oldAttribute;
    if (sharedE || sharedA) node->SetMaps(sharedE ? newElement : e, sharedA ? newAttribute : a);
    for (const auto& child : node->Children()) pending.push_back(child.get());
  }
}

// Whole texts of a known length compared as bytes: the URIs below are asked
// about for every element a literal copy makes, and a compare unit by unit
// (after measuring the constant) costs hundreds of instructions a time.
bool SameText(std::u16string_view text, std::u16string_view constant) {
  return text.size() == constant.size() && std::memcmp(text.data(), constant.data(), text.size() * sizeof(char16_t)) == 0;
}

constexpr std::u16string_view kXsltUri = kXSLTNamespaceUri;

bool IsXsltUri(const KTString* uri) { return uri && SameText(uri->View(), kXsltUri); }

// ---- Attributes by expanded name ----
// An element with few attributes is scanned for one of a name. For an
// element with many, their positions are indexed, and the index follows the
// attributes appended to that element one after another (an identity
// transform copies them one frame at a time), so copying n attributes costs
// O(n), not O(n^2). The index is current while the element, its child count
// and its last child are those it was built for; a position it gives is used
// only after the node there is checked.
constexpr int kIndexedChildCount = 32;

struct AttributeIndex {
  const KTXPathNode* element = nullptr;
  const KTXPathNode* last = nullptr;
  int childCount = -1;
  std::unordered_map<std::u16string, int> positions;
};

AttributeIndex& TheAttributeIndex() {
  static thread_local AttributeIndex index;
  return index;
}

// The URI, a character no URI or name holds, and the local name.
std::u16string ExpandedKey(const KTString* uri, std::u16string_view local) {
  std::u16string key(UriText(uri));
  key += u'\x01';
  key += local;
  return key;
}

bool IsAttributeNamed(const KTXPathNode* node, const KTString* uri, std::u16string_view local) {
  return node->GetKind() == kXPathAttribute && SameUri(node->GetNamespaceUri(), uri) &&
         QNameLocalPart(node->GetName()) == local;
}

void BuildAttributeIndex(AttributeIndex& index, const KTXPathNode* element) {
  const int count = element->GetChildCount();
  index.positions.clear();
  for (int i = 0; i < count; ++i) {
    const KTXPathNode* child = element->GetChild(i);
    if (!IsAttributeLike(child->GetKind())) break;
    if (child->GetKind() == kXPathAttribute)
      index.positions.emplace(ExpandedKey(child->GetNamespaceUri(), QNameLocalPart(child->GetName())), i);
  }
  index.element = element;
  index.childCount = count;
  index.last = count > 0 ? element->GetChild(count - 1) : nullptr;
}

// The element's attribute of the expanded name, or null.
KTXPathNode* FindSameNamedAttribute(const KTXPathNode* element, const KTString* uri, std::u16string_view local) {
  const int count = element->GetChildCount();
  if (count < kIndexedChildCount) {
    for (int i = 0; i < count; ++i) {
      KTXPathNode* child = element->GetChild(i);
      if (!IsAttributeLike(child->GetKind())) break;
      if (IsAttributeNamed(child, uri, local)) return child;
    }
    return nullptr;
  }
  AttributeIndex& index = TheAttributeIndex();
  if (index.element != element || index.childCount != count || index.last != element->GetChild(count - 1))
    BuildAttributeIndex(index, element);
  auto found = index.positions.find(ExpandedKey(uri, local));
  if (found == index.positions.end()) return nullptr;
  if (found->second < count) {
    KTXPathNode* node = element->GetChild(found->second);
    if (IsAttributeNamed(node, uri, local)) return node;
  }
  // A position that no longer holds the attribute: index again.
  BuildAttributeIndex(index, element);
  found = index.positions.find(ExpandedKey(uri, local));
  return found == index.positions.end() ? nullptr : element->GetChild(found->second);
}

// Keeps the index current after an attribute was appended to its element.
void NoteAppendedAttribute(const KTXPathNode* element, const KTXPathNode* added) {
  AttributeIndex& index = TheAttributeIndex();
  const int count = element->GetChildCount();
  if (index.element != element || index.childCount != count - 1 || count < 2 ||
      element->GetChild(count - 2) != index.last || element->GetChild(count - 1) != added)
    return;
  index.positions.emplace(ExpandedKey(added->GetNamespaceUri(), QNameLocalPart(added->GetName())), count - 1);
  index.childCount = count;
  index.last = added;
}

// Error 47 for an attribute value template, showing its text with a caret
// at the brace or the end where its syntax fails.
KTXSLTError AvtSyntaxError(KTXPathNode* stylesheetNode, std::u16string_view text, std::size_t at) {
  KTXSLTError error(kAvtSyntaxError, stylesheetNode);
  error.SetExpression(KTString(text), static_cast<int>(at));
  return error;
}

// The prefix an unprefixed attribute with a namespace takes first.
constexpr std::u16string_view kUnprefixedAttributeBase = u"ns_1";

// The first of base_1, base_2, ... that the element's scope binds to the URI
// (`declare` false) or that the element does not declare itself (`declare`
// true: a new declaration may hide an ancestor's binding of it). These are
// the prefixes xsltproc generates, so that results compare equal.
KTString GeneratedPrefix(const KTXPathNode* element, std::u16string_view base, const KTString* uri, bool* declare) {
  OwnDeclarations declared(element);
  KTString candidate;
  for (int number = 1;; ++number) {
    KTString digits;
    digits.Format(u"%d", number);
    candidate = KTString(base);
    candidate += u'_';
    candidate += digits;
    bool bound = false;
    const KTString* current = Lookup(element->GetElementNamespaceMap(), candidate.View(), &bound);
    if (bound && SameUri(current, uri)) {
      *declare = false;
      return candidate;
    }
    if (!declared.Has(candidate.View())) {
      *declare = true;
      return candidate;
    }
  }
}

// Gives a node the prefix before its local name.
void RenameWithPrefix(KTXPathNode* node, std::u16string_view prefix) {
  KTString renamed(prefix);
  renamed += u':';
  renamed += KTString(QNameLocalPart(node->GetName()));
  node->SetName(renamed.c_str());
}

// A copy of a source node's value in a block sized to it from the short-
// string pool, as the document's own nodes hold theirs: a copied document
// makes one such value per text and attribute node.
KTString PooledCopy(const char16_t* text) {
  KTString copy;
  const int length = KTStrLen(text);
  if (length == 0) return copy;
  copy.SetCapacityPooled(length);
  char16_t* buffer = copy.GetBuffer();
  std::memcpy(buffer, text, static_cast<size_t>(length) * sizeof(char16_t));
  buffer[length] = 0;
  copy.SetWrittenLength(length);
  return copy;
}

// xsl:namespace-alias for a literal element or prefixed attribute: the
// copy of `source` moves to the result namespace of an alias for its own.
// An alias applies to the names in the aliased namespace, whatever
// prefix they are written with (XSLT 1.0 §7.1.1); unprefixed attributes
// are in no namespace and are never renamed. A name keeps its prefix, which
// the element's copied namespace nodes bind to the result namespace (as
// xsltproc writes it); a result namespace of none takes the prefix away,
// and a name in no namespace takes the result prefix.
void ApplyNamespaceAlias(const std::map<KTString, KTXSLTProcessor::NamespaceAliasTarget>& aliases,
                         const KTXPathNode* source, KTXPathNode* copy) {
  const std::u16string_view name(source->GetName());
  const std::u16string_view originalPrefix = QNamePrefix(name);
  auto alias = aliases.find(KTString(UriText(source->GetNamespaceUri())));
  if (alias == aliases.end()) return;
  const KTString* resultUri = alias->second.uri;
  if (UriText(resultUri).empty()) {
    copy->SetName(KTString(QNameLocalPart(name)).c_str());
  } else if (originalPrefix.empty() && UriText(source->GetNamespaceUri()).empty()) {
    // No namespace node of the element binds the default to no
    // namespace: the name takes the result prefix.
    const KTString& resultPrefix = alias->second.prefix;
    KTString renamed(resultPrefix);
    if (!resultPrefix.IsEmpty()) renamed += u':';
    renamed += KTString(QNameLocalPart(name));
    copy->SetName(renamed.c_str());
  }
  copy->SetNamespaceUri(resultUri);
}

}  // namespace

// ---- Text ----

KTXPathNode* KTInstructionExecutor::AppendResultText(KTXPathNode* parent, std::unique_ptr<KTXPathNode> text) {
  const char16_t* value = text->GetValue();
  if (!value || !*value) return nullptr;
  int count = parent->GetChildCount();
  if (count > 0) {
    KTXPathNode* last = parent->GetChild(count - 1);
    if (last->GetKind() == kXPathText && last->GetOutputFlag() == text->GetOutputFlag()) {
      last->AppendValue(value);
      return last;
    }
  }
  return parent->AppendChild(std::move(text));
}

// ---- Namespace fix-ups ----

void KTInstructionExecutor::AddInScopeNamespaceNodes(KTXPathNode* element, const std::vector<KTString>* order) {
  if (!element || element->GetKind() != kXPathElement) return;
  KTPrefixMapRef own = element->InheritedElementMap();
  const KTXPathNode* parent = element->GetParent();
  const KTPrefixMap* outer = parent ? parent->GetElementNamespaceMap() : nullptr;
  std::vector<Binding> needed;
  bool ownHasDefault = false;
  OwnDeclarations declared(element);
  auto consider = [&](const KTString& prefix, const KTString* uri) {
    if (prefix.View() == kXmlPrefix) return;
    bool outerBound = false;
    const KTString* outerUri = Lookup(outer, prefix.View(), &outerBound);
    if (prefix.IsEmpty()) {
      ownHasDefault = true;
      if (SameUri(uri, outerUri)) return;
    } else if (!uri || (outerBound && SameUri(uri, outerUri))) {
      return;
    }
    if (declared.Has(prefix.View())) return;
    needed.push_back(Binding{prefix, uri});
  };
  if (own && order) {
    for (const KTString& prefix : *order) {
      auto found = own->find(prefix.View());
      if (found != own->end()) consider(found->first, found->second);
    }
  } else if (own) {
    for (const auto& [prefix, uri] : *own) consider(prefix, uri);
  }
  // A default the new parent has and the element never had.
  if (!ownHasDefault && !UriText(Lookup(outer, std::u16string_view())).empty() &&
      !declared.Has(std::u16string_view()))
    needed.push_back(Binding{KTString(), nullptr});
  Declare(element, needed);
}

const std::vector<KTString>& KTInstructionExecutor::DeclarationOrderOf(const KTXPathNode* element) {
  static const std::vector<KTString> kNone;
  auto& orders = processor_->DeclarationOrders();
  const KTPrefixMap* map = element ? element->GetElementNamespaceMap() : nullptr;
  if (!map) return kNone;
  auto known = orders.find(map);
  if (known != orders.end()) return known->second.prefixes;
  // The elements that made the maps not worked out yet, from this one up:
  // each the top of the run of elements sharing its map.
  std::vector<const KTXPathNode*> makers;
  for (const KTXPathNode* at = element; at;) {
    const KTPrefixMap* atMap = at->GetElementNamespaceMap();
    if (!atMap || orders.count(atMap)) break;
    const KTXPathNode* maker = at;
    for (const KTXPathNode* up = maker->GetParent(); up && up->GetKind() == kXPathElement; up = up->GetParent()) {
      if (up->GetElementNamespaceMap() != atMap) break;
      maker = up;
    }
    makers.push_back(maker);
    const KTXPathNode* above = maker->GetParent();
    at = above && above->GetKind() == kXPathElement ? above : nullptr;
  }
  for (auto it = makers.rbegin(); it != makers.rend(); ++it) {
    const KTXPathNode* maker = *it;
    KTPrefixMapRef makerMap = maker->InheritedElementMap();
    const KTXPathNode* above = maker->GetParent();
    const KTPrefixMap* aboveMap =
        above && above->GetKind() == kXPathElement ? above->GetElementNamespaceMap() : nullptr;
    const std::vector<KTString>* aboveOrder = nullptr;
    if (aboveMap) {
      auto found = orders.find(aboveMap);
      if (found != orders.end()) aboveOrder = &found->second.prefixes;
    }
    std::vector<KTString> prefixes;
    std::unordered_set<std::u16string_view> seen;
    // Views into the map's own keys, which the entry keeps alive.
    auto take = [&](std::u16string_view prefix) {
      auto bound = makerMap->find(prefix);
      if (bound == makerMap->end() || !seen.insert(bound->first.View()).second) return;
      prefixes.push_back(bound->first);
    };
    for (int i = 0; i < maker->GetChildCount(); ++i) {
      const KTXPathNode* child = maker->GetChild(i);
      if (!IsAttributeLike(child->GetKind())) break;
      if (child->GetKind() == kXPathNamespace) take(DeclaredPrefix(child));
    }
    if (aboveOrder)
      for (const KTString& prefix : *aboveOrder) take(prefix.View());
    // Bindings no declaration shows (a copy's inherited scope) keep the
    // map's order.
    for (const auto& [prefix, uri] : *makerMap) take(prefix.View());
    const KTPrefixMap* key = makerMap.get();
    orders[key] = KTXSLTProcessor::DeclarationOrder{std::move(makerMap), std::move(prefixes)};
  }
  return orders[map].prefixes;
}

void KTInstructionExecutor::DropRepeatedDeclarations(KTXPathNode* top) {
  if (!top || top->GetKind() != kXPathElement) return;
  // The copied elements keep the prefix maps of their source, which do not
  // hold what the new place binds; the bindings in scope on output are
  // followed here instead: the place's map below one stack per prefix of
  // the declarations kept on the way down (views of nodes that stay).
  const KTXPathNode* place = top->GetParent();
  const KTPrefixMap* outer = place ? place->GetElementNamespaceMap() : nullptr;
  std::unordered_map<std::u16string_view, std::vector<std::u16string_view>> declared;
  std::vector<std::u16string_view> pushed;
  // xmlns="" repeats where no default is in scope; any other declaration
  // where its prefix is bound to the same URI.
  auto repeats = [&](const KTXPathNode* node) {
    if (node->GetKind() != kXPathNamespace) return false;
    std::u16string_view prefix = DeclaredPrefix(node);
    std::u16string_view value(node->GetValue());
    bool bound = false;
    std::u16string_view uri;
    auto stack = declared.find(prefix);
    if (stack != declared.end() && !stack->second.empty()) {
      bound = true;
      uri = stack->second.back();
    } else {
      uri = UriText(Lookup(outer, prefix, &bound));
    }
    if (value.empty()) return prefix.empty() && uri.empty();
    return bound && uri == value;
  };
  struct Visit {
    KTXPathNode* element;
    int next;
    size_t pushedBefore;
  };
  std::vector<Visit> path;
  auto enter = [&](KTXPathNode* element) {
    const int count = element->GetChildCount();
    int repeated = 0;
    for (int i = 0; i < count && IsAttributeLike(element->GetChild(i)->GetKind()); ++i)
      if (repeats(element->GetChild(i))) ++repeated;
    if (repeated > 0) {
      // One rebuild of the child list, not one removal per declaration.
      KTXPathNode::ChildList children = element->ReleaseChildren();
      for (auto& child : children) {
        if (repeats(child.get())) continue;
        element->AppendChild(std::move(child));
      }
    }
    const size_t before = pushed.size();
    for (int i = 0; i < element->GetChildCount(); ++i) {
      const KTXPathNode* child = element->GetChild(i);
      if (!IsAttributeLike(child->GetKind())) break;
      if (child->GetKind() != kXPathNamespace) continue;
      std::u16string_view prefix = DeclaredPrefix(child);
      declared[prefix].push_back(std::u16string_view(child->GetValue()));
      pushed.push_back(prefix);
    }
    path.push_back(Visit{element, 0, before});
  };
  enter(top);
  while (!path.empty()) {
    Visit& visit = path.back();
    if (visit.next < visit.element->GetChildCount()) {
      KTXPathNode* child = visit.element->GetChild(visit.next++);
      if (child->GetKind() == kXPathElement) enter(child);
      continue;
    }
    while (pushed.size() > visit.pushedBefore) {
      declared[pushed.back()].pop_back();
      pushed.pop_back();
    }
    path.pop_back();
  }
}

void KTInstructionExecutor::FixElementNamespace(KTXPathNode* element) {
  if (!element || element->GetKind() != kXPathElement) return;
  const KTString* uri = element->GetNamespaceUri();
  const KTPrefixMap* scope = element->GetElementNamespaceMap();
  if (UriText(uri).empty()) {
    // A name in no namespace needs a declaration only where a default
    // namespace is in scope (xmlns="" then undeclares it): a prefixed name
    // in no namespace stays as it is, and an unprefixed one is right unless
    // the default is bound. The empty prefix sorts first in the map.
    const bool defaultBound = scope && !scope->empty() && scope->begin()->first.IsEmpty();
    if (!defaultBound || UriText(scope->begin()->second).empty()) return;
  }
  // The name is read in place: the node keeps it until the SetName below,
  // which comes after its last use.
  std::u16string_view name(element->GetName());
  std::u16string_view prefix = QNamePrefix(name);
  if (prefix == kXmlPrefix) return;
  bool bound = false;
  const KTString* current = Lookup(scope, prefix, &bound);
  if (prefix.empty()) {
    if (SameUri(current, uri)) return;
    // The element itself declares another default: nothing can make an
    // unprefixed name mean something else there.
    if (OwnDeclaration(element, prefix)) return;
    Declare(element, {Binding{KTString(), uri}});
    return;
  }
  // A prefixed name without a namespace cannot be written as a name in no
  // namespace; it stays as it is.
  if (UriText(uri).empty()) return;
  if (bound && SameUri(current, uri)) return;
  if (!OwnDeclaration(element, prefix)) {
    Declare(element, {Binding{KTString(prefix), uri}});
    return;
  }
  // The element declares the prefix for another URI: its name takes a
  // generated prefix.
  bool declare = false;
  KTString usePrefix = GeneratedPrefix(element, prefix, uri, &declare);
  KTString renamed(usePrefix);
  renamed += u':';
  renamed += KTString(QNameLocalPart(name));
  element->SetName(renamed.c_str());
  if (declare) Declare(element, {Binding{usePrefix, uri}});
}

void KTInstructionExecutor::FixAttributeNamespace(KTXPathNode* attribute) {
  if (!attribute || attribute->GetKind() != kXPathAttribute) return;
  KTXPathNode* element = attribute->GetParent();
  if (!element || element->GetKind() != kXPathElement) return;
  std::u16string_view name(attribute->GetName());  // read in place, as above
  std::u16string_view prefix = QNamePrefix(name);
  const KTString* uri = attribute->GetNamespaceUri();
  if (prefix == kXmlPrefix || UriText(uri).empty()) return;
  const KTPrefixMap* scope = element->GetElementNamespaceMap();
  // An unprefixed name gets a prefix made from "ns_1" (xsltproc's choice);
  // a prefixed one keeps its prefix where the element lets it mean the URI.
  std::u16string_view base = prefix.empty() ? kUnprefixedAttributeBase : prefix;
  bool bound = false;
  const KTString* current = Lookup(scope, base, &bound);
  if (bound && SameUri(current, uri)) {
    if (prefix.empty()) RenameWithPrefix(attribute, base);
    return;
  }
  if (!OwnDeclaration(element, base)) {
    if (prefix.empty()) RenameWithPrefix(attribute, base);
    Declare(element, {Binding{KTString(base), uri}});
    return;
  }
  // The prefix means another URI on this element: another prefix the scope
  // binds to the URI, else a generated one.
  if (!prefix.empty() && scope) {
    for (const auto& [other, otherUri] : *scope) {
      if (other.IsEmpty() || other.View() == kXmlPrefix || !SameUri(otherUri, uri)) continue;
      RenameWithPrefix(attribute, other.View());
      return;
    }
  }
  bool declare = false;
  KTString generated = GeneratedPrefix(element, base, uri, &declare);
  RenameWithPrefix(attribute, generated.View());
  if (declare) Declare(element, {Binding{generated, uri}});
}

// ---- Appending ----

const char16_t* KTInstructionExecutor::AttributePlacementProblem(const KTXPathNode* parent) {
  if (!parent || parent->GetKind() != kXPathElement) return u"it is not added to an element";
  int count = parent->GetChildCount();
  if (count > 0 && !IsAttributeLike(parent->GetChild(count - 1)->GetKind()))
    return u"its element has children already";
  return nullptr;
}

void KTInstructionExecutor::WarnAttributeIgnored(const KTXPathNode* instruction, const char16_t* what,
                                                 std::u16string_view name, const char16_t* why) {
  KTString text(what);
  text += u" \"";
  text += KTString(name);
  text += u"\" is ignored: ";
  text += why;
  processor_->Warn(instruction, text);
}

// The maps and namespace nodes of an element copy just appended to the
// result parent: it declares those bindings of the source's scope that its
// new place lacks or binds otherwise, in the order xsltproc declares them;
// a literal element leaves out the excluded and extension namespaces its
// names do not use, and declares aliased ones by their result namespace.
void KTInstructionExecutor::DeclareCopiedNamespaces(KTXPathNode* added, KTXPathNode* source, KTExecFrame* frame,
                                                    bool literal) {
  KTXPathNode* parent = resultParent_;
  const KTPrefixMap* sourceMap = KTXPathNode::GetNodeNamespaceMap(source);
  const auto& aliases = processor_->NamespaceAliasUris();
  // Every element holds maps (its parent's, or new empty ones at the top
  // of a tree), so that lookups below it never walk far.
  ShareOrMakeMaps(added, parent);
  // An element copied from the source gets about as many children as
  // it has there: room for them at once, not by repeated growth.
  if (!literal && source->GetChildCount() > 1) added->ReserveChildren(source->GetChildCount());
  // A copy from a source whose scope binds no prefix but xml (which is
  // never declared) has nothing to declare: only its name's prefix is left
  // to see to.
  if (!literal && (!sourceMap || (sourceMap->size() == 1 && sourceMap->begin()->first.View() == kXmlPrefix))) {
    FixElementNamespace(added);
    return;
  }
  // A literal element whose scope binds only xml and the XSLT namespace
  // (the common stylesheet) has nothing to declare either: neither is ever
  // copied to the result.
  if (literal && sourceMap && std::all_of(sourceMap->begin(), sourceMap->end(), [](const auto& binding) {
        const KTString* uri = binding.second;
        return binding.first.View() == kXmlPrefix ||
               (uri && !uri->IsEmpty() && (SameText(uri->View(), kXmlUri) || IsXsltUri(uri)));
      })) {
    FixElementNamespace(added);
    return;
  }
  // The prefixes this element and its literal attributes use keep their
  // declarations even when excluded (asked about for literal elements
  // only).
  std::vector<std::u16string_view> used;
  if (literal) {
    used.push_back(QNamePrefix(source->GetName()));
    for (const auto& child : source->Children()) {
      if (child->GetKind() != kXPathAttribute) continue;
      if (IsXsltUri(child->GetNamespaceUri())) continue;
      std::u16string_view p = QNamePrefix(child->GetName());
      if (!p.empty()) used.push_back(p);
    }
  }
  auto isUsed = [&used](std::u16string_view p) {
    for (std::u16string_view u : used)
      if (u == p) return true;
    return false;
  };
  const KTPrefixMap* scope = parent->GetElementNamespaceMap();
  std::vector<Binding> needed;
  const std::u16string_view namePrefix = QNamePrefix(added->GetName());
  OwnDeclarations declaredHere(source);
  int namePlace = -1;
  int ownCount = 0;
  if (sourceMap) {
    // In the order xsltproc declares them: the source's own declarations
    // first, then those of the scopes above.
    for (const KTString& prefix : DeclarationOrderOf(source)) {
      // The xml prefix is never declared: no need to look it up.
      if (prefix.View() == kXmlPrefix) continue;
      auto inScope = sourceMap->find(prefix.View());
      if (inScope == sourceMap->end()) continue;
      const KTString* uri = inScope->second;
      if (uri && uri->View() == kXmlUri) continue;
      if (!uri || uri->IsEmpty()) {
        // xmlns="": the element has no default namespace node, so under a
        // parent with a default one it undeclares it (XSLT 1.0 §7.1.1 and
        // §7.5 copy the namespace nodes).
        if (prefix.IsEmpty() && !UriText(Lookup(scope, std::u16string_view())).empty()) {
          needed.push_back(Binding{prefix, nullptr});
          if (namePrefix.empty()) namePlace = static_cast<int>(needed.size()) - 1;
          else if (declaredHere.Has(prefix.View())) ownCount = static_cast<int>(needed.size());
        }
        continue;
      }
      const KTString* outUri = uri;
      if (literal) {
        if (IsXsltUri(uri)) continue;
        if (!isUsed(prefix.View()) && (frame->ExcludedNamespaces().count(*uri) ||
                                       frame->ExtensionNamespaces().count(*uri)))
          continue;
        auto alias = aliases.find(KTString(UriText(uri)));
        if (alias != aliases.end()) {
          outUri = alias->second.uri;
          if (!outUri) continue;
        }
      }
      bool bound = false;
      const KTString* current = Lookup(scope, prefix.View(), &bound);
      if (bound && SameUri(current, outUri)) continue;
      needed.push_back(Binding{prefix, outUri});
      if (prefix.View() == namePrefix) namePlace = static_cast<int>(needed.size()) - 1;
      else if (declaredHere.Has(prefix.View())) ownCount = static_cast<int>(needed.size());
    }
  }
  // The binding of the element's own name comes right after the element's
  // own declarations, before those of the scopes above (xsltproc's order).
  if (namePlace > ownCount) std::rotate(needed.begin() + ownCount, needed.begin() + namePlace,
                                        needed.begin() + namePlace + 1);
  Declare(added, needed);
  FixElementNamespace(added);
}

KTXPathNode* KTInstructionExecutor::MakeLiteralResultCopy(KTXPathNode* source, bool makeCurrent, KTExecFrame* frame,
                                                          bool literal) {
  int kind = source->GetKind();
  resultMadeCurrent_ = false;
  // A root has no copy of its own: what it contains goes to the result
  // parent as it is.
  if (kind == kXPathRoot) return resultParent_;
  KTXPathNode* parent = resultParent_;

  // A text or attribute that shows its document node's value unchanged
  // shows it in the copy too, as a copy made by xsl:copy-of does: the
  // source's documents outlive the result, and the text is not held twice.
  const bool sharesValue =
      (kind == kXPathText || kind == kXPathAttribute) && !source->HasOwnValue() && source->WrapsNode();
  // A text or attribute that does not become the result parent takes no
  // children: it is made as a leaf.
  const bool leaf = !makeCurrent && (kind == kXPathText || kind == kXPathCData || kind == kXPathAttribute);
  const int copyKind = kind == kXPathCData ? kXPathText : kind;
  auto copy = sharesValue ? KTXPathNode::ShowingWrappedOf(*source, kind, leaf)
              : leaf      ? KTXPathNode::NewLeaf(copyKind)
                          : std::make_unique<KTXPathNode>(nullptr, copyKind);
  if (kind == kXPathElement || kind == kXPathAttribute || kind == kXPathPI || kind == kXPathNamespace)
    copy->SetNameOf(source);
  if (kind != kXPathElement && !sharesValue) copy->SetValue(PooledCopy(source->GetValue()));
  copy->SetNamespaceUri(source->GetNamespaceUri());
  copy->SetOutputFlag(source->GetOutputFlag());

  // xsl:namespace-alias moves literal elements and attributes (never what
  // xsl:copy copies from the source) to the result namespace.
  const auto& aliases = processor_->NamespaceAliasUris();
  if (literal && !aliases.empty() &&
      (kind == kXPathElement || (kind == kXPathAttribute && !QNamePrefix(source->GetName()).empty())))
    ApplyNamespaceAlias(aliases, source, copy.get());

  if (kind == kXPathAttribute && literal) {
    KTString value;
    // The compiler left the attribute's template in its record.
    const KTDeclRecord* record = processor_->FindDeclaration(source);
    const KTCompiledValueTemplate* compiled =
        record && record->elementId == kXSLTLiteralResult
            ? static_cast<const KTDeclLiteralResult*>(record)->valueTemplate
            : nullptr;
    EvaluateAttributeValueTemplate(value, source, compiled, frame);
    copy->SetValue(std::move(value));
  }

  // An attribute of a name the element already has replaces its value
  // (XSLT 1.0 §7.1.3): literal attributes override attribute sets.
  if (kind == kXPathAttribute && parent->GetKind() == kXPathElement) {
    if (KTXPathNode* existing =
            FindSameNamedAttribute(parent, copy->GetNamespaceUri(), QNameLocalPart(copy->GetName()))) {
      existing->SetName(copy->GetName());
      existing->SetValue(copy->GetValue());
      FixAttributeNamespace(existing);
      return resultParent_;
    }
  }

  if (copy->GetKind() == kXPathText && !makeCurrent) {
    AppendResultText(parent, std::move(copy));
    return resultParent_;
  }

  KTXPathNode* added = nullptr;
  try {
    added = parent->AppendChild(std::move(copy));
  } catch (const KTXTreeException& error) {
    if (error.GetCode() != KTXSLTError::kXPathError) throw;
    return nullptr;
  }

  if (kind == kXPathElement) {
    DeclareCopiedNamespaces(added, source, frame, literal);
  } else if (kind == kXPathAttribute) {
    NoteAppendedAttribute(parent, added);
    FixAttributeNamespace(added);
  }

  resultMadeCurrent_ = makeCurrent;
  if (makeCurrent) resultParent_ = added;
  return resultParent_;
}

KTXPathNode* KTInstructionExecutor::AppendComputedNode(std::unique_ptr<KTXPathNode> node, bool makeCurrent,
                                                       bool replaceSameName) {
  KTXPathNode* parent = resultParent_;
  KTXPathNode* added = nullptr;
  if (replaceSameName && node->GetKind() == kXPathAttribute && parent->GetKind() == kXPathElement) {
    if (KTXPathNode* existing = FindSameNamedAttribute(parent, node->GetNamespaceUri(), QNameLocalPart(node->GetName()))) {
      existing->SetName(node->GetName());
      existing->SetNamespaceUri(node->GetNamespaceUri());
      existing->ReleaseChildren();
      existing->SetValue(u"");
      added = existing;
    }
  }
  if (!added) {
    added = parent->AppendChild(std::move(node));
    if (added->GetKind() == kXPathAttribute) NoteAppendedAttribute(parent, added);
  }
  if (added->GetKind() == kXPathElement) {
    // As for literal copies: every element holds maps, so that lookups
    // below it never walk far.
    if (!added->OwnElementMap()) ShareOrMakeMaps(added, parent);
    FixElementNamespace(added);
  }
  if (added->GetKind() == kXPathAttribute) FixAttributeNamespace(added);
  resultMadeCurrent_ = makeCurrent;
  if (makeCurrent) resultParent_ = added;
  return resultParent_;
}

KTXPathNode* KTInstructionExecutor::FindChildByName(const KTXPathNode* parent, std::u16string_view localName,
                                                    const KTString* uri) {
  if (!parent) return nullptr;
  for (const auto& child : parent->Children()) {
    if (QNameLocalPart(child->GetName()) != localName) continue;
    if (uri ? child->GetNamespaceUri() && SameUri(child->GetNamespaceUri(), uri) : !child->GetNamespaceUri())
      return child.get();
  }
  return nullptr;
}

// ---- Attribute value templates ----

namespace {

// Reads an attribute value template in one pass: `literal` gets each run of
// text (a doubled brace as one brace), `expression` the text inside each
// pair of braces; a lone brace throws 47 at the stylesheet node.
template <typename Literal, typename Expression>
void ScanValueTemplate(KTXPathNode* stylesheetNode, std::u16string_view t, Literal&& literal,
                       Expression&& expression) {
  std::size_t n = t.size();
  std::size_t i = 0;
  while (i < n) {
    // The literal run up to the next brace.
    std::size_t brace = t.find_first_of(u"{}", i);
    if (brace == std::u16string_view::npos) brace = n;
    if (brace > i) literal(t.substr(i, brace - i));
    i = brace;
    if (i >= n) break;
    bool doubled = i + 1 < n && t[i + 1] == t[i];
    if (doubled) {
      literal(t.substr(i, 1));
      i += 2;
      continue;
    }
    if (t[i] == u'}') throw AvtSyntaxError(stylesheetNode, t, i);
    // An expression: up to the next '}' outside quoted strings.
    std::size_t j = i + 1;
    for (;;) {
      if (j >= n) throw AvtSyntaxError(stylesheetNode, t, n);
      char16_t c = t[j];
      if (c == u'}') break;
      if (c == u'{') throw AvtSyntaxError(stylesheetNode, t, j);
      if (c == u'\'' || c == u'"') {
        std::size_t close = t.find(c, j + 1);
        if (close == std::u16string_view::npos) throw AvtSyntaxError(stylesheetNode, t, j);
        j = close + 1;
        continue;
      }
      ++j;
    }
    expression(t.substr(i + 1, j - i - 1));
    i = j + 1;
  }
}

}  // namespace

KTString& KTInstructionExecutor::EvaluateAttributeValueTemplate(KTString& result, KTXPathNode* attribute,
                                                                const KTCompiledValueTemplate* compiled,
                                                                KTExecFrame* frame,
                                                                const KTXPathValue* nodeList) {
  if (!nodeList) nodeList = &frame->NodeList();
  // An attribute the compiler did not see is compiled at its use.
  if (!compiled) compiled = processor_->PrecompileValueTemplate(attribute);
  if (compiled->error) throw *compiled->error;
  if (compiled->plain) {
    result = attribute->GetValue();
    return result;
  }
  KTString out;
  KTString scratch;
  for (const KTCompiledValueTemplate::Part& part : compiled->parts) {
    if (!part.expression) {
      out += part.literal;
      continue;
    }
    if (processor_->StringOfSimpleExpression(*part.expression, *nodeList, frame->ContextPosition(), scratch)) {
      out += scratch;
      continue;
    }
    KTXPathValue value;
    if (!frame->EvaluateExpression(attribute, *part.expression, nodeList, &value, true))
      throw KTXSLTError(KTXSLTError::kXPathError, nullptr);
    out += value.ToString(&scratch);
  }
  result = std::move(out);
  return result;
}

void KTInstructionExecutor::CompileAttributeValueTemplate(KTXSLTProcessor* processor, KTXPathNode* attribute,
                                                          bool deferErrors, KTCompiledValueTemplate& out) {
  std::u16string_view t(attribute->GetValue());
  if (t.find_first_of(u"{}") == std::u16string_view::npos) return;
  out.plain = false;
  try {
    ScanValueTemplate(
        attribute, t,
        [&out](std::u16string_view run) {
          // Adjacent runs ("a{{b") are joined into one.
          if (!out.parts.empty() && !out.parts.back().expression)
            out.parts.back().literal += KTString(run);
          else
            out.parts.push_back({KTString(run), nullptr});
        },
        [&](std::u16string_view text) {
          out.parts.push_back({KTString(), processor->PrecompileExpression(attribute, KTString(text), 0, deferErrors)});
        });
  } catch (KTXSLTError& error) {
    if (!deferErrors) throw;
    out.error = std::make_unique<KTXSLTError>(error);
  }
}

// The XPath view node: kinds, names and values, prefix maps, placement rules,
// document-order steps and namespace nodes.
#include "xml/ktxpathnode.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ktwchar.h"
#include "xml/ktxnode.h"
#include "xml/ktxnodepool.h"

namespace {

// Copies the own maps of `source` into fresh objects (or shares the new
// parent's when the source shared its parent's).
void CopyMaps(KTXPathNode& copy, const KTXPathNode& source, KTXPathNode* newParent, bool shareWithParent) {
  if (source.GetKind() != kXPathElement) return;
  if (shareWithParent) {
    if (newParent) copy.SetMaps(newParent->InheritedElementMap(), newParent->InheritedAttributeMap());
    return;
  }
  KTPrefixMapRef e = source.InheritedElementMap();
  KTPrefixMapRef a = source.InheritedAttributeMap();
  copy.SetMaps(e ? std::make_shared<KTPrefixMap>(*e) : nullptr, a ? std::make_shared<KTPrefixMap>(*a) : nullptr);
}

}  // namespace

int KTXPathNode::KindOfXNode(const KTXNode* node) {
  if (!node) return kXPathRoot;
  switch (node->GetKind()) {
    case kXmlDocument:
    case kXmlEntity:
    case kDtdDocument:
      return kXPathRoot;
    case kXmlTag:
      return kXPathXmlDecl;
    case kElement:
      return kXPathElement;
    case kAttribute: {
      // "xmlns" itself or the prefix "xmlns" (text before the first ':').
      const char16_t* name = node->GetName();
      if (name[0] == u'x' && KTStrNCmp(name, u"xmlns", 5) == 0 && (name[5] == 0 || name[5] == u':'))
        return kXPathNamespace;
      return kXPathAttribute;
    }
    case kText:
      return kXPathText;
    case kCData:
      return kXPathCData;
    case kComment:
      return kXPathComment;
    case kProcessingInstruction:
      return kXPathPI;
    default:  // 10 to 15: DOCTYPE and its declarations
      return node->GetKind() - kDoctype + kXPathDoctype;
  }
}

const KTXPathChildren gKTXPathNoChildren;

KTXPathNode::KTXPathNode(KTXNode* node, int kind) : kind_(kind == kXPathKindFromNode ? KindOfXNode(node) : kind) {
  ref_.xnode = node;
  MakeBranch();
}

KTXPathNode::KTXPathNode(const KTXPathNode& source, bool deep, KTXPathNode* newParent) {
  MakeBranch();
  try {
    bool share = !deep && (!newParent || newParent->InheritedElementMap() == source.InheritedElementMap());
    CopyFieldsFrom(source, newParent, share);
    if (!deep) return;
    // Deep copy without recursion: (source, copy) pairs still to fill.
    std::vector<std::pair<const KTXPathNode*, KTXPathNode*>> work{{&source, this}};
    while (!work.empty()) {
      auto [from, to] = work.back();
      work.pop_back();
      for (const auto& child : from->Children()) {
        auto copy = std::unique_ptr<KTXPathNode>(new KTXPathNode());
        // Keep the source's sharing: a child that shared its parent's maps
        // shares the copy's; one with maps of its own gets copies.
        copy->CopyFieldsFrom(*child, to, !child->OwnsMaps());
        KTXPathNode* added = to->AppendChild(std::move(copy));
        work.emplace_back(child.get(), added);
      }
    }
  } catch (...) {
    // The branch part is not a member: what it took goes here.
    HoldMaps(nullptr);
    BranchPart().~Branch();
    throw;
  }
}

std::unique_ptr<KTXPathNode> KTXPathNode::ShowingWrappedOf(const KTXPathNode& source, int kind, bool leaf) {
  auto node = leaf ? NewLeaf(kind) : std::make_unique<KTXPathNode>(nullptr, kind);
  node->ref_.xnode = source.hasOwn_ ? source.ref_.own->wrapped.xnode : source.ref_.xnode;
  node->compactEntry_ = source.compactEntry_;
  return node;
}

KTXNode* KTXPathNode::MadeAttributeNode() const { return Block()->Owner()->MadeAttribute(compactEntry_ - 1); }

const KTXName* KTXPathNode::ShownAttributeName() const { return &(*Block())[compactEntry_ - 1].name; }


void KTXPathNode::CopyFieldsFrom(const KTXPathNode& source, KTXPathNode* newParent, bool shareMaps) {
  ref_.xnode = source.hasOwn_ ? source.ref_.own->wrapped.xnode : source.ref_.xnode;
  compactEntry_ = source.compactEntry_;
  parent_ = newParent;
  kind_ = source.kind_;
  position_ = 0;
  documentNumber_ = 0;
  namespaceUri_ = source.namespaceUri_;
  if (const KTString* uri = source.GetOwnDocumentUri()) OwnExtra().documentUri = uri;
  output_ = source.output_;
  fromEntity_ = source.fromEntity_;
  if (source.hasValue_) {
    OwnFields().value = source.ref_.own->value;
    hasValue_ = true;
  }
  if (source.hasName_) {
    OwnFields().name = source.ref_.own->name;
    hasName_ = true;
  }
  CopyMaps(*this, source, newParent, shareMaps);
}

void* KTXPathNode::operator new(size_t size) { return KTXNodePoolAllocate(size + sizeof(Branch)); }

void KTXPathNode::operator delete(KTXPathNode* node, std::destroying_delete_t) noexcept {
  const size_t size = node->leaf_ ? sizeof(KTXPathNode) : sizeof(KTXPathNode) + sizeof(Branch);
  node->~KTXPathNode();
  KTXNodePoolFree(node, size);
}

void KTXPathNode::operator delete(void* node, size_t size) noexcept { KTXNodePoolFree(node, size + sizeof(Branch)); }

namespace {

// Side records by node (made once, never destroyed, so nodes freed during
// the program's exit still find it). Trees are built and freed on one thread.
template <class Extra>
std::unordered_map<const KTXPathNode*, std::unique_ptr<Extra>>& ExtraTable() {
  static auto* table = new std::unordered_map<const KTXPathNode*, std::unique_ptr<Extra>>();
  return *table;
}

}  // namespace

KTXPathNode::Extra& KTXPathNode::OwnExtra() {
  if (hasExtra_) return *FindExtra();
  auto& slot = ExtraTable<Extra>()[this];
  slot = std::make_unique<Extra>();
  hasExtra_ = true;
  return *slot;
}

KTXPathNode::Extra* KTXPathNode::FindExtra() const {
  if (!hasExtra_) return nullptr;
  auto& table = ExtraTable<Extra>();
  auto found = table.find(this);
  return found == table.end() ? nullptr : found->second.get();
}

const KTString* KTXPathNode::GetOwnDocumentUri() const {
  const Extra* extra = FindExtra();
  return extra ? extra->documentUri : nullptr;
}

KTXPathNode::Own& KTXPathNode::OwnFields() {
  if (!hasOwn_) {
    Own* own = new (KTXNodePoolAllocate(sizeof(Own))) Own();
    own->wrapped.xnode = ref_.xnode;  // or the block: the same word
    ref_.own = own;
    hasOwn_ = true;
  }
  return *ref_.own;
}

KTXPathNode::~KTXPathNode() {
  HoldMaps(nullptr);
  if (hasOwn_) {
    ref_.own->~Own();
    KTXNodePoolFree(ref_.own, sizeof(Own));
  }
  if (hasExtra_) {
    // Taken out of the table first: the record's namespace nodes are
    // destroyed after the table is done with the erase.
    auto& table = ExtraTable<Extra>();
    auto found = table.find(this);
    std::unique_ptr<Extra> extra = std::move(found->second);
    table.erase(found);
  }
  // Children are freed without recursion, so that deep trees cannot exhaust
  // the stack, and without a side stack, so that nothing is allocated here:
  // a destructor also runs while an out-of-memory error unwinds. The walk
  // goes down through last children, setting each one's parent link to the
  // node it came from (the link may have been cleared by a caller), and
  // deletes a node once it has no children left, from the end of its
  // parent's list; each node is reached and deleted once.
  if (leaf_) return;
  KTXPathNode* node = this;
  while (true) {
    if (!node->Children().empty()) {
      KTXPathChildren& children = node->BranchPart().children;
      KTXPathNode* child = children.back().get();
      if (!child) {
        children.erase(children.size() - 1);
        continue;
      }
      child->parent_ = node;
      node = child;
      continue;
    }
    if (node == this) break;
    KTXPathNode* parent = node->parent_;
    // The child leaves its parent's list, then goes (it has no children).
    KTXPathChildren& siblings = parent->BranchPart().children;
    siblings.erase(siblings.size() - 1);
    node = parent;
  }
  BranchPart().~Branch();
}

// ---- Name, value ----

const char16_t* KTXPathNode::GetName() const {
  if (hasName_) return ref_.own->name.c_str();
  if (kind_ == kXPathRoot || kind_ == kXPathText || kind_ == kXPathComment) return u"";
  if (compactEntry_) return (*Block())[compactEntry_ - 1].name.c_str();
  const KTXNode* node = hasOwn_ ? ref_.own->wrapped.xnode : ref_.xnode;
  return node ? node->GetName() : u"";
}

const char16_t* KTXPathNode::GetValue() const {
  if (hasValue_) return ref_.own->value.c_str();
  if (compactEntry_) return (*Block())[compactEntry_ - 1].value.c_str();
  const KTXNode* node = hasOwn_ ? ref_.own->wrapped.xnode : ref_.xnode;
  return node ? node->GetValue() : u"";
}

void KTXPathNode::AppendValue(const char16_t* text) {
  if (!hasValue_) {
    KTString shown(GetValue());
    OwnFields().value = std::move(shown);
    hasValue_ = true;
  }
  ref_.own->value += text;
}

void KTXPathNode::SetValue(const char16_t* text) {
  if (text) {
    OwnFields().value = KTString(text);
  } else if (hasOwn_) {
    ref_.own->value = KTString();
  }
  hasValue_ = text != nullptr;
}

void KTXPathNode::SetName(const char16_t* text) {
  if (text) {
    OwnFields().name.Assign(text, static_cast<int>(std::char_traits<char16_t>::length(text)));
  } else if (hasOwn_) {
    ref_.own->name.Clear();
  }
  hasName_ = text != nullptr;
}

void KTXPathNode::SetNameOf(const KTXPathNode* source) {
  if (source->hasName_) {
    OwnFields().name = source->ref_.own->name;
    hasName_ = true;
    return;
  }
  const char16_t* text = source->GetName();
  {
    const KTXName* interned = source->WrappedInternedName();
    if (interned && interned->c_str() == text) {
      OwnFields().name = *interned;
      hasName_ = true;
      return;
    }
  }
  SetName(text);
}

// ---- Prefix maps ----

const KTPrefixMap* KTXPathNode::GetElementNamespaceMap() const {
  for (const KTXPathNode* n = this; n; n = n->parent_) {
    if (IsAttributeLike(n->kind_)) return n->GetAttributeNamespaceMap();
    if (KTPrefixMaps* maps = n->Maps(); maps && maps->element) return maps->element.get();
  }
  return nullptr;
}

const KTPrefixMap* KTXPathNode::GetAttributeNamespaceMap() const {
  for (const KTXPathNode* n = this; n; n = n->parent_) {
    if (KTPrefixMaps* maps = n->Maps(); maps && maps->attribute) return maps->attribute.get();
  }
  return nullptr;
}

const KTPrefixMap* KTXPathNode::GetNodeNamespaceMap(const KTXPathNode* node, const void*) {
  if (!node) return nullptr;
  return node->kind_ == kXPathAttribute ? node->GetAttributeNamespaceMap() : node->GetElementNamespaceMap();
}

KTPrefixMapRef KTXPathNode::InheritedElementMap() const {
  for (const KTXPathNode* n = this; n; n = n->parent_) {
    if (KTPrefixMaps* maps = n->Maps(); maps && maps->element) return maps->element;
  }
  return nullptr;
}

KTPrefixMapRef KTXPathNode::InheritedAttributeMap() const {
  for (const KTXPathNode* n = this; n; n = n->parent_) {
    if (KTPrefixMaps* maps = n->Maps(); maps && maps->attribute) return maps->attribute;
  }
  return nullptr;
}

const KTPrefixMapRef& KTXPathNode::NoMap() {
  static const KTPrefixMapRef none;
  return none;
}

KTPrefixMaps* KTXPathNode::NearestMaps() const {
  for (const KTXPathNode* n = this; n; n = n->parent_) {
    if (KTPrefixMaps* maps = n->Maps()) return maps;
  }
  return nullptr;
}

void KTXPathNode::HoldMaps(KTPrefixMaps* maps) {
  if (leaf_) {
    if (maps) throw KTXTreeException(KTXTreeException::kPlacementViolation);
    return;
  }
  KTPrefixMaps*& held = BranchPart().maps;
  if (maps) ++maps->holders;
  if (held && --held->holders == 0) delete held;
  held = maps;
}

void KTXPathNode::SetMaps(KTPrefixMapRef elementMap, KTPrefixMapRef attributeMap) {
  if (leaf_) {
    // Checked before a pair is made: a leaf takes none.
    HoldMaps(nullptr);
    if (elementMap || attributeMap) throw KTXTreeException(KTXTreeException::kPlacementViolation);
    return;
  }
  if (!elementMap && !attributeMap) {
    HoldMaps(nullptr);
    return;
  }
  // The maps the parent shows, as they are: share its pair.
  if (parent_) {
    if (KTPrefixMaps* inherited = parent_->NearestMaps()) {
      if (inherited->element == elementMap && inherited->attribute == attributeMap) {
        HoldMaps(inherited);
        return;
      }
    }
  }
  HoldMaps(new KTPrefixMaps{std::move(elementMap), std::move(attributeMap)});
}

void KTXPathNode::ShareParentMaps() {
  KTPrefixMaps* nearest = parent_ ? parent_->NearestMaps() : nullptr;
  if (nearest && nearest->element && nearest->attribute) {
    // The pair SetMaps would find for the parent's inherited maps.
    HoldMaps(nearest);
    return;
  }
  SetMaps(parent_ ? parent_->InheritedElementMap() : nullptr, parent_ ? parent_->InheritedAttributeMap() : nullptr);
}

bool KTXPathNode::HoldsMapsAlone() const {
  const KTPrefixMaps* maps = Maps();
  return maps && maps->holders == 1 && maps->element && maps->attribute && maps->element.use_count() == 1 &&
         maps->attribute.use_count() == 1;
}

bool KTXPathNode::OwnsMaps() const {
  const KTPrefixMaps* maps = Maps();
  if (!maps || (!maps->element && !maps->attribute)) return false;
  if (!parent_) return true;
  return maps->element != parent_->InheritedElementMap() || maps->attribute != parent_->InheritedAttributeMap();
}

// ---- xml:space ----

KTXPathNode::SpaceAttribute KTXPathNode::OwnSpaceAttribute(const KTXPathNode* element) {
  if (element->GetKind() != kXPathElement) return SpaceAttribute::kNone;
  // Attributes and namespace nodes lead an element's children.
  for (const auto& child : element->Children()) {
    int kind = child->GetKind();
    if (kind != kXPathAttribute && kind != kXPathNamespace) break;
    if (kind != kXPathAttribute) continue;
    const char16_t* name = child->GetName();
    if (name[0] != u'x' || std::u16string_view(name) != u"xml:space") continue;
    std::u16string_view value(child->GetValue());
    if (value == u"preserve") return SpaceAttribute::kPreserve;
    if (value == u"default") return SpaceAttribute::kDefault;
    return SpaceAttribute::kNone;
  }
  return SpaceAttribute::kNone;
}

// ---- Document URI ----

namespace {
bool TakesParentDocumentUri(int kind) {
  return kind == kXPathText || kind == kXPathAttribute || kind == kXPathNamespace || kind == kXPathComment;
}
}  // namespace

void KTXPathNode::SetDocumentUri(const KTString* uri) {
  KTXPathNode* n = this;
  while (n && TakesParentDocumentUri(n->kind_)) n = n->parent_;
  if (n) n->OwnExtra().documentUri = uri;
}

const KTString* KTXPathNode::GetDocumentUri(const KTXPathNode* node) {
  for (const KTXPathNode* n = node; n; n = n->parent_) {
    if (!TakesParentDocumentUri(n->kind_) && n->hasExtra_) {
      if (const KTString* uri = n->FindExtra()->documentUri) return uri;
    }
  }
  return nullptr;
}

// ---- Children ----

namespace {

// An array is raw memory, its counts ahead of the items constructed in
// place (an array new of std::unique_ptr would add a count of its own).
// Arrays of up to 31 items come from the nodes' per-size free lists like the
// nodes themselves (most elements have a few children); larger ones from
// the general allocator.
size_t ArrayBytes(size_t capacity) { return (capacity + 1) * sizeof(KTXPathChildren::Item); }

}  // namespace

KTXPathChildren::~KTXPathChildren() { clear(); }

void KTXPathChildren::Grow(size_t needed) {
  const size_t capacity = Capacity();
  if (needed <= capacity) return;
  if (needed > UINT32_MAX) throw std::bad_alloc();
  const size_t grown = std::max<size_t>({needed, size_t{2}, std::min<size_t>(capacity * 2, UINT32_MAX)});
  const size_t count = size();
  auto* head = static_cast<Head*>(KTXNodePoolAllocate(ArrayBytes(grown)));
  head->size = static_cast<uint32_t>(count);
  head->capacity = static_cast<uint32_t>(grown);
  Item* items = head->Items();
  for (size_t i = 0; i < grown; ++i) new (items + i) Item();
  Item* old = begin();
  for (size_t i = 0; i < count; ++i) items[i] = std::move(old[i]);
  clear();
  store_.bits = reinterpret_cast<uintptr_t>(head) | 1u;
}

void KTXPathChildren::reserve(size_t count) { Grow(count); }

void KTXPathChildren::PushBackGrowing(Item item) {
  const size_t count = size();
  Grow(count + 1);
  Head* head = Array();
  head->Items()[count] = std::move(item);
  ++head->size;
}

void KTXPathChildren::insert(size_t index, Item item) {
  // Geometric growth: appending n children costs O(n) overall.
  const size_t count = size();
  if (count == Capacity()) Grow(count + 1);
  Item* items = begin();
  for (size_t i = count; i > index; --i) items[i] = std::move(items[i - 1]);
  items[index] = std::move(item);
  if (IsArray()) ++Array()->size;
}

KTXPathChildren::Item KTXPathChildren::erase(size_t index) {
  const size_t count = size();
  Item* items = begin();
  Item item = std::move(items[index]);
  for (size_t i = index + 1; i < count; ++i) items[i - 1] = std::move(items[i]);
  // The lone place counts as empty once its child moved out.
  if (IsArray()) --Array()->size;
  return item;
}

void KTXPathChildren::clear() {
  if (IsArray()) {
    Head* head = Array();
    Item* items = head->Items();
    const size_t capacity = head->capacity;
    for (size_t i = 0; i < capacity; ++i) items[i].~unique_ptr();
    KTXNodePoolFree(head, ArrayBytes(capacity));
  } else {
    store_.one.~Item();
  }
  store_.bits = 0;
}

void KTXPathChildren::truncate(size_t count) {
  if (IsArray() && count < Array()->size) Array()->size = static_cast<uint32_t>(count);
}

std::vector<KTXPathChildren::Item> KTXPathChildren::release() {
  std::vector<Item> out;
  const size_t count = size();
  out.reserve(count);
  Item* items = begin();
  for (size_t i = 0; i < count; ++i) out.push_back(std::move(items[i]));
  clear();
  return out;
}

KTXPathNode* KTXPathNode::GetNextSibling() const {
  if (!parent_ || indexInParent_ < 0 || indexInParent_ + 1 >= parent_->GetChildCount()) return nullptr;
  return parent_->Children()[indexInParent_ + 1].get();
}

KTXPathNode* KTXPathNode::GetPreviousSibling() const {
  if (!parent_ || indexInParent_ <= 0) return nullptr;
  return parent_->Children()[indexInParent_ - 1].get();
}

int KTXPathNode::FirstChildOfKind(int kind) const {
  for (int i = 0; i < GetChildCount(); ++i) {
    if (Children()[i]->kind_ == kind) return i;
  }
  return GetChildCount();
}

void KTXPathNode::CheckPlacement(const KTXPathNode* parent, const KTXPathNode* child, int index) {
  int pk = parent->kind_;
  int ck = child->kind_;
  bool ok = true;
  if (IsAttributeLike(pk) && ck != kXPathText) ok = false;
  if (pk == kXPathRoot && ck == kXPathAttribute) ok = false;
  if (IsAttributeLike(ck)) {
    // Attribute and namespace children come before all others.
    if (index > 0 && !IsAttributeLike(parent->Children()[index - 1]->kind_)) ok = false;
  } else if (index < parent->GetChildCount() && IsAttributeLike(parent->Children()[index]->kind_)) {
    ok = false;
  }
  if (!ok) throw KTXTreeException(KTXTreeException::kPlacementViolation);
}

KTXPathChildren& KTXPathNode::MutableChildren() {
  if (leaf_) throw KTXTreeException(KTXTreeException::kPlacementViolation);
  return BranchPart().children;
}

KTXPathNode* KTXPathNode::InsertChild(int index, std::unique_ptr<KTXPathNode> child) {
  KTXPathChildren& children = MutableChildren();
  CheckPlacement(this, child.get(), index);
  child->parent_ = this;
  child->documentNumber_ = documentNumber_;
  KTXPathNode* raw = child.get();
  children.insert(static_cast<size_t>(index), std::move(child));
  Reindex(index);
  return raw;
}

std::unique_ptr<KTXPathNode> KTXPathNode::RemoveChild(int index) {
  std::unique_ptr<KTXPathNode> child = MutableChildren().erase(static_cast<size_t>(index));
  Reindex(index);
  // A node that shared this node's maps keeps them alive through its refs.
  child->parent_ = nullptr;
  child->indexInParent_ = -1;
  return child;
}

KTXPathNode::ChildList KTXPathNode::ReleaseChildren() {
  if (leaf_) return {};
  ChildList out = MutableChildren().release();
  for (auto& c : out) {
    c->parent_ = nullptr;
    c->indexInParent_ = -1;
  }
  return out;
}

std::unique_ptr<KTXPathNode> KTXPathNode::TakeChildAt(int index) {
  std::unique_ptr<KTXPathNode> child = std::move(MutableChildren()[index]);
  child->parent_ = nullptr;
  child->indexInParent_ = -1;
  return child;
}

void KTXPathNode::PutChildAt(int index, std::unique_ptr<KTXPathNode> child) {
  child->parent_ = this;
  child->documentNumber_ = documentNumber_;
  child->indexInParent_ = index;
  MutableChildren()[index] = std::move(child);
}

void KTXPathNode::CloseChildGaps() {
  if (leaf_) return;
  KTXPathChildren& children = MutableChildren();
  const size_t count = children.size();
  size_t kept = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!children[i]) continue;
    if (kept != i) children[kept] = std::move(children[i]);
    children[kept]->indexInParent_ = static_cast<int32_t>(kept);
    ++kept;
  }
  children.truncate(kept);
}

void KTXPathNode::Reindex(int from) {
  if (leaf_) return;
  KTXPathChildren& children = MutableChildren();
  for (int i = from; i < static_cast<int>(children.size()); ++i) children[i]->indexInParent_ = i;
}

KTXPathNode* KTXPathNode::NextInDocumentOrder(bool forward) const {
  if (forward) {
    if (!Children().empty()) return Children().front().get();
    if (!parent_) return nullptr;
    for (const KTXPathNode* n = this; n->parent_; n = n->parent_) {
      if (n->indexInParent_ < 0) return nullptr;  // a namespace node outside the child list
      if (KTXPathNode* next = n->GetNextSibling()) return next;
    }
    return nullptr;
  }
  if (!parent_ || indexInParent_ < 0) return nullptr;
  if (indexInParent_ == 0) return parent_;
  KTXPathNode* n = parent_->Children()[indexInParent_ - 1].get();
  while (!n->Children().empty()) n = n->Children().back().get();
  return n;
}

// ---- Namespace nodes ----

int KTXPathNode::NamespaceNodeRank(const KTXPathNode* node) const {
  const Extra* extra = node ? FindExtra() : nullptr;
  if (!extra) return -1;
  const auto& nodes = extra->namespaceNodes;
  // The list is the node of "xml" (when bound), then the others by prefix
  // (each once, in code-unit order), so a node is found by a binary search
  // on its name: sorting many namespace nodes of one element stays
  // O(n log n) comparisons of O(log n) each.
  std::u16string_view name(node->GetName());
  if (name == u"xml") return !nodes.empty() && nodes.front().get() == node ? 0 : -1;
  auto first = nodes.begin();
  if (first != nodes.end() && std::u16string_view((*first)->GetName()) == u"xml") ++first;
  auto at = std::lower_bound(first, nodes.end(), name, [](const std::unique_ptr<KTXPathNode>& n, std::u16string_view key) {
    return std::u16string_view(n->GetName()) < key;
  });
  if (at == nodes.end() || at->get() != node) return -1;
  return static_cast<int>(at - nodes.begin());
}

const std::vector<std::unique_ptr<KTXPathNode>>* KTXPathNode::GetNamespaceNodes() {
  if (kind_ != kXPathElement) return nullptr;
  Extra& extra = OwnExtra();
  if (extra.namespaceNodesBuilt) return &extra.namespaceNodes;
  extra.namespaceNodesBuilt = true;
  KTPrefixMapRef map = InheritedElementMap();
  if (!map) return &extra.namespaceNodes;
  for (const auto& [prefix, uri] : *map) {
    if (!uri || uri->IsEmpty()) continue;
    auto node = std::make_unique<KTXPathNode>(nullptr, kXPathNamespace);
    node->parent_ = this;
    node->SetName(prefix);
    node->SetValue(*uri);
    extra.namespaceNodes.push_back(std::move(node));
  }
  // The axis gives the nodes in document order, which puts "xml" first.
  auto& nodes = extra.namespaceNodes;
  auto xml = std::find_if(nodes.begin(), nodes.end(),
                          [](const std::unique_ptr<KTXPathNode>& n) { return std::u16string_view(n->GetName()) == u"xml"; });
  if (xml != nodes.end()) std::rotate(nodes.begin(), xml, xml + 1);
  return &extra.namespaceNodes;
}

size_t KTXPathNode::SubtreeSize() const {
  size_t size = 0;
  std::vector<const KTXPathNode*> pending{this};
  while (!pending.empty()) {
    const KTXPathNode* node = pending.back();
    pending.pop_back();
    ++size;
    for (const auto& child : node->Children()) pending.push_back(child.get());
  }
  return size;
}

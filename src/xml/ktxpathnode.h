// KTXPathNode: the node of the tree that XPath expressions and the XSLT
// processor walk. The tree context builds one for every node of a wrapped
// document (plus namespace nodes, default attributes and default text); the
// XSLT result tree is made of the same class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <new>
#include <memory>
#include <string_view>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxname.h"
#include "xml/ktxnode.h"
#include "xml/ktxnodepool.h"

enum KTXPathNodeKind : int {
  kXPathRoot = 0,
  kXPathElement = 1,
  kXPathText = 2,
  kXPathAttribute = 3,
  kXPathNamespace = 4,
  kXPathPI = 5,
  kXPathCData = 6,
  kXPathComment = 7,
  kXPathXmlDecl = 8,
  kXPathDoctype = 9,
  kXPathDoctypeExternalId = 10,
  kXPathDoctypeElement = 11,
  kXPathDoctypeAttlist = 12,
  kXPathDoctypeEntity = 13,
  kXPathDoctypeNotation = 14,
  // Constructor argument only: derive the kind from the wrapped node.
  kXPathKindFromNode = 17,
};

// Prefix to interned URI (null: no namespace, an undeclared default). The
// empty prefix is the default namespace. Maps are shared between an element
// and its descendants that declare nothing; shared_ptr makes the last holder
// free them, whichever tree (document, fragment, result) it belongs to.
// Prefixes order by UTF-16 code units; lookups also take a string view, so
// that a prefix cut out of a name is found without a copy.
struct KTPrefixLess {
  using is_transparent = void;
  bool operator()(const KTString& a, const KTString& b) const { return a.View() < b.View(); }
  bool operator()(const KTString& a, std::u16string_view b) const { return a.View() < b; }
  bool operator()(std::u16string_view a, const KTString& b) const { return a < b.View(); }
};
using KTPrefixMap = std::map<KTString, const KTString*, KTPrefixLess>;
using KTPrefixMapRef = std::shared_ptr<KTPrefixMap>;

// The element and attribute maps a node holds, as one shared pair: an element
// that declares nothing shares its parent's pair (one pointer, one count).
struct KTPrefixMaps {
  KTPrefixMapRef element;
  KTPrefixMapRef attribute;
  // Nodes holding the pair (view trees are built and freed on one thread,
  // so a plain count).
  uint32_t holders = 0;
};

// Thrown by value when a node is placed where the placement rules forbid it
// (code 1).
class KTXTreeException {
 public:
  static constexpr int kPlacementViolation = 1;  // a node where the placement rules forbid it
  explicit KTXTreeException(int code) : code_(code) {}
  int GetCode() const { return code_; }

 private:
  int code_;
};

class KTXPathNode;

// The children of a view node: owning pointers in document order, kept in
// 8 bytes since a large document has millions of nodes, most of them with
// one child or none. Iterates like a vector of std::unique_ptr<KTXPathNode>.
class KTXPathChildren {
 public:
  using Item = std::unique_ptr<KTXPathNode>;

  constexpr KTXPathChildren() = default;
  ~KTXPathChildren();
  KTXPathChildren(const KTXPathChildren&) = delete;
  KTXPathChildren& operator=(const KTXPathChildren&) = delete;

  size_t size() const { return IsArray() ? Array()->size : store_.one != nullptr; }
  bool empty() const { return size() == 0; }
  Item* begin() { return IsArray() ? Array()->Items() : &store_.one; }
  Item* end() { return begin() + size(); }
  const Item* begin() const { return IsArray() ? Array()->Items() : &store_.one; }
  const Item* end() const { return begin() + size(); }
  Item& operator[](size_t index) { return begin()[index]; }
  const Item& operator[](size_t index) const { return begin()[index]; }
  const Item& front() const { return begin()[0]; }
  const Item& back() const { return begin()[size() - 1]; }

  void reserve(size_t count);
  void insert(size_t index, Item item);
  // Inline while there is room: a wrap appends every node of a document.
  void push_back(Item item) {
    if (IsArray()) {
      Head* head = Array();
      if (head->size < head->capacity) {
        head->Items()[head->size++] = std::move(item);
        return;
      }
    } else if (!store_.one) {
      store_.one = std::move(item);
      return;
    }
    PushBackGrowing(std::move(item));
  }
  Item erase(size_t index);
  // Drops the places from `count` on, which must be empty.
  void truncate(size_t count);
  // Moves every item out in order; the list is empty (and freed) afterwards.
  std::vector<Item> release();
  // Destroys every item and frees the array.
  void clear();

 private:
  // An array of two or more places: its counts, then the items.
  struct Head {
    uint32_t size;
    uint32_t capacity;
    Item* Items() { return reinterpret_cast<Item*>(this + 1); }
  };
  static_assert(sizeof(Head) == sizeof(Item));

  void Grow(size_t needed);
  void PushBackGrowing(Item item);
  // An array is held as its address with the lowest bit set; a node's
  // address (every node is aligned to 8) never has it.
  bool IsArray() const { return store_.bits & 1u; }
  Head* Array() const { return reinterpret_cast<Head*>(store_.bits - 1); }
  size_t Capacity() const { return IsArray() ? Array()->capacity : 1; }

  // A lone child (the most common case: an element holding one text) is
  // kept in place, null when there is none; two or more in an array.
  union Store {
    constexpr Store() : bits(0) {}
    ~Store() {}
    uintptr_t bits;
    Item one;
  } store_;
};
static_assert(sizeof(KTXPathChildren) == 8);

// The children of every leaf (see KTXPathNode::NewLeaf): none.
extern const KTXPathChildren gKTXPathNoChildren;

class KTXPathNode {
 public:
  using ChildList = std::vector<std::unique_ptr<KTXPathNode>>;

  // kind 17 derives the kind from the wrapped node.
  explicit KTXPathNode(KTXNode* node, int kind = kXPathKindFromNode);
  // A node of a wrapped document, made with its kind (not 17), parent link,
  // position and document number at once.
  KTXPathNode(KTXNode* node, int kind, KTXPathNode* parent, int32_t position, int32_t documentNumber,
              bool fromEntity)
      : parent_(parent),
        position_(position),
        documentNumber_(documentNumber),
        kind_(static_cast<uint8_t>(kind)),
        fromEntity_(fromEntity) {
    ref_.xnode = node;
    MakeBranch();
  }
  // An attribute of a wrapped document shown straight from its element's
  // pending block (KTXContainerNode::ShowPendingAttributes): the entry
  // `index` (below KTXContainerNode::kMostShownAttributes) stands for the
  // attribute node, which is made only when GetXNode asks for it.
  KTXPathNode(const KTXCompactAttributes* block, int index, KTXPathNode* parent, int32_t position,
              int32_t documentNumber, bool fromEntity)
      : parent_(parent),
        position_(position),
        documentNumber_(documentNumber),
        compactEntry_(static_cast<uint16_t>(index + 1)),
        kind_(kXPathAttribute),
        fromEntity_(fromEntity) {
    ref_.block = block;
    MakeBranch();
  }
  // Leaves: nodes made without the room for children and prefix maps, which
  // a wrapped document's texts and attributes never take (they are most of
  // a large document's nodes). Otherwise made as by the two constructors
  // above. A leaf refuses a child (KTXTreeException(1)) and holds no maps.
  static std::unique_ptr<KTXPathNode> NewLeaf(KTXNode* node, int kind, KTXPathNode* parent, int32_t position,
                                              int32_t documentNumber, bool fromEntity) {
    auto* leaf = ::new (KTXNodePoolAllocate(sizeof(KTXPathNode))) KTXPathNode(kLeaf, parent, position, documentNumber,
                                                                               kind, fromEntity);
    leaf->ref_.xnode = node;
    return std::unique_ptr<KTXPathNode>(leaf);
  }
  static std::unique_ptr<KTXPathNode> NewLeaf(const KTXCompactAttributes* block, int index, KTXPathNode* parent,
                                              int32_t position, int32_t documentNumber, bool fromEntity) {
    auto* leaf = ::new (KTXNodePoolAllocate(sizeof(KTXPathNode)))
        KTXPathNode(kLeaf, parent, position, documentNumber, kXPathAttribute, fromEntity);
    leaf->ref_.block = block;
    leaf->compactEntry_ = static_cast<uint16_t>(index + 1);
    return std::unique_ptr<KTXPathNode>(leaf);
  }
  // A node of `kind` that shows what `source` wraps (its document node, or
  // its attribute entry), without a parent, position or own fields; a leaf
  // when asked.
  static std::unique_ptr<KTXPathNode> ShowingWrappedOf(const KTXPathNode& source, int kind, bool leaf = false);
  // A leaf of `kind` wrapping nothing, without a parent or position (a text
  // or attribute of a result tree that never takes children).
  static std::unique_ptr<KTXPathNode> NewLeaf(int kind) {
    return NewLeaf(static_cast<KTXNode*>(nullptr), kind, nullptr, -1, -1, false);
  }
  // A copy with position and document number 0; with deep the children are
  // copied too (placement rules apply).
  KTXPathNode(const KTXPathNode& source, bool deep, KTXPathNode* newParent);
  KTXPathNode(const KTXPathNode&) = delete;
  KTXPathNode& operator=(const KTXPathNode&) = delete;
  // View nodes come from the document nodes' per-size free lists
  // (ktxnodepool.cpp): no allocator header per node. A node made by `new`
  // has its branch part (children and maps) right after it; a delete
  // destroys the node and frees what it was made with, leaf or not. The
  // destructor is private, so that no node lives outside these (a node on
  // the stack would have no room for its branch part).
  static void* operator new(size_t size);
  static void operator delete(KTXPathNode* node, std::destroying_delete_t) noexcept;
  // Frees a node whose constructor threw.
  static void operator delete(void* node, size_t size) noexcept;

  static int KindOfXNode(const KTXNode* node);

  // ---- Identity ----
  int GetKind() const { return kind_; }
  KTXNode* GetXNode() const {
    if (compactEntry_) [[unlikely]]
      return MadeAttributeNode();
    return hasOwn_ ? ref_.own->wrapped.xnode : ref_.xnode;
  }
  // Whether the node shows a document node (or an attribute entry standing
  // for one); GetXNode would then answer non-null.
  bool WrapsNode() const { return (hasOwn_ ? ref_.own->wrapped.xnode : ref_.xnode) != nullptr; }
  // The interned name of what the node wraps, without making a node for an
  // attribute entry; null when it wraps nothing or a node without one.
  const KTXName* WrappedInternedName() const {
    if (compactEntry_) [[unlikely]]
      return ShownAttributeName();
    const KTXNode* node = hasOwn_ ? ref_.own->wrapped.xnode : ref_.xnode;
    return node ? node->InternedName() : nullptr;
  }
  // The attribute entry the node shows (null: none).
  const KTXCompactAttribute* CompactAttribute() const {
    return compactEntry_ ? &(*Block())[compactEntry_ - 1] : nullptr;
  }
  KTXPathNode* GetParent() const { return parent_; }
  int32_t GetPosition() const { return position_; }
  int32_t GetDocumentNumber() const { return documentNumber_; }
  void SetPosition(int32_t position) { position_ = position; }
  void SetDocumentNumber(int32_t number) { documentNumber_ = number; }

  // ---- Name, value, namespace ----
  const char16_t* GetName() const;
  const char16_t* GetValue() const;
  bool HasOwnValue() const { return hasValue_; }
  bool HasOwnName() const { return hasName_; }
  // Null clears the own string (the wrapped node's then shows).
  void SetValue(const char16_t* text);
  void SetValue(KTString&& text) {
    OwnFields().value = std::move(text);
    hasValue_ = true;
  }
  // Appends to the node's own value (which starts as the shown value);
  // repeated appends cost linear time overall.
  void AppendValue(const char16_t* text);
  // Own names are interned (KTXName): a result tree holds each distinct name
  // once.
  void SetName(const char16_t* text);
  // Sets the name the source shows as this node's own, sharing the source's
  // interned name (its own, or its wrapped node's) instead of interning the
  // text again.
  void SetNameOf(const KTXPathNode* source);
  const KTString* GetNamespaceUri() const { return namespaceUri_; }
  void SetNamespaceUri(const KTString* uri) { namespaceUri_ = uri; }

  // ---- Prefix maps ----
  const KTPrefixMap* GetElementNamespaceMap() const;
  const KTPrefixMap* GetAttributeNamespaceMap() const;
  // The map that resolves the node's own name (the second argument is unused).
  static const KTPrefixMap* GetNodeNamespaceMap(const KTXPathNode* node, const void* unused = nullptr);
  const KTPrefixMapRef& OwnElementMap() const { return Maps() ? Maps()->element : NoMap(); }
  const KTPrefixMapRef& OwnAttributeMap() const { return Maps() ? Maps()->attribute : NoMap(); }
  // The nearest maps held by this node or an ancestor (empty refs when none).
  KTPrefixMapRef InheritedElementMap() const;
  KTPrefixMapRef InheritedAttributeMap() const;
  void SetMaps(KTPrefixMapRef elementMap, KTPrefixMapRef attributeMap);
  // SetMaps(parent's InheritedElementMap(), InheritedAttributeMap()),
  // sharing the parent's pair without copying its references when it holds
  // both maps.
  void ShareParentMaps();
  // True when the node holds map objects other than its parent's.
  bool OwnsMaps() const;
  // True when no other node (nor anything else) holds the node's maps, so
  // they may take a binding in place.
  bool HoldsMapsAlone() const;

  // ---- Document URI ----
  const KTString* GetOwnDocumentUri() const;
  void SetDocumentUri(const KTString* uri);
  // Text, attribute, namespace and comment nodes take their parent's; other
  // nodes their own when set, else their parent's.
  static const KTString* GetDocumentUri(const KTXPathNode* node);

  // ---- Children ----
  const KTXPathChildren& Children() const { return leaf_ ? gKTXPathNoChildren : BranchPart().children; }
  int GetChildCount() const { return static_cast<int>(Children().size()); }
  // `index` is below GetChildCount(), so the node is no leaf.
  KTXPathNode* GetChild(int index) const { return BranchPart().children[index].get(); }
  bool IsLeaf() const { return leaf_; }
  // The number of nodes under this one, itself included; walked without
  // recursion, so any depth is safe.
  size_t SubtreeSize() const;
  // Index of this node among its parent's children (-1 without a parent).
  int GetIndexInParent() const { return indexInParent_; }
  KTXPathNode* GetNextSibling() const;
  KTXPathNode* GetPreviousSibling() const;
  // Index of the first child of the kind, or the child count.
  int FirstChildOfKind(int kind) const;
  // Throws KTXTreeException(1) when the placement rules forbid the child (it
  // is then destroyed with the unique_ptr unless the caller keeps it). The
  // child takes this node's document number and the parent link.
  KTXPathNode* AppendChild(std::unique_ptr<KTXPathNode> child) {
    if (leaf_) [[unlikely]]
      throw KTXTreeException(KTXTreeException::kPlacementViolation);
    KTXPathChildren& children = BranchPart().children;
    const int index = static_cast<int>(children.size());
    // Only attribute and namespace nodes, as parents or as children, are
    // placed by rule: an append of any other child under any other parent
    // needs no check.
    if (IsAttributeLike(kind_) || IsAttributeLike(child->kind_)) CheckPlacement(this, child.get(), index);
    child->parent_ = this;
    child->documentNumber_ = documentNumber_;
    child->indexInParent_ = index;
    KTXPathNode* raw = child.get();
    children.push_back(std::move(child));
    return raw;
  }
  void ReserveChildren(int count) {
    if (count > 1 && !leaf_) BranchPart().children.reserve(count);  // one child fits in place
  }
  KTXPathNode* InsertChild(int index, std::unique_ptr<KTXPathNode> child);
  std::unique_ptr<KTXPathNode> RemoveChild(int index);
  // Takes every child out (parent links cleared), in order.
  ChildList ReleaseChildren();
  // Rewriting the child list in place, in one pass over it: TakeChildAt
  // leaves the child's place empty, PutChildAt fills an empty place with a
  // node that has no parent, and CloseChildGaps drops the places still
  // empty, keeping the order. Between the first and the last, nothing else
  // may read the children. Placement rules are not checked: only character
  // data may be taken out or put in.
  std::unique_ptr<KTXPathNode> TakeChildAt(int index);
  void PutChildAt(int index, std::unique_ptr<KTXPathNode> child);
  void CloseChildGaps();
  // Sets only the parent link, for a node that is being built before it is
  // appended (AppendChild sets it again).
  void SetParentLink(KTXPathNode* parent) { parent_ = parent; }
  // Throws KTXTreeException(1) when `child` may not stand under `parent`
  // after `before` existing children.
  static void CheckPlacement(const KTXPathNode* parent, const KTXPathNode* child, int index);

  KTXPathNode* NextInDocumentOrder(bool forward) const;

  // ---- Namespace nodes (elements; built once) ----
  const std::vector<std::unique_ptr<KTXPathNode>>* GetNamespaceNodes();
  // The nodes, and the place of one of this element's namespace nodes among
  // them once they are made: the node of the xml prefix (in scope
  // everywhere) first, then the others in the order of their prefixes; -1
  // for a node that is not one of them. The axis walks the list, so its
  // positions agree with document order. Document order among an element's namespace nodes is
  // left to the implementation (XPath 1.0 §5); this order does not depend
  // on where the nodes happen to lie in memory.
  int NamespaceNodeRank(const KTXPathNode* node) const;

  // ---- xml:space ----
  // What an element's own xml:space attribute says (XML 1.0 §2.10):
  // preserve, default, or nothing (no attribute, another value, not an
  // element), when the nearest ancestor's holds.
  enum class SpaceAttribute { kNone, kPreserve, kDefault };
  static SpaceAttribute OwnSpaceAttribute(const KTXPathNode* element);

  // ---- Flags ----
  bool GetOutputFlag() const { return output_; }
  void SetOutputFlag(bool value) { output_ = value; }
  bool IsFromEntity() const { return fromEntity_; }
  void SetFromEntity(bool value) { fromEntity_ = value; }
  // An attribute that its element's declaration types as ID (XPath id());
  // copies do not keep it.
  bool IsIdAttribute() const { return idAttribute_; }
  void SetIdAttribute(bool value) { idAttribute_ = value; }
  // Set on the root of a view as it is wrapped (KTXPathTreeContext::WrapTree)
  // when no CDATA section and no two texts side by side stand in it: the
  // character data needs no joining. Read once, by the strip that follows
  // the wrap; taking it clears it, so no later change can find it stale.
  void SetCharacterDataApart(bool value) { characterDataApart_ = value; }
  bool TakeCharacterDataApart() {
    const bool apart = characterDataApart_;
    characterDataApart_ = false;
    return apart;
  }

 private:
  // What few nodes hold: a document URI, the namespace nodes of an element
  // once asked for.
  struct Extra {
    const KTString* documentUri = nullptr;
    bool namespaceNodesBuilt = false;
    std::vector<std::unique_ptr<KTXPathNode>> namespaceNodes;
  };

  // The own value and name. A document's nodes show their wrapped nodes'
  // and hold neither; nodes that instructions make hold one or both. Kept
  // apart (from the nodes' free lists) so that a document's nodes do not
  // carry the room. The wrapped node moves in with them: a node points at
  // either, so that it keeps one word for both.
  // What a node wraps: a document node, or (compactEntry_) the pending
  // block that holds its attribute entry.
  union Wrapped {
    KTXNode* xnode = nullptr;
    const KTXCompactAttributes* block;
  };
  struct Own {
    Wrapped wrapped;
    KTString value;  // when hasValue_
    KTXName name;    // when hasName_
  };

  // What a node made by `new` holds besides its own fields; a leaf has
  // none (see NewLeaf).
  struct Branch {
    KTPrefixMaps* maps = nullptr;  // counted by holders
    KTXPathChildren children;
  };
  struct LeafTag {};
  static constexpr LeafTag kLeaf{};

  KTXPathNode() { MakeBranch(); }
  KTXPathNode(LeafTag, KTXPathNode* parent, int32_t position, int32_t documentNumber, int kind, bool fromEntity)
      : parent_(parent),
        position_(position),
        documentNumber_(documentNumber),
        kind_(static_cast<uint8_t>(kind)),
        leaf_(true),
        fromEntity_(fromEntity) {}
  // Not virtual: no class derives from the view node, and a large document
  // has millions of them.
  ~KTXPathNode();
  void MakeBranch() { ::new (static_cast<void*>(this + 1)) Branch(); }
  Branch& BranchPart() const { return *std::launder(reinterpret_cast<Branch*>(const_cast<KTXPathNode*>(this) + 1)); }
  KTPrefixMaps* Maps() const { return leaf_ ? nullptr : BranchPart().maps; }
  // The children to change; a leaf has none to change and takes none
  // (KTXTreeException(1)).
  KTXPathChildren& MutableChildren();
  static bool IsAttributeLike(int kind) { return kind == kXPathAttribute || kind == kXPathNamespace; }
  Own& OwnFields();
  void CopyFieldsFrom(const KTXPathNode& source, KTXPathNode* newParent, bool shareMaps);
  void Reindex(int from);
  Extra& OwnExtra();
  // The node's side record (null without one). Side records live in one
  // table by node: most nodes never have one, so they carry only a flag.
  Extra* FindExtra() const;
  // The pair of the nearest node (this one or an ancestor) that holds maps.
  KTPrefixMaps* NearestMaps() const;
  // Holds the pair (or none), letting go of the one held before.
  void HoldMaps(KTPrefixMaps* maps);
  static const KTPrefixMapRef& NoMap();

  // What the node wraps (see Wrapped), or (hasOwn_) the own record that
  // holds it.
  union Ref {
    KTXNode* xnode = nullptr;
    const KTXCompactAttributes* block;
    Own* own;  // owned
  } ref_;
  // GetXNode of a node showing an attribute entry, and the entry's name.
  [[gnu::noinline]] KTXNode* MadeAttributeNode() const;
  [[gnu::noinline]] const KTXName* ShownAttributeName() const;
  const KTXCompactAttributes* Block() const { return hasOwn_ ? ref_.own->wrapped.block : ref_.block; }
  KTXPathNode* parent_ = nullptr;
  const KTString* namespaceUri_ = nullptr;
  int32_t position_ = -1;
  int32_t documentNumber_ = -1;
  int32_t indexInParent_ = -1;
  // The shown attribute entry's index + 1; 0 when the node shows none.
  uint16_t compactEntry_ = 0;
  uint8_t kind_ : 7 = kXPathRoot;
  bool leaf_ : 1 = false;
  bool hasValue_ : 1 = false;
  bool hasName_ : 1 = false;
  bool output_ : 1 = true;
  bool fromEntity_ : 1 = false;
  bool idAttribute_ : 1 = false;
  bool hasExtra_ : 1 = false;
  bool characterDataApart_ : 1 = false;
  bool hasOwn_ : 1 = false;
};

// A document has a view node for each of its nodes, and a result tree is made
// of them too: their size decides the memory of a run.
static_assert(sizeof(KTXPathNode) <= 40, "KTXPathNode grew");
// The branch part follows the node in memory.
static_assert(sizeof(KTXPathNode) % 8 == 0, "the branch part must stay aligned");

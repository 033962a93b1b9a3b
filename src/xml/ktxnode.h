// The document node model: KTXNode and its storage levels (value, named,
// container), child iterators, the change log of the editing operations and
// the outline-view state. Every parsed document, external entity and DTD is a
// tree of these nodes; the kinds live in ktxnodekinds.h and ktxdoctype.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxname.h"

class KTXNode;
class KTXContainerNode;
class KTTextChecker;
struct KTWriteOptions;
class KTXTextOut;
struct KTXWriteFrame;

// Node kinds; the numbers are stored and compared as ints.
enum KTXNodeKind : int {
  kXmlDocument = 0,
  kXmlEntity = 1,
  kDtdDocument = 2,
  kXmlTag = 3,
  kElement = 4,
  kAttribute = 5,
  kText = 6,
  kCData = 7,
  kComment = 8,
  kProcessingInstruction = 9,
  kDoctype = 10,
  kDoctypeExternalId = 11,
  kDoctypeElement = 12,
  kDoctypeAttlist = 13,
  kDoctypeEntity = 14,
  kDoctypeNotation = 15,
};
constexpr int kXNodeKindCount = 16;
// Stop kind of GatherChildrenOfKind meaning "no stop kind".
constexpr int kNoStopKind = 16;

// The four node flags (each a value bit and, shifted left by one, a
// set-here bit in the flag byte).
constexpr int kFlagChecked = 1;
constexpr int kFlagWrite = 4;

// A position in a container's child list: the child there, or the end
// (no child). A kind-restricted iterator skips children of other kinds as it
// advances. An iterator stays valid while other children are added, removed
// or moved.
class KTChildIterator {
 public:
  KTChildIterator() = default;

  bool IsEnd() const { return node_ == nullptr; }
  KTXNode* Node() const { return node_; }
  KTChildIterator& Next();
  const KTXNode* Owner() const { return owner_; }
  int Kind() const { return kind_; }

  friend bool operator==(const KTChildIterator& a, const KTChildIterator& b) {
    return a.node_ == b.node_ && (a.node_ || a.owner_ == b.owner_);
  }

 private:
  friend class KTXContainerNode;
  KTChildIterator(const KTXNode* owner, KTXNode* node, int kind) : owner_(owner), node_(node), kind_(kind) {}
  void SkipOtherKinds();

  const KTXNode* owner_ = nullptr;
  KTXNode* node_ = nullptr;
  int kind_ = -1;  // -1: every kind
};
using KTChildKindIterator = KTChildIterator;

// Change log records. Kind 5 (removal that emptied an attached table) is
// kept for its number; nothing here produces it.
enum KTXChangeKind : int {
  kChangeName = 0,
  kChangeValue = 1,
  kChangeInserted = 3,
  kChangeRemoved = 4,
  kChangeRemovedWithTable = 5,
  kChangeMoved = 6,
};

struct KTXChangeRecord {
  int kind = 0;
  KTXNode* node = nullptr;      // the node renamed, revalued, inserted, removed or moved
  KTXNode* next = nullptr;      // the sibling that followed it in the parent (null: the end)
  KTXNode* parent = nullptr;    // the parent it was inserted into, removed from or moved from
  std::unique_ptr<KTXNode> unlinked;  // a removed child, owned by the record
  bool expanded = false;        // the node's expanded byte
  KTString oldText;             // old name or value of a text change
};

// Optional argument of the editing operations; null means no logging.
class KTXChangeLog {
 public:
  KTXChangeRecord* NewRecord(int kind);
  int GetCount() const { return static_cast<int>(records_.size()); }
  KTXChangeRecord& GetRecord(int index) { return *records_[index]; }

 private:
  std::vector<std::unique_ptr<KTXChangeRecord>> records_;
};

// Filter of the outline view: a word per kind (non-zero: shown) and the
// checked-only word (shown nodes must also have flag 1 on).
struct KTXViewFilter {
  int kinds[kXNodeKindCount] = {};
  int checkedOnly = 0;
};

// Returned by WriteBeforeChild for a child that is not written.
constexpr int kSkipChild = -0x7fffffff;

// One attribute of an element's start tag as the loader keeps it before it
// stands as a node: what its Attribute node would hold (see
// KTXContainerNode::AddPendingAttribute). 24 bytes against a node's 64.
struct KTXCompactAttribute {
  KTXName name;
  KTString value;
  int32_t start;  // source offsets, as the node's
  int32_t end;
};

// The pending attributes of one element, in one block from the node pool:
// this header, then `capacity` entries of which the first `count` are in use.
//
// The XPath view of a document may show an element's attributes straight
// from its block (KTXContainerNode::ShowPendingAttributes): the block is
// then "shown", and stays as it is for as long as the element lives, even
// once the element's attribute nodes are made (they get copies of the
// entries), so that every view node pointing into it stays valid.
class KTXCompactAttributes {
 public:
  int Count() const { return count_; }
  const KTXCompactAttribute* begin() const { return Entries(); }
  const KTXCompactAttribute* end() const { return Entries() + count_; }
  const KTXCompactAttribute& operator[](int index) const { return Entries()[index]; }
  // The element the block belongs to.
  KTXContainerNode* Owner() const { return owner_; }

 private:
  friend class KTXContainerNode;
  KTXCompactAttribute* Entries() { return reinterpret_cast<KTXCompactAttribute*>(this + 1); }
  const KTXCompactAttribute* Entries() const { return reinterpret_cast<const KTXCompactAttribute*>(this + 1); }
  // A block for `capacity` entries, none in use.
  static KTXCompactAttributes* Make(int capacity);
  // Destroys the entries in use and gives the block back to the pool; with a
  // `pieceSize` its memory goes to the free list of that size (for the
  // attribute nodes made from it), cut in as many pieces as it holds.
  static void Free(KTXCompactAttributes* block, size_t pieceSize = 0);
  static size_t BlockSize(int capacity) {
    return sizeof(KTXCompactAttributes) + static_cast<size_t>(capacity) * sizeof(KTXCompactAttribute);
  }

  int32_t count_ = 0;
  int32_t capacity_ : 31 = 0;
  // Views point into the block (see above).
  uint32_t shown_ : 1 = 0;
  KTXContainerNode* owner_ = nullptr;
};
static_assert(sizeof(KTXCompactAttributes) == 16);
static_assert(sizeof(KTXCompactAttributes) % alignof(KTXCompactAttribute) == 0);

// What the read-only visit of an element's attributes gives for each one,
// pending or made as a node: its name, value and source offsets.
struct KTXAttributeView {
  const KTXName* name;
  const KTString* value;
  int32_t start;
  int32_t end;
};

class KTXNode {
 public:
  virtual ~KTXNode() = default;
  KTXNode(const KTXNode&) = delete;
  KTXNode& operator=(const KTXNode&) = delete;

  // Nodes of every kind come from per-size free lists carved out of large
  // blocks: a document holds millions of nodes, and a general allocation
  // would add its own header and rounding to each of them. Freed nodes are
  // kept for the next nodes of that size.
  static void* operator new(size_t size);
  static void operator delete(void* node, size_t size) noexcept;

  // ---- Kind ----
  virtual int GetKind() const = 0;
  const char16_t* GetKindName() const { return KindName(GetKind()); }
  static const char16_t* KindName(int kind);

  // ---- Copies ----
  // Deep copy (children cloned and re-parented); with reset the view state
  // of every copy is cleared. Iterative, so any depth is safe.
  std::unique_ptr<KTXNode> Clone(bool reset) const;
  // A fresh node of the same kind with the name (when HasName) and the value
  // (when IsEmpty); CopyShallow leaves out the value. No children.
  std::unique_ptr<KTXNode> Copy() const;
  std::unique_ptr<KTXNode> CopyShallow() const;
  virtual void ResetFields() { flags_ = 0; }

  // ---- Name and value ----
  virtual const char16_t* GetName() const { return u""; }
  const char16_t* GetLocalName() const;
  void SetName(const char16_t* text);
  virtual void SetName(const char16_t* text, int length) {}
  virtual bool HasName() const { return false; }
  virtual bool IsUnnamed() const { return false; }
  // The interned name of a node that keeps one (the named levels), else null:
  // a copy can share it instead of interning the text again.
  virtual const KTXName* InternedName() const { return nullptr; }
  bool HasPrefix() const;
  virtual const char16_t* GetValue() const { return u""; }
  // KTStrLen of GetName() and GetValue(), without the scan where the node
  // keeps the text with its length known (whole-document walks ask). A kind
  // that overrides GetName or GetValue overrides these too.
  virtual int GetNameLength() const;
  virtual int GetValueLength() const;
  void SetValue(const char16_t* text);
  virtual void SetValue(const char16_t* text, int length) {}
  virtual bool IsEmpty() const { return true; }  // the value is in use
  virtual bool HasComputedValue() const { return false; }
  virtual KTString GetTypeCode() const { return KTString(); }
  virtual void SetTypeCode(const char16_t* text) {}

  // ---- Tree ----
  KTXNode* GetParent() const { return parent_; }
  KTXNode* GetNextSibling() const { return next_; }
  // The first child of an element whose attributes are still pending (see
  // KTXContainerNode) has them before it: asking makes their nodes.
  KTXNode* GetPreviousSibling() const {
    return prev_ && prev_->next_ == this ? prev_ : PreviousOfFirstChild();
  }
  virtual bool IsContainer() const { return false; }
  virtual bool HasChildren() const { return false; }
  virtual int GetChildCount() const { return 0; }
  virtual KTXNode* GetFirstChild() const { return nullptr; }
  virtual KTXNode* GetLastChild() const { return nullptr; }
  // The first child that stands as a node, without making the nodes of the
  // pending attributes of an element (which come before it): for the walks
  // of the load (tidy-up, checks, counting) that read those attributes
  // through KTXContainerNode::VisitAttributes, or need them not at all.
  virtual KTXNode* GetFirstMadeChild() const { return nullptr; }
  virtual bool CanHaveChild(int kind) const { return false; }
  // Links the child before pos and returns it; a node that holds no children
  // returns null and leaves the child with the caller.
  virtual KTXNode* InsertChild(const KTChildIterator& pos, std::unique_ptr<KTXNode>&& child, KTXChangeLog* log) {
    return nullptr;
  }
  KTXNode* AppendChild(std::unique_ptr<KTXNode>&& child, KTXChangeLog* log = nullptr);
  // Without a log the child is deleted; with a log the record keeps it.
  virtual void RemoveChild(const KTChildIterator& pos, KTXChangeLog* log) {}
  virtual void DeleteChildren() {}
  virtual void FirstChildOfKind(KTChildIterator& out, int kind) { out = KTChildIterator(); }
  virtual void BeginChildren(KTChildIterator& out) { out = KTChildIterator(); }
  virtual KTChildIterator EndIterator() { return KTChildIterator(); }
  bool IsEnd(const KTChildIterator& it) const { return it.IsEnd(); }
  void EndChildren(KTChildIterator& out) { out = EndIterator(); }
  void GetPositionInParent(KTChildIterator& out) const;
  KTXNode* NextInDocumentOrder(bool forward) const;
  int CountChildrenOfKind(int kind) const;
  bool HasSameKindAndName(const KTXNode& other) const;
  virtual KTXNode* TakeChildren(const KTChildIterator& pos, KTXNode* from, KTChildIterator first,
                                KTChildIterator last, KTXChangeLog* log, bool normalize) {
    return first.Node();
  }

  // ---- Tidy-up ----
  virtual void NormalizeText(KTXChangeLog* log, KTXNode** tracked) {}
  // NormalizeText on this node, then on every node below it in document order.
  void ApplyToSubtree(KTXChangeLog* log, KTXNode** tracked);
  virtual void ValueToTextChild() {}
  void ValueToTextChildInSubtree();
  virtual void RemoveEmptyTexts(KTXChangeLog* log) {}
  void RemoveEmptyTextsInSubtree(KTXChangeLog* log);
  virtual bool MoveValueToTextChild(int entryIndex, KTXChangeLog* log) { return false; }

  // ---- Kind changes ----
  virtual bool CanChangeKindTo(int kind) const;
  // A node with a parent is replaced there by a new node of the kind, which
  // is returned; this node is then deleted (or kept by the log's record), so
  // the caller must not use it again. A node without a parent cannot delete
  // itself safely: use ChangeRootKind. Null and nothing changed otherwise.
  virtual KTXNode* ChangeKind(int kind, KTXChangeLog* log);
  static KTXNode* ChangeRootKind(std::unique_ptr<KTXNode>& root, int kind);

  // ---- Flags and outline view ----
  bool TestFlag(bool* setHere, int flag) const;
  void SetFlag(bool value, bool setHere, int flag);
  // Whether the children that IsShown(filter) admits leave the flag in a
  // single state: false as soon as two of them are on, or one is on and
  // another partial; otherwise true, with partial telling whether any was.
  // A child is on when TestFlag reports the flag on for it (inherited value
  // included); it is partial when its own children are not in a single state
  // or one of them is partial. Walks the subtree without recursion.
  bool GetChildFlagState(const KTXViewFilter* filter, bool& partial, int flag) const;
  uint8_t GetFlagByte() const { return flags_; }
  virtual bool IsExpandable() const { return false; }
  virtual bool IsExpanded() const { return false; }
  virtual void SetExpanded(bool value) {}
  virtual bool GetMark() const { return false; }
  virtual void SetMark(bool value) {}
  virtual void GetExtent(int& columns, int& rows) const;
  virtual int GetRowCount() const { return 1; }
  virtual void UpdateExtent(const KTXViewFilter* filter) {}
  void UpdateSubtreeExtent(const KTXViewFilter* filter);
  void UpdateExtentUpwards();
  virtual void ShrinkExtent() {}
  bool IsShown(const KTXViewFilter* filter) const;

  // ---- Source and output offsets (-1 when unset) ----
  int GetStartOffset() const { return startOffset_; }
  int GetEndOffset() const { return endOffset_; }
  void SetOffsets(int start, int end) {
    startOffset_ = start;
    endOffset_ = end;
  }

  // ---- Checks (ktxnodecheck.cpp) ----
  virtual bool Validate(KTTextChecker& checker);
  // Validate on every node of the subtree in document order; false at the
  // first failure. Iterative.
  bool ValidateSubtree(KTTextChecker& checker);
  // Parses the name (useName) or the value with the checker's parser from the
  // named rule; on failure fills the checker.
  bool Reparse(KTTextChecker& checker, const char16_t* ruleName, bool useName);

  // ---- Writing as text (ktxwriter.cpp) ----
  bool IsSelectedForWrite(const KTWriteOptions& options) const;
  // Appends the node and its subtree at `length` (kept by the caller) to
  // `text`; depth -1 writes a container's content without its own tags.
  void WriteText(KTString& text, int& length, int depth, const KTWriteOptions& options);
  // The per-kind parts of the writer (driven by WriteText without recursion):
  // WriteOpen writes what comes before the children and answers whether the
  // children are to be walked; WriteBeforeChild answers the depth of a child
  // (kSkipChild to leave it out); WriteClose ends the node.
  virtual bool WriteOpen(KTXTextOut& out, KTXWriteFrame& frame) { return false; }
  virtual int WriteBeforeChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) { return kSkipChild; }
  virtual void WriteAfterChild(KTXTextOut& out, KTXWriteFrame& frame, KTXNode* child) {}
  virtual void WriteClose(KTXTextOut& out, KTXWriteFrame& frame) {}

 protected:
  KTXNode() = default;
  KTXNode* PreviousOfFirstChild() const;
  // Copies this level's fields of `other` (not parent, not children).
  virtual void CopyFieldsFrom(const KTXNode& other);
  // Per-node part of ValidateSubtree run after the node's subtree passed.
  virtual bool ValidateAfterSubtree(KTTextChecker& checker) { return true; }

 private:
  friend class KTXContainerNode;
  KTXNode* parent_ = nullptr;
  KTXNode* prev_ = nullptr;  // siblings; the parent owns the whole chain
                             // (the first child's prev_ is the last child)
  KTXNode* next_ = nullptr;
  int32_t startOffset_ = -1;
  int32_t endOffset_ = -1;
  uint8_t flags_ = 0;
  // State of containers, kept in the room the fields above leave free so
  // that a container grows by its child links only.
  bool expanded_ = false;
  bool mark_ : 1 = false;
  bool hasExtent_ : 1 = false;  // column and row extents stored (see KTXContainerNode)
  // A container whose shown attribute block outlived its pending attributes
  // (see KTXCompactAttributes) and waits in a side table for its end.
  bool keepsShownBlock_ : 1 = false;
  int32_t count_ = 0;  // children, pending attributes included
};

// The value level: Text, CData and Comment.
class KTXValueNode : public KTXNode {
 public:
  // Values up to this length are stored in a block of exactly their size.
  static constexpr int kExactValueLength = 64;

  const char16_t* GetName() const override { return GetKindName(); }
  // The length of the kind's name, from a table: whole-document walks ask
  // it of every Text node.
  int GetNameLength() const override;
  const char16_t* GetValue() const override { return value_; }
  int GetValueLength() const override { return value_.GetLength(); }
  using KTXNode::SetValue;
  void SetValue(const char16_t* text, int length) override;
  const KTString& ValueString() const { return value_; }
  // What SetValue(text, length) leaves in a value that was empty (the
  // loader's pending attributes hold their values in this form).
  static void StoreValue(KTString& value, const char16_t* text, int length);
  // The same for a text known to hold no NUL: the value it leaves is the
  // same, its length known at once instead of found on first use.
  static void StoreValueWithoutNul(KTString& value, const char16_t* text, int length);
  void SetValueWithoutNul(const char16_t* text, int length) { StoreValueWithoutNul(value_, text, length); }

 protected:
  void CopyFieldsFrom(const KTXNode& other) override;
  // The value text of another node, for the tidy-up to move instead of copy.
  static KTString& ValueOf(KTXValueNode* node) { return node->value_; }
  // Mutable so that declaration nodes can keep their computed value in it.
  mutable KTString value_;
};

// The named level: Attribute and Processing instruction, and the base of
// the containers.
class KTXNamedNode : public KTXValueNode {
 public:
  const char16_t* GetName() const override { return name_.c_str(); }
  int GetNameLength() const override { return name_.GetLength(); }
  using KTXNode::SetName;
  void SetName(const char16_t* text, int length) override;
  bool HasName() const override { return !IsUnnamed(); }
  const KTString& NameString() const { return name_; }
  const KTXName* InternedName() const override { return &name_; }

 protected:
  void CopyFieldsFrom(const KTXNode& other) override;
  KTXName name_;

 private:
  friend class KTXContainerNode;  // makes attribute nodes from pending ones
};

// Containers own their children, chained through the siblings' links.
//
// Pending attributes: an element built by the loader keeps the attributes of
// its start tag in a compact block (KTXCompactAttributes) instead of
// Attribute nodes, until anything asks for its children through the API
// (GetFirstChild, Children, the iterators, the editing operations...). Then
// their nodes are made, in order, at the front of the child chain, with the
// fields the loader would have given them, and the block is freed; from then
// on the element is like any other. Counting (GetChildCount, HasChildren,
// IsEmpty) includes the pending attributes without making nodes, and the
// load itself reads them through VisitAttributes / GetPendingAttributes.
// While attributes are pending the chain holds no Attribute node.
class KTXContainerNode : public KTXNamedNode {
 public:
  // The children in order, for range-for loops.
  class ChildRange {
   public:
    class Iter {
     public:
      explicit Iter(KTXNode* node) : node_(node) {}
      KTXNode* operator*() const { return node_; }
      Iter& operator++() {
        node_ = node_->GetNextSibling();
        return *this;
      }
      bool operator!=(const Iter& other) const { return node_ != other.node_; }

     private:
      KTXNode* node_;
    };
    explicit ChildRange(KTXNode* first) : first_(first) {}
    Iter begin() const { return Iter(first_); }
    Iter end() const { return Iter(nullptr); }

   private:
    KTXNode* first_;
  };

  ~KTXContainerNode() override;
  void ResetFields() override;

  bool IsEmpty() const override { return first_ == nullptr && pending_ == nullptr; }
  bool IsContainer() const override { return true; }
  bool HasChildren() const override { return first_ != nullptr || pending_ != nullptr; }
  int GetChildCount() const override { return count_; }
  KTXNode* GetFirstChild() const override {
    MakePendingNodes();
    return first_;
  }
  KTXNode* GetLastChild() const override {
    MakePendingNodes();
    return first_ ? first_->prev_ : nullptr;
  }
  KTXNode* GetFirstMadeChild() const override { return first_; }
  KTXNode* InsertChild(const KTChildIterator& pos, std::unique_ptr<KTXNode>&& child, KTXChangeLog* log) override;
  // Appends a node just made, which has no parent and no children, without
  // the checks InsertChild makes for nodes that move (the tree builder's
  // way); unlogged. Returns the node. Pending attributes stay pending: the
  // node goes after them. (The builder appends no Attribute this way to an
  // element that has pending ones.)
  KTXNode* AppendMade(std::unique_ptr<KTXNode>&& child) {
    KTXNode* node = child.release();
    LinkBefore(node, nullptr);
    return node;
  }
  // Moves the children of `from` before `stop` (all when null) to the end
  // of this node's children, in order; pending attributes stay pending on
  // both (unlike TakeChildren). Unlogged: the chunked parse's splice of the
  // chunks' nodes (ktchunkparse.h).
  void AppendChildrenOf(KTXContainerNode* from, const KTXNode* stop = nullptr) {
    while (KTXNode* node = from->first_) {
      if (node == stop) break;
      from->Unlink(node);
      LinkBefore(node, nullptr);
    }
  }
  // Makes `parent` the parent of every child, ahead of SpliceChildrenOf
  // (which leaves the parent as it is): a thread that built the children
  // sets it while the parent is another thread's.
  void SetChildrenParent(KTXNode* parent) {
    for (KTXNode* child = first_; child; child = child->next_) child->parent_ = parent;
  }
  // Moves every child of `from` (no pending attributes; their parent set to
  // this node by SetChildrenParent) to the end of this node's children at
  // once.
  void SpliceChildrenOf(KTXContainerNode* from) {
    KTXNode* first = from->first_;
    if (!first) return;
    KTXNode* last = first->prev_;
    if (!first_) {
      first_ = first;
    } else {
      KTXNode* mine = first_->prev_;
      mine->next_ = first;
      first->prev_ = mine;
      first_->prev_ = last;
    }
    count_ += from->count_;
    from->first_ = nullptr;
    from->count_ = 0;
  }
  // Moves the source offsets of the pending attributes by `by` characters.
  void ShiftPendingOffsets(int by) {
    if (!pending_ || by == 0) return;
    KTXCompactAttribute* entries = pending_->Entries();
    for (int i = 0; i < pending_->count_; ++i) {
      entries[i].start += by;
      entries[i].end += by;
    }
  }
  void RemoveChild(const KTChildIterator& pos, KTXChangeLog* log) override;
  void DeleteChildren() override;
  void FirstChildOfKind(KTChildIterator& out, int kind) override;
  void BeginChildren(KTChildIterator& out) override;
  KTChildIterator EndIterator() override;
  KTXNode* TakeChildren(const KTChildIterator& pos, KTXNode* from, KTChildIterator first, KTChildIterator last,
                        KTXChangeLog* log, bool normalize) override;

  void NormalizeText(KTXChangeLog* log, KTXNode** tracked) override;
  void ValueToTextChild() override;
  void RemoveEmptyTexts(KTXChangeLog* log) override;
  bool MoveValueToTextChild(int entryIndex, KTXChangeLog* log) override;

  bool IsExpandable() const override;
  bool IsExpanded() const override { return expanded_; }
  void SetExpanded(bool value) override { expanded_ = value; }
  bool GetMark() const override { return mark_; }
  void SetMark(bool value) override { mark_ = value; }
  void GetExtent(int& columns, int& rows) const override;
  void UpdateExtent(const KTXViewFilter* filter) override;
  void ShrinkExtent() override;

  // Without a log DeleteChildren; with a log RemoveChild on each child.
  virtual void RemoveChildren(KTXChangeLog* log);
  virtual bool MergesTexts() const { return false; }
  virtual bool GathersAttributes() const { return true; }
  // Moves the children of `kind` from `start` on together at an insertion
  // point (see the .cpp) and returns the final insertion point.
  virtual void GatherChildrenOfKind(KTChildIterator& out, int kind, KTXChangeLog* log, const KTChildIterator& start,
                                    int stopKind);

  KTChildIterator IteratorAt(KTXNode* child) const { return KTChildIterator(this, child, -1); }
  ChildRange Children() const {
    MakePendingNodes();
    return ChildRange(first_);
  }

  // ---- Pending attributes (see above) ----
  // A new pending attribute at the end of the pending ones, with its source
  // offsets; the caller fills its name (Assign) and value (StoreValue). The
  // block is made for `expected` entries at the first one and grows
  // geometrically past them. Null, and nothing added, when the node already
  // has children that stand as nodes: attributes must stand first.
  KTXCompactAttribute* AddPendingAttribute(int start, int end, int expected);
  // The pending attributes; null when there are none.
  const KTXCompactAttributes* GetPendingAttributes() const { return pending_; }
  // Calls visit(const KTXAttributeView&) for each attribute, in order: the
  // pending ones or, when none are, the Attribute children. Makes no node.
  template <typename Visit>
  void VisitAttributes(Visit visit) const {
    if (pending_) {
      // While attributes are pending the chain holds none.
      for (const KTXCompactAttribute& a : *pending_) visit(KTXAttributeView{&a.name, &a.value, a.start, a.end});
      return;
    }
    for (const KTXNode* child = first_; child; child = child->next_) {
      if (child->GetKind() != kAttribute) continue;
      const auto* attribute = static_cast<const KTXNamedNode*>(child);
      visit(KTXAttributeView{&attribute->name_, &attribute->ValueString(), child->GetStartOffset(),
                             child->GetEndOffset()});
    }
  }
  // Makes the nodes of the pending attributes now (no change when there are
  // none). Every reader of the child chain but the load's calls this first.
  void MakePendingNodes() const {
    if (pending_) MakeNodesOfPending();
  }
  // The pending attributes for a view to show in place of their nodes:
  // the block, marked shown (see KTXCompactAttributes); null when there
  // are none, or more than kMostShownAttributes.
  static constexpr int kMostShownAttributes = 0xfffe;
  const KTXCompactAttributes* ShowPendingAttributes();
  // The attribute node made for the entry `index` of the element's shown
  // block, making the nodes first when they are still pending.
  KTXNode* MadeAttribute(int index) const;
  // Deletes a child that stands as a node, leaving pending attributes
  // pending (unlogged).
  void DeleteMadeChild(KTXNode* child) { RemoveMadeChild(child, nullptr); }

 protected:
  void CopyFieldsFrom(const KTXNode& other) override;
  // Records a value change of `node` (old value kept) when a log is given.
  void LogValueChange(KTXNode* node, const KTString& oldValue, KTXChangeLog* log);

 private:
  friend class KTXNode;
  // MakePendingNodes with attributes pending. Const readers (GetFirstChild,
  // Children...) call it too: the pending attributes are children already,
  // and making their nodes changes how they are kept, not what the element
  // holds; so the links it sets and pending_ are written through a cast or
  // kept mutable.
  void MakeNodesOfPending() const;
  // Lets go of the pending block: freed, or kept for the element's life
  // when views point into it.
  void ReleasePending();
  void KeepShownBlock(KTXCompactAttributes* block);
  void FreeKeptBlock();
  // RemoveChild without making pending attribute nodes, for the tidy-up,
  // which never removes an attribute.
  void RemoveMadeChild(KTXNode* node, KTXChangeLog* log);
  // The child at a position of this list; null for the end, for a position
  // of another list and for a child that no longer stands here.
  KTXNode* ChildAt(const KTChildIterator& pos) const;
  // Link and unlink one child; ownership passes with the link.
  void LinkBefore(KTXNode* child, KTXNode* before);
  void Unlink(KTXNode* child);
  // Moves a child of `from` (this node or another container) before `before`
  // in this list; the log records the move with the old parent and the old
  // next sibling.
  void MoveBefore(KTXContainerNode* from, KTXNode* node, KTXNode* before, KTXChangeLog* log);
  // Deletes a chain of detached nodes and all their descendants without
  // recursion.
  static void DeleteChain(KTXNode* first);

  // The outline extents live in a side table (only views that expand nodes
  // set them); a node without an entry has 0 columns and 0 rows.
  void GetStoredExtent(int& columns, int& rows) const;
  void SetStoredExtent(int columns, int rows);
  void DropStoredExtent();

  KTXNode* first_ = nullptr;  // its previous link holds the last child
  // The pending attributes (elements built by the loader only); mutable for
  // MakeNodesOfPending.
  mutable KTXCompactAttributes* pending_ = nullptr;
};

// A new node of kind 0 to 15 (null for any other kind).
std::unique_ptr<KTXNode> CreateXNode(int kind);
// The shared prototype of a kind, for questions about the kind itself.
const KTXNode* GetPrototype(int kind);

// The node levels, child lists, change log, tidy-up, kind changes, flags and
// outline extents of the document node model. Every walk over a subtree runs
// with an explicit stack: trees can be as deep as the parser allows and more.
// Node storage lives in ktxnodepool.cpp, interned names in ktxname.cpp.
#include "xml/ktxnode.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/ktwchar.h"
#include "xml/ktxnodekinds.h"
#include "xml/ktxnodepool.h"

namespace {

// ---- Extent table ----

// Nodes of trees built on several threads at once may be freed beside each
// other: the table is used under this lock (only by nodes that have an
// extent stored, never on the paths of a load).
std::mutex gExtentsLock;

std::unordered_map<const KTXNode*, std::pair<int32_t, int32_t>>& Extents() {
  static auto* extents = new std::unordered_map<const KTXNode*, std::pair<int32_t, int32_t>>;
  return *extents;
}

// ---- Kept shown blocks ----

// The shown attribute blocks of elements whose attribute nodes were made
// after a view began to point into them (see KTXCompactAttributes); rare,
// hence a side table instead of a field in every element.
std::mutex gKeptBlocksLock;

std::unordered_map<const KTXNode*, KTXCompactAttributes*>& KeptBlocks() {
  static auto* kept = new std::unordered_map<const KTXNode*, KTXCompactAttributes*>;
  return *kept;
}

const char16_t* const kKindNames[kXNodeKindCount] = {
    u"XML-Document", u"XML-Entity",       u"DTD-Document",     u"XML-Tag",
    u"Element",      u"Attribute",        u"Text",             u"CData",
    u"Comment",      u"Processing instruction", u"DOCTYPE",    u"DOCTYPE-ExternalID",
    u"DOCTYPE-ELEMENT", u"DOCTYPE-ATTLIST", u"DOCTYPE-ENTITY", u"DOCTYPE-NOTATION",
};

constexpr auto kKindNameLengths = [] {
  std::array<int, kXNodeKindCount> lengths{};
  for (int kind = 0; kind < kXNodeKindCount; ++kind)
    lengths[kind] = static_cast<int>(std::char_traits<char16_t>::length(kKindNames[kind]));
  return lengths;
}();

bool BeginsWithSectionMark(const char16_t* text) {
  return text[0] == u'<' && text[1] == u'!' && text[2] == u'[';
}

// Calls visit(node) on root and then on every node below it in document
// order; a node's children are listed only after visit(node) returned, so
// visit may rearrange the children of the node it is given. Pending
// attributes are passed over, their nodes not made: the visits (the tidy-up
// steps) leave an Attribute as it is.
template <typename Visit>
void WalkPreorder(KTXNode* root, Visit visit) {
  visit(root);
  // The stack holds the next child to visit at each open level.
  std::vector<KTXNode*> stack;
  if (KTXNode* first = root->GetFirstMadeChild()) stack.push_back(first);
  while (!stack.empty()) {
    KTXNode* node = stack.back();
    if (!node) {
      stack.pop_back();
      continue;
    }
    stack.back() = node->GetNextSibling();
    visit(node);
    if (KTXNode* first = node->GetFirstMadeChild()) stack.push_back(first);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Iterators and change log

KTChildIterator& KTChildIterator::Next() {
  if (node_) {
    node_ = node_->GetNextSibling();
    SkipOtherKinds();
  }
  return *this;
}

void KTChildIterator::SkipOtherKinds() {
  if (kind_ < 0) return;
  while (node_ && node_->GetKind() != kind_) node_ = node_->GetNextSibling();
}

KTXChangeRecord* KTXChangeLog::NewRecord(int kind) {
  records_.push_back(std::make_unique<KTXChangeRecord>());
  records_.back()->kind = kind;
  return records_.back().get();
}

// ---------------------------------------------------------------------------
// KTXNode

const char16_t* KTXNode::KindName(int kind) {
  return (kind >= 0 && kind < kXNodeKindCount) ? kKindNames[kind] : u"";
}

void KTXNode::CopyFieldsFrom(const KTXNode& other) {
  startOffset_ = other.startOffset_;
  endOffset_ = other.endOffset_;
  flags_ = other.flags_;
}

std::unique_ptr<KTXNode> KTXNode::Clone(bool reset) const {
  auto copyOne = [reset](const KTXNode& source) {
    std::unique_ptr<KTXNode> node = CreateXNode(source.GetKind());
    node->CopyFieldsFrom(source);
    if (reset) node->ResetFields();
    return node;
  };
  std::unique_ptr<KTXNode> root = copyOne(*this);
  std::vector<std::pair<const KTXNode*, KTXNode*>> stack;
  if (HasChildren()) stack.emplace_back(this, root.get());
  while (!stack.empty()) {
    auto [source, target] = stack.back();
    stack.pop_back();
    for (const KTXNode* child = source->GetFirstChild(); child; child = child->GetNextSibling()) {
      KTXNode* copy = target->AppendChild(copyOne(*child));
      if (child->HasChildren()) stack.emplace_back(child, copy);
    }
  }
  return root;
}

std::unique_ptr<KTXNode> KTXNode::Copy() const {
  std::unique_ptr<KTXNode> node = CopyShallow();
  if (IsEmpty() && node) node->SetValue(GetValue());
  return node;
}

std::unique_ptr<KTXNode> KTXNode::CopyShallow() const {
  std::unique_ptr<KTXNode> node = CreateXNode(GetKind());
  if (node && HasName()) node->SetName(GetName());
  return node;
}

const char16_t* KTXNode::GetLocalName() const {
  const char16_t* name = GetName();
  const char16_t* colon = KTStrChr(name, u':');
  return colon ? colon + 1 : name;
}

void KTXNode::SetName(const char16_t* text) { SetName(text, text ? static_cast<int>(KTStrLen(text)) : 0); }

int KTXNode::GetNameLength() const { return KTStrLen(GetName()); }

int KTXNode::GetValueLength() const { return KTStrLen(GetValue()); }

int KTXValueNode::GetNameLength() const {
  const int kind = GetKind();
  return kind >= 0 && kind < kXNodeKindCount ? kKindNameLengths[kind] : 0;
}

void KTXNode::SetValue(const char16_t* text) { SetValue(text, text ? static_cast<int>(KTStrLen(text)) : 0); }

bool KTXNode::HasPrefix() const { return KTStrChr(GetName(), u':') != nullptr; }

KTXNode* KTXNode::AppendChild(std::unique_ptr<KTXNode>&& child, KTXChangeLog* log) {
  return InsertChild(EndIterator(), std::move(child), log);
}

KTXNode* KTXNode::PreviousOfFirstChild() const {
  if (!parent_ || !parent_->IsContainer()) return nullptr;
  const auto* parent = static_cast<const KTXContainerNode*>(parent_);
  if (!parent->GetPendingAttributes()) return nullptr;
  parent->MakePendingNodes();
  return prev_ && prev_->next_ == this ? prev_ : nullptr;
}

void KTXNode::GetPositionInParent(KTChildIterator& out) const {
  if (!parent_) {
    out = KTChildIterator();
    return;
  }
  out = static_cast<KTXContainerNode*>(parent_)->IteratorAt(const_cast<KTXNode*>(this));
}

KTXNode* KTXNode::NextInDocumentOrder(bool forward) const {
  if (!parent_) return nullptr;
  if (forward) {
    if (KTXNode* first = GetFirstChild()) return first;
    for (const KTXNode* node = this; node->parent_; node = node->parent_) {
      if (KTXNode* next = node->GetNextSibling()) return next;
    }
    return nullptr;
  }
  KTXNode* previous = GetPreviousSibling();
  if (!previous) return parent_;
  while (KTXNode* last = previous->GetLastChild()) previous = last;
  return previous;
}

int KTXNode::CountChildrenOfKind(int kind) const {
  if (!IsContainer()) return 0;
  int count = 0;
  // Pending attributes are counted where they stand, not made.
  const KTXCompactAttributes* pending = static_cast<const KTXContainerNode*>(this)->GetPendingAttributes();
  if (pending && kind == kAttribute) count = pending->Count();
  for (const KTXNode* child = GetFirstMadeChild(); child; child = child->next_) {
    if (child->GetKind() == kind) ++count;
  }
  return count;
}

bool KTXNode::HasSameKindAndName(const KTXNode& other) const {
  return GetKind() == other.GetKind() && KTStrCmp(GetName(), other.GetName()) == 0;
}

void KTXNode::ApplyToSubtree(KTXChangeLog* log, KTXNode** tracked) {
  WalkPreorder(this, [&](KTXNode* node) { node->NormalizeText(log, tracked); });
}

void KTXNode::ValueToTextChildInSubtree() {
  WalkPreorder(this, [](KTXNode* node) { node->ValueToTextChild(); });
}

void KTXNode::RemoveEmptyTextsInSubtree(KTXChangeLog* log) {
  WalkPreorder(this, [&](KTXNode* node) { node->RemoveEmptyTexts(log); });
}

bool KTXNode::CanChangeKindTo(int kind) const {
  if (kind < 0 || kind >= kXNodeKindCount) return false;
  if (kind == GetKind() || kind == kDoctypeElement || kind == kDoctypeAttlist) return false;
  if (parent_ && !parent_->CanHaveChild(kind)) return false;
  if (!HasChildren()) return true;
  const KTXNode* prototype = GetPrototype(kind);
  if (!prototype->IsContainer()) return false;
  // Pending attributes are judged by their kind, not made.
  if (static_cast<const KTXContainerNode*>(this)->GetPendingAttributes() && !prototype->CanHaveChild(kAttribute))
    return false;
  for (const KTXNode* child = GetFirstMadeChild(); child; child = child->next_) {
    if (!prototype->CanHaveChild(child->GetKind())) return false;
  }
  return true;
}

namespace {

// The new node of a kind change takes over this node's state and children.
std::unique_ptr<KTXNode> MakeKindReplacement(KTXNode& old, int kind, KTXChangeLog* log) {
  std::unique_ptr<KTXNode> node = CreateXNode(kind);
  if (!node) return nullptr;
  node->SetOffsets(old.GetStartOffset(), old.GetEndOffset());
  if (old.HasName() && node->HasName()) node->SetName(old.GetName());
  if (old.IsEmpty() && node->IsEmpty()) node->SetValue(old.GetValue());
  if (old.IsContainer() && node->IsContainer()) {
    node->SetExpanded(old.IsExpanded());
    node->SetMark(old.GetMark());
    KTChildIterator first, last;
    old.BeginChildren(first);
    last = old.EndIterator();
    if (!first.IsEnd()) node->TakeChildren(node->EndIterator(), &old, first, last, log, true);
  }
  return node;
}

}  // namespace

KTXNode* KTXNode::ChangeKind(int kind, KTXChangeLog* log) {
  if (!parent_) return nullptr;
  std::unique_ptr<KTXNode> node = MakeKindReplacement(*this, kind, log);
  if (!node) return nullptr;
  node->flags_ = flags_;
  KTXNode* parent = parent_;
  KTChildIterator self;
  GetPositionInParent(self);
  KTXNode* result = parent->InsertChild(self, std::move(node), log);
  parent->RemoveChild(self, log);  // deletes this node unless the log keeps it
  return result;
}

KTXNode* KTXNode::ChangeRootKind(std::unique_ptr<KTXNode>& root, int kind) {
  if (!root || root->parent_) return nullptr;
  int old = root->GetKind();
  if (old == kXmlDocument || old == kXmlEntity || old == kDtdDocument) return nullptr;
  std::unique_ptr<KTXNode> node = MakeKindReplacement(*root, kind, nullptr);
  if (!node) return nullptr;
  node->flags_ = root->flags_;
  root = std::move(node);
  return root.get();
}

// ---- Flags ----

bool KTXNode::TestFlag(bool* setHere, int flag) const {
  const int setBit = flag << 1;
  const KTXNode* top = nullptr;
  for (const KTXNode* p = parent_; p; p = p->parent_) {
    if (p->flags_ & setBit) top = p;
  }
  if (top) {
    if (setHere) *setHere = true;
    return (top->flags_ & flag) != 0;
  }
  if (setHere) *setHere = (flags_ & setBit) != 0;
  return (flags_ & flag) != 0;
}

void KTXNode::SetFlag(bool value, bool setHere, int flag) {
  const int setBit = flag << 1;
  bool currentSetHere = false;
  bool current = TestFlag(&currentSetHere, flag);
  if (current == value && currentSetHere == setHere) return;

  // An ancestor that sets the flag hands its setting down the path to this
  // node, so that this node can differ from its siblings.
  std::vector<KTXNode*> path;  // from this node's parent up to the setting ancestor
  KTXNode* top = nullptr;
  for (KTXNode* p = parent_; p; p = p->parent_) {
    path.push_back(p);
    if (p->flags_ & setBit) top = p;
  }
  if (top) {
    while (path.back() != top) path.pop_back();
    const bool topValue = (top->flags_ & flag) != 0;
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
      KTXNode* level = *it;
      for (KTXNode* child = level->GetFirstChild(); child; child = child->next_) {
        child->flags_ = static_cast<uint8_t>((child->flags_ & ~flag) | (topValue ? flag : 0) | setBit);
      }
      level->flags_ = static_cast<uint8_t>(level->flags_ & ~setBit);
    }
  }
  flags_ = static_cast<uint8_t>(value ? (flags_ | flag) : (flags_ & ~flag));
  flags_ = static_cast<uint8_t>(setHere ? (flags_ | setBit) : (flags_ & ~setBit));
}

// ---- Outline view ----

void KTXNode::GetExtent(int& columns, int& rows) const {
  columns = 4;
  rows = 1;
}

namespace {

// The running count of one node's shown children for GetChildFlagState.
struct FlagTally {
  const KTXNode* node;
  const KTXNode* next;  // the child to look at next
  int on = 0;
  int partial = 0;
  bool onAndPartial = false;  // one child counted both
  bool mixed = false;         // the early false has been reached

  // Adds one child's state; true once the children are no longer in a single
  // state (two on, or one on and another partial).
  bool Add(bool childOn, bool childPartial) {
    on += childOn;
    partial += childPartial;
    onAndPartial = onAndPartial || (childOn && childPartial);
    mixed = on >= 2 || (on >= 1 && partial >= 1 && !(on == 1 && partial == 1 && onAndPartial));
    return mixed;
  }
};

}  // namespace

bool KTXNode::GetChildFlagState(const KTXViewFilter* filter, bool& partial, int flag) const {
  // Post-order over the shown subtree: a child's partial state needs its own
  // children first. Each open node keeps its tally on an explicit stack.
  std::vector<FlagTally> stack;
  stack.push_back(FlagTally{this, GetFirstChild()});
  bool lastResult = true;
  bool lastPartial = false;
  while (true) {
    FlagTally& top = stack.back();
    const KTXNode* child = top.mixed ? nullptr : top.next;
    while (child && !child->IsShown(filter)) child = child->GetNextSibling();
    if (child == nullptr) {
      lastResult = !top.mixed;
      lastPartial = top.partial > 0;
      stack.pop_back();
      if (stack.empty()) break;
      // The finished node was a child of the new top: count it.
      FlagTally& parent = stack.back();
      const KTXNode* done = parent.next;
      parent.next = done->GetNextSibling();
      parent.Add(done->TestFlag(nullptr, flag), !lastResult || lastPartial);
      continue;
    }
    top.next = child;
    if (child->HasChildren()) {
      stack.push_back(FlagTally{child, child->GetFirstChild()});
      continue;
    }
    top.next = child->GetNextSibling();
    top.Add(child->TestFlag(nullptr, flag), false);
  }
  partial = lastPartial;
  return lastResult;
}

bool KTXNode::IsShown(const KTXViewFilter* filter) const {
  if (!filter) return true;
  int kind = GetKind();
  bool shown = filter->kinds[kind] != 0 || (kind == kElement && HasChildren());
  if (shown && filter->checkedOnly) shown = TestFlag(nullptr, kFlagChecked);
  return shown;
}

void KTXNode::UpdateSubtreeExtent(const KTXViewFilter* filter) {
  // Post-order: every shown child's extent is brought up to date before its
  // parent sums them.
  std::vector<std::pair<KTXNode*, bool>> stack{{this, false}};
  while (!stack.empty()) {
    auto [node, childrenDone] = stack.back();
    stack.pop_back();
    if (childrenDone || !node->IsContainer()) {
      node->UpdateExtent(filter);
      continue;
    }
    stack.emplace_back(node, true);
    for (KTXNode* child = node->GetFirstChild(); child; child = child->next_) {
      if (child->IsShown(filter)) stack.emplace_back(child, false);
    }
  }
}

void KTXNode::UpdateExtentUpwards() {
  for (KTXNode* node = this; node; node = node->parent_) node->UpdateExtent(nullptr);
}

// ---------------------------------------------------------------------------
// Value and named levels

void KTXValueNode::SetValue(const char16_t* text, int length) { StoreValue(value_, text, length); }

void KTXValueNode::StoreValue(KTString& value, const char16_t* text, int length) {
  if (!text || length <= 0) {
    value = static_cast<const char16_t*>(nullptr);
  } else if (length > kExactValueLength || length <= value.GetCapacity()) {
    value.Assign(text, length);
  } else {
    // Most values of a document are short, and an assignment rounds its
    // block up to ten characters more; this block is sized exactly. Its
    // length is found on first use, so the text ends at its first NUL as
    // an assignment's does. (Finding it here costs a parse that never asks
    // for it more than the walks that do save.)
    // The new block takes the old one's place at once (what it held is
    // written over), without a string in between.
    value.SetCapacityPooled(length);
    char16_t* buffer = value.GetBuffer();
    std::memcpy(buffer, text, static_cast<size_t>(length) * sizeof(char16_t));
    buffer[length] = 0;
  }
}

void KTXValueNode::StoreValueWithoutNul(KTString& value, const char16_t* text, int length) {
  if (!text || length <= 0) {
    value = static_cast<const char16_t*>(nullptr);
    return;
  }
  // The blocks StoreValue takes: an assignment's, or one of exactly the size.
  if (length <= kExactValueLength && length > value.GetCapacity()) {
    value.AssignPooled(text, length);
    return;
  }
  value.ClearAndReserve(length);
  char16_t* buffer = value.GetBuffer();
  std::memcpy(buffer, text, static_cast<size_t>(length) * sizeof(char16_t));
  value.SetWrittenLength(length);
}

void KTXValueNode::CopyFieldsFrom(const KTXNode& other) {
  KTXNode::CopyFieldsFrom(other);
  value_ = static_cast<const KTXValueNode&>(other).value_;
}

void KTXNamedNode::SetName(const char16_t* text, int length) { name_.Assign(text, length); }

void KTXNamedNode::CopyFieldsFrom(const KTXNode& other) {
  KTXValueNode::CopyFieldsFrom(other);
  name_ = static_cast<const KTXNamedNode&>(other).name_;
}

// ---------------------------------------------------------------------------
// Containers

KTXContainerNode::~KTXContainerNode() {
  DropStoredExtent();
  if (pending_) KTXCompactAttributes::Free(pending_);
  pending_ = nullptr;
  if (keepsShownBlock_) FreeKeptBlock();
  KTXNode* first = first_;
  first_ = nullptr;
  count_ = 0;
  DeleteChain(first);
}

// ---- Pending attributes ----

namespace {

// When an element's attribute nodes are made, its pending block is cut into
// pieces of an attribute node's size for the nodes made next
// (KTXCompactAttributes::Free); a rest shorter than a node waits for
// objects of its own size. Blocks take their exact size: most stay for as
// long as their element, shown by its view.
constexpr size_t kAttributeNodeBytes = sizeof(KTXAttributeNode);

}  // namespace

KTXCompactAttributes* KTXCompactAttributes::Make(int capacity) {
  const size_t size = BlockSize(capacity);
  void* memory = KTXNodePoolAllocate(size);
  auto* block = new (memory) KTXCompactAttributes;
  block->capacity_ =
      static_cast<int32_t>((size - sizeof(KTXCompactAttributes)) / sizeof(KTXCompactAttribute));
  return block;
}

void KTXCompactAttributes::Free(KTXCompactAttributes* block, size_t pieceSize) {
  KTXCompactAttribute* entries = block->Entries();
  for (int i = 0; i < block->count_; ++i) entries[i].~KTXCompactAttribute();
  // The size Make took.
  const size_t size = BlockSize(block->capacity_);
  block->~KTXCompactAttributes();
  if (pieceSize)
    KTXNodePoolFreePieces(block, size, pieceSize);
  else
    KTXNodePoolFree(block, size);
}

KTXCompactAttribute* KTXContainerNode::AddPendingAttribute(int start, int end, int expected) {
  if (first_) return nullptr;
  KTXCompactAttributes* block = pending_;
  if (!block) {
    block = pending_ = KTXCompactAttributes::Make(std::max(expected, 1));
  } else if (block->count_ == block->capacity_) {
    // More attributes than the start tag showed at first: the block doubles.
    KTXCompactAttributes* grown = KTXCompactAttributes::Make(2 * block->capacity_);
    KTXCompactAttribute* from = block->Entries();
    KTXCompactAttribute* to = grown->Entries();
    for (int i = 0; i < block->count_; ++i) {
      new (to + i) KTXCompactAttribute{from[i].name, std::move(from[i].value), from[i].start, from[i].end};
      ++grown->count_;
    }
    KTXCompactAttributes::Free(block);
    block = pending_ = grown;
  }
  block->owner_ = this;
  KTXCompactAttribute* entry = new (block->Entries() + block->count_) KTXCompactAttribute{{}, {}, start, end};
  ++block->count_;
  ++count_;
  return entry;
}

const KTXCompactAttributes* KTXContainerNode::ShowPendingAttributes() {
  if (!pending_ || pending_->count_ > kMostShownAttributes) return nullptr;
  pending_->shown_ = 1;
  return pending_;
}

KTXNode* KTXContainerNode::MadeAttribute(int index) const {
  MakePendingNodes();
  // The attribute nodes lead the children in the order of the entries.
  KTXNode* node = first_;
  for (int i = 0; i < index && node; ++i) node = node->next_;
  return node;
}

void KTXContainerNode::ReleasePending() {
  KTXCompactAttributes* block = pending_;
  pending_ = nullptr;
  if (!block) return;
  if (block->shown_)
    KeepShownBlock(block);
  else
    KTXCompactAttributes::Free(block);
}

void KTXContainerNode::KeepShownBlock(KTXCompactAttributes* block) {
  std::lock_guard<std::mutex> lock(gKeptBlocksLock);
  KTXCompactAttributes*& slot = KeptBlocks()[this];
  // An element shows one block in its life: its attributes are pending once.
  if (slot) KTXCompactAttributes::Free(slot);
  slot = block;
  keepsShownBlock_ = true;
}

void KTXContainerNode::FreeKeptBlock() {
  KTXCompactAttributes* block = nullptr;
  {
    std::lock_guard<std::mutex> lock(gKeptBlocksLock);
    auto found = KeptBlocks().find(this);
    if (found != KeptBlocks().end()) {
      block = found->second;
      KeptBlocks().erase(found);
    }
  }
  keepsShownBlock_ = false;
  if (block) KTXCompactAttributes::Free(block);
}

void KTXContainerNode::MakeNodesOfPending() const {
  // See the comment in the header on why a const reader may do this.
  auto* self = const_cast<KTXContainerNode*>(this);
  KTXCompactAttributes* block = pending_;
  KTXCompactAttribute* entries = block->Entries();
  if (block->shown_) {
    // Views read the entries: the nodes get copies, the block stays whole.
    // All are made before any is linked, so that memory running out leaves
    // the attributes pending as they were.
    std::vector<std::unique_ptr<KTXNode>> made(static_cast<size_t>(block->count_));
    for (int i = 0; i < block->count_; ++i) {
      const KTXCompactAttribute& entry = entries[i];
      made[i] = CreateXNode(kAttribute);
      auto* node = static_cast<KTXNamedNode*>(made[i].get());
      node->SetOffsets(entry.start, entry.end);
      node->name_ = entry.name;
      node->value_ = entry.value;
    }
    self->count_ -= block->count_;  // counted again as linked
    for (int i = block->count_ - 1; i >= 0; --i) self->LinkBefore(made[i].release(), self->first_);
    self->ReleasePending();
    return;
  }
  // From the last to the first, each linked at the front: should making a
  // node run out of memory, the attributes not yet made stay pending, still
  // in front of those made.
  while (block->count_ > 0) {
    KTXCompactAttribute& entry = entries[block->count_ - 1];
    std::unique_ptr<KTXNode> made = CreateXNode(kAttribute);
    auto* node = static_cast<KTXNamedNode*>(made.release());
    node->SetOffsets(entry.start, entry.end);
    node->name_ = entry.name;
    node->value_ = std::move(entry.value);
    entry.~KTXCompactAttribute();
    --block->count_;
    --self->count_;  // counted again as linked
    self->LinkBefore(node, self->first_);
  }
  pending_ = nullptr;
  // The block's memory serves the next attribute nodes made, of this or
  // another element: a view of the whole document makes them all.
  KTXCompactAttributes::Free(block, kAttributeNodeBytes);
}

void KTXContainerNode::DeleteChain(KTXNode* first) {
  // The chain is a work list linked through the siblings' next links: each
  // container's children are spliced in front of what is left before the
  // container itself is deleted, so deep trees never recurse.
  KTXNode* work = first;
  while (work) {
    KTXNode* node = work;
    work = node->next_;
    if (node->IsContainer()) {
      auto* container = static_cast<KTXContainerNode*>(node);
      if (container->first_) {
        container->first_->prev_->next_ = work;  // the last child
        work = container->first_;
        container->first_ = nullptr;
        container->count_ = 0;
      }
    }
    delete node;
  }
}

// The first child's previous link holds the last child (itself when it is
// the only one), so a container needs no link of its own to the end of its
// list; a child is the first exactly when its previous sibling's next link
// does not lead back to it.
void KTXContainerNode::LinkBefore(KTXNode* child, KTXNode* before) {
  child->parent_ = this;
  child->next_ = before;
  if (!first_) {
    first_ = child;
    child->prev_ = child;
  } else if (!before) {
    KTXNode* last = first_->prev_;
    child->prev_ = last;
    last->next_ = child;
    first_->prev_ = child;
  } else {
    child->prev_ = before->prev_;
    if (before == first_)
      first_ = child;
    else
      before->prev_->next_ = child;
    before->prev_ = child;
  }
  ++count_;
}

void KTXContainerNode::Unlink(KTXNode* child) {
  KTXNode* last = first_->prev_;
  if (child == first_) {
    first_ = child->next_;
    if (first_) first_->prev_ = last;
  } else {
    child->prev_->next_ = child->next_;
    if (child->next_)
      child->next_->prev_ = child->prev_;
    else
      first_->prev_ = child->prev_;  // the new last child
  }
  child->parent_ = child->prev_ = child->next_ = nullptr;
  --count_;
}

void KTXContainerNode::ResetFields() {
  KTXNode::ResetFields();
  expanded_ = false;
  mark_ = false;
  DropStoredExtent();
}

void KTXContainerNode::CopyFieldsFrom(const KTXNode& other) {
  KTXNamedNode::CopyFieldsFrom(other);
  const auto& o = static_cast<const KTXContainerNode&>(other);
  expanded_ = o.expanded_;
  mark_ = o.mark_;
  int columns = 0, rows = 0;
  o.GetStoredExtent(columns, rows);
  if (columns != 0 || rows != 0 || hasExtent_) SetStoredExtent(columns, rows);
}

void KTXContainerNode::GetStoredExtent(int& columns, int& rows) const {
  columns = rows = 0;
  if (!hasExtent_) return;
  std::lock_guard<std::mutex> lock(gExtentsLock);
  auto found = Extents().find(this);
  if (found == Extents().end()) return;
  columns = found->second.first;
  rows = found->second.second;
}

void KTXContainerNode::SetStoredExtent(int columns, int rows) {
  if (!hasExtent_ && columns == 0 && rows == 0) return;
  std::lock_guard<std::mutex> lock(gExtentsLock);
  Extents()[this] = {columns, rows};
  hasExtent_ = true;
}

void KTXContainerNode::DropStoredExtent() {
  if (!hasExtent_) return;
  std::lock_guard<std::mutex> lock(gExtentsLock);
  Extents().erase(this);
  hasExtent_ = false;
}

KTXNode* KTXContainerNode::InsertChild(const KTChildIterator& pos, std::unique_ptr<KTXNode>&& child,
                                       KTXChangeLog* log) {
  MakePendingNodes();
  if (!child || child->parent_) return nullptr;
  // A node cannot hold itself or the root above it: the tree would become a
  // ring that no walk leaves and nothing deletes. Only a node that has
  // children can be that root, so building a tree pays nothing for this.
  if (child.get() == this) return nullptr;
  if (child->HasChildren()) {
    const KTXNode* top = this;
    while (top->parent_) top = top->parent_;
    if (top == child.get()) return nullptr;
  }
  KTXNode* before = ChildAt(pos);
  KTXNode* node = child.release();
  LinkBefore(node, before);
  if (log) {
    KTXChangeRecord* record = log->NewRecord(kChangeInserted);
    record->node = node;
    record->next = node->next_;
    record->parent = this;
    record->expanded = node->IsExpanded();
  }
  return node;
}

KTXNode* KTXContainerNode::ChildAt(const KTChildIterator& pos) const {
  // A position of another list, or one whose child has since moved to
  // another parent, stands for the end: linking next to that child would
  // join two lists.
  KTXNode* node = pos.Owner() == this ? pos.Node() : nullptr;
  return node && node->parent_ == this ? node : nullptr;
}

void KTXContainerNode::RemoveChild(const KTChildIterator& pos, KTXChangeLog* log) {
  MakePendingNodes();
  KTXNode* node = pos.Node();
  if (!node || node->parent_ != this) return;
  RemoveMadeChild(node, log);
}

void KTXContainerNode::RemoveMadeChild(KTXNode* node, KTXChangeLog* log) {
  KTXNode* next = node->next_;
  Unlink(node);
  if (log) {
    KTXChangeRecord* record = log->NewRecord(kChangeRemoved);
    record->unlinked.reset(node);
    record->node = node;
    record->next = next;
    record->parent = this;
    record->expanded = node->IsExpanded();
  } else {
    delete node;
  }
  if (!first_ && !pending_) {
    expanded_ = false;
    mark_ = false;
  }
}

void KTXContainerNode::DeleteChildren() {
  ReleasePending();
  KTXNode* first = first_;
  first_ = nullptr;
  count_ = 0;
  DeleteChain(first);
  expanded_ = false;
  mark_ = false;
}

void KTXContainerNode::RemoveChildren(KTXChangeLog* log) {
  if (!log) {
    DeleteChildren();
    return;
  }
  MakePendingNodes();  // the log keeps each child removed
  while (first_) RemoveChild(IteratorAt(first_), log);
}

void KTXContainerNode::FirstChildOfKind(KTChildIterator& out, int kind) {
  MakePendingNodes();
  out = KTChildIterator(this, first_, kind);
  out.SkipOtherKinds();
}

void KTXContainerNode::BeginChildren(KTChildIterator& out) {
  MakePendingNodes();
  out = IteratorAt(first_);
}

KTChildIterator KTXContainerNode::EndIterator() { return IteratorAt(nullptr); }

KTXNode* KTXContainerNode::TakeChildren(const KTChildIterator& pos, KTXNode* from, KTChildIterator first,
                                        KTChildIterator last, KTXChangeLog* log, bool normalize) {
  MakePendingNodes();
  KTXNode* firstMoved = first.Node();
  if (!from || !from->IsContainer() || from == this) return firstMoved;
  auto* source = static_cast<KTXContainerNode*>(from);
  source->MakePendingNodes();
  if (!firstMoved || firstMoved->parent_ != source) return firstMoved;
  KTXNode* before = ChildAt(pos);
  KTXNode* stop = source->ChildAt(last);
  // Moving this node or one of its ancestors under this node would make a
  // ring: such a move is refused as a whole.
  const KTXNode* own = this;
  while (own && own->parent_ != source) own = own->parent_;
  if (own) {
    for (const KTXNode* node = firstMoved; node && node != stop; node = node->next_) {
      if (node == own) return firstMoved;
    }
  }
  for (KTXNode* node = firstMoved; node && node != stop;) {
    KTXNode* next = node->next_;
    MoveBefore(source, node, before, log);
    node = next;
  }
  if (normalize) {
    NormalizeText(log, nullptr);
    source->NormalizeText(log, nullptr);
  }
  return firstMoved;
}

void KTXContainerNode::GatherChildrenOfKind(KTChildIterator& out, int kind, KTXChangeLog* log,
                                            const KTChildIterator& start, int stopKind) {
  // Children of `kind` collect at an insertion point that starts at `start`.
  // A child of another kind is passed over; the insertion point follows it
  // unless there is no stop kind or the insertion point reached the stop kind.
  MakePendingNodes();
  KTXNode* at = ChildAt(start);
  KTXNode* insert = at;
  while (at) {
    KTXNode* next = at->next_;
    if (at->GetKind() == kind) {
      if (at == insert) {
        insert = next;
      } else {
        MoveBefore(this, at, insert, log);
      }
    } else if (stopKind != kNoStopKind && insert && insert->GetKind() != stopKind) {
      insert = insert->next_;
    }
    at = next;
  }
  out = IteratorAt(insert);
}

void KTXContainerNode::MoveBefore(KTXContainerNode* from, KTXNode* node, KTXNode* before, KTXChangeLog* log) {
  KTXNode* oldNext = node->next_;
  from->Unlink(node);
  LinkBefore(node, before);
  if (log) {
    KTXChangeRecord* record = log->NewRecord(kChangeMoved);
    record->node = node;
    record->next = oldNext;
    record->parent = from;
    record->expanded = node->IsExpanded();
  }
}

void KTXContainerNode::LogValueChange(KTXNode* node, const KTString& oldValue, KTXChangeLog* log) {
  if (!log) return;
  KTXChangeRecord* record = log->NewRecord(kChangeValue);
  record->node = node;
  record->oldText = oldValue;
  record->parent = node->parent_;
  record->next = node->next_;
}

void KTXContainerNode::NormalizeText(KTXChangeLog* log, KTXNode** tracked) {
  // Pending attributes stand first already, and the chain holds no other
  // Attribute then: the gathering has nothing to move, and the tidy-up of
  // the load makes no node.
  if (GathersAttributes() && !pending_) {
    KTChildIterator ignored;
    GatherChildrenOfKind(ignored, kAttribute, log, IteratorAt(first_), kNoStopKind);
  }
  if (!MergesTexts()) return;

  // Runs of adjacent Text children are joined in one pass per run, so a long
  // run costs time linear in its text.
  for (KTXNode* at = first_; at; at = at->next_) {
    if (at->GetKind() != kText) continue;
    auto* absorber = static_cast<KTXValueNode*>(at);
    KTXNode* next = at->next_;
    if (!next || next->GetKind() != kText) continue;
    std::u16string joined(absorber->ValueString().View());
    KTString oldValue = absorber->ValueString();
    bool merged = false;
    while (next && next->GetKind() == kText) {
      auto* text = static_cast<KTXValueNode*>(next);
      const char16_t* value = text->GetValue();
      bool joinedIsSection = joined.size() >= 3 && BeginsWithSectionMark(joined.c_str());
      if (BeginsWithSectionMark(value) || (value[0] != 0 && joinedIsSection)) break;
      joined.append(text->ValueString().View());
      if (!merged) {
        // The value change is logged before the first removal of the run.
        LogValueChange(absorber, oldValue, log);
        merged = true;
      }
      if (tracked && *tracked == text) *tracked = absorber;
      KTXNode* after = next->next_;
      RemoveMadeChild(next, log);
      next = after;
    }
    if (merged) absorber->SetValue(joined.c_str(), static_cast<int>(joined.size()));
  }

  int kind = GetKind();
  if (kind == kDtdDocument || kind == kDoctype) return;

  if (count_ == 1 && first_ && first_->GetKind() == kText) {
    KTXNode* text = first_;
    KTString oldValue = value_;
    if (!log && value_.IsEmpty()) {
      // The Text is deleted below and nothing records it: its text moves.
      value_ = std::move(ValueOf(static_cast<KTXValueNode*>(text)));
    } else {
      int length = value_.GetLength();
      value_.AppendAtLength(text->GetValue(), length, 0);
    }
    if (tracked && *tracked == text) *tracked = this;
    RemoveMadeChild(first_, log);
    LogValueChange(this, oldValue, log);
    return;
  }
  if ((first_ || pending_) && !value_.IsEmpty()) {
    // The value goes in front of the content, after the attributes, so the
    // attributes keep standing first.
    MakePendingNodes();
    KTXNode* first = first_;
    while (first && first->GetKind() == kAttribute) first = first->next_;
    if (first && first->GetKind() == kText) {
      auto* text = static_cast<KTXValueNode*>(first);
      KTString oldText = text->ValueString();
      text->SetValue(value_ + oldText);
      LogValueChange(text, oldText, log);
    } else {
      std::unique_ptr<KTXNode> text = CreateXNode(kText);
      text->SetValue(value_);
      InsertChild(IteratorAt(first), std::move(text), log);
    }
    KTString oldValue = value_;
    value_ = static_cast<const char16_t*>(nullptr);
    LogValueChange(this, oldValue, log);
  }
}

void KTXContainerNode::ValueToTextChild() {
  int kind = GetKind();
  if (!(kind <= kElement || kind == kDoctype)) return;
  if (first_ || pending_ || value_.IsEmpty()) return;
  std::unique_ptr<KTXNode> text = CreateXNode(kText);
  text->SetValue(value_);
  AppendChild(std::move(text));
  value_ = static_cast<const char16_t*>(nullptr);
}

void KTXContainerNode::RemoveEmptyTexts(KTXChangeLog* log) {
  for (KTXNode* at = first_; at;) {
    KTXNode* next = at->next_;
    if (at->GetKind() == kText && static_cast<KTXValueNode*>(at)->ValueString().IsEmpty())
      RemoveMadeChild(at, log);
    at = next;
  }
}

bool KTXContainerNode::MoveValueToTextChild(int entryIndex, KTXChangeLog* log) {
  if (first_ || pending_ || value_.IsEmpty()) return false;
  std::unique_ptr<KTXNode> text = CreateXNode(kText);
  text->SetValue(value_);
  AppendChild(std::move(text));
  KTString oldValue = value_;
  value_ = static_cast<const char16_t*>(nullptr);
  LogValueChange(this, oldValue, log);
  return true;
}

bool KTXContainerNode::IsExpandable() const {
  int kind = GetKind();
  return (kind == kElement || kind >= kDoctypeExternalId) && HasChildren();
}

void KTXContainerNode::GetExtent(int& columns, int& rows) const {
  if (!IsExpanded()) {
    KTXNode::GetExtent(columns, rows);
    return;
  }
  GetStoredExtent(columns, rows);
}

void KTXContainerNode::UpdateExtent(const KTXViewFilter* filter) {
  if (!IsExpanded()) return;
  MakePendingNodes();
  int columns = 0, rows = 0;
  for (KTXNode* child = first_; child; child = child->next_) {
    if (!child->IsShown(filter)) continue;
    int c = 0, r = 0;
    child->GetExtent(c, r);
    columns = std::max(columns, c);
    rows += r;
  }
  if (GetParent()) {
    columns += 2;
    rows += 1;
  }
  SetStoredExtent(columns, rows);
}

void KTXContainerNode::ShrinkExtent() {
  if (!GetParent()) return;
  int columns = 0, rows = 0;
  GetStoredExtent(columns, rows);
  SetStoredExtent(columns - 2, rows - 1);
}

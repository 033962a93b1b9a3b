// The node levels, child lists, change log, tidy-up, kind changes, flags and
// outline extents of the document node model. Every walk over a subtree runs
// with an explicit stack: trees can be as deep as the parser allows and more.
#include "xml/ktxnode.h"

#include <algorithm>
#include <utility>

#include "platform/ktwchar.h"

namespace {

const char16_t* const kKindNames[kXNodeKindCount] = {
    u"XML-Document", u"XML-Entity",       u"DTD-Document",     u"XML-Tag",
    u"Element",      u"Attribute",        u"Text",             u"CData",
    u"Comment",      u"Processing instruction", u"DOCTYPE",    u"DOCTYPE-ExternalID",
    u"DOCTYPE-ELEMENT", u"DOCTYPE-ATTLIST", u"DOCTYPE-ENTITY", u"DOCTYPE-NOTATION",
};

bool BeginsWithSectionMark(const char16_t* text) {
  return text[0] == u'<' && text[1] == u'!' && text[2] == u'[';
}

// Calls visit(node) on root and then on every node below it in document
// order; a node's children are listed only after visit(node) returned, so
// visit may rearrange the children of the node it is given.
template <typename Visit>
void WalkPreorder(KTXNode* root, Visit visit) {
  visit(root);
  if (!root->IsContainer()) return;
  std::vector<std::pair<KTXContainerNode*, KTXChildPos>> stack;
  auto* top = static_cast<KTXContainerNode*>(root);
  stack.emplace_back(top, const_cast<KTXChildList&>(top->Children()).begin());
  while (!stack.empty()) {
    auto& [container, pos] = stack.back();
    if (pos == container->Children().end()) {
      stack.pop_back();
      continue;
    }
    KTXNode* node = pos->get();
    ++pos;
    visit(node);
    if (node->IsContainer() && node->HasChildren()) {
      auto* c = static_cast<KTXContainerNode*>(node);
      stack.emplace_back(c, const_cast<KTXChildList&>(c->Children()).begin());
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Iterators and change log

KTChildIterator& KTChildIterator::Next() {
  if (!IsEnd()) {
    ++pos_;
    SkipOtherKinds();
  }
  return *this;
}

void KTChildIterator::SkipOtherKinds() {
  if (kind_ < 0) return;
  while (!IsEnd() && (*pos_)->GetKind() != kind_) ++pos_;
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
    for (const auto& child : static_cast<const KTXContainerNode*>(source)->Children()) {
      KTXNode* copy = target->AppendChild(copyOne(*child));
      if (child->HasChildren()) stack.emplace_back(child.get(), copy);
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

void KTXNode::SetValue(const char16_t* text) { SetValue(text, text ? static_cast<int>(KTStrLen(text)) : 0); }

bool KTXNode::HasPrefix() const { return KTStrChr(GetName(), u':') != nullptr; }

KTXNode* KTXNode::GetNextSibling() const {
  if (!parent_) return nullptr;
  auto next = std::next(posInParent_);
  const auto& list = static_cast<KTXContainerNode*>(parent_)->Children();
  return next == list.end() ? nullptr : next->get();
}

KTXNode* KTXNode::GetPreviousSibling() const {
  if (!parent_) return nullptr;
  const auto& list = static_cast<KTXContainerNode*>(parent_)->Children();
  if (posInParent_ == list.begin()) return nullptr;
  return std::prev(posInParent_)->get();
}

KTXNode* KTXNode::AppendChild(std::unique_ptr<KTXNode>&& child, KTXChangeLog* log) {
  return InsertChild(EndIterator(), std::move(child), log);
}

void KTXNode::GetPositionInParent(KTChildIterator& out) const {
  if (!parent_) {
    out = KTChildIterator();
    return;
  }
  out = static_cast<KTXContainerNode*>(parent_)->IteratorAt(posInParent_);
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
  for (const auto& child : static_cast<const KTXContainerNode*>(this)->Children()) {
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
  for (const auto& child : static_cast<const KTXContainerNode*>(this)->Children()) {
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
      for (const auto& child : static_cast<KTXContainerNode*>(level)->Children()) {
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
    for (const auto& child : static_cast<KTXContainerNode*>(node)->Children()) {
      if (child->IsShown(filter)) stack.emplace_back(child.get(), false);
    }
  }
}

void KTXNode::UpdateExtentUpwards() {
  for (KTXNode* node = this; node; node = node->parent_) node->UpdateExtent(nullptr);
}

// ---------------------------------------------------------------------------
// Value and named levels

void KTXValueNode::SetValue(const char16_t* text, int length) {
  if (!text || length <= 0)
    value_ = static_cast<const char16_t*>(nullptr);
  else
    value_.Assign(text, length);
}

void KTXValueNode::CopyFieldsFrom(const KTXNode& other) {
  KTXNode::CopyFieldsFrom(other);
  value_ = static_cast<const KTXValueNode&>(other).value_;
}

void KTXNamedNode::SetName(const char16_t* text, int length) {
  if (!text || length <= 0)
    name_ = static_cast<const char16_t*>(nullptr);
  else
    name_.Assign(text, length);
}

void KTXNamedNode::CopyFieldsFrom(const KTXNode& other) {
  KTXValueNode::CopyFieldsFrom(other);
  name_ = static_cast<const KTXNamedNode&>(other).name_;
}

// ---------------------------------------------------------------------------
// Containers

KTXContainerNode::~KTXContainerNode() {
  // Children are taken apart level by level so that destroying a deep tree
  // never recurses: each node is deleted only after its children were moved
  // onto the work stack.
  if (children_.empty()) return;
  std::vector<std::unique_ptr<KTXNode>> stack;
  for (auto& child : children_) stack.push_back(std::move(child));
  children_.clear();
  while (!stack.empty()) {
    std::unique_ptr<KTXNode> node = std::move(stack.back());
    stack.pop_back();
    if (node->IsContainer()) {
      auto* container = static_cast<KTXContainerNode*>(node.get());
      for (auto& child : container->children_) stack.push_back(std::move(child));
      container->children_.clear();
    }
  }
}

void KTXContainerNode::ResetFields() {
  KTXNode::ResetFields();
  expanded_ = false;
  mark_ = false;
  columnExtent_ = 0;
  rowExtent_ = 0;
}

void KTXContainerNode::CopyFieldsFrom(const KTXNode& other) {
  KTXNamedNode::CopyFieldsFrom(other);
  const auto& o = static_cast<const KTXContainerNode&>(other);
  expanded_ = o.expanded_;
  mark_ = o.mark_;
  columnExtent_ = o.columnExtent_;
  rowExtent_ = o.rowExtent_;
}

KTXNode* KTXContainerNode::InsertChild(const KTChildIterator& pos, std::unique_ptr<KTXNode>&& child,
                                       KTXChangeLog* log) {
  if (!child || child->parent_) return nullptr;
  KTXChildPos where = (pos.List() == &children_) ? pos.Position() : children_.end();
  KTXChildPos at = children_.insert(where, std::move(child));
  KTXNode* node = at->get();
  node->parent_ = this;
  node->posInParent_ = at;
  if (log) {
    KTXChangeRecord* record = log->NewRecord(kChangeInserted);
    record->node = node;
    record->position = at;
    record->next = std::next(at);
    record->parent = this;
    record->expanded = node->IsExpanded();
  }
  return node;
}

void KTXContainerNode::RemoveChild(const KTChildIterator& pos, KTXChangeLog* log) {
  if (pos.List() != &children_ || pos.IsEnd()) return;
  KTXChildPos at = pos.Position();
  KTXNode* node = at->get();
  KTXChildPos next = std::next(at);
  if (log) {
    KTXChangeRecord* record = log->NewRecord(kChangeRemoved);
    record->unlinked.splice(record->unlinked.end(), children_, at);
    record->node = node;
    record->position = at;  // now in record->unlinked
    record->next = next;
    record->parent = this;
    record->expanded = node->IsExpanded();
    node->parent_ = nullptr;
    node->posInParent_ = KTXChildPos();
  } else {
    children_.erase(at);
  }
  if (children_.empty()) {
    expanded_ = false;
    mark_ = false;
  }
}

void KTXContainerNode::DeleteChildren() {
  children_.clear();  // each child takes its own subtree apart without recursion
  expanded_ = false;
  mark_ = false;
}

void KTXContainerNode::RemoveChildren(KTXChangeLog* log) {
  if (!log) {
    DeleteChildren();
    return;
  }
  while (!children_.empty()) RemoveChild(IteratorAt(children_.begin()), log);
}

void KTXContainerNode::FirstChildOfKind(KTChildIterator& out, int kind) {
  out = KTChildIterator(&children_, children_.begin(), kind);
  out.SkipOtherKinds();
}

void KTXContainerNode::BeginChildren(KTChildIterator& out) { out = IteratorAt(children_.begin()); }

KTChildIterator KTXContainerNode::EndIterator() { return IteratorAt(children_.end()); }

KTXNode* KTXContainerNode::TakeChildren(const KTChildIterator& pos, KTXNode* from, KTChildIterator first,
                                        KTChildIterator last, KTXChangeLog* log, bool normalize) {
  KTXNode* firstMoved = first.Node();
  if (!from || !from->IsContainer() || from == this) return firstMoved;
  auto* source = static_cast<KTXContainerNode*>(from);
  if (first.List() != &source->children_) return firstMoved;
  KTXChildPos where = (pos.List() == &children_) ? pos.Position() : children_.end();
  KTXChildPos stop = (last.List() == &source->children_) ? last.Position() : source->children_.end();
  KTXChildPos at = first.Position();
  while (at != stop) {
    KTXChildPos next = std::next(at);
    KTXNode* node = at->get();
    children_.splice(where, source->children_, at);  // `at` stays valid, now in this list
    node->parent_ = this;
    if (log) {
      KTXChangeRecord* record = log->NewRecord(kChangeMoved);
      record->node = node;
      record->position = at;
      record->next = next;
      record->parent = source;
      record->expanded = node->IsExpanded();
    }
    at = next;
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
  KTXChildPos at = (start.List() == &children_) ? start.Position() : children_.end();
  KTXChildPos insert = at;
  while (at != children_.end()) {
    KTXChildPos next = std::next(at);
    KTXNode* node = at->get();
    if (node->GetKind() == kind) {
      if (at == insert) {
        insert = next;
      } else {
        children_.splice(insert, children_, at);
        if (log) {
          KTXChangeRecord* record = log->NewRecord(kChangeMoved);
          record->node = node;
          record->position = at;
          record->next = next;
          record->parent = this;
          record->expanded = node->IsExpanded();
        }
      }
    } else if (stopKind != kNoStopKind && insert != children_.end() && (*insert)->GetKind() != stopKind) {
      ++insert;
    }
    at = next;
  }
  out = IteratorAt(insert);
}

void KTXContainerNode::LogValueChange(KTXNode* node, const KTString& oldValue, KTXChangeLog* log) {
  if (!log) return;
  KTXChangeRecord* record = log->NewRecord(kChangeValue);
  record->node = node;
  record->oldText = oldValue;
  record->parent = node->parent_;
  if (node->parent_) {
    record->position = node->posInParent_;
    record->next = std::next(node->posInParent_);
  }
}

void KTXContainerNode::NormalizeText(KTXChangeLog* log, KTXNode** tracked) {
  if (GathersAttributes()) {
    KTChildIterator ignored;
    GatherChildrenOfKind(ignored, kAttribute, log, IteratorAt(children_.begin()), kNoStopKind);
  }
  if (!MergesTexts()) return;

  // Runs of adjacent Text children are joined in one pass per run, so a long
  // run costs time linear in its text.
  for (KTXChildPos at = children_.begin(); at != children_.end(); ++at) {
    if ((*at)->GetKind() != kText) continue;
    auto* absorber = static_cast<KTXValueNode*>(at->get());
    KTXChildPos next = std::next(at);
    if (next == children_.end() || (*next)->GetKind() != kText) continue;
    std::u16string joined(absorber->ValueString().View());
    KTString oldValue = absorber->ValueString();
    bool merged = false;
    while (next != children_.end() && (*next)->GetKind() == kText) {
      auto* text = static_cast<KTXValueNode*>(next->get());
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
      KTXChildPos after = std::next(next);
      RemoveChild(IteratorAt(next), log);
      next = after;
    }
    if (merged) absorber->SetValue(joined.c_str(), static_cast<int>(joined.size()));
  }

  int kind = GetKind();
  if (kind == kDtdDocument || kind == kDoctype) return;

  if (children_.size() == 1 && children_.front()->GetKind() == kText) {
    KTXNode* text = children_.front().get();
    KTString oldValue = value_;
    int length = value_.GetLength();
    value_.AppendAtLength(text->GetValue(), length, 0);
    if (tracked && *tracked == text) *tracked = this;
    RemoveChild(IteratorAt(children_.begin()), log);
    LogValueChange(this, oldValue, log);
    return;
  }
  if (!children_.empty() && !value_.IsEmpty()) {
    // The value goes in front of the content, after the attributes, so the
    // attributes keep standing first.
    KTXChildPos first = children_.begin();
    while (first != children_.end() && (*first)->GetKind() == kAttribute) ++first;
    if (first != children_.end() && (*first)->GetKind() == kText) {
      auto* text = static_cast<KTXValueNode*>(first->get());
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
  if (!children_.empty() || value_.IsEmpty()) return;
  std::unique_ptr<KTXNode> text = CreateXNode(kText);
  text->SetValue(value_);
  AppendChild(std::move(text));
  value_ = static_cast<const char16_t*>(nullptr);
}

void KTXContainerNode::RemoveEmptyTexts(KTXChangeLog* log) {
  for (KTXChildPos at = children_.begin(); at != children_.end();) {
    KTXChildPos next = std::next(at);
    if ((*at)->GetKind() == kText && static_cast<KTXValueNode*>(at->get())->ValueString().IsEmpty())
      RemoveChild(IteratorAt(at), log);
    at = next;
  }
}

bool KTXContainerNode::MoveValueToTextChild(int entryIndex, KTXChangeLog* log) {
  if (!children_.empty() || value_.IsEmpty()) return false;
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
  columns = columnExtent_;
  rows = rowExtent_;
}

void KTXContainerNode::UpdateExtent(const KTXViewFilter* filter) {
  if (!IsExpanded()) return;
  int columns = 0, rows = 0;
  for (const auto& child : children_) {
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
  columnExtent_ = columns;
  rowExtent_ = rows;
}

void KTXContainerNode::ShrinkExtent() {
  if (!GetParent()) return;
  columnExtent_ -= 2;
  rowExtent_ -= 1;
}

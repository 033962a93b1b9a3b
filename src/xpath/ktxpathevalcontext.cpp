// The evaluation context's location step and the walkers of the thirteen
// axes. Every walk uses explicit stacks (documents may nest deeply), and a
// step from several context nodes never walks a node twice where the
// union can be had in one walk: nested descendant walks are skipped, the
// following and preceding axes walk once per document from the context
// node whose set holds all the others', sibling axes once per parent and
// ancestor walks stop at an ancestor already climbed. Other duplicates are
// dropped through a hash set. Positions are proximity positions along the
// axis (nearest first on reverse axes); the step nodes put the result into
// document order afterwards.
#include "xpath/ktxpathevalcontext.h"

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ktworkcount.h"
#include "xml/ktxpathnode.h"
#include "xpath/ktxpathelementindex.h"
#include "xpath/ktxpathexpression.h"
#include "xpath/ktxpathnodetest.h"
#include "xpath/ktxsltfunctionservices.h"

namespace {

using ItemVector = KTXPathValue::ItemVector;

// Not an attribute, namespace or declaration node: what the child,
// descendant, sibling, following and preceding axes hold.
inline bool IsContent(const KTXPathNode* node) {
  const int kind = node->GetKind();
  if (kind == kXPathAttribute || kind == kXPathNamespace || kind >= kXPathXmlDecl)
    return false;
  const KTXPathNode* parent = node->GetParent();
  return !(parent && parent->GetKind() >= kXPathXmlDecl);
}

inline bool IsAttributeOrNamespace(const KTXPathNode* node) {
  return node->GetKind() == kXPathAttribute || node->GetKind() == kXPathNamespace;
}

// Appends the nodes that pass the step's test with their proximity
// position; the position counts only nodes really added.
class Collector {
 public:
  Collector(const KTXPathNodeTest* test, ItemVector& out)
      : test_(test), elementName_(test ? test->AsElementNameTest() : nullptr), out_(out) {}
  void Restart() { counter_ = 1; }
  void SetSeen(KTXPathEvalContext::SeenSet* seen) { seen_ = seen; }
  void SetLimit(int limit) { limit_ = limit; }
  // True once the limit of nodes from this context node is reached.
  bool Full() const { return limit_ > 0 && counter_ > limit_; }
  void Offer(KTXPathNode* node) {
    if (Full())
      return;
    // An element name test rejects most nodes of a walk: it reads the node
    // itself, and only a node that passes becomes an item.
    if (elementName_ ? !elementName_->Passes(node) : false)
      return;
    KTXPathNodeItem item(node, counter_);
    if (!elementName_ && test_ && !test_->Test(item))
      return;
    if (seen_ && !seen_->insert(node).second)
      return;
    out_.push_back(item);
    ++counter_;
  }

 private:
  const KTXPathNodeTest* test_;
  const KTElementNameTest* elementName_;
  ItemVector& out_;
  KTXPathEvalContext::SeenSet* seen_ = nullptr;
  int counter_ = 1;
  int limit_ = 0;
};

std::vector<std::pair<KTXPathNode*, int>>& WalkStack() {
  static std::vector<std::pair<KTXPathNode*, int>> stack;
  return stack;
}

// The content nodes below `top` in document order (a node before its
// children).
void WalkDescendants(KTXPathNode* top, Collector& collector) {
  auto& stack = WalkStack();
  const size_t base = stack.size();
  stack.emplace_back(top, 0);
  while (stack.size() > base) {
    if (collector.Full()) {
      stack.resize(base);
      return;
    }
    auto& [node, next] = stack.back();
    if (next >= node->GetChildCount()) {
      stack.pop_back();
      continue;
    }
    KTXPathNode* child = node->GetChild(next++);
    if (!IsContent(child))
      continue;
    collector.Offer(child);
    if (child->GetChildCount() > 0)
      stack.emplace_back(child, 0);
  }
}

// `top` and the content nodes below it in reverse document order (children
// last to first, each subtree reversed, the node itself last).
void WalkSubtreeReversed(KTXPathNode* top, Collector& collector) {
  // A leaf is its own reversed subtree: no stack for it.
  if (top->GetChildCount() == 0) {
    collector.Offer(top);
    return;
  }
  auto& stack = WalkStack();
  const size_t base = stack.size();
  stack.emplace_back(top, top->GetChildCount() - 1);
  while (stack.size() > base) {
    if (collector.Full()) {
      stack.resize(base);
      return;
    }
    auto& [node, next] = stack.back();
    KTXPathNode* child = nullptr;
    while (next >= 0 && !child) {
      KTXPathNode* candidate = node->GetChild(next--);
      if (IsContent(candidate))
        child = candidate;
    }
    if (!child) {
      KTXPathNode* done = node;
      stack.pop_back();
      collector.Offer(done);
      continue;
    }
    if (child->GetChildCount() == 0) {
      collector.Offer(child);
      continue;
    }
    stack.emplace_back(child, child->GetChildCount() - 1);
  }
}

void WalkFollowing(KTXPathNode* node, Collector& collector) {
  KTXPathNode* base = node;
  if (IsAttributeOrNamespace(node)) {
    base = node->GetParent();
    if (!base)
      return;
    WalkDescendants(base, collector);
  }
  for (KTXPathNode* x = base; x->GetParent() && !collector.Full(); x = x->GetParent()) {
    KTXPathNode* parent = x->GetParent();
    const int index = x->GetIndexInParent();
    if (index < 0)
      continue;
    for (int i = index + 1; i < parent->GetChildCount() && !collector.Full(); ++i) {
      KTXPathNode* sibling = parent->GetChild(i);
      if (!IsContent(sibling))
        continue;
      collector.Offer(sibling);
      WalkDescendants(sibling, collector);
    }
  }
}

void WalkPreceding(KTXPathNode* node, Collector& collector) {
  KTXPathNode* base = IsAttributeOrNamespace(node) ? node->GetParent() : node;
  if (!base)
    return;
  for (KTXPathNode* x = base; x->GetParent() && !collector.Full(); x = x->GetParent()) {
    KTXPathNode* parent = x->GetParent();
    for (int i = x->GetIndexInParent() - 1; i >= 0 && !collector.Full(); --i) {
      KTXPathNode* sibling = parent->GetChild(i);
      if (IsContent(sibling))
        WalkSubtreeReversed(sibling, collector);
    }
  }
}

bool HasSiblings(const KTXPathNode* node) {
  return node->GetParent() && node->GetIndexInParent() >= 0 && IsContent(node);
}

void WalkFollowingSiblings(KTXPathNode* node, int fromIndex, Collector& collector) {
  KTXPathNode* parent = node->GetParent();
  for (int i = fromIndex + 1; i < parent->GetChildCount() && !collector.Full(); ++i) {
    KTXPathNode* sibling = parent->GetChild(i);
    if (IsContent(sibling))
      collector.Offer(sibling);
  }
}

void WalkPrecedingSiblings(KTXPathNode* node, int fromIndex, Collector& collector) {
  KTXPathNode* parent = node->GetParent();
  for (int i = fromIndex - 1; i >= 0 && !collector.Full(); --i) {
    KTXPathNode* sibling = parent->GetChild(i);
    if (IsContent(sibling))
      collector.Offer(sibling);
  }
}

// The last node of a subtree in document order.
const KTXPathNode* LastInSubtree(const KTXPathNode* node) {
  while (node->GetChildCount() > 0)
    node = node->GetChild(node->GetChildCount() - 1);
  return node;
}

// The elements of a step's element name test in the document of a context
// node, read from the document's element index where the processor keeps
// one. The index lists what the content axes reach from the root, so it
// stands for a walk only from a node that they reach as well.
class ElementLookup {
 public:
  ElementLookup(KTXPathExpression* owner, const KTXPathNodeTest* test) {
    const KTElementNameTest* name = test ? test->AsElementNameTest() : nullptr;
    if (name && owner && !name->PlainLocalName().empty()) {
      services_ = owner->XSLTServices();
      local_ = name->PlainLocalName();
    }
  }
  // True when the index answers for `node`; Elements() then lists the
  // name's elements in document order (null: none). From the second node of
  // a step on, each node climbed keeps its answer, so that the climbs of
  // many context nodes pass each node once (KTWorkCount counts the nodes
  // passed).
  bool Reach(KTXPathNode* node) {
    if (!services_)
      return false;
    if (++climbs_ == 2)
      memo_ = std::make_unique<Memo>();
    Memo* memo = memo_.get();
    if (memo)
      memo->passed.clear();
    KTXPathNode* top = node;
    bool reached = true;
    uint64_t steps = 0;
    while (KTXPathNode* parent = top->GetParent()) {
      if (memo) {
        auto found = memo->known.find(top);
        if (found != memo->known.end()) {
          reached = found->second.reached;
          top = found->second.root;
          break;
        }
      }
      ++steps;
      if (!IsContent(top) || top->GetIndexInParent() < 0) {
        reached = false;
        break;
      }
      if (memo)
        memo->passed.push_back(top);
      top = parent;
    }
    KTWorkCount::Add(steps);
    if (memo) {
      for (KTXPathNode* passed : memo->passed)
        memo->known.emplace(passed, Known{top, reached});
    }
    if (!reached)
      return false;
    if (top != root_) {
      root_ = top;
      KTXPathElementIndex* index = services_->ElementIndexOf(top);
      indexed_ = index != nullptr;
      elements_ = index ? index->Find(local_) : nullptr;
    }
    return indexed_;
  }
  const KTXPathElementIndex::Elements* Elements() const { return elements_; }

 private:
  struct Known {
    KTXPathNode* root;  // the root reached (when reached)
    bool reached;
  };
  KTXSLTFunctionServices* services_ = nullptr;
  std::u16string_view local_;
  KTXPathNode* root_ = nullptr;
  bool indexed_ = false;
  const KTXPathElementIndex::Elements* elements_ = nullptr;
  struct Memo {
    std::vector<KTXPathNode*> passed;
    std::unordered_map<const KTXPathNode*, Known> known;
  };
  int climbs_ = 0;
  std::unique_ptr<Memo> memo_;  // made at the second climb of a step
};

// The first element placed after `position` in document order.
KTXPathElementIndex::Elements::const_iterator FirstAfter(const KTXPathElementIndex::Elements& elements,
                                                         int32_t position) {
  return std::upper_bound(elements.begin(), elements.end(), position,
                          [](int32_t p, const KTXPathNode* e) { return p < e->GetPosition(); });
}

// WalkDescendants from a node the lookup reaches: the elements of the name
// inside the node's range of positions.
void IndexedDescendants(const KTXPathNode* node, const ElementLookup& lookup, Collector& collector) {
  const KTXPathElementIndex::Elements* elements = lookup.Elements();
  if (!elements)
    return;
  const int32_t last = LastInSubtree(node)->GetPosition();
  for (auto it = FirstAfter(*elements, node->GetPosition()); it != elements->end() && !collector.Full(); ++it) {
    if ((*it)->GetPosition() > last)
      break;
    collector.Offer(*it);
  }
}

// WalkFollowing from a node the lookup reaches: the elements of the name
// after the node's subtree.
void IndexedFollowing(const KTXPathNode* node, const ElementLookup& lookup, Collector& collector) {
  const KTXPathElementIndex::Elements* elements = lookup.Elements();
  if (!elements)
    return;
  for (auto it = FirstAfter(*elements, LastInSubtree(node)->GetPosition());
       it != elements->end() && !collector.Full(); ++it)
    collector.Offer(*it);
}

// WalkPreceding from a node the lookup reaches: the elements of the name
// before the node, nearest first, its ancestors left out.
void IndexedPreceding(const KTXPathNode* node, const ElementLookup& lookup, Collector& collector) {
  const KTXPathElementIndex::Elements* elements = lookup.Elements();
  if (!elements)
    return;
  // Ancestors, climbed as the candidates go back, stand in decreasing
  // order of position.
  const KTXPathNode* ancestor = node->GetParent();
  auto it = FirstAfter(*elements, node->GetPosition() - 1);
  while (it != elements->begin() && !collector.Full()) {
    const KTXPathNode* candidate = *--it;
    while (ancestor && ancestor->GetPosition() > candidate->GetPosition())
      ancestor = ancestor->GetParent();
    if (candidate == ancestor)
      continue;
    collector.Offer(const_cast<KTXPathNode*>(candidate));
  }
}

// For following (forward) and preceding (!forward) from several context
// nodes: per document, the one context node whose set holds every other's.
// Empty when some node is not numbered (then each is walked on its own).
std::vector<KTXPathNode*> WidestContexts(const ItemVector& contexts, bool forward) {
  std::unordered_map<int, std::pair<int, KTXPathNode*>> best;
  for (const KTXPathNodeItem& item : contexts) {
    KTXPathNode* node = item.GetNode();
    if (!node)
      continue;
    int key = 0;
    if (IsAttributeOrNamespace(node)) {
      const KTXPathNode* element = node->GetParent();
      if (!element)
        continue;
      // An attribute's following nodes start after it; a namespace node's
      // (unnumbered) right after its element, before whose own attributes
      // nothing content-like stands.
      key = forward && node->GetKind() == kXPathAttribute ? node->GetPosition() : element->GetPosition();
    } else {
      key = forward ? LastInSubtree(node)->GetPosition() : node->GetPosition();
    }
    if (key < 1)
      return {};
    auto [it, inserted] = best.try_emplace(node->GetDocumentNumber(), key, node);
    if (!inserted && (forward ? key < it->second.first : key > it->second.first))
      it->second = {key, node};
  }
  std::vector<KTXPathNode*> nodes;
  for (auto& [document, entry] : best)
    nodes.push_back(entry.second);
  return nodes;
}

// A pattern may use only the child and attribute axes (and "//"): the
// error names the axis it used (".." is the parent axis).
void ReportPatternAxis(KTXPathExpression* owner, int axis) {
  owner->SetError(kXPathErrPatternAxis, -1);
  static constexpr const char16_t* kAxisNames[] = {
      u"ancestor",  u"ancestor-or-self", u"attribute", u"child",     u"descendant",        u"descendant-or-self",
      u"following", u"following-sibling", u"namespace", u"parent", u"preceding", u"preceding-sibling", u"self"};
  if (axis >= kAxisAncestor && axis <= kAxisSelf) {
    KTString subject(kAxisNames[axis]);
    subject += u"::";
    owner->SetErrorSubject(subject);
  }
}

void StepAncestors(const ItemVector& contexts, bool orSelf, Collector& collector) {
  const bool several = contexts.size() > 1;
  // Each node is climbed once: above an ancestor climbed before, all
  // are known already.
  KTXPathEvalContext::SeenSet climbed;
  for (const KTXPathNodeItem& item : contexts) {
    KTXPathNode* node = item.GetNode();
    if (!node)
      continue;
    collector.Restart();
    if (orSelf) {
      if (several && !climbed.insert(node).second)
        continue;
      collector.Offer(node);
    }
    for (KTXPathNode* up = node->GetParent(); up; up = up->GetParent()) {
      if (several && !climbed.insert(up).second)
        break;
      if (!IsDeclarationNode(up))
        collector.Offer(up);
    }
  }
}

void StepAttributes(const ItemVector& contexts, Collector& collector) {
  for (const KTXPathNodeItem& item : contexts) {
    KTXPathNode* node = item.GetNode();
    if (!node || node->GetKind() != kXPathElement)
      continue;
    collector.Restart();
    for (int i = 0; i < node->GetChildCount(); ++i) {
      KTXPathNode* child = node->GetChild(i);
      if (child->GetKind() == kXPathAttribute)
        collector.Offer(child);
    }
  }
}

void StepChildren(const ItemVector& contexts, int first, int end, Collector& collector) {
  for (const KTXPathNodeItem& item : contexts) {
    KTXPathNode* node = item.GetNode();
    if (!node)
      continue;
    collector.Restart();
    const int last = std::min(end, node->GetChildCount());
    for (int i = first; i < last; ++i) {
      KTXPathNode* child = node->GetChild(i);
      if (IsContent(child))
        collector.Offer(child);
    }
  }
}

void StepDescendants(const ItemVector& contexts, bool orSelf, ElementLookup& lookup, Collector& collector) {
  const bool several = contexts.size() > 1;
  // A context node inside the subtree of one walked before has had all
  // its descendants (and itself) added already.
  KTXPathEvalContext::SeenSet walked, seen;
  // The skip relies on ancestors coming first: a node-set out of order
  // (only a caller's start value can be) is deduplicated node by node.
  const bool ordered = !several || std::is_sorted(contexts.begin(), contexts.end(), DocumentOrderLess);
  if (!ordered)
    collector.SetSeen(&seen);
  for (const KTXPathNodeItem& item : contexts) {
    KTXPathNode* node = item.GetNode();
    if (!node)
      continue;
    if (several && ordered && IsContent(node)) {
      bool inside = false;
      for (const KTXPathNode* up = node; up && !inside; up = up->GetParent())
        inside = walked.count(up) != 0;
      if (inside)
        continue;
      walked.insert(node);
    }
    collector.Restart();
    if (orSelf && !IsDeclarationNode(node))
      collector.Offer(node);
    if (lookup.Reach(node))
      IndexedDescendants(node, lookup, collector);
    else
      WalkDescendants(node, collector);
  }
}

void StepFollowingOrPreceding(const ItemVector& contexts, bool forward, ElementLookup& lookup, Collector& collector) {
  std::vector<KTXPathNode*> starts;
  KTXPathEvalContext::SeenSet seen;
  if (contexts.size() > 1) {
    starts = WidestContexts(contexts, forward);
    if (starts.empty())
      collector.SetSeen(&seen);
  }
  if (starts.empty()) {
    for (const KTXPathNodeItem& item : contexts) {
      if (item.GetNode())
        starts.push_back(item.GetNode());
    }
  }
  for (KTXPathNode* node : starts) {
    collector.Restart();
    if (lookup.Reach(node))
      forward ? IndexedFollowing(node, lookup, collector) : IndexedPreceding(node, lookup, collector);
    else if (forward)
      WalkFollowing(node, collector);
    else
      WalkPreceding(node, collector);
  }
}

void StepSiblings(const ItemVector& contexts, bool forward, Collector& collector) {
  // Per parent, the siblings of the first (following) or last
  // (preceding) context node hold those of all the others.
  std::unordered_map<KTXPathNode*, std::pair<int, KTXPathNode*>> perParent;
  std::vector<KTXPathNode*> order;
  for (const KTXPathNodeItem& item : contexts) {
    KTXPathNode* node = item.GetNode();
    if (!node || !HasSiblings(node))
      continue;
    const int index = node->GetIndexInParent();
    auto [it, inserted] = perParent.try_emplace(node->GetParent(), index, node);
    if (inserted)
      order.push_back(node->GetParent());
    else if (forward ? index < it->second.first : index > it->second.first)
      it->second = {index, node};
  }
  for (KTXPathNode* parent : order) {
    auto [index, node] = perParent[parent];
    collector.Restart();
    if (forward)
      WalkFollowingSiblings(node, index, collector);
    else
      WalkPrecedingSiblings(node, index, collector);
  }
}

void StepNamespaces(const ItemVector& contexts, Collector& collector) {
  for (const KTXPathNodeItem& item : contexts) {
    KTXPathNode* node = item.GetNode();
    if (!node || node->GetKind() != kXPathElement)
      continue;
    collector.Restart();
    if (const auto* namespaces = node->GetNamespaceNodes()) {
      for (const auto& ns : *namespaces)
        collector.Offer(ns.get());
    }
  }
}

void StepParents(const ItemVector& contexts, Collector& collector) {
  KTXPathEvalContext::SeenSet seen;
  if (contexts.size() > 1)
    collector.SetSeen(&seen);
  for (const KTXPathNodeItem& item : contexts) {
    KTXPathNode* node = item.GetNode();
    KTXPathNode* parent = node ? node->GetParent() : nullptr;
    if (!parent || IsDeclarationNode(parent))
      continue;
    collector.Restart();
    collector.Offer(parent);
  }
}

void StepSelf(const ItemVector& contexts, Collector& collector) {
  for (const KTXPathNodeItem& item : contexts) {
    if (!item.GetNode())
      continue;
    collector.Restart();
    collector.Offer(item.GetNode());
  }
}

}  // namespace

bool KTXPathEvalContext::CommitValueSlots() {
  KTXPathValue& other = Other();
  // The slot given up keeps its vector for the next step's items.
  if (other.IsNodeSet() && other.ItemCount() == 0) {
    Current().ClearNodeSet();
    nodeSetSize_ = 0;
    return false;
  }
  Current().ClearNodeSet();
  std::swap(current_, other_);
  nodeSetSize_ = Current().ItemCount();
  return true;
}

void KTXPathEvalContext::SetResult(const KTXPathValue& value) {
  Other() = value;
  CommitValueSlots();
}

void KTXPathEvalContext::SetResult(KTXPathValue&& value) {
  Other() = std::move(value);
  CommitValueSlots();
}

void KTXPathEvalContext::SetCurrentItem(const KTXPathNodeItem& item) {
  // Filled in place: what a commit of the other slot would leave, without
  // the exchange.
  KTXPathValue& current = Current();
  current.ClearNodeSet();
  current.PushItem(item);
  Other().ClearNodeSet();
  nodeSetSize_ = 1;
}

void KTXPathEvalContext::SortInDocumentOrder() {
  if (Current().IsNodeSet() && Current().ItemCount() > 0)
    Current().SortDocumentOrder();
}

KTXPathNodeItem KTXPathEvalContext::ContextNodeItem() const {
  const KTXPathValue& current = Current();
  if (!current.IsNodeSet() || current.ItemCount() == 0)
    return KTXPathNodeItem();
  const int position = contextPosition_;
  if (current.ItemCount() > 1 && position >= 1 && position <= current.ItemCount())
    return *current.NodeItemAt(position - 1);
  return *current.NodeItemAt(0);
}

bool KTXPathEvalContext::AddResultNode(const KTXPathNodeItem& item, SeenSet& seen) {
  if (!seen.insert(item.GetNode()).second)
    return true;
  Other().PushItem(item);
  return false;
}

bool KTXPathEvalContext::EvaluateStepWithOwner(const KTXPathNodeTest* test) {
  stepTest_ = test;
  const bool ok = EvaluateStep();
  stepTest_ = nullptr;
  return ok;
}

bool KTXPathEvalContext::EvaluateStep() {
  if (!predicate_ && owner_ && owner_->HasPatternAxes() &&
      axis_ != kAxisAttribute && axis_ != kAxisChild && axis_ != kAxisDescendantOrSelf) {
    ReportPatternAxis(owner_, axis_);
    return false;
  }
  if (axis_ < kAxisAncestor || axis_ > kAxisSelf)
    return false;
  // The context node-set stays alive through its own handle while the
  // other slot grows.
  const KTXPathValue contextValue = Current();
  const ItemVector& contexts = contextValue.Items();
  ItemVector& out = Other().MutableItems();
  Collector collector(stepTest_, out);
  collector.SetLimit(stepLimit_);
  stepLimit_ = 0;
  const int childFirst = childFirst_;
  const int childEnd = childEnd_;
  childFirst_ = 0;
  childEnd_ = kAllChildren;
  ElementLookup lookup(owner_, stepTest_);

  switch (axis_) {
    case kAxisAncestor:
    case kAxisAncestorOrSelf:
      StepAncestors(contexts, axis_ == kAxisAncestorOrSelf, collector);
      break;
    case kAxisAttribute:
      StepAttributes(contexts, collector);
      break;
    case kAxisChild:
      StepChildren(contexts, childFirst, childEnd, collector);
      childWindowUsed_ = childEnd != kAllChildren;
      break;
    case kAxisDescendant:
    case kAxisDescendantOrSelf:
      StepDescendants(contexts, axis_ == kAxisDescendantOrSelf, lookup, collector);
      break;
    case kAxisFollowing:
    case kAxisPreceding:
      StepFollowingOrPreceding(contexts, axis_ == kAxisFollowing, lookup, collector);
      break;
    case kAxisFollowingSibling:
    case kAxisPrecedingSibling:
      StepSiblings(contexts, axis_ == kAxisFollowingSibling, collector);
      break;
    case kAxisNamespace:
      StepNamespaces(contexts, collector);
      break;
    case kAxisParent:
      StepParents(contexts, collector);
      break;
    case kAxisSelf:
      StepSelf(contexts, collector);
      break;
  }
  return true;
}

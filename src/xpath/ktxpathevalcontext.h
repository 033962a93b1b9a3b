// KTXPathEvalContext: the state of one XPath evaluation as it passes from
// syntax-tree node to node: two value slots (the current value and the one
// being built), the axis and node test of the step in progress, the context
// position and size, and the owning expression that receives errors. Its
// location step walks the thirteen axes.
#pragma once

#include <unordered_set>

#include "xpath/ktxpathvalue.h"

class KTXPathExpression;
class KTXPathNodeTest;
class KTXPathAstNode;
class KTXPathInvariantValues;

enum KTXPathAxis : int {
  kAxisAncestor = 0,
  kAxisAncestorOrSelf = 1,
  kAxisAttribute = 2,
  kAxisChild = 3,
  kAxisDescendant = 4,
  kAxisDescendantOrSelf = 5,
  kAxisFollowing = 6,
  kAxisFollowingSibling = 7,
  kAxisNamespace = 8,
  kAxisParent = 9,
  kAxisPreceding = 10,
  kAxisPrecedingSibling = 11,
  kAxisSelf = 12,
};

class KTXPathEvalContext {
 public:
  using SeenSet = std::unordered_set<const KTXPathNode*>;

  KTXPathEvalContext() = default;
  // Copies share the values' items until one side changes them.
  KTXPathEvalContext(const KTXPathEvalContext&) = default;
  KTXPathEvalContext& operator=(const KTXPathEvalContext&) = default;
  ~KTXPathEvalContext() = default;

  // ---- Value slots ----
  KTXPathValue& Current() { return slots_[current_]; }
  const KTXPathValue& Current() const { return slots_[current_]; }
  KTXPathValue& Other() { return slots_[other_]; }
  // Makes the value in the other slot current. When it is an empty node-set
  // the current value is emptied instead and the answer is false.
  bool CommitValueSlots();
  // Puts the value into the other slot and commits (true, also for an empty
  // node-set).
  void SetResult(const KTXPathValue& value);
  // The same, taking the value's items over instead of sharing them.
  void SetResult(KTXPathValue&& value);
  // A node-set of the one item as the current value (the other slot empty).
  void SetCurrentItem(const KTXPathNodeItem& item);
  // Sorts the current node-set into document order and numbers it 1..n.
  void SortInDocumentOrder();
  // The context node as a function sees it: the item at the context
  // position when the current value lists several nodes, else its first
  // item (inside predicates and steps it holds the context node alone); the
  // empty item when there is none.
  KTXPathNodeItem ContextNodeItem() const;

  // ---- Steps ----
  // One location step along the axis from every node of the current
  // node-set into the other slot (not committed), keeping the nodes that
  // pass the step's node test. False for an axis a pattern may not use
  // (error 12) or an unknown axis code.
  bool EvaluateStep();
  // The same with the test in force for the step (borrowed).
  bool EvaluateStepWithOwner(const KTXPathNodeTest* test);
  // Appends the item to the other slot unless its node is in `seen`; true
  // when it was there already.
  bool AddResultNode(const KTXPathNodeItem& item, SeenSet& seen);

  // ---- Fields ----
  // The name test or path operator of the step in progress ("/", "//", "$",
  // "[", "]", "@", "::", "..", "*", a name, ...): a text that outlives the
  // evaluation (a literal or a syntax-tree token).
  const char16_t* GetNameTest() const { return nameTest_; }
  void SetNameTest(const char16_t* text) { nameTest_ = text ? text : u""; }
  int GetAxis() const { return axis_; }
  void SetAxis(int axis) { axis_ = axis; }
  int GetContextPosition() const { return contextPosition_; }
  void SetContextPosition(int position) { contextPosition_ = position; }
  // Items of the current value after the last commit.
  int GetNodeSetSize() const { return nodeSetSize_; }
  // The size given by the caller (0 when none); last() prefers it.
  int GetContextSize() const { return contextSize_; }
  void SetContextSize(int size) { contextSize_ = size; }
  KTXPathExpression* GetOwner() const { return owner_; }
  void SetOwner(KTXPathExpression* owner) { owner_ = owner; }
  const KTXPathNodeTest* GetStepTest() const { return stepTest_; }
  // The next walk stops once this many nodes have passed its test (0: no
  // limit); EvaluateStep consumes it. A step whose first predicate is a
  // number n needs no more than n nodes from each context node.
  void SetStepLimit(int limit) { stepLimit_ = limit; }
  // The next child step walks only the children numbered from `first` to
  // before `end` of each context node; EvaluateStep consumes the window and
  // tells whether a walk used it (ChildWindowUsed). A step whose
  // predicates select by a node's own test alone runs over a long child
  // list a window at a time, so that the candidates are never listed whole.
  void SetChildWindow(int first, int end) {
    childFirst_ = first;
    childEnd_ = end;
    childWindowUsed_ = false;
  }
  bool ChildWindowUsed() const { return childWindowUsed_; }
  void ClearChildWindow() {
    childFirst_ = 0;
    childEnd_ = kAllChildren;
  }
  bool InPredicate() const { return predicate_; }
  void SetInPredicate(bool value) { predicate_ = value; }
  // The last step of a predicate's location path, whose value counts only as
  // empty or not: that step stops at the first context node that gives it a
  // node. Null when no such step is being evaluated.
  const KTXPathAstNode* GetExistenceStep() const { return existenceStep_; }
  void SetExistenceStep(const KTXPathAstNode* step) { existenceStep_ = step; }
  // The values of the invariant operands of this evaluation (borrowed; null:
  // every operand runs each time). Copies of the context share the store.
  KTXPathInvariantValues* GetInvariantValues() const { return invariants_; }
  void SetInvariantValues(KTXPathInvariantValues* values) { invariants_ = values; }

 private:
  static constexpr int kAllChildren = 0x7fffffff;

  KTXPathValue slots_[2];
  int current_ = 0;
  int other_ = 1;
  const char16_t* nameTest_ = u"";
  int axis_ = kAxisChild;
  int contextPosition_ = 1;
  int nodeSetSize_ = 0;
  int contextSize_ = 0;
  KTXPathExpression* owner_ = nullptr;
  const KTXPathNodeTest* stepTest_ = nullptr;
  bool predicate_ = false;
  int stepLimit_ = 0;
  // The child window: the whole child list unless a step sets one.
  int childFirst_ = 0;
  int childEnd_ = kAllChildren;
  bool childWindowUsed_ = false;
  const KTXPathAstNode* existenceStep_ = nullptr;
  KTXPathInvariantValues* invariants_ = nullptr;
};

// Invariant operands: what each kind of syntax-tree node reads of its context,
// the compile-time marking of the operands a predicate would run once per
// candidate, and their replay from the store of one evaluation.
#include "xpath/ktxpathinvariant.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/ktworkcount.h"
#include "xml/ktxpathnode.h"
#include "xpath/ktxpathastnode.h"
#include "xpath/ktxpathevalcontext.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xpath/ktxpathnodes.h"

namespace {

// What a subtree's value depends on, from least to most.
enum Dependence : uint8_t {
  kOnNothing = 0,   // the same everywhere in one evaluation
  kOnDocument = 1,  // the same for context nodes of one document
  kOnContext = 2,   // the context node, position or size
};
// Set beside the dependence when the subtree calls current().
constexpr uint8_t kCallsCurrent = 4;

// The function a call names, or null for a prefixed or unknown name (left to
// run every time, so that its error stays where it is raised).
const KTXPathFunctionInfo* CalledFunction(const KTXPathAstNode* call) {
  const KTXPathAstNode* name = call->FirstChild();
  const KTXPathAstNode* qname = name ? name->FirstChild() : nullptr;
  const KTXPathAstNode* part = qname ? qname->FirstChild() : nullptr;
  if (!part || part->GetKind() == kAstQNamePrefix)
    return nullptr;
  return KTXPathFunctionLibrary::FindFunction(NodeText(part).View(), true);
}

int ArgumentCount(const KTXPathAstNode* call) {
  for (int i = 1; i < call->ChildCount(); ++i) {
    if (call->ChildAt(i)->GetKind() == kAstArguments)
      return call->ChildAt(i)->ChildCount();
  }
  return 0;
}

// What the function reads of the context itself, its arguments aside
// (XPath 1.0 §4, XSLT 1.0 §12).
Dependence FunctionDependence(const KTXPathFunctionInfo& function, int argumentCount) {
  switch (function.index) {
    case kFnLast:
    case kFnPosition:
    case kFnLang:
    // current() is fixed for one evaluation, but it is left to run where it
    // stands, like the context functions.
    case kFnCurrent:
    // A document that cannot be loaded is reported at every call.
    case kFnDocument:
      return kOnContext;
    // Without an argument these take the context node.
    case kFnLocalName:
    case kFnNamespaceUri:
    case kFnName:
    case kFnString:
    case kFnStringLength:
    case kFnNormalizeSpace:
    case kFnNumber:
    case kFnGenerateId:
      return argumentCount == 0 ? kOnContext : kOnNothing;
    // These look in the context node's document.
    case kFnId:
    case kFnKey:
    case kFnUnparsedEntityUri:
      return kOnDocument;
    default:
      return kOnNothing;
  }
}

// The dependence of one node from those of its children. Steps, predicates
// and the relative path after a filter work on their own context nodes, so
// only their current() calls count outside them.
// `childDependence` holds the dependence of each child, in child order.
uint8_t NodeDependence(const KTXPathAstNode* node, const uint8_t* childDependence) {
  uint8_t children = kOnNothing;
  bool callsCurrent = false;
  for (int i = 0; i < node->ChildCount(); ++i) {
    const uint8_t child = childDependence[i];
    callsCurrent = callsCurrent || (child & kCallsCurrent) != 0;
    children = std::max<uint8_t>(children, child & ~kCallsCurrent);
  }
  const KTXPathFunctionInfo* function = node->GetKind() == kAstFunctionCall ? CalledFunction(node) : nullptr;
  if (callsCurrent || (function && function->index == kFnCurrent))
    return kOnContext | kCallsCurrent;
  switch (node->GetKind()) {
    case kAstLiteral:
    case kAstNumber:
    case kAstVariableReference:
    case kAstToken:
    case kAstCharacterRun:
      return kOnNothing;
    case kAstFunctionCall: {
      if (!function)
        return kOnContext;
      // The name and the parentheses are no operands.
      uint8_t arguments = FunctionDependence(*function, ArgumentCount(node));
      for (int i = 1; i < node->ChildCount(); ++i) {
        if (node->ChildAt(i)->GetKind() == kAstArguments)
          arguments = std::max<uint8_t>(arguments, childDependence[i]);
      }
      return arguments;
    }
    case kAstLocationPath:
      // An absolute path starts at the root of the context node's document.
      return node->FirstChild() && node->FirstChild()->GetKind() == kAstAbsoluteLocationPath ? kOnDocument
                                                                                              : kOnContext;
    case kAstFilterExpr:
    case kAstFilterChildPath:
    case kAstFilterDescendantPath:
      return childDependence[0] & ~kCallsCurrent;
    case kAstExpr:
    case kAstPredicateExpr:
    case kAstOrExpr:
    case kAstOrOperand:
    case kAstAndExpr:
    case kAstAndOperand:
    case kAstEqualityExpr:
    case kAstEqualityOperand:
    case kAstEqualityOperator:
    case kAstRelationalExpr:
    case kAstRelationalOperand:
    case kAstRelationalOperator:
    case kAstAdditiveExpr:
    case kAstAdditiveOperand:
    case kAstMultiplicativeExpr:
    case kAstMultiplicativeOperand:
    case kAstMultiplyOperand:
    case kAstDivOperand:
    case kAstModOperand:
    case kAstUnaryExpr:
    case kAstNegation:
    case kAstUnionExpr:
    case kAstUnionOperand:
    case kAstPathExpr:
    case kAstPrimaryExpr:
    case kAstParenthesizedExpr:
    case kAstArguments:
    case kAstArgument:
    case kAstArgumentTail:
      return children;
    default:
      return kOnContext;
  }
}

bool IsBinaryOperator(int kind) {
  return kind == kAstOrExpr || kind == kAstAndExpr || kind == kAstEqualityExpr || kind == kAstRelationalExpr ||
         kind == kAstAdditiveExpr || kind == kAstMultiplicativeExpr;
}

// Whether the operator, call or predicate evaluates the child as an operand
// (through KTXPathAstNode::EvaluateOperand).
bool IsOperandOf(const KTXPathAstNode* parent, int index) {
  const int kind = parent->GetKind();
  if (IsBinaryOperator(kind) || kind == kAstUnionExpr)
    return index == 0 && parent->ChildCount() > 1;
  switch (kind) {
    case kAstMultiplyOperand:
    case kAstDivOperand:
    case kAstModOperand:
    case kAstNegation:
    case kAstPredicate:
      return index == 1;
    case kAstOrOperand:
    case kAstAndOperand:
    case kAstEqualityOperand:
    case kAstRelationalOperand:
    case kAstAdditiveOperand:
    case kAstUnionOperand:
      return index == 1;
    case kAstArguments:
      return parent->ChildAt(index)->GetKind() == kAstArgument;
    case kAstArgumentTail:
      return index == parent->ChildCount() - 1;
    default:
      return false;
  }
}

// A literal, number or variable reference: replaying it would cost what
// running it costs.
bool IsTrivial(KTXPathAstNode* operand) {
  const KTXPathAstNode* target = operand->Resolved();
  if (target->GetKind() == kAstPrimaryExpr && target->ChildCount() == 1)
    target = target->FirstChild();
  const int kind = target->GetKind();
  return kind == kAstLiteral || kind == kAstNumber || kind == kAstVariableReference;
}

// The root of the document of the context node as a function call sees it.
const KTXPathNode* ContextDocument(const KTXPathEvalContext& context) {
  const KTXPathNode* node = context.ContextNodeItem().GetNode();
  while (node && node->GetParent())
    node = node->GetParent();
  return node;
}

// Marks the invariant operands of the subtree of an outermost predicate,
// numbering their slots on from `slots`.
void MarkUnderPredicate(KTXPathAstNode* predicate, int& slots) {
  // Every node in breadth-first order, so that the children of the node at
  // index k stand together from first[k] on; read backwards, children come
  // before their parent.
  // The buffers keep their room from one compiled expression to the next:
  // a stylesheet compiles tens of thousands of them.
  thread_local std::vector<KTXPathAstNode*> order;
  thread_local std::vector<uint32_t> first;
  order.assign(1, predicate);
  first.clear();
  for (size_t k = 0; k < order.size(); ++k) {
    KTXPathAstNode* node = order[k];
    first.push_back(static_cast<uint32_t>(order.size()));
    for (int i = 0; i < node->ChildCount(); ++i)
      order.push_back(node->ChildAt(i));
  }
  thread_local std::vector<uint8_t> dependence;
  dependence.assign(order.size(), 0);
  for (size_t k = order.size(); k-- > 0;)
    dependence[k] = NodeDependence(order[k], dependence.data() + first[k]);

  // From the predicate down: an operand that a predicate repeats and that
  // depends on nothing the candidate changes takes a slot; below it, only
  // what a further predicate repeats again.
  struct Visit {
    uint32_t index;
    bool repeated;
    bool operand;
  };
  thread_local std::vector<Visit> visits;
  visits.assign(1, Visit{0, false, false});
  while (!visits.empty()) {
    const Visit visit = visits.back();
    visits.pop_back();
    KTXPathAstNode* node = order[visit.index];
    const uint8_t depends = dependence[visit.index];
    bool repeated = visit.repeated || node->GetKind() == kAstPredicate;
    if (visit.repeated && visit.operand && depends <= kOnDocument && !IsTrivial(node)) {
      node->SetInvariant(slots++, depends == kOnDocument);
      repeated = false;
    }
    for (int i = 0; i < node->ChildCount(); ++i)
      visits.push_back({first[visit.index] + static_cast<uint32_t>(i), repeated, IsOperandOf(node, i)});
  }
}

}  // namespace

void MarkInvariantOperands(KTXPathAstNode* root) {
  if (!root)
    return;
  // Only a predicate repeats an operand, and what a node depends on is read
  // from its own subtree: the outermost predicates are found first, and only
  // their subtrees are read further (most of a tree lies outside them).
  thread_local std::vector<KTXPathAstNode*> found;
  found.assign(1, root);
  int slots = 0;
  while (!found.empty()) {
    KTXPathAstNode* node = found.back();
    found.pop_back();
    if (node->GetKind() == kAstPredicate) {
      MarkUnderPredicate(node, slots);
      continue;
    }
    for (int i = node->ChildCount() - 1; i >= 0; --i)
      found.push_back(node->ChildAt(i));
  }
}

void KTXPathInvariantValues::Keep(int slot, const KTXPathNode* document, const KTXPathValue& value,
                                  const char16_t* marker, int axis) {
  if (static_cast<size_t>(slot) >= entries_.size())
    entries_.resize(slot + 1);
  Entry& entry = entries_[slot];
  entry.filled = true;
  entry.document = document;
  entry.value = value;
  entry.marker = marker;
  entry.axis = axis;
}

bool KTXPathAstNode::EvaluateInvariant(KTXPathEvalContext& context) {
  KTXPathInvariantValues* store = context.GetInvariantValues();
  if (!store)
    return Resolved()->Evaluate(context);
  const KTXPathNode* document = invariantPerDocument_ ? ContextDocument(context) : nullptr;
  if (const KTXPathInvariantValues::Entry* entry = store->Find(invariantSlot_, document)) {
    context.SetResult(entry->value);
    context.SetNameTest(entry->marker);
    context.SetAxis(entry->axis);
    return true;
  }
  // A run of the operand is a step of its own for KTWorkCount.
  KTWorkCount::Add(1);
  if (!Resolved()->Evaluate(context))
    return false;
  store->Keep(invariantSlot_, document, context.Current(), context.GetNameTest(), context.GetAxis());
  return true;
}

// Evaluation of the syntax-tree node classes. A node reads the context's
// current value, builds its result in the other slot and commits it; on an
// error it records the code (and where known the position) on the owning
// expression and answers false. Location-path results are in document order
// with positions 1..n; inside a step, items carry their proximity position
// along the axis so that predicates can count them.
#include "xpath/ktxpathnodes.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "platform/ktworkcount.h"
#include "xml/ktxpathnode.h"
#include "xpath/ktxpathevalcontext.h"
#include "xpath/ktxpathexpression.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xpath/ktxpathnodetest.h"
#include "xpath/ktxpathschemapaths.h"

namespace {

using ItemVector = KTXPathValue::ItemVector;

const KTString& EmptyText() {
  static const KTString empty;
  return empty;
}

void Fail(KTXPathEvalContext& context, int code, const KTXPathAstNode* where) {
  if (KTXPathExpression* owner = context.GetOwner()) {
    owner->SetError(code, -1);
    if (where)
      owner->SetErrorPositionIfUnset(where->SourcePosition());
  }
}

// The root of a result-tree fragment: one root node that the processor
// built (it wraps no document node).
bool IsFragmentValue(const KTXPathValue& value) {
  if (!value.IsNodeSet() || value.ItemCount() != 1)
    return false;
  const KTXPathNode* node = value.Items()[0].GetNode();
  return node && node->GetKind() == kXPathRoot && node->GetXNode() == nullptr;
}

// A "/", "//" or predicate may not apply to a fragment that a variable
// delivered (XSLT 1.0 §11.1).
bool FragmentGuard(KTXPathEvalContext& context) {
  if (std::u16string_view(context.GetNameTest()) == u"$" && IsFragmentValue(context.Current())) {
    Fail(context, kXPathErrResultTreeFragment, nullptr);
    return false;
  }
  return true;
}

bool RequireNodeSet(KTXPathEvalContext& context, const KTXPathAstNode* where) {
  if (context.Current().IsNodeSet())
    return true;
  Fail(context, kXPathErrNotANodeSet, where);
  return false;
}

double NumberOf(const KTXPathValue& value) {
  return value.GetKind() == kValueNumber ? value.GetNumber() : KTXPathFunctionLibrary::ToNumber(value);
}

bool BooleanOf(const KTXPathValue& value) {
  return value.GetKind() == kValueBoolean ? value.GetBoolean() : KTXPathFunctionLibrary::ToBoolean(value);
}

// The value of an operand that is a literal or a number, null for any
// other; an operand the compile marked invariant keeps its own run.
const KTXPathValue* ConstantOperand(KTXPathAstNode* operand) {
  return operand->InvariantSlot() < 0 ? operand->Resolved()->ConstantValue() : nullptr;
}

// An operand that is a variable reference (its primary expression), null
// for any other; an operand the compile marked invariant keeps its own run.
PrimaryExprNode* VariableOperand(KTXPathAstNode* operand) {
  if (operand->InvariantSlot() >= 0)
    return nullptr;
  KTXPathAstNode* node = operand->Resolved();
  if (node->GetKind() != kAstPrimaryExpr)
    return nullptr;
  auto* primary = static_cast<PrimaryExprNode*>(node);
  return primary->IsVariableReference() ? primary : nullptr;
}

// The text is a literal at every call: its length is known where it is
// written.
inline bool TokenIs(const KTXPathAstNode* node, std::u16string_view text) {
  return node && node->Token().View() == text;
}

// The URI the expression binds to the prefix; false when unbound. The
// prefix xml is bound to the XML namespace by definition (Namespaces in XML
// 1.0 §3), whether or not the bindings name it.
bool LookUpPrefix(const KTXPathExpression* owner, const KTString& prefix, const KTString*& uri) {
  uri = nullptr;
  if (!owner || !owner->GetNamespaceMap())
    return false;
  const auto& map = *owner->GetNamespaceMap();
  auto it = map.find(prefix);
  if (it != map.end()) {
    uri = it->second && !it->second->IsEmpty() ? it->second : nullptr;
    return true;
  }
  if (prefix.View() != u"xml" || !owner->GetUriList())
    return false;
  for (const auto& entry : *owner->GetUriList()) {
    if (entry && entry->View() == u"http://www.w3.org/XML/1998/namespace") {
      uri = entry.get();
      return true;
    }
  }
  return false;
}

// Whether an axis step's specifier names the child axis: "child::" or no
// axis at all (an abbreviated specifier without "@").
bool IsChildAxis(const KTXPathAstNode* specifier) {
  if (!specifier)
    return false;
  if (specifier->GetKind() == kAstAbbreviatedAxisSpecifier)
    return specifier->ChildCount() == 0;
  return specifier->GetKind() == kAstNamedAxis && TokenIs(specifier->FirstChild()->FirstChild(), u"child");
}

// A step "child::name" or "name" (any node test) without predicates.
const KTXPathAstNode* PlainChildStepTest(const KTXPathAstNode* step) {
  if (!step || step->GetKind() != kAstStep)
    return nullptr;
  const KTXPathAstNode* axisStep = step->FirstChild();
  if (!axisStep || axisStep->GetKind() != kAstAxisStep || axisStep->ChildCount() != 2)
    return nullptr;
  if (!IsChildAxis(axisStep->FirstChild()))
    return nullptr;
  return axisStep->ChildAt(1);
}

// Whether an expression is a call of the core function `name` (no prefix)
// without arguments.
bool IsCoreCallWithoutArguments(KTXPathAstNode* expression, std::u16string_view name) {
  const KTXPathAstNode* node = expression->Resolved();
  if (node->GetKind() == kAstPrimaryExpr && node->ChildCount() == 1) node = node->FirstChild()->Resolved();
  if (node->GetKind() != kAstFunctionCall) return false;
  for (int i = 1; i < node->ChildCount(); ++i)
    if (node->ChildAt(i)->GetKind() == kAstArguments) return false;
  // FunctionName -> QName -> [QNamePrefix] LocalPart -> ... -> a character run.
  const KTXPathAstNode* function = node->FirstChild();
  const KTXPathAstNode* part = function && function->GetKind() == kAstFunctionName ? function->FirstChild() : nullptr;
  part = part ? part->FirstChild() : nullptr;
  if (!part || part->GetKind() == kAstQNamePrefix) return false;
  while (part && part->GetKind() != kAstCharacterRun) part = part->FirstChild();
  return part && std::u16string_view(part->TokenText()) == name;
}

// The whole number from 1 that a number literal of at most six digits
// stands for; 0 for any other expression.
int WholeNumberLiteral(const KTXPathAstNode* node) {
  while (node && node->ChildCount() == 1 && node->GetKind() != kAstNumber)
    node = node->FirstChild();
  if (!node || node->GetKind() != kAstNumber)
    return 0;
  const KTXPathAstNode* form = node->FirstChild();
  if (!form || form->GetKind() != kAstDigitsNumber || form->ChildCount() != 1)
    return 0;
  const KTString& digits = NodeText(form->FirstChild());
  if (digits.GetLength() > 6)
    return 0;
  int n = 0;
  for (char16_t c : digits.View())
    n = n * 10 + (c - u'0');
  return n;
}

// How many nodes of the axis, at most, the first predicate of a step can
// keep: n for the number literal n, n - 1 for "position() < n" and n for
// "position() <= n" (n a whole number literal). 0 when not known so.
int NumberPredicateLimit(const KTXPathAstNode* predicate) {
  if (!predicate || predicate->GetKind() != kAstPredicate)
    return 0;
  const KTXPathAstNode* expression = predicate->ChildAt(1);
  const KTXPathAstNode* node = expression;
  while (node && node->ChildCount() == 1 && node->GetKind() != kAstNumber && node->GetKind() != kAstRelationalExpr)
    node = node->FirstChild();
  if (node && node->GetKind() == kAstRelationalExpr) {
    // position() < n, position() <= n: the pair holds the operator and n.
    if (node->ChildCount() != 2 || !IsCoreCallWithoutArguments(node->ChildAt(0), u"position"))
      return 0;
    const KTXPathAstNode* pair = node->ChildAt(1);
    if (!pair || pair->GetKind() != kAstRelationalOperand || pair->ChildCount() != 2)
      return 0;
    const KTXPathAstNode* op = pair->ChildAt(0)->FirstChild();
    const bool less = TokenIs(op, u"<");
    if (!less && !TokenIs(op, u"<="))
      return 0;
    const int n = WholeNumberLiteral(pair->ChildAt(1));
    return less ? (n > 1 ? n - 1 : 0) : n;
  }
  return WholeNumberLiteral(node);
}

// A relative location path of one step without predicates, under a chain
// of one-child nodes (the predicate's expression as the parser builds it).
bool IsSingleStepPath(const KTXPathAstNode* node) {
  while (node && node->ChildCount() == 1 && node->GetKind() != kAstRelativeLocationPath &&
         node->GetKind() != kAstAbsoluteLocationPath && node->GetKind() != kAstPrimaryExpr)
    node = node->FirstChild();
  if (!node || node->GetKind() != kAstRelativeLocationPath || node->ChildCount() != 1)
    return false;
  const KTXPathAstNode* step = node->FirstChild();
  const KTXPathAstNode* axisStep = step ? step->FirstChild() : nullptr;
  return axisStep && axisStep->GetKind() == kAstAxisStep && axisStep->ChildCount() == 2;
}

// The last step of a location path under a chain of one-child nodes (a
// predicate's expression as the parser builds it), or null when the
// expression is anything else.
const KTXPathAstNode* LastStepOfPath(const KTXPathAstNode* node) {
  while (node) {
    const int kind = node->GetKind();
    if (kind == kAstRelativeLocationPath) {
      const KTXPathAstNode* last = node->ChildAt(node->ChildCount() - 1);
      const KTXPathAstNode* step = node->ChildCount() == 1 ? last : (last ? last->ChildAt(1) : nullptr);
      return step && step->GetKind() == kAstStep ? step : nullptr;
    }
    if (kind == kAstPrimaryExpr || kind == kAstFunctionCall)
      return nullptr;
    if (node->ChildCount() == 1)
      node = node->FirstChild();
    else if ((kind == kAstAbbreviatedAbsoluteLocationPath || kind == kAstRootLocationPath) && node->ChildCount() == 2)
      node = node->ChildAt(1);
    else
      return nullptr;
  }
  return nullptr;
}

// A child step "name[p]..." whose predicates all select by a test that no
// position or count changes (PredicateNode::IsPositionFree): its axis step,
// else null.
KTXPathAstNode* ChildStepWithFreePredicates(const KTXPathAstNode* step) {
  if (!step || step->GetKind() != kAstStep)
    return nullptr;
  KTXPathAstNode* axisStep = step->FirstChild();
  if (!axisStep || axisStep->GetKind() != kAstAxisStep || axisStep->ChildCount() < 3)
    return nullptr;
  if (!IsChildAxis(axisStep->FirstChild()))
    return nullptr;
  for (int i = 2; i < axisStep->ChildCount(); ++i) {
    KTXPathAstNode* predicate = axisStep->ChildAt(i);
    if (predicate->GetKind() != kAstPredicate || !static_cast<PredicateNode*>(predicate)->IsPositionFree())
      return nullptr;
  }
  return axisStep;
}

// Walks the descendant axis from the current node-set with the node test
// (and commits). The walk stands for a "//" followed by a child step, which
// a pattern may hold: it is not refused as a pattern's descendant axis.
bool WalkDescendantsFor(KTXPathEvalContext& context, const KTXPathAstNode* nodeTest) {
  const bool wasInPredicate = context.InPredicate();
  context.SetInPredicate(true);
  context.SetAxis(kAxisDescendant);
  const bool ok = const_cast<KTXPathAstNode*>(nodeTest)->Resolved()->Evaluate(context);
  context.SetInPredicate(wasInPredicate);
  return ok;
}

// Walks descendant-or-self from the current node-set, then evaluates the
// step. A plain child step becomes one descendant step (the same nodes
// without building the node-set of every descendant); so does a child step
// whose predicates do not count positions, its predicates then testing the
// descendants found in one pass.
bool DescendThenStep(KTXPathEvalContext& context, KTXPathAstNode* step) {
  context.SetNameTest(u"//");
  const KTXPathExpression* owner = context.GetOwner();
  const KTXPathAstNode* nodeTest = PlainChildStepTest(step);
  if (nodeTest) {
    if (!WalkDescendantsFor(context, nodeTest))
      return false;
    context.SortInDocumentOrder();
    return true;
  }
  KTXPathAstNode* filtered = !owner || owner->GetCompileMode() != KTXPathExpression::kModeExpr
                                 ? nullptr
                                 : ChildStepWithFreePredicates(step);
  if (filtered) {
    // A child of a descendant-or-self node is a descendant; each predicate
    // keeps a node by its own test alone, so the candidates of all context
    // nodes can be tested as one set. Where only emptiness counts, the last
    // predicate stops at its first node kept.
    const bool stopAtFirst = context.GetExistenceStep() == step;
    context.SetExistenceStep(nullptr);
    if (!WalkDescendantsFor(context, filtered->ChildAt(1)))
      return false;
    const int last = filtered->ChildCount() - 1;
    for (int i = 2; i <= last; ++i) {
      context.SetExistenceStep(stopAtFirst && i == last ? filtered->ChildAt(i) : nullptr);
      const bool ok = filtered->ChildAt(i)->Resolved()->Evaluate(context);
      context.SetExistenceStep(nullptr);
      if (!ok)
        return false;
    }
    context.SortInDocumentOrder();
    return true;
  }
  context.SetAxis(kAxisDescendantOrSelf);
  if (!context.EvaluateStep())
    return false;
  context.CommitValueSlots();
  return step->Evaluate(context);
}

// Every parent but an attribute's or namespace node's own kind: the test of
// "..".
const KTXPathNodeTest& ParentStepTest();

}  // namespace

const KTString& NodeText(const KTXPathAstNode* node) {
  while (node) {
    if (node->GetKind() == kAstCharacterRun)
      return node->Token();
    node = node->FirstChild();
  }
  return EmptyText();
}

namespace {

// A variable reference's name as the expression writes it, "$p:name" or
// "$name", for the message of an error about it.
KTString VariableNameAsWritten(const KTXPathAstNode* qname) {
  KTString written(u"$");
  if (qname->ChildCount() == 2) {
    written += NodeText(qname->ChildAt(0));
    written += u':';
    written += NodeText(qname->ChildAt(1));
  } else {
    written += NodeText(qname);
  }
  return written;
}

}  // namespace

// ---------------------------------------------------------------------------
// Default node, numbers, literals, primary expressions

bool DefaultNode::Evaluate(KTXPathEvalContext& context) {
  // A function call whose class is not registered names no function this
  // engine knows.
  if (GetKind() == kAstFunctionCall) {
    Fail(context, kXPathErrUnknownFunction, this);
    return false;
  }
  return EvaluateChildren(context);
}

bool NumberNode::Evaluate(KTXPathEvalContext& context) {
  context.SetResult(*ConstantValue());
  return true;
}

const KTXPathValue* NumberNode::ConstantValue() {
  if (!made_) {
    // Digits, an optional point and optional fraction digits, or a point
    // and digits.
    KTString text;
    const KTXPathAstNode* form = FirstChild();
    if (form && form->GetKind() == kAstDigitsNumber) {
      text += NodeText(form->ChildAt(0));
      if (const KTXPathAstNode* fraction = form->ChildAt(1)) {
        text += u'.';
        if (fraction->ChildAt(1))
          text += NodeText(fraction->ChildAt(1));
      }
    } else if (form && form->GetKind() == kAstLeadingPointNumber) {
      text += u'.';
      text += NodeText(form->ChildAt(1));
    }
    value_.SetNumber(KTXPathFunctionLibrary::StringToNumber(text.View()));
    made_ = true;
  }
  return &value_;
}

bool LiteralNode::Evaluate(KTXPathEvalContext& context) {
  context.SetResult(*ConstantValue());
  return true;
}

const KTXPathValue* LiteralNode::ConstantValue() {
  if (!made_) {
    const KTXPathAstNode* quoted = FirstChild();
    value_.SetString(quoted && quoted->ChildCount() >= 3 ? quoted->ChildAt(1)->Token() : EmptyText());
    made_ = true;
  }
  return &value_;
}

const KTXPathValue* PrimaryExprNode::ConstantValue() {
  KTXPathAstNode* child = FirstChild();
  return child && child->GetKind() != kAstVariableReference ? child->Resolved()->ConstantValue() : nullptr;
}

bool PrimaryExprNode::Evaluate(KTXPathEvalContext& context) {
  KTXPathAstNode* child = FirstChild();
  if (!child)
    return false;
  if (child->GetKind() != kAstVariableReference) {
    if (!child->Resolved()->Evaluate(context))
      return false;
    // Node-sets of parenthesised expressions and functions are in document
    // order before predicates count them.
    context.SortInDocumentOrder();
    return true;
  }
  const KTXPathValue* value = VariableValue(context);
  if (!value)
    return false;
  if (IsFragmentValue(*value))
    context.SetNameTest(u"$");
  context.SetResult(*value);
  context.SortInDocumentOrder();
  return true;
}

bool PrimaryExprNode::IsVariableReference() const {
  const KTXPathAstNode* child = FirstChild();
  return child && child->GetKind() == kAstVariableReference;
}

const KTXPathValue* PrimaryExprNode::VariableValue(KTXPathEvalContext& context) {
  KTXPathAstNode* child = FirstChild();
  KTXPathExpression* owner = context.GetOwner();
  const KTXPathAstNode* qname = child->ChildAt(1);
  if (!owner || !qname)
    return nullptr;
  // An unprefixed name is the token itself; only a prefixed one is built.
  KTString expanded;
  if (qname->ChildCount() == 2) {
    const KTString& prefix = NodeText(qname->ChildAt(0));
    const KTString& local = NodeText(qname->ChildAt(1));
    const KTString* uri = nullptr;
    // An unbound prefix is an error (XPath 1.0 §2.3): dropping it would
    // read the unprefixed variable of the same local name.
    if (!LookUpPrefix(owner, prefix, uri)) {
      Fail(context, kXPathErrInvalidPrefix, qname);
      if (const KTXPathAstNode* dollar = child->FirstChild()) owner->SetErrorMarkIfUnset(dollar->SourcePosition());
      owner->SetErrorSubject(VariableNameAsWritten(qname));
      return nullptr;
    }
    if (uri) {
      expanded = *uri;
      expanded += u':';
    }
    expanded += local;
  }
  const KTString& name = qname->ChildCount() == 2 ? expanded : NodeText(qname);
  const KTXPathValue* value = owner->FindVariable(name);
  if (!value) {
    owner->SetError(kXPathErrInvalidVariable, -1);
    owner->SetErrorPositionIfUnset(qname->SourcePosition());
    // A message marks the "$" of the reference.
    if (const KTXPathAstNode* dollar = child->FirstChild()) owner->SetErrorMarkIfUnset(dollar->SourcePosition());
    owner->SetErrorSubject(VariableNameAsWritten(qname));
    owner->UnknownVariable(name);
    return nullptr;
  }
  return value;
}

// ---------------------------------------------------------------------------
// Operators

namespace {

// The node of `kind` reached from `node` through nodes of one child each
// (null when the chain ends elsewhere).
const KTXPathAstNode* SoleChainDown(const KTXPathAstNode* node, int kind) {
  while (node && node->GetKind() != kind && node->ChildCount() == 1) node = node->FirstChild();
  return node && node->GetKind() == kind ? node : nullptr;
}

// The local name of a relative path of one abbreviated child step whose
// test is an unprefixed name and which has no predicates (null otherwise).
const KTXPathAstNode* SoleChildNameStep(const KTXPathAstNode* operand) {
  const KTXPathAstNode* path = SoleChainDown(operand, kAstRelativeLocationPath);
  if (!path || path->ChildCount() != 1) return nullptr;
  const KTXPathAstNode* step = path->FirstChild();
  if (step->GetKind() != kAstStep || step->ChildCount() != 1) return nullptr;
  const KTXPathAstNode* axisStep = step->FirstChild();
  if (axisStep->GetKind() != kAstAxisStep || axisStep->ChildCount() != 2) return nullptr;
  const KTXPathAstNode* axis = axisStep->ChildAt(0);
  const KTXPathAstNode* test = axisStep->ChildAt(1);
  if (axis->GetKind() != kAstAbbreviatedAxisSpecifier || axis->ChildCount() != 0) return nullptr;
  if (test->GetKind() != kAstNameTest || test->ChildCount() != 1) return nullptr;
  const KTXPathAstNode* name = test->FirstChild();
  if (name->GetKind() != kAstQName || name->ChildCount() != 1) return nullptr;
  return name->FirstChild();
}

// A relative path of the one step "." alone.
bool IsSelfStep(const KTXPathAstNode* operand) {
  const KTXPathAstNode* path = SoleChainDown(operand, kAstRelativeLocationPath);
  if (!path || path->ChildCount() != 1) return false;
  const KTXPathAstNode* step = path->FirstChild();
  if (step->GetKind() != kAstStep || step->ChildCount() != 1) return false;
  const KTXPathAstNode* abbreviated = step->FirstChild();
  return abbreviated->GetKind() == kAstAbbreviatedStep && abbreviated->ChildCount() == 1 &&
         TokenIs(abbreviated->FirstChild(), u".");
}

// The text of a string literal operand (null when the operand is not one).
const KTXPathAstNode* SoleLiteral(const KTXPathAstNode* operand) {
  const KTXPathAstNode* literal = SoleChainDown(operand, kAstLiteral);
  if (!literal || literal->ChildCount() != 1) return nullptr;
  const KTXPathAstNode* quoted = literal->FirstChild();
  return quoted->GetKind() == kAstDoubleQuotedLiteral || quoted->GetKind() == kAstSingleQuotedLiteral ? quoted
                                                                                                       : nullptr;
}

KTString QuotedText(const KTXPathAstNode* quoted) {
  for (int i = 0; i < quoted->ChildCount(); ++i) {
    if (quoted->ChildAt(i)->GetKind() == kAstCharacterRun) return quoted->ChildAt(i)->Token();
  }
  return KTString();
}

}  // namespace

void BinaryExprNode::ReadChildLiteral() {
  childLiteral_.shape = 0;
  if (GetKind() != kAstEqualityExpr || ChildCount() != 2) return;
  const KTXPathAstNode* pair = ChildAt(1);
  if (pair->ChildCount() != 2 || pair->ChildAt(0)->ChildCount() != 1) return;
  const KTXPathAstNode* left = FirstChild();
  const KTXPathAstNode* right = pair->ChildAt(1);
  const KTXPathAstNode* quoted = SoleLiteral(right);
  const KTXPathAstNode* path = left;
  if (!quoted) {
    quoted = SoleLiteral(left);
    path = right;
  }
  if (!quoted) return;
  const bool self = IsSelfStep(path);
  const KTXPathAstNode* name = self ? nullptr : SoleChildNameStep(path);
  if (!self && !name) return;
  childLiteral_.equals = TokenIs(pair->ChildAt(0)->FirstChild(), u"=");
  childLiteral_.literal = QuotedText(quoted);
  if (name) childLiteral_.test = std::make_unique<KTElementNameTest>(NodeText(name), nullptr);
  childLiteral_.shape = 1;
}

// XPath 1.0 §3.4: a node-set and a string compare equal when the string
// value of some node equals the string, unequal when some node's differs.
bool BinaryExprNode::EvaluateChildLiteral(KTXPathEvalContext& context) {
  const KTXPathValue& current = context.Current();
  if (!current.IsNodeSet() || current.ItemCount() != 1) return false;
  const KTXPathNode* node = current.Items()[0].GetNode();
  if (!node) return false;
  if (childLiteral_.test && node->GetKind() != kXPathElement && node->GetKind() != kXPathRoot) return false;
  KTXPathValue result;
  result.SetBoolean(TestChildLiteral(node));
  context.SetResult(std::move(result));
  return true;
}

bool BinaryExprNode::IsChildLiteral() {
  if (childLiteral_.shape < 0) ReadChildLiteral();
  return childLiteral_.shape == 1;
}

bool BinaryExprNode::TestChildLiteral(const KTXPathNode* node) const {
  KTString scratch;
  if (!childLiteral_.test) {
    const bool equal = KTXPathFunctionLibrary::StringValueView(node, scratch) == childLiteral_.literal.View();
    return equal == childLiteral_.equals;
  }
  // Only an element or the root has children; from any other node the
  // step selects nothing, and nothing compares either way.
  if (node->GetKind() != kXPathElement && node->GetKind() != kXPathRoot) return false;
  return AnyChildCompares(node, scratch);
}

bool BinaryExprNode::AnyChildCompares(const KTXPathNode* node, KTString& scratch) const {
  for (const auto& child : node->Children()) {
    if (!childLiteral_.test->Passes(child.get())) continue;
    const bool equal = KTXPathFunctionLibrary::StringValueView(child.get(), scratch) == childLiteral_.literal.View();
    if (equal == childLiteral_.equals) return true;
  }
  return false;
}

bool BinaryExprNode::Evaluate(KTXPathEvalContext& context) {
  if (ChildCount() == 1)
    return EvaluateChildren(context);
  if (childLiteral_.shape < 0) ReadChildLiteral();
  if (childLiteral_.shape == 1 && EvaluateChildLiteral(context)) return true;
  KTXPathValue result;
  if (!ComputeValue(context, result))
    return false;
  context.SetResult(std::move(result));
  return true;
}

namespace {

// BinaryExprNode::NestedOperator, inline where an operator reads its own
// operands. The value of an operator expression is a boolean or a number,
// never a node-set, so the document-order sort that parentheses ask for has
// nothing to do.
BinaryExprNode* NestedOperatorOf(KTXPathAstNode* operand) {
  if (operand->InvariantSlot() >= 0)
    return nullptr;
  KTXPathAstNode* node = operand->Resolved();
  if (node->GetKind() == kAstPrimaryExpr) {
    KTXPathAstNode* child = node->FirstChild();
    if (!child || child->GetKind() == kAstVariableReference)
      return nullptr;
    node = child->Resolved();
  }
  // "(", the expression, ")": the tokens evaluate to nothing.
  if (node->GetKind() == kAstParenthesizedExpr && node->ChildCount() == 3)
    node = node->ChildAt(1)->Resolved();
  const int kind = node->GetKind();
  const bool isOperator = kind == kAstOrExpr || kind == kAstAndExpr || kind == kAstEqualityExpr ||
                          kind == kAstRelationalExpr || kind == kAstAdditiveExpr || kind == kAstMultiplicativeExpr;
  // A resolved node of one child would have led on down the chain.
  if (!isOperator || node->ChildCount() < 2)
    return nullptr;
  // The child-literal shape answers from the context node first.
  auto* binary = static_cast<BinaryExprNode*>(node);
  return binary->IsChildLiteral() ? nullptr : binary;
}

}  // namespace

BinaryExprNode* BinaryExprNode::NestedOperator(KTXPathAstNode* operand) { return NestedOperatorOf(operand); }

const KTXPathValue* BinaryExprNode::OperandValue(KTXPathAstNode* node, KTXPathEvalContext& context,
                                                 std::optional<KTXPathEvalContext>& operand, KTXPathValue& scratch) {
  if (const KTXPathValue* constant = ConstantOperand(node))
    return constant;
  if (PrimaryExprNode* variable = VariableOperand(node)) {
    // Copied: the value is held while the other operand runs.
    const KTXPathValue* value = variable->VariableValue(context);
    if (!value)
      return nullptr;
    scratch = *value;
    scratch.SortDocumentOrder();
    return &scratch;
  }
  if (BinaryExprNode* nested = NestedOperatorOf(node))
    return nested->ComputeValue(context, scratch) ? &scratch : nullptr;
  operand.emplace(context);
  if (!node->EvaluateOperand(*operand))
    return nullptr;
  return &operand->Current();
}

bool BinaryExprNode::ComputeValue(KTXPathEvalContext& context, KTXPathValue& result) {
  // Every operand sees the caller's context; only the final value reaches
  // it. A literal or number operand is read as it stands, a variable's value
  // is taken (in document order) without a context of its own.
  // Made only for an operand that needs a context of its own.
  std::optional<KTXPathEvalContext> operand;
  KTXPathValue leftScratch;
  const KTXPathValue* left = OperandValue(FirstChild(), context, operand, leftScratch);
  if (!left)
    return false;
  // The left value is `result` once an operator has worked on it; one left
  // in the operand's context moves there before the right operand reuses it.
  const int kind = GetKind();
  KTXPathValue rightScratch;
  for (int i = 1; i < ChildCount(); ++i) {
    const KTXPathAstNode* pair = ChildAt(i);
    // The multiplicative pair (126) holds one operator node (127, 129 or
    // 131) with the token and the operand; the other pairs hold both.
    KTXPathAstNode* right =
        kind == kAstMultiplicativeExpr ? pair->ChildAt(0)->ChildAt(1) : pair->ChildAt(1);
    // "or" and "and" leave the right operand alone when the left decides.
    if (kind == kAstOrExpr || kind == kAstAndExpr) {
      const bool leftValue = BooleanOf(*left);
      if (leftValue == (kind == kAstOrExpr)) {
        result.SetBoolean(leftValue);
        left = &result;
        continue;
      }
    }
    if (operand && left == &operand->Current()) {
      result = std::move(operand->Current());
      left = &result;
    }
    const KTXPathValue* rightValue = OperandValue(right, context, operand, rightScratch);
    if (!rightValue)
      return false;
    const KTXPathValue& leftValue = *left;
    switch (kind) {
      case kAstOrExpr:
      case kAstAndExpr:
        result.SetBoolean(BooleanOf(*rightValue));
        break;
      case kAstEqualityExpr: {
        const bool equal = TokenIs(pair->ChildAt(0)->FirstChild(), u"=");
        result.SetBoolean(equal ? leftValue.Equals(*rightValue) : leftValue.NotEquals(*rightValue));
        break;
      }
      case kAstRelationalExpr: {
        const KTXPathAstNode* op = pair->ChildAt(0)->FirstChild();
        bool answer;
        if (TokenIs(op, u"<"))
          answer = leftValue.Less(*rightValue);
        else if (TokenIs(op, u">"))
          answer = leftValue.Greater(*rightValue);
        else if (TokenIs(op, u"<="))
          answer = leftValue.LessOrEqual(*rightValue);
        else
          answer = leftValue.GreaterOrEqual(*rightValue);
        result.SetBoolean(answer);
        break;
      }
      case kAstAdditiveExpr:
        result.SetNumber(TokenIs(pair->ChildAt(0), u"+") ? leftValue.Add(*rightValue)
                                                         : leftValue.Subtract(*rightValue));
        break;
      default: {  // multiplicative: the pair holds a 127, 129 or 131 node
        const int op = pair->ChildAt(0)->GetKind();
        if (op == kAstMultiplyOperand)
          result.SetNumber(leftValue.Multiply(*rightValue));
        else if (op == kAstDivOperand)
          result.SetNumber(leftValue.Divide(*rightValue));
        else
          result.SetNumber(leftValue.Modulo(*rightValue));
        break;
      }
    }
    left = &result;
  }
  if (operand && left == &operand->Current())
    result = std::move(operand->Current());
  else if (left != &result)
    result = *left;
  return true;
}

bool UnaryExprNode::Evaluate(KTXPathEvalContext& context) {
  KTXPathAstNode* child = FirstChild();
  if (!child)
    return false;
  if (child->GetKind() != kAstNegation)
    return child->Evaluate(context);
  if (!child->ChildAt(1)->EvaluateOperand(context))
    return false;
  // The sign bit flips for -0 and NaN as well.
  context.Current().SetNumber(-NumberOf(context.Current()));
  return true;
}

bool UnionExprNode::Evaluate(KTXPathEvalContext& context) {
  if (ChildCount() == 1)
    return EvaluateChildren(context);
  ItemVector items;
  for (int i = 0; i < ChildCount(); ++i) {
    KTXPathAstNode* path = i == 0 ? FirstChild() : ChildAt(i)->ChildAt(1);
    KTXPathEvalContext operand = context;
    if (!path->EvaluateOperand(operand))
      return false;
    if (!operand.Current().IsNodeSet()) {
      Fail(context, kXPathErrNotANodeSet, path);
      return false;
    }
    // A union takes node-sets only, never a variable's result tree
    // fragment (XSLT 1.0 §11.1); the message names the operator.
    if (std::u16string_view(operand.GetNameTest()) == u"$" && IsFragmentValue(operand.Current())) {
      Fail(context, kXPathErrResultTreeFragment, path);
      if (KTXPathExpression* owner = context.GetOwner()) {
        const KTXPathAstNode* bar = i == 0 ? ChildAt(1)->FirstChild() : ChildAt(i)->FirstChild();
        owner->SetErrorSubject(KTString(u"|"));
        owner->SetErrorMarkIfUnset(bar->SourcePosition());
      }
      return false;
    }
    const ItemVector& part = operand.Current().Items();
    items.insert(items.end(), part.begin(), part.end());
  }
  // Document order, then each node once. Operands that already follow
  // each other in document order (the usual `@a|@b`) are not sorted: the
  // sort would take a buffer for nothing.
  if (!std::is_sorted(items.begin(), items.end(), DocumentOrderLess))
    std::stable_sort(items.begin(), items.end(), DocumentOrderLess);
  items.erase(std::unique(items.begin(), items.end()), items.end());
  for (size_t i = 0; i < items.size(); ++i)
    items[i].SetPosition(static_cast<int>(i) + 1);
  KTXPathValue result;
  result.SetNodeSet(std::move(items));
  context.SetResult(std::move(result));
  return true;
}

// ---------------------------------------------------------------------------
// Location paths

bool LocationPathNode::Evaluate(KTXPathEvalContext& context) {
  const bool ok = EvaluateChildren(context);
  if (ok && context.GetOwner())
    context.GetOwner()->OnLocationPath(context.Current());
  return ok;
}

bool AbsoluteLocationPathNode::Evaluate(KTXPathEvalContext& context) {
  KTXPathExpression* owner = context.GetOwner();
  if (!owner || !owner->GetRootItem())
    return false;
  // "/" selects the root of the document holding the context node (XPath
  // 1.0 §2): inside a predicate that is the candidate's document, which
  // need not be the one the whole expression started in.
  KTXPathNode* top = context.ContextNodeItem().GetNode();
  while (top && top->GetParent())
    top = top->GetParent();
  if (!top)
    top = owner->GetRootItem()->GetNode();
  KTXPathValue root;
  root.PushItem(KTXPathNodeItem(top, 1));
  context.SetResult(root);
  KTXPathAstNode* first = FirstChild();
  if (first && first->GetKind() == kAstRootLocationPath && first->ChildCount() > 1) {
    if (!FragmentGuard(context))
      return false;
    context.SetAxis(kAxisChild);
    context.SetNameTest(u"/");
    return first->ChildAt(1)->Evaluate(context);
  }
  return EvaluateChildren(context);
}

bool RootSlashNode::Evaluate(KTXPathEvalContext& context) {
  if (ChildCount() != 1)
    return EvaluateChildren(context);
  const KTXPathNodeItem* first = context.Current().NodeItemAt(0);
  if (first == context.Current().ItemsEnd())
    return false;
  KTXPathNodeItem item = *first;
  while (item.GetKind() != kItemRoot && !item.IsEmpty()) {
    KTXPathNodeItem parent;
    item = item.ParentItem(parent);
  }
  KTXPathValue root;
  if (!item.IsEmpty()) {
    item.SetPosition(1);
    root.PushItem(item);
  }
  context.SetResult(root);
  return true;
}

bool DescendantPathNode::Evaluate(KTXPathEvalContext& context) {
  if (!TokenIs(FirstChild(), u"//"))
    return EvaluateChildren(context);
  if (!FragmentGuard(context))
    return false;
  KTXPathAstNode* path = ChildAt(1);
  if (!path || path->GetKind() != kAstRelativeLocationPath)
    return false;
  return static_cast<RelativeLocationPathNode*>(path)->EvaluatePath(context, true);
}

bool FilterDescendantPathNode::Evaluate(KTXPathEvalContext& context) {
  if (!FirstChild()->Evaluate(context))
    return false;
  if (!FragmentGuard(context) || !RequireNodeSet(context, this))
    return false;
  KTXPathAstNode* path = ChildAt(2);
  if (!path || path->GetKind() != kAstRelativeLocationPath)
    return false;
  return static_cast<RelativeLocationPathNode*>(path)->EvaluatePath(context, true);
}

bool RelativeLocationPathNode::Evaluate(KTXPathEvalContext& context) { return EvaluatePath(context, false); }

bool RelativeLocationPathNode::EvaluatePath(KTXPathEvalContext& context, bool descendFirst) {
  if (!FragmentGuard(context))
    return false;
  // A path continues a node-set only (XPath 1.0 §3.3): «1/a» is an error.
  if (!RequireNodeSet(context, this))
    return false;
  if (descendFirst ? !DescendThenStep(context, FirstChild()) : !FirstChild()->Evaluate(context))
    return false;
  for (int i = 1; i < ChildCount(); ++i) {
    const KTXPathAstNode* continuation = ChildAt(i);
    KTXPathAstNode* step = continuation->ChildAt(1);
    if (TokenIs(continuation->ChildAt(0)->FirstChild(), u"//")) {
      if (!DescendThenStep(context, step))
        return false;
    } else {
      context.SetNameTest(u"/");
      if (!step->Evaluate(context))
        return false;
    }
  }
  return true;
}

namespace {

// The children walked at once by a step whose predicates keep a node by
// the node alone: enough to pay for the step's setup per window, few
// enough that the candidates' list stays small (16 bytes a candidate).
constexpr int kStepChildWindow = 1024;

}  // namespace

bool StepNode::Evaluate(KTXPathEvalContext& context) {
  KTXPathAstNode* first = FirstChild();
  if (!first)
    return false;
  KTXPathExpression* owner = context.GetOwner();
  if (owner && owner->GetCompileMode() != KTXPathExpression::kModeExpr) {
    context.SetAxis(kAxisChild);
    return EvaluateChildren(context);
  }
  if (first->GetKind() != kAstAxisStep || first->ChildCount() < 3) {
    if (!EvaluateChildren(context))
      return false;
    context.SortInDocumentOrder();
    return true;
  }
  // Predicates count positions from each context node, so the step runs
  // for one context node at a time.
  // The context nodes move out of the caller's context: its slots receive
  // the step's result, and the working copy takes one context node at a time.
  const KTXPathValue contexts = std::move(context.Current());
  const ItemVector& items = contexts.Items();
  KTXPathEvalContext working = context;
  // Only emptiness counts: the first context node that gives a node decides.
  const bool stopAtFirst = context.GetExistenceStep() == this;
  working.SetExistenceStep(nullptr);
  KTXPathEvalContext::SeenSet seen;
  context.Other().SetNodeSet();
  const int limit = NumberPredicateLimit(first->ChildAt(2));
  // The axis, known once the first context node has run the step: a child
  // or attribute step from a node without children finds nothing, and the
  // node is passed by (an error of the node test shows at the first node).
  int stepAxis = -1;
  // Predicates that keep a node by the node alone let a long child list be
  // walked a window at a time: the same nodes are kept in the same order,
  // and the candidates of one window at most are listed at once.
  bool orderFree = limit == 0;
  for (int i = 2; orderFree && i < first->ChildCount(); ++i) {
    KTXPathAstNode* predicate = first->ChildAt(i);
    orderFree = predicate->GetKind() == kAstPredicate && static_cast<PredicateNode*>(predicate)->IsOrderFree();
  }
  bool done = false;
  for (const KTXPathNodeItem& item : items) {
    if (done)
      break;
    if ((stepAxis == kAxisChild || stepAxis == kAxisAttribute) && item.GetNode() &&
        item.GetNode()->GetChildCount() == 0)
      continue;
    const int childCount = item.GetNode() ? item.GetNode()->GetChildCount() : 0;
    const bool windowed = orderFree && childCount > kStepChildWindow;
    for (int from = 0;; from += kStepChildWindow) {
      working.SetCurrentItem(item);
      // The axis specifier, the node test (with the walk limited to what the
      // first predicate can select), then the predicates.
      bool ok = first->ChildAt(0)->Resolved()->Evaluate(working);
      if (ok && stepAxis < 0) stepAxis = working.GetAxis();
      if (windowed) working.SetChildWindow(from, from + kStepChildWindow);
      working.SetStepLimit(limit);
      ok = ok && first->ChildAt(1)->Resolved()->Evaluate(working);
      working.SetStepLimit(0);
      working.ClearChildWindow();
      // A node test that found nothing leaves the predicates nothing to keep:
      // they are not run (a pattern's contexts are mostly such nodes).
      const bool none = ok && working.Current().IsNodeSet() && working.Current().ItemCount() == 0;
      for (int i = 2; ok && !none && i < first->ChildCount(); ++i) {
        // The last predicate of such a step may stop at its first node kept.
        working.SetExistenceStep(stopAtFirst && i == first->ChildCount() - 1 ? first->ChildAt(i) : nullptr);
        ok = first->ChildAt(i)->Resolved()->Evaluate(working);
      }
      working.SetExistenceStep(nullptr);
      if (!ok) {
        context = working;
        return false;
      }
      const ItemVector& found = working.Current().Items();
      const int axis = working.GetAxis();
      // Child and attribute steps from distinct nodes never meet.
      if (items.size() == 1 || axis == kAxisChild || axis == kAxisAttribute || axis == kAxisSelf ||
          axis == kAxisNamespace) {
        ItemVector& out = context.Other().MutableItems();
        out.insert(out.end(), found.begin(), found.end());
      } else {
        for (const KTXPathNodeItem& result : found)
          context.AddResultNode(result, seen);
      }
      if (stopAtFirst && context.Other().ItemCount() > 0) {
        done = true;
        break;
      }
      // Another window while the walk took this one and children remain
      // (a walk of another axis took no window and saw every node).
      if (!windowed || !working.ChildWindowUsed() || from + kStepChildWindow >= childCount)
        break;
    }
  }
  context.CommitValueSlots();
  context.SortInDocumentOrder();
  return true;
}

bool AxisNameNode::Evaluate(KTXPathEvalContext& context) {
  static const char16_t* const kAxes[] = {
      u"ancestor",  u"ancestor-or-self", u"attribute", u"child",  u"descendant",        u"descendant-or-self",
      u"following", u"following-sibling", u"namespace", u"parent", u"preceding",         u"preceding-sibling",
      u"self"};
  KTXPathExpression* owner = context.GetOwner();
  if (axis_ == -2) {
    const KTXPathAstNode* token = FirstChild();
    axis_ = -1;
    for (int i = 0; token && i < 13; ++i) {
      if (TokenIs(token, kAxes[i])) {
        axis_ = i;
        break;
      }
    }
  }
  const int axis = axis_;
  const bool patternRefuses = axis == kAxisDescendantOrSelf && !context.InPredicate() && owner &&
                              owner->HasPatternAxes();
  if (axis < 0 || patternRefuses) {
    context.SetNameTest(u"::");
    Fail(context, kXPathErrPatternAxis, this);
    return false;
  }
  context.SetAxis(axis);
  context.SetNameTest(u"::");
  return true;
}

bool AbbreviatedAxisNode::Evaluate(KTXPathEvalContext& context) {
  // "@", or no child at all for the child axis.
  if (TokenIs(FirstChild(), u"@")) {
    context.SetAxis(kAxisAttribute);
    context.SetNameTest(u"@");
  } else {
    context.SetAxis(kAxisChild);
  }
  return true;
}

bool AbbreviatedStepNode::Evaluate(KTXPathEvalContext& context) {
  const KTXPathAstNode* token = FirstChild();
  if (TokenIs(token, u".")) {
    // "." is self::node(): a pattern allows only the child and attribute
    // axes (XSLT 1.0 §5.2), as for "..".
    const KTXPathExpression* owner = context.GetOwner();
    if (!context.InPredicate() && owner && owner->HasPatternAxes()) {
      context.SetNameTest(u".");
      Fail(context, kXPathErrPatternAxis, this);
      return false;
    }
    return true;
  }
  if (!TokenIs(token, u".."))
    return false;
  context.SetAxis(kAxisParent);
  context.SetNameTest(u"..");
  if (!context.EvaluateStepWithOwner(&ParentStepTest()))
    return false;
  context.CommitValueSlots();
  return true;
}

namespace {

// Whether a predicate's expression is a number literal alone ("1", "(3)"
// aside: only the plain literal counts).
bool IsNumberLiteral(KTXPathAstNode* expression) {
  KTXPathAstNode* node = expression->Resolved();
  if (node->GetKind() == kAstPrimaryExpr && node->ChildCount() == 1) node = node->FirstChild()->Resolved();
  return node->GetKind() == kAstNumber;
}

// Whether a predicate's expression is the call last() alone: the core
// function (no prefix), without arguments.
bool IsLastCall(KTXPathAstNode* expression) {
  KTXPathAstNode* node = expression->Resolved();
  if (node->GetKind() == kAstPrimaryExpr && node->ChildCount() == 1) node = node->FirstChild()->Resolved();
  if (node->GetKind() != kAstFunctionCall) return false;
  for (int i = 1; i < node->ChildCount(); ++i)
    if (node->ChildAt(i)->GetKind() == kAstArguments) return false;
  // FunctionName -> QName -> [QNamePrefix] LocalPart -> ... -> a character run.
  const KTXPathAstNode* name = node->FirstChild();
  const KTXPathAstNode* part = name && name->GetKind() == kAstFunctionName ? name->FirstChild() : nullptr;
  part = part ? part->FirstChild() : nullptr;
  if (!part || part->GetKind() == kAstQNamePrefix) return false;
  while (part && part->GetKind() != kAstCharacterRun) part = part->FirstChild();
  return part && std::u16string_view(part->TokenText()) == u"last";
}

}  // namespace

namespace {

// Whether the function's value is a boolean whatever its arguments.
bool GivesBoolean(int index) {
  switch (index) {
    case kFnBoolean:
    case kFnNot:
    case kFnTrue:
    case kFnFalse:
    case kFnContains:
    case kFnStartsWith:
    case kFnLang:
      return true;
    default:
      return false;
  }
}

// The core function a call names without a prefix, or null.
const KTXPathFunctionInfo* CoreFunctionOf(const KTXPathAstNode* call) {
  const KTXPathAstNode* name = call->FirstChild();
  const KTXPathAstNode* qname = name && name->GetKind() == kAstFunctionName ? name->FirstChild() : nullptr;
  const KTXPathAstNode* part = qname ? qname->FirstChild() : nullptr;
  if (!part || part->GetKind() == kAstQNamePrefix)
    return nullptr;
  return KTXPathFunctionLibrary::FindFunction(NodeText(part).View(), true);
}

// Whether the call's argument at `index` (from 0) is absent or a string
// literal alone.
bool ArgumentIsLiteral(const KTXPathAstNode* call, int index) {
  int at = 0;
  for (int i = 1; i < call->ChildCount(); ++i) {
    const KTXPathAstNode* list = call->ChildAt(i);
    if (list->GetKind() != kAstArguments) continue;
    for (int k = 0; k < list->ChildCount(); ++k, ++at) {
      if (at != index) continue;
      const KTXPathAstNode* argument = list->ChildAt(k);
      if (argument->GetKind() == kAstArgumentTail) argument = argument->ChildAt(argument->ChildCount() - 1);
      while (argument && argument->GetKind() != kAstLiteral && argument->ChildCount() == 1)
        argument = argument->FirstChild();
      return argument && argument->GetKind() == kAstLiteral;
    }
  }
  return true;
}

// Whether a failure of the call can name what its arguments gave: a key or
// decimal-format name, a format pattern or a QName read from the node at
// hand. Such a call, met first at another node, would report another error.
bool MayFailByNode(const KTXPathAstNode* call, int index) {
  switch (index) {
    case kFnKey:
    case kFnFunctionAvailable:
    case kFnElementAvailable:
    case kFnSystemProperty:
      return !ArgumentIsLiteral(call, 0);
    case kFnFormatNumber:
      return !ArgumentIsLiteral(call, 1) || !ArgumentIsLiteral(call, 2);
    default:
      return false;
  }
}

}  // namespace

namespace {

// Whether the predicate expression's value is known to be no number: an
// operator that gives a boolean, a location path or union (node-sets), or
// a function that gives a boolean. A number would select by position; a
// variable could hold one.
bool SelectsByTest(KTXPathAstNode* expression) {
  const KTXPathAstNode* top = expression->Resolved();
  switch (top->GetKind()) {
    case kAstOrExpr:
    case kAstAndExpr:
    case kAstEqualityExpr:
    case kAstRelationalExpr:
      return top->ChildCount() >= 2;
    case kAstLocationPath:
      return true;
    case kAstFunctionCall: {
      const KTXPathFunctionInfo* function = CoreFunctionOf(top);
      return function && GivesBoolean(function->index);
    }
    default:
      return false;
  }
}

// True when every function call inside the expression is a core function
// that `allows` accepts (it gets the call and the function's index); an
// unknown function never passes.
template <class Allows>
bool EveryCallAllows(const KTXPathAstNode* expression, Allows allows) {
  std::vector<const KTXPathAstNode*> pending{expression};
  while (!pending.empty()) {
    const KTXPathAstNode* node = pending.back();
    pending.pop_back();
    if (node->GetKind() == kAstFunctionCall) {
      const KTXPathFunctionInfo* function = CoreFunctionOf(node);
      if (!function || !allows(node, function->index))
        return false;
    }
    for (int i = 0; i < node->ChildCount(); ++i)
      pending.push_back(node->ChildAt(i));
  }
  return true;
}

}  // namespace

bool PredicateNode::IsOrderFree() {
  if (orderFree_ >= 0)
    return orderFree_ == 1;
  orderFree_ = 0;
  KTXPathAstNode* expression = ChildAt(1);
  if (!expression || !SelectsByTest(expression))
    return false;
  const bool free = EveryCallAllows(expression, [](const KTXPathAstNode*, int index) {
    return index != kFnPosition && index != kFnLast;
  });
  orderFree_ = free ? 1 : 0;
  return free;
}

bool PredicateNode::IsPositionFree() {
  if (positionFree_ >= 0)
    return positionFree_ == 1;
  positionFree_ = 0;
  KTXPathAstNode* expression = ChildAt(1);
  if (!expression || !SelectsByTest(expression))
    return false;
  // No call anywhere inside may read the position or size, load a document
  // (whose failure is reported call by call), fail with an error that names
  // what the node gave it (the one walk meets the nodes in another order
  // than the step by step evaluation, so another node's error would come
  // first) or be one this engine does not know.
  if (!EveryCallAllows(expression, [](const KTXPathAstNode* node, int index) {
        return index != kFnPosition && index != kFnLast && index != kFnDocument && !MayFailByNode(node, index);
      }))
    return false;
  positionFree_ = 1;
  return true;
}

bool PredicateNode::Evaluate(KTXPathEvalContext& context) {
  // A predicate inside another keeps the outer predicate's flag when done.
  const bool wasInPredicate = context.InPredicate();
  // Set by a step whose value counts only as empty or not, for its last
  // predicate: one node kept decides.
  const bool firstKeptDecides = context.GetExistenceStep() == this;
  context.SetInPredicate(true);
  if (!FragmentGuard(context))
    return false;
  context.SetNameTest(u"[");
  KTXPathAstNode* expression = ChildAt(1);
  if (!expression)
    return false;
  if (!context.Current().IsNodeSet()) {
    Fail(context, kXPathErrNotANodeSet, this);
    return false;
  }
  if (existenceTest_ < 0)
    existenceTest_ = IsSingleStepPath(expression) ? 1 : 0;
  if (!existenceStepKnown_) {
    existenceStep_ = LastStepOfPath(expression);
    existenceStepKnown_ = true;
  }
  const KTXPathValue candidates = context.Current();
  const ItemVector& items = candidates.Items();
  KTXPathEvalContext working = context;
  ItemVector selected;
  // The kept candidates become the predicate's result.
  auto finish = [&] {
    context.SetNameTest(u"]");
    context.Other().SetNodeSet(std::move(selected));
    context.CommitValueSlots();
    context.SetInPredicate(wasInPredicate);
    return true;
  };
  if (IsNumberLiteral(expression) && !items.empty()) {
    // A number literal ("[1]", "[3]") is the same for every candidate: it
    // keeps the candidate at that place, if any, without a run per
    // candidate (XPath 1.0 §2.4).
    if (!expression->Resolved()->Evaluate(working))
      return false;
    const double n = NumberOf(working.Current());
    if (std::isfinite(n) && n >= 1 && n <= static_cast<double>(items.size()) && n == std::floor(n)) {
      selected.push_back(items[static_cast<size_t>(n) - 1]);
      selected.back().SetPosition(1);
    }
    return finish();
  }
  if (IsLastCall(expression) && !items.empty()) {
    // last() is the number of candidates for every candidate: it keeps
    // the last one alone.
    selected.push_back(items.back());
    selected.back().SetPosition(1);
    return finish();
  }
  // One run of the expression per candidate, counted in KTWorkCount.
  int index = 1;
  for (const KTXPathNodeItem& item : items) {
    KTWorkCount::Add(1);
    working.SetCurrentItem(item);
    working.SetContextPosition(item.GetPosition());
    working.SetContextSize(candidates.ItemCount());
    // A one-step path decides by its first node: the walk stops there.
    working.SetStepLimit(existenceTest_);
    working.SetExistenceStep(existenceStep_);
    const bool evaluated = expression->EvaluateOperand(working);
    working.SetStepLimit(0);
    working.SetExistenceStep(nullptr);
    if (!evaluated)
      return false;
    const KTXPathValue& result = working.Current();
    bool keep;
    if (result.GetKind() == kValueNumber) {
      const double n = result.GetNumber();
      keep = std::isfinite(n) && n == index;
    } else {
      keep = BooleanOf(result);
    }
    if (keep) {
      // Kept items are numbered anew for the next predicate.
      selected.push_back(item);
      selected.back().SetPosition(static_cast<int>(selected.size()));
      if (firstKeptDecides)
        break;
    }
    ++index;
  }
  return finish();
}

// ---------------------------------------------------------------------------
// Node tests

namespace {

// Walks the axis with the test and commits.
bool WalkWith(KTXPathEvalContext& context, const KTXPathNodeTest& test, const char16_t* nameTest) {
  if (!context.EvaluateStepWithOwner(&test))
    return false;
  context.CommitValueSlots();
  context.SetNameTest(nameTest);
  return true;
}

// Tests without state, shared by every evaluation.
const KTXPathNodeTest& AllNodesTest() {
  static const KTXPathNodeTest test;
  return test;
}

const KTXPathNodeTest& ContentTest() {
  static const KTNotTest* test = [] {
    std::vector<KTXPathNodeTestPtr> excluded;
    excluded.push_back(std::make_unique<KTAttributeOfElementTest>());
    excluded.push_back(std::make_unique<KTNamespaceNodeTest>());
    return new KTNotTest(std::make_unique<KTAnyOfTest>(std::move(excluded)));
  }();
  return *test;
}

const KTXPathNodeTest& ParentStepTest() { return ContentTest(); }

// The test of the axis's principal node type (XPath 1.0 §2.3).
KTXPathNodeTestPtr PrincipalTest(int axis) {
  if (axis == kAxisAttribute)
    return std::make_unique<KTAttributeOfElementTest>();
  if (axis == kAxisNamespace)
    return std::make_unique<KTNamespaceNodeTest>();
  return std::make_unique<KTElementTest>();
}

}  // namespace

bool NodeTypeTestNode::Evaluate(KTXPathEvalContext& context) {
  static const KTCommentTest comments;
  static const KTTextTest texts;
  static const KTPITargetTest instructions{KTString()};
  static const KTNamespaceNodeTest namespaces;
  static const KTAttributeOfElementTest attributes;
  const KTXPathAstNode* keyword = FirstChild();
  if (!keyword)
    return false;
  const char16_t* word = keyword->TokenText();
  if (TokenIs(keyword, u"comment"))
    return WalkWith(context, comments, word);
  if (TokenIs(keyword, u"text"))
    return WalkWith(context, texts, word);
  if (TokenIs(keyword, u"processing-instruction"))
    return WalkWith(context, instructions, word);
  if (!TokenIs(keyword, u"node"))
    return false;
  switch (context.GetAxis()) {
    case kAxisSelf:
      // Every node passes, each as position 1 of its own axis (a predicate
      // such as [position() > 1] selects nothing).
      return WalkWith(context, AllNodesTest(), word);
    case kAxisNamespace:
      return WalkWith(context, namespaces, word);
    case kAxisAttribute:
      return WalkWith(context, attributes, word);
    case kAxisParent:
      return WalkWith(context, AllNodesTest(), word);
    case kAxisAncestorOrSelf:
      // Ancestors are never namespace nodes; a namespace node as context node
      // is its own first member (XPath 1.0 section 2.2).
      return WalkWith(context, AllNodesTest(), word);
    case kAxisDescendantOrSelf:
      // Descendants are never namespace nodes; a namespace node as context
      // node is the one member of its own axis (XPath 1.0 section 2.2).
      return WalkWith(context, AllNodesTest(), word);
    default:
      return WalkWith(context, ContentTest(), word);
  }
}

bool PITargetTestNode::Evaluate(KTXPathEvalContext& context) {
  const KTXPathAstNode* literal = ChildAt(2);
  const KTXPathAstNode* quoted = literal ? literal->FirstChild() : nullptr;
  const KTString& target = quoted && quoted->ChildCount() >= 3 ? quoted->ChildAt(1)->Token() : EmptyText();
  return WalkWith(context, KTPITargetTest(target), u")");
}

bool NameTestNode::Evaluate(KTXPathEvalContext& context) {
  const KTXPathAstNode* first = FirstChild();
  if (!first)
    return false;
  const int axis = context.GetAxis();
  if (plainNameTest_ && test_ && testAxis_ == axis && !testUri_)
    return WalkWith(context, *test_, plainNameTest_);
  const KTXPathExpression* owner = context.GetOwner();
  const bool wildcard = first->GetKind() == kAstToken && TokenIs(first, u"*");
  // The identity-constraint paths build their "p:*" as kinds 17 and 40.
  const bool prefixWildcard =
      first->GetKind() == kAstPrefixWildcard || first->GetKind() == kFieldPrefixWildcard ||
      first->GetKind() == kSelectorPrefixWildcard;
  // A QName: a prefix part and a local part, or the local part alone.
  const KTXPathAstNode* localPart = wildcard ? nullptr : first->ChildAt(first->ChildCount() - 1);
  const bool prefixed = prefixWildcard || (!wildcard && first->ChildCount() == 2);
  const KTString* uri = nullptr;
  if (prefixed && !LookUpPrefix(owner, NodeText(prefixWildcard ? first : first->ChildAt(0)), uri)) {
    Fail(context, kXPathErrInvalidPrefix, this);
    if (KTXPathExpression* failed = context.GetOwner()) {
      KTString written = NodeText(prefixWildcard ? first : first->ChildAt(0));
      if (prefixWildcard || written.View().find(u':') == std::u16string_view::npos) {
        written += u':';
        written += prefixWildcard ? KTString(u"*") : NodeText(localPart);
      }
      failed->SetErrorSubject(written);
    }
    return false;
  }
  const char16_t* nameTest = wildcard || prefixWildcard ? u"*" : NodeText(localPart).c_str();
  if (!prefixed) plainNameTest_ = nameTest;
  if (test_ && testAxis_ == axis && testUri_ == uri)
    return WalkWith(context, *test_, nameTest);
  if (!wildcard && !prefixWildcard && axis != kAxisAttribute && axis != kAxisNamespace) {
    test_ = std::make_unique<KTElementNameTest>(NodeText(localPart), uri);
    testAxis_ = axis;
    testUri_ = uri;
    return WalkWith(context, *test_, nameTest);
  }
  std::vector<KTXPathNodeTestPtr> tests;
  tests.push_back(PrincipalTest(axis));
  if (prefixWildcard) {
    // Namespace nodes are in no namespace: p:* never selects them.
    tests.push_back(std::make_unique<KTNamespaceUriTest>(uri));
  } else if (!wildcard) {
    // An unprefixed name is in no namespace, whatever the default namespace
    // (XPath 1.0 §2.3). A namespace node's name is its prefix; a prefixed
    // name test cannot match one (namespace nodes have no namespace URI).
    tests.push_back(std::make_unique<KTLocalNameTest>(NodeText(localPart)));
    if (axis != kAxisNamespace || prefixed)
      tests.push_back(std::make_unique<KTNamespaceUriTest>(uri));
  }
  test_ = tests.size() == 1 ? std::move(tests[0]) : std::make_unique<KTAllOfTest>(std::move(tests));
  testAxis_ = axis;
  testUri_ = uri;
  return WalkWith(context, *test_, nameTest);
}

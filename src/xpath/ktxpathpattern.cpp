// The pattern grammar check: walks the chain of one-child levels from the
// Expr node down to the union, then every location path pattern of it.
// Only the shape of the tree is read; nothing is evaluated.
#include "xpath/ktxpathpattern.h"

#include <string_view>

#include "xpath/ktxpathastnode.h"

namespace {

const KTString& TextOf(const KTXPathAstNode* node) {
  static const KTString kEmpty;
  while (node) {
    if (node->GetKind() == kAstCharacterRun || node->GetKind() == kAstToken) return node->Token();
    node = node->FirstChild();
  }
  return kEmpty;
}

const KTXPathAstNode* SoleChainTo(const KTXPathAstNode* node, int kind) { return KTSoleChainTo(node, kind); }

class PatternChecker {
 public:
  KTXPathPatternProblem problem;

  bool Pattern(const KTXPathAstNode* expression) {
    // The Expr node and whatever levels of one operand each lie between it
    // and the union (the parser makes none for an operand alone).
    const KTXPathAstNode* unionExpr = SoleChainTo(expression, kAstUnionExpr);
    if (!unionExpr) return Refuse(FirstOperatorOrSelf(expression));
    for (int i = 0; i < unionExpr->ChildCount(); ++i) {
      const KTXPathAstNode* child = unionExpr->ChildAt(i);
      const KTXPathAstNode* path = child->GetKind() == kAstUnionOperand ? child->ChildAt(1) : child;
      if (!PathPattern(path)) return false;
    }
    return true;
  }

 private:
  bool Refuse(const KTXPathAstNode* node) {
    problem.node = node;
    return false;
  }

  bool RefuseAxis(const KTXPathAstNode* node, const char16_t* axis) {
    problem.node = node;
    problem.wrongAxis = true;
    problem.axis = KTString(axis);
    return false;
  }

  // The node that breaks the chain of single operands: the first level
  // with a second child (its operator), else the expression itself.
  static const KTXPathAstNode* FirstOperatorOrSelf(const KTXPathAstNode* node) {
    const KTXPathAstNode* at = node;
    while (at && at->ChildCount() == 1 && at->GetKind() != kAstPathExpr) at = at->FirstChild();
    if (!at) return node;
    if (at->GetKind() == kAstPathExpr) return at;
    if (at->GetKind() == kAstNegation) return at;
    return at->ChildCount() > 1 ? at->ChildAt(1) : node;
  }

  bool PathPattern(const KTXPathAstNode* path) {
    if (!path || path->GetKind() != kAstPathExpr || path->ChildCount() != 1) return Refuse(path);
    const KTXPathAstNode* form = path->FirstChild();
    switch (form->GetKind()) {
      case kAstLocationPath: return LocationPath(form->FirstChild());
      case kAstFilterExpr: return IdKeyPattern(form);
      case kAstFilterChildPath:
      case kAstFilterDescendantPath:
        return IdKeyPattern(form->ChildAt(0)) && RelativePath(form->ChildAt(2));
      default: return Refuse(form);
    }
  }

  bool LocationPath(const KTXPathAstNode* path) {
    if (!path) return Refuse(path);
    if (path->GetKind() == kAstRelativeLocationPath) return RelativePath(path);
    // Absolute: "//" relative, or "/" with an optional relative path.
    const KTXPathAstNode* form = path->FirstChild();
    if (!form) return Refuse(path);
    if (form->ChildCount() < 2) return true;  // "/" alone
    return RelativePath(form->ChildAt(1));
  }

  bool RelativePath(const KTXPathAstNode* path) {
    if (!path || path->GetKind() != kAstRelativeLocationPath) return Refuse(path);
    for (int i = 0; i < path->ChildCount(); ++i) {
      const KTXPathAstNode* step = path->ChildAt(i);
      if (step->GetKind() == kAstStepContinuation) step = step->ChildAt(1);
      if (!Step(step)) return false;
    }
    return true;
  }

  bool Step(const KTXPathAstNode* step) {
    const KTXPathAstNode* form = step ? step->FirstChild() : nullptr;
    if (!form) return Refuse(step);
    if (form->GetKind() == kAstAbbreviatedStep)
      return RefuseAxis(form, TextOf(form).View() == u".." ? u"parent::" : u"self::");
    // An axis step: only the named axes child and attribute, or "@" or none.
    const KTXPathAstNode* specifier = form->FirstChild();
    if (specifier && specifier->GetKind() == kAstNamedAxis) {
      const KTString& axis = TextOf(specifier->FirstChild());
      if (axis.View() != u"child" && axis.View() != u"attribute") {
        KTString named(axis);
        named += u"::";
        problem.node = specifier;
        problem.wrongAxis = true;
        problem.axis = named;
        return false;
      }
    }
    return true;
  }

  // id(Literal) or key(Literal, Literal), with no predicate after it.
  bool IdKeyPattern(const KTXPathAstNode* filter) {
    if (!filter || filter->GetKind() != kAstFilterExpr) return Refuse(filter);
    const KTXPathAstNode* primary = filter->FirstChild();
    const KTXPathAstNode* call = primary ? primary->FirstChild() : nullptr;
    if (!call || call->GetKind() != kAstFunctionCall) return Refuse(filter);
    if (filter->ChildCount() != 1) return Refuse(filter->ChildAt(1));
    const KTXPathAstNode* qname = call->FirstChild() ? call->FirstChild()->FirstChild() : nullptr;
    if (!qname || qname->ChildCount() != 1) return Refuse(call);
    std::u16string_view name = TextOf(qname->FirstChild()).View();
    int wanted = name == u"id" ? 1 : name == u"key" ? 2 : 0;
    if (wanted == 0) return Refuse(call);
    // Name, "(", the arguments when there are any, ")".
    const KTXPathAstNode* arguments = call->ChildAt(2);
    if (!arguments || arguments->GetKind() != kAstArguments || arguments->ChildCount() != wanted) return Refuse(call);
    for (int i = 0; i < wanted; ++i) {
      const KTXPathAstNode* argument = arguments->ChildAt(i);
      if (argument->GetKind() == kAstArgumentTail) argument = argument->ChildAt(1);
      if (!SoleChainTo(argument, kAstLiteral)) return Refuse(argument);
    }
    return true;
  }
};

}  // namespace

KTXPathPatternProblem FindPatternProblem(const KTXPathAstNode* expression) {
  PatternChecker checker;
  checker.Pattern(expression);
  return checker.problem;
}

const KTXPathAstNode* KTSoleChainTo(const KTXPathAstNode* node, int kind) {
  while (node && node->GetKind() != kind) {
    if (node->ChildCount() != 1) return nullptr;
    node = node->FirstChild();
  }
  return node;
}

std::u16string_view KTTextBelow(const KTXPathAstNode* node) { return TextOf(node).View(); }

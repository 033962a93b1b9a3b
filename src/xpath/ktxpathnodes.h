// The syntax-tree node classes that evaluate XPath expressions: location
// paths and steps, node tests, operators, literals, numbers, variable
// references, and the default node of every kind without a class. Each is
// registered by kind in the prototype table (ktxpathprototypes.cpp).
#pragma once

#include <optional>

#include "xpath/ktxpathastnode.h"
#include "xpath/ktxpathnodetest.h"
#include "xpath/ktxpathvalue.h"

class KTXPathEvalContext;

// Kinds without a class of their own; evaluates its children in order.
class DefaultNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
  KTXPathAstNode* SoleTarget() const override {
    return GetKind() != kAstFunctionCall && ChildCount() == 1 ? FirstChild() : nullptr;
  }
};

// A run of characters of a name, number or literal.
class CharacterNode : public KTXPathAstNode {};

// ---- Numbers, literals, expressions ----
class NumberNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
  const KTXPathValue* ConstantValue() override;

 private:
  KTXPathValue value_;  // the constant, made on first use
  bool made_ = false;
};

class LiteralNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
  const KTXPathValue* ConstantValue() override;

 private:
  KTXPathValue value_;
  bool made_ = false;
};

class ExprNode : public KTXPathAstNode {
 public:
  KTXPathAstNode* SoleTarget() const override { return ChildCount() == 1 ? FirstChild() : nullptr; }
};

// A variable reference, or the parenthesised expression, literal, number or
// function call it passes on; node-sets come out in document order.
class PrimaryExprNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
  // A literal's or number's; a variable's value is not constant.
  const KTXPathValue* ConstantValue() override;
  bool IsVariableReference() const;
  // The value of the variable this node refers to (not yet put in document
  // order), as the evaluation finds it; null, with the error set on the
  // expression, when the variable or its prefix is unknown.
  const KTXPathValue* VariableValue(KTXPathEvalContext& context);
};

// ---- Operators ----
// or, and, =/!=, relational, additive and multiplicative levels: a head
// operand and operator-and-operand pairs, grouped from the left.
class BinaryExprNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
  KTXPathAstNode* SoleTarget() const override { return ChildCount() == 1 ? FirstChild() : nullptr; }
  // Whether the expression is of the child-literal shape below.
  bool IsChildLiteral();
  // Its value, for an expression of that shape, with `node` as the context
  // node (as a predicate of a template pattern's last step sees it).
  bool TestChildLiteral(const KTXPathNode* node) const;
  // The operator expression an operand stands for, bare or in parentheses,
  // when it runs every time and is not of the child-literal shape (null for
  // any other operand). Its value, a boolean or a number, is computed in
  // place by ComputeValue.
  static BinaryExprNode* NestedOperator(KTXPathAstNode* operand);
  // The expression's value into `result`, the context left as it is: what
  // Evaluate commits. An operand that is itself an operator expression is
  // computed the same way, without a context of its own or a value passed
  // through one.
  bool ComputeValue(KTXPathEvalContext& context, KTXPathValue& result);

 private:
  // An equality of one unprefixed child step without predicates, or of
  // ".", and a string literal ("name = 'text'", ". = 'text'", either side,
  // = or !=), as predicates often test: read from the tree at the first
  // evaluation, then answered from the context node (its children) without
  // evaluating the two sides.
  struct ChildLiteral {
    int shape = -1;  // -1: not read yet, 0: another expression, 1: this shape
    bool equals = true;
    KTString literal;
    std::unique_ptr<KTElementNameTest> test;  // null: the context node itself
  };
  void ReadChildLiteral();
  // The operand's value: a constant or a variable's scalar as it stands, a
  // nested operator expression computed into `scratch`, any other operand
  // evaluated in `operand`, made a copy of the context. Null on an error.
  const KTXPathValue* OperandValue(KTXPathAstNode* node, KTXPathEvalContext& context,
                                   std::optional<KTXPathEvalContext>& operand, KTXPathValue& scratch);
  // False when the context is not one node: the full evaluation runs.
  bool EvaluateChildLiteral(KTXPathEvalContext& context);
  // Whether some child that passes the test compares as the shape says.
  bool AnyChildCompares(const KTXPathNode* node, KTString& scratch) const;
  ChildLiteral childLiteral_;
};

class OrExprNode : public BinaryExprNode {};
class AndExprNode : public BinaryExprNode {};
class EqualityExprNode : public BinaryExprNode {};
class RelationalExprNode : public BinaryExprNode {};
class AdditiveExprNode : public BinaryExprNode {};
class MultiplicativeExprNode : public BinaryExprNode {};

class UnaryExprNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
  // Without a minus sign the node evaluates its first child alone.
  KTXPathAstNode* SoleTarget() const override {
    KTXPathAstNode* child = FirstChild();
    return child && child->GetKind() != kAstNegation ? child : nullptr;
  }
};

class UnionExprNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
  KTXPathAstNode* SoleTarget() const override { return ChildCount() == 1 ? FirstChild() : nullptr; }
};

// ---- Location paths ----
class LocationPathNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
};

class AbsoluteLocationPathNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
};

class RelativeLocationPathNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
  // With descendFirst the path follows a "//": the nodes of the context
  // node-set and their descendants are its context.
  bool EvaluatePath(KTXPathEvalContext& context, bool descendFirst);
};

// '//' RelativeLocationPath at the start of an absolute path.
class DescendantPathNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
};

// The '/' of an absolute path.
class RootSlashNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
};

// FilterExpr '//' RelativeLocationPath.
class FilterDescendantPathNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
};

class StepNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
};

class AxisNameNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;

 private:
  int axis_ = -2;  // the keyword's axis code, -1 for none; -2 until looked up
};

// "@" or the empty specifier of an abbreviated step.
class AbbreviatedAxisNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
};

// "." and "..".
class AbbreviatedStepNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
};

class PredicateNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;

 private:
  // 1 when the expression is one relative step without predicates, whose
  // value counts only as empty or not; 0 otherwise; -1 until looked up.
  int existenceTest_ = -1;
  // The last step of the expression when it is a location path (its value
  // is only tested for emptiness); null otherwise. Looked up once.
  const KTXPathAstNode* existenceStep_ = nullptr;
  bool existenceStepKnown_ = false;
  // 1 when the expression keeps or drops a candidate the same way at any
  // position and for any candidate count (see IsPositionFree); 0 when it
  // may not; -1 until looked up.
  int8_t positionFree_ = -1;
  // The same for IsOrderFree.
  int8_t orderFree_ = -1;

 public:
  // Whether the predicate's value is a boolean or a node-set and nothing in
  // it calls position() or last(): it then selects the same candidates
  // whichever set they are counted in.
  bool IsPositionFree();
  // Whether the predicate's value is a boolean or a node-set and nothing in
  // it calls position(), last() or a function this engine does not know:
  // it keeps a candidate by the candidate alone, the same in any split of
  // the candidates into runs (evaluated in their order).
  bool IsOrderFree();
};

// ---- Node tests ----
class NodeTypeTestNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
};

class PITargetTestNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
};

class NameTestNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;

 private:
  // The test built for the last axis and namespace URI, kept because one
  // tree is evaluated for many context nodes.
  KTXPathNodeTestPtr test_;
  int testAxis_ = -1;
  const KTString* testUri_ = nullptr;
  // The text of a name test without a prefix ("title", "*"), set at its
  // first evaluation: such a test needs no prefix lookup, and once its test
  // is built for the axis the walk starts at once.
  const char16_t* plainNameTest_ = nullptr;
};

// The text of the character runs below a node (a name, digits or a
// literal's content); empty when there is none.
const KTString& NodeText(const KTXPathAstNode* node);

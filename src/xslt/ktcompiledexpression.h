// KTCompiledExpression: one expression or pattern of the stylesheet as the
// compiler leaves it in the records: the syntax tree, and the simple shapes
// read from that tree once, which the processor answers without running it.
// KTCompiledValueTemplate: an attribute value template cut into its runs.
#pragma once

#include <memory>
#include <vector>

#include "core/ktstring.h"
#include "xpath/ktxpathastnode.h"
#include "xpath/ktxpathvalue.h"
#include "xslt/ktsimpleselect.h"
#include "xslt/ktxslterror.h"

// One step of an expression that the processor answers without the syntax
// tree: its axis (child or attribute), its node test (node(), *, text() or
// a name) and the unprefixed name.
struct KTSimpleTerm {
  bool attribute = false;
  int test = 0;
  KTString name;
};

struct KTCompiledExpression {
  // Shapes of `shape`.
  static constexpr int kShapeTree = 0;
  static constexpr int kShapeSelf = 1;      // "."
  static constexpr int kShapeVariable = 2;  // "$name"
  static constexpr int kShapeSteps = 3;     // child or attribute steps, alone or in a union
  static constexpr int kShapeKey = 4;       // "key('name', argument)", then child or attribute steps

  // The text as written (errors of the evaluation show it trimmed): the key
  // of the map that shares it while compiling, else `ownText`.
  const KTString* text = &ownText;
  KTString ownText;
  int restrictions = 0;
  std::unique_ptr<KTXPathAstNode> tree;
  // A text that did not compile in a forwards-compatible part of the
  // stylesheet: the error waits for the evaluation (XSLT 1.0 §2.5).
  std::unique_ptr<KTXSLTError> error;
  // Whether the tree refers to a variable (read for xsl:number patterns).
  bool namesVariables = false;
  // Set by the compiler once the static check of the tree passed with an
  // outcome that holds wherever the text stands (no prefix to resolve, no
  // variable reference to keep): a text shared by many instructions is then
  // walked once, not once per instruction. It fills padding beside the flag
  // above, so the record does not grow.
  mutable bool checkedEverywhere = false;

  // Expressions of one of the shapes that the processor answers without the
  // tree: ".", "$name", and one step or a union of steps of the child or
  // attribute axis with the tests node(), *, text() or a name ("name",
  // "@name", "*|text()", "@*|node()"; names unprefixed).
  int shape = kShapeTree;
  KTString name;
  std::vector<KTSimpleTerm> terms;
  // "key('name', argument)" followed by steps ("/name", "/@id"): the key's
  // name, the argument (a literal, ".", or one step: terms[0]) and the
  // steps (the other terms).
  int keyArgument = 0;
  KTString literal;
  // The shapes key tables and sort keys read nodes with (".", "name",
  // "@name", "text()"); `simpleSelect` holds one when `hasSimpleSelect`.
  bool hasSimpleSelect = false;
  KTSimpleSelect simpleSelect;
  // "name()" or "name(.)".
  bool isNameOfContext = false;
  // That or another function of the context node alone (see
  // KTSimpleSelect::ContextFunctionOf), which value-of and attribute value
  // templates read from the node.
  KTSimpleSelect::ContextFunction contextFunction = KTSimpleSelect::ContextFunction::kNone;
};

// An attribute value template: literal runs (a doubled brace read as one)
// and the compiled expressions between braces, in order.
struct KTCompiledValueTemplate {
  struct Part {
    KTString literal;
    const KTCompiledExpression* expression = nullptr;  // null: the literal run
  };
  std::vector<Part> parts;
  // A text without braces: the value is the attribute's own.
  bool plain = true;
  // A template that did not compile in a forwards-compatible part of the
  // stylesheet: the error waits for the evaluation.
  std::unique_ptr<KTXSLTError> error;
};

// Reading the shape of a compiled syntax tree: the XSLT 1.0 §5.2 pattern
// grammar, checked on the tree that the XPath parser built for a pattern's
// text (a union of location path patterns, each a path of child and
// attribute steps with "/" and "//", optionally led by "/", "//", or id()
// and key() with literal arguments), and the helpers that the fast paths
// use to recognise their shapes in a tree.
#pragma once

#include <string_view>

#include "core/ktstring.h"

class KTXPathAstNode;

struct KTXPathPatternProblem {
  // Where the tree leaves the pattern grammar; null when it does not.
  const KTXPathAstNode* node = nullptr;
  // True when the problem is a step on an axis other than child or
  // attribute; `axis` then names it as written with "::" ("parent::" for
  // "..", "self::" for ".").
  bool wrongAxis = false;
  KTString axis;
};

// Checks a tree made from an XPath Expr (the predicates may hold any
// expression); the first problem in text order.
KTXPathPatternProblem FindPatternProblem(const KTXPathAstNode* expression);

// Follows nodes of exactly one child from `node` until one of `kind` (the
// levels of one operand each between an Expr node and its path); null when
// a node on the way has other children (an operator, a predicate,
// parentheses) or none.
const KTXPathAstNode* KTSoleChainTo(const KTXPathAstNode* node, int kind);
// The text of a name, token or literal node: the first character run or
// token below it.
std::u16string_view KTTextBelow(const KTXPathAstNode* node);

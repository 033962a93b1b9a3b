// The XSLT 1.0 §5.2 pattern grammar, checked on the syntax tree that the
// XPath parser built for a pattern's text: a union of location path
// patterns, each a path of child and attribute steps (with "/" and "//"),
// optionally led by "/", "//", or id() and key() with literal arguments.
#pragma once

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

// CallFunctionNode: the syntax-tree node of a function call (kind 146). It
// finds the function by name, evaluates the arguments, runs the function of
// the XPath core or XSLT library and leaves the result in the context.
#pragma once

#include <vector>

#include "xpath/ktxpathastnode.h"

struct KTXPathFunctionInfo;

class CallFunctionNode : public KTXPathAstNode {
 public:
  // True with the function's value as the context's current value; false
  // with the expression's error code (and function index) set: 1 for an
  // unbound prefix, 8 for any prefixed name, 9 for an unknown name or an
  // XSLT function where XSLT functions are off, or the function's own error.
  bool Evaluate(KTXPathEvalContext& context) override;

 private:
  // The argument expressions, gathered on the first evaluation: a compiled
  // tree does not change, and a call in a predicate runs once per node.
  void GatherArguments();
  bool gathered_ = false;
  std::vector<KTXPathAstNode*> arguments_;
  // The function found for the name, by whether XSLT functions were on.
  const KTXPathFunctionInfo* found_[2] = {nullptr, nullptr};
  bool looked_[2] = {false, false};
};

// The creator that the prototype table registers for kind 146.
KTXPathAstNode* CreateCallFunctionNode();

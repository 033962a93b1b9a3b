// Evaluation of identity-constraint paths (compile modes 1 and 2): the
// root, path and alternative shapes that ktxpathschemapaths.cpp builds. The
// steps are StepNodes and their name tests NameTestNodes, which in these
// modes take the child axis. Registered in the prototype table.
#pragma once

#include "xpath/ktxpathastnode.h"

class KTXPathEvalContext;

// Selector (27) and Field (1): the first path's nodes in the order it
// produced them, then each later alternative's nodes that are not there
// yet; not sorted into document order.
class SchemaPathRootNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
};

// A selector path (28): an optional ".//" prefix, a step, then "/" steps.
class SelectorPathNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
};

// A field path (2): an optional ".//" prefix, "step /" pairs, then a last
// step or "@" name test.
class FieldPathNode : public KTXPathAstNode {
 public:
  bool Evaluate(KTXPathEvalContext& context) override;
};

// Evaluation of identity-constraint selector and field paths.
#include "xpath/ktxpathschemapathnodes.h"

#include "xpath/ktxpathevalcontext.h"
#include "xpath/ktxpathschemapaths.h"

namespace {

// The ".//" prefix: the context node-set becomes every context node and all
// its descendants.
bool DescendantOrSelf(KTXPathEvalContext& context) {
  context.SetAxis(kAxisDescendantOrSelf);
  if (!context.EvaluateStepWithOwner(nullptr))
    return false;
  context.CommitValueSlots();
  context.SetNameTest(u".//");
  return true;
}

}  // namespace

bool SchemaPathRootNode::Evaluate(KTXPathEvalContext& context) {
  KTXPathAstNode* first = FirstChild();
  if (!first)
    return false;
  const KTXPathValue start = context.Current();
  if (!first->Evaluate(context))
    return false;
  KTXPathValue result;
  result.SetNodeSet();
  KTXPathEvalContext::SeenSet seen;
  for (const KTXPathNodeItem& item : context.Current().Items()) {
    seen.insert(item.GetNode());
    result.PushItem(item);
  }
  // Each alternative is "|" and a path, evaluated from the starting nodes.
  for (int i = 1; i < ChildCount(); ++i) {
    KTXPathAstNode* path = ChildAt(i)->ChildAt(1);
    if (!path)
      return false;
    context.SetResult(start);
    context.SetNameTest(u"");
    if (!path->Evaluate(context))
      return false;
    for (const KTXPathNodeItem& item : context.Current().Items()) {
      if (seen.insert(item.GetNode()).second)
        result.PushItem(item);
    }
  }
  context.SetResult(result);
  return true;
}

bool SelectorPathNode::Evaluate(KTXPathEvalContext& context) {
  int index = 0;
  KTXPathAstNode* child = ChildAt(index);
  if (child && child->GetKind() == kSelectorDescendantPrefix) {
    if (!DescendantOrSelf(context))
      return false;
    child = ChildAt(++index);
  }
  if (!child || !child->Evaluate(context))
    return false;
  for (++index; index < ChildCount(); ++index) {
    KTXPathAstNode* step = ChildAt(index)->ChildAt(1);
    context.SetNameTest(u"/");
    if (!step || !step->Evaluate(context))
      return false;
  }
  return true;
}

bool FieldPathNode::Evaluate(KTXPathEvalContext& context) {
  int index = 0;
  KTXPathAstNode* child = ChildAt(index);
  if (child && child->GetKind() == kFieldDescendantPrefix) {
    if (!DescendantOrSelf(context))
      return false;
    child = ChildAt(++index);
  }
  for (; child && child->GetKind() == kFieldStepSlash; child = ChildAt(++index)) {
    KTXPathAstNode* step = child->FirstChild();
    if (!step || !step->Evaluate(context))
      return false;
    context.SetNameTest(u"/");
  }
  KTXPathAstNode* last = child ? child->FirstChild() : nullptr;
  if (!last)
    return false;
  if (last->GetKind() == kFieldStep)
    return last->Evaluate(context);
  // "@" and a name test.
  KTXPathAstNode* nameTest = last->ChildAt(1);
  if (!nameTest)
    return false;
  context.SetAxis(kAxisAttribute);
  context.SetNameTest(u"@");
  return nameTest->Evaluate(context);
}

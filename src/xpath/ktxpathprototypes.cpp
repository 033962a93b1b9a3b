// The registration of every syntax-tree node class in the node-factory
// registry, in one fixed order: the first class that claims a kind keeps it.
// Kinds no class claims get the default node with the kind stamped on it.
#include "xpath/ktxpathastnode.h"
#include "xpath/ktxpathcallfunction.h"
#include "xpath/ktxpathnodes.h"
#include "xpath/ktxpathschemapathnodes.h"
#include "xpath/ktxpathschemapaths.h"

namespace {

template <class Node>
KTXPathAstNode* CreateNode() {
  return new Node();
}

struct PrototypeRow {
  int kind;
  KTXPathNodeCreator creator;
};

}  // namespace

bool BuildNodePrototypes() {
  // The order of the classes; a class serving several kinds has one row per
  // kind.
  static const PrototypeRow kRows[] = {
      {kFieldRoot, &CreateNode<SchemaPathRootNode>},
      {kFieldPath, &CreateNode<FieldPathNode>},
      {kSelectorRoot, &CreateNode<SchemaPathRootNode>},
      {kSelectorPath, &CreateNode<SelectorPathNode>},
      {kAstAbbreviatedAbsoluteLocationPath, &CreateNode<DescendantPathNode>},
      {kAstAbbreviatedAxisSpecifier, &CreateNode<AbbreviatedAxisNode>},
      {kAstAbsoluteLocationPath, &CreateNode<AbsoluteLocationPathNode>},
      {kAstAdditiveExpr, &CreateNode<AdditiveExprNode>},
      {kAstAndExpr, &CreateNode<AndExprNode>},
      {kAstAxisName, &CreateNode<AxisNameNode>},
      {kAstAbbreviatedStep, &CreateNode<AbbreviatedStepNode>},
      {kAstDefault, &CreateNode<DefaultNode>},
      {kAstEqualityExpr, &CreateNode<EqualityExprNode>},
      {kAstExpr, &CreateNode<ExprNode>},
      {kAstFunctionCall, &CreateCallFunctionNode},
      {kAstLiteral, &CreateNode<LiteralNode>},
      {kAstLocationPath, &CreateNode<LocationPathNode>},
      {kAstMultiplicativeExpr, &CreateNode<MultiplicativeExprNode>},
      {kAstNameTest, &CreateNode<NameTestNode>},
      {kAstSelectorNameTest, &CreateNode<NameTestNode>},
      {kAstFieldNameTest, &CreateNode<NameTestNode>},
      {kAstNodeType, &CreateNode<NodeTypeTestNode>},
      {kAstNumber, &CreateNode<NumberNode>},
      {kAstOrExpr, &CreateNode<OrExprNode>},
      {kAstRootLocationPath, &CreateNode<RootSlashNode>},
      {kAstProcessingInstructionTest, &CreateNode<PITargetTestNode>},
      {kAstFilterDescendantPath, &CreateNode<FilterDescendantPathNode>},
      {kAstPredicate, &CreateNode<PredicateNode>},
      {kAstPrimaryExpr, &CreateNode<PrimaryExprNode>},
      {kAstRelationalExpr, &CreateNode<RelationalExprNode>},
      {kAstRelativeLocationPath, &CreateNode<RelativeLocationPathNode>},
      {kAstStep, &CreateNode<StepNode>},
      {kAstSelectorStep, &CreateNode<StepNode>},
      {kAstFieldStep, &CreateNode<StepNode>},
      {kAstCharacterRun, &CreateNode<CharacterNode>},
      {kAstUnaryExpr, &CreateNode<UnaryExprNode>},
      {kAstUnionExpr, &CreateNode<UnionExprNode>},
  };
  KTIndividualFactory* factory = KTIndividualFactory::Instance();
  for (const PrototypeRow& row : kRows)
    factory->Register(row.kind, row.creator);
  return true;
}

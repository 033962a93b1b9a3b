// The registration of every syntax-tree node class in the node-factory
// registry, in one fixed order: the first class that claims a kind keeps it.
#include "xpath/ktxpathastnode.h"

namespace {

// Every kind without a class of its own, and the character runs of names,
// numbers and literals: both evaluate their children in order.
class DefaultNode : public KTXPathAstNode {};
class CharacterNode : public KTXPathAstNode {};

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
  static const PrototypeRow kRows[] = {
      {kAstDefault, &CreateNode<DefaultNode>},
      {kAstCharacterRun, &CreateNode<CharacterNode>},
  };
  KTIndividualFactory* factory = KTIndividualFactory::Instance();
  for (const PrototypeRow& row : kRows)
    factory->Register(row.kind, row.creator);
  return true;
}

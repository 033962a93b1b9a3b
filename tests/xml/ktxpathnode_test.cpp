// The XPath view node: kind mapping, names and values, placement rules,
// document-order steps, namespace nodes, copies and shared prefix maps.
#include "xml/ktxpathnode.h"

#include <gtest/gtest.h>

#include <string>

#include "ktallocationcount.h"
#include "platform/ktutf8.h"
#include "xml/ktxnode.h"

namespace {

std::unique_ptr<KTXNode> Make(int kind, const char16_t* name = nullptr, const char16_t* value = nullptr) {
  auto node = CreateXNode(kind);
  if (name) node->SetName(name);
  if (value) node->SetValue(value);
  return node;
}

std::string U8(const char16_t* s) { return KTUtf16ToUtf8(s); }

std::unique_ptr<KTXPathNode> View(int kind) { return std::make_unique<KTXPathNode>(nullptr, kind); }

TEST(XPathNodeKind, MappedFromDocumentNodes) {
  struct Case {
    int xkind;
    const char16_t* name;
    int expected;
  } cases[] = {
      {kXmlDocument, nullptr, kXPathRoot},      {kXmlEntity, nullptr, kXPathRoot},
      {kDtdDocument, nullptr, kXPathRoot},      {kXmlTag, nullptr, kXPathXmlDecl},
      {kElement, u"e", kXPathElement},          {kAttribute, u"a", kXPathAttribute},
      {kAttribute, u"xmlns", kXPathNamespace},  {kAttribute, u"xmlns:p", kXPathNamespace},
      {kAttribute, u"xmlnsx", kXPathAttribute}, {kAttribute, u"p:xmlns", kXPathAttribute},
      {kAttribute, u"XMLNS", kXPathAttribute},  {kText, nullptr, kXPathText},
      {kCData, nullptr, kXPathCData},           {kComment, nullptr, kXPathComment},
      {kProcessingInstruction, u"pi", kXPathPI}, {kDoctype, u"d", kXPathDoctype},
      {kDoctypeExternalId, u"SYSTEM", kXPathDoctypeExternalId}, {kDoctypeElement, nullptr, kXPathDoctypeElement},
      {kDoctypeAttlist, nullptr, kXPathDoctypeAttlist},         {kDoctypeEntity, u"e", kXPathDoctypeEntity},
      {kDoctypeNotation, u"n", kXPathDoctypeNotation},
  };
  for (const Case& c : cases) {
    auto node = Make(c.xkind, c.name);
    auto viewOwned = std::make_unique<KTXPathNode>(node.get());
    KTXPathNode& view = *viewOwned;
    EXPECT_EQ(view.GetKind(), c.expected) << "kind " << c.xkind << " " << (c.name ? U8(c.name) : "");
    EXPECT_EQ(view.GetPosition(), -1);
    EXPECT_EQ(view.GetDocumentNumber(), -1);
  }
  auto explicitKindOwned = std::make_unique<KTXPathNode>(nullptr, kXPathComment);
  KTXPathNode& explicitKind = *explicitKindOwned;
  EXPECT_EQ(explicitKind.GetKind(), kXPathComment);
}

TEST(XPathNode, NamesAndValues) {
  auto text = Make(kText, nullptr, u"hello");
  auto tvOwned = std::make_unique<KTXPathNode>(text.get());
  KTXPathNode& tv = *tvOwned;
  EXPECT_EQ(U8(tv.GetName()), "");  // text, comment and root views have no name
  EXPECT_EQ(U8(tv.GetValue()), "hello");
  tv.SetValue(u"own");
  EXPECT_EQ(U8(tv.GetValue()), "own");
  tv.SetValue(nullptr);
  EXPECT_EQ(U8(tv.GetValue()), "hello");
  tv.SetName(u"t");
  EXPECT_EQ(U8(tv.GetName()), "t");

  auto element = Make(kElement, u"p:e");
  auto evOwned = std::make_unique<KTXPathNode>(element.get());
  KTXPathNode& ev = *evOwned;
  EXPECT_EQ(U8(ev.GetName()), "p:e");
  ev.SetName(u"other");
  EXPECT_EQ(U8(ev.GetName()), "other");
  // An own name and an own value are held together and apart: clearing one
  // leaves the other, and a copy takes both.
  tv.AppendValue(u" world");
  EXPECT_EQ(U8(tv.GetValue()), "hello world");
  tv.SetName(nullptr);
  EXPECT_EQ(U8(tv.GetName()), "");
  EXPECT_EQ(U8(tv.GetValue()), "hello world");
  ev.SetValue(u"v");
  auto copyOwned = std::make_unique<KTXPathNode>(ev, false, nullptr);
  KTXPathNode& copy = *copyOwned;
  EXPECT_EQ(U8(copy.GetName()), "other");
  EXPECT_EQ(U8(copy.GetValue()), "v");
  ev.SetName(nullptr);
  EXPECT_EQ(U8(ev.GetName()), "p:e");
  EXPECT_EQ(U8(ev.GetValue()), "v");
  EXPECT_EQ(U8(copy.GetName()), "other");
  auto bareOwned = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
  KTXPathNode& bare = *bareOwned;
  EXPECT_EQ(U8(bare.GetName()), "");
  EXPECT_EQ(U8(bare.GetValue()), "");
}

TEST(XPathNode, PlacementRules) {
  struct Case {
    int parent;
    std::vector<int> before;
    int child;
    bool allowed;
  } cases[] = {
      {kXPathElement, {}, kXPathAttribute, true},
      {kXPathElement, {kXPathAttribute, kXPathNamespace}, kXPathAttribute, true},
      {kXPathElement, {kXPathText}, kXPathAttribute, false},
      {kXPathElement, {kXPathElement}, kXPathNamespace, false},
      {kXPathRoot, {}, kXPathAttribute, false},
      {kXPathRoot, {}, kXPathNamespace, true},
      {kXPathAttribute, {}, kXPathText, true},
      {kXPathAttribute, {}, kXPathElement, false},
      {kXPathNamespace, {}, kXPathAttribute, false},
      {kXPathNamespace, {}, kXPathText, true},
  };
  for (const Case& c : cases) {
    auto parent = View(c.parent);
    for (int k : c.before) parent->AppendChild(View(k));
    bool thrown = false;
    try {
      parent->AppendChild(View(c.child));
    } catch (const KTXTreeException& e) {
      thrown = true;
      EXPECT_EQ(e.GetCode(), 1);
    }
    EXPECT_EQ(thrown, !c.allowed) << "parent " << c.parent << " child " << c.child;
    EXPECT_EQ(parent->GetChildCount(), static_cast<int>(c.before.size()) + (c.allowed ? 1 : 0));
  }
  // Inserting content in front of an attribute breaks the order as well.
  auto e = View(kXPathElement);
  e->AppendChild(View(kXPathAttribute));
  EXPECT_THROW(e->InsertChild(0, View(kXPathText)), KTXTreeException);
}

TEST(XPathNode, DocumentOrderSteps) {
  // root(e1(a, t1), e2(t2))
  auto root = View(kXPathRoot);
  root->SetDocumentNumber(4);
  KTXPathNode* e1 = root->AppendChild(View(kXPathElement));
  KTXPathNode* a = e1->AppendChild(View(kXPathAttribute));
  KTXPathNode* t1 = e1->AppendChild(View(kXPathText));
  KTXPathNode* e2 = root->AppendChild(View(kXPathElement));
  KTXPathNode* t2 = e2->AppendChild(View(kXPathText));
  EXPECT_EQ(t2->GetDocumentNumber(), 4);

  std::vector<KTXPathNode*> forward;
  for (KTXPathNode* n = root.get(); n; n = n->NextInDocumentOrder(true)) forward.push_back(n);
  EXPECT_EQ(forward, (std::vector<KTXPathNode*>{root.get(), e1, a, t1, e2, t2}));
  std::vector<KTXPathNode*> backward;
  for (KTXPathNode* n = t2; n; n = n->NextInDocumentOrder(false)) backward.push_back(n);
  EXPECT_EQ(backward, (std::vector<KTXPathNode*>{t2, e2, t1, a, e1, root.get()}));
  EXPECT_EQ(e1->GetNextSibling(), e2);
  EXPECT_EQ(e2->GetPreviousSibling(), e1);
  EXPECT_EQ(root->FirstChildOfKind(kXPathText), 2);
  EXPECT_EQ(e1->FirstChildOfKind(kXPathText), 1);
}

TEST(XPathNode, NamespaceNodesAndMapSharing) {
  KTString xmlUri(u"http://www.w3.org/XML/1998/namespace"), a(u"urn:a"), empty;
  auto map = std::make_shared<KTPrefixMap>();
  (*map)[KTString(u"xml")] = &xmlUri;
  (*map)[KTString(u"")] = &a;
  (*map)[KTString(u"u")] = nullptr;   // undeclared: no node
  (*map)[KTString(u"v")] = &empty;    // empty: no node
  auto attrMap = std::make_shared<KTPrefixMap>(*map);
  attrMap->erase(KTString());

  auto root = View(kXPathRoot);
  KTXPathNode* outer = root->AppendChild(View(kXPathElement));
  outer->SetMaps(map, attrMap);
  EXPECT_FALSE(outer->HoldsMapsAlone());  // the test's own refs hold them too
  KTXPathNode* inner = outer->AppendChild(View(kXPathElement));
  inner->SetMaps(outer->InheritedElementMap(), outer->InheritedAttributeMap());
  KTXPathNode* attribute = inner->InsertChild(0, View(kXPathAttribute));
  EXPECT_FALSE(inner->OwnsMaps());
  EXPECT_TRUE(outer->OwnsMaps());
  EXPECT_EQ(inner->OwnElementMap(), map);
  EXPECT_EQ(inner->OwnAttributeMap(), attrMap);
  EXPECT_EQ(attribute->OwnElementMap(), nullptr);
  // Maps that one node alone holds may take a binding in place; maps that
  // a child shares may not, though no one else holds the map objects.
  auto alone = View(kXPathElement);
  alone->SetMaps(std::make_shared<KTPrefixMap>(), std::make_shared<KTPrefixMap>());
  EXPECT_TRUE(alone->HoldsMapsAlone());
  KTXPathNode* sharing = alone->AppendChild(View(kXPathElement));
  sharing->SetMaps(alone->InheritedElementMap(), alone->InheritedAttributeMap());
  EXPECT_FALSE(alone->HoldsMapsAlone());
  EXPECT_FALSE(sharing->HoldsMapsAlone());
  EXPECT_EQ(inner->GetElementNamespaceMap(), map.get());
  EXPECT_EQ(attribute->GetElementNamespaceMap(), attrMap.get());  // attributes resolve without the default
  EXPECT_EQ(KTXPathNode::GetNodeNamespaceMap(attribute), attrMap.get());

  const auto* nodes = inner->GetNamespaceNodes();
  ASSERT_NE(nodes, nullptr);
  ASSERT_EQ(nodes->size(), 2u);
  // xml first, then by prefix: the order the axis walks and sorting uses.
  EXPECT_EQ(U8((*nodes)[1]->GetName()), "");
  EXPECT_EQ(U8((*nodes)[1]->GetValue()), "urn:a");
  EXPECT_EQ(U8((*nodes)[0]->GetName()), "xml");
  EXPECT_EQ((*nodes)[0]->GetKind(), kXPathNamespace);
  EXPECT_EQ((*nodes)[0]->GetParent(), inner);
  EXPECT_EQ((*nodes)[0]->GetPosition(), -1);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(inner->NamespaceNodeRank((*nodes)[i].get()), i);
  EXPECT_EQ(inner->GetNamespaceNodes(), nodes);  // built once
  EXPECT_EQ(attribute->GetNamespaceNodes(), nullptr);

  // Deleting the child that shares the maps leaves them with the parent.
  root->GetChild(0)->RemoveChild(0).reset();
  map.reset();
  attrMap.reset();
  ASSERT_NE(outer->GetElementNamespaceMap(), nullptr);
  EXPECT_EQ(outer->GetElementNamespaceMap()->size(), 4u);
}

// The child list keeps document order and the sibling indexes through
// inserts at any place, removals and growth past its capacity.
TEST(XPathNode, ChildListKeepsOrderThroughInsertsAndRemovals) {
  auto root = View(kXPathElement);
  auto text = [](int n) {
    auto node = View(kXPathText);
    node->SetValue(KTUtf8ToUtf16(std::to_string(n)).c_str());
    return node;
  };
  auto order = [&]() {
    std::string out;
    int index = 0;
    for (const auto& child : root->Children()) {
      EXPECT_EQ(child->GetIndexInParent(), index++);
      EXPECT_EQ(child->GetParent(), root.get());
      out += U8(child->GetValue()) + " ";
    }
    return out;
  };
  for (int i = 0; i < 5; ++i) root->AppendChild(text(i * 2));
  root->InsertChild(0, text(-1));
  root->InsertChild(2, text(1));
  root->InsertChild(root->GetChildCount(), text(9));
  EXPECT_EQ(order(), "-1 0 1 2 4 6 8 9 ");
  std::unique_ptr<KTXPathNode> removed = root->RemoveChild(3);
  EXPECT_EQ(U8(removed->GetValue()), "2");
  EXPECT_EQ(removed->GetParent(), nullptr);
  EXPECT_EQ(order(), "-1 0 1 4 6 8 9 ");
  EXPECT_EQ(root->GetChild(2)->GetNextSibling(), root->GetChild(3));
  KTXPathNode::ChildList all = root->ReleaseChildren();
  ASSERT_EQ(all.size(), 7u);
  EXPECT_EQ(U8(all.back()->GetValue()), "9");
  EXPECT_EQ(root->GetChildCount(), 0);
  EXPECT_TRUE(root->Children().empty());
  root->AppendChild(std::move(all[0]));
  EXPECT_EQ(order(), "-1 ");

  // A lone child is kept in place; a second one moves both to an array.
  auto single = View(kXPathElement);
  single->AppendChild(text(7));
  single->InsertChild(0, text(6));
  EXPECT_EQ(U8(single->GetChild(0)->GetValue()), "6");
  EXPECT_EQ(U8(single->GetChild(1)->GetValue()), "7");
  EXPECT_EQ(single->GetChild(1)->GetIndexInParent(), 1);
  single->RemoveChild(0).reset();
  KTXPathNode::ChildList one = single->ReleaseChildren();
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(U8(one[0]->GetValue()), "7");
  auto lone = View(kXPathElement);
  KTXPathNode* child = lone->AppendChild(View(kXPathElement));
  child->AppendChild(text(2));  // freed with lone, each list holding one child in place
  EXPECT_EQ(lone->Children().front().get(), child);
  EXPECT_EQ(lone->Children().back().get(), child);

  // Removing a lone child empties the list; reserved places hold no child.
  std::unique_ptr<KTXPathNode> taken = lone->RemoveChild(0);
  EXPECT_EQ(taken.get(), child);
  EXPECT_EQ(lone->GetChildCount(), 0);
  EXPECT_TRUE(lone->Children().empty());
  lone->ReserveChildren(3);
  EXPECT_EQ(lone->GetChildCount(), 0);
  lone->AppendChild(text(3));
  lone->InsertChild(0, std::move(taken));
  EXPECT_EQ(lone->GetChildCount(), 2);
  EXPECT_EQ(lone->GetChild(0), child);
  EXPECT_EQ(U8(lone->GetChild(1)->GetValue()), "3");
  lone->RemoveChild(1).reset();
  lone->RemoveChild(0).reset();
  EXPECT_TRUE(lone->Children().empty());
  lone->ReserveChildren(1);
  lone->AppendChild(text(4));
  EXPECT_EQ(lone->GetChildCount(), 1);
  EXPECT_EQ(U8(lone->Children().front()->GetValue()), "4");
}

TEST(XPathNode, CopiesKeepStructureAndRules) {
  auto text = Make(kText, nullptr, u"wrapped");
  auto root = View(kXPathRoot);
  KTXPathNode* e = root->AppendChild(View(kXPathElement));
  auto map = std::make_shared<KTPrefixMap>();
  e->SetMaps(map, map);
  e->SetName(u"e");
  KTXPathNode* inner = e->AppendChild(View(kXPathElement));
  inner->SetMaps(map, map);
  inner->AppendChild(std::make_unique<KTXPathNode>(text.get()));

  auto copyOwned = std::make_unique<KTXPathNode>(*e, true, nullptr);
  KTXPathNode& copy = *copyOwned;
  EXPECT_EQ(copy.GetPosition(), 0);
  EXPECT_EQ(U8(copy.GetName()), "e");
  ASSERT_EQ(copy.GetChildCount(), 1);
  KTXPathNode* innerCopy = copy.GetChild(0);
  EXPECT_EQ(innerCopy->GetParent(), &copy);
  EXPECT_NE(copy.InheritedElementMap(), map);              // own copies
  EXPECT_EQ(innerCopy->InheritedElementMap(), copy.InheritedElementMap());  // sharing kept
  EXPECT_EQ(U8(innerCopy->GetChild(0)->GetValue()), "wrapped");

}

TEST(XPathNode, DeepTreesAreFreedWithoutRecursion) {
  auto root = View(kXPathRoot);
  KTXPathNode* n = root.get();
  for (int i = 0; i < 200000; ++i) n = n->AppendChild(View(kXPathElement));
  root.reset();  // would overflow the stack if freed recursively
  SUCCEED();
}

// Freeing runs while an out-of-memory error unwinds too: it may not allocate
// (an allocation that fails there ends the process). Shapes: a long chain, a
// wide node, a chain under a wide node's middle child, children with and
// without children of their own.
TEST(XPathNode, TreesAreFreedWithoutAllocating) {
  auto root = View(kXPathRoot);
  KTXPathNode* chain = root->AppendChild(View(kXPathElement));
  for (int i = 0; i < 50000; ++i) chain = chain->AppendChild(View(kXPathElement));
  KTXPathNode* wide = root->AppendChild(View(kXPathElement));
  for (int i = 0; i < 1000; ++i) {
    KTXPathNode* child = wide->AppendChild(View(kXPathElement));
    if (i % 3 == 0) child->AppendChild(View(kXPathText));
    if (i % 7 == 0) {
      child->AppendChild(View(kXPathElement))->AppendChild(View(kXPathText));
      child->AppendChild(View(kXPathComment));
    }
  }
  KTXPathNode* middle = wide->GetChild(500);
  for (int i = 0; i < 1000; ++i) middle = middle->AppendChild(View(kXPathElement));
  root->AppendChild(View(kXPathText));
  KTAllocationCounter counter;
  root.reset();
  EXPECT_EQ(counter.Count(), 0u);
}

}  // namespace

// Frames and the executor base: binding layers shared between frames, the
// walks over stylesheet nodes, and the namespace URIs executors cache.
#include "xslt/ktexecframe.h"

#include <gtest/gtest.h>

#include "kttestprocessor.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktxsltprocessor.h"

namespace {

KTBindingRecord Number(double n) {
  KTBindingRecord record;
  record.value.SetNumber(n);
  return record;
}

double Lookup(const KTExecFrame& frame, const char16_t* name) {
  const KTBindingRecord* found = frame.FindBinding(KTString(name));
  return found ? found->value.GetNumber() : -1;
}

TEST(KTExecFrameTest, ChildFramesShareBindingsUntilTheyBindTheirOwn) {
  KTTestProcessor processor;
  KTExecFrame first(&processor);
  EXPECT_EQ(first.Variables(), nullptr);
  first.OwnVariables().Bind(KTString(u"x"), Number(1));
  first.OwnParameters().Bind(KTString(u"x"), Number(2));
  first.OwnParameters().Bind(KTString(u"p"), Number(3));

  KTExecFrame child(&first, first.ResultParent());
  EXPECT_EQ(child.Variables(), first.Variables());
  EXPECT_FALSE(child.OwnsVariables());
  // A variable hides a parameter of the same name.
  EXPECT_EQ(Lookup(child, u"x"), 1);
  EXPECT_EQ(Lookup(child, u"p"), 3);
  EXPECT_EQ(Lookup(child, u"none"), -1);

  // Binding in the child gives it a layer of its own over the parent's.
  child.OwnVariables().Bind(KTString(u"y"), Number(4));
  child.OwnVariables().Bind(KTString(u"x"), Number(5));
  EXPECT_TRUE(child.OwnsVariables());
  EXPECT_EQ(Lookup(child, u"y"), 4);
  EXPECT_EQ(Lookup(child, u"x"), 5);
  EXPECT_EQ(Lookup(first, u"y"), -1);
  EXPECT_EQ(Lookup(first, u"x"), 1);

  // Resetting to the parent's layer forgets the child's own bindings.
  child.ShareVariables(first.VariablesRef());
  EXPECT_FALSE(child.OwnsVariables());
  EXPECT_EQ(Lookup(child, u"y"), -1);
  EXPECT_EQ(Lookup(child, u"x"), 1);
  child.ShareVariables(nullptr);
  EXPECT_EQ(Lookup(child, u"x"), 2);
}

TEST(KTExecFrameTest, ChildFrameInheritsContextAndNamespaceSets) {
  KTTestProcessor processor;
  KTExecFrame first(&processor);
  EXPECT_EQ(first.ContextPosition(), -1);
  EXPECT_EQ(first.NodeList().ItemCount(), 0);
  ASSERT_NE(first.OwnedResultRoot(), nullptr);
  EXPECT_EQ(first.ResultParent(), first.OwnedResultRoot());
  first.SetForwardsCompatible(true);
  first.SetExcludedNamespaces({KTString(u"urn:a")});
  first.SetExtensionNamespaces({KTString(u"urn:e")});
  auto otherOwned = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
  KTXPathNode& other = *otherOwned;
  KTExecFrame child(&first, &other);
  EXPECT_EQ(child.ResultParent(), &other);
  EXPECT_EQ(child.OwnedResultRoot(), nullptr);
  EXPECT_TRUE(child.IsForwardsCompatible());
  EXPECT_EQ(child.Root(), &first);
  EXPECT_EQ(child.ExcludedNamespaces().count(KTString(u"urn:a")), 1u);
  EXPECT_EQ(child.ExtensionNamespaces().count(KTString(u"urn:e")), 1u);
  // Later changes of the parent's sets are not seen by the child, whose
  // sets stay readable (an address sanitizer build checks the reads).
  first.SetExcludedNamespaces({});
  first.SetExtensionNamespaces({KTString(u"urn:f"), KTString(u"urn:g")});
  EXPECT_EQ(child.ExcludedNamespaces().size(), 1u);
  EXPECT_EQ(child.ExcludedNamespaces().count(KTString(u"urn:a")), 1u);
  EXPECT_EQ(child.ExtensionNamespaces().size(), 1u);
  EXPECT_EQ(child.ExtensionNamespaces().count(KTString(u"urn:e")), 1u);
  EXPECT_TRUE(first.ExcludedNamespaces().empty());
  EXPECT_EQ(first.ExtensionNamespaces().size(), 2u);
  EXPECT_EQ(child.LastFinished(), nullptr);
  EXPECT_EQ(child.NodeToRun(), nullptr);
  EXPECT_FALSE(child.IsStarted());
}

// A child frame reads the list of the frame it came from until it sets or
// changes one of its own; neither touches the parent's list, and a
// grandchild made from a frame that reads its parent's list sees that list.
TEST(KTExecFrameTest, ChildFramesReadTheParentsNodeListUntilTheyChangeTheirOwn) {
  KTTestProcessor processor;
  KTExecFrame first(&processor);
  auto aOwned = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
  KTXPathNode& a = *aOwned;
  auto bOwned = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
  KTXPathNode& b = *bOwned;
  KTXPathValue two;
  two.PushItem(KTXPathNodeItem(&b, 1));
  two.PushItem(KTXPathNodeItem(&a, 2));
  first.SetNodeList(two);
  KTExecFrame child(&first, first.ResultParent());
  KTExecFrame grandchild(&child, child.ResultParent());
  EXPECT_EQ(&child.NodeList(), &first.NodeList());
  EXPECT_EQ(&grandchild.NodeList(), &first.NodeList());

  // Changing the list in place works on the child's own copy.
  KTXPathValue& own = child.MutableNodeList();
  EXPECT_NE(&own, &first.NodeList());
  own.MutableItems().pop_back();
  EXPECT_EQ(child.NodeList().ItemCount(), 1);
  EXPECT_EQ(first.NodeList().ItemCount(), 2);
  EXPECT_EQ(first.NodeList().Items()[1].GetNode(), &a);
  EXPECT_EQ(grandchild.NodeList().ItemCount(), 2);

  // A list set anew replaces the child's own only.
  KTExecFrame other(&first, first.ResultParent());
  other.SetNodeList(KTXPathValue());
  EXPECT_EQ(other.NodeList().ItemCount(), 0);
  EXPECT_EQ(first.NodeList().ItemCount(), 2);
  KTExecFrame below(&other, other.ResultParent());
  EXPECT_EQ(below.NodeList().ItemCount(), 0);
}

TEST(KTInstructionExecutorTest, WalksOverStylesheetNodesSkipCommentsAndPIs) {
  KTXPathTreeContext context;
  KTTestDocument doc = ParseTestDocument(context, u"<s xmlns:p='urn:p'><!--c--><?pi x?><a/><!--c--><b/><?pi?></s>");
  ASSERT_TRUE(doc.view);
  KTXPathNode* s = doc.view->GetChild(0);
  // The namespace node comes first among the children of s.
  int a = KTInstructionExecutor::FirstInstructionChild(s);
  ASSERT_LT(a, s->GetChildCount());
  EXPECT_EQ(KTUtf16ToUtf8(s->GetChild(a)->GetName()), "a");
  KTXPathNode* b = KTInstructionExecutor::NextInstructionSibling(s->GetChild(a));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(KTUtf16ToUtf8(b->GetName()), "b");
  EXPECT_EQ(KTInstructionExecutor::NextInstructionSibling(b), nullptr);
  EXPECT_EQ(KTInstructionExecutor::NextInstructionSibling(doc.view.get()), nullptr);
  EXPECT_EQ(KTInstructionExecutor::FirstInstructionChild(b), 0);  // no children: the count
  EXPECT_EQ(KTInstructionExecutor::NextChoiceChild(s, a), b->GetIndexInParent());
  EXPECT_EQ(KTInstructionExecutor::NextChoiceChild(s, b->GetIndexInParent()), s->GetChildCount());

  EXPECT_TRUE(KTInstructionExecutor::IsAncestor(doc.view.get(), b));
  EXPECT_TRUE(KTInstructionExecutor::IsAncestor(s, b));
  EXPECT_FALSE(KTInstructionExecutor::IsAncestor(b, b));
  EXPECT_FALSE(KTInstructionExecutor::IsAncestor(b, s));
  EXPECT_FALSE(KTInstructionExecutor::IsAncestor(s, nullptr));
}

class NoOpExecutor : public KTInstructionExecutor {
 public:
  using KTInstructionExecutor::KTInstructionExecutor;
  bool Start() override { return true; }
};

TEST(KTInstructionExecutorTest, NamespaceUrisComeFromTheTreeContext) {
  KTXPathTreeContext context;
  KTTestProcessor processor;
  processor.SetTreeContext(&context);
  NoOpExecutor executor(&processor);
  const KTString* xslt = executor.XsltNamespaceUri();
  ASSERT_NE(xslt, nullptr);
  EXPECT_EQ(*xslt, u"http://www.w3.org/1999/XSL/Transform");
  EXPECT_EQ(xslt, context.InternUri(u"http://www.w3.org/1999/XSL/Transform"));
  EXPECT_EQ(executor.XmlNamespaceUri(), context.GetUriTable().front().get());
  EXPECT_EQ(executor.NextGeneratedPrefixNumber(), 1);
}

}  // namespace

// The syntax-tree node base, its counted handles and the node-factory
// registry.
#include "xpath/ktxpathastnode.h"

#include <gtest/gtest.h>

#include <new>
#include <string>

#include "ktallocationcount.h"
#include "ktxpathtest_util.h"

namespace {

// Counts live instances, so that the tests see when subtrees are freed.
int liveProbes = 0;

class ProbeNode : public KTXPathAstNode {
 public:
  ProbeNode() { ++liveProbes; }
  ~ProbeNode() override { --liveProbes; }

};

TEST(KTXPathAstNode, FreshNodeHasNothing) {
  KTXPathAstNode node;
  EXPECT_EQ(node.GetKind(), -1);
  EXPECT_EQ(node.ChildCount(), 0);
  EXPECT_EQ(node.ChildAt(0), nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(node.TokenText()), "");
  EXPECT_EQ(node.SourcePosition(), 0);
}

// One node holds at most 2^kMaxChildShift children; the next is refused
// with its own exception, which the expression compile turns into an
// invalid expression instead of memory run out, and the node keeps what it
// held.
TEST(KTXPathAstNode, ChildPastTheLimitIsRefusedAsTooManyChildren) {
  const int before = liveProbes;
  {
    KTXPathAstNode parent;
    auto* shared = new ProbeNode;
    const int limit = 1 << KTXPathAstNode::kMaxChildShift;
    for (int i = 0; i < limit; ++i) ASSERT_TRUE(parent.AddChild(shared, kRoleChild));
    EXPECT_THROW(parent.AddChild(shared, kRoleChild), KTXPathAstNode::TooManyChildren);
    EXPECT_EQ(parent.ChildCount(), limit);
    EXPECT_EQ(parent.ChildAt(limit - 1), shared);
  }
  EXPECT_EQ(liveProbes, before);
}

TEST(KTXPathAstNode, SetTokenTextRefusesFromTheLimit) {
  KTXPathAstNode node;
  const std::u16string text(255, u'x');
  ASSERT_TRUE(node.SetTokenText(text.c_str(), 255, 7));
  EXPECT_EQ(node.TokenLength(), 255);
  EXPECT_EQ(node.SourcePosition(), 7);
  const std::u16string longer(256, u'y');
  EXPECT_FALSE(node.SetTokenText(longer.c_str(), 256, 9));
  EXPECT_EQ(node.TokenText(), text);
  EXPECT_EQ(node.SourcePosition(), 7);
}

TEST(KTXPathAstNode, AddChildTakesPositionAndRole) {
  KTXPathAstNode parent;
  EXPECT_FALSE(parent.AddChild(nullptr, 3));
  auto* first = new KTXPathAstNode();
  first->SetSourcePosition(12);
  auto* second = new KTXPathAstNode();
  second->SetSourcePosition(5);
  ASSERT_TRUE(parent.AddChild(first, 3));
  ASSERT_TRUE(parent.AddChild(second, 7));
  EXPECT_EQ(parent.SourcePosition(), 12);
  EXPECT_EQ(first->GetRole(), 3);
  EXPECT_EQ(second->GetRole(), 7);
  EXPECT_EQ(parent.ChildCount(), 2);
  KTNodeHandle a(parent.ChildAt(0));
  KTNodeHandle b(parent.ChildAt(1));
  EXPECT_EQ(a.Get(), first);
  EXPECT_EQ(b.Get(), second);
  // The parent's slot and this handle.
  EXPECT_EQ(b.Count(), 2u);
  EXPECT_EQ(parent.ChildAt(2), nullptr);
}

// A compiled stylesheet holds hundreds of thousands of nodes, most with one
// child: that child is held in place, and the count of references lives in
// the node, so adding it allocates nothing; a second child moves both into
// one array, and further children double it. Arrays of up to
// kPooledNodeBytes come from the nodes' own pool, not the general allocator.
TEST(KTXPathAstNode, OneChildIsHeldWithoutAnAllocation) {
  static_assert(sizeof(KTXPathAstNode) <= 48);
  KTXPathAstNode parent;
  auto* first = new KTXPathAstNode();
  auto* second = new KTXPathAstNode();
  auto* third = new KTXPathAstNode();
  {
    KTAllocationCounter counter;
    ASSERT_TRUE(parent.AddChild(first, 3));
    ASSERT_TRUE(parent.AddChild(second, 3));
    ASSERT_TRUE(parent.AddChild(third, 3));
    EXPECT_EQ(counter.Count(), 0u);
  }
  EXPECT_EQ(parent.ChildAt(0), first);
  EXPECT_EQ(parent.ChildAt(1), second);
  EXPECT_EQ(parent.ChildAt(2), third);
  EXPECT_EQ(parent.ChildAt(3), nullptr);
}

// A child handed over when no room can be had for it is not leaked. The
// array past the pooled size is the first that the general allocator gives.
TEST(KTXPathAstNode, AChildWithoutRoomIsFreed) {
  constexpr int kPooledChildren = KTXPathAstNode::kPooledNodeBytes / sizeof(KTXPathAstNode*);
  liveProbes = 0;
  {
    KTXPathAstNode parent;
    for (int i = 0; i < kPooledChildren; ++i)
      parent.AddChild(new ProbeNode(), 3);
    auto* refused = new ProbeNode();
    EXPECT_EQ(liveProbes, kPooledChildren + 1);
    {
      KTAllocationRefusal refusal;
      EXPECT_THROW(parent.AddChild(refused, 3), std::bad_alloc);
      EXPECT_TRUE(refusal.Refused());
    }
    EXPECT_EQ(liveProbes, kPooledChildren);
    EXPECT_EQ(parent.ChildCount(), kPooledChildren);
  }
  EXPECT_EQ(liveProbes, 0);
}

TEST(KTXPathAstNode, CharacterRunsSplitWhereAnotherChildComesBetween) {
  KTXPathAstNode node;
  node.AppendTokenChar(u'a');
  node.AppendTokenChar(u'b');
  node.AddChild(new KTXPathAstNode(), 3);
  node.AppendTokenChar(u'c');
  ASSERT_EQ(node.ChildCount(), 3);
  EXPECT_EQ(node.ChildAt(0)->GetKind(), kAstCharacterRun);
  EXPECT_EQ(std::u16string(node.ChildAt(0)->TokenText()), u"ab");
  EXPECT_EQ(node.ChildAt(0)->GetRole(), kRoleCharacterRun);
  EXPECT_EQ(std::u16string(node.ChildAt(2)->TokenText()), u"c");
}

TEST(KTXPathAstNode, CharacterRunsGrowPastTheTokenLimit) {
  KTXPathAstNode node;
  for (int i = 0; i < 10000; ++i)
    node.AppendTokenChar(static_cast<char16_t>(u'a' + i % 26));
  ASSERT_EQ(node.ChildCount(), 1);
  EXPECT_EQ(node.ChildAt(0)->TokenLength(), 10000);
}

TEST(KTXPathAstNode, DeletingTheParentDeletesTheSubtreeOnce) {
  liveProbes = 0;
  {
    auto* parent = new ProbeNode();
    auto* child = new ProbeNode();
    child->AddChild(new ProbeNode(), 3);
    child->AddChild(new ProbeNode(), 3);
    parent->AddChild(child, 3);
    parent->AddChild(new ProbeNode(), 3);
    EXPECT_EQ(liveProbes, 5);
    delete parent;
  }
  EXPECT_EQ(liveProbes, 0);
}

TEST(KTXPathAstNode, HandleKeepsAChildAliveAfterItsParent) {
  liveProbes = 0;
  auto* parent = new KTXPathAstNode();
  parent->AddChild(new ProbeNode(), 3);
  KTNodeHandle kept(parent->ChildAt(0));
  delete parent;
  EXPECT_EQ(liveProbes, 1);
  EXPECT_EQ(kept.Count(), 1u);
  kept.Release();
  EXPECT_EQ(liveProbes, 0);
}

TEST(KTXPathAstNode, DeepChainIsFreedWithoutRecursion) {
  auto* root = new KTXPathAstNode();
  KTXPathAstNode* tip = root;
  for (int i = 0; i < 200000; ++i) {
    auto* next = new KTXPathAstNode();
    tip->AddChild(next, 3);
    tip = next;
  }
  delete root;
  SUCCEED();
}

// Freeing runs while an out-of-memory error unwinds too: it may not allocate.
// A chain, a wide node whose children have children, and a child that a
// handle keeps (it outlives the tree, its own children with it).
TEST(KTXPathAstNode, TreesAreFreedWithoutAllocating) {
  liveProbes = 0;
  auto* root = new ProbeNode();
  KTXPathAstNode* tip = root;
  for (int i = 0; i < 20000; ++i) {
    auto* next = new ProbeNode();
    tip->AddChild(next, 3);
    tip = next;
  }
  auto* wide = new ProbeNode();
  root->AddChild(wide, 3);
  for (int i = 0; i < 500; ++i) {
    auto* child = new ProbeNode();
    wide->AddChild(child, 3);
    if (i % 2 == 0) child->AddChild(new ProbeNode(), 3);
    if (i % 5 == 0) child->AddChild(new ProbeNode(), 3);
  }
  KTNodeHandle kept(wide->ChildAt(0));  // the first child, with two children
  const int keptProbes = 3;
  root->AddChild(new ProbeNode(), 3);
  {
    KTAllocationCounter counter;
    delete root;
    EXPECT_EQ(counter.Count(), 0u);
  }
  EXPECT_EQ(liveProbes, keptProbes);
  EXPECT_EQ(kept->ChildCount(), 2);
  kept.Release();
  EXPECT_EQ(liveProbes, 0);
}

TEST(KTXPathAstNode, CloneCopiesKindsTokensAndShape) {
  KTXPathNodeHolder root = CreateNodeOfKind(kAstExpr);
  root->SetTokenText(u"x", 1, 40);
  KTXPathNodeHolder child = CreateNodeOfKind(kAstStep);
  child->AppendTokenChar(u'q');
  KTXPathNodeHolder token = CreateNodeOfKind(kAstToken);
  token->SetTokenText(u"/", 1, 30);
  child->AddChild(token.release(), 3);
  root->AddChild(child.release(), 9);
  std::unique_ptr<KTXPathAstNode> copy(root->CloneSubtree());
  ASSERT_TRUE(copy);
  EXPECT_EQ(AstShape(copy.get()), AstShape(root.get()));
  EXPECT_EQ(copy->SourcePosition(), 0);
  EXPECT_EQ(copy->ChildAt(0)->GetRole(), 3);
  EXPECT_EQ(copy->ChildAt(0)->ChildAt(0)->GetRole(), 3);
  EXPECT_EQ(std::u16string(copy->TokenText()), u"x");
}

TEST(KTIndividualFactory, UnknownKindsGiveNullAndDefaultNodesTakeTheKind) {
  KTIndividualFactory* factory = KTIndividualFactory::Instance();
  EXPECT_EQ(factory->Create(12345), nullptr);
  EXPECT_GT(factory->GetEntryCount(), 0);
  EXPECT_TRUE(factory->IsRegistered(kAstDefault));
  KTXPathNodeHolder node = CreateNodeOfKind(kAstStepContinuation);
  ASSERT_TRUE(node);
  EXPECT_EQ(node->GetKind(), kAstStepContinuation);
}

TEST(KTIndividualFactory, AKindRegisteredFirstKeepsItsCreator) {
  KTIndividualFactory* factory = KTIndividualFactory::Instance();
  factory->Create(kAstDefault);
  const int count = factory->GetEntryCount();
  EXPECT_FALSE(factory->Register(kAstDefault, [] { return static_cast<KTXPathAstNode*>(new ProbeNode()); }));
  EXPECT_EQ(factory->GetEntryCount(), count);
  liveProbes = 0;
  std::unique_ptr<KTXPathAstNode> node(factory->Create(kAstDefault));
  EXPECT_EQ(liveProbes, 0);
}

// CreateNodeOfKind answers a kind without a class with the default class,
// and a kind registered later with its own class from then on; a second
// creator of the default kind changes neither.
TEST(KTIndividualFactory, NodesOfAKindTakeItsClassOnceRegistered) {
  constexpr int kLateKind = 4000;  // no class of the engine claims it
  KTIndividualFactory* factory = KTIndividualFactory::Instance();
  auto probe = [] { return static_cast<KTXPathAstNode*>(new ProbeNode()); };
  factory->Register(kAstDefault, probe);
  liveProbes = 0;
  KTXPathNodeHolder before = CreateNodeOfKind(kLateKind);
  ASSERT_TRUE(before);
  EXPECT_EQ(before->GetKind(), kLateKind);
  EXPECT_EQ(liveProbes, 0);
  ASSERT_TRUE(factory->Register(kLateKind, probe));
  KTXPathNodeHolder after = CreateNodeOfKind(kLateKind);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->GetKind(), kLateKind);
  EXPECT_EQ(liveProbes, 1);
  KTXPathNodeHolder other = CreateNodeOfKind(kLateKind + 1);
  EXPECT_EQ(liveProbes, 1);
}

// Kinds at the edges of the index's blocks, past the default kind and below
// zero each keep their own creator, and the kinds beside them, which no
// class claims, still take the default class.
TEST(KTIndividualFactory, KindsAtTheEdgesOfTheIndexKeepTheirCreators) {
  struct Case {
    int kind;
    int unclaimedNeighbour;
  };
  const Case cases[] = {
      {-7, -8}, {4095, 4094}, {4096, 4097}, {8191 - 2, 8191 - 3}, {kAstDefault + 1, kAstDefault + 2}, {70000, 69999},
  };
  KTIndividualFactory* factory = KTIndividualFactory::Instance();
  factory->Create(kAstDefault);
  auto probe = [] { return static_cast<KTXPathAstNode*>(new ProbeNode()); };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    const int count = factory->GetEntryCount();
    ASSERT_TRUE(factory->Register(c.kind, probe));
    EXPECT_FALSE(factory->Register(c.kind, probe));
    EXPECT_EQ(factory->GetEntryCount(), count + 1);
    EXPECT_TRUE(factory->IsRegistered(c.kind));
    EXPECT_FALSE(factory->IsRegistered(c.unclaimedNeighbour));
    liveProbes = 0;
    std::unique_ptr<KTXPathAstNode> own(factory->CreateOrDefault(c.kind));
    EXPECT_EQ(liveProbes, 1);
    EXPECT_EQ(factory->Create(c.unclaimedNeighbour), nullptr);
    std::unique_ptr<KTXPathAstNode> neighbour(factory->CreateOrDefault(c.unclaimedNeighbour));
    ASSERT_TRUE(neighbour);
    EXPECT_EQ(liveProbes, 1);
  }
}

TEST(CompareChars, BoundedLikeTheWideComparison) {
  EXPECT_EQ(CompareChars(nullptr, nullptr, 3), 0);
  EXPECT_EQ(CompareChars(u"a", nullptr, 3), -1);
  EXPECT_EQ(CompareChars(u"divide", u"div", 3), 0);
  EXPECT_LT(CompareChars(u"ab", u"ac", 2), 0);
  EXPECT_EQ(CompareChars(u"ab", u"ab", 10), 0);
}

}  // namespace

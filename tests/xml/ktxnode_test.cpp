// Tests of the document node model: kinds, editing with the change log,
// tidy-up, document order, copies, kind changes, flags and deep trees.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ktxtest_util.h"
#include "platform/ktwchar.h"
#include "xml/ktxnodecheck.h"

namespace {

TEST(KTXNodeKinds, FactoryNamesAndChildRules) {
  EXPECT_EQ(CreateXNode(16), nullptr);
  EXPECT_EQ(CreateXNode(-1), nullptr);
  const char* names[] = {"XML-Document", "XML-Entity", "DTD-Document", "XML-Tag", "Element", "Attribute",
                         "Text", "CData", "Comment", "Processing instruction", "DOCTYPE", "DOCTYPE-ExternalID",
                         "DOCTYPE-ELEMENT", "DOCTYPE-ATTLIST", "DOCTYPE-ENTITY", "DOCTYPE-NOTATION"};
  for (int k = 0; k < kXNodeKindCount; ++k) {
    auto node = CreateXNode(k);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->GetKind(), k);
    EXPECT_EQ(Utf8(node->GetKindName()), names[k]);
    EXPECT_EQ(GetPrototype(k)->GetKind(), k);
    EXPECT_EQ(node->GetStartOffset(), -1);
  }
  // Allowed children per parent kind, as bit sets over kinds 0..15.
  const unsigned allowed[kXNodeKindCount] = {
      (1u << 3) | (1u << 4) | (1u << 8) | (1u << 9) | (1u << 10),
      0x3F8u,  // 3..9
      (1u << 3) | (1u << 6) | (1u << 8) | (1u << 9) | 0xF000u,
      1u << 5,
      0x3F0u,  // 4..9
      0, 0, 0, 0, 0,
      (1u << 6) | (1u << 8) | (1u << 9) | 0xF800u,
      0,
      1u << 12,
      0, 0, 0};
  for (int parent = 0; parent < kXNodeKindCount; ++parent) {
    for (int child = 0; child < kXNodeKindCount; ++child) {
      EXPECT_EQ(GetPrototype(parent)->CanHaveChild(child), ((allowed[parent] >> child) & 1) != 0)
          << "parent " << parent << " child " << child;
    }
  }
}

TEST(KTXNodeKinds, NamesValuesAndFixedNames) {
  auto text = MakeNode(kText, nullptr, u"abc");
  EXPECT_EQ(Utf8(text->GetName()), "Text");
  EXPECT_FALSE(text->HasName());
  EXPECT_TRUE(text->IsEmpty());

  auto tag = MakeNode(kXmlTag);
  EXPECT_EQ(Utf8(tag->GetName()), "XML");
  EXPECT_FALSE(tag->IsEmpty());

  auto element = MakeNode(kElement, u"xsl:template");
  EXPECT_EQ(Utf8(element->GetLocalName()), "template");
  EXPECT_TRUE(element->HasPrefix());
  auto plain = MakeNode(kElement, u"doc");
  EXPECT_EQ(Utf8(plain->GetLocalName()), "doc");
  EXPECT_FALSE(plain->HasPrefix());
  EXPECT_TRUE(plain->IsEmpty());
  AddNode(plain.get(), kText, nullptr, u"x");
  EXPECT_FALSE(plain->IsEmpty());

  // Pseudo-attributes of a declaration are stored lower-cased; others as given.
  KTXNode* version = AddNode(tag.get(), kAttribute);
  version->SetName(u"Version");
  EXPECT_EQ(Utf8(version->GetName()), "version");
  KTXNode* attr = AddNode(element.get(), kAttribute);
  attr->SetName(u"Version");
  EXPECT_EQ(Utf8(attr->GetName()), "Version");
}

// The lengths a node reports for its name and value are those of the texts
// it answers: stored, fixed (kind names, "XML") or empty, and for values cut
// at a NUL on either side of the exact-size limit.
TEST(KTXNodeKinds, NameAndValueLengthsMatchTheTexts) {
  for (int k = 0; k < kXNodeKindCount; ++k) {
    std::unique_ptr<KTXNode> nodes[] = {CreateXNode(k), MakeNode(k, u"p:name", u"some value")};
    for (const auto& node : nodes) {
      EXPECT_EQ(node->GetNameLength(), KTStrLen(node->GetName())) << k;
      EXPECT_EQ(node->GetValueLength(), KTStrLen(node->GetValue())) << k;
    }
  }
  const std::u16string longValue(KTXValueNode::kExactValueLength + 5, u'x');
  const std::u16string nul(1, u'\0');
  const struct {
    std::u16string text;
    size_t length;
  } values[] = {{u"abc", 3},
                {u"ab" + nul + u"cd", 2},
                {nul + u"z", 0},
                {longValue, longValue.size()},
                {longValue + nul + u"yz", longValue.size()},
                {u"x" + nul + longValue, 1}};
  for (int kind : {kText, kAttribute, kComment}) {
    for (const auto& v : values) {
      auto node = MakeNode(kind, u"n");
      node->SetValue(v.text.data(), static_cast<int>(v.text.size()));
      EXPECT_EQ(node->GetValueLength(), static_cast<int>(v.length)) << kind << " " << v.text.size();
      EXPECT_EQ(KTStrLen(node->GetValue()), static_cast<int>(v.length)) << kind << " " << v.text.size();
    }
  }
}

TEST(KTXNodeEditing, InsertRemoveAndMoveWithChangeLog) {
  auto root = MakeNode(kElement, u"r");
  KTXChangeLog log;
  KTXNode* a = root->AppendChild(MakeNode(kElement, u"a"), &log);
  KTXNode* c = root->AppendChild(MakeNode(kElement, u"c"), &log);
  KTChildIterator at;
  c->GetPositionInParent(at);
  KTXNode* b = root->InsertChild(at, MakeNode(kElement, u"b"), &log);
  EXPECT_EQ(ChildNames(root.get()), "a,b,c");
  EXPECT_EQ(b->GetParent(), root.get());
  ASSERT_EQ(log.GetCount(), 3);
  EXPECT_EQ(log.GetRecord(2).kind, kChangeInserted);
  EXPECT_EQ(log.GetRecord(2).node, b);
  EXPECT_EQ(log.GetRecord(2).parent, root.get());

  // A removal with a log hands the child to the record, which owns it.
  a->GetPositionInParent(at);
  root->RemoveChild(at, &log);
  EXPECT_EQ(ChildNames(root.get()), "b,c");
  KTXChangeRecord& removed = log.GetRecord(3);
  EXPECT_EQ(removed.kind, kChangeRemoved);
  EXPECT_EQ(removed.node, a);
  EXPECT_EQ(removed.parent, root.get());
  EXPECT_EQ(removed.unlinked.get(), a);
  EXPECT_EQ(a->GetParent(), nullptr);
  EXPECT_EQ(a->GetNextSibling(), nullptr);
  EXPECT_EQ(removed.next, b);

  // Without a log the child is deleted at once.
  c->GetPositionInParent(at);
  root->RemoveChild(at, nullptr);
  EXPECT_EQ(ChildNames(root.get()), "b");
  EXPECT_EQ(log.GetCount(), 4);

  // Moving children between containers re-parents them and logs each move.
  auto other = MakeNode(kElement, u"o");
  AddNode(other.get(), kElement, u"x");
  AddNode(other.get(), kElement, u"y");
  AddNode(other.get(), kElement, u"z");
  KTChildIterator first, last;
  other->BeginChildren(first);
  other->GetFirstChild()->GetNextSibling()->GetNextSibling()->GetPositionInParent(last);
  KTXNode* moved = root->TakeChildren(root->EndIterator(), other.get(), first, last, &log, false);
  EXPECT_EQ(Utf8(moved->GetName()), "x");
  EXPECT_EQ(ChildNames(root.get()), "b,x,y");
  EXPECT_EQ(ChildNames(other.get()), "z");
  EXPECT_EQ(moved->GetParent(), root.get());
  EXPECT_EQ(moved->GetNextSibling()->GetParent(), root.get());
  EXPECT_EQ(log.GetRecord(4).kind, kChangeMoved);
  EXPECT_EQ(log.GetRecord(5).kind, kChangeMoved);
  EXPECT_EQ(log.GetRecord(4).parent, other.get());

  // RemoveChildren with a log keeps every child; the container's view state
  // is cleared once it is empty.
  root->SetExpanded(true);
  static_cast<KTXContainerNode*>(root.get())->RemoveChildren(&log);
  EXPECT_FALSE(root->HasChildren());
  EXPECT_FALSE(root->IsExpanded());
  EXPECT_EQ(log.GetCount(), 9);

  // A leaf holds no children: the caller keeps the node it offered.
  auto leaf = MakeNode(kText, nullptr, u"t");
  auto orphan = MakeNode(kElement, u"e");
  EXPECT_EQ(leaf->AppendChild(std::move(orphan)), nullptr);
  EXPECT_NE(orphan, nullptr);
}

// Edits that would hang a node under itself, or link next to a child that
// has left the list, leave both trees as they were.
// Every insertion and removal point (only, first, middle, last) keeps the
// list readable both ways: backward from the last child gives the reverse
// of forward from the first, and the first child has no previous sibling.
TEST(KTXNodeEditing, SiblingLinksBothWays) {
  auto root = MakeNode(kElement, u"r");
  auto check = [&](const std::string& expected) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(ChildNames(root.get()), expected);
    std::string backward;
    for (KTXNode* n = root->GetLastChild(); n; n = n->GetPreviousSibling()) {
      backward = Utf8(n->GetName()) + (backward.empty() ? "" : ",") + backward;
    }
    EXPECT_EQ(backward, expected);
    EXPECT_EQ(root->GetChildCount(), expected.empty() ? 0 : static_cast<int>(expected.size() + 1) / 2);
    if (KTXNode* first = root->GetFirstChild()) {
      EXPECT_EQ(first->GetPreviousSibling(), nullptr);
    }
    if (KTXNode* last = root->GetLastChild()) {
      EXPECT_EQ(last->GetNextSibling(), nullptr);
    }
  };
  auto insertBefore = [&](KTXNode* before, const char16_t* name) {
    KTChildIterator at = before ? static_cast<KTXContainerNode*>(root.get())->IteratorAt(before) : root->EndIterator();
    return root->InsertChild(at, MakeNode(kElement, name), nullptr);
  };
  auto remove = [&](KTXNode* node) {
    KTChildIterator at;
    node->GetPositionInParent(at);
    root->RemoveChild(at, nullptr);
  };
  KTXNode* b = insertBefore(nullptr, u"b");
  check("b");
  KTXNode* a = insertBefore(b, u"a");
  check("a,b");
  KTXNode* d = insertBefore(nullptr, u"d");
  check("a,b,d");
  KTXNode* c = insertBefore(d, u"c");
  check("a,b,c,d");
  remove(a);
  check("b,c,d");
  remove(d);
  check("b,c");
  insertBefore(nullptr, u"e");
  remove(c);
  check("b,e");
  remove(b);
  check("e");
  remove(root->GetFirstChild());
  check("");
  EXPECT_EQ(root->GetLastChild(), nullptr);
}

TEST(KTXNodeEditing, RingsAndStalePositionsRefused) {
  auto root = MakeNode(kElement, u"r");
  KTXNode* a = AddNode(root.get(), kElement, u"a");
  KTXNode* b = AddNode(a, kElement, u"b");
  KTXNode* z = AddNode(root.get(), kElement, u"z");

  // The root under its own grandchild, or a node under itself.
  KTXNode* rootNode = root.get();
  EXPECT_EQ(b->AppendChild(std::move(root)), nullptr);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(rootNode->GetParent(), nullptr);
  auto lone = MakeNode(kElement, u"lone");
  KTXNode* loneNode = lone.get();
  EXPECT_EQ(loneNode->AppendChild(std::move(lone)), nullptr);
  ASSERT_NE(lone, nullptr);
  EXPECT_FALSE(lone->HasChildren());

  // An ancestor moved under its descendant: the whole move is refused.
  KTChildIterator first, last;
  root->BeginChildren(first);
  last = root->EndIterator();
  KTXChangeLog log;
  EXPECT_EQ(b->TakeChildren(b->EndIterator(), root.get(), first, last, &log, false), a);
  EXPECT_EQ(ChildNames(root.get()), "a,z");
  EXPECT_EQ(a->GetParent(), root.get());
  EXPECT_FALSE(b->HasChildren());
  EXPECT_EQ(log.GetCount(), 0);

  // A position whose child has moved to another parent stands for the end.
  auto other = MakeNode(kElement, u"o");
  KTChildIterator atA;
  a->GetPositionInParent(atA);
  KTChildIterator atZ;
  z->GetPositionInParent(atZ);
  other->TakeChildren(other->EndIterator(), root.get(), atA, atZ, nullptr, false);
  EXPECT_EQ(ChildNames(other.get()), "a");
  root->InsertChild(atA, MakeNode(kElement, u"n"), nullptr);
  EXPECT_EQ(ChildNames(root.get()), "z,n");
  EXPECT_EQ(ChildNames(other.get()), "a");
  EXPECT_EQ(root->GetChildCount(), 2);
  EXPECT_EQ(other->GetChildCount(), 1);
  KTChildIterator ignored;
  static_cast<KTXContainerNode*>(root.get())->GatherChildrenOfKind(ignored, kElement, nullptr, atA, kNoStopKind);
  EXPECT_EQ(ChildNames(other.get()), "a");
}

TEST(KTXNodeEditing, KindIteratorAndCounts) {
  auto e = MakeNode(kElement, u"e");
  AddNode(e.get(), kAttribute, u"a1", u"1");
  AddNode(e.get(), kElement, u"c1");
  AddNode(e.get(), kText, nullptr, u"t");
  AddNode(e.get(), kElement, u"c2");
  AddNode(e.get(), kAttribute, u"a2", u"2");
  std::string names;
  KTChildKindIterator it;
  for (e->FirstChildOfKind(it, kElement); !e->IsEnd(it); it.Next()) names += Utf8(it.Node()->GetName());
  EXPECT_EQ(names, "c1c2");
  EXPECT_EQ(e->CountChildrenOfKind(kAttribute), 2);
  EXPECT_EQ(e->CountChildrenOfKind(kComment), 0);
  e->FirstChildOfKind(it, kComment);
  EXPECT_TRUE(e->IsEnd(it));
}

TEST(KTXNodeTidy, NormalizeTextMergesGathersAndMovesValues) {
  struct Case {
    const char* what;
    std::vector<std::pair<int, const char16_t*>> children;  // kind, name or text
    const char16_t* value;
    std::string expectChildren;
    std::string expectValue;
    std::string firstText;
  };
  const Case cases[] = {
      {"adjacent texts merge", {{kText, u"a"}, {kText, u"b"}, {kElement, u"x"}}, nullptr, "Text,x", "", "ab"},
      {"a run merges in one text", {{kText, u"a"}, {kText, u"b"}, {kText, u"c"}, {kComment, u"k"}},
       nullptr, "Text,Comment", "", "abc"},
      {"section-like text stays apart",
       {{kText, u"a"}, {kText, u"<![CDATA[x]]>"}, {kText, u"b"}, {kElement, u"x"}}, nullptr,
       "Text,Text,Text,x", "", "a"},
      {"empty text joins a section-like text", {{kText, u"<![x"}, {kText, u""}, {kElement, u"x"}}, nullptr,
       "Text,x", "", "<![x"},
      {"only child text becomes the value", {{kText, u"a"}, {kText, u"b"}}, nullptr, "", "ab", ""},
      {"attribute and text keep the text", {{kText, u"t"}, {kAttribute, u"id"}}, nullptr, "id,Text", "", "t"},
      {"attributes gather first", {{kElement, u"x"}, {kAttribute, u"a"}, {kText, u"t"}, {kAttribute, u"b"}},
       nullptr, "a,b,x,Text", "", "t"},
      {"value goes before content text", {{kAttribute, u"a"}, {kText, u"t"}, {kElement, u"x"}}, u"v",
       "a,Text,x", "", "vt"},
      {"value becomes a text after attributes", {{kAttribute, u"a"}, {kElement, u"x"}}, u"v", "a,Text,x", "",
       "v"},
  };
  for (const Case& c : cases) {
    auto e = MakeNode(kElement, u"e", c.value);
    for (auto [kind, text] : c.children) {
      if (kind == kText || kind == kComment)
        AddNode(e.get(), kind, nullptr, text);
      else
        AddNode(e.get(), kind, text, u"1");
    }
    e->NormalizeText(nullptr, nullptr);
    EXPECT_EQ(ChildNames(e.get()), c.expectChildren) << c.what;
    EXPECT_EQ(Utf8(e->GetValue()), c.expectValue) << c.what;
    KTChildIterator it;
    e->FirstChildOfKind(it, kText);
    EXPECT_EQ(it.IsEnd() ? "" : Utf8(it.Node()->GetValue()), c.firstText) << c.what;
  }
}

TEST(KTXNodeTidy, MergeKeepsTrackedNodeAndLogs) {
  auto e = MakeNode(kElement, u"e");
  KTXNode* a = AddNode(e.get(), kText, nullptr, u"a");
  KTXNode* b = AddNode(e.get(), kText, nullptr, u"b");
  AddNode(e.get(), kElement, u"x");
  KTXNode* tracked = b;
  KTXChangeLog log;
  e->NormalizeText(&log, &tracked);
  EXPECT_EQ(tracked, a);
  ASSERT_EQ(log.GetCount(), 2);
  EXPECT_EQ(log.GetRecord(0).kind, kChangeValue);
  EXPECT_EQ(log.GetRecord(0).node, a);
  EXPECT_EQ(Utf8(log.GetRecord(0).oldText), "a");
  EXPECT_EQ(log.GetRecord(1).kind, kChangeRemoved);
  EXPECT_EQ(log.GetRecord(1).node, b);  // still alive: the record owns it
  EXPECT_EQ(Utf8(b->GetValue()), "b");

  // The only-child case: the text moves into the element, tracked follows.
  auto f = MakeNode(kElement, u"f");
  KTXNode* t = AddNode(f.get(), kText, nullptr, u"t");
  tracked = t;
  KTXChangeLog log2;
  f->NormalizeText(&log2, &tracked);
  EXPECT_EQ(tracked, f.get());
  EXPECT_EQ(Utf8(f->GetValue()), "t");
  ASSERT_EQ(log2.GetCount(), 2);
  EXPECT_EQ(log2.GetRecord(0).kind, kChangeRemoved);
  EXPECT_EQ(log2.GetRecord(1).kind, kChangeValue);
  EXPECT_EQ(Utf8(log2.GetRecord(1).oldText), "");
}

TEST(KTXNodeTidy, ApplyToSubtreeOrdersPrologAndTidiesElements) {
  auto doc = MakeNode(kXmlDocument);
  AddNode(doc.get(), kComment, nullptr, u"c0");
  KTXNode* root = AddNode(doc.get(), kElement, u"root");
  AddNode(doc.get(), kComment, nullptr, u"c1");
  AddNode(doc.get(), kDoctype, u"root");
  AddNode(doc.get(), kXmlTag);
  KTXNode* inner = AddNode(root, kElement, u"inner");
  AddNode(inner, kText, nullptr, u"x");
  AddNode(inner, kText, nullptr, u"y");
  AddNode(inner, kAttribute, u"a", u"1");

  doc->ApplyToSubtree(nullptr, nullptr);
  EXPECT_EQ(ChildNames(doc.get()), "XML-Tag,Comment,root,root,Comment");
  EXPECT_EQ(doc->GetFirstChild()->GetNextSibling()->GetNextSibling()->GetKind(), kDoctype);
  EXPECT_EQ(ChildNames(inner), "a,Text");
  EXPECT_EQ(Utf8(inner->GetLastChild()->GetValue()), "xy");

  // DOCTYPE: external ids first; texts merged, but a DOCTYPE keeps no value.
  auto doctype = MakeNode(kDoctype, u"d");
  AddNode(doctype.get(), kText, nullptr, u"%a;");
  AddNode(doctype.get(), kText, nullptr, u"%b;");
  AddNode(doctype.get(), kDoctypeExternalId, u"SYSTEM", u"'d.dtd'");
  doctype->ApplyToSubtree(nullptr, nullptr);
  EXPECT_EQ(ChildNames(doctype.get()), "SYSTEM,Text");
  EXPECT_EQ(Utf8(doctype->GetLastChild()->GetValue()), "%a;%b;");
}

TEST(KTXNodeTidy, PrologMovesAreLogged) {
  auto doc = MakeNode(kXmlDocument);
  KTXNode* root = AddNode(doc.get(), kElement, u"root");
  KTXNode* comment = AddNode(doc.get(), kComment, nullptr, u"c");
  KTXNode* doctype = AddNode(doc.get(), kDoctype, u"root");
  KTXNode* tag = AddNode(doc.get(), kXmlTag);
  KTXChangeLog log;
  doc->ApplyToSubtree(&log, nullptr);
  EXPECT_EQ(ChildNames(doc.get()), "XML-Tag,root,root,Comment");
  EXPECT_EQ(doc->GetFirstChild(), tag);
  EXPECT_EQ(tag->GetNextSibling(), doctype);
  // Each move names the node, the sibling it stood before and the parent.
  ASSERT_EQ(log.GetCount(), 2);
  for (int i = 0; i < 2; ++i) {
    const KTXChangeRecord& record = log.GetRecord(i);
    EXPECT_EQ(record.kind, kChangeMoved);
    EXPECT_EQ(record.parent, doc.get());
    EXPECT_EQ(record.unlinked, nullptr);
  }
  EXPECT_EQ(log.GetRecord(0).node, tag);
  EXPECT_EQ(log.GetRecord(0).next, nullptr);
  EXPECT_EQ(log.GetRecord(1).node, doctype);
  EXPECT_EQ(log.GetRecord(1).next, nullptr);
  EXPECT_EQ(doctype->GetNextSibling(), root);
  EXPECT_EQ(root->GetNextSibling(), comment);
}

TEST(KTXNodeTidy, ValueToTextChildAndRemoveEmptyTexts) {
  auto doc = MakeNode(kXmlDocument);
  KTXNode* r = AddNode(doc.get(), kElement, u"r", u"rv");
  KTXNode* a = AddNode(r, kElement, u"a", u"av");
  AddNode(r, kText, nullptr, u"");
  AddNode(a, kAttribute, u"x", u"1");  // a has a child: its value stays
  r->SetValue(u"");
  KTXNode* b = AddNode(r, kElement, u"b", u"bv");
  doc->ValueToTextChildInSubtree();
  EXPECT_EQ(ChildNames(b), "Text");
  EXPECT_EQ(Utf8(b->GetValue()), "");
  EXPECT_EQ(Utf8(a->GetValue()), "av");

  KTXChangeLog log;
  doc->RemoveEmptyTextsInSubtree(&log);
  EXPECT_EQ(ChildNames(r), "a,b");
  EXPECT_EQ(log.GetCount(), 1);
}

TEST(KTXNodeOrder, NextInDocumentOrderBothWays) {
  auto doc = MakeNode(kXmlDocument);
  KTXNode* r = AddNode(doc.get(), kElement, u"r");
  KTXNode* a = AddNode(r, kElement, u"a");
  AddNode(a, kAttribute, u"x", u"1");
  KTXNode* a1 = AddNode(a, kElement, u"a1");
  AddNode(a1, kText, nullptr, u"t");
  KTXNode* b = AddNode(r, kElement, u"b");
  KTXNode* c = AddNode(doc.get(), kComment, nullptr, u"c");

  std::vector<KTXNode*> forward;
  for (KTXNode* n = r; n; n = n->NextInDocumentOrder(true)) forward.push_back(n);
  ASSERT_EQ(forward.size(), 7u);
  EXPECT_EQ(forward[1], a);
  EXPECT_EQ(forward[5], b);
  EXPECT_EQ(forward[6], c);
  EXPECT_EQ(c->NextInDocumentOrder(true), nullptr);

  std::vector<KTXNode*> backward;
  for (KTXNode* n = c; n != doc.get(); n = n->NextInDocumentOrder(false)) backward.push_back(n);
  EXPECT_EQ(std::vector<KTXNode*>(forward.rbegin(), forward.rend()), backward);
  EXPECT_EQ(a->GetFirstChild()->NextInDocumentOrder(false), a);
  EXPECT_EQ(doc->NextInDocumentOrder(true), nullptr);
}

TEST(KTXNodeCopy, CloneCopyAndCopyShallow) {
  auto e = MakeNode(kElement, u"e");
  AddNode(e.get(), kAttribute, u"a", u"1");
  KTXNode* child = AddNode(e.get(), kElement, u"c", u"cv");
  child->SetFlag(true, true, kFlagWrite);
  e->SetExpanded(true);
  e->SetOffsets(3, 9);

  auto copy = e->Clone(true);
  EXPECT_EQ(ChildNames(copy.get()), "a,c");
  for (KTXNode* n = copy->GetFirstChild(); n; n = n->GetNextSibling()) EXPECT_EQ(n->GetParent(), copy.get());
  KTXNode* copiedChild = copy->GetLastChild();
  EXPECT_NE(copiedChild, child);
  EXPECT_EQ(Utf8(copiedChild->GetValue()), "cv");
  EXPECT_EQ(copiedChild->GetFlagByte(), 0);  // reset
  EXPECT_FALSE(copy->IsExpanded());
  EXPECT_EQ(copy->GetStartOffset(), 3);
  copiedChild->SetValue(u"changed");
  EXPECT_EQ(Utf8(child->GetValue()), "cv");

  auto kept = e->Clone(false);
  EXPECT_TRUE(kept->IsExpanded());
  EXPECT_EQ(kept->GetLastChild()->GetFlagByte(), child->GetFlagByte());

  // Declaration fields travel with a clone.
  auto decl = MakeNode(kDoctypeElement, u"d");
  auto* de = static_cast<KTDoctypeElementNode*>(decl.get());
  de->SetContentType(kContentChoice);
  auto* particle = static_cast<KTDoctypeElementNode*>(AddNode(decl.get(), kDoctypeElement, u"p"));
  particle->SetOccurrence(2);
  auto declCopy = decl->Clone(true);
  EXPECT_EQ(Utf8(declCopy->GetTypeCode()), "30");
  EXPECT_EQ(Utf8(declCopy->GetFirstChild()->GetTypeCode()), "72");

  // Copy takes the value only while it is in use; CopyShallow never.
  auto leafy = MakeNode(kElement, u"l", u"lv");
  EXPECT_EQ(Utf8(leafy->Copy()->GetValue()), "lv");
  EXPECT_EQ(Utf8(leafy->CopyShallow()->GetValue()), "");
  auto pi = MakeNode(kProcessingInstruction, u"target", u"data");
  auto piCopy = pi->Copy();
  EXPECT_EQ(Utf8(piCopy->GetName()), "target");
  EXPECT_EQ(Utf8(piCopy->GetValue()), "data");
  EXPECT_FALSE(e->Copy()->HasChildren());
}

TEST(KTXNodeKindChange, CanChangeKindToAndChangeKind) {
  auto doc = MakeNode(kXmlDocument);
  KTXNode* r = AddNode(doc.get(), kElement, u"r");
  KTXNode* e = AddNode(r, kElement, u"e");
  AddNode(e, kAttribute, u"a", u"1");
  AddNode(e, kText, nullptr, u"t");
  KTXNode* leaf = AddNode(r, kElement, u"leaf", u"v");

  EXPECT_FALSE(e->CanChangeKindTo(kElement));          // own kind
  EXPECT_FALSE(e->CanChangeKindTo(kDoctypeElement));   // never 12 or 13
  EXPECT_FALSE(e->CanChangeKindTo(kComment));          // children need a container
  EXPECT_FALSE(r->CanChangeKindTo(kText));             // a document holds no text
  EXPECT_TRUE(leaf->CanChangeKindTo(kProcessingInstruction));
  EXPECT_FALSE(doc->CanChangeKindTo(kXmlEntity));
  EXPECT_EQ(doc->ChangeKind(kXmlEntity, nullptr), nullptr);

  KTXChangeLog log;
  KTXNode* pi = leaf->ChangeKind(kProcessingInstruction, &log);
  ASSERT_NE(pi, nullptr);
  EXPECT_EQ(pi->GetKind(), kProcessingInstruction);
  EXPECT_EQ(Utf8(pi->GetName()), "leaf");
  EXPECT_EQ(Utf8(pi->GetValue()), "v");
  EXPECT_EQ(pi->GetParent(), r);
  EXPECT_EQ(ChildNames(r), "e,leaf");
  EXPECT_EQ(log.GetRecord(log.GetCount() - 1).kind, kChangeRemoved);
  EXPECT_EQ(log.GetRecord(log.GetCount() - 1).node, leaf);  // kept by the record

  // Without a log the old node is deleted at once; its children live on in
  // the new node, which takes its place between the same siblings.
  KTXNode* before = AddNode(r, kComment, nullptr, u"before");
  KTXNode* box = AddNode(r, kElement, u"box");
  KTXNode* after = AddNode(r, kComment, nullptr, u"after");
  KTXNode* inner = AddNode(box, kElement, u"inner");
  AddNode(box, kComment, nullptr, u"c");
  box->SetFlag(true, true, kFlagWrite);
  KTXNode* entity = box->ChangeKind(kXmlEntity, nullptr);
  ASSERT_NE(entity, nullptr);
  EXPECT_EQ(entity->GetPreviousSibling(), before);
  EXPECT_EQ(entity->GetNextSibling(), after);
  EXPECT_EQ(entity->GetChildCount(), 2);
  EXPECT_EQ(entity->GetFirstChild(), inner);
  EXPECT_EQ(inner->GetParent(), entity);
  EXPECT_EQ(entity->GetLastChild()->GetParent(), entity);
  EXPECT_TRUE(entity->TestFlag(nullptr, kFlagWrite));

  // A root container keeps its children under the new kind.
  auto element = MakeNode(kElement, u"top");
  AddNode(element.get(), kText, nullptr, u"x");
  AddNode(element.get(), kElement, u"k");
  KTXNode* asDoctype = KTXNode::ChangeRootKind(element, kDoctype);
  ASSERT_NE(asDoctype, nullptr);
  EXPECT_EQ(element.get(), asDoctype);
  EXPECT_EQ(Utf8(asDoctype->GetName()), "top");
  EXPECT_EQ(ChildNames(asDoctype), "Text,k");
  EXPECT_EQ(asDoctype->GetFirstChild()->GetParent(), asDoctype);
}

// GetChildFlagState on three small trees: children in one state, children
// that disagree (two on, or one on beside a partial one), a filter that hides
// a child, and a value inherited from an ancestor.
TEST(KTXNodeFlags, ChildFlagStateOnThreeTrees) {
  // r(a b c): only a is on.
  auto r = MakeNode(kElement, u"r");
  KTXNode* a = AddNode(r.get(), kElement, u"a");
  AddNode(r.get(), kElement, u"b");
  KTXNode* c = AddNode(r.get(), kComment);
  a->SetFlag(true, true, kFlagChecked);
  bool partial = true;
  EXPECT_TRUE(r->GetChildFlagState(nullptr, partial, kFlagChecked));
  EXPECT_FALSE(partial);
  // c on too: two children on. A filter that shows elements only hides c.
  c->SetFlag(true, true, kFlagChecked);
  EXPECT_FALSE(r->GetChildFlagState(nullptr, partial, kFlagChecked));
  KTXViewFilter elementsOnly;
  elementsOnly.kinds[kElement] = 1;
  EXPECT_TRUE(r->GetChildFlagState(&elementsOnly, partial, kFlagChecked));

  // s(x(x1 x2) y): x's children are both on, so x is partial; beside it y
  // on makes s's children disagree, and y off leaves s in one state, partial.
  auto s = MakeNode(kElement, u"s");
  KTXNode* x = AddNode(s.get(), kElement, u"x");
  AddNode(x, kElement, u"x1")->SetFlag(true, true, kFlagChecked);
  AddNode(x, kElement, u"x2")->SetFlag(true, true, kFlagChecked);
  KTXNode* y = AddNode(s.get(), kElement, u"y");
  EXPECT_FALSE(x->GetChildFlagState(nullptr, partial, kFlagChecked));
  EXPECT_TRUE(s->GetChildFlagState(nullptr, partial, kFlagChecked));
  EXPECT_TRUE(partial);
  y->SetFlag(true, true, kFlagChecked);
  EXPECT_FALSE(s->GetChildFlagState(nullptr, partial, kFlagChecked));

  // t(u(v w)): t sets the flag on, so v and w inherit it and u's children
  // are two on; with t off they are none.
  auto t = MakeNode(kElement, u"t");
  KTXNode* u = AddNode(t.get(), kElement, u"u");
  AddNode(u, kElement, u"v");
  AddNode(u, kElement, u"w");
  EXPECT_TRUE(u->GetChildFlagState(nullptr, partial, kFlagChecked));
  EXPECT_FALSE(partial);
  t->SetFlag(true, true, kFlagChecked);
  EXPECT_FALSE(u->GetChildFlagState(nullptr, partial, kFlagChecked));
  EXPECT_TRUE(t->GetChildFlagState(nullptr, partial, kFlagChecked));
  EXPECT_TRUE(partial);  // u, on by inheritance, is partial itself
}

TEST(KTXNodeFlags, TestFlagAndSetFlagPushDown) {
  auto g = MakeNode(kElement, u"g");
  KTXNode* p = AddNode(g.get(), kElement, u"p");
  KTXNode* uncle = AddNode(g.get(), kElement, u"u");
  KTXNode* n = AddNode(p, kElement, u"n");
  KTXNode* sibling = AddNode(p, kElement, u"s");

  g->SetFlag(true, true, kFlagWrite);
  bool setHere = false;
  EXPECT_TRUE(n->TestFlag(&setHere, kFlagWrite));
  EXPECT_TRUE(setHere);

  n->SetFlag(false, true, kFlagWrite);
  EXPECT_FALSE(n->TestFlag(nullptr, kFlagWrite));
  g->TestFlag(&setHere, kFlagWrite);
  EXPECT_FALSE(setHere);  // the grandparent handed its setting down
  for (KTXNode* node : {p, uncle, sibling}) {
    EXPECT_TRUE(node->TestFlag(&setHere, kFlagWrite)) << Utf8(node->GetName());
  }
  sibling->TestFlag(&setHere, kFlagWrite);
  EXPECT_TRUE(setHere);
  uncle->TestFlag(&setHere, kFlagWrite);
  EXPECT_TRUE(setHere);
  // Other flags are left alone.
  EXPECT_FALSE(n->TestFlag(nullptr, kFlagChecked));
}

TEST(KTXNodeView, ExtentsAndFilter) {
  auto doc = MakeNode(kXmlDocument);
  KTXNode* r = AddNode(doc.get(), kElement, u"r");
  AddNode(r, kElement, u"a");
  AddNode(r, kComment, nullptr, u"c");
  r->SetExpanded(true);
  doc->UpdateSubtreeExtent(nullptr);
  int columns = 0, rows = 0;
  r->GetExtent(columns, rows);
  EXPECT_EQ(columns, 6);  // widest child 4, plus 2 for a node with a parent
  EXPECT_EQ(rows, 3);
  doc->GetExtent(columns, rows);
  EXPECT_EQ(rows, 3);  // a document is always expanded and adds nothing

  KTXViewFilter elementsOnly;
  elementsOnly.kinds[kElement] = 1;
  EXPECT_FALSE(r->GetLastChild()->IsShown(&elementsOnly));
  doc->UpdateSubtreeExtent(&elementsOnly);
  r->GetExtent(columns, rows);
  EXPECT_EQ(rows, 2);
  elementsOnly.checkedOnly = 1;
  EXPECT_FALSE(r->IsShown(&elementsOnly));
  r->SetFlag(true, true, kFlagChecked);
  EXPECT_TRUE(r->IsShown(&elementsOnly));
}

// Names are shared between the nodes that carry them: renaming or deleting
// one node leaves the others as they were, and a name no node holds any more
// is gone from the table.
TEST(KTXNodeStorage, SharedNamesStayIndependent) {
  const size_t before = KTXName::GetInternedCount();
  {
    auto a = MakeNode(kElement, u"shared-name");
    auto b = MakeNode(kElement, u"shared-name");
    KTXNode* attr = AddNode(a.get(), kAttribute, u"shared-name", u"v");
    EXPECT_EQ(KTXName::GetInternedCount(), before + 1);
    b->SetName(u"other-name");
    EXPECT_EQ(Utf8(a->GetName()), "shared-name");
    EXPECT_EQ(Utf8(attr->GetName()), "shared-name");
    auto copy = a->Clone(true);
    a->SetName(nullptr);
    EXPECT_EQ(Utf8(a->GetName()), "");
    EXPECT_EQ(Utf8(copy->GetName()), "shared-name");
    EXPECT_EQ(Utf8(copy->GetFirstChild()->GetName()), "shared-name");
    // Like a string assignment, a name ends at its first NUL.
    b->SetName(u"ab\0cd", 5);
    EXPECT_EQ(static_cast<KTXNamedNode*>(b.get())->NameString().GetLength(), 2);
    EXPECT_TRUE(b->HasSameKindAndName(*MakeNode(kElement, u"ab")));
  }
  EXPECT_EQ(KTXName::GetInternedCount(), before);
}

// Many distinct names, half of them released in an interleaved order: the
// table must still find every name that is left and reuse it.
TEST(KTXNodeStorage, ManyNamesComeAndGo) {
  const size_t before = KTXName::GetInternedCount();
  std::vector<std::unique_ptr<KTXNode>> nodes;
  for (int i = 0; i < 5000; ++i) {
    std::u16string name = u"n";
    for (char c : std::to_string(i * 7919)) name += static_cast<char16_t>(c);
    nodes.push_back(MakeNode(kElement, name.c_str()));
  }
  EXPECT_EQ(KTXName::GetInternedCount(), before + 5000);
  for (int i = 0; i < 5000; i += 2) nodes[i].reset();
  EXPECT_EQ(KTXName::GetInternedCount(), before + 2500);
  for (int i = 1; i < 5000; i += 2) {
    auto twin = MakeNode(kAttribute, nodes[i]->GetName());
    ASSERT_TRUE(twin->HasSameKindAndName(*MakeNode(kAttribute, nodes[i]->GetName())));
    ASSERT_EQ(KTXName::GetInternedCount(), before + 2500) << i;
  }
  nodes.clear();
  EXPECT_EQ(KTXName::GetInternedCount(), before);
}

// A name assigned right after another that differs from it in one unit,
// at every place and for short and longer names: the two stay two names
// (a recently assigned name is known again by a quick key and compare).
TEST(KTXNodeStorage, NamesDifferingInOneUnitStayApart) {
  for (size_t length = 1; length <= 12; ++length) {
    const std::u16string base = std::u16string(u"abcdefghijkl").substr(0, length);
    for (size_t at = 0; at < length; ++at) {
      std::u16string changed = base;
      changed[at] = u'x';
      SCOPED_TRACE(Utf8(changed.c_str()));
      auto a = MakeNode(kElement, base.c_str());
      auto b = MakeNode(kElement, changed.c_str());
      auto c = MakeNode(kElement, base.c_str());
      EXPECT_EQ(Utf8(b->GetName()), Utf8(changed.c_str()));
      EXPECT_FALSE(a->HasSameKindAndName(*b));
      EXPECT_EQ(a->GetName(), c->GetName());  // one interned text
      EXPECT_NE(a->GetName(), b->GetName());
    }
  }
}

TEST(KTXNodeStorage, ValuesAndExtentsOfReusedNodes) {
  // Values set from a part of the node's own value, across the exact-size limit.
  auto text = MakeNode(kText, nullptr, u"0123456789");
  text->SetValue(text->GetValue() + 2, 3);
  EXPECT_EQ(Utf8(text->GetValue()), "234");
  const std::u16string longValue(KTXValueNode::kExactValueLength + 5, u'x');
  text->SetValue(longValue.c_str(), static_cast<int>(longValue.size()));
  EXPECT_EQ(KTStrLen(text->GetValue()), static_cast<int>(longValue.size()));
  text->SetValue(text->GetValue() + 1, 2);
  EXPECT_EQ(Utf8(text->GetValue()), "xx");

  // Extents travel with a plain clone, go with a reset one, and never pass
  // to a node made where a deleted one stood.
  auto doc = MakeNode(kXmlDocument);
  KTXNode* r = AddNode(doc.get(), kElement, u"r");
  AddNode(r, kElement, u"a");
  r->SetExpanded(true);
  doc->UpdateSubtreeExtent(nullptr);
  auto kept = r->Clone(false);
  int columns = 0, rows = 0;
  kept->GetExtent(columns, rows);
  EXPECT_EQ(columns, 6);
  EXPECT_EQ(rows, 2);
  auto reset = r->Clone(true);
  reset->SetExpanded(true);
  reset->GetExtent(columns, rows);
  EXPECT_EQ(columns, 0);
  EXPECT_EQ(rows, 0);
  doc.reset();
  kept.reset();
  for (int i = 0; i < 100; ++i) {
    auto fresh = MakeNode(kElement, u"f");
    fresh->SetExpanded(true);
    fresh->GetExtent(columns, rows);
    ASSERT_EQ(columns, 0);
    ASSERT_EQ(rows, 0);
  }
}

// Trees far deeper than the parser's nesting limit: every walk must run
// without recursion.
TEST(KTXNodeDeep, WalksSurviveVeryDeepTrees) {
  constexpr int kDepth = 100000;
  auto doc = MakeNode(kXmlDocument);
  KTXNode* node = AddNode(doc.get(), kElement, u"e");
  for (int i = 1; i < kDepth; ++i) {
    node = AddNode(node, kElement, u"e");
    AddNode(node, kText, nullptr, u"a");
    AddNode(node, kText, nullptr, u"b");
  }
  KTXNode* deepest = node;

  doc->ApplyToSubtree(nullptr, nullptr);
  EXPECT_EQ(Utf8(deepest->GetValue()), "ab");

  auto copy = doc->Clone(true);
  int depth = 0;
  for (KTXNode* n = copy->GetFirstChild(); n; n = n->GetLastChild()) {
    if (n->GetKind() == kElement) ++depth;
  }
  EXPECT_EQ(depth, kDepth);

  const KTWriteOptions options{.recordOffsets = true};
  std::string text = WriteTree(doc.get(), options);
  // <e>\n ... <e>ab<e>...</e>\n</e> ... \n</e> and the document's line end.
  EXPECT_EQ(text.size(), static_cast<size_t>(kDepth) * 10 - 1);
  EXPECT_EQ(deepest->GetEndOffset() - deepest->GetStartOffset(), 9);  // <e>ab</e>

  int steps = 0;
  for (KTXNode* n = doc->GetFirstChild(); n; n = n->NextInDocumentOrder(true)) ++steps;
  EXPECT_EQ(steps, 2 * kDepth - 2);  // the elements and their merged texts

  KTTextChecker checker(nullptr);
  checker.SetDisabled(true);
  EXPECT_TRUE(doc->ValidateSubtree(checker));
  doc->UpdateSubtreeExtent(nullptr);
  doc->ValueToTextChildInSubtree();
  doc->RemoveEmptyTextsInSubtree(nullptr);
  copy.reset();
  doc.reset();  // destruction is iterative as well
}

}  // namespace

// A value stored from a text known to hold no NUL is the value StoreValue
// leaves, in a block of the same size, with its length known: values short
// and long (either side of the exact-size limit), into an empty value and
// into one holding a shorter or a longer text already.
TEST(KTXNodeStorage, ValueWithoutNulMatchesStoredValue) {
  std::u16string source;
  for (int i = 0; i < 200; ++i) source += static_cast<char16_t>(u'a' + i % 26);
  for (int before : {0, 3, 70, 150}) {
    for (int length : {0, 1, 15, 16, 63, 64, 65, 66, 100, 150, 200}) {
      KTString stored;
      KTString without;
      KTXValueNode::StoreValue(stored, source.c_str() + 7, before > 0 ? before : 0);
      KTXValueNode::StoreValue(without, source.c_str() + 7, before > 0 ? before : 0);
      KTXValueNode::StoreValue(stored, source.c_str(), length);
      KTXValueNode::StoreValueWithoutNul(without, source.c_str(), length);
      EXPECT_EQ(without.View(), stored.View()) << before << " " << length;
      EXPECT_EQ(without.GetLength(), length) << before << " " << length;
      EXPECT_EQ(without.GetCapacity(), stored.GetCapacity()) << before << " " << length;
    }
  }
}

// Pending attributes: the attributes of a start tag that an element built by
// the loader keeps in a compact block until its children are asked for. The
// nodes made from them must be what the loader made before (fields and
// order), counting must not make them, every editing operation must come out
// as on an element whose nodes exist, the load must not make them, and the
// checks of the load must fail with the same messages either way.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ktloadtest_util.h"
#include "ktxtest_util.h"
#include "platform/ktutf8.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocwellformed.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktparserdriver.h"
#include "xml/ktxnode.h"
#include "xml/ktxnodekinds.h"
#include "xml/ktxwriter.h"

namespace {

std::string U8(std::u16string_view s) { return KTUtf16ToUtf8(s); }

const KTXCompactAttributes* Pending(const KTXNode* element) {
  return static_cast<const KTXContainerNode*>(element)->GetPendingAttributes();
}

// The first element child, found without making any node.
KTXNode* FirstElement(const KTXNode* parent) {
  for (KTXNode* c = parent->GetFirstMadeChild(); c; c = c->GetNextSibling())
    if (c->GetKind() == kElement) return c;
  return nullptr;
}

// Every node of the subtree with its kind, name, value, offsets and flag
// byte, in document order (this makes the nodes of pending attributes).
std::string Dump(const KTXNode* node) {
  std::string out = U8(node->GetKindName());
  if (node->HasName()) out += " " + U8(node->GetName());
  out += " \"" + U8(node->GetValue()) + "\" " + std::to_string(node->GetStartOffset()) + "-" +
         std::to_string(node->GetEndOffset()) + " f" + std::to_string(node->GetFlagByte()) + " n" +
         std::to_string(node->GetChildCount());
  if (node->HasChildren()) {
    out += "{";
    for (const KTXNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) out += Dump(c) + ";";
    out += "}";
  }
  return out;
}

void MakeAllNodes(KTXNode* node) {
  for (KTXNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) MakeAllNodes(c);
}

// A document parsed and tidied as the loader does, without the checks.
struct Parsed {
  std::u16string text;
  std::unique_ptr<KTXNode> document = CreateXNode(kXmlDocument);
  KTParserDriver driver;
  KTLoadStatus status;
  bool ok = false;
};

std::unique_ptr<Parsed> Parse(std::u16string_view text) {
  auto p = std::make_unique<Parsed>();
  p->text = text;
  p->ok = p->driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), true, true, true) &&
          p->driver.Parse(p->text.c_str(), static_cast<int>(p->text.size()), p->status, p->document.get(), nullptr,
                          true);
  return p;
}

TEST(PendingAttributesTest, NodesAreMadeInOrderWithTheBuildsFields) {
  const std::u16string text = u"<r><e b=\"1\" a='x&amp;y'\n   c=\"\">t</e><f/></r>";
  auto p = Parse(text);
  ASSERT_TRUE(p->ok) << StatusMessage(p->status);
  KTXNode* e = FirstElement(FirstElement(p->document.get()));
  ASSERT_NE(e, nullptr);
  ASSERT_NE(Pending(e), nullptr);
  EXPECT_EQ(Pending(e)->Count(), 3);

  KTXNode* first = e->GetFirstChild();
  EXPECT_EQ(Pending(e), nullptr);
  struct Expected {
    const char16_t* written;  // the attribute as the start tag writes it
    const char* name;
    const char* value;
  };
  const Expected expected[] = {{u"b=\"1\"", "b", "1"}, {u"a='x&amp;y'", "a", "x&amp;y"}, {u"c=\"\"", "c", ""}};
  KTXNode* at = first;
  for (const Expected& x : expected) {
    ASSERT_NE(at, nullptr);
    const int start = static_cast<int>(text.find(x.written));
    EXPECT_EQ(at->GetKind(), kAttribute);
    EXPECT_EQ(at->GetParent(), e);
    EXPECT_EQ(U8(at->GetName()), x.name);
    EXPECT_EQ(U8(at->GetValue()), x.value);
    EXPECT_EQ(at->GetValueLength(), static_cast<int>(std::strlen(x.value)));
    EXPECT_EQ(at->GetStartOffset(), start) << x.name;
    EXPECT_EQ(at->GetEndOffset(), start + static_cast<int>(std::u16string_view(x.written).size())) << x.name;
    EXPECT_EQ(at->GetFlagByte(), 0);
    at = at->GetNextSibling();
  }
  // The content follows the attributes; the links run both ways.
  ASSERT_NE(at, nullptr);
  EXPECT_EQ(at->GetKind(), kText);
  EXPECT_EQ(U8(at->GetPreviousSibling()->GetName()), "c");
  EXPECT_EQ(first->GetPreviousSibling(), nullptr);
  EXPECT_EQ(e->GetLastChild(), at);
  EXPECT_EQ(e->GetChildCount(), 4);
  // Names are shared with the name table as a node's own would be.
  EXPECT_EQ(first->InternedName()->c_str(), first->InternedName()->c_str());
}

TEST(PendingAttributesTest, CountingMakesNoNode) {
  // An element with attributes only, and one with attributes and content.
  auto p = Parse(u"<r><e a='1' b='2'/><g c='3'>x<h/></g></r>");
  ASSERT_TRUE(p->ok) << StatusMessage(p->status);
  KTXNode* r = FirstElement(p->document.get());
  KTXNode* e = FirstElement(r);
  KTXNode* g = e->GetNextSibling();
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(e->GetChildCount(), 2);
  EXPECT_TRUE(e->HasChildren());
  EXPECT_FALSE(e->IsEmpty());
  EXPECT_EQ(e->CountChildrenOfKind(kAttribute), 2);
  EXPECT_EQ(e->GetFirstMadeChild(), nullptr);
  EXPECT_EQ(g->GetChildCount(), 3);
  EXPECT_EQ(g->CountChildrenOfKind(kAttribute), 1);
  EXPECT_EQ(g->CountChildrenOfKind(kText), 1);
  EXPECT_EQ(g->GetFirstMadeChild()->GetKind(), kText);
  EXPECT_TRUE(g->IsExpandable());
  for (int kind = 0; kind < kXNodeKindCount; ++kind) EXPECT_FALSE(g->CanChangeKindTo(kind)) << kind;
  EXPECT_NE(Pending(e), nullptr);
  EXPECT_NE(Pending(g), nullptr);
  // The same answers once the nodes exist.
  MakeAllNodes(p->document.get());
  EXPECT_EQ(e->GetChildCount(), 2);
  EXPECT_EQ(g->GetChildCount(), 3);
  EXPECT_EQ(g->CountChildrenOfKind(kAttribute), 1);
}

// Each operation runs on a fresh document twice: on the root element with
// its attributes pending, and after their nodes were made. The results and
// the whole trees (fields, offsets, flags, counts) must be the same.
struct Operation {
  const char* name;
  const char16_t* document;
  std::function<std::string(KTXNode* document, KTXContainerNode* element)> run;
};

// The first child after the attributes, found without making any node.
KTXNode* FirstContent(const KTXNode* element) {
  KTXNode* c = element->GetFirstMadeChild();
  while (c && c->GetKind() == kAttribute) c = c->GetNextSibling();
  return c;
}

std::string Name(const KTXNode* node) { return node ? U8(node->HasName() ? node->GetName() : node->GetKindName()) : "-"; }

TEST(PendingAttributesTest, OperationsMatchTheElementWithNodes) {
  const char16_t* plain = u"<e b='1' a=\"2\" xmlns:p='u' p:c='3'>t<f g='4'/>u</e>";
  const Operation operations[] = {
      {"first and last child", plain, [](KTXNode*, KTXContainerNode* e) {
         return Name(e->GetFirstChild()) + Name(e->GetLastChild());
       }},
      {"last child first", plain, [](KTXNode*, KTXContainerNode* e) { return Name(e->GetLastChild()); }},
      {"range", plain, [](KTXNode*, KTXContainerNode* e) {
         std::string out;
         for (KTXNode* c : e->Children()) out += Name(c) + ",";
         return out;
       }},
      {"begin", plain, [](KTXNode*, KTXContainerNode* e) {
         KTChildIterator it;
         e->BeginChildren(it);
         return Name(it.Node());
       }},
      {"first of kind", plain, [](KTXNode*, KTXContainerNode* e) {
         KTChildIterator it;
         std::string out;
         for (e->FirstChildOfKind(it, kAttribute); !it.IsEnd(); it.Next()) out += Name(it.Node());
         return out;
       }},
      {"previous of the first content", plain,
       [](KTXNode*, KTXContainerNode* e) { return Name(FirstContent(e)->GetPreviousSibling()); }},
      {"document order", plain, [](KTXNode*, KTXContainerNode* e) {
         std::string out;
         for (const KTXNode* n = e; n; n = n->NextInDocumentOrder(true)) out += Name(n);
         for (const KTXNode* n = FirstContent(e); n; n = n->NextInDocumentOrder(false)) out += Name(n);
         return out;
       }},
      {"insert before content", plain, [](KTXNode*, KTXContainerNode* e) {
         KTXChangeLog log;
         e->InsertChild(e->IteratorAt(FirstContent(e)), MakeNode(kText, nullptr, u"v"), &log);
         return std::to_string(log.GetCount());
       }},
      {"append attribute", plain, [](KTXNode*, KTXContainerNode* e) {
         auto a = CreateXNode(kAttribute);
         a->SetName(u"z");
         e->AppendChild(std::move(a));
         return std::string();
       }},
      {"remove content", plain, [](KTXNode*, KTXContainerNode* e) {
         e->RemoveChild(e->IteratorAt(FirstContent(e)), nullptr);
         return std::string();
       }},
      {"remove children logged", plain, [](KTXNode*, KTXContainerNode* e) {
         KTXChangeLog log;
         e->RemoveChildren(&log);
         std::string out;
         for (int i = 0; i < log.GetCount(); ++i) out += Name(log.GetRecord(i).node);
         return out;
       }},
      {"delete children", plain, [](KTXNode*, KTXContainerNode* e) {
         e->DeleteChildren();
         return std::string();
       }},
      {"clone", plain, [](KTXNode*, KTXContainerNode* e) { return Dump(e->Clone(false).get()); }},
      {"copy", plain, [](KTXNode*, KTXContainerNode* e) { return Dump(e->Copy().get()); }},
      {"take content", plain, [](KTXNode* d, KTXContainerNode* e) {
         KTXNode* n = d->AppendChild(MakeNode(kElement, u"n"));
         KTXNode* moved = n->TakeChildren(n->EndIterator(), e, e->IteratorAt(FirstContent(e)),
                                          e->EndIterator(), nullptr, true);
         return Name(moved);
       }},
      {"take into", plain, [](KTXNode* d, KTXContainerNode* e) {
         // The element takes the children of its own child, whose
         // attribute goes at the end as an Attribute child.
         KTXNode* f = FirstElement(e);
         KTChildIterator first;
         f->BeginChildren(first);
         return Name(e->TakeChildren(e->EndIterator(), f, first, f->EndIterator(), nullptr, true));
       }},
      {"gather", plain, [](KTXNode*, KTXContainerNode* e) {
         KTChildIterator out;
         e->GatherChildrenOfKind(out, kText, nullptr, e->IteratorAt(FirstContent(e)), kNoStopKind);
         return Name(out.Node());
       }},
      {"value into content", u"<e a='1'/>", [](KTXNode*, KTXContainerNode* e) {
         e->SetValue(u"v");
         e->NormalizeText(nullptr, nullptr);
         return std::string();
       }},
      {"value to text child", u"<e a='1'/>", [](KTXNode*, KTXContainerNode* e) {
         e->SetValue(u"v");
         e->ValueToTextChild();
         return std::to_string(e->MoveValueToTextChild(0, nullptr));
       }},
      {"change kind", u"<e version='1.0' encoding=\"UTF-8\"/>", [](KTXNode* d, KTXContainerNode* e) {
         return Name(e->ChangeKind(kXmlTag, nullptr));
       }},
      {"flags", plain, [](KTXNode*, KTXContainerNode* e) {
         e->SetFlag(true, true, kFlagChecked);
         FirstContent(e)->SetFlag(false, true, kFlagChecked);
         bool partial = false;
         return std::to_string(e->GetChildFlagState(nullptr, partial, kFlagChecked)) + std::to_string(partial);
       }},
      {"outline extent", plain, [](KTXNode*, KTXContainerNode* e) {
         e->SetExpanded(true);
         e->UpdateSubtreeExtent(nullptr);
         int columns = 0, rows = 0;
         e->GetExtent(columns, rows);
         return std::to_string(columns) + "x" + std::to_string(rows);
       }},
      {"tidy-up of the subtree", plain, [](KTXNode* d, KTXContainerNode*) {
         d->ApplyToSubtree(nullptr, nullptr);
         d->RemoveEmptyTextsInSubtree(nullptr);
         d->ValueToTextChildInSubtree();
         return std::string();
       }},
      {"write", plain, [](KTXNode* d, KTXContainerNode*) { return WriteTree(d, SaveOptions()); }},
  };
  for (const Operation& op : operations) {
    std::string results[2];
    std::string trees[2];
    for (int made = 0; made < 2; ++made) {
      auto p = Parse(op.document);
      ASSERT_TRUE(p->ok) << op.name << ": " << StatusMessage(p->status);
      auto* e = static_cast<KTXContainerNode*>(FirstElement(p->document.get()));
      ASSERT_NE(Pending(e), nullptr) << op.name;
      if (made) e->MakePendingNodes();
      results[made] = op.run(p->document.get(), e);
      trees[made] = Dump(p->document.get());
    }
    EXPECT_EQ(results[0], results[1]) << op.name;
    EXPECT_EQ(trees[0], trees[1]) << op.name;
  }
}

// The load (parse, tidy-up, checks) leaves every start tag's attributes
// pending: no Attribute node stands in any element.
TEST(PendingAttributesTest, TheLoadMakesNoNode) {
  const char* text =
      "<?xml version='1.0' encoding='UTF-8'?>\n"
      "<!DOCTYPE r [<!ENTITY e 'x'><!ATTLIST s xmlns:d CDATA 'urn:d' d:k CDATA 'v'>]>\n"
      "<r xmlns='urn:r' xmlns:p='urn:p' a='&e;&#65;'>\n"
      "  <p:q p:b='1' c=\"2\">text &e; <![CDATA[c]]></p:q><!-- c --><?pi d?>\n"
      "  <s m='1'><t n='&lt;'/>tail</s><u/>\n"
      "</r>\n";
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  loader.SetDropTextAfterLoad(true);
  KTLoadStatus status;
  std::unique_ptr<KTXNode> document(
      loader.LoadFromBytes(text, static_cast<uint32_t>(std::strlen(text)), KTGrammarCache::kXml, status));
  ASSERT_NE(document, nullptr) << StatusMessage(status);
  ASSERT_FALSE(status.HasError()) << StatusMessage(status);
  int pending = 0;
  int attributeNodes = 0;
  std::vector<const KTXNode*> work{document.get()};
  while (!work.empty()) {
    const KTXNode* node = work.back();
    work.pop_back();
    if (node->GetKind() == kElement && Pending(node)) pending += Pending(node)->Count();
    for (const KTXNode* c = node->GetFirstMadeChild(); c; c = c->GetNextSibling()) {
      if (c->GetKind() == kAttribute && node->GetKind() == kElement) ++attributeNodes;
      work.push_back(c);
    }
  }
  EXPECT_EQ(attributeNodes, 0);
  EXPECT_EQ(pending, 7);
}

// The checks of the load give one message, line and column whether an
// element's attributes are pending or stand as nodes.
TEST(PendingAttributesTest, CheckMessagesMatchTheNodePath) {
  std::u16string many = u"<a";
  for (int i = 0; i < 40; ++i) many += u" a" + KTUtf8ToUtf16(std::to_string(i)) + u"='1'";
  many += u"\n  a17='2'/>";
  struct Case {
    std::u16string text;
    const char* message;  // what the message begins with
  };
  const Case cases[] = {
      {u"<a x='1'\n  x='2'/>", "line 2, column 3: "},
      {many, "line 2, column 3: "},
      {u"<r>\n <a b\u037e='1'/></r>", "line 2, column 6: the character U+037E"},
      {u"<a x='y&e;'/>", "line 1, column 8: the entity e is referenced but not declared"},
      {u"<a x='&#0;'/>", "line 1, column 7: the character reference"},
      {u"<!DOCTYPE a [<!ENTITY e '&#60;'>]><a\n x='&e;'/>", "line 2, column 5: the entity e holds '<'"},
      {u"<!DOCTYPE a [<!ENTITY e SYSTEM 'x'>]><a x='&e;'/>", "line 1, column 44: the external entity e"},
      {u"<a\n\tp:x='1'/>", "line 2, column 2: the prefix p of p:x is not declared"},
      {u"<a x:y:z='1'/>", "line 1, column 4: the name x:y:z is not a qualified name"},
      {u"<a xmlns:xml='u'/>", "line 1, column 4: the prefix xml may be bound"},
      {u"<a xmlns:p=''/>", "line 1, column 4: the declaration xmlns:p=\"\""},
      {u"<a xmlns:xmlns='u'/>", "line 1, column 4: the prefix xmlns may not be declared"},
      {u"<a xmlns:p='u' xmlns:q='u' p:x='1'\n q:x='2'/>", "line 2, column 2: the attributes p:x and q:x"},
      {u"<p:a x='1'/>", "line 1, column 2: the prefix p of p:a is not declared"},
      {u"<!DOCTYPE a [<!ATTLIST a p:x CDATA 'v'>]><a y='1'/>", "line 1, column 42: the prefix p of p:x (supplied by a default"},
      {u"<!DOCTYPE a [<!ATTLIST a xmlns:p CDATA 'u' xmlns:q CDATA 'u' q:x CDATA 'w'>]>\n<a p:x='1'/>",
       "line 2, column 1: the attributes p:x and q:x"},
  };
  for (const Case& c : cases) {
    std::string messages[2];
    for (int made = 0; made < 2; ++made) {
      auto p = Parse(c.text);
      ASSERT_TRUE(p->ok) << U8(c.text) << ": " << StatusMessage(p->status);
      if (made) MakeAllNodes(p->document.get());
      KTLoadStatus status;
      EXPECT_FALSE(KTCheckWellFormedTree(p->text.c_str(), static_cast<int>(p->text.size()), p->document.get(), status))
          << U8(c.text);
      messages[made] = StatusMessage(status);
    }
    EXPECT_EQ(messages[0], messages[1]) << U8(c.text);
    EXPECT_EQ(messages[0].rfind(c.message, 0), 0u) << U8(c.text) << " gave " << messages[0];
  }
}

}  // namespace

// Parser driver and grammars: the trees built from XML, DTD and entity text,
// the fragment start rules of the DTD readers, and the load status of texts
// that are not well-formed.
#include "xml/ktparserdriver.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ktallocationcount.h"
#include "ktloadtest_util.h"
#include "core/ktexcept.h"
#include "parso/parsoparser.h"
#include "platform/ktutf8.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktxdoctype.h"
#include "xml/ktxnode.h"
#include "xml/ktxnodekinds.h"

namespace {

std::string U8(std::u16string_view s) { return KTUtf16ToUtf8(s); }

// One line per tree: kind tag, stored name and value, children in braces.
//   e:name  @name=value  t"text"  cd"text"  c"comment"  pi:target"data"  xml
//   doctype:name  id:keyword value  ed:name/type.occurrence  al:name/part"value"
//   ent:name=value  not:name=value
std::string Dump(const KTXNode* node) {
  const auto* valued = static_cast<const KTXValueNode*>(node);
  const std::string name = node->HasName() || node->GetKind() == kDoctypeElement ||
                                   node->GetKind() == kDoctypeAttlist
                               ? U8(static_cast<const KTXNamedNode*>(node)->NameString().View())
                               : "";
  const std::string value = U8(valued->ValueString().View());
  std::string out;
  switch (node->GetKind()) {
    case kXmlDocument:
    case kXmlEntity:
    case kDtdDocument: out = "doc"; break;
    case kXmlTag: out = "xml"; break;
    case kElement: out = "e:" + name + (value.empty() ? "" : "=\"" + value + "\""); break;
    case kAttribute: out = "@" + name + "=" + value; break;
    case kText: out = "t\"" + value + "\""; break;
    case kCData: out = "cd\"" + value + "\""; break;
    case kComment: out = "c\"" + value + "\""; break;
    case kProcessingInstruction: out = "pi:" + name + "\"" + value + "\""; break;
    case kDoctype: out = "doctype:" + name; break;
    case kDoctypeExternalId: out = "id:" + name + " " + value; break;
    case kDoctypeElement: {
      const auto* e = static_cast<const KTDoctypeElementNode*>(node);
      out = "ed:" + name + "/" + std::to_string(e->GetContentType(false)) + "." +
            std::to_string(e->GetOccurrence());
      if (e->GetContentType(false) == kContentText) out += "\"" + value + "\"";
      break;
    }
    case kDoctypeAttlist: {
      const auto* a = static_cast<const KTDoctypeAttlistNode*>(node);
      out = "al:" + name + "/" + std::to_string(a->GetPart());
      if (!value.empty()) out += "\"" + value + "\"";
      break;
    }
    case kDoctypeEntity: out = "ent:" + name + "=" + value; break;
    case kDoctypeNotation: out = "not:" + name + "=" + value; break;
  }
  if (node->HasChildren()) {
    out += "{";
    for (const KTXNode* c = node->GetFirstChild(); c; c = c->GetNextSibling()) {
      out += Dump(c);
      if (c->GetNextSibling()) out += ",";
    }
    out += "}";
  }
  return out;
}

struct ParseResult {
  bool ok = false;
  std::unique_ptr<KTXNode> root;
  KTLoadStatus status;
  KTParserDriver driver;
};

// Parses text with a cached grammar into a new node of rootKind, with the
// loader's settings except for case-sensitive literals.
std::unique_ptr<ParseResult> ParseWith(int grammarId, std::u16string_view text, int rootKind = kXmlDocument,
                                 const char16_t* rule = nullptr, bool finish = false) {
  auto r = std::make_unique<ParseResult>();
  r->root = CreateXNode(rootKind);
  const std::u16string copy(text);
  r->ok = r->driver.Init(StandardGrammars().FindGrammar(grammarId), true, true, true) &&
          r->driver.Parse(copy.c_str(), static_cast<int>(copy.size()), r->status, r->root.get(), rule,
                          finish);
  return r;
}

std::string Tree(int grammarId, std::u16string_view text, int rootKind = kXmlDocument,
                 const char16_t* rule = nullptr, bool finish = false) {
  auto r = ParseWith(grammarId, text, rootKind, rule, finish);
  if (!r->ok) return "FAILED: " + U8(r->status.GetMessage().View());
  return Dump(r->root.get());
}

struct TreeCase {
  const char16_t* text;
  const char* tree;
};

TEST(ParserDriverTest, DocumentTreesKeepTextAsWritten) {
  const TreeCase cases[] = {
      {u"<a x='1'/>", "doc{e:a{@x=1}}"},
      {u"<a x=\"1\" y='\"'></a>", "doc{e:a{@x=1,@y=\"}}"},
      {u"<a x=\"\"/>", "doc{e:a{@x=}}"},
      {u"<a>  </a>", "doc{e:a{t\"  \"}}"},
      // White space between markup stays text.
      {u"<p><b>a</b> <i>b</i></p>", "doc{e:p{e:b{t\"a\"},t\" \",e:i{t\"b\"}}}"},
      {u"<a> <b/> </a>", "doc{e:a{t\" \",e:b,t\" \"}}"},
      {u"<?xml version='1.0' encoding='UTF-8'?><a/>", "doc{xml{@version=1.0,@encoding=UTF-8},e:a}"},
      {u"<?xml version=\"1.0\" standalone='yes' ?>\n<a/>", "doc{xml{@version=1.0,@standalone=yes},e:a}"},
      {u"<!--x--><a/><!---->", "doc{c\"x\",e:a,c\"\"}"},
      {u"<a><?t data here?><?u?><?v ?></a>", "doc{e:a{pi:t\"data here\",pi:u\"\",pi:v\"\"}}"},
      {u"<a><![CDATA[x<&]]y]]><![CDATA[]]></a>", "doc{e:a{cd\"x<&]]y\",cd\"\"}}"},
      // References stay as written, for the tree context to expand.
      {u"<a t='&lt;&#60;'>x &amp; &e; &#x41;</a>", "doc{e:a{@t=&lt;&#60;,t\"x &amp; &e; &#x41;\"}}"},
      {u"<ns:a xmlns:ns='u' ns:b='c'>\u00e9\u4e2d</ns:a>", "doc{e:ns:a{@xmlns:ns=u,@ns:b=c,t\"\u00e9\u4e2d\"}}"},
      {u"<!DOCTYPE a SYSTEM 'a.dtd'><a/>", "doc{doctype:a{id:SYSTEM 'a.dtd'},e:a}"},
      {u"<!DOCTYPE a PUBLIC \"-//X//EN\" \"a.dtd\" ><a/>",
       "doc{doctype:a{id:PUBLIC \"-//X//EN\" \"a.dtd\"},e:a}"},
      {u"<!DOCTYPE a [ %p; <!-- c --> <?t d?> ]><a/>", "doc{doctype:a{t\"%p;\",c\" c \",pi:t\"d\"},e:a}"},
  };
  for (const TreeCase& c : cases) {
    EXPECT_EQ(Tree(KTGrammarCache::kXml, c.text), c.tree) << U8(c.text);
  }
}

TEST(ParserDriverTest, DeclarationTrees) {
  const TreeCase cases[] = {
      {u"<!ELEMENT a EMPTY>", "ed:a/4.0"},
      {u"<!ELEMENT a ANY>", "ed:a/5.0"},
      {u"<!ELEMENT a (#PCDATA)>", "ed:a/0.0"},
      {u"<!ELEMENT a ( #PCDATA | b | c )*>", "ed:a/1.0{ed:b/7.0,ed:c/7.0}"},
      {u"<!ELEMENT a (b, (c | d)*, e?)+>", "ed:a/2.2{ed:b/7.0,ed:/3.3{ed:c/7.0,ed:d/7.0},ed:e/7.1}"},
      {u"<!ELEMENT a (b)>", "ed:a/2.0{ed:b/7.0}"},
      {u"<!ELEMENT a ((b|c),d)>", "ed:a/2.0{ed:/3.0{ed:b/7.0,ed:c/7.0},ed:d/7.0}"},
      {u"<!ELEMENT a (b | %c;)*>", "ed:a/3.3{ed:b/7.0,ed:%c;/7.0}"},
      {u"<!ELEMENT %n; %spec;>", "ed:%n;/6.0\"%spec;\""},
      {u"<!ELEMENT a (b %c;)>", "ed:a/6.0\"(b %c;)\""},
      {u"<!ATTLIST e a CDATA #IMPLIED b ID #REQUIRED>",
       "al:e/0{al:/1\"a\",al:/2,al:/15},al:e/0{al:/1\"b\",al:/3,al:/14}"},
      {u"<!ATTLIST e a (x|y) 'x' n NOTATION (p) #FIXED \"p\">",
       "al:e/0{al:/1\"a\",al:/11,al:/13\"x\",al:/13\"y\",al:/17\"x\"},"
       "al:e/0{al:/1\"n\",al:/10,al:/13\"p\",al:/16,al:/17\"p\"}"},
      {u"<!ATTLIST e a IDREFS #IMPLIED b NMTOKEN #IMPLIED c ENTITIES #IMPLIED>",
       "al:e/0{al:/1\"a\",al:/5,al:/15},al:e/0{al:/1\"b\",al:/8,al:/15},al:e/0{al:/1\"c\",al:/7,al:/15}"},
      {u"<!ATTLIST e %defs;>", "al:e/0{al:/1\"%defs;\"}"},
      {u"<!ATTLIST e a %t; #IMPLIED>", "al:e/0{al:/1\"a\",al:/12\"%t;\",al:/15}"},
      {u"<!ATTLIST e a CDATA %d;>", "al:e/18\"a CDATA %d;\""},
      {u"<!ATTLIST e>", "al:e/0"},
      {u"<!ENTITY e 'v &amp; %p;'>", "ent:e='v &amp; %p;'"},
      {u"<!ENTITY % p SYSTEM \"p.ent\">", "ent:% p=SYSTEM \"p.ent\""},
      {u"<!ENTITY i PUBLIC '-//I//EN' 'i.gif' NDATA gif>", "ent:i=PUBLIC '-//I//EN' 'i.gif' NDATA gif"},
      {u"<!NOTATION gif PUBLIC 'gif'>", "not:gif=PUBLIC 'gif'"},
  };
  for (const TreeCase& c : cases) {
    const std::u16string doc = u"<!DOCTYPE r [" + std::u16string(c.text) + u"]><r/>";
    EXPECT_EQ(Tree(KTGrammarCache::kXml, doc), std::string("doc{doctype:r{") + c.tree + "},e:r}")
        << U8(c.text);
    // The DTD grammar reads the same declarations as a DTD document.
    EXPECT_EQ(Tree(KTGrammarCache::kDtd, c.text, kDtdDocument), std::string("doc{") + c.tree + "}")
        << U8(c.text);
  }
}

TEST(ParserDriverTest, SourceRangesCoverTheMarkup) {
  auto r = ParseWith(KTGrammarCache::kXml, u"<r><a x='1'/><!--x--><b>t</b></r>");
  ASSERT_TRUE(r->ok);
  const KTXNode* root = r->root->GetFirstChild();
  EXPECT_EQ(root->GetStartOffset(), 0);
  EXPECT_EQ(root->GetEndOffset(), 33);
  const KTXNode* a = root->GetFirstChild();
  EXPECT_EQ(a->GetStartOffset(), 3);
  EXPECT_EQ(a->GetEndOffset(), 13);
  const KTXNode* comment = a->GetNextSibling();
  EXPECT_EQ(comment->GetStartOffset(), 13);
  EXPECT_EQ(comment->GetEndOffset(), 21);
  const KTXNode* b = comment->GetNextSibling();
  EXPECT_EQ(b->GetStartOffset(), 21);
  EXPECT_EQ(b->GetEndOffset(), 29);
}

TEST(ParserDriverTest, FinishTidiesTheTree) {
  // The declaration and the DOCTYPE are gathered in front; an element whose
  // only child is a text holds it as its value.
  EXPECT_EQ(Tree(KTGrammarCache::kXml, u"<?xml version='1.0'?><!DOCTYPE a><a><b>x</b> <c y='1'>z</c></a>",
                 kXmlDocument, nullptr, true),
            "doc{xml{@version=1.0},doctype:a,e:a{e:b=\"x\",t\" \",e:c{@y=1,t\"z\"}}}");
}

TEST(ParserDriverTest, DtdAndEntityGrammars) {
  EXPECT_EQ(Tree(KTGrammarCache::kDtd,
                 u"<?xml encoding='UTF-8'?>\n<!ELEMENT a EMPTY>\n%ents;\n"
                 u"<![ %draft; [ <!ELEMENT b ANY> <![IGNORE[ <![ x ]]> ]]> ]]>\n<!-- c -->",
                 kDtdDocument),
            "doc{xml{@encoding=UTF-8},ed:a/4.0,t\"%ents;\","
            "t\"<![ %draft; [ <!ELEMENT b ANY> <![IGNORE[ <![ x ]]> ]]> ]]>\",c\" c \"}");
  EXPECT_EQ(Tree(KTGrammarCache::kEntity, u"<?xml version='1.0' encoding='x'?>text <a>&e;</a>", kXmlEntity),
            "doc{xml{@version=1.0,@encoding=x},t\"text \",e:a{t\"&e;\"}}");
  EXPECT_EQ(Tree(KTGrammarCache::kEntity, u"", kXmlEntity), "doc");
  EXPECT_EQ(Tree(KTGrammarCache::k3dml, u"<!-- w --><world a='1'><block/>text &amp;</world>"),
            "doc{c\" w \",e:world{@a=1,e:block,t\"text &amp;\"}}");
  // The internal subset of a document holds no conditional sections.
  EXPECT_FALSE(ParseWith(KTGrammarCache::kXml, u"<!DOCTYPE a [<![INCLUDE[]]>]><a/>")->ok);
}

// The start rules through which the DTD readers and the tree context parse
// pieces of text into a holder node.
TEST(ParserDriverTest, FragmentStartRules) {
  struct FragmentCase {
    const char16_t* rule;
    int holderKind;
    const char16_t* text;
    const char* tree;
  };
  const FragmentCase cases[] = {
      {u"content", kElement, u"a<b x='1'/>&amp;<!--c-->", "e:{t\"a\",e:b{@x=1},t\"&amp;\",c\"c\"}"},
      {u"extSubsetDecl", kElement, u" <!ELEMENT x ANY> %p; <!ENTITY e 'v'>",
       "e:{ed:x/5.0,t\"%p;\",ent:e='v'}"},
      {u"elementSpecFormatted", kDoctypeElement, u" (a | b)* ", "ed:/3.3{ed:a/7.0,ed:b/7.0}"},
      {u"elementSpecFormatted", kDoctypeElement, u" EMPTY ", "ed:/4.0"},
      {u"elementSeqI", kDoctypeElement, u" a, (b|c)+ ", "ed:/2.0{ed:a/7.0,ed:/3.2{ed:b/7.0,ed:c/7.0}}"},
      {u"elementChoiceI", kDoctypeElement, u"a|b", "ed:/2.0{ed:a/7.0,ed:b/7.0}"},
      {u"elementdecl", kElement, u"<!ELEMENT a (b)*>", "e:{ed:a/2.3{ed:b/7.0}}"},
      {u"attlistText", kDoctypeAttlist, u" a CDATA #IMPLIED b (x) 'x' ",
       "al:/0{al:/1\"a\",al:/2,al:/15},al:/0{al:/1\"b\",al:/11,al:/13\"x\",al:/17\"x\"}"},
      {u"attlistDecl", kElement, u"<!ATTLIST e\na CDATA #IMPLIED\n>", "e:{al:e/0{al:/1\"a\",al:/2,al:/15}}"},
  };
  for (const FragmentCase& c : cases) {
    // The holder stands in an Element, as it does for the schema model.
    auto holder = CreateXNode(kElement);
    KTXNode* target = c.holderKind == kElement ? holder.get() : holder->AppendChild(CreateXNode(c.holderKind));
    KTParserDriver driver;
    KTLoadStatus status;
    ASSERT_TRUE(driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), true, true, true));
    const std::u16string text(c.text);
    EXPECT_TRUE(driver.Parse(text.c_str(), static_cast<int>(text.size()), status, target, c.rule, false))
        << U8(c.rule) << ": " << U8(status.GetMessage().View());
    const std::string dumped = Dump(holder.get());
    const std::string inner = c.holderKind == kElement ? dumped : dumped.substr(3, dumped.size() - 4);
    EXPECT_EQ(inner, c.tree) << U8(c.rule);
  }
  // Mixed content parses into a declaration already marked mixed.
  auto decl = CreateXNode(kDoctypeElement);
  static_cast<KTDoctypeElementNode*>(decl.get())->SetContentType(kContentMixed);
  KTParserDriver driver;
  KTLoadStatus status;
  ASSERT_TRUE(driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kDtd), true, true, true));
  const std::u16string mixed = u" #PCDATA | em | b ";
  ASSERT_TRUE(driver.Parse(mixed.c_str(), static_cast<int>(mixed.size()), status, decl.get(), u"elementMixedI", false));
  EXPECT_EQ(Dump(decl.get()), "ed:/1.0{ed:em/7.0,ed:b/7.0}");
}

TEST(ParserDriverTest, TextsThatAreNotWellFormedFailWithTheirPosition) {
  struct ErrorCase {
    const char16_t* text;
    int line;
    int column;
    const char* reason;  // part of the message
  };
  const ErrorCase cases[] = {
      {u"<a>\n</b>", 2, 3, "a expected as the end tag name"},
      {u"<a>\r\n  <b></a></b>", 2, 8, "b expected as the end tag name"},
      {u"<a/><b/>", 1, 5, "expected end of document"},
      {u"<a x=\"<\"/>", 1, 7, "attribute value"},
      {u"<a x=1/>", 1, 6, "expected '\"'"},
      {u"<a x='1\"/>", 1, 0, ""},
      // Texts that end inside markup fail at their end, naming what is missing.
      {u"<a><!-- x </a>", 1, 15, "expected '-->'"},
      {u"<a>\n<b", 2, 3, "expected '/>'"},
      {u"<a x='1'", 1, 9, "expected '/>'"},
      {u"<a><![CDATA[x < y", 1, 18, "expected ']]>'"},
      {u"<a x=\"ab", 1, 9, "expected '\"'"},
      {u"<a y='c", 1, 8, "expected \"'\""},
      {u"<a>text", 1, 8, "expected end tag"},
      {u"<a><!-- x -- y --></a>", 1, 0, ""},
      {u"<a>]]></a>", 1, 4, "]]>"},
      {u"<a>\x01</a>", 1, 4, ""},
      {u"<a></A>", 1, 6, "a expected as the end tag name"},
      {u"<?xml version='1.0'?><?xml version='1.0'?><a/>", 1, 24, "'xml'"},
      {u" <?xml version='1.0'?><a/>", 1, 0, ""},
      {u"<a>&#;</a>", 1, 0, ""},
      {u"", 1, 1, ""},
      {u"text", 1, 1, ""},
  };
  for (const ErrorCase& c : cases) {
    auto r = ParseWith(KTGrammarCache::kXml, c.text);
    EXPECT_FALSE(r->ok) << U8(c.text);
    EXPECT_EQ(r->status.GetCategory(), KTLoadStatus::kParse) << U8(c.text);
    EXPECT_EQ(r->status.GetCode(), KTLoadStatus::kParseFailed) << U8(c.text);
    EXPECT_FALSE(r->root->HasChildren()) << U8(c.text);
    EXPECT_EQ(r->status.GetLine(), c.line) << U8(c.text);
    if (c.column) {
      EXPECT_EQ(r->status.GetColumn(), c.column) << U8(c.text);
    }
    const std::string message = U8(r->status.GetMessage().View());
    const std::string where = "line " + std::to_string(r->status.GetLine()) + ", column " +
                              std::to_string(r->status.GetColumn()) + ": ";
    EXPECT_EQ(message.rfind(where, 0), 0u) << message;
    EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    EXPECT_GT(message.size(), where.size()) << U8(c.text);
  }
}

// References after text are matched once and replayed where they recur.
// A document that repeats them, in text and in attribute values, and then
// holds one broken reference is refused as xmllint refuses it, at the place
// and with the words of the same document whose earlier references are
// written out as plain text (nothing there to replay); with the broken one
// mended it is taken as xmllint takes it.
TEST(ParserDriverTest, RepeatedReferencesFailWhereTheyWouldAlone) {
  const bool lint = std::system("xmllint --version >/dev/null 2>&1") == 0;
  const std::u16string repeated = u"t&lt;x&amp;y&#233;z&#xE9;w &lt;&lt; ";
  const std::u16string plain = u"tXlt;xXampGyX#233Gz*#xE9;w XltGXltG ";
  ASSERT_EQ(repeated.size(), plain.size());
  const char16_t* broken[] = {u"&lt x", u"&#x;", u"&#12a;", u"& lt;", u"&#xg;", u"&l t;", u"&lt<", u"&#233",
                              u"&amp;&", u"&#xE9;&#"};
  for (const char16_t* bad : broken) {
    for (const bool inAttribute : {false, true}) {
      std::u16string text = u"<r>\n";
      std::u16string alone = u"<r>\n";
      for (int i = 0; i < 12; ++i) {
        text += u"<p a='" + repeated + u"'>" + repeated + u"</p>\n";
        alone += u"<p a='" + plain + u"'>" + plain + u"</p>\n";
      }
      const std::u16string tail = inAttribute ? u"<p a='" + repeated + bad + u"'/>\n</r>"
                                              : u"<p>" + repeated + bad + u"</p>\n</r>";
      text += tail;
      alone += tail;
      auto replayed = ParseWith(KTGrammarCache::kXml, text);
      auto single = ParseWith(KTGrammarCache::kXml, alone);
      EXPECT_FALSE(replayed->ok) << U8(bad);
      EXPECT_EQ(replayed->ok, single->ok) << U8(bad);
      EXPECT_EQ(U8(replayed->status.GetMessage().View()), U8(single->status.GetMessage().View())) << U8(bad);
      EXPECT_EQ(replayed->status.GetLine(), single->status.GetLine()) << U8(bad);
      EXPECT_EQ(replayed->status.GetColumn(), single->status.GetColumn()) << U8(bad);
      if (lint) {
        const std::string path = ::testing::TempDir() + "repeated-references.xml";
        for (const bool mended : {false, true}) {
          std::u16string written = text;
          if (mended) written.replace(written.rfind(bad), std::u16string_view(bad).size(), u"&gt;");
          if (FILE* f = std::fopen(path.c_str(), "wb")) {
            const std::string bytes = U8(written);
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
          }
          const bool lintAccepts = std::system(("xmllint --noout '" + path + "' 2>/dev/null").c_str()) == 0;
          EXPECT_EQ(ParseWith(KTGrammarCache::kXml, written)->ok, lintAccepts) << U8(written.substr(written.size() - 60));
        }
        std::remove(path.c_str());
      }
    }
  }
}

// A finishing parse tidies elements while it builds them; the tree must be
// the one that tidying the whole built tree afterwards gives.
TEST(ParserDriverTest, FinishingWhileBuildingGivesTheTidiedTree) {
  const char16_t* texts[] = {
      u"<r a='1'>t<b>x</b>y<![CDATA[c]]>z<c/><d k='v'>w</d><?p q?><!--m--></r>",
      u"<r>\n  <a>1</a>\n  <b x='2'>  </b>\n  <e>a<![CDATA[b]]>c</e>\n</r>",
      u"<?xml version='1.0'?><!DOCTYPE r [<!ELEMENT r ANY>]><!--c--><r>&amp;<e/>&#65;</r>",
      u"<r><a><b><c>deep</c></b>tail</a><a/></r>",
      // Elements whose content is one text, with and without attributes,
      // empty, blank or holding references, beside elements with more.
      u"<r><a x='1' y=\"2\">t</a><b></b><c> </c><d>&lt;&#65;</d><e x=''/><f>u<g/></f><h>\u00e9</h></r>",
      u"<r x='1'>only</r>",
  };
  for (const char16_t* text : texts) {
    auto finished = ParseWith(KTGrammarCache::kXml, text, kXmlDocument, nullptr, true);
    auto plain = ParseWith(KTGrammarCache::kXml, text, kXmlDocument, nullptr, false);
    ASSERT_TRUE(finished->ok && plain->ok) << U8(text);
    plain->root->ApplyToSubtree(nullptr, nullptr);
    EXPECT_EQ(Dump(finished->root.get()), Dump(plain->root.get())) << U8(text);
  }
  // With the parse tree unflattened (its groups kept as nodes) the tree
  // built is the same.
  for (const char16_t* text : texts) {
    for (bool finish : {false, true}) {
      const std::u16string copy(text);
      auto build = [&](bool flatten) {
        auto root = CreateXNode(kXmlDocument);
        KTParserDriver driver;
        KTLoadStatus status;
        const bool ok = driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), true, true, flatten) &&
                        driver.Parse(copy.c_str(), static_cast<int>(copy.size()), status, root.get(), nullptr, finish);
        return ok ? Dump(root.get()) : "FAILED: " + U8(status.GetMessage().View());
      };
      EXPECT_EQ(build(false), build(true)) << U8(text) << " finish " << finish;
    }
  }
}

TEST(ParserDriverTest, DeepNestingFailsCleanly) {
  std::u16string text;
  for (int i = 0; i < 100000; ++i) text += u"<a>";
  for (int i = 0; i < 100000; ++i) text += u"</a>";
  auto r = ParseWith(KTGrammarCache::kXml, text);
  EXPECT_FALSE(r->ok);
  EXPECT_EQ(r->status.GetCode(), KTLoadStatus::kParseFailed);
  EXPECT_FALSE(r->root->HasChildren());
  // A nesting the engine allows builds completely.
  text.clear();
  for (int i = 0; i < 1000; ++i) text += u"<a>";
  for (int i = 0; i < 1000; ++i) text += u"</a>";
  auto ok = ParseWith(KTGrammarCache::kXml, text);
  ASSERT_TRUE(ok->ok) << U8(ok->status.GetMessage().View());
  int depth = 0;
  for (const KTXNode* n = ok->root.get(); n->HasChildren(); n = n->GetFirstChild()) ++depth;
  EXPECT_EQ(depth, 1000);
}

TEST(ParserDriverTest, FailuresOtherThanSyntax) {
  // An unknown start rule.
  auto r = ParseWith(KTGrammarCache::kXml, u"<a/>", kXmlDocument, u"nosuch");
  EXPECT_FALSE(r->ok);
  EXPECT_EQ(U8(r->driver.GetErrorMessage().View()), "unknown identifier: nosuch; valid grammar ident");
  EXPECT_EQ(r->driver.GetErrorOffset(), 0);
  // Text that parses but builds nothing the target can hold: a content model
  // outside an element declaration. The target keeps what it held.
  auto holder = CreateXNode(kElement);
  holder->AppendChild(CreateXNode(kText))->SetValue(u"kept");
  KTParserDriver driver;
  KTLoadStatus status;
  ASSERT_TRUE(driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), true, true, true));
  const std::u16string text = u"EMPTY";
  EXPECT_FALSE(driver.Parse(text.c_str(), 5, status, holder.get(), u"elementSpecFormatted", false));
  EXPECT_EQ(status.GetCategory(), KTLoadStatus::kParse);
  EXPECT_EQ(status.GetCode(), KTLoadStatus::kBuildFailed);
  EXPECT_EQ(Dump(holder.get()), "e:{t\"kept\"}");
  // A target that holds no children.
  auto leaf = CreateXNode(kText);
  KTLoadStatus leafStatus;
  const std::u16string element = u"<a/>";
  EXPECT_FALSE(driver.Parse(element.c_str(), 4, leafStatus, leaf.get(), nullptr, true));
  EXPECT_EQ(leafStatus.GetCode(), KTLoadStatus::kBuildFailed);
  // A driver without a grammar.
  KTParserDriver bare;
  EXPECT_FALSE(bare.Init(nullptr, true, true, true));
  KTLoadStatus none;
  EXPECT_FALSE(bare.Parse(text.c_str(), 5, none, holder.get(), nullptr, false));
  EXPECT_TRUE(none.HasError());
  // A later success clears the driver's error.
  auto again = ParseWith(KTGrammarCache::kXml, u"<a/>");
  EXPECT_TRUE(again->ok);
  EXPECT_TRUE(again->driver.GetErrorMessage().IsEmpty());
}

TEST(ParserDriverTest, LiteralsFollowTheCaseSetting) {
  // The document loader matches literals without regard to case; end-tag
  // names then match that way too.
  KTParserDriver driver;
  KTLoadStatus status;
  ASSERT_TRUE(driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), false, true, true));
  auto doc = CreateXNode(kXmlDocument);
  const std::u16string text = u"<!doctype a><a></A>";
  EXPECT_TRUE(driver.Parse(text.c_str(), static_cast<int>(text.size()), status, doc.get(), nullptr, false));
  EXPECT_FALSE(ParseWith(KTGrammarCache::kXml, text)->ok);
}

void MemoryRunsOutWhileStreaming(const std::u16string& text);

// Memory that runs out while the elements' children are built during the
// parse ends the parse as memory that runs out in the engine does: a parse
// failure marked as such, the target keeping what it held. Past the parse
// (the last children, the tidy-up) it ends with the exception, as the build
// after the parse did. Refused at each allocation of the load in turn, with
// the records under the root, and under a wrapper with a large record at
// its end (both open while the stream builds).
TEST(ParserDriverTest, MemoryThatRunsOutWhileStreamingEndsTheLoad) {
  std::u16string records;
  for (int i = 0; i < 1500; ++i) records += u"<r b='" + KTUtf8ToUtf16(std::to_string(i)) + u"'>t " + u"\u00e9</r>\n";
  std::u16string large = u"<big>";
  for (int i = 0; i < 300; ++i) large += u"<k/>";
  large += u"</big>";
  for (const std::u16string& text : {u"<?xml version='1.0'?><doc a='1'>" + records + u"</doc>",
                                     u"<?xml version='1.0'?><doc a='1'><w>" + records + large + u"</w></doc>"}) {
    MemoryRunsOutWhileStreaming(text);
  }
}

void MemoryRunsOutWhileStreaming(const std::u16string& text) {
  const int length = static_cast<int>(text.size());
  const KTGrammarEntry* xml = StandardGrammars().FindGrammar(KTGrammarCache::kXml);
  size_t total = 0;
  {
    KTParserDriver driver;
    ASSERT_TRUE(driver.Init(xml, true, true, true));
    auto document = CreateXNode(kXmlDocument);
    KTLoadStatus status;
    KTAllocationCounter counter;
    ASSERT_TRUE(driver.Parse(text.c_str(), length, status, document.get(), nullptr, true));
    total = counter.Count();
  }
  ASSERT_GT(total, 0u);
  int parseFailures = 0;
  for (size_t n = 0; n < total; ++n) {
    SCOPED_TRACE(n);
    KTParserDriver driver;
    ASSERT_TRUE(driver.Init(xml, true, true, true));
    auto document = CreateXNode(kXmlDocument);
    document->AppendChild(CreateXNode(kComment))->SetValue(u"kept");
    KTLoadStatus status;
    bool ok = false;
    bool thrown = false;
    bool refused = false;
    long code = 0;
    {
      KTAllocationRefusal refusal(n);
      try {
        ok = driver.Parse(text.c_str(), length, status, document.get(), nullptr, true);
      } catch (const std::bad_alloc&) {
        thrown = true;
      } catch (const KTExcept& error) {
        code = error.GetCode();
        thrown = true;
      }
      refused = refusal.Refused();
    }
    // Allocations made once per process (interned names) are not made again.
    if (!refused) continue;
    if (thrown && code != 0) {
      EXPECT_EQ(code, KTExcept::kNoMemory);
    }
    EXPECT_FALSE(ok);
    if (!thrown) {
      ++parseFailures;
      EXPECT_EQ(status.GetCode(), KTLoadStatus::kParseFailed);
      EXPECT_TRUE(status.IsNoMemory());
      EXPECT_NE(U8(status.GetMessage().View()).find("not enough memory"), std::string::npos);
      EXPECT_EQ(Dump(document.get()), "doc{c\"kept\"}");
    }
  }
  EXPECT_GT(parseFailures, 0);
}

// A document of `depth` elements each holding a comment and then the next,
// the last with 300 empty elements, loaded streamed or whole: its tree, or
// the failure's message.
std::string LoadCommentedNesting(int depth, bool streaming) {
  std::u16string text = u"<r>";
  for (int i = 0; i < depth; ++i) text += u"<o><!--c-->";
  text += u"<e>";
  for (int i = 0; i < 300; ++i) text += u"<k/>";
  text += u"</e>";
  for (int i = 0; i < depth; ++i) text += u"</o>";
  text += u"</r>";
  KTParserDriver driver;
  if (!driver.Init(StandardGrammars().FindGrammar(KTGrammarCache::kXml), true, true, true)) return "no grammar";
  driver.SetStreaming(streaming);
  auto document = CreateXNode(kXmlDocument);
  KTLoadStatus status;
  const bool ok = driver.Parse(text.c_str(), static_cast<int>(text.size()), status, document.get(), nullptr, true);
  return ok ? Dump(document.get()) : "failed: " + U8(status.GetMessage().View());
}

// Close to the end of the stack the engine matches content's choices as
// nodes of their own, which a content flattens as a whole at its end when
// it never handed a batch over; a comment built while an element inside it
// was streamed is then left empty and dropped. Each depth up to where the
// stack runs out loads as the whole-tree build loads it (or fails for the
// stack, which the stream uses a little more of), and ends.
TEST(ParserDriverTest, ContentsFlattenedNearTheStackEndStreamAlike) {
  struct Job {
    std::vector<std::string> streamed, whole;
    int deepest = 0;
  };
  auto* job = new Job;
  auto body = [](void* arg) -> void* {
    auto* j = static_cast<Job*>(arg);
    // The first depth the whole-tree build cannot load, then every depth
    // shortly before it.
    int failing = 8;
    while (LoadCommentedNesting(failing, false).rfind("failed", 0) != 0 && failing < 5000) failing += 8;
    for (int depth = std::max(1, failing - 64); depth <= failing; ++depth) {
      j->whole.push_back(LoadCommentedNesting(depth, false));
      j->streamed.push_back(LoadCommentedNesting(depth, true));
      j->deepest = depth;
    }
    return nullptr;
  };
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, ParsoParser::kStackReserve + 512 * 1024), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, body, job), 0);
  pthread_attr_destroy(&attr);
  timespec limit{};
  clock_gettime(CLOCK_REALTIME, &limit);
  limit.tv_sec += 60;
  if (pthread_timedjoin_np(thread, nullptr, &limit) != 0) {
    // The load that did not end keeps its thread (and the job) to the end.
    pthread_detach(thread);
    FAIL() << "a streamed load did not end; the last depth begun: " << job->deepest;
  }
  int loaded = 0;
  for (size_t i = 0; i < job->whole.size(); ++i) {
    SCOPED_TRACE(i);
    if (job->streamed[i].rfind("failed", 0) == 0) {
      EXPECT_NE(job->streamed[i].find("deeper than the stack allows"), std::string::npos) << job->streamed[i];
      continue;
    }
    ++loaded;
    EXPECT_EQ(job->streamed[i], job->whole[i]);
  }
  EXPECT_GT(loaded, 0);
  delete job;
}

}  // namespace

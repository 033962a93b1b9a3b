// The result-building executors run through the processor over real
// stylesheets: literal result elements with their attributes, attribute
// value templates and namespaces, xsl:value-of, xsl:text and xsl:copy-of.
// The stylesheets are literal result elements used as stylesheets (XSLT 1.0
// §2.3), which the processor runs without template rules; xsl:variable runs
// through a small test executor that binds its select value or its content
// as a result tree fragment. Where XSLT 1.0 allows one answer the serialised
// result is compared with xsltproc's (canonical forms for XML documents).
#include "xslt/ktresultexecutors.h"

#include <gtest/gtest.h>

#include <string>

#include "ktprocessortime.h"
#include "kttestprocessor.h"
#include "output/ktresulttree_util.h"
#include "schema/ktschemamodel.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocmanager.h"
#include "xml/ktdocsource.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktrunloop.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"

namespace {

using ktresulttree::HaveTool;
using ktresulttree::ScratchFolder;

constexpr char16_t kXslNs[] = u" xmlns:xsl='http://www.w3.org/1999/XSL/Transform' xsl:version='1.0'";

// xsl:variable for these tests: binds its select value, or its content as a
// result tree fragment, in the enclosing frame's own layer of variables.
class TestVariableExecutor : public KTInstructionExecutor {
 public:
  explicit TestVariableExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor, kXSLTVariable) {}

  bool Start() override {
    KTExecFrame* frame = TopFrame();
    frame->SetStarted();
    KTXPathNode* node = frame->NodeToRun();
    frame->SetOwnNode(node);
    outerParent_ = resultParent_;
    KTXPathNode* select = FindChildByName(node, u"select", nullptr);
    if (select) {
      KTXPathValue value;
      frame->EvaluateExpression(select, *processor_->PrecompileExpression(select, KTString(select->GetValue()), 0),
                                &frame->NodeList(), &value, true);
      Bind(frame, std::move(value));
      frame->SetLastFinished(node);
      frame->SetNodeToRun(nullptr);
      return true;
    }
    auto root = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
    fragment_ = root.get();
    processor_->RegisterTree(std::move(root));
    resultParent_ = fragment_;
    int content = 0;
    while (content < node->GetChildCount() && node->GetChild(content)->GetKind() == kXPathAttribute) ++content;
    int first = FirstInstructionChild(node, content);
    if (first < node->GetChildCount()) Push(frame, node->GetChild(first));
    frame->SetLastFinished(node);
    frame->SetNodeToRun(nullptr);
    return true;
  }

  bool Continue() override {
    KTExecFrame* frame = TopFrame();
    KTXPathNode* next = frame->CurrentChild() ? NextInstructionSibling(frame->CurrentChild()) : nullptr;
    frame->SetCurrentChild(next);
    if (next) {
      Push(frame, next);
      return true;
    }
    if (fragment_) {
      KTXPathValue value;
      value.PushItem(KTXPathNodeItem(fragment_, 1));
      Bind(frame, std::move(value));
    }
    resultParent_ = outerParent_;
    return DefaultContinue();
  }

 private:
  void Push(KTExecFrame* frame, KTXPathNode* child) {
    auto pushed = std::make_unique<KTExecFrame>(frame, resultParent_);
    pushed->SetNodeToRun(child);
    processor_->PushFrame(std::move(pushed));
    frame->SetCurrentChild(child);
  }
  void Bind(KTExecFrame* frame, KTXPathValue value) {
    KTXPathNode* name = FindChildByName(frame->OwnNode(), u"name", nullptr);
    KTBindingRecord record;
    record.nameNode = name;
    record.value = std::move(value);
    frame->Parent()->OwnVariables().Bind(KTString(name->GetValue()), std::move(record));
  }

  KTXPathNode* fragment_ = nullptr;
  KTXPathNode* outerParent_ = nullptr;
};

std::string U8(std::u16string_view s) { return KTUtf16ToUtf8(s); }

// xsl:namespace-alias for these tests: stores the pair with the processor.
class TestNamespaceAliasExecutor : public KTInstructionExecutor {
 public:
  explicit TestNamespaceAliasExecutor(KTXSLTProcessor* processor)
      : KTInstructionExecutor(processor, kXSLTNamespaceAlias) {}

  bool Start() override {
    KTExecFrame* frame = TopFrame();
    frame->SetStarted();
    frame->SetOwnNode(frame->NodeToRun());
    const auto* record = static_cast<const KTDeclNamespaceAlias*>(declaration_);
    AddNamespaceAlias(record->stylesheetPrefix.c_str(), record->resultPrefix.c_str());
    frame->SetLastFinished(frame->OwnNode());
    frame->SetNodeToRun(nullptr);
    return true;
  }
};


// A document loaded from text through the document loader, kept by the
// document manager and wrapped with a schema model, as the front end does:
// references are expanded and DTD defaults supplied.
KTTestDocument LoadDocument(KTXPathTreeContext& context, KTDocumentManager& manager, const std::u16string& text) {
  std::string bytes = U8(text);
  KTTestDocument doc;
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  std::unique_ptr<KTXNode> tree(
      loader.LoadFromBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), KTGrammarCache::kXml, status));
  if (!tree) return doc;
  KTXNode* document = manager.AddNewRecord(nullptr, std::move(tree), u"\n", KTGrammarCache::kXml)->GetDocument();
  KTSchemaModel model(&manager);
  doc.view = context.WrapTree(document, &model, true, nullptr);
  return doc;
}

// The exclusive canonical form (xmllint --exc-c14n) of an XML text: it keeps
// only the namespace declarations that names use, so results that declare an
// unused namespace more or less compare equal.
std::string ExclusiveCanonical(const ScratchFolder& folder, const std::string& name, const std::string& bytes) {
  std::string file = folder.Write(name, bytes);
  return ktresulttree::Run("xmllint --exc-c14n '" + file + "' 2>&1");
}

// The result text without the XML declaration xsltproc writes differently
// (it leaves out encoding="UTF-8") and without a trailing line break.
std::string Body(std::string text) {
  if (text.rfind("<?xml", 0) == 0) {
    std::size_t end = text.find("?>");
    text.erase(0, end + 2);
    if (!text.empty() && text[0] == '\n') text.erase(0, 1);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

class ResultExecutorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    processor_.SetTreeContext(&context_);
    processor_.Executors().Register(kXSLTVariable, [](KTXSLTProcessor* p) -> std::unique_ptr<KTInstructionExecutor> {
      return std::make_unique<TestVariableExecutor>(p);
    });
    processor_.Executors().Register(kXSLTNamespaceAlias,
                                    [](KTXSLTProcessor* p) -> std::unique_ptr<KTInstructionExecutor> {
                                      return std::make_unique<TestNamespaceAliasExecutor>(p);
                                    });
  }

  // Runs the stylesheet over the source and serialises the result (the
  // error's code and message when it stops with a stylesheet error).
  std::string Transform(const std::u16string& stylesheet, const std::u16string& source) {
    stylesheet_ = LoadDocument(context_, manager_, stylesheet);
    source_ = LoadDocument(context_, manager_, source);
    EXPECT_TRUE(stylesheet_.view && source_.view) << U8(stylesheet);
    if (!stylesheet_.view || !source_.view) return "";
    try {
      KTRunTransformation(processor_, stylesheet_.view.get(), source_.view.get());
      return U8(processor_.Serialize());
    } catch (KTXSLTError& error) {
      errorNode_ = error.GetNode();
      return "error " + std::to_string(error.GetCode()) + " " + U8(error.GetMessage());
    }
  }

  // xsltproc's output for the same pair.
  static std::string Reference(const ScratchFolder& folder, const std::u16string& stylesheet,
                               const std::u16string& source) {
    std::string style = folder.Write("style.xsl", U8(stylesheet));
    std::string input = folder.Write("source.xml", U8(source));
    return ktresulttree::Run("xsltproc '" + style + "' '" + input + "' 2>/dev/null");
  }

  // Our result and xsltproc's agree as canonical XML.
  void ExpectSameAsXsltproc(const std::u16string& stylesheet, const std::u16string& source) {
    std::string ours = Transform(stylesheet, source);
    if (!HaveTool("xsltproc") || !HaveTool("xmllint")) GTEST_SKIP() << "xsltproc or xmllint missing";
    ScratchFolder folder;
    std::string theirs = Reference(folder, stylesheet, source);
    ASSERT_FALSE(theirs.empty()) << U8(stylesheet);
    EXPECT_EQ(ExclusiveCanonical(folder, "ours.xml", ours), ExclusiveCanonical(folder, "theirs.xml", theirs))
        << U8(stylesheet) << "\nours:   " << ours << "\ntheirs: " << theirs;
  }

  KTDocumentManager manager_{&StandardGrammars(), nullptr};
  KTXPathTreeContext context_;
  KTTestProcessor processor_;
  KTTestDocument stylesheet_;
  KTTestDocument source_;
  KTXPathNode* errorNode_ = nullptr;
};

// A literal result element used as the stylesheet, with extra declarations.
std::u16string Out(const std::u16string& content, const std::u16string& declarations = u"") {
  return u"<out" + std::u16string(kXslNs) + declarations + u">" + content + u"</out>";
}

// ---- Attribute value templates ----

TEST_F(ResultExecutorsTest, AttributeValueTemplatesEvaluateOnlyInsideBraces) {
  const std::u16string source = u"<doc n='Ann' m='2'><i>x</i><i>y</i></doc>";
  EXPECT_EQ(Body(Transform(Out(u"<p title=\"Bob's {/doc/@n}\" c='{{x}}'/>"), source)),
            "<out><p title=\"Bob's Ann\" c=\"{x}\"/></out>");
  const char16_t* cases[] = {
      u"<p a=\"Bob's {/doc/@n}\" b='{{x}}' c='a}}b{{c'/>",
      u"<p a=\"{'}'}\" b='{&quot;{&quot;}' c='{{{/doc/@n}}}'/>",
      u"<p a='{/doc/@m * 3}{count(//i)}' b='x{/doc/i[2]}y' c='{/doc/@none}' d=''/>",
      u"<p a=\"it's {concat('a', &quot;'&quot;, 'b')}\" b='\"{/doc/@n}\"'/>",
  };
  for (const char16_t* literal : cases) ExpectSameAsXsltproc(Out(literal), source);
}

TEST_F(ResultExecutorsTest, AttributeValueTemplateSyntaxErrorsNameTheAttribute) {
  const char16_t* cases[] = {u"a}b", u"{/doc", u"x{'}", u"{ {1} }", u"}", u"{1}}"};
  for (const char16_t* value : cases) {
    std::u16string literal = u"<p bad=\"";
    literal += value;
    literal += u"\"/>";
    errorNode_ = nullptr;
    EXPECT_EQ(Transform(Out(literal), u"<doc/>"), "error 47 Attribute value template syntax is incorrect")
        << U8(value);
    ASSERT_NE(errorNode_, nullptr);
    EXPECT_EQ(U8(errorNode_->GetName()), "bad");
  }
  // Expressions inside braces that do not compile or cannot be evaluated
  // are the processor's XPath errors.
  EXPECT_EQ(Transform(Out(u"<p a='{1 +}'/>"), u"<doc/>"), "error 6 Invalid XPath expression");
  EXPECT_EQ(Transform(Out(u"<p a='{$nowhere}'/>"), u"<doc/>").rfind("error 1 Error in XPath expression, ", 0), 0u);
}

// ---- Literal result elements and namespaces ----

TEST_F(ResultExecutorsTest, LiteralElementsKeepTheirNamespaces) {
  const std::u16string source = u"<doc/>";
  // The must-show cases first: a namespaced element keeps its declaration;
  // exclude-result-prefixes drops an unused one.
  EXPECT_EQ(Body(Transform(Out(u"<a:p xmlns:a='urn:a'/>"), source)), "<out><a:p xmlns:a=\"urn:a\"/></out>");
  EXPECT_EQ(Body(Transform(Out(u"<p xmlns:a='urn:a' xsl:exclude-result-prefixes='a'/>"), source)),
            "<out><p/></out>");
  const std::u16string cases[] = {
      Out(u"<a:p xmlns:a='urn:a'><a:q/><r/></a:p>"),
      Out(u"<p xmlns:a='urn:a' xmlns:b='urn:b' xsl:exclude-result-prefixes='a'><q/></p>"),
      // Excluded prefixes that a name uses stay declared where it is used.
      Out(u"<p xmlns:a='urn:a' xsl:exclude-result-prefixes='a'><a:q/><r a:x='1'/></p>"),
      Out(u"<p>x</p>", u" xmlns:a='urn:a' xsl:exclude-result-prefixes='a'"),
      // Default namespaces, undeclared again below.
      Out(u"<p xmlns='urn:d'><q/><r xmlns=''><s/></r></p>"),
      Out(u"<p xmlns='urn:d' xmlns:d='urn:d'><d:q/></p>"),
      // The same prefix bound to another URI below.
      Out(u"<a:p xmlns:a='urn:1'><a:q xmlns:a='urn:2' a:x='v'/></a:p>"),
      // xsl: attributes are never copied, whatever their order.
      Out(u"<p a='1' xsl:exclude-result-prefixes='x' xmlns:x='urn:x' b='2'><q x:y='3'/></p>"),
      // Elements whose scope binds only xml and the XSLT namespace, under
      // result parents with a default namespace or a prefix of their own.
      Out(u"<xsl:element name='w' namespace='urn:w'><p xml:lang='en'><q/></p></xsl:element>"),
      Out(u"<xsl:element name='v:w' namespace='urn:v'><p/><xsl:element name='v:x' namespace='urn:u'><q/>"
          u"</xsl:element></xsl:element>"),
  };
  for (const std::u16string& stylesheet : cases) ExpectSameAsXsltproc(stylesheet, source);
}

TEST_F(ResultExecutorsTest, XsltAttributesOfLiteralElementsAreDirectives) {
  // xsl:version after a literal attribute is a directive, not an instruction.
  EXPECT_EQ(Body(Transform(Out(u"<p a='1' xsl:version='1.0' b='2'/>"), u"<doc/>")), "<out><p a=\"1\" b=\"2\"/></out>");
}

TEST_F(ResultExecutorsTest, ExtensionElementWithoutFallbackIsAnError) {
  // XSLT 1.0 §15: no implementation and no xsl:fallback child.
  std::string result =
      Body(Transform(Out(u"<p><e:run xmlns:e='urn:e' xsl:extension-element-prefixes='e'><q/></e:run></p>"), u"<doc/>"));
  EXPECT_EQ(result.rfind("error 34 ", 0), 0u) << result;
  EXPECT_NE(result.find("e:run"), std::string::npos) << result;
}

// ---- value-of, text, copy-of of strings ----

TEST_F(ResultExecutorsTest, TextInstructions) {
  const std::u16string source = u"<doc n='a&amp;b'><i>1</i><i>2</i></doc>";
  const char16_t* cases[] = {
      u"<p><xsl:value-of select='/doc/@n'/>|<xsl:value-of select=\"''\"/>|<xsl:value-of select='//i'/></p>",
      u"<p><xsl:value-of select='1 div 4'/> <xsl:value-of select='2 = 2'/></p>",
      u"<p><xsl:text>a &lt; b</xsl:text><xsl:text/></p>",
      u"<p><xsl:copy-of select='count(//i) * 1.5'/>,<xsl:copy-of select='1 = 2'/>,<xsl:copy-of select='\"s&amp;\"'/></p>",
  };
  for (const char16_t* literal : cases) ExpectSameAsXsltproc(Out(literal), source);
}

TEST_F(ResultExecutorsTest, DisableOutputEscapingWritesRawText) {
  const std::u16string stylesheet =
      Out(u"<xsl:text disable-output-escaping='yes'>&lt;b&gt;&amp;</xsl:text>"
          u"<xsl:value-of disable-output-escaping='yes' select='/doc'/>"
          u"<xsl:value-of select='/doc'/><xsl:text>&lt;</xsl:text>");
  const std::u16string source = u"<doc>&lt;i/&gt;</doc>";
  std::string ours = Body(Transform(stylesheet, source));
  EXPECT_EQ(ours, "<out><b>&<i/>&lt;i/&gt;&lt;</out>");
  // An empty text node changes nothing; the raw flag survives a copy.
  EXPECT_EQ(Body(Transform(Out(u"<xsl:variable name='v'><xsl:text disable-output-escaping='yes'>&lt;</xsl:text>"
                               u"</xsl:variable><xsl:copy-of select='$v'/><xsl:value-of select=\"''\"/>"),
                           source)),
            "<out><</out>");
  if (!HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc missing";
  ScratchFolder folder;
  EXPECT_EQ(ours, Body(Reference(folder, stylesheet, source)));
}

// ---- copy-of of nodes and fragments ----

TEST_F(ResultExecutorsTest, CopyOfSourceNodesKeepsTheirNamespaces) {
  const std::u16string source =
      u"<doc xmlns='urn:d' xmlns:a='urn:a' a:at='1' b='2'><?pi x?><!--c--><a:x a:y='3'><z xmlns=''>t<![CDATA[<c>]]>"
      u"</z><w/></a:x><v xmlns:a='urn:other' a:y='4'/></doc>";
  const std::u16string decl = u" xmlns:s='urn:d' xmlns:a='urn:a'";
  const char16_t* cases[] = {
      u"<p><xsl:copy-of select='/s:doc/a:x'/></p>",
      u"<p xmlns='urn:mine'><xsl:copy-of select='/s:doc/a:x'/></p>",
      u"<a:p xmlns:a='urn:p'><xsl:copy-of select='/s:doc/a:x'/></a:p>",
      u"<p><xsl:copy-of select='/s:doc/node()'/></p>",
      u"<p><xsl:copy-of select='/s:doc/@*'/><xsl:copy-of select='//@a:y'/></p>",
      u"<p><xsl:copy-of select='/s:doc/namespace::*'/></p>",
      u"<p><xsl:copy-of select='//s:w | /s:doc/a:x'/></p>",
  };
  for (const char16_t* literal : cases) ExpectSameAsXsltproc(Out(literal, decl), source);
  // An attribute after content is dropped without error.
  EXPECT_EQ(Body(Transform(Out(u"<p><q/><xsl:copy-of select='/s:doc/@b | /s:doc/a:x/@a:y'/></p>", decl), source)),
            "<out xmlns:s=\"urn:d\" xmlns:a=\"urn:a\"><p><q/></p></out>");
  // The whole document, without its XML declaration, is the result.
  std::u16string whole = u"<xsl:copy-of" + std::u16string(kXslNs) + u" select='/'/>";
  ExpectSameAsXsltproc(whole, u"<?xml version='1.0'?><!--before--><doc><a>x</a></doc>");
  // Copied attributes keep their values as they are: no value templates.
  EXPECT_EQ(Body(Transform(whole, u"<a s='x{y}z' t='a}b'/>")), "<a s=\"x{y}z\" t=\"a}b\"/>");
}

TEST_F(ResultExecutorsTest, CopiedAttributesReplaceThoseOfTheSameExpandedName) {
  const std::u16string source =
      u"<doc xmlns:n='urn:n' a='1' b='2' n:c='3'><e xmlns:m='urn:n' b='4' m:c='5' d='6'/></doc>";
  const std::u16string decl = u" xmlns:n='urn:n'";
  const char16_t* cases[] = {
      u"<p a='0' b='0'><xsl:copy-of select='/doc/@*'/><xsl:copy-of select='/doc/e/@*'/></p>",
      u"<p><xsl:copy-of select='/doc/@* | /doc/e/@*'/></p>",
      u"<p n:c='0'><xsl:copy-of select='/doc/e/@* | /doc/@b'/><xsl:copy-of select='/doc/@n:c'/></p>",
  };
  for (const char16_t* literal : cases) ExpectSameAsXsltproc(Out(literal, decl), source);
}

// Copying the many attributes of one element into another gives the
// element's own copy and costs in proportion to the attributes: no scan of
// the attributes made so far per copy. The attributes are found through an
// index of the result tree that counts no steps, so processor times are
// compared: sixteen times the attributes take about sixteen times as long,
// a scan per copy 256 times.
TEST_F(ResultExecutorsTest, CopyingManyAttributesStaysLinear) {
  constexpr int kAttributes = 5000;
  auto source = [](int count) {
    std::u16string text = u"<doc><e";
    for (int i = 0; i < count; ++i) {
      std::string attribute = " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
      text += std::u16string(attribute.begin(), attribute.end());
    }
    return text + u"/></doc>";
  };
  const std::u16string sources[] = {source(kAttributes), source(16 * kAttributes)};
  const std::u16string copyAttributes = Out(u"<e><xsl:copy-of select='/doc/e/@*'/></e>");
  for (const std::u16string& text : sources)
    EXPECT_EQ(Body(Transform(copyAttributes, text)), Body(Transform(Out(u"<xsl:copy-of select='/doc/e'/>"), text)));
  EXPECT_TRUE(ProcessorTimeGrowsLinearly([&](int scale) { Transform(copyAttributes, sources[scale == 1 ? 0 : 1]); }));
}

TEST_F(ResultExecutorsTest, CopyOfFragmentsRoundTrips) {
  const std::u16string source = u"<doc><i>1</i><i>2</i></doc>";
  const char16_t* cases[] = {
      u"<xsl:variable name='f'><a:x xmlns:a='urn:a' a:y='1'>t<b xmlns='urn:b'><c/></b></a:x>text<!--c--></xsl:variable>"
      u"<p><xsl:copy-of select='$f'/></p><q xmlns='urn:q'><xsl:copy-of select='$f'/></q>",
      // A fragment of elements without a namespace inside a default
      // namespace gets xmlns="".
      u"<xsl:variable name='f'><e><xsl:copy-of select='//i'/></e></xsl:variable>"
      u"<p xmlns='urn:d'><xsl:copy-of select='$f'/><xsl:copy-of select='$f'/></p>",
      // Fragments nest.
      u"<xsl:variable name='f'><e a='{count(//i)}'><xsl:value-of select='//i[2]'/></e></xsl:variable>"
      u"<xsl:variable name='g'><g><xsl:copy-of select='$f'/></g></xsl:variable><p><xsl:copy-of select='$g'/></p>",
  };
  for (const char16_t* literal : cases) ExpectSameAsXsltproc(Out(literal), source);
}

TEST_F(ResultExecutorsTest, CopiedAttributeWithAClashingPrefixGetsAGeneratedOne) {
  const std::u16string source = u"<doc xmlns:a='urn:1' a:n='v'/>";
  std::string ours = Body(Transform(Out(u"<a:p xmlns:a='urn:2'><xsl:copy-of select='/doc/@*'/></a:p>"), source));
  EXPECT_EQ(ours, "<out><a:p xmlns:a=\"urn:2\" xmlns:a_1=\"urn:1\" a_1:n=\"v\"/></out>");
}

// ---- Through template rules ----

std::u16string Stylesheet(const std::u16string& topLevel) {
  return u"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>" + topLevel +
         u"</xsl:stylesheet>";
}

TEST_F(ResultExecutorsTest, TemplateRulesBuildTheResult) {
  const std::u16string source = u"<doc n='Ann'><i k='1'>one</i><i k='2'>two</i></doc>";
  EXPECT_EQ(Body(Transform(Stylesheet(u"<xsl:template match='doc'><p title=\"Bob's {@n}\" c='{{x}}'/>"
                                      u"</xsl:template>"),
                           source)),
            "<p title=\"Bob's Ann\" c=\"{x}\"/>");
  ExpectSameAsXsltproc(
      Stylesheet(u"<xsl:template match='/'><list xmlns='urn:l'><xsl:apply-templates select='doc/i'/></list>"
                 u"</xsl:template><xsl:template match='i'><item id='i{@k}' pos='{position()}'>"
                 u"<xsl:copy-of select='@k'/><xsl:value-of select='.'/><xsl:copy-of select='.'/></item>"
                 u"</xsl:template>"),
      source);
}

// xsl:copy, literal result nodes and xsl:value-of select="." (the built-in
// rule for text among them) show the value the source's view shows:
// references expanded, line ends and attribute white space normalised,
// defaulted attributes supplied; and a copied text that further text joins
// keeps both parts.
TEST_F(ResultExecutorsTest, CopiedTextsAndAttributesShowTheirViewsValues) {
  const std::u16string source =
      u"<!DOCTYPE doc [<!ENTITY co 'Co &amp; Sons'><!ATTLIST e d CDATA 'dv' t NMTOKENS #IMPLIED>]>"
      u"<doc><e a='x&amp;y &#65;\tb' t='  p   q '>one &co; &#233;&lt;\r\ntwo\rthree</e>"
      u"<e>plain</e><f>left<![CDATA[ <mid> ]]>right</f></doc>";
  const char16_t* templates[] = {
      u"<xsl:template match='@*|node()'><xsl:copy><xsl:apply-templates select='@*|node()'/></xsl:copy>"
      u"</xsl:template>",
      u"<xsl:template match='@*|node()'><xsl:copy><xsl:apply-templates select='@*|node()'/></xsl:copy>"
      u"</xsl:template><xsl:template match='text()'><xsl:copy/>+<xsl:copy/></xsl:template>",
      u"<xsl:template match='/'><out>lit &amp; <b c='1&#10;2'>x&#13;y</b><xsl:copy-of select='//e[1]/text()'/>"
      u"tail</out></xsl:template>",
      u"<xsl:template match='/'><out><xsl:value-of select='.'/>|<xsl:apply-templates/></out></xsl:template>"
      u"<xsl:template match='e|f'><v><xsl:value-of select='.'/>|<xsl:apply-templates/>|"
      u"<xsl:for-each select='@*|node()'><xsl:value-of select='.'/>;</xsl:for-each></v></xsl:template>",
  };
  for (const char16_t* rules : templates) ExpectSameAsXsltproc(Stylesheet(rules), source);
}

TEST_F(ResultExecutorsTest, CopyOfADefaultedAttributeCopiesIt) {
  const std::u16string source =
      u"<!DOCTYPE doc [<!ATTLIST doc d CDATA 'dv'>]><doc><e/></doc>";
  const std::u16string stylesheet = Out(u"<p><xsl:copy-of select='/doc/@d'/><xsl:copy-of select='/doc/@d/..'/></p>");
  EXPECT_EQ(Body(Transform(stylesheet, source)), "<out><p d=\"dv\"><doc d=\"dv\"><e/></doc></p></out>");
  ExpectSameAsXsltproc(stylesheet, source);
}

TEST_F(ResultExecutorsTest, UnwritableCharacterIsAStylesheetError) {
  // The text output method has no character references.
  std::string result = Transform(
      Stylesheet(u"<xsl:output method='text' encoding='ISO-8859-1'/><xsl:template match='/'>a\u20ACb</xsl:template>"),
      u"<doc/>");
  EXPECT_EQ(result, "error 7260 The character U+20AC cannot be written in text output in the output encoding ISO-8859-1");
}

// ---- Deep results ----

// A literal element nested 100,000 deep inside a variable: the result is
// built, copied out of the fragment, serialised and freed without recursion.
TEST_F(ResultExecutorsTest, HundredThousandDeepResultsBuildAndCopy) {
  constexpr int kDepth = 100000;
  stylesheet_ = LoadDocument(context_, manager_, Out(u"<xsl:variable name='v'><p/></xsl:variable>"
                                           u"<xsl:copy-of select='$v'/><xsl:copy-of select='$v'/>"));
  source_ = LoadDocument(context_, manager_, u"<doc/>");
  ASSERT_TRUE(stylesheet_.view && source_.view);
  KTXPathNode* out = stylesheet_.view->GetChild(stylesheet_.view->FirstChildOfKind(kXPathElement));
  KTXPathNode* variable = out->GetChild(out->FirstChildOfKind(kXPathElement));
  KTXPathNode* at = variable->GetChild(variable->FirstChildOfKind(kXPathElement));
  for (int i = 0; i < kDepth; ++i) {
    auto child = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
    child->SetName(u"p");
    child->SetMaps(at->InheritedElementMap(), at->InheritedAttributeMap());
    at = at->AppendChild(std::move(child));
  }
  int steps = 0;
  KTRunTransformation(processor_, stylesheet_.view.get(), source_.view.get(), [&] {
    ++steps;
    return true;
  });
  EXPECT_GT(steps, 2 * kDepth);
  std::string text = U8(processor_.Serialize());
  std::size_t opened = 0;
  for (std::size_t at = text.find("<p>"); at != std::string::npos; at = text.find("<p>", at + 3)) ++opened;
  EXPECT_EQ(opened, 2u * kDepth);
}

// A recursive template rule over a source nested 100,000 deep builds a result
// as deep inside a variable, and copy-of copies it out.
TEST_F(ResultExecutorsTest, RecursiveTemplatesNestAHundredThousandElements) {
  constexpr int kDepth = 100000;
  stylesheet_ = LoadDocument(context_, manager_,
                             Stylesheet(u"<xsl:template match='/'><xsl:variable name='v'><xsl:apply-templates/>"
                                        u"</xsl:variable><xsl:copy-of select='$v'/></xsl:template>"
                                        u"<xsl:template match='e'><r><xsl:apply-templates/></r></xsl:template>"));
  source_ = LoadDocument(context_, manager_, u"<e/>");
  ASSERT_TRUE(stylesheet_.view && source_.view);
  KTXPathNode* at = source_.view->GetChild(source_.view->FirstChildOfKind(kXPathElement));
  for (int i = 0; i < kDepth; ++i) {
    auto child = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
    child->SetName(u"e");
    child->SetMaps(at->InheritedElementMap(), at->InheritedAttributeMap());
    child->SetPosition(at->GetPosition() + 1);
    at = at->AppendChild(std::move(child));
  }
  std::size_t deepest = 0;
  KTRunTransformation(processor_, stylesheet_.view.get(), source_.view.get(), [&] {
    deepest = std::max<std::size_t>(deepest, processor_.FrameStack()->size());
    return true;
  });
  EXPECT_GT(deepest, static_cast<std::size_t>(kDepth));
  std::string text = U8(processor_.Serialize());
  std::size_t opened = 0;
  for (std::size_t p = text.find("<r>"); p != std::string::npos; p = text.find("<r>", p + 3)) ++opened;
  EXPECT_EQ(opened, static_cast<std::size_t>(kDepth));
}

// The operations xsl:element, xsl:attribute and xsl:copy build on, called
// directly: appending computed attributes, and copying source nodes as they
// are.
TEST_F(ResultExecutorsTest, ComputedNodesAndPlainCopies) {
  Transform(Out(u""), u"<doc xmlns:a='urn:a' a:n='{x}'>t<![CDATA[<c>]]></doc>");
  KTValueOfExecutor executor(&processor_);
  auto root = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
  auto make = [](int kind, const char16_t* name, const char16_t* value, const KTString* uri) {
    auto node = std::make_unique<KTXPathNode>(nullptr, kind);
    if (name) node->SetName(name);
    if (value) node->SetValue(value);
    node->SetNamespaceUri(uri);
    return node;
  };
  const KTString* urnA = context_.InternUri(u"urn:a");
  const KTString* urnB = context_.InternUri(u"urn:b");
  executor.SetResultParent(root.get());
  KTXPathNode* element = executor.AppendComputedNode(make(kXPathElement, u"b:e", nullptr, urnB), true, false);
  ASSERT_EQ(executor.ResultParent(), element);
  executor.AppendComputedNode(make(kXPathAttribute, u"x", u"1", nullptr), false, true);
  executor.AppendComputedNode(make(kXPathAttribute, u"y", u"2", nullptr), false, true);
  // The same expanded name again keeps the first place, emptied for its new
  // content; a namespace without a prefix gets a generated one, which a
  // prefix bound to another URI on the element then borrows.
  executor.AppendComputedNode(make(kXPathAttribute, u"x", u"3", nullptr), false, true);
  executor.AppendComputedNode(make(kXPathAttribute, u"z", u"4", urnA), false, true);
  executor.AppendComputedNode(make(kXPathAttribute, u"b:w", u"5", urnA), false, true);
  EXPECT_EQ(ViewPicture(root.get()),
            "/(eb:e(nxmlns:b nxmlns:ns_1 ax= ay=2 ans_1:z=4 ans_1:w=5))");
  // After content an attribute is refused.
  executor.AppendComputedNode(make(kXPathText, nullptr, u"t", nullptr), false, false);
  EXPECT_THROW(executor.AppendComputedNode(make(kXPathAttribute, u"v", u"6", nullptr), false, true), KTXTreeException);

  // xsl:copy's copies: names and values as they are (no value template),
  // the source element's namespaces, CDATA as text.
  KTXPathNode* doc = source_.view->GetChild(source_.view->FirstChildOfKind(kXPathElement));
  auto target = std::make_unique<KTXPathNode>(nullptr, kXPathRoot);
  executor.SetResultParent(target.get());
  KTXPathNode* copy = executor.MakeLiteralResultCopy(doc, true, processor_.TopFrame(), false);
  ASSERT_NE(copy, nullptr);
  for (const auto& child : doc->Children()) {
    if (child->GetKind() == kXPathNamespace) continue;
    executor.MakeLiteralResultCopy(child.get(), false, processor_.TopFrame(), false);
  }
  // The copied CDATA section is text, and joins the text copied before it.
  EXPECT_EQ(ViewPicture(target.get()), "/(edoc(nxmlns:a aa:n={x} t=t<c>))");
}

TEST_F(ResultExecutorsTest, SpaceDeclarationsProduceNothingAndAliasesRenameLiterals) {
  const std::u16string source = u"<doc><i>x</i></doc>";
  ExpectSameAsXsltproc(Stylesheet(u"<xsl:strip-space elements='doc'/><xsl:preserve-space elements='i'/>"
                                  u"<xsl:template match='/'><p><xsl:copy-of select='doc'/></p></xsl:template>"),
                       source);
  // Literal elements and attributes of the aliased namespace come out in
  // the result namespace under their own prefix, which the copied namespace
  // nodes bind to it; the XSLT namespace itself is never declared. The
  // bytes are xsltproc's.
  const std::u16string stylesheet =
      u"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' xmlns:axsl='urn:axsl'"
      u" xmlns:o='urn:o' xmlns:q='urn:q'><xsl:namespace-alias stylesheet-prefix='axsl' result-prefix='xsl'/>"
      u"<xsl:namespace-alias stylesheet-prefix='o' result-prefix='q'/>"
      u"<xsl:template match='/'><axsl:stylesheet version='1.0'><axsl:template match='{name(*)}'>"
      u"<o:e o:a='1'/></axsl:template></axsl:stylesheet></xsl:template></xsl:stylesheet>";
  std::string ours = Body(Transform(stylesheet, source));
  EXPECT_NE(ours.find("<axsl:stylesheet xmlns:axsl=\"http://www.w3.org/1999/XSL/Transform\""), std::string::npos)
      << ours;
  EXPECT_EQ(ours.find("xmlns:xsl="), std::string::npos) << ours;
  if (!HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc missing";
  ScratchFolder folder;
  EXPECT_EQ(ours, Body(Reference(folder, stylesheet, source)));
}

}  // namespace

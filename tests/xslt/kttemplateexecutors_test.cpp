// The stylesheet, template and apply-templates executors run through the
// processor. Text output is gathered by small executors of this test for
// xsl:value-of, xsl:text and literal text, and compared with xsltproc's
// text output of the same stylesheet and source.
#include <gtest/gtest.h>

#include <string>

#include "kttestprocessor.h"
#include "ktxslttest_util.h"
#include "output/ktresulttree_util.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktrunloop.h"
#include "xslt/kttemplateruleindex.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltkeywords.h"

namespace {

std::u16string* gOut = nullptr;

// Appends the string value of its select expression, or the text of
// xsl:text or of a literal text node, to the gathered output.
class TextOutExecutor : public KTInstructionExecutor {
 public:
  explicit TextOutExecutor(KTXSLTProcessor* processor) : KTInstructionExecutor(processor) {}
  bool Start() override {
    KTExecFrame* frame = TopFrame();
    frame->SetStarted();
    KTXPathNode* node = frame->NodeToRun();
    frame->SetOwnNode(node);
    const KTDeclRecord* record = Declaration();
    if (record && record->elementId == kXSLTValueOf) {
      const auto* valueOf = static_cast<const KTDeclValueOf*>(record);
      KTXPathValue result;
      frame->EvaluateExpression(valueOf->selectNode, *valueOf->select, &frame->NodeList(), &result, true);
      KTString text;
      result.ToString(&text);
      *gOut += std::u16string(text.View());
    } else if (record && record->elementId == kXSLTText) {
      *gOut += std::u16string(static_cast<const KTDeclText*>(record)->text.View());
    } else if (node->GetKind() == kXPathText) {
      *gOut += node->GetValue();
    }
    frame->SetNodeToRun(nullptr);
    return true;
  }
};

std::unique_ptr<KTInstructionExecutor> NewTextOut(KTXSLTProcessor* p) { return std::make_unique<TextOutExecutor>(p); }

std::string U8(std::u16string_view text) { return KTUtf16ToUtf8(text); }

class TemplateExecutorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gOut = &out_;
    processor_.SetTreeContext(&context_);
    for (int kind : {kXSLTValueOf, kXSLTText, kXSLTLiteralResult}) processor_.Executors().Register(kind, NewTextOut);
  }
  void TearDown() override { gOut = nullptr; }

  // The text our processor gathers for the stylesheet body (inside an
  // xsl:stylesheet element) over the source.
  std::string Transform(const std::string& body, const std::string& source) {
    out_.clear();
    std::u16string stylesheet = KTUtf8ToUtf16(Stylesheet(body));
    std::u16string input = KTUtf8ToUtf16(source);
    stylesheet_ = ParseTestDocument(context_, stylesheet.c_str());
    source_ = ParseTestDocument(context_, input.c_str());
    EXPECT_TRUE(stylesheet_.view && source_.view);
    if (!stylesheet_.view || !source_.view) return "";
    KTRunTransformation(processor_, stylesheet_.view.get(), source_.view.get());
    return U8(out_);
  }

  static std::string Stylesheet(const std::string& body) {
    return "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
           "<xsl:output method='text'/>" +
           body + "</xsl:stylesheet>";
  }

  // xsltproc's text output of the same stylesheet and source.
  std::string Reference(const std::string& body, const std::string& source) {
    ktresulttree::ScratchFolder folder;
    std::string style = folder.Write("style.xsl", Stylesheet(body));
    std::string input = folder.Write("in.xml", source);
    return ktresulttree::Run("xsltproc '" + style + "' '" + input + "' 2>/dev/null");
  }

  KTXPathTreeContext context_;
  KTTestProcessor processor_;
  KTTestDocument stylesheet_;
  KTTestDocument source_;
  std::u16string out_;
};

// Cases whose answer XSLT 1.0 fixes: compared with xsltproc.
TEST_F(TemplateExecutorsTest, TransformsAgreeWithXsltproc) {
  if (!ktresulttree::HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc is not installed";
  struct Case {
    const char* name;
    std::string body;
    std::string source;
  } cases[] = {
      // The built-in rules alone: text is copied, attributes are not.
      {"empty stylesheet", "", "<r><a>x</a><b y='1'>z</b><!--c--><?p q?></r>"},
      // Priority and position: a QName beats *, and r applies its children.
      {"priority", "<xsl:template match='r'><xsl:apply-templates/></xsl:template>"
                   "<xsl:template match='*'>[*]</xsl:template><xsl:template match='a'>[a]</xsl:template>",
       "<r><a/><b/></r>"},
      // Of two rules of equal priority the later wins.
      {"later rule", "<xsl:template match='a'>[1]</xsl:template><xsl:template match='a'>[2]</xsl:template>",
       "<r><a/></r>"},
      // A built-in rule entered in mode a stays in mode a after a nested
      // apply-templates in mode b went through the built-in rule too.
      {"modes", "<xsl:template match='/'><xsl:apply-templates mode='a'/></xsl:template>"
                "<xsl:template match='x' mode='a'>[xa]<xsl:apply-templates mode='b'/></xsl:template>"
                "<xsl:template match='y' mode='b'>[yb]</xsl:template>"
                "<xsl:template match='z' mode='a'>[za]</xsl:template>"
                "<xsl:template match='z' mode='b'>[zb]</xsl:template>",
       "<r><x><q><y/></q></x><z/></r>"},
      // Selections are processed in document order; position() and last()
      // refer to the selection.
      {"selection order", "<xsl:template match='/'><xsl:apply-templates select='//c|//b|r/@*'/></xsl:template>"
                          "<xsl:template match='*|@*'><xsl:value-of select='concat(name(), position(), last())'/>"
                          "</xsl:template>",
       "<r u='1' v='2'><b/><c/><b/></r>"},
      // Attribute patterns match attributes; the built-in rule for them
      // gives their value.
      {"attributes", "<xsl:template match='/'><xsl:apply-templates select='//@*'/></xsl:template>"
                     "<xsl:template match='@x'>[x=<xsl:value-of select='.'/>]</xsl:template>",
       "<r x='1' y='2'><a x='3'/></r>"},
      // Patterns with steps and predicates, and a union.
      {"patterns", "<xsl:template match='a/b'>[ab]</xsl:template><xsl:template match='b[@k]'>[bk]</xsl:template>"
                   "<xsl:template match='c//b | d'>[cb]</xsl:template>"
                   "<xsl:template match=\"b[2][not(@k)]\">[b2]</xsl:template>",
       "<r><a><b/><b k='1'/></a><c><e><b/></e><b/></c><d/><b/></r>"},
      // The identity transform's rule (@*|node()) reaches every attribute,
      // element, text, comment and processing instruction in order; here
      // each node is written as its kind and name instead of copied.
      {"identity order", "<xsl:template match='@*|node()'>(<xsl:value-of select=\"concat(name(), '=', "
                         "count(self::*|self::text()), count(self::comment()|self::processing-instruction()))\"/>"
                         "<xsl:apply-templates select='@*|node()'/>)</xsl:template>",
       "<r a='1' b='2'><!--c--><?p d?><s xmlns:n='urn:n' n:c='3'>t<u/></s>x</r>"},
      // Top-level elements of other namespaces are never run; comments in
      // a template body are passed over.
      {"top-level foreign element", "<x:data xmlns:x='urn:x'>not output</x:data>"
                                    "<xsl:template match='a'><!--c-->[a]<!--d--></xsl:template>",
       "<r><a/>t</r>"},
      // Modes with a prefix are compared by namespace URI.
      {"qualified modes", "<xsl:template match='/'><xsl:apply-templates mode='p:m' xmlns:p='urn:m'/></xsl:template>"
                          "<xsl:template match='a' mode='q:m' xmlns:q='urn:m'>[m]</xsl:template>",
       "<r><a/></r>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Transform(c.body, c.source), Reference(c.body, c.source)) << c.name;
  }
}

TEST_F(TemplateExecutorsTest, EmptyStylesheetGivesTheText) {
  EXPECT_EQ(Transform("", "<r><a>x</a><b y='1'>z</b></r>"), "xz");
  EXPECT_EQ(Transform("<xsl:template match='r'><xsl:apply-templates/></xsl:template>"
                      "<xsl:template match='*'>[*]</xsl:template><xsl:template match='a'>[a]</xsl:template>",
                      "<r><a/><b/></r>"),
            "[a][*]");
}

// Namespace nodes have a built-in rule that does nothing.
TEST_F(TemplateExecutorsTest, NamespaceNodesAreSkipped) {
  EXPECT_EQ(Transform("<xsl:template match='/'><xsl:apply-templates select='//namespace::*|//a'/></xsl:template>"
                      "<xsl:template match='a'>[a]</xsl:template>",
                      "<r xmlns:p='urn:p'><a/></r>"),
            "[a]");
}

TEST_F(TemplateExecutorsTest, StylesheetErrors) {
  struct Case {
    const char* name;
    std::string body;
    int code;
  } cases[] = {
      {"select not a node-set", "<xsl:template match='/'><xsl:apply-templates select='1'/></xsl:template>", 29},
      {"import after template", "<xsl:template match='/'/><xsl:import href='x.xsl'/>", 49},
      {"unbound excluded prefix", "", 10},
  };
  // "#default" without a default namespace is accepted.
  std::u16string accepted = KTUtf8ToUtf16(
      "<xsl:stylesheet version='1.0' exclude-result-prefixes='#default' "
      "xmlns:xsl='http://www.w3.org/1999/XSL/Transform'/>");
  stylesheet_ = ParseTestDocument(context_, accepted.c_str());
  source_ = ParseTestDocument(context_, u"<r>t</r>");
  out_.clear();
  KTRunTransformation(processor_, stylesheet_.view.get(), source_.view.get());
  EXPECT_EQ(U8(out_), "t");
  for (const Case& c : cases) {
    std::string body = c.body;
    try {
      if (c.code == 10) {
        out_.clear();
        std::u16string text = KTUtf8ToUtf16(
            "<xsl:stylesheet version='1.0' exclude-result-prefixes='nope' "
            "xmlns:xsl='http://www.w3.org/1999/XSL/Transform'/>");
        stylesheet_ = ParseTestDocument(context_, text.c_str());
        source_ = ParseTestDocument(context_, u"<r/>");
        KTRunTransformation(processor_, stylesheet_.view.get(), source_.view.get());
      } else {
        Transform(body, "<r/>");
      }
      ADD_FAILURE() << "no error: " << c.name;
    } catch (const KTXSLTError& error) {
      EXPECT_EQ(error.GetCode(), c.code) << c.name;
    }
  }
}

// Every frame of the run is popped, the template-frame depth follows the
// source depth, and a lookup tests few rules however many there are.
TEST_F(TemplateExecutorsTest, DeepSourceRunsAndLookupsStayIndexed) {
  std::string source;
  for (int i = 0; i < 500; ++i) source += "<e>";
  source += "t";
  for (int i = 0; i < 500; ++i) source += "</e>";
  std::string body;
  for (int i = 0; i < 200; ++i) body += "<xsl:template match='n" + std::to_string(i) + "'/>";
  EXPECT_EQ(Transform(body, source), "t");
  EXPECT_EQ(processor_.FrameDepth(), 0);
  // The root's, the first element's and the text's lookups each tested
  // one rule, the built-in one for the node's kind; no rule names "e" and
  // the built-in rule tests the kind alone, so the 499 elements below the
  // first one share its answer and test none.
  EXPECT_EQ(processor_.TemplateIndex().Tests(), 3);
}

}  // namespace

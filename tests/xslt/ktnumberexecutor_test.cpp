// xsl:number run through the processor: counting at the three levels with
// count and from, values, format strings and grouping, compared with
// xsltproc's text output of the same stylesheet; errors by code; and the
// linear cost of numbering every node of a large document.
#include <gtest/gtest.h>

#include <string>

#include "kttestprocessor.h"
#include "ktxslttest_util.h"
#include "output/ktresulttree_util.h"
#include "xslt/ktnumberexecutors.h"
#include "xslt/ktrunloop.h"
#include "xslt/ktxslterror.h"

namespace {

std::string U8(std::u16string_view s) { return KTUtf16ToUtf8(s); }

std::string Stylesheet(const std::string& body) {
  return "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' xmlns:x='urn:x'>"
         "<xsl:output method='text'/>" +
         body + "</xsl:stylesheet>";
}

constexpr const char* kBook =
    "<doc><chapter><title>t</title><section><item>a</item><note>n</note><item>b</item><item>c</item></section>"
    "<section><item>d</item></section></chapter>"
    "<chapter><section><item>e</item><item>f</item></section><item>g</item></chapter></doc>";

class NumberExecutorTest : public ::testing::Test {
 protected:
  void SetUp() override { processor_.SetTreeContext(&context_); }

  std::string Transform(const std::string& body, const std::string& source) {
    std::u16string style = KTUtf8ToUtf16(Stylesheet(body));
    std::u16string input = KTUtf8ToUtf16(source);
    stylesheet_ = ParseTestDocument(context_, style.c_str());
    source_ = ParseTestDocument(context_, input.c_str());
    EXPECT_TRUE(stylesheet_.view && source_.view);
    if (!stylesheet_.view || !source_.view) return "";
    try {
      KTRunTransformation(processor_, stylesheet_.view.get(), source_.view.get());
    } catch (KTXSLTError& e) {
      return "error " + std::to_string(e.GetCode()) + " " + U8(e.GetMessage());
    }
    return U8(processor_.Serialize());
  }

  static std::string Reference(const std::string& body, const std::string& source) {
    ktresulttree::ScratchFolder folder;
    std::string style = folder.Write("style.xsl", Stylesheet(body));
    std::string input = folder.Write("in.xml", source);
    return ktresulttree::Run("xsltproc '" + style + "' '" + input + "' 2>/dev/null");
  }

  KTXPathTreeContext context_;
  KTTestProcessor processor_;
  KTTestDocument stylesheet_;
  KTTestDocument source_;
};

// Every item (and note) numbered by the given xsl:number, one per line.
std::string Items(const std::string& number, const std::string& match = "item") {
  return "<xsl:template match='" + match + "'>[<xsl:value-of select='.'/>:" + number +
         "]<xsl:text>\n</xsl:text></xsl:template><xsl:template match='title|note'/>";
}

TEST_F(NumberExecutorTest, AgreesWithXsltproc) {
  if (!ktresulttree::HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc is not installed";
  struct Case {
    const char* name;
    std::string body;
    std::string source = kBook;
  } cases[] = {
      {"single, default count", Items("<xsl:number/>")},
      {"single, count two names", Items("<xsl:number count='item|note'/>", "item|note")},
      {"single, from", Items("<xsl:number level='single' count='item' from='section'/>")},
      {"single, from hides the counted ancestor", Items("<xsl:number count='chapter' from='section'/>")},
      {"single, counted ancestor", Items("<xsl:number count='section'/>")},
      {"multiple 1.1", Items("<xsl:number level='multiple' count='chapter|section|item' format='1.1'/>")},
      {"multiple 1.a.i", Items("<xsl:number level='multiple' count='chapter|section|item' format='1.a.i'/>")},
      {"multiple, from", Items("<xsl:number level='multiple' count='section|item' from='chapter' format='1-1'/>")},
      {"multiple, format with prefix and suffix",
       Items("<xsl:number level='multiple' count='chapter|item' format='(1/A) '/>")},
      {"any", Items("<xsl:number level='any'/>")},
      {"any, count", Items("<xsl:number level='any' count='item|note|title'/>", "item|note")},
      {"any, from", Items("<xsl:number level='any' count='item' from='chapter'/>")},
      {"any, from section", Items("<xsl:number level='any' count='item' from='section'/>")},
      {"any, nothing counted", Items("<xsl:number level='any' count='note'/>")},
      {"formats",
       "<xsl:template match='/'>"
       "<xsl:number value='28' format='a'/>|<xsl:number value='28' format='A'/>|"
       "<xsl:number value='1999' format='I'/>|<xsl:number value='1999' format='i'/>|"
       "<xsl:number value='3' format='01'/>|<xsl:number value='3' format='001'/>|"
       "<xsl:number value='3' format='(1)'/>|<xsl:number value='3' format='1.'/>|"
       "<xsl:number value='3' format=''/>|<xsl:number value='3' format='--'/>|"
       "<xsl:number value='2.5'/>|<xsl:number value='2.4'/>|<xsl:number value='0'/>|"
       "<xsl:number value='0' format='a'/>|<xsl:number value='3' format='x'/>|"
       "<xsl:number value='1234567' grouping-separator=',' grouping-size='3'/>|"
       "<xsl:number value='1234567' grouping-separator='.' grouping-size='2' format='0001'/>|"
       "<xsl:number value='1234567' grouping-size='3'/>|"
       "<xsl:number value='702' format='a'/>|<xsl:number value='703' format='A'/>|"
       "<xsl:number value='4' format='{concat(\"i\", \"\")}'/>|"
       "<xsl:number value='99999999999'/>|<xsl:number value='1 div 0'/>|<xsl:number value='3' "
       "letter-value='traditional'/>"
       "</xsl:template>"},
      {"text nodes", "<xsl:template match='text()'><xsl:number/>,</xsl:template>"},
      // The default count compares namespace URI and local name: elements
      // in a default namespace are counted.
      {"default namespace",
       "<xsl:template match='x:item'><xsl:number/>,<xsl:number level='any'/>;</xsl:template>",
       "<doc xmlns='urn:x'><item/><other/><item/><list><item/></list></doc>"},
      {"attributes", "<xsl:template match='/'><xsl:apply-templates select='//@id'/></xsl:template>"
                     "<xsl:template match='@id'><xsl:number/>,<xsl:number level='any' count='e'/>;</xsl:template>",
       "<doc><e id='a'/><e id='b'/><f id='c'/></doc>"},
  };
  for (const Case& c : cases) EXPECT_EQ(Transform(c.body, c.source), Reference(c.body, c.source)) << c.name;
}

TEST_F(NumberExecutorTest, AnswersOfOurOwn) {
  // Negative, NaN and infinite values are written as their string value
  // (xsltproc writes 0 for -2 and reports an error).
  EXPECT_EQ(Transform("<xsl:template match='/'><xsl:number value='-2'/>|<xsl:number value='number(\"x\")'/>"
                      "</xsl:template>",
                      "<doc/>"),
            "-2|NaN");
  const struct {
    const char* number;
    int code;
  } errors[] = {
      {"<xsl:number letter-value='other'/>", 31},
      {"<xsl:number count='item['/>", 6},
      // Not patterns (XSLT 1.0 §5.2): refused when the stylesheet compiles.
      {"<xsl:number count='1'/>", 6},
      {"<xsl:number level='any' from='\"x\"'/>", 6},
      {"<xsl:number count='ancestor::item'/>", 1},
  };
  for (const auto& e : errors) {
    std::string out = Transform("<xsl:template match='/'>" + std::string(e.number) + "</xsl:template>", kBook);
    std::string expected = "error " + std::to_string(e.code) + " ";
    EXPECT_EQ(out.substr(0, expected.size()), expected) << e.number << ": " << out;
  }
  EXPECT_EQ(KTNumberExecutor::FormatNumberList(u"1.1", {1, 2, 3, 4}, u",", 0), u"1.2.3.4");
  EXPECT_EQ(KTNumberExecutor::FormatNumberList(u"[1]", {1, 2}, u",", 0), u"[1.2]");
  EXPECT_EQ(KTNumberExecutor::FormatNumberList(u"1", {}, u",", 0), u"");
  // A fullwidth digit one is a decimal token like any other script's
  // (xsltproc takes it for punctuation); zeros of another script before the
  // one make a token that numbers as "1" does (xsltproc counts its width).
  EXPECT_EQ(KTNumberExecutor::FormatNumberList(u"\uFF11", {1234}, u",", 3), u"\uFF11,\uFF12\uFF13\uFF14");
  EXPECT_EQ(KTNumberExecutor::FormatNumberList(u"0\u0661", {7}, u",", 0), u"7");
  EXPECT_EQ(KTNumberExecutor::FormatNumberList(u"\u0660\u0662", {7}, u",", 0), u"7");
}

TEST_F(NumberExecutorTest, NumberingEveryNodeIsLinear) {
  // 20,000 siblings numbered at every level: the counting sets are built
  // once per document, so a second run over a document twice as large costs
  // about twice as many set members, never the square.
  std::string source = "<doc>";
  for (int i = 0; i < 20000; ++i) source += "<item/>";
  source += "</doc>";
  std::string out = Transform(
      "<xsl:template match='item'><xsl:number/>,<xsl:number level='any'/>,<xsl:number level='multiple'/>;"
      "</xsl:template>",
      source);
  EXPECT_EQ(out.substr(out.size() - 18), "20000,20000,20000;");
  // The one set, and the document's nodes grouped by kind and name.
  EXPECT_EQ(processor_.NumberingSets().size(), 2u);
}

TEST_F(NumberExecutorTest, ManyNamesAreCountedFromOneGrouping) {
  if (!ktresulttree::HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc is not installed";
  // 300 names, each in no namespace, in urn:x through a prefix and through a
  // default namespace (the same expanded name as the prefixed one), among
  // text, comments and processing instructions.
  std::string source = "<doc xmlns:x='urn:x'>";
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < 300; ++i) {
      std::string n = "e" + std::to_string(i);
      source += "<" + n + "/>t<x:" + n + "/><" + n + " xmlns='urn:x'/><!--c--><?p" + std::to_string(i % 3) + "?>";
    }
  source += "</doc>";
  std::string body =
      "<xsl:template match='/'><xsl:for-each select='//node()'><xsl:number/>.<xsl:number level='any'/>,"
      "</xsl:for-each></xsl:template>";
  EXPECT_EQ(Transform(body, source), Reference(body, source));
  // One set per kind and name numbered, and the grouping they came from.
  EXPECT_EQ(processor_.NumberingSets().size(), 600u + 1u + 1u + 1u + 3u + 1u);
}

}  // namespace

// Variables and parameters, named templates, conditionals, xsl:for-each with
// xsl:sort, xsl:comment and xsl:processing-instruction, run through the
// processor with every standard executor and serialised. Where XSLT 1.0
// allows one answer the text is compared with xsltproc's for the same
// stylesheet and source; the order of text sort keys (our own collation)
// and the stylesheet errors are checked directly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "kttestprocessor.h"
#include "ktxslttest_util.h"
#include "output/ktresulttree_util.h"
#include "schema/ktschemamodel.h"
#include "streams/ktunicodedatabase.h"
#include "xml/ktdocloader.h"
#include "xpath/ktxpathexpression.h"
#include "xslt/ktrunloop.h"
#include "xslt/ktsortkeys.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"

namespace {

using ktresulttree::HaveTool;
using ktresulttree::ScratchFolder;

std::string U8(std::u16string_view s) { return KTUtf16ToUtf8(s); }

// A document loaded from text through the document loader and wrapped with
// a schema model, as the front end does (references are expanded).
KTTestDocument LoadDocument(KTXPathTreeContext& context, const std::string& bytes) {
  KTTestDocument doc;
  KTDocumentLoader loader(&StandardGrammars(), nullptr, nullptr);
  KTLoadStatus status;
  doc.tree.reset(loader.LoadFromBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), KTGrammarCache::kXml, status));
  if (!doc.tree) return doc;
  KTSchemaModel model;
  doc.view = context.WrapTree(doc.tree.get(), &model, false, nullptr);
  return doc;
}

std::string Stylesheet(const std::string& body, const std::string& method = "text") {
  return "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
         "<xsl:output method='" + method + "' omit-xml-declaration='yes'/>" + body + "</xsl:stylesheet>";
}

std::string TrimEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

class FlowExecutorsTest : public ::testing::Test {
 protected:
  void SetUp() override { processor_.SetTreeContext(&context_); }

  // Our serialised result, or "error <code>" when a stylesheet error stops
  // the run (errorNode_ then names the node it points at).
  std::string Transform(const std::string& stylesheet, const std::string& source) {
    stylesheet_ = LoadDocument(context_, stylesheet);
    source_ = LoadDocument(context_, source);
    EXPECT_TRUE(stylesheet_.view && source_.view) << stylesheet;
    if (!stylesheet_.view || !source_.view) return "";
    errorNode_ = nullptr;
    try {
      int steps = 0;
      // A run that never ends is a failure, not a hang of the suite.
      KTRunEnd end = KTRunTransformation(processor_, stylesheet_.view.get(), source_.view.get(),
                                         [&] { return ++steps <= 10'000'000; });
      if (end == KTRunEnd::kStopped) return "runaway";
      return TrimEnd(U8(processor_.Serialize()));
    } catch (const KTXSLTError& error) {
      errorNode_ = error.GetNode();
      return "error " + std::to_string(error.GetCode());
    }
  }

  static std::string Reference(const std::string& stylesheet, const std::string& source) {
    ScratchFolder folder;
    std::string style = folder.Write("style.xsl", stylesheet);
    std::string input = folder.Write("in.xml", source);
    return TrimEnd(ktresulttree::Run("xsltproc '" + style + "' '" + input + "' 2>/dev/null"));
  }

  std::string ErrorNodeName() const {
    if (!errorNode_) return "(none)";
    return (errorNode_->GetKind() == kXPathAttribute ? "@" : "") + U8(errorNode_->GetName());
  }

  KTXPathTreeContext context_;
  KTTestProcessor processor_;
  KTTestDocument stylesheet_;
  KTTestDocument source_;
  KTXPathNode* errorNode_ = nullptr;
};

struct AgreementCase {
  const char* name;
  std::string body;
  std::string source;
  const char* method = "text";
};

// Cases whose answer XSLT 1.0 fixes, compared with xsltproc.
TEST_F(FlowExecutorsTest, TransformsAgreeWithXsltproc) {
  if (!HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc is not installed";
  const std::string values = "<r><v>2</v><v>10</v><v>1</v></r>";
  const AgreementCase cases[] = {
      {"recursive factorial", R"(
        <xsl:template match='/'><xsl:call-template name='fact'><xsl:with-param name='n' select='5'/>
        </xsl:call-template></xsl:template>
        <xsl:template name='fact'><xsl:param name='n'/><xsl:param name='acc' select='1'/>
          <xsl:choose>
            <xsl:when test='$n &lt;= 1'><xsl:value-of select='$acc'/></xsl:when>
            <xsl:otherwise><xsl:call-template name='fact'>
              <xsl:with-param name='acc' select='$acc * $n'/><xsl:with-param name='n' select='$n - 1'/>
            </xsl:call-template></xsl:otherwise>
          </xsl:choose></xsl:template>)",
       "<r/>"},
      // Top-level declarations may refer forwards; params take their defaults.
      {"forward references", R"(
        <xsl:variable name='a' select='$b + 1'/><xsl:param name='b' select='$c * 2'/>
        <xsl:variable name='c' select='count(//v)'/>
        <xsl:template match='/'><xsl:value-of select='concat($a, ",", $b, ",", $c)'/></xsl:template>)",
       values},
      {"number descending", R"(
        <xsl:template match='/'><xsl:for-each select='r/v'><xsl:sort data-type='number' order='descending'/>
        <xsl:value-of select='.'/>,</xsl:for-each></xsl:template>)",
       values},
      {"text default", R"(
        <xsl:template match='/'><xsl:for-each select='r/v'><xsl:sort/><xsl:value-of select='.'/>,</xsl:for-each>
        </xsl:template>)",
       values},
      // Not a number: first ascending, last descending; equal keys keep
      // document order.
      {"NaN and ties", R"(
        <xsl:template match='/'>
          <xsl:for-each select='r/v'><xsl:sort select='@k' data-type='number'/><xsl:value-of select='.'/>,</xsl:for-each>|
          <xsl:for-each select='r/v'><xsl:sort select='@k' data-type='number' order='descending'/>
            <xsl:value-of select='.'/>,</xsl:for-each></xsl:template>)",
       "<r><v k='2'>a</v><v k='x'>b</v><v k='1'>c</v><v>d</v><v k='2'>e</v><v k='1'>f</v></r>"},
      // position() and last() follow the sorted order; a variable in the
      // body is bound afresh in every iteration.
      {"positions and variables", R"(
        <xsl:template match='/'><xsl:for-each select='r/v'><xsl:sort select='.' data-type='number'/>
          <xsl:variable name='twice' select='. * 2'/>
          <xsl:value-of select='concat(position(), "/", last(), "=", $twice)'/>;</xsl:for-each></xsl:template>)",
       values},
      // A second key decides where the first is equal.
      {"two keys", R"(
        <xsl:template match='/'><xsl:for-each select='r/p'><xsl:sort select='@g'/>
          <xsl:sort select='@n' data-type='number' order='descending'/>
          <xsl:value-of select='concat(@g, @n)'/>,</xsl:for-each></xsl:template>)",
       "<r><p g='b' n='1'/><p g='a' n='2'/><p g='b' n='3'/><p g='a' n='10'/></r>"},
      // apply-templates sorts too; with-param before and after xsl:sort sees
      // the context where apply-templates was reached.
      {"apply-templates with sort and parameters", R"(
        <xsl:template match='/'><xsl:apply-templates select='r'/></xsl:template>
        <xsl:template match='r'><xsl:apply-templates select='v'>
          <xsl:with-param name='p' select='name()'/><xsl:sort select='.' data-type='number'/>
          <xsl:with-param name='q' select='count(v)'/></xsl:apply-templates></xsl:template>
        <xsl:template match='v'><xsl:param name='p'/><xsl:param name='q'/><xsl:param name='z' select='"dz"'/>
          <xsl:value-of select='concat(., $p, $q, $z, position(), last())'/>,</xsl:template>)",
       values},
      {"if, choose and otherwise", R"(
        <xsl:template match='/'><xsl:for-each select='r/v'>
          <xsl:if test='. &gt; 1'>big</xsl:if><xsl:if test='. = 10'/>
          <xsl:choose><xsl:when test='. = 2'>two</xsl:when><xsl:when test='. &gt; 1'>many</xsl:when>
            <xsl:when test='true()'>never</xsl:when></xsl:choose>
          <xsl:choose><xsl:when test='. = 1'>one</xsl:when><xsl:otherwise>other</xsl:otherwise></xsl:choose>
          <xsl:choose><xsl:when test='false()'>no</xsl:when></xsl:choose>;</xsl:for-each></xsl:template>)",
       values},
      // Result tree fragments: content bound as a root, used as a string and
      // copied; a variable without select or content is the empty string.
      {"fragments", R"(
        <xsl:template match='/'><xsl:variable name='f'>a<b>c</b><xsl:value-of select='count(//v)'/></xsl:variable>
          <xsl:variable name='e'/><xsl:variable name='n' select='//v'/>
          <xsl:value-of select='concat($f, "|", string-length($e), "|", $n, "|", count($n))'/>
          <xsl:call-template name='t'><xsl:with-param name='x'>p<q/></xsl:with-param></xsl:call-template>
        </xsl:template>
        <xsl:template name='t'><xsl:param name='x'/>|<xsl:value-of select='$x'/></xsl:template>)",
       values},
      // A called template keeps the caller's current node list; a named
      // template with a prefix is found through another prefix of its URI.
      {"call-template context and names", R"(
        <xsl:template match='/'><xsl:for-each select='r/v'><xsl:call-template name='q:show' xmlns:q='urn:x'/></xsl:for-each>
        </xsl:template>
        <xsl:template name='p:show' xmlns:p='urn:x'><xsl:value-of select='concat(., position(), last())'/>,</xsl:template>)",
       values},
      // A local variable may shadow a top-level one; sibling bodies may
      // reuse a name.
      {"scopes", R"(
        <xsl:variable name='x' select='"top"'/>
        <xsl:template match='/'><xsl:variable name='x' select='"local"'/><xsl:value-of select='$x'/>
          <xsl:for-each select='r/v'><xsl:variable name='y' select='.'/><xsl:value-of select='$y'/></xsl:for-each>
          <xsl:for-each select='r/v'><xsl:variable name='y' select='. + 1'/><xsl:value-of select='$y'/></xsl:for-each>
        </xsl:template>)",
       values},
      // A top-level variable built from content that applies templates;
      // parameters with content; a when inside a when.
      {"top-level fragment", R"(
        <xsl:variable name='list'><xsl:apply-templates select='r/v' mode='l'/></xsl:variable>
        <xsl:template match='v' mode='l'>[<xsl:value-of select='.'/>]</xsl:template>
        <xsl:template match='/'><xsl:value-of select='$list'/>
          <xsl:apply-templates select='r'><xsl:with-param name='w'><xsl:value-of select='count(r/v)'/>!</xsl:with-param>
          </xsl:apply-templates></xsl:template>
        <xsl:template match='r'><xsl:param name='w'/><xsl:variable name='outer' select='v[1]'/>
          <xsl:choose><xsl:when test='$w'><xsl:choose><xsl:when test='$outer = 2'>
            <xsl:value-of select='concat($w, $outer)'/></xsl:when></xsl:choose></xsl:when></xsl:choose>
        </xsl:template>)",
       values},
      {"empty selections", R"(
        <xsl:template match='/'>[<xsl:for-each select='r/none'><xsl:sort select='zzz'/>x</xsl:for-each>]
          [<xsl:apply-templates select='r/none'><xsl:sort/></xsl:apply-templates>]</xsl:template>)",
       values},
  };
  for (const AgreementCase& c : cases) {
    std::string stylesheet = Stylesheet(c.body, c.method);
    std::string ours = Transform(stylesheet, c.source);
    EXPECT_EQ(ours, Reference(stylesheet, c.source)) << c.name;
  }
}

// XSLT 1.0 §7.4 and §7.3 let a processor either refuse "--" in a comment
// and "?>" in a processing instruction or insert a space; we insert it.
TEST_F(FlowExecutorsTest, CommentsAndProcessingInstructionsGetSpaces) {
  std::string body = R"(
      <xsl:template match='/'><out><xsl:comment>a--b-</xsl:comment><xsl:comment>a---b</xsl:comment>
        <xsl:comment/><xsl:processing-instruction name='xml-stylesheet'>x?>y<e>dropped</e>z</xsl:processing-instruction>
        <xsl:processing-instruction name='{name(r)}'/><xsl:comment><xsl:value-of select='r'/>-<e>in</e></xsl:comment>
      </out></xsl:template>)";
  EXPECT_EQ(Transform(Stylesheet(body, "xml"), "<r>x</r>"),
            "<out><!--a- -b- --><!--a- - -b--><!----><?xml-stylesheet x? >yz?><?r?><!--x-in--></out>");
}

// Once the top-level declarations are done (one of them evaluated early
// for a forward reference), an unbound name in a template is an ordinary
// error: the frames stay for the error report. Only an expression in
// forwards-compatible mode (XSLT 1.0 §2.5) gets to the run with an unbound
// name; elsewhere the compile refuses it.
TEST_F(FlowExecutorsTest, UnboundNamesAfterTheTopLevelAreNotRecovered) {
  std::string body = R"(
      <xsl:variable name='a' select='$b'/><xsl:variable name='b' select='1'/>
      <xsl:template match='/'><xsl:value-of select='$a'/>
      <r xsl:version='2.0'><xsl:value-of select='$nowhere'/></r></xsl:template>)";
  EXPECT_EQ(Transform(Stylesheet(body), "<r/>"), "error 1");
  EXPECT_FALSE(processor_.TopLevelVariableFlag());
  EXPECT_EQ(processor_.FrameDepth(), 4);  // stylesheet, template, r, value-of
}

// A passed value wins and the default is never evaluated: a default that
// would fail stays unevaluated.
TEST_F(FlowExecutorsTest, PassedParametersSkipTheirDefault) {
  std::string body = R"(
      <xsl:template match='/'><xsl:call-template name='t'><xsl:with-param name='p' select='"given"'/>
      </xsl:call-template><xsl:call-template name='t'/></xsl:template>
      <xsl:template name='t'><xsl:param name='p' select='count(string(.))'/><xsl:value-of select='$p'/></xsl:template>)";
  EXPECT_EQ(Transform(Stylesheet(body), "<r/>"), "error 1");
  body = R"(
      <xsl:template match='/'><xsl:call-template name='t'><xsl:with-param name='p' select='"given"'/>
      </xsl:call-template></xsl:template>
      <xsl:template name='t'><xsl:param name='p' select='count(string(.))'/><xsl:value-of select='$p'/></xsl:template>)";
  EXPECT_EQ(Transform(Stylesheet(body), "<r/>"), "given");
}

TEST_F(FlowExecutorsTest, FactorialGivesOneHundredTwenty) {
  std::string result = Transform(Stylesheet(R"(
      <xsl:template match='/'><xsl:call-template name='f'><xsl:with-param name='n' select='5'/></xsl:call-template>
      </xsl:template>
      <xsl:template name='f'><xsl:param name='n'/><xsl:choose><xsl:when test='$n = 0'>1</xsl:when><xsl:otherwise>
        <xsl:variable name='r'><xsl:call-template name='f'><xsl:with-param name='n' select='$n - 1'/>
        </xsl:call-template></xsl:variable><xsl:value-of select='$n * $r'/></xsl:otherwise></xsl:choose>
      </xsl:template>)"),
                                 "<r/>");
  EXPECT_EQ(result, "120");
}

// The default text order is our collation's: alphabetical ignoring case and
// accents, then accents, then lower case first; the host's locale settings
// do not matter.
TEST_F(FlowExecutorsTest, TextSortFollowsTheCollationUnderEveryLocale) {
  const std::string source =
      "<r><v>b</v><v>A</v><v>a</v><v>B</v><v>\xC3\xA9</v><v>e</v><v>Z</v></r>";
  struct Case {
    const char* sort;
    const char* expected;
  } cases[] = {
      {"<xsl:sort/>", "a A b B e \xC3\xA9 Z "},
      {"<xsl:sort order='descending'/>", "Z \xC3\xA9 e B b A a "},
      {"<xsl:sort case-order='upper-first'/>", "A a B b e \xC3\xA9 Z "},
      {"<xsl:sort case-order='lower-first'/>", "a A b B e \xC3\xA9 Z "},
      {"<xsl:sort lang='de'/>", "a A b B e \xC3\xA9 Z "},
  };
  const char* saved = std::getenv("LANG");
  std::string savedText = saved ? saved : "";
  for (const char* lang : {"C", "C.UTF-8", "de_DE.UTF-8"}) {
    setenv("LANG", lang, 1);
    for (const Case& c : cases) {
      std::string body = std::string("<xsl:template match='/'><xsl:for-each select='r/v'>") + c.sort +
                         "<xsl:value-of select='.'/><xsl:text> </xsl:text></xsl:for-each></xsl:template>";
      EXPECT_EQ(Transform(Stylesheet(body), source), c.expected) << c.sort << " LANG=" << lang;
    }
  }
  if (saved) setenv("LANG", savedText.c_str(), 1);
  else unsetenv("LANG");
}

TEST_F(FlowExecutorsTest, CaseOrderUpperFirstPutsCapitalsFirst) {
  std::string body =
      "<xsl:template match='/'><xsl:for-each select='r/v'><xsl:sort case-order='upper-first'/>"
      "<xsl:value-of select='.'/>,</xsl:for-each></xsl:template>";
  EXPECT_EQ(Transform(Stylesheet(body), "<r><v>b</v><v>a</v><v>A</v></r>"), "A,a,b,");
}

// Keys of the shapes ".", "name" and "@name" are read from the tree without
// evaluating the expression; they sort exactly as equivalent expressions
// that are evaluated do. Enough records for a merge sort, with ties, case
// variants, missing keys, NaN, -0, prefixed and namespaced names.
TEST_F(FlowExecutorsTest, SimpleKeysSortAsTheirEvaluatedExpressions) {
  const char* words[] = {"apple", "Apple", "\xC3\xA4pple", "APPLE", "", " x", "stra\xC3\x9F" "e", "strasse",
                         "Strasse", "ab", "a", "b2", "B1", "10", "9"};
  const char* numbers[] = {"1", "-0", "0", "NaN", "x", "", "3.25", "-7", " 4 ", "Infinity", ".5"};
  std::string source = "<r xmlns:p='urn:p'>";
  for (int i = 0; i < 120; ++i) {
    std::string word = words[(i * 7) % std::size(words)];
    std::string number = numbers[(i * 5) % std::size(numbers)];
    source += "<e id='e" + std::to_string(i) + "'" + (i % 9 ? " n='" + number + "'" : std::string()) + ">";
    if (i % 4 == 0) source += "<p:w>zzz</p:w>";
    if (i % 6 == 0) source += "<w xmlns='urn:q'>zzz</w>";
    if (i % 11) source += "<w>" + word + "<b>" + std::to_string(i % 3) + "</b></w>";
    if (i % 5 == 0) source += "<w>second</w>";
    source += word + "</e>";
  }
  source += "</r>";
  struct Case {
    const char* simple;
    const char* evaluated;
  } cases[] = {
      {"<xsl:sort select='w'/>", "<xsl:sort select='./w'/>"},
      {"<xsl:sort select=' w ' order='descending' case-order='upper-first'/>",
       "<xsl:sort select='child::w' order='descending' case-order='upper-first'/>"},
      {"<xsl:sort select='@n' data-type='number'/><xsl:sort select='w' case-order='lower-first'/>",
       "<xsl:sort select='attribute::n' data-type='number'/><xsl:sort select='w[1]' case-order='lower-first'/>"},
      {"<xsl:sort select='@n' data-type='number' order='descending'/><xsl:sort select='.'/>",
       "<xsl:sort select='@n | @none' data-type='number' order='descending'/><xsl:sort select='self::node()'/>"},
      {"<xsl:sort select='@n'/><xsl:sort select='w' data-type='number'/><xsl:sort select='@id'/>",
       "<xsl:sort select='string(@n)'/><xsl:sort select='number(w)' data-type='number'/><xsl:sort select='@*[1]'/>"},
  };
  for (const Case& c : cases) {
    auto body = [](const char* sort) {
      return std::string("<xsl:template match='/'><xsl:for-each select='r/e'>") + sort +
             "<xsl:value-of select='@id'/>,</xsl:for-each><xsl:apply-templates select='r/e/@n'>" + sort +
             "</xsl:apply-templates></xsl:template><xsl:template match='@n'><xsl:value-of select='../@id'/>;"
             "</xsl:template>";
    };
    std::string simple = Transform(Stylesheet(body(c.simple)), source);
    EXPECT_EQ(simple, Transform(Stylesheet(body(c.evaluated)), source)) << c.simple;
    EXPECT_NE(simple.find("e119"), std::string::npos) << c.simple;
  }
}

// The order of two whole collation keys, or of the keys without their case
// level: the order the sorter's level-by-level comparison must agree with.
int WholeKeyOrder(const KTCollation::Key& a, const KTCollation::Key& b) { return a.weights.compare(b.weights); }
int KeyOrderIgnoringCase(const KTCollation::Key& a, const KTCollation::Key& b) {
  return std::u16string_view(a.weights).substr(0, a.caseStart).compare(
      std::u16string_view(b.weights).substr(0, b.caseStart));
}

TEST(CollationTest, KeysOrderSpacesPunctuationDigitsLettersAndExpansions) {
  const KTCollation& collation = KTCollation::ForLanguage(KTString(u"en"));
  const char16_t* ordered[] = {u"",     u" a",  u"-a",   u"0",     u"10", u"9",     u"a",   u"A",
                               u"\u00e1", u"ab", u"ae",  u"\u00e6", u"b",  u"ss",     u"\u00df", u"st",
                               u"z",    u"\u00fe", u"\u03b1"};
  for (size_t i = 0; i + 1 < std::size(ordered); ++i) {
    KTCollation::Key a, b;
    collation.MakeKey(ordered[i], a);
    collation.MakeKey(ordered[i + 1], b);
    EXPECT_LT(WholeKeyOrder(a, b), 0) << U8(ordered[i]) << " before " << U8(ordered[i + 1]);
  }
  KTCollation::Key lower, upper;
  collation.MakeKey(u"abc", lower);
  collation.MakeKey(u"ABC", upper);
  EXPECT_EQ(KeyOrderIgnoringCase(lower, upper), 0);
  EXPECT_LT(WholeKeyOrder(lower, upper), 0);
}

// The built-in ASCII categories that spare ASCII sorts the character
// database agree with the database.
TEST(CollationTest, AsciiCategoriesAreTheDatabases) {
  for (char16_t c = 0; c < 0x80; ++c)
    EXPECT_EQ(std::u16string_view(KTCollation::CategoryOf(c)), std::u16string_view(KTUnicodeDatabase::GetCategory(c)))
        << "U+" << static_cast<int>(c);
}

// Keys "name()" and "name(.)" are read from each node as name() gives it:
// elements, attributes, namespace nodes, processing instructions and
// nameless nodes sort as the evaluated function call sorts them.
TEST_F(FlowExecutorsTest, NameKeysSortAsTheEvaluatedCall) {
  const std::string source =
      "<?pi-b data?><r xmlns:p='urn:p' xmlns:q='urn:q'><b x='1' p:y='2'/><p:a/><A/><a q:z='3'/><!-- c -->"
      "<?pi-a x?>text<B/><q:b/><E/><n1/><n10/><n9/></r>";
  struct Case {
    const char* simple;
    const char* evaluated;
  } cases[] = {
      {"<xsl:sort select='name()'/>", "<xsl:sort select='concat(name(), \"\")'/>"},
      {"<xsl:sort select=' name ( . ) ' order='descending' case-order='upper-first'/>",
       "<xsl:sort select='string(name(.))' order='descending' case-order='upper-first'/>"},
      {"<xsl:sort select='name(.)' data-type='number'/><xsl:sort select='name()' case-order='lower-first'/>",
       "<xsl:sort select='number(name(.))' data-type='number'/><xsl:sort select='concat(name(), \"\")' "
       "case-order='lower-first'/>"},
  };
  for (const Case& c : cases) {
    auto body = [](const char* sort) {
      return std::string("<xsl:template match='/'><xsl:for-each select='//node() | //@* | //namespace::* | /'>") +
             sort + "[<xsl:value-of select='name()'/>]</xsl:for-each></xsl:template>";
    };
    std::string simple = Transform(Stylesheet(body(c.simple)), source);
    EXPECT_EQ(simple, Transform(Stylesheet(body(c.evaluated)), source)) << c.simple;
    EXPECT_NE(simple.find("[pi-a]"), std::string::npos) << c.simple;
  }
}

// White space in a name() key: the ends of the text are trimmed as for any
// expression, but between its tokens only XPath white space may stand; a
// key with other spaces there is refused as the evaluated call is.
TEST_F(FlowExecutorsTest, NameKeysTakeWhiteSpaceAsTheExpressionGrammarDoes) {
  const std::string source = "<r><b/><a/><c/></r>";
  struct Case {
    const char* simple;
    const char* evaluated;
    bool refused;
  } cases[] = {
      {"&#x2000;name( . )&#x3000;", "&#x2000;string(name( . ))&#x3000;", false},
      {"name(&#x2000;)", "string(name(&#x2000;))", true},
      {"name&#x3000;(.)", "string(name&#x3000;(.))", true},
      {"name(.&#xA0;)", "string(name(.&#xA0;))", true},
  };
  for (const Case& c : cases) {
    auto body = [](const char* select) {
      return std::string("<xsl:template match='/'><xsl:for-each select='r/*'><xsl:sort select='") + select +
             "'/><xsl:value-of select='name()'/>,</xsl:for-each></xsl:template>";
    };
    const std::string simple = Transform(Stylesheet(body(c.simple)), source);
    EXPECT_EQ(simple, Transform(Stylesheet(body(c.evaluated)), source)) << c.simple;
    EXPECT_EQ(simple.rfind("error", 0) == 0, c.refused) << c.simple << ": " << simple;
  }
}

// A text key keeps its primary weights (or, in a large selection, reads
// them from its text) and its text; compared level by level, and through
// its summary, it orders texts as their whole weight strings do.
TEST(CollationTest, SortKeysCompareAsTheirWholeWeights) {
  const char16_t* words[] = {u"", u"a", u"A", u"\u00e1", u"\u00c1", u"ab", u"aB", u"Ab", u"\u00e6", u"\u00c6",
                             u"ae", u"AE", u"\u00df", u"ss", u"SS", u"stra\u00dfe", u"strasse", u"Strasse", u"10",
                             u"9", u" a", u"-a", u"\u00fe", u"\u03b1", u"\u0391", u"e\u0301", u"\u00e9", u"e",
                             u"E", u"\u00c9", u"abcdef", u"abcdeg", u"abcd"};
  const KTCollation& collation = KTCollation::ForLanguage(KTString(u"en"));
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  for (int reserve : {static_cast<int>(std::size(words)), KTTextSortKeyComparator::kKeysWithoutWeights})
  for (int caseOrder : {0, 1, 2}) {
    for (bool descending : {false, true}) {
      SCOPED_TRACE(reserve);
      KTTextSortKeyComparator keys;
      keys.SetCaseOrder(caseOrder);
      keys.SetDescending(descending);
      keys.Reserve(reserve);
      for (size_t i = 0; i < std::size(words); ++i) {
        if (i % 2) keys.AddKey(words[i]);
        else keys.AddKeyInPlace(words[i]);
      }
      for (size_t i = 0; i < std::size(words); ++i) {
        for (size_t j = 0; j < std::size(words); ++j) {
          KTCollation::Key a, b;
          collation.MakeKey(words[i], a);
          collation.MakeKey(words[j], b);
          int whole = caseOrder == 0 ? WholeKeyOrder(a, b) : KeyOrderIgnoringCase(a, b);
          if (descending) whole = -whole;
          int got = keys.Compare(static_cast<int>(i), static_cast<int>(j));
          if (whole != 0) {
            EXPECT_EQ(sign(got), sign(whole)) << U8(words[i]) << " : " << U8(words[j]);
          }
          if (keys.Summary(static_cast<int>(i)) < keys.Summary(static_cast<int>(j))) {
            EXPECT_LT(got, 0) << U8(words[i]) << " : " << U8(words[j]);
          }
        }
      }
    }
  }
}

// Stylesheet errors with their codes and the nodes they point at.
TEST_F(FlowExecutorsTest, ErrorsNameTheirCodeAndNode) {
  struct Case {
    const char* name;
    std::string body;
    const char* expected;
    const char* node;
  } cases[] = {
      {"shadowed variable", "<xsl:template match='/'><xsl:variable name='x'/><xsl:if test='1'>"
                            "<xsl:variable name='x'/></xsl:if></xsl:template>",
       "error 13", "@name"},
      {"variable shadowing a parameter", "<xsl:template match='/'><xsl:param name='x'/><xsl:variable name='x'/>"
                                         "</xsl:template>",
       "error 13", "@name"},
      {"parameter twice", "<xsl:template match='/'><xsl:param name='x'/><xsl:param name='x'/></xsl:template>",
       "error 14", "@name"},
      {"top-level twice", "<xsl:variable name='x'/><xsl:param name='x'/><xsl:template match='/'/>", "error 14",
       "@name"},
      {"with-param twice", "<xsl:template match='/'><xsl:call-template name='t'><xsl:with-param name='a'/>"
                           "<xsl:with-param name='a'/></xsl:call-template></xsl:template><xsl:template name='t'/>",
       "error 14", "@name"},
      {"recursive variable", "<xsl:variable name='a' select='$a'/><xsl:template match='/'/>", "error 50",
       "xsl:variable"},
      {"variables referring to each other",
       "<xsl:variable name='a' select='$b'/><xsl:variable name='b' select='$a'/><xsl:template match='/'/>",
       "error 50", "xsl:variable"},
      {"recursion through a template",
       "<xsl:variable name='a'><xsl:call-template name='t'/></xsl:variable><xsl:template name='t'>"
       "<xsl:value-of select='$a'/></xsl:template><xsl:template match='/'/>",
       "error 50", "xsl:variable"},
      {"undefined template", "<xsl:template match='/'><xsl:call-template name='nowhere'>"
                             "<xsl:with-param name='p' select='1'/></xsl:call-template></xsl:template>",
       "error 8", "@name"},
      {"PI named xml", "<xsl:template match='/'><xsl:processing-instruction name='XmL'/></xsl:template>",
       "error 39", "@name"},
      {"PI name not an NCName", "<xsl:template match='/'><xsl:processing-instruction name='{\"a:b\"}'/>"
                                "</xsl:template>",
       "error 39", "@name"},
      {"order in capitals", "<xsl:template match='/'><xsl:for-each select='*'><xsl:sort order='Descending'/>"
                            "</xsl:for-each></xsl:template>",
       "error 31", "@order"},
      {"case-order unknown", "<xsl:template match='/'><xsl:for-each select='*'><xsl:sort case-order='upper'/>"
                             "</xsl:for-each></xsl:template>",
       "error 31", "@case-order"},
      {"data-type not a QName", "<xsl:template match='/'><xsl:for-each select='*'><xsl:sort data-type='1x'/>"
                                "</xsl:for-each></xsl:template>",
       "error 40", "@data-type"},
      {"for-each over a number", "<xsl:template match='/'><xsl:for-each select='1'/></xsl:template>", "error 29",
       "@select"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Transform(Stylesheet(c.body), "<r/>"), c.expected) << c.name;
    EXPECT_EQ(ErrorNodeName(), c.node) << c.name;
  }
}

// A QName data type and a capitalised "Number" sort as text.
TEST_F(FlowExecutorsTest, QNameDataTypesSortAsText) {
  for (const char* type : {"xs:date", "Number"}) {
    std::string body = std::string("<xsl:template match='/'><xsl:for-each select='r/v'><xsl:sort data-type='") +
                       type + "' xmlns:xs='urn:xs'/><xsl:value-of select='.'/>,</xsl:for-each></xsl:template>";
    EXPECT_EQ(Transform(Stylesheet(body), "<r><v>2</v><v>10</v><v>1</v></r>"), "1,10,2,") << type;
  }
}

// The variables of one iteration are gone in the next: a thousand
// iterations each bind the same name without a clash, and the frame stack
// does not grow with them.
TEST_F(FlowExecutorsTest, IterationsDoNotAccumulate) {
  std::string source = "<r>";
  for (int i = 0; i < 1000; ++i) source += "<v>" + std::to_string(i % 7) + "</v>";
  source += "</r>";
  std::string body =
      "<xsl:template match='/'><xsl:for-each select='r/v'><xsl:sort data-type='number'/>"
      "<xsl:variable name='x' select='.'/><xsl:if test='position() = last()'><xsl:value-of select='$x'/></xsl:if>"
      "</xsl:for-each></xsl:template>";
  EXPECT_EQ(Transform(Stylesheet(body), source), "6");
}

// The stylesheet compile leaves every expression, pattern and value
// template compiled in its records: a run, and a second run of the same
// compiled stylesheet, parse no expression text (the parser's own count
// stays put), and the result is xsltproc's. Each instruction that evaluates
// something is here: templates with alternatives and modes, variables and
// parameters (a -param among them), key() in each shape, sort keys,
// value templates, xsl:number's count, from and value.
TEST_F(FlowExecutorsTest, ARunParsesNoExpressionText) {
  if (!HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc is not installed";
  const std::string body = R"(
    <xsl:key name='byId' match='item' use='@id'/>
    <xsl:key name='byText' match='item' use='concat(name, "!")'/>
    <xsl:param name='given' select='"default"'/>
    <xsl:variable name='top' select='count(//item)'/>
    <xsl:variable name='fragment'><f><xsl:value-of select='$top'/></f></xsl:variable>
    <xsl:template match='/'>
      <out given='{$given}' n='{$top}-{{x}}'>
        <xsl:apply-templates select='list/item'>
          <xsl:sort select='@id' data-type='{"number"}' order='descending'/>
          <xsl:with-param name='mark' select='"*"'/>
        </xsl:apply-templates>
        <xsl:for-each select='list/item'>
          <xsl:sort select='name'/>
          <xsl:sort select='name()'/>
          <xsl:sort/>
          <s id='{@id}'><xsl:number count='item' from='list' format='(1)'/>
            <xsl:number value='position() * 2' format='a'/></s>
        </xsl:for-each>
        <k><xsl:value-of select='key("byId", "2")/name'/>|<xsl:value-of select='key("byId", @nothing)'/>
          <xsl:for-each select='list/item'><xsl:value-of select='key("byId", @id)/@id'/>
            <xsl:value-of select='key("byText", concat(name, "!"))/@id'/>
            <xsl:value-of select='key("byId", .)'/></xsl:for-each></k>
        <xsl:copy-of select='$fragment'/>
        <xsl:apply-templates select='list' mode='other'/>
        <xsl:call-template name='named'><xsl:with-param name='v' select='$given'/></xsl:call-template>
      </out>
    </xsl:template>
    <xsl:template match='item[@id = 1] | item[name = "c"]'>
      <xsl:param name='mark'/>
      <first><xsl:value-of select='concat($mark, name)'/></first>
    </xsl:template>
    <xsl:template match='item'>
      <xsl:param name='mark'/>
      <xsl:variable name='local' select='name'/>
      <xsl:if test='$local != ""'><i><xsl:value-of select='$local'/></i></xsl:if>
      <xsl:choose><xsl:when test='@id &gt; 2'>big</xsl:when><xsl:otherwise>small</xsl:otherwise></xsl:choose>
    </xsl:template>
    <xsl:template match='list' mode='other'>
      <xsl:element name='{name(*[1])}'><xsl:attribute name='a{count(*)}'><xsl:value-of select='.'/></xsl:attribute>
      </xsl:element><xsl:apply-templates mode='other'/>
    </xsl:template>
    <xsl:template match='text()' mode='other'/>
    <xsl:template name='named'><xsl:param name='v'/><xsl:processing-instruction name='p{$top}'>
      <xsl:value-of select='$v'/></xsl:processing-instruction></xsl:template>)";
  const std::string source = "<list><item id='2'><name>b</name></item><item id='1'><name>a</name></item>"
                             "<item id='3'><name>c</name></item><item id='4'><name>b</name></item></list>";
  const std::string stylesheet = Stylesheet(body, "xml");
  stylesheet_ = LoadDocument(context_, stylesheet);
  source_ = LoadDocument(context_, source);
  ASSERT_TRUE(stylesheet_.view && source_.view);
  processor_.AddParameter(u"given='passed'");
  const uint64_t beforeCompile = KTXPathExpression::CompileCount();
  processor_.Prepare(stylesheet_.view.get(), source_.view.get());
  const uint64_t afterCompile = KTXPathExpression::CompileCount();
  EXPECT_GT(afterCompile, beforeCompile);
  std::string reference;
  {
    ScratchFolder folder;
    std::string style = folder.Write("style.xsl", stylesheet);
    std::string input = folder.Write("in.xml", source);
    reference = TrimEnd(
        ktresulttree::Run("xsltproc --param given \"'passed'\" '" + style + "' '" + input + "' 2>/dev/null"));
  }
  for (int run = 0; run < 2; ++run) {
    if (run > 0) processor_.Start();
    while (processor_.Step()) {
    }
    EXPECT_EQ(TrimEnd(U8(processor_.Serialize())), reference) << "run " << run;
    EXPECT_EQ(KTXPathExpression::CompileCount(), afterCompile) << "run " << run;
  }
}

// XSLT 1.0 §2.5: in a forwards-compatible stylesheet an expression, value
// template or pattern that does not compile is an error only when it is
// evaluated. The compile keeps the error in the record; an instruction that
// never runs passes, and one that runs reports the error at its attribute.
TEST_F(FlowExecutorsTest, ForwardsCompatibleTextsFailOnlyWhenEvaluated) {
  const struct {
    const char* body;
    const char* result;
    const char* node;
  } cases[] = {
      {"<xsl:if test='false()'><xsl:value-of select='1 +'/><o a='{1 +}' b='{'/>"
       "<xsl:number count='x[' value='1 +'/><xsl:for-each select='r'><xsl:sort select='1 +'/></xsl:for-each>"
       "</xsl:if>ok",
       "ok", "(none)"},
      {"<xsl:value-of select='1 +'/>", "error 6", "@select"},
      {"<o a='{1 +}'/>", "error 6", "@a"},
      {"<o b='{'/>", "error 47", "@b"},
      {"<xsl:number count='x['/>", "error 6", "@count"},
      {"<xsl:for-each select='r'><xsl:sort select='1 +'/></xsl:for-each>", "error 6", "@select"},
  };
  for (const auto& c : cases) {
    const std::string stylesheet =
        std::string("<xsl:stylesheet version='1.1' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
                    "<xsl:output method='text'/><xsl:template match='/'>") +
        c.body + "</xsl:template></xsl:stylesheet>";
    EXPECT_EQ(Transform(stylesheet, "<r/>"), c.result) << c.body;
    EXPECT_EQ(ErrorNodeName(), c.node) << c.body;
  }
}

}  // namespace

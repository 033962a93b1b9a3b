// The stylesheet compiler over loaded stylesheets: the refusal of bad
// stylesheets (code, message and node), the declaration records of good
// ones, forwards-compatible mode and deep stylesheets.
#include "xslt/ktstylesheetcompiler.h"

#include <gtest/gtest.h>

#include "ktcompilertest_util.h"
#include "xslt/ktxslterror.h"

namespace {

#define SHEET(body) "<xsl:stylesheet " XSLNS " version='1.0'>" body "</xsl:stylesheet>"
#define TEMPLATE(body) SHEET("<xsl:template match='/'>" body "</xsl:template>")

// Compiles the stylesheet text; the error thrown, if any.
struct Outcome {
  bool thrown = false;
  int code = 0;
  std::string message;
  KTXPathNode* node = nullptr;
};

Outcome Compile(KTTestStylesheet& sheet, KTStylesheetCompiler& compiler, const std::string& text) {
  Outcome outcome;
  if (!sheet.Load(text)) return outcome;
  sheet.StripWhitespace();
  try {
    compiler.CompileElement(KTStylesheetCompiler::kRootParentId, sheet.Root(), KTStylesheetCompiler::kVersionDecides);
  } catch (KTXSLTError& error) {
    outcome.thrown = true;
    outcome.code = error.GetCode();
    outcome.message = U8(error.GetMessage());
    outcome.node = error.GetNode();
  }
  return outcome;
}

// Each bad stylesheet with the error it gets: the code, the message and the
// node, given as a path from the document element (element children by
// index, "@name" an attribute, "tN" the N-th other content child).
TEST(StylesheetCompiler, BadStylesheetsAreRefusedAtTheirNode) {
  struct Case {
    const char* what;
    std::string text;
    int code;
    const char* message;
    const char* node;
  } cases[] = {
      {"value-of without select", TEMPLATE("<xsl:value-of/>"), 18, "select attribute expected", "0/0"},
      {"copy-of without select", TEMPLATE("<xsl:copy-of/>"), 18, "select attribute expected", "0/0"},
      {"unexpected attribute", TEMPLATE("<xsl:apply-templates select='a' foo='x'/>"), 32, "Unexpected attribute",
       "0/0/@foo"},
      {"unexpected attribute on text", TEMPLATE("<xsl:text foo='x'>a</xsl:text>"), 32, "Unexpected attribute",
       "0/0/@foo"},
      {"template inside template", TEMPLATE("<xsl:template match='a'/>"), 33, "Unexpected child", "0/0"},
      {"missing version", "<xsl:stylesheet " XSLNS "/>", 20, "version attribute expected", ""},
      {"version given twice", "<xsl:stylesheet " XSLNS " version='1.0' xsl:version='1.0'/>", 2,
       "An attribute which should only occur once occurs multiple times", "@xsl:version"},
      {"bad yes/no", TEMPLATE("<xsl:value-of select='.' disable-output-escaping='maybe'/>"), 31,
       "Unexpected value", "0/0/@disable-output-escaping"},
      {"yes/no in capitals", TEMPLATE("<xsl:message terminate='YES'/>"), 31, "Unexpected value", "0/0/@terminate"},
      {"bad level", TEMPLATE("<xsl:number level='Single'/>"), 31, "Unexpected value", "0/0/@level"},
      {"bad output method", SHEET("<xsl:output method='bar'/>"), 31, "Unexpected value", "0/@method"},
      {"bad standalone", SHEET("<xsl:output standalone='true'/>"), 31, "Unexpected value", "0/@standalone"},
      {"QName starting with a digit", TEMPLATE("<xsl:call-template name='1x'/>"), 40, "Not a QName", "0/0/@name"},
      {"empty QName", TEMPLATE("<xsl:call-template name=''/>"), 40, "Not a QName", "0/0/@name"},
      {"QName with two colons", SHEET("<xsl:variable name='a:b:c' select='1'/>"), 40, "Not a QName", "0/@name"},
      {"QName without local part", SHEET("<xsl:param name='a:'/>"), 40, "Not a QName", "0/@name"},
      {"local part not an NCName", SHEET("<xsl:key name='p:-k' match='a' use='b'/>"), 40, "Not a QName", "0/@name"},
      {"with-param name not a QName", TEMPLATE("<xsl:call-template name='t'><xsl:with-param name='a b'/>"
                                               "</xsl:call-template>"),
       40, "Not a QName", "0/0/0/@name"},
      // "?" marks the built-in rules that serve every mode: a user's rule in
      // that "mode" would otherwise be chosen in every mode.
      {"template mode not a QName", SHEET("<xsl:template match='a' mode='?'/>"), 40, "Not a QName", "0/@mode"},
      {"apply-templates mode not a QName", TEMPLATE("<xsl:apply-templates mode='1x'/>"), 40, "Not a QName",
       "0/0/@mode"},
      {"cdata-section-elements entry", SHEET("<xsl:output cdata-section-elements='a -b'/>"), 40, "Not a QName",
       "0/@cdata-section-elements"},
      {"second otherwise", TEMPLATE("<xsl:choose><xsl:when test='1'/><xsl:otherwise/><xsl:otherwise/></xsl:choose>"),
       27, "unexpected xsl:otherwise", "0/0/1"},
      {"when after otherwise", TEMPLATE("<xsl:choose><xsl:when test='1'/><xsl:otherwise/><xsl:when test='2'/>"
                                        "</xsl:choose>"),
       27, "unexpected xsl:otherwise", "0/0/1"},
      {"choose with only otherwise", TEMPLATE("<xsl:choose><xsl:otherwise/></xsl:choose>"), 22,
       "xsl:choose requires as xsl:when child", "0/0"},
      {"empty choose", TEMPLATE("<xsl:choose/>"), 22, "xsl:choose requires as xsl:when child", "0/0"},
      {"text inside choose", TEMPLATE("<xsl:choose><xsl:when test='1'/>x</xsl:choose>"), 33, "Unexpected child",
       "0/0/t0"},
      {"literal element inside choose", TEMPLATE("<xsl:choose><xsl:when test='1'/><p/></xsl:choose>"), 33,
       "Unexpected child", "0/0/1"},
      {"instruction at top level", SHEET("<xsl:value-of select='1'/>"), 33, "Unexpected child", "0"},
      {"literal element at top level", SHEET("<p/>"), 33, "Unexpected child", "0"},
      {"unknown XSLT element in 1.0", TEMPLATE("<xsl:frobnicate/>"), 33, "Unexpected child", "0/0"},
      // Foreign top-level elements are passed over with their content; these
      // two are not foreign.
      {"unknown XSLT element at top level in 1.0", SHEET("<xsl:frobnicate><xsl:template/></xsl:frobnicate>"), 33,
       "Unexpected child", "0"},
      {"element in no namespace at top level, with XSLT content", SHEET("<p><xsl:template match='/'/></p>"), 33,
       "Unexpected child", "0"},
      {"sort in a template", TEMPLATE("<xsl:sort/>"), 33, "Unexpected child", "0/0"},
      {"sort in a template, forwards-compatible",
       "<xsl:stylesheet " XSLNS " version='1.1'><xsl:template match='/'><xsl:sort/></xsl:template>"
       "</xsl:stylesheet>",
       33, "Unexpected child", "0/0"},
      {"template below a literal element", TEMPLATE("<p><xsl:template/></p>"), 33, "Unexpected child", "0/0/0"},
      {"stylesheet inside stylesheet", SHEET("<xsl:stylesheet version='1.0'/>"), 33, "Unexpected child", "0"},
      {"stylesheet inside a template", TEMPLATE("<xsl:stylesheet version='1.0'/>"), 38, "Not a root element",
       "0/0"},
      {"element inside xsl:text", TEMPLATE("<xsl:text>a<b/></xsl:text>"), 33, "Unexpected child", "0/0/0"},
      {"param in for-each", TEMPLATE("<xsl:for-each select='a'><xsl:param name='p'/></xsl:for-each>"), 34,
       "Unexpected element", "0/0/0"},
      {"param with select and content", SHEET("<xsl:param name='p' select='1'>x</xsl:param>"), 15,
       "Variables cannot have both select attribute and child elements", "0/t0"},
      {"empty select", SHEET("<xsl:variable name='v' select=''/>"), 5, "XPath expression expected", "0/@select"},
      {"empty test", TEMPLATE("<xsl:if test=''/>"), 5, "XPath expression expected", "0/0/@test"},
      {"if without test", TEMPLATE("<xsl:if/>"), 19, "test attribute expected", "0/0"},
      {"element without name", TEMPLATE("<xsl:element/>"), 21, "name attribute expected", "0/0"},
      {"import without href", SHEET("<xsl:import/>"), 23, "HREF attribute expected", "0"},
      {"strip-space without elements", SHEET("<xsl:strip-space/>"), 24, "elements attribute expected", "0"},
      {"key without match", SHEET("<xsl:key name='k' use='.'/>"), 16,
       "The template has a mode param but not a match", "0"},
      {"key without use", SHEET("<xsl:key name='k' match='a'/>"), 17, "use attribute expected", "0"},
      {"namespace-alias without result-prefix", SHEET("<xsl:namespace-alias stylesheet-prefix='a'/>"), 26,
       "result-prefix attribute expected", "0"},
      {"empty stylesheet-prefix", SHEET("<xsl:namespace-alias stylesheet-prefix='' result-prefix='b'/>"), 31,
       "Unexpected value", "0/@stylesheet-prefix"},
      {"empty zero-digit", SHEET("<xsl:decimal-format zero-digit=''/>"), 31, "Unexpected value", "0/@zero-digit"},
      {"two-character digit", SHEET("<xsl:decimal-format digit='##'/>"), 31, "Unexpected value", "0/@digit"},
      {"empty NaN", SHEET("<xsl:decimal-format NaN=''/>"), 31, "Unexpected value", "0/@NaN"},
      {"unbound decimal-format prefix", SHEET("<xsl:decimal-format name='q:f'/>"), 10,
       "Undefined namespace prefix", "0/@name"},
      {"unbound key prefix", SHEET("<xsl:key name='q:k' match='a' use='b'/>"), 10, "Undefined namespace prefix",
       "0/@name"},
      {"unbound call-template prefix", TEMPLATE("<xsl:call-template name='q:t'/>"), 10,
       "Undefined namespace prefix", "0/0/@name"},
      {"unbound variable prefix", SHEET("<xsl:variable name='q:v' select='1'/>"), 10,
       "Undefined namespace prefix", "0/@name"},
      {"unbound local param prefix", TEMPLATE("<xsl:param name='q:p'/>"), 10, "Undefined namespace prefix",
       "0/0/@name"},
      {"unbound with-param prefix", TEMPLATE("<xsl:call-template name='t'><xsl:with-param name='q:p'/>"
                                             "</xsl:call-template>"),
       10, "Undefined namespace prefix", "0/0/0/@name"},
      {"unbound cdata-section prefix", SHEET("<xsl:output cdata-section-elements='q:a'/>"), 10,
       "Undefined namespace prefix", "0/@cdata-section-elements"},
      {"unbound excluded prefix", TEMPLATE("<p xsl:exclude-result-prefixes='q'/>"), 10,
       "Undefined namespace prefix", "0/0/@xsl:exclude-result-prefixes"},
      {"attribute-set outside the top level", TEMPLATE("<xsl:attribute-set name='s'/>"), 33, "Unexpected child",
       "0/0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KTTestStylesheet sheet;
    KTStylesheetCompiler compiler;
    Outcome outcome = Compile(sheet, compiler, c.text);
    ASSERT_TRUE(outcome.thrown);
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_EQ(outcome.message, c.message);
    if (c.node) {
      KTXPathNode* expected = NodeAt(sheet.Element(), c.node);
      ASSERT_NE(expected, nullptr) << c.node;
      EXPECT_EQ(outcome.node, expected) << "thrown at " << (outcome.node ? U8(outcome.node->GetName()) : "none");
    }
  }
}

// Stylesheets that XSLT 1.0 allows, including the places where the checks
// let foreign and forwards-compatible content through.
TEST(StylesheetCompiler, AcceptedStylesheets) {
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"foreign attribute on an instruction",
       "<xsl:stylesheet " XSLNS " xmlns:x='urn:x' version='1.0'><xsl:template match='/'>"
       "<xsl:apply-templates x:foo='1'/></xsl:template></xsl:stylesheet>"},
      {"foreign elements at top level and in choose",
       "<xsl:stylesheet " XSLNS " xmlns:x='urn:x' version='1.0'><x:data/><xsl:template match='/'>"
       "<xsl:choose><xsl:when test='1'/><x:note/></xsl:choose></xsl:template></xsl:stylesheet>"},
      {"comments and PIs in choose",
       TEMPLATE("<xsl:choose><!--c--><?pi x?><xsl:when test='1'/><xsl:otherwise/><!--d--></xsl:choose>")},
      {"xsl: attributes of a literal element", TEMPLATE("<p xsl:foo='1' xsl:use-attribute-sets='s'/>")},
      {"unknown XSLT element, version 1.1",
       "<xsl:stylesheet " XSLNS " version='1.1'><xsl:template match='/'><xsl:frobnicate>"
       "<xsl:fallback>x</xsl:fallback></xsl:frobnicate></xsl:template><xsl:future/></xsl:stylesheet>"},
      {"unknown XSLT element below xsl:version 2.0",
       TEMPLATE("<p xsl:version='2.0'><xsl:frobnicate/></p>")},
      {"unknown attributes of XSLT elements, version 2.0",
       "<xsl:stylesheet " XSLNS " version='2.0' default-validation='strip'><xsl:template match='/' as='item()'>"
       "<xsl:apply-templates select='a' name='n'/><xsl:text separator=','>x</xsl:text></xsl:template>"
       "</xsl:stylesheet>"},
      {"unknown attribute below xsl:version 2.0",
       TEMPLATE("<p xsl:version='2.0'><xsl:value-of select='1' separator=','/></p>")},
      {"param after content, as XSLT processors accept", TEMPLATE("x<xsl:param name='p'/>")},
      {"param with select and a comment", SHEET("<xsl:param name='p' select='1'><!--c--></xsl:param>")},
      {"output method with a prefix", "<xsl:stylesheet " XSLNS " xmlns:m='urn:m' version='1.0'>"
                                       "<xsl:output method='m:bar'/></xsl:stylesheet>"},
      {"namespace declaration on xsl:text", TEMPLATE("<xsl:text xmlns:a='urn:a'>x</xsl:text>")},
      {"simplified stylesheet", "<html " XSLNS " xsl:version='1.0'><xsl:value-of select='1'/></html>"},
      {"number with level any", TEMPLATE("<xsl:number level='any'/>")},
      {"one-letter NaN", SHEET("<xsl:decimal-format NaN='n' minus-sign='~'/>")},
      {"sort under for-each and apply-templates",
       TEMPLATE("<xsl:for-each select='a'><xsl:sort/>x</xsl:for-each>"
                "<xsl:apply-templates><xsl:sort select='b'/><xsl:with-param name='p'/></xsl:apply-templates>")},
      {"attribute after a namespace declaration escapes the check",
       TEMPLATE("<xsl:value-of select='.' xmlns:a='urn:a' foo='1'/>")},
      {"transform", "<xsl:transform " XSLNS " version='1.0'/>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KTTestStylesheet sheet;
    KTStylesheetCompiler compiler;
    Outcome outcome = Compile(sheet, compiler, c.text);
    EXPECT_FALSE(outcome.thrown) << outcome.code << " " << outcome.message << " at "
                                 << (outcome.node ? U8(outcome.node->GetName()) : "none");
  }
}

// Every XSLT 1.0 element with every attribute its syntax summary gives it
// (the "%" marks where the attributes end): accepted as written, and refused
// at an attribute outside that set.
TEST(StylesheetCompiler, EachElementTakesExactlyItsAttributes) {
  struct Case {
    const char* element;
    std::string text;
  } cases[] = {
      {"apply-imports", TEMPLATE("<xsl:apply-imports%/>")},
      {"apply-templates", TEMPLATE("<xsl:apply-templates select='a' mode='m'%/>")},
      {"attribute", TEMPLATE("<xsl:attribute name='a' namespace='urn:a'%/>")},
      {"attribute-set", SHEET("<xsl:attribute-set name='s' use-attribute-sets='t'%/>")},
      {"call-template", TEMPLATE("<xsl:call-template name='t'%/>")},
      {"choose", TEMPLATE("<xsl:choose%><xsl:when test='1'/></xsl:choose>")},
      {"comment", TEMPLATE("<xsl:comment%/>")},
      {"copy", TEMPLATE("<xsl:copy use-attribute-sets='s'%/>")},
      {"copy-of", TEMPLATE("<xsl:copy-of select='.'%/>")},
      {"decimal-format", SHEET("<xsl:decimal-format name='d' decimal-separator='.' grouping-separator=','"
                               " infinity='inf' minus-sign='-' NaN='nan' percent='p' per-mille='m' zero-digit='0'"
                               " digit='#' pattern-separator=';'%/>")},
      {"element", TEMPLATE("<xsl:element name='e' namespace='urn:e' use-attribute-sets='s'%/>")},
      {"fallback", TEMPLATE("<xsl:fallback%/>")},
      {"for-each", TEMPLATE("<xsl:for-each select='a'%/>")},
      {"if", TEMPLATE("<xsl:if test='1'%/>")},
      {"import", SHEET("<xsl:import href='a.xsl'%/>")},
      {"include", SHEET("<xsl:include href='a.xsl'%/>")},
      {"key", SHEET("<xsl:key name='k' match='a' use='b'%/>")},
      {"message", TEMPLATE("<xsl:message terminate='no'%/>")},
      {"namespace-alias", SHEET("<xsl:namespace-alias stylesheet-prefix='a' result-prefix='#default'%/>")},
      {"number", TEMPLATE("<xsl:number level='any' count='a' from='b' value='1' format='1' lang='en'"
                          " letter-value='alphabetic' grouping-separator=',' grouping-size='3'%/>")},
      {"otherwise", TEMPLATE("<xsl:choose><xsl:when test='1'/><xsl:otherwise%/></xsl:choose>")},
      {"output", SHEET("<xsl:output method='xml' version='1.0' encoding='UTF-8' omit-xml-declaration='no'"
                       " standalone='no' doctype-public='p' doctype-system='s' cdata-section-elements='a'"
                       " indent='no' media-type='text/xml'%/>")},
      {"param", SHEET("<xsl:param name='p' select='1'%/>")},
      {"preserve-space", SHEET("<xsl:preserve-space elements='a'%/>")},
      {"processing-instruction", TEMPLATE("<xsl:processing-instruction name='pi'%/>")},
      {"sort", TEMPLATE("<xsl:for-each select='a'><xsl:sort select='.' lang='en' data-type='text'"
                        " order='ascending' case-order='upper-first'%/></xsl:for-each>")},
      {"strip-space", SHEET("<xsl:strip-space elements='b'%/>")},
      {"stylesheet", "<xsl:stylesheet " XSLNS " xmlns:x='urn:x' id='s' extension-element-prefixes='x'"
                     " exclude-result-prefixes='x' version='1.0'%/>"},
      {"template", SHEET("<xsl:template match='a' name='t' priority='1' mode='m'%/>")},
      {"text", TEMPLATE("<xsl:text disable-output-escaping='yes'%>a</xsl:text>")},
      {"value-of", TEMPLATE("<xsl:value-of select='.' disable-output-escaping='no'%/>")},
      {"variable", SHEET("<xsl:variable name='v' select='1'%/>")},
      {"when", TEMPLATE("<xsl:choose><xsl:when test='1'%/></xsl:choose>")},
      {"with-param", TEMPLATE("<xsl:call-template name='t'><xsl:with-param name='p' select='1'%/>"
                              "</xsl:call-template>")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.element);
    const size_t mark = c.text.find('%', c.text.find("xsl:" + std::string(c.element)));
    ASSERT_NE(mark, std::string::npos);
    for (bool extra : {false, true}) {
      std::string text = c.text;
      text.replace(mark, 1, extra ? " extra='1'" : "");
      KTTestStylesheet sheet;
      KTStylesheetCompiler compiler;
      Outcome outcome = Compile(sheet, compiler, text);
      if (!extra) {
        EXPECT_FALSE(outcome.thrown) << outcome.code << " " << outcome.message << " at "
                                     << (outcome.node ? U8(outcome.node->GetName()) : "none");
        continue;
      }
      ASSERT_TRUE(outcome.thrown);
      EXPECT_EQ(outcome.code, KTXSLTError::kUnexpectedAttribute);
      ASSERT_NE(outcome.node, nullptr);
      EXPECT_EQ(U8(outcome.node->GetName()), "extra");
    }
  }
}

template <class T>
T* RecordOf(KTStylesheetCompiler& compiler, KTXPathNode* node, int id) {
  EXPECT_NE(node, nullptr);
  KTDeclRecord* record = node ? compiler.FindDeclRecord(node) : nullptr;
  EXPECT_NE(record, nullptr);
  if (!record) return nullptr;
  EXPECT_EQ(record->elementId, id);
  EXPECT_EQ(compiler.FindElementId(node), id);
  T* typed = dynamic_cast<T*>(record);
  EXPECT_NE(typed, nullptr);
  return typed;
}

TEST(StylesheetCompiler, DeclarationRecords) {
  KTTestStylesheet sheet;
  KTStylesheetCompiler compiler;
  Outcome outcome = Compile(
      sheet, compiler,
      "<xsl:transform " XSLNS " xmlns:n='urn:n' xmlns='urn:d' version='1.0' exclude-result-prefixes='n'>"
      "<xsl:output cdata-section-elements='a n:b' method='html' indent='yes'/>"
      "<xsl:key name='k' match='a' use='b'/><xsl:key name='k' match='c' use='d'/>"
      "<xsl:key name='n:k' match='a' use='b'/>"
      "<xsl:namespace-alias stylesheet-prefix='#default' result-prefix='n'/>"
      "<xsl:param name='n:p' select='1'/>"
      "<xsl:decimal-format name='n:f' digit='D'/>"
      "<xsl:template match='/' mode='m'>"
      "<xsl:apply-templates/>"
      "<xsl:number/>"
      "<xsl:for-each select='x'><xsl:sort/></xsl:for-each>"
      "<xsl:text>a<![CDATA[<b>]]>c</xsl:text>"
      "<r xsl:exclude-result-prefixes='n #default' xsl:version='2.0' a='1'>t</r>"
      "<xsl:call-template name='n:t'><xsl:with-param name='w' select='2'/></xsl:call-template>"
      "<xsl:variable name='v'>x</xsl:variable>"
      "<xsl:value-of select='.' disable-output-escaping='yes'/>"
      "<xsl:message terminate='yes'/>"
      "</xsl:template></xsl:transform>");
  ASSERT_FALSE(outcome.thrown) << outcome.code << " " << outcome.message;
  KTXPathNode* top = sheet.Element();

  auto* stylesheet = RecordOf<KTDeclStylesheet>(compiler, top, 29);
  ASSERT_NE(stylesheet, nullptr);
  EXPECT_EQ(U8(stylesheet->version), "1.0");
  EXPECT_EQ(stylesheet->excludeResultPrefixesNode, NodeAt(top, "@exclude-result-prefixes"));

  auto* output = RecordOf<KTDeclOutput>(compiler, NodeAt(top, "0"), 23);
  ASSERT_NE(output, nullptr);
  EXPECT_EQ(U8(output->cdataSectionElements), " urn:d:a urn:n:b");
  EXPECT_EQ(U8(output->method), "html");
  EXPECT_TRUE(output->indentNode && output->indent);
  EXPECT_EQ(output->standaloneNode, nullptr);

  auto* key = RecordOf<KTDeclKey>(compiler, NodeAt(top, "1"), 18);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->namespaceId, nullptr);
  EXPECT_EQ(key->matchNode, NodeAt(top, "1/@match"));
  auto* prefixedKey = RecordOf<KTDeclKey>(compiler, NodeAt(top, "3"), 18);
  ASSERT_TRUE(prefixedKey && prefixedKey->namespaceId);
  EXPECT_EQ(U8(*prefixedKey->namespaceId), "urn:n");

  auto* alias = RecordOf<KTDeclNamespaceAlias>(compiler, NodeAt(top, "4"), 20);
  ASSERT_NE(alias, nullptr);
  EXPECT_EQ(U8(alias->stylesheetPrefix), "");
  EXPECT_EQ(U8(alias->resultPrefix), "n");

  auto* param = RecordOf<KTDeclParam>(compiler, NodeAt(top, "5"), 24);
  ASSERT_NE(param, nullptr);
  EXPECT_EQ(U8(param->name), "urn:n:p");
  EXPECT_EQ(U8(param->selectText), "1");
  EXPECT_TRUE(param->topLevel);

  auto* format = RecordOf<KTDeclDecimalFormat>(compiler, NodeAt(top, "6"), 11);
  ASSERT_NE(format, nullptr);
  EXPECT_EQ(U8(format->name), "urn:n:f");
  EXPECT_EQ(format->digitNode, NodeAt(top, "6/@digit"));

  KTXPathNode* body = NodeAt(top, "7");
  auto* templ = RecordOf<KTDeclTemplate>(compiler, body, 30);
  ASSERT_NE(templ, nullptr);
  EXPECT_EQ(templ->modeNode, NodeAt(body, "@mode"));

  auto* apply = RecordOf<KTDeclApplyTemplates>(compiler, NodeAt(body, "0"), 3);
  ASSERT_NE(apply, nullptr);
  EXPECT_EQ(U8(apply->selectText), "node()");
  EXPECT_EQ(apply->selectNode, NodeAt(body, "0"));

  auto* number = RecordOf<KTDeclNumber>(compiler, NodeAt(body, "1"), 21);
  ASSERT_NE(number, nullptr);
  EXPECT_EQ(U8(number->level), "single");

  auto* sort = RecordOf<KTDeclSort>(compiler, NodeAt(body, "2/0"), 27);
  ASSERT_NE(sort, nullptr);
  EXPECT_EQ(U8(sort->selectText), "");
  EXPECT_EQ(sort->selectNode, nullptr);

  auto* text = RecordOf<KTDeclText>(compiler, NodeAt(body, "3"), 31);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(U8(text->text), "a<b>c");
  EXPECT_FALSE(text->disableOutputEscaping);

  KTXPathNode* literal = NodeAt(body, "4");
  auto* result = RecordOf<KTDeclLiteralResult>(compiler, literal, 1);
  ASSERT_NE(result, nullptr);
  EXPECT_TRUE(result->forwardsCompatible);
  EXPECT_EQ(result->excludeResultPrefixesNode, NodeAt(literal, "@xsl:exclude-result-prefixes"));
  EXPECT_EQ(result->excludedNamespaces, (std::set<KTString>{KTString(u"urn:d"), KTString(u"urn:n")}));
  // Attribute and text nodes get literal-result records with empty sets.
  for (const char* path : {"@a", "t0"}) {
    auto* plain = RecordOf<KTDeclLiteralResult>(compiler, NodeAt(literal, path), 1);
    ASSERT_NE(plain, nullptr);
    EXPECT_TRUE(plain->excludedNamespaces.empty());
    EXPECT_FALSE(plain->forwardsCompatible);
  }

  auto* call = RecordOf<KTDeclCallTemplate>(compiler, NodeAt(body, "5"), 6);
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(U8(call->name), "n:t");
  EXPECT_EQ(U8(call->expandedName), "urn:n:t");
  auto* withParam = RecordOf<KTDeclWithParam>(compiler, NodeAt(body, "5/0"), 36);
  ASSERT_NE(withParam, nullptr);
  EXPECT_EQ(U8(withParam->name), "w");
  EXPECT_EQ(U8(withParam->selectText), "2");

  auto* variable = RecordOf<KTDeclVariable>(compiler, NodeAt(body, "6"), 34);
  ASSERT_NE(variable, nullptr);
  EXPECT_FALSE(variable->topLevel);
  EXPECT_EQ(variable->selectNode, nullptr);

  auto* valueOf = RecordOf<KTDeclValueOf>(compiler, NodeAt(body, "7"), 33);
  ASSERT_NE(valueOf, nullptr);
  EXPECT_TRUE(valueOf->disableOutputEscaping);
  auto* message = RecordOf<KTDeclMessage>(compiler, NodeAt(body, "8"), 19);
  ASSERT_NE(message, nullptr);
  EXPECT_TRUE(message->terminate);

  // Compiling the same tree again keeps the records already made.
  KTDeclRecord* before = compiler.FindDeclRecord(top);
  compiler.CompileElement(KTStylesheetCompiler::kRootParentId, sheet.Root(), KTStylesheetCompiler::kVersionDecides);
  EXPECT_EQ(compiler.FindDeclRecord(top), before);
  compiler.Clear();
  EXPECT_EQ(compiler.FindDeclRecord(top), nullptr);
  EXPECT_EQ(compiler.FindElementId(top), 0);
}

// A stylesheet far deeper than any call stack could walk recursively.
TEST(StylesheetCompiler, DeepStylesheetsCompileWithoutRecursion) {
  KTTestStylesheet sheet;
  ASSERT_TRUE(sheet.Load(TEMPLATE("<p/>")));
  KTXPathNode* at = NodeAt(sheet.Element(), "0/0");
  constexpr int kDepth = 200000;
  for (int i = 0; i < kDepth; ++i) {
    auto child = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
    child->SetName(u"p");
    at = at->AppendChild(std::move(child));
  }
  KTStylesheetCompiler compiler;
  EXPECT_TRUE(compiler.CompileElement(KTStylesheetCompiler::kRootParentId, sheet.Root(),
                                      KTStylesheetCompiler::kVersionDecides));
  EXPECT_EQ(compiler.FindElementId(at), 1);
  EXPECT_NE(compiler.FindDeclRecord(at), nullptr);
}

// The lookups the run makes (element id, record) agree with the compiler's
// maps for every node, also after many nodes were forgotten in an order
// unrelated to the one they were entered in.
TEST(StylesheetCompiler, LookupsAgreeWithTheMapsAfterForgetting) {
  KTTestStylesheet sheet;
  ASSERT_TRUE(sheet.Load(TEMPLATE("<p/>")));
  KTXPathNode* body = NodeAt(sheet.Element(), "0/0");
  std::vector<KTXPathNode*> added;
  for (int i = 0; i < 3000; ++i) {
    auto child = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
    child->SetName(i % 2 ? u"q" : u"xsl:text");
    if (i % 2 == 0) child->SetNamespaceUri(body->GetParent()->GetNamespaceUri());
    added.push_back(body->AppendChild(std::move(child)));
  }
  KTStylesheetCompiler compiler;
  ASSERT_TRUE(compiler.CompileElement(KTStylesheetCompiler::kRootParentId, sheet.Root(),
                                      KTStylesheetCompiler::kVersionDecides));
  std::vector<const KTXPathNode*> forgotten;
  for (size_t i = 0; i < added.size(); i += 3) forgotten.push_back(added[(i * 7919) % added.size()]);
  for (const KTXPathNode* node : forgotten) compiler.Forget(node);
  ASSERT_GT(compiler.ElementIds().size(), added.size() / 2);
  for (const auto& [node, id] : compiler.ElementIds()) EXPECT_EQ(compiler.FindElementId(node), id);
  for (const auto& [node, record] : compiler.DeclarationRecords())
    EXPECT_EQ(compiler.FindDeclRecord(node), record);
  for (const KTXPathNode* node : forgotten) {
    EXPECT_EQ(compiler.FindElementId(node), 0);
    EXPECT_EQ(compiler.FindDeclRecord(node), nullptr);
  }
  compiler.Clear();
  EXPECT_EQ(compiler.FindElementId(added[1]), 0);
  EXPECT_EQ(compiler.FindDeclRecord(sheet.Element()), nullptr);
}

}  // namespace

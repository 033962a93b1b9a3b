// End-to-end tests of computed result nodes and the declarations they use:
// xsl:copy (the identity transform among them), xsl:attribute, xsl:element,
// attribute sets, xsl:namespace-alias and xsl:fallback. Where XSLT 1.0 allows
// one answer the program's output is compared with xsltproc's on the same
// files, both in canonical form (xmllint --c14n); where the names of
// generated prefixes or forwards-compatible processing make the answer ours
// alone, the output is checked as it stands.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

constexpr const char* kXsltproc = "/usr/bin/xsltproc";
constexpr const char* kXmllint = "/usr/bin/xmllint";

const char* const kSource =
    "<?xml version=\"1.0\"?>\n"
    "<!-- top comment -->\n"
    "<?pi top?>\n"
    "<doc xmlns:q=\"urn:q\" a=\"1\" q:b=\"2\">\n"
    "  <q:item id=\"x\">text &amp; more<!-- c --><?target data?><![CDATA[<raw>]]></q:item>\n"
    "  <empty/>\n"
    "  <n xmlns=\"urn:d\"><m z=\"3\" xml:lang=\"en\"/></n>\n"
    "</doc>\n";

std::string Stylesheet(const std::string& attributes, const std::string& body, const std::string& version = "1.0") {
  return "<xsl:stylesheet version=\"" + version + "\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"" +
         attributes + ">\n" + body + "\n</xsl:stylesheet>\n";
}

class NodesTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_.Write("src.xml", kSource); }

  static bool HaveTools() { return access(kXsltproc, X_OK) == 0 && access(kXmllint, X_OK) == 0; }

  // Runs the program on src.xml; the output file's bytes, or "" when the
  // run failed (its standard error then in `err`).
  std::string RunOurs(const std::string& stylesheet, std::string* err = nullptr, const std::string& out = "out.xml") {
    folder_.Write("sheet.xsl", stylesheet);
    KTProgramResult result =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "src.xml", "-xsl", "sheet.xsl", "-out", out}, folder_.Path());
    if (err) *err = result.err;
    if (result.status != 0) return "";
    return folder_.Read(out);
  }

  std::string Canonical(const std::string& file) {
    KTProgramResult result = KTRunProgram(kXmllint, {"--c14n", file}, folder_.Path());
    return result.status == 0 ? result.out : "(xmllint failed: " + result.err + ")";
  }

  // The canonical forms of our output and of xsltproc's for one stylesheet;
  // xsltproc reads `theirSource` when one is named (the same document
  // written another way).
  void ExpectAgreement(const std::string& stylesheet, const std::string& source = "src.xml",
                       const std::string& theirSource = "") {
    std::string err;
    folder_.Write("sheet.xsl", stylesheet);
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xml", source, "-xsl", "sheet.xsl", "-out", "out.xml"}, folder_.Path());
    ASSERT_EQ(ours.status, 0) << ours.err << stylesheet;
    KTProgramResult theirs = KTRunProgram(
        kXsltproc, {"-o", "xp.xml", "sheet.xsl", theirSource.empty() ? source : theirSource}, folder_.Path());
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(Canonical("out.xml"), Canonical("xp.xml")) << stylesheet;
  }

  // Our output and xsltproc's byte for byte but for the XML declaration
  // line: where the order of declarations and
  // attributes and the generated prefixes are xsltproc's as well.
  void ExpectSameBytes(const std::string& stylesheet, const std::string& source = "src.xml") {
    folder_.Write("sheet.xsl", stylesheet);
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xml", source, "-xsl", "sheet.xsl", "-out", "out.xml"}, folder_.Path());
    ASSERT_EQ(ours.status, 0) << ours.err << stylesheet;
    KTProgramResult theirs = KTRunProgram(kXsltproc, {"-o", "xp.xml", "sheet.xsl", source}, folder_.Path());
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(Body(folder_.Read("out.xml")), Body(folder_.Read("xp.xml"))) << stylesheet;
  }

  // The output without its XML declaration line (the two programs may
  // write different declarations).
  static std::string Body(const std::string& output) { return KTWithoutDeclaration(output); }

  KTScratchFolder folder_;
};

// ---- xsl:copy ----

TEST_F(NodesTest, IdentityTransformReproducesTheDocument) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  // The source's whitespace-only text is stripped; xsltproc is told to do the same.
  ExpectAgreement(Stylesheet("",
                             "<xsl:strip-space elements=\"*\"/>"
                             "<xsl:template match=\"@*|node()\">"
                             "<xsl:copy><xsl:apply-templates select=\"@*|node()\"/></xsl:copy>"
                             "</xsl:template>"));
}

// Markup in an entity's text holding a CR, from a character reference in
// the entity's value, in a tag, an attribute value, a CDATA section, a
// comment and a processing instruction: the identity transform copies the
// elements and what they hold (a CR in a tag is white space, one in an
// attribute value a space).
TEST_F(NodesTest, IdentityTransformOfEntityMarkupHoldingCarriageReturns) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  folder_.Write("cr.xml",
                "<!DOCTYPE doc [<!ENTITY e '<b&#13;c=\"1&#13;2\"&#13;d=\"&gt;\">x<![CDATA[p&#13;q]]>"
                "<!--m&#13;n--><?t s&#13;u?></b>'>]>\n"
                "<doc>&e;<i>&e;</i></doc>\n");
  ExpectAgreement(Stylesheet("",
                             "<xsl:template match=\"@*|node()\">"
                             "<xsl:copy><xsl:apply-templates select=\"@*|node()\"/></xsl:copy>"
                             "</xsl:template>"),
                  "cr.xml");
}

// Markup in entities' texts using prefixes: bound by the markup itself
// (also inside another entity's markup), by the default namespace, and by
// the elements in scope at each reference, where the same entity's prefix
// is bound to another URI at each. The identity transform keeps every
// element in its namespace. xsltproc reads an entity's markup apart from
// the scope of its reference (it drops those prefixes with a warning), so
// the second document is compared with its result on the same document
// with the entities written out.
TEST_F(NodesTest, IdentityTransformOfEntityMarkupUsingPrefixes) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  const std::string identity = Stylesheet("",
                                          "<xsl:template match=\"@*|node()\">"
                                          "<xsl:copy><xsl:apply-templates select=\"@*|node()\"/></xsl:copy>"
                                          "</xsl:template>");
  folder_.Write("own.xml",
                "<!DOCTYPE doc [<!ENTITY e '<p:b xmlns:p=\"urn:p\" p:z=\"1\"><p:c xml:lang=\"en\"/></p:b>"
                "<x xmlns=\"urn:d\"><y xmlns:q=\"urn:q\" q:w=\"2\"/></x>'>\n"
                "<!ENTITY g '<r:s xmlns:r=\"urn:r\">&e;<r:t/></r:s>'>]>\n"
                "<doc>&e;<i>&g;</i></doc>\n");
  ExpectAgreement(identity, "own.xml");

  const std::string markup = "<p:b p:z=\"1\"><p:c/><q:d xmlns:q=\"urn:q2\"/></p:b><c/>";
  auto scoped = [&](const std::string& e, const std::string& g) {
    return "<doc xmlns:p=\"urn:p\" xmlns:q=\"urn:q\" xmlns:r=\"urn:r\" xmlns=\"urn:d\">" + e +
           "<i xmlns:p=\"urn:p2\">" + g + "</i></doc>\n";
  };
  folder_.Write("scope.xml", "<!DOCTYPE doc [<!ENTITY e '" + markup + "'><!ENTITY g '<r:s>&e;</r:s>'>]>\n" +
                                 scoped("&e;", "&g;"));
  folder_.Write("written.xml", scoped(markup, "<r:s>" + markup + "</r:s>"));
  ExpectAgreement(identity, "scope.xml", "written.xml");
}

// Attribute defaults through entities whose texts hold white space, written
// or from character references in the entity's value: each such character
// reads as a space in the default; the default's own character references
// stay.
TEST_F(NodesTest, IdentityTransformSuppliesDefaultsThroughEntities) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  folder_.Write("defaults.xml",
                "<!DOCTYPE doc [<!ENTITY t 'a&#9;b&#13;c&#10;d'><!ENTITY l 'e\r\nf\ng\th'><!ENTITY w '[&t;|&l;]'>\n"
                "<!ATTLIST doc x CDATA '&t;' y CDATA '&w;&#9;&#10;' z NMTOKENS ' &l; '>]>\n"
                "<doc/>\n");
  ExpectAgreement(Stylesheet("",
                             "<xsl:template match=\"@*|node()\">"
                             "<xsl:copy><xsl:apply-templates select=\"@*|node()\"/></xsl:copy>"
                             "</xsl:template>"),
                  "defaults.xml");
}

// Attribute defaults declared empty (XML 1.0 §3.3.2: a declared "" is a
// default whose value is the empty string; #IMPLIED and #REQUIRED give
// none), plain and #FIXED, beside non-empty ones, overridden by the
// document, of white space only, and through an entity whose text is empty.
TEST_F(NodesTest, EmptyAttributeDefaultsAreSupplied) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  struct Row {
    const char* declarations;
    const char* element;
  } rows[] = {
      {"<!ATTLIST a b CDATA \"\">", "<a/>"},
      {"<!ATTLIST a b CDATA #FIXED ''>", "<a/>"},
      {"<!ATTLIST a b CDATA 'x' c CDATA ''>", "<a/>"},
      {"<!ATTLIST a b CDATA 'x' c CDATA #IMPLIED d CDATA #REQUIRED>", "<a/>"},
      {"<!ATTLIST a b CDATA '' c CDATA #FIXED ''>", "<a b='v' c=''/>"},
      {"<!ATTLIST a b CDATA '  ' c NMTOKEN ' \t ' d CDATA '&#32;' e CDATA '&#9;&#10;'>", "<a/>"},
      // Only spaces are trimmed and collapsed in a tokenised default: a tab or
      // line feed from a character reference stays (XML 1.0 §3.3.3).
      {"<!ATTLIST a b NMTOKEN ' &#9; ' c NMTOKENS ' x&#9;y  &#10;z ' d NMTOKENS '\t&#32;x\n y\r'>", "<a/>"},
      {"<!ENTITY z ''><!ATTLIST a b CDATA '&z;' c CDATA '&z;&z;'>", "<a/>"},
      {"<!ATTLIST i k CDATA ''>", "<a><i/><i k='1'/><i k=''/></a>"},
  };
  for (const Row& row : rows) {
    folder_.Write("empty.xml", std::string("<!DOCTYPE a [") + row.declarations + "]>\n" + row.element + "\n");
    ExpectAgreement(Stylesheet("",
                               "<xsl:template match=\"/\">"
                               "<r n=\"{count(//@*)}\" b=\"{count(//@b)}[{*/@b}]\" k=\"{count(//@k)}\">"
                               "<xsl:copy-of select=\"*\"/></r></xsl:template>"),
                    "empty.xml");
  }
}

// Steps and unions that the processor answers without the syntax tree give
// the nodes, order and positions the tree gives, on every kind of node.
TEST_F(NodesTest, SimpleStepsAndUnionsSelectWhatTheTreeSelects) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  for (const char* select : {".", "node()", "*", "text()", "@*", "@*|node()", "node() | @*", "*|text()", "text()|*|@*",
                             "item", "m", "@id", "@a|@z", "@*|@a", "empty|n|empty", "@nosuch|nosuch"}) {
    ExpectAgreement(Stylesheet("",
                               "<xsl:strip-space elements=\"*\"/>"
                               "<xsl:template match=\"/\"><r><xsl:apply-templates select=\"//node()\"/></r></xsl:template>"
                               "<xsl:template match=\"node()\"><at k=\"{name()}\">"
                               "<xsl:for-each select=\"" + std::string(select) + "\">"
                               "<s p=\"{position()}\" l=\"{last()}\" k=\"{name()}\"><xsl:value-of select=\".\"/></s>"
                               "</xsl:for-each></at></xsl:template>"));
  }
}

// key() calls followed by steps ("key('k', @ref)/name"), which the processor
// answers without the syntax tree from the second evaluation on, give the
// nodes and order the tree gives: sets of several nodes, one inside another,
// values from literals, attributes, children and the context node.
TEST_F(NodesTest, KeyCallsAndTheirStepsSelectWhatTheTreeSelects) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  folder_.Write("keys.xml",
                "<doc>"
                "<item id=\"a\" ref=\"b\"><name>A</name><tag>t1</tag><tag>t2</tag><ref>c</ref></item>"
                "<item id=\"b\" ref=\"a\"><name>B</name><sub id=\"b\" ref=\"x\"><name>C</name>t</sub><tag>t2</tag></item>"
                "<item id=\"a\" ref=\"c\"><name>A2</name><ref>b</ref><ref>a</ref></item>"
                "<p:item xmlns:p=\"urn:p\" id=\"c\" ref=\"a\" p:id=\"b\"><name>D</name>d</p:item>"
                "<other ref=\"zz\">b</other>"
                "</doc>");
  for (const char* select :
       {"key('id', @ref)", "key('id', @ref)/name", "key('id', @ref)/@id", "key('id', 'b')/*", "key('id', 'b')/node()",
        "key('id', &quot;a&quot;)/tag", "key('id', .)", "key('id', ref)/name/text()", "key('id', 'nosuch')/name",
        "key('id', @*)/@ref", "key( 'id' , @ref )/name", "key('id',ref)/ref", "key('text', .)/@*",
        "key('id', 'b')/sub/name", "key('id', 'b')/text()", "key('id', @ref)/p:item"}) {
    ExpectAgreement(Stylesheet(" xmlns:p=\"urn:p\"",
                               "<xsl:strip-space elements=\"*\"/>"
                               "<xsl:key name=\"id\" match=\"*\" use=\"@id\"/>"
                               "<xsl:key name=\"id\" match=\"p:item\" use=\"@p:id\"/>"
                               "<xsl:key name=\"text\" match=\"name|text()\" use=\".\"/>"
                               "<xsl:template match=\"/\"><r><xsl:apply-templates select=\"//node() | //@*\"/></r></xsl:template>"
                               "<xsl:template match=\"node() | @*\"><at k=\"{name()}\">"
                               "<xsl:for-each select=\"" + std::string(select) + "\">"
                               "<s p=\"{position()}\" l=\"{last()}\" k=\"{name()}\"><xsl:value-of select=\".\"/></s>"
                               "</xsl:for-each></at></xsl:template>"),
                    "keys.xml");
  }
}

// name() and normalize-space() of the context node, which value-of and
// attribute value templates read from the node without the syntax tree,
// give what the tree gives on every kind of node: prefixed and default
// namespaced names, attributes, namespace nodes, comments, processing
// instructions, the root, and texts with runs of every kind of white space.
TEST_F(NodesTest, FunctionsOfTheContextNodeGiveWhatTheTreeGives) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  folder_.Write("spaces.xml",
                "<doc xmlns:q=\"urn:q\">  lead &#9;tab&#10;line&#13;cr  <q:e q:a=\" x  y \">\n\t </q:e>"
                "<f xmlns=\"urn:f\">one<g>  two  </g>three</f><!--  c  d  --><?p  t  u  ?>end</doc>");
  for (const char* select : {"name()", "name(.)", "normalize-space()", "normalize-space(.)", " name ( . ) "}) {
    for (const char* source : {"src.xml", "spaces.xml"}) {
      ExpectAgreement(Stylesheet("",
                                 "<xsl:template match=\"/\"><r><xsl:apply-templates select=\". | //node() | //@*\"/>"
                                 "<xsl:for-each select=\"//*[1]/namespace::*[name() != 'xml']\"><ns>"
                                 "<xsl:value-of select=\"" + std::string(select) + "\"/></ns></xsl:for-each></r>"
                                 "</xsl:template><xsl:template match=\"/ | node() | @*\"><v k=\"{" +
                                 std::string(select) + "}\"><xsl:value-of select=\"" + std::string(select) +
                                 "\"/></v></xsl:template>"),
                      source);
    }
  }
}

// The string value of an element or a fragment, read in place when it holds
// one text node alone and gathered otherwise, as string(), number(),
// comparisons and the string functions take it: one text, one CDATA
// section, text around a comment or a child, attributes beside the text,
// no text at all, and fragments of one text or of more.
TEST_F(NodesTest, StringValuesOfElementsAndFragmentsGiveWhatTheTreeGives) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  folder_.Write("values.xml",
                "<doc><v>12</v><v><![CDATA[ 7 ]]></v><v>1<!-- c -->5</v><v a=\"9\">3</v><v>2<w>0</w></v>"
                "<v/><v><w>4</w></v><v> x  y </v></doc>");
  ExpectAgreement(Stylesheet("",
                             "<xsl:template match=\"/\"><r><xsl:variable name=\"f\">8</xsl:variable>"
                             "<xsl:variable name=\"g\">8<x>1</x></xsl:variable>"
                             "<f s=\"{string($f)}\" n=\"{$f * 2}\" e=\"{$f = 8}\" t=\"{concat($g, '|', $g + 1)}\"/>"
                             "<xsl:for-each select=\"doc/v\"><xsl:sort select=\".\" data-type=\"number\"/>"
                             "<v s=\"{string(.)}\" n=\"{number(.)}\" l=\"{string-length(.)}\" e=\"{. = '12'}\""
                             " m=\"{. &gt; 4}\" c=\"{concat('[', ., ']')}\" z=\"{normalize-space(.)}\""
                             " b=\"{substring-before(., ' ')}\"><xsl:value-of select=\". + 1\"/></v>"
                             "</xsl:for-each><sum><xsl:value-of select=\"sum(doc/v)\"/></sum></r></xsl:template>"),
                  "values.xml");
}

TEST_F(NodesTest, TextAndCDataSectionsSideBySideAreOneTextNode) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  // XPath sees one text node per run of character data; a CDATA section of
  // white space next to white space is whitespace-only text; the joined text
  // goes into one CDATA section where the output asks for one.
  folder_.Write("cdata.xml", "<r><t>a<![CDATA[<b>]]]]>c<![CDATA[]]>d</t><u><![CDATA[ ]]> </u><v>x<![CDATA[]]]]><![CDATA[>y]]></v></r>");
  ExpectAgreement(Stylesheet("",
                             "<xsl:strip-space elements=\"*\"/>"
                             "<xsl:output cdata-section-elements=\"v\"/>"
                             "<xsl:template match=\"/\"><o n=\"{count(//text())}\" first=\"{r/t/text()[1]}\""
                             " u=\"{count(r/u/node())}\"><xsl:copy-of select=\"r/t | r/v\"/></o></xsl:template>"),
                  "cdata.xml");
  // The canonical form turns CDATA sections into text: compare the sections
  // as written too.
  folder_.Write("sheet.xsl", Stylesheet("", "<xsl:output cdata-section-elements=\"v\"/>"
                                            "<xsl:template match=\"/\"><xsl:copy-of select=\"r/v\"/></xsl:template>"));
  KTProgramResult ours =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "cdata.xml", "-xsl", "sheet.xsl", "-out", "out.xml"}, folder_.Path());
  ASSERT_EQ(ours.status, 0) << ours.err;
  KTProgramResult theirs = KTRunProgram(kXsltproc, {"-o", "xp.xml", "sheet.xsl", "cdata.xml"}, folder_.Path());
  ASSERT_EQ(theirs.status, 0) << theirs.err;
  EXPECT_EQ(Body(folder_.Read("out.xml")), Body(folder_.Read("xp.xml")));
}

TEST_F(NodesTest, CopyOfEveryKindOfNode) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  // Attributes first (they join r), then the root's copy (its content goes
  // to r), comments, processing instructions, text and an element with an
  // attribute set and content; content runs only inside elements and the
  // root, and xsl:attribute in the content replaces the set's value.
  ExpectAgreement(Stylesheet(
      " xmlns:q=\"urn:q\"",
      "<xsl:attribute-set name=\"s\"><xsl:attribute name=\"set\">1</xsl:attribute>"
      "<xsl:attribute name=\"a\">fromset</xsl:attribute></xsl:attribute-set>"
      "<xsl:template match=\"/\"><r><xsl:apply-templates select=\"doc/@*\" mode=\"c\"/>"
      "<xsl:copy><c/></xsl:copy>"
      "<xsl:apply-templates select=\"//comment()|//processing-instruction()|//text()[normalize-space()]|//q:item|//"
      "*[local-name()='m']\" mode=\"c\"/></r></xsl:template>"
      "<xsl:template match=\"node()|@*\" mode=\"c\"><xsl:copy use-attribute-sets=\"s\">"
      "<xsl:attribute name=\"a\">over</xsl:attribute><x/></xsl:copy></xsl:template>"));
}

TEST_F(NodesTest, CopiedNamespaceNodesDeclareTheirPrefixes) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  // The namespace nodes of m: q and xml (never copied) and the default
  // namespace, which the unprefixed e in no namespace cannot take.
  ExpectAgreement(Stylesheet("",
                             "<xsl:template match=\"/\"><r><xsl:for-each select=\"//*[local-name()='m']\"><e>"
                             "<xsl:for-each select=\"namespace::*\"><xsl:sort select=\"name()\"/><xsl:copy/>"
                             "</xsl:for-each></e></xsl:for-each></r></xsl:template>"));
}

TEST_F(NodesTest, ElementsThatDeclareManyNamespacesAreCopiedWhole) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  // Past a few dozen declarations on one element, the declarations a copy
  // already holds are looked up by hash: copy-of, the identity transform and
  // namespace nodes copied one by one onto a new element must still give
  // each prefix once, with inner elements redeclaring one prefix and the
  // default namespace.
  std::string source = "<r";
  for (int i = 0; i < 200; ++i) source += " xmlns:p" + std::to_string(i) + "=\"urn:" + std::to_string(i) + "\"";
  source += " p7:a=\"1\"><p3:e xmlns:p5=\"urn:other\" xmlns=\"urn:d\"><f p5:b=\"2\"/></p3:e><g/></r>";
  folder_.Write("many.xml", source);
  ExpectAgreement(Stylesheet("", "<xsl:template match=\"/\"><out><xsl:copy-of select=\"*\"/></out></xsl:template>"),
                  "many.xml");
  // The source's whitespace-only text is stripped; xsltproc is told to do the same.
  ExpectAgreement(Stylesheet("",
                             "<xsl:strip-space elements=\"*\"/>"
                             "<xsl:template match=\"@*|node()\">"
                             "<xsl:copy><xsl:apply-templates select=\"@*|node()\"/></xsl:copy>"
                             "</xsl:template>"),
                  "many.xml");
  ExpectAgreement(Stylesheet("",
                             "<xsl:template match=\"/\"><out><xsl:for-each select=\"//*\"><e>"
                             "<xsl:copy-of select=\"namespace::*\"/></e></xsl:for-each></out></xsl:template>"),
                  "many.xml");
}

TEST_F(NodesTest, AttributeSetsSeeOnlyTopLevelVariables) {
  // XSLT 1.0 §11.5: an attribute set is no part of the template that uses
  // it, so the template's own g is out of its scope (xsltproc differs).
  std::string err;
  std::string out = RunOurs(
      Stylesheet("",
                 "<xsl:attribute-set name=\"v\"><xsl:attribute name=\"v\"><xsl:value-of select=\"$g\"/>"
                 "</xsl:attribute></xsl:attribute-set>"
                 "<xsl:attribute-set name=\"v\"><xsl:attribute name=\"w\"><xsl:value-of select=\"$g\"/>"
                 "</xsl:attribute></xsl:attribute-set>"
                 "<xsl:variable name=\"g\" select=\"'global'\"/>"
                 "<xsl:template match=\"/\"><xsl:variable name=\"g\" select=\"'local'\"/>"
                 "<r xsl:use-attribute-sets=\"v\"><xsl:value-of select=\"$g\"/></r></xsl:template>"),
      &err);
  EXPECT_EQ(Body(out), "<r v=\"global\" w=\"global\">local</r>\n") << err;
}

// The attributes of sets come in xsltproc's order: a set's own attributes
// before those of the sets it uses, declarations of higher import precedence
// first, a later declaration of equal precedence replacing a value in its
// place.
TEST_F(NodesTest, AttributeSetsMakeAttributesInXsltprocsOrder) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  folder_.Write("imported.xsl",
                Stylesheet("",
                           "<xsl:attribute-set name=\"s\" use-attribute-sets=\"u\"><xsl:attribute name=\"i\">imp</xsl:attribute>"
                           "<xsl:attribute name=\"a\">imp</xsl:attribute></xsl:attribute-set>"
                           "<xsl:attribute-set name=\"u\"><xsl:attribute name=\"k\">imp-u</xsl:attribute>"
                           "<xsl:attribute name=\"a\">imp-u</xsl:attribute></xsl:attribute-set>"));
  struct Case {
    const char* use;
    const char* sets;
  } const cases[] = {
      // A chain of sets, declared before the sets they use.
      {"s1",
       "<xsl:attribute-set name=\"s2\" use-attribute-sets=\"s3\"><xsl:attribute name=\"d\">2</xsl:attribute>"
       "</xsl:attribute-set><xsl:attribute-set name=\"s1\" use-attribute-sets=\"s2\">"
       "<xsl:attribute name=\"c\">1</xsl:attribute><xsl:attribute name=\"d\">1</xsl:attribute></xsl:attribute-set>"
       "<xsl:attribute-set name=\"s3\"><xsl:attribute name=\"f\">3</xsl:attribute>"
       "<xsl:attribute name=\"c\">3</xsl:attribute></xsl:attribute-set>"},
      // Two declarations of one precedence, both using sets.
      {"s",
       "<xsl:attribute-set name=\"s\" use-attribute-sets=\"u1\"><xsl:attribute name=\"a\">1</xsl:attribute>"
       "<xsl:attribute name=\"b\">1</xsl:attribute></xsl:attribute-set>"
       "<xsl:attribute-set name=\"u1\"><xsl:attribute name=\"p\">u1</xsl:attribute></xsl:attribute-set>"
       "<xsl:attribute-set name=\"u2\"><xsl:attribute name=\"r\">u2</xsl:attribute>"
       "<xsl:attribute name=\"q\">u2</xsl:attribute></xsl:attribute-set>"
       "<xsl:attribute-set name=\"s\" use-attribute-sets=\"u2\"><xsl:attribute name=\"c\">2</xsl:attribute>"
       "<xsl:attribute name=\"a\">2</xsl:attribute></xsl:attribute-set>"},
      // Declarations of two precedences, both using sets that are declared
      // at both precedences.
      {"s",
       "<xsl:attribute-set name=\"s\" use-attribute-sets=\"v\"><xsl:attribute name=\"m\">main</xsl:attribute>"
       "<xsl:attribute name=\"a\">main</xsl:attribute></xsl:attribute-set>"
       "<xsl:attribute-set name=\"v\"><xsl:attribute name=\"k\">v</xsl:attribute>"
       "<xsl:attribute name=\"p:z\" xmlns:p=\"urn:z\">v</xsl:attribute></xsl:attribute-set>"
       "<xsl:attribute-set name=\"u\"><xsl:attribute name=\"y\">main-u</xsl:attribute>"
       "<xsl:attribute name=\"q:w\" xmlns:q=\"urn:z\">main-u</xsl:attribute></xsl:attribute-set>"},
      // Two sets named on one element, the second replacing in place.
      {"u v",
       "<xsl:attribute-set name=\"v\"><xsl:attribute name=\"n\">v</xsl:attribute>"
       "<xsl:attribute name=\"k\">v</xsl:attribute></xsl:attribute-set>"},
  };
  for (const Case& c : cases) {
    std::string body = std::string("<xsl:import href=\"imported.xsl\"/>") + c.sets +
                       "<xsl:template match=\"/\"><r><e xsl:use-attribute-sets=\"" + c.use + "\" a=\"lit\">" +
                       "<xsl:attribute name=\"x\">instr</xsl:attribute></e><xsl:element name=\"e\" " +
                       "use-attribute-sets=\"" + c.use + "\"/><xsl:for-each select=\"doc\"><xsl:copy " +
                       "use-attribute-sets=\"" + c.use + "\"/></xsl:for-each></r></xsl:template>";
    ExpectSameBytes(Stylesheet("", body));
  }
}

// A top-level variable may use a set declared after it: the sets are known
// before any top-level element runs.
TEST_F(NodesTest, AttributeSetsServeVariablesDeclaredBeforeThem) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  ExpectSameBytes(Stylesheet("",
                             "<xsl:variable name=\"v\"><e xsl:use-attribute-sets=\"s\"/></xsl:variable>"
                             "<xsl:template match=\"/\"><r><xsl:copy-of select=\"$v\"/></r></xsl:template>"
                             "<xsl:attribute-set name=\"s\"><xsl:attribute name=\"a\">1</xsl:attribute>"
                             "</xsl:attribute-set>"));
}

// Sets that use one set twice at every level are flattened once each: forty
// levels would otherwise run 2^40 instructions. xsltproc agrees.
TEST_F(NodesTest, AttributeSetsUsingASetTwiceAtEveryLevelStayLinear) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  std::string sets;
  for (int i = 0; i < 40; ++i) {
    std::string next = std::to_string(i + 1);
    sets += "<xsl:attribute-set name=\"s" + std::to_string(i) + "\" use-attribute-sets=\"s" + next + " s" + next +
            "\"><xsl:attribute name=\"a" + std::to_string(i) + "\">v</xsl:attribute></xsl:attribute-set>";
  }
  sets += "<xsl:attribute-set name=\"s40\"><xsl:attribute name=\"end\">v</xsl:attribute></xsl:attribute-set>";
  ExpectSameBytes(Stylesheet("", sets + "<xsl:template match=\"/\"><e xsl:use-attribute-sets=\"s0\"/></xsl:template>"));
}

// Where two instructions of the sets make one attribute, its value is the
// one XSLT 1.0 §7.1.4 gives: a set named later wins over one named earlier,
// and a set's own attribute over a used set's even when its name is computed
// (xsltproc keeps the earlier value in both).
TEST_F(NodesTest, AttributeSetValuesFollowTheOrderOfUse) {
  struct Case {
    const char* sets;
    const char* expected;
  } const cases[] = {
      {"<xsl:attribute-set name=\"s\" use-attribute-sets=\"u1 u2\"><xsl:attribute name=\"a\">s</xsl:attribute>"
       "</xsl:attribute-set><xsl:attribute-set name=\"u1\"><xsl:attribute name=\"p\">u1</xsl:attribute>"
       "<xsl:attribute name=\"q\">u1</xsl:attribute></xsl:attribute-set><xsl:attribute-set name=\"u2\">"
       "<xsl:attribute name=\"q\">u2</xsl:attribute><xsl:attribute name=\"r\">u2</xsl:attribute></xsl:attribute-set>",
       "<e a=\"s\" p=\"u1\" q=\"u2\" r=\"u2\"/>\n"},
      {"<xsl:attribute-set name=\"s\" use-attribute-sets=\"u\"><xsl:attribute name=\"{'a'}\">s</xsl:attribute>"
       "<xsl:attribute name=\"b\">s</xsl:attribute></xsl:attribute-set><xsl:attribute-set name=\"u\">"
       "<xsl:attribute name=\"a\">u</xsl:attribute><xsl:attribute name=\"{'b'}\">u</xsl:attribute>"
       "<xsl:attribute name=\"c\">u</xsl:attribute></xsl:attribute-set>",
       "<e a=\"s\" b=\"s\" c=\"u\"/>\n"},
  };
  for (const Case& c : cases) {
    std::string err;
    std::string out = RunOurs(
        Stylesheet("", std::string(c.sets) + "<xsl:template match=\"/\"><e xsl:use-attribute-sets=\"s\"/></xsl:template>"),
        &err);
    EXPECT_EQ(Body(out), c.expected) << c.sets << "\n" << err;
  }
}

// ---- xsl:element and xsl:attribute ----

TEST_F(NodesTest, ComputedElementsAndAttributesAgreeWithXsltproc) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  const char* const bodies[] = {
      // A computed name and namespace.
      "<xsl:element name=\"{concat('x','y')}\" namespace=\"urn:q\"/>",
      // The default namespace of the stylesheet applies to an unprefixed
      // name; a prefix takes the stylesheet's binding.
      "<xsl:element name=\"e\" xmlns=\"urn:default\"><xsl:element name=\"p:f\" xmlns:p=\"urn:p\"/></xsl:element>",
      // An empty namespace inside a default one.
      "<w xmlns=\"urn:w\"><xsl:element name=\"e\" namespace=\"\"/></w>",
      // A namespace the result already binds to the prefix needs no
      // declaration.
      "<p:w xmlns:p=\"urn:p\"><xsl:element name=\"p:e\" namespace=\"urn:p\"/></p:w>",
      // Content, attribute value from text and value-of, one attribute for
      // two instructions of one name, the later value.
      "<xsl:element name=\"e\"><xsl:attribute name=\"a\">v<xsl:value-of select=\"1+1\"/>w<x/></xsl:attribute>"
      "<xsl:attribute name=\"b\">1</xsl:attribute><xsl:attribute name=\"b\">2</xsl:attribute>text</xsl:element>",
      // A prefixed attribute name without namespace takes the stylesheet's
      // binding, declared on the element; xml:lang needs none.
      "<e xmlns:p=\"urn:p\"><xsl:attribute name=\"p:a\">1</xsl:attribute>"
      "<xsl:attribute name=\"xml:lang\">en</xsl:attribute></e>",
      // A prefixed attribute with its namespace.
      "<e><xsl:attribute name=\"p:a\" namespace=\"urn:x\">1</xsl:attribute></e>",
      // Attribute sets: two names with white space around them, two
      // declarations of one name, a set that uses another, literal
      // attributes over the sets, and a set's attribute called name on
      // xsl:element.
      "<lit k=\"lit\" xsl:use-attribute-sets=\"  t&#10; s \"/><xsl:element name=\"z\" use-attribute-sets=\"s\"/>",
  };
  const std::string sets =
      "<xsl:attribute-set name=\"s\"><xsl:attribute name=\"name\">fromset</xsl:attribute>"
      "<xsl:attribute name=\"k\">s</xsl:attribute></xsl:attribute-set>"
      "<xsl:attribute-set name=\"s\"><xsl:attribute name=\"s2\">second</xsl:attribute></xsl:attribute-set>"
      "<xsl:attribute-set name=\"t\" use-attribute-sets=\"s\"><xsl:attribute name=\"k\">t</xsl:attribute>"
      "<xsl:attribute name=\"t\">t</xsl:attribute></xsl:attribute-set>";
  for (const char* body : bodies)
    ExpectAgreement(Stylesheet("", sets + "<xsl:template match=\"/\"><r>" + body + "</r></xsl:template>"));
}

TEST_F(NodesTest, GeneratedPrefixesAndDeclarations) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  // Prefixes for names whose own cannot serve are made as xsltproc makes
  // them, so the bytes are compared: "ns_1" for an unprefixed attribute,
  // then "ns_1_1", ...; a prefixed name whose prefix the element binds to
  // another URI takes "p_1", ...; an outer binding of the prefix is hidden
  // by a new declaration, and one the scope already has is used.
  const char* const bodies[] = {
      "<xsl:element name=\"{concat('x','y')}\" namespace=\"urn:q\"/>",
      "<e><xsl:attribute name=\"a\" namespace=\"urn:x\">1</xsl:attribute>"
      "<xsl:attribute name=\"b\" namespace=\"urn:y\">2</xsl:attribute>"
      "<xsl:attribute name=\"c\" namespace=\"urn:x\">3</xsl:attribute></e>",
      "<p:e xmlns:p=\"urn:result\"><xsl:attribute name=\"p:a\" xmlns:p=\"urn:sheet\">1</xsl:attribute>"
      "<xsl:attribute name=\"p:b\" xmlns:p=\"urn:other\">2</xsl:attribute></p:e>",
      "<e xmlns:ns_1=\"urn:taken\"><xsl:attribute name=\"a\" namespace=\"urn:x\">1</xsl:attribute></e>",
      "<o xmlns:ns_1=\"urn:outer\" xmlns:p=\"urn:outer\"><xsl:element name=\"e\">"
      "<xsl:attribute name=\"a\" namespace=\"urn:x\">1</xsl:attribute>"
      "<xsl:attribute name=\"p:b\" namespace=\"urn:y\">2</xsl:attribute></xsl:element></o>",
      "<o xmlns:ns_1=\"urn:x\" xmlns:q=\"urn:y\"><xsl:element name=\"e\">"
      "<xsl:attribute name=\"a\" namespace=\"urn:x\">1</xsl:attribute></xsl:element>"
      "<q:e xmlns:q=\"urn:z\"><xsl:attribute name=\"q:b\" namespace=\"urn:y\">2</xsl:attribute></q:e></o>",
      // An unprefixed set name finds its set whatever the default namespace.
      "<xsl:element name=\"e\" use-attribute-sets=\"s\" xmlns=\"urn:d\"/>",
  };
  const std::string sets = "<xsl:attribute-set name=\"s\"><xsl:attribute name=\"k\">s</xsl:attribute></xsl:attribute-set>";
  for (const char* body : bodies)
    ExpectSameBytes(Stylesheet("", sets + "<xsl:template match=\"/\"><r>" + body + "</r></xsl:template>"));
  // What xsltproc refuses: "xmlns" is never a prefix of a result name, and
  // an attribute named "xmlns", or after content, is ignored.
  struct Case {
    const char* body;
    const char* expected;
  } const cases[] = {
      {"<xsl:element name=\"xmlns:foo\" namespace=\"urn:a\"/>", "<r><ns_1:foo xmlns:ns_1=\"urn:a\"/></r>\n"},
      {"<f><xsl:attribute name=\"xmlns\">u</xsl:attribute></f>", "<r><f/></r>\n"},
      {"<e>t<xsl:attribute name=\"a\">1</xsl:attribute></e>", "<r><e>t</e></r>\n"},
  };
  for (const Case& c : cases) {
    std::string err;
    std::string out = RunOurs(Stylesheet("", "<xsl:template match=\"/\"><r>" + std::string(c.body) + "</r></xsl:template>"),
                              &err);
    EXPECT_EQ(Body(out), c.expected) << c.body << "\n" << err;
  }
}

TEST_F(NodesTest, ErrorsNameTheirCause) {
  struct Case {
    const char* body;
    const char* message;
  } const cases[] = {
      {"<xsl:element name=\"{''}\"/>", "Not a QName"},
      {"<xsl:element name=\"a b\"/>", "Not a QName"},
      {"<xsl:element name=\"xmlns\"/>", "Unexpected value"},
      {"<xsl:element name=\"u:e\"/>", "Undefined namespace prefix"},
      {"<e><xsl:attribute name=\"1a\"/></e>", "Not a QName"},
      {"<e><xsl:attribute name=\"u:a\"/></e>", "Undefined namespace prefix"},
      {"<xsl:element name=\"e\" use-attribute-sets=\"s 1b\"/>", "Not a QName"},
      {"<xsl:element name=\"e\" use-attribute-sets=\"nosuch\"/>", "Undefined attribute set"},
      {"<xsl:element name=\"e\" use-attribute-sets=\"u:s\"/>", "Undefined namespace prefix"},
      {"<xsl:element name=\"{\"/>", "Attribute value template syntax is incorrect"},
      {"<xsl:element name=\"e\" use-attribute-sets=\"c1\"/>", "Attribute set c1 uses itself"},
      {"<xsl:element name=\"e\" use-attribute-sets=\"self\"/>", "Attribute set self uses itself"},
      {"<xsl:element name=\"e\" use-attribute-sets=\"bad\"/>", "Undefined attribute set"},
  };
  const std::string sets =
      "<xsl:attribute-set name=\"s\"><xsl:attribute name=\"k\">s</xsl:attribute></xsl:attribute-set>"
      "<xsl:attribute-set name=\"c1\" use-attribute-sets=\"c2\"/>"
      "<xsl:attribute-set name=\"c2\" use-attribute-sets=\"s c1\"/>"
      "<xsl:attribute-set name=\"self\" use-attribute-sets=\"self\"/>"
      "<xsl:attribute-set name=\"bad\" use-attribute-sets=\"s nosuch\"/>";
  for (const Case& c : cases) {
    std::string err;
    std::string out = RunOurs(Stylesheet("", sets + "<xsl:template match=\"/\"><r>" + c.body + "</r></xsl:template>"),
                              &err, "err.xml");
    EXPECT_EQ(out, "") << c.body;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.body << "\n" << err;
    EXPECT_FALSE(folder_.Exists("err.xml")) << c.body;
  }
}

// ---- xsl:namespace-alias ----

TEST_F(NodesTest, NamespaceAliasGeneratesAStylesheet) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  // A stylesheet that writes a stylesheet; what the written one does is
  // compared: run by xsltproc on the source, ours and xsltproc's give the
  // same result.
  std::string generator = Stylesheet(
      " xmlns:axsl=\"urn:alias\"",
      "<xsl:namespace-alias stylesheet-prefix=\"axsl\" result-prefix=\"xsl\"/>"
      "<xsl:template match=\"/\"><axsl:stylesheet version=\"1.0\">"
      "<axsl:template match=\"{name(*)}\"><out><axsl:value-of select=\"@a\"/></out></axsl:template>"
      "</axsl:stylesheet></xsl:template>");
  std::string err;
  std::string ours = RunOurs(generator, &err, "gen.xsl");
  ASSERT_NE(ours, "") << err;
  KTProgramResult theirs = KTRunProgram(kXsltproc, {"-o", "xpgen.xsl", "sheet.xsl", "src.xml"}, folder_.Path());
  ASSERT_EQ(theirs.status, 0) << theirs.err;
  // The written stylesheet itself is xsltproc's: the aliased names keep
  // their prefix, now bound to the XSLT namespace.
  EXPECT_EQ(Body(ours), Body(folder_.Read("xpgen.xsl")));
  KTProgramResult a = KTRunProgram(kXsltproc, {"-o", "a.xml", "gen.xsl", "src.xml"}, folder_.Path());
  KTProgramResult b = KTRunProgram(kXsltproc, {"-o", "b.xml", "xpgen.xsl", "src.xml"}, folder_.Path());
  ASSERT_EQ(a.status, 0) << a.err;
  ASSERT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(Canonical("a.xml"), Canonical("b.xml"));
  EXPECT_EQ(Canonical("a.xml"), "<out>1</out>");
}

TEST_F(NodesTest, AliasedNamesKeepTheirPrefixes) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  // A name keeps its prefix and the copied namespace nodes bind it to the
  // result namespace; a name in no namespace takes the result prefix; an
  // alias of the default namespace keeps names unprefixed.
  ExpectSameBytes(Stylesheet(" xmlns:h=\"urn:h\" xmlns:q=\"urn:q\"",
                             "<xsl:namespace-alias stylesheet-prefix=\"h\" result-prefix=\"q\"/>"
                             "<xsl:template match=\"/\"><h:a h:at=\"1\"><h:b/><q:c/><x/><g:d xmlns:g=\"urn:h\"/></h:a>"
                             "</xsl:template>"));
  ExpectSameBytes(Stylesheet(" xmlns:bb=\"urn:bb\"",
                             "<xsl:namespace-alias stylesheet-prefix=\"#default\" result-prefix=\"bb\"/>"
                             "<xsl:template match=\"/\"><root><e1 xmlns=\"urn:other\"><e2/></e1><e3/></root>"
                             "</xsl:template>"));
  ExpectSameBytes(Stylesheet(" xmlns=\"urn:def\" xmlns:r=\"urn:r\" xmlns:a=\"urn:a\"",
                             "<xsl:namespace-alias stylesheet-prefix=\"#default\" result-prefix=\"r\"/>"
                             "<xsl:namespace-alias stylesheet-prefix=\"a\" result-prefix=\"#default\"/>"
                             "<xsl:template match=\"/\"><x at=\"1\"><a:y a:b=\"2\"><r:z/></a:y></x></xsl:template>"));
}

// ---- Namespace declarations on the result ----

TEST_F(NodesTest, DeclarationsComeInXsltprocsOrder) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  // A literal element declares its own namespaces in document order, then
  // the binding of its own name, then those of the stylesheet elements
  // around it, nearest first; declarations before attributes.
  const char* const bodies[] = {
      "<root xmlns=\"urn:A\" xmlns:b=\"urn:B\" xmlns:a=\"urn:A\"><Product a:ID=\"1001\"/></root>",
      "<x:e xmlns:c=\"urn:c\" xmlns:d=\"urn:d\" b:at=\"1\"><y:f xmlns:g=\"urn:g\" xmlns:y=\"urn:y2\"/>"
      "<d:h xmlns:k=\"urn:k\"/></x:e>",
      "<r xmlns:l2=\"urn:l2\" xmlns:l1=\"urn:l1\" xmlns:z=\"urn:z2\" b=\"1\" a=\"2\">"
      "<in xmlns:l3=\"urn:l3\" xmlns:s1=\"urn:s1\"/><in2 xmlns:s1=\"urn:other\"/></r>",
  };
  for (const char* body : bodies)
    ExpectSameBytes(Stylesheet(" xmlns:s2=\"urn:s2\" xmlns:s1=\"urn:s1\" xmlns:z=\"urn:z\" xmlns:a=\"urn:a\""
                               " xmlns:b=\"urn:b\" xmlns:x=\"urn:x\" xmlns:y=\"urn:y\"",
                               "<xsl:template match=\"/\" xmlns:t2=\"urn:t2\" xmlns:t1=\"urn:t1\">" +
                                   std::string(body) + "</xsl:template>"));
  // Copies of source elements: an element's own declarations in document
  // order, then those of its ancestors, nearest first, and none that repeats
  // a binding the place of the copy has (a child declaring its parent's
  // prefix again, or the joes prefix inside an element that binds it).
  folder_.Write("ns.xml",
                "<r xmlns:s2=\"urn:s2\" xmlns:s1=\"urn:s1\" xmlns:z=\"urn:z\">"
                "<m xmlns:l2=\"urn:l2\" xmlns:l1=\"urn:l1\" xmlns:z=\"urn:z2\" b=\"1\" a=\"2\">"
                "<in xmlns:l3=\"urn:l3\" xmlns:s1=\"urn:s1\" xmlns=\"urn:d\"><j xmlns:l3=\"urn:l3\"/></in></m>"
                "<p:b xmlns:p=\"urn:p\"><p:c xmlns:p=\"urn:p\"/><q xmlns:p=\"urn:p\"/></p:b>"
                "<joes:bar xmlns:joes=\"http://joes.com\"/></r>");
  ExpectSameBytes(Stylesheet("",
                             "<xsl:template match=\"/\"><out><xsl:copy-of select=\"//m\"/>"
                             "<w xmlns:p=\"urn:p\"><xsl:copy-of select=\"//*[local-name()='b']\"/></w>"
                             "<foo xmlns:joes=\"http://joes.com\"><xsl:copy-of select=\"//*[local-name()='bar']\"/>"
                             "<joes:bar xmlns:joes=\"http://joes.com\"/></foo></out></xsl:template>"),
                  "ns.xml");
}

// ---- Forwards-compatible processing ----

TEST_F(NodesTest, UnknownInstructionsRunTheirFallbacksInForwardsCompatibleMode) {
  const std::string body =
      "<xsl:frob-top/>"
      "<xsl:template match=\"/\"><r>"
      "<xsl:frobnicate select=\"x\"><xsl:fallback>one<!-- c --><?p i?><xsl:value-of select=\"1\"/></xsl:fallback>"
      "ignored<xsl:fallback>two</xsl:fallback></xsl:frobnicate>"
      "<xsl:fallback>direct</xsl:fallback>"
      "</r></xsl:template>";
  std::string err;
  // The xsl:fallback that stands directly in the template does nothing:
  // only an element performing fallback instantiates its content (XSLT 1.0
  // §15).
  EXPECT_EQ(Body(RunOurs(Stylesheet("", body, "1.1"), &err)), "<r>one1two</r>\n") << err;
  // Outside forwards-compatible mode the unknown element is refused.
  EXPECT_EQ(RunOurs(Stylesheet("", body, "1.0"), &err, "err.xml"), "");
  EXPECT_NE(err.find("Unexpected child"), std::string::npos) << err;
  // Without an xsl:fallback child, instantiating it is an error (XSLT 1.0
  // §2.5); one that is never instantiated is none.
  EXPECT_EQ(RunOurs(Stylesheet("", "<xsl:template match=\"/\"><r><xsl:frob2>ignored</xsl:frob2></r></xsl:template>",
                               "1.1"),
                    &err, "err.xml"),
            "");
  EXPECT_NE(err.find("xsl:frob2"), std::string::npos) << err;
  EXPECT_EQ(Body(RunOurs(Stylesheet("", "<xsl:template match=\"/\"><r><xsl:if test=\"false()\"><xsl:frob2/></xsl:if>"
                                        "</r></xsl:template>",
                                    "1.1"),
                         &err)),
            "<r/>\n")
      << err;
}

TEST_F(NodesTest, ExtensionElementsRunTheirFallback) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  ExpectAgreement(Stylesheet(" xmlns:ex=\"urn:ext\" extension-element-prefixes=\"ex\"",
                             "<xsl:template match=\"/\"><r><ex:thing><xsl:fallback><f>"
                             "<xsl:value-of select=\"count(//*)\"/></f></xsl:fallback></ex:thing></r></xsl:template>"));
}

TEST_F(NodesTest, LiteralElementsWithAnotherVersionAreForwardsCompatible) {
  std::string err;
  // xsl:version on a literal result element inside a 1.0 stylesheet, and on
  // a literal result element used as the whole stylesheet.
  EXPECT_EQ(Body(RunOurs(Stylesheet("", "<xsl:template match=\"/\"><r xsl:version=\"2.0\">"
                                        "<xsl:frob><xsl:fallback>fb</xsl:fallback></xsl:frob></r></xsl:template>"),
                         &err)),
            "<r>fb</r>\n")
      << err;
  EXPECT_EQ(Body(RunOurs("<r xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" xsl:version=\"1.1\">"
                         "<xsl:frob><xsl:fallback>fb</xsl:fallback></xsl:frob><i>x</i></r>\n",
                         &err)),
            "<r>fb<i>x</i></r>\n")
      << err;
}

// Text appended next to text joins it, and empty text makes no node: an
// element of cdata-section-elements gets one CDATA section for text that
// came from several instructions, and an element whose only content was
// empty text is written empty. Compared with xsltproc's output as written.
TEST_F(NodesTest, AdjacentTextJoinsAndEmptyTextMakesNoNode) {
  if (!HaveTools()) GTEST_SKIP() << "xsltproc or xmllint is not installed";
  const std::vector<std::string> bodies = {
      // Literal text, xsl:text, xsl:value-of, xsl:copy-of, xsl:copy of text
      // and CDATA nodes, xsl:number: one section.
      "<xsl:template match=\"/\"><r><c> lit <xsl:text>t</xsl:text><xsl:value-of select=\"'v'\"/>"
      "<xsl:copy-of select=\"//q:item/text()\"/><xsl:for-each select=\"//q:item/text()\"><xsl:copy/>"
      "</xsl:for-each><xsl:number value=\"7\"/></c></r></xsl:template>",
      // The identity transform of a CDATA section between white space.
      "<xsl:template match=\"@*|node()\"><xsl:copy><xsl:apply-templates select=\"@*|node()\"/></xsl:copy>"
      "</xsl:template><xsl:template match=\"/\"><r><xsl:apply-templates select=\"//q:item\"/></r></xsl:template>"
      "<xsl:template match=\"q:item\"><c><xsl:text> </xsl:text>"
      "<xsl:apply-templates/><xsl:text> </xsl:text></c></xsl:template>",
      // Empty text: no node, so the elements are written empty.
      "<xsl:template match=\"/\"><r><e><xsl:value-of select=\"''\"/></e><c><xsl:text/></c>"
      "<e><xsl:copy-of select=\"string(//nothing)\"/></e></r></xsl:template>",
      // The values of elements of one text node each, side by side, in a
      // CDATA section, unescaped, in a fragment and from a for-each.
      "<x:data xmlns:x=\"urn:x\"><a>one &lt; two</a><b>three</b><d><![CDATA[<cd>]]></d><a>tail</a></x:data>"
      "<xsl:variable name=\"t\" select=\"document('')//*[local-name()='data']/*\"/>"
      "<xsl:template match=\"/\"><r><c><xsl:value-of select=\"$t[1]\"/><xsl:value-of select=\"$t[2]\"/>"
      "<xsl:value-of select=\"$t[3]\"/></c><e><xsl:value-of select=\"$t[1]\" disable-output-escaping=\"yes\"/>"
      "<xsl:value-of select=\"$t[2]\"/></e><xsl:variable name=\"f\"><xsl:value-of select=\"$t[2]\"/>"
      "<xsl:value-of select=\"$t[1]\"/></xsl:variable><s><xsl:value-of select=\"string-length($f)\"/>|"
      "<xsl:copy-of select=\"$f\"/></s><xsl:for-each select=\"$t\"><xsl:value-of select=\".\"/>,"
      "</xsl:for-each></r></xsl:template>",
  };
  for (const std::string& body : bodies) {
    std::string sheet = Stylesheet(" xmlns:q=\"urn:q\"", "<xsl:output cdata-section-elements=\"c\"/>" + body);
    std::string err;
    std::string ours = Body(RunOurs(sheet, &err));
    ASSERT_FALSE(ours.empty()) << err << sheet;
    KTProgramResult theirs = KTRunProgram(kXsltproc, {"-o", "xp.xml", "sheet.xsl", "src.xml"}, folder_.Path());
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(ours, Body(folder_.Read("xp.xml"))) << sheet;
  }
}

// The namespace axis walks its nodes in document order (xml first, then by
// prefix), so a position on the axis and a position in the sorted node-set
// name the same node.
TEST_F(NodesTest, NamespaceAxisPositionsFollowDocumentOrder) {
  folder_.Write("ns.xml", "<r xmlns:z=\"urn:z\" xmlns:b=\"urn:b\"><e xmlns=\"urn:d\" xmlns:a=\"urn:a\"/></r>\n");
  std::string err;
  folder_.Write("sheet.xsl",
                Stylesheet("", "<xsl:output method=\"text\"/><xsl:template match=\"/\"><xsl:for-each select=\"//*[local-name()='e']\">"
                               "<xsl:for-each select=\"namespace::*\"><xsl:value-of select=\"name()\"/>,</xsl:for-each>|"
                               "<xsl:value-of select=\"name(namespace::*[1])\"/>=<xsl:value-of select=\"name((namespace::*)[1])\"/>|"
                               "<xsl:value-of select=\"name(namespace::*[last()])\"/>=<xsl:value-of select=\"name((namespace::*)[last()])\"/>|"
                               "<xsl:value-of select=\"name(namespace::*[3])\"/>=<xsl:value-of select=\"name((namespace::*)[3])\"/>"
                               "</xsl:for-each></xsl:template>"));
  KTProgramResult ours =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "ns.xml", "-xsl", "sheet.xsl", "-out", "out.txt"}, folder_.Path());
  ASSERT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(folder_.Read("out.txt"), "xml,,a,b,z,|xml=xml|z=z|a=a");
}

}  // namespace

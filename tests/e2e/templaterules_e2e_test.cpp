// End-to-end tests of template rules: the built program runs stylesheets
// whose output depends on which rule each node gets (built-in rules,
// priorities, modes, the identity transform's pattern), and its output file
// is compared with xsltproc's output of the same stylesheet and source.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

std::string Stylesheet(const std::string& method, const std::string& body) {
  return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
         "<xsl:output method=\"" + method + "\"/>\n" + body + "\n</xsl:stylesheet>\n";
}

bool HaveXsltproc() { return std::system("xsltproc --version >/dev/null 2>&1") == 0; }

struct RuleCase {
  const char* name;
  std::string method;
  std::string body;
  std::string source;
  const char* expected;  // exact output where the issue names it, else null
};

class TemplateRulesProgramTest : public ::testing::Test {
 protected:
  // Our program's output file for the case.
  std::string Ours(const RuleCase& c) {
    folder_.Write("s.xsl", Stylesheet(c.method, c.body));
    folder_.Write("d.xml", c.source);
    KTProgramResult result =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "s.xsl", "-xml", "d.xml", "-out", "r.out"}, folder_.Path());
    EXPECT_EQ(result.status, 0) << c.name << "\n" << result.err;
    return folder_.Read("r.out");
  }
  std::string Xsltproc(const RuleCase& c) {
    KTProgramResult result = KTRunProgram("/bin/sh", {"-c", "xsltproc s.xsl d.xml"}, folder_.Path());
    return result.out;
  }

  KTScratchFolder folder_;
};

TEST_F(TemplateRulesProgramTest, RulesAgreeWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const RuleCase cases[] = {
      {"empty stylesheet", "text", "", "<r><a>x</a><b y=\"1\">z</b></r>", "xz"},
      {"priority and position", "text",
       "<xsl:template match=\"r\"><xsl:apply-templates/></xsl:template>\n"
       "<xsl:template match=\"*\">[*]</xsl:template>\n<xsl:template match=\"a\">[a]</xsl:template>",
       "<r><a/><b/></r>", "[a][*]"},
      {"built-in rules keep their mode", "text",
       "<xsl:template match=\"/\"><xsl:apply-templates mode=\"a\"/></xsl:template>\n"
       "<xsl:template match=\"x\" mode=\"a\">[xa]<xsl:apply-templates mode=\"b\"/></xsl:template>\n"
       "<xsl:template match=\"y\" mode=\"b\">[yb]</xsl:template>\n"
       "<xsl:template match=\"z\" mode=\"a\">[za]</xsl:template>\n"
       "<xsl:template match=\"z\" mode=\"b\">[zb]</xsl:template>",
       "<r><x><q><y/></q></x><z/></r>", "[xa][yb][za]"},
      {"patterns and conflicts", "text",
       "<xsl:template match=\"/\">(<xsl:apply-templates select=\"//node()|//@*\"/>)</xsl:template>\n"
       "<xsl:template match=\"a/b\">[ab]</xsl:template>\n"
       "<xsl:template match=\"b[@k]\" priority=\"1\">[bk]</xsl:template>\n"
       "<xsl:template match=\"@k\">[k=<xsl:value-of select=\".\"/>]</xsl:template>\n"
       "<xsl:template match=\"text()\">[t=<xsl:value-of select=\".\"/>]</xsl:template>\n"
       "<xsl:template match=\"comment()|processing-instruction()\">[cp]</xsl:template>",
       "<r><a><b/><b k=\"1\">x</b></a><!--c--><?p q?><b>y</b></r>", nullptr},
      // Parameters before and after xsl:sort are evaluated where
      // xsl:apply-templates was reached; position() and last() follow the
      // sorted selection.
      {"sorted selection with parameters", "text",
       "<xsl:template match=\"/\"><xsl:apply-templates select=\"r/list\"/></xsl:template>\n"
       "<xsl:template match=\"list\">"
       "<xsl:apply-templates select=\"i\"><xsl:with-param name=\"before\" select=\"concat(name(), position())\"/>"
       "<xsl:sort select=\"@k\" data-type=\"number\" order=\"descending\"/>"
       "<xsl:with-param name=\"after\" select=\"count(i)\"/></xsl:apply-templates></xsl:template>\n"
       "<xsl:template match=\"i\"><xsl:param name=\"before\"/><xsl:param name=\"after\"/>"
       "[<xsl:value-of select=\"concat(., position(), last(), $before, $after)\"/>]</xsl:template>",
       "<r><list><i k=\"2\">b</i><i k=\"10\">c</i><i k=\"1\">a</i></list><list><i k=\"5\">d</i></list></r>",
       nullptr},
      // Text nodes of one parent share the rule found for the first only
      // while every rule tried is matched without predicates.
      {"text siblings", "text",
       "<xsl:template match=\"p/text()\">[p:<xsl:value-of select=\".\"/>]</xsl:template>\n"
       "<xsl:template match=\"q//text()\">[q]</xsl:template>\n"
       "<xsl:template match=\"s/text()[. = 'y']\">[y]</xsl:template>\n"
       "<xsl:template match=\"s/text()[3]\" priority=\"2\">[third]</xsl:template>",
       "<r>a<p>b<i/>c<i/>d</p><q>e<i>f</i>g</q><s>x<i/>y<i/>z<i/>y<i/>w</s>h</r>", nullptr},
      // A child name or "." compared with a string literal, in patterns and
      // expressions: any child's string value decides, a prefixed child or
      // an attribute of the name is not the child, and either side may hold
      // the literal.
      {"child compared with a literal", "text",
       "<xsl:template match=\"/\" xmlns:n=\"urn:n\"><xsl:for-each select=\"r/i\">[<xsl:value-of select="
       "\"concat(position(), a='x', a!='x', 'x'=a, a='yz', a='', a!='', n:a='x', @a='x', (a)=&quot;y&quot;)\"/>]"
       "</xsl:for-each>|<xsl:value-of select=\"count(r/i[a='y'])\"/>|<xsl:apply-templates select=\"r/i\"/>|"
       "<xsl:value-of select=\"concat(count(//text()[.='x']), count(//@*[.='x']), count(//*[. = 'yz']),"
       " count(//node()['x' != .]), count(//i[a][.='xy']))\"/>"
       "</xsl:template>\n"
       "<xsl:template match=\"i[a='x']\">(x)</xsl:template>\n"
       "<xsl:template match=\"i[&quot;y&quot; != a]\" priority=\"-1\">(not y)</xsl:template>",
       "<r xmlns:n=\"urn:n\"><i><a>x</a><a>y</a></i><i><a>y<b>z</b></a></i><i a=\"x\"><n:a>x</n:a></i>"
       "<i><a/></i><i><c>x</c><a>y</a></i></r>",
       nullptr},
      // Text nodes of different parents, in two modes: one mode's rules
      // test the kind alone, the other's look at the parent as well.
      {"text rules by kind and by parent", "text",
       "<xsl:template match=\"/\"><xsl:apply-templates select=\"//text()\" mode=\"m\"/>|"
       "<xsl:apply-templates select=\"//text()\"/></xsl:template>\n"
       "<xsl:template match=\"node()\" mode=\"m\" priority=\"2\">(<xsl:value-of select=\".\"/>)</xsl:template>\n"
       "<xsl:template match=\"b/text()\" mode=\"m\">[never]</xsl:template>\n"
       "<xsl:template match=\"text()\">t<xsl:value-of select=\".\"/></xsl:template>\n"
       "<xsl:template match=\"b/text()\">b<xsl:value-of select=\".\"/></xsl:template>",
       "<r>1<a>2<b>3</b>4</a><b>5<![CDATA[6]]></b>7</r>", nullptr},
      // Elements whose names no rule names share one lookup per mode while
      // the rules tried test the kind alone; a named element, a rule that
      // looks at the parent and another mode each get their own.
      {"element rules by kind and by name", "text",
       "<xsl:template match=\"/\"><xsl:apply-templates select=\"//*\" mode=\"m\"/>|"
       "<xsl:apply-templates select=\"//*\"/></xsl:template>\n"
       "<xsl:template match=\"*\" mode=\"m\">m<xsl:value-of select=\"name()\"/></xsl:template>\n"
       "<xsl:template match=\"x\" mode=\"m\">[x]</xsl:template>\n"
       "<xsl:template match=\"*\">d<xsl:value-of select=\"name()\"/></xsl:template>\n"
       "<xsl:template match=\"b/*\">(b/<xsl:value-of select=\"name()\"/>)</xsl:template>",
       "<r><a/><x/><b><c/><x/></b><d><e/></d></r>", nullptr},
      // Patterns whose last step alone has predicates comparing a child or
      // "." with a literal, under '/' and '//', on elements, attributes and
      // text, beside one whose predicate counts positions.
      {"patterns filtered by literals", "text",
       "<xsl:template match=\"/\"><xsl:apply-templates select=\"//i|//@k|//text()\"/></xsl:template>\n"
       "<xsl:template match=\"r/s//i[a='x'][b != 'z']\">[sx]</xsl:template>\n"
       "<xsl:template match=\"/r/i[a='x']\">[rx]</xsl:template>\n"
       "<xsl:template match=\"i[a='y'][2]\">[y2]</xsl:template>\n"
       "<xsl:template match=\"@k[.='1']\">[k1]</xsl:template>\n"
       "<xsl:template match=\"a/text()['y' = .]\">[ty]</xsl:template>\n"
       "<xsl:template match=\"text()|@*\"/>\n<xsl:template match=\"i\">[i]</xsl:template>",
       "<r><i k=\"1\"><a>x</a></i><i k=\"2\"><a>y</a></i><i><a>y</a></i>"
       "<s><t><i><a>x</a><b>y</b></i><i><a>x</a><b>z</b></i></t><i><a>x</a><b>z</b><b>w</b></i></s></r>",
       nullptr},
      // Steps with predicates from context nodes that have no node of the
      // step's name, beside ones that do (the contexts of a key's pattern
      // are every node of the document).
      {"predicates of a step from many contexts", "text",
       "<xsl:key name=\"k\" match=\"i[a][last()]\" use=\"a\"/>\n"
       "<xsl:template match=\"/\"><xsl:value-of select=\"concat(count(key('k', 'x')), count(key('k', 'y')),"
       " count(//*/i[a][1]), count(//*/i[2][a]), count(//node()/i[not(a)]))\"/></xsl:template>",
       "<r><i><a>x</a></i><s><i/><i><a>y</a></i><t><i><a>x</a></i></t></s><i/><i><a>y</a></i></r>", nullptr},
      // Rules whose body is one xsl:value-of select="." (the built-in text
      // rule among them) append the string value without frames of their
      // own: into elements, attributes and variables, joined with the text
      // around them, escaped or not as the rule says.
      {"string-value rules", "xml",
       "<xsl:output encoding=\"UTF-8\"/>\n"
       "<xsl:template match=\"/\"><out><xsl:apply-templates select=\"r/a/@*|r/a/node()\"/>|"
       "<e><xsl:attribute name=\"v\"><xsl:apply-templates select=\"r/b\"/></xsl:attribute></e>"
       "<xsl:variable name=\"t\"><xsl:apply-templates select=\"r/b\"/>!</xsl:variable>"
       "<xsl:copy-of select=\"$t\"/><xsl:value-of select=\"string-length($t)\"/>"
       "<xsl:apply-templates select=\"r/c\" mode=\"raw\"/></out></xsl:template>\n"
       "<xsl:template match=\"text()\" mode=\"raw\"><xsl:value-of select=\".\" disable-output-escaping=\"yes\"/>"
       "</xsl:template>",
       "<r><a k=\"1&amp;2\" m=\"&lt;\">x&amp;y<i>in<j>ner</j></i>z<!--c--></a><b>p<q>&gt;</q>s</b>"
       "<c>&lt;raw/&gt;<d>&amp;amp;</d></c></r>",
       nullptr},
      // A rule of one xsl:value-of select="." among other content is run
      // in full: white space kept by xml:space, text after it, a parameter.
      {"string-value rules with more content", "text",
       "<xsl:template match=\"b/text()\" xml:space=\"preserve\"> <xsl:value-of select=\".\"/> </xsl:template>\n"
       "<xsl:template match=\"c/text()\"><xsl:value-of select=\".\"/>!</xsl:template>\n"
       "<xsl:template match=\"@*\"><xsl:param name=\"p\" select=\"'P'\"/><xsl:value-of select=\".\"/>"
       "</xsl:template>\n"
       "<xsl:template match=\"*\"><xsl:apply-templates select=\"@*|node()\"/></xsl:template>",
       "<r a=\"A\">t<b>x<i/>y</b><c>u<i/>v</c></r>", nullptr},
      // Predicates that wrap a comparison of a child or "." with a literal
      // in a function or an operator are evaluated as written, in patterns
      // and in expressions.
      {"comparisons with literals inside functions", "text",
       "<xsl:template match=\"/\"><xsl:apply-templates select=\"r/c\"/>|<xsl:for-each select=\"r/c\">"
       "<xsl:value-of select=\"concat(normalize-space(b)='x', b=normalize-space(' x '), string(b)='y',"
       " count(b)='2', not(b)='x', normalize-space(.)='x', local-name(b)='b')\"/>;</xsl:for-each></xsl:template>\n"
       "<xsl:template match=\"c[not(b='x')]\">[not]</xsl:template>\n"
       "<xsl:template match=\"c[-(b='x')]\" priority=\"3\">[minus]</xsl:template>\n"
       "<xsl:template match=\"c[normalize-space(b)='x']\" priority=\"2\">[ns]</xsl:template>\n"
       "<xsl:template match=\"c[count(b)='2']\" priority=\"4\">[two]</xsl:template>\n"
       "<xsl:template match=\"c\">[c]</xsl:template>",
       "<r><c><b>x</b><b>y</b></c><c><b> x </b></c><c><b>1.0</b></c><c/><c>  x </c></r>", nullptr},
      // Elements whose names no rule names, beside rules by namespace, by
      // position and by key, and an unprefixed rule that a namespaced
      // element of its local name does not match.
      {"unnamed elements beside wildcard and key rules", "text",
       "<xsl:key name=\"k\" match=\"*\" use=\"@id\"/>\n"
       "<xsl:template match=\"*\">{<xsl:value-of select=\"local-name()\"/><xsl:apply-templates/>}</xsl:template>\n"
       "<xsl:template match=\"q:*\" xmlns:q=\"urn:p\">Q<xsl:apply-templates/></xsl:template>\n"
       "<xsl:template match=\"*[3]\">3</xsl:template>\n"
       "<xsl:template match=\"key('k','z')\">K</xsl:template>\n"
       "<xsl:template match=\"h\">H</xsl:template>",
       "<r xmlns:p=\"urn:p\"><a><b/><c/><d/></a><p:e><p:f/></p:e><g xmlns=\"urn:d\"><h/><h2 id=\"z\"/></g>"
       "<h/><m id=\"z\"/></r>",
       nullptr},
      // A namespace wildcard tested before the rule that matches every
      // element: elements outside its namespace do not decide for those
      // inside.
      {"unnamed elements and a namespace wildcard", "text",
       "<xsl:template match=\"q:*\" xmlns:q=\"urn:p\">q<xsl:apply-templates/></xsl:template>\n"
       "<xsl:template match=\"*\">w<xsl:apply-templates/></xsl:template>",
       "<r xmlns:p=\"urn:p\"><a/><p:e><b/><p:f/></p:e><e xmlns=\"urn:p\"/></r>", nullptr},
      // Rules whose body applies templates to the node's children (the
      // built-in rule for elements in the default mode and in another, a
      // rule of the stylesheet that applies them in the default mode
      // whatever mode it was invoked in) over children whose rules output
      // nothing or their string value, escaped or not; beside children with
      // a rule of other content, and an element of more children than are
      // done without frames. Each element comes again once its rules have
      // run.
      {"children applied by rules of one xsl:apply-templates", "xml",
       "<xsl:output encoding=\"UTF-8\"/>\n"
       "<xsl:template match=\"/\"><out><xsl:apply-templates/>|<xsl:apply-templates mode=\"m\"/>|"
       "<xsl:apply-templates select=\"r/a/text()|r/n\" mode=\"d\"/></out></xsl:template>\n"
       "<xsl:template match=\"text()\" mode=\"m\"/>\n"
       "<xsl:template match=\"u/text()\" mode=\"m\"><xsl:value-of select=\".\"/></xsl:template>\n"
       "<xsl:template match=\"text()\" mode=\"d\"/>\n"
       "<xsl:template match=\"n\" mode=\"d\"><xsl:apply-templates/></xsl:template>\n"
       "<xsl:template match=\"k\"/>\n"
       "<xsl:template match=\"raw/text()\"><xsl:value-of select=\".\" disable-output-escaping=\"yes\"/>"
       "</xsl:template>\n"
       "<xsl:template match=\"t/text()[. = 'y']\">[y]</xsl:template>",
       "<r><a>x&amp;</a><u>1<!--c-->2<?p q?></u><b><k/>z<k/></b><n>w</n><n>v<c>c</c></n>"
       "<raw>&lt;i/&gt;</raw><t>x</t><t>y</t><m>1<i/>2<i/>3<i/>4<i/>5</m><e/>"
       "<a>&lt;</a><u>3<!--c-->4</u><b><k/>y</b><n>s</n><raw>&lt;j/&gt;</raw><t>y</t><t>x</t></r>",
       nullptr},
      // Attribute steps with predicates from elements with and without
      // children.
      {"attribute predicates from childless elements", "text",
       "<xsl:template match=\"/\"><xsl:for-each select=\"//e/@a[. != '']|//e/@*[1]\">"
       "<xsl:value-of select=\".\"/></xsl:for-each>|<xsl:value-of select=\"count(//e/attribute::a[1])\"/>"
       "|<xsl:for-each select=\"//e\"><xsl:value-of select=\"count(@a[.=2])\"/></xsl:for-each></xsl:template>",
       "<r><e a=\"1\"><x/></e><e a=\"2\"/><e b=\"3\"/><e/><e a=\"4\">t</e></r>", nullptr},
      // position() compared with a number in patterns (rules, a key's
      // match, xsl:number's count), where each parent's children count
      // apart, and on reverse axes with literals written in several ways
      // (a fraction, leading zeros, brackets, a sign, many digits) and
      // comparisons that are not the first predicate's alone.
      {"position comparisons in patterns and on reverse axes", "text",
       "<xsl:key name=\"k\" match=\"b[position() &lt; 3]\" use=\"'k'\"/>\n"
       "<xsl:template match=\"/\"><xsl:apply-templates select=\"//b\"/>|"
       "<xsl:for-each select=\"key('k', 'k')\"><xsl:value-of select=\"@n\"/>,</xsl:for-each>|"
       "<xsl:for-each select=\"//b\"><xsl:number count=\"b[position() &lt; 3]\" level=\"any\"/>;</xsl:for-each>|"
       "<xsl:for-each select=\"//b[last()]\">"
       "<xsl:for-each select=\"preceding::*[position() &lt; 3.0] | preceding-sibling::*[position() &lt; 3 &lt; 5]\">"
       "<xsl:value-of select=\"@n\"/>,</xsl:for-each>/"
       "<xsl:for-each select=\"preceding::*[position() &lt;= 03]\"><xsl:value-of select=\"@n\"/>,</xsl:for-each>/"
       "<xsl:for-each select=\"ancestor-or-self::*[position() &lt; (3)]\"><xsl:value-of select=\"name()\"/>,"
       "</xsl:for-each>/"
       "<xsl:value-of select=\"concat(count(preceding::*[position() &lt;= 999999]),"
       " count(preceding::*[position() &lt;= 1000000]), count(preceding::*[position() &lt; 100000000000000000000]),"
       " count(preceding::*[position() &lt;= - -2]), count(preceding::*[position() &lt;= -2]),"
       " preceding::*[position() &lt;= 2.5][last()]/@n, preceding::*[ position ( ) &lt; 4 ][1]/@n,"
       " count(following::*[position() &lt;= 3 &gt; 0]))\"/>;</xsl:for-each></xsl:template>\n"
       "<xsl:template match=\"b[position() &lt; 3]\">P<xsl:value-of select=\"@n\"/></xsl:template>\n"
       "<xsl:template match=\"c/b[position() &lt;= 1]\" priority=\"3\">Q<xsl:value-of select=\"@n\"/></xsl:template>\n"
       "<xsl:template match=\"b\"/>",
       "<r><a><b n=\"1\"/><b n=\"2\"/><b n=\"3\"/><c><b n=\"4\"/><b n=\"5\"/><b n=\"6\"/></c></a>"
       "<a><b n=\"7\"/><x><b n=\"8\"/></x><b n=\"9\"/><b n=\"10\"/></a></r>",
       nullptr},
  };
  for (const RuleCase& c : cases) {
    std::string ours = Ours(c);
    EXPECT_EQ(ours, Xsltproc(c)) << c.name;
    if (c.expected) {
      EXPECT_EQ(ours, c.expected) << c.name;
    }
  }
}

// xsl:value-of and attribute value templates of "." or one child or
// attribute step (read from the first node the step selects): elements,
// attributes, text and comments, several nodes or none, nodes in a
// namespace the unprefixed name does not match, context nodes that have no
// attributes, positions past the first, and a global variable's context.
TEST_F(TemplateRulesProgramTest, StringsOfOneStepAgreeWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const RuleCase c = {
      "strings of one step", "xml",
      "<xsl:output encoding=\"UTF-8\"/>\n"
      "<xsl:variable name=\"g\" select=\"string(r/i)\"/>\n"
      "<xsl:template match=\"/\"><out g=\"{$g}\"><xsl:for-each select=\"r/i|r/i/@a|r/i/text()|r/i/comment()\">"
      "<e n=\"{position()}\" x=\"{x}\" a=\"{@a}\" s=\"{.}\" t=\"{text()}\" k=\"{*}\" d=\"{node()}\" "
      "b=\"[{@b}{x}|{y}]\"><xsl:value-of select=\"x\"/>|<xsl:value-of select=\"@a\"/>|"
      "<xsl:value-of select=\"node()\"/>|<xsl:value-of select=\"*\"/>|<xsl:value-of select=\"text()\"/>|"
      "<xsl:value-of select=\"y\"/></e></xsl:for-each></out></xsl:template>",
      "<r xmlns:p=\"urn:p\"><i a=\"1&amp;\" b=\"2\"><x>one<y>two</y><![CDATA[<3>]]></x><x>four</x>t1<y>five</y>t2</i>"
      "<i><!--c--><p:x>no</p:x><x xmlns=\"urn:d\">no</x>t3</i><i a=\"\"/>"
      "<i>t4<?pi p?><x/><x>six</x></i></r>",
      nullptr};
  const std::string ours = Ours(c);
  EXPECT_EQ(ours, Xsltproc(c));
}

// Rules that apply templates to children are done without frames only
// where no lookup below them evaluates a pattern: a pattern that reports
// an error, or loads a document, reports it as it does from the frames of
// the same rules with an instruction more (that does nothing).
TEST_F(TemplateRulesProgramTest, PatternsThatReportAgreeWithTheirFrames) {
  const char* const patterns[] = {"b[key('nokey', .)]", "b[document('missing.xml')]", "b[document(.)]"};
  for (const char* pattern : patterns) {
    std::string results[2];
    for (int framed = 0; framed < 2; ++framed) {
      const std::string more = framed ? "<xsl:if test=\"false()\"/>" : "";
      folder_.Write("s.xsl",
                    Stylesheet("text", "<xsl:template match=\"/\"><xsl:apply-templates select=\"r/a[1]\"/>|"
                                       "<xsl:apply-templates select=\"r\"/></xsl:template>\n"
                                       "<xsl:template match=\"*\"><xsl:apply-templates/>" + more + "</xsl:template>\n"
                                       "<xsl:template match=\"" + std::string(pattern) + "\">B</xsl:template>"));
      folder_.Write("d.xml", "<r><a>x</a><a>y<b>m1.xml</b></a><a>z</a></r>");
      KTProgramResult result =
          KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "s.xsl", "-xml", "d.xml", "-out", "r.out"}, folder_.Path());
      results[framed] = std::to_string(result.status) + "\n" + result.err + "\n" + folder_.Read("r.out");
    }
    EXPECT_EQ(results[0], results[1]) << pattern;
  }
}

// Function calls whose argument is "." read the context node-set as it
// stands: in templates, predicates, patterns, keys and sort keys, from
// elements, attributes, text, comments, namespace nodes and the root.
TEST_F(TemplateRulesProgramTest, CallsOfTheContextNodeAgreeWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const RuleCase c = {
      "calls of the context node", "text",
      "<xsl:key name=\"k\" match=\"*\" use=\"name(.)\"/>\n"
      "<xsl:template match=\"/\">[<xsl:value-of select=\"concat(name(.), count(.), string-length(string(.)))\"/>]"
      "<xsl:for-each select=\"//node()|//@*|r/namespace::*\"><xsl:sort select=\"name(.)\"/>"
      "<xsl:value-of select=\"concat(name(.), ':', local-name(.), ':', normalize-space(.), ':', count(.), ':',"
      " boolean(.), ':', string-length(.), ':', count(key('k', name(.))), ';')\"/></xsl:for-each>|"
      "<xsl:value-of select=\"count(//*[name(.) = 'a'][string(.)])\"/>|<xsl:value-of select=\"sum(//n[number(.) &gt; 1])\"/>|"
      "<xsl:apply-templates select=\"r/*\"/></xsl:template>\n"
      "<xsl:template match=\"*[name(.) = 'n']\">(n <xsl:value-of select=\"translate(., '1', 'x')\"/>)</xsl:template>\n"
      "<xsl:template match=\"*\">(<xsl:value-of select=\"name(.)\"/>)</xsl:template>",
      "<r xmlns:p=\"urn:p\" x=\"1\"><a> t  u </a><n>2</n><!--c--><p:b y=\"2\">v<?pi w?></p:b><n>1</n><a/></r>",
      nullptr};
  const std::string ours = Ours(c);
  EXPECT_EQ(ours, Xsltproc(c));
}

// Rules of one xsl:copy around one xsl:apply-templates copy an element and
// apply templates to its children, without frames where every child's rule
// needs none: the output and messages are those of the same rules with an
// instruction more (that does nothing) run in their frames: copies of
// elements with and without namespaces, in another mode, with an attribute
// set, of text, of the root, into a variable and into an attribute (where
// an element is not allowed). The copy of a whole document agrees with
// xsltproc.
TEST_F(TemplateRulesProgramTest, CopyRulesAgreeWithTheirFrames) {
  const std::string source =
      "<!--top--><r xmlns:p=\"urn:p\"><a x=\"1\">one<!--c--><?pi d?>two</a><p:b>three</p:b><c xmlns=\"urn:d\"><d>four</d>"
      "<e xmlns=\"\">five</e></c><s>six</s><u>seven</u><q><a>x</a><p:b>y</p:b><z/></q><a>&lt;&amp;</a>"
      "<p:b xmlns:o=\"urn:o\">8</p:b><c xmlns=\"urn:d\"><d>9</d></c><u>ten</u></r>";
  auto body = [](const std::string& more) {
    return "<xsl:output encoding=\"UTF-8\"/>\n"
           "<xsl:attribute-set name=\"s\"><xsl:attribute name=\"k\">v</xsl:attribute></xsl:attribute-set>\n"
           "<xsl:template match=\"/\"><out><xsl:apply-templates/>|<xsl:apply-templates select=\"r/q/*\" mode=\"m\"/>|"
           "<xsl:variable name=\"v\"><xsl:apply-templates select=\"r/a\"/></xsl:variable><xsl:copy-of select=\"$v\"/>"
           "<xsl:value-of select=\"string-length($v)\"/>|<e><xsl:attribute name=\"t\"><xsl:apply-templates "
           "select=\"r/a\"/></xsl:attribute></e>|<xsl:apply-templates select=\"/\" mode=\"n\"/>"
           "<xsl:apply-templates select=\"/\" mode=\"n\"/></out></xsl:template>\n"
           "<xsl:template match=\"/\" mode=\"n\"><xsl:copy><xsl:apply-templates/>" + more + "</xsl:copy></xsl:template>\n"
           "<xsl:template match=\"r\" mode=\"n\"/>\n"
           "<xsl:template match=\"comment()\" mode=\"n\"><xsl:value-of select=\".\"/></xsl:template>\n"
           "<xsl:template match=\"*\"><xsl:copy><xsl:apply-templates/>" + more + "</xsl:copy></xsl:template>\n"
           "<xsl:template match=\"*\" mode=\"m\"><xsl:copy><xsl:apply-templates/>" + more + "</xsl:copy></xsl:template>\n"
           "<xsl:template match=\"text()\" mode=\"m\"/>\n"
           "<xsl:template match=\"s\"><xsl:copy use-attribute-sets=\"s\"><xsl:apply-templates/></xsl:copy>"
           "</xsl:template>\n"
           "<xsl:template match=\"u/text()\"><xsl:copy><xsl:apply-templates/>" + more + "</xsl:copy></xsl:template>";
  };
  std::string results[2];
  for (int framed = 0; framed < 2; ++framed) {
    folder_.Write("s.xsl", Stylesheet("xml", body(framed ? "<xsl:if test=\"false()\"/>" : "")));
    folder_.Write("d.xml", source);
    KTProgramResult result =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "s.xsl", "-xml", "d.xml", "-out", "r.out"}, folder_.Path());
    EXPECT_EQ(result.status, 0) << result.err;
    results[framed] = result.err + "\n" + folder_.Read("r.out");
  }
  EXPECT_EQ(results[0], results[1]);
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const RuleCase c = {"copy of a document", "xml",
                      "<xsl:output encoding=\"UTF-8\"/>\n"
                      "<xsl:template match=\"*\"><xsl:copy><xsl:apply-templates/></xsl:copy></xsl:template>",
                      source, nullptr};
  const std::string ours = Ours(c);
  EXPECT_EQ(ours, Xsltproc(c));
}

// The identity transform (@*|node() with xsl:copy and apply-templates)
// reproduces a document with attributes, namespaces, comments and
// processing instructions; xsl:copy of the root copies nothing and of a
// node other than an element runs no content. Compared with xsltproc in
// canonical form (xmllint --c14n), since the two write their XML
// declarations differently.
TEST_F(TemplateRulesProgramTest, IdentityTransformAgreesWithXsltproc) {
  if (!HaveXsltproc() || std::system("xmllint --version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "xsltproc or xmllint is not installed";
  const std::string source =
      "<?xml version=\"1.0\"?>\n<!--before--><?first a b?>"
      "<r xmlns=\"urn:d\" xmlns:p=\"urn:p\" a=\"1\" p:b=\"2\"><!--c--><?pi x?><p:e q=\"3\">t &amp; u<f/></p:e>"
      "<g xmlns=\"\">v</g></r><!--after-->";
  const RuleCase cases[] = {
      {"identity", "xml",
       "<xsl:template match=\"@*|node()\"><xsl:copy><xsl:apply-templates select=\"@*|node()\"/></xsl:copy>"
       "</xsl:template>",
       source, nullptr},
      {"copy of the root and of leaves", "xml",
       "<xsl:template match=\"/\"><xsl:copy><top><xsl:apply-templates select=\"node()\"/></top></xsl:copy>"
       "</xsl:template>\n"
       "<xsl:template match=\"*\"><xsl:copy><xsl:apply-templates select=\"@*|node()\"/></xsl:copy></xsl:template>\n"
       "<xsl:template match=\"@*|text()|comment()|processing-instruction()\"><xsl:copy>ignored</xsl:copy>"
       "</xsl:template>",
       source, nullptr},
  };
  for (const RuleCase& c : cases) {
    std::string ours = Ours(c);
    folder_.Write("ours.xml", ours);
    KTProgramResult reference =
        KTRunProgram("/bin/sh", {"-c", "xsltproc -o theirs.xml s.xsl d.xml && xmllint --c14n theirs.xml"},
                     folder_.Path());
    KTProgramResult canonical = KTRunProgram("/bin/sh", {"-c", "xmllint --c14n ours.xml"}, folder_.Path());
    EXPECT_EQ(canonical.status, 0) << c.name << "\n" << ours;
    EXPECT_EQ(canonical.out, reference.out) << c.name << "\n" << ours;
    EXPECT_NE(reference.out.find("t &amp; u"), std::string::npos) << reference.out;
  }
}

}  // namespace

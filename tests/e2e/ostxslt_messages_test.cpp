// End-to-end tests of error reports: each message names what failed (the
// function, variable, template, attribute set, element or attribute, the
// -param option) and an expression error shows the expression with a caret
// under the character at which it failed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

std::string Stylesheet(const std::string& body) {
  return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"\n"
         "    xmlns:exsl=\"http://exslt.org/common\">\n"
         "<xsl:template match=\"/\">\n" +
         body +
         "\n</xsl:template>\n"
         "<xsl:template name=\"named\"/>\n"
         "<xsl:attribute-set name=\"known\"/>\n"
         "</xsl:stylesheet>\n";
}

TEST(MessagesTest, EachErrorNamesWhatFailed) {
  const struct {
    const char* what;
    std::string stylesheet;
    std::vector<std::string> options;
    // The message as it stands between the place and the stack dump.
    const char* message;
  } cases[] = {
      {"unknown function", Stylesheet("<xsl:value-of select=\"foo(1)\"/>"), {},
       "Error in XPath expression, Unknown XPath function: foo()\nfoo(1)\n^"},
      {"undefined variable", Stylesheet("<xsl:value-of select=\"concat('a', $nosuch)\"/>"), {},
       "Error in XPath expression, Invalid variable reference: $nosuch\nconcat('a', $nosuch)\n            ^"},
      {"undefined prefixed variable", Stylesheet("<xsl:value-of select=\"$nope:v\"/>"), {},
       "Error in XPath expression, Invalid prefix: $nope:v\n$nope:v\n^"},
      {"function with an unbound prefix", Stylesheet("<xsl:value-of select=\"nope:f(1)\"/>"), {},
       "Error in XPath expression, Invalid prefix: nope:f()\nnope:f(1)\n^"},
      {"extension function", Stylesheet("<xsl:copy-of select=\"exsl:node-set(1)\"/>"), {},
       "Error in XPath expression, Function not in namespace: exsl:node-set(): extension functions are not "
       "supported\nexsl:node-set(1)\n^"},
      {"wrong argument in a function call", Stylesheet("<xsl:value-of select=\"1 + count(2)\"/>"), {},
       "Error in XPath expression, Not a node set -> count\n1 + count(2)\n    ^"},
      {"unknown key", Stylesheet("<xsl:value-of select=\"count(key('nokey', 1))\"/>"), {},
       "Error in XPath expression, Invalid key reference -> key: no key named \"nokey\"\n"
       "count(key('nokey', 1))\n      ^"},
      {"unknown decimal format", Stylesheet("<xsl:value-of select=\"format-number(1, '#', 'nf')\"/>"), {},
       "Error in XPath expression, Unknown decimal format -> format-number: no decimal format named \"nf\"\n"
       "format-number(1, '#', 'nf')\n^"},
      {"syntax error inside", Stylesheet("<xsl:value-of select=\"count(1 +)\"/>"), {},
       "Invalid XPath expression\ncount(1 +)\n         ^"},
      {"syntax error at the end", Stylesheet("<xsl:if test=\"1 + (2\"/>"), {},
       "Invalid XPath expression\n1 + (2\n      ^"},
      {"syntax error in an attribute value template", Stylesheet("<a href=\"x{@a = }\"/>"), {},
       "Invalid XPath expression\n@a =\n    ^"},
      {"empty expression", Stylesheet("<xsl:value-of select=\"\"/>"), {},
       "Invalid XPath expression: the expression is empty"},
      {"variable in a pattern",
       "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
       "<xsl:template match=\"a[$v]\"/></xsl:stylesheet>",
       {},
       "Variables and parameters cannot be used in patterns\na[$v]\n  ^"},
      {"axis a pattern may not use",
       "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
       "<xsl:template match=\"//a/..\"/></xsl:stylesheet>",
       {},
       "Error in XPath expression, Only child and attribute axes allowed in patterns: parent::\n//a/..\n    ^"},
      {"pattern outside the pattern grammar",
       "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
       "<xsl:template match=\"a | (b)[1]\"/></xsl:stylesheet>",
       {},
       "Invalid XPath expression: not a pattern\na | (b)[1]\n    ^"},
      {"syntax error in a template that never runs",
       "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
       "<xsl:template match=\"/\"/><xsl:template match=\"never\"><o a=\"x{5 mod2}\"/></xsl:template>"
       "</xsl:stylesheet>",
       {},
       "Invalid XPath expression\n5 mod2\n  ^"},
      {"result tree fragment in a union",
       "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
       "<xsl:variable name=\"r\"><x/></xsl:variable>"
       "<xsl:template match=\"/\"><xsl:value-of select=\"count(/ | $r)\"/></xsl:template></xsl:stylesheet>",
       {},
       "Error in XPath expression, Cannot use result tree fragment: |\ncount(/ | $r)\n        ^"},
      {"missing named template", Stylesheet("<xsl:call-template name=\"x\"/>"), {},
       "Undefined template: no template named \"x\""},
      {"missing attribute set", Stylesheet("<a xsl:use-attribute-sets=\"known nosuch\"/>"), {},
       "Undefined attribute set: no attribute set named \"nosuch\""},
      {"misspelt instruction", Stylesheet("<xsl:vaule-of select=\"1\"/>"), {},
       "Unexpected child: xsl:vaule-of is not an XSLT 1.0 instruction"},
      {"instruction out of place", Stylesheet("<xsl:value-of select=\"1\"><xsl:text>a</xsl:text></xsl:value-of>"),
       {}, "Unexpected child: xsl:text is not allowed in xsl:value-of"},
      {"attribute not allowed", Stylesheet("<xsl:apply-templates foo=\"x\"/>"), {},
       "Unexpected attribute: foo is not allowed on xsl:apply-templates"},
      {"attribute value not allowed", Stylesheet("<xsl:number level=\"Single\"/>"), {},
       "Unexpected value: level=\"Single\""},
      {"missing attribute", Stylesheet("<xsl:copy-of/>"), {}, "select attribute expected: xsl:copy-of"},
      {"attribute value template without its closing brace", Stylesheet("<a href=\"x{1\"/>"), {},
       "Attribute value template syntax is incorrect\nx{1\n   ^"},
      {"lone closing brace in an attribute value template", Stylesheet("<a href=\"a}b\"/>"), {},
       "Attribute value template syntax is incorrect\na}b\n ^"},
      {"computed element name not a QName", Stylesheet("<xsl:element name=\"{'1x'}\"/>"), {},
       "Not a QName: \"1x\""},
      {"computed element name with an unbound prefix", Stylesheet("<xsl:element name=\"nope:e\"/>"), {},
       "Undefined namespace prefix: \"nope:e\""},
      {"variable bound twice",
       Stylesheet("<xsl:variable name=\"v\" select=\"1\"/><xsl:variable name=\"v\" select=\"2\"/>"), {},
       "A variable with this name already exists: name=\"v\""},
      {"for-each over a number", Stylesheet("<xsl:for-each select=\"1\"/>"), {},
       "Expression did not evaluate to a node set: select=\"1\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    KTScratchFolder folder;
    folder.Write("src.xml", "<doc a=\"1\"/>");
    folder.Write("sheet.xsl", c.stylesheet);
    std::vector<std::string> arguments{"-xml", "src.xml", "-xsl", "sheet.xsl", "-out", "out.xml"};
    KTProgramResult result = KTRunProgram(OSTXSLT_PROGRAM, arguments, folder.Path());
    EXPECT_EQ(result.status, 1);
    // The place stays where it was: the stylesheet, its line and character.
    const std::string head = "Error in " + folder.File("sheet.xsl") + " at line ";
    ASSERT_EQ(result.err.compare(0, head.size(), head), 0) << result.err;
    const size_t messageStart = result.err.find('\n') + 1;
    const size_t dump = result.err.find("\nXSLT stack dump\n");
    ASSERT_NE(dump, std::string::npos) << result.err;
    EXPECT_EQ(result.err.substr(messageStart, dump - messageStart), c.message);
  }
}

// A -param whose expression fails is reported for the option as given, not
// for a place in the stylesheet, and without a stack dump.
TEST(MessagesTest, ParameterErrorsNameTheOption) {
  const struct {
    const char* option;
    const char* report;
  } cases[] = {
      {"p=(", "-param p=(: Invalid XPath expression\n(\n ^\n"},
      {"p=1 +", "-param p=1 +: Invalid XPath expression\n1 +\n   ^\n"},
      {"p=$q", "-param p=$q: Error in XPath expression, Invalid variable reference: $q\n$q\n^\n"},
      {"p=frob()", "-param p=frob(): Error in XPath expression, Unknown XPath function: frob()\nfrob()\n^\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    KTScratchFolder folder;
    folder.Write("src.xml", "<doc/>");
    folder.Write("sheet.xsl", Stylesheet("<xsl:value-of select=\"1\"/>"));
    KTProgramResult result = KTRunProgram(
        OSTXSLT_PROGRAM, {"-xml", "src.xml", "-xsl", "sheet.xsl", "-out", "out.xml", "-param", c.option},
        folder.Path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, c.report);
    EXPECT_FALSE(folder.Exists("out.xml"));
  }
}

// A predicate whose failure names what the node gave it (a key name, a
// format pattern, a decimal-format name, a QName) fails at the same node,
// and so with the same message, whether "//" selects the elements or the
// same steps are written out: the first element of the document passes, a
// later one in another branch and one inside the first fail with different
// names.
TEST(MessagesTest, PredicateErrorsNameTheSameNodeAfterDoubleSlash) {
  const char* const source =
      "<r><a k='k1' p='0' f='f1' q='a'><b k='nokey1' p='#.#,#bad1' f='nof1' q='1bad'/></a>"
      "<c k='nokey2' p='#.#,#bad2' f='nof2' q='2bad'/></r>";
  const char* const predicates[] = {
      "key(@k, 'x') = 'y'",
      "format-number(1, @p) = '1'",
      "format-number(1, '#', @f) = '1'",
      "function-available(@q) = true()",
      "element-available(@q) = false()",
      "system-property(@q) = 'x'",
  };
  // The message's second line: the error, without the expression and
  // caret, which differ with the way the path is written.
  auto errorOf = [&](const std::string& path) {
    KTScratchFolder folder;
    folder.Write("src.xml", source);
    folder.Write("sheet.xsl",
                 "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                 "<xsl:key name=\"k1\" match=\"*\" use=\"@k\"/><xsl:decimal-format name=\"f1\"/>"
                 "<xsl:template match=\"/\"><xsl:for-each select=\"" +
                     path + "\"><xsl:value-of select=\"name()\"/></xsl:for-each></xsl:template></xsl:stylesheet>");
    KTProgramResult result =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "src.xml", "-xsl", "sheet.xsl", "-out", "out.txt"}, folder.Path());
    EXPECT_EQ(result.status, 1) << path;
    const size_t start = result.err.find('\n') + 1;
    return result.err.substr(start, result.err.find('\n', start) - start);
  };
  for (const char* predicate : predicates) {
    SCOPED_TRACE(predicate);
    const std::string written = errorOf(std::string("/r/descendant-or-self::node()/*[") + predicate + "]");
    EXPECT_NE(written.find("2"), std::string::npos) << written;
    EXPECT_EQ(errorOf(std::string("/r//*[") + predicate + "]"), written);
  }
}

}  // namespace

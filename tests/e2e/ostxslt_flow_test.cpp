// End-to-end tests of variables, parameters, named templates and sorting
// run by the program: -param values reach top-level xsl:param, top-level
// declarations refer forwards, for-each sorts, a cycle of top-level
// variables is reported as a stylesheet error, and xsl:message writes to
// standard error as it runs. Outputs and message texts are compared with
// xsltproc's for the same files and parameters.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

const char* const kStylesheet =
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
    "<xsl:output method=\"text\"/>\n"
    "<xsl:variable name=\"total\" select=\"sum(//v) * $factor\"/>\n"
    "<xsl:param name=\"factor\" select=\"1\"/>\n"
    "<xsl:param name=\"label\" select=\"'sum'\"/>\n"
    "<xsl:template match=\"/\">\n"
    "  <xsl:for-each select=\"r/v\"><xsl:sort data-type=\"number\" order=\"descending\"/>\n"
    "    <xsl:value-of select=\"concat(., ':', position(), '/', last())\"/><xsl:text> </xsl:text>\n"
    "  </xsl:for-each>\n"
    "  <xsl:call-template name=\"show\"><xsl:with-param name=\"what\" select=\"$label\"/></xsl:call-template>\n"
    "</xsl:template>\n"
    "<xsl:template name=\"show\"><xsl:param name=\"what\"/>"
    "<xsl:value-of select=\"concat($what, '=', $total)\"/></xsl:template>\n"
    "</xsl:stylesheet>\n";

const char* const kSource = "<r><v>2</v><v>10</v><v>1</v></r>\n";

bool HaveXsltproc() { return std::system("xsltproc --version >/dev/null 2>&1") == 0; }

class FlowProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.Write("s.xsl", kStylesheet);
    folder_.Write("d.xml", kSource);
  }
  // Runs the stylesheet `name` on `input` with both processors, each with
  // its own form of the same extra arguments; both succeed and write the
  // same result.
  void CompareWithXsltproc(const char* name, const char* input, const std::vector<std::string>& ourExtra = {},
                           const std::vector<std::string>& theirExtra = {}) {
    std::vector<std::string> arguments = {"-xsl", name, "-xml", input, "-out", "r.out"};
    arguments.insert(arguments.end(), ourExtra.begin(), ourExtra.end());
    KTProgramResult ours = KTRunProgram(OSTXSLT_PROGRAM, arguments, folder_.Path());
    std::vector<std::string> peerArguments = theirExtra;
    peerArguments.insert(peerArguments.end(), {"-o", "peer.out", name, input});
    KTProgramResult theirs = KTRunProgram("/usr/bin/xsltproc", peerArguments, folder_.Path());
    ASSERT_EQ(ours.status, 0) << ours.err;
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(folder_.Read("r.out"), folder_.Read("peer.out"));
  }
  // Writes the stylesheet `text` as `name` and compares its run on `input`.
  void ExpectSameResultAsXsltproc(const char* name, const std::string& text, const char* input = "d.xml") {
    folder_.Write(name, text);
    CompareWithXsltproc(name, input);
  }
  // Runs the stylesheet `text` (written as e.xsl) on d.xml: the run fails
  // with a message holding `message`, and the stack dump that ends the
  // report lists `frames` (innermost first) above xsl:stylesheet.
  void ExpectFailureWithStack(const std::string& text, const char* message, const std::string& frames) {
    folder_.Write("e.xsl", text);
    KTProgramResult ours = KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "e.xsl", "-xml", "d.xml", "-out", "r.out"},
                                        folder_.Path());
    EXPECT_EQ(ours.status, 1);
    EXPECT_NE(ours.err.find(message), std::string::npos) << ours.err;
    const size_t dump = ours.err.find("\nXSLT stack dump\n\n");
    ASSERT_NE(dump, std::string::npos) << ours.err;
    EXPECT_EQ(ours.err.substr(dump), "\nXSLT stack dump\n\n" + frames + "xsl:stylesheet\n");
  }
  KTScratchFolder folder_;
};

TEST_F(FlowProgramTest, ParametersAndSortingAgreeWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  struct Case {
    std::vector<std::string> ours;
    std::vector<std::string> theirs;
  } cases[] = {
      {{}, {}},
      {{"-param", "factor=3"}, {"--param", "factor", "3"}},
      {{"-param", "factor=2", "-param", "label='twice'"}, {"--param", "factor", "2", "--param", "label", "'twice'"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ours.empty() ? "" : c.ours.back());
    CompareWithXsltproc("s.xsl", "d.xml", c.ours, c.theirs);
  }
}

// -param values go to top-level xsl:param alone: a template's own
// xsl:param of the same name, in the template for the root, one it calls or
// one it applies, takes its default.
TEST_F(FlowProgramTest, CommandLineParametersReachOnlyTopLevelParameters) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  folder_.Write("t.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:output method=\"text\"/>\n"
                "<xsl:param name=\"g\" select=\"'g0'\"/>\n"
                "<xsl:template match=\"/\"><xsl:param name=\"x\" select=\"'x1'\"/><xsl:param name=\"y\"/>"
                "<xsl:value-of select=\"concat($g, ' ', $x, ' [', $y, '] ')\"/>"
                "<xsl:call-template name=\"n\"/><xsl:apply-templates select=\"r/v[1]\"/></xsl:template>\n"
                "<xsl:template name=\"n\"><xsl:param name=\"x\" select=\"'x2'\"/>"
                "<xsl:value-of select=\"concat($x, ' ')\"/></xsl:template>\n"
                "<xsl:template match=\"v\"><xsl:param name=\"x\" select=\"'x3'\"/><xsl:param name=\"g\" select=\"'g3'\"/>"
                "<xsl:value-of select=\"concat($x, ' ', $g)\"/></xsl:template>\n"
                "</xsl:stylesheet>\n");
  struct Case {
    std::vector<std::string> ours;
    std::vector<std::string> theirs;
  } cases[] = {
      {{}, {}},
      {{"-param", "x='cx'"}, {"--param", "x", "'cx'"}},
      {{"-param", "x='cx'", "-param", "y='cy'", "-param", "g='cg'"},
       {"--param", "x", "'cx'", "--param", "y", "'cy'", "--param", "g", "'cg'"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ours.empty() ? "" : c.ours.back());
    CompareWithXsltproc("t.xsl", "d.xml", c.ours, c.theirs);
  }
}

TEST_F(FlowProgramTest, VariablesThatReferToEachOtherAreReportedAtTheFirst) {
  folder_.Write("cycle.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:variable name=\"a\" select=\"$b\"/>\n"
                "<xsl:variable name=\"b\" select=\"$a\"/>\n"
                "<xsl:template match=\"/\"><xsl:value-of select=\"$a\"/></xsl:template>\n"
                "</xsl:stylesheet>\n");
  KTProgramResult result =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "cycle.xsl", "-xml", "d.xml", "-out", "r.out"}, folder_.Path());
  EXPECT_NE(result.err.find("at line 2 character 1\nRecursive variable definition: $a\n"), std::string::npos)
      << result.err;
  EXPECT_NE(result.status, 0);
}

// Each declaration refers forwards: v0 needs v1, which needs v2, and so on,
// and the w block is needed by declarations before it. Each reference is
// recovered through the stylesheet's index of top-level names, made once.
TEST_F(FlowProgramTest, LongChainsOfForwardReferencesAgreeWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const int count = 400;
  std::string text =
      "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
      "<xsl:output method=\"text\"/>\n";
  for (int i = 0; i < count; ++i) {
    text += "<xsl:variable name=\"v" + std::to_string(i) + "\" select=\"$v" + std::to_string(i + 1) + " + $w" +
            std::to_string(i) + "\"/>\n";
  }
  text += "<xsl:variable name=\"v" + std::to_string(count) + "\" select=\"0\"/>\n";
  for (int i = 0; i < count; ++i)
    text += "<xsl:param name=\"w" + std::to_string(i) + "\" select=\"" + std::to_string(i % 7) + "\"/>\n";
  text += "<xsl:template match=\"/\"><xsl:value-of select=\"concat($v0, ' ', $v200, ' ', $w399)\"/>"
          "</xsl:template>\n</xsl:stylesheet>\n";
  folder_.Write("chain.xsl", text);
  KTProgramResult ours = KTRunProgram(
      OSTXSLT_PROGRAM, {"-xsl", "chain.xsl", "-xml", "d.xml", "-out", "r.out", "-xslstack", "100000"}, folder_.Path());
  EXPECT_EQ(ours.status, 0) << ours.err;
  KTProgramResult theirs = KTRunProgram("/usr/bin/xsltproc", {"-o", "p.out", "chain.xsl", "d.xml"}, folder_.Path());
  EXPECT_EQ(theirs.status, 0) << theirs.err;
  EXPECT_EQ(folder_.Read("r.out"), folder_.Read("p.out"));
}

// ---- xsl:message ----

struct MessageCase {
  const char* name;
  const char* body;  // the root template's content
  bool terminates;
};

// Messages from several templates and loops, with markup, line breaks and
// non-ASCII text in their content, and runs that a terminating message ends
// (no later message may show).
const MessageCase kMessageCases[] = {
    {"plain messages keep their order across templates",
     "<xsl:message>start</xsl:message><out><xsl:apply-templates select=\"r/v\"/></out>"
     "<xsl:message>end of <xsl:value-of select=\"count(r/v)\"/> values</xsl:message>",
     false},
    {"content with elements, line breaks and non-ASCII text",
     "<xsl:message>one <b>bold</b> caf\xC3\xA9</xsl:message><xsl:message>two\nlines\n</xsl:message><out/>", false},
    {"a terminating message after plain ones",
     "<xsl:message>before</xsl:message><out><xsl:apply-templates select=\"r/v\"/></out>"
     "<xsl:message terminate=\"yes\">stop &amp; go</xsl:message><xsl:message>never</xsl:message>",
     true},
    {"a terminating message inside a template ends the loop that called it",
     "<out><xsl:for-each select=\"r/v\"><xsl:message>at <xsl:value-of select=\".\"/></xsl:message>"
     "<xsl:if test=\". = 10\"><xsl:message terminate=\"yes\">ten</xsl:message></xsl:if></xsl:for-each></out>",
     true},
};

TEST_F(FlowProgramTest, MessagesGoToStandardErrorInOrderAsXsltprocShowsThem) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  for (const MessageCase& c : kMessageCases) {
    SCOPED_TRACE(c.name);
    KTScratchFolder folder;
    folder.Write("d.xml", kSource);
    folder.Write("m.xsl",
                 std::string("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                             "<xsl:template match=\"/\">") +
                     c.body +
                     "</xsl:template>\n<xsl:template match=\"v\"><xsl:message>v=<xsl:value-of select=\".\"/>"
                     "</xsl:message><xsl:copy-of select=\".\"/></xsl:template>\n</xsl:stylesheet>\n");
    KTProgramResult ours = KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "m.xsl", "-xml", "d.xml", "-out", "r.out"}, folder.Path());
    KTProgramResult theirs = KTRunProgram("/usr/bin/xsltproc", {"m.xsl", "d.xml"}, folder.Path());
    // xsltproc ends a terminated run with a line of its own.
    std::string theirMessages = theirs.err;
    const std::string noResult = "no result for d.xml\n";
    if (c.terminates && theirMessages.size() >= noResult.size() &&
        theirMessages.compare(theirMessages.size() - noResult.size(), noResult.size(), noResult) == 0)
      theirMessages.resize(theirMessages.size() - noResult.size());
    ASSERT_FALSE(theirMessages.empty());
    if (!c.terminates) {
      EXPECT_EQ(ours.err, theirMessages);
      EXPECT_EQ(ours.out, "\nr.out\n");
      EXPECT_EQ(ours.status, 0);
      EXPECT_TRUE(folder.Exists("r.out"));
      continue;
    }
    // The messages, then the report of a stylesheet error where the
    // terminating xsl:message stands; nothing on standard output, no file.
    ASSERT_EQ(ours.err.compare(0, theirMessages.size(), theirMessages), 0) << ours.err;
    std::string report = ours.err.substr(theirMessages.size());
    EXPECT_EQ(report.rfind("Error in " + folder.File("m.xsl") + " at line 2 character ", 0), 0u) << report;
    EXPECT_NE(report.find("\nThe transformation was terminated by xsl:message\nXSLT stack dump\n"), std::string::npos)
        << report;
    EXPECT_EQ(ours.out, "");
    EXPECT_EQ(ours.status, 1);
    EXPECT_FALSE(folder.Exists("r.out"));
  }
}

// ---- the template nesting limit ----

// Elements nested `depth` deep, the outermost and the innermost holding a
// leaf: at the inner leaf the root rule, one rule per element and the leaf
// rule nest depth + 2 templates. The outer leaf runs the leaf rule first, so
// the inner one meets a rule that has run before; an empty leaf template
// must stop or finish the run at the same depth, with the same message, as
// one that writes something, and so must a text in place of the leaf (the
// built-in text rule, its element's children then applied without frames).
// Limits are taken just below, at and above the nesting, for a limit given
// with -xslstack and for the default one.
TEST_F(FlowProgramTest, EmptyAndNonEmptyTemplatesStopAtTheSameNestingDepth) {
  struct Limit {
    std::vector<std::string> flag;
    int limit;
  };
  const Limit limits[] = {{{"-xslstack", "150"}, 150}, {{}, 1000}};
  for (const Limit& limit : limits) {
    for (int depth = limit.limit - 4; depth <= limit.limit; ++depth) {
      const bool fits = depth + 2 <= limit.limit;
      std::string errors[3];
      for (int variant = 0; variant < 3; ++variant) {
        // 0: a leaf with text, 1: an empty leaf, 2: a text for each leaf.
        const int empty = variant == 1;
        const std::string leaf = variant == 2 ? "x" : "<leaf/>";
        std::string source = "<e>" + leaf;
        for (int i = 1; i < depth; ++i) source += "<e>";
        source += leaf;
        for (int i = 0; i < depth; ++i) source += "</e>";
        folder_.Write("deep.xml", source);
        folder_.Write("deep.xsl",
                      std::string("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                                  "<xsl:output method=\"text\"/>\n"
                                  "<xsl:template match=\"/\"><xsl:apply-templates/></xsl:template>\n"
                                  "<xsl:template match=\"e\"><xsl:apply-templates/></xsl:template>\n"
                                  "<xsl:template match=\"leaf\">") +
                          (empty ? "" : "x") + "</xsl:template>\n</xsl:stylesheet>\n");
        std::vector<std::string> arguments{"-xsl", "deep.xsl", "-xml", "deep.xml", "-out", "r.out"};
        arguments.insert(arguments.end(), limit.flag.begin(), limit.flag.end());
        KTProgramResult ours = KTRunProgram(OSTXSLT_PROGRAM, arguments, folder_.Path());
        SCOPED_TRACE("limit " + std::to_string(limit.limit) + ", depth " + std::to_string(depth) + ", variant " +
                     std::to_string(variant));
        EXPECT_EQ(ours.status, fits ? 0 : 1) << ours.err;
        if (fits) {
          EXPECT_EQ(folder_.Read("r.out"), empty ? "" : "xx");
        }
        errors[variant] = ours.err;
      }
      EXPECT_EQ(errors[0], errors[1]) << "depth " << depth;
      // The report names the rule last called: the built-in one for text.
      std::string textError = errors[0];
      if (size_t at = textError.find("\"leaf\""); at != std::string::npos) textError.replace(at, 6, "\"text()|@*\"");
      EXPECT_EQ(textError, errors[2]) << "depth " << depth;
    }
  }
}

// xsl:with-param values of a named template call: evaluated in the context
// the call was made in (position, size, current node, the variables and
// parameters in scope), bound fresh for each call, mixed with parameters
// whose value is their content. The outputs are xsltproc's.
TEST_F(FlowProgramTest, NamedTemplateParametersAgreeWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const char* const bodies[] = {
      // position and size of a for-each, the current node, a local variable
      "<xsl:for-each select=\"r/v\"><xsl:variable name=\"x\" select=\"concat('x', .)\"/>"
      "<xsl:call-template name=\"t\"><xsl:with-param name=\"a\" select=\"position()\"/>"
      "<xsl:with-param name=\"b\" select=\"concat(last(), $x, current())\"/></xsl:call-template>"
      "</xsl:for-each>",
      // a parameter passed on under its own name, and one given as content
      "<xsl:call-template name=\"u\"><xsl:with-param name=\"a\" select=\"count(//v)\"/></xsl:call-template>",
      // no parameters, then only the second one
      "<xsl:call-template name=\"t\"/><xsl:call-template name=\"t\"><xsl:with-param name=\"b\" select=\"'B'\"/>"
      "</xsl:call-template>",
      // a node-set passed
      "<xsl:call-template name=\"t\"><xsl:with-param name=\"a\" select=\"r/v[. &gt; 1]\"/>"
      "<xsl:with-param name=\"b\" select=\"sum(r/v)\"/></xsl:call-template>",
      // recursion that counts down through its parameter
      "<xsl:call-template name=\"down\"><xsl:with-param name=\"n\" select=\"5\"/></xsl:call-template>",
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    ExpectSameResultAsXsltproc(
        "p.xsl", std::string("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                             "<xsl:output method=\"text\"/>\n<xsl:template match=\"/\">") +
                     body +
                     "</xsl:template>\n"
                     "<xsl:template name=\"t\"><xsl:param name=\"a\" select=\"'A'\"/><xsl:param name=\"b\"/>"
                     "[<xsl:value-of select=\"$a\"/>|<xsl:value-of select=\"$b\"/>]</xsl:template>\n"
                     "<xsl:template name=\"u\"><xsl:param name=\"a\"/><xsl:call-template name=\"t\">"
                     "<xsl:with-param name=\"a\" select=\"$a * 2\"/><xsl:with-param name=\"b\">c<xsl:value-of "
                     "select=\"$a\"/></xsl:with-param></xsl:call-template></xsl:template>\n"
                     "<xsl:template name=\"down\"><xsl:param name=\"n\"/><xsl:value-of select=\"$n\"/>"
                     "<xsl:if test=\"$n &gt; 0\"><xsl:call-template name=\"down\"><xsl:with-param name=\"n\" "
                     "select=\"$n - 1\"/></xsl:call-template></xsl:if></xsl:template>\n"
                     "</xsl:stylesheet>\n");
  }
}

// An error while a named template's parameter is evaluated or bound is
// reported with the xsl:with-param on top of the stack, whether its value
// is a select or content.
TEST_F(FlowProgramTest, ParameterErrorsShowTheWithParamFrame) {
  const struct {
    const char* params;
    const char* message;
  } cases[] = {
      {"<xsl:with-param name=\"a\" select=\"1\"/><xsl:with-param name=\"b\" select=\"count(string(.))\"/>",
       "count"},
      {"<xsl:with-param name=\"a\" select=\"1\"/><xsl:with-param name=\"a\" select=\"2\"/>", "already exists"},
      {"<xsl:with-param name=\"a\">x</xsl:with-param><xsl:with-param name=\"a\" select=\"2\"/>", "already exists"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    ExpectFailureWithStack(
        std::string("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                    "<xsl:template match=\"/\"><out><xsl:for-each select=\"r\"><xsl:call-template "
                    "name=\"t\">") +
            c.params +
            "</xsl:call-template></xsl:for-each></out></xsl:template>\n"
            "<xsl:template name=\"t\"><xsl:param name=\"a\"/><xsl:param name=\"b\"/></xsl:template>\n"
            "</xsl:stylesheet>\n",
        c.message, "xsl:with-param\nxsl:call-template\nxsl:for-each\nout\nxsl:template\n");
  }
}

// A named template that calls itself with a parameter stops at the same
// depth, with the same report, whether the parameter is a select (bound
// without a frame of its own where the depth check allows) or content
// (always run in its frame), for a limit given with -xslstack and for the
// default one.
TEST_F(FlowProgramTest, RecursionThroughParametersStopsAtTheSameDepthEitherWay) {
  const struct {
    std::vector<std::string> flag;
    int limit;
  } limits[] = {{{"-xslstack", "150"}, 150}, {{}, 1000}};
  for (const auto& limit : limits) {
    for (int depth = limit.limit - 3; depth <= limit.limit + 1; ++depth) {
      std::string results[2];
      for (int content = 0; content < 2; ++content) {
        const std::string param = content ? "<xsl:with-param name=\"n\"><xsl:value-of select=\"$n - 1\"/>"
                                            "</xsl:with-param>"
                                          : "<xsl:with-param name=\"n\" select=\"$n - 1\"/>";
        folder_.Write("r.xsl",
                      "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                      "<xsl:output method=\"text\"/>\n"
                      "<xsl:template match=\"/\"><xsl:call-template name=\"down\"><xsl:with-param name=\"n\" "
                      "select=\"" + std::to_string(depth) + "\"/></xsl:call-template></xsl:template>\n"
                      "<xsl:template name=\"down\"><xsl:param name=\"n\"/><xsl:if test=\"$n &gt; 0\">"
                      "<xsl:call-template name=\"down\">" + param + "</xsl:call-template></xsl:if>"
                      "<xsl:value-of select=\"$n mod 10\"/></xsl:template>\n</xsl:stylesheet>\n");
        std::vector<std::string> arguments{"-xsl", "r.xsl", "-xml", "d.xml", "-out", "r.out"};
        arguments.insert(arguments.end(), limit.flag.begin(), limit.flag.end());
        KTProgramResult ours = KTRunProgram(OSTXSLT_PROGRAM, arguments, folder_.Path());
        results[content] = std::to_string(ours.status) + "\n" + ours.err + "\n" +
                           (ours.status == 0 ? folder_.Read("r.out") : std::string());
      }
      SCOPED_TRACE("limit " + std::to_string(limit.limit) + ", depth " + std::to_string(depth));
      EXPECT_EQ(results[0], results[1]);
    }
  }
}

// Local xsl:variable and xsl:param values: a select evaluated where the
// declaration stands (a for-each's position, the current node), a node-set
// kept in document order, the empty string without select or content, a
// passed value winning over the default, declarations in xsl:if,
// xsl:when and xsl:otherwise bodies, and content bound as a fragment. The
// outputs are xsltproc's.
TEST_F(FlowProgramTest, LocalDeclarationsAgreeWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const char* const bodies[] = {
      "<xsl:for-each select=\"r/v\"><xsl:variable name=\"p\" select=\"position()\"/>"
      "<xsl:variable name=\"s\" select=\"concat(., '/', last())\"/><xsl:value-of select=\"concat($p, ':', $s, ' ')\"/>"
      "</xsl:for-each>",
      "<xsl:variable name=\"back\" select=\"r/v[last()]/preceding-sibling::v\"/><xsl:value-of select=\"$back\"/>"
      "<xsl:variable name=\"none\"/>[<xsl:value-of select=\"$none\"/>]<xsl:value-of select=\"count($back)\"/>",
      "<xsl:call-template name=\"t\"/><xsl:call-template name=\"t\"><xsl:with-param name=\"b\" select=\"'B'\"/>"
      "</xsl:call-template><xsl:call-template name=\"t\"><xsl:with-param name=\"a\">A<xsl:value-of select=\"r/v\"/>"
      "</xsl:with-param></xsl:call-template>",
      "<xsl:for-each select=\"r/v\"><xsl:choose><xsl:when test=\". &gt; 1\"><xsl:variable name=\"w\" "
      "select=\". * 2\"/><xsl:value-of select=\"$w\"/></xsl:when><xsl:otherwise><xsl:variable name=\"w\" "
      "select=\"'small'\"/><xsl:value-of select=\"$w\"/></xsl:otherwise></xsl:choose><xsl:if test=\"true()\">"
      "<xsl:variable name=\"i\" select=\"name()\"/><xsl:value-of select=\"$i\"/></xsl:if></xsl:for-each>",
      "<xsl:variable name=\"f\"><x><xsl:value-of select=\"sum(r/v)\"/></x></xsl:variable>"
      "<xsl:variable name=\"g\" select=\"concat($f, '!')\"/><xsl:value-of select=\"$g\"/>",
      // A name declared inside xsl:if or a chosen branch, directly or in a
      // literal element, is out of scope after it and may be declared again.
      "<xsl:variable name=\"x\" select=\"'top'\"/><xsl:if test=\"true()\"><b><xsl:variable name=\"y\" select=\"1\"/>"
      "<xsl:value-of select=\"$y\"/></b><xsl:value-of select=\"$x\"/></xsl:if><xsl:variable name=\"y\" select=\"2\"/>"
      "<xsl:value-of select=\"$y\"/><xsl:if test=\"r\"><xsl:variable name=\"q\" select=\"3\"/>"
      "<xsl:value-of select=\"$q\"/></xsl:if><xsl:variable name=\"q\" select=\"4\"/><xsl:value-of select=\"$q\"/>",
      "<xsl:choose><xsl:when test=\"r/v[2]\"><xsl:if test=\"r\"><xsl:choose><xsl:when test=\"false()\">no</xsl:when>"
      "<xsl:otherwise>deep<xsl:if test=\"1\"><i><xsl:variable name=\"z\" select=\"count(r/v)\"/>"
      "<xsl:value-of select=\"$z\"/></i></xsl:if></xsl:otherwise></xsl:choose>|</xsl:if>after</xsl:when>"
      "</xsl:choose><xsl:variable name=\"z\" select=\"'z'\"/><xsl:value-of select=\"$z\"/>"
      "<xsl:choose><xsl:when test=\"false()\"/></xsl:choose><xsl:choose><xsl:when test=\"r/w\">w</xsl:when>"
      "<xsl:otherwise><xsl:variable name=\"o\" select=\"'o'\"/><xsl:value-of select=\"$o\"/></xsl:otherwise>"
      "</xsl:choose><xsl:variable name=\"o\" select=\"'o2'\"/><xsl:value-of select=\"$o\"/>",
      // Sibling and nested contents declaring the same names, by select and
      // by content, each seeing its own.
      "<xsl:variable name=\"k\" select=\"'k0'\"/><xsl:if test=\"r\"><xsl:variable name=\"m\">m1<xsl:value-of select=\"$k\"/>"
      "</xsl:variable><xsl:if test=\"r/v\"><xsl:variable name=\"n\" select=\"concat($m, '+')\"/>"
      "<xsl:value-of select=\"$n\"/></xsl:if><xsl:if test=\"r/v\"><xsl:variable name=\"n\" select=\"'n2'\"/>"
      "<xsl:value-of select=\"$n\"/></xsl:if><xsl:value-of select=\"$m\"/></xsl:if><xsl:if test=\"r\">"
      "<xsl:variable name=\"m\" select=\"'m2'\"/><xsl:value-of select=\"$m\"/></xsl:if><xsl:choose>"
      "<xsl:when test=\"r/v[3]\"><xsl:variable name=\"m\"><xsl:value-of select=\"count(r/v)\"/></xsl:variable>"
      "<xsl:value-of select=\"$m\"/></xsl:when></xsl:choose><xsl:variable name=\"m\" select=\"'m3'\"/>"
      "<xsl:value-of select=\"concat($m, $k)\"/>",
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    ExpectSameResultAsXsltproc(
        "l.xsl", std::string("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                             "<xsl:output method=\"text\"/>\n<xsl:template match=\"/\">") +
                     body +
                     "</xsl:template>\n"
                     "<xsl:template name=\"t\"><xsl:param name=\"a\" select=\"count(r/v)\"/><xsl:param name=\"b\"/>"
                     "<xsl:param name=\"c\" select=\"$a\"/><xsl:variable name=\"d\" select=\"concat($c, $b)\"/>"
                     "[<xsl:value-of select=\"$a\"/>|<xsl:value-of select=\"$b\"/>|<xsl:value-of select=\"$d\"/>]"
                     "</xsl:template>\n</xsl:stylesheet>\n");
  }
}

// Operators whose operands are operators again, bare or in parentheses,
// over variables of every kind (number, string, boolean, node-set, empty
// node-set, fragment), paths, literals and the child-literal shape, as a
// recursive template's arithmetic and tests write them. The outputs are
// xsltproc's.
TEST_F(FlowProgramTest, NestedOperatorsAgreeWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const char* const expressions[] = {
      "($n = 3) * ($n - 1) + ($s = 2) * 10 + ($n = 1) * 100",
      "(($n + 1) * (($s - 1) + 2)) div (2 - ($b))",
      "($v = 10) + ($v &gt; 5) * 2 + ($e = $e) * 4 + ($e != 1) * 8",
      "(($f + 1) = 2) and ((1 &lt; $v) or ($n div 0 &gt; 1))",
      "($v &lt; 2) = ($v &gt; 9)",
      "-(($n) * 2) mod ($n - 1) + (7 mod ($n + 1)) * -1",
      "((r/v[1] + r/v[2]) = 12) * (count(r/v) - ($n)) - ((r/v[3]) * 2)",
      "(1 div 0) &gt; ((0 - 1) div 0) or ((0 div 0) = (0 div 0))",
      "(($s = '2') != ($f = 1)) or false()",
      "(r = '2101') + (. = '2101') * 2 + ((r/v = '10') and ('1' = r/v)) * 4",
      "($v) + ((($v))) * 2 - (($f) - ($s)) * (($b) + ($b = ($n &gt; 2)))",
      "(($n &gt; 2) and ($s &lt; 1)) or (($b or $e) and not($e))",
      "(($v = $f) = ($f = $v)) * ((($n) * ($n)) - ($n * $n) + $n)",
      // as arguments of function calls
      "substring('abcdef', ($n - 1), $n * 1)",
      "concat($n - 1, ($s = 2), (1 &lt; $v), string(($n * 2) div 4), -$n mod 2)",
      "concat(string-length(concat(($b and $e), ' ')), number(($n + $f) * 2), boolean(($v = 10) and not($e = 1)))",
      "concat(r = '2101', (r = '2101'), . = '2101', count(r/v[. &gt; $n - 2]), sum(r/v) - $n)",
  };
  std::string body = "<xsl:variable name=\"n\" select=\"3\"/><xsl:variable name=\"s\" select=\"'2'\"/>"
                     "<xsl:variable name=\"b\" select=\"true()\"/><xsl:variable name=\"v\" select=\"r/v\"/>"
                     "<xsl:variable name=\"e\" select=\"r/none\"/><xsl:variable name=\"f\">1</xsl:variable>";
  for (const char* expression : expressions)
    body += std::string("<xsl:value-of select=\"") + expression + "\"/><xsl:text>|</xsl:text>";
  ExpectSameResultAsXsltproc("o.xsl",
                             "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                             "<xsl:output method=\"text\"/>\n<xsl:template match=\"/\">" +
                                 body + "</xsl:template>\n</xsl:stylesheet>\n");
}

// position(), last() and current() in xsl:if and xsl:when tests, in a
// for-each body's variables and in an apply-templates parameter see the
// context they stand in: the sorted list and the item at hand in a sorted or
// nested for-each, the caller's node list (not the selection) in a parameter
// of an apply-templates with or without xsl:sort, however the tests come out.
TEST_F(FlowProgramTest, ContextOfTestsVariablesAndParametersAgreesWithXsltproc) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const char* const bodies[] = {
      // Sorted for-each: variables and tests at each position.
      "<xsl:for-each select=\"i\"><xsl:sort select=\"@n\" order=\"descending\"/>"
      "<xsl:variable name=\"p\" select=\"position()\"/><xsl:variable name=\"l\" select=\"last()\"/>"
      "<xsl:variable name=\"c\" select=\"current()/@n\"/><xsl:if test=\"position() = 2\">[two]</xsl:if>"
      "<xsl:if test=\"position() = last()\">[last]</xsl:if><xsl:if test=\"current()/@n = 1\">[one]</xsl:if>"
      "<xsl:if test=\"$p = 1\">[first]</xsl:if><xsl:value-of select=\"concat($c, ':', $p, '/', $l, ' ')\"/>"
      "</xsl:for-each>",
      // Nested for-each: the inner body's current() is its own item, the
      // outer one's is reached through a variable.
      "<xsl:for-each select=\"*\"><xsl:sort select=\".\"/><xsl:variable name=\"o\" select=\"current()\"/>"
      "<xsl:for-each select=\"../i[@n &lt; current()/@n]\"><xsl:sort select=\"@n\" data-type=\"number\"/>"
      "<xsl:variable name=\"q\" select=\"concat(position(), last(), current()/@n, $o/@n)\"/>"
      "<xsl:if test=\"position() != last()\">,</xsl:if><xsl:value-of select=\"$q\"/></xsl:for-each>"
      "<xsl:if test=\"not(following-sibling::*)\">!</xsl:if>;</xsl:for-each>",
      // xsl:choose in a sorted for-each, with and without a branch taken.
      "<xsl:for-each select=\"*\"><xsl:sort select=\"@n\" data-type=\"number\"/><xsl:choose>"
      "<xsl:when test=\"position() = 1\">F</xsl:when><xsl:when test=\"current()/@n = 2\">T</xsl:when>"
      "<xsl:when test=\"position() = last()\">L<xsl:value-of select=\"last()\"/></xsl:when></xsl:choose>"
      "<xsl:choose><xsl:when test=\"position() mod 2 = 0\">e</xsl:when><xsl:otherwise>o</xsl:otherwise>"
      "</xsl:choose></xsl:for-each>",
      // A variable used by a later sibling's test.
      "<xsl:for-each select=\"i\"><xsl:variable name=\"v\" select=\"@n * position()\"/>"
      "<xsl:if test=\"$v &gt; 3\"><xsl:variable name=\"w\" select=\"$v - last()\"/>"
      "<xsl:value-of select=\"$w\"/></xsl:if>|</xsl:for-each>",
      // Parameters of apply-templates with xsl:sort before, between and
      // after them, with a mode and over an empty selection, inside a
      // sorted for-each.
      "<xsl:for-each select=\"*\"><xsl:sort select=\"@n\" data-type=\"number\" order=\"descending\"/>"
      "<xsl:apply-templates select=\"../i\" mode=\"m\"><xsl:sort select=\"@n\"/>"
      "<xsl:with-param name=\"a\" select=\"position()\"/><xsl:with-param name=\"b\" select=\"last()\"/>"
      "<xsl:with-param name=\"c\" select=\"current()/@n\"/></xsl:apply-templates>"
      "<xsl:apply-templates select=\"../i\" mode=\"m\"><xsl:with-param name=\"a\" select=\"position()\"/>"
      "<xsl:sort select=\".\" order=\"descending\"/><xsl:with-param name=\"c\" select=\"name()\"/>"
      "</xsl:apply-templates><xsl:apply-templates select=\"none\" mode=\"m\">"
      "<xsl:with-param name=\"a\" select=\"position()\"/></xsl:apply-templates>;</xsl:for-each>",
      "<xsl:apply-templates mode=\"m\"><xsl:sort select=\"string(.)\"/><xsl:with-param name=\"a\" "
      "select=\"position()\"/><xsl:with-param name=\"b\" select=\"last()\"/><xsl:with-param name=\"c\" "
      "select=\"name(current())\"/></xsl:apply-templates>",
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    folder_.Write("c.xml", "<r><i n=\"3\">c</i><i n=\"1\">a</i><i n=\"2\">b</i><j n=\"5\"/></r>\n");
    ExpectSameResultAsXsltproc(
        "c.xsl",
        std::string("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                    "<xsl:output method=\"text\"/>\n<xsl:template match=\"/\">"
                    "<xsl:apply-templates select=\"r\"/><xsl:apply-templates select=\"r\"/></xsl:template>\n"
                    "<xsl:template match=\"r\">") +
            body +
            "</xsl:template>\n"
            "<xsl:template match=\"*\" mode=\"m\"><xsl:param name=\"a\"/><xsl:param name=\"b\"/>"
            "<xsl:param name=\"c\"/>(<xsl:value-of select=\"concat($a, ',', $b, ',', $c, ',', @n, ',', "
            "position(), ',', last())\"/>)</xsl:template>\n</xsl:stylesheet>\n",
        "c.xml");
  }
}

// A selection of more than 32768 nodes is sorted by other means than a
// small one (in place, its text keys without stored weights): keys equal
// in every way must still keep document order, whether they tie on a
// number, on a text, or on a second key after a first.
TEST_F(FlowProgramTest, LargeSortsKeepDocumentOrderAmongEqualKeysAsXsltprocDoes) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  std::string document = "<r>";
  for (int i = 0; i < 40000; ++i)
    document += "<i id=\"" + std::to_string(i) + "\" n=\"" + std::to_string(i * 7919 % 13) + "\" t=\"w" +
                std::to_string(i * 7 % 11) + "\"/>";
  document += "</r>\n";
  folder_.Write("big.xml", document);
  const char* const sorts[] = {
      "<xsl:sort select=\"@n\" data-type=\"number\" order=\"descending\"/>",
      "<xsl:sort select=\"@t\"/>",
      "<xsl:sort select=\"@t\" order=\"descending\"/><xsl:sort select=\"@n\" data-type=\"number\"/>",
  };
  for (const char* sort : sorts) {
    SCOPED_TRACE(sort);
    ExpectSameResultAsXsltproc(
        "big.xsl",
        std::string("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                    "<xsl:output method=\"text\"/>\n<xsl:template match=\"/\">"
                    "<xsl:for-each select=\"r/i\">") +
            sort + "<xsl:value-of select=\"@id\"/>,</xsl:for-each></xsl:template>\n</xsl:stylesheet>\n",
        "big.xml");
  }
}

// An error while a local declaration is checked or evaluated is reported
// with the declaration on top of the stack.
TEST_F(FlowProgramTest, DeclarationErrorsShowTheDeclarationFrame) {
  const struct {
    const char* body;
    const char* message;
    const char* dump;
  } cases[] = {
      {"<xsl:variable name=\"a\" select=\"1\"/><xsl:variable name=\"b\" select=\"count(string(.))\"/>", "count",
       "xsl:variable\nxsl:if\nxsl:template\n"},
      {"<xsl:variable name=\"a\" select=\"1\"/><xsl:variable name=\"a\" select=\"2\"/>", "already exists",
       "xsl:variable\nxsl:if\nxsl:template\n"},
      // Declared again inside a true xsl:if or a chosen branch.
      {"<xsl:variable name=\"a\" select=\"1\"/><xsl:if test=\"r\"><xsl:variable name=\"a\" select=\"2\"/></xsl:if>",
       "already exists", "xsl:variable\nxsl:if\nxsl:if\nxsl:template\n"},
      {"<xsl:variable name=\"a\" select=\"1\"/><xsl:choose><xsl:when test=\"r\"><b/><xsl:variable name=\"a\">x"
       "</xsl:variable></xsl:when></xsl:choose>",
       "already exists", "xsl:variable\nxsl:when\nxsl:choose\nxsl:if\nxsl:template\n"},
      {"<xsl:variable name=\"a\" select=\"1\"/><xsl:call-template name=\"p\"/>", "count",
       "xsl:param\nxsl:template\nxsl:call-template\nxsl:if\nxsl:template\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    ExpectFailureWithStack(
        std::string("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                    "<xsl:template match=\"/\"><xsl:if test=\"r\">") +
            c.body +
            "</xsl:if></xsl:template>\n"
            "<xsl:template name=\"p\"><xsl:param name=\"x\" select=\"1\"/>"
            "<xsl:param name=\"y\" select=\"count(string(.))\"/></xsl:template>\n"
            "</xsl:stylesheet>\n",
        c.message, c.dump);
  }
}

// A failing xsl:if or xsl:when test, first or after false ones, a
// for-each body's variable or an apply-templates parameter, is reported
// with its own frame on top of the stack, as is an error in the content of
// the test that passed, or of the branch xsl:choose chose (whose content
// runs without a frame of its own until an error or a terminating message
// puts the branch's frame back).
TEST_F(FlowProgramTest, ConditionErrorsShowTheSameStack) {
  const struct {
    const char* body;
    const char* message;
    const char* dump;
  } cases[] = {
      {"<xsl:choose><xsl:when test=\"count(string(.))\">a</xsl:when></xsl:choose>", "count",
       "xsl:when\nxsl:choose\nxsl:if\nxsl:template\n"},
      {"<xsl:choose><xsl:when test=\"false()\">a</xsl:when><xsl:when test=\"1 = 0\">b</xsl:when>"
       "<xsl:when test=\"count(string(.))\">c</xsl:when><xsl:otherwise>d</xsl:otherwise></xsl:choose>",
       "count", "xsl:when\nxsl:choose\nxsl:if\nxsl:template\n"},
      {"<xsl:choose><xsl:when test=\"false()\">a</xsl:when><xsl:when test=\"r\">"
       "<xsl:value-of select=\"count(string(.))\"/></xsl:when></xsl:choose>",
       "count", "xsl:value-of\nxsl:when\nxsl:choose\nxsl:if\nxsl:template\n"},
      {"<xsl:choose><xsl:when test=\"false()\">a</xsl:when><xsl:otherwise>d<xsl:variable name=\"v\" "
       "select=\"count(string(.))\"/></xsl:otherwise></xsl:choose>",
       "count", "xsl:variable\nxsl:otherwise\nxsl:choose\nxsl:if\nxsl:template\n"},
      {"<xsl:choose><xsl:when test=\"r\">a<b/><xsl:variable name=\"v\" select=\"1\"/>"
       "<xsl:value-of select=\"$v\"/><c><xsl:value-of select=\"count(string(.))\"/></c></xsl:when></xsl:choose>",
       "count", "xsl:value-of\nc\nxsl:when\nxsl:choose\nxsl:if\nxsl:template\n"},
      {"<xsl:choose><xsl:when test=\"1 = 0\">a</xsl:when><xsl:otherwise><xsl:choose>"
       "<xsl:when test=\"r\"><xsl:if test=\"count(string(.))\"/></xsl:when></xsl:choose></xsl:otherwise>"
       "</xsl:choose>",
       "count", "xsl:if\nxsl:when\nxsl:choose\nxsl:otherwise\nxsl:choose\nxsl:if\nxsl:template\n"},
      {"<xsl:choose><xsl:when test=\"r\"><xsl:variable name=\"v\"><xsl:choose><xsl:when test=\"false()\"/><xsl:otherwise>"
       "<xsl:call-template name=\"p\"/></xsl:otherwise></xsl:choose></xsl:variable></xsl:when></xsl:choose>",
       "count",
       "xsl:param\nxsl:template\nxsl:call-template\nxsl:otherwise\nxsl:choose\nxsl:variable\nxsl:when\n"
       "xsl:choose\nxsl:if\nxsl:template\n"},
      {"<xsl:choose><xsl:when test=\"r\">a<xsl:message terminate=\"yes\">m</xsl:message></xsl:when>"
       "</xsl:choose>",
       "terminated by xsl:message", "xsl:when\nxsl:choose\nxsl:if\nxsl:template\n"},
      {"<xsl:choose><xsl:when test=\"false()\"/><xsl:otherwise><b><xsl:message terminate=\"yes\">m"
       "</xsl:message></b></xsl:otherwise></xsl:choose>",
       "terminated by xsl:message", "b\nxsl:otherwise\nxsl:choose\nxsl:if\nxsl:template\n"},
      // A choice or a true xsl:if whose content has run no longer shows.
      {"<xsl:if test=\"r\">a</xsl:if><xsl:value-of select=\"count(string(.))\"/>", "count",
       "xsl:value-of\nxsl:if\nxsl:template\n"},
      {"<xsl:choose><xsl:when test=\"r\">a</xsl:when></xsl:choose><xsl:value-of select=\"count(string(.))\"/>",
       "count", "xsl:value-of\nxsl:if\nxsl:template\n"},
      {"<xsl:choose><xsl:when test=\"1 = 0\">a</xsl:when></xsl:choose><xsl:if test=\"count(string(.))\"/>", "count",
       "xsl:if\nxsl:if\nxsl:template\n"},
      // Choices and true xsl:if elements nested in one another, failing in
      // content, in a test passed over and in a test.
      {"<xsl:choose><xsl:when test=\"r\"><xsl:if test=\"r\"><xsl:choose><xsl:when test=\"1 = 0\"/><xsl:otherwise>"
       "<xsl:value-of select=\"count(string(.))\"/></xsl:otherwise></xsl:choose></xsl:if></xsl:when></xsl:choose>",
       "count", "xsl:value-of\nxsl:otherwise\nxsl:choose\nxsl:if\nxsl:when\nxsl:choose\nxsl:if\nxsl:template\n"},
      {"<xsl:choose><xsl:when test=\"r\"><xsl:if test=\"r\"><xsl:if test=\"false()\"/><xsl:if test=\"count(string(.))\"/>"
       "</xsl:if></xsl:when></xsl:choose>",
       "count", "xsl:if\nxsl:if\nxsl:when\nxsl:choose\nxsl:if\nxsl:template\n"},
      {"<xsl:choose><xsl:when test=\"r\"><xsl:if test=\"r\"><xsl:choose><xsl:when test=\"count(string(.))\"/>"
       "</xsl:choose></xsl:if></xsl:when></xsl:choose>",
       "count", "xsl:when\nxsl:choose\nxsl:if\nxsl:when\nxsl:choose\nxsl:if\nxsl:template\n"},
      {"<xsl:if test=\"r\"><xsl:if test=\"r\"><xsl:message terminate=\"yes\">m</xsl:message></xsl:if></xsl:if>",
       "terminated by xsl:message", "xsl:if\nxsl:if\nxsl:if\nxsl:template\n"},
      {"<xsl:if test=\"false()\">a</xsl:if><xsl:if test=\"count(string(.))\">b</xsl:if>", "count",
       "xsl:if\nxsl:if\nxsl:template\n"},
      {"<xsl:if test=\"r\"><xsl:if test=\"1 = 0\">a</xsl:if><xsl:value-of select=\"count(string(.))\"/></xsl:if>",
       "count", "xsl:value-of\nxsl:if\nxsl:if\nxsl:template\n"},
      {"<xsl:for-each select=\"r\"><xsl:variable name=\"a\" select=\"1\"/><xsl:if test=\"false()\"/>"
       "<xsl:if test=\"count(string(.))\"/></xsl:for-each>",
       "count", "xsl:if\nxsl:for-each\nxsl:if\nxsl:template\n"},
      {"<xsl:for-each select=\"r|r\"><xsl:variable name=\"a\" select=\"1\"/><xsl:variable name=\"a\" select=\"2\"/>"
       "</xsl:for-each>",
       "already exists", "xsl:variable\nxsl:for-each\nxsl:if\nxsl:template\n"},
      {"<xsl:apply-templates select=\"r\"><xsl:with-param name=\"a\" select=\"1\"/>"
       "<xsl:with-param name=\"b\" select=\"count(string(.))\"/></xsl:apply-templates>",
       "count", "xsl:with-param\nxsl:apply-templates\nxsl:if\nxsl:template\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    ExpectFailureWithStack(
        std::string("<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                    "<xsl:template match=\"/\"><xsl:if test=\"r\">") +
            c.body +
            "</xsl:if></xsl:template>\n"
            "<xsl:template name=\"p\"><xsl:param name=\"y\" select=\"count(string(.))\"/></xsl:template>\n"
            "</xsl:stylesheet>\n",
        c.message, c.dump);
  }
}

// xsl:sort's order, data-type, case-order and lang are attribute value
// templates read where the xsl:for-each or xsl:apply-templates stands: its
// current node, position and size and its variables, never the nodes being
// sorted. The items carry attributes of the same names with other values,
// so a template read at a selected node gives another order or fails.
TEST_F(FlowProgramTest, SortAttributeTemplatesSeeTheInstructionsContext) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  folder_.Write("sort.xml",
                "<r o=\"descending\" t=\"number\" c=\"upper-first\" l=\"en\" bad=\"up\">"
                "<g o=\"ascending\" t=\"text\" c=\"lower-first\" l=\"en\">"
                "<i o=\"x\" t=\"y\" c=\"z\" l=\"\" bad=\"ascending\">10</i><i>9</i><i>100</i>"
                "<i>b</i><i>a</i></g>"
                "<g o=\"descending\" t=\"number\"><i o=\"x\">2</i><i>11</i><i>1</i></g></r>\n");
  const std::string head =
      "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
      "<xsl:output method=\"text\"/>\n"
      "<xsl:template match=\"i\"><xsl:value-of select=\".\"/>,</xsl:template>\n"
      "<xsl:template match=\"/r\">";
  const std::string tail = "</xsl:template>\n</xsl:stylesheet>\n";
  const char* const bodies[] = {
      // Under xsl:apply-templates within xsl:for-each, then directly in the
      // template.
      "<xsl:for-each select=\"g\"><xsl:apply-templates select=\"i\">"
      "<xsl:sort select=\".\" order=\"{@o}\"/></xsl:apply-templates>|</xsl:for-each>",
      "<xsl:for-each select=\"g\"><xsl:apply-templates select=\"i\">"
      "<xsl:sort select=\".\" order=\"{../@o}\"/></xsl:apply-templates>|</xsl:for-each>",
      "<xsl:apply-templates select=\"g/i\"><xsl:sort select=\".\" order=\"{@o}\" data-type=\"{@t}\"/>"
      "</xsl:apply-templates>",
      // Under xsl:for-each, nested in another.
      "<xsl:for-each select=\"g\"><xsl:for-each select=\"i\"><xsl:sort select=\".\" order=\"{@o}\"/>"
      "<xsl:apply-templates select=\".\"/></xsl:for-each>|</xsl:for-each>",
      "<xsl:for-each select=\"g\"><xsl:for-each select=\"i\"><xsl:sort select=\".\" order=\"{current()/@o}\""
      " data-type=\"{../@t}\"/><xsl:apply-templates select=\".\"/></xsl:for-each>|</xsl:for-each>",
      "<xsl:for-each select=\"g/i\"><xsl:sort select=\".\" data-type=\"{@t}\" order=\"{@o}\"/>"
      "<xsl:apply-templates select=\".\"/></xsl:for-each>",
      // The instruction's position and size.
      "<xsl:for-each select=\"g\"><xsl:apply-templates select=\"i\"><xsl:sort select=\".\""
      " order=\"{substring('ascendingdescending', 1 + 9 * (position() - 1), 8 + position())}\""
      " data-type=\"{substring('textnumber', 1 + 4 * (last() - 1), 2 + 2 * last())}\"/>"
      "</xsl:apply-templates>|</xsl:for-each>",
      "<xsl:for-each select=\"g\"><xsl:for-each select=\"i\"><xsl:sort select=\".\""
      " order=\"{substring('ascendingdescending', 1 + 9 * (position() - 1), 8 + position())}\"/>"
      "<xsl:apply-templates select=\".\"/></xsl:for-each>|</xsl:for-each>",
      // Variables in scope where the instruction stands.
      "<xsl:variable name=\"top\" select=\"@o\"/><xsl:for-each select=\"g\">"
      "<xsl:variable name=\"here\" select=\"@o\"/><xsl:apply-templates select=\"i\">"
      "<xsl:sort select=\".\" order=\"{$here}\"/></xsl:apply-templates>"
      "<xsl:for-each select=\"i\"><xsl:sort select=\".\" order=\"{$top}\"/><xsl:apply-templates select=\".\"/>"
      "</xsl:for-each>|</xsl:for-each>",
      // Case order and language, and several keys each with its own
      // templates.
      "<xsl:for-each select=\"g[1]\"><xsl:apply-templates select=\"i\">"
      "<xsl:sort select=\".\" case-order=\"{@c}\" lang=\"{@l}\"/></xsl:apply-templates>|"
      "<xsl:apply-templates select=\"i\"><xsl:sort select=\".\" case-order=\"{../@c}\" lang=\"{../@l}\"/>"
      "</xsl:apply-templates></xsl:for-each>",
      "<xsl:for-each select=\"g\"><xsl:apply-templates select=\"i\">"
      "<xsl:sort select=\"string-length(.)\" data-type=\"number\" order=\"{../@o}\"/>"
      "<xsl:sort select=\".\" order=\"{@o}\" data-type=\"{@t}\"/></xsl:apply-templates>|</xsl:for-each>",
      // An empty selection: the templates are not needed, even one whose
      // value would be refused.
      "<xsl:for-each select=\"nothing\"><xsl:sort select=\".\" order=\"{@bad}\"/></xsl:for-each>"
      "<xsl:apply-templates select=\"nothing\"><xsl:sort select=\".\" order=\"{@bad}\"/></xsl:apply-templates>"
      "end",
  };
  for (const char* body : bodies) {
    SCOPED_TRACE(body);
    ExpectSameResultAsXsltproc("sort.xsl", head + body + tail, "sort.xml");
  }
}

// A value refused is reported with the attribute as written, whether
// xsl:for-each or xsl:apply-templates holds the xsl:sort; the value is the
// current node's (@bad of r), not the sorted items'.
TEST_F(FlowProgramTest, RefusedSortValuesAreTheInstructionsContexts) {
  folder_.Write("d.xml", "<r bad=\"up\"><i bad=\"ascending\">2</i><i bad=\"descending\">1</i></r>\n");
  struct Case {
    const char* body;
    const char* frames;
  } cases[] = {
      {"<xsl:for-each select=\"i\"><xsl:sort select=\".\" order=\"{@bad}\"/></xsl:for-each>",
       "xsl:sort\nxsl:for-each\nxsl:template\nxsl:apply-templates\nxsl:template\n"},
      {"<xsl:apply-templates select=\"i\"><xsl:sort select=\".\" order=\"{@bad}\"/></xsl:apply-templates>",
       "xsl:sort\nxsl:apply-templates\nxsl:template\nxsl:apply-templates\nxsl:template\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    ExpectFailureWithStack(std::string("<xsl:stylesheet version=\"1.0\" "
                                       "xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                                       "<xsl:template match=\"/r\">") +
                               c.body + "</xsl:template>\n</xsl:stylesheet>\n",
                           "Unexpected value: order=\"{@bad}\"", c.frames);
  }
}

}  // namespace

// End-to-end tests of the program ostxslt: each case runs the built program
// in a scratch folder and checks standard output, standard error, the exit
// status and the bytes of the output file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../support/ktprocessortime.h"
#include "ktnettestserver.h"
#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

const char* const kOptionList =
    "    -xml       [file name]      input xml\n"
    "    -xsl       [file name]      input xslt\n"
    "    -out       [file name]      output result\n"
    "    -param     [name=expr]      stylesheet parameter value\n"
    "    -xslstack  [number >= 100 ] maximum xsl template call depth\n"
    "\n";

const char* const kSource = "<doc><a>one</a><a>two</a></doc>\n";

// A stylesheet with a missing select attribute on line 4, column 5.
const char* const kMissingSelect =
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
    "<xsl:template match=\"/\">\n"
    "  <out>\n"
    "    <xsl:value-of/>\n"
    "  </out>\n"
    "</xsl:template>\n"
    "</xsl:stylesheet>\n";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

class ProgramTest : public ::testing::Test {
 protected:
  KTProgramResult Run(const std::vector<std::string>& arguments) {
    return KTRunProgram(OSTXSLT_PROGRAM, arguments, folder_.Path());
  }
  void ExpectUsage(const KTProgramResult& result) {
    EXPECT_EQ(result.out.rfind("Ostrel XSLT Processor\n", 0), 0u) << result.out;
    ASSERT_GE(result.out.size(), std::string(kOptionList).size());
    EXPECT_EQ(result.out.substr(result.out.size() - std::string(kOptionList).size()), kOptionList);
    EXPECT_EQ(result.status, 2);
  }

  KTScratchFolder folder_;
};

// ---- Command line ----

struct CommandLineCase {
  std::vector<std::string> arguments;
  std::string err;  // exactly what standard error shows before the usage
};

// Every wrong command line names what is wrong (the option and its text) on
// standard error; only an empty one shows the usage alone.
TEST_F(ProgramTest, WrongOrIncompleteCommandLinesPrintTheUsage) {
  const std::vector<std::string> files = {"-xsl", "s.xsl", "-xml", "d.xml", "-out", "r.xml"};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), files.begin(), files.end());
    return more;
  };
  const std::string notNumber = ": the value must be a whole decimal number\n\n";
  const CommandLineCase cases[] = {
      {{}, ""},
      {with({"-xslstack", "99"}), "Error\nXSLT stack size should be at least 100\n\n"},
      {with({"-xslstack", "abc"}), "Error\n-xslstack \"abc\"" + notNumber},
      {with({"-xslstack", "1e9"}), "Error\n-xslstack \"1e9\"" + notNumber},
      {with({"-xslstack", "12abc"}), "Error\n-xslstack \"12abc\"" + notNumber},
      {with({"-xslstack", ""}), "Error\n-xslstack \"\"" + notNumber},
      {with({"-xslstack", "-3"}), "Error\n-xslstack \"-3\"" + notNumber},
      {with({"-XslStack", " 200"}), "Error\n-XslStack \" 200\"" + notNumber},
      {{"-xsl", "s.xsl", "-xml", "d.xml"}, "An output file must be specified\n\n"},
      {{"-out", "r.txt"}, "An input XSL file must be supplied\n\n"},
      {{"-xsl", "s.xsl", "-out", "r.txt"}, "An input XML file must be supplied\n\n"},
      {{"-xsl", "s.xsl", "-out", "r.xml", "-xml"}, "Error\nThe option -xml needs a value\n\n"},
      {{"-xsl", "s.xsl", "-xml", "d.xml", "-out", "-x.txt"}, "Error\nThe option -out needs a value before -x.txt\n\n"},
      {{"-xsl", "s.xsl", "-xml", "d.xml", "-out", ""},
       "Error\nThe option -out needs a file name, not an empty text\n\n"},
      {{"-xsl", "s.xsl", "-XML", "", "-out", "r.xml"},
       "Error\nThe option -XML needs a file name, not an empty text\n\n"},
      {{"-xls", "s.xsl", "-xml", "d.xml", "-out", "r.xml"}, "Error\nUnknown option -xls\n\n"},
      {with({"-verbose", "1"}), "Error\nUnknown option -verbose\n\n"},
      {{"d.xml", "s.xsl"}, "Error\n\"d.xml\" is not an option\n\n"},
      // Options start with '-' only: "/xsl" is not an option name.
      {{"/xsl", "s.xsl", "-xml", "d.xml", "-out", "r.xml"}, "Error\n\"/xsl\" is not an option\n\n"},
      {with({"-param", "novalue"}),
       "Error\n-param \"novalue\": a stylesheet parameter must be given as name=expr\n\n"},
      {with({"-param", "=1"}), "Error\n-param \"=1\": the parameter has no name before '='\n\n"},
      {with({"-PARAM", "x:p=1"}),
       "Error\n-PARAM \"x:p=1\": the parameter name x:p has a prefix, which cannot be bound on the command line\n\n"},
      // A name no parameter can have would be passed over without a word.
      {with({"-param", "p =1"}), "Error\n-param \"p =1\": the parameter name \"p \" is not an XML name\n\n"},
      {with({"-param", "1p=1"}), "Error\n-param \"1p=1\": the parameter name \"1p\" is not an XML name\n\n"},
      // What the command line gave is echoed with its control characters
      // escaped, never sent to the terminal as they are.
      {with({"-param", "\x01\x1B[31m"}),
       "Error\n-param \"\\x01\\x1B[31m\": a stylesheet parameter must be given as name=expr\n\n"},
  };
  for (const CommandLineCase& c : cases) {
    std::string shown;
    for (const std::string& a : c.arguments) shown += a + " ";
    SCOPED_TRACE(shown);
    KTProgramResult result = Run(c.arguments);
    ExpectUsage(result);
    EXPECT_EQ(result.err, c.err);
    EXPECT_FALSE(folder_.Exists("r.xml"));
  }
}

TEST_F(ProgramTest, OptionNamesIgnoreCaseAndAbsolutePathsAreValues) {
  // Accepted command lines go on to load the source, which is missing here.
  const std::vector<std::string> lines[] = {
      {"-XSL", "s.xsl", "-XML", "missing.xml", "-Out", "r.xml", "-XslStack", "100"},
      {"-xsl", "s.xsl", "-Xml", "missing.xml", "-OUT", "r.xml", "-Param", "p=1"},
      {"-xsl", "s.xsl", "-xml", folder_.File("missing.xml"), "-out", "r.xml"},
      // A depth past the 32-bit range is the largest one.
      {"-xsl", "s.xsl", "-xml", "missing.xml", "-out", "r.xml", "-xslstack", "99999999999999999999"},
  };
  for (const auto& arguments : lines) {
    KTProgramResult result = Run(arguments);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("Failed to load " + folder_.File("missing.xml") + "\n", 0), 0u) << result.err;
    EXPECT_EQ(result.status, 1);
  }
}

// Text from the command line, documents and stylesheets reaches standard
// error with its control characters escaped: an xsl:message of a parameter
// holding U+0001 and an escape sequence, and a file name holding ESC.
TEST_F(ProgramTest, MessagesShowControlCharactersEscaped) {
  folder_.Write("d.xml", kSource);
  folder_.Write("s.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:param name=\"p\"/>\n"
                "<xsl:template match=\"/\"><xsl:message><xsl:value-of select=\"$p\"/></xsl:message></xsl:template>\n"
                "</xsl:stylesheet>\n");
  KTProgramResult message =
      Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "r.xml", "-param", "p='a\x01\x1B[31mb\tc'"});
  EXPECT_EQ(message.err, "a\\x01\\x1B[31mb\tc\n");
  EXPECT_EQ(message.status, 0);

  KTProgramResult name = Run({"-xml", "no\x1B[2Jsuch.xml", "-xsl", "s.xsl", "-out", "r.xml"});
  EXPECT_EQ(name.err.rfind("Failed to load " + folder_.Path() + "/no\\x1B[2Jsuch.xml\n", 0), 0u) << name.err;
  EXPECT_EQ(name.err.find('\x1B'), std::string::npos);
  EXPECT_EQ(name.status, 1);
}

// ---- Loading ----

TEST_F(ProgramTest, ADocumentThatDoesNotLoadIsNamedWithItsAbsolutePathAndTheReason) {
  folder_.Write("d.xml", kSource);
  // Loading stops at the expansion limit; the document is refused rather
  // than run with part of its text.
  folder_.Write("laughs.xml", KTExplodingEntityPrologue("r") + "<r>&e9;</r>\n");
  // An element in an entity's text with one attribute named twice.
  folder_.Write("twice.xml", "<!DOCTYPE r [<!ENTITY e \"<b y='1' y='2'/>\">]>\n<r>&e;</r>\n");
  folder_.Write("laughs.xsl", KTExplodingEntityPrologue("xsl:stylesheet") +
                                  "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                                  "<xsl:template match=\"/\">&e9;</xsl:template></xsl:stylesheet>\n");
  folder_.Write("empty.xml", "");
  folder_.Write("broken.xml", "<a><b></a>");
  folder_.Write("s.xsl", kMissingSelect);
  struct {
    std::vector<std::string> arguments;
    std::string failed;  // the file named in the first line
  } cases[] = {
      {{"-xml", "missing.xml", "-xsl", "s.xsl", "-out", "r.xml"}, "missing.xml"},
      {{"-xml", "empty.xml", "-xsl", "s.xsl", "-out", "r.xml"}, "empty.xml"},
      {{"-xml", "broken.xml", "-xsl", "s.xsl", "-out", "r.xml"}, "broken.xml"},
      {{"-xml", "d.xml", "-xsl", "missing.xsl", "-out", "r.xml"}, "missing.xsl"},
      {{"-xml", "d.xml", "-xsl", "empty.xml", "-out", "r.xml"}, "empty.xml"},
      {{"-xml", "laughs.xml", "-xsl", "s.xsl", "-out", "r.xml"}, "laughs.xml"},
      {{"-xml", "d.xml", "-xsl", "laughs.xsl", "-out", "r.xml"}, "laughs.xsl"},
      {{"-xml", "twice.xml", "-xsl", "s.xsl", "-out", "r.xml"}, "twice.xml"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failed);
    KTProgramResult result = Run(c.arguments);
    std::string head = "Failed to load " + folder_.File(c.failed) + "\n";
    ASSERT_EQ(result.err.rfind(head, 0), 0u) << result.err;
    // Then the reason, on one line of its own.
    std::string reason = result.err.substr(head.size());
    EXPECT_GT(reason.size(), 1u);
    EXPECT_EQ(reason.find('\n'), reason.size() - 1) << reason;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(folder_.Exists("r.xml"));
  }
}

// A source is refused for its depth in elements, the unit its reader
// counts: 1600 levels load (as xsltproc --huge reads them, which without
// --huge stops at 256), one more is refused at the first element too deep,
// whether it holds content or is empty. Other markup where an element could
// stand at the deepest level does not count.
TEST_F(ProgramTest, SourcesNestedDeeperThan1600ElementsAreRefusedWhereTheyGoTooDeep) {
  folder_.Write("s.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:output method=\"text\"/>\n"
                "<xsl:template match=\"/\"><xsl:value-of select=\"count(//*)\"/>:"
                "<xsl:for-each select=\"(//*)[last()]\"><xsl:value-of select=\"count(ancestor::*)\"/>:"
                "<xsl:value-of select=\".\"/></xsl:for-each></xsl:template>\n"
                "</xsl:stylesheet>\n");
  auto nested = [](int depth, const std::string& inner) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "<a n=\"" + std::to_string(i % 10) + "\">";
    text += inner;
    for (int i = 0; i < depth; ++i) text += "</a>";
    return text + "\n";
  };
  const std::string markup = "x<!--c--><?p d?><![CDATA[y]]>&#65;";
  const struct {
    const char* name;
    std::string source;
    int tooDeepAt;  // the column of the element refused; 0: loads
  } cases[] = {
      {"1500 levels", nested(1500, "x"), 0},
      {"1600 levels", nested(1600, "x"), 0},
      {"1600 levels, other markup at the deepest", nested(1600, markup), 0},
      {"1600 levels, the last empty", nested(1599, "<b/>"), 0},
      {"1601 levels", nested(1601, "x"), 1600 * 9 + 1},
      {"1601 levels, the last empty", nested(1600, "<b/>"), 1600 * 9 + 1},
      {"100000 levels", nested(100000, ""), 1600 * 9 + 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    folder_.Write("d.xml", c.source);
    KTProgramResult result = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "r.txt"});
    if (c.tooDeepAt == 0) {
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(result.status, 0);
      KTProgramResult peer = KTRunProgram("/usr/bin/xsltproc", {"--huge", "-o", "peer.txt", "s.xsl", "d.xml"},
                                          folder_.Path());
      EXPECT_EQ(peer.status, 0) << peer.err;
      EXPECT_EQ(folder_.Read("r.txt"), folder_.Read("peer.txt"));
    } else {
      EXPECT_EQ(result.err, "Failed to load " + folder_.File("d.xml") + "\nline 1, column " +
                                std::to_string(c.tooDeepAt) + ": elements nested deeper than 1600 levels\n");
      EXPECT_EQ(result.status, 1);
      EXPECT_FALSE(folder_.Exists("r.txt"));
    }
    std::filesystem::remove(folder_.File("r.txt"));
  }
}

// ---- Error report ----

TEST_F(ProgramTest, AStylesheetErrorNamesDocumentLineAndCharacter) {
  folder_.Write("d.xml", kSource);
  // The same stylesheet with LF and with CR LF line ends: CR LF is one break.
  folder_.Write("lf.xsl", kMissingSelect);
  folder_.Write("crlf.xsl", Replace(kMissingSelect, "\n", "\r\n"));
  for (const char* name : {"lf.xsl", "crlf.xsl"}) {
    SCOPED_TRACE(name);
    KTProgramResult result = Run({"-xml", "d.xml", "-xsl", name, "-out", "r.xml"});
    EXPECT_EQ(result.err, "Error in " + folder_.File(name) +
                              " at line 4 character 5\nselect attribute expected: xsl:value-of\nXSLT stack dump\n\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(folder_.Exists("r.xml"));
  }
}

TEST_F(ProgramTest, CharactersAreCountedFromOneOnTheFirstLine) {
  folder_.Write("d.xml", kSource);
  // xsl:foo starts at offset 80 of the first line: character 81.
  folder_.Write("s.xsl",
                "<xsl:stylesheet xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" version=\"1.0\"> "
                "<xsl:foo/> </xsl:stylesheet>");
  KTProgramResult result = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "r.xml"});
  EXPECT_EQ(result.err.rfind("Error in " + folder_.File("s.xsl") + " at line 1 character 81\n", 0), 0u)
      << result.err;
  EXPECT_EQ(result.status, 1);
}

TEST_F(ProgramTest, AnErrorIsPlacedWhereItsNodeStandsInTheFile) {
  folder_.Write("d.xml", kSource);
  struct Case {
    const char* name;
    std::string stylesheet;
    const char* position;
  };
  const std::string open = "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n";
  const Case cases[] = {
      // The attribute of an element that follows another on its line.
      {"after a start tag", open + "\n<xsl:template match=\"/\"><xsl:value-of select=\"$nowhere\"/>\n</xsl:template>\n"
                            "</xsl:stylesheet>\n",
       "at line 3 character 39"},
      // An expression on an element after two siblings on its line.
      {"third on its line", open + "<xsl:template match=\"/\">\n  <a/><b/><xsl:value-of select=\"1 +\"/>\n"
                            "</xsl:template>\n</xsl:stylesheet>\n",
       "at line 3 character 25"},
      // CR LF and a lone CR each end one line.
      {"CR LF and CR", Replace(open, "\n", "\r\n") + "<xsl:template match=\"/\">\r<out/><xsl:value-of select=\"$x\"/>"
                                                   "\r\n</xsl:template></xsl:stylesheet>",
       "at line 3 character 21"},
      // Text joined from a CDATA section and the text after it, where no
      // text may stand: placed where the section starts.
      {"joined character data", open + "<xsl:template match=\"/\"/><![CDATA[x]]>text\n</xsl:stylesheet>\n",
       "at line 2 character 26"},
      // A character past U+FFFF is one character, as in the parser's
      // columns, though it takes two units of the decoded text.
      {"characters past U+FFFF", open + "<xsl:template match=\"/\"><r a=\"\xF0\x9F\x98\x80\xF0\x9F\x98\x80\"/>"
                                        "<xsl:value-of select=\"1 +\"/>\n</xsl:template>\n</xsl:stylesheet>\n",
       "at line 2 character 50"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    folder_.Write("s.xsl", c.stylesheet);
    KTProgramResult result = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "r.xml"});
    EXPECT_EQ(result.err.rfind("Error in " + folder_.File("s.xsl") + " " + c.position + "\n", 0), 0u) << result.err;
    EXPECT_EQ(result.status, 1);
  }
  // A node of an included stylesheet is placed in that file.
  folder_.Write("inc.xsl", open + "<xsl:template name=\"t\"><x/> <xsl:value-of select=\"$none\"/></xsl:template>\n"
                                  "</xsl:stylesheet>\n");
  folder_.Write("s.xsl", open + "<xsl:include href=\"inc.xsl\"/>\n"
                                "<xsl:template match=\"/\"><xsl:call-template name=\"t\"/></xsl:template>\n"
                                "</xsl:stylesheet>\n");
  KTProgramResult result = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "r.xml"});
  EXPECT_EQ(result.err.rfind("Error in " + folder_.File("inc.xsl") + " at line 2 character 43\n", 0), 0u)
      << result.err;
  EXPECT_EQ(result.status, 1);
}

// ---- Transformations compared with xsltproc ----

// xsltproc's result of the same files, computed now.
std::string XsltprocResult(const KTScratchFolder& folder, const std::string& xsl, const std::string& xml) {
  KTProgramResult peer = KTRunProgram("/usr/bin/xsltproc", {"-o", "peer.out", xsl, xml}, folder.Path());
  EXPECT_EQ(peer.status, 0) << peer.err;
  return folder.Read("peer.out");
}

// An identity transform copies attributes one xsl:copy at a time; an
// element with many of them costs in proportion to them, as copying it
// whole does, and an attribute added later of a name already copied
// replaces it.
TEST_F(ProgramTest, AnIdentityTransformOfManyAttributesStaysLinear) {
  auto source = [](int count) {
    std::string text = "<doc><e";
    for (int i = 0; i < count; ++i) text += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    return text + "/></doc>";
  };
  const std::string identity =
      "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
      "<xsl:template match=\"@*|node()\"><xsl:copy><xsl:apply-templates select=\"@*|node()\"/>"
      "<xsl:if test=\"self::e\"><xsl:attribute name=\"a5\">new</xsl:attribute>"
      "<xsl:copy-of select=\"@a7\"/></xsl:if></xsl:copy></xsl:template>\n"
      "</xsl:stylesheet>\n";
  folder_.Write("id.xsl", identity);
  folder_.Write("small.xml", source(40));
  KTProgramResult small = Run({"-xml", "small.xml", "-xsl", "id.xsl", "-out", "small.out"});
  ASSERT_EQ(small.status, 0) << small.err;
  // The same element as xsltproc's (the declarations differ in form).
  auto element = [](const std::string& text) {
    std::size_t start = text.find("<doc>");
    return start == std::string::npos ? text : text.substr(start, text.find("</doc>") - start);
  };
  EXPECT_EQ(element(folder_.Read("small.out")), element(XsltprocResult(folder_, "id.xsl", "small.xml")));

  folder_.Write("whole.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:template match=\"/\"><xsl:copy-of select=\"doc\"/></xsl:template>\n"
                "</xsl:stylesheet>\n");
  folder_.Write("plain.xsl", Replace(identity, "<xsl:attribute name=\"a5\">new</xsl:attribute>", ""));
  // The identity copies the element's attributes one frame at a time and
  // gives what copy-of gives. The program runs in a process of its own,
  // whose steps the test cannot count, so its processor times are
  // compared: sixteen times the attributes take about sixteen times as
  // long, a scan of the attributes made so far per copy 256 times.
  constexpr int kAttributes = 4000;
  folder_.Write("big1.xml", source(kAttributes));
  folder_.Write("big16.xml", source(16 * kAttributes));
  KTProgramResult whole = Run({"-xml", "big16.xml", "-xsl", "whole.xsl", "-out", "whole.out"});
  ASSERT_EQ(whole.status, 0) << whole.err;
  EXPECT_TRUE(ProcessorTimeGrowsLinearly([&](int scale) {
    KTProgramResult result = Run({"-xml", "big" + std::to_string(scale) + ".xml", "-xsl", "plain.xsl", "-out",
                                  "plain" + std::to_string(scale) + ".out"});
    EXPECT_EQ(result.status, 0) << result.err;
  }));
  EXPECT_EQ(folder_.Read("plain16.out"), folder_.Read("whole.out"));
}

const char* const kLinesStylesheet =
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
    "<xsl:output method=\"text\" encoding=\"ISO-8859-1\"/>\n"
    "<xsl:template match=\"/\"><xsl:apply-templates select=\"doc/a\"/></xsl:template>\n"
    "<xsl:template match=\"a\"><xsl:value-of select=\".\"/><xsl:text>&#10;</xsl:text></xsl:template>\n"
    "</xsl:stylesheet>\n";

// ---- Run and output ----

TEST_F(ProgramTest, AFrameStackDeeperThanTheLimitStopsTheRun) {
  folder_.Write("d.xml", kSource);
  // Every application of the root's rule applies it again; a named
  // template calls itself.
  folder_.Write("apply.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:template match=\"/\"><xsl:apply-templates select=\"/\"/></xsl:template>\n"
                "</xsl:stylesheet>\n");
  folder_.Write("call.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:template match=\"/\"><xsl:call-template name=\"again\"/></xsl:template>\n"
                "<xsl:template name=\"again\"><x><xsl:call-template name=\"again\"/></x></xsl:template>\n"
                "</xsl:stylesheet>\n");
  for (const std::vector<std::string>& limit :
       {std::vector<std::string>{"-xsl", "apply.xsl", "-xslstack", "100"}, {"-xsl", "apply.xsl"},
        {"-xsl", "call.xsl", "-xslstack", "100"}}) {
    std::vector<std::string> arguments = {"-xml", "d.xml", "-out", "r.xml"};
    arguments.insert(arguments.end(), limit.begin(), limit.end());
    KTProgramResult result = Run(arguments);
    // The report names the limit, the template and the option.
    bool apply = limit[1] == "apply.xsl";
    std::string limitText = limit.size() > 2 ? limit[3] : "1000";
    EXPECT_EQ(result.err, "XSL template stack overflow\nMore than " + limitText +
                              " nested template calls, the last one to the template " +
                              (apply ? "matching \"/\"" : "named \"again\"") + " (-xslstack sets the limit).\n\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(folder_.Exists("r.xml"));
  }
}

// -xslstack counts template calls, not the instructions inside them: the
// limit lets exactly that many nested calls run (a named recursion, and an
// apply-templates recursion over siblings, each with instructions around
// the call), and one more stops the run.
TEST_F(ProgramTest, TheStackLimitCountsNestedTemplateCalls) {
  std::string rows;
  for (int i = 0; i < 1200; ++i) rows += "<row/>";
  folder_.Write("d.xml", "<table>" + rows + "</table>\n");
  // The root's rule is one call; the named template nests depth - 1 more.
  folder_.Write("named.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:output method=\"text\"/><xsl:param name=\"depth\"/>\n"
                "<xsl:template match=\"/\"><xsl:call-template name=\"r\">"
                "<xsl:with-param name=\"n\" select=\"$depth - 1\"/></xsl:call-template></xsl:template>\n"
                "<xsl:template name=\"r\"><xsl:param name=\"n\"/><xsl:if test=\"$n &gt; 1\"><x>"
                "<xsl:call-template name=\"r\"><xsl:with-param name=\"n\" select=\"$n - 1\"/></xsl:call-template>"
                "</x></xsl:if><xsl:if test=\"$n = 1\">done</xsl:if></xsl:template>\n"
                "</xsl:stylesheet>\n");
  // The root's rule, the table's, then one call a row up to the depth.
  folder_.Write("rows.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:output method=\"text\"/><xsl:param name=\"depth\"/>\n"
                "<xsl:template match=\"table\"><xsl:apply-templates select=\"row[1]\"/></xsl:template>\n"
                "<xsl:template match=\"row\"><xsl:if test=\"count(preceding-sibling::row) + 3 &lt; $depth\">"
                "<r><xsl:apply-templates select=\"following-sibling::row[1]\"/></r></xsl:if></xsl:template>\n"
                "</xsl:stylesheet>\n");
  struct Case {
    const char* stylesheet;
    const char* limit;  // null: the default, 1000
    int depth;
    int status;
  };
  const Case cases[] = {
      {"named.xsl", nullptr, 1000, 0}, {"named.xsl", nullptr, 1001, 1}, {"named.xsl", "100", 100, 0},
      {"named.xsl", "100", 101, 1},    {"named.xsl", "5000", 5000, 0},  {"rows.xsl", nullptr, 1000, 0},
      {"rows.xsl", nullptr, 1001, 1},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"-xml", "d.xml", "-xsl", c.stylesheet, "-out", "r.txt",
                                          "-param", "depth=" + std::to_string(c.depth)};
    if (c.limit) arguments.insert(arguments.end(), {"-xslstack", c.limit});
    KTProgramResult result = Run(arguments);
    EXPECT_EQ(result.status, c.status) << c.stylesheet << " " << c.depth << ": " << result.err;
  }
}

TEST_F(ProgramTest, AnUnknownOutputEncodingFallsBackToUtf8WithAWarning) {
  folder_.Write("d.xml", kSource);
  folder_.Write("s.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:output encoding=\"x-unknown\"/>\n"
                "<xsl:template match=\"/\"/>\n"
                "</xsl:stylesheet>\n");
  KTProgramResult result = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "r.xml"});
  EXPECT_EQ(result.err, "Warning: the output encoding \"x-unknown\" is not supported; the output is written in UTF-8\n");
  EXPECT_EQ(result.out, "\nr.xml\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(folder_.Read("r.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
}

TEST_F(ProgramTest, SourceAndStylesheetLoadFromHttpUrlsLikeFiles) {
  folder_.Write("d.xml", kSource);
  folder_.Write("s.xsl", kLinesStylesheet);
  KTProgramResult local = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "local.xml"});
  ASSERT_EQ(local.status, 0) << local.err;
  ASSERT_EQ(folder_.Read("local.xml"), "one\ntwo\n");

  KTTestServer server;
  ASSERT_TRUE(server.Start("http", {"--root", folder_.Path()}));
  std::string base = "http://127.0.0.1:" + std::to_string(server.Port()) + "/files/";
  KTProgramResult remote = Run({"-xml", base + "d.xml", "-xsl", base + "s.xsl", "-out", "remote.xml"});
  EXPECT_EQ(remote.err, "");
  EXPECT_EQ(remote.out, "\nremote.xml\n");
  EXPECT_EQ(remote.status, 0);
  EXPECT_EQ(folder_.Read("remote.xml"), folder_.Read("local.xml"));

  KTProgramResult missing = Run({"-xml", base + "missing.xml", "-xsl", base + "s.xsl", "-out", "r.xml"});
  std::string head = "Failed to load " + base + "missing.xml\n";
  EXPECT_EQ(missing.err.rfind(head, 0), 0u) << missing.err;
  EXPECT_GT(missing.err.size(), head.size() + 1);
  EXPECT_EQ(missing.status, 1);
  EXPECT_FALSE(folder_.Exists("r.xml"));
}

// A stylesheet whose one template writes an empty message.
constexpr const char* kEmptyMessageStylesheet =
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
    "<xsl:template match=\"/\"><xsl:message/></xsl:template></xsl:stylesheet>\n";

TEST_F(ProgramTest, ASuccessfulRunPrintsTheOutputNameAfterAnEmptyLine) {
  folder_.Write("d.xml", kSource);
  folder_.Write("s.xsl", kEmptyMessageStylesheet);
  KTProgramResult result = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "r.xml"});
  EXPECT_EQ(result.out, "\nr.xml\n");
  EXPECT_EQ(result.err, "\n");  // the empty message, shown as an empty line
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(folder_.Exists("r.xml"));
}

TEST_F(ProgramTest, ATerminatingMessageEndsTheRunWithoutOutput) {
  folder_.Write("d.xml", kSource);
  folder_.Write("s.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
                "<xsl:template match=\"/\">\n<xsl:message terminate=\"yes\"/></xsl:template></xsl:stylesheet>\n");
  KTProgramResult result = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "r.xml"});
  EXPECT_EQ(result.out, "");
  std::string head = "\nError in " + folder_.File("s.xsl") + " at line 2 character 1\n"
                     "The transformation was terminated by xsl:message\n";
  EXPECT_EQ(result.err.rfind(head, 0), 0u) << result.err;
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(folder_.Exists("r.xml"));
}

TEST_F(ProgramTest, AnOutputFileThatCannotBeWrittenIsReported) {
  folder_.Write("d.xml", kSource);
  folder_.Write("s.xsl", kEmptyMessageStylesheet);
  KTProgramResult result = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "no/such/folder/r.xml"});
  // The empty message's line comes first.
  std::string head = "\nError writing to file no/such/folder/r.xml\n";
  ASSERT_EQ(result.err.rfind(head, 0), 0u) << result.err;
  EXPECT_GT(result.err.size(), head.size() + 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.status, 1);
}


TEST_F(ProgramTest, TheOutputKeepsItsLineEndsAndTakesTheStylesheetsEncoding) {
  folder_.Write("d.xml", "<doc><a>caf\xC3\xA9</a><a>two</a></doc>\n");
  folder_.Write("lf.xsl", kLinesStylesheet);
  folder_.Write("crlf.xsl", Replace(kLinesStylesheet, "\n", "\r\n"));
  std::string expected = XsltprocResult(folder_, "lf.xsl", "d.xml");
  ASSERT_NE(expected.find("caf\xE9\n"), std::string::npos);  // é is byte E9 in ISO-8859-1

  KTProgramResult lf = Run({"-xml", "d.xml", "-xsl", "lf.xsl", "-out", "lf.txt"});
  EXPECT_EQ(lf.err, "");
  EXPECT_EQ(lf.status, 0);
  EXPECT_EQ(folder_.Read("lf.txt"), expected);

  KTProgramResult crlf = Run({"-xml", "d.xml", "-xsl", "crlf.xsl", "-out", "crlf.txt"});
  EXPECT_EQ(crlf.err, "");
  EXPECT_EQ(crlf.status, 0);
  // The stylesheet's CR LF line ends are read as LF (XML 1.0 §2.11): they
  // do not reach the output.
  EXPECT_EQ(folder_.Read("crlf.txt"), XsltprocResult(folder_, "crlf.xsl", "d.xml"));
  EXPECT_EQ(folder_.Read("crlf.txt"), expected);

  // The source's line ends play no part; names are UTF-8 on the command line.
  folder_.Write("caf\xC3\xA9.xml", "<doc>\r\n<a>caf\xC3\xA9</a>\r\n<a>two</a>\r\n</doc>\r\n");
  KTProgramResult named = Run({"-xml", "caf\xC3\xA9.xml", "-xsl", "lf.xsl", "-out", "r\xC3\xA9sultat.txt"});
  EXPECT_EQ(named.err, "");
  EXPECT_EQ(named.out, "\nr\xC3\xA9sultat.txt\n");
  EXPECT_EQ(folder_.Read("r\xC3\xA9sultat.txt"), expected);
}

TEST_F(ProgramTest, ATerminatingMessagePrintsItsTextAfterTheEarlierOnes) {
  folder_.Write("d.xml", kSource);
  folder_.Write("s.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:template match=\"/\"><xsl:message>not shown</xsl:message><out/>"
                "<xsl:message terminate=\"yes\">stop</xsl:message></xsl:template>\n"
                "</xsl:stylesheet>\n");
  KTProgramResult result = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "r.xml"});
  // Both messages on standard error in their order, then the report.
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.rfind("not shown\nstop\nError in " + folder_.File("s.xsl") + " at line 2 character 67\n", 0), 0u)
      << result.err;
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(folder_.Exists("r.xml"));
}

TEST_F(ProgramTest, AnErrorWhileRunningDumpsTheFrameStack) {
  folder_.Write("d.xml", kSource);
  folder_.Write("s.xsl",
                "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
                "<xsl:template match=\"/\">\n"
                "  <out>\n"
                "    <xsl:value-of select=\"count(string(.))\"/>\n"
                "  </out>\n"
                "</xsl:template>\n"
                "</xsl:stylesheet>\n");
  KTProgramResult result = Run({"-xml", "d.xml", "-xsl", "s.xsl", "-out", "r.xml"});
  std::string head = "Error in " + folder_.File("s.xsl") + " at line 4 character ";
  ASSERT_EQ(result.err.rfind(head, 0), 0u) << result.err;
  // The message, then the frames from the top: the instruction, the literal
  // result element, the template and the stylesheet.
  size_t dump = result.err.find("\nXSLT stack dump\n\n");
  ASSERT_NE(dump, std::string::npos) << result.err;
  EXPECT_EQ(result.err.substr(dump), "\nXSLT stack dump\n\nxsl:value-of\nout\nxsl:template\nxsl:stylesheet\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(folder_.Exists("r.xml"));
}

TEST_F(ProgramTest, TheExampleCatalogBecomesAnHtmlPage) {
  const std::string examples = std::string(OST_SOURCE_DIR) + "/examples/";
  KTProgramResult result =
      Run({"-xml", examples + "catalog.xml", "-xsl", examples + "catalog.xsl", "-out", "catalog.html"});
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "\ncatalog.html\n");
  ASSERT_EQ(result.status, 0);
  // The html method leaves indentation and the case of the META element to
  // the processor: the pages are compared without white space and case.
  auto squeeze = [](const std::string& text) {
    std::string out;
    for (char c : text) {
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
      out += (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
    }
    return out;
  };
  std::string page = folder_.Read("catalog.html");
  EXPECT_NE(page.find("<td>Les Mis\xC3\xA9rables</td>"), std::string::npos) << page;
  EXPECT_EQ(squeeze(page), squeeze(XsltprocResult(folder_, examples + "catalog.xsl", examples + "catalog.xml")));
}

}  // namespace

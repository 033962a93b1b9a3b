// End-to-end tests of the stylesheet modules loaded ahead on other threads
// while the source loads: every run writes the output, standard output,
// standard error and exit status of the run that loads each module where it
// needs it (OSTXSLT_SERIAL_LOAD=1), whatever its modules hold (includes of
// includes, imports, "../" hrefs, a module named twice or by two spellings,
// one that is missing, one not well-formed) and when the source fails; a
// run that succeeds writes xsltproc's output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

constexpr const char* kXsltproc = "/usr/bin/xsltproc";

std::string Sheet(const std::string& body) {
  return "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>\n" + body +
         "</xsl:stylesheet>\n";
}

// A module whose one template is named after it, so that the output shows
// which modules took part and in which order of precedence.
std::string Module(const std::string& name, const std::string& includes = "") {
  return Sheet(includes + "<xsl:template name='" + name + "'><" + name + "/></xsl:template>\n");
}

struct Outcome {
  KTProgramResult run;
  std::string output;
};

class LoadAheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.Write("d.xml", "<doc><i/></doc>\n");
    folder_.Write("sub/a.xsl", Module("a", "<xsl:include href='../b.xsl'/><xsl:include href='deeper/c.xsl'/>"));
    folder_.Write("b.xsl", Module("b", "<xsl:import href='sub/deeper/../e.xsl'/>"));
    folder_.Write("sub/deeper/c.xsl", Module("c"));
    folder_.Write("sub/e.xsl", Module("e"));
    folder_.Write("f.xsl", Module("f", "<xsl:include href='sub/deeper/c.xsl'/>"));
    folder_.Write("broken.xsl", "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
                                "<xsl:template name='x'></xsl:stylesheet>\n");
  }

  Outcome Run(const std::string& stylesheet, const std::string& source, bool serial) {
    std::vector<std::string> arguments;
    std::string program = OSTXSLT_PROGRAM;
    if (serial) {
      arguments = {"OSTXSLT_SERIAL_LOAD=1", program};
      program = "/usr/bin/env";
    }
    for (const char* a : {"-xml", source.c_str(), "-xsl", stylesheet.c_str(), "-out", "o.txt"}) arguments.push_back(a);
    folder_.Write("o.txt", "");
    Outcome outcome{KTRunProgram(program, arguments, folder_.Path()), ""};
    outcome.output = folder_.Read("o.txt");
    return outcome;
  }

  KTScratchFolder folder_;
};

TEST_F(LoadAheadTest, EveryRunEndsAsTheSerialOne) {
  const std::string calls = "<xsl:template match='/'><out><xsl:call-template name='a'/><xsl:call-template name='b'/>"
                            "<xsl:call-template name='c'/><xsl:call-template name='e'/></out></xsl:template>\n";
  struct Case {
    const char* label;
    std::string stylesheet;  // main.xsl
    const char* source;
    bool succeeds;
  };
  const Case cases[] = {
      {"includes of includes, imports, ../", Sheet("<xsl:import href='sub/e.xsl'/><xsl:include href='sub/a.xsl'/>" + calls),
       "d.xml", true},
      {"one module named twice, by two spellings",
       Sheet("<xsl:include href='sub/a.xsl'/><xsl:include href='f.xsl'/>" + calls), "d.xml", false},
      {"a module imported twice", Sheet("<xsl:import href='sub/e.xsl'/><xsl:import href='./sub/e.xsl'/>"
                                        "<xsl:include href='sub/a.xsl'/>" + calls),
       "d.xml", true},
      {"a missing module", Sheet("<xsl:include href='sub/a.xsl'/><xsl:include href='missing.xsl'/>" + calls),
       "d.xml", false},
      {"a module not well-formed", Sheet("<xsl:include href='broken.xsl'/><xsl:include href='sub/a.xsl'/>" + calls),
       "d.xml", false},
      {"the source missing", Sheet("<xsl:include href='sub/a.xsl'/>" + calls), "missing.xml", false},
      {"the source not well-formed", Sheet("<xsl:include href='sub/a.xsl'/>" + calls), "broken.xsl", false},
      {"the stylesheet not well-formed", "<xsl:stylesheet", "d.xml", false},
  };
  for (const Case& c : cases) {
    folder_.Write("main.xsl", c.stylesheet);
    const Outcome serial = Run("main.xsl", c.source, true);
    // A few times over: which module a worker reaches first varies.
    for (int round = 0; round < 3; ++round) {
      const Outcome ahead = Run("main.xsl", c.source, false);
      EXPECT_EQ(ahead.run.status, serial.run.status) << c.label;
      EXPECT_EQ(ahead.run.out, serial.run.out) << c.label;
      EXPECT_EQ(ahead.run.err, serial.run.err) << c.label;
      EXPECT_EQ(ahead.output, serial.output) << c.label;
    }
    EXPECT_EQ(serial.run.status == 0, c.succeeds) << c.label << "\n" << serial.run.err;
    if (serial.run.status != 0 || access(kXsltproc, X_OK) != 0) continue;
    KTProgramResult theirs = KTRunProgram(kXsltproc, {"-o", "p.txt", "main.xsl", c.source}, folder_.Path());
    EXPECT_EQ(theirs.status, 0) << c.label << theirs.err;
    EXPECT_EQ(KTWithoutDeclaration(serial.output), KTWithoutDeclaration(folder_.Read("p.txt"))) << c.label;
  }
}

// The modules loaded ahead come with the white space their stylesheet view
// leaves out deleted already: every text that shows in a template (in
// xsl:text, under xml:space, beside other nodes) stays, and document() of a
// module still reads every one of its texts, whether the run loads it or a
// worker does (for a top-level binding's document() of a literal). The source is large enough
// (below the size past which nothing is loaded ahead) that the workers
// load the module while the run loads the source.
TEST_F(LoadAheadTest, ModulesThinnedAheadKeepTheWhiteSpaceThatCounts) {
  std::string items;
  for (int i = 0; i < 20000; ++i) items += "<i n='" + std::to_string(i) + "'>text</i>\n";
  folder_.Write("large.xml", "<doc>\n" + items + "</doc>\n");
  folder_.Write("data.xml", "<data>\n  <item>x</item>\n</data>\n");
  folder_.Write("ws.xsl", Sheet("  <!-- c -->\n  <xsl:param name='texts' select=\"count(document('')//text())\"/>\n"
                                "  <xsl:variable name='data' select='document(\"data.xml\")'/>\n"
                                "  <xsl:template name='ws'>\n    <a>  <b/>  </a>\n"
                                "    <xsl:text>  </xsl:text><xsl:text> <!-- c --> </xsl:text>\n"
                                "    <p xml:space='preserve'>  <q>  </q> <r xml:space='default'>  <s/>  </r>  </p>\n"
                                "    <m>x <i/> <!-- c --> <?pi?> <![CDATA[ ]]> <j/>&#32;<k/> &#10; <l/>\t</m>\n"
                                "    <t:text xmlns:t='urn:other'>  </t:text>\n    <c t='{$texts}' d='{count($data//text())}'/>\n"
                                "  </xsl:template>\n"));
  folder_.Write("main.xsl",
                Sheet("<xsl:include href='ws.xsl'/>\n<xsl:template match='/'><out><xsl:call-template name='ws'/>"
                      "<n><xsl:for-each select=\"document('ws.xsl')//text()\">[<xsl:value-of "
                      "select=\"translate(., ' &#9;&#10;', '_TN')\"/>]</xsl:for-each></n></out></xsl:template>\n"));
  const Outcome serial = Run("main.xsl", "large.xml", true);
  ASSERT_EQ(serial.run.status, 0) << serial.run.err;
  for (int round = 0; round < 3; ++round) {
    const Outcome ahead = Run("main.xsl", "large.xml", false);
    EXPECT_EQ(ahead.run.status, serial.run.status);
    EXPECT_EQ(ahead.run.err, serial.run.err);
    EXPECT_EQ(ahead.output, serial.output);
  }
  if (access(kXsltproc, X_OK) != 0) return;
  KTProgramResult theirs = KTRunProgram(kXsltproc, {"-o", "p.txt", "main.xsl", "large.xml"}, folder_.Path());
  EXPECT_EQ(theirs.status, 0) << theirs.err;
  EXPECT_EQ(KTWithoutDeclaration(serial.output), KTWithoutDeclaration(folder_.Read("p.txt")));
}

}  // namespace

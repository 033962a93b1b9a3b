// End-to-end runs of documents whose root content the program parses in
// chunks (forced on small documents through the environment): output,
// standard error and exit status equal to the serial run's, and the output
// equal to xsltproc's where the document is well formed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

bool HaveXsltproc() { return std::system("xsltproc --version >/dev/null 2>&1") == 0; }

// The identity without white-space-only text (which this program drops from
// the source by design), and a report of names, namespaces and values.
const char* const kCopy =
    "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>\n"
    "<xsl:strip-space elements='*'/>\n"
    "<xsl:template match='@*|node()'><xsl:copy><xsl:apply-templates select='@*|node()'/></xsl:copy>"
    "</xsl:template>\n"
    "</xsl:stylesheet>\n";
const char* const kReport =
    "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' xmlns:p='urn:p'>\n"
    "<xsl:output method='text'/>\n"
    "<xsl:template match='/'>\n"
    "<xsl:value-of select='count(//*)'/>|<xsl:value-of select='count(//p:*)'/>|"
    "<xsl:value-of select='count(//@*)'/>|<xsl:value-of select='string-length(string(/))'/>|"
    "<xsl:value-of select='count(//comment())'/>|<xsl:value-of select='count(//processing-instruction())'/>\n"
    "<xsl:for-each select='/*/*[position() mod 7 = 1]'><xsl:value-of select='concat(name(), \"=\", "
    "namespace-uri(), \":\", normalize-space(.), \";\")'/></xsl:for-each>\n"
    "</xsl:template>\n"
    "</xsl:stylesheet>\n";

std::string Repeat(const std::string& part, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += part;
  return out;
}

struct Document {
  const char* name;
  std::string text;
  bool wellFormed;
};

std::vector<Document> Documents() {
  const std::string items =
      Repeat("\n <item n='1' p:q=\"a&gt;b\">one &amp; two<p:x/><![CDATA[<c>]]><!--<d>--><?pi <e>?></item>", 300);
  return {
      {"many children", "<?xml version='1.0'?>\n<root xmlns:p='urn:p'>" + items + "\n</root>\n", true},
      {"default namespace and CRLF",
       "<r xmlns='urn:d' xmlns:p='urn:p'>\r\n" + Repeat("<a>x</a>\r\n<p:b c='1'/>\r\n", 100) + "</r>\r\n", true},
      {"a malformed child in the middle",
       "<r>\n" + Repeat("<a>x</a>\n", 50) + "<a>x</b>\n" + Repeat("<a>x</a>\n", 50) + "</r>\n", false},
      {"a malformed last child", "<r>\n" + Repeat("<a>x</a>\n", 50) + "<a x='1' x='2'/>\n</r>\n", false},
      {"an undeclared entity", "<r>\n" + Repeat("<a>x</a>\n", 20) + "<a>&e;</a>\n</r>\n", false},
      {"an unclosed root", "<r>\n" + Repeat("<a>x</a>\n", 50), false},
  };
}

// Runs the program with OSTXSLT_CHUNKED_PARSE set to `mode`.
KTProgramResult RunWith(const std::string& mode, const std::string& stylesheet, KTScratchFolder& folder) {
  folder.Write("r.out", "");
  return KTRunProgram("/usr/bin/env", {"OSTXSLT_CHUNKED_PARSE=" + mode, OSTXSLT_PROGRAM, "-xsl", stylesheet, "-xml",
                                       "d.xml", "-out", "r.out"},
                      folder.Path());
}

TEST(ChunkParseProgram, ChunkedRunsMatchTheSerialRunAndXsltproc) {
  KTScratchFolder folder;
  folder.Write("copy.xsl", kCopy);
  folder.Write("report.xsl", kReport);
  for (const Document& d : Documents()) {
    SCOPED_TRACE(d.name);
    folder.Write("d.xml", d.text);
    for (const char* stylesheet : {"copy.xsl", "report.xsl"}) {
      SCOPED_TRACE(stylesheet);
      const KTProgramResult serial = RunWith("off", stylesheet, folder);
      const std::string serialOut = folder.Read("r.out");
      EXPECT_EQ(serial.status == 0, d.wellFormed) << serial.err;
      for (const char* mode : {"inline", "force"}) {
        SCOPED_TRACE(mode);
        const KTProgramResult chunked = RunWith(mode, stylesheet, folder);
        EXPECT_EQ(chunked.status, serial.status);
        EXPECT_EQ(chunked.err, serial.err);
        EXPECT_EQ(chunked.out, serial.out);
        EXPECT_EQ(folder.Read("r.out"), serialOut);
      }
      if (d.wellFormed && HaveXsltproc()) {
        KTProgramResult theirs = KTRunProgram("/usr/bin/xsltproc", {"-o", "p.out", stylesheet, "d.xml"}, folder.Path());
        EXPECT_EQ(theirs.status, 0) << theirs.err;
        EXPECT_EQ(KTWithoutDeclaration(serialOut), KTWithoutDeclaration(folder.Read("p.out")));
      }
    }
  }
}

// A large document (parsed in chunks on threads when nothing limits the
// process) under limits on the data segment (`ulimit -d`, which counts
// every private mapping, the threads' allocator arenas included), from one
// too small to load it to one that lets the run finish: at each, the run
// must end as the serial run does, with its message, status and output.
TEST(ChunkParseProgram, RunsUnderADataLimitMatchTheSerialRun) {
  KTScratchFolder folder;
  folder.Write("copy.xsl",
               "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
               "<xsl:template match='/'><xsl:copy-of select='.'/></xsl:template></xsl:stylesheet>\n");
  folder.Write("d.xml", "<r>" + Repeat("head<a>1</a>mid &amp; 2<b/>\xF0\x9F\x98\x80", 80000) + "tail</r>\n");
  auto runUnder = [&](int limitKiB, const std::string& mode) {
    folder.Write("r.out", "");
    const std::string command = "ulimit -d " + std::to_string(limitKiB) + " && exec /usr/bin/env OSTXSLT_CHUNKED_PARSE=" +
                                mode + " '" OSTXSLT_PROGRAM "' -xsl copy.xsl -xml d.xml -out r.out";
    return KTRunProgram("/bin/sh", {"-c", command}, folder.Path());
  };
  for (int limitKiB = 24 * 1024; limitKiB <= 256 * 1024; limitKiB += 16 * 1024) {
    SCOPED_TRACE(limitKiB);
    const KTProgramResult serial = runUnder(limitKiB, "off");
    const std::string serialOut = folder.Read("r.out");
    const KTProgramResult chosen = runUnder(limitKiB, "auto");
    EXPECT_EQ(chosen.status, serial.status);
    EXPECT_EQ(chosen.err, serial.err);
    EXPECT_EQ(chosen.out, serial.out);
    EXPECT_TRUE(folder.Read("r.out") == serialOut) << "the output files differ";
  }
}

}  // namespace

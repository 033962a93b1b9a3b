// End-to-end tests of what a DTD gives a source document, run by the
// program with an identity stylesheet and compared byte for byte with
// xsltproc and with `xmllint --dtdattr --noent`: declarations after one that
// breaks a validity constraint still supply their defaults and entities,
// attribute values are normalised by their declared type, and line ends of
// external parsed entities read as LF.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

const char* const kIdentity =
    "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
    "<xsl:template match=\"@*|node()\"><xsl:copy><xsl:apply-templates select=\"@*|node()\"/></xsl:copy>"
    "</xsl:template>\n</xsl:stylesheet>\n";

struct DtdCase {
  const char* name;
  // src.xml among them; main.xsl, when given, runs instead of the identity
  // stylesheet (and xmllint, which runs no stylesheet, is not asked).
  std::map<std::string, std::string> files;
  // Schema problems that must be warned about, each naming the file it is
  // in (empty: no warning at all).
  std::vector<std::pair<int, std::string>> warnings;
};

std::vector<DtdCase> Cases() {
  return {
      {"an element type declared twice keeps the declarations after it",
       {{"src.xml",
         "<!DOCTYPE doc [\n<!ELEMENT doc ANY>\n<!ELEMENT doc (#PCDATA)>\n<!ATTLIST doc a CDATA 'one'>\n"
         "<!ENTITY e 'text of e'>\n]>\n<doc>&e;</doc>\n"}},
       {{7512, "src.xml"}}},
      {"a default outside its enumeration is supplied, as are the defaults after it",
       {{"src.xml",
         "<!DOCTYPE doc [\n<!ATTLIST doc b (x|y) 'z'>\n<!ATTLIST doc c CDATA 'three'>\n<!ENTITY e 'ent'>\n]>\n"
         "<doc>&e;</doc>\n"}},
       {{7569, "src.xml"}}},
      {"an ID attribute with a default, then a second ID attribute",
       {{"src.xml",
         "<!DOCTYPE doc [\n<!ATTLIST doc i ID 'q'>\n<!ATTLIST doc j ID #IMPLIED>\n<!ATTLIST doc d CDATA 'four'>\n"
         "<!ELEMENT item EMPTY>\n<!ATTLIST item k CDATA 'kk'>\n]>\n<doc><item/></doc>\n"}},
       {{7527, "src.xml"}, {7526, "src.xml"}}},
      {"an undeclared notation does not end the walk",
       {{"src.xml",
         "<!DOCTYPE doc [\n<!ATTLIST doc n NOTATION (gif) #IMPLIED m CDATA 'mm'>\n<!ENTITY e 'ent'>\n]>\n"
         "<doc>&e;</doc>\n"}},
       {{7584, "src.xml"}}},
      {"the first declaration of an attribute and of an entity holds",
       {{"src.xml",
         "<!DOCTYPE doc [\n<!ELEMENT doc ANY>\n<!ELEMENT doc ANY>\n<!ATTLIST doc a CDATA 'first'>\n"
         "<!ENTITY e 'first'>\n<!ATTLIST doc a CDATA 'second' b CDATA 'b'>\n<!ENTITY e 'second'>\n]>\n"
         "<doc>&e;</doc>\n"}},
       {{7512, "src.xml"}}},
      {"a problem in the external subset is named by the subset's file",
       {{"doc.dtd", "<!ELEMENT doc ANY>\n<!ELEMENT doc EMPTY>\n<!ATTLIST doc z CDATA 'zz'>\n<!ENTITY e 'ent'>\n"},
        {"src.xml", "<!DOCTYPE doc SYSTEM \"doc.dtd\" [\n<!ATTLIST doc b (x|y) 'z'>\n]>\n<doc>&e;</doc>\n"}},
       {{7569, "src.xml"}, {7512, "doc.dtd"}}},
      {"values of every type but CDATA lose outer spaces and runs of spaces",
       {{"src.xml",
         "<!DOCTYPE doc [\n<!ATTLIST doc a1 NMTOKENS #IMPLIED a2 CDATA #IMPLIED a3 ID #IMPLIED a4 (x|y) #IMPLIED\n"
         "  a5 NMTOKEN #IMPLIED a6 IDREF #IMPLIED a7 IDREFS #IMPLIED a8 ENTITY #IMPLIED a9 ENTITIES #IMPLIED\n"
         "  d1 NMTOKENS ' p \t q\n ' d2 CDATA ' p \t q '>\n"
         "<!ATTLIST item n NOTATION (gif) #IMPLIED>\n<!NOTATION gif SYSTEM 'gif'>\n]>\n"
         "<doc a1=\" 1  \t2 \t\" a2=\" 1  \t2 \t\" a3=\"  i1 \" a4=\" x \" a5=\"\n t\n\" a6=\" i1\"\n"
         "  a7=\" i1   i1 \" a8=\" e \" a9=\"  e   f \" b=\" u  v&#9;w&#10; \"><item n=\" gif  \"/></doc>\n"}},
       {}},
      {"character references and entities in a tokenised value",
       {{"src.xml",
         "<!DOCTYPE doc [\n<!ATTLIST doc a1 NMTOKENS #IMPLIED a2 IDREFS #IMPLIED>\n<!ENTITY sp ' x  y '>\n]>\n"
         "<doc a1=\"&#9; a &#32; b&#10;\" a2=\"  &sp;  z  \"/>\n"}},
       {}},
      {"id() finds the values of ID and IDREFS attributes once normalised",
       {{"src.xml",
         "<!DOCTYPE doc [\n<!ATTLIST v id ID #IMPLIED r IDREFS #IMPLIED>\n]>\n"
         "<doc><v id=\"  a1 \" r=\" b1   a1 \"/><v id=\"b1\"/></doc>\n"},
        {"main.xsl",
         "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
         "<xsl:output method=\"text\"/>\n<xsl:template match=\"/\">[<xsl:value-of select=\"count(id('a1'))\"/>|"
         "<xsl:value-of select=\"count(id(//v/@r))\"/>|<xsl:value-of select=\"//v/@id\"/>|"
         "<xsl:value-of select=\"string-length(//v/@r)\"/>]</xsl:template>\n</xsl:stylesheet>\n"}},
       {}},
      {"CR LF and lone CR in external general entities read as LF",
       {{"crlf.txt", "Data\r\n"},
        {"cr.txt", "two\rlines\r\nend\r"},
        {"src.xml",
         "<!DOCTYPE doc [\n<!ENTITY e SYSTEM \"crlf.txt\">\n<!ENTITY f SYSTEM \"cr.txt\">\n]>\n"
         "<doc>&e;|&f;|<a>&e;</a></doc>\n"}},
       {}},
      {"CR LF in the external subset and in an external parameter entity read as LF",
       {{"doc.dtd", "<!ATTLIST doc x CDATA \"a\r\nb\rc\">\r\n<!ENTITY ie \"in\r\next\">\r\n"},
        {"decls.ent", "<!ATTLIST doc p CDATA \"p\r\nq\">\r\n<!ENTITY pe2 \"x\r\ny\r\">\r\n"},
        {"src.xml",
         "<!DOCTYPE doc SYSTEM \"doc.dtd\" [\n<!ENTITY % pe SYSTEM \"decls.ent\">\n%pe;\n]>\n"
         "<doc>&ie;|&pe2;</doc>\n"}},
       {}},
      {"an external parameter entity of text serves an entity value and a content model",
       {{"value.txt", "in\r\nside\r"},
        {"model.txt", "(#PCDATA|b)*"},
        {"doc.dtd",
         "<!ENTITY % v SYSTEM \"value.txt\">\n<!ENTITY g \"[%v;]\">\n<!ENTITY % p ' x '>\n<!ENTITY h \"[%p;]\">\n"
         "<!ENTITY % cm SYSTEM \"model.txt\">\n<!ELEMENT doc %cm;>\n<!ATTLIST b q CDATA 'qq'>\n"},
        {"src.xml", "<!DOCTYPE doc SYSTEM \"doc.dtd\">\n<doc>&g;|&h;<b/></doc>\n"}},
       {}},
      {"a document that document() loads has its external subset and its warnings",
       {{"doc.dtd", "<!ELEMENT doc ANY>\n<!ELEMENT doc EMPTY>\n<!ATTLIST doc z CDATA 'zz'>\n"},
        {"other.xml", "<!DOCTYPE doc SYSTEM \"doc.dtd\">\n<doc/>\n"},
        {"src.xml", "<src/>\n"},
        {"main.xsl",
         "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
         "<xsl:template match=\"/\"><xsl:copy-of select=\"document('other.xml')\"/></xsl:template>\n"
         "</xsl:stylesheet>\n"}},
       {{7512, "doc.dtd"}}},
  };
}

TEST(DtdProgramTest, ResultsEqualXsltprocAndXmllint) {
  if (std::system("xsltproc --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "xsltproc is not installed";
  bool haveXmllint = std::system("/usr/bin/xmllint --version >/dev/null 2>&1") == 0;
  for (const DtdCase& c : Cases()) {
    KTScratchFolder folder;
    for (const auto& [name, bytes] : c.files) folder.Write(name, bytes);
    folder.Write("id.xsl", kIdentity);
    bool ownSheet = c.files.count("main.xsl") != 0;
    std::string sheet = ownSheet ? "main.xsl" : "id.xsl";
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", sheet, "-xml", "src.xml", "-out", "ours.out"}, folder.Path());
    EXPECT_EQ(ours.status, 0) << c.name << ": " << ours.err;
    std::string result = KTWithoutDeclaration(folder.Read("ours.out"));
    KTProgramResult theirs =
        KTRunProgram("/usr/bin/xsltproc", {"-o", "theirs.out", sheet, "src.xml"}, folder.Path());
    ASSERT_EQ(theirs.status, 0) << c.name << ": " << theirs.err;
    EXPECT_EQ(result, KTWithoutDeclaration(folder.Read("theirs.out"))) << c.name;
    if (haveXmllint && !ownSheet) {
      KTProgramResult lint = KTRunProgram("/usr/bin/xmllint", {"--dtdattr", "--noent", "--dropdtd", "src.xml"}, folder.Path());
      EXPECT_EQ(result, KTWithoutDeclaration(lint.out)) << c.name << ": " << lint.err;
    }
    for (const auto& [id, file] : c.warnings) {
      std::string expected = "Warning: schema problem " + std::to_string(id) + " in " + folder.File(file) + ": ";
      EXPECT_NE(ours.err.find(expected), std::string::npos) << c.name << ": " << ours.err;
    }
    if (c.warnings.empty()) {
      EXPECT_EQ(ours.err.find("Warning"), std::string::npos) << c.name << ": " << ours.err;
    }
    EXPECT_EQ(ours.err.find("unnamed"), std::string::npos) << c.name << ": " << ours.err;
  }
}

// An external parameter entity of text holding a character XML does not
// allow is not well-formed: the document that uses it is refused (xsltproc
// stops there too), naming the entity and the place.
TEST(DtdProgramTest, TextEntityWithAForbiddenCharacterIsRefused) {
  KTScratchFolder folder;
  folder.Write("bad.txt", std::string("a\x01" "b"));
  folder.Write("doc.dtd", "<!ENTITY % v SYSTEM \"bad.txt\">\n<!ENTITY g \"[%v;]\">\n");
  folder.Write("src.xml", "<!DOCTYPE doc SYSTEM \"doc.dtd\">\n<doc>&g;</doc>\n");
  folder.Write("id.xsl", kIdentity);
  KTProgramResult ours =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "id.xsl", "-xml", "src.xml", "-out", "ours.out"}, folder.Path());
  EXPECT_NE(ours.status, 0) << ours.err;
  EXPECT_NE(ours.err.find("%v;"), std::string::npos) << ours.err;
  EXPECT_NE(ours.err.find(folder.File("bad.txt") + ", line 1, column 2"), std::string::npos) << ours.err;
  EXPECT_EQ(folder.Read("ours.out").find('\x01'), std::string::npos);
}

}  // namespace

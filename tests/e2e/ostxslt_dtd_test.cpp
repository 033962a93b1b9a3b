// End-to-end tests of what a DTD gives a source document, run by the
// program with an identity stylesheet and compared byte for byte with
// xsltproc and with `xmllint --dtdattr --noent`: declarations after one that
// breaks a validity constraint still supply their defaults and entities,
// attribute values are normalised by their declared type, and line ends of
// external parsed entities read as LF. A well-formedness error in any part of
// the DTD, or an external entity that cannot be read, refuses the document;
// an external subset that cannot be read is a plain warning.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

const char* const kIdentity = kKTIdentityStylesheet;

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
      {"a parameter entity that stands for an entity's whole definition, in an included section too",
       {{"doc.dtd",
         "<![ INCLUDE [\n<!ENTITY % d '\"&#60;!ENTITY e &#39;declared&#39;>\"'>\n<!ENTITY % m\n    %d;\n>\n%m;\n]]>\n"
         "<!ENTITY % lit '\"a literal\"'>\n<!ENTITY g %lit; >\n"},
        {"src.xml", "<!DOCTYPE doc SYSTEM \"doc.dtd\">\n<doc>&e;|&g;</doc>\n"}},
       {}},
      {"keyword entities holding INCLUDE and IGNORE between XML white space",
       {{"doc.dtd",
         "<!ENTITY % i '&#9; INCLUDE&#13;&#10;'>\n<!ENTITY % g \"\n IGNORE \t\">\n"
         "<![%i;[<!ATTLIST doc a CDATA 'included'>]]>\n<![%g;[<!ATTLIST doc b CDATA 'ignored'>]]>\n"
         "<!ATTLIST doc c CDATA 'after'>\n"},
        {"src.xml", "<!DOCTYPE doc SYSTEM \"doc.dtd\">\n<doc/>\n"}},
       {}},
      {"a percent sign in a system literal is a character, and the declarations after it are read",
       {{"doc.dtd", "<!NOTATION n SYSTEM \"50%\">\n<!ENTITY % p PUBLIC \"-//x//y%z//EN\" \"p%.ent\">\n"
                    "<!ATTLIST doc a CDATA \"after\">\n"},
        {"src.xml", "<!DOCTYPE doc SYSTEM \"doc.dtd\">\n<doc/>\n"}},
       {}},
      {"references to entities with empty text leave no text node behind",
       {{"src.xml",
         "<!DOCTYPE doc [\n<!ENTITY empty ''>\n<!ENTITY e2 '&empty;'>\n]>\n"
         "<doc><a>&empty;</a><b>x&empty;</b><c>&e2;&empty;</c><d><f/>&empty;<f/></d><g>&empty; </g></doc>\n"},
        {"main.xsl",
         "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
         "<xsl:output method=\"text\"/>\n<xsl:template match=\"/\"><xsl:for-each select=\"doc/*\">"
         "<xsl:value-of select=\"concat(name(), ':', count(node()), ':', count(text()), ':', "
         "count(*[last()]/preceding-sibling::node()), ';')\"/></xsl:for-each></xsl:template>\n"
         "</xsl:stylesheet>\n"}},
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
      // Whether a document declares anything is judged per document: one
      // without a DTD between two whose DTDs hold attribute lists only (and
      // no element type) takes no defaults, and those after it still do.
      {"documents loaded one after another each take their own DTD's defaults and IDs",
       {{"a.xml",
         "<!DOCTYPE a [\n<!ATTLIST g id ID #IMPLIED k CDATA \"ka\" f CDATA #FIXED \"fa\">\n]>\n"
         "<a><g id=\"x1\">one</g><g id=\"x2\"/></a>\n"},
        {"b.xml", "<b><g id=\"x1\">two</g><g/></b>\n"},
        {"c.dtd", "<!ATTLIST g id ID #IMPLIED k CDATA \"kc\">\n<!ENTITY t \"three\">\n"},
        {"c.xml", "<!DOCTYPE c SYSTEM \"c.dtd\">\n<c><g id=\"x2\">&t;</g><g/></c>\n"},
        {"src.xml", "<r><g id=\"x1\"/></r>\n"},
        {"main.xsl",
         "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
         "<xsl:output method=\"text\"/>\n<xsl:template match=\"/\">\n"
         "<xsl:for-each select=\"/ | document('a.xml') | document('b.xml') | document('c.xml')\">\n"
         "<xsl:value-of select=\"name(*)\"/>:<xsl:for-each select=\"//g\"><xsl:value-of select=\".\"/>["
         "<xsl:for-each select=\"@*\"><xsl:value-of select=\"concat(name(), '=', ., ' ')\"/></xsl:for-each>]"
         "</xsl:for-each> id:<xsl:value-of select=\"count(id('x1 x2'))\"/>\n</xsl:for-each>\n"
         "</xsl:template>\n</xsl:stylesheet>\n"}},
       {}},
      // A stylesheet's own DTD counts too: a defaulted xml:space keeps the
      // lone white space under the element, an entity of white space stands
      // as white space written out (XSLT 1.0 §3.4).
      {"a stylesheet whose DTD only defaults xml:space keeps the white space it preserves",
       {{"src.xml", "<r/>\n"},
        {"main.xsl",
         "<!DOCTYPE xsl:stylesheet [\n<!ATTLIST out xml:space (default|preserve) \"preserve\">\n"
         "<!ENTITY sp \" \">\n]>\n"
         "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
         "<xsl:template match=\"/\">\n <out>\n  <a> </a> <b>&sp;</b>\n </out>\n"
         " <other> <c> </c> <d>&sp;</d> </other>\n</xsl:template>\n</xsl:stylesheet>\n"}},
       {}},
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
      // One line names the file of the declaration (with its line and
      // column when the file's text is at hand) and ends with the number.
      const std::string start = "Warning: " + folder.File(file), end = " [" + std::to_string(id) + "]\n";
      bool found = false;
      for (size_t at = ours.err.find(start); at != std::string::npos && !found; at = ours.err.find(start, at + 1)) {
        std::string line = ours.err.substr(at, ours.err.find('\n', at) + 1 - at);
        found = line.size() > end.size() && line.compare(line.size() - end.size(), end.size(), end) == 0 &&
                (line[start.size()] == ':' || line.compare(start.size(), 7, ", line ") == 0);
      }
      EXPECT_TRUE(found) << c.name << ": " << ours.err;
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

struct FatalCase {
  const char* name;
  std::map<std::string, std::string> files;  // src.xml among them
  // Where the fault is: the file, line and column the message must name.
  const char* place;
  // xmllint's options that make it read what the fault is in.
  std::vector<std::string> lint;
};

// Each document has one well-formedness error in its external subset or in
// an external entity it uses (XML 1.0 §5.1: fatal); xmllint, computed here,
// refuses it as well.
std::vector<FatalCase> FatalCases() {
  const std::vector<std::string> loadDtd = {"--noout", "--loaddtd", "src.xml"};
  const std::string doctype = "<!DOCTYPE doc SYSTEM \"doc.dtd\">\n<doc/>\n";
  return {
      {"a conditional section that is not closed",
       {{"doc.dtd", "<!ELEMENT doc ANY>\n<![ INCLUDE [ <!ELEMENT a ANY>\n"}, {"src.xml", doctype}},
       "doc.dtd, line 3, column 1",
       loadDtd},
      {"a conditional section whose keyword is neither INCLUDE nor IGNORE",
       {{"doc.dtd", "<!ELEMENT doc ANY>\n  <![ INCLUDES [ <!ELEMENT a ANY> ]]>\n"}, {"src.xml", doctype}},
       "doc.dtd, line 2, column 3",
       loadDtd},
      {"a conditional section whose keyword entity is neither INCLUDE nor IGNORE",
       {{"doc.dtd", "<!ENTITY % k 'MAYBE'>\n<![%k;[ <!ELEMENT a ANY> ]]>\n"}, {"src.xml", doctype}},
       "doc.dtd, line 2, column 1",
       loadDtd},
      // Only XML white space may stand around the keyword in the entity's
      // value: an ideographic or em space is part of the keyword.
      {"a conditional section whose keyword entity holds INCLUDE after an ideographic space",
       {{"doc.dtd", "<!ENTITY % k '&#x3000;INCLUDE'>\n<![%k;[ <!ELEMENT a ANY> ]]>\n"}, {"src.xml", doctype}},
       "doc.dtd, line 2, column 1",
       loadDtd},
      {"a conditional section whose keyword entity holds IGNORE before an em space",
       {{"doc.dtd", "<!ENTITY % k 'IGNORE\xE2\x80\x83'>\n<![%k;[ <!ELEMENT a ANY> ]]>\n"}, {"src.xml", doctype}},
       "doc.dtd, line 2, column 1",
       loadDtd},
      {"a text declaration without an encoding in the external subset",
       {{"doc.dtd", "<?xml version=\"1.0\"?>\n<!ELEMENT doc ANY>\n"}, {"src.xml", doctype}},
       "doc.dtd, line 1, column 20",
       loadDtd},
      {"a text declaration that is not at the start of the external subset",
       {{"doc.dtd", "<!ELEMENT doc ANY>\n<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"}, {"src.xml", doctype}},
       "doc.dtd, line 2, column 3",
       loadDtd},
      {"a text declaration without an encoding in an external parameter entity",
       {{"decls.ent", "<?xml version='1.0'?>\n<!ELEMENT a ANY>\n"},
        {"doc.dtd", "<!ENTITY % decls SYSTEM \"decls.ent\">\n%decls;\n"},
        {"src.xml", doctype}},
       "decls.ent, line 1, column 20",
       loadDtd},
      {"a declaration begun in one parameter entity and ended in the next",
       {{"a.ent", "<!ELEMENT doc"},
        {"b.ent", " ANY>"},
        {"doc.dtd", "<!ENTITY % a SYSTEM \"a.ent\">\n<!ENTITY % b SYSTEM \"b.ent\">\n%a;%b;\n"},
        {"src.xml", doctype}},
       "a.ent, line 1, column 14",
       loadDtd},
      {"a declaration begun in a parameter entity and ended in the external subset",
       {{"a.ent", "<!ELEMENT doc"}, {"doc.dtd", "<!ENTITY % a SYSTEM \"a.ent\">\n%a; ANY>\n"}, {"src.xml", doctype}},
       "doc.dtd, line 2, column 5",
       loadDtd},
      {"a conditional section begun in a parameter entity and never closed there",
       {{"c.ent", "<![ INCLUDE [\n<!ELEMENT doc ANY>\n"},
        {"doc.dtd", "<!ENTITY % c SYSTEM \"c.ent\">\n%c;\n]]>\n"},
        {"src.xml", doctype}},
       "doc.dtd, line 3, column 1",
       loadDtd},
      {"a parameter-entity reference without its semicolon",
       {{"doc.dtd", "<!ENTITY % p \"<!ELEMENT a ANY>\">\n%p\n<!ELEMENT doc ANY>\n"}, {"src.xml", doctype}},
       "doc.dtd, line 2, column 3",
       loadDtd},
      {"a parameter-entity reference with a blank after the percent sign",
       {{"doc.dtd", "<!ENTITY % p \"<!ELEMENT a ANY>\">\n% p;\n"}, {"src.xml", doctype}},
       "doc.dtd, line 2, column 2",
       loadDtd},
      {"a parameter entity that includes itself",
       {{"self.ent", "<!ELEMENT a ANY>\n%self;\n"},
        {"doc.dtd", "<!ENTITY % self SYSTEM \"self.ent\">\n%self;\n"},
        {"src.xml", doctype}},
       "self.ent, line 2, column 1",
       loadDtd},
      {"an external parameter entity holding a character XML does not allow",
       {{"bad.ent", std::string("<!ELEMENT a ANY>\n<!-- \x01 -->\n")},
        {"doc.dtd", "<!ENTITY % bad SYSTEM \"bad.ent\">\n%bad;\n"},
        {"src.xml", doctype}},
       "bad.ent, line 2, column 6",
       loadDtd},
      {"a content model that a parameter entity leaves open",
       {{"doc.dtd", "<!ENTITY % cm \"(a|\">\n<!ELEMENT doc %cm;>\n"}, {"src.xml", doctype}},
       "doc.dtd, line 2, column 1",
       loadDtd},
      // Columns count UTF-16 units: the character past U+FFFF counts two.
      {"a content model left open, after CR LF, a tab and a character past U+FFFF",
       {{"doc.dtd", "<!ENTITY % cm \"(a|\">\r\n\t<!--\xF0\x9F\x98\x80--><!ELEMENT doc %cm;>\r\n"}, {"src.xml", doctype}},
       "doc.dtd, line 2, column 11",
       loadDtd},
      {"a content model read from an external parameter entity that leaves it open",
       {{"model.txt", "(#PCDATA|b"},
        {"doc.dtd", "<!ENTITY % cm SYSTEM \"model.txt\">\n<!ELEMENT doc %cm;>\n"},
        {"src.xml", doctype}},
       "doc.dtd, line 2, column 1",
       loadDtd},
      {"an attribute default that a parameter entity makes malformed",
       {{"doc.dtd", "<!ELEMENT doc ANY>\n<!ENTITY % t \"CDATA #BOGUS\">\n<!ATTLIST doc a %t;>\n"}, {"src.xml", doctype}},
       "doc.dtd, line 3, column 1",
       loadDtd},
      {"an external general entity whose elements do not nest",
       {{"part.ent", "<a>\n<b></a>\n"}, {"src.xml", "<!DOCTYPE doc [<!ENTITY part SYSTEM \"part.ent\">]>\n<doc>&part;</doc>\n"}},
       "part.ent, line 2, column 6",
       {"--noout", "--noent", "src.xml"}},
      {"an external general entity whose text declaration has no encoding",
       {{"part.ent", "<?xml version='1.0'?><a/>"},
        {"src.xml", "<!DOCTYPE doc [<!ENTITY part SYSTEM \"part.ent\">]>\n<doc>&part;</doc>\n"}},
       "part.ent, line 1, column 20",
       {"--noout", "--noent", "src.xml"}},
  };
}

TEST(DtdProgramTest, WellFormednessErrorsInTheDtdAndEntitiesAreFatal) {
  bool haveXmllint = std::system("/usr/bin/xmllint --version >/dev/null 2>&1") == 0;
  for (const FatalCase& c : FatalCases()) {
    KTScratchFolder folder;
    for (const auto& [name, bytes] : c.files) folder.Write(name, bytes);
    folder.Write("id.xsl", kIdentity);
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "id.xsl", "-xml", "src.xml", "-out", "ours.out"}, folder.Path());
    EXPECT_NE(ours.status, 0) << c.name << ": " << ours.err;
    EXPECT_NE(ours.err.find("Failed to load " + folder.File("src.xml")), std::string::npos) << c.name << ": " << ours.err;
    EXPECT_NE(ours.err.find(folder.File(c.place)), std::string::npos) << c.name << ": " << ours.err;
    EXPECT_EQ(ours.err.find("Warning"), std::string::npos) << c.name << ": " << ours.err;
    EXPECT_FALSE(folder.Exists("ours.out")) << c.name;
    if (haveXmllint) {
      KTProgramResult lint = KTRunProgram("/usr/bin/xmllint", c.lint, folder.Path());
      EXPECT_NE(lint.status, 0) << c.name << ": xmllint accepts it";
    }
  }
}

// A named pipe given as the stylesheet is refused without being opened: a
// writer waiting on it stays waiting, and gets the whole text to whoever
// reads the pipe next.
TEST(DtdProgramTest, AStylesheetPipeIsLeftToItsWriter) {
  KTScratchFolder folder;
  const std::string pipe = folder.File("sheet.xsl");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0) << std::strerror(errno);
  folder.Write("src.xml", "<doc/>\n");
  const std::string text(kIdentity);
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    // Blocks until a reader opens the pipe.
    const int fd = ::open(pipe.c_str(), O_WRONLY);
    const bool all = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    _exit(all ? 0 : 1);
  }
  KTProgramResult ours =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "sheet.xsl", "-xml", "src.xml", "-out", "ours.out"}, folder.Path());
  EXPECT_NE(ours.status, 0);
  EXPECT_NE(ours.err.find("Not a regular file: a named pipe"), std::string::npos) << ours.err;
  // Had the run opened the pipe, the writer would have been let go and its
  // write broken. It still waits: this reader lets it go, it writes the
  // text into the pipe and ends, and the text is read back.
  const int fd = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  int status = 0;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  std::string got;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;
  EXPECT_EQ(got, text);
}

// An external parsed entity that is referenced and cannot be read refuses
// the document at once, naming the entity: a named pipe or a device is never
// opened for reading (the harness's timeout fails a run that would block).
TEST(DtdProgramTest, UnreadableExternalEntitiesAreRefusedAtOnce) {
  KTScratchFolder folder;
  ASSERT_EQ(mkfifo(folder.File("pipe.ent").c_str(), 0600), 0) << std::strerror(errno);
  folder.Write("dir/keep", "");
  folder.Write("id.xsl", kIdentity);
  const std::string pipeUrl = "file://" + folder.File("pipe.ent");
  struct Case {
    std::string system;
    std::string reason;
  } cases[] = {
      {"missing.ent", "cannot be read: no such file or directory"},
      {"dir", "cannot be read: is a directory"},
      {"pipe.ent", "cannot be read: not a regular file: a named pipe"},
      {"/dev/zero", "cannot be read: not a regular file: a character device"},
      // A file URL names the same files and is refused the same way.
      {pipeUrl, "cannot be read: the URL \"" + pipeUrl + "\" could not be opened: " + folder.File("pipe.ent") +
                    ": not a regular file: a named pipe (FIFO)"},
      {"file://localhost/dev/zero", "cannot be read: the URL \"file://localhost/dev/zero\" could not be opened: "
                                    "/dev/zero: not a regular file: a character device"},
  };
  for (const Case& c : cases) {
    folder.Write("src.xml", "<!DOCTYPE doc [<!ENTITY e SYSTEM \"" + c.system + "\">]>\n<doc>&e;</doc>\n");
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "id.xsl", "-xml", "src.xml", "-out", "ours.out"}, folder.Path());
    EXPECT_NE(ours.status, 0) << c.system << ": " << ours.err;
    std::string expected = "&e; (\"" + c.system + "\") " + c.reason;
    EXPECT_NE(ours.err.find(expected), std::string::npos) << c.system << ": " << ours.err;
    EXPECT_FALSE(folder.Exists("ours.out")) << c.system;
  }
  // The same for the documents named on the command line.
  for (const char* source : {"pipe.ent", "dir"}) {
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "id.xsl", "-xml", source, "-out", "ours.out"}, folder.Path());
    EXPECT_NE(ours.status, 0) << source;
    EXPECT_NE(ours.err.find("Failed to load " + folder.File(source)), std::string::npos) << ours.err;
  }
  KTProgramResult url =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "id.xsl", "-xml", pipeUrl, "-out", "ours.out"}, folder.Path());
  EXPECT_NE(url.status, 0);
  EXPECT_NE(url.err.find("Failed to load " + pipeUrl + "\n"), std::string::npos) << url.err;
  EXPECT_NE(url.err.find("not a regular file: a named pipe (FIFO)"), std::string::npos) << url.err;
  KTProgramResult sheet =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "pipe.ent", "-xml", "id.xsl", "-out", "ours.out"}, folder.Path());
  EXPECT_NE(sheet.status, 0);
  EXPECT_NE(sheet.err.find("a named pipe"), std::string::npos) << sheet.err;
}

// An external subset that cannot be read is a warning in plain words: the
// subset as written, the document that declares it and why. References
// left unexpanded because of it get one warning per document.
TEST(DtdProgramTest, UnreadableExternalSubsetIsAPlainWarning) {
  KTScratchFolder folder;
  folder.Write("id.xsl", kIdentity);
  folder.Write("src.xml",
               "<!DOCTYPE doc SYSTEM \"../common/entities.ent\" [<!ENTITY here 'H'>]>\n"
               "<doc>&here;&nbsp;&copy;&nbsp;</doc>\n");
  KTProgramResult ours =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "id.xsl", "-xml", "src.xml", "-out", "ours.out"}, folder.Path());
  EXPECT_EQ(ours.status, 0) << ours.err;
  const std::string document = folder.File("src.xml");
  EXPECT_NE(ours.err.find("Warning: could not read the external DTD subset \"../common/entities.ent\" declared in " +
                          document + ": no such file or directory"),
            std::string::npos)
      << ours.err;
  const std::string unexpanded = "Warning: the entity reference &nbsp; in " + document + " is left as written";
  size_t at = ours.err.find(unexpanded);
  EXPECT_NE(at, std::string::npos) << ours.err;
  EXPECT_NE(ours.err.find("\"../common/entities.ent\", which could not be read", at), std::string::npos) << ours.err;
  // One such warning for the document, whatever the number of references.
  EXPECT_EQ(ours.err.find("left as written", at + unexpanded.size()), std::string::npos) << ours.err;
  EXPECT_EQ(ours.err.find("schema problem"), std::string::npos) << ours.err;
  // The internal subset was read; the other references stay as written, as
  // text.
  EXPECT_EQ(KTWithoutDeclaration(folder.Read("ours.out")), "<doc>H&amp;nbsp;&amp;copy;&amp;nbsp;</doc>\n");
}


// A conditional section whose keyword is declared after it is read on the
// second pass, once the parameter entities read on the first are dropped.
// The external entity it includes loads only then, and its own section is
// read in the grammar of external declarations (where a parameter entity
// may stand for an entity value), however many dropped entities of the
// internal subset came before it. The result is xsltproc's for the same
// declarations in reading order.
TEST(DtdProgramTest, EntityLoadedOnTheSecondPassKeepsItsOwnGrammar) {
  if (std::system("xsltproc --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "xsltproc is not installed";
  for (int count = 0; count <= 8; ++count) {
    std::string internal;
    std::string uses;
    for (int i = 0; i < count; ++i) {
      const std::string n = std::to_string(i);
      internal += "<!ENTITY % a" + n + " \"<!ATTLIST r x" + n + " CDATA 'v'>\">";
      uses += "%a" + n + ";\n";
    }
    KTScratchFolder folder;
    folder.Write("e.ent",
                 "<!ENTITY % v '\"in section\"'>\n<![INCLUDE[ <!ENTITY g %v;> <!ATTLIST r b CDATA '&g;'> ]]>\n"
                 "<!ATTLIST r c CDATA 'after'>\n");
    folder.Write("late.dtd", "<![%kw;[ %ext; ]]>\n<!ENTITY % kw \"INCLUDE\">\n<!ENTITY % ext SYSTEM \"e.ent\">\n" + uses);
    folder.Write("inorder.dtd",
                 "<!ENTITY % kw \"INCLUDE\">\n<!ENTITY % ext SYSTEM \"e.ent\">\n<![%kw;[ %ext; ]]>\n" + uses);
    folder.Write("src.xml", "<!DOCTYPE r SYSTEM \"late.dtd\" [" + internal + "]>\n<r/>\n");
    folder.Write("inorder.xml", "<!DOCTYPE r SYSTEM \"inorder.dtd\" [" + internal + "]>\n<r/>\n");
    folder.Write("id.xsl", kIdentity);
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "id.xsl", "-xml", "src.xml", "-out", "ours.out"}, folder.Path());
    EXPECT_EQ(ours.status, 0) << count << " entities: " << ours.err;
    KTProgramResult theirs =
        KTRunProgram("/usr/bin/xsltproc", {"-o", "theirs.out", "id.xsl", "inorder.xml"}, folder.Path());
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(KTWithoutDeclaration(folder.Read("ours.out")), KTWithoutDeclaration(folder.Read("theirs.out")))
        << count << " entities";
  }
}

}  // namespace

// End-to-end tests of whitespace in source documents and stylesheets, run by
// the program and compared exactly with xsltproc (XSLT 1.0 §3.4 allows one
// result): source text is kept unless xsl:strip-space names its parent,
// xsl:preserve-space and import precedence settle conflicts, xml:space
// protects a subtree in sources and stylesheets, documents that document()
// loads follow the same rules, and position(), last(), count(), key() and
// id() see the nodes that remain.
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

const char* const kHead = "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n";
const char* const kTail = "</xsl:stylesheet>\n";

std::string Sheet(const std::string& body) { return kHead + body + kTail; }

// A text stylesheet whose root template is `body`, after the top-level
// declarations `top`.
std::string TextSheet(const std::string& top, const std::string& body) {
  return Sheet(top + "<xsl:output method=\"text\"/>\n<xsl:template match=\"/\">" + body + "</xsl:template>\n");
}

// Every text node of the source in brackets, with its parent's name, so that
// a kept or lost whitespace node shows.
const char* const kTextDump =
    "<xsl:for-each select=\"//text()\">[<xsl:value-of select=\"name(..)\"/>:<xsl:value-of select=\".\"/>]"
    "</xsl:for-each>";

const char* const kMixed = "<doc>\n  <p>Press <b>Ctrl</b> <b>C</b> to copy.</p>\n  <list>\n    <i>1</i>\n    <i>2</i>\n"
                           "  </list>\n</doc>\n";

const char* const kNamespaced =
    "<doc xmlns:p=\"urn:p\" xmlns:q=\"urn:p\" xmlns:o=\"urn:o\">\n <p:a> <b> </b> </p:a>\n <q:c> </q:c>\n"
    " <o:a> </o:a>\n <a> </a>\n</doc>\n";

const char* const kSpaced =
    "<doc xml:space=\"preserve\">\n <keep> <x/> </keep>\n <inner xml:space=\"default\"> <y> </y> "
    "<again xml:space=\"preserve\"> </again> </inner>\n <odd xml:space=\"other\"> </odd>\n</doc>\n";

struct WhitespaceCase {
  const char* name;
  std::map<std::string, std::string> files;  // main.xsl and src.xml among them
};

std::vector<WhitespaceCase> Cases() {
  return {
      {"mixed content keeps the space between elements",
       {{"src.xml", kMixed},
        {"main.xsl", TextSheet("", "<xsl:value-of select=\"doc/p\"/>|<xsl:value-of select=\"count(doc/list/node())\"/>|"
                                   "<xsl:value-of select=\"count(//text())\"/>")}}},
      {"copying a document keeps its layout",
       {{"src.xml", kMixed}, {"main.xsl", Sheet("<xsl:template match=\"/\"><xsl:copy-of select=\"/\"/></xsl:template>\n")}}},
      {"the identity transform keeps its layout",
       {{"src.xml", kMixed},
        {"main.xsl", Sheet("<xsl:template match=\"@*|node()\"><xsl:copy><xsl:apply-templates select=\"@*|node()\"/>"
                           "</xsl:copy></xsl:template>\n")}}},
      {"strip-space * with preserve-space for some names",
       {{"src.xml", kMixed},
        {"main.xsl", TextSheet("<xsl:strip-space elements=\"*\"/>\n<xsl:preserve-space elements=\"p list\"/>\n",
                               kTextDump)}}},
      {"strip-space for one name only",
       {{"src.xml", kMixed}, {"main.xsl", TextSheet("<xsl:strip-space elements=\"list doc\"/>\n", kTextDump)}}},
      {"prefix:* tests the namespace, not the prefix",
       {{"src.xml", kNamespaced},
        {"main.xsl", TextSheet("<xsl:strip-space xmlns:n=\"urn:p\" elements=\"n:*\"/>\n", kTextDump)}}},
      {"a QName test beats prefix:*, which beats *",
       {{"src.xml", kNamespaced},
        {"main.xsl", TextSheet("<xsl:preserve-space xmlns:n=\"urn:p\" elements=\"n:a a\"/>\n"
                               "<xsl:strip-space xmlns:n=\"urn:p\" elements=\"n:* *\"/>\n"
                               "<xsl:preserve-space xmlns:n=\"urn:o\" elements=\"n:*\"/>\n",
                               kTextDump)}}},
      {"the importing stylesheet wins over its import",
       {{"src.xml", kMixed},
        {"imp.xsl", Sheet("<xsl:strip-space elements=\"list p doc\"/>\n")},
        {"main.xsl", TextSheet("<xsl:import href=\"imp.xsl\"/>\n<xsl:preserve-space elements=\"*\"/>\n", kTextDump)}}},
      {"an import's QName loses to the importer's *",
       {{"src.xml", kMixed},
        {"imp.xsl", Sheet("<xsl:preserve-space elements=\"list\"/>\n")},
        {"main.xsl", TextSheet("<xsl:import href=\"imp.xsl\"/>\n<xsl:strip-space elements=\"*\"/>\n", kTextDump)}}},
      {"a later import wins over an earlier one, an import of an import loses",
       {{"src.xml", kMixed},
        {"deep.xsl", Sheet("<xsl:strip-space elements=\"doc\"/>\n")},
        {"one.xsl", Sheet("<xsl:import href=\"deep.xsl\"/>\n<xsl:strip-space elements=\"list\"/>\n")},
        {"two.xsl", Sheet("<xsl:preserve-space elements=\"list doc\"/>\n")},
        {"main.xsl", TextSheet("<xsl:import href=\"one.xsl\"/>\n<xsl:import href=\"two.xsl\"/>\n", kTextDump)}}},
      {"a module imported twice ranks at its later place",
       {{"src.xml", kMixed},
        {"strip.xsl", Sheet("<xsl:strip-space elements=\"list\"/>\n")},
        {"keep.xsl", Sheet("<xsl:preserve-space elements=\"list\"/>\n")},
        {"main.xsl", TextSheet("<xsl:import href=\"keep.xsl\"/>\n<xsl:import href=\"strip.xsl\"/>\n"
                               "<xsl:import href=\"keep.xsl\"/>\n",
                               kTextDump)}}},
      {"an included stylesheet's declarations count as the includer's",
       {{"src.xml", kMixed},
        {"inc.xsl", Sheet("<xsl:strip-space elements=\"*\"/>\n")},
        {"main.xsl", TextSheet("<xsl:include href=\"inc.xsl\"/>\n", kTextDump)}}},
      {"documents loaded by document() follow the same rules",
       {{"src.xml", "<doc/>\n"},
        {"other.xml", kMixed},
        {"main.xsl", TextSheet("<xsl:strip-space elements=\"list\"/>\n",
                               "<xsl:for-each select=\"document('other.xml')//text()\">[<xsl:value-of select=\".\"/>]"
                               "</xsl:for-each>|<xsl:value-of select=\"count(document('other.xml')/doc/node())\"/>")}}},
      {"document('', node) names the node's own document",
       {{"src.xml", kMixed},
        {"main.xsl", TextSheet("", "<xsl:value-of select=\"name(document('', /)/*)\"/>|"
                                   "<xsl:value-of select=\"count(document('', /)//text())\"/>")}}},
      {"document('') keeps the stylesheet's text",
       {{"src.xml", "<doc/>\n"},
        {"main.xsl", TextSheet("", "<xsl:value-of select=\"count(document('')/*/node())\"/>")}}},
      {"xml:space preserve on a literal result element of the stylesheet",
       {{"src.xml", "<doc><a>x</a></doc>\n"},
        {"main.xsl", Sheet("<xsl:template match=\"/\"><r><p xml:space=\"preserve\"> <xsl:value-of select=\"doc/a\"/> "
                           "<q xml:space=\"default\"> </q> </p> <s> </s></r></xsl:template>\n")}}},
      {"xsl:text keeps its whitespace, other stylesheet whitespace goes",
       {{"src.xml", "<doc><a>x</a><a>y</a></doc>\n"},
        {"main.xsl", TextSheet("", "\n  <xsl:for-each select=\"doc/a\">\n    <xsl:value-of select=\".\"/>\n"
                                   "    <xsl:text> , </xsl:text>\n  </xsl:for-each>\n")}}},
      {"position(), last() and count(node()) over mixed children",
       {{"src.xml", kMixed},
        {"main.xsl", TextSheet("", "<xsl:for-each select=\"doc/list/node()\">"
                                   "<xsl:value-of select=\"position()\"/>/<xsl:value-of select=\"last()\"/>,"
                                   "</xsl:for-each>|<xsl:apply-templates select=\"doc/p/node()[last()]\"/>|"
                                   "<xsl:value-of select=\"count(doc/p/node())\"/>")}}},
      {"key() and id() on values of whitespace",
       {{"src.xml",
         "<!DOCTYPE doc [<!ATTLIST v id ID #IMPLIED>]>\n<doc>\n <v id=\"a\"> </v>\n <v id=\"b\">\n</v>\n"
         " <v id=\"c\">x</v>\n <ref>a \n c </ref>\n</doc>\n"},
        {"main.xsl",
         TextSheet("<xsl:key name=\"k\" match=\"v\" use=\".\"/>\n",
                   "<xsl:value-of select=\"count(key('k', ' '))\"/>,<xsl:value-of select=\"count(key('k', '&#10;'))\"/>,"
                   "<xsl:value-of select=\"count(key('k', ''))\"/>,<xsl:for-each select=\"id(doc/ref)\">"
                   "<xsl:value-of select=\"@id\"/></xsl:for-each>,<xsl:value-of select=\"count(id(doc/v))\"/>")}}},
      // Character data that meets other character data is one text node
      // (XPath 1.0 §5.7); the view tells the strip when none meets.
      {"CDATA sections join the texts beside them",
       {{"src.xml", "<doc>a<![CDATA[b]]>c<e><![CDATA[only]]></e><f>x<![CDATA[]]>y</f><g><![CDATA[1]]><![CDATA[2]]></g>"
                    "</doc>\n"},
        {"main.xsl", TextSheet("", std::string(kTextDump) + "|<xsl:value-of select=\"count(//node())\"/>")}}},
      {"entity texts join the texts beside them",
       {{"src.xml", "<!DOCTYPE doc [<!ENTITY t 'mid'><!ENTITY m '<i>in</i>tail'>]>\n"
                    "<doc>a&t;b<e>&t;</e><f>&m;after</f><g>&t;&t;</g></doc>\n"},
        {"main.xsl", TextSheet("", std::string(kTextDump) + "|<xsl:value-of select=\"count(//node())\"/>")}}},
      {"texts apart stay apart",
       {{"src.xml", "<doc>a<!--c-->b<?p x?>c<e/>d<e>e</e></doc>\n"},
        {"main.xsl", TextSheet("", std::string(kTextDump) + "|<xsl:value-of select=\"count(//node())\"/>")}}},
      {"a document loaded by document() joins its CDATA sections",
       {{"src.xml", "<doc/>\n"},
        {"other.xml", "<doc>a<![CDATA[b]]>c</doc>\n"},
        {"main.xsl", TextSheet("", "<xsl:for-each select=\"document('other.xml')//text()\">[<xsl:value-of select=\".\"/>]"
                                   "</xsl:for-each>")}}},
      {"key() after strip-space sees the stripped nodes",
       {{"src.xml", "<doc>\n <v> </v>\n <v>x</v>\n</doc>\n"},
        {"main.xsl", TextSheet("<xsl:strip-space elements=\"v\"/>\n<xsl:key name=\"k\" match=\"v\" use=\"count(node())\"/>\n",
                               "<xsl:value-of select=\"count(key('k', 0))\"/>,<xsl:value-of select=\"count(key('k', 1))\"/>")}}},
  };
}

TEST(WhitespaceProgramTest, ResultsEqualXsltproc) {
  if (std::system("xsltproc --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "xsltproc is not installed";
  std::vector<WhitespaceCase> cases = Cases();
  // Modules that import the next one twice, twelve levels deep, then one
  // whose declaration must still count: the walk that collects the
  // declarations reads each module once, not once per path to it.
  WhitespaceCase doubling{"modules imported twice at each level", {{"src.xml", kMixed}}};
  for (int level = 0; level < 12; ++level) {
    std::string next = "m" + std::to_string(level + 1) + ".xsl";
    doubling.files["m" + std::to_string(level) + ".xsl"] =
        Sheet("<xsl:import href=\"" + next + "\"/>\n<xsl:import href=\"" + next + "\"/>\n");
  }
  doubling.files["m12.xsl"] = Sheet("<xsl:preserve-space elements=\"list doc\"/>\n<xsl:strip-space elements=\"p\"/>\n");
  doubling.files["last.xsl"] = Sheet("<xsl:strip-space elements=\"list\"/>\n");
  doubling.files["main.xsl"] =
      TextSheet("<xsl:import href=\"m0.xsl\"/>\n<xsl:import href=\"last.xsl\"/>\n", kTextDump);
  cases.push_back(std::move(doubling));
  // An included module's literal texts of one to nineteen units of spaces,
  // tabs and line feeds, each whitespace-only or with one other character
  // at any place (judged eight units at a time as the module is wrapped):
  // only the whitespace-only ones go.
  std::string literals;
  for (int length = 1; length < 20; ++length) {
    for (int other = -1; other < length; ++other) {
      std::string text;
      for (int i = 0; i < length; ++i) text += i == other ? (other % 2 ? "x" : "&#160;") : std::string(1, " \t\n"[i % 3]);
      literals += "<t>" + text + "</t>";
    }
  }
  WhitespaceCase module{"an included module's indenting texts",
                        {{"src.xml", kMixed},
                         {"m.xsl", Sheet("<xsl:template name=\"m\">" + literals + "</xsl:template>\n")},
                         {"main.xsl", Sheet("<xsl:include href=\"m.xsl\"/>\n<xsl:template match=\"/\"><r>"
                                            "<xsl:call-template name=\"m\"/></r></xsl:template>\n")}}};
  cases.push_back(std::move(module));
  for (const WhitespaceCase& c : cases) {
    KTScratchFolder folder;
    for (const auto& [name, bytes] : c.files) folder.Write(name, bytes);
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "main.xsl", "-xml", "src.xml", "-out", "ours.out"}, folder.Path());
    EXPECT_EQ(ours.status, 0) << c.name << ": " << ours.err;
    KTProgramResult theirs =
        KTRunProgram("/usr/bin/xsltproc", {"-o", "theirs.out", "main.xsl", "src.xml"}, folder.Path());
    ASSERT_EQ(theirs.status, 0) << c.name << ": " << theirs.err;
    EXPECT_EQ(KTWithoutDeclaration(folder.Read("ours.out")), KTWithoutDeclaration(folder.Read("theirs.out"))) << c.name;
  }
}

// Where the installed xsltproc departs from XSLT 1.0 and XPath 1.0, the
// results those recommendations require: xsltproc lets xsl:strip-space win
// over xml:space="preserve" (§3.4 keeps such text), lets the first of two
// conflicting declarations of equal rank win (the recovery §3.4 allows is
// the last), and drops the first token of an id() argument that starts with
// white space (XPath 1.0 §4.1 splits at white space).
TEST(WhitespaceProgramTest, ResultsXsltprocDoesNotGive) {
  struct Case {
    const char* name;
    std::string source;
    std::string stylesheet;
    const char* expected;
  };
  const Case cases[] = {
      {"xml:space preserve protects a subtree; a nearer default ends it; other values inherit", kSpaced,
       TextSheet("<xsl:strip-space elements=\"*\"/>\n", kTextDump),
       "[doc:\n ][keep: ][keep: ][doc:\n ][again: ][doc:\n ][odd: ][doc:\n]"},
      {"of equal rank the later declaration wins", kMixed,
       TextSheet("<xsl:preserve-space elements=\"list\"/>\n<xsl:strip-space elements=\"list\"/>\n", kTextDump),
       "[doc:\n  ][p:Press ][b:Ctrl][p: ][b:C][p: to copy.][doc:\n  ][i:1][i:2][doc:\n]"},
      {"id() splits its argument at any white space",
       "<!DOCTYPE doc [<!ATTLIST v id ID #IMPLIED>]>\n<doc><v id=\"a\"/><v id=\"c\"/></doc>\n",
       TextSheet("", "<xsl:for-each select=\"id(' a  c ')\"><xsl:value-of select=\"@id\"/></xsl:for-each>"), "ac"},
  };
  for (const Case& c : cases) {
    KTScratchFolder folder;
    folder.Write("src.xml", c.source);
    folder.Write("main.xsl", c.stylesheet);
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "main.xsl", "-xml", "src.xml", "-out", "ours.out"}, folder.Path());
    EXPECT_EQ(ours.status, 0) << c.name << ": " << ours.err;
    EXPECT_EQ(folder.Read("ours.out"), c.expected) << c.name;
  }
}

// Faulty name tests are stylesheet errors that name the token at fault.
TEST(WhitespaceProgramTest, FaultyNameTestsAreReported) {
  const char* const kLists[] = {"p:*", "1a", "a:b:c"};
  for (const char* list : kLists) {
    KTScratchFolder folder;
    folder.Write("src.xml", "<doc/>\n");
    folder.Write("main.xsl", TextSheet(std::string("<xsl:strip-space elements=\"") + list + "\"/>\n", "x"));
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "main.xsl", "-xml", "src.xml", "-out", "ours.out"}, folder.Path());
    EXPECT_EQ(ours.status, 1) << list;
    EXPECT_NE(ours.err.find("main.xsl"), std::string::npos) << list << ": " << ours.err;
    EXPECT_NE(ours.err.find(std::string(": ") + list + "\n"), std::string::npos) << list << ": " << ours.err;
    EXPECT_FALSE(folder.Exists("ours.out")) << list;
  }
}

}  // namespace

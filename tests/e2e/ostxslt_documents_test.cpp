// End-to-end tests of stylesheets made of several documents and of
// document(), run by the program: xsl:import with xsl:apply-imports and
// import precedence, xsl:include (nested, relative to the including file,
// with an xsl:import that moves to the top stylesheet), recursion and load
// errors, document() of another file, of the stylesheet itself and of a file
// that is missing, key() and id() in the document of each context node, and
// the DTDs of loaded documents and stylesheet modules, also beside an XML
// Schema; and where a loaded document's encoding is named: in its XML
// declaration only.
// Outputs are compared with xsltproc's where XSLT 1.0 allows one result.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
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

bool HaveXsltproc() { return std::system("xsltproc --version >/dev/null 2>&1") == 0; }

// Runs ours and xsltproc with the stylesheet on d.xml in `folder`: both
// succeed, ours without a message, and the outputs are the same but for
// their XML declarations.
void ExpectOutputAsXsltproc(KTScratchFolder& folder, const char* stylesheet) {
  KTProgramResult ours =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", stylesheet, "-xml", "d.xml", "-out", "r.out"}, folder.Path());
  KTProgramResult theirs = KTRunProgram("/usr/bin/xsltproc", {"-o", "p.out", stylesheet, "d.xml"}, folder.Path());
  EXPECT_EQ(theirs.status, 0) << theirs.err;
  EXPECT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(ours.err, "");
  EXPECT_EQ(KTWithoutDeclaration(folder.Read("r.out")), KTWithoutDeclaration(folder.Read("p.out")));
}

class DocumentsProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_.Write("d.xml", "<r v=\"1\"><a/><b/></r>\n"); }

  KTProgramResult Run(const std::string& stylesheet) {
    return KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", stylesheet, "-xml", "d.xml", "-out", "r.out"}, folder_.Path());
  }
  // Our output of the stylesheet, checked against xsltproc's when it is
  // installed.
  std::string RunAndCompare(const std::string& stylesheet) {
    KTProgramResult ours = Run(stylesheet);
    EXPECT_EQ(ours.status, 0) << ours.err;
    std::string output = folder_.Read("r.out");
    if (HaveXsltproc()) {
      KTProgramResult theirs = KTRunProgram("/usr/bin/xsltproc", {"-o", "p.out", stylesheet, "d.xml"}, folder_.Path());
      EXPECT_EQ(theirs.status, 0) << theirs.err;
      EXPECT_EQ(output, folder_.Read("p.out")) << stylesheet;
    }
    return output;
  }

  KTScratchFolder folder_;
};

TEST_F(DocumentsProgramTest, ApplyImportsRunsTheImportedRule) {
  folder_.Write("imp.xsl", Sheet("<xsl:template match=\"r\">[imp]</xsl:template>\n"));
  folder_.Write("main.xsl", Sheet("<xsl:import href=\"imp.xsl\"/>\n<xsl:output method=\"text\"/>\n"
                                  "<xsl:template match=\"r\">[main]<xsl:apply-imports/></xsl:template>\n"));
  EXPECT_EQ(RunAndCompare("main.xsl"), "[main][imp]");
}

TEST_F(DocumentsProgramTest, ApplyImportsClimbsDownTheImportPrecedence) {
  // main imports two (which imports one) and then side. Later imports and
  // the importing stylesheet win; xsl:apply-imports runs the next matching
  // rule among those its module imports, in the mode the current rule was
  // selected in, and falls back to the built-in rule. side imports nothing,
  // so its rule is followed by the built-in one (XSLT 1.0 §5.6: "using only
  // template rules that were imported into the stylesheet element
  // containing the current template rule"); xsltproc runs one's rule
  // there, so this case is not compared with it.
  folder_.Write("one.xsl", Sheet("<xsl:template match=\"a\">[one-a]</xsl:template>\n"
                                 "<xsl:template match=\"b\">[one-b]</xsl:template>\n"
                                 "<xsl:template match=\"a\" mode=\"m\">[one-ma]</xsl:template>\n"));
  folder_.Write("two.xsl", Sheet("<xsl:import href=\"one.xsl\"/>\n"
                                 "<xsl:template match=\"a\">[two-a]<xsl:apply-imports/></xsl:template>\n"
                                 "<xsl:template match=\"a\" mode=\"m\">[two-ma]<xsl:apply-imports/></xsl:template>\n"
                                 "<xsl:template match=\"b\" mode=\"m\">[two-mb]<xsl:apply-imports/></xsl:template>\n"));
  folder_.Write("side.xsl", Sheet("<xsl:template match=\"b\">[side-b]<xsl:apply-imports/></xsl:template>\n"));
  folder_.Write("main.xsl",
                Sheet("<xsl:import href=\"two.xsl\"/>\n<xsl:import href=\"side.xsl\"/>\n"
                      "<xsl:output method=\"text\"/>\n"
                      "<xsl:template match=\"/\"><xsl:apply-templates select=\"r/*\"/>|"
                      "<xsl:apply-templates select=\"r/*\" mode=\"m\"/></xsl:template>\n"
                      "<xsl:template match=\"b\">[main-b]<xsl:apply-imports/></xsl:template>\n"));
  KTProgramResult ours = Run("main.xsl");
  EXPECT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(folder_.Read("r.out"), "[two-a][one-a][main-b][side-b]|[two-ma][one-ma][two-mb]");
}

TEST_F(DocumentsProgramTest, IncludedTemplatesRunAndIncludesNest) {
  // sub/inc.xsl is named relative to main.xsl, and its own include and
  // import relative to itself; the import moves to the top stylesheet.
  std::filesystem::create_directories(folder_.File("sub"));
  folder_.Write("sub/inner.xsl", Sheet("<xsl:template name=\"inner\">[inner]</xsl:template>\n"));
  folder_.Write("sub/low.xsl", Sheet("<xsl:template match=\"a\">[low-a]</xsl:template>\n"
                                     "<xsl:template match=\"b\">[low-b]</xsl:template>\n"));
  folder_.Write("sub/inc.xsl", Sheet("<xsl:import href=\"low.xsl\"/>\n<xsl:include href=\"inner.xsl\"/>\n"
                                     "<xsl:template name=\"hello\">[hello]<xsl:call-template name=\"inner\"/>"
                                     "</xsl:template>\n"
                                     "<xsl:template match=\"a\">[inc-a]<xsl:apply-imports/></xsl:template>\n"));
  folder_.Write("main.xsl", Sheet("<xsl:include href=\"sub/inc.xsl\"/>\n<xsl:output method=\"text\"/>\n"
                                  "<xsl:template match=\"/\"><xsl:call-template name=\"hello\"/>"
                                  "<xsl:apply-templates select=\"r/*\"/></xsl:template>\n"));
  EXPECT_EQ(RunAndCompare("main.xsl"), "[hello][inner][inc-a][low-a][low-b]");
}

TEST_F(DocumentsProgramTest, DocumentReadsOtherFilesAndTheStylesheet) {
  folder_.Write("o.xml", "<r v=\"seven\"><i>1</i><i>2</i></r>\n");
  folder_.Write("main.xsl",
                Sheet("<xsl:output method=\"text\"/>\n"
                      "<xsl:template match=\"/\">"
                      "<xsl:value-of select=\"document('o.xml')/r/@v\"/>,"
                      "<xsl:value-of select=\"count(document('o.xml')//i | document('o.xml')//i)\"/>,"
                      "<xsl:value-of select=\"local-name(document('')/*)\"/>,"
                      "<xsl:value-of select=\"count(document('')/*/xsl:template)\"/>,"
                      "<xsl:value-of select=\"sum(document(r/@v, /)/r/i)\"/>"
                      "</xsl:template>\n"));
  folder_.Write("1", "<r><i>40</i><i>2</i></r>\n");
  EXPECT_EQ(RunAndCompare("main.xsl"), "seven,2,stylesheet,1,42");
}

TEST_F(DocumentsProgramTest, ANodeWithAnEmptyValueNamesItsOwnDocument) {
  // document(node) is document(string(node), node): an empty value is the
  // empty URI reference, which names the document that holds the node (a
  // loaded document, the source, or with a stylesheet node as the base, the
  // stylesheet).
  folder_.Write("e.xml", "<e a=\"\"><s b=\"\">x</s><t/></e>\n");
  folder_.Write("main.xsl",
                Sheet("<xsl:output method=\"text\"/>\n"
                      "<xsl:template match=\"/\">"
                      "<xsl:for-each select=\"document('e.xml')//@* | document('e.xml')//t\">"
                      "<xsl:value-of select=\"count(document(.))\"/>:"
                      "<xsl:value-of select=\"name(document(.)/*)\"/>,</xsl:for-each>"
                      "<xsl:value-of select=\"name(document(r/a)/*)\"/>,"
                      "<xsl:value-of select=\"local-name(document(r/a, document('')/*)/*)\"/>,"
                      "<xsl:value-of select=\"count(document(r/a | r/b))\"/>"
                      "</xsl:template>\n"));
  EXPECT_EQ(RunAndCompare("main.xsl"), "1:e,1:e,1:e,r,stylesheet,1");
}
TEST_F(DocumentsProgramTest, OneFileNamedInSeveralWaysIsOneDocument) {
  // "o.xml", "./o.xml", "sub/../o.xml" and ".//o.xml" name one file: one
  // document, whose nodes a union holds once.
  std::filesystem::create_directories(folder_.File("sub"));
  folder_.Write("o.xml", "<r><i/><i/></r>\n");
  folder_.Write("main.xsl",
                Sheet("<xsl:output method=\"text\"/>\n"
                      "<xsl:template match=\"/\">"
                      "<xsl:value-of select=\"count(document('o.xml') | document('./o.xml') | "
                      "document('sub/../o.xml') | document('.//o.xml'))\"/>,"
                      "<xsl:value-of select=\"count(document('o.xml')//i | document('sub/.././o.xml')//i)\"/>"
                      "</xsl:template>\n"));
  EXPECT_EQ(RunAndCompare("main.xsl"), "1,2");
}

TEST_F(DocumentsProgramTest, AnIncludedTemplateReadsDocumentsOfItsOwnFile) {
  std::filesystem::create_directories(folder_.File("sub"));
  folder_.Write("sub/data.xml", "<r v=\"beside the included file\"/>\n");
  folder_.Write("sub/inc.xsl", Sheet("<xsl:template name=\"show\">"
                                     "<xsl:value-of select=\"document('data.xml')/r/@v\"/>,"
                                     "<xsl:value-of select=\"count(document('')//xsl:template)\"/>"
                                     "</xsl:template>\n"));
  folder_.Write("main.xsl", Sheet("<xsl:include href=\"sub/inc.xsl\"/>\n<xsl:output method=\"text\"/>\n"
                                  "<xsl:template match=\"/\"><xsl:call-template name=\"show\"/></xsl:template>\n"
                                  "<xsl:template match=\"x\"/>\n"));
  // document('') is the file that holds the expression: sub/inc.xsl has
  // one template.
  EXPECT_EQ(RunAndCompare("main.xsl"), "beside the included file,1");
}

TEST_F(DocumentsProgramTest, UnparsedEntityUrisComeFromTheContextNodesDocument) {
  // SYSTEM and PUBLIC unparsed entities, single quotes, a second declaration
  // of a name (the first binds) and an unknown name, each looked up in the
  // declarations of the document that holds the context node.
  const char* const kDoctype =
      "<!NOTATION gif SYSTEM 'viewer'>\n"
      "<!ENTITY pic SYSTEM \"pics/a.gif\" NDATA gif>\n"
      "<!ENTITY pub PUBLIC '-//x//pub' 'pub.gif' NDATA gif>\n"
      "<!ENTITY pic SYSTEM 'second.gif' NDATA gif>\n"
      "<!ENTITY parsed SYSTEM 'parsed.xml'>\n";
  folder_.Write("e.xml", std::string("<!DOCTYPE e [\n") + kDoctype +
                             "<!ENTITY other SYSTEM 'other.png' NDATA gif>\n]>\n<e/>\n");
  folder_.Write("u.xml", std::string("<!DOCTYPE r [\n") + kDoctype + "]>\n<r/>\n");
  folder_.Write("u.xsl", Sheet("<xsl:output method=\"text\"/>\n"
                               "<xsl:template match=\"/\">"
                               "<xsl:for-each select=\"document('e.xml') | document('u.xml')\">"
                               "[<xsl:value-of select=\"unparsed-entity-uri('pic')\"/>"
                               "|<xsl:value-of select=\"unparsed-entity-uri('pub')\"/>"
                               "|<xsl:value-of select=\"unparsed-entity-uri('other')\"/>"
                               "|<xsl:value-of select=\"unparsed-entity-uri('none')\"/>]"
                               "</xsl:for-each></xsl:template>\n"));
  // The URIs are absolute against the declaring document; xsltproc resolves
  // against the name it was given, so it is given absolute ones.
  KTProgramResult run = Run("u.xsl");
  EXPECT_EQ(run.status, 0) << run.err;
  if (HaveXsltproc()) {
    KTProgramResult theirs = KTRunProgram(
        "/usr/bin/xsltproc", {"-o", "p.out", folder_.File("u.xsl"), folder_.File("d.xml")}, folder_.Path());
    EXPECT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(folder_.Read("r.out"), folder_.Read("p.out"));
  }
  // A parsed entity has no URI here (xsltproc gives its system identifier).
  folder_.Write("p.xsl", Sheet("<xsl:output method=\"text\"/>\n<xsl:template match=\"/\">"
                               "<xsl:for-each select=\"document('u.xml')\">"
                               "[<xsl:value-of select=\"unparsed-entity-uri('parsed')\"/>]"
                               "</xsl:for-each></xsl:template>\n"));
  KTProgramResult ours = Run("p.xsl");
  EXPECT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(folder_.Read("r.out"), "[]");
}

TEST_F(DocumentsProgramTest, KeysAndIdsInPredicatesLookInTheContextNodesDocument) {
  // key() and id() with fixed arguments, inside predicates whose candidates
  // come from two documents: each candidate looks in its own document.
  const char* const kDoctype = "<!DOCTYPE x [<!ATTLIST g id ID #IMPLIED>]>\n";
  folder_.Write("d.xml", std::string(kDoctype) + "<s><g id=\"b\" k=\"x\"/><g id=\"d\" k=\"y\"/><h ref=\"x\"/></s>\n");
  folder_.Write("other.xml", std::string(kDoctype) +
                                 "<o><g id=\"a\" k=\"x\"/><g id=\"b\" k=\"y\"/><g id=\"c\" k=\"x\"/></o>\n");
  folder_.Write("keys.xsl",
                Sheet("<xsl:output method=\"text\"/>\n<xsl:key name=\"k\" match=\"g\" use=\"@k\"/>\n"
                      "<xsl:variable name=\"other\" select=\"document('other.xml')\"/>\n"
                      "<xsl:template match=\"/\">\n"
                      "<xsl:for-each select=\"//g | $other//g\"><xsl:value-of select=\"@id\"/>:"
                      "<xsl:value-of select=\"count(../g[key('k', 'x')/@id = @id])\"/>,"
                      "<xsl:value-of select=\"count(../g[id('b')])\"/>;</xsl:for-each>\n"
                      "<xsl:value-of select=\"count($other//g[key('k', 'x')])\"/>|"
                      "<xsl:value-of select=\"count($other//g[@id = id('b c')/@id])\"/>|"
                      "<xsl:value-of select=\"count((//g | $other//g)[key('k', 'y')/@id = 'b'])\"/>|"
                      "<xsl:value-of select=\"count((//g | $other//g)[count(key('k', 'x')) = 1])\"/>|"
                      "<xsl:for-each select=\"//h\"><xsl:value-of select=\"count($other//g[@k = current()/@ref])\"/>"
                      "</xsl:for-each>\n</xsl:template>\n"));
  EXPECT_EQ(RunAndCompare("keys.xsl"), "b:1,2;d:1,2;a:2,3;b:2,3;c:2,3;3|2|3|2|2");
}

TEST_F(DocumentsProgramTest, AbsolutePathsInPredicatesStartAtTheCandidatesDocument) {
  // "/" is the root of the context node's document (XPath 1.0 §2): inside a
  // predicate over another document's nodes, that document's root.
  folder_.Write("d.xml", "<s><g/><a/></s>\n");
  folder_.Write("other.xml", "<other><g/><g/></other>\n");
  folder_.Write("abs.xsl",
                Sheet("<xsl:output method=\"text\"/>\n"
                      "<xsl:variable name=\"other\" select=\"document('other.xml')\"/>\n"
                      "<xsl:template match=\"/\">"
                      "<xsl:value-of select=\"count($other//g[/other])\"/>,"
                      "<xsl:value-of select=\"count($other//g[/s])\"/>,"
                      "<xsl:value-of select=\"count((//g | $other//g)[count(//g) = 2])\"/>,"
                      "<xsl:value-of select=\"count(//g[count(/s/*) = 2])\"/>,"
                      "<xsl:value-of select=\"count($other//g[name(/*) = 'other'][last()])\"/>"
                      "</xsl:template>\n"));
  EXPECT_EQ(RunAndCompare("abs.xsl"), "2,0,2,1,1");
}

TEST_F(DocumentsProgramTest, AMissingDocumentIsReportedAndTheRunGoesOn) {
  folder_.Write("main.xsl", Sheet("<xsl:output method=\"text\"/>\n"
                                  "<xsl:template match=\"/\">[<xsl:value-of select=\"count(document('none.xml'))\"/>]"
                                  "<xsl:value-of select=\"r/@v\"/></xsl:template>\n"));
  KTProgramResult ours = Run("main.xsl");
  EXPECT_EQ(ours.status, 0) << ours.err;
  EXPECT_NE(ours.err.find("Failed to load " + folder_.File("none.xml")), std::string::npos) << ours.err;
  EXPECT_EQ(folder_.Read("r.out"), "[0]1");
  EXPECT_EQ(RunAndCompare("main.xsl"), "[0]1");
}

TEST_F(DocumentsProgramTest, ADocumentWhoseEntitiesExplodeStopsTheRun) {
  // Run with part of its text missing, the document would give a wrong
  // result: it is refused, named, and no output is written.
  folder_.Write("laughs.xsl", KTExplodingEntityPrologue("xsl:stylesheet") +
                                  Sheet("<xsl:template name=\"t\">&e9;</xsl:template>\n"));
  folder_.Write("include.xsl", Sheet("<xsl:include href=\"laughs.xsl\"/>\n"
                                     "<xsl:template match=\"/\"><r/></xsl:template>\n"));
  folder_.Write("document.xsl", Sheet("<xsl:template match=\"/\">"
                                      "<xsl:value-of select=\"string-length(document('laughs.xsl'))\"/>"
                                      "</xsl:template>\n"));
  for (const char* stylesheet : {"include.xsl", "document.xsl"}) {
    SCOPED_TRACE(stylesheet);
    KTProgramResult ours = Run(stylesheet);
    EXPECT_NE(ours.status, 0);
    EXPECT_NE(ours.err.find("Could not load external entity " + folder_.File("laughs.xsl") +
                            ": entity references cannot be expanded"),
              std::string::npos)
        << ours.err;
    EXPECT_FALSE(folder_.Exists("r.out"));
  }
}

TEST_F(DocumentsProgramTest, IncludesThatDoubleAtEachLevelAreRefusedBeforeMemoryRunsOut) {
  // i0 includes i1 twice, i1 includes i2 twice, ...: 2^24 copies of the
  // last template. The copies stop at a bound, with an error at an href.
  const int levels = 24;
  for (int i = 0; i < levels; ++i) {
    std::string next = "i" + std::to_string(i + 1) + ".xsl";
    folder_.Write("i" + std::to_string(i) + ".xsl",
                  Sheet("<xsl:include href=\"" + next + "\"/>\n<xsl:include href=\"" + next + "\"/>\n"));
  }
  folder_.Write("i" + std::to_string(levels) + ".xsl", Sheet("<xsl:template match=\"a\">x</xsl:template>\n"));
  KTProgramResult ours = Run("i0.xsl");
  EXPECT_NE(ours.status, 0);
  EXPECT_NE(ours.err.find("Could not include external entity"), std::string::npos) << ours.err;
  EXPECT_FALSE(folder_.Exists("r.out"));
}

TEST_F(DocumentsProgramTest, RecursionAndLoadFailuresAreStylesheetErrors) {
  struct Case {
    const char* name;
    std::string stylesheet;
    const char* message;
    const char* line;
  } cases[] = {
      {"self-include.xsl", Sheet("<xsl:include href=\"self-include.xsl\"/>\n"),
       "Recursive include or import of external entity is not allowed", "line 2"},
      {"self-import.xsl", Sheet("<xsl:import href=\"self-import.xsl\"/>\n"),
       "Recursive include or import of external entity is not allowed", "line 2"},
      {"cycle-a.xsl", Sheet("<xsl:include href=\"cycle-b.xsl\"/>\n"),
       "Recursive include or import of external entity is not allowed", "line 2"},
      {"import-cycle-a.xsl", Sheet("<xsl:import href=\"import-cycle-b.xsl\"/>\n"),
       "Recursive include or import of external entity is not allowed", "line 2"},
      {"missing-include.xsl", Sheet("<xsl:include href=\"nowhere.xsl\"/>\n"), "Could not include external entity",
       "line 2"},
      {"missing-import.xsl", Sheet("<xsl:import href=\"nowhere.xsl\"/>\n"), "Could not import external entity",
       "line 2"},
      {"late-import.xsl", Sheet("<xsl:template match=\"/\"/>\n<xsl:import href=\"x.xsl\"/>\n"),
       "Import preceded by other XSL element in stylesheet", "line 3"},
      // Outside a template rule there is no rule to look below.
      {"no-rule.xsl",
       Sheet("<xsl:variable name=\"x\"><xsl:apply-imports/></xsl:variable>\n"
             "<xsl:template match=\"/\"><xsl:value-of select=\"$x\"/></xsl:template>\n"),
       "Unexpected xsl:apply-imports", nullptr},
  };
  folder_.Write("cycle-b.xsl", Sheet("<xsl:include href=\"cycle-a.xsl\"/>\n"));
  folder_.Write("import-cycle-b.xsl", Sheet("<xsl:import href=\"import-cycle-a.xsl\"/>\n"));
  for (const Case& c : cases) {
    folder_.Write(c.name, c.stylesheet);
    KTProgramResult ours = Run(c.name);
    EXPECT_NE(ours.status, 0) << c.name;
    EXPECT_NE(ours.err.find(c.message), std::string::npos) << c.name << ": " << ours.err;
    if (c.line) {
      EXPECT_NE(ours.err.find(c.line), std::string::npos) << c.name << ": " << ours.err;
    }
    EXPECT_FALSE(folder_.Exists("r.out")) << c.name;
  }
}

// XSLT 1.0 §7.1.1: each stylesheet's exclude-result-prefixes holds for its
// own literal result elements only, whichever stylesheet's template applied
// them: main excludes m, the imported one n, the included one p.
TEST_F(DocumentsProgramTest, ExcludedPrefixesBelongToTheStylesheetThatDeclaresThem) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const std::string head = "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" ";
  folder_.Write("imp.xsl", head + "xmlns:n=\"urn:n\" xmlns:m=\"urn:m\" exclude-result-prefixes=\"n\">\n"
                                  "<xsl:template match=\"b\"><fromimport/></xsl:template>\n" + kTail);
  folder_.Write("inc.xsl", head + "xmlns:n=\"urn:n\" xmlns:p=\"urn:p\" exclude-result-prefixes=\"p\">\n"
                                  "<xsl:template match=\"a\"><frominclude/></xsl:template>\n" + kTail);
  folder_.Write("main.xsl", head + "xmlns:m=\"urn:m\" exclude-result-prefixes=\"m\">\n"
                                   "<xsl:import href=\"imp.xsl\"/><xsl:include href=\"inc.xsl\"/>\n"
                                   "<xsl:output omit-xml-declaration=\"yes\"/>\n"
                                   "<xsl:template match=\"/\"><top><xsl:apply-templates select=\"r/a|r/b\"/>"
                                   "<frommain/></top></xsl:template>\n" + kTail);
  KTProgramResult ours = Run("main.xsl");
  ASSERT_EQ(ours.status, 0) << ours.err;
  KTProgramResult theirs = KTRunProgram("/usr/bin/xsltproc", {"-o", "p.out", "main.xsl", "d.xml"}, folder_.Path());
  ASSERT_EQ(theirs.status, 0) << theirs.err;
  EXPECT_EQ(folder_.Read("r.out"), folder_.Read("p.out"));
}

// ---- DTDs of every loaded document ----

struct DtdCase {
  const char* name;
  // File name and text; "@DIR@" in a text stands for the case's folder.
  std::vector<std::pair<std::string, std::string>> files;
};

const char* const kDtdEntities = "<!ENTITY who \"world\">\n<!ATTLIST d lang CDATA \"en\">\n";
const char* const kDtdDocument = "<!DOCTYPE d SYSTEM \"d.dtd\">\n<d>hello &who;</d>\n";
// A DTD in a folder of its own that takes a parameter entity from a file
// beside it: the entity's system id is relative to the DTD, not to the
// document or the stylesheet.
const char* const kNestedDtd = "<!ENTITY % inner SYSTEM \"inner.ent\">\n%inner;\n<!ATTLIST d lang CDATA \"de\">\n";
const char* const kNestedDocument =
    "<!DOCTYPE d SYSTEM \"dt/x.dtd\" [<!ATTLIST d kind CDATA \"k\">]>\n<d>hello &who;</d>\n";
const char* const kShowD =
    "<xsl:output method=\"text\"/>\n<xsl:template match=\"/\"><xsl:for-each select=\"document('@DOC@')/d\">"
    "[<xsl:value-of select=\".\"/>]<xsl:for-each select=\"@*\"><xsl:sort select=\"name()\"/>"
    " <xsl:value-of select=\"concat(name(), '=', .)\"/></xsl:for-each></xsl:for-each></xsl:template>\n";
// A stylesheet module whose internal subset names an external parameter
// entity that declares the entity its template uses.
std::string ModuleWithEntities(const std::string& entityPath) {
  return "<!DOCTYPE xsl:stylesheet [<!ENTITY % ents SYSTEM \"" + entityPath + "\"> %ents;]>\n" +
         Sheet("<xsl:template name=\"g\">&greet;</xsl:template>\n");
}
std::string CallingSheet(const std::string& link) {
  return Sheet(link + "\n<xsl:output method=\"text\"/>\n<xsl:template match=\"/\"><xsl:call-template name=\"g\"/>"
                      "</xsl:template>\n");
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

TEST(DocumentDtdProgramTest, EveryLoadedDocumentReadsItsDtdsAsXsltprocDoes) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const std::string ent = "<!ENTITY greet \"hi from the entity\">\n";
  const DtdCase cases[] = {
      {"document() reads the external subset: its entity and default attribute",
       {{"d.dtd", kDtdEntities}, {"d.xml", kDtdDocument}, {"main.xsl", Sheet(Replace(kShowD, "@DOC@", "d.xml"))}}},
      {"document() of a file in a subfolder, with a parameter entity beside its DTD and an internal subset",
       {{"deep/dt/x.dtd", kNestedDtd},
        {"deep/dt/inner.ent", "<!ENTITY who \"deep world\">\n"},
        {"deep/d.xml", kNestedDocument},
        {"main.xsl", Sheet(Replace(kShowD, "@DOC@", "deep/d.xml"))}}},
      {"document() with an absolute system id",
       {{"dt/d.dtd", kDtdEntities},
        {"d.xml", "<!DOCTYPE d SYSTEM \"@DIR@/dt/d.dtd\">\n<d>hello &who;</d>\n"},
        {"main.xsl", Sheet(Replace(kShowD, "@DOC@", "d.xml"))}}},
      {"an included module's external parameter entity, relative to the module",
       {{"sub/ent.ent", ent},
        {"mod/inc.xsl", ModuleWithEntities("../sub/ent.ent")},
        {"main.xsl", CallingSheet("<xsl:include href=\"mod/inc.xsl\"/>")}}},
      {"an imported module's external parameter entity, relative to the module",
       {{"sub/ent.ent", ent},
        {"mod/inc.xsl", ModuleWithEntities("../sub/ent.ent")},
        {"main.xsl", CallingSheet("<xsl:import href=\"mod/inc.xsl\"/>")}}},
      {"an included module named by an absolute href, with an absolute system id",
       {{"sub/ent.ent", ent},
        {"mod/inc.xsl", ModuleWithEntities("@DIR@/sub/ent.ent")},
        {"main.xsl", CallingSheet("<xsl:include href=\"@DIR@/mod/inc.xsl\"/>")}}},
      {"an imported module with an absolute system id",
       {{"sub/ent.ent", ent},
        {"mod/inc.xsl", ModuleWithEntities("@DIR@/sub/ent.ent")},
        {"main.xsl", CallingSheet("<xsl:import href=\"mod/inc.xsl\"/>")}}},
  };
  for (const DtdCase& c : cases) {
    SCOPED_TRACE(c.name);
    KTScratchFolder folder;
    for (const auto& [name, text] : c.files) {
      std::filesystem::create_directories(std::filesystem::path(folder.File(name)).parent_path());
      folder.Write(name, Replace(text, "@DIR@", folder.Path()));
    }
    folder.Write("src.xml", "<src/>\n");
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "main.xsl", "-xml", "src.xml", "-out", "r.out"}, folder.Path());
    EXPECT_EQ(ours.status, 0) << ours.err;
    EXPECT_EQ(ours.err, "");
    KTProgramResult theirs = KTRunProgram("/usr/bin/xsltproc", {"-o", "p.out", "main.xsl", "src.xml"}, folder.Path());
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(folder.Read("r.out"), folder.Read("p.out"));
  }
}

// document() of the source's own file gives the source document itself (one
// URI, one document), with what its DTDs give.
TEST(DocumentDtdProgramTest, DocumentOfTheSourcesFileIsTheSource) {
  KTScratchFolder folder;
  std::filesystem::create_directories(folder.File("deep/dt"));
  folder.Write("deep/dt/x.dtd", kNestedDtd);
  folder.Write("deep/dt/inner.ent", "<!ENTITY who \"deep world\">\n");
  folder.Write("deep/d.xml", kNestedDocument);
  folder.Write("main.xsl", Sheet("<xsl:output method=\"text\"/>\n<xsl:template match=\"/\">"
                                 "<xsl:apply-templates select=\"d | document('deep/d.xml')/d\"/></xsl:template>\n"
                                 "<xsl:template match=\"d\">[<xsl:value-of select=\"concat(., ' ', @lang, ' ', @kind)\"/>]"
                                 "</xsl:template>\n"));
  KTProgramResult ours =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "main.xsl", "-xml", "deep/d.xml", "-out", "r.out"}, folder.Path());
  ASSERT_EQ(ours.status, 0) << ours.err;
  // The union holds one d, shown once.
  std::string output = folder.Read("r.out");
  EXPECT_EQ(output.find(']'), output.size() - 1) << output;
  EXPECT_NE(output.find(" de k]"), std::string::npos) << output;
  if (HaveXsltproc()) {
    KTProgramResult theirs =
        KTRunProgram("/usr/bin/xsltproc", {"-o", "p.out", "main.xsl", "deep/d.xml"}, folder.Path());
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    EXPECT_EQ(output, folder.Read("p.out"));
  }
}

// ---- A DTD beside an XML Schema ----

// A schema for r whose defaults are d (which the DTDs below also give, with
// another value) and, when `withExtra`, e (which no DTD gives).
std::string SchemaForR(bool withExtra) {
  return std::string("<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
                     " <xs:element name=\"r\"><xs:complexType><xs:sequence>\n"
                     "  <xs:element name=\"c\" minOccurs=\"0\" maxOccurs=\"unbounded\" type=\"xs:string\"/>\n"
                     " </xs:sequence>\n  <xs:attribute name=\"d\" type=\"xs:string\" default=\"S\"/>\n") +
         (withExtra ? "  <xs:attribute name=\"e\" type=\"xs:string\" default=\"E\"/>\n" : "") +
         " </xs:complexType></xs:element>\n</xs:schema>\n";
}

const char* const kDtdForR =
    "<!ATTLIST r xmlns:xsi CDATA #FIXED \"http://www.w3.org/2001/XMLSchema-instance\" d CDATA \"D\">\n"
    "<!ATTLIST c key ID #IMPLIED>\n<!ENTITY who \"world\">\n";

const char* const kIdentity =
    "<xsl:template match=\"@*|node()\"><xsl:copy><xsl:apply-templates select=\"@*|node()\"/></xsl:copy>"
    "</xsl:template>\n";

// The DTD's declarations apply first, the schema's after them: the DTD's
// namespace declaration, default values, entities and ID attributes all stay.
// xsltproc reads no schema, so each schema here gives only defaults the DTD
// gives as well, which the DTD's value must win.
TEST(DocumentDtdProgramTest, ADtdBesideASchemaComesFirstAsXsltprocShows) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const char* const kBody = "<r xsi:noNamespaceSchemaLocation=\"s.xsd\"><c key=\"k1\">hello &who;</c><c/></r>\n";
  const DtdCase cases[] = {
      {"an internal subset",
       {{"s.xsd", SchemaForR(false)},
        {"src.xml", std::string("<!DOCTYPE r [\n") + kDtdForR + "]>\n" + kBody},
        {"main.xsl", Sheet(kIdentity)}}},
      {"an external subset, and id() over the DTD's ID attribute",
       {{"s.xsd", SchemaForR(false)},
        {"r.dtd", kDtdForR},
        {"src.xml", std::string("<!DOCTYPE r SYSTEM \"r.dtd\">\n") + kBody},
        {"main.xsl", Sheet("<xsl:template match=\"/\"><out><xsl:copy-of select=\"id('k1')\"/>"
                           "<xsl:copy-of select=\"r\"/></out></xsl:template>\n")}}},
      {"a schema that declares no element, so only the DTD's declarations give defaults",
       {{"s.xsd", "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\"/>\n"},
        {"src.xml", std::string("<!DOCTYPE r [\n") + kDtdForR + "]>\n" + kBody},
        {"main.xsl", Sheet(kIdentity)}}},
      {"the same document through document()",
       {{"s.xsd", SchemaForR(false)},
        {"doc.xml", std::string("<!DOCTYPE r [\n") + kDtdForR + "]>\n" + kBody},
        {"src.xml", "<src/>\n"},
        {"main.xsl", Sheet("<xsl:template match=\"/\"><xsl:copy-of select=\"document('doc.xml')\"/></xsl:template>\n")}}},
  };
  for (const DtdCase& c : cases) {
    SCOPED_TRACE(c.name);
    KTScratchFolder folder;
    for (const auto& [name, text] : c.files) folder.Write(name, text);
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "main.xsl", "-xml", "src.xml", "-out", "r.out"}, folder.Path());
    EXPECT_EQ(ours.status, 0) << ours.err;
    EXPECT_EQ(ours.err, "");
    KTProgramResult theirs = KTRunProgram("/usr/bin/xsltproc", {"-o", "p.out", "main.xsl", "src.xml"}, folder.Path());
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    // The XML declarations differ between the programs; the rest may not.
    std::string mine = folder.Read("r.out");
    std::string peer = folder.Read("p.out");
    EXPECT_EQ(mine.substr(mine.find("?>")), peer.substr(peer.find("?>")));
  }
}

// A default only the schema gives is supplied after the DTD's.
TEST(DocumentDtdProgramTest, ASchemaDefaultTheDtdLacksFollowsTheDtds) {
  KTScratchFolder folder;
  folder.Write("s.xsd", SchemaForR(true));
  folder.Write("src.xml", std::string("<!DOCTYPE r [\n") + kDtdForR + "]>\n<r xsi:noNamespaceSchemaLocation=\"s.xsd\"/>\n");
  folder.Write("main.xsl", Sheet("<xsl:output method=\"text\"/>\n<xsl:template match=\"/\">"
                                 "<xsl:for-each select=\"r/@*\">[<xsl:value-of select=\"concat(name(), '=', .)\"/>]"
                                 "</xsl:for-each>|<xsl:value-of select=\"count(r/namespace::xsi)\"/></xsl:template>\n"));
  KTProgramResult ours =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "main.xsl", "-xml", "src.xml", "-out", "r.out"}, folder.Path());
  ASSERT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(folder.Read("r.out"), "[xsi:noNamespaceSchemaLocation=s.xsd][d=D][e=E]|1");
}

// A document loaded by document() takes its schema's defaults as the source
// does, also when it is in another folder than the stylesheet.
TEST(DocumentDtdProgramTest, DocumentTakesSchemaDefaultsAsTheSourceDoes) {
  KTScratchFolder folder;
  std::filesystem::create_directories(folder.File("in"));
  folder.Write("in/s.xsd", SchemaForR(true));
  const char* const kInstance =
      "<r xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:noNamespaceSchemaLocation=\"s.xsd\"/>\n";
  folder.Write("in/src.xml", kInstance);
  folder.Write("in/other.xml", kInstance);
  folder.Write("main.xsl", Sheet("<xsl:output method=\"text\"/>\n<xsl:template match=\"/\">"
                                 "[<xsl:value-of select=\"concat(r/@d, r/@e)\"/>]"
                                 "[<xsl:value-of select=\"concat(document('in/other.xml')/r/@d, "
                                 "document('in/other.xml')/r/@e)\"/>]</xsl:template>\n"));
  KTProgramResult ours =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "main.xsl", "-xml", "in/src.xml", "-out", "r.out"}, folder.Path());
  ASSERT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(ours.err, "");
  EXPECT_EQ(folder.Read("r.out"), "[SE][SE]");
}

// ---- The encoding of a loaded document ----

// The text in UTF-16LE after a byte-order mark; the UTF-8 text holds
// characters of the Basic Multilingual Plane only.
std::string Utf16LeWithBom(const std::string& utf8) {
  std::string bytes = "\xFF\xFE";
  for (size_t i = 0; i < utf8.size();) {
    unsigned char b = static_cast<unsigned char>(utf8[i]);
    unsigned code = b;
    size_t length = b < 0x80 ? 1 : b < 0xE0 ? 2 : 3;
    if (length > 1)
      code = b & (length == 2 ? 0x1F : 0x0F);
    for (size_t k = 1; k < length; ++k)
      code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    bytes += static_cast<char>(code & 0xFF);
    bytes += static_cast<char>(code >> 8);
    i += length;
  }
  return bytes;
}

// XML 1.0 §4.3.3: only an XML declaration (or an external entity's text
// declaration) names an entity's encoding; without one and without a
// byte-order mark the entity is UTF-8, whatever an attribute, a processing
// instruction or a comment near its start says about "encoding".
TEST(DocumentEncodingProgramTest, OnlyADeclarationNamesTheEncoding) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const DtdCase cases[] = {
      {"an attribute Encoding naming Latin-1", {{"d.xml", "<r Encoding=\"latin1\">caf\xC3\xA9</r>\n"}}},
      {"an attribute naming no known encoding", {{"d.xml", "<r encoding=\"bogus\">\xC3\xBC</r>\n"}}},
      {"an attribute ENCODING naming UTF-16",
       {{"d.xml", "<r ENCODING='UTF-16'>\xE6\x97\xA5\xE6\x9C\xAC</r>\n"}}},
      {"a processing instruction's pseudo-attribute",
       {{"d.xml", "<?xa encoding=\"bogus\"?><r>\xC3\xA9</r>\n"}}},
      {"a processing instruction whose name starts with xml",
       {{"d.xml", "<?xml-note encoding=\"ISO-8859-1\"?><r>caf\xC3\xA9</r>\n"}}},
      {"a comment", {{"d.xml", "<!-- encoding=\"windows-1252\" --><r>\xE2\x82\xAC</r>\n"}}},
      {"a declaration without encoding, an attribute after it",
       {{"d.xml", "<?xml version=\"1.0\"?>\n<r encoding=\"latin1\">caf\xC3\xA9</r>\n"}}},
      {"a declared encoding, an attribute naming another",
       {{"d.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<r encoding=\"UTF-8\">caf\xE9</r>\n"}}},
      {"declared ISO-8859-1", {{"d.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<r>caf\xE9 \xFC</r>\n"}}},
      {"declared windows-1252",
       {{"d.xml", "<?xml version='1.0' encoding='windows-1252'?>\n<r>\x80 caf\xE9 \x93q\x94</r>\n"}}},
      {"declared UTF-16 after a byte-order mark",
       {{"d.xml", Utf16LeWithBom("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<r>caf\xC3\xA9 \xE6\x97\xA5</r>\n")}}},
      {"a byte-order mark and an attribute naming Latin-1",
       {{"d.xml", Utf16LeWithBom("<r encoding=\"latin1\">caf\xC3\xA9</r>\n")}}},
      {"an external entity without a text declaration, with an attribute",
       {{"e.ent", "<e encoding=\"latin1\">caf\xC3\xA9</e>"},
        {"d.xml", "<!DOCTYPE r [<!ENTITY e SYSTEM \"e.ent\">]>\n<r>&e;</r>\n"}}},
      {"an external entity whose text declaration names ISO-8859-1",
       {{"e.ent", "<?xml encoding=\"ISO-8859-1\"?><e>caf\xE9</e>"},
        {"d.xml", "<!DOCTYPE r [<!ENTITY e SYSTEM \"e.ent\">]>\n<r>&e;</r>\n"}}},
      {"an external DTD without a text declaration, with a comment",
       {{"d.dtd", "<!-- encoding=\"latin1\" --><!ENTITY x \"caf\xC3\xA9\">"},
        {"d.xml", "<!DOCTYPE r SYSTEM \"d.dtd\">\n<r>&x;</r>\n"}}},
  };
  for (const DtdCase& c : cases) {
    SCOPED_TRACE(c.name);
    KTScratchFolder folder;
    for (const auto& [name, text] : c.files)
      folder.Write(name, text);
    folder.Write("id.xsl", kKTIdentityStylesheet);
    ExpectOutputAsXsltproc(folder, "id.xsl");
  }
}

// A source whose text holds neither an '&' nor a CR has its texts shown as
// they are, without the search for references and line ends: the cases set
// one of the two in each place a value may hold it, beside the documents
// that hold none, and every text, comment, CDATA section, processing
// instruction and attribute is shown with its line ends made visible.
TEST(DocumentEncodingProgramTest, ReferencesAndCarriageReturnsShowAsXsltprocShows) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const char* const shown =
      "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
      "<xsl:template match=\"/\"><out><xsl:copy-of select=\"/\"/>\n"
      "<xsl:for-each select=\"//node()|//@*\"><n><xsl:value-of select=\"string-length(.)\"/>:"
      "<xsl:value-of select=\"translate(., '&#13;&#10;&#9;', 'RNT')\"/></n></xsl:for-each>"
      "</out></xsl:template>\n</xsl:stylesheet>\n";
  const std::string longText(200, 'x');
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"neither", "<r a='1'>text<!--c--><?p d?><![CDATA[x]]><e>v</e>\n<e/></r>\n"},
      {"CR LF line ends throughout", "<r>\r\n<a>one\r\ntwo</a>\r\n</r>\r\n"},
      {"a lone CR in a text", "<r>a\rb<e/>c\r</r>"},
      {"a CR in an element's only text", "<r><a>x\r</a><b>y<c/>z\r\n</b></r>"},
      {"a CR in a comment", "<r><!--a\r\nb--></r>"},
      {"a CR in a CDATA section", "<r><![CDATA[a\r\nb]]></r>"},
      {"a CR in a processing instruction", "<r><?p a\r\nb?></r>"},
      {"a CR in an attribute only", "<r a=\"x\r\ny\"/>"},
      {"a CR after a long text", "<r>" + longText + "\r\n</r>"},
      {"an escaped ampersand", "<r>a &amp; b<e>&lt;</e></r>"},
      {"a character reference to CR", "<r>a&#13;b<e>&#xD;</e></r>"},
      {"a character reference and a CR", "<r>a&#10;b\r\nc</r>"},
      {"an entity with markup", "<!DOCTYPE r [<!ENTITY e \"<b>x</b>y\">]><r>a &e; b</r>"},
      {"an ampersand in an attribute only", "<r a=\"&lt;\">t</r>"},
      // A document without a DTD knows the predefined entities only.
      {"every predefined entity, at the ends and side by side",
       "<r>&amp;a&lt;&gt;&quot;&apos;b&amp;<e>&lt;</e><e>&quot;&apos;</e>x&gt;</r>"},
      {"text after a reference that reads like another reference", "<r>&amp;#60; &amp;amp; &#38;#60; &#38;lt;</r>"},
      {"character references of every size", "<r>&#65;&#x42;&#x43;&#xe9;&#xE9;&#x20AC;&#x1F600;&#1114111;</r>"},
      {"references in attribute values", "<r a='&amp;#60; &#10;x&#9;y&lt;' b=\"&quot;&apos;\">&amp;</r>"},
      {"a DTD that declares an entity beside the predefined ones",
       "<!DOCTYPE r [<!ENTITY e \"&#38;#60;\">]><r>&e;&amp;&lt;</r>"},
      // A document without a CR whose entity puts one, from a character
      // reference in its value, in the attributes of the elements it holds.
      {"an entity whose elements hold a CR LF in attribute values",
       "<!DOCTYPE r [<!ENTITY e \"<x a='1&#13;&#10;2' b='3&#13;4&#38;amp;&#13;&#10;5'>t</x>\">]><r>&e;</r>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KTScratchFolder folder;
    folder.Write("d.xml", c.text);
    folder.Write("s.xsl", shown);
    ExpectOutputAsXsltproc(folder, "s.xsl");
  }
}

TEST(DocumentEncodingProgramTest, AnUnknownEncodingInADeclarationIsRefused) {
  struct RefusedCase {
    const char* source;
    const char* name;
  };
  const RefusedCase cases[] = {
      {"<?xml version=\"1.0\" encoding=\"bogus\"?>\n<r/>\n", "bogus"},
      {"<?xml\tversion='1.0'\n encoding='x-unknown'?><r encoding=\"UTF-8\"/>\n", "x-unknown"},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.source);
    KTScratchFolder folder;
    folder.Write("d.xml", c.source);
    folder.Write("id.xsl", kKTIdentityStylesheet);
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xsl", "id.xsl", "-xml", "d.xml", "-out", "r.out"}, folder.Path());
    EXPECT_EQ(ours.status, 1);
    EXPECT_NE(ours.err.find(std::string("The encoding \"") + c.name +
                            "\" named in the encoding declaration is not supported\n"),
              std::string::npos)
        << ours.err;
  }
}

}  // namespace

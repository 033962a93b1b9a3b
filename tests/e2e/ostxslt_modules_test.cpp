// End-to-end tests of stylesheet modules run by the program: import
// precedence of every kind of top-level declaration when a module is
// imported twice, the rules xsl:apply-imports may choose from, and what
// may stand as a module's document element (simplified stylesheets).
// Outputs are compared with xsltproc's where XSLT 1.0 allows one result;
// where xsltproc departs from the recommendation, the recommendation's text
// is cited and its answer asserted.
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

std::string Sheet(const std::string& body, const std::string& namespaces = "") {
  return "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'" + namespaces + ">\n" +
         body + "</xsl:stylesheet>\n";
}

using Files = std::vector<std::pair<std::string, std::string>>;

class ModulesTest : public ::testing::Test {
 protected:
  static bool HaveXsltproc() { return access(kXsltproc, X_OK) == 0; }

  void Write(const Files& files) {
    folder_.Write("d.xml", "<doc>\n <i/> <i/>\n</doc>\n");
    for (const auto& [name, text] : files) folder_.Write(name, text);
  }

  KTProgramResult Run(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments{"-xml", "d.xml", "-xsl", "main.xsl", "-out", "o.txt"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return KTRunProgram(OSTXSLT_PROGRAM, arguments, folder_.Path());
  }

  // Our output of main.xsl, compared with xsltproc's.
  std::string RunAndCompare(const Files& files) {
    Write(files);
    KTProgramResult ours = Run();
    EXPECT_EQ(ours.status, 0) << ours.err;
    std::string output = folder_.Read("o.txt");
    if (HaveXsltproc()) {
      KTProgramResult theirs = KTRunProgram(kXsltproc, {"-o", "p.txt", "main.xsl", "d.xml"}, folder_.Path());
      EXPECT_EQ(theirs.status, 0) << theirs.err;
      EXPECT_EQ(KTWithoutDeclaration(output), KTWithoutDeclaration(folder_.Read("p.txt")));
    }
    return output;
  }

  KTScratchFolder folder_;
};

// x.xsl and y.xsl declare one of everything under the same names; main.xsl
// imports x, y and x again. XSLT 1.0 §2.6.2: the import tree holds x twice,
// and its second place ranks above y, so x's declarations win everywhere.
Files DeclarationsOfTwoModules() {
  Files files;
  for (const char* m : {"x", "y"}) {
    std::string n(m);
    bool x = n == "x";
    files.emplace_back(
        n + ".xsl",
        Sheet("<xsl:variable name='v' select=\"'" + n + "'\"/>\n"
              "<xsl:param name='p' select=\"'" + n + "'\"/>\n"
              "<xsl:variable name='late' select=\"concat($v, '" + n + "')\"/>\n"
              "<xsl:attribute-set name='s'><xsl:attribute name='set'>" + n + "</xsl:attribute></xsl:attribute-set>\n"
              "<xsl:output method='xml' indent='no' doctype-system='" + n + ".dtd' encoding='" +
                  (x ? "ISO-8859-1" : "UTF-8") + "'/>\n"
              "<xsl:namespace-alias stylesheet-prefix='a' result-prefix='r" + n + "'/>\n"
              "<xsl:strip-space elements='" + (x ? "doc" : "other") + "'/>\n"
              "<xsl:preserve-space elements='" + (x ? "other" : "doc") + "'/>\n"
              "<xsl:key name='k' match='i' use=\"'" + n + "'\"/>\n"
              "<xsl:template match='doc' mode='m'>" + n + "</xsl:template>\n"
              "<xsl:template name='t'>" + n + "</xsl:template>\n",
              " xmlns:a='urn:a' xmlns:r" + n + "='urn:r" + n + "'"));
  }
  return files;
}

TEST_F(ModulesTest, AModuleImportedTwiceRanksAtItsLaterImport) {
  Files files = DeclarationsOfTwoModules();
  files.emplace_back("main.xsl",
                     Sheet("<xsl:import href='x.xsl'/>\n<xsl:import href='y.xsl'/>\n<xsl:import href='x.xsl'/>\n"
                           "<xsl:template match='/'><a:r v='{$v}' p='{$p}' late='{$late}' xsl:use-attribute-sets='s'"
                           " n='{count(doc/node())}' k=\"{count(key('k','x'))}-{count(key('k','y'))}\">"
                           "<xsl:apply-templates select='doc' mode='m'/><xsl:call-template name='t'/>"
                           "</a:r></xsl:template>\n",
                           " xmlns:a='urn:a'"));
  std::string output = RunAndCompare(files);
  EXPECT_NE(output.find("v=\"x\" p=\"x\" late=\"xx\""), std::string::npos) << output;
}

TEST_F(ModulesTest, AParameterGivenOnTheCommandLineMeetsDeclarationsInSeveralModules) {
  Files files = DeclarationsOfTwoModules();
  files.emplace_back("main.xsl",
                     Sheet("<xsl:import href='x.xsl'/>\n<xsl:import href='y.xsl'/>\n<xsl:import href='x.xsl'/>\n"
                           "<xsl:param name='p' select=\"'main'\"/>\n<xsl:output method='text'/>\n"
                           "<xsl:variable name='a' select=\"concat($p, '-', $b)\"/>\n"
                           "<xsl:variable name='b' select=\"'b'\"/>\n"
                           "<xsl:template match='/'>[<xsl:value-of select='$p'/>|<xsl:value-of select='$a'/>|"
                           "<xsl:value-of select='$v'/>]</xsl:template>\n"));
  Write(files);
  KTProgramResult ours = Run({"-param", "p='given'"});
  ASSERT_EQ(ours.status, 0) << ours.err;
  if (!HaveXsltproc()) return;
  KTProgramResult theirs =
      KTRunProgram(kXsltproc, {"--param", "p", "'given'", "-o", "p.txt", "main.xsl", "d.xml"}, folder_.Path());
  ASSERT_EQ(theirs.status, 0) << theirs.err;
  EXPECT_EQ(folder_.Read("o.txt"), folder_.Read("p.txt"));
}

TEST_F(ModulesTest, AModuleImportedAgainEvaluatesItsVariablesAfresh) {
  // a refers forward to b: at x's second import both are x's again.
  Files files;
  for (const char* m : {"x", "y"})
    files.emplace_back(std::string(m) + ".xsl",
                       Sheet("<xsl:variable name='a' select=\"concat($b, '1')\"/>\n"
                             "<xsl:variable name='b' select=\"'" + std::string(m) + "'\"/>\n"));
  files.emplace_back("main.xsl",
                     Sheet("<xsl:import href='x.xsl'/>\n<xsl:import href='y.xsl'/>\n<xsl:import href='x.xsl'/>\n"
                           "<xsl:output method='text'/>\n"
                           "<xsl:template match='/'><xsl:value-of select='concat($a, $b)'/></xsl:template>\n"));
  EXPECT_EQ(RunAndCompare(files), "x1x");
}

TEST_F(ModulesTest, ImportsSharedByTwoModulesRankAtTheirLastPlace) {
  // main imports a and b, each of which imports c: c ranks below a at its
  // first place and above it at its second, so c's variable wins over a's.
  RunAndCompare({
      {"c.xsl", Sheet("<xsl:variable name='v' select=\"'c'\"/>\n<xsl:template match='i'>c</xsl:template>\n")},
      {"a.xsl", Sheet("<xsl:import href='c.xsl'/>\n<xsl:variable name='v' select=\"'a'\"/>\n"
                      "<xsl:template match='i'>a</xsl:template>\n")},
      {"b.xsl", Sheet("<xsl:import href='c.xsl'/>\n")},
      {"main.xsl", Sheet("<xsl:import href='a.xsl'/>\n<xsl:import href='b.xsl'/>\n<xsl:output method='text'/>\n"
                         "<xsl:template match='/'>[<xsl:value-of select='$v'/>]"
                         "<xsl:apply-templates select='doc/i'/></xsl:template>\n")},
  });
}

TEST_F(ModulesTest, ApplyImportsChoosesAmongTheRulesItsModuleImports) {
  // A chain of imports: each rule's module imports the next one.
  EXPECT_EQ(RunAndCompare({
                {"low.xsl", Sheet("<xsl:template match='doc'>[low]</xsl:template>\n"
                                  "<xsl:template match='doc' mode='m'>[low-m]</xsl:template>\n")},
                {"mid.xsl", Sheet("<xsl:import href='low.xsl'/>\n"
                                  "<xsl:template match='doc'>[mid]<xsl:apply-imports/></xsl:template>\n"
                                  "<xsl:template match='doc' mode='m'>[mid-m]<xsl:apply-imports/></xsl:template>\n")},
                {"main.xsl", Sheet("<xsl:import href='mid.xsl'/>\n<xsl:output method='text'/>\n"
                                   "<xsl:template match='/'><xsl:apply-templates select='doc'/>"
                                   "<xsl:apply-templates select='doc' mode='m'/></xsl:template>\n"
                                   "<xsl:template match='doc'>[main]<xsl:apply-imports/></xsl:template>\n")},
            }),
            "[main][mid][low][mid-m][low-m]");
}

TEST_F(ModulesTest, ApplyImportsPassesOverRulesOutsideItsModulesImports) {
  // XSLT 1.0 §5.6: "xsl:apply-imports processes the current node using only
  // template rules that were imported into the stylesheet element containing
  // the current template rule". main imports a and b, each importing c. b's
  // rule imports c's; c's rule (at c's second place, under b) imports
  // nothing, so the built-in rule follows; a's rules, of lower precedence
  // but outside both modules' imports, never run. xsltproc runs every rule
  // of lower precedence in turn ("[b][c][a][c]").
  Write({
      {"c.xsl", Sheet("<xsl:template match='doc'>[c]<xsl:apply-imports/></xsl:template>\n"
                      "<xsl:template match='i'>(i)</xsl:template>\n")},
      {"a.xsl", Sheet("<xsl:import href='c.xsl'/>\n"
                      "<xsl:template match='doc'>[a]<xsl:apply-imports/></xsl:template>\n")},
      {"b.xsl", Sheet("<xsl:import href='c.xsl'/>\n"
                      "<xsl:template match='doc'>[b]<xsl:apply-imports/></xsl:template>\n")},
      {"main.xsl", Sheet("<xsl:import href='a.xsl'/>\n<xsl:import href='b.xsl'/>\n<xsl:output method='text'/>\n"
                         "<xsl:strip-space elements='*'/>\n"
                         "<xsl:template match='/'><xsl:apply-templates select='doc'/></xsl:template>\n")},
  });
  KTProgramResult ours = Run();
  ASSERT_EQ(ours.status, 0) << ours.err;
  // The built-in rule for doc applies templates to its children: c's rule
  // for i, twice.
  EXPECT_EQ(folder_.Read("o.txt"), "[b][c](i)(i)");
}

// XSLT 1.0 §2.3: a literal result element with xsl:version as a module is a
// stylesheet holding one template rule for "/" whose content it is.
const char* const kSimplified =
    "<html xsl:version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
    "<p><xsl:value-of select='count(//i)'/></p></html>\n";

TEST_F(ModulesTest, ASimplifiedStylesheetAsAModuleIsATemplateRuleForTheRoot) {
  const std::vector<std::pair<const char*, std::string>> mains = {
      // Imported: its rule for "/" ranks below the importer's rules.
      {"imported", Sheet("<xsl:import href='lre.xsl'/>\n<xsl:template match='i'>[i]</xsl:template>\n")},
      {"reached by apply-imports",
       Sheet("<xsl:import href='lre.xsl'/>\n<xsl:template match='/'><out><xsl:apply-imports/></out></xsl:template>\n")},
      {"overridden", Sheet("<xsl:import href='lre.xsl'/>\n<xsl:template match='/'><out/></xsl:template>\n")},
      // Included: its rule stands among the includer's own.
      {"included", Sheet("<xsl:include href='lre.xsl'/>\n<xsl:template match='i'>[i]</xsl:template>\n")},
  };
  for (const auto& [what, main] : mains) {
    SCOPED_TRACE(what);
    RunAndCompare({{"lre.xsl", kSimplified}, {"main.xsl", main}});
  }
}

// common.xsl binds a and b on its stylesheet element; its rules write
// literal elements that use them and an element that declares one more,
// read a top-level variable and its own document through document('').
const char* const kCommon =
    "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' xmlns:a='urn:a'"
    " xmlns:b='urn:b'>\n"
    "<xsl:variable name='cv' select='count(//i)'/>\n"
    "<xsl:template match='i' mode='c'><a:e b:at='{$cv}'><b:f xmlns:z='urn:z'><z:g/></b:f>"
    "<xsl:value-of select=\"count(document('', /)/doc)\"/></a:e></xsl:template>\n"
    "<xsl:template name='c'><a:top b:n=\"{count(document('')/*/xsl:template)}\"/></xsl:template>\n"
    "</xsl:stylesheet>\n";

TEST_F(ModulesTest, AModuleReachedSeveralTimesShowsTheSameNodesEachTime) {
  // The first include of a module gives its own nodes to the including
  // stylesheet; each later use (another include, an import) and
  // document('') must still find the module as it was written.
  const std::string kRun = "<xsl:template match='/'><r><xsl:call-template name='c'/>"
                           "<xsl:apply-templates select='//i' mode='c'/></r></xsl:template>\n";
  const std::string kHandOn = "<xsl:template match='doc/i' mode='c'><m><xsl:apply-imports/></m></xsl:template>\n";
  const std::string kUsesB =
      Sheet("<xsl:include href='common.xsl'/>\n"
            "<xsl:template name='b2'><b:w n=\"{count(document('')/*/xsl:template)}\"><xsl:call-template name='c'/>"
            "</b:w></xsl:template>\n",
            " xmlns:b='urn:b'");
  const struct {
    const char* what;
    std::string main;
  } cases[] = {
      {"included once, other prefix order", Sheet("<xsl:include href='common.xsl'/>\n" + kRun, " xmlns:b='urn:b' xmlns:a='urn:a'")},
      // The rule of main.xsl for doc/i outranks the included one and hands
      // on to the imported one.
      {"included through another module, then imported",
       Sheet("<xsl:import href='common.xsl'/>\n<xsl:include href='uses.xsl'/>\n" + kRun + kHandOn +
                 "<xsl:template name='more'><xsl:call-template name='b2'/></xsl:template>\n",
             " xmlns:a='urn:a'")},
      {"included, then included by an imported module",
       Sheet("<xsl:import href='y.xsl'/>\n<xsl:include href='common.xsl'/>\n" + kRun + kHandOn)},
      {"included by two imported modules",
       Sheet("<xsl:import href='x.xsl'/>\n<xsl:import href='y.xsl'/>\n"
             "<xsl:template match='/'><r><xsl:call-template name='x'/><xsl:call-template name='y'/></r>"
             "</xsl:template>\n",
             " xmlns:m='urn:m'")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RunAndCompare({{"common.xsl", kCommon},
                   {"uses.xsl", kUsesB},
                   {"x.xsl", Sheet("<xsl:include href='common.xsl'/>\n<xsl:template name='x'><x>"
                                   "<xsl:apply-templates select='//i' mode='c'/><xsl:call-template name='c'/></x>"
                                   "</xsl:template>\n",
                                   " xmlns:b='urn:b' xmlns:a='urn:a'")},
                   {"y.xsl", Sheet("<xsl:include href='common.xsl'/>\n<xsl:template name='y'><y>"
                                   "<xsl:apply-templates select='//i' mode='c'/></y></xsl:template>\n",
                                   " xmlns:q='urn:q'")},
                   {"main.xsl", c.main}});
  }
}

TEST_F(ModulesTest, DocumentOfAModuleShowsTheIndentingTextsItsStylesheetLeavesOut) {
  // Stylesheet stripping (XSLT 1.0 §3.4) removes a module's indenting texts
  // from the stylesheet, not from the module read as a source document:
  // document('') and document() of the module's file keep every one.
  const std::string kIndented = Sheet(
      "  <xsl:template name='m'>\n"
      "    <m n=\"{count(document('')//text())}\">\n"
      "      <xsl:copy-of select=\"document('')/*/xsl:template[@name = 'm']\"/>\n"
      "    </m>\n"
      "  </xsl:template>\n");
  const struct {
    const char* what;
    std::string main;
  } cases[] = {
      {"included", Sheet("<xsl:include href='m.xsl'/>\n<xsl:template match='/'><r><xsl:call-template name='m'/>"
                         "<xsl:copy-of select=\"document('m.xsl')\"/></r></xsl:template>\n")},
      {"imported, its file read first by the including sheet",
       Sheet("<xsl:import href='m.xsl'/>\n<xsl:template match='/'><r n=\"{count(document('m.xsl')//text())}\">"
             "<xsl:call-template name='m'/></r></xsl:template>\n")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RunAndCompare({{"m.xsl", kIndented}, {"main.xsl", c.main}});
  }
}

TEST_F(ModulesTest, AnImportedRuleDeclaresTheSameNamespacesWhetherItsModuleIsAlsoIncludedOrNot) {
  // The order of namespace declarations is the processor's to choose, so
  // the imported rule's output is compared with its output where the module
  // is only imported; main.xsl first runs the included copy of the module,
  // whose declarations follow main.xsl's order.
  const std::string kCommon = Sheet(
      "<xsl:template match='i' mode='o'><o x='1'/></xsl:template>\n<xsl:template name='n'><o x='2'/></xsl:template>\n",
      " xmlns:a='urn:a' xmlns:b='urn:b'");
  const std::string kHandOn = "<xsl:template match='doc/i' mode='o'><xsl:apply-imports/></xsl:template>\n";
  Write({{"common.xsl", kCommon},
         {"main.xsl", Sheet("<xsl:import href='common.xsl'/>\n<xsl:include href='common.xsl'/>\n"
                            "<xsl:template match='/'><xsl:call-template name='n'/>"
                            "<xsl:apply-templates select='//i' mode='o'/></xsl:template>\n" +
                                kHandOn,
                            " xmlns:b='urn:b' xmlns:a='urn:a'")},
         {"only.xsl", Sheet("<xsl:import href='common.xsl'/>\n"
                            "<xsl:template match='/'><xsl:apply-templates select='//i' mode='o'/></xsl:template>\n" +
                                kHandOn,
                            " xmlns:b='urn:b' xmlns:a='urn:a'")}});
  KTProgramResult both = Run();
  ASSERT_EQ(both.status, 0) << both.err;
  std::string output = KTWithoutDeclaration(folder_.Read("o.txt"));
  KTProgramResult imported =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "d.xml", "-xsl", "only.xsl", "-out", "only.txt"}, folder_.Path());
  ASSERT_EQ(imported.status, 0) << imported.err;
  size_t second = output.find("<o", 1);
  ASSERT_NE(second, std::string::npos) << output;
  EXPECT_EQ(output.substr(second), KTWithoutDeclaration(folder_.Read("only.txt")));
}

TEST_F(ModulesTest, AnErrorInAnIncludedModuleNamesThatModuleAndItsLine) {
  // Once as the only include of the module, once as its second include
  // (after an import of it).
  const std::string kBad =
      Sheet("<xsl:template name='t'>\n  <xsl:value-of select='1 +'/>\n</xsl:template>\n");
  const std::string kCall = "<xsl:template match='/'><xsl:call-template name='t'/></xsl:template>\n";
  for (const std::string& main : {Sheet("<xsl:include href='bad.xsl'/>\n" + kCall),
                                  Sheet("<xsl:import href='bad.xsl'/>\n<xsl:include href='bad.xsl'/>\n" + kCall)}) {
    Write({{"bad.xsl", kBad}, {"main.xsl", main}});
    KTProgramResult ours = Run();
    EXPECT_EQ(ours.status, 1) << main;
    EXPECT_NE(ours.err.find("bad.xsl at line 3 character 17"), std::string::npos) << main << ours.err;
    if (HaveXsltproc()) {
      KTProgramResult theirs = KTRunProgram(kXsltproc, {"main.xsl", "d.xml"}, folder_.Path());
      EXPECT_NE(theirs.status, 0) << main;
    }
  }
}

// The place of an error in the main stylesheet, an included and an imported
// module, raised while the stylesheet is compiled or while it runs, on a line
// where a tab counts one character and a character past U+FFFF (two UTF-16
// units) counts one, after lines ended by LF, CR LF or a lone CR. The
// character is that of the attribute at fault. xsltproc, run here, names the
// same line where it counts lines the same way (it does not end a line at a
// lone CR).
TEST_F(ModulesTest, AnErrorNamesItsLineAndCharacterWhateverTheLineEnds) {
  const std::string kFace = "\xF0\x9F\x98\x80";     // U+1F600
  const std::string kDeseret = "\xF0\x90\x90\x80";  // U+10400
  const std::string kCompileFault = "<xsl:value-of select='1 +'/>";
  const std::string kRunFault = "<xsl:for-each select='$n'/>";
  const std::string kCall = "<xsl:template match='/'><xsl:call-template name='t'/></xsl:template>\n";
  // A module holding template "t" whose third line is `line`, then `rest`,
  // with its line ends written as `end`.
  auto module = [](const std::string& line, const std::string& end, const std::string& rest) {
    std::string text = Sheet("<xsl:variable name='n' select='1'/><xsl:template name='t'>\n" + line +
                             "\n</xsl:template>\n" + rest);
    std::string ended;
    for (char c : text) ended += c == '\n' ? end : std::string(1, c);
    return ended;
  };
  const struct {
    const char* what;
    const char* how;  // how main.xsl reaches m.xsl: "include", "import", or "" (m.xsl is main.xsl)
    std::string line;
    const char* end;
    const char* place;  // of the error in m.xsl
    bool sameLineAsXsltproc;
  } cases[] = {
      {"compile time, main stylesheet", "", "\t<!--" + kFace + "-->\t" + kCompileFault, "\n",
       "at line 3 character 25", true},
      {"compile time, included, two wide characters", "include", "\t<!--" + kFace + kFace + "-->\t" + kCompileFault,
       "\n", "at line 3 character 26", true},
      {"compile time, imported, CR LF", "import", " " + kDeseret + " " + kCompileFault, "\r\n",
       "at line 3 character 18", true},
      {"compile time, included, lone CR", "include", "\t" + kCompileFault, "\r", "at line 3 character 16", false},
      {"run time, main stylesheet, CR LF", "", "\t" + kFace + kRunFault, "\r\n", "at line 3 character 17", true},
      {"run time, imported, wide character", "import", " " + kDeseret + " " + kRunFault, "\n",
       "at line 3 character 18", true},
      {"run time, included, lone CR", "include", kFace + "\t" + kRunFault, "\r", "at line 3 character 17", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = *c.how ? "m.xsl" : "main.xsl";
    Files files{{name, module(c.line, c.end, *c.how ? "" : kCall)}};
    if (*c.how) files.push_back({"main.xsl", Sheet(std::string("<xsl:") + c.how + " href='m.xsl'/>\n" + kCall)});
    Write(files);
    KTProgramResult ours = Run();
    EXPECT_EQ(ours.status, 1) << ours.err;
    const std::string head = "Error in " + folder_.File(name) + " " + c.place + "\n";
    EXPECT_EQ(ours.err.compare(0, head.size(), head), 0) << ours.err;
    if (HaveXsltproc() && c.sameLineAsXsltproc) {
      KTProgramResult theirs = KTRunProgram(kXsltproc, {"main.xsl", "d.xml"}, folder_.Path());
      EXPECT_NE(theirs.err.find("file " + name + " line 3 "), std::string::npos) << theirs.err;
    }
  }
}

TEST_F(ModulesTest, ADocumentThatIsNoStylesheetIsRefused) {
  // XSLT 1.0 §2.2 and §2.3: a stylesheet's document element is xsl:stylesheet
  // or xsl:transform in the XSLT namespace, or a literal result element with
  // an xsl:version attribute. xsltproc refuses each of these too.
  const std::string kPlain = "<html><p>plain</p></html>\n";
  const struct {
    const char* what;
    Files files;
  } cases[] = {
      {"an old XSLT namespace",
       {{"main.xsl", "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/XSL/Transform/1.0'>"
                     "<xsl:template match='/'>x</xsl:template></xsl:stylesheet>\n"}}},
      {"a literal result element without xsl:version", {{"main.xsl", kPlain}}},
      {"imported", {{"plain.xsl", kPlain}, {"main.xsl", Sheet("<xsl:import href='plain.xsl'/>\n")}}},
      {"included", {{"plain.xsl", kPlain}, {"main.xsl", Sheet("<xsl:include href='plain.xsl'/>\n")}}},
  };
  for (const auto& c : cases) {
    Write(c.files);
    KTProgramResult ours = Run();
    EXPECT_EQ(ours.status, 1) << c.what;
    EXPECT_NE(ours.err.find("Not a stylesheet"), std::string::npos) << c.what << ": " << ours.err;
    EXPECT_FALSE(folder_.Exists("o.txt")) << c.what;
    if (HaveXsltproc()) {
      KTProgramResult theirs = KTRunProgram(kXsltproc, {"main.xsl", "d.xml"}, folder_.Path());
      EXPECT_NE(theirs.status, 0) << c.what;
    }
  }
}

}  // namespace

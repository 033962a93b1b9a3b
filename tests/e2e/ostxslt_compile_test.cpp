// End-to-end tests of what the stylesheet compile refuses before the run:
// expressions and value templates that do not parse, wherever they stand
// (a template never applied, a branch never taken, an imported module), and
// patterns outside the pattern grammar. Verdicts and outputs are compared
// with xsltproc run at test time; where xsltproc accepts what XSLT 1.0
// refuses, the recommendation's rule is asserted.
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

const char kSource[] = "<doc><a x='1'>one</a><b>two</b></doc>";

std::string Sheet(const std::string& body) {
  return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" "
         "xmlns:d=\"urn:d\">\n" +
         body + "\n</xsl:stylesheet>\n";
}

struct Verdicts {
  KTProgramResult ours;
  KTProgramResult theirs;
  std::string ourOutput;
  std::string theirOutput;
};

Verdicts RunBoth(const KTScratchFolder& folder) {
  Verdicts v;
  v.ours = KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "d.xml", "-xsl", "s.xsl", "-out", "ours.xml"}, folder.Path());
  v.theirs = KTRunProgram("/usr/bin/xsltproc", {"--nonet", "-o", "theirs.xml", "s.xsl", "d.xml"}, folder.Path());
  v.ourOutput = KTWithoutDeclaration(folder.Read("ours.xml"));
  v.theirOutput = KTWithoutDeclaration(folder.Read("theirs.xml"));
  return v;
}

// Syntax errors in expressions and value templates that never run are
// reported before the run. Where xsltproc refuses the stylesheet too the
// verdicts are compared; where it accepts one (it compiles some of these
// only when they run, and reads «1 ordinal» as «1 or dinal», which XPath 1.0
// §3.7 refuses: after a number an NCName must be an operator name) our
// verdict alone is asserted.
TEST(CompileTest, SyntaxErrorsAnywhereAreReportedBeforeTheRun) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const struct {
    const char* body;
    bool xsltprocRefuses;
  } never[] = {
      {"<xsl:template match='never'><xsl:value-of select='1 +'/></xsl:template>", true},
      {"<xsl:template match='never'><xsl:for-each select='a['/></xsl:template>", true},
      {"<xsl:template match='/'><xsl:choose><xsl:when test='true()'/>"
       "<xsl:when test='1 = = 1'/></xsl:choose></xsl:template>",
       true},
      {"<xsl:template match='never'><xsl:apply-templates select='//'/></xsl:template>", true},
      {"<xsl:template match='never'><xsl:variable name='v' select='('/></xsl:template>", true},
      {"<xsl:template name='t'><xsl:param name='p' select=')'/></xsl:template>", true},
      {"<xsl:template match='never'><xsl:call-template name='t'><xsl:with-param name='p' select='1 div'/>"
       "</xsl:call-template></xsl:template><xsl:template name='t'/>",
       true},
      {"<xsl:template match='never'><xsl:for-each select='a'><xsl:sort select='@'/></xsl:for-each></xsl:template>",
       true},
      {"<xsl:template match='never'><r a='{1 +}'/></xsl:template>", true},
      {"<xsl:key name='k' match='a' use='1 +'/>", true},
      {"<xsl:template match='/'><xsl:if test='false()'><xsl:copy-of select='f('/></xsl:if></xsl:template>",
       false},
      {"<xsl:template match='never'><xsl:number value='1 *'/></xsl:template>", false},
      {"<xsl:template match='never'><xsl:element name='{$}'/></xsl:template>", false},
      {"<xsl:template match='never'><xsl:attribute name='n' namespace='{[}'/></xsl:template>", false},
      {"<xsl:template match='never'><xsl:processing-instruction name='{]}'/></xsl:template>", false},
      {"<xsl:template match='never'><xsl:number format='{1 mod}'/></xsl:template>", false},
      {"<xsl:variable name='g' select='/ /'/>", false},
      {"<xsl:template match='never'><xsl:value-of select='1 ordinal'/></xsl:template>", false},
      {"<xsl:template match='never'><xsl:value-of select='5 mod2'/></xsl:template>", false},
      {"<xsl:template match='never'><xsl:value-of select='6 div3'/></xsl:template>", false},
  };
  for (const auto& c : never) {
    SCOPED_TRACE(c.body);
    KTScratchFolder folder;
    folder.Write("d.xml", kSource);
    folder.Write("s.xsl", Sheet(std::string("<xsl:template match='/'><r/></xsl:template>") + c.body));
    Verdicts v = RunBoth(folder);
    if (c.xsltprocRefuses) EXPECT_NE(v.theirs.status, 0) << "xsltproc accepted it";
    EXPECT_EQ(v.ours.status, 1) << v.ours.err;
    EXPECT_FALSE(folder.Exists("ours.xml"));
    // The place names the module, line and character; the message shows
    // the expression with its marker.
    EXPECT_EQ(v.ours.err.rfind("Error in " + folder.File("s.xsl") + " at line ", 0), 0u) << v.ours.err;
    EXPECT_NE(v.ours.err.find("^\n"), std::string::npos) << v.ours.err;
  }
}

// XPath 1.0 §3.7: a name is read whole. An operator name is exactly "and",
// "or", "div" or "mod", and a name before "(" is a function call unless it
// is exactly a node type, so "nodes()" is an unknown function, refused when
// it runs, with its name in the message. Outputs and verdicts are compared
// with xsltproc.
TEST(CompileTest, OperatorAndFunctionNamesAreWholeNames) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const struct {
    const char* select;
    const char* unknownFunction;  // named in our message when the run fails
  } cases[] = {
      {"6 div 3", nullptr},
      {"7 mod 2", nullptr},
      {"1 and 0 or 1", nullptr},
      {"count(node()) + count(text()) + count(//comment()) + count(a/node ( ))", nullptr},
      {"concat(div, mod, and, or)", nullptr},
      {"count(child::a/attribute::x)", nullptr},
      {"nodes()", "nodes()"},
      {"text-of(.)", "text-of()"},
      {"comment-count()", "comment-count()"},
      {"node-set(a)", "node-set()"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.select);
    KTScratchFolder folder;
    folder.Write("d.xml", kSource);
    folder.Write("s.xsl", Sheet(std::string("<xsl:template match='/'><r><xsl:value-of select=\"") + c.select +
                                "\"/></r></xsl:template>"));
    Verdicts v = RunBoth(folder);
    EXPECT_EQ(v.ours.status == 0, v.theirs.status == 0) << v.ours.err << "\n--\n" << v.theirs.err;
    EXPECT_EQ(v.ourOutput, v.theirOutput);
    EXPECT_EQ(v.ours.status, c.unknownFunction ? 1 : 0) << v.ours.err;
    if (c.unknownFunction) {
      EXPECT_NE(v.ours.err.find(std::string("Unknown XPath function: ") + c.unknownFunction), std::string::npos)
          << v.ours.err;
    }
  }
}

// An included or imported module's syntax error, wrong function call or
// unbound name is reported though nothing in it runs (xsltproc passes over
// some of them: only our verdict there); errors found only by evaluation
// (a value of the wrong type, an extension function that is not there)
// stay errors of the run, so a template that never runs may hold them, as
// xsltproc also has it.
TEST(CompileTest, ImportedModulesAndRunTimeErrors) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const struct {
    const char* imported;
    const char* main;
    bool accepted;
    bool xsltprocAgrees;
  } cases[] = {
      {"<xsl:template match='never'><xsl:value-of select='concat(1,'/></xsl:template>",
       "<xsl:import href='m.xsl'/><xsl:template match='/'><r/></xsl:template>", false, false},
      {"<xsl:template match='never'><xsl:value-of select='count()'/></xsl:template>",
       "<xsl:import href='m.xsl'/><xsl:template match='/'><r/></xsl:template>", false, false},
      {"<xsl:template match='never'><xsl:value-of select='$nosuch'/></xsl:template>",
       "<xsl:include href='m.xsl'/><xsl:template match='/'><r/></xsl:template>", false, false},
      {"<xsl:template match='never'><xsl:value-of select='a:b()'/></xsl:template>",
       "<xsl:import href='m.xsl'/><xsl:template match='/'><r/></xsl:template>", false, false},
      {"<xsl:template match='never'><xsl:value-of select='count(string(.)) + d:f()'/></xsl:template>",
       "<xsl:import href='m.xsl'/><xsl:template match='/'><r/></xsl:template>", true, true},
      {"<xsl:template match='never'><xsl:value-of select='1 +'/></xsl:template>",
       "<xsl:include href='m.xsl'/><xsl:template match='/'><r/></xsl:template>", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.imported);
    KTScratchFolder folder;
    folder.Write("d.xml", kSource);
    folder.Write("m.xsl", Sheet(c.imported));
    folder.Write("s.xsl", Sheet(c.main));
    Verdicts v = RunBoth(folder);
    if (c.xsltprocAgrees) {
      EXPECT_EQ(v.ours.status == 0, v.theirs.status == 0) << v.ours.err << "\n--\n" << v.theirs.err;
      EXPECT_EQ(v.ourOutput, v.theirOutput);
    }
    EXPECT_EQ(v.ours.status, c.accepted ? 0 : 1) << v.ours.err;
    if (!c.accepted) EXPECT_NE(v.ours.err.find(folder.File("m.xsl")), std::string::npos) << v.ours.err;
  }
}

// XSLT 1.0 §2.5: in forwards-compatible mode, "if an expression does not
// match the syntax allowed by the XPath grammar, then an error must not be
// signaled unless the expression is actually evaluated". xsltproc refuses
// the stylesheet, so the rule is asserted: the run goes on, the branch with
// the expression is not taken.
TEST(CompileTest, ForwardsCompatibleModeWaitsForTheEvaluation) {
  KTScratchFolder folder;
  folder.Write("d.xml", kSource);
  folder.Write("s.xsl",
               "<xsl:stylesheet version=\"2.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"
               "<xsl:template match='/'><r><xsl:if test='false()'><xsl:value-of select='1 +'/></xsl:if></r>"
               "</xsl:template></xsl:stylesheet>");
  KTProgramResult ours =
      KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "d.xml", "-xsl", "s.xsl", "-out", "ours.xml"}, folder.Path());
  EXPECT_EQ(ours.status, 0) << ours.err;
  EXPECT_EQ(KTWithoutDeclaration(folder.Read("ours.xml")), "<r/>\n");
}

// Patterns follow the pattern grammar in template match, xsl:key match and
// xsl:number count and from alike. xsltproc is compared where it keeps to
// the same grammar: it accepts empty alternatives ("a||b", "|a") and a
// predicate after key() everywhere, and in xsl:key match any expression
// (while it refuses id() and key() there, which XSLT 1.0 §12.2 allows: match
// is a Pattern). There only our verdict is asserted.
TEST(CompileTest, PatternsKeepToThePatternGrammar) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  enum Compare { kEverywhere, kNotInKeys, kNowhere };
  const struct {
    const char* pattern;
    bool accepted;
    Compare compare;
  } cases[] = {
      {"(a|b)", false, kEverywhere},
      {"1", false, kEverywhere},
      {"'a'", false, kEverywhere},
      {"-d:c", false, kEverywhere},
      {"(d:c)[1]", false, kEverywhere},
      {"id(@x)", false, kEverywhere},
      {"key('k')", false, kEverywhere},
      {"concat('a','b')", false, kEverywhere},
      {"d:c = 1", false, kNotInKeys},
      {"a/..", false, kNotInKeys},
      {"ancestor::a", false, kNotInKeys},
      {"namespace::*", false, kNotInKeys},
      {"a/self::b", false, kNotInKeys},
      {"a | following::b", false, kNotInKeys},
      {"a||b", false, kNowhere},
      {"|a", false, kNowhere},
      {"key('k', 'v')[1]", false, kNowhere},
      {"//a", true, kEverywhere},
      {"a/b", true, kEverywhere},
      {"a//b", true, kEverywhere},
      {"@x", true, kEverywhere},
      {"d:*", true, kEverywhere},
      {"child::a/attribute::x", true, kEverywhere},
      {"a[1]|b", true, kEverywhere},
      {"a[.. = /]", true, kEverywhere},
      {"processing-instruction('p')|comment()|node()", true, kEverywhere},
      {"id('x')/a", true, kNotInKeys},
      {"key('k','one')", true, kNotInKeys},
      {"key('k', 'one')//text()", true, kNotInKeys},
  };
  for (const auto& c : cases) {
    const std::string pattern(c.pattern);
    const std::string places[] = {
        "<xsl:key name='k2' match=\"" + pattern + "\" use='.'/>",
        "<xsl:template match=\"" + pattern + "\"><m/></xsl:template>",
        "<xsl:template match='b'><xsl:number count=\"" + pattern + "\"/></xsl:template>",
        "<xsl:template match='b'><xsl:number level='any' from=\"" + pattern + "\"/></xsl:template>",
    };
    for (const std::string& place : places) {
      SCOPED_TRACE(place);
      KTScratchFolder folder;
      folder.Write("d.xml", kSource);
      folder.Write("s.xsl", Sheet("<xsl:key name='k' match='a' use='.'/>"
                                  "<xsl:template match='/'><r><xsl:apply-templates/></r></xsl:template>" +
                                  place));
      Verdicts v = RunBoth(folder);
      const bool keyMatch = place.rfind("<xsl:key", 0) == 0;
      if (c.compare == kEverywhere || (c.compare == kNotInKeys && !keyMatch)) {
        EXPECT_EQ(v.ours.status == 0, v.theirs.status == 0) << v.ours.err << "\n--\n" << v.theirs.err;
        EXPECT_EQ(v.ourOutput, v.theirOutput);
      }
      EXPECT_EQ(v.ours.status, c.accepted ? 0 : 1) << v.ours.err;
      if (!c.accepted) EXPECT_FALSE(folder.Exists("ours.xml"));
    }
  }
}

}  // namespace

// What the compile finds wrong in an expression, a pattern or an attribute
// value template without evaluating it is refused before the run, wherever
// it stands: a call of a core function with the wrong number of arguments
// (XPath 1.0 §3.2: "It is an error if the number of arguments is wrong"),
// a prefix that no namespace declaration binds (Namespaces in XML; XSLT 1.0
// §2.4), an unprefixed function outside the core library (XSLT 1.0 §2.5:
// outside forwards-compatible mode), and a variable reference that no
// binding is visible to (XSLT 1.0 §11: a local binding is visible to its
// following siblings and their descendants, not to its own select or
// content). xsltproc reports these only when they are evaluated, so our
// verdict alone is asserted: the module, line and character, the message
// naming the function, prefix or variable, and the marker under it.
TEST(CompileTest, WrongCallsAndUnboundNamesAreRefusedBeforeTheRun) {
  const struct {
    const char* body;
    const char* message;
    const char* marked;  // the expression text from the marker on
  } cases[] = {
      {"<xsl:template match='never'><xsl:value-of select='count()'/></xsl:template>",
       "Too few parameters -> count\n", "count()"},
      {"<xsl:template match='never'><xsl:value-of select='1 + local-name(., .)'/></xsl:template>",
       "Too many parameters -> local-name\n", "local-name(., .)"},
      {"<xsl:template match='never'><xsl:value-of select=\"concat('a')\"/></xsl:template>",
       "Too few parameters -> concat\n", "concat('a')"},
      {"<xsl:template match='never'><xsl:value-of select=\"substring('a')\"/></xsl:template>",
       "Too few parameters -> substring\n", "substring('a')"},
      {"<xsl:template match='never'><xsl:value-of select=\"substring('a', 1, 2, 3)\"/></xsl:template>",
       "Too many parameters -> substring\n", "substring("},
      {"<xsl:template match='never'><xsl:copy-of select=\"key('k')\"/></xsl:template>",
       "Too few parameters -> key\n", "key('k')"},
      {"<xsl:template match='never'><xsl:value-of select='format-number(1)'/></xsl:template>",
       "Too few parameters -> format-number\n", "format-number(1)"},
      {"<xsl:template match='never'><xsl:value-of select='unparsed-entity-uri()'/></xsl:template>",
       "Too few parameters -> unparsed-entity-uri\n", "unparsed-entity-uri()"},
      {"<xsl:template match='never'><xsl:value-of select='string(current(1))'/></xsl:template>",
       "Too many parameters -> current\n", "current(1)"},
      {"<xsl:template match='never'><xsl:if test='true(1)'/></xsl:template>", "Too many parameters -> true\n",
       "true(1)"},
      {"<xsl:template match='never'><xsl:value-of select=\"translate('a', 'b')\"/></xsl:template>",
       "Too few parameters -> translate\n", "translate("},
      {"<xsl:template match='never'><xsl:copy-of select='document()'/></xsl:template>",
       "Too few parameters -> document\n", "document()"},
      {"<xsl:template match='never'><xsl:value-of select=\"function-available('a', 'b')\"/></xsl:template>",
       "Too many parameters -> function-available\n", "function-available("},
      {"<xsl:template match='never'><r a='{system-property()}'/></xsl:template>",
       "Too few parameters -> system-property\n", "system-property()"},
      {"<xsl:template match='never'><xsl:value-of select='n:f()'/></xsl:template>", "Invalid prefix: n:f()\n",
       "n:f()"},
      {"<xsl:template match='never'><xsl:value-of select='1 + $n:v'/></xsl:template>", "Invalid prefix: $n:v\n",
       "$n:v"},
      {"<xsl:template match='never'><xsl:apply-templates select='a/n:x'/></xsl:template>",
       "Invalid prefix: n:x\n", "n:x"},
      {"<xsl:template match='never'><xsl:for-each select='n:*'/></xsl:template>", "Invalid prefix: n:*\n", "n:*"},
      {"<xsl:template match='a/n:b'/>", "Invalid prefix: n:b\n", "n:b"},
      {"<xsl:template match='a[count()]'/>", "Too few parameters -> count\n", "count()]"},
      {"<xsl:key name='k2' match='n:a' use='.'/>", "Invalid prefix: n:a\n", "n:a"},
      {"<xsl:key name='k2' match='a' use='concat(.)'/>", "Too few parameters -> concat\n", "concat(.)"},
      {"<xsl:template match='never'><xsl:number count='n:a'/></xsl:template>", "Invalid prefix: n:a\n", "n:a"},
      {"<xsl:template match='never'><xsl:number from='a[nosuch()]'/></xsl:template>",
       "Unknown XPath function: nosuch()\n", "nosuch()]"},
      {"<xsl:template match='never'><r a='x{n:y}'/></xsl:template>", "Invalid prefix: n:y\n", "n:y"},
      {"<xsl:template match='never'><xsl:value-of select='nosuchfn()'/></xsl:template>",
       "Unknown XPath function: nosuchfn()\n", "nosuchfn()"},
      {"<xsl:template match='/'><xsl:if test='false()'><xsl:value-of select='node-set(.)'/></xsl:if>"
       "</xsl:template>",
       "Unknown XPath function: node-set()\n", "node-set(.)"},
      {"<xsl:template match='never'><xsl:value-of select='$nosuch'/></xsl:template>",
       "Invalid variable reference: $nosuch\n", "$nosuch"},
      {"<xsl:template match='never'><xsl:value-of select='$v'/><xsl:variable name='v' select='1'/></xsl:template>",
       "Invalid variable reference: $v\n", "$v"},
      {"<xsl:template match='never'><xsl:variable name='v' select='$v + 1'/></xsl:template>",
       "Invalid variable reference: $v\n", "$v + 1"},
      {"<xsl:template match='never'><xsl:variable name='v'><xsl:value-of select='$v'/></xsl:variable>"
       "</xsl:template>",
       "Invalid variable reference: $v\n", "$v"},
      {"<xsl:template match='never'><xsl:if test='1'><xsl:variable name='v' select='1'/></xsl:if>"
       "<r a='{$v}'/></xsl:template>",
       "Invalid variable reference: $v\n", "$v"},
      {"<xsl:template match='never'><xsl:choose><xsl:when test='1'><xsl:variable name='v' select='1'/></xsl:when>"
       "<xsl:otherwise><xsl:value-of select='$v'/></xsl:otherwise></xsl:choose></xsl:template>",
       "Invalid variable reference: $v\n", "$v"},
      {"<xsl:template match='never'><xsl:param name='p'/></xsl:template>"
       "<xsl:template match='never2'><xsl:value-of select='$p'/></xsl:template>",
       "Invalid variable reference: $p\n", "$p"},
      {"<xsl:template match='never'><xsl:call-template name='t'><xsl:with-param name='w' select='$w'/>"
       "</xsl:call-template></xsl:template><xsl:template name='t'><xsl:param name='w'/></xsl:template>",
       "Invalid variable reference: $w\n", "$w"},
      {"<xsl:template match='never'><xsl:for-each select='a'><xsl:sort select='$s'/>"
       "<xsl:variable name='s' select='1'/></xsl:for-each></xsl:template>",
       "Invalid variable reference: $s\n", "$s"},
      // An attribute set is top-level: it sees the top-level bindings only,
      // not those where it is used (xsltproc lets it see them).
      {"<xsl:attribute-set name='s'><xsl:attribute name='x'><xsl:value-of select='$l'/></xsl:attribute>"
       "</xsl:attribute-set><xsl:template match='/'><xsl:variable name='l' select='2'/>"
       "<r xsl:use-attribute-sets='s'/></xsl:template>",
       "Invalid variable reference: $l\n", "$l"},
      {"<xsl:variable name='g'><xsl:variable name='l' select='1'/></xsl:variable>"
       "<xsl:variable name='h' select='$l'/>",
       "Invalid variable reference: $l\n", "$l"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    KTScratchFolder folder;
    folder.Write("d.xml", kSource);
    folder.Write("s.xsl", Sheet(std::string("<xsl:key name='k' match='a' use='.'/>"
                                            "<xsl:decimal-format name='f'/>") +
                                c.body));
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "d.xml", "-xsl", "s.xsl", "-out", "ours.xml"}, folder.Path());
    EXPECT_EQ(ours.status, 1) << ours.err;
    EXPECT_FALSE(folder.Exists("ours.xml"));
    EXPECT_EQ(ours.err.rfind("Error in " + folder.File("s.xsl") + " at line 2 character ", 0), 0u) << ours.err;
    const size_t message = ours.err.find(std::string("Error in XPath expression, ") + c.message);
    ASSERT_NE(message, std::string::npos) << ours.err;
    // The expression's line, then the marker under its first wrong character.
    const size_t expression = ours.err.find('\n', message) + 1;
    const size_t markerLine = ours.err.find('\n', expression) + 1;
    const size_t marker = ours.err.find('^', markerLine);
    ASSERT_NE(marker, std::string::npos) << ours.err;
    EXPECT_EQ(ours.err.substr(expression + (marker - markerLine), std::string(c.marked).size()), c.marked)
        << ours.err;
  }
}

// What the checks before the run must let through, compared with xsltproc:
// a top-level binding of any module is visible everywhere, also before it
// and in other top-level bindings; a local one in its following siblings'
// descendants, in their sorts, parameters and value templates; names are
// compared expanded, whatever prefix spells them; xml is always bound; an
// extension function is looked for only when called (function-available
// guards it); and in forwards-compatible mode an unknown function is an
// error only when it is called (XSLT 1.0 §2.5).
TEST(CompileTest, VisibleBindingsAndGuardedCallsAreAccepted) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const struct {
    const char* version;
    const char* body;
    const char* module;  // an imported module's top level, or null
  } cases[] = {
      {"1.0", "<xsl:template match='/'><r><xsl:value-of select='$g + $h'/></r></xsl:template>"
              "<xsl:variable name='g' select='$h * 2'/><xsl:variable name='h' select='1'/>",
       nullptr},
      {"1.0", "<xsl:template match='/'><r><xsl:value-of select='$m'/></r></xsl:template>",
       "<xsl:variable name='m' select='count(//a)'/>"},
      {"1.0", "<xsl:template match='/'><xsl:param name='p' select='2'/><r><xsl:if test='true()'>"
              "<b c='{$p}'><xsl:value-of select='$p'/></b></xsl:if></r></xsl:template>",
       nullptr},
      {"1.0", "<xsl:template match='/'><xsl:variable name='v' select='1'/><r><xsl:for-each select='doc/*'>"
              "<xsl:sort select='name() = $v'/><xsl:variable name='w' select='$v + 1'/>"
              "<xsl:call-template name='t'><xsl:with-param name='q' select='$w'/></xsl:call-template>"
              "</xsl:for-each></r></xsl:template>"
              "<xsl:template name='t'><xsl:param name='q'/><q><xsl:value-of select='$q'/></q></xsl:template>",
       nullptr},
      {"1.0", "<xsl:variable name='v' select='1'/><xsl:template match='/'><xsl:variable name='v' select='$v + 1'/>"
              "<r><xsl:value-of select='$v'/></r></xsl:template>",
       nullptr},
      {"1.0", "<xsl:variable name='d:v' select='3'/><xsl:template match='/' xmlns:e='urn:d'>"
              "<r><xsl:value-of select='$e:v'/><xsl:value-of select='count(//@xml:lang)'/></r></xsl:template>",
       nullptr},
      {"1.0", "<xsl:template match='/'><r><xsl:if test=\"function-available('d:f')\">"
              "<xsl:value-of select='d:f(1)'/></xsl:if></r></xsl:template>",
       nullptr},
      {"2.0", "<xsl:template match='/'><r><xsl:if test=\"function-available('nosuch')\">"
              "<xsl:value-of select='nosuch(1)'/></xsl:if></r></xsl:template>",
       nullptr},
      {"1.0", "<xsl:template match='/'><r xsl:version='2.0'><xsl:if test='false()'>"
              "<xsl:value-of select='nosuch(1)'/></xsl:if></r></xsl:template>",
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    KTScratchFolder folder;
    folder.Write("d.xml", kSource);
    std::string sheet = Sheet(c.module ? std::string("<xsl:import href='m.xsl'/>") + c.body : std::string(c.body));
    sheet.replace(sheet.find("version=\"1.0\""), 13, std::string("version=\"") + c.version + "\"");
    folder.Write("s.xsl", sheet);
    if (c.module) folder.Write("m.xsl", Sheet(c.module));
    Verdicts v = RunBoth(folder);
    EXPECT_EQ(v.ours.status, 0) << v.ours.err;
    EXPECT_EQ(v.theirs.status, 0) << v.theirs.err;
    EXPECT_EQ(v.ourOutput, v.theirOutput);
  }
}

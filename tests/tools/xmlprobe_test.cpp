// xmlprobe as the end-to-end tests use it: counts that agree with xmllint on
// real documents, the error line of a document that is not well-formed, and
// the canonical form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

struct RunResult {
  int exitCode = -1;
  std::string out;
};

RunResult RunCommand(const std::string& command) {
  RunResult r;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return r;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) r.out.append(buffer, n);
  const int status = pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

RunResult Probe(const std::string& command, const std::string& file) {
  return RunCommand(std::string(OST_BUILD_DIR) + "/tests/tools/xmlprobe " + command + " '" + file + "'");
}

bool Exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

std::string XmllintCount(const std::string& xpath, const char* file) {
  RunResult r = RunCommand("xmllint --xpath '" + xpath + "' '" + file + "' 2>/dev/null");
  if (r.exitCode != 0) return "xmllint failed";
  while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == ' ')) r.out.pop_back();
  return r.out;
}

TEST(XmlProbeTest, CountsAgreeWithXmllint) {
  if (RunCommand("xmllint --version 2>&1").exitCode != 0) GTEST_SKIP() << "xmllint is not installed";
  // One document with an internal DTD subset, one of 2.4 MB with a default
  // namespace declaration.
  const char* files[] = {"/usr/share/xml/iso-codes/iso_639-3.xml",
                         "/usr/share/mime/packages/freedesktop.org.xml"};
  int tested = 0;
  for (const char* file : files) {
    if (!Exists(file)) continue;
    ++tested;
    const std::string expected = "ok elements=" + XmllintCount("count(//*)", file) +
                                 " attributes=" + XmllintCount("count(//@*)", file) +
                                 " texts=" + XmllintCount("count(//text())", file) + "\n";
    const RunResult r = Probe("parse", file);
    EXPECT_EQ(r.exitCode, 0) << file;
    EXPECT_EQ(r.out, expected) << file;
  }
  if (tested == 0) GTEST_SKIP() << "iso-codes and shared-mime-info are not installed";
}

TEST(XmlProbeTest, ErrorsNameTheirPlace) {
  const RunResult r = Probe("parse", std::string(OST_TEST_DATA) + "/xml/parsing/end-tag-mismatch.xml");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "error category=3 code=5 line=3 column=5: a expected as the end tag name\n");
  const RunResult missing = Probe("parse", "/nonexistent/file.xml");
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.out.rfind("error category=1 ", 0), 0u) << missing.out;
  EXPECT_EQ(RunCommand(std::string(OST_BUILD_DIR) + "/tests/tools/xmlprobe count x 2>/dev/null").exitCode, 2);
  // Bytes that are not UTF-8 are replaced and the document comes out, but
  // parse reports the decoding error as xmllint does.
  const RunResult invalid = Probe("parse", std::string(OST_TEST_DATA) + "/xml/loading/invalid-utf8.xml");
  EXPECT_EQ(invalid.exitCode, 1);
  EXPECT_EQ(invalid.out.rfind("error category=2 code=3 ", 0), 0u) << invalid.out;
}

TEST(XmlProbeTest, CanonicalForm) {
  const RunResult r = Probe("canon", std::string(OST_TEST_DATA) + "/xml/parsing/canonical-forms.xml");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out,
            "<?top level?><doc a=\"x&#9;y  z\" m=\"&quot;q&quot;\" z=\"2\">&#10; <empty></empty>&#10; "
            "<t>&lt;&amp;&gt;ABentity&#9;</t>&#10; &lt;raw&gt; &amp; &#10; <?pi data?>&#10;</doc>");
}

// canon writes the XPath view: entity references expanded (markup in an
// entity's text becomes elements), character references resolved in text and
// attribute values, namespace declarations kept as written.
TEST(XmlProbeTest, CanonicalFormIsTheExpandedView) {
  const struct {
    const char* file;
    const char* expected;
  } cases[] = {
      {"entity-with-markup.xml", "<r><b>x</b></r>"},
      {"character-references.xml", "<r a=\"&lt;AB\">&lt;AB</r>"},
      {"namespaces.xml", "<r p:a=\"1\" xmlns=\"u\" xmlns:p=\"v\"><p:s></p:s></r>"},
  };
  for (const auto& c : cases) {
    const RunResult r = Probe("canon", std::string(OST_TEST_DATA) + "/tools/" + c.file);
    EXPECT_EQ(r.exitCode, 0) << c.file;
    EXPECT_EQ(r.out, c.expected) << c.file;
  }
}

TEST(XmlProbeTest, WriteGivesTheTreeBackAsText) {
  const RunResult r = Probe("write", std::string(OST_TEST_DATA) + "/xml/parsing/canonical-forms.xml");
  EXPECT_EQ(r.exitCode, 0);
  // The DOCTYPE and the declaration come first; the text stays as written.
  EXPECT_EQ(r.out.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE doc [\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("<t>&lt;&amp;&gt;&#x41;&#66;&e;\t</t>"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("<![CDATA[<raw> & ]]>"), std::string::npos) << r.out;
}

// ---- xpath: the same expressions through xmllint ----

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

RunResult ProbeXPath(const std::string& file, const std::string& expression) {
  return RunCommand(std::string(OST_BUILD_DIR) + "/tests/tools/xmlprobe xpath " + Quoted(file) + " " +
                    Quoted(expression));
}

// The values of an attribute node-set as xmllint prints them (one
// ` name="value"` per line, markup characters escaped).
std::vector<std::string> XmllintAttributeValues(const std::string& file, const std::string& expression) {
  const RunResult r = RunCommand("xmllint --xpath " + Quoted(expression) + " " + Quoted(file) + " 2>/dev/null");
  std::vector<std::string> values;
  size_t at = 0;
  while ((at = r.out.find("=\"", at)) != std::string::npos) {
    const size_t end = r.out.find('"', at + 2);
    std::string value = r.out.substr(at + 2, end - at - 2);
    for (auto [entity, c] : {std::pair{"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}}) {
      size_t e;
      while ((e = value.find(entity)) != std::string::npos) value.replace(e, std::strlen(entity), c);
    }
    values.push_back(value);
    at = end + 1;
  }
  return values;
}

// Our values of the same node-set: the last field of each node line.
std::vector<std::string> ProbeValues(const RunResult& r) {
  std::vector<std::string> values;
  size_t line = r.out.find('\n');
  while (line != std::string::npos && line + 1 < r.out.size()) {
    const size_t end = r.out.find('\n', line + 1);
    const std::string text = r.out.substr(line + 1, end - line - 1);
    values.push_back(text.substr(text.rfind('\t') + 1));
    line = end;
  }
  return values;
}

std::string XmllintValue(const std::string& expression, const std::string& file) {
  RunResult r = RunCommand("xmllint --xpath " + Quoted(expression) + " " + Quoted(file) + " 2>/dev/null");
  if (r.exitCode != 0) return "xmllint failed";
  while (!r.out.empty() && (r.out.back() == '\n' || r.out.back() == ' ')) r.out.pop_back();
  return r.out;
}

int ProbeCount(const RunResult& r) {
  return r.out.rfind("node-set ", 0) == 0 ? std::atoi(r.out.c_str() + 9) : -1;
}

// Node-sets are compared by their size (count() in xmllint) and, for sets of
// attributes, by the values in order; booleans and strings by their text.
void ExpectAgreement(const std::string& file, const std::vector<std::string>& nodeSets,
                     const std::vector<std::string>& attributeSets, const std::vector<std::string>& scalars) {
  for (const std::string& expression : nodeSets) {
    const RunResult ours = ProbeXPath(file, expression);
    EXPECT_EQ(ours.exitCode, 0) << expression << "\n" << ours.out;
    EXPECT_EQ(std::to_string(ProbeCount(ours)), XmllintValue("count(" + expression + ")", file)) << expression;
  }
  for (const std::string& expression : attributeSets) {
    const RunResult ours = ProbeXPath(file, expression);
    EXPECT_EQ(ours.exitCode, 0) << expression << "\n" << ours.out;
    EXPECT_EQ(ProbeValues(ours), XmllintAttributeValues(file, expression)) << expression;
  }
  for (const std::string& expression : scalars) {
    RunResult ours = ProbeXPath(file, expression);
    EXPECT_EQ(ours.exitCode, 0) << expression;
    while (!ours.out.empty() && ours.out.back() == '\n') ours.out.pop_back();
    EXPECT_EQ(ours.out, XmllintValue(expression, file)) << expression;
  }
}

TEST(XmlProbeTest, XPathAgreesWithXmllintOnIsoCodes) {
  if (RunCommand("xmllint --version 2>&1").exitCode != 0) GTEST_SKIP() << "xmllint is not installed";
  const char* file = "/usr/share/xml/iso-codes/iso_639-3.xml";
  if (!Exists(file)) GTEST_SKIP() << "iso-codes is not installed";
  const std::string e = "//iso_639_3_entry";
  ExpectAgreement(file,
                  {"//*", "//@*", "//node()", "//comment()", "/node()", "//namespace::*", e + "[@part1_code]",
                   e + "[@id = 'zza']/ancestor::*", e + "[@id > 'zz']", "/*/*[7000]/following::*",
                   "/*/*[20]/preceding::node()", e + "/@name/..", "//@status[. != 'Active']/../preceding-sibling::*",
                   e + "[@scope = 'M'] | " + e + "[@type = 'E']", e + "[@type = 'E']/following-sibling::*[1]"},
                  {e + "[@part1_code]/@id", e + "[@scope = 'M']/@name", e + "[@type = 'E'][3]/@id",
                   e + "[@part2_code = 'ger']/following-sibling::*[2]/@id",
                   e + "[@id = 'deu']/preceding-sibling::iso_639_3_entry[1]/@id",
                   e + "[@id = 'deu']/preceding::*[5]/@name", "/iso_639_3_entries/*[100]/following::*[1]/@id",
                   "//@status[. != 'Active']/../@id", e + "[@part1_code = 'de' or @part1_code = 'fr']/@name",
                   "//*[@inverted_name][@common_name]/@common_name",
                   e + "[@id = 'zzj']/@id | " + e + "[@id = 'aaa']/@id | " + e + "[@id = 'deu']/@id",
                   e + "[@type = 'L'][@scope = 'I'][500]/preceding-sibling::*[1]/@id",
                   "(" + e + ")[@part1_code][10]/ancestor-or-self::*/@*", e + "[7][@id]/self::*/attribute::id",
                   e + "[@part1_code = 'en']/@*", e + "[position() mod 1000 = 0]/@id",
                   e + "[@part2_code][last()]/preceding-sibling::*[last()]/@id"},
                  {"//@part1_code = 'de'", "//@part1_code != 'de'", e + "[1]/@id = " + e + "[2]/@id",
                   "//@part1_code = //@part3_code", "//nothing or //@id", "string(" + e + "[@id = 'deu']/@name)",
                   "name(/*)", "string(" + e + "[last()]/@id)", "string(" + e + "[@type = 'E'][last() - 2]/@name)",
                   "string(" + e + "[@id = 'fra']/preceding-sibling::*[position() = 3]/@id)",
                   "local-name(//@*[last()])", "count(" + e + "[position() mod 1000 = 0][@scope = 'I'])",
                   "string((" + e + "/@part1_code)[last()])"});
}

// The following axis of an attribute is left out: XPath 1.0 puts an
// element's children after its attributes in document order, so they follow
// the attribute, where xmllint starts after the element.
TEST(XmlProbeTest, XPathAgreesWithXmllintOnEveryAxis) {
  if (RunCommand("xmllint --version 2>&1").exitCode != 0) GTEST_SKIP() << "xmllint is not installed";
  const std::string file = std::string(OST_TEST_DATA) + "/xpath/axes.xml";
  ExpectAgreement(file, {"/descendant::node()", "//text()", "//b/ancestor-or-self::node()", "//b/@*/preceding::node()",
                         "//c/preceding::node()", "//processing-instruction()", "/doc/namespace::*/.."},
                  {"//b[@id='b4']/preceding::*[1]/@id", "//b[@id='b4']/preceding::node()[2]/@id",
                   "//b[@id='b3']/ancestor::*[1]/@id", "//b[@id='b3']/ancestor::*[3]/@id",
                   "/doc/a[1]/c/preceding-sibling::*[1]/@id", "/doc/a[1]/b[1]/following-sibling::*[2]/@id",
                   "/doc/a[2]/@n/preceding::*/@id", "//b[1]/@id",
                   "(//b)[2]/@id", "/doc/a/*[2][1]/@id", "//c/following::*/@id", "//b/../@id", "//@xml:lang"},
                  {});
}

}  // namespace

namespace {

// open repeated depth times around ".", each "[" closed.
std::string Nested(const std::string& open, int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  text += ".";
  const size_t brackets = static_cast<size_t>(std::count(open.begin(), open.end(), '[')) * depth;
  return text + std::string(brackets, ']');
}

// A predicate that is a location path counts only as empty or not: its last
// step stops at the first node it finds, the answers stay those of xmllint,
// and nested predicates of that kind cost linear time instead of a walk per
// candidate at every level.
TEST(XmlProbeTest, PathPredicatesStopAtTheirFirstNode) {
  if (RunCommand("xmllint --version 2>&1").exitCode != 0) GTEST_SKIP() << "xmllint is not installed";
  const std::string file = std::string(OST_TEST_DATA) + "/xpath/axes.xml";
  ExpectAgreement(file,
                  {"//a[b[last()]]", "//a[.//b[2]]", "//*[following::b[position() = 2]]", "//a[b[. = 'two']]",
                   "//*[ancestor::*[@id][1][@id = 'a1']]", "//*[preceding::*[2][self::b]]", "//a[b/@ref]",
                   "//*[../b[3]]", "//*[//b[@id = 'b4']]", "//b[/doc/a[2]/b[. = 'four']]", "//a[c/b | b[9]]",
                   "//*[.//*[.//*[.//*]]]", Nested("//*[.//*[", 10), Nested("//*[", 10)},
                  {}, {});
  // Deep enough that a walk per candidate at every level would not end.
  for (const std::string open : {"//*[", "//*[.//*["}) {
    const RunResult shallow = ProbeXPath(file, "count(" + Nested(open, 10) + ")");
    const RunResult deep = ProbeXPath(file, "count(" + Nested(open, 300) + ")");
    EXPECT_EQ(deep.exitCode, 0) << deep.out;
    EXPECT_EQ(deep.out, shallow.out) << open;
  }
}

}  // namespace

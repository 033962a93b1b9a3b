// xmlprobe as the end-to-end tests use it: counts that agree with xmllint on
// real documents, the error line of a document that is not well-formed, and
// the canonical form.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
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

}  // namespace

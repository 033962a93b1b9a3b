// End-to-end tests of the namespace declarations written on result elements:
// through literal result elements, xsl:element, xsl:copy and xsl:copy-of, a
// declaration stands only where the element's binding of its prefix differs
// from its result parent's, and xmlns="" only where the parent has a default
// namespace. Outputs are compared with xsltproc's byte for byte (but for the
// XML declaration); where xsltproc writes a redundant declaration or leaves
// out namespace nodes that xsl:copy copies (XSLT 1.0 §7.5), our output is
// checked as it stands.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

constexpr const char* kXsltproc = "/usr/bin/xsltproc";

// Prefixes bound on every level: the source's parents declare what their
// children declare again.
const char* const kSource =
    "<doc xmlns:joes=\"http://joes.com\" xmlns:q=\"urn:q\">"
    "<joes:item q:a=\"1\"><joes:sub xmlns:joes=\"http://joes.com\"><q:x xmlns:q=\"urn:q\"/></joes:sub></joes:item>"
    "<plain xmlns=\"urn:d\"><inner xmlns=\"urn:d\"/><bare xmlns=\"\"><c/></bare></plain>"
    "<w><k:v xmlns:k=\"urn:k\"/></w>"
    "</doc>";

// A document without any namespace declaration: its copies take the
// shortest way through the namespace fix-up.
const char* const kPlainSource = "<top><a n=\"1\"><b/>t</a><c/></top>";

std::string Stylesheet(const std::string& body) {
  return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n" + body +
         "\n</xsl:stylesheet>\n";
}

std::string RootTemplate(const std::string& content) {
  return Stylesheet("<xsl:template match=\"/\">" + content + "</xsl:template>");
}

// The start tags of a serialised result that declare a binding their
// parent already has, or xmlns="" under a parent without a default
// namespace. The results here hold no comments, processing instructions,
// CDATA sections or '>' in attribute values, so a tag runs from '<' to '>'.
std::vector<std::string> RedundantDeclarations(const std::string& text) {
  std::vector<std::string> found;
  std::vector<std::map<std::string, std::string>> scopes{{}};
  size_t at = 0;
  while ((at = text.find('<', at)) != std::string::npos) {
    size_t end = text.find('>', at);
    if (end == std::string::npos) break;
    std::string tag = text.substr(at, end + 1 - at);
    at = end + 1;
    if (tag[1] == '?' || tag[1] == '!') continue;
    if (tag[1] == '/') {
      if (scopes.size() > 1) scopes.pop_back();
      continue;
    }
    std::map<std::string, std::string> scope = scopes.back();
    for (size_t d = tag.find(" xmlns"); d != std::string::npos; d = tag.find(" xmlns", d + 1)) {
      size_t equals = tag.find("=\"", d);
      size_t close = tag.find('"', equals + 2);
      std::string name = tag.substr(d + 1, equals - d - 1);
      std::string prefix = name == "xmlns" ? "" : name.substr(6);
      std::string uri = tag.substr(equals + 2, close - equals - 2);
      const auto& parent = scopes.back();
      auto bound = parent.find(prefix);
      bool redundant = bound != parent.end() ? bound->second == uri : (uri.empty() && prefix.empty());
      if (redundant) found.push_back(tag);
      scope[prefix] = uri;
    }
    if (tag[tag.size() - 2] != '/') scopes.push_back(std::move(scope));
  }
  return found;
}

class NamespacesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.Write("src.xml", kSource);
    folder_.Write("plain.xml", kPlainSource);
  }

  static bool HaveXsltproc() { return access(kXsltproc, X_OK) == 0; }

  // Our output for the stylesheet, without its XML declaration.
  std::string Ours(const std::string& stylesheet) {
    folder_.Write("sheet.xsl", stylesheet);
    KTProgramResult result =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "src.xml", "-xsl", "sheet.xsl", "-out", "out.xml"}, folder_.Path());
    EXPECT_EQ(result.status, 0) << result.err << stylesheet;
    return KTWithoutDeclaration(folder_.Read("out.xml"));
  }

  std::string Theirs(const std::string& stylesheet) {
    folder_.Write("sheet.xsl", stylesheet);
    KTProgramResult result = KTRunProgram(kXsltproc, {"-o", "xp.xml", "sheet.xsl", "src.xml"}, folder_.Path());
    EXPECT_EQ(result.status, 0) << result.err;
    return KTWithoutDeclaration(folder_.Read("xp.xml"));
  }

  KTScratchFolder folder_;
};

// Where xsltproc writes no redundant declaration either, the two outputs
// are the same bytes, and neither repeats a binding.
TEST_F(NamespacesTest, EveryInstructionThatMakesElementsDeclaresOnlyWhatItsParentLacks) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const struct {
    const char* what;
    std::string stylesheet;
  } cases[] = {
      {"literal result elements nested in one binding the same prefix",
       RootTemplate("<out xmlns:joes=\"http://joes.com\"><joes:bar xmlns:joes=\"http://joes.com\" a=\"1\">"
                    "<joes:baz xmlns:joes=\"http://joes.com\"/></joes:bar></out>")},
      {"xsl:element with the namespace of its parent, and literal elements inside it",
       RootTemplate("<r><xsl:element name=\"joes:el\" namespace=\"http://joes.com\">"
                    "<xsl:element name=\"joes:el2\" namespace=\"http://joes.com\"/>"
                    "<joes:lit xmlns:joes=\"http://joes.com\"/></xsl:element>"
                    "<xsl:element name=\"g\" namespace=\"urn:d\"><xsl:element name=\"g\" namespace=\"urn:d\"/>"
                    "<xsl:element name=\"h\" namespace=\"\"/></xsl:element></r>")},
      {"xsl:element inside a literal element binding its prefix",
       RootTemplate("<joes:a xmlns:joes=\"http://joes.com\"><xsl:element name=\"joes:b\"/>"
                    "<xsl:element name=\"c\" namespace=\"http://joes.com\"/></joes:a>")},
      {"xsl:copy-of of a document whose elements declare their parents' prefixes",
       RootTemplate("<r><xsl:copy-of select=\"/\"/></r>")},
      {"xsl:copy-of into an element binding the same prefixes",
       RootTemplate("<r xmlns:joes=\"http://joes.com\" xmlns:q=\"urn:q\"><xsl:copy-of select=\"doc/*\"/></r>")},
      {"identity transform through xsl:copy",
       Stylesheet("<xsl:template match=\"node()|@*\"><xsl:copy><xsl:apply-templates select=\"node()|@*\"/>"
                  "</xsl:copy></xsl:template>")},
      {"xmlns=\"\" under a default namespace stays",
       RootTemplate("<d xmlns=\"urn:d\"><e xmlns=\"\"/><xsl:element name=\"f\" namespace=\"\"/>"
                    "<xsl:copy-of select=\"//bare\"/></d>")},
      {"xsl:copy-of of a subtree whose inner element declares what its new ancestors bind",
       RootTemplate("<k:top xmlns:k=\"urn:k\"><xsl:copy-of select=\"doc/w\"/></k:top>")},
      {"prefixed literal element undeclaring the default of its parent",
       RootTemplate("<d xmlns=\"urn:d\"><p:e xmlns:p=\"urn:p\" xmlns=\"\"><f/></p:e></d>")},
      {"xsl:copy-of of elements in no namespace under a default namespace, and beside it",
       RootTemplate("<r><d xmlns=\"urn:d\"><xsl:copy-of select=\"document('plain.xml')/top\"/></d>"
                    "<xsl:copy-of select=\"document('plain.xml')/top/a\"/></r>")},
      {"xsl:copy of elements in no namespace under a default namespace, one level at a time",
       Stylesheet("<xsl:template match=\"/\"><d xmlns=\"urn:d\"><xsl:apply-templates "
                  "select=\"document('plain.xml')/top\"/></d><e><xsl:apply-templates "
                  "select=\"document('plain.xml')/top/a\"/></e></xsl:template>"
                  "<xsl:template match=\"node()|@*\"><xsl:copy><xsl:apply-templates select=\"node()|@*\"/>"
                  "</xsl:copy></xsl:template>")},
      {"xsl:copy of elements in no namespace inside xsl:element with a default namespace",
       Stylesheet("<xsl:template match=\"/\"><xsl:element name=\"x\" namespace=\"urn:x\"><xsl:apply-templates "
                  "select=\"document('plain.xml')/top/*\"/></xsl:element></xsl:template>"
                  "<xsl:template match=\"*\"><xsl:copy><xsl:element name=\"y\" namespace=\"urn:y\">"
                  "<xsl:copy-of select=\"*\"/></xsl:element></xsl:copy></xsl:template>")},
      {"a namespaced attribute's declaration serves the children",
       RootTemplate("<r><xsl:attribute name=\"k:a\" namespace=\"urn:k\">1</xsl:attribute>"
                    "<xsl:element name=\"k:c\" namespace=\"urn:k\"><xsl:attribute name=\"k:b\" namespace=\"urn:k\">2"
                    "</xsl:attribute></xsl:element><k:lit xmlns:k=\"urn:k\"/></r>")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string ours = Ours(c.stylesheet);
    EXPECT_EQ(ours, Theirs(c.stylesheet));
    EXPECT_EQ(RedundantDeclarations(ours), std::vector<std::string>()) << ours;
  }
}

// Where xsltproc repeats a binding (xmlns="" under a parent without a
// default namespace), or leaves out namespace nodes that xsl:copy copies or
// a literal element has (XSLT 1.0 §7.1.1), the output follows the rule:
// every binding in scope, each declared once.
TEST_F(NamespacesTest, WhereXsltprocRepeatsABindingTheDeclarationIsLeftOut) {
  const struct {
    const char* what;
    std::string stylesheet;
    const char* expected;
  } cases[] = {
      {"literal xmlns=\"\" under a parent without a default namespace",
       RootTemplate("<out><inner xmlns=\"\"/><xsl:element name=\"e\" namespace=\"\"><f xmlns=\"\"/></xsl:element>"
                    "</out>"),
       "<out><inner/><e><f/></e></out>\n"},
      {"xmlns=\"\" on the document element", RootTemplate("<out xmlns=\"\"><inner/></out>"), "<out><inner/></out>\n"},
      {"xsl:copy of an element that undeclares the default namespace",
       RootTemplate("<out><xsl:for-each select=\"//bare\"><xsl:copy/></xsl:for-each></out>"),
       "<out><bare xmlns:joes=\"http://joes.com\" xmlns:q=\"urn:q\"/></out>\n"},
      {"xsl:copy-of of an element undeclaring a default into a place without one",
       RootTemplate("<out><xsl:copy-of select=\"//bare\"/></out>"),
       "<out><bare xmlns:joes=\"http://joes.com\" xmlns:q=\"urn:q\"><c/></bare></out>\n"},
      {"a literal element without a default namespace node under a parent with one",
       "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" xmlns=\"\">\n"
       "<xsl:template match=\"/\"><xsl:element name=\"x\" namespace=\"urn:d\"><p:e xmlns:p=\"urn:p\"><f/></p:e>"
       "</xsl:element></xsl:template>\n</xsl:stylesheet>\n",
       "<x xmlns=\"urn:d\"><p:e xmlns:p=\"urn:p\" xmlns=\"\"><f/></p:e></x>\n"},
      {"xsl:copy of each element under a parent binding one of their prefixes",
       RootTemplate("<out xmlns:joes=\"http://joes.com\"><xsl:for-each select=\"doc/*\"><xsl:copy>"
                    "<xsl:copy-of select=\"*\"/></xsl:copy></xsl:for-each></out>"),
       "<out xmlns:joes=\"http://joes.com\"><joes:item xmlns:q=\"urn:q\"><joes:sub><q:x/></joes:sub></joes:item>"
       "<plain xmlns=\"urn:d\" xmlns:q=\"urn:q\"><inner/><bare xmlns=\"\"><c/></bare></plain>"
       "<w xmlns:q=\"urn:q\"><k:v xmlns:k=\"urn:k\"/></w></out>\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string ours = Ours(c.stylesheet);
    EXPECT_EQ(ours, c.expected);
    EXPECT_EQ(RedundantDeclarations(ours), std::vector<std::string>()) << ours;
  }
}

// The checker itself: it must see a repeated binding and a needless
// xmlns="", and pass the declarations that change a binding.
TEST(NamespaceCheckerTest, FindsRepeatedBindingsOnly) {
  EXPECT_EQ(RedundantDeclarations("<a xmlns:p=\"u\"><p:b xmlns:p=\"u\"/></a>"),
            std::vector<std::string>{"<p:b xmlns:p=\"u\"/>"});
  EXPECT_EQ(RedundantDeclarations("<a><b xmlns=\"\"/></a>"), std::vector<std::string>{"<b xmlns=\"\"/>"});
  EXPECT_EQ(RedundantDeclarations("<a xmlns=\"d\"><b xmlns=\"\"><c xmlns=\"d\"/></b></a><e xmlns:p=\"v\"/>"),
            std::vector<std::string>());
  EXPECT_EQ(RedundantDeclarations("<a xmlns:p=\"u\"><b xmlns:p=\"v\"/><c/></a><d xmlns:p=\"u\"/>"),
            std::vector<std::string>());
}

}  // namespace

// Keyword recognition: element and attribute ids of view nodes, with the
// namespace (not the prefix) deciding what is XSLT.
#include "xslt/ktxsltkeywords.h"

#include <gtest/gtest.h>

#include "ktcompilertest_util.h"

namespace {

TEST(XSLTKeywords, ElementIds) {
  KTTestStylesheet doc;
  ASSERT_TRUE(doc.Load("<xsl:stylesheet " XSLNS " xmlns:x='http://www.w3.org/1999/XSL/Transform'"
                       " xmlns:o='urn:other'>"
                       "<xsl:template/><xsl:transform/><xsl:Template/><xsl:frobnicate/><template/>"
                       "<x:template/><o:template/><xsl:value-of/><xsl:with-param/><xsl:apply-imports/>"
                       "<d xmlns='http://www.w3.org/1999/XSL/Transform'><when/></d>"
                       "<xsl:processing-instruction/><!--c-->text</xsl:stylesheet>"));
  KTXSLTElementRecognizer recognizer;
  struct Case {
    const char* path;
    int id;
  } cases[] = {
      {"0", 29},        {"0/0", 30}, {"0/1", 29}, {"0/2", 1},  {"0/3", 1},  {"0/4", 1},
      {"0/5", 30},      {"0/6", 1},  {"0/7", 33}, {"0/8", 36}, {"0/9", 2},  {"0/10/0", 35},
      {"0/11", 26},     {"0/t0", 1}, {"0/t1", 1}, {"0/#xmlns:x", 1},
  };
  for (const Case& c : cases) {
    KTXPathNode* node = NodeAt(doc.Root(), c.path);
    ASSERT_NE(node, nullptr) << c.path;
    EXPECT_EQ(recognizer.ElementId(node), c.id) << c.path << " " << U8(node->GetName());
    EXPECT_EQ(recognizer.IsXSLTElement(node), c.id != 1) << c.path;
  }
  EXPECT_EQ(recognizer.ElementId(doc.Root()), 1);

  KTXPathNode* sheet = doc.Element();
  EXPECT_TRUE(recognizer.IsXSLTemplate(NodeAt(sheet, "0")));
  EXPECT_TRUE(recognizer.IsXSLTemplate(NodeAt(sheet, "5")));
  EXPECT_FALSE(recognizer.IsXSLTemplate(NodeAt(sheet, "4")));  // no namespace
  EXPECT_FALSE(recognizer.IsXSLTemplate(NodeAt(sheet, "6")));  // another namespace
  EXPECT_TRUE(recognizer.IsXSLWithParam(NodeAt(sheet, "8")));
  EXPECT_TRUE(recognizer.IsXSLWhen(NodeAt(sheet, "10/0")));
  EXPECT_TRUE(recognizer.IsInXSLTNamespace(NodeAt(sheet, "3")));  // unknown name, XSLT namespace
  EXPECT_FALSE(recognizer.IsInXSLTNamespace(NodeAt(sheet, "4")));
}

TEST(XSLTKeywords, EveryElementNameHasItsId) {
  const char* names[] = {nullptr, nullptr, "apply-imports", "apply-templates", "attribute", "attribute-set",
                         "call-template", "choose", "comment", "copy", "copy-of", "decimal-format", "element",
                         "fallback", "for-each", "if", "import", "include", "key", "message", "namespace-alias",
                         "number", "otherwise", "output", "param", "preserve-space", "processing-instruction",
                         "sort", "strip-space", "stylesheet", "template", "text", "transform", "value-of",
                         "variable", "when", "with-param"};
  for (int id = 2; id <= 36; ++id) {
    std::u16string name = KTUtf8ToUtf16(names[id]);
    EXPECT_EQ(KTXSLTElementIdOfLocalName(name), id == 32 ? 29 : id) << names[id];
  }
  EXPECT_EQ(KTXSLTElementIdOfLocalName(u"Sort"), 0);
}

// Every attribute name XSLT 1.0 gives, in no namespace, has its own id
// (ids 1..50 but kAttrOther, in the order of the names); names of the same
// length as a keyword, or longer than all, have none.
TEST(XSLTKeywords, EveryAttributeNameHasItsId) {
  const char* names[] = {"case-order", "cdata-section-elements", "count", "data-type", "decimal-separator", "digit",
                         "disable-output-escaping", "doctype-public", "doctype-system", "elements", "encoding",
                         "exclude-result-prefixes", "extension-element-prefixes", "format", "from",
                         "grouping-separator", "grouping-size", "href", "id", "indent", "infinity", "lang",
                         "letter-value", "level", nullptr, "match", "media-type", "method", "minus-sign", "mode",
                         "name", "namespace", "NaN", "omit-xml-declaration", "order", "pattern-separator",
                         "percent", "per-mille", "priority", "result-prefix", "select", "standalone",
                         "stylesheet-prefix", "terminate", "test", "use", "use-attribute-sets", "value", "version",
                         "zero-digit"};
  std::string element = "<e";
  for (const char* name : names)
    if (name) element += std::string(" ") + name + "=''";
  element += " selekt='' matcher='' an-attribute-name-longer-than-every-keyword=''/>";
  KTTestStylesheet doc;
  ASSERT_TRUE(doc.Load(element));
  KTXSLTAttributeRecognizer recognizer;
  for (int id = 1; id <= 50; ++id) {
    if (!names[id - 1]) continue;
    KTXPathNode* attribute = NodeAt(doc.Element(), std::string("@") + names[id - 1]);
    ASSERT_NE(attribute, nullptr) << names[id - 1];
    EXPECT_EQ(recognizer.AttributeId(attribute), id) << names[id - 1];
  }
  for (const char* other : {"selekt", "matcher", "an-attribute-name-longer-than-every-keyword"})
    EXPECT_EQ(recognizer.AttributeId(NodeAt(doc.Element(), std::string("@") + other)), kAttrOther) << other;
}

TEST(XSLTKeywords, AttributeIds) {
  KTTestStylesheet doc;
  ASSERT_TRUE(doc.Load("<e " XSLNS " xmlns:foo='urn:foo' select='' xsl:select='' xsl:version='' version=''"
                       " foo:version='' NaN='' nan='' xsl:use-attribute-sets='' use-attribute-sets=''"
                       " xsl:exclude-result-prefixes='' zero-digit='' case-order='' bogus='' foo:select=''/>"));
  KTXSLTAttributeRecognizer recognizer;
  struct Case {
    const char* name;
    int id;
  } cases[] = {
      {"select", 41},
      {"xsl:select", 25},
      {"xsl:version", 49},
      {"version", 49},
      {"foo:version", 25},
      {"NaN", 33},
      {"nan", 25},
      {"xsl:use-attribute-sets", 47},
      {"use-attribute-sets", 47},
      {"xsl:exclude-result-prefixes", 12},
      {"zero-digit", 50},
      {"case-order", 1},
      {"bogus", 25},
      {"foo:select", 25},
  };
  for (const Case& c : cases) {
    KTXPathNode* attribute = NodeAt(doc.Element(), std::string("@") + c.name);
    ASSERT_NE(attribute, nullptr) << c.name;
    EXPECT_EQ(recognizer.AttributeId(attribute), c.id) << c.name;
  }
  KTXPathNode* e = doc.Element();
  EXPECT_TRUE(recognizer.IsXSLUseAttributeSets(NodeAt(e, "@xsl:use-attribute-sets")));
  EXPECT_FALSE(recognizer.IsXSLUseAttributeSets(NodeAt(e, "@use-attribute-sets")));
  EXPECT_TRUE(recognizer.IsXSLExcludeResultPrefixes(NodeAt(e, "@xsl:exclude-result-prefixes")));
  EXPECT_TRUE(recognizer.HasNoNamespace(NodeAt(e, "@select")));
  EXPECT_FALSE(recognizer.HasNoNamespace(NodeAt(e, "@foo:select")));
}

}  // namespace

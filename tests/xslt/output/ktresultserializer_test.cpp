// KTResultSerializer: the xml method, the declaration, indentation, escaping,
// CDATA sections, the choice of method, encodings and unwritable characters.
// Hand-built result trees are checked against the exact texts the xml method
// defines, and against xsltproc (through xmllint's canonical form) where the
// re-parsed result is all that XSLT 1.0 fixes.
#include "xslt/output/ktresultserializer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "ktresulttree_util.h"

using ktresulttree::TreeBuilder;

namespace {

std::u16string Serialize(TreeBuilder& tree, const KTOutputSettings& settings) {
  KTResultSerializer serializer;
  serializer.SetResultRoot(tree.Root());
  return std::u16string(serializer.Serialize(settings));
}

// <a><b/><c>t</c></a>
void BuildABC(TreeBuilder& t) {
  KTXPathNode* a = t.Element(t.Root(), u"a");
  t.Element(a, u"b");
  t.Text(t.Element(a, u"c"), u"t");
}

struct XmlCase {
  const char* what;
  std::function<void(TreeBuilder&)> build;
  std::function<void(KTOutputSettings&)> settings;
  std::u16string expected;
};

TEST(KTResultSerializerXmlTest, WritesTheDefinedText) {
  const XmlCase cases[] = {
      {"declaration on a line of its own, then the tree without line breaks inside", BuildABC, [](KTOutputSettings&) {},
       u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a><b/><c>t</c></a>\n"},
      {"indent: two spaces per level, mixed content inline",
       BuildABC, [](KTOutputSettings& s) { s.SetIndent(true); },
       u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>\n  <b/>\n  <c>t</c>\n</a>\n"},
      {"indent without declaration starts with the start tag", BuildABC,
       [](KTOutputSettings& s) {
         s.SetIndent(true);
         s.SetOmitXmlDeclaration(true);
       },
       u"<a>\n  <b/>\n  <c>t</c>\n</a>\n"},
      {"omit-xml-declaration=no writes it with the version asked for", BuildABC,
       [](KTOutputSettings& s) {
         s.SetOmitXmlDeclaration(false);
         s.SetVersion(u"1.1");
         s.SetStandalone(true);
       },
       u"<?xml version=\"1.1\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<a><b/><c>t</c></a>\n"},
      {"a version of XML other than 1.0 and 1.1 is written as 1.0 (XSLT 1.0 §16.1)", BuildABC,
       [](KTOutputSettings& s) { s.SetVersion(u"2.0\"?><x"); },
       u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a><b/><c>t</c></a>\n"},
      {"an encoding not among the 38 is named UTF-8", BuildABC,
       [](KTOutputSettings& s) { s.SetEncoding(u"x-no-such-encoding"); },
       u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a><b/><c>t</c></a>\n"},
      {"doctype-system, and doctype-public with it", BuildABC,
       [](KTOutputSettings& s) {
         s.SetOmitXmlDeclaration(true);
         s.SetDoctypePublic(u"-//P//EN");
         s.SetDoctypeSystem(u"a.dtd");
       },
       u"<!DOCTYPE a PUBLIC \"-//P//EN\" \"a.dtd\">\n<a><b/><c>t</c></a>\n"},
      {"doctype-public alone writes no declaration", BuildABC,
       [](KTOutputSettings& s) {
         s.SetOmitXmlDeclaration(true);
         s.SetDoctypePublic(u"-//P//EN");
       },
       u"<a><b/><c>t</c></a>\n"},
      {"an element with attributes only is an empty-element tag",
       [](TreeBuilder& t) {
         KTXPathNode* e = t.Element(t.Root(), u"e");
         t.Attribute(e, u"x", u"1");
         t.Attribute(e, u"y", u"2");
       },
       [](KTOutputSettings& s) { s.SetOmitXmlDeclaration(true); },
       u"<e x=\"1\" y=\"2\"/>\n"},
      {"attribute values: markup, quote and line ends escaped, apostrophe kept",
       [](TreeBuilder& t) { t.Attribute(t.Element(t.Root(), u"e"), u"v", u"a<b\"c\r\nd\te'&>"); },
       [](KTOutputSettings& s) { s.SetOmitXmlDeclaration(true); },
       u"<e v=\"a&lt;b&quot;c&#13;&#10;d&#9;e'&amp;&gt;\"/>\n"},
      {"namespace declarations are escaped like attribute values",
       [](TreeBuilder& t) { t.Namespace(t.Element(t.Root(), u"e"), u"xmlns:p", u"urn:a&b<\"c\" d"); },
       [](KTOutputSettings& s) { s.SetOmitXmlDeclaration(true); },
       u"<e xmlns:p=\"urn:a&amp;b&lt;&quot;c&quot; d\"/>\n"},
      {"namespace declarations come before the attributes, each kind in tree order",
       [](TreeBuilder& t) {
         KTXPathNode* e = t.Element(t.Root(), u"e");
         t.Attribute(e, u"y", u"1");
         t.Namespace(e, u"xmlns:q", u"urn:q");
         t.Attribute(e, u"x", u"2");
         t.Namespace(e, u"xmlns", u"urn:d");
         t.Text(e, u"t");
       },
       [](KTOutputSettings& s) { s.SetOmitXmlDeclaration(true); },
       u"<e xmlns:q=\"urn:q\" xmlns=\"urn:d\" y=\"1\" x=\"2\">t</e>\n"},
      {"text escapes markup and CR; comments and processing instructions are written as they are",
       [](TreeBuilder& t) {
         KTXPathNode* e = t.Element(t.Root(), u"e");
         t.Text(e, u"a<b>&c\"'\r\n");
         t.Comment(e, u" x<y&z ");
         t.Pi(e, u"pi", u"a<b&c");
         t.Pi(e, u"empty", u"");
       },
       [](KTOutputSettings& s) { s.SetOmitXmlDeclaration(true); },
       u"<e>a&lt;b&gt;&amp;c\"'&#13;\n<!-- x<y&z --><?pi a<b&c?><?empty?></e>\n"},
      {"disable-output-escaping text is written raw",
       [](TreeBuilder& t) { t.RawText(t.Element(t.Root(), u"e"), u"<br/>&amp;"); },
       [](KTOutputSettings& s) { s.SetOmitXmlDeclaration(true); },
       u"<e><br/>&amp;</e>\n"},
      {"cdata-section-elements splits a section around ]]>",
       [](TreeBuilder& t) {
         KTXPathNode* r = t.Element(t.Root(), u"r");
         t.Text(t.Element(r, u"a"), u"a]]>b<");
         t.Text(t.Element(r, u"b"), u"x<");
       },
       [](KTOutputSettings& s) {
         s.SetOmitXmlDeclaration(true);
         s.AppendCdataSectionElements(u" a");
       },
       u"<r><a><![CDATA[a]]]]><![CDATA[>b<]]></a><b>x&lt;</b></r>\n"},
      {"a CR leaves a CDATA section as a reference, as in text",
       [](TreeBuilder& t) { t.Text(t.Element(t.Root(), u"a"), u"x\r\ny]]>\r"); },
       [](KTOutputSettings& s) {
         s.SetOmitXmlDeclaration(true);
         s.AppendCdataSectionElements(u" a");
       },
       u"<a><![CDATA[x]]>&#13;<![CDATA[\ny]]]]><![CDATA[>]]>&#13;<![CDATA[]]></a>\n"},
      {"cdata-section-elements names from two xsl:output elements, one namespaced",
       [](TreeBuilder& t) {
         KTXPathNode* r = t.Element(t.Root(), u"r");
         t.Text(t.Element(r, u"a"), u"1");
         t.Text(t.Element(r, u"p:b", u"urn:x"), u"2");
         t.Text(t.Element(r, u"b"), u"3");
       },
       [](KTOutputSettings& s) {
         s.SetOmitXmlDeclaration(true);
         s.AppendCdataSectionElements(u" a");
         s.AppendCdataSectionElements(u" urn:x:b");
       },
       u"<r><a><![CDATA[1]]></a><p:b><![CDATA[2]]></p:b><b>3</b></r>\n"},
      {"an empty text node (value-of of an empty string) leaves an empty-element tag",
       [](TreeBuilder& t) {
         KTXPathNode* r = t.Element(t.Root(), u"r");
         t.Text(t.Element(r, u"a"), u"");
         KTXPathNode* b = t.Element(r, u"b");
         t.Text(b, u"");
         t.Text(b, u"x");
       },
       [](KTOutputSettings& s) { s.SetOmitXmlDeclaration(true); },
       u"<r><a/><b>x</b></r>\n"},
      {"top level: a break after a comment followed by more and after the last node, none inside",
       [](TreeBuilder& t) {
         t.Comment(t.Root(), u"c");
         t.Comment(t.Root(), u"d");
         t.Text(t.Element(t.Root(), u"a"), u"x");
         t.Comment(t.Root(), u"e");
         t.Pi(t.Root(), u"p", u"x");
         t.Comment(t.Root(), u"f");
       },
       [](KTOutputSettings& s) { s.SetOmitXmlDeclaration(true); },
       u"<!--c-->\n<!--d-->\n<a>x</a><!--e-->\n<?p x?><!--f-->\n"},
      {"top level: empty text neither counts as a following node nor breaks a line",
       [](TreeBuilder& t) {
         t.Comment(t.Root(), u"c");
         t.Text(t.Root(), u"");
         t.Element(t.Root(), u"a");
         t.Comment(t.Root(), u"d");
         t.Text(t.Root(), u"");
       },
       [](KTOutputSettings& s) { s.SetOmitXmlDeclaration(true); },
       u"<!--c-->\n<a/><!--d-->\n"},
      {"indent=\"no\": a break after the declaration only",
       [](TreeBuilder& t) {
         t.Comment(t.Root(), u"c");
         t.Element(t.Root(), u"a");
         t.Comment(t.Root(), u"d");
       },
       [](KTOutputSettings& s) {
         s.SetIndent(false);
         s.SetDoctypeSystem(u"a.dtd");
       },
       u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE a SYSTEM \"a.dtd\"><!--c--><a/><!--d-->"},
      {"indent: elements at the top stay where they are, comments and instructions inside are indented",
       [](TreeBuilder& t) {
         t.Text(t.Root(), u"  ");
         KTXPathNode* a = t.Element(t.Root(), u"a");
         t.Comment(a, u"c");
         KTXPathNode* b = t.Element(a, u"b");
         t.Comment(b, u"c");
         t.Element(b, u"c");
         t.Pi(b, u"p", u"x");
         t.Pi(a, u"p", u"x");
         t.Element(t.Root(), u"z");
       },
       [](KTOutputSettings& s) {
         s.SetOmitXmlDeclaration(true);
         s.SetIndent(true);
       },
       u"  <a>\n  <!--c-->\n  <b>\n    <!--c-->\n    <c/>\n    <?p x?>\n  </b>\n  <?p x?>\n</a><z/>\n"},
      {"indent: no indentation anywhere below mixed content, a CDATA section counting as text",
       [](TreeBuilder& t) {
         KTXPathNode* a = t.Element(t.Root(), u"a");
         KTXPathNode* f = t.Element(a, u"f");
         t.Text(f, u"t");
         KTXPathNode* g = t.Element(f, u"g");
         t.Element(g, u"h");
         t.Element(g, u"i");
         KTXPathNode* c = t.Element(a, u"c");
         t.Text(c, u"x");
         t.Element(t.Element(c, u"g"), u"h");
       },
       [](KTOutputSettings& s) {
         s.SetOmitXmlDeclaration(true);
         s.SetIndent(true);
         s.AppendCdataSectionElements(u" c");
       },
       u"<a>\n  <f>t<g><h/><i/></g></f>\n  <c><![CDATA[x]]><g><h/></g></c>\n</a>\n"},
  };
  for (const XmlCase& c : cases) {
    TreeBuilder tree;
    c.build(tree);
    KTOutputSettings settings;
    if (c.settings) c.settings(settings);
    EXPECT_EQ(Serialize(tree, settings), c.expected) << c.what;
  }
}

TEST(KTResultSerializerXmlTest, DefaultMethodIsHtmlOnlyForAnHtmlRootInNoNamespace) {
  struct Case {
    const char16_t* leadingText;
    const char16_t* name;
    const char16_t* uri;
    bool html;
  } cases[] = {
      {nullptr, u"html", nullptr, true},
      {u" \r\n\t", u"HTML", nullptr, true},
      {u" x ", u"html", nullptr, false},
      {nullptr, u"html", u"http://www.w3.org/1999/xhtml", false},
      {nullptr, u"htmlx", nullptr, false},
  };
  for (const Case& c : cases) {
    TreeBuilder tree;
    if (c.leadingText) tree.Text(tree.Root(), c.leadingText);
    tree.Element(tree.Root(), c.name, c.uri);
    KTResultSerializer serializer;
    serializer.SetResultRoot(tree.Root());
    serializer.Serialize(KTOutputSettings());
    EXPECT_EQ(serializer.IsHtmlMethod(), c.html) << ktresulttree::Utf8(c.name);
    EXPECT_EQ(serializer.IsXmlMethod(), !c.html);
    EXPECT_EQ(serializer.GetOutputSettings().GetMethod(), c.html ? u"html" : u"xml");
  }
  // An explicit method wins, in any case of letters; an unknown one falls back.
  TreeBuilder tree;
  tree.Element(tree.Root(), u"html");
  KTResultSerializer serializer;
  serializer.SetResultRoot(tree.Root());
  KTOutputSettings settings;
  settings.SetMethod(u"XML");
  serializer.Serialize(settings);
  EXPECT_TRUE(serializer.IsXmlMethod());
  settings.SetMethod(u"q:own");
  serializer.Serialize(settings);
  EXPECT_TRUE(serializer.IsHtmlMethod());
}

TEST(KTResultSerializerXmlTest, NoRootLeavesTheOutputAndARootlessWriteIsRefused) {
  KTResultSerializer serializer;
  EXPECT_EQ(std::u16string(serializer.Serialize(KTOutputSettings())), u"");
  EXPECT_FALSE(serializer.WriteXmlNode(nullptr, {}));
  EXPECT_FALSE(serializer.WriteHtmlNode(nullptr));
  EXPECT_FALSE(serializer.WriteTextNode(nullptr));
}

TEST(KTResultSerializerXmlTest, EscapeMarkupFollowsItsFlags) {
  KTResultSerializer serializer;
  KTString text(u"<a \"b\" & {c} &{d}\r\n>");
  serializer.EscapeMarkup(text, false, false, true);
  EXPECT_EQ(text, u"&lt;a \"b\" &amp; {c} &amp;{d}\r\n&gt;");
  text = u"<a \"b\" & &{d}\r\n>";
  serializer.EscapeMarkup(text, true, true, false);
  EXPECT_EQ(text, u"&lt;a &quot;b&quot; &amp; &{d}&#13;&#10;&gt;");
}

// Characters an encoding cannot hold become references in text and attribute
// values; the bytes are those the front end writes with the same encoding id.
TEST(KTResultSerializerXmlTest, UnwritableCharactersBecomeReferences) {
  TreeBuilder tree;
  KTXPathNode* a = tree.Element(tree.Root(), u"a");
  tree.Attribute(a, u"v", u"\u00e9\u20ac");
  tree.Text(a, u"\u00e9\u20ac\U0001D11E");
  KTOutputSettings settings;
  settings.SetEncoding(u"ISO-8859-1");
  KTResultSerializer serializer;
  serializer.SetResultRoot(tree.Root());
  const char16_t* text = serializer.Serialize(settings);
  EXPECT_EQ(serializer.GetEncodingId(), EncodingIdFromName(u"ISO-8859-1"));
  EXPECT_EQ(ktresulttree::Encode(text, serializer.GetOutputLength(), serializer.GetEncodingId()),
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
            "<a v=\"\xE9&#8364;\">\xE9&#8364;&#119070;</a>\n");

  // UTF-8 holds every character.
  settings.SetEncoding(u"utf-8");
  EXPECT_EQ(std::u16string(serializer.Serialize(settings)),
            u"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<a v=\"\u00e9\u20ac\">\u00e9\u20ac\U0001D11E</a>\n");
}

TEST(KTResultSerializerXmlTest, UnwritableCharactersWhereNoReferenceMayStandAreErrors) {
  struct Case {
    const char* what;
    std::function<void(TreeBuilder&)> build;
    const char* method;
    KTOutputError::Place place;
  } cases[] = {
      {"element name", [](TreeBuilder& t) { t.Element(t.Root(), u"a\u20ac"); }, "xml",
       KTOutputError::kPlaceName},
      {"attribute name", [](TreeBuilder& t) { t.Attribute(t.Element(t.Root(), u"a"), u"\u20ac", u"1"); },
       "xml", KTOutputError::kPlaceName},
      {"comment", [](TreeBuilder& t) { t.Comment(t.Element(t.Root(), u"a"), u"\u20ac"); }, "xml",
       KTOutputError::kPlaceComment},
      {"processing instruction", [](TreeBuilder& t) { t.Pi(t.Element(t.Root(), u"a"), u"p", u"\u20ac"); },
       "html", KTOutputError::kPlaceProcessingInstruction},
      {"CDATA section", [](TreeBuilder& t) { t.Text(t.Element(t.Root(), u"c"), u"x\u20ac"); }, "xml",
       KTOutputError::kPlaceCData},
      {"text output", [](TreeBuilder& t) { t.Text(t.Element(t.Root(), u"a"), u"x\u20ac"); }, "text",
       KTOutputError::kPlaceTextOutput},
  };
  for (const Case& c : cases) {
    TreeBuilder tree;
    c.build(tree);
    KTOutputSettings settings;
    settings.SetEncoding(u"ISO-8859-1");
    settings.SetMethod(KTString(std::u16string(c.method, c.method + std::strlen(c.method))));
    settings.AppendCdataSectionElements(u" c");
    KTResultSerializer serializer;
    serializer.SetResultRoot(tree.Root());
    try {
      serializer.Serialize(settings);
      ADD_FAILURE() << c.what << ": no error";
    } catch (const KTOutputError& error) {
      EXPECT_EQ(error.GetCharacter(), U'\u20ac') << c.what;
      EXPECT_EQ(error.GetPlace(), c.place) << c.what;
      EXPECT_NE(error.GetNode(), nullptr) << c.what;
      const std::u16string message = error.GetMessage();
      EXPECT_NE(message.find(u"U+20AC"), std::u16string::npos) << c.what;
      EXPECT_NE(message.find(u"ISO-8859-1"), std::u16string::npos) << c.what;
    }
  }
}

// XML 1.0 §2.2: xml and html output hold only XML characters. A C0 control
// other than tab, LF and CR, a lone surrogate, U+FFFE or U+FFFF is an error
// naming the character and where it stood, in any encoding and wherever it
// stands; text output writes every character as it is (XSLT 1.0 §16.3).
TEST(KTResultSerializerXmlTest, CharactersXmlDoesNotAllowAreErrors) {
  struct Case {
    std::u16string text;
    char32_t refused;  // 0: written
  } characters[] = {
      {u"a\x01" u"b", 0x01},   {u"\x1b[0m", 0x1B},       {u"a\x1f", 0x1F},        {u"\x08", 0x08},
      {u"a\uFFFEb", 0xFFFE},   {u"\uFFFF", 0xFFFF},      {u"a\xD800" u"b", 0xD800}, {u"\xDC00\xD800", 0xDC00},
      {u"a\xD800", 0xD800},    {u"\t\n\r \x7f\x85\uFFFD\U0001F600\U0010FFFF", 0},
  };
  struct Place {
    const char* method;
    std::function<void(TreeBuilder&, const char16_t*)> build;
    KTOutputError::Place place;
    const char16_t* where;
  } places[] = {
      {"xml", [](TreeBuilder& t, const char16_t* v) { t.Attribute(t.Element(t.Root(), u"out"), u"x", v); },
       KTOutputError::kPlaceAttribute, u"(in the attribute \"x\" of the element \"out\")"},
      {"xml", [](TreeBuilder& t, const char16_t* v) { t.Text(t.Element(t.Root(), u"out"), v); },
       KTOutputError::kPlaceText, u"(in the text of the element \"out\")"},
      {"xml", [](TreeBuilder& t, const char16_t* v) { t.RawText(t.Element(t.Root(), u"out"), v); },
       KTOutputError::kPlaceText, u"(in the text of the element \"out\")"},
      {"xml", [](TreeBuilder& t, const char16_t* v) { t.Text(t.Root(), v); }, KTOutputError::kPlaceText,
       u"(in text at the top of the result)"},
      {"xml", [](TreeBuilder& t, const char16_t* v) { t.Comment(t.Root(), v); }, KTOutputError::kPlaceComment,
       u"(in a comment)"},
      {"xml", [](TreeBuilder& t, const char16_t* v) { t.Pi(t.Root(), u"pi", v); },
       KTOutputError::kPlaceProcessingInstruction, u"(in the processing instruction \"pi\")"},
      {"xml", [](TreeBuilder& t, const char16_t* v) { t.Text(t.Element(t.Root(), u"c"), v); },
       KTOutputError::kPlaceCData, u"(in the text of the element \"c\")"},
      {"html", [](TreeBuilder& t, const char16_t* v) { t.Attribute(t.Element(t.Root(), u"a"), u"href", v); },
       KTOutputError::kPlaceAttribute, u"(in the attribute \"href\" of the element \"a\")"},
      {"html", [](TreeBuilder& t, const char16_t* v) { t.Text(t.Element(t.Root(), u"script"), v); },
       KTOutputError::kPlaceText, u"(in the text of the element \"script\")"},
      {"html", [](TreeBuilder& t, const char16_t* v) { t.Comment(t.Element(t.Root(), u"p"), v); },
       KTOutputError::kPlaceComment, u"(in a comment)"},
  };
  for (const char16_t* encoding : {u"UTF-8", u"ISO-8859-1"}) {
    for (const Place& p : places) {
      for (const Case& c : characters) {
        TreeBuilder tree;
        p.build(tree, c.text.c_str());
        KTOutputSettings settings;
        settings.SetEncoding(encoding);
        settings.SetMethod(KTString(std::u16string(p.method, p.method + std::strlen(p.method))));
        settings.AppendCdataSectionElements(u" c");
        KTResultSerializer serializer;
        serializer.SetResultRoot(tree.Root());
        const std::string what = std::string(p.method) + " " + ktresulttree::Utf8(p.where) + " " +
                                 std::to_string(static_cast<unsigned>(c.refused));
        try {
          serializer.Serialize(settings);
          EXPECT_EQ(c.refused, 0u) << what << ": no error";
        } catch (const KTOutputError& error) {
          // The encoding's own error (U+1F600 in a comment in ISO-8859-1).
          if (!error.IsNotXmlCharacter()) continue;
          EXPECT_NE(c.refused, 0u) << what << ": " << ktresulttree::Utf8(error.GetMessage());
          EXPECT_EQ(error.GetCharacter(), c.refused) << what;
          EXPECT_EQ(error.GetPlace(), p.place) << what;
          char hex[16];
          std::snprintf(hex, sizeof hex, "U+%04X ", static_cast<unsigned>(c.refused));
          const std::u16string message = error.GetMessage();
          EXPECT_EQ(message.rfind(u"The character " + std::u16string(hex, hex + std::strlen(hex)), 0), 0u)
              << what << ": " << ktresulttree::Utf8(message);
          EXPECT_NE(message.find(p.where), std::u16string::npos) << what << ": " << ktresulttree::Utf8(message);
        }
      }
    }
  }
  // Text output: every character is written as it is.
  TreeBuilder tree;
  tree.Text(tree.Element(tree.Root(), u"a"), u"a\x01\x1b\uFFFE\r\n");
  KTOutputSettings settings;
  settings.SetMethod(u"text");
  EXPECT_EQ(Serialize(tree, settings), u"a\x01\x1b\uFFFE\r\n");
}

// XML 1.1 §2.2 lets the C1 controls but NEL stand only as references, and
// §2.11 reads NEL and LINE SEPARATOR as line feeds: under a 1.1 declaration
// text and attribute values hold them as references, CDATA sections leave
// them as references, and a C1 control in a comment is an error. Without the
// declaration the document is XML 1.0, where they are ordinary characters.
TEST(KTResultSerializerXmlTest, Xml11DocumentsHoldC1ControlsAndItsLineEndsAsReferences) {
  auto build = [](TreeBuilder& t, const char16_t* comment) {
    KTXPathNode* e = t.Element(t.Root(), u"e");
    t.Attribute(e, u"a", u"x\x85y\x80");
    t.Text(e, u"a\x85" u"b\u2028c\x7f\x9f\u00a0");
    t.Text(t.Element(e, u"c"), u"p\x85q\x84");
    t.Comment(e, comment);
  };
  KTOutputSettings settings;
  settings.SetVersion(u"1.1");
  settings.AppendCdataSectionElements(u" c");
  TreeBuilder tree;
  build(tree, u"n\x85l\u2028");
  EXPECT_EQ(Serialize(tree, settings),
            u"<?xml version=\"1.1\" encoding=\"UTF-8\"?>\n<e a=\"x&#133;y&#128;\">a&#133;b&#8232;c&#127;&#159;\u00a0"
            u"<c><![CDATA[p]]>&#133;<![CDATA[q]]>&#132;<![CDATA[]]></c><!--n\x85l\u2028--></e>\n");
  settings.SetOmitXmlDeclaration(true);
  EXPECT_EQ(Serialize(tree, settings),
            u"<e a=\"x\x85y\x80\">a\x85" u"b\u2028c\x7f\x9f\u00a0<c><![CDATA[p\x85q\x84]]></c><!--n\x85l\u2028--></e>\n");

  TreeBuilder refused;
  build(refused, u"x\x90");
  KTOutputSettings declared;
  declared.SetVersion(u"1.1");
  KTResultSerializer serializer;
  serializer.SetResultRoot(refused.Root());
  try {
    serializer.Serialize(declared);
    ADD_FAILURE() << "no error";
  } catch (const KTOutputError& error) {
    EXPECT_EQ(error.GetCharacter(), U'\x90');
    EXPECT_EQ(error.GetPlace(), KTOutputError::kPlaceComment);
    EXPECT_EQ(std::u16string(error.GetMessage()),
              u"The character U+0090 cannot be written: XML 1.1 allows it only as a character reference (in a "
              u"comment)");
  }
}

// Without recursion: a result nested 100,000 deep serialises in every method.
TEST(KTResultSerializerXmlTest, DeepResultsSerialiseInEveryMethod) {
  constexpr int kDepth = 100000;
  TreeBuilder tree;
  KTXPathNode* node = tree.Element(tree.Root(), u"e");
  for (int i = 1; i < kDepth; ++i) node = tree.Element(node, u"e");
  tree.Text(node, u"x");
  for (const char16_t* method : {u"xml", u"html", u"text"}) {
    KTOutputSettings settings;
    settings.SetMethod(method);
    settings.SetOmitXmlDeclaration(true);
    // Indentation would make the text grow with the square of the depth.
    settings.SetIndent(false);
    KTResultSerializer serializer;
    serializer.SetResultRoot(tree.Root());
    std::u16string out = serializer.Serialize(settings);
    if (method == std::u16string_view(u"text")) {
      EXPECT_EQ(out, u"x");
      continue;
    }
    ASSERT_GT(out.size(), std::size_t(kDepth) * 7) << ktresulttree::Utf8(method);
    EXPECT_EQ(out.substr(0, 3), u"<e>");
    // The html method ends its document with a line break.
    const std::u16string_view end = method == std::u16string_view(u"html") ? u"</e>\n" : u"</e>";
    EXPECT_EQ(std::u16string_view(out).substr(out.size() - end.size()), end);
    EXPECT_NE(out.find(u"<e>x</e>"), std::u16string::npos);
  }
}

// With a sink, every method hands the same text over in bounded pieces, the
// encoding first; Serialize itself then returns an empty text.
TEST(KTResultSerializerXmlTest, SinkTakesTheTextInPieces) {
  struct Collect : KTOutputSink {
    void BeginOutput(int id, int) override {
      ++begun;
      encodingId = id;
    }
    void WriteOutput(const char16_t* text, size_t length) override {
      largest = std::max(largest, length);
      ++pieces;
      all.append(text, length);
    }
    int begun = 0;
    int encodingId = 0;
    size_t largest = 0;
    int pieces = 0;
    std::u16string all;
  };
  TreeBuilder tree;
  KTXPathNode* top = tree.Element(tree.Root(), u"top");
  for (int i = 0; i < 20000; ++i) {
    KTXPathNode* item = tree.Element(top, u"item");
    tree.Attribute(item, u"n", u"a<b");
    tree.Text(item, u"x & y\n");
  }
  for (const char16_t* method : {u"xml", u"html", u"text"}) {
    KTOutputSettings settings;
    settings.SetMethod(method);
    settings.SetEncoding(u"ISO-8859-1");
    settings.SetIndent(true);
    KTResultSerializer serializer;
    serializer.SetResultRoot(tree.Root());
    const std::u16string whole = serializer.Serialize(settings);
    Collect sink;
    serializer.SetOutputSink(&sink);
    EXPECT_EQ(std::u16string(serializer.Serialize(settings)), u"") << ktresulttree::Utf8(method);
    EXPECT_EQ(sink.begun, 1);
    EXPECT_EQ(sink.encodingId, serializer.GetEncodingId());
    EXPECT_EQ(sink.all, whole) << ktresulttree::Utf8(method);
    EXPECT_GT(sink.pieces, 1);
    EXPECT_LT(sink.largest, size_t{65536});
  }
}

// The canonical forms of our xml output and of xsltproc's output of a
// stylesheet that builds the same result tree are equal.
TEST(KTResultSerializerXmlTest, ReparsesLikeXsltprocOutput) {
  if (!ktresulttree::HaveTool("xsltproc") || !ktresulttree::HaveTool("xmllint")) {
    GTEST_SKIP() << "xsltproc or xmllint is not installed";
  }
  TreeBuilder tree;
  KTXPathNode* doc = tree.Element(tree.Root(), u"doc");
  tree.Namespace(doc, u"xmlns:p", u"urn:p");
  tree.Attribute(doc, u"a", u"x<y\"z\r\nw\tv'>&");
  tree.Add(doc, kXPathAttribute, u"p:b", u"1", u"urn:p");
  tree.Text(tree.Element(doc, u"p:e", u"urn:p"), u"t & < > ]]> \"'\r");
  tree.Pi(doc, u"pi", u"data <x>");
  tree.Comment(doc, u" c < & ");
  tree.Element(doc, u"f");
  KTXPathNode* g = tree.Element(doc, u"g");
  tree.Text(g, u"\u00e9\u20ac\U0001D11E");
  tree.Text(tree.Element(doc, u"cd"), u"a]]>b<&");

  const std::string stylesheet =
      "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'"
      " xmlns:p='urn:p'>"
      "<xsl:output cdata-section-elements='cd'/>"
      "<xsl:template match='/'>"
      "<doc a='x&lt;y&quot;z&#13;&#10;w&#9;v&apos;&gt;&amp;' p:b='1'>"
      "<p:e>t &amp; &lt; &gt; ]]&gt; \"'&#13;</p:e>"
      "<xsl:processing-instruction name='pi'>data &lt;x&gt;</xsl:processing-instruction>"
      "<xsl:comment> c &lt; &amp; </xsl:comment>"
      "<f/><g>\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E</g><cd>a]]&gt;b&lt;&amp;</cd>"
      "</doc></xsl:template></xsl:stylesheet>";

  for (const char16_t* encoding : {u"UTF-8", u"ISO-8859-1", u"US-ASCII"}) {
    KTOutputSettings settings;
    settings.SetEncoding(encoding);
    settings.AppendCdataSectionElements(u" cd");
    KTResultSerializer serializer;
    serializer.SetResultRoot(tree.Root());
    const char16_t* text = serializer.Serialize(settings);
    ktresulttree::ScratchFolder folder;
    const std::string ours = ktresulttree::Encode(text, serializer.GetOutputLength(),
                                                  serializer.GetEncodingId());
    // xsltproc gets the same encoding through the stylesheet's xsl:output.
    std::string styled = stylesheet;
    styled.replace(styled.find("<xsl:output "), 12,
                   "<xsl:output encoding='" + ktresulttree::Utf8(encoding) + "' ");
    const std::string theirs = ktresulttree::Xsltproc(folder, styled);
    ASSERT_FALSE(theirs.empty());
    EXPECT_EQ(ktresulttree::Canonical(folder, "ours.xml", ours),
              ktresulttree::Canonical(folder, "theirs.xml", theirs))
        << ktresulttree::Utf8(encoding) << "\nours: " << ours << "\ntheirs: " << theirs;
  }
}

// Text output is the text nodes alone, exactly as xsltproc writes it.
TEST(KTResultSerializerXmlTest, TextOutputMatchesXsltproc) {
  if (!ktresulttree::HaveTool("xsltproc")) GTEST_SKIP() << "xsltproc is not installed";
  TreeBuilder tree;
  KTXPathNode* a = tree.Element(tree.Root(), u"a");
  tree.Attribute(a, u"x", u"attr");
  tree.Comment(a, u"comment");
  tree.Text(a, u"one <&> ");
  tree.Pi(a, u"pi", u"instruction");
  tree.Text(tree.Element(a, u"b"), u"two\n\u00e9");
  KTOutputSettings settings;
  settings.SetMethod(u"text");
  KTResultSerializer serializer;
  serializer.SetResultRoot(tree.Root());
  const char16_t* text = serializer.Serialize(settings);
  ktresulttree::ScratchFolder folder;
  const std::string theirs = ktresulttree::Xsltproc(
      folder,
      "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
      "<xsl:output method='text'/><xsl:template match='/'>"
      "<a x='attr'><xsl:comment>comment</xsl:comment>one &lt;&amp;&gt; "
      "<xsl:processing-instruction name='pi'>instruction</xsl:processing-instruction>"
      "<b>two&#10;\xC3\xA9</b></a></xsl:template></xsl:stylesheet>");
  EXPECT_EQ(ktresulttree::Encode(text, serializer.GetOutputLength(), serializer.GetEncodingId()), theirs);
}

}  // namespace

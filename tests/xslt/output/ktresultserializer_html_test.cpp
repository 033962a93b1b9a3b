// KTResultSerializer: the html method (end tags, boolean and URI attributes,
// the META element, raw script text, block-element line breaks, the HTML
// document type) and the HTML vocabulary. The html method's layout is this
// program's own, so the expected texts are written out.
#include "xslt/output/ktresultserializer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ktresulttree_util.h"

using ktresulttree::TreeBuilder;

namespace {

std::u16string SerializeHtml(TreeBuilder& tree, const std::function<void(KTOutputSettings&)>& set) {
  KTOutputSettings settings;
  settings.SetMethod(u"html");
  if (set) set(settings);
  KTResultSerializer serializer;
  serializer.SetResultRoot(tree.Root());
  return std::u16string(serializer.Serialize(settings));
}

void NoIndent(KTOutputSettings& s) { s.SetIndent(false); }

TEST(KTResultSerializerHtmlTest, DefaultMethodWritesTheHtmlExample) {
  // <html><head><title>T</title></head><body><br/><p>a&lt;b</p>
  // <input type="checkbox" checked="checked"/></body></html>, no xsl:output.
  TreeBuilder t;
  KTXPathNode* html = t.Element(t.Root(), u"html");
  KTXPathNode* head = t.Element(html, u"head");
  t.Text(t.Element(head, u"title"), u"T");
  KTXPathNode* body = t.Element(html, u"body");
  t.Element(body, u"br");
  t.Text(t.Element(body, u"p"), u"a<b");
  KTXPathNode* input = t.Element(body, u"input");
  t.Attribute(input, u"type", u"checkbox");
  t.Attribute(input, u"checked", u"checked");
  KTResultSerializer serializer;
  serializer.SetResultRoot(t.Root());
  EXPECT_EQ(std::u16string(serializer.Serialize(KTOutputSettings())),
            u"<html><head>\t\t<META http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">"
            u"<title>T</title></head><body><br><p>a&lt;b</p><input type=\"checkbox\" checked>"
            u"</body></html>\n");
  EXPECT_TRUE(serializer.IsHtmlMethod());
}

struct HtmlCase {
  const char* what;
  std::function<void(TreeBuilder&)> build;
  std::function<void(KTOutputSettings&)> settings;
  std::u16string expected;
};

TEST(KTResultSerializerHtmlTest, WritesTheDefinedText) {
  const HtmlCase cases[] = {
      {"empty element, end-tag element, other element (an end tag too: HTML has no \"/>\"), element with text",
       [](TreeBuilder& t) {
         KTXPathNode* r = t.Element(t.Root(), u"body");
         t.Element(r, u"br");
         t.Element(r, u"div");
         t.Element(r, u"foo");
         t.Text(t.Element(r, u"p"), u"t");
         t.Text(t.Element(r, u"BR"), u"x");
       },
       NoIndent, u"<body><br><div></div><foo></foo><p>t</p><BR>x</body>"},
      {"an element in a namespace named like an HTML empty element: start tag alone, end tag with content",
       [](TreeBuilder& t) {
         KTXPathNode* r = t.Element(t.Root(), u"body");
         t.Attribute(t.Element(r, u"br", u"urn:x"), u"a", u"1");
         t.Text(t.Element(r, u"link", u"urn:x"), u"u");
       },
       NoIndent, u"<body><br a=\"1\"><link>u</link></body>"},
      {"boolean attributes are written as their name, whatever their value",
       [](TreeBuilder& t) {
         KTXPathNode* s = t.Element(t.Root(), u"select");
         KTXPathNode* o1 = t.Element(s, u"option");
         t.Attribute(o1, u"selected", u"selected");
         KTXPathNode* o2 = t.Element(s, u"option");
         t.Attribute(o2, u"SELECTED", u"no");
         t.Attribute(o2, u"value", u"v");
       },
       NoIndent, u"<select><option selected></option><option SELECTED value=\"v\"></option></select>"},
      {"URI attributes: non-ASCII characters and spaces as %-escaped UTF-8",
       [](TreeBuilder& t) {
         KTXPathNode* a = t.Element(t.Root(), u"a");
         t.Attribute(a, u"href", u"/w/Caf%C3%A9 \u00e9");
         t.Attribute(a, u"SRC", u"a b");
         t.Attribute(a, u"title", u"a b\u00e9");
         KTXPathNode* b = t.Element(t.Root(), u"a");
         t.Attribute(b, u"href", u"x?a=1&b=\"2\"&{c}#\U0001D11E");
       },
       NoIndent,
       u"<a href=\"/w/Caf%C3%A9%20%C3%A9\" SRC=\"a%20b\" title=\"a b\u00e9\"></a>"
       u"<a href=\"x?a=1&amp;b=&quot;2&quot;&{c}#%F0%9D%84%9E\"></a>"},
      {"attribute values: markup and quotes escaped, '&' bare only before '{', line ends as references",
       [](TreeBuilder& t) {
         t.Attribute(t.Element(t.Root(), u"p"), u"title", u"a<b>\"c\" & &{x}\r\n\t'");
       },
       NoIndent, u"<p title=\"a&lt;b&gt;&quot;c&quot; &amp; &{x}&#13;&#10;&#9;'\"></p>"},
      {"script and style text is raw, other text escaped",
       [](TreeBuilder& t) {
         KTXPathNode* h = t.Element(t.Root(), u"div");
         t.Text(t.Element(h, u"script"), u"if (a<b && c>d) x();");
         t.Text(t.Element(h, u"STYLE"), u"a>b{}");
         t.Text(t.Element(h, u"p"), u"a<b&c>");
       },
       NoIndent,
       u"<div><script>if (a<b && c>d) x();</script><STYLE>a>b{}</STYLE><p>a&lt;b&amp;c&gt;</p></div>"},
      {"comments raw, processing instructions without '?' before '>'",
       [](TreeBuilder& t) {
         KTXPathNode* d = t.Element(t.Root(), u"div");
         t.Comment(d, u" a<b ");
         t.Pi(d, u"php", u"echo 1");
       },
       NoIndent, u"<div><!-- a<b --><?php echo 1></div>"},
      {"the META names the output encoding",
       [](TreeBuilder& t) { t.Text(t.Element(t.Element(t.Root(), u"html"), u"head"), u"x"); },
       [](KTOutputSettings& s) {
         s.SetIndent(false);
         s.SetEncoding(u"ISO-8859-1");
       },
       u"<html><head><META http-equiv=\"Content-Type\" content=\"text/html; charset=ISO-8859-1\">x"
       u"</head></html>"},
      {"an unknown encoding is named UTF-8; an empty head still gets its META",
       [](TreeBuilder& t) {
         KTXPathNode* html = t.Element(t.Root(), u"html");
         t.Element(html, u"HEAD");
         t.Text(t.Element(html, u"body"), u"x");
       },
       [](KTOutputSettings& s) {
         s.SetIndent(false);
         s.SetEncoding(u"x-unknown");
       },
       u"<html><HEAD><META http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\"></HEAD>"
       u"<body>x</body></html>"},
      {"document type with public and system identifiers",
       [](TreeBuilder& t) { t.Text(t.Element(t.Root(), u"html"), u"x"); },
       [](KTOutputSettings& s) {
         s.SetIndent(false);
         s.SetDoctypePublic(u"-//W3C//DTD HTML 4.01//EN");
         s.SetDoctypeSystem(u"http://www.w3.org/TR/html4/strict.dtd");
       },
       u"<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" \"http://www.w3.org/TR/html4/strict.dtd\">"
       u"<html>x</html>"},
      {"document type with a public identifier alone",
       [](TreeBuilder& t) { t.Text(t.Element(t.Root(), u"html"), u"x"); },
       [](KTOutputSettings& s) {
         s.SetIndent(false);
         s.SetDoctypePublic(u"-//W3C//DTD HTML 4.01//EN");
       },
       u"<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\"><html>x</html>"},
      {"document type with a system identifier alone",
       [](TreeBuilder& t) { t.Text(t.Element(t.Root(), u"html"), u"x"); },
       [](KTOutputSettings& s) {
         s.SetIndent(false);
         s.SetDoctypeSystem(u"about:legacy-compat");
       },
       u"<!DOCTYPE HTML SYSTEM \"about:legacy-compat\"><html>x</html>"},
      {"cdata-section-elements apply to html output too",
       [](TreeBuilder& t) { t.Text(t.Element(t.Root(), u"pre"), u"a]]>b"); },
       [](KTOutputSettings& s) {
         s.SetIndent(false);
         s.AppendCdataSectionElements(u" pre");
       },
       u"<pre><![CDATA[a]]]]><![CDATA[>b]]></pre>"},
      {"namespace declarations are escaped like attribute values",
       [](TreeBuilder& t) { t.Namespace(t.Element(t.Root(), u"div"), u"xmlns:p", u"urn:a&b"); },
       NoIndent, u"<div xmlns:p=\"urn:a&amp;b\"></div>"},
      {"indentation: breaks and tabs around block elements after a block element",
       [](TreeBuilder& t) {
         KTXPathNode* body = t.Element(t.Element(t.Root(), u"html"), u"body");
         t.Text(t.Element(t.Element(body, u"div"), u"p"), u"x");
         t.Text(t.Element(t.Element(t.Element(body, u"table"), u"tr"), u"td"), u"1");
       },
       nullptr,
       u"<html><body><div><p>x</p>    </div>\n    <table>\n      <tr><td>1</td>\n      </tr>\n    </table>"
       u"\n  </body></html>"},
  };
  for (const HtmlCase& c : cases) {
    TreeBuilder tree;
    c.build(tree);
    // A document ends with a line end.
    EXPECT_EQ(SerializeHtml(tree, c.settings), c.expected + u"\n") << c.what;
  }
}

TEST(KTResultSerializerHtmlTest, VocabularyFoldsCaseAndKnowsItsLists) {
  EXPECT_TRUE(KTHtmlVocabulary::IsHtmlEmptyElement(u"Br"));
  EXPECT_FALSE(KTHtmlVocabulary::IsHtmlEmptyElement(u"brx"));
  EXPECT_TRUE(KTHtmlVocabulary::IsHtmlElementWithEndTag(u"textarea"));
  EXPECT_FALSE(KTHtmlVocabulary::IsHtmlElementWithEndTag(u"p"));
  EXPECT_TRUE(KTHtmlVocabulary::IsHtmlUriAttribute(u"LongDesc"));
  EXPECT_FALSE(KTHtmlVocabulary::IsHtmlUriAttribute(u"title"));
  EXPECT_TRUE(KTHtmlVocabulary::IsHtmlBooleanAttribute(u"noshade"));
  EXPECT_TRUE(KTHtmlVocabulary::IsHtmlBlockElement(u"td"));
  EXPECT_FALSE(KTHtmlVocabulary::IsHtmlBlockElement(u"span"));
  EXPECT_FALSE(KTHtmlVocabulary::IsHtmlBlockElement(u""));
  EXPECT_FALSE(KTHtmlVocabulary::IsHtmlBlockElement(u"averyveryverylongname"));
}

}  // namespace

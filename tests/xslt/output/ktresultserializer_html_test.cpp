// KTResultSerializer: the html method (end tags, boolean and URI attributes,
// the META element, raw script text, block-element line breaks, the HTML
// document type) and the HTML vocabulary. The expected texts are written out;
// the end-to-end tests compare the same layout with xsltproc's.
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
            u"<html>\n<head>\n<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">\n"
            u"<title>T</title>\n</head>\n<body>\n<br><p>a&lt;b</p>\n<input type=\"checkbox\" checked>\n"
            u"</body>\n</html>\n");
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
       NoIndent, u"<body><br><div></div><foo></foo><p>t</p><BR>x</body>\n"},
      {"an element in a namespace is written as XML (XSLT 1.0 §16.2), whatever its name; its children in no "
       "namespace are HTML again",
       [](TreeBuilder& t) {
         KTXPathNode* r = t.Element(t.Root(), u"body");
         t.Attribute(t.Element(r, u"br", u"urn:x"), u"a", u"1");
         t.Text(t.Element(r, u"link", u"urn:x"), u"u");
         KTXPathNode* svg = t.Element(r, u"svg", u"http://www.w3.org/2000/svg");
         t.Attribute(svg, u"selected", u"a\tb\nc");
         t.Namespace(svg, u"xmlns", u"http://www.w3.org/2000/svg");
         t.Attribute(svg, u"href", u"a b\u00e9");
         t.Text(t.Element(svg, u"script", u"http://www.w3.org/2000/svg"), u"a<b&c");
         t.Element(svg, u"p", u"http://www.w3.org/2000/svg");
         KTXPathNode* html = t.Element(svg, u"p");
         t.Element(html, u"br");
         t.Text(t.Element(html, u"script"), u"a<b");
       },
       NoIndent,
       u"<body><br a=\"1\"/><link>u</link><svg xmlns=\"http://www.w3.org/2000/svg\" selected=\"a&#9;b&#10;c\" "
       u"href=\"a b\u00e9\"><script>a&lt;b&amp;c</script><p/><p><br><script>a<b</script></p></svg></body>\n"},
      {"boolean attributes are written as their name, whatever their value",
       [](TreeBuilder& t) {
         KTXPathNode* s = t.Element(t.Root(), u"select");
         KTXPathNode* o1 = t.Element(s, u"option");
         t.Attribute(o1, u"selected", u"selected");
         KTXPathNode* o2 = t.Element(s, u"option");
         t.Attribute(o2, u"SELECTED", u"no");
         t.Attribute(o2, u"value", u"v");
       },
       NoIndent, u"<select><option selected></option><option SELECTED value=\"v\"></option></select>\n"},
      {"URI attributes: only non-ASCII characters as %-escaped UTF-8 (XSLT 1.0 §16.2); white space and every "
       "other ASCII character as they stand, but for markup and CR",
       [](TreeBuilder& t) {
         KTXPathNode* a = t.Element(t.Root(), u"a");
         t.Attribute(a, u"href", u"\n  /w/Caf%C3%A9 \u00e9");
         t.Attribute(a, u"SRC", u"a b");
         t.Attribute(a, u"title", u"a b\u00e9");
         KTXPathNode* b = t.Element(t.Root(), u"a");
         t.Attribute(b, u"href", u"x?a=1&b=\"2\"&{c}#\U0001D11E\u00ff\u0080");
         t.Attribute(b, u"action", u"$[\\]^`|\t\r\n!#'()*+,-./:;=?@_~\x7f");
       },
       NoIndent,
       u"<a href=\"\n  /w/Caf%C3%A9 %C3%A9\" SRC=\"a b\" title=\"a b\u00e9\"></a>"
       u"<a href=\"x?a=1&amp;b=&quot;2&quot;&{c}#%F0%9D%84%9E%C3%BF%C2%80\" "
       u"action=\"$[\\]^`|\t&#13;\n!#'()*+,-./:;=?@_~\x7f\"></a>\n"},
      {"name is a URI attribute of the a element only; background and other HTML 4 URI attributes are kept",
       [](TreeBuilder& t) {
         KTXPathNode* a = t.Element(t.Root(), u"A");
         t.Attribute(a, u"name", u"\u0451 x");
         t.Attribute(t.Element(a, u"img"), u"name", u"\u0451 x");
         KTXPathNode* body = t.Element(a, u"body");
         t.Attribute(body, u"background", u"a b.gif");
         t.Attribute(body, u"longdesc", u"\u0451");
       },
       NoIndent,
       u"<A name=\"%D1%91 x\"><img name=\"\u0451 x\"><body background=\"a b.gif\" longdesc=\"\u0451\"></body>"
       u"</A>\n"},
      {"attribute values: markup and quotes escaped, '&' bare only before '{', LF and tabs kept, CR a reference",
       [](TreeBuilder& t) {
         t.Attribute(t.Element(t.Root(), u"p"), u"title", u"a<b>\"c\" & &{x}\r\n\t'");
       },
       NoIndent, u"<p title=\"a&lt;b&gt;&quot;c&quot; &amp; &{x}&#13;\n\t'\"></p>\n"},
      {"a CR in text is a reference, so that a reader does not take it for a line feed",
       [](TreeBuilder& t) { t.Text(t.Element(t.Root(), u"p"), u"a\rb\r\nc"); },
       NoIndent, u"<p>a&#13;b&#13;\nc</p>\n"},
      {"script and style text is raw, other text escaped",
       [](TreeBuilder& t) {
         KTXPathNode* h = t.Element(t.Root(), u"div");
         t.Text(t.Element(h, u"script"), u"if (a<b && c>d) x();");
         t.Text(t.Element(h, u"STYLE"), u"a>b{}");
         t.Text(t.Element(h, u"p"), u"a<b&c>");
       },
       NoIndent,
       u"<div><script>if (a<b && c>d) x();</script><STYLE>a>b{}</STYLE><p>a&lt;b&amp;c&gt;</p></div>\n"},
      {"comments raw, processing instructions without '?' before '>'",
       [](TreeBuilder& t) {
         KTXPathNode* d = t.Element(t.Root(), u"div");
         t.Comment(d, u" a<b ");
         t.Pi(d, u"php", u"echo 1");
         t.Pi(d, u"empty", u"");
       },
       NoIndent, u"<div><!-- a<b --><?php echo 1><?empty></div>\n"},
      {"the META names the output encoding",
       [](TreeBuilder& t) { t.Text(t.Element(t.Element(t.Root(), u"html"), u"head"), u"x"); },
       [](KTOutputSettings& s) {
         s.SetIndent(false);
         s.SetEncoding(u"ISO-8859-1");
       },
       u"<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=ISO-8859-1\">x"
       u"</head></html>\n"},
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
       u"<html><HEAD><meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\"></HEAD>"
       u"<body>x</body></html>\n"},
      {"document type with public and system identifiers",
       [](TreeBuilder& t) { t.Text(t.Element(t.Root(), u"html"), u"x"); },
       [](KTOutputSettings& s) {
         s.SetIndent(false);
         s.SetDoctypePublic(u"-//W3C//DTD HTML 4.01//EN");
         s.SetDoctypeSystem(u"http://www.w3.org/TR/html4/strict.dtd");
       },
       u"<!DOCTYPE html PUBLIC \"-//W3C//DTD HTML 4.01//EN\" \"http://www.w3.org/TR/html4/strict.dtd\">\n"
       u"<html>x</html>\n"},
      {"document type with a public identifier alone",
       [](TreeBuilder& t) { t.Text(t.Element(t.Root(), u"html"), u"x"); },
       [](KTOutputSettings& s) {
         s.SetIndent(false);
         s.SetDoctypePublic(u"-//W3C//DTD HTML 4.01//EN");
       },
       u"<!DOCTYPE html PUBLIC \"-//W3C//DTD HTML 4.01//EN\">\n<html>x</html>\n"},
      {"document type with a system identifier alone",
       [](TreeBuilder& t) { t.Text(t.Element(t.Root(), u"html"), u"x"); },
       [](KTOutputSettings& s) {
         s.SetIndent(false);
         s.SetDoctypeSystem(u"about:legacy-compat");
       },
       u"<!DOCTYPE html SYSTEM \"about:legacy-compat\">\n<html>x</html>\n"},
      {"version 5 alone: the declaration of HTML 5; other versions write none",
       [](TreeBuilder& t) { t.Text(t.Element(t.Root(), u"html"), u"x"); },
       [](KTOutputSettings& s) { s.SetVersion(u"5"); },
       u"<!DOCTYPE html>\n<html>x</html>\n"},
      {"version 5 and identifiers: the identifiers",
       [](TreeBuilder& t) { t.Element(t.Root(), u"html"); },
       [](KTOutputSettings& s) {
         s.SetVersion(u"5");
         s.SetDoctypeSystem(u"a.dtd");
       },
       u"<!DOCTYPE html SYSTEM \"a.dtd\">\n<html></html>\n"},
      {"version 4.01 without identifiers writes no declaration",
       [](TreeBuilder& t) { t.Element(t.Root(), u"html"); },
       [](KTOutputSettings& s) { s.SetVersion(u"4.01"); },
       u"<html></html>\n"},
      {"cdata-section-elements apply to html output too",
       [](TreeBuilder& t) { t.Text(t.Element(t.Root(), u"pre"), u"a]]>b"); },
       [](KTOutputSettings& s) {
         s.SetIndent(false);
         s.AppendCdataSectionElements(u" pre");
       },
       u"<pre><![CDATA[a]]]]><![CDATA[>b]]></pre>\n"},
      {"namespace declarations are escaped like attribute values",
       [](TreeBuilder& t) { t.Namespace(t.Element(t.Root(), u"div"), u"xmlns:p", u"urn:a&b"); },
       NoIndent, u"<div xmlns:p=\"urn:a&amp;b\"></div>\n"},
  };
  for (const HtmlCase& c : cases) {
    TreeBuilder tree;
    c.build(tree);
    EXPECT_EQ(SerializeHtml(tree, c.settings), c.expected) << c.what;
  }
}

// Indentation adds line breaks only: after the start tag of a block element
// whose content is several nodes and starts with no text, before its end tag
// when the content ends with no text, and after a block element followed by
// anything but text. Never at the top, inside p, pre or textarea, or around
// elements in a namespace.
TEST(KTResultSerializerHtmlTest, IndentationBreaksLinesAroundBlockElements) {
  const HtmlCase cases[] = {
      {"content of several nodes, of one node, starting or ending with text",
       [](TreeBuilder& t) {
         KTXPathNode* body = t.Element(t.Root(), u"body");
         KTXPathNode* d1 = t.Element(body, u"div");
         t.Text(t.Element(d1, u"p"), u"x");
         t.Text(t.Element(d1, u"p"), u"y");
         KTXPathNode* d2 = t.Element(body, u"div");
         t.Text(d2, u"t");
         t.Text(t.Element(d2, u"p"), u"x");
         KTXPathNode* d3 = t.Element(body, u"DIV");
         t.Text(t.Element(d3, u"p"), u"x");
         t.Text(d3, u"t");
         t.Text(t.Element(t.Element(body, u"div"), u"p"), u"x");
       },
       nullptr,
       u"<body>\n<div>\n<p>x</p>\n<p>y</p>\n</div>\n<div>t<p>x</p>\n</div>\n<DIV>\n<p>x</p>t</DIV>\n"
       u"<div><p>x</p></div>\n</body>\n"},
      {"after a block element: a break before an element or comment, none before text or after inline ones",
       [](TreeBuilder& t) {
         KTXPathNode* ul = t.Element(t.Root(), u"ul");
         t.Text(t.Element(ul, u"li"), u"a");
         t.Comment(ul, u"c");
         t.Text(t.Element(ul, u"li"), u"b");
         t.Text(ul, u"t");
         t.Text(t.Element(ul, u"li"), u"c");
         t.Text(ul, u"");
         t.Text(t.Element(ul, u"li"), u"d");
         t.Element(ul, u"br");
         t.Element(ul, u"span");
         t.Element(ul, u"hr");
       },
       nullptr, u"<ul>\n<li>a</li>\n<!--c--><li>b</li>t<li>c</li>\n<li>d</li>\n<br><span></span><hr>\n</ul>\n"},
      {"an inline or unknown parent still parts its block children; nothing between nodes at the top",
       [](TreeBuilder& t) {
         KTXPathNode* span = t.Element(t.Root(), u"span");
         t.Element(span, u"div");
         t.Element(span, u"div");
         KTXPathNode* foo = t.Element(t.Root(), u"foo");
         t.Element(foo, u"p");
         t.Element(foo, u"p");
         t.Element(t.Root(), u"div");
       },
       nullptr, u"<span><div></div>\n<div></div></span><foo><p></p>\n<p></p></foo><div></div>\n"},
      {"no break inside p, nor anywhere inside pre or textarea, whose white space shows",
       [](TreeBuilder& t) {
         KTXPathNode* body = t.Element(t.Root(), u"body");
         KTXPathNode* p = t.Element(body, u"p");
         t.Element(p, u"div");
         t.Element(p, u"div");
         KTXPathNode* span = t.Element(t.Element(body, u"pre"), u"span");
         t.Element(span, u"div");
         t.Element(span, u"div");
         KTXPathNode* pre = t.Element(body, u"PRE");
         t.Element(pre, u"div");
         t.Element(pre, u"div");
         KTXPathNode* textarea = t.Element(body, u"textarea");
         t.Element(textarea, u"div");
         t.Element(textarea, u"div");
       },
       nullptr,
       u"<body>\n<p><div></div><div></div></p>\n<pre><span><div></div><div></div></span></pre>\n"
       u"<PRE><div></div><div></div></PRE>\n<textarea><div></div><div></div></textarea>\n</body>\n"},
      {"nor anywhere inside script or style, which run as written",
       [](TreeBuilder& t) {
         KTXPathNode* head = t.Element(t.Root(), u"body");
         KTXPathNode* style = t.Element(head, u"style");
         t.Element(style, u"div");
         t.Element(style, u"div");
         KTXPathNode* span = t.Element(t.Element(head, u"SCRIPT"), u"span");
         t.Element(t.Element(span, u"div"), u"p");
         t.Element(span, u"div");
         t.Text(t.Element(head, u"div"), u"x");
       },
       nullptr,
       u"<body>\n<style><div></div><div></div></style>\n<SCRIPT><span><div><p></p></div><div></div></span></SCRIPT>"
       u"<div>x</div>\n</body>\n"},
      {"elements in a namespace are not HTML's: no breaks around them",
       [](TreeBuilder& t) {
         KTXPathNode* div = t.Element(t.Root(), u"x:div", u"urn:x");
         t.Element(div, u"x:p", u"urn:x");
         t.Element(div, u"x:p", u"urn:x");
       },
       nullptr, u"<x:div><x:p/><x:p/></x:div>\n"},
      {"the META counts as the head's first child",
       [](TreeBuilder& t) {
         KTXPathNode* html = t.Element(t.Root(), u"html");
         t.Element(html, u"head");
         t.Text(t.Element(html, u"HEAD"), u"t");
       },
       nullptr,
       u"<html>\n<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\"></head>\n"
       u"<HEAD>t</HEAD>\n</html>\n"},
  };
  for (const HtmlCase& c : cases) {
    TreeBuilder tree;
    c.build(tree);
    EXPECT_EQ(SerializeHtml(tree, c.settings), c.expected) << c.what;
  }
}

// The META goes into the head of the html element at the top (or of a head
// at the top); a content-type META of the result's own, in that head or
// before it, is replaced by it in its place, and any further one there is
// left out: one declaration, naming the encoding the bytes are in.
TEST(KTResultSerializerHtmlTest, MetaDeclaresTheEncodingOnce) {
  auto meta = [](TreeBuilder& t, KTXPathNode* parent, const char16_t* equiv, const char16_t* content) {
    KTXPathNode* m = t.Element(parent, u"meta");
    if (equiv) t.Attribute(m, u"http-equiv", equiv);
    if (content) t.Attribute(m, u"CONTENT", content);
    return m;
  };
  const HtmlCase cases[] = {
      {"the result's own META gives way to the serialiser's where it stands; a second one is left out",
       [&](TreeBuilder& t) {
         KTXPathNode* head = t.Element(t.Element(t.Root(), u"html"), u"head");
         t.Element(head, u"title");
         KTXPathNode* own = meta(t, head, u"content-TYPE", u"text/html; charset=ISO-8859-1");
         t.Attribute(own, u"lang", u"en");
         meta(t, head, u"Content-Type", u"x");
       },
       NoIndent,
       u"<html><head><title></title><meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">"
       u"</head></html>\n"},
      {"a content-type META without content counts too; one of another kind does not",
       [&](TreeBuilder& t) {
         KTXPathNode* head = t.Element(t.Element(t.Root(), u"html"), u"head");
         meta(t, head, u"refresh", u"5");
         meta(t, head, u"Content-Type", nullptr);
       },
       NoIndent,
       u"<html><head><meta http-equiv=\"refresh\" CONTENT=\"5\">"
       u"<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\"></head></html>\n"},
      {"a content-type META before the head stands for it, one in the head is left out; one in the body stays",
       [&](TreeBuilder& t) {
         KTXPathNode* html = t.Element(t.Root(), u"html");
         meta(t, html, u"Content-Type", u"x");
         meta(t, t.Element(html, u"head"), u"Content-Type", u"z");
         meta(t, t.Element(html, u"body"), u"Content-Type", u"y");
       },
       NoIndent,
       u"<html><meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\"><head></head>"
       u"<body><meta http-equiv=\"Content-Type\" CONTENT=\"y\"></body></html>\n"},
      {"none of the own META's attributes or namespace declarations is written; an element in a namespace before "
       "the html element is passed over",
       [&](TreeBuilder& t) {
         t.Element(t.Root(), u"x:a", u"urn:x");
         KTXPathNode* own = meta(t, t.Element(t.Element(t.Root(), u"html"), u"head"), u"Content-Type", u"x");
         t.Namespace(own, u"xmlns:x", u"urn:x");
         t.Attribute(own, u"lang", u"en");
       },
       NoIndent,
       u"<x:a/><html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\"></head></html>\n"},
      {"a head or META in a namespace is not HTML's: the head of no namespace gets the META",
       [&](TreeBuilder& t) {
         KTXPathNode* html = t.Element(t.Root(), u"html");
         KTXPathNode* xhead = t.Element(html, u"head", u"urn:x");
         KTXPathNode* xmeta = t.Element(xhead, u"meta", u"urn:x");
         t.Attribute(xmeta, u"http-equiv", u"Content-Type");
         t.Element(html, u"head");
       },
       NoIndent,
       u"<html><head><meta http-equiv=\"Content-Type\"/></head>"
       u"<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\"></head></html>\n"},
      {"only the first head of the html element at the top, after other elements there",
       [&](TreeBuilder& t) {
         t.Element(t.Root(), u"foo");
         KTXPathNode* html = t.Element(t.Root(), u"HTML");
         t.Element(html, u"head");
         t.Element(html, u"head");
         t.Element(t.Element(t.Root(), u"div"), u"head");
       },
       NoIndent,
       u"<foo></foo><HTML><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\"></head>"
       u"<head></head></HTML><div><head></head></div>\n"},
      {"a head at the top; none deeper than the html element's children",
       [&](TreeBuilder& t) {
         t.Element(t.Root(), u"head");
         t.Element(t.Element(t.Element(t.Root(), u"html"), u"div"), u"head");
       },
       NoIndent,
       u"<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\"></head>"
       u"<html><div><head></head></div></html>\n"},
  };
  for (const HtmlCase& c : cases) {
    TreeBuilder tree;
    c.build(tree);
    EXPECT_EQ(SerializeHtml(tree, c.settings), c.expected) << c.what;
  }
}

TEST(KTResultSerializerHtmlTest, VocabularyFoldsCaseAndKnowsItsLists) {
  EXPECT_TRUE(KTHtmlVocabulary::IsHtmlEmptyElement(u"Br"));
  EXPECT_FALSE(KTHtmlVocabulary::IsHtmlEmptyElement(u"brx"));
  EXPECT_TRUE(KTHtmlVocabulary::IsHtmlUriAttribute(u"Href"));
  EXPECT_FALSE(KTHtmlVocabulary::IsHtmlUriAttribute(u"longdesc"));
  EXPECT_FALSE(KTHtmlVocabulary::IsHtmlUriAttribute(u"title"));
  EXPECT_TRUE(KTHtmlVocabulary::IsHtmlBooleanAttribute(u"noshade"));
  EXPECT_TRUE(KTHtmlVocabulary::IsHtmlBlockElement(u"td"));
  EXPECT_FALSE(KTHtmlVocabulary::IsHtmlBlockElement(u"span"));
  EXPECT_TRUE(KTHtmlVocabulary::IsHtmlBlockElement(u"Style"));
  EXPECT_FALSE(KTHtmlVocabulary::IsHtmlBlockElement(u"script"));
  EXPECT_FALSE(KTHtmlVocabulary::IsHtmlBlockElement(u""));
  EXPECT_FALSE(KTHtmlVocabulary::IsHtmlBlockElement(u"averyveryverylongname"));
}

}  // namespace

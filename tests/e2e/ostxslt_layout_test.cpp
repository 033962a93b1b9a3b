// End-to-end tests of the serialiser's layout: where the html method breaks
// lines and places its META, and the line breaks of the xml method between
// the declarations and the nodes at the top and in indented content; and of
// how the html method writes attribute values. Each
// stylesheet runs through the program and through xsltproc, and the output
// files must be equal byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "ktprogramrunner.h"

#ifndef OSTXSLT_PROGRAM
#error "OSTXSLT_PROGRAM must name the built program"
#endif

namespace {

constexpr const char* kXsltproc = "/usr/bin/xsltproc";

const char* const kSource = "<r><i>a</i><i>b</i><i>c</i></r>\n";

std::string Stylesheet(const std::string& output, const std::string& body) {
  return "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n<xsl:output " +
         output + "/>\n<xsl:template match=\"/\">" + body + "</xsl:template>\n</xsl:stylesheet>\n";
}

struct LayoutCase {
  const char* what;
  const char* output;  // the attributes of xsl:output
  const char* body;    // the template of the root
};

class LayoutTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_.Write("src.xml", kSource); }

  static bool HaveXsltproc() { return access(kXsltproc, X_OK) == 0; }

  void ExpectSameFiles(const LayoutCase& c) {
    const std::string stylesheet = Stylesheet(c.output, c.body);
    folder_.Write("sheet.xsl", stylesheet);
    KTProgramResult ours =
        KTRunProgram(OSTXSLT_PROGRAM, {"-xml", "src.xml", "-xsl", "sheet.xsl", "-out", "ours.out"}, folder_.Path());
    ASSERT_EQ(ours.status, 0) << c.what << "\n" << ours.err;
    KTProgramResult theirs = KTRunProgram(kXsltproc, {"-o", "theirs.out", "sheet.xsl", "src.xml"}, folder_.Path());
    ASSERT_EQ(theirs.status, 0) << c.what << "\n" << theirs.err;
    EXPECT_EQ(folder_.Read("ours.out"), folder_.Read("theirs.out")) << c.what << "\n" << stylesheet;
  }

  KTScratchFolder folder_;
};

TEST_F(LayoutTest, HtmlBreaksLinesWhereXsltprocDoes) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const LayoutCase cases[] = {
      {"a page of block and inline elements", "method=\"html\"",
       "<html><head><title>T</title><style>p {}</style><script>var a = 1;</script>"
       "<meta name=\"keywords\" content=\"k\"/><link rel=\"stylesheet\" href=\"s.css\"/></head>"
       "<body><h1>Head</h1><p>para <b>bold</b> text</p><div><p>x</p><p>y</p></div>"
       "<table border=\"1\"><tr><td>1</td><td>2</td></tr><tr><td><b>x</b></td></tr></table>"
       "<ul><li>a</li><li><i>b</i></li></ul><dl><dt>t</dt><dd>d</dd></dl>"
       "<form><input/><select><option>a</option><option>b</option></select><hr/></form>"
       "<span><div>a</div><div>b</div></span><foo><bar>z</bar><div/><div/></foo>"
       "<center><font>x</font><font>y</font></center><blockquote>a<br/>b</blockquote></body></html>"},
      {"content that starts or ends with text, one child, comments and instructions between blocks",
       "method=\"html\"",
       "<html><body><div>t<p>x</p></div><div><p>x</p>t</div><div><p>x</p></div>"
       "<div><xsl:comment>c</xsl:comment><p>x</p><xsl:comment>d</xsl:comment><p>y</p>"
       "<xsl:processing-instruction name=\"pi\">z</xsl:processing-instruction><p>y</p></div></body></html>"},
      {"empty text and white space between generated blocks", "method=\"html\"",
       "<html><body><table><xsl:for-each select=\"r/i\"><tr><td><xsl:value-of select=\".\"/></td>"
       "<td><xsl:value-of select=\"/..\"/></td></tr><xsl:value-of select=\"/..\"/></xsl:for-each></table>"
       "<p>a</p><xsl:text>  </xsl:text><p>b</p></body></html>"},
      {"no breaks inside p, pre and textarea", "method=\"html\"",
       "<html><body><p><div>a</div><div>b</div></p><pre>a <b>b</b>\n c</pre><pre>x</pre>"
       "<textarea>t</textarea><div><pre>x</pre><pre>y</pre></div></body></html>"},
      {"elements in a namespace get no breaks", "method=\"html\"",
       "<html><body><x:div xmlns:x=\"urn:x\"><x:p>a</x:p><x:p>b</x:p></x:div>"
       "<div xmlns=\"urn:y\"><p>a</p><p>b</p></div></body></html>"},
      {"nodes at the top stay on one line; the document ends with a line break", "method=\"html\"",
       "<xsl:comment>c</xsl:comment>text<html><body/></html><div><p>a</p><p>b</p></div>tail"},
      {"indent=no breaks no lines, but the META is there", "method=\"html\" indent=\"no\"",
       "<html><head><title>x</title></head><body><div><p>a</p><p>b</p></div></body></html>"},
      {"the document type declaration has a line of its own", "method=\"html\" "
       "doctype-public=\"-//W3C//DTD HTML 4.01//EN\" doctype-system=\"http://www.w3.org/TR/html4/strict.dtd\"",
       "<HTML><HEAD><TITLE>x</TITLE></HEAD><BODY><P>a</P></BODY></HTML>"},
      {"version 5: the document type declaration of HTML 5", "method=\"html\" version=\"5\"",
       "<html><body/></html>"},
      {"the head's only child is the META; the head of the html element at the top gets it", "method=\"html\"",
       "<foo/><html><head/><body><head><title>y</title></head></body></html>"},
      {"a META of the result that declares the content type gives way to the serialiser's, not joined by a second",
       "method=\"html\" encoding=\"ISO-8859-1\"",
       "<html><head><title>x</title><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\"/>"
       "<meta name=\"a\" content=\"b\"/></head><body/></html>"},
  };
  for (const LayoutCase& c : cases) ExpectSameFiles(c);
}

TEST_F(LayoutTest, HtmlAttributeValuesAsXsltprocWritesThem) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  const LayoutCase cases[] = {
      {"URI attributes escape non-ASCII characters as UTF-8", "method=\"html\"",
       "<a href=\"ab&#233;!#%&amp;'()*+,-./:;=?@_~\" title=\"a b&#233;\">x</a>"
       "<form action=\"/do&#233;\"/><img src=\"&#1105;.png\"/><a name=\"&#1105;\"/><img name=\"&#1105;\"/>"},
      {"other attributes keep line ends, tabs and the other URI attributes of HTML 4", "method=\"html\"",
       "<body background=\"a b.gif\"><tr class=\"&#10;PROD&#10;\" title=\"a&#9;b\"/>"
       "<q cite=\"a b\">x</q></body>"},
  };
  for (const LayoutCase& c : cases) ExpectSameFiles(c);
}

TEST_F(LayoutTest, XmlBreaksLinesWhereXsltprocDoes) {
  if (!HaveXsltproc()) GTEST_SKIP() << "xsltproc is not installed";
  // The declaration names the encoding as xsltproc's does when it is given.
  const LayoutCase cases[] = {
      {"comments and instructions around the document element", "encoding=\"UTF-8\"",
       "<xsl:comment>c</xsl:comment><xsl:comment>d</xsl:comment><a><b/></a><xsl:comment>e</xsl:comment>"
       "<xsl:processing-instruction name=\"p\">x</xsl:processing-instruction><xsl:comment>f</xsl:comment>"
       "<xsl:processing-instruction name=\"q\"/>"},
      {"the document type declaration, then a comment and the root", "encoding=\"UTF-8\" doctype-system=\"a.dtd\"",
       "<xsl:comment>c</xsl:comment><a/>"},
      {"a public identifier, without the declaration",
       "omit-xml-declaration=\"yes\" doctype-public=\"-//P//EN\" doctype-system=\"a.dtd\"", "<a>x</a>"},
      {"indent=no: a break after the declaration only", "encoding=\"UTF-8\" indent=\"no\" doctype-system=\"a.dtd\"",
       "<xsl:comment>c</xsl:comment><a><b/></a><xsl:comment>d</xsl:comment>"},
      {"indented content with comments and instructions, mixed content left alone",
       "encoding=\"UTF-8\" indent=\"yes\"",
       "<a><xsl:comment>c</xsl:comment><b><xsl:comment>c</xsl:comment><c/>"
       "<xsl:processing-instruction name=\"p\">x</xsl:processing-instruction></b>"
       "<xsl:processing-instruction name=\"p\">x</xsl:processing-instruction><d>t</d>"
       "<e><f>t<g><h/><i/></g></f></e><xsl:copy-of select=\"r\"/></a>"},
      {"indented elements at the top after text, CDATA sections",
       "encoding=\"UTF-8\" indent=\"yes\" cdata-section-elements=\"n\"",
       "<xsl:text>\n  </xsl:text><xsl:for-each select=\"r/i\"><n k=\"{.}\">\n  v <xsl:value-of select=\".\"/></n>"
       "<m><o/></m></xsl:for-each>"},
  };
  for (const LayoutCase& c : cases) ExpectSameFiles(c);
}

}  // namespace

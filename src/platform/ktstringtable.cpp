// The string table: (id, text) entries sorted by id. Each subsystem keeps its
// messages in a block of its own below.
#include "platform/ktresources.h"

#include <algorithm>
#include <iterator>

namespace {

struct Entry {
  unsigned id;
  const char16_t* text;
};

constexpr Entry kTable[] = {
    // Placeholder entry used by the table's own tests.
    {1, u"Ostrel XSLT Processor"},

    // Document node checks (src/xml/ktxnodecheck.cpp). %s are kind names,
    // the parser's message or an attribute name.
    {217, u"%s: the name is missing"},
    {218, u"A %s is not allowed in a %s"},
    {220, u"%s: the value is missing"},
    {221, u"Only one %s is allowed in a %s"},
    {223, u"An %s is required in a %s"},
    {224, u"Syntax error: %s"},
    {225, u"Unexpected end of text"},
    {230, u"A DOCTYPE may have only one external identifier"},
    {231, u"%s: the keyword must be SYSTEM or PUBLIC"},
    {236, u"An empty text is not allowed in a %s"},
    {287, u"An XML declaration takes version (required), encoding and standalone only"},
    {288, u"A text declaration takes version and encoding (required) only"},
    {379, u"This attribute-list part is out of place"},
    {380, u"The attribute type is missing"},
    {381, u"The enumerated values are missing"},
    {382, u"#FIXED must be followed by a default value"},
    {383, u"Values may only follow NOTATION or an enumerated type"},
    {384, u"No default value may follow #REQUIRED or #IMPLIED"},
    {386, u"The element declaration is not well-formed"},
    {387, u"The attribute-list declaration is not well-formed"},
    {413, u"The default declaration is missing"},
    {480, u"The attribute %s is given more than once"},

    // Stylesheet errors (src/xslt/ktxslterror.cpp): the texts of error codes 2
    // to 50 and the head of every XPath error message.
    {7200, u"An attribute set with this name has already been defined"},
    {7201, u"XPath expression expected"},
    {7202, u"Unexpected XSLT processor failure"},
    {7203, u"Undefined template"},
    {7204, u"Undefined attribute set"},
    {7205, u"Undefined namespace prefix"},
    {7206, u"A template with this name already exists"},
    {7207, u"A variable with this name already exists"},
    {7208, u"A parameter with this name already exists"},
    {7209, u"select attribute expected"},
    {7210, u"test attribute expected"},
    {7211, u"version attribute expected"},
    {7212, u"name attribute expected"},
    {7213, u"xsl:choose requires as xsl:when child"},
    {7214, u"HREF attribute expected"},
    {7215, u"stylesheet-prefix attribute expected"},
    {7216, u"result-prefix attribute expected"},
    {7217, u"unexpected xsl:otherwise"},
    {7218, u"Target node must be an xsl:when or xsl:otherwise instruction"},
    {7219, u"Expression did not evaluate to a node set"},
    {7220, u"Unexpected children"},
    {7221, u"Unexpected value"},
    {7222, u"Unexpected attribute"},
    {7223, u"Unexpected child"},
    {7224, u"Unexpected element"},
    {7225, u"Unexpected parent"},
    {7226, u"Unexpected xsl:apply-imports"},
    {7227, u"Not a child of xsl:stylesheet or xsl:transform"},
    {7228, u"Not a root element"},
    {7229, u"Not an NCName and PITarget"},
    {7230, u"Not a QName"},
    {7231, u"unexpected xsl:with-param after xsl:sort"},
    {7232, u"Could not load external entity"},
    {7233, u"Could not import external entity"},
    {7234, u"Could not include external entity"},
    {7235, u"A key with this name already exists"},
    {7236, u"Variables cannot have both select attribute and child elements"},
    {7237, u"A decimal format with this name has already been defined"},
    {7238, u"use attribute expected"},
    {7240, u"An attribute which should only occur once occurs multiple times"},
    {7241, u"Variables and parameters cannot be used in patterns"},
    {7242, u"Attribute value template syntax is incorrect"},
    {7243, u"xsl:template requires either a name or a match attribute"},
    {7244, u"The template has a mode param but not a match"},
    {7245, u"Invalid XPath expression"},
    {7246, u"Recursive include or import of external entity is not allowed"},
    {7247, u"Import preceded by other XSL element in stylesheet"},
    {7248, u"Recursive variable definition"},
    {7249, u"elements attribute expected"},
    {7250, u"Error in XPath expression, "},

    // Result serialiser (src/xslt/output/ktoutputerror.cpp): a character that
    // the output encoding cannot hold where no character reference may stand.
    {7260, u"The character U+%04X cannot be written in %s in the output encoding %s"},
    {7261, u"a name"},
    {7262, u"a comment"},
    {7263, u"a processing instruction"},
    {7264, u"a CDATA section"},
    {7265, u"text output"},
    // A character that XML 1.0 does not allow in a document (§2.2), in xml
    // or html output, and where it stood.
    {7266, u"The character U+%04X cannot be written: XML 1.0 does not allow it (%s)"},
    {7267, u"in the text of the element \"%s\""},
    {7268, u"in text at the top of the result"},
    {7269, u"in the attribute \"%s\" of the element \"%s\""},
    {7270, u"in a comment"},
    {7271, u"in the processing instruction \"%s\""},
    {7272, u"in the name \"%s\""},
    {7273, u"in the output"},
    {7274, u"The character U+%04X cannot be written: XML 1.1 allows it only as a character reference (%s)"},

    // XPath errors by kind and the XPath and XSLT function names by function
    // index (7413 + index), shown in XPath error messages.
    {7401, u"Invalid prefix"},
    {7402, u"Too few parameters"},
    {7403, u"Too many parameters"},
    {7404, u"Not a node set"},
    {7405, u"Incorrect argument type"},
    {7406, u"Invalid variable reference"},
    {7407, u"Function not in namespace"},
    {7408, u"Unknown XPath function"},
    {7409, u"Argument not a QName"},
    {7410, u"Cannot use result tree fragment"},
    {7411, u"Only child and attribute axes allowed in patterns"},
    {7412, u"Not a function"},
    {7413, u"last"},
    {7414, u"position"},
    {7415, u"count"},
    {7416, u"id"},
    {7417, u"local-name"},
    {7418, u"namespace-uri"},
    {7419, u"name"},
    {7420, u"string"},
    {7421, u"concat"},
    {7422, u"starts-with"},
    {7423, u"contains"},
    {7424, u"substring-before"},
    {7425, u"substring-after"},
    {7426, u"substring"},
    {7427, u"string-length"},
    {7428, u"normalize-space"},
    {7429, u"translate"},
    {7430, u"boolean"},
    {7431, u"not"},
    {7432, u"true"},
    {7433, u"false"},
    {7434, u"lang"},
    {7435, u"number"},
    {7436, u"sum"},
    {7437, u"floor"},
    {7438, u"ceiling"},
    {7439, u"round"},
    {7440, u"document"},
    {7441, u"key"},
    {7442, u"format-number"},
    {7443, u"current"},
    {7444, u"unparsed-entity-uri"},
    {7445, u"generate-id"},
    {7446, u"system-property"},
    {7447, u"element-available"},
    {7448, u"function-available"},
    {7449, u"Unknown decimal format"},
    {7450, u"Invalid format pattern"},
    {7451, u"NaN or Infinite number as argument"},
    {7453, u"Could not find external entity"},
    {7454, u"Invalid key reference"},
    {7455, u"key function called within a key definition"},
};

static_assert(std::is_sorted(std::begin(kTable), std::end(kTable),
                             [](const Entry& a, const Entry& b) { return a.id < b.id; }),
              "string table must stay sorted by id");

}  // namespace

const char16_t* KTFindStringResource(unsigned id) {
  auto it = std::lower_bound(std::begin(kTable), std::end(kTable), id,
                             [](const Entry& e, unsigned v) { return e.id < v; });
  return (it != std::end(kTable) && it->id == id) ? it->text : nullptr;
}

int KTLoadStringResource(unsigned id, char16_t* buffer, int bufferSize) {
  const char16_t* text = KTFindStringResource(id);
  if (!text || bufferSize <= 0) return 0;
  int n = 0;
  while (text[n] && n < bufferSize - 1) {
    buffer[n] = text[n];
    ++n;
  }
  buffer[n] = 0;
  return n;
}

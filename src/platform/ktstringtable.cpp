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

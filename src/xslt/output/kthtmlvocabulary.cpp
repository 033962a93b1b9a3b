// KTHtmlVocabulary: each list is sorted upper-case text searched by binary
// search on the name folded to upper case, so a test costs a few comparisons.
#include "xslt/output/kthtmlvocabulary.h"

#include <algorithm>
#include <iterator>

namespace {

using std::u16string_view;

// Longer than any name of the lists; a longer name is in none of them.
constexpr std::size_t kMaxListedName = 12;

constexpr u16string_view kEmptyElements[] = {
    u"AREA", u"BASE", u"BASEFONT", u"BR", u"COL", u"FRAME", u"HR",
    u"IMG", u"INPUT", u"ISINDEX", u"LINK", u"META", u"PARAM",
};

// The attributes whose values xsltproc writes as escaped URIs; the other
// URI attributes of HTML 4 (background, cite, longdesc...) keep their values
// as they are, so that results compare equal.
constexpr u16string_view kUriAttributes[] = {u"ACTION", u"HREF", u"SRC"};

constexpr u16string_view kBooleanAttributes[] = {
    u"CHECKED", u"COMPACT", u"DECLARE", u"DEFER", u"DISABLED", u"ISMAP", u"MULTIPLE",
    u"NOHREF", u"NORESIZE", u"NOSHADE", u"NOWRAP", u"READONLY", u"SELECTED",
};

// The elements of HTML that are not inline: the ones around which xsltproc
// starts new lines, so that an indented result compares equal to its.
constexpr u16string_view kBlockElements[] = {
    u"ADDRESS", u"AREA", u"BASE", u"BLOCKQUOTE", u"BODY", u"CAPTION", u"CENTER", u"COL",
    u"COLGROUP", u"DD", u"DIR", u"DIV", u"DL", u"DT", u"FIELDSET", u"FORM",
    u"FRAME", u"FRAMESET", u"H1", u"H2", u"H3", u"H4", u"H5", u"H6",
    u"HEAD", u"HR", u"HTML", u"ISINDEX", u"LEGEND", u"LI", u"LINK", u"MENU",
    u"META", u"NOFRAMES", u"NOSCRIPT", u"OL", u"OPTGROUP", u"OPTION", u"P", u"PARAM",
    u"PRE", u"STYLE", u"TABLE", u"TBODY", u"TD", u"TFOOT", u"TH", u"THEAD",
    u"TITLE", u"TR", u"UL",
};

template <std::size_t N>
constexpr bool Sorted(const u16string_view (&list)[N]) {
  for (std::size_t i = 1; i < N; ++i) {
    if (!(list[i - 1] < list[i])) return false;
  }
  return true;
}
static_assert(Sorted(kEmptyElements) && Sorted(kUriAttributes) &&
                  Sorted(kBooleanAttributes) && Sorted(kBlockElements),
              "the name lists are searched by binary search");

template <std::size_t N>
bool InList(const u16string_view (&list)[N], u16string_view name) {
  if (name.empty() || name.size() > kMaxListedName) return false;
  char16_t folded[kMaxListedName];
  for (std::size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    folded[i] = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
  }
  return std::binary_search(std::begin(list), std::end(list), u16string_view(folded, name.size()));
}

}  // namespace

bool KTHtmlVocabulary::IsHtmlEmptyElement(u16string_view name) { return InList(kEmptyElements, name); }

bool KTHtmlVocabulary::IsHtmlUriAttribute(u16string_view name) { return InList(kUriAttributes, name); }

bool KTHtmlVocabulary::IsHtmlBooleanAttribute(u16string_view name) {
  return InList(kBooleanAttributes, name);
}

bool KTHtmlVocabulary::IsHtmlBlockElement(u16string_view name) { return InList(kBlockElements, name); }

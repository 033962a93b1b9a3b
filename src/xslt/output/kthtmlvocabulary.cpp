// KTHtmlVocabulary: the lists, sorted upper-case text, are merged when the
// program is built into one table of elements and one of attributes, each
// searched by binary search on the name folded to upper case.
#include "xslt/output/kthtmlvocabulary.h"

#include <algorithm>
#include <array>
#include <cstdint>
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

// One name of the lists with all that is known of it.
struct Entry {
  u16string_view name;
  unsigned flags;
};

// The rows of the lists merged into one table sorted by name, the flags of
// a name found in several lists joined.
template <std::size_t N>
struct Table {
  std::array<Entry, N> entries{};
  std::size_t count = 0;
  // By length, the first letters (bit c - 'A') some name of that length
  // starts with.
  std::array<uint32_t, kMaxListedName + 1> firstLetters{};

  template <std::size_t M>
  constexpr void Add(const u16string_view (&list)[M], unsigned flags) {
    for (const u16string_view name : list) {
      std::size_t at = 0;
      while (at < count && entries[at].name < name) ++at;
      if (at < count && entries[at].name == name) {
        entries[at].flags |= flags;
        continue;
      }
      for (std::size_t k = count; k > at; --k) entries[k] = entries[k - 1];
      entries[at] = Entry{name, flags};
      ++count;
      firstLetters[name.size()] |= uint32_t{1} << (name[0] - u'A');
    }
  }
};

constexpr u16string_view kRawTextElements[] = {u"SCRIPT", u"STYLE"};
constexpr u16string_view kVerbatimElements[] = {u"PRE", u"SCRIPT", u"STYLE", u"TEXTAREA"};
constexpr u16string_view kNameAttributes[] = {u"NAME"};

constexpr auto kElements = [] {
  Table<std::size(kEmptyElements) + std::size(kBlockElements) + std::size(kVerbatimElements)> table;
  table.Add(kEmptyElements, KTHtmlVocabulary::kEmptyElement);
  table.Add(kBlockElements, KTHtmlVocabulary::kBlockElement);
  table.Add(kRawTextElements, KTHtmlVocabulary::kRawTextElement);
  table.Add(kVerbatimElements, KTHtmlVocabulary::kVerbatimElement);
  return table;
}();

constexpr auto kAttributes = [] {
  Table<std::size(kUriAttributes) + std::size(kBooleanAttributes) + std::size(kNameAttributes)> table;
  table.Add(kUriAttributes, KTHtmlVocabulary::kUriAttribute);
  table.Add(kBooleanAttributes, KTHtmlVocabulary::kBooleanAttribute);
  table.Add(kNameAttributes, KTHtmlVocabulary::kNameAttribute);
  return table;
}();

template <class T>
unsigned Lookup(const T& table, u16string_view name) {
  if (name.empty() || name.size() > kMaxListedName) return 0;
  char16_t first = name[0];
  if (first >= u'a' && first <= u'z') first = static_cast<char16_t>(first - u'a' + u'A');
  if (first < u'A' || first > u'Z' || ((table.firstLetters[name.size()] >> (first - u'A')) & 1) == 0) return 0;
  char16_t folded[kMaxListedName];
  for (std::size_t i = 0; i < name.size(); ++i) {
    char16_t c = name[i];
    folded[i] = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
  }
  const u16string_view key(folded, name.size());
  const Entry* end = table.entries.data() + table.count;
  const Entry* found =
      std::lower_bound(table.entries.data(), end, key, [](const Entry& e, u16string_view k) { return e.name < k; });
  return found != end && found->name == key ? found->flags : 0;
}

}  // namespace

unsigned KTHtmlVocabulary::ElementFlags(u16string_view name) { return Lookup(kElements, name); }

unsigned KTHtmlVocabulary::AttributeFlags(u16string_view name) { return Lookup(kAttributes, name); }

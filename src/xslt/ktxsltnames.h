// Name syntax checks of the stylesheet: QNames (template, variable, key and
// other declared names, output methods, computed element and attribute
// names) and NCNames (processing-instruction targets). Names take the XPath
// parser's name characters: XML 1.0's full set (fifth edition §2.3, less
// ':'), so a stylesheet name is valid exactly when XPath reads it as one.
#pragma once

#include <string_view>
#include <vector>

// The checks take a null-terminated text (null counts as empty), never throw
// and keep no state, so they are re-entrant and allocate nothing.

// Namespaces in XML: an NCName filling the whole text.
bool IsNCName(const char16_t* text);
// Namespaces in XML: NCName or NCName ':' NCName, filling the whole text.
bool IsQName(const char16_t* text);
// False when the text is "xml" in any mix of letter case (XML 1.0 PITarget).
bool IsNotXmlName(const char16_t* text);

// The prefix of a QName (empty when it has none) and its local part.
inline std::u16string_view QNamePrefix(std::u16string_view name) {
  const size_t colon = name.find(u':');
  return colon == std::u16string_view::npos ? std::u16string_view() : name.substr(0, colon);
}
inline std::u16string_view QNameLocalPart(std::u16string_view name) {
  const size_t colon = name.find(u':');
  return colon == std::u16string_view::npos ? name : name.substr(colon + 1);
}

// The tokens of a whitespace-separated list of names (space, tab, CR, LF
// separate), as views into `text`, in order.
std::vector<std::u16string_view> SplitNameList(std::u16string_view text);

// Name syntax checks of the stylesheet: QNames (template, variable, key and
// other declared names, output methods, computed element and attribute
// names) and NCNames (processing-instruction targets). Names take XML 1.0's
// full name-character set (fifth edition §2.3, less ':').
#pragma once

// Each takes a null-terminated text (null counts as empty), never throws and
// keeps no state, so the checks are re-entrant.

// Namespaces in XML: an NCName filling the whole text.
bool IsNCName(const char16_t* text);
// Namespaces in XML: NCName or NCName ':' NCName, filling the whole text.
bool IsQName(const char16_t* text);
// False when the text is "xml" in any mix of letter case (XML 1.0 PITarget).
bool IsNotXmlName(const char16_t* text);

// The classification under the checks, for one code point.
bool KTIsNCNameStartChar(char32_t c);
bool KTIsNCNameChar(char32_t c);

// The parsers of the restricted XPath subsets that XML Schema identity
// constraints use (XML Schema Part 1 §3.11.6): selector paths
//   Selector ::= Path ('|' Path)*   Path ::= ('.//')? Step ('/' Step)*
// and field paths
//   Field ::= Path ('|' Path)*      Path ::= ('.//')? (Step '/')* (Step | '@' NameTest)
// with Step ::= '.' | NameTest. Each production builds one syntax-tree node
// whose kind is the production's number (field kinds 1..22, selector kinds
// 27..45); literals are token nodes (8190) and names are kind 18 / 41 with
// one character run. The compiled expression uses them in compile modes 1
// (field) and 2 (selector).
#pragma once

#include "xpath/ktxpathastnode.h"

// Field-path kinds.
enum KTXPathFieldKind : int {
  kFieldRoot = 1,
  kFieldPath = 2,
  kFieldAlternative = 3,
  kFieldDescendantPrefix = 5,
  kFieldStepSlash = 7,
  kFieldStep = 8,
  kFieldLastStep = 10,
  kFieldAttributeStep = 11,
  kFieldNameTest = 13,
  kFieldQName = 15,
  kFieldPrefixWildcard = 17,
  kFieldNCName = 18,
  kFieldPrefixColon = 20,
  kFieldPrefix = 21,
  kFieldLocalPart = 22,
};

// Selector-path kinds.
enum KTXPathSelectorKind : int {
  kSelectorRoot = 27,
  kSelectorPath = 28,
  kSelectorAlternative = 29,
  kSelectorDescendantPrefix = 31,
  kSelectorStep = 33,
  kSelectorSlashStep = 34,
  kSelectorNameTest = 37,
  kSelectorQName = 38,
  kSelectorPrefixWildcard = 40,
  kSelectorNCName = 41,
  kSelectorPrefixColon = 43,
  kSelectorPrefix = 44,
  kSelectorLocalPart = 45,
};

// Parse one Field / Selector from pos. On success `out` holds the root (kind
// 1 / 27) and pos is past the last character consumed; the rest of the text
// is left for the caller to refuse. On failure `out` stays empty and pos is
// where it was. Only U+0020 is skipped before literals; names are XML 1.0
// NCNames and follow their ':' without spaces.
bool ParseFieldPath(KTXPathNodeHolder& out, const char16_t*& pos);
bool ParseSelectorPath(KTXPathNodeHolder& out, const char16_t*& pos);

// Helpers shared by the grammar and parse-engine tests: ASCII conversions and
// a compact text form of parse trees.
#pragma once

#include <string>
#include <string_view>

#include "parso/parso.h"

// Bytes of `s` as characters U+0000-U+00FF.
inline std::u16string U(std::string_view s) {
  std::u16string out;
  for (char c : s) out += static_cast<char16_t>(static_cast<unsigned char>(c));
  return out;
}

inline std::string N(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) out += c < 128 ? static_cast<char>(c) : '?';
  return out;
}

// name(children) for inner nodes, name:'text' for leaves; a group is "#".
inline std::string Dump(const ParseNode* node) {
  std::string out = node->rule->GetKind() == GrammarRule::kGroup ? "#" : N(node->rule->GetText());
  if (!node->firstChild) {
    return out + ":'" + N(std::u16string_view(node->textStart, node->length)) + "'";
  }
  out += '(';
  for (const ParseNode* c = node->firstChild; c; c = c->next) {
    if (c != node->firstChild) out += ' ';
    out += Dump(c);
  }
  return out + ')';
}

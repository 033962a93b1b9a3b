// A grammar described rule by rule, for tests that hold two loads of a
// grammar to be the same.
#pragma once

#include <string>

#include "parso/parsogrammar.h"

// Every rule of a grammar described field by field, emptied slots as "-",
// with the rules the lookup by name finds marked "named".
inline std::string DescribeGrammar(const ParsoGrammar& g) {
  std::string dump = "rules " + std::to_string(g.GetRuleCount()) + " root " +
                     std::to_string(g.GetRoot() ? g.GetRoot()->GetIndex() : -1) + "\n";
  for (int i = 0; i < g.GetRuleCount(); ++i) {
    if (const GrammarRule* rule = g.GetRule(i)) {
      rule->DescribeTables(dump);
      if (!rule->GetText().empty() && g.FindRule(rule->GetText()) == rule) dump += "named\n";
    } else {
      dump += "-\n";
    }
  }
  return dump;
}

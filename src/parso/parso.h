// Grammar engine of the XML document layer: grammar files in EBNF rule lines
// (parso/parsogrammar.h) and the ordered-choice parse engine (parso/parsoparser.h).
//
// Usage:
//   ParsoGrammar grammar;
//   if (!grammar.LoadText(grammarText, u"gra_xml.txt"))      // or Load(lineReader, name)
//     report(grammar.GetLoadError());                          // "<file>: line <n>: <reason>"
//   ParsoParser parser(&grammar);
//   parser.SetCaseSensitive(true);  parser.SetFlatten(true);  parser.SetEndNameRemoval(true);
//   if (parser.Parse(text, length /*, u"startRule" or null for the root */)) {
//     for (ParseNode* n = parser.GetRoot()->firstChild; n; n = n->next)
//       use(n->rule->GetText(), n->textStart, n->length, n->line);
//   } else {
//     report(parser.GetErrorText(), parser.GetErrorLine(), parser.GetErrorColumn(),
//            parser.GetErrorOffset());
//   }
//   parser.DropTree();  // frees the nodes; the tree points into `text`
//
// Rule indexes (GrammarRule::GetIndex, below ParsoGrammar::GetRuleCount) are
// dense and stable once linked: index a per-grammar action table with them.
// A grammar is read-only once linked and may serve several parsers.
#pragma once

#include "parso/parsogrammar.h"
#include "parso/parsoparser.h"

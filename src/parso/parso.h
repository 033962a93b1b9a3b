// Grammar engine of the XML document layer: grammar files in EBNF rule lines
// (parso/parsogrammar.h) and the ordered-choice parse engine (parso/parsoparser.h).
//
// Usage:
//   ParsoGrammar grammar;
//   if (!grammar.Init(u"gra_xml.txt"))     // embedded file; or Load(stream), LoadText(text, name)
//     report(grammar.GetLoadError());      // "<file>: line <n>: <reason>"
//   ParsoParser parser(&grammar);
//   parser.SetCaseSensitive(true);  parser.SetFlatten(true);  parser.SetEndNameRemoval(true);
//   if (parser.Parse(text, length /*, u"startRule" or null for the root */)) {
//     // Visit each child, then free it at once: the tree's memory goes back
//     // while the walk runs (see ParsoParser::FreeFirstChild).
//     ParseNode* root = parser.GetRoot();
//     while (ParseNode* n = root->firstChild) {
//       use(n->rule->GetText(), n->textStart, n->length, n->line);
//       parser.FreeFirstChild(root);
//     }
//   } else {
//     report(parser.GetErrorText(), parser.GetErrorLine(), parser.GetErrorColumn(),
//            parser.GetErrorOffset());
//   }
//   parser.DropTree();  // frees the nodes; the tree points into `text`
//
// Rule indexes (GrammarRule::GetIndex, below ParsoGrammar::GetRuleCount) are
// stable once linked: index a per-grammar action table with them.
// A grammar is read-only once linked and may serve several parsers.
#pragma once

#include "parso/parsogrammar.h"
#include "parso/parsoparser.h"

// The executors of xsl:decimal-format and xsl:number. Decimal formats are
// registered while the stylesheet compiles, so the executor of
// xsl:decimal-format only marks its frame done. xsl:number (XSLT 1.0 §7.7)
// counts with per-document sets of the nodes a count or from pattern
// matches, built once per run (per xsl:number run for a pattern that names
// a variable): each member knows its rank among its
// matching siblings and the members' document positions are kept sorted, so
// numbering every node of a document costs linear time at every level.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/ktstring.h"
#include "xpath/ktxpathvalue.h"
#include "xslt/ktinstructionexecutor.h"

class KTDeclNumber;
class KTExecFrame;

class KTDecimalFormatExecutor : public KTInstructionExecutor {
 public:
  explicit KTDecimalFormatExecutor(KTXSLTProcessor* processor);
  bool Start() override;
};

// The nodes of one document that a count or from pattern (or the default
// count test) matches.
struct KTNumberingSet {
  // Member -> 1 + the members among its preceding siblings.
  std::unordered_map<const KTXPathNode*, int> rank;
  // Document positions of the members that are neither attributes nor
  // namespace nodes, ascending.
  std::vector<int32_t> positions;
  bool Has(const KTXPathNode* node) const { return rank.count(node) != 0; }
  // The pattern names a variable: the set holds the last run's nodes only.
  bool variable = false;
  // For such a pattern: the set was made over the whole document, from the
  // variable values in `seen` (each variable the evaluation looked up, once),
  // so that a run that sees the same values uses it again.
  struct SeenVariable {
    KTString name;
    bool bound = false;
    KTXPathValue value;
  };
  bool whole = false;
  std::vector<SeenVariable> seen;
  // Held by one entry per document: its nodes grouped by kind and expanded
  // name, in document order, for the default count sets not made yet.
  std::unordered_map<std::string, std::vector<const KTXPathNode*>> groups;
};

class KTNumberExecutor : public KTInstructionExecutor {
 public:
  explicit KTNumberExecutor(KTXSLTProcessor* processor);
  bool Start() override;

  // The text of a number list formatted by a format string (XSLT 1.0
  // §7.7.1): a grouping size above 0 groups decimal tokens with the
  // separator.
  static std::u16string FormatNumberList(std::u16string_view format, const std::vector<int64_t>& numbers,
                                         std::u16string_view groupingSeparator, int groupingSize);

 private:
  const KTNumberingSet& CountSet(const KTDeclNumber& record, KTXPathNode* current, KTXPathNode* root,
                                 KTExecFrame* frame);
  const KTNumberingSet& PatternSet(KTXPathNode* attribute, const KTCompiledExpression& pattern, KTXPathNode* root,
                                   KTXPathNode* current, bool anyLevel, KTExecFrame* frame);
  static void NearContexts(KTXPathNode* current, KTXPathValue& out);
};

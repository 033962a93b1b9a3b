// KTTemplateRuleIndex: the processor's template rules indexed by mode and by
// what their pattern's last step can match (an element or attribute name, a
// node kind, or anything), each list in rule-list order. A lookup merges the
// few lists that can hold a rule for the node and tests the rules in list
// order, so it costs the rules that could match, not the whole list.
#pragma once

#include <array>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/ktstring.h"

class KTCompiledTemplate;
class KTXPathNode;

class KTTemplateRuleIndex {
 public:
  static constexpr int kNotFound = -1;
  // The expanded mode of the built-in rules that serve every mode.
  static const KTString& AnyModeMarker();

  // Indexes the sorted rule list (rules with an empty match are left out:
  // they match nothing).
  void Build(const std::vector<std::unique_ptr<KTCompiledTemplate>>& rules);

  // The position of the first rule at or after `from` whose expanded mode
  // is `mode` (or, when `mode` is not empty, "?") and whose pattern matches
  // the node; kNotFound when none does.
  int Find(const KTXPathNode* node, const KTString& mode, int from = 0) const;
  // The same for a mode interned by the processor: one stable string per
  // mode text for the processor's life, so the mode's lists are found by
  // its address, through a memo of the last one asked for.
  // `sameForTextSiblings`, when given, turns true when the node is text and
  // every rule tested is matched from the node's kind and ancestors alone
  // (no predicate, id() or key()): a text node has no name, so the answer
  // holds for every text node of the same parent.
  int FindInterned(const KTXPathNode* node, const KTString* mode, int from = 0,
                   bool* sameForTextSiblings = nullptr) const;

  // The position of the first rule of the expanded name (the highest
  // import precedence comes first in the list); kNotFound when none.
  int FindNamed(const KTString& name) const;

  // Rules whose pattern was tested against a node (for tests that count).
  long long Tests() const { return tests_; }
  // Whether no lookup evaluates a pattern (every rule's match is made
  // without evaluation): a lookup then has no effect but its answer, and
  // may be made ahead of the frames that would make it.
  bool LookupsWithoutEvaluation() const;

 private:
  using List = std::vector<int>;
  struct ModeIndex {
    // Keys view the local names held by the rules' patterns.
    std::unordered_map<std::u16string_view, List> elementNames;
    std::unordered_map<std::u16string_view, List> attributeNames;
    std::array<List, 8> byKind;  // by node item kind
    List any;
    // Each kind's list merged with "any" once by Build: a lookup in this
    // mode alone walks it, and the node's name list beside it.
    std::array<List, 8> mergedByKind;
    List mergedAny;
  };
  // Fills the merged lists from the others.
  static void Merge(ModeIndex& index);
  // The name list (null: none) and the merged kind list of a mode that
  // together hold every rule that can match the node.
  static const List* NameListFor(const ModeIndex& index, const KTXPathNode* node, int kind);
  static const List& KindListFor(const ModeIndex& index, int kind);
  // The lists a lookup merges: up to three of the mode's and three of "?".
  struct CandidateLists {
    static constexpr size_t kMax = 6;
    const List* lists[kMax];
    size_t count = 0;
    void Add(const List* list) { lists[count++] = list; }
  };
  // Appends the lists of one mode that can hold a rule for the node.
  void Candidates(const ModeIndex& index, const KTXPathNode* node, int kind, CandidateLists& out) const;

  const std::vector<std::unique_ptr<KTCompiledTemplate>>* rules_ = nullptr;
  mutable int withoutEvaluation_ = -1;  // -1: not looked at since Build
  // The index of a mode (null: none), through a memo of the last mode asked
  // for: a run asks for one mode node after node.
  const ModeIndex* FindMode(const KTString& mode) const;
  // The lists of "?" that a lookup in `mode` also walks (null: none).
  const ModeIndex* AnyModeFor(const KTString& mode) const {
    return !mode.IsEmpty() && mode != AnyModeMarker() ? anyMode_ : nullptr;
  }
  int FindIn(const KTXPathNode* node, const ModeIndex* exact, const ModeIndex* anyMode, int from,
             bool* sameForTextSiblings) const;
  // The rule lists walked in order; `direct` turns false when a rule tested
  // was matched other than from the node and its ancestors alone.
  // `kindOnly` turns false when a rule tested looks at more than the
  // node's kind and its parent's.
  struct Tested {
    bool direct = true;
    bool kindOnly = true;
  };
  int FindListed(const KTXPathNode* node, int kind, const ModeIndex* exact, const ModeIndex* anyMode, int from,
                 Tested& tested) const;
  // The first rule of one merged kind list that matches.
  int FindInKindList(const KTXPathNode* node, const List& kinds, int from, Tested& tested) const;
  // The same over a kind list and a name list merged in list order.
  int FindInLists(const KTXPathNode* node, const List& kinds, const List& names, int from, Tested& tested) const;
  bool Test(int position, const KTXPathNode* node, Tested& tested) const;

  std::unordered_map<KTString, ModeIndex> modes_;
  std::unordered_map<KTString, int> named_;
  mutable long long tests_ = 0;
  mutable bool memoValid_ = false;
  mutable KTString memoMode_;
  mutable const ModeIndex* memoIndex_ = nullptr;
  // The index of "?" (null: none), found once by Build.
  const ModeIndex* anyMode_ = nullptr;
  // The last interned mode asked for and its two indexes.
  mutable const KTString* memoInterned_ = nullptr;
  mutable const ModeIndex* memoInternedExact_ = nullptr;
  mutable const ModeIndex* memoInternedAny_ = nullptr;
  // The rule of a text node under an element or the root, when every rule
  // tried for it tested kinds alone: the same for every such text node
  // (and likewise for an element whose name no rule names).
  struct TextMemo {
    bool valid = false;
    const ModeIndex* exact = nullptr;
    const ModeIndex* anyMode = nullptr;
    int from = 0;
    int found = kNotFound;
  };
  mutable TextMemo textMemo_;
  mutable TextMemo elementMemo_;
};

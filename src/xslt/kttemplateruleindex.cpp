// KTTemplateRuleIndex: building the per-mode lists and the merged lookup.
#include "xslt/kttemplateruleindex.h"

#include <algorithm>
#include <string_view>

#include "xml/ktxpathnode.h"
#include "xpath/ktxpathvalue.h"
#include "xslt/ktcompiledtemplate.h"

const KTString& KTTemplateRuleIndex::AnyModeMarker() {
  static const KTString marker(u"?");
  return marker;
}

void KTTemplateRuleIndex::Build(const std::vector<std::unique_ptr<KTCompiledTemplate>>& rules) {
  rules_ = &rules;
  withoutEvaluation_ = -1;
  memoValid_ = false;
  memoIndex_ = nullptr;
  memoInterned_ = nullptr;
  textMemo_ = TextMemo();
  elementMemo_ = TextMemo();
  anyMode_ = nullptr;
  modes_.clear();
  named_.clear();
  for (int position = 0; position < static_cast<int>(rules.size()); ++position) {
    const KTCompiledTemplate& rule = *rules[position];
    if (!rule.Name().IsEmpty()) named_.emplace(rule.Name(), position);
    if (rule.Match().IsEmpty()) continue;
    const KTTemplatePattern& pattern = rule.Pattern();
    if (pattern.MatchesNothing()) continue;
    ModeIndex& index = modes_[rule.Mode()];
    int kind = pattern.IndexKind();
    if (const KTString* name = pattern.IndexName()) {
      (kind == kItemAttribute ? index.attributeNames : index.elementNames)[name->View()].push_back(position);
    } else if (kind >= 0 && kind < static_cast<int>(index.byKind.size())) {
      index.byKind[kind].push_back(position);
    } else {
      index.any.push_back(position);
    }
  }
  for (auto& [mode, index] : modes_) Merge(index);
  auto any = modes_.find(AnyModeMarker());
  if (any != modes_.end()) anyMode_ = &any->second;
}

namespace {

// The positions of the lists, in order (each position is in one list).
std::vector<int> MergeSorted(std::initializer_list<const std::vector<int>*> lists) {
  std::vector<int> merged;
  for (const std::vector<int>* list : lists) merged.insert(merged.end(), list->begin(), list->end());
  std::sort(merged.begin(), merged.end());
  return merged;
}

std::u16string_view LocalPart(const KTXPathNode* node) {
  std::u16string_view name(node->GetName());
  size_t colon = name.find(u':');
  if (colon != std::u16string_view::npos) name.remove_prefix(colon + 1);
  return name;
}

}  // namespace

void KTTemplateRuleIndex::Merge(ModeIndex& index) {
  for (size_t kind = 0; kind < index.byKind.size(); ++kind)
    index.mergedByKind[kind] = MergeSorted({&index.byKind[kind], &index.any});
  index.mergedAny = index.any;
}

const KTTemplateRuleIndex::List* KTTemplateRuleIndex::NameListFor(const ModeIndex& index, const KTXPathNode* node,
                                                                 int kind) {
  if (kind != kItemElement && kind != kItemAttribute) return nullptr;
  const auto& names = kind == kItemElement ? index.elementNames : index.attributeNames;
  if (names.empty()) return nullptr;
  auto found = names.find(LocalPart(node));
  return found != names.end() ? &found->second : nullptr;
}

const KTTemplateRuleIndex::List& KTTemplateRuleIndex::KindListFor(const ModeIndex& index, int kind) {
  if (kind >= 0 && kind < static_cast<int>(index.mergedByKind.size())) return index.mergedByKind[kind];
  return index.mergedAny;
}

void KTTemplateRuleIndex::Candidates(const ModeIndex& index, const KTXPathNode* node, int kind,
                                     CandidateLists& out) const {
  if (kind == kItemElement || kind == kItemAttribute) {
    std::u16string_view name(node->GetName());
    size_t colon = name.find(u':');
    if (colon != std::u16string_view::npos) name.remove_prefix(colon + 1);
    const auto& names = kind == kItemElement ? index.elementNames : index.attributeNames;
    if (!names.empty()) {
      auto found = names.find(name);
      if (found != names.end()) out.Add(&found->second);
    }
  }
  if (kind >= 0 && kind < static_cast<int>(index.byKind.size()) && !index.byKind[kind].empty())
    out.Add(&index.byKind[kind]);
  if (!index.any.empty()) out.Add(&index.any);
}

const KTTemplateRuleIndex::ModeIndex* KTTemplateRuleIndex::FindMode(const KTString& mode) const {
  if (memoValid_ && memoMode_.View() == mode.View()) return memoIndex_;
  auto found = modes_.find(mode);
  memoIndex_ = found == modes_.end() ? nullptr : &found->second;
  memoMode_ = mode;
  memoValid_ = true;
  return memoIndex_;
}

bool KTTemplateRuleIndex::LookupsWithoutEvaluation() const {
  if (withoutEvaluation_ < 0) {
    withoutEvaluation_ = 1;
    if (rules_)
      for (const auto& rule : *rules_)
        if (!rule->MatchesWithoutEvaluation()) withoutEvaluation_ = 0;
  }
  return withoutEvaluation_ == 1;
}

int KTTemplateRuleIndex::Find(const KTXPathNode* node, const KTString& mode, int from) const {
  if (!rules_ || !node) return kNotFound;
  return FindIn(node, FindMode(mode), AnyModeFor(mode), from, nullptr);
}

int KTTemplateRuleIndex::FindInterned(const KTXPathNode* node, const KTString* mode, int from,
                                      bool* sameForTextSiblings) const {
  if (sameForTextSiblings) *sameForTextSiblings = false;
  if (!rules_ || !node) return kNotFound;
  if (mode != memoInterned_) {
    memoInternedExact_ = FindMode(*mode);
    memoInternedAny_ = AnyModeFor(*mode);
    memoInterned_ = mode;
  }
  return FindIn(node, memoInternedExact_, memoInternedAny_, from, sameForTextSiblings);
}

int KTTemplateRuleIndex::FindIn(const KTXPathNode* node, const ModeIndex* exact, const ModeIndex* anyMode,
                                int from, bool* sameForTextSiblings) const {
  const int kind = KTXPathNodeItem::ItemKindOf(node);
  const KTXPathNode* parent = kind == kItemText ? node->GetParent() : nullptr;
  const bool contentText = parent && (parent->GetKind() == kXPathElement || parent->GetKind() == kXPathRoot);
  if (contentText && textMemo_.valid && textMemo_.exact == exact && textMemo_.anyMode == anyMode &&
      textMemo_.from == from) {
    if (sameForTextSiblings) *sameForTextSiblings = true;
    return textMemo_.found;
  }
  if (kind == kItemElement && exact && !anyMode) {
    // An element whose name no rule names, under an element or the root:
    // when every rule of its kind's list tested tests the kind alone, the
    // answer holds for every such element.
    const KTXPathNode* up = node->GetParent();
    if (up && (up->GetKind() == kXPathElement || up->GetKind() == kXPathRoot)) {
      const List* names = NameListFor(*exact, node, kind);
      Tested tested;
      if (names) return FindInLists(node, KindListFor(*exact, kind), *names, from, tested);
      if (elementMemo_.valid && elementMemo_.exact == exact && elementMemo_.from == from) return elementMemo_.found;
      const int found = FindInKindList(node, KindListFor(*exact, kind), from, tested);
      if (tested.kindOnly) elementMemo_ = {true, exact, nullptr, from, found};
      return found;
    }
  }
  Tested tested;
  const int found = FindListed(node, kind, exact, anyMode, from, tested);
  if (sameForTextSiblings) *sameForTextSiblings = kind == kItemText && tested.direct;
  if (contentText && tested.kindOnly) textMemo_ = {true, exact, anyMode, from, found};
  return found;
}

int KTTemplateRuleIndex::FindInKindList(const KTXPathNode* node, const List& kinds, int from, Tested& tested) const {
  auto k = from == 0 ? kinds.begin() : std::lower_bound(kinds.begin(), kinds.end(), from);
  for (; k != kinds.end(); ++k) {
    if (Test(*k, node, tested)) return *k;
  }
  return kNotFound;
}

int KTTemplateRuleIndex::FindInLists(const KTXPathNode* node, const List& kinds, const List& names, int from,
                                     Tested& tested) const {
  auto k = from == 0 ? kinds.begin() : std::lower_bound(kinds.begin(), kinds.end(), from);
  auto n = from == 0 ? names.begin() : std::lower_bound(names.begin(), names.end(), from);
  while (k != kinds.end() || n != names.end()) {
    int position = n == names.end() || (k != kinds.end() && *k < *n) ? *k++ : *n++;
    if (Test(position, node, tested)) return position;
  }
  return kNotFound;
}

bool KTTemplateRuleIndex::Test(int position, const KTXPathNode* node, Tested& tested) const {
  ++tests_;
  KTCompiledTemplate& rule = *(*rules_)[position];
  const KTTemplatePattern& pattern = rule.Pattern();
  if (!pattern.IsDirect()) tested.direct = false;
  if (!pattern.TestsKindOnly()) tested.kindOnly = false;
  return rule.Matches(node);
}

int KTTemplateRuleIndex::FindListed(const KTXPathNode* node, int kind, const ModeIndex* exact,
                                    const ModeIndex* anyMode, int from, Tested& tested) const {
  if (!anyMode) {
    // One mode: the node's name list beside its kind's, merged with "any"
    // already.
    if (!exact) return kNotFound;
    const List& kinds = KindListFor(*exact, kind);
    const List* names = NameListFor(*exact, node, kind);
    if (!names) return FindInKindList(node, kinds, from, tested);
    return FindInLists(node, kinds, *names, from, tested);
  }
  // At most three lists per mode: the name's, the kind's and "any".
  CandidateLists lists;
  if (exact) Candidates(*exact, node, kind, lists);
  Candidates(*anyMode, node, kind, lists);
  // Merge the sorted lists, smallest position first.
  size_t at[CandidateLists::kMax];
  for (size_t i = 0; i < lists.count; ++i) {
    const List& list = *lists.lists[i];
    at[i] = from == 0 ? 0 : static_cast<size_t>(std::lower_bound(list.begin(), list.end(), from) - list.begin());
  }
  for (;;) {
    int best = -1;
    size_t bestList = 0;
    for (size_t i = 0; i < lists.count; ++i) {
      const List& list = *lists.lists[i];
      if (at[i] < list.size() && (best < 0 || list[at[i]] < best)) {
        best = list[at[i]];
        bestList = i;
      }
    }
    if (best < 0) return kNotFound;
    ++at[bestList];
    if (Test(best, node, tested)) return best;
  }
}

int KTTemplateRuleIndex::FindNamed(const KTString& name) const {
  auto found = named_.find(name);
  return found == named_.end() ? kNotFound : found->second;
}

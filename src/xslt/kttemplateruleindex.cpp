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
  memoValid_ = false;
  memoIndex_ = nullptr;
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
  for (const auto& [name, list] : index.elementNames)
    index.mergedElementNames[name] = MergeSorted({&list, &index.byKind[kItemElement], &index.any});
  for (const auto& [name, list] : index.attributeNames)
    index.mergedAttributeNames[name] = MergeSorted({&list, &index.byKind[kItemAttribute], &index.any});
}

const KTTemplateRuleIndex::List& KTTemplateRuleIndex::MergedFor(const ModeIndex& index, const KTXPathNode* node,
                                                                int kind) {
  if (kind == kItemElement || kind == kItemAttribute) {
    const auto& names = kind == kItemElement ? index.mergedElementNames : index.mergedAttributeNames;
    if (!names.empty()) {
      auto found = names.find(LocalPart(node));
      if (found != names.end()) return found->second;
    }
  }
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

int KTTemplateRuleIndex::Find(const KTXPathNode* node, const KTString& mode, int from) const {
  if (!rules_ || !node) return kNotFound;
  int kind = KTXPathNodeItem::ItemKindOf(node);
  const ModeIndex* exact = FindMode(mode);
  const ModeIndex* anyMode = nullptr;
  if (!mode.IsEmpty() && mode != AnyModeMarker()) {
    auto any = modes_.find(AnyModeMarker());
    if (any != modes_.end()) anyMode = &any->second;
  }
  if (!anyMode) {
    // One mode: its list for the node is merged already.
    if (!exact) return kNotFound;
    const List& list = MergedFor(*exact, node, kind);
    auto at = from == 0 ? list.begin() : std::lower_bound(list.begin(), list.end(), from);
    for (; at != list.end(); ++at) {
      ++tests_;
      if ((*rules_)[*at]->Matches(node)) return *at;
    }
    return kNotFound;
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
    ++tests_;
    if ((*rules_)[best]->Matches(node)) return best;
  }
}

int KTTemplateRuleIndex::FindNamed(const KTString& name) const {
  auto found = named_.find(name);
  return found == named_.end() ? kNotFound : found->second;
}

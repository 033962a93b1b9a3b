// Key tables: per-document indexes built from the key's definitions on the
// first lookup in a document, and the lookups of key().
#include "xslt/ktkeytable.h"

#include <algorithm>
#include <unordered_set>

#include "xpath/ktxpathexpression.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xslt/ktcompiledexpression.h"
#include "xslt/ktsimpleselect.h"
#include "xslt/ktxsltprocessor.h"

namespace {

KTXPathNode* RootOf(KTXPathNode* node) {
  while (node && node->GetParent()) node = node->GetParent();
  return node;
}

// A node of the child and descendant axes: no attribute, namespace or
// declaration node (nor anything below one).
bool IsContentNode(const KTXPathNode* node) {
  const int kind = node->GetKind();
  return kind != kXPathAttribute && kind != kXPathNamespace && kind < kXPathXmlDecl;
}

// The first content child of `parent` from child number `from` on; null
// when none follows.
KTXPathNode* ContentChildFrom(const KTXPathNode* parent, int from) {
  for (int i = from; i < parent->GetChildCount(); ++i)
    if (KTXPathNode* child = parent->GetChild(i); IsContentNode(child)) return child;
  return nullptr;
}

// The content node after `node` in document order within the subtree of
// `top`, null past its end.
KTXPathNode* NextContentNode(KTXPathNode* node, const KTXPathNode* top) {
  if (KTXPathNode* child = ContentChildFrom(node, 0)) return child;
  for (; node != top; node = node->GetParent())
    if (KTXPathNode* sibling = ContentChildFrom(node->GetParent(), node->GetIndexInParent() + 1)) return sibling;
  return nullptr;
}

bool SameNode(const KTXPathNodeItem& a, const KTXPathNodeItem& b) { return a.GetNode() == b.GetNode(); }

// Document order, each node once, positions 1..n.
void Normalize(KTXPathValue& set) {
  KTXPathValue::ItemVector& items = set.MutableItems();
  if (!std::is_sorted(items.begin(), items.end(), DocumentOrderLess))
    std::stable_sort(items.begin(), items.end(), DocumentOrderLess);
  items.erase(std::unique(items.begin(), items.end(), SameNode), items.end());
  for (size_t i = 0; i < items.size(); ++i) items[i].SetPosition(static_cast<int>(i) + 1);
  // The index keeps the set as long as the document: without the room its
  // growth left.
  items.shrink_to_fit();
  // Known to be ordered from now on: key() and its callers check no more.
  set.SortDocumentOrder();
}

}  // namespace

size_t KTKeyTable::DocumentIndex::Probe(std::u16string_view value, size_t hash) const {
  const size_t mask = slots_.size() - 1;
  const uint32_t tag = TagOf(hash);
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.entry == 0) return i;
    if (slot.tag != tag) continue;
    const Entry& entry = entries_[slot.entry - 1];
    if (entry.hash == hash && TextOf(entry) == value) return i;
  }
}

const KTKeyTable::DocumentIndex::Entry* KTKeyTable::DocumentIndex::Find(std::u16string_view value) const {
  if (slots_.empty()) return nullptr;
  const Slot& slot = slots_[Probe(value, Hash(value))];
  return slot.entry == 0 ? nullptr : &entries_[slot.entry - 1];
}

KTKeyTable::DocumentIndex::Entry& KTKeyTable::DocumentIndex::FindOrMake(std::u16string_view value) {
  if ((entries_.size() + 1) * 4 > slots_.size() * 3) Rehash(std::max<size_t>(16, slots_.size() * 2));
  const size_t hash = Hash(value);
  Slot& slot = slots_[Probe(value, hash)];
  if (slot.entry != 0) return entries_[slot.entry - 1];
  Entry& entry = entries_.emplace_back();
  entry.hash = hash;
  entry.set = kNoSet;
  entry.length = static_cast<uint32_t>(value.size());
  if (value.size() <= kInlineUnits) {
    std::copy(value.begin(), value.end(), entry.text);
  } else {
    entry.longText = static_cast<uint32_t>(longTexts_.size());
    longTexts_.emplace_back(value);
  }
  slot.tag = TagOf(hash);
  slot.entry = static_cast<uint32_t>(entries_.size());
  return entry;
}

void KTKeyTable::DocumentIndex::Add(std::u16string_view value, const KTXPathNodeItem& item) {
  Entry& entry = FindOrMake(value);
  if (!entry.single && entry.set == kNoSet) {
    entry.single = item.GetNode();
    return;
  }
  if (entry.single) {
    // A second node: the value gets a node-set of its own.
    entry.set = static_cast<uint32_t>(sets_.size());
    sets_.emplace_back().PushItem(KTXPathNodeItem(entry.single));
    entry.single = nullptr;
  }
  sets_[entry.set].PushItem(item);
}

void KTKeyTable::DocumentIndex::Count(std::u16string_view value, KTXPathNode* node) {
  Entry& entry = FindOrMake(value);
  const size_t number = static_cast<size_t>(&entry - entries_.data());
  if (counts_.size() <= number) {
    counts_.resize(entries_.size());
    filedFirst_.resize(entries_.size());
  }
  if (!entry.single && entry.set == kNoSet) {
    // A new value: its first node is filed at once, so that a value of one
    // node needs no second walk.
    entry.single = node;
    filedFirst_[number] = 1;
    return;
  }
  ++counts_[number];
}

bool KTKeyTable::DocumentIndex::AllotCounted() {
  bool more = false;
  for (size_t number = 0; number < counts_.size(); ++number) {
    if (counts_[number] == 0) continue;
    more = true;
    Entry& entry = entries_[number];
    size_t total = counts_[number];
    if (entry.single) total += 1;
    else total += static_cast<size_t>(sets_[entry.set].ItemCount());
    if (entry.set == kNoSet) {
      entry.set = static_cast<uint32_t>(sets_.size());
      sets_.emplace_back().MutableItems().reserve(total);
      sets_.back().PushItem(KTXPathNodeItem(entry.single));
      entry.single = nullptr;
    } else {
      sets_[entry.set].MutableItems().reserve(total);
    }
  }
  counts_ = std::vector<uint32_t>();
  if (!more) filedFirst_ = std::vector<uint8_t>();
  return more;
}

void KTKeyTable::DocumentIndex::Place(std::u16string_view value, KTXPathNode* node) {
  const size_t number = slots_[Probe(value, Hash(value))].entry - 1;
  if (number < filedFirst_.size() && filedFirst_[number]) {
    // Count filed this node already.
    filedFirst_[number] = 0;
    return;
  }
  Entry& entry = entries_[number];
  if (entry.set != kNoSet) sets_[entry.set].PushItem(KTXPathNodeItem(node));
  else entry.single = node;
}

void KTKeyTable::DocumentIndex::EndPlacing() { filedFirst_ = std::vector<uint8_t>(); }

void KTKeyTable::DocumentIndex::Reserve(size_t more) {
  // The entries' room is only taken as it is written; the slots, written
  // whole, grow with the values met (a key of a few values over many nodes
  // keeps a few slots).
  entries_.reserve(entries_.size() + more);
}

void KTKeyTable::DocumentIndex::Rehash(size_t slotCount) {
  slots_.assign(slotCount, Slot());
  const size_t mask = slotCount - 1;
  for (size_t n = 0; n < entries_.size(); ++n) {
    size_t i = entries_[n].hash & mask;
    while (slots_[i].entry != 0) i = (i + 1) & mask;
    slots_[i] = Slot{TagOf(entries_[n].hash), static_cast<uint32_t>(n + 1)};
  }
}

void KTKeyTable::DocumentIndex::Normalize() {
  for (KTXPathValue& set : sets_) ::Normalize(set);
}

void KTKeyTable::DocumentIndex::NodesOf(const Entry& entry, KTXPathValue& out) const {
  if (!entry.single) {
    out = sets_[entry.set];  // shares the items
    return;
  }
  out.SetNodeSet();
  out.PushItem(KTXPathNodeItem(entry.single, 1));
}

std::span<const KTXPathNodeItem> KTKeyTable::DocumentIndex::ItemsOf(const Entry& entry, KTXPathNodeItem& one) const {
  if (!entry.single) return sets_[entry.set].Items();
  one = KTXPathNodeItem(entry.single, 1);
  return {&one, 1};
}

void KTKeyTable::DocumentIndex::AppendNodes(const Entry& entry, KTXPathValue::ItemVector& out) const {
  if (entry.single) {
    out.emplace_back(entry.single, 1);
    return;
  }
  const KTXPathValue::ItemVector& items = sets_[entry.set].Items();
  out.insert(out.end(), items.begin(), items.end());
}

void KTKeyTable::AddDefinition(const KTCompiledExpression* match, const KTCompiledExpression* use,
                               KTXPathNode* element) {
  definitions_.push_back(Definition{match, use, element, nullptr});
}

template <class Visit>
bool KTKeyTable::VisitDirectMatches(Definition& definition, KTXPathNode* root, KTXPathNode* element,
                                    Visit&& visit) {
  if (!definition.match->hasSimpleSelect || definition.match->simpleSelect.IsSelf()) {
    if (!definition.pattern) {
      definition.pattern = std::make_unique<KTTemplatePattern>();
      definition.pattern->Read(definition.match->tree.get(), KTXPathNode::GetNodeNamespaceMap(element));
    }
    const KTTemplatePattern& pattern = *definition.pattern;
    if (!pattern.IsDirect()) return false;
    // No predicate, id() or key(): every node is tested in document
    // order as a template rule's pattern is, without an evaluation.
    for (KTXPathNode* at = root; at; at = at->NextInDocumentOrder(true))
      if (pattern.Matches(at)) visit(at);
    return true;
  }
  const KTSimpleSelect& pattern = definition.match->simpleSelect;
  // A plain name or attribute name: the nodes the pattern selects from
  // every context node, met in document order without evaluating it.
  // The walk of the pattern's context list (the root and every node of the
  // child and descendant axes, in document order) goes from node to node
  // through the parent links: neither the list nor a stack of the pending
  // children (as many as a node has) is made.
  for (KTXPathNode* node = root; node; node = NextContentNode(node, root)) {
    if (pattern.IsAttribute()) pattern.ForEach(node, visit);
    else if (pattern.Matches(node)) visit(node);
  }
  return true;
}

void KTKeyTable::MatchNodes(Definition& definition, KTXPathNode* root, KTXPathNode* element,
                            KTXPathValue& matched) {
  matched.SetNodeSet();
  KTXPathValue::ItemVector& items = matched.MutableItems();
  if (VisitDirectMatches(definition, root, element, [&items](KTXPathNode* node) {
        items.emplace_back(node, static_cast<int>(items.size()) + 1);
      }))
    return;
  // Predicates on the last step alone: evaluated only from the nodes that
  // can select anything, the predicates still tried on every node that
  // passes the steps (so a failing one fails at the same node first).
  const std::vector<KTPatternStep>& steps = definition.pattern->Steps();
  const bool lastOnly = !steps.empty() && std::none_of(steps.begin(), steps.end() - 1, [](const KTPatternStep& step) {
    return step.hasPredicates;
  });
  KTXPathValue contexts;
  if (lastOnly && definition.pattern->NarrowContexts(root, contexts)) {
    if (contexts.ItemCount() == 0) {
      matched.SetNodeSet();
      return;
    }
    processor_->MatchKeyPattern(&matched, *definition.match, root, element, &contexts);
    return;
  }
  processor_->MatchKeyPattern(&matched, *definition.match, root, element);
}

bool KTKeyTable::BuildIndex(KTXPathNode* node, KTXPathNode* document, KTXSLTProcessor* processor) {
  if (!document || (!processor && !processor_)) return false;
  KTXPathNode* root = RootOf(document);
  if (indexes_.count(root)) return true;
  if (!expressionNode_) expressionNode_ = node;
  if (!processor_) processor_ = processor;

  DocumentIndex index;
  KTXPathValue matched;
  KTXPathValue keys;
  KTString scratch;
  auto add = [&](std::u16string_view value, const KTXPathNodeItem& item) { index.Add(value, item); };
  for (Definition& definition : definitions_) {
    KTXPathNode* element = definition.element ? definition.element : expressionNode_;
    if (definition.use->hasSimpleSelect) {
      // Nodes found without an evaluation are not listed: the walk runs
      // once to count each value's nodes (filing each value's first) and,
      // when some value has more, once again to file the others, every
      // value's node-set made at its final size. (The entries grow as the
      // values come: a list of the nodes, to size them first, would cost
      // more than their growth.)
      const KTSimpleSelect& use = definition.use->simpleSelect;
      if (VisitDirectMatches(definition, root, element, [&](KTXPathNode* node) {
            use.ForEach(node, [&](KTXPathNode* key) { index.Count(KTSimpleSelect::StringValue(key, scratch), node); });
          })) {
        if (index.AllotCounted()) {
          VisitDirectMatches(definition, root, element, [&](KTXPathNode* node) {
            use.ForEach(node, [&](KTXPathNode* key) { index.Place(KTSimpleSelect::StringValue(key, scratch), node); });
          });
          index.EndPlacing();
        }
        continue;
      }
    }
    MatchNodes(definition, root, element, matched);
    int count = matched.ItemCount();
    // Most keys name a node or a few: room for one value per node spares
    // the rehashing as the index grows.
    index.Reserve(static_cast<size_t>(count));
    if (definition.use->hasSimpleSelect) {
      const KTSimpleSelect& use = definition.use->simpleSelect;
      // A use of a simple shape: the string value of every node it selects.
      for (const KTXPathNodeItem& item : matched.Items())
        use.ForEach(item.GetNode(), [&](KTXPathNode* key) {
          add(KTSimpleSelect::StringValue(key, scratch), item);
        });
      continue;
    }
    for (int i = 0; i < count; ++i) {
      const KTXPathNodeItem& item = matched.Items()[static_cast<size_t>(i)];
      processor_->EvaluateKeyUse(&keys, *definition.use, element, matched, i + 1);
      if (keys.IsNodeSet()) {
        for (const KTXPathNodeItem& key : keys.Items())
          add(KTXPathFunctionLibrary::StringValueView(key.GetNode(), scratch), item);
      } else {
        KTString text;
        keys.ToString(&text);
        add(text.View(), item);
      }
    }
  }
  index.Normalize();
  indexes_.emplace(root, std::move(index));
  return true;
}

const KTKeyTable::DocumentIndex* KTKeyTable::FindIndex(const KTXPathNode* node) const {
  while (node && node->GetParent()) node = node->GetParent();
  auto found = indexes_.find(node);
  return found == indexes_.end() ? nullptr : &found->second;
}

KTXPathValue KTKeyTable::Lookup(const KTXPathValue& keyValue, const KTXPathNodeItem& contextItem) const {
  KTXPathValue result;
  const DocumentIndex* index = FindIndex(contextItem.GetNode());
  if (!index) return result;
  if (!keyValue.IsNodeSet()) {
    KTString text;
    std::u16string_view value;
    if (keyValue.GetKind() == kValueString) {
      value = keyValue.StringText();
    } else {
      keyValue.ToString(&text);
      value = text.View();
    }
    if (const DocumentIndex::Entry* found = index->Find(value)) index->NodesOf(*found, result);
    return result;
  }
  // The union of the sets of several values: one set alone is returned as
  // it is; more are merged, sorted and made duplicate-free.
  KTString scratch;
  const KTXPathValue::ItemVector& keys = keyValue.Items();
  if (keys.size() == 1) {
    if (const DocumentIndex::Entry* found =
            index->Find(KTXPathFunctionLibrary::StringValueView(keys[0].GetNode(), scratch)))
      index->NodesOf(*found, result);
    return result;
  }
  std::vector<const DocumentIndex::Entry*> entries;
  std::unordered_set<const DocumentIndex::Entry*> seen;
  for (const KTXPathNodeItem& item : keys) {
    const DocumentIndex::Entry* found = index->Find(KTXPathFunctionLibrary::StringValueView(item.GetNode(), scratch));
    if (found && seen.insert(found).second) entries.push_back(found);
  }
  if (entries.size() == 1) index->NodesOf(*entries[0], result);
  if (entries.size() <= 1) return result;
  KTXPathValue::ItemVector& items = result.MutableItems();
  for (const DocumentIndex::Entry* entry : entries) index->AppendNodes(*entry, items);
  Normalize(result);
  return result;
}

std::span<const KTXPathNodeItem> KTKeyTable::LookupText(std::u16string_view value, const KTXPathNodeItem& contextItem,
                                                        KTXPathNodeItem& one) const {
  const DocumentIndex* index = FindIndex(contextItem.GetNode());
  if (!index) return {};
  const DocumentIndex::Entry* found = index->Find(value);
  return found ? index->ItemsOf(*found, one) : std::span<const KTXPathNodeItem>();
}

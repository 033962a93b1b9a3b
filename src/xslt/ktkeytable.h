// KTKeyTable: one key name of the stylesheet (XSLT 1.0 §12.2). Every
// xsl:key definition of the name adds a match pattern and a use
// expression; each definition is indexed on its own, so string-valued use
// expressions of several definitions never have to form one union. A
// document is indexed on the first lookup in it: key value -> the nodes in
// document order, duplicate-free, hashed so that a lookup never scans the
// index.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxpathnode.h"
#include "xpath/ktxpathvalue.h"
#include "xslt/kttemplatepattern.h"

class KTXSLTProcessor;
struct KTCompiledExpression;

class KTKeyTable {
 public:
  KTKeyTable() = default;
  virtual ~KTKeyTable() = default;
  KTKeyTable(const KTKeyTable&) = delete;
  KTKeyTable& operator=(const KTKeyTable&) = delete;

  void SetName(const KTString& name) { name_ = name; }
  const KTString& GetName() const { return name_; }
  void SetNamespaceId(const KTString* id) { namespaceId_ = id; }
  const KTString* GetNamespaceId() const { return namespaceId_; }
  void SetProcessor(KTXSLTProcessor* processor) { processor_ = processor; }
  // The xsl:key element of the first definition.
  void SetExpressionNode(KTXPathNode* node) { expressionNode_ = node; }
  KTXPathNode* GetExpressionNode() const { return expressionNode_; }

  // Appends a definition; `element` is its xsl:key element, which resolves
  // the prefixes of both texts and which errors point at (null: the
  // expression node).
  // Both compiled expressions belong to the processor.
  void AddDefinition(const KTCompiledExpression* match, const KTCompiledExpression* use,
                     KTXPathNode* element = nullptr);
  int DefinitionCount() const { return static_cast<int>(definitions_.size()); }

  // Indexes the document that holds `document` unless it is indexed already.
  // The node and processor are stored when none is. False without a
  // document or without any processor. Errors of the match and use texts
  // are thrown as KTXSLTError for their xsl:key element.
  bool BuildIndex(KTXPathNode* node, KTXPathNode* document, KTXSLTProcessor* processor);
  // The nodes of the context item's document that the key value selects:
  // for a node-set, the union over its nodes' string values; otherwise the
  // value's string value. Document order, positions 1..n, each node once.
  // An unindexed document gives an empty node-set.
  KTXPathValue Lookup(const KTXPathValue& keyValue, const KTXPathNodeItem& contextItem) const;
  // The nodes of one string value in the context item's document, as
  // Lookup gives them, read in place: the index's own items, or `one` for
  // a value of one node (valid while the index and `one` live).
  std::span<const KTXPathNodeItem> LookupText(std::u16string_view value, const KTXPathNodeItem& contextItem,
                                              KTXPathNodeItem& one) const;

  // Forgets every document's index (their trees end with the run).
  void ClearIndexes() { indexes_.clear(); }
  bool IsIndexed(const KTXPathNode* root) const { return indexes_.count(root) != 0; }

 private:
  struct Definition {
    const KTCompiledExpression* match = nullptr;
    const KTCompiledExpression* use = nullptr;
    KTXPathNode* element = nullptr;
    // The match pattern read into steps on the first build (null: not yet).
    std::unique_ptr<KTTemplatePattern> pattern;
  };
  // Key value -> nodes: open addressing over a power-of-two slot array. A
  // slot holds part of the value's hash beside the entry number, so that a
  // lookup reads an entry only when the hashes agree; an entry holds a
  // short value's text and a value's only node itself, so that the common
  // lookup (one value, one node) reads one slot and one entry. With tens
  // of thousands of values every other read would be a cache miss. Values
  // of several nodes keep a node-set (sorted, numbered) that the results
  // share. A lookup makes no string.
  class DocumentIndex {
   public:
    static constexpr uint32_t kInlineUnits = 18;
    struct alignas(64) Entry {
      size_t hash = 0;
      KTXPathNode* single = nullptr;  // the node while one node has the value
      uint32_t set = 0;               // otherwise the node-set sets_[set] (kNoSet: none yet)
      uint32_t length = 0;            // of the value
      uint32_t longText = 0;          // longTexts_[longText] past kInlineUnits
      char16_t text[kInlineUnits] = {};
    };

    // The entry of the value, null when no node has it.
    const Entry* Find(std::u16string_view value) const;
    // Files the node under the value.
    void Add(std::u16string_view value, const KTXPathNodeItem& item);
    // Filing in two passes, so that every node-set is allocated once at
    // its final size (with many nodes per value, growing each set left up
    // to half its room unused and copied the rest at every step): Count
    // notes a node for the value (filing it when the value is new),
    // AllotCounted gives each value of more nodes its room and tells
    // whether there is one, and Place then offers the same nodes under the
    // same values, in the same order, filing those Count did not, as Add
    // would; EndPlacing closes the pass.
    void Count(std::u16string_view value, KTXPathNode* node);
    bool AllotCounted();
    void Place(std::u16string_view value, KTXPathNode* node);
    void EndPlacing();
    // Room for `more` values beside those held, without growing again.
    void Reserve(size_t more);
    // Entries made by Count have no node yet: neither `single` nor a set.
    static constexpr uint32_t kNoSet = UINT32_MAX;
    // Puts the nodes of every value in document order, each once, numbered
    // 1..n (after the last Add).
    void Normalize();
    // The nodes of an entry as a node-set (shared with the index when the
    // value has several nodes); AppendNodes adds them to a vector.
    void NodesOf(const Entry& entry, KTXPathValue& out) const;
    void AppendNodes(const Entry& entry, KTXPathValue::ItemVector& out) const;
    std::span<const KTXPathNodeItem> ItemsOf(const Entry& entry, KTXPathNodeItem& one) const;

   private:
    struct Slot {
      uint32_t tag = 0;    // the hash's high bits
      uint32_t entry = 0;  // entry number + 1; 0: empty
    };
    static size_t Hash(std::u16string_view value) { return std::hash<std::u16string_view>()(value); }
    static uint32_t TagOf(size_t hash) { return static_cast<uint32_t>(hash >> 32); }
    std::u16string_view TextOf(const Entry& entry) const {
      return entry.length <= kInlineUnits ? std::u16string_view(entry.text, entry.length)
                                          : longTexts_[entry.longText].View();
    }
    // The slot that holds the value or the empty one where it would go.
    size_t Probe(std::u16string_view value, size_t hash) const;
    // The value's entry, made (without a node) when it has none.
    Entry& FindOrMake(std::u16string_view value);
    void Rehash(size_t slotCount);

    std::vector<Entry> entries_;
    std::vector<Slot> slots_;  // size a power of two, at most 3/4 in use
    std::vector<KTXPathValue> sets_;
    std::vector<KTString> longTexts_;
    // Per entry, the nodes Count noted and did not file since the last
    // AllotCounted, and whether it filed the first (which Place passes by).
    std::vector<uint32_t> counts_;
    std::vector<uint8_t> filedFirst_;
  };

  // The nodes a definition's match pattern selects in the document of
  // `root`, in document order.
  void MatchNodes(Definition& definition, KTXPathNode* root, KTXPathNode* element, KTXPathValue& matched);
  // Calls visit(node) for each node MatchNodes would give, in the same
  // order, when the pattern needs no evaluation to find them; false, with
  // no call, when it does.
  template <class Visit>
  bool VisitDirectMatches(Definition& definition, KTXPathNode* root, KTXPathNode* element, Visit&& visit);

  const DocumentIndex* FindIndex(const KTXPathNode* node) const;

  KTString name_;
  const KTString* namespaceId_ = nullptr;
  KTXPathNode* expressionNode_ = nullptr;
  KTXSLTProcessor* processor_ = nullptr;
  std::vector<Definition> definitions_;
  std::unordered_map<const KTXPathNode*, DocumentIndex> indexes_;
};

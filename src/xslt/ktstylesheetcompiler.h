// KTStylesheetCompiler: walks the XPath view of a stylesheet once before a
// transformation, gives every node its element id, checks that it stands in
// an allowed place with allowed attributes and children, checks the
// attribute values that need no evaluation, and builds one declaration
// record per node. The first problem found is thrown as a KTXSLTError with
// its code and the stylesheet node concerned; nothing is collected.
//
// Results are two maps keyed by view node: node -> element id and node ->
// declaration record. The frames look a node's record up and hand it to the
// node's executor; include and import resolution compiles further trees
// into the same maps. The compiler owns the records until Clear (the
// processor's Prepare) or its destruction.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/ktstring.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktstaticcheck.h"
#include "xslt/ktxsltkeywords.h"

class KTXPathNode;
class KTXSLTProcessor;

// A set of element ids or of attribute ids, one bit per id (every id is
// below 64).
using KTIdSet = uint64_t;

// Where an XSLT element may stand (XSLT 1.0 §2.2: top-level elements are
// children of xsl:stylesheet, instructions stand in template bodies).
enum class KTElementPlace : char {
  kInstruction,  // anywhere but as a child of xsl:stylesheet
  kTopLevel,     // only as a child of xsl:stylesheet
  kEither,       // both (xsl:param, xsl:variable)
};

// What the structural checks allow an element: its place, its attributes
// and its children. One row per element id (KTStylesheetCompiler::RuleOf).
struct KTElementRule {
  KTXSLTElementId id;
  KTElementPlace place;
  bool attributesChecked;  // false: any attribute (literal result elements)
  KTIdSet attributes;      // allowed attribute ids
  KTIdSet children;        // allowed child element ids
};

class KTStylesheetCompiler {
 public:
  using ElementIdList = std::vector<std::pair<const KTXPathNode*, int>>;
  using DeclarationList = std::vector<std::pair<const KTXPathNode*, const KTDeclRecord*>>;

  // The processor is borrowed (xsl:key declarations register key tables with
  // it); it may be null when only checks and records are wanted.
  explicit KTStylesheetCompiler(KTXSLTProcessor* processor = nullptr);
  virtual ~KTStylesheetCompiler();
  KTStylesheetCompiler(const KTStylesheetCompiler&) = delete;
  KTStylesheetCompiler& operator=(const KTStylesheetCompiler&) = delete;

  // Compiles `node` and its subtree in document order (pre-order: a node's
  // checks run before any of its children is compiled). The root call passes
  // kRootParentId and kVersionDecides. Forwards-compatible mode (XSLT 1.0
  // §2.5) holds for the subtree when the flag is given, and below an
  // xsl:stylesheet whose version, or a literal result element whose
  // xsl:version, is not "1.0".
  // Always true; failures are thrown KTXSLTError. The walk uses an explicit
  // stack, so stylesheet depth never reaches the call stack.
  bool CompileElement(int parentId, KTXPathNode* node, bool forwardsCompatible) {
    return CompileElement(parentId, node, forwardsCompatible, kSizeUnknown);
  }
  // The same for a caller that knows how many nodes the subtree holds at
  // most (the index makes room for them without counting them again), or
  // that made room for them itself (0).
  static constexpr size_t kSizeUnknown = ~size_t{0};
  bool CompileElement(int parentId, KTXPathNode* node, bool forwardsCompatible, size_t subtreeNodes);
  // Room in the node index for `count` more nodes, for callers that compile
  // several subtrees in a row.
  void ReserveNodes(size_t count) { index_.Reserve(index_.Size() + count); }
  // The arguments of the root call: the document node's parent counts as a
  // literal result element, and the module's own version attributes decide
  // forwards-compatible mode.
  static constexpr int kRootParentId = kXSLTLiteralResult;
  static constexpr bool kVersionDecides = false;

  // Top-level-only elements must be children of xsl:stylesheet, XSLT
  // instructions must not be; an element allowed in either place may stand
  // anywhere. KTXSLTError::kUnexpectedChild otherwise.
  bool CheckContext(int parentId, KTXPathNode* node, KTElementPlace place);
  // The leading attribute children against the allowed attribute ids
  // (kAttributeRepeated, and kUnexpectedAttribute outside forwards-compatible
  // mode). A namespace declaration ends the run of attributes.
  bool CheckAttributes(KTXPathNode* node, KTIdSet allowed, bool forwardsCompatible);
  // The content children against the allowed element ids
  // (kUnexpectedChild). Foreign elements are always accepted; with the
  // forwards-compatible flag XSLT elements are too.
  bool CheckChildren(KTXPathNode* node, KTIdSet allowed, bool forwardsCompatible);
  // The first attribute child with this local name and namespace
  // (kNoNamespace: an attribute in no namespace); null when there is none.
  KTXPathNode* FindAttribute(const KTXPathNode* node, const char16_t* localName, const KTString* namespaceUri) const;
  // The attributes in the XSLT namespace that a literal result element may
  // carry, found in one pass over its attributes (null when absent).
  struct XsltAttributes {
    KTXPathNode* version = nullptr;
    KTXPathNode* useAttributeSets = nullptr;
    KTXPathNode* excludeResultPrefixes = nullptr;
    KTXPathNode* extensionElementPrefixes = nullptr;
  };
  XsltAttributes FindXsltAttributes(const KTXPathNode* node) const;
  static constexpr const KTString* kNoNamespace = nullptr;

  // ---- Results ----
  // Every compiled node with its id, and every node with its record, in no
  // particular order (for tests: the run looks nodes up one at a time).
  ElementIdList ElementIds() const;
  DeclarationList DeclarationRecords() const;
  // kXSLTNoElement when the node has not been compiled.
  int FindElementId(const KTXPathNode* node) const {
    const NodeIndex::Entry* entry = index_.Find(node);
    return entry ? entry->Id() : kXSLTNoElement;
  }
  // Null when the node has no record.
  KTDeclRecord* FindDeclRecord(const KTXPathNode* node) const {
    const NodeIndex::Entry* entry = index_.Find(node);
    return entry ? entry->Record() : nullptr;
  }
  // Both of the above in one lookup.
  int FindElementId(const KTXPathNode* node, KTDeclRecord** record) const {
    const NodeIndex::Entry* entry = index_.Find(node);
    *record = entry ? entry->Record() : nullptr;
    return entry ? entry->Id() : kXSLTNoElement;
  }
  // Empties both maps, deleting the records.
  void Clear();
  // Drops the id and the record of one node (the record itself is freed by
  // Clear or with the compiler), which is about to be deleted
  // (an xsl:include replaced by what it includes).
  void Forget(const KTXPathNode* node);
  // Once the stylesheet at `stylesheetRoot` is compiled and the modules it
  // includes or imports are loaded: the variable references of its compiled
  // expressions against the bindings visible where they stand (KTXSLTError
  // at the first unbound one). Modules compiled later, as their imports and
  // includes run, are checked as each compile ends.
  void CheckVariableScopes(const KTXPathNode* stylesheetRoot);

  const KTXSLTElementRecognizer& ElementRecognizer() const { return elementRecognizer_; }
  const KTXSLTAttributeRecognizer& AttributeRecognizer() const { return attributeRecognizer_; }
  KTXSLTProcessor* GetProcessor() const { return processor_; }

  // The structural rule of an element id: its row of the rule table.
  // kXSLTNoElement and kXSLTUnassigned, which no node is given, and ids
  // outside the table have a row that allows nothing.
  static const KTElementRule& RuleOf(int elementId);
  static bool SetHas(KTIdSet set, int id) { return id > 0 && id < 64 && (set >> id) & 1; }

 private:
  // Per-element compile functions, one per element id; each runs the three
  // checks with its own lists, makes and enters its record, then reads and
  // checks its attribute values.
  void CompileById(int id, int parentId, KTXPathNode* node, bool forwardsCompatible);
  bool IsModeName(const KTXPathNode* modeAttribute) const;
  void CompileLiteralResult(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslApplyImports(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslApplyTemplates(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslAttribute(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslAttributeSet(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslCallTemplate(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslChoose(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslComment(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslCopy(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslCopyOf(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslDecimalFormat(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslElement(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslFallback(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslForEach(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslIf(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslImport(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslInclude(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslKey(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslMessage(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslNamespaceAlias(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslNumber(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslOtherwise(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslOutput(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslParam(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslPreserveSpace(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslProcessingInstruction(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslSort(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslStripSpace(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslStylesheet(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslTemplate(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslText(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslValueOf(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslVariable(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslWhen(int parentId, KTXPathNode* node, bool forwardsCompatible);
  void CompileXslWithParam(int parentId, KTXPathNode* node, bool forwardsCompatible);

  // The three structural checks with the element's rule: place,
  // attributes (unless the rule leaves them unchecked) and children.
  void CheckStructure(int parentId, KTXPathNode* node, const KTElementRule& rule, bool forwardsCompatible);
  // Makes a record of class T for the node and enters it unless the node has
  // one already (a tree compiled again); the record to fill either way.
  template <class T>
  T* NewRecord(KTXPathNode* node);
  // Compile a text of the stylesheet now, so that a syntax error anywhere
  // is reported before the run; the processor keeps the tree that its
  // evaluations use. Nothing without a processor, and nothing in
  // forwards-compatible mode (XSLT 1.0 §2.5: there an expression outside
  // the grammar is an error only when it is evaluated). `errorNode` is the
  // node the evaluation's errors point at.
  // The compiled expression or pattern (null without a processor); in a
  // forwards-compatible part an error waits for the evaluation.
  const KTCompiledExpression* CompileExpressionText(KTXPathNode* errorNode, const KTString& text, int restrictions,
                                                    bool forwardsCompatible);
  const KTCompiledExpression* CompilePatternText(KTXPathNode* errorNode, const KTString& text, int restrictions,
                                                 bool forwardsCompatible);
  // The compiled template (null without a processor or an attribute).
  const KTCompiledValueTemplate* CompileValueTemplate(KTXPathNode* attribute, bool forwardsCompatible);
  // The element id a child counts as in the children check: kXSLTNoElement
  // for an element in the XSLT namespace whose name XSLT 1.0 does not define.
  int ChildId(const KTXPathNode* child) const;
  // The binding shared by xsl:param and xsl:variable: name and select.
  void ReadBinding(KTXPathNode* node, KTString& name, KTString& selectText, KTXPathNode*& nameNode,
                   KTXPathNode*& selectNode);

  // The ids and records by node, in one flat table (open addressing, linear
  // probing): the run looks up the element id and the record of every
  // instruction it instantiates, and a flat table answers that without a
  // division or a walk through scattered nodes. It is the only store: a
  // stylesheet of a million literal nodes pays one entry for each, no map
  // node besides.
  class NodeIndex {
   public:
    // 16 bytes: the node, and its record and element id in one word. The
    // record is one of the compiler's records, or its shared record of
    // plain literal result nodes; a user-space address leaves the top byte
    // clear, and that byte holds the id (kXSLTNoElement, 0, until one is
    // set: ElementId never gives it).
    struct Entry {
      const KTXPathNode* node = nullptr;

      KTDeclRecord* Record() const { return reinterpret_cast<KTDeclRecord*>(packed_ & kRecordMask); }
      void SetRecord(KTDeclRecord* record) {
        packed_ = (packed_ & ~kRecordMask) | (reinterpret_cast<uintptr_t>(record) & kRecordMask);
      }
      int Id() const { return static_cast<int>(packed_ >> kIdShift); }
      bool HasId() const { return Id() != 0; }
      void SetId(int id) { packed_ = (packed_ & kRecordMask) | (static_cast<uintptr_t>(id & 0xFF) << kIdShift); }

     private:
      static constexpr int kIdShift = 56;
      static constexpr uintptr_t kRecordMask = (uintptr_t{1} << kIdShift) - 1;
      uintptr_t packed_ = 0;
    };
    static_assert(sizeof(Entry) == 16, "an index entry grew");
    static_assert(sizeof(uintptr_t) == 8, "the entry packs the id into a 64-bit word");
    static_assert(kXSLTElementIdCount <= 256 && kXSLTNoElement == 0, "an element id fits the entry's top byte");
    // Inline: the run asks it at every frame's first step.
    const Entry* Find(const KTXPathNode* node) const {
      if (count_ == 0 || !node) return nullptr;
      for (size_t i = Home(node);; i = Next(i)) {
        const Entry& entry = entries_[i];
        if (entry.node == node) return &entry;
        if (!entry.node) return nullptr;
      }
    }
    // The node's entry, added empty when it has none.
    Entry& Slot(const KTXPathNode* node);
    // Remembers where the entry stands: the compile of a node looks its
    // node up again after its children's checks, and is answered there
    // without a probe unless the table changed meanwhile (the place is
    // checked, never trusted).
    void SetHint(const Entry& entry) { hint_ = static_cast<size_t>(&entry - entries_.data()); }
    void Erase(const KTXPathNode* node);
    void Clear();
    // Room for `count` entries without a further rebuild.
    void Reserve(size_t count);
    size_t Size() const { return count_; }
    const std::vector<Entry>& Entries() const { return entries_; }

   private:
    // At most four fifths full: runs stay short under linear probing, and a
    // table of a million literal nodes takes 30 MB, not the 48 MB of the
    // next power of two at half load.
    static constexpr size_t kLoadNumerator = 4;
    static constexpr size_t kLoadDenominator = 5;
    // Fibonacci hashing spreads aligned pointers over all 64 bits; the high
    // bits of the product with the size place them in a table of any size.
    size_t Home(const KTXPathNode* node) const {
      const uint64_t hash = reinterpret_cast<uintptr_t>(node) * uint64_t{0x9E3779B97F4A7C15};
      return static_cast<size_t>((static_cast<unsigned __int128>(hash) * entries_.size()) >> 64);
    }
    size_t Next(size_t i) const { return i + 1 == entries_.size() ? 0 : i + 1; }
    bool HasRoomFor(size_t count) const;

    std::vector<Entry> entries_;
    size_t count_ = 0;
    size_t hint_ = 0;
  };

  KTXSLTElementRecognizer elementRecognizer_;
  KTXSLTAttributeRecognizer attributeRecognizer_;
  KTXSLTProcessor* processor_;
  NodeIndex index_;
  KTStaticCheck staticCheck_;
  // The records the index points at, owned here so that an entry stays
  // small; a forgotten node's record stays until Clear.
  std::vector<std::unique_ptr<KTDeclRecord>> records_;
  // The record of every literal result node without xsl:version,
  // xsl:exclude-result-prefixes or xsl:extension-element-prefixes: they all
  // read the same empty values, so they share one instead of one each.
  KTDeclLiteralResult plainLiteral_;
  // A record made for a node that already had one: filled, then dropped.
  std::unique_ptr<KTDeclRecord> spareRecord_;
  // Set by the compile function of the node being compiled: the mode its
  // children are compiled in.
  bool childrenForwardsCompatible_ = false;
};

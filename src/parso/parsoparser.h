// Parse engine: ParsoParser matches a UTF-16 text against a linked
// ParsoGrammar by ordered choice and greedy repetition, and builds a tree of
// ParseNode (text ranges into the caller's text, with line numbers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "parso/parsogrammar.h"
#include "platform/ktmemory.h"

struct ParseNode;

// A link from one parse node to another, held in 32 bits as the distance
// between the two in steps of 8 bytes (0: no node). Reads and assigns like a
// ParseNode pointer. It is only meaningful inside the node that holds it, so
// it cannot be copied out; take the pointer instead. The arena keeps all
// nodes of a parser close enough for every distance to fit.
class ParseNodeLink {
 public:
  ParseNodeLink() = default;
  ParseNodeLink(const ParseNodeLink&) = delete;
  ParseNodeLink& operator=(const ParseNodeLink& other) noexcept {
    return *this = static_cast<ParseNode*>(other);
  }
  ParseNodeLink& operator=(ParseNode* node) noexcept {
    // Both lie on 8-byte bounds: the shift divides exactly, without the
    // rounding a division of a negative distance would add.
    delta_ = node ? static_cast<int32_t>((reinterpret_cast<intptr_t>(node) - Base()) >> 3) : 0;
    return *this;
  }
  operator ParseNode*() const noexcept {
    return delta_ ? reinterpret_cast<ParseNode*>(Base() + intptr_t{delta_} * 8) : nullptr;
  }
  ParseNode* operator->() const noexcept { return *this; }

 private:
  // The holding node: both links lie in its first 8 bytes and nodes are
  // aligned to 8.
  intptr_t Base() const noexcept { return reinterpret_cast<intptr_t>(this) & ~intptr_t{7}; }
  int32_t delta_;
};

// A grammar rule held in 32 bits: its place in the table of live rules.
// Reads and assigns like a rule pointer.
class ParseRuleRef {
 public:
  ParseRuleRef() = default;
  ParseRuleRef& operator=(const GrammarRule* rule) noexcept {
    id_ = rule ? rule->GetTableId() : 0;
    return *this;
  }
  operator const GrammarRule*() const noexcept { return GrammarRule::FromTableId(id_); }
  const GrammarRule* operator->() const noexcept { return GrammarRule::FromTableId(id_); }
  // The rule's place, to compare without reading the table.
  uint32_t GetTableId() const noexcept { return id_; }

 private:
  uint32_t id_;
};

// A place in the parsed text held in 32 bits: the offset from the start of
// the text, which the arena block holding the node keeps. Reads and assigns
// like a character pointer; like a link, it is only meaningful inside its
// node, so it cannot be copied out.
class ParseTextRef {
 public:
  ParseTextRef() = default;
  ParseTextRef(const ParseTextRef&) = delete;
  ParseTextRef& operator=(const ParseTextRef& other) noexcept {
    return *this = static_cast<const char16_t*>(other);
  }
  ParseTextRef& operator=(const char16_t* text) noexcept {
    offset_ = static_cast<int32_t>(text - Base());
    return *this;
  }
  operator const char16_t*() const noexcept { return Base() + offset_; }

 private:
  inline const char16_t* Base() const noexcept;
  int32_t offset_;
};

// One matched named rule or group. Nodes belong to the parser that made them
// (an arena); free them through the parser, never with delete. A node lives
// only in its parser's arena (its text place is read through its block) and
// its text place lies in the text being parsed.
struct alignas(8) ParseNode {
  ParseNodeLink next;        // next sibling
  ParseNodeLink firstChild;
  ParseRuleRef rule;
  ParseTextRef textStart;    // into the parsed text
  int32_t length;            // characters matched
  int32_t line : 31;         // line of the first character, from 1
  uint32_t valid : 1;        // set once the match succeeded

  int CountChildren() const;
  // The first node of `rule` among this node, its following siblings and
  // their descendants down to `depth` levels, depth first in document order.
  ParseNode* Find(const GrammarRule* rule, int depth);
};

// A parsed document holds a node for about every fifth character; the size of
// a node decides the parse's memory.
static_assert(sizeof(ParseNode) <= 24, "ParseNode grew");

// Blocks of parse nodes with a free list. Each block is aligned to its size,
// so a node finds its block's header by masking its address; the header
// counts the block's live nodes. While a parse runs, freed nodes are reused;
// once it has ended, a block whose nodes have all been freed is given back at
// once, so a tree consumed while a document is built returns its memory as
// the walk goes on.
class ParseNodeArena {
 public:
  ParseNodeArena() = default;
  ~ParseNodeArena();
  ParseNodeArena(const ParseNodeArena&) = delete;
  ParseNodeArena& operator=(const ParseNodeArena&) = delete;

  // Throws std::bad_alloc when no block can be had. Every parse node comes
  // through here: the free list and the current block are the inline path,
  // a new block the rare one.
  ParseNode* Allocate() {
    ParseNode* n;
    if (freeList_) {
      n = freeList_;
      freeList_ = n->next;
    } else {
      if (!current_ || current_->used == kNodesPerBlock) [[unlikely]] TakeNewBlock();
      n = NodesOf(current_) + current_->used++;
    }
    ++BlockOf(n)->live;
    return n;
  }
  // The free list while a parse runs; once it has ended, a block whose
  // nodes are all gone is given back.
  void Free(ParseNode* node) {
    Block* block = BlockOf(node);
    --block->live;
    if (!consuming_) {
      node->next = freeList_;
      freeList_ = node;
    } else if (block->live == 0 && block != current_) [[unlikely]] {
      ReleaseBlock(block);
    }
  }
  // The text that the nodes' text places count from, for the blocks in use
  // and those taken later.
  void SetText(const char16_t* text);
  // The text of the block holding `inNode` (an address inside a node).
  static const char16_t* TextOf(const void* inNode) {
    return reinterpret_cast<const Block*>(reinterpret_cast<uintptr_t>(inNode) & ~(uintptr_t{kBlockBytes} - 1))->text;
  }
  // Ends reuse: the free list is dropped and empty blocks are given back.
  void BeginConsuming();
  void ReleaseAll();
  size_t GetBlockCount() const { return blocks_.size(); }
  // Whether the blocks given back go to the waiting blocks that others are
  // about to take (KTGiveBackPageBlock's takenSoon).
  void SetTakenSoon(bool on) { takenSoon_ = on; }
  // Whether every block is taken as by an owner that grows (its pages put
  // in place at once), not only those past kBlocksBeforeGrowing.
  void SetGrowing(bool on) { growing_ = on; }

 private:
  struct Block {
    uint32_t live;
    uint32_t used;
    size_t index;  // in blocks_
    const char16_t* text;  // where the text places of its nodes count from
  };
  static constexpr size_t kBlockBytes = kKTPageBlockBytes;
  static constexpr size_t kHeaderBytes = (sizeof(Block) + alignof(ParseNode) - 1) / alignof(ParseNode) * alignof(ParseNode);
  static constexpr uint32_t kNodesPerBlock = (kBlockBytes - kHeaderBytes) / sizeof(ParseNode);
  // Past this many blocks (2 MiB) the tree takes its blocks as a growing
  // owner, each fresh block's pages put in place at once; a small document's
  // tree holds no more memory than it writes.
  static constexpr size_t kBlocksBeforeGrowing = 8;

  static Block* BlockOf(ParseNode* node) {
    return reinterpret_cast<Block*>(reinterpret_cast<uintptr_t>(node) & ~(uintptr_t{kBlockBytes} - 1));
  }
  static ParseNode* NodesOf(Block* block) {
    return reinterpret_cast<ParseNode*>(reinterpret_cast<char*>(block) + kHeaderBytes);
  }
  void ReleaseBlock(Block* block);
  // Makes a fresh block current; throws std::bad_alloc when none can be had.
  [[gnu::noinline]] void TakeNewBlock();
  // Takes a block into use: false when it lies so far from the others that
  // a link between their nodes would not fit.
  bool KeepsLinksInRange(const Block* block);
  void UnmapBlock(void* block) const;

  std::vector<Block*> blocks_;
  Block* current_ = nullptr;  // the block that new nodes are cut from
  ParseNode* freeList_ = nullptr;
  const char16_t* text_ = nullptr;
  bool consuming_ = false;
  bool takenSoon_ = false;
  bool growing_ = false;
  // Addresses spanned by the blocks taken into use since ReleaseAll.
  uintptr_t lowest_ = UINTPTR_MAX;
  uintptr_t highest_ = 0;
};

inline const char16_t* ParseTextRef::Base() const noexcept { return ParseNodeArena::TextOf(this); }

// Receives the children of one watched node while the parse runs
// (ParsoParser::SetChildSink), so that a caller can consume a large tree
// piece by piece instead of after the whole parse.
class ParseChildSink {
 public:
  enum Answer {
    kKeep,   // the engine attaches the child to the watched node as usual
    kTaken,  // the sink is done with the child and with every child the
             // watched node holds: the engine frees them all
    kStop,   // the parse ends at once and fails
  };
  virtual ~ParseChildSink() = default;
  // `child` (its `next` null) has matched as a child of path[count - 1], in
  // the form flattening would leave it there. path[d] is the node being
  // matched at nesting depth d (the start rule's at 0), or null where the
  // rule at that depth matched without a node of its own; those nodes are
  // in progress: their lengths are not yet known, and their children are
  // the ones completed so far.
  virtual Answer OnChild(ParseNode* const* path, int count, ParseNode* child) = 0;
};

class ParsoParser {
 public:
  // Deepest nesting of rule matches. Deeper input fails with a parse error
  // instead of exhausting the stack; every later recursive walk over a parse
  // tree or a tree built from one relies on this bound.
  static constexpr int kMaxNestingDepth = 5000;
  // Lengths and offsets are 32-bit; longer texts are refused.
  static constexpr size_t kMaxTextLength = 0x7FFFFFFF;
  // Stack kept free below the deepest match: a parse that would come closer
  // to the end of the thread's stack fails like one nested too deeply, so a
  // small stack or large frames (instrumented builds) never overflow.
  static constexpr size_t kStackReserve = 256 * 1024;

  explicit ParsoParser(const ParsoGrammar* grammar);
  ~ParsoParser();
  ParsoParser(const ParsoParser&) = delete;
  ParsoParser& operator=(const ParsoParser&) = delete;

  void SetGrammar(const ParsoGrammar* grammar);
  const ParsoGrammar* GetGrammar() const { return grammar_; }
  // The grammar's loaded flag as read by SetGrammar.
  bool IsValid() const { return valid_; }
  // Whether the last Parse failed because memory ran out (its message then
  // says so); a caller that must not pass that off as bad text asks here.
  bool RanOutOfMemory() const { return outOfMemory_; }

  // Settings of this parser. Defaults: case-insensitive compare (ASCII
  // letters fold; other characters compare exactly), no flattening, no
  // end-name removal, option word 52 (it does not change matching).
  void SetCaseSensitive(bool on) {
    if (on != caseSensitive_) ForgetReplays();
    caseSensitive_ = on;
  }
  bool IsCaseSensitive() const { return caseSensitive_; }
  void SetFlatten(bool on) { flatten_ = on; }
  void SetEndNameRemoval(bool on) { endNameRemoval_ = on; }
  void SetOptionWord(int value) { optionWord_ = value; }
  // Off: every attempt matches all its elements itself and makes nodes for
  // every rule, without the shortcuts (shared sequence prefixes, rules that
  // keep no children matched without nodes, the second-character
  // prediction). Results are the same either
  // way; the engine's tests compare the two. Default on.
  void SetShortcuts(bool on) { shortcuts_ = on; }
  int GetOptionWord() const { return optionWord_; }

  // Watches the node matched along `rules` (the rule at each nesting depth
  // from the start rule; a null entry matches any rule) and hands each of its
  // children to `sink` once matched, instead of attaching it. With `repeat`,
  // the path goes on below the watched node: `repeat` follows it again and
  // again (rule by rule, depth by depth, a null entry matching any rule), and
  // the node that ends each round is watched as well, so a node is watched
  // at every depth the round reaches; the sink is offered the children of
  // the deepest one. The engine never takes a hand-over back: set a sink
  // only where, in the grammar, a failure of a watched node or of anything
  // after one of its children has matched fails the whole parse; the caller
  // then drops what it made of the children when the parse fails. The
  // watched rules (the last of `rules` and of `repeat`) must be named
  // sequences without constraints, prefix peers or token status, `rules` at
  // most kMaxWatchDepth long; false otherwise (and nothing is watched). An
  // empty path or a null sink turns watching off. Kept across parses.
  // Children may be offered in batches: the engine keeps them, without a
  // call, until a watched node holds `batchChildren` of them or they span
  // `batchCharacters` characters, and then offers the last one (the sink
  // finds the others among the watched node's children); it offers every
  // further child until the sink takes them. The defaults offer every child.
  // Each watched node counts its own batch.
  static constexpr int kMaxWatchDepth = 8;
  bool SetChildSink(ParseChildSink* sink, const std::vector<const GrammarRule*>& rules,
                    int batchChildren = 1, int batchCharacters = 0,
                    const std::vector<const GrammarRule*>& repeat = {});

  // A limit on how deeply matches of up to two rules nest (the elements of
  // a document, which nest one rule match each however many rule levels
  // each takes). An attempt of one of `rules` made while `limit` of them
  // are in progress fails the parse with `message` at its start once it is
  // known to be a match: when it matches, or when an attempt of the rules
  // begins inside it (past its start). An attempt that fails (other markup
  // where an element could stand) counts for nothing. `limit` must leave
  // the rule nesting limit unreached by what it allows, one more level
  // included. An empty list turns the limit off. Kept across parses.
  void SetMatchNestingLimit(const std::vector<const GrammarRule*>& rules, int limit, std::u16string message);

  // Matches text[0, length) from the named rule (the grammar's root rule when
  // null). True when the whole text matched; the tree is then GetRoot().
  // Drops the previous tree first. The text must outlive the tree.
  bool Parse(const char16_t* text, size_t length, const char16_t* ruleName = nullptr);

  ParseNode* GetRoot() const { return root_; }
  const char16_t* GetText() const { return text_; }
  int GetTextLength() const { return textLength_; }

  // The furthest failure of the last parse.
  int GetErrorOffset() const;              // characters from the text start; 0 when none
  int GetErrorLine() const;                // 1-based line of that position; 0 when none
  int GetErrorColumn() const;              // 1-based column of that position; 0 when none
  // Both at once, from one map of the text before the failure.
  void GetErrorPlace(int& line, int& column) const;
  const char16_t* GetErrorPosition() const { return failPos_; }
  const GrammarRule* GetErrorRule() const { return failRule_; }
  std::u16string GetErrorText() const;

  // Parse-node operations. A new node holds `available` in its length field;
  // `text` must lie in the text of the last Parse (a node keeps its place as
  // an offset from that text).
  ParseNode* NewNode(const char16_t* text, int available, int line, const GrammarRule* rule) {
    ParseNode* n = arena_.Allocate();
    if (rule == countedRule_) [[unlikely]] ++countedNodes_;
    n->next = nullptr;
    n->firstChild = nullptr;
    n->rule = rule;
    n->textStart = text;
    n->length = available;
    n->line = line;
    n->valid = 0;
    return n;
  }
  // Re-initialises a node, freeing its children first.
  void ResetNode(ParseNode* node, const char16_t* text, int available, int line,
                 const GrammarRule* rule);
  void FreeChildren(ParseNode* node);
  // Unlinks the first child of `parent` and frees it with its descendants.
  // A walk that frees each child right after visiting it gives the tree's
  // memory back while it runs; freeing all children only after the last one
  // keeps every block alive to the end.
  void FreeFirstChild(ParseNode* parent) {
    ParseNode* child = parent->firstChild;
    if (!child) return;
    parent->firstChild = child->next;
    if (!child->firstChild) {
      // A walk that frees each child after visiting it has freed the
      // child's own children already: the common case is a single node.
      arena_.Free(child);
      return;
    }
    child->next = nullptr;
    FreeChildrenAndSiblings(child);
  }
  // Frees `first`, its following siblings and all their descendants.
  void FreeChildrenAndSiblings(ParseNode* first);
  // Unlinks `node` from the subtree under `top` and frees it; false when absent.
  bool RemoveNode(ParseNode* top, ParseNode* node);
  // Frees the tree and the node arena.
  void DropTree();
  // Memory blocks the nodes occupy (each 256 KiB).
  size_t GetArenaBlockCount() const { return arena_.GetBlockCount(); }
  // The node arena's blocks, as they are freed, wait for other owners that
  // are about to take many (the other threads of a chunked parse, then the
  // document's view) instead of going back to the system past a few.
  void SetArenaBlocksTakenSoon(bool on) { arena_.SetTakenSoon(on); }
  // Every block of the node arena has its pages put in place as it is taken
  // (a chunk's parse, whose tree stands whole before it is built, fills
  // most of its blocks).
  void SetArenaBlocksGrowing(bool on) { arena_.SetGrowing(on); }

 private:
  // A flat rule is matched without a frame of Match only this far above the
  // stack's floor, so that Match's own check would not have stopped it.
  static constexpr uintptr_t kFlatStackMargin = 16 * 1024;
  // Stack a frame of Scan and of the steps around it takes at most, in any
  // build: a shortcut that stands for a few of them keeps this much room per
  // frame.
  static constexpr uintptr_t kScanFrameAllowance = 4096;

  // The children a node gets while it is matched: the node itself travels
  // with them, so that the engine's steps pass one reference for both.
  struct ChildList {
    ParseNode* parent = nullptr;  // the node they are attached to
    ParseNode* tail = nullptr;
    bool constrained = false;  // the node checks a constraint
    bool unstable = false;     // a child may be one that Flatten replaces or removes
  };

  int Match(ParseNode* node, char16_t mark, int depth);
  // Match by the form of the rule: any (kFormAny), or a sequence
  // (GrammarRule::IsSequenceRule) without peers or with them, whose step
  // through its elements is then made in Match's own frame.
  static constexpr int kFormAny = 0;
  static constexpr int kFormPlain = 1;
  static constexpr int kFormShared = 2;
  template <int kForm>
  int MatchAs(ParseNode* node, char16_t mark, int depth);
  [[gnu::noinline]] int MatchPlainSequence(ParseNode* node, int depth);
  [[gnu::noinline]] int MatchPeerSequence(ParseNode* node, int depth);
  // TryElement past its shortcuts for attempts that fail at their start.
  bool TryElementBody(const GrammarRule::Element& element, const char16_t* pos, int available,
                      int& line, int& matched, ChildList& children, int depth);
  bool IsLimited(const GrammarRule* rule) const { return rule == limited_[0] || rule == limited_[1]; }
  // Around an attempt of a limited rule: false (the parse failed) when it
  // is known to be a match nested past the limit.
  bool EnterLimited(const GrammarRule* rule, const char16_t* pos);
  bool LeaveLimited(bool matched);
  void FailLimited();
  [[gnu::noinline]] bool TryLimited(const GrammarRule::Element& element, const char16_t* pos, int available,
                                    int& line, int& matched, ChildList& children, int depth);
  int MatchTerminal(const GrammarRule* rule, char16_t mark, const char16_t* pos, int available,
                    int& line);
  int Terminal(const GrammarRule::Element& element, const char16_t* pos, int available, int& line);
  // MatchTerminal's failure of a literal at pos: recorded, -1.
  [[gnu::noinline]] int FailLiteral(const GrammarRule* rule, const char16_t* pos);
  int TerminalByKind(const GrammarRule* rule, char16_t mark, const char16_t* pos, int available,
                     int& line);
  // Whether an attempt of `rule` at pos (available > 0) fails at its start
  // by the first- or second-character prediction, within the nesting limit.
  bool Predicted(const GrammarRule* rule, const char16_t* pos, int available, int depth) const;

  // An attempt at the furthest failure that the lead and second-character
  // prediction says must fail (Predicted leaves it to be made, as it may
  // record a failure at the next character): what it records there, by rule
  // and by that next character, found by the first such attempt of a parse
  // and recorded alike by later ones without matching again. Such an
  // attempt looks at no other character and keeps no node; whatever it
  // records at its start is dropped (a failure is already recorded there),
  // and of its failures at the next character the first stays.
  // Sixteen bytes: a parser keeps a table of these for every rule it meets
  // (a few hundred kilobytes a grammar), for the life of the grammar cache.
  struct LeadFailure {
    const GrammarRule* rule = nullptr;
    uint32_t generation : 31 = 0;  // the parse that found it (0: none)
    uint32_t records : 1 = 0;      // 0: it records nothing at the next character
    int32_t child = -1;
  };
  // Parses counted past this start the count again (see generation_).
  static constexpr uint32_t kLeadGenerations = uint32_t{1} << 31;
  // Next characters with entries of their own: ASCII (markup and names in
  // ASCII make nearly all of these attempts; the rest go unremembered, and
  // every rule's table stays at 2 KB).
  static constexpr int kLeadFailureChars = 128;
  // TryElement for an attempt at the furthest failure that the lead
  // prediction says fails (available >= 2): replayed from its entry when the
  // attempt may record only failures and the entry is this parse's, else
  // made (and remembered when it could be).
  [[gnu::noinline]] bool TryLeadFailure(const GrammarRule::Element& element, const char16_t* pos,
                                        int available, int& line, int& matched, ChildList& children,
                                        int depth);
  // TryLeadFailure's attempt, made; its outcome goes to its rule's entry for
  // the next character when remember is set and it could be replayed.
  [[gnu::noinline]] bool AttemptLead(const GrammarRule::Element& element, const char16_t* pos,
                                     int available, int& line, int& matched, ChildList& children,
                                     int depth, bool remember);
  bool TryElement(const GrammarRule::Element& element, const char16_t* pos, int available,
                  int& line, int& matched, ChildList& children, int depth);
  // TryElement for a rule that keeps no children: matched by Scan, its
  // node (unless dropped) made once it matched. Takes a rule of
  // GrammarRule::HasFlatSteps as well, passing it to TryFlatSteps, and one
  // of GrammarRule::HasSplicedAlternatives, passing it to TrySplicedChoice.
  [[gnu::noinline]] bool TryWithoutNodes(const GrammarRule* rule, const char16_t* pos,
                                         int available, int& line, int& matched, ChildList& children,
                                         int depth);
  // TryWithoutNodes for a rule that keeps no children.
  [[gnu::noinline]] bool ScanWithoutNodes(const GrammarRule* rule, const char16_t* pos, int available,
                                          int& line, int& matched, ChildList& children, int depth);
  // TryElement for a rule of GrammarRule::HasFlatSteps that keeps its
  // children: Match and its sequence step in one frame.
  [[gnu::noinline]] bool TryFlatSteps(const GrammarRule* rule, const char16_t* pos, int available,
                                      int& line, int& matched, ChildList& children, int depth);
  // Match for a rule below which no nodes are made (one that keeps no
  // children, and every rule it reaches): as Match at `depth` would match
  // it, without a node and without the engine's node-building steps. The
  // characters matched, or -1 after recording the failure as Match would;
  // `line` moves only on a match. A choice is tried from alternative
  // `from` on (the earlier ones have failed).
  int Scan(const GrammarRule* rule, const char16_t* start, int available, int& line, int depth,
           int from = 0);
  int ScanElement(const GrammarRule::Element& element, const char16_t* pos, int available,
                  int& line, int depth);
  // ScanElement's take of a choice led by a flat rule; with takePlainLast
  // (where the frame is not one that recursion stacks) its last alternative
  // may be taken without entering the choice.
  int ScanLedChoice(const GrammarRule* rule, const GrammarRule* flat, const char16_t* pos, int available,
                    int& line, int depth, bool takePlainLast);
  int ScanRepeatedChoice(const GrammarRule* rule, const char16_t* start, int available, int& line, int depth);
  // Scan of the last alternative of a repeated choice (a reference after
  // text), replayed from an earlier match of the same characters where its
  // outcome cannot differ (see ReplayableRule); else Scan, remembered.
  [[gnu::noinline]] int ScanReplayed(const GrammarRule* rule, const char16_t* pos, int available, int& line,
                                     int depth);
  // ScanReplayed's replay of a remembered match, without the call: the
  // characters matched, or -2 where ScanReplayed must decide.
  int Replayed(const GrammarRule* rule, const char16_t* pos, int available, int depth);
  // Whether ScanReplayed may remember or replay a match at this depth and
  // stack place.
  bool MayReplay(int available, int depth) const;
  // Whether the matches of `rule` (at most kReplayNesting rule matches deep)
  // can be replayed: every rule it reaches is a literal, a compiled class, a
  // code, or a sequence or choice of them without constraints or limits.
  // Such a match reads no character past the first one that no terminal
  // below may take (an outside character) and the one after it. `taken`
  // gets 256 bits (characters from U+00FF up by bit 255), set for each
  // character some terminal may take.
  bool ReplayableRule(const GrammarRule* rule, const uint64_t*& taken);
  // ReplayableRule's work for a rule: false when not replayable.
  bool WorkOutReplay(const GrammarRule* rule, uint64_t* taken) const;
  // Scan for a rule of GrammarRule::HasFlatSteps at `depth`: its elements in
  // one loop, as Scan and ScanElement would take them.
  // Scan for a choice of GrammarRule::HasFlatAlternatives at `depth`, from
  // alternative `from` on (available > 0).
  [[gnu::noinline]] int ScanFlatAlternatives(const GrammarRule* rule, const char16_t* start, int available,
                                             int& line, int depth, int from);
  [[gnu::noinline]] int ScanFlatSteps(const GrammarRule* rule, const char16_t* start, int available,
                                      int& line, int depth);
  int ScanRepeat(const GrammarRule::Element& element, const char16_t* start, int available,
                 int& used, int& line, int depth);
  // Match for a flat rule (GrammarRule::IsFlat): the characters matched, or
  // -1 after recording the failure as Match would.
  int MatchFlat(const GrammarRule* rule, const char16_t* start, int available, int& line);
  int QuickFlat(const GrammarRule* rule, const char16_t* pos, int available);
  int Repeat(const GrammarRule::Element& element, const char16_t* start, int available, int& used,
             int& line, ChildList& children, int depth);
  // The elements of a sequence or choice from `start`, their nodes attached
  // to children.parent; `used` gets the characters matched. SequenceBody
  // returns -1 when the sequence matched, else the index of the required
  // element that did not.
  template <bool kBoundsOnce>
  int SequenceBody(const GrammarRule* rule, const char16_t* start, int available, int& used,
                   int& line, ChildList& children, int depth);
  bool ChoiceBody(const GrammarRule* rule, const char16_t* start, int available, int& used,
                  int& line, ChildList& children, int depth);
  // TryElement for a spliced group or rule (GrammarRule::IsSpliced) while
  // flattening.
  [[gnu::noinline]] bool TrySplicedGroup(const GrammarRule* rule, const char16_t* pos,
                                         int available, int& line, int& matched, ChildList& children,
                                         int depth);
  // TryElement for a choice of GrammarRule::HasSplicedAlternatives (one of
  // the rules TryWithoutNodes takes): TrySplicedGroup's match of it.
  [[gnu::noinline]] bool TrySplicedChoice(const GrammarRule* rule, const char16_t* pos, int available,
                                          int& line, int& matched, ChildList& children, int depth);
  // Whether TryElement would take a spliced element (available > 0)
  // straight to TrySplicedGroup.
  bool SplicesAtOnce(const GrammarRule::Element& element, const char16_t* pos, int available,
                     const ChildList& children, int depth) const;
  // The end of a spliced match that succeeded: the node the rule keeps, if
  // any, made over its children from `first` on (those after `before`);
  // `line` moves to endLine.
  bool EndSplice(const GrammarRule* rule, const char16_t* pos, int used, int& line, int endLine,
                 ParseNode* first, ParseNode* before, ChildList& children);
  bool MatchSequence(ParseNode* node, int available, int& line, int depth, int& failIndex,
                     ChildList& children);
  bool MatchSharedSequence(ParseNode* node, int available, int& line, int depth, int& failIndex,
                           ChildList& children);
  // The bodies of MatchSequence and MatchSharedSequence.
  bool SequenceStep(ParseNode* node, int available, int& line, int depth, int& failIndex,
                    ChildList& children);
  bool SharedSequenceStep(ParseNode* node, int available, int& line, int depth, int& failIndex,
                          ChildList& children);
  // Hands the kept nodes of a peer's shared elements to `node` when they were
  // matched at its place; returns the number of elements they cover (0: none).
  int TakeSharedPrefix(ParseNode* node, int available, int& line, int& used, ChildList& children,
                       int depth);
  // Where the shared elements of a sequence with peers ended: its last
  // child then (null: none), the characters and line reached, and whether a
  // child then may be one that Flatten changes.
  struct SharedEnd {
    ParseNode* tail = nullptr;
    int used = 0;
    int line = 0;
    bool unstable = false;
  };
  // Keeps the children of `node` up to end.tail (the shared elements of its
  // failed attempt, begun at startLine with `messages` recorded) and frees
  // the rest.
  void KeepSharedPrefix(ParseNode* node, const SharedEnd& end, int available, int startLine,
                        uint64_t messages);
  void DropSharedPrefix();
  bool MatchChoice(ParseNode* node, int available, int& line, int depth, ChildList& children);
  // MatchSequence for the watched node: each element match's children go to
  // the sink (HandOver).
  bool MatchWatched(ParseNode* node, int available, int& line, int depth, int& failIndex,
                    ChildList& children);
  // Offers the children that `node` got after `before` (all when null) to the
  // sink, each in the form flattening leaves it.
  void HandOver(ParseNode* node, ChildList& children, ParseNode* before, int depth);
  void Offer(ParseNode* node, ChildList& children, ParseNode* child, int depth);
  // Records `node` (null for a rule matched without a node of its own) as
  // the one in progress at `depth`, whose parent is on the watched path;
  // true when it is a watched node.
  bool EnterPath(ParseNode* node, const GrammarRule* rule, int depth);
  bool MatchDifference(ParseNode* node, int available, int& line, int depth, int& failIndex,
                       ChildList& children);
  bool MatchUpTo(ParseNode* node, int available, int& line, int depth, ChildList& children);
  // Tests the node's constraint, taking the end name out (end-name removal);
  // sets children.unstable for the node's flattening after it.
  bool CheckConstraint(ParseNode* node, ChildList& children);
  // CheckConstraint after it took the end name out of the last child: a
  // last child that flattening would then remove is removed at once.
  bool TakeEmptiedTail(ParseNode* node, ChildList& children);
  bool RemoveNodeWithin(ParseNode* top, ParseNode* node, int depth);
  void Flatten(ParseNode* node);
  // Nodes that `node` leaves in its place when Flatten examines it under a
  // node that is not chained: 0, 1, or 2 for two or more.
  static int FlattenedCount(const ParseNode* node);
  static int CountFlattened(const ParseNode* node);
  // What Flatten does with `child` under a node of `parent`: false when it
  // stays; true when it goes, its place taken by first..last (none when
  // first is null).
  static bool FlattenStep(const GrammarRule* parent, ParseNode* child, ParseNode*& first,
                          ParseNode*& last);
  void Attach(ChildList& children, ParseNode* child);
  bool Equal(const char16_t* a, const char16_t* b, int n) const;
  int CountLineEnds(const char16_t* pos, int n) const;

  void Record(const char16_t* pos, const GrammarRule* rule, int childIndex);
  // Records the failure of a required element that was not tried because no
  // characters were left for it (element `index` of `sequence`).
  void RecordExpected(const char16_t* pos, const GrammarRule* element, const GrammarRule* sequence,
                      int index);
  void RecordMessage(const char16_t* pos, const GrammarRule* rule, std::u16string message);
  void ResetFailure();
  void ReleaseNode(ParseNode* node);

  const ParsoGrammar* grammar_ = nullptr;
  bool valid_ = false;
  bool caseSensitive_ = false;
  bool flatten_ = false;
  bool endNameRemoval_ = false;
  // The end-name check looks for its second operand among every child and
  // grandchild of the element; where the grammar has a single such operand,
  // the parse counts the nodes given its rule (less those the check takes
  // out). While that count is 1, the one node found under the last child is
  // the only one there is, so it is the first the whole search would find.
  const GrammarRule* countedRule_ = nullptr;
  uint64_t countedNodes_ = 0;
  int optionWord_ = 52;
  bool shortcuts_ = true;

  const char16_t* text_ = nullptr;
  int textLength_ = 0;
  ParseNode* root_ = nullptr;
  bool aborted_ = false;
  bool outOfMemory_ = false;
  // SetMatchNestingLimit: the rules, the limit, the attempts in progress.
  const GrammarRule* limited_[2] = {nullptr, nullptr};
  int matchNestingLimit_ = 0;
  int limitedOpen_ = 0;
  // The attempt past the limit in progress.
  const char16_t* overPos_ = nullptr;
  const GrammarRule* overRule_ = nullptr;
  std::u16string limitMessage_;
  uintptr_t stackFloor_ = 0;  // lowest frame address a match may use

  // Furthest failure.
  const char16_t* failPos_ = nullptr;
  const GrammarRule* failRule_ = nullptr;
  int failChild_ = -1;
  bool hasMessage_ = false;
  std::u16string failMessage_;
  // Messages recorded so far. A message may move the furthest failure back,
  // so matching the same text again could record anew what kept nodes
  // would not; kept nodes are only taken while this count stands.
  uint64_t messageCount_ = 0;

  // The shared elements of the last sequence attempt that failed after them
  // (GrammarRule::GetPrefixPeers): their nodes, what they matched and where.
  // Matching them again at that place would build the same nodes and record
  // no failure: every failure it met lies at or before the furthest one.
  struct SharedPrefix {
    const GrammarRule* rule = nullptr;  // the failed sequence; null: nothing kept
    const char16_t* start = nullptr;
    int available = 0;
    int startLine = 0;
    int used = 0;  // characters the shared elements matched
    int endLine = 0;
    uint64_t messages = 0;  // messageCount_ when the attempt began
    bool unstable = false;  // a kept node may be one that Flatten changes
    ParseNode* first = nullptr;
    ParseNode* last = nullptr;
  };
  SharedPrefix shared_;

  // Watching (SetChildSink): the path's rule at each depth (its repeated
  // round written out), the nodes in progress at each depth of the path, and the deepest depth whose
  // node in progress is on the path (-1 before the start rule; below that
  // when nothing is watched). A node in progress is on the path when its
  // parent is and its rule is the path's at its depth: each match whose
  // parent is on the path sets pathTop_ to its own depth or its parent's, so
  // nodes below one off the path are never recorded, and an entry deeper
  // than pathTop_ is stale.
  ParseChildSink* sink_ = nullptr;
  int batchChildren_ = 1;
  int batchCharacters_ = 0;
  int held_ = 0;  // children the watched node being matched holds
  int watchDepth_ = 0;  // rules in the path; 0: nothing watched
  int pathTop_ = -2;
  struct PathStep {
    const GrammarRule* rule;  // null and not `any`: nothing is on the path this deep
    bool any;
    bool watched;
  };
  // Depths the path table is first written out to (GrowPath extends it).
  static constexpr size_t kInitialPathDepths = 64;
  // Writes the path table out to `depths` (at least one more than now, at
  // most every depth a match can reach).
  void GrowPath(size_t depths);
  std::vector<PathStep> pathSteps_;  // per depth, as deep as the parse has gone
  std::vector<const GrammarRule*> stepRules_;  // the path pathSteps_ was made for
  std::vector<const GrammarRule*> stepRepeat_;
  std::vector<ParseNode*> pathNodes_;

  // TryLeadFailure's entries: per rule (by its index in the grammar), one
  // for each next character.
  std::vector<std::unique_ptr<LeadFailure[]>> leadFailures_;
  uint32_t generation_ = 0;  // counts parses: entries of earlier ones are stale

  // Drops what ScanReplayed remembers: the grammar, the limits or the case
  // setting changed. It is kept from one parse to the next otherwise.
  void ForgetReplays();
  // ScanReplayed's memory. A match of a replayable rule is decided by the
  // characters from its start to the first outside one and the one after it
  // (the key), and by where the furthest failure stood against them; its
  // outcome is the characters matched and the failure it leaves.
  static constexpr int kReplayKeyMax = 24;  // characters of a key
  // Entries in sets of kReplayWays, picked by the key's first three
  // characters.
  static constexpr int kReplaySets = 64;
  static constexpr int kReplayWays = 4;
  // Rule matches a replayable rule may nest: a reference takes four; the
  // stack and nesting room kept for that many frames is small.
  static constexpr int kReplayNesting = 32;
  struct ReplayEntry {
    const GrammarRule* rule = nullptr;  // null: empty
    const GrammarRule* failRule = nullptr;
    int32_t failChild = -1;
    int32_t failAt = -1;  // offset of the failure it records; -1: none
    int16_t keyLength = 0;
    int16_t failBefore = 0;  // the furthest failure before it, as in ReplayClass
    int32_t matched = 0;
    char16_t key[kReplayKeyMax];
  };
  struct ReplayRuleInfo {
    bool known = false;  // worked out
    bool replayable = false;
    uint64_t taken[4] = {0, 0, 0, 0};
  };
  // The rule ScanReplayed met last, and its entry in replayRules_.
  const GrammarRule* replayLastRule_ = nullptr;
  const ReplayRuleInfo* replayLastInfo_ = nullptr;
  std::vector<ReplayRuleInfo> replayRules_;  // by rule index
  std::unique_ptr<ReplayEntry[]> replayEntries_;
  uint8_t replayVictims_[kReplaySets] = {};  // the way each set fills next

  ParseNodeArena arena_;
};

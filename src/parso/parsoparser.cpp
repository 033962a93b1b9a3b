// Parse engine: recursive-descent matcher with ordered choice and greedy
// repetition that never gives back, over the rules of a linked grammar.
// Parse nodes come from an arena with a free list; the settings and the
// furthest-failure record belong to each parser.
#include "parso/parsoparser.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/ktlinemap.h"
#include "platform/ktmemory.h"
#include "platform/ktstackbounds.h"
#include "platform/ktwchar.h"

namespace {

using Rule = GrammarRule;

// Case-insensitive compare folds ASCII letters only, like the platform's
// KTStrICmpAscii; a table keeps the per-character work to one load.
struct AsciiFold {
  char16_t lower[128];
  constexpr AsciiFold() : lower() {
    for (int c = 0; c < 128; ++c) lower[c] = static_cast<char16_t>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
};
constexpr AsciiFold kFold;

bool EqualAsciiFold(const char16_t* a, const char16_t* b, int n) {
  for (int i = 0; i < n; ++i) {
    const char16_t ca = a[i], cb = b[i];
    if (ca == cb) continue;
    if ((ca | cb) >= 128 || kFold.lower[ca] != kFold.lower[cb]) return false;
  }
  return true;
}

bool EqualExact(const char16_t* a, const char16_t* b, int n) {
  for (int i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

bool IsTerminal(const Rule* rule) {
  const char16_t k = rule->GetKind();
  return k != Rule::kNamed && k != Rule::kGroup;
}

// Units the skip of an up-to scan tests at once.
static_assert(std::endian::native == std::endian::little, "SkipScanned reads lanes in memory order");
constexpr int kSkipBlock = 16;
// Units an up-to scan reads one by one before it skips: most runs are a few
// units long (a line end and an indent between tags), and for those a test
// of a whole block costs more.
constexpr int kUnitsBeforeSkip = 6;

// The first unit from p on that may not scan past `upTo` (one below U+0020
// or one of its few stops, see GrammarRule::GetSkipStopCount), testing
// kSkipBlock units at a time; every unit before it scans past. Where fewer
// than kSkipBlock units are left, or the rule has no such stops, p itself
// (the caller reads unit by unit).
inline const char16_t* SkipScanned(const Rule* upTo, const char16_t* p, const char16_t* end) {
  if (upTo->GetSkipStopCount() < 0) return p;
  typedef uint16_t EightUnits __attribute__((vector_size(16)));
  EightUnits stops[Rule::kMaxSkipStops];
  std::memcpy(stops, upTo->GetSkipStopLanes(), sizeof stops);
  while (end - p >= kSkipBlock) {
    EightUnits low;
    EightUnits high;
    std::memcpy(&low, p, sizeof low);
    std::memcpy(&high, p + 8, sizeof high);
    auto heldLow = low < 0x20;
    auto heldHigh = high < 0x20;
    for (int i = 0; i < Rule::kMaxSkipStops; ++i) {
      heldLow |= low == stops[i];
      heldHigh |= high == stops[i];
    }
    // Each lane is all ones or all zeros.
#if defined(__SSE2__)
    // Packed to one byte a lane, one bit a unit: the lowest names the first
    // unit held.
    typedef char SixteenBytes __attribute__((vector_size(16)));
    typedef short EightShorts __attribute__((vector_size(16)));
    const SixteenBytes packed = __builtin_ia32_packsswb128(reinterpret_cast<EightShorts>(heldLow),
                                                           reinterpret_cast<EightShorts>(heldHigh));
    if (const unsigned held = static_cast<unsigned>(__builtin_ia32_pmovmskb128(packed)))
      return p + std::countr_zero(held);
#else
    // The lowest set bit of the first word that has one names the first
    // unit held.
    uint64_t words[4];
    std::memcpy(words, &heldLow, sizeof heldLow);
    std::memcpy(words + 2, &heldHigh, sizeof heldHigh);
    for (int w = 0; w < 4; ++w) {
      if (words[w]) return p + w * 4 + std::countr_zero(words[w]) / 16;
    }
#endif
    p += kSkipBlock;
  }
  return p;
}

// The end of the run of `cls` (a compiled class of a linked grammar) from
// p, before a line end as well: one table load per unit.
inline const char16_t* RunEnd(const Rule* cls, const char16_t* p, const char16_t* end) {
  const uint8_t* run = cls->GetRunTable();
  while (p < end && run[*p > 255 ? 255 : *p]) ++p;
  return p;
}

bool StopsAt(const Rule* upTo, const char16_t* p, int left) {
  if (const Rule* cls = upTo->GetStopClass()) return cls->ClassContains(*p);
  for (const Rule* lit : upTo->GetStopLiterals()) {
    const std::u16string& text = lit->GetText();
    const int n = static_cast<int>(text.size());
    if (n <= left && (n == 0 || p[0] == text[0]) && EqualExact(p, text.data(), n)) return true;
  }
  return false;
}

}  // namespace

int ParseNode::CountChildren() const {
  int n = 0;
  for (const ParseNode* c = firstChild; c; c = c->next) ++n;
  return n;
}

ParseNode* ParseNode::Find(const GrammarRule* r, int depth) {
  for (ParseNode* n = this; n; n = n->next) {
    if (n->rule == r) return n;
    if (depth > 0 && n->firstChild) {
      if (ParseNode* found = n->firstChild->Find(r, depth - 1)) return found;
    }
  }
  return nullptr;
}

ParsoParser::ParsoParser(const ParsoGrammar* grammar) { SetGrammar(grammar); }

ParsoParser::~ParsoParser() = default;

void ParsoParser::SetGrammar(const ParsoGrammar* grammar) {
  ForgetReplays();
  grammar_ = grammar;
  valid_ = grammar && grammar->IsLoaded();
  // The second operand of the end-name checks, when all of them share one.
  countedRule_ = nullptr;
  if (!valid_) return;
  bool several = false;
  for (int i = 0, n = grammar->GetRuleCount(); i < n && !several; ++i) {
    const GrammarRule* rule = grammar->GetRule(i);
    if (!rule || rule->GetConstraints().size() < 2) continue;
    const GrammarRule* right = rule->GetConstraints()[1];
    if (countedRule_ && countedRule_ != right) several = true;
    countedRule_ = right;
  }
  if (several) countedRule_ = nullptr;
}

// ---------------------------------------------------------------------------
// Nodes

void ParseNodeArena::TakeNewBlock() {
  void* memory = KTTakePageBlock(growing_ || blocks_.size() >= kBlocksBeforeGrowing);
  if (!memory) throw std::bad_alloc();
  if (!KeepsLinksInRange(static_cast<Block*>(memory))) {
    UnmapBlock(memory);
    throw std::bad_alloc();
  }
  current_ = static_cast<Block*>(memory);
  current_->live = 0;
  current_->used = 0;
  current_->index = blocks_.size();
  current_->text = text_;
  blocks_.push_back(current_);
}

void ParseNodeArena::SetText(const char16_t* text) {
  text_ = text;
  for (Block* block : blocks_) block->text = text;
}

bool ParseNodeArena::KeepsLinksInRange(const Block* block) {
  // A link holds a signed 32-bit count of 8-byte steps.
  constexpr uintptr_t kLinkReach = (uintptr_t{1} << 31) * 8 - 8;
  const uintptr_t start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t lowest = std::min(lowest_, start);
  const uintptr_t highest = std::max(highest_, start + kBlockBytes);
  if (highest - lowest > kLinkReach) return false;
  lowest_ = lowest;
  highest_ = highest;
  return true;
}

void ParseNodeArena::BeginConsuming() {
  consuming_ = true;
  freeList_ = nullptr;
  current_ = nullptr;
  for (size_t i = blocks_.size(); i-- > 0;) {
    if (blocks_[i]->live == 0) ReleaseBlock(blocks_[i]);
  }
}

void ParseNodeArena::ReleaseBlock(Block* block) {
  Block* last = blocks_.back();
  blocks_[block->index] = last;
  last->index = block->index;
  blocks_.pop_back();
  UnmapBlock(block);
}

ParseNodeArena::~ParseNodeArena() { ReleaseAll(); }

// Blocks are page blocks rather than heap blocks: a block given back while a
// document tree grows returns its pages at once (the tree's pools take it
// next, pages and all), where a heap block would leave its aligned
// neighbourhood behind as free but resident memory that the tree's small
// allocations then touch as well.
void ParseNodeArena::UnmapBlock(void* block) const { KTGiveBackPageBlock(block, takenSoon_); }

// Every block goes back, none is kept for this arena's next parse: a parser
// lives as long as its document's loader, and the program holds many at once
// (a stylesheet's every module, the DTD's fragments), so a block kept per
// parser would stay in memory, used by none, to the end of the run. The
// blocks waiting for a taker give the next parse its first block with its
// pages still in place all the same.
void ParseNodeArena::ReleaseAll() {
  for (Block* block : blocks_) UnmapBlock(block);
  blocks_.clear();
  current_ = nullptr;
  freeList_ = nullptr;
  consuming_ = false;
  lowest_ = UINTPTR_MAX;
  highest_ = 0;
}

void ParsoParser::ResetNode(ParseNode* node, const char16_t* text, int available, int line,
                            const GrammarRule* rule) {
  FreeChildren(node);
  node->rule = rule;
  node->textStart = text;
  node->length = available;
  node->line = line;
  node->valid = rule && text ? 1 : 0;
}

void ParsoParser::ReleaseNode(ParseNode* node) { arena_.Free(node); }

void ParsoParser::FreeChildrenAndSiblings(ParseNode* n) {
  // Iterative: a node's children are spliced in front of the rest of the
  // work list, so the walk needs no stack whatever the tree's depth.
  while (n) {
    ParseNode* rest = n->next;
    if (ParseNode* child = n->firstChild) {
      ParseNode* last = child;
      while (last->next) last = last->next;
      last->next = rest;
      rest = child;
    }
    ReleaseNode(n);
    n = rest;
  }
}

void ParsoParser::FreeChildren(ParseNode* node) {
  FreeChildrenAndSiblings(node->firstChild);
  node->firstChild = nullptr;
}

bool ParsoParser::RemoveNode(ParseNode* top, ParseNode* node) {
  return RemoveNodeWithin(top, node, kMaxNestingDepth);
}

bool ParsoParser::RemoveNodeWithin(ParseNode* top, ParseNode* node, int depth) {
  ParseNode* prev = nullptr;
  for (ParseNode* c = top->firstChild; c; prev = c, c = c->next) {
    if (c == node) {
      (prev ? prev->next : top->firstChild) = c->next;
      c->next = nullptr;
      FreeChildrenAndSiblings(c);
      return true;
    }
    if (depth > 1 && c->firstChild && RemoveNodeWithin(c, node, depth - 1)) return true;
  }
  return false;
}

void ParsoParser::DropTree() {
  root_ = nullptr;
  shared_ = SharedPrefix();
  arena_.ReleaseAll();
}

// ---------------------------------------------------------------------------
// Failures

void ParsoParser::ResetFailure() {
  failPos_ = nullptr;
  failRule_ = nullptr;
  failChild_ = -1;
  hasMessage_ = false;
  failMessage_.clear();
}

void ParsoParser::Record(const char16_t* pos, const GrammarRule* rule, int childIndex) {
  // At equal positions the first failure stays: it is the innermost one.
  if (aborted_ || pos <= failPos_) return;
  failPos_ = pos;
  failRule_ = rule;
  failChild_ = childIndex;
  hasMessage_ = false;
  failMessage_.clear();
}

namespace {

// The rule that a failure of `rule` names: a literal or named rule itself;
// for a group the expectation of its first element (the first alternative
// of a choice); null for a class or code, which have no text to show.
const GrammarRule* ExpectedRule(const GrammarRule* rule) {
  for (int hops = 0; rule && hops < 16; ++hops) {
    const char16_t kind = rule->GetKind();
    if (kind == Rule::kLiteral || kind == Rule::kNamed) return rule;
    if (kind != Rule::kGroup || rule->GetElements().empty()) return nullptr;
    rule = rule->GetElements().front().rule;
  }
  return nullptr;
}

}  // namespace

void ParsoParser::RecordExpected(const char16_t* pos, const GrammarRule* element,
                                 const GrammarRule* sequence, int index) {
  if (const GrammarRule* expected = ExpectedRule(element)) {
    Record(pos, expected, -1);
  } else if (sequence->GetKind() == Rule::kNamed) {
    Record(pos, sequence, index);
  }
}

void ParsoParser::RecordMessage(const char16_t* pos, const GrammarRule* rule,
                                std::u16string message) {
  ++messageCount_;
  failPos_ = pos;
  failRule_ = rule;
  failChild_ = -1;
  hasMessage_ = true;
  failMessage_ = std::move(message);
}

int ParsoParser::GetErrorOffset() const {
  if (!failPos_ || !text_) return 0;
  return static_cast<int>(failPos_ - text_);
}

// The line and column of the furthest failure, counted as the matching
// counts lines: a CR ends a line, so a failure between the CR and the LF of
// a pair starts the next line. Only the text up to the failure (and the unit
// there, which tells such a pair) is mapped.
void ParsoParser::GetErrorPlace(int& line, int& column) const {
  line = 0;
  column = 0;
  if (!failPos_ || !text_) return;
  const int offset = static_cast<int>(failPos_ - text_);
  const KTLineMap lines(std::u16string_view(text_, static_cast<size_t>(std::min(offset + 1, textLength_))));
  if (!lines.Locate(std::min(offset, textLength_), line, column,
                    {KTLineMap::Columns::kCharacters, KTLineMap::PairMiddle::kOnNextLine})) {
    line = 0;
    column = 0;
  }
}

int ParsoParser::GetErrorLine() const {
  int line, column;
  GetErrorPlace(line, column);
  return line;
}

int ParsoParser::GetErrorColumn() const {
  int line, column;
  GetErrorPlace(line, column);
  return column;
}

std::u16string ParsoParser::GetErrorText() const {
  if (hasMessage_) return failMessage_;
  if (!failRule_) return {};
  if (!failRule_->GetDescription().empty()) return failRule_->GetDescription();
  std::u16string text = failRule_->GetText();
  const char16_t op = failRule_->GetOperator();
  if (op == Rule::kSequence || op == Rule::kChoice) {
    text += u" ::= ";
    failRule_->PrintExpression(text);
  }
  return text;
}

// ---------------------------------------------------------------------------
// Matching

bool ParsoParser::Equal(const char16_t* a, const char16_t* b, int n) const {
  return caseSensitive_ ? EqualExact(a, b, n) : EqualAsciiFold(a, b, n);
}

// A carriage return, a line feed, and a carriage return followed by a line
// feed each end one line. Whether a line feed follows a carriage return is
// read from the text itself, so the count does not depend on which rule
// matched the carriage return.
int ParsoParser::CountLineEnds(const char16_t* pos, int n) const {
  int lines = 0;
  for (int i = 0; i < n; ++i) {
    const char16_t c = pos[i];
    if (c > u'\r') continue;
    if (c == u'\r') {
      ++lines;
    } else if (c == u'\n' && (pos + i == text_ || pos[i - 1] != u'\r')) {
      ++lines;
    }
  }
  return lines;
}

int ParsoParser::FailLiteral(const GrammarRule* rule, const char16_t* pos) {
  Record(pos, rule, -1);
  return -1;
}

int ParsoParser::MatchTerminal(const GrammarRule* rule, char16_t mark, const char16_t* pos,
                               int available, int& line) {
  switch (rule->GetKind()) {
    case Rule::kLiteral: {
      const std::u16string& lit = rule->GetText();
      const int n = static_cast<int>(lit.size());
      if (n > available || !Equal(pos, lit.data(), n)) {
        Record(pos, rule, -1);
        return -1;
      }
      line += CountLineEnds(pos, n);
      return n;
    }
    case Rule::kClass:
      if (mark == u'*' || mark == u'+') {
        // One run takes every following character of the class.
        const char16_t* p = pos;
        const char16_t* end = pos + available;
        while (p < end) {
          const char16_t c = *p;
          if (!rule->ClassContains(c)) break;
          if (c <= u'\r') {
            if (c == u'\r' || (c == u'\n' && (p == text_ || p[-1] != u'\r'))) ++line;
          }
          ++p;
        }
        const int n = static_cast<int>(p - pos);
        return n > 0 ? n : -1;
      }
      [[fallthrough]];
    case Rule::kClassText:
      if (available < 1 || !rule->ClassContains(*pos)) return -1;
      line += CountLineEnds(pos, 1);
      return 1;
    case Rule::kCode:
      if (available < 1 || *pos != rule->GetCode()) return -1;
      if (*pos == u'\r' && available >= 2 && pos[1] == u'\n') {
        ++line;
        return 2;
      }
      line += CountLineEnds(pos, 1);
      return 1;
    default:
      return -1;
  }
}

// A terminal of an unlinked grammar (its elements have no steps): the
// common matches without a call, as Terminal does.
int ParsoParser::TerminalByKind(const GrammarRule* rule, char16_t mark, const char16_t* pos,
                                int available, int& line) {
  if (available > 0 && *pos > u'\r') {
    const char16_t kind = rule->GetKind();
    if (kind == Rule::kClass) {
      if (mark != u'*' && mark != u'+') {
        if (rule->ClassContains(*pos)) return 1;
      } else {
        const char16_t* p = pos;
        const char16_t* end = pos + available;
        while (p < end && *p > u'\r' && rule->ClassContains(*p)) ++p;
        if (p == end || !rule->ClassContains(*p)) return p == pos ? -1 : static_cast<int>(p - pos);
      }
    } else if (kind == Rule::kLiteral) {
      const std::u16string& text = rule->GetText();
      if (text.size() == 1 && text[0] == *pos) return 1;
    }
  }
  return MatchTerminal(rule, mark, pos, available, line);
}

// The common terminal matches without a call, by the element's step: a
// character of a literal of one character or of a class, or a class run,
// where no line ends. All else, failures of literals (which record them)
// too, goes to MatchTerminal.
[[gnu::always_inline]] inline int ParsoParser::Terminal(const GrammarRule::Element& element,
                                                      const char16_t* pos, int available,
                                                      int& line) {
  const Rule* rule = element.rule;
  switch (element.step) {
    case Rule::kStepLiteral1:
      if (available > 0 && *pos == element.first) return 1;
      break;
    case Rule::kStepClass:
      if (available > 0 && *pos > u'\r') return rule->ClassContains(*pos) ? 1 : -1;
      break;
    case Rule::kStepClassRun:
      if (available > 0 && *pos > u'\r') {
        const char16_t* p = pos;
        const char16_t* end = pos + available;
        p = RunEnd(rule, p, end);
        if (p == end || !rule->ClassContains(*p)) return p == pos ? -1 : static_cast<int>(p - pos);
      }
      break;
    case Rule::kStepTerminal:
      // A two-character literal of marks matches here, and fails here as
      // MatchTerminal would fail it: it compares as it is in either case
      // setting.
      if (element.second) {
        if (available >= 2 && pos[0] == element.first && pos[1] == element.second) return 2;
        return FailLiteral(rule, pos);
      }
      break;
    default:
      return TerminalByKind(rule, element.mark, pos, available, line);
  }
  return MatchTerminal(rule, element.mark, pos, available, line);
}

[[gnu::always_inline]] inline void ParsoParser::Attach(ChildList& children, ParseNode* child) {
  const Rule* rule = child->rule;
  if (rule->IsDrop()) {
    FreeChildrenAndSiblings(child);
    return;
  }
  (children.tail ? children.tail->next : children.parent->firstChild) = child;
  children.tail = child;
  if (!children.unstable && !rule->IsKeep()) {
    // A child that Flatten would replace or remove (or might: a chained one).
    const ParseNode* only = child->firstChild;
    const char16_t kind = rule->GetKind();
    children.unstable = kind == Rule::kGroup ? only != nullptr
                        : kind == Rule::kNamed ? (only ? !only->next : !rule->IsToken())
                                               : false;
  }
}

// The matches of a flat name or run that MatchFlat's first loops find,
// without the call: a name of characters of its classes, or a run, where no
// line ends; -2 for a name or a run under '+' that cannot begin (recorded as
// MatchFlat records it); -1 where MatchFlat must decide.
[[gnu::always_inline]] inline int ParsoParser::QuickFlat(const GrammarRule* rule,
                                                       const char16_t* pos, int available) {
  const Rule* head = rule->GetFlatHead();
  if (available == 0) return -1;
  if (!head) {
    // An up-to scan that cannot take its first character (text data at a
    // reference or a tag), recorded as MatchFlat records it.
    if (rule->GetOperator() == Rule::kUpTo && !rule->ScansPast(*pos) &&
        !rule->GetElement(0).rule->ClassContains(*pos)) {
      if (rule->GetKind() == Rule::kNamed) Record(pos, rule, -1);
      return -2;
    }
    return -1;
  }
  const char16_t* end = pos + available;
  const char16_t* p = pos;
  const Rule* tail = rule->GetFlatTail();
  if (rule->GetFlatForm() == Rule::kFlatAround) {
    // A run, the character (compared exactly), a run.
    p = RunEnd(head, p, end);
    if (p == end || *p != rule->GetFlatChar() || *p <= u'\r') return -1;
    ++p;
  } else {
    if (*pos <= u'\r') return -1;
    if (!head->ClassContains(*pos)) {
      if (!tail && rule->GetElement(0).mark == u'*') return -1;
      if (rule->GetKind() == Rule::kNamed) Record(pos, rule, 0);
      return -2;
    }
    if (!tail) tail = head;
    p = pos + 1;
  }
  p = RunEnd(tail, p, end);
  if (p < end && tail->ClassContains(*p)) return -1;
  return static_cast<int>(p - pos);
}

[[gnu::always_inline]] inline bool ParsoParser::Predicted(const GrammarRule* rule,
                                                        const char16_t* pos, int available,
                                                        int depth) const {
  if (rule->CannotStartWith(*pos) ||
      (available >= 2 && shortcuts_ && !rule->MayStartWith(pos[0], pos[1], caseSensitive_))) {
    return depth + rule->GetStartNesting() < kMaxNestingDepth;
  }
  // Failures at the next character must lie at or before the furthest too.
  return pos < failPos_ && rule->HasLead() && available >= 2 && shortcuts_ &&
         pos[0] == rule->GetLead() && !rule->SecondMayBe(pos[1]) &&
         depth + rule->GetSecondNesting() < kMaxNestingDepth;
}

[[gnu::always_inline]] inline bool ParsoParser::TryElement(const GrammarRule::Element& element, const char16_t* pos,
                             int available, int& line, int& matched, ChildList& children, int depth) {
  if (aborted_) return false;
  const Rule* rule = element.rule;
  const uint8_t step = element.step;
  if (step == Rule::kStepUnknown ? IsTerminal(rule) : step <= Rule::kStepTerminal) {
    const int n = Terminal(element, pos, available, line);
    if (n < 0) return false;
    matched = n;
    return true;
  }
  // An attempt that cannot begin at this character, or whose leading
  // literals all differ from the next two, is skipped when it could not
  // record a failure either (it fails at its start, and one at or before the
  // furthest is never recorded) and could not reach the nesting limit: the
  // outcome is the same.
  if (available > 0 && pos <= failPos_) {
    if (Predicted(rule, pos, available, depth)) return false;
  } else if (available > 0 && rule->FailsSilentlyAtStart() && shortcuts_ && rule->CannotStartWith(*pos) &&
             depth + rule->GetStartNesting() < kMaxNestingDepth) {
    // Past the furthest failure too: such an attempt records nothing.
    return false;
  }
  // At the furthest failure, or past it (an end tag after an end tag).
  if (pos >= failPos_ && rule->HasLead() && available >= 2 && shortcuts_ && pos[0] == rule->GetLead() &&
      !rule->SecondMayBe(pos[1])) [[unlikely]] {
    return TryLeadFailure(element, pos, available, line, matched, children, depth);
  }
  if (IsLimited(rule)) [[unlikely]]
    return TryLimited(element, pos, available, line, matched, children, depth);
  return TryElementBody(element, pos, available, line, matched, children, depth);
}

[[gnu::always_inline]] inline bool ParsoParser::SplicesAtOnce(const GrammarRule::Element& element,
                                                            const char16_t* pos, int available,
                                                            const ChildList& children, int depth) const {
  // TryElement's and TryElementBody's checks in their order, for an element
  // of kStepSpliced at available > 0: true where they would go straight to
  // TrySplicedGroup, without a skip, a replay or a limit.
  const Rule* rule = element.rule;
  if (aborted_) return false;
  if (pos <= failPos_) {
    if (Predicted(rule, pos, available, depth)) return false;
  } else if (rule->FailsSilentlyAtStart() && shortcuts_ && rule->CannotStartWith(*pos) &&
             depth + rule->GetStartNesting() < kMaxNestingDepth) {
    return false;
  }
  if (pos >= failPos_ && rule->HasLead() && available >= 2 && shortcuts_ && pos[0] == rule->GetLead() &&
      !rule->SecondMayBe(pos[1])) {
    return false;
  }
  return !IsLimited(rule) && flatten_ && shortcuts_ && !children.constrained && depth + 1 < kMaxNestingDepth &&
         reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) > stackFloor_ + kFlatStackMargin;
}

bool ParsoParser::TryLeadFailure(const GrammarRule::Element& element, const char16_t* pos, int available,
                                 int& line, int& matched, ChildList& children, int depth) {
  // Only an attempt that can meet no limit is replayed: one within reach of
  // the nesting limit or of the stack's end is made, and so is one whose
  // nested attempts of nesting-limited rules could reach the match nesting
  // limit (one inside the one past it fails the parse). The replay itself
  // stays in this small frame; the attempt is made in a frame of its own.
  const Rule* rule = element.rule;
  const int index = rule->GetIndex();
  const int nesting = rule->GetSecondNesting();
  if (pos[1] >= kLeadFailureChars || index < 0 || depth + nesting >= kMaxNestingDepth ||
      (limited_[0] && limitedOpen_ + nesting + 1 >= matchNestingLimit_) ||
      reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) <= stackFloor_ + kFlatStackMargin) {
    return AttemptLead(element, pos, available, line, matched, children, depth, false);
  }
  if (static_cast<size_t>(index) < leadFailures_.size()) {
    if (const LeadFailure* entries = leadFailures_[index].get()) {
      const LeadFailure& entry = entries[pos[1]];
      // Past the furthest failure, the attempt's failure at the next
      // character replaces what it records at its start; one that records
      // only there is made.
      if (entry.generation == generation_ && (entry.records || pos == failPos_)) {
        if (entry.records) Record(pos + 1, entry.rule, entry.child);
        return false;
      }
    }
  }
  return AttemptLead(element, pos, available, line, matched, children, depth, true);
}

bool ParsoParser::AttemptLead(const GrammarRule::Element& element, const char16_t* pos, int available,
                              int& line, int& matched, ChildList& children, int depth, bool remember) {
  LeadFailure* entry = nullptr;
  if (remember) {
    const size_t index = static_cast<size_t>(element.rule->GetIndex());
    if (index >= leadFailures_.size()) leadFailures_.resize(index + 1);
    std::unique_ptr<LeadFailure[]>& entries = leadFailures_[index];
    if (!entries) entries = std::make_unique<LeadFailure[]>(kLeadFailureChars);
    entry = &entries[pos[1]];
  }
  const uint64_t messagesBefore = messageCount_;
  const bool ok = IsLimited(element.rule)
                      ? TryLimited(element, pos, available, line, matched, children, depth)
                      : TryElementBody(element, pos, available, line, matched, children, depth);
  if (!entry || ok || aborted_ || messageCount_ != messagesBefore || hasMessage_) return ok;
  if (failPos_ == pos) {
    entry->records = 0;
  } else if (failPos_ == pos + 1) {
    entry->records = 1;
    entry->rule = failRule_;
    entry->child = failChild_;
  } else {
    return false;
  }
  entry->generation = generation_;
  return false;
}

bool ParsoParser::EnterLimited(const GrammarRule* rule, const char16_t* pos) {
  if (limitedOpen_ > matchNestingLimit_) {
    // An attempt inside the one past the limit: that one got past its start,
    // so it is a match of its own (an element whose content is being read).
    FailLimited();
    return false;
  }
  if (limitedOpen_ == matchNestingLimit_) {
    overPos_ = pos;
    overRule_ = rule;
  }
  ++limitedOpen_;
  return true;
}

bool ParsoParser::LeaveLimited(bool matched) {
  --limitedOpen_;
  if (!matched || limitedOpen_ != matchNestingLimit_) return matched;
  FailLimited();
  return false;
}

void ParsoParser::FailLimited() {
  if (aborted_) return;
  RecordMessage(overPos_, overRule_, limitMessage_);
  aborted_ = true;
}

bool ParsoParser::TryLimited(const GrammarRule::Element& element, const char16_t* pos, int available, int& line,
                             int& matched, ChildList& children, int depth) {
  if (!EnterLimited(element.rule, pos)) return false;
  return LeaveLimited(TryElementBody(element, pos, available, line, matched, children, depth));
}

void ParsoParser::SetMatchNestingLimit(const std::vector<const GrammarRule*>& rules, int limit,
                                       std::u16string message) {
  const GrammarRule* first = !rules.empty() ? rules[0] : nullptr;
  const GrammarRule* second = rules.size() > 1 ? rules[1] : nullptr;
  // A replayable rule reaches none of the limited rules; the limit itself
  // does not matter to it.
  if (first != limited_[0] || second != limited_[1]) ForgetReplays();
  limited_[0] = first;
  limited_[1] = second;
  matchNestingLimit_ = limit;
  limitMessage_ = std::move(message);
}

[[gnu::always_inline]] inline bool ParsoParser::TryElementBody(const GrammarRule::Element& element,
                                                             const char16_t* pos, int available, int& line,
                                                             int& matched, ChildList& children, int depth) {
  const Rule* rule = element.rule;
  const uint8_t step = element.step;
  if (step == Rule::kStepFlat && shortcuts_ && depth + 1 < kMaxNestingDepth &&
      reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) > stackFloor_ + kFlatStackMargin) {
    // What Match would do, without a node to match in: a flat rule makes no
    // nodes below it, and its node is made only once it matched. A failed
    // attempt leaves the line as it was, as Match's own copy would.
    int endLine = line;
    int n = QuickFlat(rule, pos, available);
    if (n == -1) n = MatchFlat(rule, pos, available, endLine);
    if (n < 0) return false;
    matched = n;
    if (!rule->IsDrop()) {
      ParseNode* child = NewNode(pos, n, line, rule);
      child->valid = 1;
      Attach(children, child);
    }
    line = endLine;
    return true;
  }
  if (step == Rule::kStepSpliced && flatten_ && shortcuts_ && !children.constrained &&
      depth + 1 < kMaxNestingDepth &&
      reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) > stackFloor_ + kFlatStackMargin) {
    return TrySplicedGroup(rule, pos, available, line, matched, children, depth);
  }
  // One call for both kinds, which TryWithoutNodes tells apart: a second
  // call here would enlarge every frame this step is inlined into.
  if (rule->HasOwnStep() && shortcuts_) {
    return TryWithoutNodes(rule, pos, available, line, matched, children, depth);
  }
  ParseNode* child = NewNode(pos, available, line, rule);
  // A sequence goes to a match of its own form, which steps through its
  // elements in the same frame.
  const int endLine = !rule->IsSequenceRule() || !shortcuts_ ? Match(child, element.mark, depth + 1)
                      : rule->HasPrefixPeers()               ? MatchPeerSequence(child, depth + 1)
                                                             : MatchPlainSequence(child, depth + 1);
  if (!endLine) {
    ReleaseNode(child);
    return false;
  }
  matched = child->length;
  line = endLine;
  Attach(children, child);
  return true;
}

bool ParsoParser::TryWithoutNodes(const GrammarRule* rule, const char16_t* pos, int available,
                                  int& line, int& matched, ChildList& children, int depth) {
  // Jumps only, without a frame of its own.
  if (rule->KeepsNoChildren()) return ScanWithoutNodes(rule, pos, available, line, matched, children, depth);
  if (rule->HasSplicedAlternatives()) return TrySplicedChoice(rule, pos, available, line, matched, children, depth);
  return TryFlatSteps(rule, pos, available, line, matched, children, depth);
}

bool ParsoParser::ScanWithoutNodes(const GrammarRule* rule, const char16_t* pos, int available,
                                   int& line, int& matched, ChildList& children, int depth) {
  if (available > 0 && rule->FailsAtOnceAt(*pos)) {
    // Text data at a tag: ScanRepeatedChoice would end the choice's
    // repetition at once, recording only its leading rule's failure, where
    // it meets no limit (a frame below this one).
    const Rule* choice = rule->GetElement(0).rule;
    const Rule* flat = choice->GetLeadingFlat();
    if (depth + 3 + choice->GetNesting() < kMaxNestingDepth && !IsLimited(choice) && !IsLimited(flat) &&
        reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) >
            stackFloor_ + kFlatStackMargin + 2 * kScanFrameAllowance) {
      Record(pos, flat, choice->GetRepeatStopChild());
      return false;
    }
  }
  int endLine = line;
  const int n = rule->IsRepeatedChoice() ? ScanRepeatedChoice(rule, pos, available, endLine, depth + 1)
                                         : Scan(rule, pos, available, endLine, depth + 1);
  if (n < 0) return false;
  matched = n;
  if (!rule->IsDrop()) {
    // A token keeps its node, without children.
    ParseNode* child = NewNode(pos, n, line, rule);
    child->valid = 1;
    Attach(children, child);
  }
  line = endLine;
  return true;
}

// ScanElement's take of a choice led by a flat rule (GetLeadingFlat), once
// its checks have passed: the choice at depth + 1, its first alternative
// one level further down.
[[gnu::always_inline]] inline int ParsoParser::ScanLedChoice(const GrammarRule* rule, const GrammarRule* flat,
                                                           const char16_t* pos, int available, int& line,
                                                           int depth, bool takePlainLast) {
  // The choice's first alternative as Scan would try it one level down:
  // when it matches, so does the choice, with nothing recorded; when it
  // fails (recording what Scan would), Scan goes on with the others.
  // Where it fails at once and no other alternative can begin, the
  // choice fails, recording what they would.
  if (rule->StopsRepeatAt(*pos) && depth + rule->GetNesting() + 1 < kMaxNestingDepth) {
    Record(pos, flat, rule->GetRepeatStopChild());
    if (rule->GetKind() == Rule::kNamed) Record(pos, rule, -1);
    return -1;
  }
  const int quick = QuickFlat(flat, pos, available);
  if (quick >= 0) return quick;
  if (quick == -1) {
    int endLine = line;
    const int n = MatchFlat(flat, pos, available, endLine);
    if (n >= 0) {
      line = endLine;
      return n;
    }
  }
  // The alternatives that cannot begin here, which the prediction skips
  // now that a failure is recorded here, are passed over without
  // entering the choice.
  const auto& alternatives = rule->GetElements();
  size_t next = 1;
  while (next < alternatives.size() && alternatives[next].step > Rule::kStepTerminal && pos <= failPos_ &&
         alternatives[next].rule->CannotStartWith(*pos) &&
         depth + 1 + alternatives[next].rule->GetStartNesting() < kMaxNestingDepth) {
    ++next;
  }
  if (next == alternatives.size()) {
    if (rule->GetKind() == Rule::kNamed) Record(pos, rule, -1);
    return -1;
  }
  if (rule->HasFlatAlternatives()) return ScanFlatAlternatives(rule, pos, available, line, depth + 1, static_cast<int>(next));
  if (const Rule* last = rule->GetPlainLast();
      takePlainLast && last && next + 1 == alternatives.size() && !IsLimited(last)) {
    // Only the last alternative is left (a reference after text): Scan of
    // the choice would take it alone, as ScanElement takes such a rule, so
    // it is taken here without entering the choice.
    int n = -1;
    if (!(pos <= failPos_ && Predicted(last, pos, available, depth + 1))) {
      n = Replayed(last, pos, available, depth + 2);
      if (n == -2) n = ScanReplayed(last, pos, available, line, depth + 2);
    }
    if (n < 0 && rule->GetKind() == Rule::kNamed) Record(pos, rule, -1);
    return n;
  }
  return Scan(rule, pos, available, line, depth + 1, static_cast<int>(next));
}

// The element step of Scan: TryElement where no nodes are made.
[[gnu::always_inline]] inline int ParsoParser::ScanElement(const GrammarRule::Element& element,
                                                         const char16_t* pos, int available,
                                                         int& line, int depth) {
  if (aborted_) return -1;
  const Rule* rule = element.rule;
  const uint8_t step = element.step;
  if (step == Rule::kStepUnknown ? IsTerminal(rule) : step <= Rule::kStepTerminal) {
    return Terminal(element, pos, available, line);
  }
  if (available > 0 && pos <= failPos_ && Predicted(rule, pos, available, depth)) return -1;
  if (IsLimited(rule)) [[unlikely]] {
    if (!EnterLimited(rule, pos)) return -1;
    const int n = Scan(rule, pos, available, line, depth + 1);
    return LeaveLimited(n >= 0) ? n : -1;
  }
  if (const Rule* flat = rule->GetLeadingFlat();
      flat && available > 0 && depth + 2 < kMaxNestingDepth && !IsLimited(flat) &&
      reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) > stackFloor_ + kFlatStackMargin &&
      !(pos <= failPos_ && Predicted(flat, pos, available, depth + 1))) {
    return ScanLedChoice(rule, flat, pos, available, line, depth, false);
  }
  if (step == Rule::kStepFlat && depth + 1 < kMaxNestingDepth &&
      reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) > stackFloor_ + kFlatStackMargin) {
    const int quick = QuickFlat(rule, pos, available);
    if (quick >= 0) return quick;
    if (quick == -2) return -1;
    int endLine = line;
    const int n = MatchFlat(rule, pos, available, endLine);
    if (n >= 0) line = endLine;
    return n;
  }
  if (rule->HasFlatSteps()) return ScanFlatSteps(rule, pos, available, line, depth + 1);
  return Scan(rule, pos, available, line, depth + 1);
}

int ParsoParser::ScanFlatAlternatives(const GrammarRule* rule, const char16_t* start, int available, int& line,
                                      int depth, int from) {
  // Scan's own checks, and those ScanElement makes before it takes a flat
  // rule at once: elsewhere Scan.
  if (depth + 1 >= kMaxNestingDepth ||
      reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) <= stackFloor_ + kFlatStackMargin) {
    return Scan(rule, start, available, line, depth, from);
  }
  const auto& elements = rule->GetElements();
  for (size_t i = static_cast<size_t>(from); i < elements.size(); ++i) {
    const Rule* flat = elements[i].rule;
    // As ScanElement takes each; a limited one, and those after it, Scan.
    if (IsLimited(flat)) [[unlikely]]
      return Scan(rule, start, available, line, depth, static_cast<int>(i));
    if (start <= failPos_ && Predicted(flat, start, available, depth)) continue;
    int n = QuickFlat(flat, start, available);
    if (n == -1) {
      int endLine = line;
      n = MatchFlat(flat, start, available, endLine);
      if (n >= 0) line = endLine;
    }
    if (n >= 0) return n;
  }
  if (rule->GetKind() == Rule::kNamed) Record(start, rule, -1);
  return -1;
}

int ParsoParser::ScanFlatSteps(const GrammarRule* rule, const char16_t* start, int available, int& line,
                               int depth) {
  // Scan's own checks, and those ScanElement makes before it takes a flat
  // rule at once, with room for the frames Scan would use: elsewhere Scan.
  constexpr uintptr_t kFrameAllowance = 4096;
  if (depth + 1 >= kMaxNestingDepth ||
      reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) <= stackFloor_ + kFlatStackMargin + kFrameAllowance) {
    return Scan(rule, start, available, line, depth);
  }
  const auto& elements = rule->GetElements();
  int endLine = line;
  int used = 0;
  for (size_t i = 0; i < elements.size(); ++i) {
    const Rule::Element& e = elements[i];
    int count = 0;
    if (e.step == Rule::kStepFlat) {
      // As ScanElement takes a flat rule, once. A limited one goes to Scan,
      // which meets the elements before it again, as matches that record
      // nothing.
      if (IsLimited(e.rule)) [[unlikely]]
        return Scan(rule, start, available, line, depth);
      if (used < available) {
        const char16_t* pos = start + used;
        const int left = available - used;
        int n = -1;
        if (!(pos <= failPos_ && Predicted(e.rule, pos, left, depth))) {
          n = QuickFlat(e.rule, pos, left);
          if (n == -1) {
            int flatLine = endLine;
            n = MatchFlat(e.rule, pos, left, flatLine);
            if (n >= 0) endLine = flatLine;
          }
        }
        if (n >= 0) {
          used += n;
          count = 1;
        }
      }
    } else {
      while (used < available) {
        const int n = Terminal(e, start + used, available - used, endLine);
        if (n < 0) break;
        used += n;
        ++count;
        if (!(e.mark == u'*' || e.mark == u'+') || n == 0 || e.rule->GetKind() == Rule::kClass) break;
      }
    }
    if (count == 0 && !(e.mark == u'?' || e.mark == u'*')) {
      if (used == available) RecordExpected(start + used, e.rule, rule, static_cast<int>(i));
      if (rule->GetKind() == Rule::kNamed) Record(start, rule, static_cast<int>(i));
      return -1;
    }
  }
  line = endLine;
  return used;
}

// Scan for a rule of GrammarRule::IsRepeatedChoice at `depth`: the repeated
// choice taken as ScanRepeat and ScanElement take it, in one loop, where
// neither the rule nor the choice could meet a limit; elsewhere Scan.
int ParsoParser::ScanRepeatedChoice(const GrammarRule* rule, const char16_t* start, int available, int& line,
                                    int depth) {
  const Rule::Element& e = rule->GetElement(0);
  const Rule* choice = e.rule;
  const Rule* flat = choice->GetLeadingFlat();
  if (aborted_ || depth + 2 >= kMaxNestingDepth || IsLimited(choice) || IsLimited(flat) ||
      reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) <= stackFloor_ + kFlatStackMargin + kScanFrameAllowance) {
    return Scan(rule, start, available, line, depth);
  }
  int endLine = line;
  int used = 0;
  int count = 0;
  while (used < available && !aborted_) {
    const char16_t* pos = start + used;
    const int left = available - used;
    int n;
    if (pos <= failPos_ && Predicted(choice, pos, left, depth)) break;
    if (pos <= failPos_ && Predicted(flat, pos, left, depth + 1)) {
      n = Scan(choice, pos, left, endLine, depth + 1);
    } else {
      n = ScanLedChoice(choice, flat, pos, left, endLine, depth, true);
    }
    if (n < 0) break;
    used += n;
    ++count;
    if (e.mark != u'*' && e.mark != u'+') break;
    if (n == 0) break;
  }
  if (count == 0 && e.mark != u'*' && e.mark != u'?') {
    if (used == available) RecordExpected(start + used, choice, rule, 0);
    if (rule->GetKind() == Rule::kNamed) Record(start, rule, 0);
    return -1;
  }
  if (aborted_) {
    if (rule->GetKind() == Rule::kNamed) Record(start, rule, -1);
    return -1;
  }
  line = endLine;
  return used;
}

void ParsoParser::ForgetReplays() {
  replayRules_.clear();
  replayLastRule_ = nullptr;
  replayLastInfo_ = nullptr;
  replayEntries_.reset();
}

bool ParsoParser::ReplayableRule(const GrammarRule* rule, const uint64_t*& taken) {
  if (rule == replayLastRule_) {
    taken = replayLastInfo_->taken;
    return replayLastInfo_->replayable;
  }
  const int index = rule->GetIndex();
  if (index < 0) return false;
  if (static_cast<size_t>(index) >= replayRules_.size()) {
    replayRules_.resize(static_cast<size_t>(index) + 1);
    replayLastRule_ = nullptr;
  }
  ReplayRuleInfo& info = replayRules_[static_cast<size_t>(index)];
  taken = info.taken;
  // Worked out once, until the grammar or the limits change.
  if (!info.known) {
    info.known = true;
    info.replayable = WorkOutReplay(rule, info.taken);
  }
  replayLastRule_ = rule;
  replayLastInfo_ = &info;
  return info.replayable;
}

bool ParsoParser::WorkOutReplay(const GrammarRule* rule, uint64_t* taken) const {
  for (int w = 0; w < 4; ++w) taken[w] = 0;
  if (rule->GetNesting() > kReplayNesting || !grammar_) return false;
  auto take = [&](unsigned c) {
    const unsigned i = c > 255 ? 255u : c;
    taken[i >> 6] |= uint64_t{1} << (i & 63);
  };
  // Each rule of the grammar is visited once.
  std::vector<bool> seen(static_cast<size_t>(grammar_->GetRuleCount()));
  std::vector<const GrammarRule*> work{rule};
  while (!work.empty()) {
    const GrammarRule* r = work.back();
    work.pop_back();
    const int index = r->GetIndex();
    if (index < 0 || static_cast<size_t>(index) >= seen.size() || grammar_->GetRule(index) != r) return false;
    if (seen[static_cast<size_t>(index)]) continue;
    seen[static_cast<size_t>(index)] = true;
    if (IsLimited(r)) return false;
    switch (r->GetKind()) {
      case Rule::kLiteral:
        for (const char16_t c : r->GetText()) {
          take(c);
          // A case-insensitive parse takes either case of an ASCII letter.
          if (c < 128 && kFold.lower[c] != c) take(kFold.lower[c]);
          if (c >= u'a' && c <= u'z') take(c - 32u);
        }
        break;
      case Rule::kClass:
        for (unsigned c = 0; c < 256; ++c) {
          if (r->ClassContains(static_cast<char16_t>(c))) take(c);
        }
        break;
      case Rule::kCode:
        take(r->GetCode());
        break;
      case Rule::kNamed:
      case Rule::kGroup: {
        const char16_t op = r->GetOperator();
        if (op != Rule::kSingle && op != Rule::kSequence && op != Rule::kChoice) return false;
        if (!r->GetConstraints().empty()) return false;
        for (const Rule::Element& e : r->GetElements()) work.push_back(e.rule);
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// EqualExact four characters at a time, for keys a few words long.
static bool EqualKey(const char16_t* a, const char16_t* b, int n) {
  for (; n >= 4; n -= 4, a += 4, b += 4) {
    uint64_t x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    if (x != y) return false;
  }
  return EqualExact(a, b, n);
}

// Where the furthest failure stands against a key of `length` characters
// from pos: before it (-1), at a character of it, or past it (length).
// Every place a replayable match compares with the furthest failure or
// records one lies inside the key, so places alike against it act alike.
static int ReplayClass(const char16_t* failPos, const char16_t* pos, int length) {
  if (failPos < pos) return -1;
  const ptrdiff_t at = failPos - pos;
  return at >= length ? length : static_cast<int>(at);
}

[[gnu::always_inline]] inline bool ParsoParser::MayReplay(int available, int depth) const {
  // The conditions under which Scan cannot meet the nesting or the stack
  // limit, nor a stopped parse; the same for every match remembered and
  // replayed. A key holds at least three characters (a match takes one).
  return shortcuts_ && !aborted_ && available >= 3 && depth + kReplayNesting + 2 < kMaxNestingDepth &&
         reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) >
             stackFloor_ + kFlatStackMargin + (kReplayNesting + 2) * kScanFrameAllowance;
}

namespace {

// The set of entries a key's first three characters pick.
inline int ReplaySet(const char16_t* pos, int sets) {
  const uint32_t hash = ((static_cast<uint32_t>(pos[0]) * 31u + pos[1]) * 31u + pos[2]) * 0x9E3779B1u;
  return static_cast<int>(hash >> 26) & (sets - 1);
}

}  // namespace

[[gnu::always_inline]] inline int ParsoParser::Replayed(const GrammarRule* rule, const char16_t* pos, int available,
                                                       int depth) {
  // Only for the rule met last, once this parse's entries are in place.
  if (rule != replayLastRule_ || !replayEntries_ || !replayLastInfo_->replayable || !MayReplay(available, depth)) {
    return -2;
  }
  const ReplayEntry* const ways = &replayEntries_[ReplaySet(pos, kReplaySets) * kReplayWays];
  // A stored key whose characters stand here ends, as here, at the first
  // outside character and the one after it: it is this place's key.
  for (int w = 0; w < kReplayWays; ++w) {
    const ReplayEntry& entry = ways[w];
    if (entry.rule != rule || entry.keyLength > available || !EqualKey(entry.key, pos, entry.keyLength) ||
        entry.failBefore != ReplayClass(failPos_, pos, entry.keyLength)) {
      continue;
    }
    if (entry.failAt >= 0) Record(pos + entry.failAt, entry.failRule, entry.failChild);
    return entry.matched;
  }
  return -2;
}

int ParsoParser::ScanReplayed(const GrammarRule* rule, const char16_t* pos, int available, int& line, int depth) {
  const uint64_t* taken = nullptr;
  if (!MayReplay(available, depth) || !ReplayableRule(rule, taken)) return Scan(rule, pos, available, line, depth);
  if (!replayEntries_) replayEntries_ = std::make_unique<ReplayEntry[]>(kReplaySets * kReplayWays);
  if (const int replayed = Replayed(rule, pos, available, depth); replayed != -2) return replayed;
  // The key: the characters up to the first outside one, that one and the
  // next. No forward walk of a terminal passes the outside character, and
  // only a prediction made at it reads the next. A line end among the
  // characters before it would count lines (and read the character before
  // the key): those are left to Scan.
  const int limit = std::min(available, kReplayKeyMax) - 2;
  int outside = 0;
  for (;; ++outside) {
    if (outside > limit) return Scan(rule, pos, available, line, depth);
    const char16_t c = pos[outside];
    const unsigned i = c > 255 ? 255u : c;
    if (!((taken[i >> 6] >> (i & 63)) & 1u)) break;
    if (c <= u'\r') return Scan(rule, pos, available, line, depth);
  }
  // With at least the key's characters available, no comparison with the
  // characters left comes out otherwise for more of them.
  const int keyLength = outside + 2;
  const char16_t* failBeforeScan = failPos_;
  const int failBefore = ReplayClass(failPos_, pos, keyLength);
  int endLine = line;
  const int n = Scan(rule, pos, available, endLine, depth);
  if (n < 0 || aborted_ || endLine != line) {
    line = endLine;
    return n;
  }
  const int set = ReplaySet(pos, kReplaySets);
  ReplayEntry& entry = replayEntries_[set * kReplayWays + replayVictims_[set]];
  replayVictims_[set] = static_cast<uint8_t>((replayVictims_[set] + 1) % kReplayWays);
  entry.rule = rule;
  entry.keyLength = static_cast<int16_t>(keyLength);
  entry.failBefore = static_cast<int16_t>(failBefore);
  entry.matched = n;
  entry.failAt = failPos_ != failBeforeScan ? static_cast<int32_t>(failPos_ - pos) : -1;
  entry.failRule = failRule_;
  entry.failChild = failChild_;
  std::memcpy(entry.key, pos, sizeof(char16_t) * static_cast<size_t>(keyLength));
  return n;
}

// Repeat for Scan.
[[gnu::always_inline]] inline int ParsoParser::ScanRepeat(const GrammarRule::Element& element,
                                                        const char16_t* start, int available,
                                                        int& used, int& line, int depth) {
  int count = 0;
  while (used < available) {
    const int n = ScanElement(element, start + used, available - used, line, depth);
    if (n < 0) break;
    used += n;
    ++count;
    if (!(element.mark == u'*' || element.mark == u'+') || n == 0 ||
        element.rule->GetKind() == Rule::kClass) {
      break;
    }
  }
  return count;
}

int ParsoParser::Scan(const GrammarRule* rule, const char16_t* start, int available, int& line,
                      int depth, int from) {
  if (aborted_) return -1;
  if (depth >= kMaxNestingDepth) {
    RecordMessage(start, rule, u"rules nested deeper than 5000 levels");
    aborted_ = true;
    return -1;
  }
  if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stackFloor_) {
    RecordMessage(start, rule, u"rules nested deeper than the stack allows");
    aborted_ = true;
    return -1;
  }
  const auto& elements = rule->GetElements();
  int endLine = line;
  int used = 0;
  int failIndex = -1;
  bool ok = false;
  switch (rule->GetOperator()) {
    case Rule::kChoice:
      for (size_t i = static_cast<size_t>(from); i < elements.size(); ++i) {
        const Rule::Element& e = elements[i];
        used = 0;
        if (ScanRepeat(e, start, available, used, endLine, depth) > 0) {
          ok = true;
          break;
        }
        if (aborted_) break;
      }
      break;
    case Rule::kDifference: {
      // As MatchDifference.
      if (elements.empty()) {
        ok = true;
        break;
      }
      const int count = ScanRepeat(elements[0], start, available, used, endLine, depth);
      if (count == 0 && !(elements[0].mark == u'?' || elements[0].mark == u'*')) {
        failIndex = 0;
        break;
      }
      ok = true;
      for (size_t i = 1; i < elements.size(); ++i) {
        const Rule* excluded = elements[i].rule;
        if (excluded->GetKind() != Rule::kLiteral) continue;
        const std::u16string& lit = excluded->GetText();
        if (static_cast<int>(lit.size()) == used && EqualAsciiFold(start, lit.data(), used)) {
          failIndex = static_cast<int>(i);
          ok = false;
          break;
        }
      }
      break;
    }
    case Rule::kUpTo: {
      // As MatchUpTo.
      if (elements.empty()) break;
      const Rule::Element& a = elements[0];
      const char16_t kind = a.rule->GetKind();
      const char16_t* end = start + available;
      const char16_t* p = start;
      if (kind == Rule::kClass || kind == Rule::kClassText) {
        // Unit by unit for the first few units (most runs are short), then
        // block by block to each next unit that needs a look.
        const char16_t* skipFrom = p + kUnitsBeforeSkip;
        while (p < end) {
          if (p >= skipFrom) {
            p = SkipScanned(rule, p, end);
            if (p == end) break;
          }
          const char16_t c = *p;
          if (rule->ScansPast(c)) {
            ++p;
            continue;
          }
          if (!a.rule->ClassContains(c) || (rule->MayStopAt(c) && StopsAt(rule, p, static_cast<int>(end - p)))) break;
          if (c <= u'\r') {
            if (c == u'\r' || (c == u'\n' && (p == text_ || p[-1] != u'\r'))) ++endLine;
          }
          ++p;
        }
        used = static_cast<int>(p - start);
        ok = used > 0;
        break;
      }
      while (p < end && !StopsAt(rule, p, static_cast<int>(end - p))) ++p;
      const int span = static_cast<int>(p - start);
      int count = 0;
      while (used < span) {
        const int n = ScanElement(a, start + used, span - used, endLine, depth);
        if (n < 0) break;
        used += n;
        ++count;
        if (n == 0) break;
      }
      ok = count > 0;
      break;
    }
    default:
      ok = true;
      for (size_t i = 0; i < elements.size(); ++i) {
        const Rule::Element& e = elements[i];
        const int count = ScanRepeat(e, start, available, used, endLine, depth);
        if (count == 0 && !(e.mark == u'?' || e.mark == u'*')) {
          if (used == available) RecordExpected(start + used, e.rule, rule, static_cast<int>(i));
          failIndex = static_cast<int>(i);
          ok = false;
          break;
        }
      }
      // A constraint finds no nodes to compare here, as in a node without
      // children; linking keeps rules that check one out of these parts.
      if (ok && rule->GetConstraints().size() >= 2) ok = false;
      break;
  }
  if (!ok || aborted_) {
    if (rule->GetKind() == Rule::kNamed) Record(start, rule, failIndex);
    return -1;
  }
  line = endLine;
  return used;
}

int ParsoParser::MatchFlat(const GrammarRule* rule, const char16_t* start, int available,
                           int& line) {
  const auto& elements = rule->GetElements();
  if (rule->GetOperator() == Rule::kUpTo) {
    // As MatchUpTo scans a class.
    const Rule* scanned = elements[0].rule;
    const uint8_t* passes = rule->GetScanTable();
    const char16_t* p = start;
    const char16_t* end = start + available;
    const char16_t* skipFrom = p + kUnitsBeforeSkip;
    while (p < end) {
      if (p >= skipFrom) {
        p = SkipScanned(rule, p, end);
        if (p == end) break;
      }
      const char16_t c = *p;
      if (passes[c > 255 ? 255 : c]) {
        ++p;
        continue;
      }
      if (!scanned->ClassContains(c) || (rule->MayStopAt(c) && StopsAt(rule, p, static_cast<int>(end - p)))) break;
      if (c <= u'\r') {
        if (c == u'\r' || (c == u'\n' && (p == text_ || p[-1] != u'\r'))) ++line;
      }
      ++p;
    }
    if (p == start) {
      if (rule->GetKind() == Rule::kNamed) Record(start, rule, -1);
      return -1;
    }
    return static_cast<int>(p - start);
  }
  // The common forms at once, where no line ends; the general loop below
  // takes the rest, and every failure (which it records).
  const char16_t* const end = start + available;
  switch (rule->GetFlatForm()) {
    case Rule::kFlatRun: {
      const Rule* cls = elements[0].rule;
      const char16_t* p = start;
      p = RunEnd(cls, p, end);
      if (p > start && (p == end || !cls->ClassContains(*p))) return static_cast<int>(p - start);
      if (p == start && p < end && *p > u'\r') {
        // No run here, as the loop below would find: an empty match under
        // '*'; under '+' the failure of element 0 before the last character.
        if (elements[0].mark == u'*') return 0;
        if (rule->GetKind() == Rule::kNamed) Record(start, rule, 0);
        return -1;
      }
      break;
    }
    case Rule::kFlatName: {
      const Rule* head = elements[0].rule;
      const Rule* tail = elements[1].rule;
      if (available > 0 && *start > u'\r' && !head->ClassContains(*start)) {
        if (rule->GetKind() == Rule::kNamed) Record(start, rule, 0);
        return -1;
      }
      if (available == 0 || *start <= u'\r') break;
      const char16_t* p = start + 1;
      p = RunEnd(tail, p, end);
      if (p == end || !tail->ClassContains(*p)) return static_cast<int>(p - start);
      break;
    }
    default:
      break;
  }
  // As MatchSequence with Repeat over terminals.
  int used = 0;
  for (size_t i = 0; i < elements.size(); ++i) {
    const Rule::Element& e = elements[i];
    int count = 0;
    while (used < available) {
      const int n = Terminal(e, start + used, available - used, line);
      if (n < 0) break;
      used += n;
      ++count;
      if (!(e.mark == u'*' || e.mark == u'+') || n == 0 || e.rule->GetKind() == Rule::kClass) break;
    }
    if (count == 0 && e.mark != u'?' && e.mark != u'*') {
      if (used == available) RecordExpected(start + used, e.rule, rule, static_cast<int>(i));
      if (rule->GetKind() == Rule::kNamed) Record(start, rule, static_cast<int>(i));
      return -1;
    }
  }
  return used;
}

namespace {

bool Repeats(char16_t mark) { return mark == u'*' || mark == u'+'; }
bool Optional(char16_t mark) { return mark == u'?' || mark == u'*'; }

}  // namespace

// Tries one element at start+used as often as its mark allows, while
// characters remain; returns the number of matches. A class under '*' or '+'
// takes its run in one match; a match of no characters is not repeated.
[[gnu::always_inline]] inline int ParsoParser::Repeat(const GrammarRule::Element& element, const char16_t* start,
                        int available, int& used, int& line, ChildList& children, int depth) {
  int count = 0;
  while (used < available) {
    int n = 0;
    if (!TryElement(element, start + used, available - used, line, n, children, depth)) {
      break;
    }
    used += n;
    ++count;
    if (!Repeats(element.mark) || n == 0 || element.rule->GetKind() == Rule::kClass) break;
  }
  return count;
}

template <bool kBoundsOnce>
[[gnu::always_inline]] inline int ParsoParser::SequenceBody(const GrammarRule* rule, const char16_t* start, int available,
                                     int& used, int& line, ChildList& children, int depth) {
  const Rule::Element* const first = rule->GetElements().data();
  const Rule::Element* last = first + rule->GetElements().size();
  for (const Rule::Element* e = first; e != last; ++e) {
    const int count = Repeat(*e, start, available, used, line, children, depth);
    if (count == 0 && !Optional(e->mark)) {
      // A required element that the text ran out before was never tried, so
      // it recorded nothing; it is the failure at the end of the text.
      const int i = static_cast<int>(e - first);
      if (used == available) RecordExpected(start + used, e->rule, rule, i);
      return i;
    }
    // The nodes written above may alias the vector's bounds as far as the
    // compiler knows: read again, they cost a load at each turn, kept they
    // cost a register (MatchSequence's frame would grow, so it reads them).
    if constexpr (!kBoundsOnce) last = rule->GetElements().data() + rule->GetElements().size();
  }
  return -1;
}

bool ParsoParser::TryFlatSteps(const GrammarRule* rule, const char16_t* pos, int available,
                               int& line, int& matched, ChildList& children, int depth) {
  // As Match would match the rule one level down, in this frame: its
  // elements are terminals and flat rules, so nothing below it nests
  // further. Where Match's own checks could stop it, or the node is
  // watched, Match itself.
  ParseNode* child = NewNode(pos, available, line, rule);
  int endLine;
  if (depth + 2 >= kMaxNestingDepth ||
      reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) <= stackFloor_ + kFlatStackMargin ||
      (depth + 1 <= pathTop_ + 1 && EnterPath(child, rule, depth + 1))) {
    // The mark of a reference matters to Match for a terminal only.
    endLine = Match(child, 0, depth + 1);
  } else {
    endLine = line;
    child->length = 0;
    ChildList below{.parent = child};
    int used = 0;
    int failIndex = -1;
    // SequenceBody's loop over elements each taken once (flat rules) or
    // repeated as their marks allow (terminals). The bounds are read once:
    // the nodes written in the loop may alias them as far as the compiler
    // knows, and this frame does not nest.
    const Rule::Element* const first = rule->GetElements().data();
    const Rule::Element* const last = first + rule->GetElements().size();
    for (const Rule::Element* element = first; element != last; ++element) {
      const Rule::Element& e = *element;
      int count = 0;
      if (e.step == Rule::kStepFlat) {
        int n = 0;
        if (used < available && TryElement(e, pos + used, available - used, endLine, n, below, depth + 1)) {
          used += n;
          count = 1;
        }
      } else {
        while (used < available && !aborted_) {
          const int n = Terminal(e, pos + used, available - used, endLine);
          if (n < 0) break;
          used += n;
          ++count;
          if (!Repeats(e.mark) || n == 0 || e.rule->GetKind() == Rule::kClass) break;
        }
      }
      if (count == 0 && !Optional(e.mark)) {
        failIndex = static_cast<int>(element - first);
        if (used == available) RecordExpected(pos + used, e.rule, rule, failIndex);
        break;
      }
    }
    if (failIndex >= 0 || aborted_) {
      if (child->firstChild) FreeChildren(child);
      if (rule->GetKind() == Rule::kNamed) Record(pos, rule, failIndex);
      endLine = 0;
    } else {
      child->length = used;
      if (rule->IsToken()) {
        FreeChildren(child);
      } else if (flatten_ && child->firstChild && below.unstable) {
        Flatten(child);
      }
      child->valid = 1;
    }
  }
  if (!endLine) {
    ReleaseNode(child);
    return false;
  }
  matched = child->length;
  line = endLine;
  Attach(children, child);
  return true;
}

bool ParsoParser::MatchSequence(ParseNode* node, int available, int& line, int depth,
                                int& failIndex, ChildList& children) {
  return SequenceStep(node, available, line, depth, failIndex, children);
}

[[gnu::always_inline]] inline bool ParsoParser::SequenceStep(ParseNode* node, int available, int& line,
                                                             int depth, int& failIndex, ChildList& children) {
  int used = 0;
  const int failed =
      SequenceBody<false>(node->rule, node->textStart, available, used, line, children, depth);
  if (failed >= 0) {
    failIndex = failed;
    return false;
  }
  node->length = used;
  if (children.constrained) {
    // Removing the end name may leave a child that flattening changes.
    return CheckConstraint(node, children);
  }
  return true;
}

// MatchSequence for a sequence with peers: it may begin with the nodes a
// peer kept, and keeps its own shared elements' nodes when it fails after
// them.
bool ParsoParser::MatchSharedSequence(ParseNode* node, int available, int& line, int depth,
                                      int& failIndex, ChildList& children) {
  return SharedSequenceStep(node, available, line, depth, failIndex, children);
}

[[gnu::always_inline]] inline bool ParsoParser::SharedSequenceStep(ParseNode* node, int available, int& line,
                                                                   int depth, int& failIndex,
                                                                   ChildList& children) {
  const Rule* rule = node->rule;
  const char16_t* start = node->textStart;
  int used = 0;
  const auto& elements = rule->GetElements();
  const int shared = rule->GetSharedPrefix();
  const int startLine = line;
  const uint64_t messages = messageCount_;
  SharedEnd sharedEnd;
  sharedEnd.line = line;
  size_t i = 0;
  if (shared_.rule && shared_.start == start && !rule->GetPrefixPeers().empty()) {
    i = static_cast<size_t>(TakeSharedPrefix(node, available, line, used, children, depth));
    if (i > 0 && static_cast<int>(i) == shared) sharedEnd = {children.tail, used, line, children.unstable};
  }
  for (const size_t size = elements.size(); i < size; ++i) {
    const Rule::Element& e = elements[i];
    const int count = Repeat(e, start, available, used, line, children, depth);
    if (count == 0 && !Optional(e.mark)) {
      if (used == available) RecordExpected(start + used, e.rule, rule, static_cast<int>(i));
      failIndex = static_cast<int>(i);
      if (shared > 0 && static_cast<int>(i) >= shared && !aborted_) {
        KeepSharedPrefix(node, sharedEnd, available, startLine, messages);
      }
      return false;
    }
    if (static_cast<int>(i) + 1 == shared) sharedEnd = {children.tail, used, line, children.unstable};
  }
  node->length = used;
  if (children.constrained) {
    return CheckConstraint(node, children);
  }
  return true;
}

void ParsoParser::KeepSharedPrefix(ParseNode* node, const SharedEnd& end, int available, int startLine,
                                   uint64_t messages) {
  // Most often nothing is kept from before and nothing follows the shared
  // elements (the attempt failed right after them): no calls then.
  if (shared_.first) DropSharedPrefix();
  ParseNode* const tail = end.tail;
  ParseNode* first = tail ? static_cast<ParseNode*>(node->firstChild) : nullptr;
  ParseNode* rest = tail ? static_cast<ParseNode*>(tail->next) : static_cast<ParseNode*>(node->firstChild);
  if (tail) tail->next = nullptr;
  node->firstChild = nullptr;
  if (rest) FreeChildrenAndSiblings(rest);
  shared_.rule = node->rule;
  shared_.start = node->textStart;
  shared_.available = available;
  shared_.startLine = startLine;
  shared_.used = end.used;
  shared_.endLine = end.line;
  shared_.messages = messages;
  shared_.unstable = end.unstable;
  shared_.first = first;
  shared_.last = tail;
}

void ParsoParser::DropSharedPrefix() {
  FreeChildrenAndSiblings(shared_.first);
  shared_ = SharedPrefix();
}

int ParsoParser::TakeSharedPrefix(ParseNode* node, int available, int& line, int& used,
                                  ChildList& children, int depth) {
  // Stack a frame of the engine may take at most, per nested match, in any build.
  constexpr uintptr_t kFrameAllowance = 4096;
  const Rule* from = shared_.rule;
  const int length = from->GetSharedPrefix();
  const Rule::PrefixPeer* peer = nullptr;
  for (const Rule::PrefixPeer& p : node->rule->GetPrefixPeers()) {
    if (p.rule == from) {
      peer = &p;
      break;
    }
  }
  // Groups are spliced into a node without constraints only: the kept
  // children must have the form this node's would have.
  if ((from->GetConstraints().size() >= 2) != (node->rule->GetConstraints().size() >= 2)) return 0;
  if (!peer || peer->length != length || shared_.available != available ||
      shared_.startLine != line || shared_.messages != messageCount_) {
    return 0;
  }
  // Matching again would have to stay within the nesting limit and the stack.
  if (depth + peer->nesting >= kMaxNestingDepth) return 0;
  const uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const uintptr_t need = static_cast<uintptr_t>(peer->nesting + 1) * kFrameAllowance;
  if (frame < need || frame - need < stackFloor_) return 0;
  // Nodes of a group element name that group; the peer has its own equal one.
  const auto& source = from->GetElements();
  const auto& target = node->rule->GetElements();
  int j = 0;
  for (ParseNode* c = shared_.first; c; c = c->next) {
    int k = j;
    while (k < length && c->rule != source[k].rule) ++k;
    if (k < length) {
      if (target[k].rule == countedRule_ && c->rule != countedRule_) ++countedNodes_;
      c->rule = target[k].rule;
      j = k;
    }
  }
  node->firstChild = shared_.first;
  children.tail = shared_.last;
  children.unstable = shared_.unstable;
  used = shared_.used;
  line = shared_.endLine;
  shared_ = SharedPrefix();
  return length;
}

[[gnu::always_inline]] inline bool ParsoParser::ChoiceBody(const GrammarRule* rule, const char16_t* start, int available,
                                    int& used, int& line, ChildList& children, int depth) {
  for (const Rule::Element& e : rule->GetElements()) {
    used = 0;
    if (Repeat(e, start, available, used, line, children, depth) > 0) return true;
    if (aborted_) return false;
  }
  return false;
}

bool ParsoParser::MatchChoice(ParseNode* node, int available, int& line, int depth,
                              ChildList& children) {
  int used = 0;
  if (!ChoiceBody(node->rule, node->textStart, available, used, line, children, depth)) {
    return false;
  }
  node->length = used;
  return true;
}

[[gnu::always_inline]] inline int ParsoParser::CountFlattened(const ParseNode* node) {
  // As Flatten decides under a node that is not chained.
  const Rule* rule = node->rule;
  const ParseNode* first = node->firstChild;
  if (rule->GetKind() == Rule::kGroup) {
    if (!first || rule->IsKeep()) return 1;
    return first->next ? 2 : 1;
  }
  if (rule->GetKind() == Rule::kNamed && !rule->IsKeep() && !first && !rule->IsToken()) return 0;
  return 1;
}

bool ParsoParser::TrySplicedGroup(const GrammarRule* rule, const char16_t* pos, int available,
                                  int& line, int& matched, ChildList& children, int depth) {
  ParseNode* const parent = children.parent;
  // As Match would match the rule one level down, and Flatten then put its
  // children in its place; they are examined by the enclosing node's
  // Flatten instead, which decides on each of them alike (a group's
  // children are examined alike under any node: no group is chained).
  ParseNode* const before = children.tail;
  if (depth <= pathTop_) [[unlikely]] {
    // The rule nests one level down, without a node of its own.
    EnterPath(nullptr, rule, depth + 1);
  }
  int endLine = line;
  int used = 0;
  int failIndex = -1;
  bool ok;
  if (rule->GetOperator() == Rule::kChoice) {
    ok = ChoiceBody(rule, pos, available, used, endLine, children, depth + 1);
  } else {
    failIndex = SequenceBody<true>(rule, pos, available, used, endLine, children, depth + 1);
    ok = failIndex < 0;
  }
  ParseNode* first = before ? static_cast<ParseNode*>(before->next) : static_cast<ParseNode*>(parent->firstChild);
  if (!ok || aborted_) {
    (before ? before->next : parent->firstChild) = nullptr;
    children.tail = before;
    FreeChildrenAndSiblings(first);
    if (rule->GetKind() == Rule::kNamed) Record(pos, rule, failIndex);
    return false;
  }
  matched = used;
  if (rule->GetKind() == Rule::kNamed) {
    // Flattening keeps the node of a named rule that is left with two or
    // more children; then it is made here, with Match's own flattening.
    int left = 0;
    for (ParseNode* c = first; c && left < 2; c = c->next) left += FlattenedCount(c);
    if (left >= 2) {
      (before ? before->next : parent->firstChild) = nullptr;
      children.tail = before;
      ParseNode* node = NewNode(pos, used, line, rule);
      node->valid = 1;
      node->firstChild = first;
      Flatten(node);
      Attach(children, node);
    }
    line = endLine;
    return true;
  }
  // A group left without children by flattening keeps its node: one that
  // had none, or whose children flattening would all remove (named rules
  // without children that are neither kept nor tokens, whatever node they
  // are examined under).
  bool keepsNode = true;
  for (ParseNode* c = first; c; c = c->next) {
    const Rule* cr = c->rule;
    if (cr->GetKind() != Rule::kNamed || cr->IsKeep() || c->firstChild || cr->IsToken()) {
      keepsNode = false;
      break;
    }
  }
  if (keepsNode) {
    (before ? before->next : parent->firstChild) = nullptr;
    children.tail = before;
    FreeChildrenAndSiblings(first);
    ParseNode* child = NewNode(pos, used, line, rule);
    child->valid = 1;
    Attach(children, child);
  }
  line = endLine;
  return true;
}

// TrySplicedGroup writes these steps out itself: called there, this step
// enlarges its frame, which every nested element stacks.
[[gnu::always_inline]] inline bool ParsoParser::EndSplice(const GrammarRule* rule, const char16_t* pos, int used,
                                                          int& line, int endLine, ParseNode* first,
                                                          ParseNode* before, ChildList& children) {
  ParseNode* const parent = children.parent;
  if (rule->GetKind() == Rule::kNamed) {
    // Flattening keeps the node of a named rule that is left with two or
    // more children; then it is made here, with Match's own flattening.
    int left = 0;
    for (ParseNode* c = first; c && left < 2; c = c->next) left += CountFlattened(c);
    if (left >= 2) {
      (before ? before->next : parent->firstChild) = nullptr;
      children.tail = before;
      ParseNode* node = NewNode(pos, used, line, rule);
      node->valid = 1;
      node->firstChild = first;
      Flatten(node);
      Attach(children, node);
    }
    line = endLine;
    return true;
  }
  // A group left without children by flattening keeps its node: one that
  // had none, or whose children flattening would all remove (named rules
  // without children that are neither kept nor tokens, whatever node they
  // are examined under).
  bool keepsNode = true;
  for (ParseNode* c = first; c; c = c->next) {
    const Rule* cr = c->rule;
    if (cr->GetKind() != Rule::kNamed || cr->IsKeep() || c->firstChild || cr->IsToken()) {
      keepsNode = false;
      break;
    }
  }
  if (keepsNode) {
    (before ? before->next : parent->firstChild) = nullptr;
    children.tail = before;
    FreeChildrenAndSiblings(first);
    ParseNode* child = NewNode(pos, used, line, rule);
    child->valid = 1;
    Attach(children, child);
  }
  line = endLine;
  return true;
}

bool ParsoParser::TrySplicedChoice(const GrammarRule* rule, const char16_t* pos, int available, int& line,
                                   int& matched, ChildList& children, int depth) {
  // TrySplicedGroup for a choice of groups (HasSplicedAlternatives),
  // reached through the rule's own step: where the element step would enter
  // TrySplicedGroup for an alternative at once, that group is matched here
  // instead, one level down, as that call would match it. Where the element
  // step would not splice the choice itself, it is matched as any rule.
  if (!flatten_ || children.constrained || depth + 1 >= kMaxNestingDepth ||
      reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) <= stackFloor_ + kFlatStackMargin) {
    ParseNode* child = NewNode(pos, available, line, rule);
    // The mark of a reference matters to Match for a terminal only.
    const int endLine = Match(child, 0, depth + 1);
    if (!endLine) {
      ReleaseNode(child);
      return false;
    }
    matched = child->length;
    line = endLine;
    Attach(children, child);
    return true;
  }
  ParseNode* const parent = children.parent;
  ParseNode* const before = children.tail;
  if (depth <= pathTop_) [[unlikely]] EnterPath(nullptr, rule, depth + 1);
  int endLine = line;
  int used = 0;
  bool ok = false;
  for (const Rule::Element& e : rule->GetElements()) {
    used = 0;
    if (available > 0 && SplicesAtOnce(e, pos, available, children, depth + 1)) {
      const Rule* group = e.rule;
      ParseNode* const groupBefore = children.tail;
      if (depth + 1 <= pathTop_) [[unlikely]] EnterPath(nullptr, group, depth + 2);
      int groupLine = endLine;
      const int failIndex = SequenceBody<true>(group, pos, available, used, groupLine, children, depth + 2);
      ParseNode* groupFirst = groupBefore ? static_cast<ParseNode*>(groupBefore->next)
                                          : static_cast<ParseNode*>(parent->firstChild);
      if (failIndex < 0 && !aborted_) {
        ok = EndSplice(group, pos, used, endLine, groupLine, groupFirst, groupBefore, children);
        break;
      }
      // A group records no failure of its own.
      (groupBefore ? groupBefore->next : parent->firstChild) = nullptr;
      children.tail = groupBefore;
      FreeChildrenAndSiblings(groupFirst);
    } else if (Repeat(e, pos, available, used, endLine, children, depth + 1) > 0) {
      ok = true;
      break;
    }
    if (aborted_) break;
  }
  ParseNode* first = before ? static_cast<ParseNode*>(before->next) : static_cast<ParseNode*>(parent->firstChild);
  if (!ok || aborted_) {
    (before ? before->next : parent->firstChild) = nullptr;
    children.tail = before;
    FreeChildrenAndSiblings(first);
    if (rule->GetKind() == Rule::kNamed) Record(pos, rule, -1);
    return false;
  }
  matched = used;
  return EndSplice(rule, pos, used, line, endLine, first, before, children);
}

int ParsoParser::FlattenedCount(const ParseNode* node) { return CountFlattened(node); }

bool ParsoParser::MatchDifference(ParseNode* node, int available, int& line, int depth,
                                  int& failIndex, ChildList& children) {
  const char16_t* start = node->textStart;
  const auto& elements = node->rule->GetElements();
  if (elements.empty()) return true;
  int used = 0;
  const int count = Repeat(elements[0], start, available, used, line, children, depth);
  if (count == 0 && !Optional(elements[0].mark)) {
    failIndex = 0;
    return false;
  }
  // The excluded side is a literal, compared ignoring ASCII case whatever the setting.
  for (size_t i = 1; i < elements.size(); ++i) {
    const Rule* excluded = elements[i].rule;
    if (excluded->GetKind() != Rule::kLiteral) continue;
    const std::u16string& lit = excluded->GetText();
    if (static_cast<int>(lit.size()) == used && EqualAsciiFold(start, lit.data(), used)) {
      failIndex = static_cast<int>(i);
      return false;
    }
  }
  node->length = used;
  return true;
}

bool ParsoParser::MatchUpTo(ParseNode* node, int available, int& line, int depth,
                            ChildList& children) {
  const auto& elements = node->rule->GetElements();
  if (elements.empty()) return false;
  const Rule::Element& a = elements[0];
  const char16_t* start = node->textStart;
  const char16_t* end = start + available;
  const char16_t* p = start;

  const char16_t kind = a.rule->GetKind();
  if (kind == Rule::kClass || kind == Rule::kClassText) {
    // The scanned span is the match; no nodes are made.
    const char16_t* skipFrom = p + kUnitsBeforeSkip;
    while (p < end) {
      if (p >= skipFrom) {
        p = SkipScanned(node->rule, p, end);
        if (p == end) break;
      }
      const char16_t c = *p;
      if (node->rule->ScansPast(c)) {
        ++p;
        continue;
      }
      if (!a.rule->ClassContains(c) ||
          (node->rule->MayStopAt(c) && StopsAt(node->rule, p, static_cast<int>(end - p)))) {
        break;
      }
      if (c <= u'\r') {
        if (c == u'\r' || (c == u'\n' && (p == text_ || p[-1] != u'\r'))) ++line;
      }
      ++p;
    }
    if (p == start) return false;
    node->length = static_cast<int>(p - start);
    return true;
  }

  while (p < end && !StopsAt(node->rule, p, static_cast<int>(end - p))) ++p;
  const int span = static_cast<int>(p - start);
  if (span == 0) return false;
  int used = 0;
  int count = 0;
  while (used < span) {
    int n = 0;
    if (!TryElement(a, start + used, span - used, line, n, children, depth)) break;
    used += n;
    ++count;
    if (n == 0) break;
  }
  if (count == 0) return false;
  node->length = used;
  return true;
}

// Runs at the end of every element: its searches are inlined here whatever
// else the compiler weighs in this file.
namespace {

// ParseNode::Find(rule, 2) written out as three loops: a constraint is
// checked at the end of every element, and the recursive form's calls cost
// more there than the search itself. Rules are compared by their places in
// the table of live rules. Also gives the node's parent and the sibling
// before it, so that the node can be taken out without a second search.
struct FoundNode {
  ParseNode* node = nullptr;
  ParseNode* parent = nullptr;  // null for `first` and its siblings
  ParseNode* before = nullptr;
  bool withinFirst = false;     // below `first` rather than a sibling of it
};

FoundNode FindWithinTwoLevels(ParseNode* first, const GrammarRule* rule) {
  const uint32_t id = rule->GetTableId();
  for (ParseNode* n = first; n; n = n->next) {
    if (n->rule.GetTableId() == id) return {n, nullptr, nullptr};
    ParseNode* cb = nullptr;
    for (ParseNode* c = n->firstChild; c; cb = c, c = c->next) {
      if (c->rule.GetTableId() == id) return {c, n, cb, n == first};
      ParseNode* gb = nullptr;
      for (ParseNode* g = c->firstChild; g; gb = g, g = g->next) {
        if (g->rule.GetTableId() == id) return {g, c, gb, n == first};
      }
    }
  }
  return {};
}

}  // namespace

[[gnu::flatten]] bool ParsoParser::CheckConstraint(ParseNode* node, ChildList& children) {
  // Only the first pair is tested; the grammars write one per rule.
  ParseNode* const tail = children.tail;
  const auto& constraints = node->rule->GetConstraints();
  ParseNode* left = FindWithinTwoLevels(node, constraints[0]).node;
  FoundNode found;
  if (countedNodes_ == 1 && constraints[1] == countedRule_ && node->firstChild && tail && shortcuts_) {
    // The only node of that rule, if it is a child of the last child, is
    // the one the search from the first child would reach first.
    const uint32_t id = constraints[1]->GetTableId();
    ParseNode* before = nullptr;
    for (ParseNode* g = tail->firstChild; g; before = g, g = g->next) {
      if (g->rule.GetTableId() == id) {
        found = {g, tail, before, true};
        break;
      }
    }
  }
  if (!found.node) found = FindWithinTwoLevels(node, constraints[1]);
  ParseNode* right = found.node;
  if (!left || !right) return false;
  if (left->length == right->length && Equal(left->textStart, right->textStart, left->length)) {
    // The right node is taken out where it is a child or a grandchild of
    // this node; searching no deeper keeps the check linear in the document
    // rather than in its depth.
    if (endNameRemoval_ && found.parent && found.withinFirst) {
      (found.before ? found.before->next : found.parent->firstChild) = right->next;
      right->next = nullptr;
      if (constraints[1] == countedRule_) --countedNodes_;
      if (right->firstChild) {
        FreeChildrenAndSiblings(right);
      } else {
        ReleaseNode(right);
      }
      if (found.parent == tail && shortcuts_ && flatten_) return TakeEmptiedTail(node, children);
    }
    // Removing the end name may leave a child that flattening changes.
    if (endNameRemoval_) children.unstable = true;
    return true;
  }
  std::u16string message(left->textStart, static_cast<size_t>(left->length));
  message += u' ';
  message += constraints[1]->GetDescription();
  RecordMessage(right->textStart, constraints[1], std::move(message));
  return false;
}

bool ParsoParser::TakeEmptiedTail(ParseNode* node, ChildList& children) {
  ParseNode* const tail = children.tail;
  ParseNode* replacement = nullptr;
  ParseNode* last = nullptr;
  if (tail->firstChild || !FlattenStep(node->rule, tail, replacement, last)) {
    children.unstable = true;
    return true;
  }
  // The end tag left without its name: Flatten would remove it and examine
  // the other children alike, so it goes now, and the node is flattened
  // only when one of those others is one Flatten may change (as Attach
  // judges them).
  ParseNode* before = nullptr;
  bool unstable = false;
  for (ParseNode* c = node->firstChild; c != tail; c = c->next) {
    before = c;
    const Rule* rule = c->rule;
    if (rule->IsKeep()) continue;
    const ParseNode* only = c->firstChild;
    const char16_t kind = rule->GetKind();
    if (kind == Rule::kGroup ? only != nullptr
        : kind == Rule::kNamed ? (only ? !only->next : !rule->IsToken())
                               : false) {
      unstable = true;
    }
  }
  (before ? before->next : node->firstChild) = nullptr;
  ReleaseNode(tail);
  children.tail = before;
  children.unstable = unstable;
  return true;
}

[[gnu::always_inline]] inline bool ParsoParser::FlattenStep(const GrammarRule* rule, ParseNode* cur,
                                                            ParseNode*& first, ParseNode*& last) {
  const Rule* cr = cur->rule;
  first = last = nullptr;
  if (cr->GetKind() == Rule::kGroup) {
    if (cur->firstChild && !cr->IsKeep() && !(rule->IsKeepChain() && cr->IsKeepChain())) {
      first = last = cur->firstChild;
      while (last->next) last = last->next;
      return true;
    }
  } else if (cr->GetKind() == Rule::kNamed && !cr->IsKeep()) {
    ParseNode* only = cur->firstChild;
    if (only && !only->next) {
      if (!(cr->IsKeepChain() && only->rule->IsKeepChain())) {
        first = last = only;
        return true;
      }
    } else if (!only && !cr->IsToken()) {
      return true;
    }
  }
  return false;
}

void ParsoParser::Flatten(ParseNode* node) {
  const Rule* rule = node->rule;
  ParseNode* prev = nullptr;
  ParseNode* cur = node->firstChild;
  while (cur) {
    ParseNode* next = cur->next;
    ParseNode* replacement = nullptr;  // first node that takes cur's place
    ParseNode* last = nullptr;         // last node that takes cur's place
    if (!FlattenStep(rule, cur, replacement, last)) {
      prev = cur;
      cur = next;
      continue;
    }
    ParseNode* follow = next;
    if (replacement) {
      last->next = next;
      follow = replacement;
    }
    (prev ? prev->next : node->firstChild) = follow;
    if (last) prev = last;
    ReleaseNode(cur);
    cur = next;
  }
}

// ---------------------------------------------------------------------------
// Watching

namespace {

// Whether a node of `rule` may be watched: a plain named sequence.
bool Watchable(const GrammarRule* rule) {
  return rule && rule->GetKind() == GrammarRule::kNamed &&
         rule->GetOperator() != GrammarRule::kChoice &&
         rule->GetOperator() != GrammarRule::kDifference &&
         rule->GetOperator() != GrammarRule::kUpTo && !rule->IsToken() && !rule->IsDrop() &&
         rule->GetConstraints().size() < 2 && !rule->HasPrefixPeers() &&
         !rule->KeepsNoChildren() && !rule->IsFlat() && !rule->IsSpliced();
}

}  // namespace

bool ParsoParser::SetChildSink(ParseChildSink* sink, const std::vector<const GrammarRule*>& rules,
                               int batchChildren, int batchCharacters,
                               const std::vector<const GrammarRule*>& repeat) {
  sink_ = nullptr;
  watchDepth_ = 0;
  batchChildren_ = batchChildren;
  batchCharacters_ = batchCharacters;
  if (!sink || rules.empty()) return true;
  if (rules.size() > static_cast<size_t>(kMaxWatchDepth) || !Watchable(rules.back()) ||
      (!repeat.empty() && !Watchable(repeat.back()))) {
    return false;
  }
  // The rule at each depth, read by every match near the path: a table
  // rather than a division, kept while the path stays the same (a caller
  // sets it for each parse). A repeated path may reach every depth a match
  // can; the table is written out only as deep as the parse has gone, so a
  // small document does not pay for the deepest nesting allowed.
  if (pathSteps_.empty() || stepRules_ != rules || stepRepeat_ != repeat) {
    stepRules_ = rules;
    stepRepeat_ = repeat;
    pathSteps_.clear();
    GrowPath(kInitialPathDepths);
  }
  sink_ = sink;
  watchDepth_ = static_cast<int>(rules.size());
  return true;
}

void ParsoParser::GrowPath(size_t depths) {
  depths = std::min(std::max(depths, pathSteps_.size() + 1), static_cast<size_t>(kMaxNestingDepth) + 1);
  const size_t from = pathSteps_.size();
  pathSteps_.resize(depths, PathStep{nullptr, false, false});
  for (size_t d = from; d < depths; ++d) {
    const GrammarRule* step;
    bool watched;
    if (d < stepRules_.size()) {
      step = stepRules_[d];
      watched = d + 1 == stepRules_.size();
    } else if (!stepRepeat_.empty()) {
      const size_t round = (d - stepRules_.size()) % stepRepeat_.size();
      step = stepRepeat_[round];
      watched = round + 1 == stepRepeat_.size();
    } else {
      break;  // nothing is on the path this deep
    }
    pathSteps_[d] = {step, step == nullptr, watched};
  }
  if (pathNodes_.size() < depths) pathNodes_.resize(depths);
}

[[gnu::always_inline]] inline bool ParsoParser::EnterPath(ParseNode* node, const GrammarRule* rule,
                                                         int depth) {
  // Depths are below kMaxNestingDepth here; the path reaches one level
  // deeper at a time, so the table grows by at most one depth per match.
  if (static_cast<size_t>(depth) >= pathSteps_.size()) [[unlikely]] GrowPath(static_cast<size_t>(depth) * 2);
  const PathStep& step = pathSteps_[depth];
  if (step.rule != rule && !step.any) {
    pathTop_ = depth - 1;
    return false;
  }
  pathNodes_[depth] = node;
  pathTop_ = depth;
  return step.watched;
}

bool ParsoParser::MatchWatched(ParseNode* node, int available, int& line, int depth,
                               int& failIndex, ChildList& children) {
  // As MatchSequence with Repeat (the rule checks no constraint).
  // Each watched node counts its own batch; one may be watched inside
  // another. Until its children come to a batch, they are attached as
  // MatchSequence attaches them, and flattened as a whole at the end if the
  // node ends before: most watched nodes are small, and handing over costs
  // more than attaching.
  const Rule* rule = node->rule;
  const char16_t* start = node->textStart;
  const auto& elements = rule->GetElements();
  const int outerHeld = held_;
  int used = 0;
  int matches = 0;
  bool handing = false;
  bool ok = true;
  held_ = 0;
  for (size_t i = 0; i < elements.size() && ok; ++i) {
    const Rule::Element& e = elements[i];
    int count = 0;
    while (used < available) {
      ParseNode* const before = children.tail;
      int n = 0;
      if (!TryElement(e, start + used, available - used, line, n, children, depth)) break;
      used += n;
      ++count;
      if (handing) {
        HandOver(node, children, before, depth);
      } else if (++matches >= batchChildren_ || used >= batchCharacters_) {
        handing = true;
        HandOver(node, children, nullptr, depth);
      }
      if (aborted_) break;
      if (!Repeats(e.mark) || n == 0 || e.rule->GetKind() == Rule::kClass) break;
    }
    if (aborted_) {
      ok = false;
    } else if (count == 0 && !Optional(e.mark)) {
      if (used == available) RecordExpected(start + used, e.rule, rule, static_cast<int>(i));
      failIndex = static_cast<int>(i);
      ok = false;
    }
  }
  held_ = outerHeld;
  if (!ok) return false;
  node->length = used;
  // Handed-over children were flattened one by one; Match leaves out the
  // node's own flattening.
  if (!handing && flatten_ && node->firstChild && (children.unstable || !shortcuts_)) Flatten(node);
  return true;
}

void ParsoParser::HandOver(ParseNode* node, ChildList& children, ParseNode* before, int depth) {
  ParseNode* first = before ? static_cast<ParseNode*>(before->next) : static_cast<ParseNode*>(node->firstChild);
  if (!first) return;
  (before ? before->next : node->firstChild) = nullptr;
  children.tail = before;
  // Flattening decides on each child alone and does not examine again the
  // nodes it put in a child's place, so deciding here, child by child, gives
  // the children the form the watched node's own flattening would have given
  // them; that flattening is then left out (Match).
  while (first) {
    ParseNode* cur = first;
    first = cur->next;
    cur->next = nullptr;
    ParseNode* from = nullptr;
    ParseNode* to = nullptr;
    if (!flatten_ || !FlattenStep(node->rule, cur, from, to)) {
      Offer(node, children, cur, depth);
      continue;
    }
    cur->firstChild = nullptr;
    ReleaseNode(cur);
    while (from) {
      ParseNode* next = from->next;
      from->next = nullptr;
      Offer(node, children, from, depth);
      from = next;
    }
  }
}

void ParsoParser::Offer(ParseNode* node, ChildList& children, ParseNode* child, int depth) {
  if (aborted_) {
    FreeChildrenAndSiblings(child);
    return;
  }
  const ParseNode* first = node->firstChild ? static_cast<ParseNode*>(node->firstChild) : child;
  if (held_ + 1 < batchChildren_ &&
      child->textStart + child->length - first->textStart < batchCharacters_) {
    // Kept for the batch, without asking.
    (children.tail ? children.tail->next : node->firstChild) = child;
    children.tail = child;
    ++held_;
    return;
  }
  switch (sink_->OnChild(pathNodes_.data(), depth + 1, child)) {
    case ParseChildSink::kKeep:
      (children.tail ? children.tail->next : node->firstChild) = child;
      children.tail = child;
      ++held_;
      return;
    case ParseChildSink::kTaken:
      FreeChildren(node);
      children.tail = nullptr;
      FreeChildrenAndSiblings(child);
      held_ = 0;
      return;
    default: {
      const char16_t* at = child->textStart;
      FreeChildrenAndSiblings(child);
      RecordMessage(at, nullptr, u"the parse was stopped");
      aborted_ = true;
      return;
    }
  }
}

namespace {

// The lowest usable address of the calling thread's stack plus the reserve,
// found once per thread. When the stack's bounds cannot be read, a stack of
// 8 MB below the first caller is assumed.
uintptr_t StackFloor(size_t reserve) {
  thread_local uintptr_t floor = 0;
  if (floor) return floor;
  uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  uintptr_t low = here > (8u << 20) ? here - (8u << 20) : 0;
  if (const uintptr_t found = KTThreadStackLow())
    low = found;
  floor = low + reserve;
  return floor;
}

}  // namespace

template <int kForm>
[[gnu::always_inline]] inline int ParsoParser::MatchAs(ParseNode* node, char16_t mark, int depth) {
  if (aborted_) return 0;
  const Rule* rule = node->rule;
  const int available = node->length;
  node->length = 0;
  node->valid = 0;
  int line = node->line;

  if (kForm == kFormAny && IsTerminal(rule)) {
    const int n = MatchTerminal(rule, mark, node->textStart, available, line);
    if (n < 0) return 0;
    node->length = n;
    node->valid = 1;
    return line;
  }
  if (depth >= kMaxNestingDepth) {
    RecordMessage(node->textStart, rule, u"rules nested deeper than 5000 levels");
    aborted_ = true;
    return 0;
  }
  if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stackFloor_) {
    RecordMessage(node->textStart, rule, u"rules nested deeper than the stack allows");
    aborted_ = true;
    return 0;
  }

  // Whether this node is watched: its parent is on the watched path, and so
  // are its rule and depth.
  const bool watched = depth <= pathTop_ + 1 && EnterPath(node, rule, depth);

  bool ok = false;
  int failIndex = -1;
  ChildList children{.parent = node, .constrained = rule->GetConstraints().size() >= 2};
  if constexpr (kForm == kFormPlain) {
    ok = watched ? MatchWatched(node, available, line, depth, failIndex, children)
                 : SequenceStep(node, available, line, depth, failIndex, children);
  } else if constexpr (kForm == kFormShared) {
    ok = watched ? MatchWatched(node, available, line, depth, failIndex, children)
                 : SharedSequenceStep(node, available, line, depth, failIndex, children);
  } else {
    switch (rule->GetOperator()) {
      case Rule::kChoice:
        ok = MatchChoice(node, available, line, depth, children);
        break;
      case Rule::kDifference:
        ok = MatchDifference(node, available, line, depth, failIndex, children);
        break;
      case Rule::kUpTo:
        ok = MatchUpTo(node, available, line, depth, children);
        break;
      default:
        ok = watched ? MatchWatched(node, available, line, depth, failIndex, children)
             : rule->HasPrefixPeers() && shortcuts_
                 ? MatchSharedSequence(node, available, line, depth, failIndex, children)
                 : MatchSequence(node, available, line, depth, failIndex, children);
        break;
    }
  }
  if (!ok || aborted_) {
    // A failed sequence with peers has most often handed its nodes on.
    if (node->firstChild) FreeChildren(node);
    if (rule->GetKind() == Rule::kNamed) Record(node->textStart, rule, failIndex);
    return 0;
  }
  if (rule->IsToken()) {
    FreeChildren(node);
  } else if (flatten_ && node->firstChild && (children.unstable || !shortcuts_) && !watched) {
    // Flattening changes nothing when no child is one it replaces or removes;
    // a watched node's children were flattened as they were handed over.
    Flatten(node);
  }
  node->valid = 1;
  return line;
}

int ParsoParser::Match(ParseNode* node, char16_t mark, int depth) {
  return MatchAs<kFormAny>(node, mark, depth);
}

int ParsoParser::MatchPlainSequence(ParseNode* node, int depth) { return MatchAs<kFormPlain>(node, 0, depth); }

int ParsoParser::MatchPeerSequence(ParseNode* node, int depth) { return MatchAs<kFormShared>(node, 0, depth); }

bool ParsoParser::Parse(const char16_t* text, size_t length, const char16_t* ruleName) {
  DropTree();
  ResetFailure();
  // Entries of earlier parses go stale (the grammar or the settings may
  // have changed since); after the count wraps, none may look current.
  if (++generation_ == kLeadGenerations) {
    leadFailures_.clear();
    generation_ = 1;
  }
  countedNodes_ = 0;
  aborted_ = false;
  limitedOpen_ = 0;
  outOfMemory_ = false;
  stackFloor_ = StackFloor(kStackReserve);
  pathTop_ = watchDepth_ > 0 ? -1 : -2;
  if (!text) {
    text = u"";
    length = 0;
  }
  text_ = text;
  textLength_ = 0;
  arena_.SetText(text);
  if (length > kMaxTextLength) {
    RecordMessage(text, nullptr, u"text longer than 2 GB: not parsed");
    return false;
  }
  textLength_ = static_cast<int>(length);

  const GrammarRule* start = nullptr;
  if (grammar_) start = ruleName ? grammar_->FindRule(ruleName) : grammar_->GetRoot();
  if (!start) {
    root_ = NewNode(text, textLength_, 1, nullptr);
    RecordMessage(text, nullptr,
                  ruleName ? u"unknown identifier: " + std::u16string(ruleName) + u"; valid grammar ident"
                           : std::u16string(u"no valid grammar; grammar root rule"));
    return false;
  }

  bool matched = false;
  try {
    root_ = NewNode(text, textLength_, 1, start);
    failPos_ = text;
    failRule_ = start;
    matched = Match(root_, 0, 0) && !aborted_;
    DropSharedPrefix();
  } catch (const std::bad_alloc&) {
    DropTree();
    outOfMemory_ = true;
    RecordMessage(failPos_ ? failPos_ : text, nullptr, u"not enough memory for the parse tree");
    return false;
  }
  arena_.BeginConsuming();
  if (!matched) return false;
  if (root_->length < textLength_) {
    const char16_t* at = text + root_->length;
    if (at > failPos_) RecordMessage(at, start, u"end of " + start->GetDescription());
    return false;
  }
  return true;
}

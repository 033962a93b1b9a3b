// Grammars of the parse engine: GrammarRule (one compiled rule record) and
// ParsoGrammar (reads a grammar file of EBNF rule lines, compiles and links it).
// Read-only once linked; the parse engine (parso/parsoparser.h) matches text against it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class ParsoGrammar;
class YStream;

// Limits of the grammar file format. A grammar that breaks one fails its load.
inline constexpr int kParsoMaxLineLength = 1024;  // characters of one grammar line
inline constexpr int kParsoMaxTextLength = 255;   // a rule name, an expression, a literal
inline constexpr int kParsoMaxChildren = 40;      // elements of one rule or group
inline constexpr int kParsoMaxConstraints = 20;   // constraint slots (10 pairs)
inline constexpr int kParsoMaxRules = 500;        // rules of one grammar, anonymous ones included

// One rule record. Named rules come from rule lines; every literal, class,
// character code and parenthesised group of an expression is an anonymous rule.
class GrammarRule {
 public:
  // Kinds.
  static constexpr char16_t kGroup = 0;        // parenthesised sub-expression
  static constexpr char16_t kNamed = u'i';     // named rule
  static constexpr char16_t kLiteral = u'l';   // literal text
  static constexpr char16_t kClassText = u'p'; // class text, before linking
  static constexpr char16_t kClass = u'c';     // compiled class (256-entry table)
  static constexpr char16_t kCode = u'#';      // character code, before linking
  // Operators.
  static constexpr char16_t kSingle = 0;
  static constexpr char16_t kSequence = u's';
  static constexpr char16_t kChoice = u'|';
  static constexpr char16_t kDifference = u'-';
  static constexpr char16_t kUpTo = u'/';

  // How the engine takes an element, worked out when the grammar is linked
  // (kStepUnknown before): a one-character literal (not a line end), a
  // compiled class alone or as a run, another terminal, a flat rule, a
  // spliced group, or another rule.
  static constexpr uint8_t kStepUnknown = 0;
  static constexpr uint8_t kStepLiteral1 = 1;
  static constexpr uint8_t kStepClass = 2;
  static constexpr uint8_t kStepClassRun = 3;
  static constexpr uint8_t kStepTerminal = 4;
  static constexpr uint8_t kStepFlat = 5;
  static constexpr uint8_t kStepSpliced = 6;
  static constexpr uint8_t kStepRule = 7;

  struct Element {
    GrammarRule* rule;
    char16_t mark;  // 0, '?', '*' or '+': belongs to this reference, not to the rule
    uint8_t step = kStepUnknown;
    char16_t first = 0;   // the character of a one-character literal, the first of a two-character one
    // The second character of a two-character literal (a kStepTerminal)
    // whose characters are neither line ends nor ASCII letters, so that they
    // compare as they are in either case setting; 0 for any other element.
    char16_t second = 0;
  };

  GrammarRule(ParsoGrammar* grammar, const char16_t* text, size_t textLength, char16_t kind,
              bool drop, bool keepChain, bool keep);
  ~GrammarRule();
  GrammarRule(const GrammarRule&) = delete;
  GrammarRule& operator=(const GrammarRule&) = delete;

  // Every live rule has a place in one table of the program, so that a parse
  // node can hold a rule in 32 bits. Places are reused once a rule is gone;
  // place 0 is never given and stands for no rule.
  static constexpr uint32_t kMaxLiveRules = uint32_t{1} << 20;
  uint32_t GetTableId() const { return tableId_; }
  static const GrammarRule* FromTableId(uint32_t id) { return table_[id]; }

  // Compiles one expression (the text behind "::=") into this rule, appending
  // to the elements it has. False, with the reason in *error, when the text
  // breaks a limit or has an unterminated quote, group, class or constraint.
  bool CompileBody(std::u16string_view expression, std::u16string* error);

  // Appends the rule's elements as expression text (used in error messages).
  void PrintExpression(std::u16string& out) const;
  // Appends one line that spells out every field the load computes (the
  // rule's kind, elements, class and prediction tables, engine flags), rules
  // named by table index: two loads that agree on every line built alike.
  void DescribeTables(std::string& out) const;

  // Name of a named rule, characters of a literal, text of a class or code.
  // Empty for groups and compiled classes.
  const std::u16string& GetText() const { return text_; }
  const std::u16string& GetDescription() const { return description_ ? *description_ : kNoDescription; }
  char16_t GetKind() const { return kind_; }
  char16_t GetOperator() const { return operator_; }
  int GetIndex() const { return index_; }
  bool IsDrop() const { return drop_; }
  bool IsKeepChain() const { return keepChain_; }
  bool IsKeep() const { return keep_; }
  // A named rule whose name begins with 'A'-'Z': its matches keep no children.
  bool IsToken() const { return token_; }
  int GetChildCount() const { return static_cast<int>(elements_.size()); }
  const Element& GetElement(int i) const { return elements_[i]; }
  const std::vector<Element>& GetElements() const { return elements_; }
  // Constraint rules in pairs (left, right).
  const std::vector<GrammarRule*>& GetConstraints() const { return constraints_; }

  // Class membership: characters above U+00FF are classed by entry 255.
  bool ClassContains(char16_t c) const {
    unsigned i = c > 255 ? 255u : c;
    return (classBits_[i >> 6] >> (i & 63)) & 1u;
  }
  // A compiled class of a linked grammar: 1 for each character (those from
  // U+00FF up by entry 255) of the class that is not a line end, so that a
  // run is read at one table load per unit; null before linking.
  const uint8_t* GetRunTable() const { return runTable_.get(); }
  // Value of a character code (kind '#').
  char16_t GetCode() const { return code_; }

  // First-character prediction, computed when the grammar is linked: true
  // when no match of this rule can begin with c (nor be empty).
  bool CannotStartWith(char16_t c) const {
    if (mayBeEmpty_) return false;
    unsigned i = c > 255 ? 255u : c;
    return !((firstBits_[i >> 6] >> (i & 63)) & 1u);
  }
  // Second-character prediction, for a rule whose every match begins with a
  // literal of two or more characters (a literal, a sequence led by one, a
  // choice of such): false when none of those literals begins with c0 c1,
  // compared as the engine compares literals. Such an attempt fails at its
  // start and records its failures there. Always true for other rules.
  bool MayStartWith(char16_t c0, char16_t c1, bool caseSensitive) const {
    for (int i = 0; i < headCount_; ++i) {
      const char16_t a = heads_[i][0], b = heads_[i][1];
      if (caseSensitive ? (a == c0 && b == c1) : (FoldAscii(a) == FoldAscii(c0) && FoldAscii(b) == FoldAscii(c1)))
        return true;
    }
    return headCount_ == 0;
  }
  bool HasHeads() const { return headCount_ > 0; }
  // Second-character prediction after a lead character, for a rule whose
  // every match begins with one character (a one-character literal) and
  // then a rule that cannot be empty and reaches no constraint check (or a
  // sequence led by such a rule, or a choice of such with the same lead,
  // whose other alternatives, required, cannot begin with that lead):
  // an attempt at c0 c1 with c0 the lead and c1 outside the second set
  // fails, recording its failures at its start or the next character.
  bool HasLead() const { return hasLead_; }
  char16_t GetLead() const { return lead_; }
  bool SecondMayBe(char16_t c) const {
    unsigned i = c > 255 ? 255u : c;
    return (secondBits_[i >> 6] >> (i & 63)) & 1u;
  }
  // Most rule matches nested inside such an attempt before it fails.
  int GetSecondNesting() const { return secondNesting_; }
  // An attempt that fails at its first character records no failure: a
  // class or code, or a group whose elements tried there are such (no
  // literal and no named rule among them).
  bool FailsSilentlyAtStart() const { return silentStart_; }
  // Most rule matches nested inside one attempt of this rule before it takes
  // a character; a large number when a cycle makes it unbounded.
  int GetStartNesting() const { return startNesting_; }

  // A rule whose matches keep no nodes below them: a token (its children
  // are freed once it matched) or a dropped rule (freed with its children),
  // where no rule below checks a constraint. The engine matches it without
  // making those nodes.
  bool KeepsNoChildren() const { return keepsNoChildren_; }

  // A sequence of terminals, or an up-to rule that scans a class: its
  // attempts make no nodes below it, and the engine matches it in one loop.
  bool IsFlat() const { return flat_; }
  // Forms of flat sequences the engine matches in a tight loop: one compiled
  // class under '*' or '+' (a run), or one class followed by a run of
  // another (a name).
  static constexpr uint8_t kFlatOther = 0;
  static constexpr uint8_t kFlatRun = 1;
  static constexpr uint8_t kFlatName = 2;
  static constexpr uint8_t kFlatAround = 3;  // a run under '*', one character, a run under '*'
  char16_t GetFlatChar() const { return flatChar_; }
  uint8_t GetFlatForm() const { return flatForm_; }
  // The classes of a run (first), a name or the runs around a character
  // (both).
  const GrammarRule* GetFlatHead() const { return flatHead_; }
  const GrammarRule* GetFlatTail() const { return flatTail_; }
  // A choice whose first alternative is a flat rule taken once (no mark):
  // that rule, which the engine tries at once where no nodes are made,
  // before it enters the choice; null for other rules.
  const GrammarRule* GetLeadingFlat() const { return leadingFlat_; }
  // For a choice led by a named flat rule: true for a character (those from
  // U+00FF up alike) at which that rule fails at once and no other
  // alternative can begin, so that an attempt of the choice there fails,
  // recording no more than the flat rule's failure (its element index is
  // GetRepeatStopChild) and the choice's own when it is named. A repetition
  // of the choice ends there without the attempt.
  bool StopsRepeatAt(char16_t c) const {
    unsigned i = c > 255 ? 255u : c;
    return repeatStops_ && ((repeatStops_->bits[i >> 6] >> (i & 63)) & 1u);
  }
  bool HasRepeatStops() const { return hasRepeatStops_; }
  // A sequence (not flat itself, without constraints) whose elements are
  // terminals and flat rules taken once: the engine matches it, where no
  // nodes are made, in one loop over its elements.
  bool HasFlatSteps() const { return flatSteps_; }
  // KeepsNoChildren, HasFlatSteps or HasSplicedAlternatives: the engine
  // takes such a rule through a step of its own, tested for by one flag.
  bool HasOwnStep() const { return ownStep_; }
  // A named rule or group that is a sequence (or a single element) and
  // that a child sink could not watch, or could but that cannot nest in
  // itself: the engine matches it through a step for sequences alone.
  bool IsSequenceRule() const { return sequenceRule_; }
  // A choice of flat rules, each taken once: the engine tries the ones
  // after the first, where no nodes are made, in one loop.
  bool HasFlatAlternatives() const { return flatAlternatives_; }
  // A spliced choice whose alternatives are all spliced groups, each a
  // sequence taken once (a quoted value in either quote): the engine tries
  // each group in the choice's own step instead of entering it. Elements
  // that refer to such a choice take kStepRule, not kStepSpliced.
  bool HasSplicedAlternatives() const { return splicedAlternatives_; }
  int GetRepeatStopChild() const { return repeatStopChild_; }
  // For a choice of GetLeadingFlat: its last alternative when the engine's
  // element step would match it by entering it at once (a rule or group
  // taken once, neither flat nor led by a flat rule nor of flat steps);
  // null otherwise.
  const GrammarRule* GetPlainLast() const { return plainLast_; }
  // A sequence of one element, a choice of GetLeadingFlat with repeat stops
  // under '*' or '+' (a text of runs and references): where it keeps no
  // nodes, the engine takes its repetitions in one loop, without entering
  // the rule or the choice for each.
  bool IsRepeatedChoice() const { return repeatedChoice_; }
  // For such a rule under '+': true for a character at which an attempt
  // fails at once, the choice ending its repetition there before its first
  // match; it then records no more than the failure of the choice's leading
  // rule there (element GetRepeatStopChild of the choice).
  bool FailsAtOnceAt(char16_t c) const {
    unsigned i = c > 255 ? 255u : c;
    return atOnce_ && ((atOnce_->bits[i >> 6] >> (i & 63)) & 1u);
  }

  // A group whose node flattening replaces by its children (a sequence or
  // choice of rules, without constraints or peers), or a named rule whose
  // node flattening replaces by its only child or removes when it has none
  // (neither kept, dropped, chained nor a token, without constraints or
  // peers): with flattening on, the engine puts their children in the
  // enclosing node's list at once, and makes a named rule's node only where
  // flattening would keep it.
  bool IsSpliced() const { return spliced_; }

  // Most rule matches nested inside one attempt of this rule at any
  // position; a large number when the rule can reach itself.
  int GetNesting() const { return nesting_; }

  // A sequence whose first elements match like the first elements of another
  // sequence (its peer): the same named rules and equal literals, classes
  // and groups, with the same marks. When an attempt of one fails after
  // those elements, an attempt of a peer at the same place and with the same
  // characters available would match them alike; the engine hands their
  // nodes over instead of matching again.
  struct PrefixPeer {
    const GrammarRule* rule;
    int length;   // elements shared
    int nesting;  // most rule matches nested inside the shared elements
  };
  // Elements whose nodes a failed attempt of this sequence keeps for its
  // peers (the most any peer shares); 0: none.
  int GetSharedPrefix() const { return sharedPrefix_; }
  // The peers whose kept nodes an attempt of this sequence may take.
  const std::vector<PrefixPeer>& GetPrefixPeers() const { return prefixPeers_ ? *prefixPeers_ : kNoPrefixPeers; }
  bool HasPrefixPeers() const { return sharedPrefix_ > 0 || prefixPeers_; }

  // Up-to rules: the scan stops before one of these literals (compared
  // case-sensitively) or at a character of the stop class.
  const std::vector<const GrammarRule*>& GetStopLiterals() const {
    return upTo_ ? upTo_->stopLiterals : kNoStopLiterals;
  }
  const GrammarRule* GetStopClass() const { return upTo_ ? upTo_->stopClass : nullptr; }
  // Up-to rules scanning a class: true for a character of the class where
  // the scan neither stops nor counts a line.
  bool ScansPast(char16_t c) const {
    unsigned i = c > 255 ? 255u : c;
    return upTo_ && ((upTo_->scanBits[i >> 6] >> (i & 63)) & 1u);
  }
  // ScansPast as a table of 256 entries (one load per unit); null for other
  // rules and before linking.
  const uint8_t* GetScanTable() const { return upTo_ && upTo_->hasScanTable ? upTo_->scanTable : nullptr; }
  // Up-to rules scanning a class: false for a character at which no stop
  // can begin (neither in the stop class nor the first of a stop literal).
  bool MayStopAt(char16_t c) const {
    unsigned i = c > 255 ? 255u : c;
    return upTo_ && ((upTo_->stopStartBits[i >> 6] >> (i & 63)) & 1u);
  }
  // Up-to rules scanning a class, when every character from U+0020 up
  // scans past but for at most kMaxSkipStops of them: how many those are
  // (the engine then tests sixteen units at a time for them and for the
  // characters below U+0020); -1 otherwise.
  static constexpr int kMaxSkipStops = 4;
  int GetSkipStopCount() const { return upTo_ ? upTo_->skipStopCount : -1; }
  // The stops, each repeated eight times (a vector's lanes); unused ones are
  // U+0000, below U+0020 anyway. Only for a rule with a skip-stop count.
  const char16_t* GetSkipStopLanes() const { return upTo_->skipStops[0]; }

 private:
  friend class ParsoGrammar;
class YStream;

  GrammarRule* AddChild(const char16_t* text, size_t length, char16_t kind, std::u16string* error);
  bool AddConstraint(std::u16string_view name, std::u16string* error);
  bool CompileClassText(std::u16string* error);
  bool CompileCode(std::u16string* error);
  void SetClassChar(unsigned c) { classBits_[c >> 6] |= uint64_t{1} << (c & 63); }
  int CountClassEntries() const;

  ParsoGrammar* grammar_;
  std::u16string text_;
  // Held apart: most rules (the anonymous ones) have none.
  std::unique_ptr<std::u16string> description_;
  static const std::u16string kNoDescription;
  std::vector<Element> elements_;
  std::vector<GrammarRule*> constraints_;
  uint64_t classBits_[4] = {0, 0, 0, 0};
  uint64_t firstBits_[4] = {0, 0, 0, 0};
  bool mayBeEmpty_ = true;  // until computed: predict nothing
  static constexpr int kMaxHeads = 8;
  static char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? c + 32 : c; }
  char16_t heads_[kMaxHeads][2] = {};
  int headCount_ = 0;
  int startNesting_ = 1 << 30;
  bool hasLead_ = false;
  char16_t lead_ = 0;
  uint64_t secondBits_[4] = {0, 0, 0, 0};
  int secondNesting_ = 1 << 30;
  bool silentStart_ = false;
  int nesting_ = 1 << 30;
  bool keepsNoChildren_ = false;
  bool flat_ = false;
  uint8_t flatForm_ = kFlatOther;
  const GrammarRule* flatHead_ = nullptr;
  const GrammarRule* flatTail_ = nullptr;
  char16_t flatChar_ = 0;
  const GrammarRule* leadingFlat_ = nullptr;
  // A set of characters (those from U+00FF up by entry 255) that few rules
  // have, made only for those: the repeat stops of a choice led by a flat
  // rule and the at-once failures of its repetition.
  struct CharSet {
    uint64_t bits[4] = {0, 0, 0, 0};
  };
  std::unique_ptr<CharSet> repeatStops_;
  bool hasRepeatStops_ = false;
  bool flatSteps_ = false;
  bool ownStep_ = false;
  bool sequenceRule_ = false;
  bool flatAlternatives_ = false;
  bool splicedAlternatives_ = false;
  int repeatStopChild_ = -1;
  bool repeatedChoice_ = false;
  const GrammarRule* plainLast_ = nullptr;
  std::unique_ptr<CharSet> atOnce_;
  bool spliced_ = false;
  int sharedPrefix_ = 0;
  // Made for the few sequences that have peers; null for the others.
  std::unique_ptr<std::vector<PrefixPeer>> prefixPeers_;
  static const std::vector<PrefixPeer> kNoPrefixPeers;
  // What only an up-to rule reads (its stops and scan tables), kept apart
  // and made only for such a rule: a grammar has a handful of them among
  // hundreds of rules, and every rule is loaded at the start of a run.
  struct UpToTables {
    std::vector<const GrammarRule*> stopLiterals;
    const GrammarRule* stopClass = nullptr;
    uint64_t scanBits[4] = {0, 0, 0, 0};
    uint64_t stopStartBits[4] = {0, 0, 0, 0};
    int skipStopCount = -1;
    bool hasScanTable = false;
    alignas(16) char16_t skipStops[kMaxSkipStops][8] = {};
    uint8_t scanTable[256] = {};
  };
  static const std::vector<const GrammarRule*> kNoStopLiterals;
  std::unique_ptr<UpToTables> upTo_;
  std::unique_ptr<uint8_t[]> runTable_;
  int index_ = -1;
  uint32_t tableId_ = 0;
  static const GrammarRule* table_[kMaxLiveRules];
  int referenceLine_ = 0;  // grammar line of the first reference (named rules)
  bool defined_ = false;   // a rule line defined it (named rules)
  char16_t kind_;
  char16_t operator_ = kSingle;
  char16_t code_ = 0;
  bool drop_;
  bool keepChain_;
  bool keep_;
  bool token_ = false;
};

// Source of grammar lines. ReadLine fills at most `count` characters of one
// line (without its line end) and sets `count` to the number read: 0 for an
// empty line, -1 at the end of the input. Returns 0, or an error code.
class ParsoLineReader {
 public:
  virtual ~ParsoLineReader() = default;
  virtual int ReadLine(char16_t* buffer, int& count) = 0;
};

// Line reader over a text in memory. A carriage return, a line feed, and a
// carriage return followed by a line feed each end one line.
class ParsoTextLineReader : public ParsoLineReader {
 public:
  explicit ParsoTextLineReader(std::u16string_view text) : text_(text) {}
  int ReadLine(char16_t* buffer, int& count) override;

 private:
  std::u16string_view text_;
  size_t pos_ = 0;
};

class ParsoGrammar {
 public:
  ParsoGrammar();
  ~ParsoGrammar();
  ParsoGrammar(const ParsoGrammar&) = delete;
  ParsoGrammar& operator=(const ParsoGrammar&) = delete;

  // Reads rule lines until an empty line or the end of the input, then links.
  // `sourceName` names the grammar in load errors. True on success; on failure
  // GetLoadError() says file, line and reason.
  bool Load(ParsoLineReader& reader, std::u16string_view sourceName);
  // Load from a text in memory.
  bool LoadText(std::u16string_view text, std::u16string_view sourceName);
  // Load from an open stream, read line by line. `sourceName` names the
  // grammar in load errors (when empty: the stream's own name, if it keeps
  // one). False at once, changing nothing, for a null stream.
  bool Load(YStream* stream, std::u16string_view sourceName = {});
  // Load the embedded grammar file of that name through a built-in-file
  // stream (class id 8). Failures to create or open the stream fail the load
  // with a message, like any other load failure.
  bool Init(const char16_t* fileName);

  // The linked grammar as words: every field that reading, compiling and
  // linking computed, rules by table index. Appended to `out`.
  void SaveLinked(std::vector<uint32_t>& out) const;
  // Builds the grammar that SaveLinked wrote, without reading a rule line:
  // the same rules at the same indexes with the same tables. Words that are
  // cut short or refer to no rule fail the load (GetLoadError names
  // `sourceName`) and leave the grammar empty.
  bool LoadLinked(const uint32_t* words, size_t count, std::u16string_view sourceName);

  // Set as soon as a load begins and again after linking; stays set when the
  // load fails. Judge a load by its result, not by this flag.
  bool IsLoaded() const { return loaded_; }
  const std::u16string& GetLoadError() const { return loadError_; }

  // The named rule of exactly that name, or null. Rules that linking turned
  // into classes or literals have lost their names.
  GrammarRule* FindRule(std::u16string_view name) const;
  // First rule in table order of that kind whose text is not empty and equals `text`.
  GrammarRule* FindRule(std::u16string_view text, char16_t kind) const;

  GrammarRule* GetRoot() const { return root_; }
  // Table slots in use, emptied ones included; GetRule(i) is null for an emptied slot.
  int GetRuleCount() const { return static_cast<int>(rules_.size()); }
  GrammarRule* GetRule(int index) const { return rules_[index].get(); }

  // One rule line: name with its marks, and the expression. The first call
  // makes the root; later ones must name a rule already referenced or defined.
  bool AddRule(std::u16string_view nameWithMarks, std::u16string_view expression,
               std::u16string* error);
  // Null when the table holds kParsoMaxRules rules.
  GrammarRule* CreateRule(const char16_t* text, size_t length, char16_t kind, bool drop,
                          bool keepChain, bool keep);
  // Class compilation, merging of class choices, removal of unreferenced
  // rules, one-character classes to literals.
  void Link();

 private:
  friend class GrammarRule;
  void Clear();
  bool ReadRules(ParsoLineReader& reader, std::u16string_view sourceName);
  void ComputeEngineTables();
  void ComputePrefixPeers();
  bool Fail(std::u16string_view sourceName, int line, std::u16string_view reason);

  std::vector<std::unique_ptr<GrammarRule>> rules_;
  // Looked up by a view of the name (every parse from a named rule does), so
  // a lookup neither copies nor allocates the name. The keys view the rules'
  // own names, which stay in place while the rule is named (a rule leaves
  // the map before its name changes or it goes).
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::u16string_view name) const noexcept {
      return std::hash<std::u16string_view>{}(name);
    }
  };
  std::unordered_map<std::u16string_view, GrammarRule*, NameHash, std::equal_to<>> named_;
  GrammarRule* root_ = nullptr;
  int currentLine_ = 0;
  bool loaded_ = false;
  std::u16string loadError_;
};

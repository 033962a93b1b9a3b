// XMLRegExp: the regular expressions of XML Schema Part 2 (Appendix F),
// parsed with the grammar engine from the embedded grammar "gra_re.txt",
// compiled to a small program of states and matched against a whole text by
// simulating every live state at once (no backtracking). Used by the pattern
// facet, the built-in pattern table of the datatypes and the DTD and schema
// loaders.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "core/ktstring.h"

class GrammarRule;
class ParsoGrammar;
class ParsoParser;

// The process-wide regular-expression grammar: the grammar read from the
// embedded "gra_re.txt", one parser for it and the handles of the rules that
// the compiler recognises. Made on the first compile, kept until exit.
class KTRegexGrammar {
 public:
  // Rule names, in the order of their handles.
  static constexpr int kRuleCount = 38;
  static const char16_t* const kRuleNames[kRuleCount];
  enum Rule : int {
    kRegExp, kBranch, kPiece, kQuantifier, kQuantity, kQuantRange, kQuantMin, kQuantExact,
    kAtom, kChar, kCharClass, kCharClassExpr, kCharGroup, kCharClassSub, kNegCharGroup,
    kPosCharGroup, kCharRange, kSeRange, kCharOrEsc, kXmlChar, kCharClassEsc, kSingleCharEsc,
    kMultiCharEsc, kWildcardEsc, kCatEsc, kComplEsc, kCharProp, kIsBlock, kIsCategory,
    kXmlCharIncDash, kCharRangeBegin, kCharRangeEnd, kSeRangeBegin, kSeRangeEnd,
    kCharOrEscIncDash, kCharRangeEndND, kNegCharGroupND, kPosCharGroupND,
  };

  KTRegexGrammar();
  ~KTRegexGrammar();

  bool IsLoaded() const { return loaded_; }
  // Why the grammar could not be loaded (file, line, reason); empty when it was.
  const std::u16string& GetLoadError() const { return loadError_; }
  ParsoParser& GetParser() { return *parser_; }
  const GrammarRule* GetRule(int index) const { return rules_[index]; }
  // The handle index of a rule, or -1 for a rule the compiler does not name
  // (an unnamed group).
  int IndexOf(const GrammarRule* rule) const;

 private:
  std::unique_ptr<ParsoGrammar> grammar_;
  std::unique_ptr<ParsoParser> parser_;
  const GrammarRule* rules_[kRuleCount] = {};
  std::unordered_map<const GrammarRule*, int> index_;
  bool loaded_ = false;
  std::u16string loadError_;
};

// The grammar singleton, created on first use.
KTRegexGrammar& GetRegexGrammar();

class XMLRegExp {
 public:
  // Parenthesised groups and character-class subtractions nested deeper than
  // this are refused when compiling; it bounds the recursion of compiling.
  static constexpr int kMaxNesting = 256;
  // Bounded repetitions are written out state by state ({2,4} gives four
  // copies of its atom), and every state may be live at each character, so
  // one match costs up to the text's length times this many steps. 32768
  // states leave room for any pattern a schema writes by hand (\d{1,1000}
  // takes 2,000) while a{1000000000} is refused at compile time.
  static constexpr int kMaxStates = 1 << 15;
  // Results of Match.
  static constexpr int kNoMatch = 0;
  static constexpr int kPartialMatch = 1;  // a leading part of the text matched
  static constexpr int kMatch = 2;

  XMLRegExp(const KTString& pattern, uint8_t flag);
  XMLRegExp(const XMLRegExp& other);
  XMLRegExp& operator=(const XMLRegExp&) = delete;
  ~XMLRegExp();
  XMLRegExp* Clone() const { return new XMLRegExp(*this); }

  // Parses the pattern from the rule "regExp"; the whole pattern must parse.
  // On failure the process-wide error values are set and the object has no
  // compiled form (Match then answers kMatch for every text).
  bool Compile(const KTString& pattern);
  bool IsCompiled() const { return !nodes_.empty(); }
  const KTString& GetPattern() const { return pattern_; }
  uint8_t GetFlag() const { return flag_; }

  // kMatch when the pattern matches the whole text, else kNoMatch or
  // kPartialMatch. With flag 0 any way of matching counts; with flag 1 only
  // the way a greedy, left-to-right reading prefers (so a|ab refuses "ab").
  // Either way the work is at most linear in the text's length times the
  // number of states.
  int Match(const KTString& text);
  int Match(const char16_t* text, int length);
  // A text that the pattern matches; empty without a compiled form.
  KTString MakeSample() const;

  // States visited by the last Match (for tests and benchmarks); the same
  // count is added to KTWorkCount.
  int64_t GetLastStepCount() const { return steps_; }
  // States of the compiled program.
  int GetStateCount() const { return static_cast<int>(program_.size()); }

  // The furthest failure of the last compile that failed: offset and line in
  // the pattern, the rest of the pattern from there, and the expected rule.
  static int GetErrorOffset();
  static int GetErrorLine();
  static const char16_t* GetErrorPosition();
  static const KTString& GetErrorText();

 private:
  friend class KTRegexCompiler;

  enum class NodeKind : uint8_t { kAlternation, kBranch, kPiece, kChar, kClass };
  struct Node {
    NodeKind kind;
    int first = -1;  // first child
    int next = -1;   // next sibling
    int childCount = 0;
    int min = 1, max = 1;  // pieces
    char16_t ch = 0;       // characters
    int cls = -1;          // classes: index into classes_
  };

  enum class ClassKind : uint8_t {
    kChar, kRange, kWildcard, kSpace, kNameStart, kNameChar, kDigit, kWord,
    kCategory, kBlock, kGroup, kSubtraction,
  };
  struct ClassNode {
    ClassKind kind;
    bool negated = false;   // complement (\S, \P{..}, [^..])
    char16_t lo = 0, hi = 0;
    int first = -1;         // groups: first item; subtractions: the group
    int next = -1;          // next item of the same group
    int other = -1;         // subtractions: the subtracted class
    KTString name;          // category or block name
  };

  // One state of the compiled program. kSplit goes on at both targets, the
  // first preferred (greedy repetition, earlier alternative).
  enum class Op : uint8_t { kChar, kClass, kSplit, kJump, kFail, kAccept };
  struct State {
    Op op;
    char16_t ch = 0;
    int cls = -1;
    int x = -1, y = -1;  // targets of kSplit and kJump
  };

  // Size in states of the program for a node, stopping past kMaxStates.
  int64_t ProgramSize(int node) const;
  void Emit(int node);
  // Adds a state and everything reachable from it without reading a
  // character to the list, in order of preference.
  void AddState(std::vector<int>& list, int state);
  bool ClassContains(int cls, char16_t c) const;
  void BuildSample(int node, KTString& out, int& length) const;
  void ClassSample(int cls, KTString& out, int& length) const;

  KTString pattern_;
  uint8_t flag_;
  std::vector<Node> nodes_;  // nodes_[0] is the root alternation
  std::vector<ClassNode> classes_;
  std::vector<State> program_;  // program_[0] is the start

  // Match state, reused by every match: the live states before and after a
  // character, the position at which each state was last added, and the
  // stack of the closure walk.
  std::vector<int> current_;
  std::vector<int> next_;
  std::vector<int> addedAt_;
  std::vector<int> stack_;
  int position_ = 0;
  int64_t steps_ = 0;
};

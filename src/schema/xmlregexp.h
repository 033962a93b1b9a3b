// XMLRegExp: the regular expressions of XML Schema Part 2 (Appendix F),
// parsed with the grammar engine from the embedded grammar "gra_re.txt" and
// matched against a whole text by replaying recorded choice points. Used by
// the pattern facet, the built-in pattern table of the datatypes and the DTD
// and schema loaders.
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
  // The backtracking limits of one match: beyond this many choice points, or
  // this many attempts, the match stops and fails with its last status.
  static constexpr size_t kMaxChoicePoints = 1000;
  static constexpr int kMaxAttempts = 10000;
  // Node visits one match may make, on top of the limits above: a base and a
  // share per character of the text, so that a long text still gets its
  // first (linear) attempt while nested repetitions such as (a*)*b stop long
  // before the attempt limit could multiply into billions of steps.
  static constexpr int64_t kStepBudgetBase = 4'000'000;
  static constexpr int64_t kStepBudgetPerChar = 256;
  // Parenthesised groups and character-class subtractions nested deeper than
  // this are refused when compiling; it bounds the recursion of matching.
  static constexpr int kMaxNesting = 256;
  // A sample string stops growing at this length (x{1000000000} would
  // otherwise ask for a billion characters).
  static constexpr int kMaxSampleLength = 1 << 16;
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
  // kPartialMatch.
  int Match(const KTString& text);
  int Match(const char16_t* text, int length);
  // A text that the pattern matches; empty without a compiled form.
  KTString MakeSample() const;

  // Work done by the last Match (for tests and benchmarks).
  int64_t GetLastStepCount() const { return steps_; }
  int GetLastAttemptCount() const { return attempts_; }

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

  struct ChoiceKey {
    int node;
    int cursor;
    int count;
    bool operator==(const ChoiceKey& o) const {
      return node == o.node && cursor == o.cursor && count == o.count;
    }
  };
  struct ChoiceKeyHash {
    size_t operator()(const ChoiceKey& k) const noexcept {
      uint64_t h = static_cast<uint32_t>(k.node) * 0x9E3779B97F4A7C15ull;
      h ^= (static_cast<uint64_t>(static_cast<uint32_t>(k.cursor)) << 20) ^ static_cast<uint32_t>(k.count);
      h *= 0xC2B2AE3D27D4EB4Full;
      return static_cast<size_t>(h ^ (h >> 29));
    }
  };
  struct ChoicePoint {
    ChoiceKey key;
    bool taken;
  };

  int MatchNode(int node, int& cursor);
  // Looks a decision up; returns true when its point is present and taken
  // (the other option is due), false when it is new or not yet taken.
  bool IsTaken(const ChoiceKey& key);
  bool ClassContains(int cls, char16_t c) const;
  void BuildSample(int node, KTString& out, int& length) const;
  void ClassSample(int cls, KTString& out, int& length) const;

  KTString pattern_;
  uint8_t flag_;
  std::vector<Node> nodes_;  // nodes_[0] is the root alternation
  std::vector<ClassNode> classes_;

  // Match state, reused by every match.
  std::vector<ChoicePoint> points_;
  std::unordered_map<ChoiceKey, size_t, ChoiceKeyHash> pointIndex_;
  bool pointsOverflow_ = false;
  const char16_t* text_ = nullptr;
  int length_ = 0;
  int64_t steps_ = 0;
  int64_t budget_ = 0;
  int attempts_ = 0;
  bool aborted_ = false;
};

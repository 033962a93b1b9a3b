// KTXPathParser: the recursive-descent parser that turns XPath 1.0 text into
// a syntax tree of KTXPathAstNode objects, one method per grammar production.
// A production either builds its subtree and advances the position, or builds
// nothing and leaves the position where it was.
#pragma once

#include <map>

#include "xpath/ktxpathastnode.h"

class KTXPathParser {
 public:
  using Holder = KTXPathNodeHolder;
  using Pos = const char16_t*;

  // Nested expressions (parentheses, predicates, function arguments) and
  // nested unary minus signs, counted together. Each level costs a few
  // kilobytes of stack when the tree is parsed and again when it is
  // evaluated; a thousand levels is far beyond hand-written expressions and
  // stays well inside the main thread's stack.
  static constexpr int kMaxNesting = 1000;
  static constexpr int kNoTerminalMatched = 0x7FFFFFFF;

  KTXPathParser() = default;
  virtual ~KTXPathParser() = default;

  // Forgets the text of earlier parses: no text start, no farthest terminal,
  // no nesting failure.
  void Reset();

  int GetGrammarSelector() const { return grammarSelector_; }
  void SetGrammarSelector(int selector) { grammarSelector_ = selector; }
  // Records the offset and length of every name test parsed (not owned).
  void SetSpanMap(std::map<int, int>* spans) { spanMap_ = spans; }
  // Characters left after the farthest terminal matched (kNoTerminalMatched
  // when none was).
  int GetMinRemainingLength() const { return minRemaining_; }
  // Characters left after the farthest token of any kind (terminal, name,
  // digits, operator character): where an error message places its marker.
  int GetMinRemainingAfterToken() const { return minRemainingToken_; }
  // True when a parse was refused for nesting deeper than kMaxNesting.
  bool NestingExceeded() const { return nestingExceeded_; }
  // Whether a predicate node was built since the last Reset (one that a
  // failed alternative dropped counts too): a tree without predicates has
  // no operand to mark invariant, and the marking walk is skipped.
  bool BuiltPredicate() const { return builtPredicate_; }
  // The same for variable references: a pattern or key without one has
  // none to refuse.
  bool BuiltVariableReference() const { return builtVariableReference_; }

  // Entry points. The text must be terminated; the position moves past
  // what was consumed. ParseExpr does not require the end of the text.
  bool ParseExpr(Holder& out, Pos& pos);
  // Name checks: no white space is skipped before the name, and the name
  // need not reach the end of the text.
  bool ParseNCName(Holder& out, Pos& pos);
  bool ParseQName(Holder& out, Pos& pos);

  // The first node of the kind in pre-order (the root included), or null.
  static KTXPathAstNode* FindNodeOfKind(KTXPathAstNode* root, int kind);

  // XML 1.0 name characters (fifth edition, without ':'); a surrogate pair
  // counts as one character of the planes 1 to 14.
  static bool IsNCNameStartChar(Pos pos);
  static bool IsNCNameChar(Pos pos);
  static bool IsAsciiDigit(Pos pos) { return *pos >= u'0' && *pos <= u'9'; }

  // Productions of the expression grammar (public for tests of tree shapes).
  bool ParseOrExpr(Holder& out, Pos& pos);
  bool ParseAndExpr(Holder& out, Pos& pos);
  bool ParseEqualityExpr(Holder& out, Pos& pos);
  bool ParseRelationalExpr(Holder& out, Pos& pos);
  bool ParseAdditiveExpr(Holder& out, Pos& pos);
  bool ParseMultiplicativeExpr(Holder& out, Pos& pos);
  bool ParseUnaryExpr(Holder& out, Pos& pos);
  bool ParseUnionExpr(Holder& out, Pos& pos);
  bool ParsePathExpr(Holder& out, Pos& pos);
  bool ParseFilterExpr(Holder& out, Pos& pos);
  bool ParsePrimaryExpr(Holder& out, Pos& pos);
  bool ParseFunctionCall(Holder& out, Pos& pos);
  bool ParseLocationPath(Holder& out, Pos& pos);
  bool ParseRelativeLocationPath(Holder& out, Pos& pos);
  bool ParseAbsoluteLocationPath(Holder& out, Pos& pos);
  bool ParseStep(Holder& out, Pos& pos);
  bool ParseNodeTest(Holder& out, Pos& pos);
  bool ParseNameTest(Holder& out, Pos& pos);
  bool ParsePredicate(Holder& out, Pos& pos);
  bool ParseLiteral(Holder& out, Pos& pos);
  bool ParseNumber(Holder& out, Pos& pos);

 private:
  void SetText(Pos pos);
  int Remaining(Pos pos) const { return static_cast<int>(textEnd_ - pos); }
  void NoteTokenEnd(Pos end) {
    if (Remaining(end) < minRemainingToken_) minRemainingToken_ = Remaining(end);
  }
  void SkipWhitespace(Pos& pos) const;
  // Matches a terminal after white space; on success `position` is where it
  // starts (characters left to the end) and `pos` is past it.
  bool ScanTerminal(const char16_t* literal, Pos& pos, bool skipWhitespace, int& position);
  // Matches a terminal after white space; on success the token (kind 8190),
  // with its own position, is in `token` and the position is past it.
  bool MatchTerminal(const char16_t* literal, Holder& token, Pos& pos, bool skipWhitespace = true);
  // Matches a terminal and adds the terminal's shared token to `node`: for
  // terminals whose own position nothing reads.
  bool AttachTerminal(Holder& node, const char16_t* literal, Pos& pos, bool skipWhitespace = true);
  // Adds the terminal's shared token to `node`, which starts at `position`
  // when nothing before it gave it a position.
  void AttachShared(Holder& node, const char16_t* literal, int position);
  static KTXPathAstNode* SharedTerminal(const char16_t* literal, int length);
  // Whether the terminal would match (after white space), without matching
  // it: productions look before they build, so failed attempts cost no nodes.
  // Inline up to the first character, where most attempts end: the parser
  // asks this of every operator level after every operand.
  bool AtTerminal(const char16_t* literal, Pos pos) const {
    while (*pos == u' ' || *pos == u'\n' || *pos == u'\r' || *pos == u'\t')
      ++pos;
    return *pos == literal[0] && AtTerminalFrom(literal, pos);
  }
  // The rest of AtTerminal, at the first character of the terminal.
  static bool AtTerminalFrom(const char16_t* literal, Pos pos);

  // The binary operator levels, loosest first (the index ParseBinaryLevels
  // takes).
  enum : int {
    kLevelOr,
    kLevelAnd,
    kLevelEquality,
    kLevelRelational,
    kLevelAdditive,
    kLevelMultiplicative,
    kLevelCount
  };
  // The operator levels from `loosest` down to the multiplicative one.
  bool ParseBinaryLevels(int loosest, Holder& out, Pos& pos);
  bool ParseOrOperand(Holder& out, Pos& pos);
  bool ParseAndOperand(Holder& out, Pos& pos);
  bool ParseEqualityOperand(Holder& out, Pos& pos);
  bool ParseRelationalOperand(Holder& out, Pos& pos);
  // The operator and operand of an equality or relational level (`kind`).
  bool ParseComparisonOperand(int kind, Holder& out, Pos& pos);
  bool ParseAdditiveOperand(Holder& out, Pos& pos);
  bool ParseMultiplicativeOperand(Holder& out, Pos& pos);
  bool ParseKeywordOperand(int kind, const char16_t* keyword, Holder& out, Pos& pos);
  bool ParseNegation(Holder& out, Pos& pos);
  bool ParseUnionOperand(Holder& out, Pos& pos);
  bool ParseFilterPredicate(Holder& out, Pos& pos);
  bool ParseVariableReference(Holder& out, Pos& pos);
  bool ParseParenthesizedExpr(Holder& out, Pos& pos);
  bool ParseFunctionName(Holder& out, Pos& pos);
  bool ParseArguments(Holder& out, Pos& pos);
  bool ParseArgument(Holder& out, Pos& pos);
  bool ParseArgumentTail(Holder& out, Pos& pos);
  bool ParseAbbreviatedAbsoluteLocationPath(Holder& out, Pos& pos);
  bool ParseRootLocationPath(Holder& out, Pos& pos);
  bool ParseStepContinuation(Holder& out, Pos& pos);
  bool ParseStepSeparator(Holder& out, Pos& pos);
  bool ParseLongerOrShorterTerminal(int kind, const char16_t* longer, const char16_t* shorter, Holder& out,
                                    Pos& pos);
  bool ParseAxisStep(Holder& out, Pos& pos);
  bool ParseAbbreviatedStep(Holder& out, Pos& pos);
  bool ParseAxisSpecifier(Holder& out, Pos& pos);
  bool ParseNamedAxis(Holder& out, Pos& pos);
  bool ParseAxisName(Holder& out, Pos& pos);
  bool ParseAbbreviatedAxisSpecifier(Holder& out, Pos& pos);
  bool ParseProcessingInstructionTest(Holder& out, Pos& pos);
  bool ParseNodeTypeTest(Holder& out, Pos& pos);
  bool ParseNodeType(Holder& out, Pos& pos);
  bool ParsePrefixWildcard(Holder& out, Pos& pos);
  bool ParseQuotedLiteral(int kind, char16_t quote, Holder& out, Pos& pos);
  bool ParseDigitsNumber(Holder& out, Pos& pos);
  bool ParseDigits(Holder& out, Pos& pos);
  bool ParseFraction(Holder& out, Pos& pos);
  bool ParseLeadingPointNumber(Holder& out, Pos& pos);
  bool ParseQNamePrefix(Holder& out, Pos& pos);
  bool ParseNameNode(int kind, Holder& out, Pos& pos);
  bool AppendName(Holder& node, Pos& pos);
  // The end of the QName at `pos` as ParseQName reads it, or `pos` when
  // there is none; notes the token ends that ParseQName would note, without
  // building nodes.
  Pos ScanQName(Pos pos);

  int grammarSelector_ = 0;
  Pos textStart_ = nullptr;
  Pos textEnd_ = nullptr;
  std::map<int, int>* spanMap_ = nullptr;
  int minRemaining_ = kNoTerminalMatched;
  int minRemainingToken_ = kNoTerminalMatched;
  int depth_ = 0;
  bool nestingExceeded_ = false;
  bool builtPredicate_ = false;
  bool builtVariableReference_ = false;
};

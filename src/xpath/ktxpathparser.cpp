// The XPath parser's productions. Terminals skip white space and are compared
// with the text (a keyword only where a name ends); names, digits and
// literal contents are character runs taken whole. A FilterExpr is parsed once and then followed by "//",
// "/" or nothing, so nested filters cost linear time.
#include "xpath/ktxpathparser.h"

#include <array>
#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

namespace {

using Holder = KTXPathParser::Holder;
using Pos = KTXPathParser::Pos;

// Name-character classes of the BMP, one byte per code unit: bit 0 a name
// start character, bit 1 a name character (XML 1.0 fifth edition §2.3,
// without ':').
constexpr uint8_t kStart = 1;
constexpr uint8_t kName = 2;

const std::array<uint8_t, 0x10000>& NameClasses() {
  static const std::array<uint8_t, 0x10000> table = [] {
    std::array<uint8_t, 0x10000> t{};
    auto set = [&t](unsigned from, unsigned to, uint8_t bits) {
      for (unsigned c = from; c <= to; ++c)
        t[c] |= bits;
    };
    const uint8_t both = kStart | kName;
    set(u'A', u'Z', both);
    set(u'_', u'_', both);
    set(u'a', u'z', both);
    set(0xC0, 0xD6, both);
    set(0xD8, 0xF6, both);
    set(0xF8, 0x2FF, both);
    set(0x370, 0x37D, both);
    set(0x37F, 0x1FFF, both);
    set(0x200C, 0x200D, both);
    set(0x2070, 0x218F, both);
    set(0x2C00, 0x2FEF, both);
    set(0x3001, 0xD7FF, both);
    set(0xF900, 0xFDCF, both);
    set(0xFDF0, 0xFFFD, both);
    set(u'-', u'-', kName);
    set(u'.', u'.', kName);
    set(u'0', u'9', kName);
    set(0xB7, 0xB7, kName);
    set(0x300, 0x36F, kName);
    set(0x203F, 0x2040, kName);
    return t;
  }();
  return table;
}

// A surrogate pair for a code point of U+10000..U+EFFFF (high surrogates
// D800..DB7F); such characters are name start and name characters.
bool IsNameSurrogatePair(Pos pos) {
  return pos[0] >= 0xD800 && pos[0] <= 0xDB7F && pos[1] >= 0xDC00 && pos[1] <= 0xDFFF;
}

int NameCharWidth(Pos pos, uint8_t bit) {
  if (NameClasses()[*pos] & bit)
    return 1;
  return IsNameSurrogatePair(pos) ? 2 : 0;
}

bool IsXPathWhitespace(char16_t c) { return c == u' ' || c == u'\n' || c == u'\r' || c == u'\t'; }

int LiteralLength(const char16_t* literal) {
  int n = 0;
  while (literal[n])
    ++n;
  return n;
}

// XPath 1.0 §3.7: the text is split into the longest tokens, so a keyword
// (an operator name, axis name or node type) is matched only where its
// name ends: «1 ordinal» holds the NCName "ordinal", not "or", and
// «nodes()» calls the function "nodes". `end` is the position just after
// the keyword in the text.
bool EndsWord(const char16_t* literal, Pos end) {
  return !(NameClasses()[literal[0]] & kStart) || !*end || NameCharWidth(end, kName) == 0;
}

// The end of the NCName starting at `pos`, or `pos` itself when none starts
// there.
Pos NCNameEnd(Pos pos) {
  int width = *pos ? NameCharWidth(pos, kStart) : 0;
  if (width == 0)
    return pos;
  Pos end = pos + width;
  while (*end && (width = NameCharWidth(end, kName)) > 0)
    end += width;
  return end;
}

// Whether a ':' follows `pos` after white space, as the prefix separator
// terminal is matched.
bool ColonFollows(Pos pos) {
  while (IsXPathWhitespace(*pos))
    ++pos;
  return *pos == u':';
}

Holder Make(int kind) {
  Holder node = CreateNodeOfKind(kind);
  if (!node)
    throw std::bad_alloc();
  return node;
}

void Attach(Holder& parent, Holder& child) { parent->AddChild(child.release(), kRoleChild); }

// A production with one sub-production: a node of `kind` holding `child`
// becomes the result. Always true.
bool Wrap(Holder& out, int kind, Holder& child) {
  Holder node = Make(kind);
  Attach(node, child);
  out = std::move(node);
  return true;
}

// Restores the nesting depth when a production leaves, whatever the path.
class DepthGuard {
 public:
  explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  int& depth_;
};

}  // namespace

bool KTXPathParser::IsNCNameStartChar(Pos pos) { return *pos && NameCharWidth(pos, kStart) > 0; }

bool KTXPathParser::IsNCNameChar(Pos pos) { return *pos && NameCharWidth(pos, kName) > 0; }

void KTXPathParser::Reset() {
  textStart_ = nullptr;
  textEnd_ = nullptr;
  minRemaining_ = kNoTerminalMatched;
  minRemainingToken_ = kNoTerminalMatched;
  depth_ = 0;
  nestingExceeded_ = false;
  builtPredicate_ = false;
  builtVariableReference_ = false;
}

void KTXPathParser::SetText(Pos pos) {
  if (textStart_ && pos >= textStart_ && pos <= textEnd_)
    return;
  textStart_ = pos;
  Pos end = pos;
  while (*end)
    ++end;
  textEnd_ = end;
}

void KTXPathParser::SkipWhitespace(Pos& pos) const {
  while (IsXPathWhitespace(*pos))
    ++pos;
}

bool KTXPathParser::ScanTerminal(const char16_t* literal, Pos& pos, bool skipWhitespace, int& position) {
  SetText(pos);
  if (skipWhitespace)
    SkipWhitespace(pos);
  // The text ends with a NUL that no terminal holds: the compare stops there
  // at the latest.
  int n = 0;
  for (; literal[n]; ++n) {
    if (pos[n] != literal[n])
      return false;
  }
  if (!EndsWord(literal, pos + n))
    return false;
  position = Remaining(pos);
  pos += n;
  if (Remaining(pos) < minRemaining_)
    minRemaining_ = Remaining(pos);
  NoteTokenEnd(pos);
  return true;
}

bool KTXPathParser::MatchTerminal(const char16_t* literal, Holder& token, Pos& pos, bool skipWhitespace) {
  token.reset();
  int position = 0;
  if (!ScanTerminal(literal, pos, skipWhitespace, position))
    return false;
  token = Make(kAstToken);
  token->SetTokenText(literal, LiteralLength(literal), position);
  return true;
}

bool KTXPathParser::AtTerminalFrom(const char16_t* literal, Pos pos) {
  int i = 0;
  for (; literal[i]; ++i) {
    if (pos[i] != literal[i])
      return false;
  }
  return EndsWord(literal, pos + i);
}

// The one token node of a terminal text on this thread. These tokens are
// read for their text only (their parents take the position), so every
// parent that holds the terminal holds this node: a stylesheet compiles
// tens of thousands of brackets, slashes and parentheses, and each would
// otherwise cost a node and a text block. The table, made once per thread
// and never destroyed, keeps one reference to each node, so none is ever
// freed; it is looked up by the text (a quote comes from a local buffer),
// in a list per first character. Null for a text that is not ASCII.
KTXPathAstNode* KTXPathParser::SharedTerminal(const char16_t* literal, int length) {
  if (length <= 0 || literal[0] >= 128)
    return nullptr;
  thread_local auto* table = new std::array<std::vector<KTNodeHandle>, 128>();
  std::vector<KTNodeHandle>& sameStart = (*table)[literal[0]];
  const std::u16string_view text(literal, length);
  for (const KTNodeHandle& shared : sameStart) {
    if (shared->Token().View() == text)
      return shared.Get();
  }
  Holder token = Make(kAstToken);
  if (!token->SetTokenText(literal, length, 0))
    return nullptr;
  sameStart.emplace_back(token.release());
  return sameStart.back().Get();
}

void KTXPathParser::AttachShared(Holder& node, const char16_t* literal, int position) {
  const int length = LiteralLength(literal);
  KTXPathAstNode* shared = SharedTerminal(literal, length);
  if (!shared) {
    Holder token = Make(kAstToken);
    token->SetTokenText(literal, length, position);
    Attach(node, token);
    return;
  }
  // The position a token of its own would have given its parent as its
  // first child.
  if (node->SourcePosition() == 0)
    node->SetSourcePosition(position);
  node->AddChild(shared, kRoleChild);
}

bool KTXPathParser::AttachTerminal(Holder& node, const char16_t* literal, Pos& pos, bool skipWhitespace) {
  int position = 0;
  if (!ScanTerminal(literal, pos, skipWhitespace, position))
    return false;
  AttachShared(node, literal, position);
  return true;
}

KTXPathAstNode* KTXPathParser::FindNodeOfKind(KTXPathAstNode* root, int kind) {
  if (!root)
    return nullptr;
  std::vector<KTXPathAstNode*> work{root};
  while (!work.empty()) {
    KTXPathAstNode* node = work.back();
    work.pop_back();
    if (node->GetKind() == kind)
      return node;
    for (int i = node->ChildCount() - 1; i >= 0; --i)
      work.push_back(node->ChildAt(i));
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Expressions

bool KTXPathParser::ParseExpr(Holder& out, Pos& pos) {
  out.reset();
  SetText(pos);
  if (nestingExceeded_)
    return false;
  if (depth_ >= kMaxNesting) {
    nestingExceeded_ = true;
    return false;
  }
  DepthGuard guard(depth_);
  const Pos start = pos;
  Holder sub;
  if (!ParseOrExpr(sub, pos)) {
    pos = start;
    return false;
  }
  Holder node = Make(kAstExpr);
  // Only where the expression starts: nothing reads the text of an Expr
  // node, and a copy of the rest of the input in every nested one would cost
  // more than the rest of the tree.
  node->SetSourcePosition(Remaining(start));
  Attach(node, sub);
  out = std::move(node);
  return true;
}

// A head operand followed by any number of operator-and-operand nodes, in a
// node of the level's kind even when no operator follows.
#define OST_XPATH_OPERATOR_LEVEL(Method, kind, Head, Operand) \
  bool KTXPathParser::Method(Holder& out, Pos& pos) {                      \
    out.reset();                                                           \
    const Pos start = pos;                                                 \
    Holder sub;                                                            \
    if (!Head(sub, pos)) {                                                 \
      pos = start;                                                         \
      return false;                                                        \
    }                                                                      \
    Holder operand;                                                        \
    const bool more = Operand(operand, pos);                               \
    Holder node = Make(kind);                                              \
    Attach(node, sub);                                                     \
    if (more) {                                                            \
      Attach(node, operand);                                               \
      while (Operand(operand, pos))                                        \
        Attach(node, operand);                                             \
    }                                                                      \
    out = std::move(node);                                                 \
    return true;                                                           \
  }

OST_XPATH_OPERATOR_LEVEL(ParseUnionExpr, kAstUnionExpr, ParsePathExpr, ParseUnionOperand)
OST_XPATH_OPERATOR_LEVEL(ParseArguments, kAstArguments, ParseArgument, ParseArgumentTail)
OST_XPATH_OPERATOR_LEVEL(ParseRelativeLocationPath, kAstRelativeLocationPath, ParseStep, ParseStepContinuation)

#undef OST_XPATH_OPERATOR_LEVEL

// The six binary operator levels, from the loosest (or) to the tightest
// (multiplicative). A level makes no node when no operator follows: the head
// is the result. Such a node would only hand its evaluation to its one
// child, and every reader of a tree's shape walks sole children
// (KTSoleChainTo) rather than counting levels, while most operands of a
// stylesheet have no operator, so these levels would be most of its nodes.
// Each level is its head (the next tighter level) and its
// operands; its head's head down to the unary expression is read first, so
// a level parses one unary expression and then runs the operand loops of
// the tighter levels up to its own, the tightest first: the calls and their
// order are those of a descent through every level, without the descent's
// frame per level and per operand.
bool KTXPathParser::ParseBinaryLevels(int loosest, Holder& out, Pos& pos) {
  struct Level {
    int kind;
    bool (KTXPathParser::*operand)(Holder&, Pos&);
  };
  static constexpr Level kLevels[] = {
      {kAstOrExpr, &KTXPathParser::ParseOrOperand},
      {kAstAndExpr, &KTXPathParser::ParseAndOperand},
      {kAstEqualityExpr, &KTXPathParser::ParseEqualityOperand},
      {kAstRelationalExpr, &KTXPathParser::ParseRelationalOperand},
      {kAstAdditiveExpr, &KTXPathParser::ParseAdditiveOperand},
      {kAstMultiplicativeExpr, &KTXPathParser::ParseMultiplicativeOperand},
  };
  out.reset();
  const Pos start = pos;
  Holder sub;
  if (!ParseUnaryExpr(sub, pos)) {
    pos = start;
    return false;
  }
  // Every operator of these levels begins with one of these characters
  // after white space; any other character ends all the loops before they
  // look (an operand attempt that fails at its first character changes
  // nothing), as after most operands.
  Pos next = pos;
  SkipWhitespace(next);
  switch (*next) {
    case u'o': case u'a': case u'=': case u'!': case u'<': case u'>':
    case u'+': case u'-': case u'*': case u'd': case u'm': break;
    default: out = std::move(sub); return true;
  }
  Holder operand;
  for (int level = kLevelCount - 1; level >= loosest; --level) {
    const Level& current = kLevels[level];
    if (!(this->*current.operand)(operand, pos))
      continue;
    Holder node = Make(current.kind);
    Attach(node, sub);
    Attach(node, operand);
    while ((this->*current.operand)(operand, pos))
      Attach(node, operand);
    sub = std::move(node);
  }
  out = std::move(sub);
  return true;
}

bool KTXPathParser::ParseOrExpr(Holder& out, Pos& pos) { return ParseBinaryLevels(kLevelOr, out, pos); }
bool KTXPathParser::ParseAndExpr(Holder& out, Pos& pos) { return ParseBinaryLevels(kLevelAnd, out, pos); }
bool KTXPathParser::ParseEqualityExpr(Holder& out, Pos& pos) { return ParseBinaryLevels(kLevelEquality, out, pos); }
bool KTXPathParser::ParseRelationalExpr(Holder& out, Pos& pos) {
  return ParseBinaryLevels(kLevelRelational, out, pos);
}
bool KTXPathParser::ParseAdditiveExpr(Holder& out, Pos& pos) { return ParseBinaryLevels(kLevelAdditive, out, pos); }
bool KTXPathParser::ParseMultiplicativeExpr(Holder& out, Pos& pos) {
  return ParseBinaryLevels(kLevelMultiplicative, out, pos);
}

bool KTXPathParser::ParseKeywordOperand(int kind, const char16_t* keyword, Holder& out, Pos& pos) {
  out.reset();
  if (!(AtTerminal(keyword, pos)))
    return false;
  const Pos start = pos;
  Holder operand;
  int position = 0;
  if (!ScanTerminal(keyword, pos, true, position)) {
    pos = start;
    return false;
  }
  bool ok = false;
  switch (kind) {
    case kAstOrOperand: ok = ParseAndExpr(operand, pos); break;
    case kAstAndOperand: ok = ParseEqualityExpr(operand, pos); break;
    case kAstUnionOperand: ok = ParsePathExpr(operand, pos); break;
    case kAstArgumentTail: ok = ParseArgument(operand, pos); break;
    default: ok = ParseUnaryExpr(operand, pos); break;
  }
  if (!ok) {
    pos = start;
    return false;
  }
  Holder node = Make(kind);
  if (kind == kAstUnionOperand) {
    // A union reports an operand that is no node-set at its bar, so the bar
    // keeps a token with its own position.
    Holder token = Make(kAstToken);
    token->SetTokenText(keyword, LiteralLength(keyword), position);
    Attach(node, token);
  } else {
    AttachShared(node, keyword, position);
  }
  Attach(node, operand);
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseOrOperand(Holder& out, Pos& pos) {
  return ParseKeywordOperand(kAstOrOperand, u"or", out, pos);
}

bool KTXPathParser::ParseAndOperand(Holder& out, Pos& pos) {
  return ParseKeywordOperand(kAstAndOperand, u"and", out, pos);
}

bool KTXPathParser::ParseEqualityOperand(Holder& out, Pos& pos) {
  return ParseComparisonOperand(kAstEqualityOperand, out, pos);
}

bool KTXPathParser::ParseRelationalOperand(Holder& out, Pos& pos) {
  return ParseComparisonOperand(kAstRelationalOperand, out, pos);
}

bool KTXPathParser::ParseComparisonOperand(int kind, Holder& out, Pos& pos) {
  // The operators, a longer one before the one it begins with; the first
  // two characters tell whether any of them can start here.
  static const char16_t* const kEqualityOperators[] = {u"=", u"!=", nullptr};
  static const char16_t* const kRelationalOperators[] = {u"<=", u">=", u"<", u">", nullptr};
  const bool equality = kind == kAstEqualityOperand;
  out.reset();
  if (!(equality ? AtTerminal(u"=", pos) || AtTerminal(u"!=", pos) : AtTerminal(u"<", pos) || AtTerminal(u">", pos)))
    return false;
  const Pos start = pos;
  Holder op = Make(equality ? kAstEqualityOperator : kAstRelationalOperator);
  bool matched = false;
  for (const char16_t* const* name = equality ? kEqualityOperators : kRelationalOperators; *name && !matched; ++name)
    matched = AttachTerminal(op, *name, pos);
  if (!matched) {
    pos = start;
    return false;
  }
  Holder operand;
  if (!(equality ? ParseRelationalExpr(operand, pos) : ParseAdditiveExpr(operand, pos))) {
    pos = start;
    return false;
  }
  Holder node = Make(kind);
  Attach(node, op);
  Attach(node, operand);
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseAdditiveOperand(Holder& out, Pos& pos) {
  out.reset();
  const Pos start = pos;
  SkipWhitespace(pos);
  if (*pos != u'+' && *pos != u'-') {
    pos = start;
    return false;
  }
  Holder node = Make(kAstAdditiveOperand);
  node->AppendTokenChar(*pos);
  ++pos;
  NoteTokenEnd(pos);
  Holder operand;
  if (!ParseMultiplicativeExpr(operand, pos)) {
    pos = start;
    return false;
  }
  Attach(node, operand);
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseMultiplicativeOperand(Holder& out, Pos& pos) {
  out.reset();
  Holder sub;
  if (!ParseKeywordOperand(kAstMultiplyOperand, u"*", sub, pos) &&
      !ParseKeywordOperand(kAstDivOperand, u"div", sub, pos) &&
      !ParseKeywordOperand(kAstModOperand, u"mod", sub, pos))
    return false;
  return Wrap(out, kAstMultiplicativeOperand, sub);
}

bool KTXPathParser::ParseUnaryExpr(Holder& out, Pos& pos) {
  out.reset();
  Holder sub;
  // Without a minus sign the level makes no node, like the operator levels
  // above it: the union is the operand.
  if (ParseUnionExpr(sub, pos)) {
    out = std::move(sub);
    return true;
  }
  if (!ParseNegation(sub, pos))
    return false;
  return Wrap(out, kAstUnaryExpr, sub);
}

bool KTXPathParser::ParseNegation(Holder& out, Pos& pos) {
  out.reset();
  if (nestingExceeded_)
    return false;
  if (depth_ >= kMaxNesting) {
    nestingExceeded_ = true;
    return false;
  }
  DepthGuard guard(depth_);
  return ParseKeywordOperand(kAstNegation, u"-", out, pos);
}

bool KTXPathParser::ParseUnionOperand(Holder& out, Pos& pos) {
  return ParseKeywordOperand(kAstUnionOperand, u"|", out, pos);
}

bool KTXPathParser::ParsePathExpr(Holder& out, Pos& pos) {
  out.reset();
  const Pos start = pos;
  Holder sub;
  if (ParseFilterExpr(sub, pos)) {
    Holder node = Make(kAstPathExpr);
    // FilterExpr "//" RelativeLocationPath, else FilterExpr "/"
    // RelativeLocationPath, else the FilterExpr alone.
    const Pos afterFilter = pos;
    for (int kind : {kAstFilterDescendantPath, kAstFilterChildPath}) {
      const char16_t* separator = kind == kAstFilterDescendantPath ? u"//" : u"/";
      Holder path;
      int position = 0;
      if (ScanTerminal(separator, pos, true, position) && ParseRelativeLocationPath(path, pos)) {
        Holder combined = Make(kind);
        Attach(combined, sub);
        AttachShared(combined, separator, position);
        Attach(combined, path);
        Attach(node, combined);
        out = std::move(node);
        return true;
      }
      pos = afterFilter;
    }
    Attach(node, sub);
    out = std::move(node);
    return true;
  }
  pos = start;
  if (!ParseLocationPath(sub, pos)) {
    pos = start;
    return false;
  }
  Holder node = Make(kAstPathExpr);
  Attach(node, sub);
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseFilterExpr(Holder& out, Pos& pos) {
  out.reset();
  Holder sub;
  if (!ParsePrimaryExpr(sub, pos))
    return false;
  Holder node = Make(kAstFilterExpr);
  Attach(node, sub);
  while (ParseFilterPredicate(sub, pos))
    Attach(node, sub);
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseFilterPredicate(Holder& out, Pos& pos) {
  out.reset();
  Holder sub;
  if (!ParsePredicate(sub, pos))
    return false;
  return Wrap(out, kAstFilterPredicate, sub);
}

bool KTXPathParser::ParsePrimaryExpr(Holder& out, Pos& pos) {
  out.reset();
  Holder sub;
  // The first character after white space tells the one alternative that
  // can match: each of the others fails at that character without a trace
  // (no node, no token end noted), so trying only that one gives the same
  // result and the same positions. Most primary attempts are the steps of
  // location paths, which start with a name and fail as a function call.
  Pos first = pos;
  SkipWhitespace(first);
  bool ok = false;
  switch (*first) {
    case u'$': ok = ParseVariableReference(sub, pos); break;
    case u'(': ok = ParseParenthesizedExpr(sub, pos); break;
    case u'"':
    case u'\'': ok = ParseLiteral(sub, pos); break;
    case u'.':
    case u'0': case u'1': case u'2': case u'3': case u'4':
    case u'5': case u'6': case u'7': case u'8': case u'9': ok = ParseNumber(sub, pos); break;
    default: ok = ParseFunctionCall(sub, pos); break;
  }
  if (!ok)
    return false;
  return Wrap(out, kAstPrimaryExpr, sub);
}

bool KTXPathParser::ParseVariableReference(Holder& out, Pos& pos) {
  out.reset();
  if (!(AtTerminal(u"$", pos)))
    return false;
  const Pos start = pos;
  Holder token, name;
  if (!MatchTerminal(u"$", token, pos) || !ParseQName(name, pos)) {
    pos = start;
    return false;
  }
  Holder node = Make(kAstVariableReference);
  builtVariableReference_ = true;
  Attach(node, token);
  Attach(node, name);
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseParenthesizedExpr(Holder& out, Pos& pos) {
  out.reset();
  if (!(AtTerminal(u"(", pos)))
    return false;
  const Pos start = pos;
  Holder node = Make(kAstParenthesizedExpr);
  Holder expr;
  if (!AttachTerminal(node, u"(", pos) || !ParseExpr(expr, pos)) {
    pos = start;
    return false;
  }
  Attach(node, expr);
  if (!AttachTerminal(node, u")", pos)) {
    pos = start;
    return false;
  }
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseFunctionCall(Holder& out, Pos& pos) {
  out.reset();
  const Pos start = pos;
  {
    // Most names here are steps of a location path: unless a '(' follows
    // the name, the call is refused before any node is built, with the same
    // token ends noted as the attempt would.
    Pos probe = pos;
    SkipWhitespace(probe);
    SetText(probe);
    Pos typeProbe = probe;
    Holder nodeType;
    if (ParseNodeType(nodeType, typeProbe))
      return false;
    const Pos nameEnd = ScanQName(probe);
    if (nameEnd == probe)
      return false;
    Pos next = nameEnd;
    SkipWhitespace(next);
    if (*next != u'(')
      return false;
  }
  Holder name, args;
  if (!ParseFunctionName(name, pos)) {
    pos = start;
    return false;
  }
  Holder node = Make(kAstFunctionCall);
  Attach(node, name);
  if (!AttachTerminal(node, u"(", pos)) {
    pos = start;
    return false;
  }
  if (ParseArguments(args, pos))
    Attach(node, args);
  if (!AttachTerminal(node, u")", pos)) {
    pos = start;
    return false;
  }
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseFunctionName(Holder& out, Pos& pos) {
  out.reset();
  const Pos start = pos;
  SkipWhitespace(pos);
  // A node type is a node test, never a function name: "text()" and
  // "node()" select nodes, while "nodes()" and "text-of()" are calls.
  {
    Pos probe = pos;
    Holder nodeType;
    if (ParseNodeType(nodeType, probe)) {
      pos = start;
      return false;
    }
  }
  Holder name;
  if (!ParseQName(name, pos)) {
    pos = start;
    return false;
  }
  return Wrap(out, kAstFunctionName, name);
}

bool KTXPathParser::ParseArgument(Holder& out, Pos& pos) {
  out.reset();
  Holder expr;
  if (!ParseExpr(expr, pos))
    return false;
  return Wrap(out, kAstArgument, expr);
}

bool KTXPathParser::ParseArgumentTail(Holder& out, Pos& pos) {
  return ParseKeywordOperand(kAstArgumentTail, u",", out, pos);
}

// ---------------------------------------------------------------------------
// Location paths

bool KTXPathParser::ParseLocationPath(Holder& out, Pos& pos) {
  out.reset();
  Holder sub;
  if (!ParseRelativeLocationPath(sub, pos) && !ParseAbsoluteLocationPath(sub, pos))
    return false;
  return Wrap(out, kAstLocationPath, sub);
}

bool KTXPathParser::ParseAbsoluteLocationPath(Holder& out, Pos& pos) {
  out.reset();
  Holder sub;
  if (!ParseAbbreviatedAbsoluteLocationPath(sub, pos) && !ParseRootLocationPath(sub, pos))
    return false;
  return Wrap(out, kAstAbsoluteLocationPath, sub);
}

bool KTXPathParser::ParseAbbreviatedAbsoluteLocationPath(Holder& out, Pos& pos) {
  out.reset();
  if (!(AtTerminal(u"//", pos)))
    return false;
  const Pos start = pos;
  Holder node = Make(kAstAbbreviatedAbsoluteLocationPath);
  Holder path;
  if (!AttachTerminal(node, u"//", pos) || !ParseRelativeLocationPath(path, pos)) {
    pos = start;
    return false;
  }
  Attach(node, path);
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseRootLocationPath(Holder& out, Pos& pos) {
  out.reset();
  if (!(AtTerminal(u"/", pos)))
    return false;
  const Pos start = pos;
  Holder node = Make(kAstRootLocationPath);
  if (!AttachTerminal(node, u"/", pos)) {
    pos = start;
    return false;
  }
  Holder path;
  if (ParseRelativeLocationPath(path, pos))
    Attach(node, path);
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseStepContinuation(Holder& out, Pos& pos) {
  out.reset();
  const Pos start = pos;
  Holder separator, step;
  if (!ParseStepSeparator(separator, pos) || !ParseStep(step, pos)) {
    pos = start;
    return false;
  }
  Holder node = Make(kAstStepContinuation);
  Attach(node, separator);
  Attach(node, step);
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseStepSeparator(Holder& out, Pos& pos) {
  return ParseLongerOrShorterTerminal(kAstStepSeparator, u"//", u"/", out, pos);
}

// A node of the kind holding `longer` or, failing that, `shorter`, the
// terminal `longer` begins with.
bool KTXPathParser::ParseLongerOrShorterTerminal(int kind, const char16_t* longer, const char16_t* shorter,
                                                 Holder& out, Pos& pos) {
  out.reset();
  if (!(AtTerminal(shorter, pos)))
    return false;
  const Pos start = pos;
  Holder node = Make(kind);
  if (!AttachTerminal(node, longer, pos) && !AttachTerminal(node, shorter, pos)) {
    pos = start;
    return false;
  }
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseStep(Holder& out, Pos& pos) {
  out.reset();
  Holder sub;
  if (!ParseAxisStep(sub, pos) && !ParseAbbreviatedStep(sub, pos))
    return false;
  return Wrap(out, kAstStep, sub);
}

bool KTXPathParser::ParseAxisStep(Holder& out, Pos& pos) {
  out.reset();
  const Pos start = pos;
  Holder axis, test, predicate;
  if (!ParseAxisSpecifier(axis, pos) || !ParseNodeTest(test, pos)) {
    pos = start;
    return false;
  }
  Holder node = Make(kAstAxisStep);
  Attach(node, axis);
  Attach(node, test);
  while (ParsePredicate(predicate, pos))
    Attach(node, predicate);
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseAbbreviatedStep(Holder& out, Pos& pos) {
  return ParseLongerOrShorterTerminal(kAstAbbreviatedStep, u"..", u".", out, pos);
}

bool KTXPathParser::ParseAxisSpecifier(Holder& out, Pos& pos) {
  out.reset();
  Holder sub;
  if (!ParseNamedAxis(sub, pos) && !ParseAbbreviatedAxisSpecifier(sub, pos))
    return false;
  // The named or abbreviated specifier is the axis step's first child: a
  // node of the AxisSpecifier level would only pass its evaluation on.
  out = std::move(sub);
  return true;
}

bool KTXPathParser::ParseNamedAxis(Holder& out, Pos& pos) {
  out.reset();

  const Pos start = pos;
  Holder name;
  if (!ParseAxisName(name, pos)) {
    pos = start;
    return false;
  }
  Holder node = Make(kAstNamedAxis);
  Attach(node, name);
  if (!AttachTerminal(node, u"::", pos)) {
    pos = start;
    return false;
  }
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseAxisName(Holder& out, Pos& pos) {
  // A keyword that begins another comes after the longer one.
  static const char16_t* const kAxes[] = {
      u"ancestor-or-self", u"ancestor",  u"attribute", u"child",     u"descendant-or-self",
      u"descendant",       u"following-sibling",     u"following", u"namespace",
      u"parent",           u"preceding-sibling",     u"preceding", u"self"};
  out.reset();
  // Most steps name no axis: the node is built only once a keyword is
  // there, and only words starting with an axis name's letter are compared.
  Pos first = pos;
  SkipWhitespace(first);
  switch (*first) {
    case u'a': case u'c': case u'd': case u'f': case u'n': case u'p': case u's': break;
    default: return false;
  }
  // The names stand grouped by their first character: only the group of
  // the word's first character can match.
  for (const char16_t* axis : kAxes) {
    if (axis[0] != *first)
      continue;
    if (AtTerminal(axis, pos)) {
      Holder node = Make(kAstAxisName);
      AttachTerminal(node, axis, pos);
      out = std::move(node);
      return true;
    }
  }
  return false;
}

bool KTXPathParser::ParseAbbreviatedAxisSpecifier(Holder& out, Pos& pos) {
  out.reset();
  const Pos start = pos;
  Holder node = Make(kAstAbbreviatedAxisSpecifier);
  if (!AttachTerminal(node, u"@", pos)) {
    // The child axis of a step that names none: a specifier without
    // children, placed where its step starts.
    pos = start;
    node->SetSourcePosition(Remaining(pos));
  }
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseNodeTest(Holder& out, Pos& pos) {
  out.reset();
  Holder sub;
  if (!ParseProcessingInstructionTest(sub, pos) && !ParseNodeTypeTest(sub, pos) && !ParseNameTest(sub, pos))
    return false;
  // The test itself is the axis step's second child, with no NodeTest
  // level above it.
  out = std::move(sub);
  return true;
}

bool KTXPathParser::ParseProcessingInstructionTest(Holder& out, Pos& pos) {
  out.reset();
  if (!(AtTerminal(u"processing-instruction", pos)))
    return false;
  const Pos start = pos;
  Holder node = Make(kAstProcessingInstructionTest);
  Holder literal;
  if (!AttachTerminal(node, u"processing-instruction", pos) || !AttachTerminal(node, u"(", pos) ||
      !ParseLiteral(literal, pos)) {
    pos = start;
    return false;
  }
  Attach(node, literal);
  if (!AttachTerminal(node, u")", pos)) {
    pos = start;
    return false;
  }
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseNodeTypeTest(Holder& out, Pos& pos) {
  out.reset();
  const Pos start = pos;
  Holder type;
  if (!ParseNodeType(type, pos)) {
    pos = start;
    return false;
  }
  Holder node = Make(kAstNodeTypeTest);
  Attach(node, type);
  if (!AttachTerminal(node, u"(", pos) || !AttachTerminal(node, u")", pos)) {
    pos = start;
    return false;
  }
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseNodeType(Holder& out, Pos& pos) {
  out.reset();
  if (!(AtTerminal(u"comment", pos) || AtTerminal(u"text", pos) || AtTerminal(u"processing-instruction", pos) || AtTerminal(u"node", pos)))
    return false;
  const Pos start = pos;
  Holder node = Make(kAstNodeType);
  for (const char16_t* word : {u"comment", u"text", u"processing-instruction", u"node"}) {
    if (AttachTerminal(node, word, pos)) {
      out = std::move(node);
      return true;
    }
    pos = start;
  }
  return false;
}

bool KTXPathParser::ParseNameTest(Holder& out, Pos& pos) {
  out.reset();
  const Pos start = pos;
  Holder node = Make(kAstNameTest);
  Holder sub;
  if (!AttachTerminal(node, u"*", pos)) {
    pos = start;
    // Most tests are a name with no ':' after it: it is read once here, with
    // the token end the prefix-wildcard attempt notes and the QName node
    // ParseQName builds, instead of being scanned by each of them.
    Pos nameStart = start;
    SkipWhitespace(nameStart);
    SetText(nameStart);
    const Pos nameEnd = NCNameEnd(nameStart);
    if (nameEnd != nameStart && !ColonFollows(nameEnd)) {
      sub = Make(kAstQName);
      sub->AppendTokenRun(nameStart, static_cast<int>(nameEnd - nameStart));
      sub->SetSourcePosition(Remaining(nameStart));
      pos = nameEnd;
      NoteTokenEnd(pos);
    } else if (!ParsePrefixWildcard(sub, pos)) {
      pos = start;
      SkipWhitespace(pos);
      if (!ParseQName(sub, pos)) {
        pos = start;
        return false;
      }
    }
    Attach(node, sub);
  }
  if (spanMap_ && textStart_) {
    Pos spanStart = start;
    if (spanStart > textStart_ && spanStart[-1] == u'@')
      --spanStart;
    (*spanMap_)[static_cast<int>(spanStart - textStart_)] = static_cast<int>(pos - spanStart);
  }
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParsePredicate(Holder& out, Pos& pos) {
  out.reset();
  if (!(AtTerminal(u"[", pos)))
    return false;
  const Pos start = pos;
  Holder node = Make(kAstPredicate);
  builtPredicate_ = true;
  Holder expr;
  if (!AttachTerminal(node, u"[", pos) || !ParseExpr(expr, pos)) {
    pos = start;
    return false;
  }
  Holder predicateExpr = Make(kAstPredicateExpr);
  Attach(predicateExpr, expr);
  Attach(node, predicateExpr);
  if (!AttachTerminal(node, u"]", pos)) {
    pos = start;
    return false;
  }
  out = std::move(node);
  return true;
}

// ---------------------------------------------------------------------------
// Names, literals, numbers

// A node of `kind` holding the characters of the name as its own run: the
// prefix and local part of a QName keep their text without a node of the
// NCName level between (every reader takes a name's text through the first
// character run below it, see NodeText).
bool KTXPathParser::ParseNameNode(int kind, Holder& out, Pos& pos) {
  out.reset();
  Holder node = Make(kind);
  if (!AppendName(node, pos))
    return false;
  out = std::move(node);
  return true;
}

// Adds the NCName at pos to the node as a character run and places the node
// at the name; false (nothing changed) when no name starts there.
bool KTXPathParser::AppendName(Holder& node, Pos& pos) {
  SetText(pos);
  int width = *pos ? NameCharWidth(pos, kStart) : 0;
  if (width == 0)
    return false;
  Pos end = pos + width;
  while (*end && (width = NameCharWidth(end, kName)) > 0)
    end += width;
  node->AppendTokenRun(pos, static_cast<int>(end - pos));
  node->SetSourcePosition(Remaining(pos));
  pos = end;
  NoteTokenEnd(pos);
  return true;
}

bool KTXPathParser::ParseNCName(Holder& out, Pos& pos) { return ParseNameNode(kAstNCName, out, pos); }

KTXPathParser::Pos KTXPathParser::ScanQName(Pos pos) {
  const Pos firstEnd = NCNameEnd(pos);
  if (firstEnd == pos)
    return pos;
  NoteTokenEnd(firstEnd);
  if (!ColonFollows(firstEnd))
    return firstEnd;
  Pos colon = firstEnd;
  SkipWhitespace(colon);
  const Pos afterColon = colon + 1;
  if (Remaining(afterColon) < minRemaining_)
    minRemaining_ = Remaining(afterColon);
  NoteTokenEnd(afterColon);
  const Pos localEnd = NCNameEnd(afterColon);
  if (localEnd == afterColon)
    return pos;
  NoteTokenEnd(localEnd);
  return localEnd;
}

bool KTXPathParser::ParseQNamePrefix(Holder& out, Pos& pos) {
  out.reset();
  const Pos start = pos;
  Holder prefix;
  if (!ParseNameNode(kAstPrefix, prefix, pos)) {
    pos = start;
    return false;
  }
  Holder node = Make(kAstQNamePrefix);
  Attach(node, prefix);
  if (!AttachTerminal(node, u":", pos)) {
    pos = start;
    return false;
  }
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseQName(Holder& out, Pos& pos) {
  out.reset();
  SetText(pos);
  const Pos start = pos;
  const Pos firstEnd = NCNameEnd(pos);
  if (firstEnd == pos)
    return false;
  Holder node = Make(kAstQName);
  Holder prefix, local;
  // Without a ':' after the first name the prefix attempt would build the
  // name and drop it: the name is the local part.
  // A name without a prefix is its own local part: the QName holds its
  // characters itself, where a prefixed one holds them in its LocalPart
  // (readers take the text of the last child).
  if (ColonFollows(firstEnd) && ParseQNamePrefix(prefix, pos)) {
    Attach(node, prefix);
    if (!ParseNameNode(kAstLocalPart, local, pos)) {
      pos = start;
      return false;
    }
    Attach(node, local);
  } else if (!AppendName(node, pos)) {
    pos = start;
    return false;
  }
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParsePrefixWildcard(Holder& out, Pos& pos) {
  out.reset();
  const Pos start = pos;
  SkipWhitespace(pos);
  SetText(pos);
  const Pos nameEnd = NCNameEnd(pos);
  if (nameEnd == pos || !ColonFollows(nameEnd)) {
    // The name alone is no wildcard; its end still counts as a token end.
    if (nameEnd != pos)
      NoteTokenEnd(nameEnd);
    pos = start;
    return false;
  }
  Holder name;
  if (!ParseNCName(name, pos)) {
    pos = start;
    return false;
  }
  Holder node = Make(kAstPrefixWildcard);
  Attach(node, name);
  if (!AttachTerminal(node, u":", pos) || !AttachTerminal(node, u"*", pos)) {
    pos = start;
    return false;
  }
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseLiteral(Holder& out, Pos& pos) {
  out.reset();
  Holder sub;
  if (!ParseQuotedLiteral(kAstDoubleQuotedLiteral, u'"', sub, pos) &&
      !ParseQuotedLiteral(kAstSingleQuotedLiteral, u'\'', sub, pos))
    return false;
  return Wrap(out, kAstLiteral, sub);
}

bool KTXPathParser::ParseQuotedLiteral(int kind, char16_t quote, Holder& out, Pos& pos) {
  out.reset();
  if (!(AtTerminal(quote == u'"' ? u"\"" : u"'", pos)))
    return false;
  const Pos start = pos;
  const char16_t quoteText[2] = {quote, 0};
  Holder node = Make(kind);
  if (!AttachTerminal(node, quoteText, pos)) {
    pos = start;
    return false;
  }
  Pos end = pos;
  while (*end && *end != quote)
    ++end;
  if (!*end) {
    pos = start;
    return false;
  }
  if (end > pos) {
    node->AppendTokenRun(pos, static_cast<int>(end - pos));
    pos = end;
  }
  if (!AttachTerminal(node, quoteText, pos, false)) {
    pos = start;
    return false;
  }
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseNumber(Holder& out, Pos& pos) {
  // "NaN" is no number literal here: XPath 1.0 has none, so NaN is a name.
  out.reset();
  const Pos start = pos;
  SkipWhitespace(pos);
  Holder sub;
  if (!ParseDigitsNumber(sub, pos) && !ParseLeadingPointNumber(sub, pos)) {
    pos = start;
    return false;
  }
  return Wrap(out, kAstNumber, sub);
}

bool KTXPathParser::ParseDigitsNumber(Holder& out, Pos& pos) {
  out.reset();
  Holder digits, fraction;
  if (!ParseDigits(digits, pos))
    return false;
  Holder node = Make(kAstDigitsNumber);
  Attach(node, digits);
  if (ParseFraction(fraction, pos))
    Attach(node, fraction);
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseDigits(Holder& out, Pos& pos) {
  out.reset();
  SetText(pos);
  Pos end = pos;
  while (IsAsciiDigit(end))
    ++end;
  if (end == pos)
    return false;
  Holder node = Make(kAstDigits);
  node->AppendTokenRun(pos, static_cast<int>(end - pos));
  node->SetSourcePosition(Remaining(pos));
  pos = end;
  NoteTokenEnd(pos);
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseFraction(Holder& out, Pos& pos) {
  out.reset();
  if (*pos != u'.')
    return false;
  Holder node = Make(kAstFraction);
  AttachTerminal(node, u".", pos, false);
  Holder digits;
  if (ParseDigits(digits, pos))
    Attach(node, digits);
  out = std::move(node);
  return true;
}

bool KTXPathParser::ParseLeadingPointNumber(Holder& out, Pos& pos) {
  out.reset();
  if (*pos != u'.')
    return false;
  const Pos start = pos;
  Holder node = Make(kAstLeadingPointNumber);
  Holder digits;
  if (!AttachTerminal(node, u".", pos, false) || !ParseDigits(digits, pos)) {
    pos = start;
    return false;
  }
  Attach(node, digits);
  out = std::move(node);
  return true;
}

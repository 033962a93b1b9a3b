// XML Schema regular expressions: the grammar singleton, the compiler that
// turns the parse tree of a pattern into a compact node array (the same tree,
// with quantifier bounds and escapes read once) and that into a program of
// states, the matcher that runs every live state in step, and sample strings.
#include "schema/xmlregexp.h"

#include <algorithm>
#include <cstring>

#include "core/kterrorlogger.h"
#include "platform/ktworkcount.h"
#include "parso/parso.h"
#include "streams/ktunicodedatabase.h"

const char16_t* const KTRegexGrammar::kRuleNames[kRuleCount] = {
    u"regExp", u"branch", u"piece", u"quantifier", u"quantity", u"quantRange", u"quantMin",
    u"QuantExact", u"atom", u"Char", u"charClass", u"charClassExpr", u"charGroup",
    u"charClassSub", u"negCharGroup", u"posCharGroup", u"charRange", u"seRange", u"charOrEsc",
    u"XmlChar", u"charClassEsc", u"SingleCharEsc", u"MultiCharEsc", u"WildcardEsc", u"catEsc",
    u"complEsc", u"charProp", u"IsBlock", u"IsCategory", u"XmlCharIncDash", u"charRangeBegin",
    u"charRangeEnd", u"seRangeBegin", u"seRangeEnd", u"charOrEscIncDash", u"charRangeEndND",
    u"negCharGroupND", u"posCharGroupND",
};

KTRegexGrammar::KTRegexGrammar() : grammar_(std::make_unique<ParsoGrammar>()) {
  loaded_ = grammar_->Init(u"gra_re.txt");
  if (!loaded_) loadError_ = grammar_->GetLoadError();
  parser_ = std::make_unique<ParsoParser>(grammar_.get());
  // Patterns are case-sensitive, and the compiler reads every group of the
  // tree as parsed: no flattening, no end-name removal.
  parser_->SetCaseSensitive(true);
  parser_->SetFlatten(false);
  parser_->SetEndNameRemoval(false);
  for (int i = 0; i < kRuleCount; ++i) {
    rules_[i] = loaded_ ? grammar_->FindRule(kRuleNames[i]) : nullptr;
    if (rules_[i]) {
      index_.emplace(rules_[i], i);
    } else if (loaded_) {
      loaded_ = false;
      loadError_ = u"gra_re.txt: no rule \"" + std::u16string(kRuleNames[i]) + u"\"";
    }
  }
}

KTRegexGrammar::~KTRegexGrammar() = default;

int KTRegexGrammar::IndexOf(const GrammarRule* rule) const {
  auto it = index_.find(rule);
  return it == index_.end() ? -1 : it->second;
}

KTRegexGrammar& GetRegexGrammar() {
  static KTNullLock lock;
  KTNullLockGuard guard(&lock);
  static KTRegexGrammar grammar;
  return grammar;
}

namespace {

// The furthest failure of the last failed compile, process-wide.
struct KTRegexError {
  int offset = 0;
  int line = 0;
  KTString position;  // the pattern from the failure on
  KTString text;      // the expected rule
};

KTRegexError& RegexError() {
  static KTRegexError error;
  return error;
}

void SetRegexError(const KTString& pattern, int offset, int line, std::u16string_view text) {
  KTRegexError& e = RegexError();
  e.offset = offset;
  e.line = line;
  e.position = pattern.Mid(offset);
  e.text = KTString(text);
}

constexpr int kUnbounded = 2147483647;

bool IsCategory(char16_t c, const char16_t* prefix) {
  const char16_t* cat = KTUnicodeDatabase::GetCategory(c);
  for (; *prefix; ++prefix, ++cat) {
    if (*cat != *prefix) return false;
  }
  return true;
}

bool IsBlock(char16_t c, const KTString& name) {
  const char16_t* block = KTUnicodeDatabase::GetBlockName(c);
  return block && name == block;
}

// The lowest code point from 0 to U+FFFE that satisfies the test; 0 when none
// (a sample never receives a NUL, so 0 also means "add nothing").
template <typename Test>
char16_t LowestCodePoint(Test test) {
  for (unsigned c = 0; c < 0xFFFF; ++c) {
    if (test(static_cast<char16_t>(c))) return static_cast<char16_t>(c);
  }
  return 0;
}

}  // namespace

int XMLRegExp::GetErrorOffset() { return RegexError().offset; }
int XMLRegExp::GetErrorLine() { return RegexError().line; }
const char16_t* XMLRegExp::GetErrorPosition() { return RegexError().position.c_str(); }
const KTString& XMLRegExp::GetErrorText() { return RegexError().text; }

// ---------------------------------------------------------------------------
// Compiling

// Turns a parse tree of the regular-expression grammar into the node arrays
// of one XMLRegExp. Parse nodes are told apart by their rule handles.
class KTRegexCompiler {
 public:
  KTRegexCompiler(XMLRegExp& re, const KTRegexGrammar& grammar) : re_(re), grammar_(grammar) {}

  bool Build(const ParseNode* root) {
    ConvertRegExp(root, 0);
    return !tooDeep_;
  }
  const char16_t* FailPosition() const { return failAt_; }

 private:
  using Node = XMLRegExp::Node;
  using NodeKind = XMLRegExp::NodeKind;
  using ClassNode = XMLRegExp::ClassNode;
  using ClassKind = XMLRegExp::ClassKind;

  int RuleOf(const ParseNode* n) const { return n ? grammar_.IndexOf(n->rule) : -1; }

  // The first child, looking through unnamed groups.
  const ParseNode* FirstNamed(const ParseNode* n) const {
    const ParseNode* c = n ? static_cast<const ParseNode*>(n->firstChild) : nullptr;
    while (c && RuleOf(c) < 0) c = c->firstChild;
    return c;
  }

  bool Deeper(int depth, const ParseNode* at) {
    if (depth <= XMLRegExp::kMaxNesting) return false;
    if (!tooDeep_) failAt_ = at->textStart;
    tooDeep_ = true;
    return true;
  }

  int NewNode(NodeKind kind) {
    re_.nodes_.push_back(Node{kind});
    return static_cast<int>(re_.nodes_.size()) - 1;
  }

  int NewClass(ClassKind kind) {
    ClassNode node;
    node.kind = kind;
    re_.classes_.push_back(std::move(node));
    return static_cast<int>(re_.classes_.size()) - 1;
  }

  void AppendChild(int parent, int& last, int child) {
    if (last < 0) {
      re_.nodes_[parent].first = child;
    } else {
      re_.nodes_[last].next = child;
    }
    last = child;
    ++re_.nodes_[parent].childCount;
  }

  // regExp ::= branch? ('|' branch?)*: an absent branch is an empty one, so
  // "a|" offers the empty text as its second alternative.
  int ConvertRegExp(const ParseNode* n, int depth) {
    const int alt = NewNode(NodeKind::kAlternation);
    if (Deeper(depth, n)) return alt;
    int last = -1;
    const ParseNode* c = n->firstChild;
    if (!c || RuleOf(c) != KTRegexGrammar::kBranch) AppendChild(alt, last, NewNode(NodeKind::kBranch));
    for (; c; c = c->next) {
      const ParseNode* b = RuleOf(c) == KTRegexGrammar::kBranch ? c : FirstNamed(c);
      AppendChild(alt, last, b ? ConvertBranch(b, depth) : NewNode(NodeKind::kBranch));
    }
    return alt;
  }

  int ConvertBranch(const ParseNode* n, int depth) {
    const int branch = NewNode(NodeKind::kBranch);
    int last = -1;
    for (const ParseNode* p = n->firstChild; p; p = p->next) {
      if (RuleOf(p) == KTRegexGrammar::kPiece) AppendChild(branch, last, ConvertPiece(p, depth));
    }
    return branch;
  }

  int ConvertPiece(const ParseNode* n, int depth) {
    const int piece = NewNode(NodeKind::kPiece);
    int last = -1;
    for (const ParseNode* c = n->firstChild; c; c = c->next) {
      const int rule = RuleOf(c);
      if (rule == KTRegexGrammar::kAtom) {
        const int atom = ConvertAtom(c, depth);
        AppendChild(piece, last, atom);
      } else if (rule == KTRegexGrammar::kQuantifier) {
        ReadQuantifier(c, re_.nodes_[piece].min, re_.nodes_[piece].max);
      }
    }
    return piece;
  }

  // Bounds of "?", "*", "+", "{n}", "{n,}" and "{n,m}"; numbers beyond the
  // 32-bit range count as unbounded.
  static void ReadQuantifier(const ParseNode* q, int& min, int& max) {
    const char16_t* t = q->textStart;
    const int len = q->length;
    if (len == 1) {
      switch (t[0]) {
        case u'?': min = 0; max = 1; return;
        case u'*': min = 0; max = kUnbounded; return;
        case u'+': min = 1; max = kUnbounded; return;
        default: return;
      }
    }
    int i = 1;
    auto number = [&]() {
      long long v = 0;
      while (i < len && t[i] >= u'0' && t[i] <= u'9') {
        if (v < kUnbounded) v = v * 10 + (t[i] - u'0');
        ++i;
      }
      return static_cast<int>(v < kUnbounded ? v : kUnbounded);
    };
    min = number();
    if (i < len && t[i] == u',') {
      ++i;
      max = (i < len && t[i] >= u'0' && t[i] <= u'9') ? number() : kUnbounded;
    } else {
      max = min;
    }
  }

  int ConvertAtom(const ParseNode* n, int depth) {
    const ParseNode* c = n->firstChild;
    const int rule = RuleOf(c);
    if (rule == KTRegexGrammar::kChar) {
      const int node = NewNode(NodeKind::kChar);
      re_.nodes_[node].ch = c->textStart[0];
      return node;
    }
    if (rule == KTRegexGrammar::kCharClass) {
      const int node = NewNode(NodeKind::kClass);
      const int cls = ConvertClass(c, depth);
      re_.nodes_[node].cls = cls;
      return node;
    }
    // '(' regExp ')'
    const ParseNode* inner = FirstNamed(n);
    if (!inner) return NewNode(NodeKind::kBranch);
    return ConvertRegExp(inner, depth + 1);
  }

  static char16_t EscapedChar(const ParseNode* n) {
    switch (n->textStart[1]) {
      case u'n': return u'\n';
      case u'r': return u'\r';
      case u't': return u'\t';
      default: return n->textStart[1];
    }
  }

  // The character of a charOrEsc (or its dash variant): an escape or itself.
  static char16_t CharOf(const ParseNode* n, const KTRegexCompiler& self) {
    while (n && self.RuleOf(n) != KTRegexGrammar::kSingleCharEsc &&
           self.RuleOf(n) != KTRegexGrammar::kXmlChar && self.RuleOf(n) != KTRegexGrammar::kXmlCharIncDash) {
      n = self.FirstNamed(n);
    }
    if (!n) return 0;
    return self.RuleOf(n) == KTRegexGrammar::kSingleCharEsc ? EscapedChar(n) : n->textStart[0];
  }

  int ConvertClass(const ParseNode* n, int depth) {
    if (Deeper(depth, n)) return NewClass(ClassKind::kGroup);
    using G = KTRegexGrammar;
    switch (RuleOf(n)) {
      case G::kCharClass:
      case G::kCharClassEsc:
      case G::kCharGroup:
      case G::kCharRange:
      case G::kCharRangeBegin:
      case G::kCharRangeEnd:
      case G::kCharRangeEndND:
      case G::kCharOrEsc:
      case G::kCharOrEscIncDash:
        return ConvertClass(FirstNamed(n), depth);
      case G::kCharClassExpr:
        return ConvertClass(FirstNamed(n), depth + 1);
      case G::kWildcardEsc:
        return NewClass(ClassKind::kWildcard);
      case G::kSingleCharEsc: {
        const int cls = NewClass(ClassKind::kChar);
        re_.classes_[cls].lo = EscapedChar(n);
        return cls;
      }
      case G::kXmlChar:
      case G::kXmlCharIncDash: {
        const int cls = NewClass(ClassKind::kChar);
        re_.classes_[cls].lo = n->textStart[0];
        return cls;
      }
      case G::kMultiCharEsc: {
        const char16_t e = n->textStart[1];
        ClassKind kind = ClassKind::kSpace;
        switch (e) {
          case u'i': case u'I': kind = ClassKind::kNameStart; break;
          case u'c': case u'C': kind = ClassKind::kNameChar; break;
          case u'd': case u'D': kind = ClassKind::kDigit; break;
          case u'w': case u'W': kind = ClassKind::kWord; break;
          default: break;
        }
        const int cls = NewClass(kind);
        re_.classes_[cls].negated = e >= u'A' && e <= u'Z';
        return cls;
      }
      case G::kCatEsc:
      case G::kComplEsc: {
        const ParseNode* prop = FirstNamed(FirstNamed(n));  // charProp -> IsBlock | IsCategory
        const bool block = RuleOf(prop) == G::kIsBlock;
        const int cls = NewClass(block ? ClassKind::kBlock : ClassKind::kCategory);
        if (prop) {
          const int skip = block ? 2 : 0;  // "Is"
          re_.classes_[cls].name = KTString(std::u16string_view(prop->textStart + skip, prop->length - skip));
        }
        re_.classes_[cls].negated = RuleOf(n) == G::kComplEsc;
        return cls;
      }
      case G::kCharClassSub: {
        const ParseNode* group = FirstNamed(n);
        const ParseNode* expr = nullptr;
        for (const ParseNode* c = n->firstChild; c; c = c->next) {
          if (RuleOf(c) == G::kCharClassExpr) expr = c;
        }
        const int sub = NewClass(ClassKind::kSubtraction);
        const int first = ConvertClass(group, depth);
        const int other = expr ? ConvertClass(expr, depth) : NewClass(ClassKind::kGroup);
        re_.classes_[sub].first = first;
        re_.classes_[sub].other = other;
        return sub;
      }
      case G::kNegCharGroup:
      case G::kNegCharGroupND: {
        const int cls = ConvertClass(FirstNamed(n), depth);
        re_.classes_[cls].negated = !re_.classes_[cls].negated;
        return cls;
      }
      case G::kPosCharGroup:
      case G::kPosCharGroupND: {
        const int group = NewClass(ClassKind::kGroup);
        int last = -1;
        for (const ParseNode* c = n->firstChild; c; c = c->next) {
          // Every item converts to a fresh leaf, so its sibling link is free.
          const int item = ConvertClass(c, depth);
          if (last < 0) {
            re_.classes_[group].first = item;
          } else {
            re_.classes_[last].next = item;
          }
          last = item;
        }
        return group;
      }
      case G::kSeRange: {
        const int cls = NewClass(ClassKind::kRange);
        const ParseNode* begin = nullptr;
        const ParseNode* end = nullptr;
        for (const ParseNode* c = n->firstChild; c; c = c->next) {
          if (RuleOf(c) == G::kSeRangeBegin) begin = c;
          if (RuleOf(c) == G::kSeRangeEnd) end = c;
        }
        re_.classes_[cls].lo = CharOf(begin, *this);
        re_.classes_[cls].hi = CharOf(end, *this);
        return cls;
      }
      default:
        return NewClass(ClassKind::kGroup);  // an empty group: matches nothing
    }
  }

  XMLRegExp& re_;
  const KTRegexGrammar& grammar_;
  bool tooDeep_ = false;
  const char16_t* failAt_ = nullptr;
};

XMLRegExp::XMLRegExp(const KTString& pattern, uint8_t flag) : flag_(flag) { Compile(pattern); }

XMLRegExp::XMLRegExp(const XMLRegExp& other) : flag_(other.flag_) { Compile(other.pattern_); }

XMLRegExp::~XMLRegExp() = default;

bool XMLRegExp::Compile(const KTString& pattern) {
  nodes_.clear();
  classes_.clear();
  pattern_ = pattern;
  KTRegexGrammar& grammar = GetRegexGrammar();
  if (!grammar.IsLoaded()) {
    SetRegexError(pattern_, 0, 1, grammar.GetLoadError());
    return false;
  }
  ParsoParser& parser = grammar.GetParser();
  const char16_t* text = pattern_.c_str();
  const int length = pattern_.GetLength();
  if (!parser.Parse(text, static_cast<size_t>(length), u"regExp")) {
    SetRegexError(pattern_, parser.GetErrorOffset(), parser.GetErrorLine(), parser.GetErrorText());
    parser.DropTree();
    return false;
  }
  KTRegexCompiler compiler(*this, grammar);
  const bool ok = compiler.Build(parser.GetRoot());
  if (!ok) {
    const int offset = static_cast<int>(compiler.FailPosition() - text);
    SetRegexError(pattern_, offset, 1, u"groups nested at most 256 levels deep");
    nodes_.clear();
    classes_.clear();
    parser.DropTree();
    return false;
  }
  parser.DropTree();
  static_assert(kMaxStates == 32768, "the compile error below names the limit");
  if (ProgramSize(0) + 1 > kMaxStates) {
    // Repetition counts blow a pattern up this far, all but always; the
    // first count is the nearest useful pointer into the pattern.
    const int brace = pattern_.Find(u'{');
    SetRegexError(pattern_, brace < 0 ? 0 : brace, 1,
                  u"a pattern of at most 32768 states (counted repetitions written out)");
    nodes_.clear();
    classes_.clear();
    return false;
  }
  program_.clear();
  program_.reserve(static_cast<size_t>(ProgramSize(0)) + 1);
  Emit(0);
  program_.push_back(State{Op::kAccept});
  return true;
}

// ---------------------------------------------------------------------------
// The program

int64_t XMLRegExp::ProgramSize(int index) const {
  const Node& n = nodes_[index];
  constexpr int64_t kPast = kMaxStates + 1;
  switch (n.kind) {
    case NodeKind::kChar:
    case NodeKind::kClass:
      return 1;
    case NodeKind::kBranch:
    case NodeKind::kAlternation: {
      int64_t size = 0;
      for (int c = n.first; c >= 0 && size < kPast; c = nodes_[c].next) size += ProgramSize(c);
      // A split and a jump for every alternative but the last.
      if (n.kind == NodeKind::kAlternation && n.childCount > 1) size += 2 * (n.childCount - 1);
      return std::min(size, kPast);
    }
    case NodeKind::kPiece: {
      if (n.max < n.min) return 1;
      const int64_t atom = n.first < 0 ? 0 : ProgramSize(n.first);
      int64_t size = static_cast<int64_t>(n.min) * atom;
      if (n.max == kUnbounded) {
        size += atom + 2;
      } else {
        size += static_cast<int64_t>(n.max - n.min) * (atom + 1);
      }
      return std::min(size, kPast);
    }
  }
  return kPast;
}

void XMLRegExp::Emit(int index) {
  const Node& n = nodes_[index];
  auto add = [this](State s) {
    program_.push_back(s);
    return static_cast<int>(program_.size()) - 1;
  };
  switch (n.kind) {
    case NodeKind::kChar: {
      State s{Op::kChar};
      s.ch = n.ch;
      add(s);
      return;
    }
    case NodeKind::kClass: {
      State s{Op::kClass};
      s.cls = n.cls;
      add(s);
      return;
    }
    case NodeKind::kBranch:
      for (int c = n.first; c >= 0; c = nodes_[c].next) Emit(c);
      return;
    case NodeKind::kAlternation: {
      // split(b1, next) b1 jump(end) split(b2, next) b2 jump(end) ... bn
      std::vector<int> jumps;
      for (int b = n.first; b >= 0; b = nodes_[b].next) {
        if (nodes_[b].next < 0) {
          Emit(b);
          break;
        }
        const int split = add(State{Op::kSplit});
        program_[split].x = split + 1;
        Emit(b);
        jumps.push_back(add(State{Op::kJump}));
        program_[split].y = static_cast<int>(program_.size());
      }
      for (int j : jumps) program_[j].x = static_cast<int>(program_.size());
      return;
    }
    case NodeKind::kPiece: {
      if (n.max < n.min) {
        add(State{Op::kFail});
        return;
      }
      if (n.first < 0) return;
      for (int i = 0; i < n.min; ++i) Emit(n.first);
      if (n.max == kUnbounded) {
        // loop: split(body, end) body jump(loop)
        const int loop = add(State{Op::kSplit});
        program_[loop].x = loop + 1;
        Emit(n.first);
        const int jump = add(State{Op::kJump});
        program_[jump].x = loop;
        program_[loop].y = static_cast<int>(program_.size());
        return;
      }
      // Each optional copy may be skipped, which ends the repetition.
      std::vector<int> splits;
      for (int i = n.min; i < n.max; ++i) {
        const int split = add(State{Op::kSplit});
        program_[split].x = split + 1;
        splits.push_back(split);
        Emit(n.first);
      }
      for (int s : splits) program_[s].y = static_cast<int>(program_.size());
      return;
    }
  }
}

// ---------------------------------------------------------------------------
// Matching

bool XMLRegExp::ClassContains(int index, char16_t c) const {
  const ClassNode& n = classes_[index];
  bool in = false;
  switch (n.kind) {
    case ClassKind::kChar: in = c == n.lo; break;
    case ClassKind::kRange: in = c >= n.lo && c <= n.hi; break;
    case ClassKind::kWildcard: in = c != u'\n' && c != u'\r'; break;
    case ClassKind::kSpace: in = c == u'\t' || c == u' ' || c == u'\n' || c == u'\r'; break;
    case ClassKind::kNameStart: in = c == u'_' || c == u':' || IsCategory(c, u"L"); break;
    case ClassKind::kNameChar:
      in = c == u'.' || c == u'-' || c == u'_' || c == u':' || IsCategory(c, u"L") || IsCategory(c, u"Nd");
      break;
    case ClassKind::kDigit: in = IsCategory(c, u"Nd"); break;
    case ClassKind::kWord: {
      const char16_t k = KTUnicodeDatabase::GetCategory(c)[0];
      in = k != u'P' && k != u'Z' && k != u'C';
      break;
    }
    case ClassKind::kCategory: in = IsCategory(c, n.name.c_str()); break;
    case ClassKind::kBlock: in = IsBlock(c, n.name); break;
    case ClassKind::kGroup:
      for (int item = n.first; item >= 0 && !in; item = classes_[item].next) {
        in = ClassContains(item, c);
      }
      break;
    case ClassKind::kSubtraction:
      in = ClassContains(n.first, c) && !ClassContains(n.other, c);
      break;
  }
  return in != n.negated;
}

void XMLRegExp::AddState(std::vector<int>& list, int state) {
  // Depth first with an explicit stack, the preferred target of a split
  // popped first, so that the list keeps the order a backtracking reading
  // would try. A state already added at this position is not added again,
  // which also ends loops whose body can match the empty text.
  stack_.push_back(state);
  while (!stack_.empty()) {
    const int s = stack_.back();
    stack_.pop_back();
    ++steps_;
    if (addedAt_[s] == position_) continue;
    addedAt_[s] = position_;
    const State& st = program_[s];
    switch (st.op) {
      case Op::kJump:
        stack_.push_back(st.x);
        break;
      case Op::kSplit:
        stack_.push_back(st.y);
        stack_.push_back(st.x);
        break;
      case Op::kFail:
        break;
      case Op::kChar:
      case Op::kClass:
      case Op::kAccept:
        list.push_back(s);
        break;
    }
  }
}

int XMLRegExp::Match(const KTString& text) { return Match(text.c_str(), text.GetLength()); }

int XMLRegExp::Match(const char16_t* text, int length) {
  steps_ = 0;
  if (program_.empty()) return kMatch;
  if (!text) length = 0;
  addedAt_.assign(program_.size(), -1);
  current_.clear();
  next_.clear();
  position_ = 0;
  AddState(current_, 0);
  // Where the preferred reading accepted (flag 1), and whether any reading
  // accepted before the end (for kPartialMatch).
  int preferredEnd = -1;
  bool partial = false;
  for (int pos = 0;; ++pos) {
    const bool atEnd = pos >= length;
    const char16_t c = atEnd ? 0 : text[pos];
    position_ = pos + 1;
    next_.clear();
    for (int s : current_) {
      ++steps_;
      const State& st = program_[s];
      if (st.op == Op::kAccept) {
        if (atEnd) {
          // Every reading still live outranks one that accepted earlier.
          preferredEnd = pos;
          break;
        }
        partial = true;
        if (flag_ != 0) {
          // The preferred reading ends here: readings it outranks are
          // dropped, readings that outrank it go on.
          preferredEnd = pos;
          break;
        }
        continue;
      }
      if (atEnd) continue;
      const bool in = st.op == Op::kChar ? c == st.ch : ClassContains(st.cls, c);
      if (in) AddState(next_, s + 1);
    }
    if (atEnd || next_.empty()) break;
    current_.swap(next_);
  }
  KTWorkCount::Add(static_cast<uint64_t>(steps_));
  if (preferredEnd == length) return kMatch;
  return partial || preferredEnd >= 0 ? kPartialMatch : kNoMatch;
}

// ---------------------------------------------------------------------------
// Samples

void XMLRegExp::ClassSample(int index, KTString& out, int& length) const {
  const ClassNode& n = classes_[index];
  auto add = [&](char16_t c) {
    if (c != 0) out.AppendCharAtLength(c, length, 16);
  };
  auto lowest = [&](auto test) { return LowestCodePoint(test); };
  switch (n.kind) {
    case ClassKind::kChar:
    case ClassKind::kRange:
      add(n.lo);
      return;
    case ClassKind::kWildcard: add(u'x'); return;
    case ClassKind::kSpace: add(n.negated ? u'x' : u'\r'); return;
    case ClassKind::kNameStart:
      add(n.negated ? u'0' : lowest([](char16_t c) { return IsCategory(c, u"L"); }));
      return;
    case ClassKind::kNameChar:
      add(n.negated ? u'.' : lowest([](char16_t c) { return IsCategory(c, u"L"); }));
      return;
    case ClassKind::kDigit:
      add(n.negated ? u'x' : lowest([](char16_t c) { return IsCategory(c, u"Nd"); }));
      return;
    case ClassKind::kWord: add(n.negated ? u'.' : u'x'); return;
    case ClassKind::kCategory:
    case ClassKind::kBlock: {
      const bool block = n.kind == ClassKind::kBlock;
      add(lowest([&](char16_t c) {
        // A complement's sample is the lowest character outside; NUL never counts.
        if (n.negated && c == 0) return false;
        const bool in = block ? IsBlock(c, n.name) : IsCategory(c, n.name.c_str());
        return in != n.negated;
      }));
      return;
    }
    case ClassKind::kGroup:
      if (n.negated) {
        add(u'x');
      } else if (n.first >= 0) {
        ClassSample(n.first, out, length);
      }
      return;
    case ClassKind::kSubtraction:
      ClassSample(n.first, out, length);
      return;
  }
}

void XMLRegExp::BuildSample(int index, KTString& out, int& length) const {
  const Node& n = nodes_[index];
  switch (n.kind) {
    case NodeKind::kAlternation:
      if (n.first >= 0) BuildSample(n.first, out, length);
      return;
    case NodeKind::kBranch:
      for (int p = n.first; p >= 0; p = nodes_[p].next) BuildSample(p, out, length);
      return;
    case NodeKind::kPiece: {
      const int times = n.min == 0 && n.max >= 1 ? 1 : n.min;
      for (int i = 0; i < times; ++i) {
        if (n.first >= 0) BuildSample(n.first, out, length);
      }
      return;
    }
    case NodeKind::kChar:
      if (n.ch != 0) out.AppendCharAtLength(n.ch, length, 16);
      return;
    case NodeKind::kClass:
      ClassSample(n.cls, out, length);
      return;
  }
}

KTString XMLRegExp::MakeSample() const {
  KTString out;
  if (nodes_.empty()) return out;
  int length = 0;
  BuildSample(0, out, length);
  return out;
}

// XML Schema regular expressions: the grammar singleton, the compiler that
// turns the parse tree of a pattern into a compact node array (the same tree,
// with quantifier bounds and escapes read once), the matcher that replays
// recorded choice points, and sample strings.
#include "schema/xmlregexp.h"

#include <cstring>

#include "core/kterrorlogger.h"
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
  }
  parser.DropTree();
  return ok;
}

// ---------------------------------------------------------------------------
// Matching

bool XMLRegExp::IsTaken(const ChoiceKey& key) {
  auto it = pointIndex_.find(key);
  if (it != pointIndex_.end()) return points_[it->second].taken;
  // Past the point limit no attempt follows this one, so a new decision can
  // never be revisited: it is not recorded and memory stays bounded.
  if (points_.size() > kMaxChoicePoints) {
    pointsOverflow_ = true;
    return false;
  }
  pointIndex_.emplace(key, points_.size());
  points_.push_back(ChoicePoint{key, false});
  return false;
}

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

int XMLRegExp::MatchNode(int index, int& cursor) {
  if (aborted_) return kNoMatch;
  if (++steps_ > budget_) {
    aborted_ = true;
    return kNoMatch;
  }
  const Node& n = nodes_[index];
  switch (n.kind) {
    case NodeKind::kChar:
      if (cursor < length_ && text_[cursor] == n.ch) {
        ++cursor;
        return kMatch;
      }
      return kNoMatch;
    case NodeKind::kClass:
      if (cursor < length_ && ClassContains(n.cls, text_[cursor])) {
        ++cursor;
        return kMatch;
      }
      return kNoMatch;
    case NodeKind::kBranch: {
      const int start = cursor;
      for (int p = n.first; p >= 0; p = nodes_[p].next) {
        if (MatchNode(p, cursor) != kMatch) {
          cursor = start;
          return kNoMatch;
        }
      }
      return kMatch;
    }
    case NodeKind::kAlternation: {
      const int start = cursor;
      for (int b = n.first; b >= 0; b = nodes_[b].next) {
        cursor = start;
        if (MatchNode(b, cursor) != kMatch) continue;
        // One branch offers no choice: no point to record.
        if (n.childCount == 1) return kMatch;
        if (!IsTaken(ChoiceKey{b, cursor, 0})) return kMatch;
        // Taken on an earlier attempt: this time the next branch is due.
      }
      cursor = start;
      return kNoMatch;
    }
    case NodeKind::kPiece: {
      const int start = cursor;
      const int atom = n.first;
      int i = 0;
      while (i < n.max && !aborted_) {
        const int before = cursor;
        if (atom < 0 || MatchNode(atom, cursor) != kMatch) break;
        if (cursor == before) {
          // Repetitions that consume nothing would all do so: the mandatory
          // ones count at once, optional ones end the loop.
          if (i < n.min) i = n.min;
          break;
        }
        if (i >= n.min && IsTaken(ChoiceKey{atom, cursor, i})) {
          cursor = before;  // one repetition fewer this time
          break;
        }
        ++i;
      }
      if (i >= n.min && !aborted_) return kMatch;
      cursor = start;
      return kNoMatch;
    }
  }
  return kNoMatch;
}

int XMLRegExp::Match(const KTString& text) { return Match(text.c_str(), text.GetLength()); }

int XMLRegExp::Match(const char16_t* text, int length) {
  steps_ = 0;
  attempts_ = 0;
  if (nodes_.empty()) return kMatch;
  points_.clear();
  // Clearing an empty map still wipes every bucket; many short matches
  // (the tokens of a long list) skip that.
  if (!pointIndex_.empty()) pointIndex_.clear();
  pointsOverflow_ = false;
  aborted_ = false;
  text_ = text ? text : u"";
  length_ = text ? length : 0;
  budget_ = kStepBudgetBase + kStepBudgetPerChar * static_cast<int64_t>(length_);
  int status = kNoMatch;
  for (;;) {
    int cursor = 0;
    ++attempts_;
    status = MatchNode(0, cursor);
    if (aborted_) return kNoMatch;
    if (status == kMatch) {
      if (cursor == length_) return kMatch;
      status = kPartialMatch;
      if (flag_) return status;
    }
    if (points_.empty() || pointsOverflow_ || points_.size() > kMaxChoicePoints ||
        attempts_ > kMaxAttempts) {
      return status;
    }
    // Back to the newest decision that still has an untried option.
    while (!points_.empty() && points_.back().taken) {
      pointIndex_.erase(points_.back().key);
      points_.pop_back();
    }
    if (points_.empty()) return status;
    points_.back().taken = true;
  }
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
      for (int i = 0; i < times && length < kMaxSampleLength; ++i) {
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

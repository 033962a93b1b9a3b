// Rule-expression compiler: turns the expression of one grammar line into
// GrammarRule elements, compiles class texts and character codes, and prints
// a rule back as expression text for error messages.
#include "parso/parsogrammar.h"

#include <algorithm>
#include <mutex>
#include <new>

const GrammarRule* GrammarRule::table_[GrammarRule::kMaxLiveRules];
const std::vector<const GrammarRule*> GrammarRule::kNoStopLiterals;
const std::u16string GrammarRule::kNoDescription;
const std::vector<GrammarRule::PrefixPeer> GrammarRule::kNoPrefixPeers;

namespace {

// The places of the rule table in use: rules are made and dropped while
// grammars load, which may happen on any thread; reading a place takes no lock.
struct RuleTable {
  std::mutex mutex;
  std::vector<uint32_t> freeIds;
  uint32_t next = 1;
};

RuleTable& TheRuleTable() {
  static RuleTable* table = new RuleTable;  // never destroyed: rules may outlive static destruction
  return *table;
}

bool IsHexDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

unsigned HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return c - u'A' + 10;
}

bool IsDecimalDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// Characters that end a pending identifier.
bool EndsIdentifier(char16_t c) {
  switch (c) {
    case u' ': case u'\t': case u'*': case u'+': case u'-': case u'/': case u'?': case u'|':
      return true;
    default:
      return false;
  }
}

// Reads one code written as '#', 'x' and two hexadecimal digits, or '#' and
// two decimal digits, at text[i] (which is '#'). Advances i past it. Returns
// false when '#' begins a code form that is malformed; *isCode tells whether a
// code was read at all ('#' followed by neither 'x' nor a digit stands for itself).
bool ReadCode(std::u16string_view t, size_t& i, unsigned& value, bool* isCode) {
  *isCode = false;
  if (i + 1 >= t.size()) return true;
  char16_t next = t[i + 1];
  if (next == u'x') {
    if (i + 3 >= t.size() || !IsHexDigit(t[i + 2]) || !IsHexDigit(t[i + 3])) return false;
    value = HexValue(t[i + 2]) * 16 + HexValue(t[i + 3]);
    i += 4;
    *isCode = true;
    return true;
  }
  if (IsDecimalDigit(next)) {
    if (i + 2 >= t.size() || !IsDecimalDigit(t[i + 2])) return false;
    value = (t[i + 1] - u'0') * 10 + (t[i + 2] - u'0');
    i += 3;
    *isCode = true;
    return true;
  }
  return true;
}

// One item of a class text: a character or a code.
bool ReadClassAtom(std::u16string_view t, size_t& i, unsigned& value, std::u16string* error) {
  if (t[i] == u'#') {
    bool isCode = false;
    if (!ReadCode(t, i, value, &isCode)) {
      *error = u"malformed character code in class [" + std::u16string(t) + u"]";
      return false;
    }
    if (isCode) return true;
  }
  value = t[i++];
  return true;
}

}  // namespace

GrammarRule::GrammarRule(ParsoGrammar* grammar, const char16_t* text, size_t textLength,
                         char16_t kind, bool drop, bool keepChain, bool keep)
    : grammar_(grammar),
      kind_(text ? kind : kGroup),
      drop_(drop),
      keepChain_(keepChain),
      keep_(keep) {
  if (text) text_.assign(text, textLength);
  token_ = kind_ == kNamed && !text_.empty() && text_[0] >= u'A' && text_[0] <= u'Z';
  RuleTable& table = TheRuleTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (!table.freeIds.empty()) {
    tableId_ = table.freeIds.back();
    table.freeIds.pop_back();
  } else if (table.next < kMaxLiveRules) {
    // Every place handed out may come back to the free list: room for it is
    // made here, so that a rule's destructor never allocates (it also runs
    // while an out-of-memory error unwinds, and while a grammar links).
    if (table.freeIds.capacity() < table.next)
      table.freeIds.reserve(std::max<size_t>(size_t{table.next} * 2, 256));
    tableId_ = table.next++;
  } else {
    throw std::bad_alloc();
  }
  table_[tableId_] = this;
}

GrammarRule::~GrammarRule() {
  RuleTable& table = TheRuleTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  table_[tableId_] = nullptr;
  table.freeIds.push_back(tableId_);  // within the room made when the place was handed out
}

GrammarRule* GrammarRule::AddChild(const char16_t* text, size_t length, char16_t kind,
                                   std::u16string* error) {
  if (static_cast<int>(elements_.size()) >= kParsoMaxChildren) {
    *error = u"more than 40 elements in one rule or group";
    return nullptr;
  }
  GrammarRule* rule = nullptr;
  if (kind == kNamed) {
    rule = grammar_->FindRule(std::u16string_view(text, length));
    if (!rule) {
      rule = grammar_->CreateRule(text, length, kNamed, false, false, false);
      if (rule) rule->referenceLine_ = grammar_->currentLine_;
    }
  } else {
    rule = grammar_->CreateRule(text, length, kind, false, false, false);
  }
  if (!rule) {
    *error = u"more than 500 rules";
    return nullptr;
  }
  if (kind == kClassText && !rule->CompileClassText(error)) return nullptr;
  if (kind == kCode && !rule->CompileCode(error)) return nullptr;
  if (!elements_.empty() && operator_ == kSingle) operator_ = kSequence;
  elements_.push_back({rule, 0});
  return rule;
}

bool GrammarRule::AddConstraint(std::u16string_view name, std::u16string* error) {
  if (static_cast<int>(constraints_.size()) >= kParsoMaxConstraints) {
    *error = u"more than 20 constraint entries in one rule";
    return false;
  }
  GrammarRule* rule = grammar_->FindRule(name);
  if (!rule) {
    rule = grammar_->CreateRule(name.data(), name.size(), kNamed, false, false, false);
    if (!rule) {
      *error = u"more than 500 rules";
      return false;
    }
    rule->referenceLine_ = grammar_->currentLine_;
  }
  constraints_.push_back(rule);
  return true;
}

bool GrammarRule::CompileBody(std::u16string_view e, std::u16string* error) {
  // The identifier being read: its characters need not stand together in
  // the text (a literal or class in the middle of a name does not end it).
  char16_t pending[kParsoMaxTextLength];
  size_t pendingLength = 0;
  auto flush = [&]() -> bool {
    if (pendingLength == 0) return true;
    bool ok = AddChild(pending, pendingLength, kNamed, error) != nullptr;
    pendingLength = 0;
    return ok;
  };

  const size_t n = e.size();
  size_t i = 0;
  while (i < n) {
    const char16_t c = e[i];
    if (EndsIdentifier(c)) {
      if (!flush()) return false;
      if (c == u'|' || c == u'/' || c == u'-') {
        operator_ = c;
      } else if ((c == u'*' || c == u'+' || c == u'?') && !elements_.empty()) {
        elements_.back().mark = c;
      }
      ++i;
      continue;
    }
    switch (c) {
      case u'\'':
      case u'"': {
        size_t close = e.find(c, i + 1);
        if (close == std::u16string_view::npos) {
          *error = u"unterminated literal";
          return false;
        }
        if (!AddChild(e.data() + i + 1, close - i - 1, kLiteral, error)) return false;
        i = close + 1;
        break;
      }
      case u'#': {
        // A code runs to the next blank; an operator or mark right behind it
        // still counts as one, so «#x0D*» is the code with a '*' mark.
        size_t j = i + 1;
        while (j < n && !EndsIdentifier(e[j])) ++j;
        if (!AddChild(e.data() + i, j - i, kCode, error)) return false;
        i = j;
        break;
      }
      case u'(':
      case u'[': {
        const char16_t close = c == u'(' ? u')' : u']';
        int level = 0;
        size_t j = i;
        for (; j < n; ++j) {
          if (e[j] == c) {
            ++level;
          } else if (e[j] == close && --level == 0) {
            break;
          }
        }
        if (j >= n) {
          *error = c == u'(' ? u"unterminated group" : u"unterminated class";
          return false;
        }
        std::u16string_view inner = e.substr(i + 1, j - i - 1);
        if (c == u'(') {
          if (static_cast<int>(elements_.size()) >= kParsoMaxChildren) {
            *error = u"more than 40 elements in one rule or group";
            return false;
          }
          GrammarRule* group = grammar_->CreateRule(nullptr, 0, kGroup, false, false, false);
          if (!group) {
            *error = u"more than 500 rules";
            return false;
          }
          if (!group->CompileBody(inner, error)) return false;
          if (!elements_.empty() && operator_ == kSingle) operator_ = kSequence;
          elements_.push_back({group, 0});
        } else if (!AddChild(inner.data(), inner.size(), kClassText, error)) {
          return false;
        }
        i = j + 1;
        break;
      }
      case u'{': {
        size_t close = e.find(u'}', i + 1);
        if (close == std::u16string_view::npos) {
          *error = u"unterminated constraint";
          return false;
        }
        std::u16string_view body = e.substr(i + 1, close - i - 1);
        i = close + 1;
        // Constraints compare two nodes of a sequence; elsewhere they mean nothing.
        if (elements_.empty() || operator_ != kSequence) break;
        size_t eq = body.find(u'=');
        if (eq == std::u16string_view::npos) {
          *error = u"constraint without '='";
          return false;
        }
        for (std::u16string_view side : {body.substr(0, eq), body.substr(eq + 1)}) {
          size_t s = 0;
          while (s < side.size() && IsBlank(side[s])) ++s;
          size_t t = s;
          while (t < side.size() && !IsBlank(side[t])) ++t;
          if (t == s) {
            *error = u"constraint without a rule name";
            return false;
          }
          if (!AddConstraint(side.substr(s, t - s), error)) return false;
        }
        break;
      }
      case u'>':
        description_ = std::make_unique<std::u16string>(e.substr(i + 1));
        i = n;
        break;
      default:
        if (pendingLength >= static_cast<size_t>(kParsoMaxTextLength)) {
          *error = u"rule name longer than 255 characters";
          return false;
        }
        pending[pendingLength++] = c;
        ++i;
        break;
    }
  }
  return flush();
}

bool GrammarRule::CompileClassText(std::u16string* error) {
  std::u16string_view t = text_;
  size_t i = 0;
  bool negate = false;
  if (!t.empty() && t[0] == u'^') {
    negate = true;
    i = 1;
  }
  while (i < t.size()) {
    unsigned low = 0;
    if (!ReadClassAtom(t, i, low, error)) return false;
    unsigned high = low;
    if (i + 1 < t.size() && t[i] == u'-') {
      ++i;
      if (!ReadClassAtom(t, i, high, error)) return false;
    }
    // Tables hold 256 entries; entry 255 stands for every character above it.
    if (low > 255 || high > 255) {
      *error = u"character above U+00FF in class [" + text_ + u"]";
      return false;
    }
    for (unsigned ch = low; ch <= high; ++ch) SetClassChar(ch);
  }
  if (negate) {
    for (uint64_t& bits : classBits_) bits = ~bits;
  }
  return true;
}

bool GrammarRule::CompileCode(std::u16string* error) {
  size_t i = 0;
  unsigned value = 0;
  bool isCode = false;
  if (!ReadCode(text_, i, value, &isCode) || !isCode || i != text_.size()) {
    *error = u"malformed character code " + text_;
    return false;
  }
  code_ = static_cast<char16_t>(value);
  return true;
}

int GrammarRule::CountClassEntries() const {
  int count = 0;
  for (uint64_t bits : classBits_) count += __builtin_popcountll(bits);
  return count;
}

void GrammarRule::PrintExpression(std::u16string& out) const {
  for (size_t i = 0; i < elements_.size(); ++i) {
    if (i > 0) {
      switch (operator_) {
        case kChoice: out += u" | "; break;
        case kUpTo: out += u" / "; break;
        case kDifference: out += u" - "; break;
        default: out += u' '; break;
      }
    }
    const GrammarRule* r = elements_[i].rule;
    switch (r->kind_) {
      case kNamed:
      case kCode:
        out += r->text_;
        break;
      case kClass:
        out += u"[...]";
        break;
      case kClassText:
        out += u'[';
        out += r->text_;
        out += u']';
        break;
      case kLiteral: {
        const char16_t quote = !r->text_.empty() && r->text_[0] == u'\'' ? u'"' : u'\'';
        out += quote;
        out += r->text_;
        out += quote;
        break;
      }
      default:
        out += u'(';
        r->PrintExpression(out);
        out += u')';
        break;
    }
    if (elements_[i].mark) out += elements_[i].mark;
  }
}

namespace {

void AppendHex(std::string& out, uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char text[16];
  int n = 0;
  do {
    text[n++] = kDigits[value & 15];
    value >>= 4;
  } while (value != 0);
  while (n > 0) out += text[--n];
}

// A field is left out where it holds its usual value.
void AppendField(std::string& out, const char* name, int64_t value, int64_t usual = 0) {
  if (value == usual) return;
  out += ' ';
  out += name;
  out += '=';
  if (value < 0) out += '-';
  AppendHex(out, static_cast<uint64_t>(value < 0 ? -value : value));
}

void AppendBits(std::string& out, const char* name, const uint64_t* bits) {
  if ((bits[0] | bits[1] | bits[2] | bits[3]) == 0) return;
  out += ' ';
  out += name;
  out += '=';
  for (int w = 3; w >= 0; --w) {
    AppendHex(out, bits[w]);
    if (w > 0) out += '.';
  }
}

void AppendText(std::string& out, const char* name, const std::u16string& text) {
  if (text.empty()) return;
  out += ' ';
  out += name;
  out += '=';
  for (char16_t c : text) {
    if (c > u' ' && c < 0x7F && c != u'%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      AppendHex(out, c);
      out += ';';
    }
  }
}

int IndexOf(const GrammarRule* rule) { return rule ? rule->GetIndex() : -1; }

// A 256-entry byte table as bits.
void AppendTable(std::string& out, const char* name, const uint8_t* table) {
  if (!table) return;
  uint64_t bits[4] = {0, 0, 0, 0};
  for (unsigned c = 0; c < 256; ++c) {
    if (table[c] > 1) {
      AppendField(out, name, 0xBAD, -1);
      return;
    }
    bits[c >> 6] |= uint64_t{table[c]} << (c & 63);
  }
  out += ' ';
  out += name;
  out += ':';
  AppendBits(out, "", bits);
}

}  // namespace

void GrammarRule::DescribeTables(std::string& out) const {
  AppendField(out, "index", index_, -2);
  AppendField(out, "kind", kind_);
  AppendField(out, "op", operator_);
  AppendField(out, "code", code_);
  AppendField(out, "flags", (drop_ ? 1 : 0) | (keepChain_ ? 2 : 0) | (keep_ ? 4 : 0) | (token_ ? 8 : 0) |
                                (defined_ ? 16 : 0) | (mayBeEmpty_ ? 32 : 0) | (hasLead_ ? 64 : 0) |
                                (silentStart_ ? 128 : 0) | (keepsNoChildren_ ? 256 : 0) | (flat_ ? 512 : 0) |
                                (hasRepeatStops_ ? 1024 : 0) | (flatSteps_ ? 2048 : 0) | (ownStep_ ? 4096 : 0) |
                                (sequenceRule_ ? 8192 : 0) | (flatAlternatives_ ? 16384 : 0) |
                                (splicedAlternatives_ ? 32768 : 0) | (repeatedChoice_ ? 65536 : 0) |
                                (spliced_ ? 131072 : 0));
  AppendText(out, "text", text_);
  AppendText(out, "description", GetDescription());
  AppendField(out, "line", referenceLine_);
  out += " elements:";
  for (const Element& e : elements_) {
    out += ' ';
    AppendHex(out, static_cast<uint64_t>(IndexOf(e.rule)));
    out += '/';
    AppendHex(out, e.mark);
    out += '/';
    AppendHex(out, e.step);
    out += '/';
    AppendHex(out, e.first);
    out += '/';
    AppendHex(out, e.second);
  }
  if (!constraints_.empty()) out += " constraints:";
  for (const GrammarRule* c : constraints_) {
    out += ' ';
    AppendHex(out, static_cast<uint64_t>(IndexOf(c)));
  }
  AppendBits(out, "class", classBits_);
  AppendBits(out, "first", firstBits_);
  if (headCount_ > 0) out += " heads:";
  for (int i = 0; i < headCount_; ++i) {
    out += ' ';
    AppendHex(out, heads_[i][0]);
    out += '.';
    AppendHex(out, heads_[i][1]);
  }
  AppendField(out, "startNesting", startNesting_, 1 << 30);
  AppendField(out, "lead", lead_);
  AppendBits(out, "second", secondBits_);
  AppendField(out, "secondNesting", secondNesting_, 1 << 30);
  AppendField(out, "nesting", nesting_, 1 << 30);
  AppendField(out, "flatForm", flatForm_);
  AppendField(out, "flatHead", IndexOf(flatHead_), -1);
  AppendField(out, "flatTail", IndexOf(flatTail_), -1);
  AppendField(out, "flatChar", flatChar_);
  AppendField(out, "leadingFlat", IndexOf(leadingFlat_), -1);
  const CharSet none;
  AppendBits(out, "repeatStops", (repeatStops_ ? *repeatStops_ : none).bits);
  AppendField(out, "repeatStopChild", repeatStopChild_, -1);
  AppendField(out, "plainLast", IndexOf(plainLast_), -1);
  AppendBits(out, "atOnce", (atOnce_ ? *atOnce_ : none).bits);
  AppendField(out, "sharedPrefix", sharedPrefix_);
  if (!GetPrefixPeers().empty()) out += " peers:";
  for (const PrefixPeer& p : GetPrefixPeers()) {
    out += ' ';
    AppendHex(out, static_cast<uint64_t>(IndexOf(p.rule)));
    out += '.';
    AppendHex(out, static_cast<uint64_t>(p.length));
    out += '.';
    AppendHex(out, static_cast<uint64_t>(p.nesting));
  }
  const std::vector<const GrammarRule*>& stopLiterals = GetStopLiterals();
  if (!stopLiterals.empty()) out += " stopLiterals:";
  for (const GrammarRule* s : stopLiterals) {
    out += ' ';
    AppendHex(out, static_cast<uint64_t>(IndexOf(s)));
  }
  AppendField(out, "stopClass", IndexOf(GetStopClass()), -1);
  const UpToTables noUpTo;
  const UpToTables& upTo = upTo_ ? *upTo_ : noUpTo;
  AppendBits(out, "scan", upTo.scanBits);
  AppendBits(out, "stopStart", upTo.stopStartBits);
  AppendTable(out, "runTable", runTable_.get());
  AppendTable(out, "scanTable", GetScanTable());
  AppendField(out, "skipStopCount", upTo.skipStopCount, -1);
  if (upTo.skipStopCount > 0) out += " skipStops:";
  for (const auto& lanes : upTo.skipStops) {
    if (upTo.skipStopCount <= 0) break;
    for (char16_t lane : lanes) {
      out += ' ';
      AppendHex(out, lane);
    }
  }
  out += '\n';
}

// Grammar loader: reads the rule lines of a grammar file, builds the rule
// table through the expression compiler, and links the finished grammar.
#include "parso/parsogrammar.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string Number(long long value) {
  char digits[32];
  int n = std::snprintf(digits, sizeof digits, "%lld", value);
  return std::u16string(digits, digits + n);
}

std::u16string HexNumber(unsigned value) {
  char digits[16];
  int n = std::snprintf(digits, sizeof digits, "0x%08X", value);
  return std::u16string(digits, digits + n);
}

// A character of a literal that the engine compares as it is: not a line
// end (which counts lines), not an ASCII letter (which may fold).
bool IsPlainMark(char16_t c) {
  return c > u'\r' && !((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'));
}

}  // namespace

int ParsoTextLineReader::ReadLine(char16_t* buffer, int& count) {
  if (pos_ >= text_.size()) {
    count = -1;
    return 0;
  }
  const int max = count;
  int n = 0;
  while (pos_ < text_.size()) {
    const char16_t c = text_[pos_];
    if (c == u'\r' || c == u'\n') {
      ++pos_;
      if (c == u'\r' && pos_ < text_.size() && text_[pos_] == u'\n') ++pos_;
      break;
    }
    if (n == max) break;  // the rest of an over-long line comes with the next call
    buffer[n++] = c;
    ++pos_;
  }
  count = n;
  return 0;
}

ParsoGrammar::ParsoGrammar() = default;

ParsoGrammar::~ParsoGrammar() = default;

void ParsoGrammar::Clear() {
  rules_.clear();
  named_.clear();
  root_ = nullptr;
  currentLine_ = 0;
  loadError_.clear();
}

bool ParsoGrammar::Fail(std::u16string_view sourceName, int line, std::u16string_view reason) {
  loadError_.assign(sourceName);
  if (line > 0) {
    loadError_ += u": line ";
    loadError_ += Number(line);
  }
  loadError_ += u": ";
  loadError_ += reason;
  return false;
}

bool ParsoGrammar::LoadText(std::u16string_view text, std::u16string_view sourceName) {
  ParsoTextLineReader reader(text);
  return Load(reader, sourceName);
}

bool ParsoGrammar::Load(ParsoLineReader& reader, std::u16string_view sourceName) {
  Clear();
  // Room for the rules and names at once, instead of growing through
  // several copies and rehashes (the rule table is bounded anyway).
  named_.reserve(kParsoMaxRules / 2);
  rules_.reserve(kParsoMaxRules);
  loaded_ = true;
  if (ReadRules(reader, sourceName)) return true;
  // The rules read so far stay usable, unlinked, as the loaded flag promises.
  ComputeEngineTables();
  return false;
}

bool ParsoGrammar::ReadRules(ParsoLineReader& reader, std::u16string_view sourceName) {
  // One character more than a line may hold tells an over-long line apart;
  // one more again for the terminator that stream line readers write.
  char16_t buffer[kParsoMaxLineLength + 2];
  int ruleLines = 0;
  std::u16string error;
  for (;;) {
    int count = kParsoMaxLineLength + 1;
    const int rc = reader.ReadLine(buffer, count);
    ++currentLine_;
    if (rc != 0) {
      return Fail(sourceName, currentLine_,
                  u"could not read the grammar (error " + HexNumber(static_cast<unsigned>(rc)) + u")");
    }
    if (count <= 0) break;  // an empty line or the end of the input ends the grammar
    if (count > kParsoMaxLineLength) {
      return Fail(sourceName, currentLine_, u"line longer than 1024 characters");
    }
    if (buffer[0] == 0 || buffer[0] == 0xFFFF) continue;

    const std::u16string_view line(buffer, static_cast<size_t>(count));
    size_t p = 0;
    auto nextToken = [&](size_t& start) -> std::u16string_view {
      while (p < line.size() && IsBlank(line[p])) ++p;
      start = p;
      while (p < line.size() && !IsBlank(line[p])) ++p;
      return line.substr(start, p - start);
    };
    size_t nameStart = 0, sepStart = 0, exprStart = 0;
    const std::u16string_view name = nextToken(nameStart);
    if (name.empty()) continue;  // blanks and tabs only
    if (nextToken(sepStart) != u"::=") {
      return Fail(sourceName, currentLine_, u"expected \"::=\" after the rule name");
    }
    if (nextToken(exprStart).empty()) {
      return Fail(sourceName, currentLine_, u"rule without an expression");
    }
    if (name.size() > static_cast<size_t>(kParsoMaxTextLength)) {
      return Fail(sourceName, currentLine_, u"rule name longer than 255 characters");
    }
    const std::u16string_view expression = line.substr(exprStart);
    if (expression.size() > static_cast<size_t>(kParsoMaxTextLength)) {
      return Fail(sourceName, currentLine_, u"expression longer than 255 characters");
    }
    if (!AddRule(name, expression, &error)) return Fail(sourceName, currentLine_, error);
    ++ruleLines;
  }
  if (ruleLines == 0) return Fail(sourceName, currentLine_, u"no rule line before the end");

  // Every name an expression refers to must have a line of its own.
  for (const auto& rule : rules_) {
    if (rule->kind_ == GrammarRule::kNamed && !rule->defined_) {
      return Fail(sourceName, rule->referenceLine_,
                  u"rule \"" + rule->text_ + u"\" is referenced but never defined");
    }
  }
  Link();
  loaded_ = true;
  return true;
}

bool ParsoGrammar::AddRule(std::u16string_view nameWithMarks, std::u16string_view expression,
                           std::u16string* error) {
  std::u16string name(nameWithMarks);
  bool drop = false, keepChain = false, keep = false;
  // Marks are looked for in this order; each one found ends the name there.
  size_t mark = name.find(u'!');
  if (mark != std::u16string::npos) {
    drop = true;
    name.resize(mark);
  }
  mark = name.find(u'&');
  if (mark != std::u16string::npos) {
    keepChain = true;
    name.resize(mark);
  }
  mark = name.find(u'$');
  if (mark != std::u16string::npos) {
    keep = true;
    name.resize(mark);
  }
  if (name.empty()) {
    *error = u"rule line without a rule name";
    return false;
  }
  GrammarRule* rule = nullptr;
  if (!root_) {
    rule = CreateRule(name.data(), name.size(), GrammarRule::kNamed, false, false, false);
    root_ = rule;
  } else {
    rule = FindRule(name);
    if (!rule) {
      *error = u"rule \"" + name + u"\" is defined before any earlier line refers to it";
      return false;
    }
  }
  rule->drop_ = rule->drop_ || drop;
  rule->keepChain_ = rule->keepChain_ || keepChain;
  rule->keep_ = rule->keep_ || keep;
  rule->defined_ = true;
  return rule->CompileBody(expression, error);
}

GrammarRule* ParsoGrammar::CreateRule(const char16_t* text, size_t length, char16_t kind,
                                      bool drop, bool keepChain, bool keep) {
  if (static_cast<int>(rules_.size()) >= kParsoMaxRules) return nullptr;
  auto rule = std::make_unique<GrammarRule>(this, text, length, kind, drop, keepChain, keep);
  rule->index_ = static_cast<int>(rules_.size());
  GrammarRule* result = rule.get();
  rules_.push_back(std::move(rule));
  if (result->kind_ == GrammarRule::kNamed && !result->text_.empty()) {
    named_.emplace(result->text_, result);
  }
  return result;
}

GrammarRule* ParsoGrammar::FindRule(std::u16string_view name) const {
  auto it = named_.find(name);
  return it == named_.end() ? nullptr : it->second;
}

GrammarRule* ParsoGrammar::FindRule(std::u16string_view text, char16_t kind) const {
  for (const auto& rule : rules_) {
    if (rule && rule->kind_ == kind && !rule->text_.empty() && rule->text_ == text) {
      return rule.get();
    }
  }
  return nullptr;
}

void ParsoGrammar::Link() {
  using R = GrammarRule;

  // 1. Class texts, character codes and one-character literals become
  //    compiled classes. A literal above U+00FF stays a literal: a 256-entry
  //    table would widen it to every character above U+00FF.
  for (auto& rule : rules_) {
    if (!rule) continue;
    switch (rule->kind_) {
      case R::kClassText:
        rule->kind_ = R::kClass;
        rule->text_.clear();
        break;
      case R::kCode:
        rule->kind_ = R::kClass;
        rule->SetClassChar(rule->code_);
        rule->text_.clear();
        break;
      case R::kLiteral:
        if (rule->text_.size() == 1 && rule->text_[0] <= 255) {
          rule->kind_ = R::kClass;
          rule->SetClassChar(rule->text_[0]);
          rule->text_.clear();
        }
        break;
      default:
        break;
    }
  }

  // 2. A choice of plain classes, or a rule of one plain class, becomes one
  //    class; repeated until nothing changes, so nested choices fold up.
  for (bool changed = true; changed;) {
    changed = false;
    for (auto& rule : rules_) {
      if (!rule || (rule->kind_ != R::kNamed && rule->kind_ != R::kGroup)) continue;
      if (rule->elements_.empty()) continue;
      if (rule->operator_ != R::kChoice && rule->elements_.size() != 1) continue;
      bool allClasses = true;
      for (const R::Element& e : rule->elements_) {
        if (e.rule->kind_ != R::kClass || e.mark != 0) {
          allClasses = false;
          break;
        }
      }
      if (!allClasses) continue;
      for (const R::Element& e : rule->elements_) {
        for (int w = 0; w < 4; ++w) rule->classBits_[w] |= e.rule->classBits_[w];
      }
      if (rule->kind_ == R::kNamed) named_.erase(rule->text_);
      rule->kind_ = R::kClass;
      rule->text_.clear();
      rule->token_ = false;
      rule->elements_.clear();
      rule->constraints_.clear();
      rule->operator_ = R::kSingle;
      changed = true;
    }
  }

  // 3. Rules that no rule refers to are deleted, in one pass in table order.
  //    Constraint references count too, so no constraint is left dangling.
  std::vector<int> references(rules_.size(), 0);
  for (const auto& rule : rules_) {
    if (!rule) continue;
    for (const R::Element& e : rule->elements_) ++references[e.rule->index_];
    for (const R* c : rule->constraints_) ++references[c->index_];
  }
  for (size_t i = 0; i < rules_.size(); ++i) {
    R* rule = rules_[i].get();
    if (!rule || rule == root_ || references[i] != 0) continue;
    for (const R::Element& e : rule->elements_) --references[e.rule->index_];
    for (const R* c : rule->constraints_) --references[c->index_];
    if (rule->kind_ == R::kNamed) named_.erase(rule->text_);
    rules_[i].reset();
  }

  // 4. A class of one character becomes a one-character literal. A class of
  //    entry 255 alone stays: it holds U+00FF and every character above.
  for (auto& rule : rules_) {
    if (!rule || rule.get() == root_ || rule->kind_ != R::kClass) continue;
    if (rule->CountClassEntries() != 1) continue;
    unsigned c = 0;
    while (!rule->ClassContains(static_cast<char16_t>(c))) ++c;
    if (c == 255) continue;
    rule->kind_ = R::kLiteral;
    rule->text_.assign(1, static_cast<char16_t>(c));
    rule->token_ = false;
    for (uint64_t& bits : rule->classBits_) bits = 0;
  }
  ComputeEngineTables();
  loaded_ = true;
}

// Tables the engine reads instead of working them out on every attempt:
// where up-to scans stop, and the first characters and emptiness of every
// rule for its prediction. Both of the latter over-approximate (a set too
// large, "may be empty" too often only costs speed), so skipping an attempt
// that cannot begin at a character never changes a match. Literals count
// under both letter cases, as the compare may ignore case.
void ParsoGrammar::ComputeEngineTables() {
  using R = GrammarRule;
  for (auto& rule : rules_) {
    if (!rule || rule->kind_ != R::kClass) continue;
    if (!rule->runTable_) rule->runTable_ = std::make_unique<uint8_t[]>(256);
    for (unsigned c = 0; c < 256; ++c) rule->runTable_[c] = c > u'\r' && rule->ClassContains(static_cast<char16_t>(c));
  }
  for (auto& rule : rules_) {
    if (!rule) continue;
    rule->upTo_.reset();
    if (rule->operator_ != R::kUpTo) continue;
    rule->upTo_ = std::make_unique<R::UpToTables>();
    R::UpToTables& upTo = *rule->upTo_;
    if (rule->elements_.size() < 2) continue;
    const R* b = rule->elements_[1].rule;
    if (b->kind_ == R::kLiteral) {
      upTo.stopLiterals.push_back(b);
    } else if (b->kind_ == R::kClass || b->kind_ == R::kClassText) {
      upTo.stopClass = b;
    } else if ((b->kind_ == R::kNamed || b->kind_ == R::kGroup) &&
               (b->operator_ == R::kChoice || b->elements_.size() == 1)) {
      // A choice of literals; anything else in it makes no stop at all.
      for (const R::Element& e : b->elements_) {
        if (e.rule->kind_ != R::kLiteral) {
          upTo.stopLiterals.clear();
          break;
        }
        upTo.stopLiterals.push_back(e.rule);
      }
    }
  }

  // Characters an up-to scan of a class passes without a closer look: in
  // the class, beginning no stop literal, outside the stop class, no line end.
  for (auto& rule : rules_) {
    if (!rule || !rule->upTo_ || rule->elements_.empty()) continue;
    R::UpToTables& upTo = *rule->upTo_;
    const R* scanned = rule->elements_[0].rule;
    if (scanned->kind_ != R::kClass && scanned->kind_ != R::kClassText) continue;
    if (upTo.stopClass) {
      for (int w = 0; w < 4; ++w) upTo.stopStartBits[w] = upTo.stopClass->classBits_[w];
    }
    for (const R* lit : upTo.stopLiterals) {
      if (lit->text_.empty()) {
        for (uint64_t& bits : upTo.stopStartBits) bits = ~uint64_t{0};
        break;
      }
      const unsigned c = lit->text_[0] > 255 ? 255u : lit->text_[0];
      upTo.stopStartBits[c >> 6] |= uint64_t{1} << (c & 63);
    }
    for (int w = 0; w < 4; ++w) upTo.scanBits[w] = scanned->classBits_[w];
    if (upTo.stopClass) {
      for (int w = 0; w < 4; ++w) upTo.scanBits[w] &= ~upTo.stopClass->classBits_[w];
    }
    for (const R* lit : upTo.stopLiterals) {
      if (lit->text_.empty()) {
        for (uint64_t& bits : upTo.scanBits) bits = 0;
        break;
      }
      const unsigned c = lit->text_[0] > 255 ? 255u : lit->text_[0];
      upTo.scanBits[c >> 6] &= ~(uint64_t{1} << (c & 63));
    }
    upTo.scanBits[0] &= ~((uint64_t{1} << u'\r') | (uint64_t{1} << u'\n'));
    upTo.hasScanTable = true;
    for (unsigned c = 0; c < 256; ++c) upTo.scanTable[c] = rule->ScansPast(static_cast<char16_t>(c));
    // The few characters from U+0020 up that do not scan past, when every
    // character above U+00FF does (entry 255).
    if (!rule->ScansPast(0xFF)) continue;
    int stops = 0;
    for (char16_t c = 0x20; c < 0xFF && stops <= R::kMaxSkipStops; ++c) {
      if (rule->ScansPast(c)) continue;
      if (stops < R::kMaxSkipStops) {
        for (char16_t& lane : upTo.skipStops[stops]) lane = c;
      }
      ++stops;
    }
    if (stops <= R::kMaxSkipStops) upTo.skipStopCount = stops;
  }

  auto setChar = [](uint64_t* bits, char16_t c) {
    const unsigned i = c > 255 ? 255u : c;
    bits[i >> 6] |= uint64_t{1} << (i & 63);
  };
  auto elementEmpty = [](const R::Element& e) {
    return e.rule->mayBeEmpty_ || e.mark == u'?' || e.mark == u'*';
  };

  for (auto& rule : rules_) {
    if (!rule) continue;
    for (uint64_t& bits : rule->firstBits_) bits = 0;
    switch (rule->kind_) {
      case R::kLiteral:
        rule->mayBeEmpty_ = rule->text_.empty();
        if (!rule->text_.empty()) {
          const char16_t c = rule->text_[0];
          setChar(rule->firstBits_, c);
          if (c >= u'a' && c <= u'z') setChar(rule->firstBits_, c - 32);
          if (c >= u'A' && c <= u'Z') setChar(rule->firstBits_, c + 32);
        }
        break;
      case R::kClass:
      case R::kClassText:
        rule->mayBeEmpty_ = false;
        for (int w = 0; w < 4; ++w) rule->firstBits_[w] = rule->classBits_[w];
        break;
      case R::kCode:
        rule->mayBeEmpty_ = false;
        setChar(rule->firstBits_, rule->code_);
        break;
      default:
        rule->mayBeEmpty_ = false;  // grows to the fixed point below
        break;
    }
  }

  for (bool changed = true; changed;) {
    changed = false;
    for (auto& rule : rules_) {
      if (!rule || (rule->kind_ != R::kNamed && rule->kind_ != R::kGroup)) continue;
      const auto& elements = rule->elements_;
      uint64_t first[4] = {0, 0, 0, 0};
      bool empty = elements.empty();
      auto addFirst = [&](const R::Element& e) {
        for (int w = 0; w < 4; ++w) first[w] |= e.rule->firstBits_[w];
      };
      if (!elements.empty()) {
        switch (rule->operator_) {
          case R::kChoice:
            for (const R::Element& e : elements) {
              addFirst(e);
              empty = empty || elementEmpty(e);
            }
            break;
          case R::kDifference:
            addFirst(elements[0]);
            empty = elementEmpty(elements[0]);
            break;
          case R::kUpTo:
            // A scan of a class takes at least one character (text data
            // cannot begin at a tag); another up-to rule is empty where its
            // element is.
            addFirst(elements[0]);
            empty = elements[0].rule->kind_ != R::kClass && elements[0].rule->kind_ != R::kClassText &&
                    elementEmpty(elements[0]);
            break;
          default:
            empty = true;
            for (const R::Element& e : elements) {
              addFirst(e);
              if (!elementEmpty(e)) {
                empty = false;
                break;
              }
            }
            break;
        }
      }
      for (int w = 0; w < 4; ++w) {
        if ((rule->firstBits_[w] | first[w]) != rule->firstBits_[w]) {
          rule->firstBits_[w] |= first[w];
          changed = true;
        }
      }
      if (empty && !rule->mayBeEmpty_) {
        rule->mayBeEmpty_ = true;
        changed = true;
      }
    }
  }

  // Attempts that fail at their start without recording: the elements tried
  // there are those up to the first that cannot be empty, as for the first
  // characters above. Groups nest only inside rules, so the walk ends.
  auto silent = [&](const R* rule, int depth, auto&& self) -> bool {
    if (rule->kind_ == R::kClass || rule->kind_ == R::kClassText || rule->kind_ == R::kCode) return true;
    if (rule->kind_ != R::kGroup || depth > kParsoMaxTextLength || rule->constraints_.size() >= 2 ||
        rule->elements_.empty() || rule->operator_ == R::kDifference || rule->operator_ == R::kUpTo) {
      return false;
    }
    if (rule->operator_ == R::kChoice) {
      return std::all_of(rule->elements_.begin(), rule->elements_.end(),
                         [&](const R::Element& e) { return self(e.rule, depth + 1, self); });
    }
    for (const R::Element& e : rule->elements_) {
      if (!self(e.rule, depth + 1, self)) return false;
      if (!elementEmpty(e)) return true;
    }
    return true;
  };
  for (auto& rule : rules_) {
    if (rule) rule->silentStart_ = silent(rule.get(), 0, silent);
  }

  // Nesting at one position: the composite rules an attempt may enter before
  // it takes a character. A cycle among them (left recursion) is unbounded.
  constexpr int kUnbounded = 1 << 30;
  enum : uint8_t { kUnseen, kOnPath, kDone };
  std::vector<uint8_t> state(rules_.size(), kUnseen);
  auto startCalls = [&](const R* rule, auto&& visit) {
    const auto& elements = rule->elements_;
    if (elements.empty()) return;
    if (rule->operator_ == R::kChoice) {
      for (const R::Element& e : elements) visit(e.rule);
    } else if (rule->operator_ == R::kDifference || rule->operator_ == R::kUpTo) {
      visit(elements[0].rule);
    } else {
      for (const R::Element& e : elements) {
        visit(e.rule);
        if (!elementEmpty(e)) break;
      }
    }
  };
  auto nesting = [&](R* rule, auto&& self) -> int {
    if (rule->kind_ != R::kNamed && rule->kind_ != R::kGroup) return 0;
    uint8_t& st = state[rule->index_];
    if (st == kDone) return rule->startNesting_;
    if (st == kOnPath) return kUnbounded;
    st = kOnPath;
    int deepest = 0;
    startCalls(rule, [&](R* child) { deepest = std::max(deepest, self(child, self)); });
    rule->startNesting_ = deepest >= kUnbounded ? kUnbounded : deepest + 1;
    st = kDone;
    return rule->startNesting_;
  };
  for (auto& rule : rules_) {
    if (rule) nesting(rule.get(), nesting);
  }

  // The literals of two or more characters that every match of a rule
  // begins with (at most kMaxHeads pairs; none where one match might begin
  // otherwise, or through a cycle).
  std::fill(state.begin(), state.end(), kUnseen);
  auto heads = [&](R* rule, auto&& self) -> bool {
    if (rule->kind_ == R::kLiteral) {
      rule->headCount_ = 0;
      if (rule->text_.size() < 2) return false;
      rule->heads_[0][0] = rule->text_[0];
      rule->heads_[0][1] = rule->text_[1];
      rule->headCount_ = 1;
      return true;
    }
    if (rule->kind_ != R::kNamed && rule->kind_ != R::kGroup) return false;
    uint8_t& st = state[rule->index_];
    if (st == kDone) return rule->headCount_ > 0;
    if (st == kOnPath) return false;
    st = kOnPath;
    rule->headCount_ = 0;
    const auto& elements = rule->elements_;
    auto required = [](const R::Element& e) { return e.mark == 0 || e.mark == u'+'; };
    bool known = !elements.empty();
    int count = 0;
    char16_t found[R::kMaxHeads][2];
    auto take = [&](const R::Element& e) {
      if (!required(e) || !self(e.rule, self)) return false;
      for (int i = 0; i < e.rule->headCount_; ++i) {
        bool seen = false;
        for (int j = 0; j < count; ++j) {
          seen = seen || (found[j][0] == e.rule->heads_[i][0] && found[j][1] == e.rule->heads_[i][1]);
        }
        if (seen) continue;
        if (count == R::kMaxHeads) return false;
        found[count][0] = e.rule->heads_[i][0];
        found[count][1] = e.rule->heads_[i][1];
        ++count;
      }
      return true;
    };
    if (rule->operator_ == R::kChoice) {
      for (const R::Element& e : elements) known = known && take(e);
    } else if (rule->operator_ == R::kUpTo || rule->operator_ == R::kDifference) {
      known = false;
    } else if (known) {
      known = take(elements[0]);
    }
    if (known) {
      for (int i = 0; i < count; ++i) {
        rule->heads_[i][0] = found[i][0];
        rule->heads_[i][1] = found[i][1];
      }
      rule->headCount_ = count;
    }
    st = kDone;
    return rule->headCount_ > 0;
  };
  for (auto& rule : rules_) {
    if (rule) heads(rule.get(), heads);
  }

  // Nesting over a whole attempt, at any position.
  std::fill(state.begin(), state.end(), kUnseen);
  auto fullNesting = [&](R* rule, auto&& self) -> int {
    if (rule->kind_ != R::kNamed && rule->kind_ != R::kGroup) return 0;
    uint8_t& st = state[rule->index_];
    if (st == kDone) return rule->nesting_;
    if (st == kOnPath) return kUnbounded;
    st = kOnPath;
    int deepest = 0;
    for (const R::Element& e : rule->elements_) deepest = std::max(deepest, self(e.rule, self));
    for (const R* c : rule->constraints_) deepest = std::max(deepest, self(const_cast<R*>(c), self));
    rule->nesting_ = deepest >= kUnbounded ? kUnbounded : deepest + 1;
    st = kDone;
    return rule->nesting_;
  };
  for (auto& rule : rules_) {
    if (rule) fullNesting(rule.get(), fullNesting);
  }

  // Rules from which a constraint check can be reached.
  std::vector<uint8_t> checks(rules_.size(), 0);
  for (bool changed = true; changed;) {
    changed = false;
    for (auto& rule : rules_) {
      if (!rule || checks[rule->index_]) continue;
      bool reaches = rule->constraints_.size() >= 2;
      for (const R::Element& e : rule->elements_) reaches = reaches || checks[e.rule->index_];
      if (reaches) {
        checks[rule->index_] = 1;
        changed = true;
      }
    }
  }
  // Lead characters and second sets (see GrammarRule::HasLead).
  std::fill(state.begin(), state.end(), kUnseen);
  auto leads = [&](R* rule, auto&& self) -> bool {
    if (rule->kind_ != R::kNamed && rule->kind_ != R::kGroup) return false;
    uint8_t& st = state[rule->index_];
    if (st == kDone) return rule->hasLead_;
    if (st == kOnPath) return false;
    st = kOnPath;
    rule->hasLead_ = false;
    for (uint64_t& bits : rule->secondBits_) bits = 0;
    rule->secondNesting_ = kUnbounded;
    const auto& elements = rule->elements_;
    bool known = !elements.empty();
    bool haveLead = false;
    char16_t lead = 0;
    uint64_t second[4] = {0, 0, 0, 0};
    int deepest = 0;
    // One way a match begins: its lead, second set and nesting.
    auto add = [&](char16_t c, const uint64_t* bits, int nesting) {
      if (haveLead && c != lead) return false;
      haveLead = true;
      lead = c;
      for (int w = 0; w < 4; ++w) second[w] |= bits[w];
      deepest = std::max(deepest, nesting);
      return true;
    };
    // An element that must match once, first: a rule with a lead, or a
    // literal of two or more characters.
    auto leading = [&](const R::Element& e) {
      if (e.mark != 0 && e.mark != u'+') return false;
      const R* r = e.rule;
      if (r->kind_ == R::kLiteral && r->text_.size() >= 2) {
        uint64_t bits[4] = {0, 0, 0, 0};
        const char16_t c = r->text_[1];
        const unsigned i = c > 255 ? 255u : c;
        bits[i >> 6] |= uint64_t{1} << (i & 63);
        if (c >= u'a' && c <= u'z') bits[(c - 32) >> 6] |= uint64_t{1} << ((c - 32) & 63);
        if (c >= u'A' && c <= u'Z') bits[(c + 32) >> 6] |= uint64_t{1} << ((c + 32) & 63);
        return add(r->text_[0], bits, 0);
      }
      if (!self(const_cast<R*>(r), self)) return false;
      return add(r->lead_, r->secondBits_, r->secondNesting_);
    };
    if (rule->operator_ == R::kChoice) {
      // Alternatives without the lead (text data beside the tags of a
      // content) may stand in a choice with it where they cannot begin with
      // it: there they fail at their start, recording only there, so the
      // choice's attempt still fails by its second character. The lead is
      // the one most alternatives have.
      auto ownLead = [&](const R::Element& e, char16_t& c) {
        const R* r = e.rule;
        if (e.mark != 0 && e.mark != u'+') return false;
        if (r->kind_ == R::kLiteral && r->text_.size() >= 2) {
          c = r->text_[0];
          return true;
        }
        if ((r->kind_ != R::kNamed && r->kind_ != R::kGroup) || !self(const_cast<R*>(r), self)) return false;
        c = r->lead_;
        return true;
      };
      std::unordered_map<char16_t, size_t> counts;
      char16_t best = 0;
      size_t bestCount = 0;
      for (const R::Element& e : elements) {
        char16_t c = 0;
        if (!ownLead(e, c)) continue;
        const size_t count = ++counts[c];
        if (count > bestCount) {
          best = c;
          bestCount = count;
        }
      }
      known = known && bestCount > 0;
      for (const R::Element& e : elements) {
        if (!known) break;
        char16_t c = 0;
        if (ownLead(e, c) && c == best) {
          known = leading(e);
          continue;
        }
        const R* r = e.rule;
        const int nesting = r->kind_ == R::kNamed || r->kind_ == R::kGroup ? r->startNesting_ : 0;
        known = (e.mark == 0 || e.mark == u'+') && r->CannotStartWith(best) && nesting < kUnbounded;
        deepest = std::max(deepest, nesting);
      }
    } else if (rule->operator_ == R::kUpTo || rule->operator_ == R::kDifference || !known) {
      known = false;
    } else {
      const R::Element& e0 = elements[0];
      const R* r0 = e0.rule;
      if (e0.mark == 0 && r0->kind_ == R::kLiteral && r0->text_.size() == 1 && elements.size() >= 2) {
        // A one-character literal, then a rule or terminal that cannot be
        // empty and checks no constraint.
        const R::Element& e1 = elements[1];
        const R* r1 = e1.rule;
        known = (e1.mark == 0 || e1.mark == u'+') && !r1->mayBeEmpty_ && !checks[r1->index_] &&
                r1->startNesting_ < kUnbounded && add(r0->text_[0], r1->firstBits_, r1->startNesting_);
      } else {
        known = leading(e0);
      }
    }
    if (known && haveLead && deepest < kUnbounded) {
      rule->hasLead_ = true;
      rule->lead_ = lead;
      for (int w = 0; w < 4; ++w) rule->secondBits_[w] = second[w];
      rule->secondNesting_ = deepest + 1;
    }
    st = kDone;
    return rule->hasLead_;
  };
  for (auto& rule : rules_) {
    if (rule) leads(rule.get(), leads);
  }

  for (auto& rule : rules_) {
    if (!rule) continue;
    // A token of terminals alone makes no nodes below it anyway.
    rule->keepsNoChildren_ = (rule->kind_ == R::kNamed || rule->kind_ == R::kGroup) &&
                             (rule->drop_ || (rule->token_ && rule->nesting_ > 1)) &&
                             !checks[rule->index_];
  }
  for (auto& rule : rules_) {
    if (!rule) continue;
    rule->flat_ = false;
    rule->flatForm_ = R::kFlatOther;
    rule->flatHead_ = rule->flatTail_ = nullptr;
    rule->flatChar_ = 0;
    if ((rule->kind_ != R::kNamed && rule->kind_ != R::kGroup) || rule->elements_.empty() ||
        rule->constraints_.size() >= 2 || rule->operator_ == R::kChoice ||
        rule->operator_ == R::kDifference) {
      continue;
    }
    auto terminal = [](const R* r) { return r->kind_ != R::kNamed && r->kind_ != R::kGroup; };
    if (rule->operator_ == R::kUpTo) {
      const char16_t k = rule->elements_[0].rule->kind_;
      rule->flat_ = k == R::kClass || k == R::kClassText;
    } else {
      rule->flat_ = std::all_of(rule->elements_.begin(), rule->elements_.end(),
                                [&](const R::Element& e) { return terminal(e.rule); });
      const auto& el = rule->elements_;
      auto run = [](const R::Element& e) {
        return e.rule->kind_ == R::kClass && (e.mark == u'*' || e.mark == u'+');
      };
      if (rule->flat_ && el.size() == 1 && run(el[0])) {
        rule->flatForm_ = R::kFlatRun;
        rule->flatHead_ = el[0].rule;
      } else if (rule->flat_ && el.size() == 2 && el[0].rule->kind_ == R::kClass && el[0].mark == 0 &&
                 run(el[1]) && el[1].mark == u'*') {
        rule->flatForm_ = R::kFlatName;
        rule->flatHead_ = el[0].rule;
        rule->flatTail_ = el[1].rule;
      } else if (rule->flat_ && el.size() == 3 && run(el[0]) && el[0].mark == u'*' &&
                 el[1].rule->kind_ == R::kLiteral && el[1].rule->text_.size() == 1 &&
                 el[1].mark == 0 && run(el[2]) && el[2].mark == u'*') {
        rule->flatForm_ = R::kFlatAround;
        rule->flatHead_ = el[0].rule;
        rule->flatTail_ = el[2].rule;
        rule->flatChar_ = el[1].rule->text_[0];
      }
    }
  }
  ComputePrefixPeers();
  for (auto& rule : rules_) {
    if (!rule) continue;
    rule->spliced_ = (rule->kind_ == R::kGroup || (rule->kind_ == R::kNamed && !rule->token_)) &&
                     !rule->elements_.empty() &&
                     rule->operator_ != R::kDifference && rule->operator_ != R::kUpTo &&
                     rule->constraints_.size() < 2 && !rule->drop_ && !rule->keep_ &&
                     !rule->keepChain_ && !rule->HasPrefixPeers() && !rule->flat_ &&
                     !rule->keepsNoChildren_;
  }
  for (auto& rule : rules_) {
    if (!rule) continue;
    for (R::Element& e : rule->elements_) {
      const R* r = e.rule;
      e.first = 0;
      e.second = 0;
      if (r->kind_ == R::kLiteral && r->text_.size() == 1 && r->text_[0] > u'\r') {
        e.step = R::kStepLiteral1;
        e.first = r->text_[0];
      } else if (r->kind_ == R::kLiteral && r->text_.size() == 2 && IsPlainMark(r->text_[0]) &&
                 IsPlainMark(r->text_[1])) {
        e.step = R::kStepTerminal;
        e.first = r->text_[0];
        e.second = r->text_[1];
      } else if (r->kind_ == R::kClass) {
        e.step = e.mark == u'*' || e.mark == u'+' ? R::kStepClassRun : R::kStepClass;
      } else if (r->kind_ != R::kNamed && r->kind_ != R::kGroup) {
        e.step = R::kStepTerminal;
      } else if (r->flat_) {
        e.step = R::kStepFlat;
      } else if (r->spliced_) {
        e.step = R::kStepSpliced;
      } else {
        e.step = R::kStepRule;
      }
    }
  }
  for (auto& rule : rules_) {
    if (!rule) continue;
    const auto& el = rule->elements_;
    rule->leadingFlat_ = (rule->kind_ == R::kNamed || rule->kind_ == R::kGroup) &&
                                 rule->operator_ == R::kChoice && !el.empty() &&
                                 el[0].step == R::kStepFlat && el[0].mark == 0
                             ? el[0].rule
                             : nullptr;
    // The characters at which the leading flat rule fails at its first one
    // (as the engine's quick flat match finds), recording its failure there,
    // and every other alternative, a rule or group, cannot begin.
    rule->flatSteps_ =
        (rule->kind_ == R::kNamed || rule->kind_ == R::kGroup) && !el.empty() && !rule->flat_ &&
        rule->operator_ != R::kChoice && rule->operator_ != R::kDifference && rule->operator_ != R::kUpTo &&
        rule->constraints_.size() < 2 && std::all_of(el.begin(), el.end(), [](const R::Element& e) {
          return e.step <= R::kStepTerminal || (e.step == R::kStepFlat && e.mark == 0);
        });
    rule->splicedAlternatives_ =
        rule->spliced_ && rule->operator_ == R::kChoice && !el.empty() &&
        std::all_of(el.begin(), el.end(), [](const R::Element& e) {
          return e.step == R::kStepSpliced && e.mark == 0 && e.rule->kind_ == R::kGroup &&
                 e.rule->operator_ != R::kChoice;
        });
    rule->ownStep_ = rule->keepsNoChildren_ || rule->flatSteps_ || rule->splicedAlternatives_;
    // A rule that a child sink may watch (as the engine's SetChildSink
    // accepts one) is left out where it can nest in itself: its match nests
    // alike whether it is watched or not, so a streamed parse needs no more
    // stack than a whole one. One that cannot (an attribute) stands at most
    // once in any nesting, so the two differ by one frame at most.
    const bool watchable = rule->kind_ == R::kNamed && !rule->token_ && !rule->drop_ &&
                           rule->constraints_.size() < 2 && !rule->HasPrefixPeers() &&
                           !rule->keepsNoChildren_ && !rule->flat_ && !rule->spliced_;
    rule->sequenceRule_ = (rule->kind_ == R::kNamed || rule->kind_ == R::kGroup) &&
                          rule->operator_ != R::kChoice && rule->operator_ != R::kDifference &&
                          rule->operator_ != R::kUpTo && (!watchable || rule->nesting_ < kUnbounded);
    rule->flatAlternatives_ = rule->leadingFlat_ && std::all_of(el.begin(), el.end(), [](const R::Element& e) {
      return e.step == R::kStepFlat && e.mark == 0;
    });
    rule->repeatStops_.reset();
    rule->hasRepeatStops_ = false;
    rule->repeatStopChild_ = -1;
    const R* flat = rule->leadingFlat_;
    if (!flat || flat->kind_ != R::kNamed) continue;
    const bool others = std::all_of(el.begin() + 1, el.end(), [](const R::Element& e) {
      return e.step > R::kStepTerminal;
    });
    if (!others) continue;
    const R* head = flat->flatHead_;
    int child = -1;
    if (head) {
      if (flat->flatForm_ == R::kFlatAround) continue;
      if (!flat->flatTail_ && flat->elements_[0].mark == u'*') continue;
      child = 0;
    } else if (flat->operator_ != R::kUpTo) {
      continue;
    }
    R::CharSet stops;
    for (unsigned c = 0; c < 256; ++c) {
      const char16_t ch = static_cast<char16_t>(c);
      const bool flatFails = head ? ch > u'\r' && !head->ClassContains(ch)
                                  : !flat->ScansPast(ch) && !flat->elements_[0].rule->ClassContains(ch);
      if (!flatFails) continue;
      const bool noneBegins = std::all_of(el.begin() + 1, el.end(), [&](const R::Element& e) {
        return e.rule->CannotStartWith(ch);
      });
      if (!noneBegins) continue;
      stops.bits[c >> 6] |= uint64_t{1} << (c & 63);
      rule->hasRepeatStops_ = true;
    }
    if (rule->hasRepeatStops_) rule->repeatStops_ = std::make_unique<R::CharSet>(stops);
    rule->repeatStopChild_ = child;
  }
  // A choice of spliced groups is taken through its own step, which splices
  // it where the spliced step would.
  for (auto& rule : rules_) {
    if (!rule) continue;
    for (R::Element& e : rule->elements_) {
      if (e.step == R::kStepSpliced && e.rule->splicedAlternatives_) e.step = R::kStepRule;
    }
  }
  for (auto& rule : rules_) {
    if (!rule) continue;
    const auto& el = rule->elements_;
    const R* last = el.empty() ? nullptr : el.back().rule;
    rule->plainLast_ = rule->leadingFlat_ && el.size() >= 2 && el.back().mark == 0 &&
                               el.back().step > R::kStepTerminal && el.back().step != R::kStepFlat &&
                               !last->leadingFlat_ && !last->flatSteps_
                           ? last
                           : nullptr;
    rule->repeatedChoice_ = (rule->kind_ == R::kNamed || rule->kind_ == R::kGroup) && el.size() == 1 &&
                            rule->operator_ != R::kChoice && rule->operator_ != R::kDifference &&
                            rule->operator_ != R::kUpTo && rule->constraints_.size() < 2 &&
                            el[0].step > R::kStepTerminal && (el[0].mark == u'*' || el[0].mark == u'+') &&
                            el[0].rule->hasRepeatStops_ && el[0].rule->kind_ == R::kGroup;
    rule->atOnce_.reset();
    if (rule->repeatedChoice_ && el[0].mark == u'+') rule->atOnce_ = std::make_unique<R::CharSet>(*el[0].rule->repeatStops_);
  }
}

namespace {

using R = GrammarRule;

bool IsTerminalKind(char16_t kind) { return kind != R::kNamed && kind != R::kGroup; }

bool IsSequence(const R* rule) {
  return (rule->GetKind() == R::kNamed || rule->GetKind() == R::kGroup) &&
         rule->GetOperator() != R::kChoice && rule->GetOperator() != R::kDifference &&
         rule->GetOperator() != R::kUpTo && rule->GetChildCount() > 0;
}

}  // namespace

// Pairs of sequences with equal first elements, of which at least one is a
// rule or group (sharing terminals alone saves nothing). A choice whose
// alternatives begin alike, such as an empty-element tag and a start tag,
// then matches the common part once.
void ParsoGrammar::ComputePrefixPeers() {
  // Terminals that match alike: same kind and the same text, class or code.
  auto sameTerminal = [](const R* a, const R* b) {
    return a == b || (a->kind_ == b->kind_ && a->code_ == b->code_ && a->text_ == b->text_ &&
                      std::equal(a->classBits_, a->classBits_ + 4, b->classBits_));
  };
  // Rules whose attempts match alike and build alike nodes: the same rule,
  // equal terminals, or groups of one operator and flags whose elements are
  // the same rules or equal terminals with the same marks. Nested groups are
  // not compared: a node of such a group would keep the other group's rule.
  auto sameRule = [&](const R* a, const R* b) {
    if (a == b) return true;
    if (IsTerminalKind(a->kind_)) return IsTerminalKind(b->kind_) && sameTerminal(a, b);
    if (a->kind_ != R::kGroup || b->kind_ != R::kGroup || a->operator_ != b->operator_ ||
        a->drop_ != b->drop_ || a->keep_ != b->keep_ || a->keepChain_ != b->keepChain_ ||
        a->elements_.size() != b->elements_.size() || !a->constraints_.empty() ||
        !b->constraints_.empty()) {
      return false;
    }
    for (size_t i = 0; i < a->elements_.size(); ++i) {
      const R::Element& x = a->elements_[i];
      const R::Element& y = b->elements_[i];
      if (x.mark != y.mark) return false;
      if (x.rule == y.rule) continue;
      if (!IsTerminalKind(x.rule->kind_) || !sameTerminal(x.rule, y.rule)) return false;
    }
    return true;
  };
  // Equal first elements give equal keys, so only sequences of one key are compared.
  auto firstKey = [](const R* rule) {
    const R::Element& e = rule->elements_[0];
    const R* r = e.rule;
    uint64_t key = (uint64_t{e.mark} << 48) ^ (uint64_t{r->kind_} << 32);
    if (r->kind_ == R::kNamed) return key ^ static_cast<uint64_t>(r->index_);
    if (r->kind_ == R::kGroup) return key ^ (uint64_t{r->operator_} << 16) ^ r->elements_.size();
    key ^= r->code_;
    for (char16_t c : r->text_) key = key * 31 + c;
    for (uint64_t w : r->classBits_) key = key * 1000003 ^ w;
    return key;
  };

  std::vector<std::pair<uint64_t, R*>> sequences;
  for (auto& rule : rules_) {
    if (!rule) continue;
    rule->sharedPrefix_ = 0;
    rule->prefixPeers_.reset();
    if (IsSequence(rule.get())) sequences.emplace_back(firstKey(rule.get()), rule.get());
  }
  std::sort(sequences.begin(), sequences.end(),
            [](const auto& x, const auto& y) { return x.first != y.first ? x.first < y.first
                                                                         : x.second->index_ < y.second->index_; });
  for (size_t from = 0; from < sequences.size();) {
    size_t to = from + 1;
    while (to < sequences.size() && sequences[to].first == sequences[from].first) ++to;
    for (size_t i = from; i < to; ++i) {
      for (size_t j = from; j < to; ++j) {
        R* a = sequences[i].second;
        R* b = sequences[j].second;
        if (a == b) continue;
        const size_t most = std::min(a->elements_.size(), b->elements_.size());
        int length = 0;
        bool hasRule = false;
        int deepest = 0;
        while (static_cast<size_t>(length) < most) {
          const R::Element& x = a->elements_[length];
          const R::Element& y = b->elements_[length];
          if (x.mark != y.mark || !sameRule(x.rule, y.rule)) break;
          hasRule = hasRule || !IsTerminalKind(x.rule->kind_);
          if (!IsTerminalKind(x.rule->kind_)) deepest = std::max(deepest, x.rule->nesting_);
          ++length;
        }
        // An attempt of a that matched all its elements fails at most on a
        // constraint, after which nothing is kept.
        if (length == 0 || !hasRule || length == a->GetChildCount()) continue;
        a->sharedPrefix_ = std::max(a->sharedPrefix_, length);
        if (!b->prefixPeers_) b->prefixPeers_ = std::make_unique<std::vector<R::PrefixPeer>>();
        b->prefixPeers_->push_back({a, length, deepest});
      }
    }
    from = to;
  }
}

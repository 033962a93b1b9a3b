// A linked grammar as a list of 32-bit words and back: every field that
// reading, compiling and linking a grammar file computes, so that a program
// can carry its grammars linked at build time and load them without a pass
// over the rule lines (the words stay in read-only data, never decoded).
#include <cstring>

#include "parso/parsogrammar.h"

namespace {

using R = GrammarRule;

// The first word of the list; a change of the layout changes it, so that
// words of an older layout fail the load instead of building wrong rules.
constexpr uint32_t kLinkedMagic = 0x4F474C32;  // "OGL2"

// Flags of one rule, in the word after its kind.
constexpr uint32_t kFlagDrop = 1u << 0;
constexpr uint32_t kFlagKeepChain = 1u << 1;
constexpr uint32_t kFlagKeep = 1u << 2;
constexpr uint32_t kFlagToken = 1u << 3;
constexpr uint32_t kFlagDefined = 1u << 4;
constexpr uint32_t kFlagMayBeEmpty = 1u << 5;
constexpr uint32_t kFlagHasLead = 1u << 6;
constexpr uint32_t kFlagSilentStart = 1u << 7;
constexpr uint32_t kFlagKeepsNoChildren = 1u << 8;
constexpr uint32_t kFlagFlat = 1u << 9;
constexpr uint32_t kFlagHasRepeatStops = 1u << 10;
constexpr uint32_t kFlagFlatSteps = 1u << 11;
constexpr uint32_t kFlagOwnStep = 1u << 12;
constexpr uint32_t kFlagSequenceRule = 1u << 13;
constexpr uint32_t kFlagFlatAlternatives = 1u << 14;
constexpr uint32_t kFlagSplicedAlternatives = 1u << 15;
constexpr uint32_t kFlagRepeatedChoice = 1u << 16;
constexpr uint32_t kFlagSpliced = 1u << 17;
// Which of the records made only for some rules this one has.
constexpr uint32_t kHasDescription = 1u << 20;
constexpr uint32_t kHasRepeatStops = 1u << 21;
constexpr uint32_t kHasAtOnce = 1u << 22;
constexpr uint32_t kHasPrefixPeers = 1u << 23;
constexpr uint32_t kHasUpTo = 1u << 24;
constexpr uint32_t kHasRunTable = 1u << 25;
constexpr uint32_t kHasScanTable = 1u << 26;

class WordWriter {
 public:
  explicit WordWriter(std::vector<uint32_t>& out) : out_(out) {}
  void Put(uint32_t w) { out_.push_back(w); }
  void PutInt(int v) { out_.push_back(static_cast<uint32_t>(v)); }
  void PutRef(const R* rule) { out_.push_back(rule ? static_cast<uint32_t>(rule->GetIndex()) + 1 : 0); }
  void PutText(const std::u16string& text) {
    Put(static_cast<uint32_t>(text.size()));
    for (size_t i = 0; i < text.size(); i += 2) {
      Put(text[i] | (i + 1 < text.size() ? uint32_t{text[i + 1]} << 16 : 0));
    }
  }
  // A set of 256 bits: a word with one bit per non-zero quarter, then those quarters.
  void PutBits(const uint64_t* bits) {
    uint32_t mask = 0;
    for (int w = 0; w < 4; ++w) mask |= bits[w] ? 1u << w : 0;
    Put(mask);
    for (int w = 0; w < 4; ++w) {
      if (!bits[w]) continue;
      Put(static_cast<uint32_t>(bits[w]));
      Put(static_cast<uint32_t>(bits[w] >> 32));
    }
  }
  void PutBytes(const void* data, size_t size) {  // size a multiple of 4
    const size_t at = out_.size();
    out_.resize(at + size / 4);
    std::memcpy(out_.data() + at, data, size);
  }

 private:
  std::vector<uint32_t>& out_;
};

// Reads the words back; every read checks the bounds, and the first failure
// makes every later read fail too, so the caller tests once per record.
class WordReader {
 public:
  WordReader(const uint32_t* words, size_t count) : words_(words), count_(count) {}
  bool Ok() const { return ok_; }
  uint32_t Get() {
    if (pos_ >= count_) {
      ok_ = false;
      return 0;
    }
    return words_[pos_++];
  }
  int GetInt() { return static_cast<int>(Get()); }
  // A count of at most `most` items.
  size_t GetCount(size_t most) {
    const uint32_t n = Get();
    if (n > most) ok_ = false;
    return ok_ ? n : 0;
  }
  void GetText(std::u16string& text) {
    const size_t n = GetCount(kParsoMaxLineLength);
    if (!ok_ || (n + 1) / 2 > count_ - pos_) {
      ok_ = false;
      return;
    }
    text.resize(n);
    for (size_t i = 0; i < n; i += 2) {
      const uint32_t w = words_[pos_++];
      text[i] = static_cast<char16_t>(w);
      if (i + 1 < n) text[i + 1] = static_cast<char16_t>(w >> 16);
    }
  }
  void GetBits(uint64_t* bits) {
    const uint32_t mask = Get();
    if (mask > 15) ok_ = false;
    for (int w = 0; w < 4; ++w) {
      bits[w] = 0;
      if (!(mask >> w & 1u)) continue;
      const uint64_t low = Get();
      bits[w] = low | uint64_t{Get()} << 32;
    }
  }
  void GetBytes(void* data, size_t size) {
    if (!ok_ || size / 4 > count_ - pos_) {
      ok_ = false;
      return;
    }
    std::memcpy(data, words_ + pos_, size);
    pos_ += size / 4;
  }
  bool AtEnd() const { return ok_ && pos_ == count_; }

 private:
  const uint32_t* words_;
  size_t count_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace

void ParsoGrammar::SaveLinked(std::vector<uint32_t>& out) const {
  WordWriter w(out);
  w.Put(kLinkedMagic);
  w.Put(static_cast<uint32_t>(rules_.size()));
  for (size_t i = 0; i < rules_.size(); i += 32) {
    uint32_t present = 0;
    for (size_t j = i; j < rules_.size() && j < i + 32; ++j) present |= rules_[j] ? 1u << (j - i) : 0;
    w.Put(present);
  }
  w.PutRef(root_);
  w.PutInt(currentLine_);
  // The named rules by table index, so that two saves of one grammar give
  // the same words whatever the order of the name table.
  std::vector<const R*> named;
  for (const auto& rule : rules_) {
    if (rule && !rule->text_.empty() && FindRule(rule->text_) == rule.get()) named.push_back(rule.get());
  }
  w.Put(static_cast<uint32_t>(named.size()));
  for (const R* rule : named) w.PutRef(rule);
  for (const auto& slot : rules_) {
    if (!slot) continue;
    const R& r = *slot;
    w.Put(r.kind_ | uint32_t{r.operator_} << 16);
    w.Put(r.code_ | uint32_t{r.lead_} << 16);
    w.Put((r.drop_ ? kFlagDrop : 0) | (r.keepChain_ ? kFlagKeepChain : 0) | (r.keep_ ? kFlagKeep : 0) |
          (r.token_ ? kFlagToken : 0) | (r.defined_ ? kFlagDefined : 0) | (r.mayBeEmpty_ ? kFlagMayBeEmpty : 0) |
          (r.hasLead_ ? kFlagHasLead : 0) | (r.silentStart_ ? kFlagSilentStart : 0) |
          (r.keepsNoChildren_ ? kFlagKeepsNoChildren : 0) | (r.flat_ ? kFlagFlat : 0) |
          (r.hasRepeatStops_ ? kFlagHasRepeatStops : 0) | (r.flatSteps_ ? kFlagFlatSteps : 0) |
          (r.ownStep_ ? kFlagOwnStep : 0) | (r.sequenceRule_ ? kFlagSequenceRule : 0) |
          (r.flatAlternatives_ ? kFlagFlatAlternatives : 0) |
          (r.splicedAlternatives_ ? kFlagSplicedAlternatives : 0) |
          (r.repeatedChoice_ ? kFlagRepeatedChoice : 0) | (r.spliced_ ? kFlagSpliced : 0) |
          (r.description_ ? kHasDescription : 0) | (r.repeatStops_ ? kHasRepeatStops : 0) |
          (r.atOnce_ ? kHasAtOnce : 0) | (r.prefixPeers_ ? kHasPrefixPeers : 0) | (r.upTo_ ? kHasUpTo : 0) |
          (r.runTable_ ? kHasRunTable : 0) | (r.upTo_ && r.upTo_->hasScanTable ? kHasScanTable : 0));
    w.Put(r.flatForm_ | uint32_t{r.flatChar_} << 16);
    w.PutInt(r.referenceLine_);
    w.PutInt(r.startNesting_);
    w.PutInt(r.secondNesting_);
    w.PutInt(r.nesting_);
    w.PutInt(r.repeatStopChild_);
    w.PutInt(r.sharedPrefix_);
    w.PutInt(r.headCount_);
    for (int i = 0; i < r.headCount_; ++i) w.Put(r.heads_[i][0] | uint32_t{r.heads_[i][1]} << 16);
    w.PutRef(r.flatHead_);
    w.PutRef(r.flatTail_);
    w.PutRef(r.leadingFlat_);
    w.PutRef(r.plainLast_);
    w.PutText(r.text_);
    if (r.description_) w.PutText(*r.description_);
    w.Put(static_cast<uint32_t>(r.elements_.size()));
    for (const R::Element& e : r.elements_) {
      w.PutRef(e.rule);
      w.Put(e.mark | uint32_t{e.step} << 16);
      w.Put(e.first | uint32_t{e.second} << 16);
    }
    w.Put(static_cast<uint32_t>(r.constraints_.size()));
    for (const R* c : r.constraints_) w.PutRef(c);
    w.PutBits(r.classBits_);
    w.PutBits(r.firstBits_);
    w.PutBits(r.secondBits_);
    if (r.repeatStops_) w.PutBits(r.repeatStops_->bits);
    if (r.atOnce_) w.PutBits(r.atOnce_->bits);
    if (r.prefixPeers_) {
      w.Put(static_cast<uint32_t>(r.prefixPeers_->size()));
      for (const R::PrefixPeer& p : *r.prefixPeers_) {
        w.PutRef(p.rule);
        w.PutInt(p.length);
        w.PutInt(p.nesting);
      }
    }
    if (r.upTo_) {
      const R::UpToTables& upTo = *r.upTo_;
      w.Put(static_cast<uint32_t>(upTo.stopLiterals.size()));
      for (const R* s : upTo.stopLiterals) w.PutRef(s);
      w.PutRef(upTo.stopClass);
      w.PutBits(upTo.scanBits);
      w.PutBits(upTo.stopStartBits);
      w.PutInt(upTo.skipStopCount);
      w.PutBytes(upTo.skipStops, sizeof upTo.skipStops);
      if (upTo.hasScanTable) w.PutBytes(upTo.scanTable, sizeof upTo.scanTable);
    }
    if (r.runTable_) w.PutBytes(r.runTable_.get(), 256);
  }
}

bool ParsoGrammar::LoadLinked(const uint32_t* words, size_t count, std::u16string_view sourceName) {
  Clear();
  loaded_ = true;
  WordReader in(words, count);
  auto malformed = [&]() {
    Clear();
    return Fail(sourceName, 0, u"malformed linked grammar tables");
  };
  if (in.Get() != kLinkedMagic) return malformed();
  const size_t slots = in.GetCount(kParsoMaxRules);
  if (!in.Ok() || slots == 0) return malformed();
  rules_.reserve(slots);
  std::vector<uint32_t> present((slots + 31) / 32);
  for (uint32_t& bits : present) bits = in.Get();
  if (!in.Ok()) return malformed();
  for (size_t i = 0; i < slots; ++i) {
    if (present[i / 32] >> (i % 32) & 1u) {
      rules_.push_back(std::make_unique<R>(this, nullptr, 0, R::kGroup, false, false, false));
      rules_.back()->index_ = static_cast<int>(i);
    } else {
      rules_.emplace_back();
    }
  }
  bool refsOk = true;
  auto ref = [&]() -> R* {
    const uint32_t w = in.Get();
    if (w == 0) return nullptr;
    if (w > slots || !rules_[w - 1]) {
      refsOk = false;
      return nullptr;
    }
    return rules_[w - 1].get();
  };
  // A reference that must name a rule.
  auto needRef = [&]() -> R* {
    R* rule = ref();
    if (!rule) refsOk = false;
    return rule;
  };
  root_ = needRef();
  currentLine_ = in.GetInt();
  const size_t namedCount = in.GetCount(slots);
  std::vector<R*> named(namedCount);
  for (R*& rule : named) rule = needRef();
  if (!in.Ok() || !refsOk) return malformed();

  for (auto& slot : rules_) {
    if (!slot) continue;
    R& r = *slot;
    const uint32_t kinds = in.Get();
    r.kind_ = static_cast<char16_t>(kinds);
    r.operator_ = static_cast<char16_t>(kinds >> 16);
    const uint32_t codes = in.Get();
    r.code_ = static_cast<char16_t>(codes);
    r.lead_ = static_cast<char16_t>(codes >> 16);
    const uint32_t flags = in.Get();
    r.drop_ = flags & kFlagDrop;
    r.keepChain_ = flags & kFlagKeepChain;
    r.keep_ = flags & kFlagKeep;
    r.token_ = flags & kFlagToken;
    r.defined_ = flags & kFlagDefined;
    r.mayBeEmpty_ = flags & kFlagMayBeEmpty;
    r.hasLead_ = flags & kFlagHasLead;
    r.silentStart_ = flags & kFlagSilentStart;
    r.keepsNoChildren_ = flags & kFlagKeepsNoChildren;
    r.flat_ = flags & kFlagFlat;
    r.hasRepeatStops_ = flags & kFlagHasRepeatStops;
    r.flatSteps_ = flags & kFlagFlatSteps;
    r.ownStep_ = flags & kFlagOwnStep;
    r.sequenceRule_ = flags & kFlagSequenceRule;
    r.flatAlternatives_ = flags & kFlagFlatAlternatives;
    r.splicedAlternatives_ = flags & kFlagSplicedAlternatives;
    r.repeatedChoice_ = flags & kFlagRepeatedChoice;
    r.spliced_ = flags & kFlagSpliced;
    const uint32_t form = in.Get();
    r.flatForm_ = static_cast<uint8_t>(form);
    r.flatChar_ = static_cast<char16_t>(form >> 16);
    r.referenceLine_ = in.GetInt();
    r.startNesting_ = in.GetInt();
    r.secondNesting_ = in.GetInt();
    r.nesting_ = in.GetInt();
    r.repeatStopChild_ = in.GetInt();
    r.sharedPrefix_ = in.GetInt();
    r.headCount_ = static_cast<int>(in.GetCount(R::kMaxHeads));
    for (int i = 0; i < r.headCount_; ++i) {
      const uint32_t head = in.Get();
      r.heads_[i][0] = static_cast<char16_t>(head);
      r.heads_[i][1] = static_cast<char16_t>(head >> 16);
    }
    r.flatHead_ = ref();
    r.flatTail_ = ref();
    r.leadingFlat_ = ref();
    r.plainLast_ = ref();
    in.GetText(r.text_);
    if (flags & kHasDescription) {
      r.description_ = std::make_unique<std::u16string>();
      in.GetText(*r.description_);
    }
    const size_t elements = in.GetCount(kParsoMaxChildren);
    r.elements_.resize(elements);
    for (R::Element& e : r.elements_) {
      e.rule = needRef();
      const uint32_t mark = in.Get();
      e.mark = static_cast<char16_t>(mark);
      e.step = static_cast<uint8_t>(mark >> 16);
      const uint32_t chars = in.Get();
      e.first = static_cast<char16_t>(chars);
      e.second = static_cast<char16_t>(chars >> 16);
    }
    const size_t constraints = in.GetCount(kParsoMaxConstraints);
    r.constraints_.resize(constraints);
    for (R*& c : r.constraints_) c = needRef();
    in.GetBits(r.classBits_);
    in.GetBits(r.firstBits_);
    in.GetBits(r.secondBits_);
    if (flags & kHasRepeatStops) {
      r.repeatStops_ = std::make_unique<R::CharSet>();
      in.GetBits(r.repeatStops_->bits);
    }
    if (flags & kHasAtOnce) {
      r.atOnce_ = std::make_unique<R::CharSet>();
      in.GetBits(r.atOnce_->bits);
    }
    if (flags & kHasPrefixPeers) {
      r.prefixPeers_ = std::make_unique<std::vector<R::PrefixPeer>>(in.GetCount(slots));
      for (R::PrefixPeer& p : *r.prefixPeers_) {
        p.rule = needRef();
        p.length = in.GetInt();
        p.nesting = in.GetInt();
      }
    }
    if (flags & kHasUpTo) {
      r.upTo_ = std::make_unique<R::UpToTables>();
      R::UpToTables& upTo = *r.upTo_;
      upTo.stopLiterals.resize(in.GetCount(slots));
      for (const R*& s : upTo.stopLiterals) s = needRef();
      upTo.stopClass = ref();
      in.GetBits(upTo.scanBits);
      in.GetBits(upTo.stopStartBits);
      upTo.skipStopCount = in.GetInt();
      in.GetBytes(upTo.skipStops, sizeof upTo.skipStops);
      upTo.hasScanTable = flags & kHasScanTable;
      if (upTo.hasScanTable) in.GetBytes(upTo.scanTable, sizeof upTo.scanTable);
    }
    if (flags & kHasRunTable) {
      r.runTable_ = std::make_unique<uint8_t[]>(256);
      in.GetBytes(r.runTable_.get(), 256);
    }
    if (!in.Ok() || !refsOk) return malformed();
  }
  if (!in.AtEnd()) return malformed();
  for (R* rule : named) named_.emplace(rule->text_, rule);
  return true;
}

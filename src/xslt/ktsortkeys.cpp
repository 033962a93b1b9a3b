// The collation of text sort keys, the text and number comparators and the
// sort of a selection by them.
#include "xslt/ktsortkeys.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string_view>

#include "streams/ktunicodedatabase.h"
#include "xslt/ktxslterror.h"

namespace {

// Primary weights. Every character gives one or two primary units; 0 ends
// a level, so no weight is 0. Groups: spaces and controls, punctuation and
// symbols, combining marks, digits, Latin letters, other letters, the
// rest; within a group the weight follows the character.
constexpr char16_t kGroupSpace = 0x0001;
constexpr char16_t kGroupPunctuation = 0x0002;
constexpr char16_t kGroupMark = 0x0003;
constexpr char16_t kFirstDigit = 0x0010;      // '0'..'9': one unit each
constexpr char16_t kGroupOtherDigit = 0x001A;  // other decimal digits
constexpr char16_t kFirstLatinLetter = 0x0100;  // a..z, then thorn
constexpr char16_t kGroupOtherLetter = 0x0200;
constexpr char16_t kGroupOther = 0x0300;

// Base letters of U+00C0..U+017F: a Latin letter, '*' for a letter that
// sorts as two (ae, oe, ij, ss), '#' for thorn, ' ' for the multiplication
// and division signs.
constexpr char kLatin1Bases[] =
    "aaaaaa*ceeeeiiii"
    "dnooooo ouuuuy#*"
    "aaaaaa*ceeeeiiii"
    "dnooooo ouuuuy#y";
static_assert(sizeof(kLatin1Bases) == 0x40 + 1, "one base per character of U+00C0..U+00FF");
constexpr char kLatinExtendedABases[] =
    "aaaaaacccccccc"
    "dddd"
    "eeeeeeeeee"
    "gggggggg"
    "hhhh"
    "iiiiiiiiii"
    "**"
    "jj"
    "kkk"
    "llllllllll"
    "nnnnnnn"
    "nn"
    "oooooo"
    "**"
    "rrrrrr"
    "ssssssss"
    "tttttt"
    "uuuuuuuuuuuu"
    "ww"
    "yyy"
    "zzzzzz"
    "s";
static_assert(sizeof(kLatinExtendedABases) == 0x80 + 1, "one base per character of U+0100..U+017F");

// What one character contributes: up to two primary units (a letter that
// expands gives two letters), its accent weight (1 without accent) and its
// case weight (1 lower or uncased, 2 upper).
struct CharWeights {
  char16_t primary[2] = {0, 0};
  uint8_t primaryCount = 0;
  bool secondUnitIsLetter = false;  // an expansion: two letters
  char16_t secondary = 1;
  uint8_t tertiary = 1;
};

char16_t LatinLetterWeight(char letter) {
  return letter == '#' ? kFirstLatinLetter + 26 : static_cast<char16_t>(kFirstLatinLetter + (letter - 'a'));
}

// The two letters of a character that sorts as two.
const char* ExpansionOf(char16_t c) {
  switch (c) {
    case 0x00C6:
    case 0x00E6:
      return "ae";
    case 0x00DF:
      return "ss";
    case 0x0132:
    case 0x0133:
      return "ij";
    case 0x0152:
    case 0x0153:
      return "oe";
    default:
      return nullptr;
  }
}

char BaseLetterOf(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char>(c);
  if (c >= u'A' && c <= u'Z') return static_cast<char>(c - u'A' + 'a');
  if (c >= 0x00C0 && c <= 0x00FF) return kLatin1Bases[c - 0x00C0];
  if (c >= 0x0100 && c <= 0x017F) return kLatinExtendedABases[c - 0x0100];
  return ' ';
}

CharWeights WeighCharacter(char16_t c) {
  CharWeights w;
  const char16_t* category = KTCollation::CategoryOf(c);
  bool upper = category[0] == u'L' && (category[1] == u'u' || category[1] == u't');
  w.tertiary = upper ? 2 : 1;
  char base = BaseLetterOf(c);
  if (base != ' ') {
    bool accented = !((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'));
    w.secondary = accented ? c : 1;
    if (base == '*') {
      const char* pair = ExpansionOf(c);
      w.primary[0] = LatinLetterWeight(pair[0]);
      w.primary[1] = LatinLetterWeight(pair[1]);
      w.primaryCount = 2;
      w.secondUnitIsLetter = true;
    } else {
      w.primary[0] = LatinLetterWeight(base);
      w.primaryCount = 1;
    }
    return w;
  }
  if (c >= u'0' && c <= u'9') {
    w.primary[0] = static_cast<char16_t>(kFirstDigit + (c - u'0'));
    w.primaryCount = 1;
    return w;
  }
  char16_t group;
  switch (category[0]) {
    case u'Z':
      group = kGroupSpace;
      break;
    case u'C':
      // Controls (tab, line ends) sort with the spaces; surrogates and
      // unassigned code points with the rest.
      group = category[1] == u'c' ? kGroupSpace : kGroupOther;
      break;
    case u'P':
    case u'S':
      group = kGroupPunctuation;
      break;
    case u'M':
      group = kGroupMark;
      break;
    case u'N':
      group = category[1] == u'd' ? kGroupOtherDigit : kGroupPunctuation;
      break;
    case u'L':
      group = kGroupOtherLetter;
      break;
    default:
      group = kGroupOther;
      break;
  }
  w.primary[0] = group;
  w.primary[1] = c;
  w.primaryCount = 2;
  return w;
}

// The weights of a UTF-16 code unit, made the first time it is weighed:
// most sorts meet a few dozen characters, and ASCII text never needs the
// character database loaded.
struct WeightCache {
  std::array<CharWeights, 0x10000> table;
  std::bitset<0x10000> made;
};

// Constant-initialized: no guard on the per-character path.
WeightCache gWeights;

[[gnu::noinline]] const CharWeights& WeighAndKeep(char16_t c) {
  if (c != 0) gWeights.table[c] = WeighCharacter(c);
  gWeights.made[c] = true;
  return gWeights.table[c];
}

inline const CharWeights& WeightOf(char16_t c) {
  return gWeights.made[c] ? gWeights.table[c] : WeighAndKeep(c);
}

// General categories of U+0000..U+007F.
constexpr const char16_t* kAsciiCategories[0x80] = {
    u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc",
    u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc", u"Cc",
    u"Zs", u"Po", u"Po", u"Po", u"Sc", u"Po", u"Po", u"Po", u"Ps", u"Pe", u"Po", u"Sm", u"Po", u"Pd", u"Po", u"Po",
    u"Nd", u"Nd", u"Nd", u"Nd", u"Nd", u"Nd", u"Nd", u"Nd", u"Nd", u"Nd", u"Po", u"Po", u"Sm", u"Sm", u"Sm", u"Po",
    u"Po", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu",
    u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Lu", u"Ps", u"Po", u"Pe", u"Sk", u"Pc",
    u"Sk", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll",
    u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ll", u"Ps", u"Sm", u"Pe", u"Sm", u"Cc",
};

}  // namespace

// ---- KTCollation ----

const char16_t* KTCollation::CategoryOf(char16_t c) {
  return c < 0x80 ? kAsciiCategories[c] : KTUnicodeDatabase::GetCategory(c);
}

const KTCollation& KTCollation::ForLanguage(const KTString&) {
  static const KTCollation collation;
  return collation;
}

KTString KTCollation::DefaultLanguage() {
  // The environment is read once: every xsl:sort without a lang asks, and a
  // nested sort asks once per outer node.
  static const KTString language = [] {
    for (const char* variable : {"LC_ALL", "LC_COLLATE", "LANG"}) {
      const char* value = std::getenv(variable);
      if (!value || !*value) continue;
      std::string_view text(value);
      size_t end = text.find_first_of("_.@");
      std::string_view name = text.substr(0, end);
      if (name == "C" || name == "POSIX" || name.empty()) break;
      KTString out;
      for (char c : name) out += static_cast<char16_t>(static_cast<unsigned char>(c));
      return out;
    }
    return KTString(u"en");
  }();
  return language;
}

void KTCollation::MakeKey(std::u16string_view text, Key& out) const {
  out.weights.resize(MaxKeyLength(text.size()));
  out.weights.resize(WriteKey(text, out.weights.data(), out.caseStart));
}

size_t KTCollation::WriteKey(std::u16string_view text, char16_t* out, size_t& caseStart) const {
  // At most two primary units and two of each other level per character,
  // and the two level ends. One pass over the text writes the secondary
  // and tertiary units past the room the primary ones can take; they are
  // moved down after.
  const size_t n = text.size();
  char16_t* const secondary = out + 2 * n + 1;
  char16_t* const tertiary = out + 4 * n + 2;
  char16_t* p = out;
  char16_t* s = secondary;
  char16_t* t = tertiary;
  for (char16_t c : text) {
    const CharWeights& cw = WeightOf(c);
    for (int i = 0; i < cw.primaryCount; ++i) *p++ = cw.primary[i];
    *s++ = cw.secondary;
    *t++ = static_cast<char16_t>(cw.tertiary);
    if (cw.secondUnitIsLetter) {
      *s++ = cw.secondary;
      *t++ = static_cast<char16_t>(cw.tertiary);
    }
  }
  *p++ = u'\0';
  std::memmove(p, secondary, static_cast<size_t>(s - secondary) * sizeof(char16_t));
  p += s - secondary;
  *p++ = u'\0';
  caseStart = static_cast<size_t>(p - out);
  std::memmove(p, tertiary, static_cast<size_t>(t - tertiary) * sizeof(char16_t));
  p += t - tertiary;
  return static_cast<size_t>(p - out);
}

size_t KTCollation::WritePrimary(std::u16string_view text, char16_t* out) const {
  char16_t* p = out;
  for (char16_t c : text) {
    const CharWeights& cw = WeightOf(c);
    for (int i = 0; i < cw.primaryCount; ++i) *p++ = cw.primary[i];
  }
  return static_cast<size_t>(p - out);
}

namespace {

// The units of one level of a text's key, in order, as WriteKey writes
// them: one per character, two for a letter that expands.
template <bool kAccents>
class LevelReader {
 public:
  explicit LevelReader(std::u16string_view text) : text_(text) {}
  bool Next(char16_t& unit) {
    if (repeat_) {
      repeat_ = false;
      unit = last_;
      return true;
    }
    if (at_ == text_.size()) return false;
    const CharWeights& cw = WeightOf(text_[at_++]);
    unit = kAccents ? cw.secondary : static_cast<char16_t>(cw.tertiary);
    last_ = unit;
    repeat_ = cw.secondUnitIsLetter;
    return true;
  }

 private:
  std::u16string_view text_;
  size_t at_ = 0;
  bool repeat_ = false;
  char16_t last_ = 0;
};

// The primary weights of a text, in order, as WritePrimary writes them.
class PrimaryReader {
 public:
  explicit PrimaryReader(std::u16string_view text) : text_(text) {}
  bool Next(char16_t& unit) {
    while (index_ == count_) {
      if (at_ == text_.size()) return false;
      weights_ = &WeightOf(text_[at_++]);
      count_ = weights_->primaryCount;
      index_ = 0;
    }
    unit = weights_->primary[index_++];
    return true;
  }

 private:
  std::u16string_view text_;
  size_t at_ = 0;
  const CharWeights* weights_ = nullptr;
  int count_ = 0;
  int index_ = 0;
};

// Lexicographic, a sequence that is a prefix of the other first: as the
// level compares inside the whole key, whose levels end with 0 and hold no
// 0 themselves.
template <class Reader>
int CompareUnits(std::u16string_view a, std::u16string_view b) {
  Reader x(a);
  Reader y(b);
  for (;;) {
    char16_t p = 0;
    char16_t q = 0;
    const bool haveP = x.Next(p);
    const bool haveQ = y.Next(q);
    if (!haveP || !haveQ) return haveP ? 1 : (haveQ ? -1 : 0);
    if (p != q) return p < q ? -1 : 1;
  }
}

}  // namespace

int KTCollation::CompareAccents(std::u16string_view a, std::u16string_view b) const {
  return CompareUnits<LevelReader<true>>(a, b);
}

int KTCollation::CompareCase(std::u16string_view a, std::u16string_view b) const {
  return CompareUnits<LevelReader<false>>(a, b);
}

// ---- Comparators ----

namespace {

bool IsLowerCase(char16_t c) {
  const char16_t* category = KTCollation::CategoryOf(c);
  return category[0] == u'L' && category[1] == u'l';
}

}  // namespace

namespace {

// Units per block of key text: large enough that a selection of thousands
// of keys takes a few blocks, small enough that the unused end is no matter.
constexpr size_t kKeyBlockUnits = size_t{1} << 16;

}  // namespace

char16_t* KTTextSortKeyComparator::Blocks::Reserve(size_t units) {
  if (units > left_) {
    const size_t size = std::max(units, kKeyBlockUnits);
    blocks_.push_back(std::make_unique_for_overwrite<char16_t[]>(size));
    next_ = blocks_.back().get();
    left_ = size;
  }
  return next_;
}

void KTTextSortKeyComparator::Add(std::u16string_view text, bool copy) {
  if (!collation_) collation_ = &KTCollation::ForLanguage(language_);
  Key key;
  const size_t room = (keepsWeights_ ? KTCollation::MaxPrimaryLength(text.size()) : 0) + (copy ? text.size() : 0);
  char16_t* out = room ? blocks_.Reserve(room) : nullptr;
  if (keepsWeights_) {
    key.primary = out;
    key.primaryLength = static_cast<uint32_t>(collation_->WritePrimary(text, out));
  }
  key.textLength = static_cast<uint32_t>(text.size());
  if (copy) {
    char16_t* kept = out + key.primaryLength;
    std::copy(text.begin(), text.end(), kept);
    key.text = kept;
  } else {
    key.text = text.data();
  }
  blocks_.Commit(key.primaryLength + (copy ? text.size() : 0));
  keys_.push_back(key);
}

int KTTextSortKeyComparator::Compare(int a, int b) const {
  const Key& x = keys_[static_cast<size_t>(a)];
  const Key& y = keys_[static_cast<size_t>(b)];
  const std::u16string_view p(x.text, x.textLength);
  const std::u16string_view q(y.text, y.textLength);
  // The whole key is primary weights, 0, accent weights, 0, case weights:
  // compared level by level, the later levels read only on a tie.
  int result = x.primary ? std::u16string_view(x.primary, x.primaryLength)
                               .compare(std::u16string_view(y.primary, y.primaryLength))
                         : CompareUnits<PrimaryReader>(p, q);
  if (result == 0) result = collation_->CompareAccents(p, q);
  if (result == 0) {
    if (caseOrder_ == 0) {
      result = collation_->CompareCase(p, q);
    } else {
      // Equal but for case: the first differing character decides, lower
      // case first unless upper-first is asked for.
      size_t i = 0;
      while (i < p.size() && i < q.size() && p[i] == q[i]) ++i;
      if (i < p.size() || i < q.size()) {
        if (i < p.size()) result = IsLowerCase(p[i]) ? -1 : 1;
        else result = -1;
        if (caseOrder_ == 1) result = -result;
      }
    }
  }
  return descending_ ? -result : result;
}

uint64_t KTTextSortKeyComparator::Summary(int i) const {
  const Key& key = keys_[static_cast<size_t>(i)];
  // The first four units of primary weights, 0, accent weights, 0 (a
  // text of one character already fills them; an empty one gives 0, 0 and
  // nothing after): units past the end count as 0, below every weight, so
  // a key that is a prefix of another sorts first, as the full comparison
  // has it.
  uint64_t summary = 0;
  size_t taken = 0;
  auto take = [&](char16_t unit) {
    if (taken < 4) {
      summary = (summary << 16) | unit;
      ++taken;
    }
  };
  if (key.primary) {
    for (size_t k = 0; k < key.primaryLength && taken < 4; ++k) take(key.primary[k]);
  } else {
    PrimaryReader primary(std::u16string_view(key.text, key.textLength));
    for (char16_t unit = 0; taken < 4 && primary.Next(unit);) take(unit);
  }
  take(0);
  LevelReader<true> accents(std::u16string_view(key.text, key.textLength));
  for (char16_t unit = 0; taken < 4 && accents.Next(unit);) take(unit);
  take(0);
  summary <<= 16 * (4 - taken);
  return descending_ ? ~summary : summary;
}

int KTNumberSortKeyComparator::Compare(int a, int b) const {
  const double x = numbers_[static_cast<size_t>(a)];
  const double y = numbers_[static_cast<size_t>(b)];
  const bool nanX = std::isnan(x);
  const bool nanY = std::isnan(y);
  if (nanX || nanY) {
    if (nanX && nanY) return 0;
    // NaN first ascending, last descending.
    int result = nanX ? -1 : 1;
    return descending_ ? -result : result;
  }
  if (x == y) return 0;
  int result = x < y ? -1 : 1;
  return descending_ ? -result : result;
}

uint64_t KTNumberSortKeyComparator::Summary(int i) const {
  double number = numbers_[static_cast<size_t>(i)];
  uint64_t summary = 0;  // NaN
  if (!std::isnan(number)) {
    if (number == 0) number = 0;  // -0 sorts with 0
    const uint64_t bits = std::bit_cast<uint64_t>(number);
    // Negative numbers reversed below the positive ones; 1 and up, so that
    // NaN stays first.
    summary = (bits >> 63) ? ~bits : (bits | (uint64_t{1} << 63));
  }
  return descending_ ? ~summary : summary;
}

// ---- Sort ----

namespace {

// Selections of this many nodes or more are sorted in place (see
// KTSortSelection): by then the buffer is megabytes.
constexpr int kUnbufferedSortEntries = 1 << 15;

}  // namespace

void KTSortSelection(KTXPathValue& list, KTSortKeyList& keys) {
  if (list.GetKind() != kValueNodeSet) return;
  int count = list.ItemCount();
  for (const auto& comparator : keys)
    if (comparator->KeyCount() != count) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, nullptr);
  if (count < 2 || keys.empty()) {
    keys.clear();
    return;
  }
  // The summaries of the first two keys travel with the index, so that most
  // comparisons read neither the keys nor the comparators; the outcome of
  // every comparison is the one the chain gives.
  struct Entry {
    uint64_t first;
    uint64_t second;
    int index;
  };
  const KTSortKeyComparator* first = keys[0].get();
  const KTSortKeyComparator* second = keys.size() > 1 ? keys[1].get() : nullptr;
  std::vector<Entry> order(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i)
    order[static_cast<size_t>(i)] = Entry{first->Summary(i), second ? second->Summary(i) : 0, i};
  const bool firstIsKey = first->SummaryIsKey();
  const bool secondIsKey = second && second->SummaryIsKey();
  auto less = [&](const Entry& a, const Entry& b) {
    if (a.first != b.first) return a.first < b.first;
    if (!firstIsKey)
      if (int result = first->Compare(a.index, b.index)) return result < 0;
    if (second) {
      if (a.second != b.second) return a.second < b.second;
      if (!secondIsKey)
        if (int result = second->Compare(a.index, b.index)) return result < 0;
      for (size_t k = 2; k < keys.size(); ++k)
        if (int result = keys[k]->Compare(a.index, b.index)) return result < 0;
    }
    // All keys equal: the selection order, which is document order.
    return a.index < b.index;
  };
  // The last tie-break (the index) leaves no two entries equal: any sort
  // gives this one order. A large selection is sorted without the merge
  // buffer a stable sort takes beside the entries; a small one by merging,
  // which makes fewer of the comparisons (some read the keys).
  if (count >= kUnbufferedSortEntries)
    std::sort(order.begin(), order.end(), less);
  else
    std::stable_sort(order.begin(), order.end(), less);
  KTXPathValue::ItemVector sorted;
  sorted.reserve(static_cast<size_t>(count));
  const KTXPathValue::ItemVector& items = list.Items();
  for (int i = 0; i < count; ++i) {
    sorted.push_back(items[static_cast<size_t>(order[static_cast<size_t>(i)].index)]);
    sorted.back().SetPosition(i + 1);
  }
  list.SetNodeSet(std::move(sorted));
  // The keys are no longer needed: their memory goes before the body runs
  // and the result grows.
  keys.clear();
}

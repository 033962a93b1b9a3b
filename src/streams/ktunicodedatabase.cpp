// The Unicode character database. Both data files are read line by line
// through class-8 streams; malformed lines are skipped or end the reading of
// their file, never fail it.
#include "streams/ktunicodedatabase.h"

#include <algorithm>
#include <memory>

#include "core/ktclassfactory.h"
#include "core/kterrorlogger.h"
#include "streams/ystream.h"

namespace {

constexpr uint32_t kLineBuffer = 1024;
constexpr uint32_t kLineMax = kLineBuffer - 1;
constexpr uint32_t kBeyondPlane = 0x10000;  // both files are sorted; the rest lies above the BMP

// One stream of class 8, opened for reading; closed and deleted with the reader.
class KTLineReader {
 public:
  explicit KTLineReader(const char16_t* name) {
    stream_.reset(CreateStreamById(kStreamClassBuiltin));
    CheckInstance(stream_.get(), u"Could not create instance of YStream::URL Object");
    CheckCall(stream_->Open(name, kStreamModeRead));
  }
  ~KTLineReader() {
    if (stream_) stream_->Close();
  }

  // The next line into buffer_; false at the end of the data or at an empty
  // line. A line longer than the buffer is passed over whole.
  bool Next() {
    for (;;) {
      uint32_t count = kLineMax;
      CheckReadLine(stream_->ReadLine(buffer_, count));
      if (count < kLineMax) return count > 0;
      // Overlong: drop its remaining pieces, then read the line after it.
      do {
        count = kLineMax;
        CheckReadLine(stream_->ReadLine(spill_, count));
      } while (count == kLineMax);
    }
  }

  char16_t* Line() { return buffer_; }

 private:
  std::unique_ptr<YStream> stream_;
  char16_t buffer_[kLineBuffer];
  char16_t spill_[kLineBuffer];
};

// Splits a line in place on ';' as strtok does: consecutive separators count
// as one, so an empty field is no field.
class KTFieldSplitter {
 public:
  explicit KTFieldSplitter(char16_t* line) : next_(line) {}

  char16_t* Next() {
    while (*next_ == u';') ++next_;
    if (!*next_) return nullptr;
    char16_t* field = next_;
    while (*next_ && *next_ != u';') ++next_;
    if (*next_) *next_++ = 0;
    return field;
  }

 private:
  char16_t* next_;
};

// Reads a hexadecimal number as "%X" does: leading white space skipped, then
// the hex digits. False when there is no digit.
bool ParseHex(const char16_t* text, uint32_t& value) {
  while (*text == u' ' || *text == u'\t') ++text;
  value = 0;
  bool any = false;
  for (;; ++text) {
    uint32_t digit;
    if (*text >= u'0' && *text <= u'9') {
      digit = *text - u'0';
    } else if (*text >= u'A' && *text <= u'F') {
      digit = *text - u'A' + 10;
    } else if (*text >= u'a' && *text <= u'f') {
      digit = *text - u'a' + 10;
    } else {
      break;
    }
    // Saturate: anything this large lies beyond the plane and ends the reading.
    value = value > 0xFFFFFFF ? 0xFFFFFFFF : value * 16 + digit;
    any = true;
  }
  return any;
}

bool EndsWith(const char16_t* text, const char16_t* suffix) {
  const std::u16string_view t(text), s(suffix);
  return t.size() >= s.size() && t.substr(t.size() - s.size()) == s;
}

}  // namespace

KTUnicodeDatabase::KTUnicodeDatabase() : KTUnicodeDatabase(u"Blocks.txt", u"UnicodeData.txt") {}

KTUnicodeDatabase::KTUnicodeDatabase(const char16_t* blocksName, const char16_t* dataName) {
  for (KTCategoryRecord& record : categories_) {
    record.text[0] = u'C';
    record.text[1] = u'n';
    record.text[2] = 0;
  }
  LoadBlocks(blocksName);
  LoadUnicodeData(dataName);
}

const KTUnicodeDatabase& KTUnicodeDatabase::Instance() {
  // Built on first use, so any static initialiser may ask; the streams and the
  // registry it needs are function-local statics too.
  static const KTUnicodeDatabase instance;
  return instance;
}

const char16_t* KTUnicodeDatabase::GetCategory(char16_t c) { return Instance().CategoryOf(c); }

const char16_t* KTUnicodeDatabase::GetBlockName(char16_t c) { return Instance().BlockNameOf(c); }

const char16_t* KTUnicodeDatabase::BlockNameOf(char16_t c) const {
  const KTUnicodeBlockRange key{c, c};
  auto it = std::lower_bound(blocks_.begin(), blocks_.end(), key,
                             [](const KTBlock& block, const KTUnicodeBlockRange& k) {
                               return KTUnicodeBlockRangeLess()(block.range, k);
                             });
  if (it == blocks_.end() || KTUnicodeBlockRangeLess()(key, it->range)) return nullptr;
  return it->name;
}

void KTUnicodeDatabase::InsertBlock(KTUnicodeBlockRange range, const char16_t* name) {
  if (range.first > range.last) return;
  // The first block with last >= range.first; the new range fits only when it
  // ends before that block begins.
  auto it = std::lower_bound(blocks_.begin(), blocks_.end(), range.first,
                             [](const KTBlock& block, uint16_t first) { return block.range.last < first; });
  if (it != blocks_.end() && it->range.first <= range.last) return;
  blocks_.insert(it, KTBlock{range, KTString(name)});
}

void KTUnicodeDatabase::LoadBlocks(const char16_t* streamName) {
  KTLineReader reader(streamName);
  while (reader.Next()) {
    char16_t* line = reader.Line();
    if (line[0] == 0xFFFF) continue;
    KTFieldSplitter fields(line);
    const char16_t* firstField = fields.Next();
    if (!firstField) continue;
    uint32_t first = 0;
    if (!ParseHex(firstField, first)) continue;
    if (first >= kBeyondPlane) break;
    const char16_t* lastField = fields.Next();
    if (!lastField) break;
    uint32_t last = 0;
    if (!ParseHex(lastField, last)) continue;
    const char16_t* name = fields.Next();
    if (!name) break;
    // A block reaching beyond the plane is held up to U+FFFF.
    InsertBlock({static_cast<uint16_t>(first), static_cast<uint16_t>(std::min<uint32_t>(last, 0xFFFF))}, name);
  }
}

void KTUnicodeDatabase::LoadUnicodeData(const char16_t* streamName) {
  KTLineReader reader(streamName);
  // A "<..., First>" line waiting for its "<..., Last>" line; the code points
  // between them take the first line's category. Every other code point that
  // the file does not list keeps "Cn".
  bool rangeOpen = false;
  uint32_t rangeFirst = 0;
  while (reader.Next()) {
    char16_t* line = reader.Line();
    if (line[0] == 0xFFFF) continue;
    KTFieldSplitter fields(line);
    const char16_t* codeField = fields.Next();
    if (!codeField) continue;
    uint32_t code = 0;
    if (!ParseHex(codeField, code)) continue;
    if (code >= kBeyondPlane) break;
    const char16_t* name = fields.Next();
    if (!name) break;
    const char16_t* category = fields.Next();
    if (!category) break;
    const size_t length = std::u16string_view(category).size();
    if (length > 2) continue;

    KTCategoryRecord record{};
    record.text[0] = category[0];
    record.text[1] = length > 1 ? category[1] : 0;
    if (rangeOpen && EndsWith(name, u", Last>") && code > rangeFirst) {
      for (uint32_t c = rangeFirst + 1; c < code; ++c) categories_[c] = categories_[rangeFirst];
    }
    categories_[code] = record;
    rangeOpen = EndsWith(name, u", First>");
    rangeFirst = code;
  }
}

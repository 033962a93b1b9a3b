// KTOutputEncoding: name resolution and the per-encoding set of characters
// that can be written as they are, found once per encoding by round trips
// through the converters of src/core (of the characters the 256 byte values
// decode to, for a single-byte map; of every BMP character otherwise).
#include "xslt/output/ktoutputencoding.h"

#include <map>
#include <memory>
#include <string_view>

#include "core/ktencoding.h"
#include "core/ktencodingtable.h"
#include "platform/ktwchar.h"

namespace {

// Whether the character survives a round trip through the encoding on its
// own: encoded without an unconvertible character, decoded to itself.
bool RoundTrips(char16_t unit, int id) {
  int length = 1;
  std::unique_ptr<char[]> bytes = EncodeFromUtf16(&unit, &length, id, kByteOrderNone, false, false);
  if (!bytes || UnconvertibleCount != 0) return false;
  std::unique_ptr<char16_t[]> back = DecodeToUtf16(bytes.get(), &length, id, kByteOrderNone);
  return back && length == 1 && back[0] == unit;
}

// Built on first use, kept for the process (8 KB per encoding used).
// Encoding every unit of the BMP alone costs a conversion call per character,
// tens of millions of instructions per run. A single-byte map (ids below 90)
// encodes one unit to one byte, so every unit that survives its round trip
// is the decoding of one byte value: the 256 values are decoded at once and
// only the units they give are tried.
const std::bitset<0x10000>* RepresentableSet(int id) {
  static std::map<int, std::unique_ptr<std::bitset<0x10000>>> cache;
  auto found = cache.find(id);
  if (found != cache.end()) return found->second.get();
  auto set = std::make_unique<std::bitset<0x10000>>();
  // Astral characters and U+0000 are never in these sets.
  auto eligible = [](char32_t c) { return c >= 1 && c <= 0xFFFF && (c < 0xD800 || c > 0xDFFF); };
  bool byBytes = false;
  if (id < 90) {
    char bytes[256];
    for (int b = 0; b < 256; ++b) bytes[b] = static_cast<char>(b);
    int length = 256;
    std::unique_ptr<char16_t[]> units = DecodeToUtf16(bytes, &length, id, kByteOrderNone);
    if (units && length == 256) {
      byBytes = true;
      for (int b = 0; b < 256; ++b)
        if (eligible(units[b]) && RoundTrips(units[b], id)) set->set(units[b]);
    }
  }
  if (!byBytes) {
    for (char32_t c = 1; c <= 0xFFFF; ++c)
      if (eligible(c) && RoundTrips(static_cast<char16_t>(c), id)) set->set(c);
  }
  const std::bitset<0x10000>* result = set.get();
  cache.emplace(id, std::move(set));
  return result;
}

// The byte order a name ends with: "BE" or "LE" (any case).
int ByteOrderNamed(std::u16string_view name) {
  if (name.size() < 2) return kByteOrderNone;
  const char16_t first = KTToUpperAscii(name[name.size() - 2]);
  if (KTToUpperAscii(name.back()) != u'E') return kByteOrderNone;
  return first == u'B' ? kByteOrderBig : first == u'L' ? kByteOrderLittle : kByteOrderNone;
}

}  // namespace

KTOutputEncoding::KTOutputEncoding() : id_(kEncodingUtf8), name_(u"UTF-8") {}

void KTOutputEncoding::Select(const char16_t* name) {
  int id = EncodingIdFromName(name);
  fellBack_ = id == kEncodingNone;
  if (fellBack_) {
    id_ = kEncodingUtf8;
    name_ = u"UTF-8";
  } else {
    id_ = id;
    name_ = name;
  }
  byteOrder_ = id_ >= kEncodingUtf16 ? ByteOrderNamed(name_.View()) : kByteOrderNone;
  set_ = id_ >= kEncodingUtf8 ? nullptr : RepresentableSet(id_);
}

// KTOutputEncoding: name resolution and the per-encoding set of characters
// that can be written as they are, found once per encoding by a round trip of
// every BMP character through the converters of src/core.
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

// Whether every unit of the block survives its round trip, found from one
// conversion of the block each way: a single-byte map (ids below 90) encodes
// each unit to one byte and decodes each byte to one unit, whatever stands
// beside it, so only the few units that come back as themselves (at most one
// per byte value) are tried alone for an unconvertible count. False when the
// conversions do not keep one byte per unit; nothing is set then.
bool SetBlockAtOnce(const char16_t* units, int count, int id, std::bitset<0x10000>& set) {
  int length = count;
  std::unique_ptr<char[]> bytes = EncodeFromUtf16(units, &length, id, kByteOrderNone, false, false);
  if (!bytes || length != count) return false;
  std::unique_ptr<char16_t[]> back = DecodeToUtf16(bytes.get(), &length, id, kByteOrderNone);
  if (!back || length != count) return false;
  for (int i = 0; i < count; ++i)
    if (back[i] == units[i] && RoundTrips(units[i], id)) set.set(units[i]);
  return true;
}

// Built on first use, kept for the process (8 KB per encoding used). Encoding
// every unit alone costs a conversion call per character, tens of millions
// of instructions per run; a single-byte map is read in blocks instead,
// small ones, since the set is built while the result is written, at the
// run's peak of memory.
const std::bitset<0x10000>* RepresentableSet(int id) {
  static std::map<int, std::unique_ptr<std::bitset<0x10000>>> cache;
  auto found = cache.find(id);
  if (found != cache.end()) return found->second.get();
  auto set = std::make_unique<std::bitset<0x10000>>();
  constexpr int kBlock = 2048;
  char16_t units[kBlock];
  // The BMP without the surrogates: astral characters are never in these
  // encodings.
  for (char32_t from = 1; from <= 0xFFFF;) {
    int count = 0;
    for (; from <= 0xFFFF && count < kBlock; ++from)
      if (from < 0xD800 || from > 0xDFFF) units[count++] = static_cast<char16_t>(from);
    if (id < 90 && SetBlockAtOnce(units, count, id, *set)) continue;
    for (int i = 0; i < count; ++i)
      if (RoundTrips(units[i], id)) set->set(units[i]);
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

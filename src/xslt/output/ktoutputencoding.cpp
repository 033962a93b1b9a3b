// KTOutputEncoding: name resolution and the per-encoding set of characters
// that can be written as they are, found once per encoding by a round trip of
// every BMP character through the converters of src/core.
#include "xslt/output/ktoutputencoding.h"

#include <map>
#include <memory>
#include <string>
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
const std::bitset<0x10000>* RepresentableSet(int id) {
  static std::map<int, std::unique_ptr<std::bitset<0x10000>>> cache;
  auto found = cache.find(id);
  if (found != cache.end()) return found->second.get();
  auto set = std::make_unique<std::bitset<0x10000>>();
  // The BMP without the surrogates: astral characters are never in these
  // encodings.
  std::u16string units;
  units.reserve(0xFFFF - 0x800);
  for (char32_t c = 1; c <= 0xFFFF; ++c)
    if (c < 0xD800 || c > 0xDFFF) units.push_back(static_cast<char16_t>(c));
  // A single-byte map (ids below 90) encodes each unit to one byte and
  // decodes each byte to one unit, whatever stands beside it: one pass over
  // all units and one back give each unit's round trip, and only the few
  // (at most one per byte) that come back as themselves are tried alone for
  // an unconvertible count. Encoding every unit alone costs a conversion
  // call per character, tens of millions of instructions per run.
  bool batched = false;
  if (id < 90) {
    int length = static_cast<int>(units.size());
    std::unique_ptr<char[]> bytes = EncodeFromUtf16(units.data(), &length, id, kByteOrderNone, false, false);
    std::unique_ptr<char16_t[]> back;
    if (bytes && length == static_cast<int>(units.size()))
      back = DecodeToUtf16(bytes.get(), &length, id, kByteOrderNone);
    if (back && length == static_cast<int>(units.size())) {
      batched = true;
      for (size_t i = 0; i < units.size(); ++i)
        if (back[i] == units[i] && RoundTrips(units[i], id)) set->set(units[i]);
    }
  }
  if (!batched) {
    for (char16_t unit : units)
      if (RoundTrips(unit, id)) set->set(unit);
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

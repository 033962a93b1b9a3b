// Lookup in the embedded-file store and the base64 decoder. The stored texts
// are constant data generated at build time (ktembeddedfiles_data.cpp in the
// build folder), so nothing here reads a file or depends on initialisation order.
#include "streams/ktembeddedfiles.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/ktwchar.h"

namespace {

constexpr unsigned char kInvalid = 0xFF;
constexpr unsigned char kPad = 64;  // '=' stands at index 64 and gives zero bits

struct KTBase64Table {
  unsigned char value[256];
  constexpr KTBase64Table() : value() {
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
    for (unsigned char& v : value) v = kInvalid;
    for (int i = 0; i < 65; ++i) value[static_cast<unsigned char>(alphabet[i])] = static_cast<unsigned char>(i);
  }
};

constexpr KTBase64Table kBase64;

}  // namespace

std::unique_ptr<char[]> Base64Decode(const char* text, int& length) {
  length = 0;
  if (!text) return nullptr;
  const size_t n = std::strlen(text);
  if (n % 4 != 0 || n / 4 * 3 > static_cast<size_t>(INT32_MAX) - 4) return nullptr;
  const size_t outLength = n / 4 * 3;
  std::unique_ptr<char[]> out(new char[outLength + 4]);
  const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
  // One pass: every group but the last must hold alphabet characters alone
  // (values below 64: an invalid character has bit 7, '=' bit 6).
  const size_t last = n == 0 ? 0 : n - 4;
  for (size_t i = 0, o = 0; i < last; i += 4, o += 3) {
    const unsigned a = kBase64.value[in[i]];
    const unsigned b = kBase64.value[in[i + 1]];
    const unsigned c = kBase64.value[in[i + 2]];
    const unsigned d = kBase64.value[in[i + 3]];
    if ((a | b | c | d) & 0xC0) return nullptr;
    out[o] = static_cast<char>((a << 2 | b >> 4) & 0xFF);
    out[o + 1] = static_cast<char>((b << 4 | c >> 2) & 0xFF);
    out[o + 2] = static_cast<char>((c << 6 | d) & 0xFF);
  }
  if (n > 0) {
    const unsigned a = kBase64.value[in[last]];
    const unsigned b = kBase64.value[in[last + 1]];
    const unsigned c = kBase64.value[in[last + 2]];
    const unsigned d = kBase64.value[in[last + 3]];
    if (a == kInvalid || b == kInvalid || c == kInvalid || d == kInvalid) return nullptr;
    // Padding only closes the text: "xx==" or "xxx=".
    if (a == kPad || b == kPad || (c == kPad && d != kPad)) return nullptr;
    // '=' has the value 64: the masks keep its bit 6 out, so it gives zero bits.
    const size_t o = outLength - 3;
    out[o] = static_cast<char>((a << 2 | (b >> 4 & 3)) & 0xFF);
    out[o + 1] = static_cast<char>((b << 4 | (c >> 2 & 15)) & 0xFF);
    out[o + 2] = static_cast<char>((c << 6 | (d & 63)) & 0xFF);
  }
  std::memset(out.get() + outLength, 0, 4);
  length = static_cast<int>(outLength);
  return out;
}

std::unique_ptr<char[]> GetEmbeddedFile(const char16_t* name, int& size) {
  if (!name) return nullptr;
  for (int i = 0; i < kEmbeddedFileCount; ++i) {
    const KTEmbeddedFile& file = kEmbeddedFiles[i];
    if (KTStrICmpAscii(name, file.name) != 0) continue;
    if (!file.text) return nullptr;
    int decodedLength = 0;
    std::unique_ptr<char[]> decoded = Base64Decode(file.text, decodedLength);
    // The generator writes valid texts whose decoded length covers the size.
    if (!decoded || decodedLength < file.size) return nullptr;
    decoded[file.size] = 0;
    size = file.size;
    return decoded;
  }
  return nullptr;
}

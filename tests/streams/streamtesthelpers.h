// Helpers shared by the stream tests: scratch memory files and whole-line
// reading from a stream.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "streams/ktmemorystream.h"

// Creates (or overwrites from the start) the memory file name, which must
// begin with "memory:", with the given bytes.
inline void WriteScratch(const std::u16string& name, const std::string& bytes) {
  KTMemoryStreamImpl stream;
  if (stream.Open(name.c_str(), kStreamModeWrite) != kStreamOk) throw std::runtime_error("scratch open");
  uint32_t size = static_cast<uint32_t>(bytes.size());
  if (stream.Write(bytes.data(), size) != kStreamOk) throw std::runtime_error("scratch write");
}

// Reads lines with the given count until an empty line, at most limit lines.
inline std::vector<std::u16string> ReadLines(YStream& stream, uint32_t count, int limit = 20) {
  std::vector<std::u16string> lines;
  std::vector<char16_t> buffer(count + 1, u'#');
  for (int i = 0; i < limit; ++i) {
    uint32_t n = count;
    if (stream.ReadLine(buffer.data(), n) != kStreamOk) break;
    lines.emplace_back(buffer.data(), n);
    if (buffer[n] != 0) lines.back() += u"<no terminator>";
    if (n == 0) break;
  }
  return lines;
}

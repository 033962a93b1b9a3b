// UTF-8 <-> UTF-16 conversion at the program's edges: the command line arrives
// as UTF-8 and console output is written as UTF-8.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// Malformed UTF-8 becomes U+FFFD, one per bad byte.
std::u16string KTUtf8ToUtf16(std::string_view text);
// A lone surrogate becomes U+FFFD.
std::string KTUtf16ToUtf8(std::u16string_view text);
// Writes the text as UTF-8 to the stream; returns false when the write failed.
bool KTWriteConsole(FILE* stream, std::u16string_view text);

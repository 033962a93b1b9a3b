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
// The text with its control characters written as "\x1B" (C0 controls but
// tab and line feed, DEL and the C1 controls): text taken from documents,
// stylesheets and the command line can then show on a terminal without
// sending it escape sequences.
std::u16string KTEscapeControls(std::u16string_view text);
// The same for UTF-8 text; malformed bytes become U+FFFD.
std::string KTEscapeControls(std::string_view utf8);
// Writes the text, its control characters escaped (KTEscapeControls), as
// UTF-8 to the stream; returns false when the write failed. Every message the
// program shows goes through here.
bool KTWriteConsole(FILE* stream, std::u16string_view text);

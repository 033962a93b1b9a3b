// Converters between UTF-16 and the code-page encodings of the encoding table:
// the single-byte maps, the double-byte maps (Shift_JIS, GBK, UHC, Big5),
// EUC-JP and ISO-2022-JP. Callers normally go through DecodeToUtf16 and
// EncodeFromUtf16 (ktencodingutf.h), which size the output buffers.
#pragma once

// Characters replaced by the last conversion: bytes or codes without a mapping
// (decoded to U+FFFD) and characters without a code (encoded as '_'). Every
// conversion resets it; read it right after your own conversion. Per thread:
// documents may be decoded on several threads at once.
extern thread_local constinit int UnconvertibleCount;

// count bytes in, count characters out. Id 0 and ids of 90 or more widen every
// byte (ISO 8859-1 without a table). False for an id without a byte map.
bool DecodeSingleByte(const char* bytes, char16_t* out, unsigned int count, int id);

// count characters in, count bytes out. Id 0 and ids of 90 or more keep
// characters up to U+00FF and replace the others.
bool EncodeSingleByte(const char16_t* text, char* out, unsigned int count, int id);

// *count bytes in; on return the characters written (at most one a byte).
// Bytes in [singleLow, singleHigh) are single-byte codes (Shift_JIS: A1, E0);
// every other byte from 80 on leads a two-byte code. Ids 90-1999 only.
bool DecodeDoubleByte(const char* bytes, char16_t* out, unsigned int* count, int id,
                      unsigned int singleLow, unsigned int singleHigh);

// *count characters in; on return the bytes written (at most two a character).
bool EncodeDoubleByte(const char16_t* text, char* out, unsigned int* count, int id);

// EUC-JP over the Japanese map; half-width katakana take the 8E prefix. The
// encoder writes at most two bytes a character.
bool DecodeEucJp(const char* bytes, char16_t* out, unsigned int* count, int id);
bool EncodeEucJp(const char16_t* text, char* out, unsigned int* count, int id);

// ISO-2022-JP over the Japanese map. The encoder writes 7-bit bytes only and
// ends the text in ASCII: at most 5 bytes a character plus 3 at the end.
bool DecodeIso2022Jp(const char* bytes, char16_t* out, unsigned int* count, int id);
bool EncodeIso2022Jp(const char16_t* text, char* out, unsigned int* count, int id);

// Shift_JIS lead and trail byte to JIS X 0208 row and cell bytes, in place.
void ShiftJisToJis(int* lead, int* trail);

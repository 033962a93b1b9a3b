// The Unicode transformation formats (UTF-8, UTF-7, UTF-16/UCS-2, UCS-4) and
// the two conversion entry points used for every encoding id: DecodeToUtf16
// when a document is loaded, EncodeFromUtf16 when a result is saved.
#pragma once

#include <cstdint>
#include <memory>

enum ConvertStatus : int {
  ConvertDone = 0,        // all input converted
  ConvertBadInput = 1,    // the input is not valid (UTF-7)
  ConvertTruncated = 2,   // the input ends inside a multi-byte sequence (UTF-8)
  ConvertTargetFull = 3,  // the output area is full
};

// Each converter reads [source, sourceEnd) and writes into [target, targetEnd),
// advancing both pointers over what it has read and written. The UTF-8 and
// UCS-4 converters stop between whole characters, so a conversion stopped by
// ConvertTargetFull can be resumed; the UTF-7 ones keep their base64 state
// only within one call and must be given room for the whole result.
// Replacements are added to UnconvertibleCount (the entry points below reset
// it first).
//
// UTF-8 decoding is strict: an overlong form, a 5- or 6-byte form, an encoded
// surrogate, a value above U+10FFFF, a stray continuation byte or a lead byte
// without its continuation bytes becomes one U+FFFD, counted in
// UnconvertibleCount. U+FFFE is dropped. A sequence cut off by the end of the
// input gives ConvertTruncated.
ConvertStatus Utf8ToUtf16(const char*& source, const char* sourceEnd, char16_t*& target,
                          char16_t* targetEnd);
// Unpaired surrogates are written as their own three-byte forms.
ConvertStatus Utf16ToUtf8(const char16_t*& source, const char16_t* sourceEnd, char*& target,
                          char* targetEnd);
// RFC 2152.
ConvertStatus Utf7ToUtf16(const char*& source, const char* sourceEnd, char16_t*& target,
                          char16_t* targetEnd);
ConvertStatus Utf16ToUtf7(const char16_t*& source, const char16_t* sourceEnd, char*& target,
                          char* targetEnd);
// UCS-4 units are 32-bit values in the machine's order. Values above U+10FFFF
// become U+FFFD, counted in UnconvertibleCount.
ConvertStatus Ucs4ToUtf16(const std::uint32_t*& source, const std::uint32_t* sourceEnd,
                          char16_t*& target, char16_t* targetEnd);
ConvertStatus Utf16ToUcs4(const char16_t*& source, const char16_t* sourceEnd,
                          std::uint32_t*& target, std::uint32_t* targetEnd);

// Decodes *length bytes of encoding id (byteOrder matters for the 16- and
// 32-bit forms) into a new 0-terminated UTF-16 buffer; *length becomes its
// length in units. A leading byte-order mark is removed. Null, with *length 0,
// when the id has no converter, the input is invalid for a Unicode form (a
// UTF-8 sequence cut off at the end, bad UTF-7, a UCS-4 length not a multiple
// of 4) or memory runs out. Characters replaced are counted in
// UnconvertibleCount.
std::unique_ptr<char16_t[]> DecodeToUtf16(const char* bytes, int* length, int id, int byteOrder);

// Encodes *length UTF-16 units into a new 0-terminated byte buffer in encoding
// id; *length becomes the byte count. wideMark asks for a byte-order mark in
// UTF-16, UCS-2 and UCS-4 output, utf8Mark for EF BB BF in UTF-8 output.
// Characters without a code become '_' and are counted in UnconvertibleCount.
// Null, with *length 0, when the id has no converter or memory runs out.
std::unique_ptr<char[]> EncodeFromUtf16(const char16_t* text, int* length, int id, int byteOrder,
                                        bool wideMark, bool utf8Mark);

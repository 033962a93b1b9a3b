// KTString: the system's one string class, a mutable UTF-16 text in a heap
// block that the string owns alone (deep copies, no sharing except the one
// static empty block). Maps keyed by KTString order by plain code-unit order.
//
// The block also records the text's length so that appending costs amortised
// constant time; a caller that writes through GetBuffer() or the writable
// index operator makes the length be found again by scanning, so the text
// always ends at its first NUL.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "core/ktexcept.h"
#include "platform/ktformat.h"

class KTString {
 public:
  KTString() noexcept;
  KTString(const char16_t* text);  // null gives the empty string
  explicit KTString(char16_t c);
  explicit KTString(std::u16string_view text);
  KTString(const KTString& other);
  KTString(KTString&& other) noexcept;
  ~KTString();

  // ---- Access ----
  operator const char16_t*() const noexcept { return data_; }
  const char16_t* c_str() const noexcept { return data_; }
  std::u16string_view View() const { return std::u16string_view(data_, GetLength()); }
  // The writable slots, capacity + 1 of them; the caller leaves a NUL at or
  // before index capacity.
  char16_t* GetBuffer();
  // Ends a write through GetBuffer that left `length` units and no NUL among
  // them: puts the NUL at `length` and records the length, so it is not
  // found by a scan. `length` is at most the capacity.
  void SetWrittenLength(int length);
  // The recorded length, found by a scan only after a write through
  // GetBuffer; inline since every view of a string asks for it.
  int GetLength() const {
    const int length = Head()->length;
    return length >= 0 ? length : ScanLength();
  }
  int GetCapacity() const noexcept { return Head()->capacity & kCapacityBits; }
  bool IsEmpty() const noexcept { return data_[0] == 0; }
  // Index checks are against the capacity (the terminator slot at capacity is
  // accepted); beyond it KTExcept -1010 is thrown.
  char16_t operator[](int index) const;
  char16_t& operator[](int index);

  // ---- Buffer management ----
  void SetCapacity(int n);
  // Every block of up to kPooledBlockBytes, whichever call makes it, comes
  // from free lists of blocks of its size, kept for reuse on this thread and
  // never given back to the system (no allocator header or rounding on each
  // of the millions of short texts of a large document or stylesheet).
  // SetCapacityPooled is SetCapacity for a text that lives as long as a
  // document node; a longer block still comes from the general allocator.
  void SetCapacityPooled(int n);
  // SetCapacityPooled(n) and a write of text[0, n) (no NUL among them) in
  // one step: the text a document node keeps, in a block of exactly its size.
  void AssignPooled(const char16_t* text, int n);
  static constexpr int kPooledBlockBytes = 256;
  void Reserve(int n);
  void ClearAndReserve(int n);

  // ---- Assignment ----
  KTString& operator=(const char16_t* text);
  KTString& Assign(const char16_t* text, int count);
  KTString& operator=(char16_t c);
  KTString& operator=(const KTString& other);
  KTString& operator=(KTString&& other) noexcept;

  // ---- Appending ----
  KTString& operator+=(const KTString& other);
  KTString& operator+=(const char16_t* text);
  KTString& operator+=(char16_t c);
  // Append at a length the caller tracks itself (trusted, not scanned). The
  // block grows by at least growBy characters when it must grow.
  void AppendAtLength(const char16_t* text, int& length, int growBy, int count = -1);
  void AppendCharAtLength(char16_t c, int& length, int growBy);

  // ---- Comparison (code unit by code unit, unsigned) ----
  friend bool operator<(const KTString& a, const KTString& b);
  friend bool operator==(const KTString& a, const KTString& b);
  friend bool operator==(const KTString& a, const char16_t* b);

  // ---- Search (-1 when absent) ----
  int Find(const KTString& what, int start = 0) const;
  int Find(const char16_t* what, int start = 0) const;
  int Find(char16_t c, int start = 0) const;
  int FindOneOf(const char16_t* set, int start = 0) const;
  int ReverseFind(char16_t c) const;

  // ---- Substrings ----
  KTString Left(int n) const;
  KTString Right(int n) const;
  KTString Mid(int start) const;
  KTString Mid(int start, int count) const;
  // Next token from position: delimiters skipped first, quotes (any of them)
  // switch one shared quoted state in which delimiters do not end the token.
  KTString Tokenize(const char16_t* delimiters, int& position, const char16_t* quotes = nullptr) const;

  // ---- Editing in place ----
  KTString& Replace(const char16_t* oldText, const char16_t* newText, int maxCount = 0);
  void Replace(char16_t oldChar, char16_t newChar);
  void Insert(const char16_t* text, int index);
  void Delete(int index, int count);
  KTString& CollapseChars(const char16_t* set, char16_t replacement, const char16_t* quotes = nullptr);

  // ---- Trimming in place ----
  KTString& TrimRight(const char16_t* set);
  KTString& TrimRight(char16_t c);
  KTString& TrimRight();
  KTString& TrimLeft(const char16_t* set);
  KTString& TrimLeft(char16_t c);
  KTString& TrimLeft();

  // ---- Case, formatting and resources ----
  KTString& MakeLower();  // ASCII capitals only
  template <typename... Args>
  KTString& Format(const char16_t* format, const Args&... args) {
    const KTFormatArg list[] = {FormatArg(args)..., KTFormatArg(0)};
    return FormatArgs(format, std::span<const KTFormatArg>(list, sizeof...(Args)));
  }
  KTString& FormatArgs(const char16_t* format, std::span<const KTFormatArg> args);
  bool LoadString(unsigned id);

  // ---- Text, markup, path and numbering operations ----
  // XML whitespace (space, tab, CR, LF) only; true for the empty text.
  bool IsWhitespace() const;
  static bool IsWhitespace(const char16_t* text);  // null counts as empty
  // Character references "&#n;" and "&#xh;" become their characters (a pair of
  // surrogates above U+FFFF); malformed, zero or out-of-range ones stay as written.
  KTString& ResolveCharRefs();
  // Each character becomes its UTF-8 bytes, one byte value per resulting code
  // unit; a surrogate pair is one 4-byte sequence, a lone surrogate U+FFFD.
  KTString& EncodeUtf8Bytes();
  // UTF-8 bytes, then %XX for controls, space, '"', '%', '<', '>', '^', '`',
  // '{', '|', '}' and every byte from 0x7F.
  KTString& UrlEscape();
  // Qualified names split at the first ':'.
  bool HasPrefix() const;
  KTString GetPrefix() const;
  KTString GetLocalName() const;
  const char16_t* GetLocalNamePtr() const;  // into this string's own buffer

  // Names indexed by character code (null where a code has none), and the
  // values of the hexadecimal digits below 128 (0 for other codes).
  static const char16_t* const HtmlEntityNames[256];
  static const char16_t* const XmlEntityNames[64];
  static const unsigned short HexDigitValues[128];

  // Paths and URLs: '/' and '\' both separate; a text holding "://" is a URL.
  KTString GetFileName() const;
  KTString GetFolder(bool withSeparator) const;
  KTString GetExtension(bool lowerCase) const;
  // False for the empty text, one holding ':' and one starting with two
  // separators; a text starting with one separator is relative unless
  // rootedIsAbsolute (it may still need a URL base's scheme and server).
  bool IsRelativePath(bool rootedIsAbsolute) const;
  // The text resolved against the folder of the document base, or against the
  // folder defaultBase when base is empty; this string is left unchanged.
  KTString MakeAbsolute(const char16_t* base, const char16_t* defaultBase) const;
  // '\' becomes '/'; a URL's scheme and host are lower-cased, nothing else.
  KTString& NormalizePath();
  bool IsSamePath(const char16_t* other) const;
  // Line ends: CR LF, a lone CR or a lone LF.
  KTString DetectLineEnd() const;  // the first one; "\r\n" when there is none
  KTString& NormalizeLineEnds(const char16_t* lineEnd);

  // Numbering for xsl:number; out-of-range numbers give the empty text.
  KTString& FormatRomanNumeral(int n, bool upperCase);  // 1..9999, 4000 is MMMM
  KTString& FormatAlphabetic(int n, bool upperCase);    // bijective base 26, n >= 1
  // ---- end of text, markup, path and numbering operations ----

 private:
  struct Header {
    int capacity;        // with kPooledBit for a block from the pool
    mutable int length;  // -1: unknown, scan on demand
  };
  static constexpr int kUnknownLength = -1;
  static constexpr int kPooledBit = 1 << 30;  // above any capacity
  static constexpr int kCapacityBits = kPooledBit - 1;

  Header* Head() const noexcept { return reinterpret_cast<Header*>(data_) - 1; }
  int ScanLength() const;
  bool OnShared() const noexcept;
  static char16_t* NewBlock(int capacity);
  static char16_t* NewPooledBlock(int capacity);
  // SetCapacity and SetCapacityPooled: the text, cut to n, moved into a new block.
  void MoveToNewBlock(int n, bool pooled);
  static void FreeBlock(char16_t* data) noexcept;
  void Release() noexcept;
  // Gives the string a block of at least n characters; contents unspecified
  // unless the block was kept.
  void AllocBuffer(int n);
  void GrowTo(int n);  // keeps the text, geometric growth
  void SetLength(int n) noexcept {
    data_[n] = 0;
    if (!OnShared()) Head()->length = n;
  }

  template <typename T>
  static KTFormatArg FormatArg(const T& v) { return KTFormatArg(v); }
  static KTFormatArg FormatArg(const KTString& s) { return KTFormatArg(s.c_str()); }

  char16_t* data_;
};

KTString operator+(const KTString& a, const KTString& b);
KTString operator+(char16_t a, const KTString& b);
KTString operator+(const KTString& a, const char16_t* b);
KTString operator+(const char16_t* a, const KTString& b);

template <>
struct std::hash<KTString> {
  size_t operator()(const KTString& s) const noexcept {
    return std::hash<std::u16string_view>()(s.View());
  }
};

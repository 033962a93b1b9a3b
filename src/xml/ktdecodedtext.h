// KTDecodedTextBuffer: turns a document's bytes into UTF-16 text for parsing
// (detecting the encoding from the first bytes and the encoding declaration)
// and UTF-16 text into the bytes of a chosen encoding for saving. Conversion
// errors are reported in the load status; the text is kept either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/ktstring.h"
#include "platform/ktmemory.h"
#include "xml/ktinputbuffer.h"

class KTLoadStatus;

class KTDecodedTextBuffer : public KTRawBuffer {
 public:
  KTDecodedTextBuffer() = default;
  ~KTDecodedTextBuffer() override;

  // Detects the encoding of the bytes and decodes them. True when text came
  // out (conversion errors then leave category 2, code 3 in the status); the
  // raw bytes are gone afterwards.
  virtual bool Decode(const void* bytes, uint32_t size, bool copy, KTLoadStatus& status);
  // The same over a block that the buffer takes over, so the bytes are not
  // copied once more.
  bool DecodeBlock(std::unique_ptr<char[]> block, uint32_t size, KTLoadStatus& status);
  // Decodes the bytes as the given encoding; no detection runs.
  virtual bool DecodeAs(const void* bytes, uint32_t size, int id, int byteOrder, bool copy, KTLoadStatus& status);
  // Takes UTF-16 text over as the decoded text (the save path, which would
  // otherwise decode the text's own UTF-16 bytes into a second copy).
  void TakeText(KTString&& text);
  // The decoded text in encoding id, with the encoding's byte-order mark; the
  // caller owns the block. Null when there is no decoded text, or when the
  // encoding cannot be written (category 2, code 4).
  virtual std::unique_ptr<char[]> Encode(int id, int byteOrder, uint32_t& size, KTLoadStatus& status);

  // Fills id, byte order and name from the raw bytes; returns the detection's
  // result flags (0 without bytes).
  virtual int DetectEncoding(int& id, int& byteOrder, KTString& name);
  virtual bool AcceptEncoding(int result, int& id, int& byteOrder, KTString& name) { return true; }
  virtual int ShouldConvert() { return 1; }
  virtual void Convert(KTLoadStatus& status);

  // Frees the raw block and the decoded text.
  void Clear();
  const char16_t* GetText(int& length) const;
  bool HasText() const { return hasText_; }
  // Moves the decoded text out; the buffer holds no text afterwards.
  KTString ReleaseText();

  // Reads the `size` bytes of the open file `fd` (from its start) through
  // one small buffer and decodes them as they come into the text, so the
  // file's bytes never stand whole beside their text: a load then touches
  // the pages of the text alone. Only for what the whole decode would give
  // as it is: a text detected as UTF-8 that is well formed, holds no NUL
  // and no byte that could make it ISO-2022-JP. False otherwise, or when
  // the file gives fewer bytes than `size` (it changed), with the buffer
  // cleared: the caller then reads and decodes the file whole, which
  // reports whatever made this one stop.
  bool DecodeUtf8File(int fd, size_t size);
  // Files decoded by DecodeUtf8File so far in this process; for tests.
  static long GetStreamedCount();

  // UTF-8 texts decoded in pieces so far in this process (a large one is cut
  // for threads as the chunked parse cuts it: KTChunkParse::MaySplit); for
  // tests.
  static long GetPiecewiseCount();

  int GetEncodingId() const { return encodingId_; }
  int GetByteOrder() const { return byteOrder_; }
  const KTString& GetEncodingName() const { return encodingName_; }

 private:
  bool FinishDecode(KTLoadStatus& status);
  // Decodes UTF-8 bytes into the text's own block; false when the bytes end
  // inside a sequence.
  bool DecodeUtf8InPlace(int& replaced);

  int encodingId_ = 0;
  int byteOrder_ = 0;
  KTString encodingName_{u"unknown"};
  KTString text_;
  int length_ = 0;
  bool hasText_ = false;
};

// Encodes a text that arrives in pieces (the serialised result of a
// transformation) into one byte block as the pieces come, so the whole text
// never has to exist as UTF-16. The bytes are those of normalising the line
// ends of the whole text (KTString::NormalizeLineEnds) and encoding it with
// KTDecodedTextBuffer::Encode: a CR at the end of a piece waits for the next
// piece's LF, a high surrogate for its low one, and a NUL ends the text as it
// ends a 0-terminated one.
class KTPiecewiseEncoder {
 public:
  // Encodings whose bytes for a text are the bytes of its pieces joined:
  // UTF-8 and the single-byte maps (no byte-order mark, no shift state).
  static bool EncodesPiecewise(int id);

  // lineEnd: null, or the one- or two-unit break every line end becomes
  // (any other length leaves line ends as they are).
  KTPiecewiseEncoder(int id, const char16_t* lineEnd);
  KTPiecewiseEncoder(const KTPiecewiseEncoder&) = delete;
  KTPiecewiseEncoder& operator=(const KTPiecewiseEncoder&) = delete;

  void Append(const char16_t* text, size_t length);
  // Units given so far (before line ends are normalised).
  size_t GetAppendedLength() const { return appended_; }
  // The bytes, 0-terminated, with their count in size; replaced characters
  // are reported in status as Encode reports them. Null (category 2, code 4)
  // when the encoding has no converter or memory runs out.
  std::unique_ptr<char[]> Finish(uint32_t& size, KTLoadStatus& status);

 private:
  void Put(char16_t c) { pending_.push_back(c); }
  void PutLineEnd();
  // Encodes the pending units but a trailing high surrogate.
  void EncodePending(bool last);
  // Encodes the units (none a high surrogate left open at the end) and adds
  // their bytes to the blocks.
  void EncodeUnits(const char16_t* units, size_t count);

  int id_;
  char16_t lineEnd_[2] = {0, 0};
  int lineEndLength_ = 0;
  bool pendingCr_ = false;
  bool ended_ = false;
  bool failed_ = false;
  size_t appended_ = 0;
  long long replaced_ = 0;
  std::vector<char16_t> pending_;
  // The bytes so far in page blocks (the last one filled to lastUsed_), so
  // that growing never copies them; each goes back to the system as soon as
  // Finish has copied it, where a block of the heap would stay with the
  // process, and the output would be held twice at its end.
  static constexpr size_t kBlockSize = kKTPageBlockBytes;
  struct GiveBackBlock {
    void operator()(char* block) const noexcept { KTGiveBackPageBlock(block); }
  };
  std::vector<std::unique_ptr<char, GiveBackBlock>> blocks_;
  size_t lastUsed_ = 0;
  size_t size_ = 0;
};

// Input buffers: one block of a document's bytes at a time, read from or
// written to a source. KTRawBuffer holds the block; KTCursorBuffer adds byte
// and 16-bit cursors and the load/save steps; KTFileBuffer and KTUrlBuffer
// move the block between memory and a file or a URL.
#pragma once

#include <cstdint>
#include <memory>

class KTDecodedTextBuffer;
class KTDocumentSource;
class KTLoadStatus;

// The largest document read into memory (512 MiB): decoded to UTF-16 it
// doubles, and its length in characters must stay below the largest string
// capacity (just under 2^30 characters).
inline constexpr uint32_t kMaxDocumentBytes = 1u << 29;

class KTRawBuffer {
 public:
  KTRawBuffer() = default;
  virtual ~KTRawBuffer();
  KTRawBuffer(const KTRawBuffer&) = delete;
  KTRawBuffer& operator=(const KTRawBuffer&) = delete;

  // False for null bytes (or a failed allocation when copying). With copy the
  // buffer owns a copy; without it the buffer borrows the caller's bytes,
  // which must outlive their use here.
  virtual bool SetData(const void* bytes, uint32_t size, bool copy);
  virtual const char* GetData(uint32_t& size) const;

  // Takes an owned block over without copying.
  void TakeData(std::unique_ptr<char[]> block, uint32_t size);
  // Hands the block to the caller: the owned block itself, or a copy of a
  // borrowed one; the buffer is empty afterwards.
  std::unique_ptr<char[]> DetachData(uint32_t& size);
  // Frees an owned block; a borrowed one is only forgotten.
  void ReleaseData();
  bool IsOwned() const { return owned_; }

 protected:
  char* data_ = nullptr;
  uint32_t size_ = 0;
  bool owned_ = false;
};

class KTCursorBuffer : public KTRawBuffer {
 public:
  KTCursorBuffer() = default;

  // SetData, then OnData(hookArgument), then both cursors at the start.
  virtual bool LoadBytes(const void* bytes, uint32_t size, int hookArgument, bool copy);
  // The same over an owned block that the buffer takes over.
  bool LoadBlock(std::unique_ptr<char[]> block, uint32_t size, int hookArgument);
  // Reads the whole source into the buffer; false with the status written.
  virtual bool Read(KTDocumentSource* source, KTLoadStatus& status);
  // Writes the buffer's bytes to the source; false with the status written.
  virtual bool WriteOut(KTDocumentSource* source, KTLoadStatus& status);
  // The next byte (0 at the end); after the last byte the byte-end flag is set.
  virtual uint8_t NextByte();
  // The next 16-bit unit in the machine's order (0 at the end); a lone byte
  // left over at the end is not read.
  virtual uint16_t NextUnit();
  // The source's bytes in a new block (empty sources give a block of size 0);
  // null when the source is of another kind or cannot be read.
  virtual std::unique_ptr<char[]> LoadFromSource(KTDocumentSource* source, uint32_t& size,
                                                 KTLoadStatus& status) = 0;
  virtual bool SaveToSource(KTDocumentSource* source, const char* bytes, uint32_t size,
                            KTLoadStatus& status) = 0;
  virtual void OnData(int argument) {}

  // Frees the block and leaves the buffer empty with both end flags set.
  void Release();
  bool AtByteEnd() const { return byteEnd_; }
  bool AtUnitEnd() const { return unitEnd_; }

 protected:
  void Rewind();

  const char* byteCursor_ = nullptr;
  const char* unitCursor_ = nullptr;
  bool byteEnd_ = true;
  bool unitEnd_ = true;
};

// Reads and writes whole files through POSIX calls.
class KTFileBuffer : public KTCursorBuffer {
 public:
  std::unique_ptr<char[]> LoadFromSource(KTDocumentSource* source, uint32_t& size,
                                         KTLoadStatus& status) override;
  bool SaveToSource(KTDocumentSource* source, const char* bytes, uint32_t size, KTLoadStatus& status) override;
  // Reads and decodes the source's file piece by piece into `decoder`'s
  // text (KTDecodedTextBuffer::DecodeUtf8File) when it is a regular file of
  // at least two pieces that no thread would read or decode in parts
  // (ReadInPieces). False, with nothing reported, in every other case: the
  // whole read (LoadFromSource) then runs and reports as before.
  static bool DecodeInPieces(KTDocumentSource* source, KTDecodedTextBuffer& decoder);
  // Files read in pieces so far in this process (a large one is read on the
  // chunked parse's threads: KTChunkParse::MaySplit); for tests.
  static long GetPiecewiseReadCount();
};

// Reads a URL through a URL request; writes with the source's verb.
class KTUrlBuffer : public KTCursorBuffer {
 public:
  std::unique_ptr<char[]> LoadFromSource(KTDocumentSource* source, uint32_t& size,
                                         KTLoadStatus& status) override;
  bool SaveToSource(KTDocumentSource* source, const char* bytes, uint32_t size, KTLoadStatus& status) override;
};

// Memory files and the memory stream (class id 6). A memory file is a named
// block of bytes in a process-wide list that lives until exit; the memory
// stream reads and writes one of them, and adopts a built-in file on first read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/kterrorlogger.h"
#include "streams/ystream.h"

class KTMemoryFile {
 public:
  KTMemoryFile(std::u16string name, std::unique_ptr<char[]> data, int32_t capacity, int32_t size);

  // Taken around every access of a stream to the content; they do nothing.
  void Lock() {}
  void Unlock() {}

  const std::u16string& GetName() const { return name_; }
  char* GetData() { return data_.get(); }
  int32_t GetCapacity() const { return capacity_; }
  int32_t GetSize() const { return size_; }

  // Makes room for at least needed bytes, keeping the content: the capacity
  // grows in steps of 64 KiB and at least doubles, so long runs of writes stay
  // linear. False (and nothing changed) when the block cannot be had.
  bool Reserve(int64_t needed);
  void SetSize(int32_t size) { size_ = size; }

 private:
  std::u16string name_;
  std::unique_ptr<char[]> data_;
  int32_t capacity_;
  int32_t size_;
};

// The process-wide list of memory files; it owns them.
class KTMemoryFileList {
 public:
  static KTNullLock* GetLock();

  // The first file whose name equals name exactly (case-sensitive), or null.
  KTMemoryFile* Find(const char16_t* name);

  // Adds a file. With copy set, a block of size + 1 bytes is allocated and
  // filled from data when given (empty file when not), capacity size; without
  // it the file adopts data with capacity = size = size. Null when no record
  // can be had.
  KTMemoryFile* AddFile(const char16_t* name, std::unique_ptr<char[]> data, int32_t size, bool copy);

  ~KTMemoryFileList();

 private:
  friend KTMemoryFileList* GetMemoryFileList();
  friend void FreeMemoryFiles();
  KTMemoryFileList() = default;

  KTNullLock* lock_ = nullptr;  // not owned
  std::vector<std::unique_ptr<KTMemoryFile>> files_;
};

// Guarded access to the list, built on first use and freed at exit. Raises
// KTComError(0x8000FFFF) when used after its teardown.
KTMemoryFileList* GetMemoryFileList();
// The list's teardown, run once at process exit: frees every memory file
// (and the data each owns), clears the cached list and marks it destroyed,
// so that a later GetMemoryFileList fails instead of handing out freed
// records. A second call changes nothing.
void FreeMemoryFiles();

class KTMemoryStreamImpl : public YStream {
 public:
  KTMemoryStreamImpl();
  ~KTMemoryStreamImpl() override;

  int Open(const char16_t* name, int mode) override;
  int Close() override;
  int Read(void* buffer, uint32_t& size) override;
  int ReadLine(char16_t* buffer, uint32_t& count) override;
  bool ReadChar(char16_t& c) override;
  int Write(const void* data, uint32_t& size) override;
  int WriteChar(char16_t c) override;
  // Besides 0 .. size - 1: -1 and -2 set the read position to the start or the
  // end (modes 1 and 2), -3 and -4 the write position (mode 2).
  bool Seek(int32_t position) override;
  long GetSize() override;
  int GetName(char16_t* buffer, int max) override;

  KTMemoryStreamImpl(const KTMemoryStreamImpl&) = delete;
  KTMemoryStreamImpl& operator=(const KTMemoryStreamImpl&) = delete;

 private:
  bool Reads() const;
  bool Writes() const;

  KTMemoryFile* file_ = nullptr;  // not owned; lives in the list until exit
  int32_t readPosition_ = 0;      // -1 when the mode does not read
  int32_t writePosition_ = 0;     // -1 when the mode does not write
  int mode_ = kStreamModeNone;
};

void* CreateMemoryStream();

// Seek values of the memory stream.
inline constexpr int32_t kMemorySeekReadStart = -1;
inline constexpr int32_t kMemorySeekReadEnd = -2;
inline constexpr int32_t kMemorySeekWriteStart = -3;
inline constexpr int32_t kMemorySeekWriteEnd = -4;

// The URL stream (class id 2): a stream over a URL held wholly in memory.
// Opened for reading it fetches the whole resource with a URL request; opened
// for writing it collects the bytes and sends them with "PUT" on Close.
#pragma once

#include <cstdint>
#include <memory>

#include "core/ktstring.h"
#include "streams/ystream.h"

class KTUrlStreamImpl : public YStream {
 public:
  // The write block grows in steps of this many bytes.
  static constexpr int64_t kWriteBlockStep = 65536;

  KTUrlStreamImpl();
  // Closes; a send that fails is logged, never thrown.
  ~KTUrlStreamImpl() override;
  KTUrlStreamImpl(const KTUrlStreamImpl&) = delete;
  KTUrlStreamImpl& operator=(const KTUrlStreamImpl&) = delete;

  // Mode 1 fetches (2 when that fails), mode 2 sets up the write block; 4 on
  // an open stream, 2 for an empty name, 50 for another mode.
  int Open(const char16_t* name, int mode) override;
  // In mode 2 sends the data with "PUT"; a failed send returns 29 and the
  // stream stays open with its data, so a later Close sends again.
  int Close() override;
  int Read(void* buffer, uint32_t& size) override;
  // Mode 1 only (12 otherwise).
  int ReadLine(char16_t* buffer, uint32_t& count) override;
  // One byte as U+0000-U+00FF.
  bool ReadChar(char16_t& c) override;
  // Mode 2: appends at the end of what was written.
  int Write(const void* data, uint32_t& size) override;
  int WriteChar(char16_t c) override;
  // -1 start, -2 end, -3 (mode 2) discard what was written, -4 (mode 2) end
  // at the capacity; 0 or more: the read position (mode 1) or the end of the
  // data (mode 2). Bytes that a moved end takes in and that were never
  // written are zeros.
  bool Seek(int32_t position) override;
  // Mode 2: the capacity; mode 1: the size; -1 when closed.
  long GetSize() override;
  // Always -1: the name is not handed out.
  int GetName(char16_t* buffer, int max) override;

 private:
  // Moves the end of the data, zero-filling what it takes in.
  void SetEnd(int64_t end);

  KTString name_;
  std::unique_ptr<unsigned char[]> data_;
  int64_t position_ = 0;
  int64_t size_ = 0;
  // The capacity the stream reports grows in steps of kWriteBlockStep; the
  // block behind it grows by doubling, so that writing n bytes in small
  // pieces copies O(n) bytes, not O(n^2 / kWriteBlockStep).
  int64_t capacity_ = 0;
  int64_t allocated_ = 0;
  int mode_ = kStreamModeNone;
};

void* CreateUrlStream();

// Hands the URL and delegating streams' prototypes to the stream registry, so
// that RegisterStreamFactories registers classes 2 and 5. Also done by a
// static initialiser of this library's stream files; calling it again is
// harmless.
void RegisterNetStreamFactories();

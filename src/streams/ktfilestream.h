// The file stream (class id 1): a stream over one file of the local file
// system, read and written byte for byte through stdio, and
// GetFileModifiedTime, with which loaded documents record their file's time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "streams/ystream.h"

class KTFileStreamImpl : public YStream {
 public:
  KTFileStreamImpl();
  ~KTFileStreamImpl() override;

  // Modes 1 "rb", 2 "wb" (missing folders of the path are created first),
  // 3 "ab", 4 an existing file opened for update ("r+b"). Any other mode, a
  // file that does not open, or a name longer than kStreamMaxName gives 2; an
  // empty name 13; an open stream 4.
  int Open(const char16_t* name, int mode) override;
  // The name stays, so GetSize and GetName go on answering for it.
  int Close() override;
  int Read(void* buffer, uint32_t& size) override;
  int ReadLine(char16_t* buffer, uint32_t& count) override;
  // One byte of the file as U+0000-U+00FF; false at the end or on an error.
  bool ReadChar(char16_t& c) override;
  int Write(const void* data, uint32_t& size) override;
  // The UTF-16 code unit as two bytes, low byte first.
  int WriteChar(char16_t c) override;
  // Bytes from the start; negative positions are refused, a closed stream
  // answers true without doing anything.
  bool Seek(int32_t position) override;
  // The size on disk of the file last named, open or not; -1 when it is not a
  // readable file.
  long GetSize() override;
  int GetName(char16_t* buffer, int max) override;

  KTFileStreamImpl(const KTFileStreamImpl&) = delete;
  KTFileStreamImpl& operator=(const KTFileStreamImpl&) = delete;

 private:
  enum class KTLastOp { kNone, kRead, kWrite };
  // In update mode stdio needs a positioning call between reading and writing.
  void SwitchTo(KTLastOp op);

  std::FILE* file_ = nullptr;
  int mode_ = kStreamModeNone;
  std::u16string name_;
  KTLastOp lastOp_ = KTLastOp::kNone;
};

void* CreateFileStream();

// Creates the missing folders of path: every prefix that ends just before a
// separator ('/' or '\', both written as '/'), never the last component.
// Failures are ignored; a folder that could not be made shows when the file
// is opened.
void CreateFoldersOfPath(const char16_t* path);

// False for a null or empty path or one that names nothing; otherwise true with
// modified set to the last-modified time of the file or folder.
bool GetFileModifiedTime(const char16_t* path, time_t& modified);

// KTStdioFile: a file with read, write, length and close, the base of the
// internet files. As a class of its own it is a local file (a file URL opened
// by the internet session), reporting failures with KTFileException.
#pragma once

#include <cstdint>
#include <string>

class KTStdioFile {
 public:
  static constexpr unsigned kModeRead = 0x0000;
  static constexpr unsigned kModeWrite = 0x0001;
  static constexpr unsigned kModeCreate = 0x1000;

  KTStdioFile() = default;
  // Opens path; a failure throws KTFileException.
  KTStdioFile(const std::u16string& path, unsigned mode);
  KTStdioFile(const KTStdioFile&) = delete;
  KTStdioFile& operator=(const KTStdioFile&) = delete;
  // Closes the file; never throws (a failed close is reported on stderr).
  virtual ~KTStdioFile();

  // Returns the number of bytes read, 0 at the end; a read error throws.
  virtual unsigned Read(void* buffer, unsigned count);
  // Writes all bytes or throws.
  virtual void Write(const void* data, unsigned count);
  virtual void Flush();
  // The size of a local file; for an internet file the bytes available now.
  virtual uint64_t GetLength() const;
  // Closes; a failure throws. Closing a closed file does nothing.
  virtual void Close();

  const std::u16string& GetFilePath() const { return path_; }

 protected:
  std::u16string path_;

 private:
  int fd_ = -1;
};

// The file stream over stdio and the file-time query. Names are UTF-16 inside
// and handed to the system as UTF-8 paths.
#include "streams/ktfilestream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "core/ktclassfactory.h"
#include "platform/ktutf8.h"
#include "platform/ktwchar.h"

namespace {

constinit bool fileStreamRegistered = false;

const char* ModeString(int mode) {
  switch (mode) {
    case kStreamModeRead:
      return "rb";
    case kStreamModeWrite:
      return "wb";
    case kStreamModeAppend:
      return "ab";
    case kStreamModeReadWrite:
      return "r+b";
    default:
      return nullptr;
  }
}

bool ReadsIn(int mode) { return mode == kStreamModeRead || mode == kStreamModeReadWrite; }

bool WritesIn(int mode) {
  return mode == kStreamModeWrite || mode == kStreamModeAppend || mode == kStreamModeReadWrite;
}

}  // namespace

void* CreateFileStream() {
  return static_cast<YStream*>(new (std::nothrow) KTFileStreamImpl());
}

KTFileStreamImpl::KTFileStreamImpl() {
  EnsureStreamFactories();
  if (!fileStreamRegistered) {
    fileStreamRegistered = GetClassFactoryRegistry()->Register(kStreamClassFile, &CreateFileStream);
  }
}

KTFileStreamImpl::~KTFileStreamImpl() { Close(); }

void CreateFoldersOfPath(const char16_t* path) {
  if (!path) return;
  std::string work = KTUtf16ToUtf8(path);
  for (char& c : work) {
    if (c == '\\') c = '/';
  }
  // There is no drive to skip on this system, so the first folder of a
  // relative path is made as well; a leading '/' gives no empty prefix.
  for (size_t at = work.find('/'); at != std::string::npos; at = work.find('/', at + 1)) {
    if (at == 0) continue;
    work[at] = 0;
    ::mkdir(work.c_str(), 0777);
    work[at] = '/';
  }
}

int KTFileStreamImpl::Open(const char16_t* name, int mode) {
  if (mode_ != kStreamModeNone) return kStreamAlreadyOpen;
  if (!name || !name[0]) return kStreamInvalidData;
  // The name is kept whole or not at all: a cut name would open another file.
  if (KTStrLen(name) > kStreamMaxName) return kStreamNotFound;
  const char* modeString = ModeString(mode);
  if (!modeString) return kStreamNotFound;
  if (mode == kStreamModeWrite) CreateFoldersOfPath(name);
  name_ = name;
  std::FILE* file = std::fopen(KTUtf16ToUtf8(name_).c_str(), modeString);
  if (!file) return kStreamNotFound;
  // stdio opens a folder for reading; a folder is not a file to read.
  struct stat status;
  if (::fstat(fileno(file), &status) != 0 || S_ISDIR(status.st_mode)) {
    std::fclose(file);
    return kStreamNotFound;
  }
  file_ = file;
  mode_ = mode;
  lastOp_ = KTLastOp::kNone;
  return kStreamOk;
}

int KTFileStreamImpl::Close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  mode_ = kStreamModeNone;
  lastOp_ = KTLastOp::kNone;
  return kStreamOk;
}

void KTFileStreamImpl::SwitchTo(KTLastOp op) {
  if (mode_ == kStreamModeReadWrite && lastOp_ != KTLastOp::kNone && lastOp_ != op) {
    std::fseek(file_, 0, SEEK_CUR);
  }
  lastOp_ = op;
}

int KTFileStreamImpl::Read(void* buffer, uint32_t& size) {
  if (!ReadsIn(mode_)) return kStreamInvalidAccess;
  SwitchTo(KTLastOp::kRead);
  size = static_cast<uint32_t>(std::fread(buffer, 1, size, file_));
  return std::ferror(file_) ? kStreamReadFault : kStreamOk;
}

int KTFileStreamImpl::ReadLine(char16_t* buffer, uint32_t& count) {
  if (!ReadsIn(mode_)) return kStreamInvalidAccess;
  return ReadLineByRule(
      buffer, count, [this](char16_t& c) { return ReadChar(c); },
      [this](char16_t c) { std::ungetc(c & 0xFF, file_); });
}

bool KTFileStreamImpl::ReadChar(char16_t& c) {
  if (!ReadsIn(mode_)) return false;
  SwitchTo(KTLastOp::kRead);
  const int byte = std::fgetc(file_);
  if (byte == EOF) {
    c = 0xFFFF;
    return false;
  }
  c = static_cast<char16_t>(byte);
  return true;
}

int KTFileStreamImpl::Write(const void* data, uint32_t& size) {
  if (!WritesIn(mode_)) return kStreamInvalidAccess;
  SwitchTo(KTLastOp::kWrite);
  size = static_cast<uint32_t>(std::fwrite(data, 1, size, file_));
  return std::ferror(file_) ? kStreamWriteFault : kStreamOk;
}

int KTFileStreamImpl::WriteChar(char16_t c) {
  if (!WritesIn(mode_)) return kStreamInvalidAccess;
  SwitchTo(KTLastOp::kWrite);
  std::fputc(c & 0xFF, file_);
  std::fputc(c >> 8, file_);
  return std::ferror(file_) ? kStreamWriteFault : kStreamOk;
}

bool KTFileStreamImpl::Seek(int32_t position) {
  if (position < 0) return false;
  if (!file_) return true;
  lastOp_ = KTLastOp::kNone;
  return std::fseek(file_, position, SEEK_SET) == 0;
}

long KTFileStreamImpl::GetSize() {
  if (name_.empty()) return -1;
  const int fd = ::open(KTUtf16ToUtf8(name_).c_str(), O_RDONLY);
  if (fd < 0) return -1;
  struct stat status;
  long size = -1;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) size = static_cast<long>(status.st_size);
  ::close(fd);
  return size;
}

int KTFileStreamImpl::GetName(char16_t* buffer, int max) {
  const int length = static_cast<int>(name_.size());
  if (buffer && max > 0) {
    const int copied = length < max ? length : max - 1;
    name_.copy(buffer, static_cast<size_t>(copied));
    buffer[copied] = 0;
  }
  return length;
}

bool GetFileModifiedTime(const char16_t* path, time_t& modified) {
  if (!path || !path[0]) return false;
  struct stat status;
  if (::stat(KTUtf16ToUtf8(path).c_str(), &status) != 0) return false;
  modified = status.st_mtime;
  return true;
}

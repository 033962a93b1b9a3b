// The local file behind file URLs, over POSIX descriptors.
#include "platform/inet/ktstdiofile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/inet/ktinternetexception.h"
#include "platform/ktutf8.h"

KTStdioFile::KTStdioFile(const std::u16string& path, unsigned mode) : path_(path) {
  // A NUL (from "%00" in a URL) would cut the name short and open another file.
  if (path.find(u'\0') != std::u16string::npos) throw KTFileException(EINVAL, path_);
  int flags = O_CLOEXEC;
  if (mode & kModeWrite) {
    flags |= O_WRONLY;
    if (mode & kModeCreate) flags |= O_CREAT | O_TRUNC;
  } else {
    flags |= O_RDONLY;
  }
  fd_ = ::open(KTUtf16ToUtf8(path).c_str(), flags, 0666);
  if (fd_ < 0) throw KTFileException(errno, path_);
  struct stat st;
  if (!(mode & kModeWrite) && ::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw KTFileException(EISDIR, path_);
  }
}

KTStdioFile::~KTStdioFile() {
  if (fd_ >= 0 && ::close(fd_) != 0) {
    KTWriteConsole(stderr, u"Closing " + path_ + u" failed\n");
  }
}

unsigned KTStdioFile::Read(void* buffer, unsigned count) {
  if (fd_ < 0) throw KTFileException(EBADF, path_);
  for (;;) {
    ssize_t n = ::read(fd_, buffer, count);
    if (n >= 0) return static_cast<unsigned>(n);
    if (errno != EINTR) throw KTFileException(errno, path_);
  }
}

void KTStdioFile::Write(const void* data, unsigned count) {
  if (fd_ < 0) throw KTFileException(EBADF, path_);
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    ssize_t n = ::write(fd_, p, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw KTFileException(errno, path_);
    }
    p += n;
    count -= static_cast<unsigned>(n);
  }
}

void KTStdioFile::Flush() {}

uint64_t KTStdioFile::GetLength() const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

void KTStdioFile::Close() {
  if (fd_ < 0) return;
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw KTFileException(errno, path_);
}

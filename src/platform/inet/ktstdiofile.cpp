// The local file behind file URLs, over POSIX descriptors.
#include "platform/inet/ktstdiofile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/inet/ktinternetexception.h"
#include "platform/ktutf8.h"

namespace {

// What a file other than a regular file or a directory is: a named pipe may
// block a reader for ever and a device may never end (/dev/zero), and neither
// is a document. Null for a regular file or a directory.
const char16_t* NotRegularKind(const struct stat& st) {
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return nullptr;
  if (S_ISFIFO(st.st_mode)) return u"not a regular file: a named pipe (FIFO)";
  if (S_ISCHR(st.st_mode)) return u"not a regular file: a character device";
  if (S_ISBLK(st.st_mode)) return u"not a regular file: a block device";
  if (S_ISSOCK(st.st_mode)) return u"not a regular file: a socket";
  return u"not a regular file";
}

}  // namespace

KTStdioFile::KTStdioFile(const std::u16string& path, unsigned mode) : path_(path) {
  // A NUL (from "%00" in a URL) would cut the name short and open another file.
  if (path.find(u'\0') != std::u16string::npos) throw KTFileException(EINVAL, path_);
  int flags = O_CLOEXEC;
  if (mode & kModeWrite) {
    flags |= O_WRONLY;
    if (mode & kModeCreate) flags |= O_CREAT | O_TRUNC;
  } else {
    // Without blocking: open() of a named pipe would wait for a writer.
    flags |= O_RDONLY | O_NONBLOCK;
  }
  fd_ = ::open(KTUtf16ToUtf8(path).c_str(), flags, 0666);
  if (fd_ < 0) throw KTFileException(errno, path_);
  if (mode & kModeWrite) return;
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    int error = errno;
    ::close(fd_);
    fd_ = -1;
    throw KTFileException(error, path_);
  }
  const char16_t* kind = NotRegularKind(st);
  if (S_ISDIR(st.st_mode) || kind) {
    ::close(fd_);
    fd_ = -1;
    throw kind ? KTFileException(ENODEV, path_, kind) : KTFileException(EISDIR, path_);
  }
  // A regular file: reads wait for their bytes as usual.
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
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

// KTOutputFile: the new file beside the target, its removal on failure or on
// a signal that ends the run, and its rename over the target.
#include "app/ktoutputfile.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/ktutf8.h"
#include "xml/ktloaderror.h"
#include "xml/ktloadstatus.h"

namespace {

// The new file's name while it exists, for the signal handler below. A
// signal handler may only use what is safe there: a fixed buffer and a flag.
char pendingName[PATH_MAX];
volatile sig_atomic_t pendingSet = 0;

void RemovePendingFile(int signal) {
  if (pendingSet) ::unlink(pendingName);
  // The handler was reset to the default on entry (SA_RESETHAND): the signal,
  // blocked until the handler returns, then ends the process as it would have.
  ::raise(signal);
}

// Interrupting the run (Ctrl-C, kill, a closed terminal) removes the new
// file before the process ends. Signals the caller chose to ignore stay
// ignored.
void RemoveOnSignals(const std::string& name) {
  if (name.size() >= sizeof pendingName) return;
  std::memcpy(pendingName, name.c_str(), name.size() + 1);
  pendingSet = 1;
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_handler = RemovePendingFile;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
  }
}

void SetError(KTLoadStatus& status, int error) { KTSetLoadSystemError(status, error ? error : EIO); }

}  // namespace

KTOutputFile::KTOutputFile(const KTString& target) : target_(target), writePath_(target) {}

KTOutputFile::~KTOutputFile() { Discard(); }

void KTOutputFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!tempName_.empty()) ::unlink(tempName_.c_str());
  tempName_.clear();
  pendingSet = 0;
}

bool KTOutputFile::Open(KTLoadStatus& status) {
  std::string name = KTUtf16ToUtf8(target_.View());
  // A symbolic link stays as it is: the result replaces the file it leads
  // to, or makes it when the link leads to no file yet, as writing through
  // the link would. Links are followed as the system follows them, at most
  // 40 in a row.
  for (int links = 0;; ++links) {
    struct stat link;
    if (::lstat(name.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) break;
    if (links == 40) {
      SetError(status, ELOOP);
      return false;
    }
    std::string to(static_cast<size_t>(link.st_size > 0 ? link.st_size : PATH_MAX) + 1, '\0');
    const ssize_t length = ::readlink(name.c_str(), to.data(), to.size());
    if (length < 0 || static_cast<size_t>(length) >= to.size()) {
      SetError(status, length < 0 ? errno : ENAMETOOLONG);
      return false;
    }
    to.resize(static_cast<size_t>(length));
    // A relative link is read from the link's own folder.
    const size_t slash = name.rfind('/');
    name = to[0] == '/' || slash == std::string::npos ? to : name.substr(0, slash + 1) + to;
  }
  struct stat info;
  if (::stat(name.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      SetError(status, EISDIR);
      return false;
    }
    if (!S_ISREG(info.st_mode)) return true;
    // A file its owner made read-only stays as it is, as it would if it were
    // written in place, though the rename could replace it.
    if (::access(name.c_str(), W_OK) != 0) {
      SetError(status, errno);
      return false;
    }
    mode_ = info.st_mode & 07777;
    owner_ = info.st_uid;
    group_ = info.st_gid;
    replacing_ = true;
  } else {
    // The permission bits a file made by open(..., 0666) would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode_ = 0666 & ~mask;
  }
  finalName_ = name;
  // In the target's folder, so that the rename stays within one file system.
  const size_t slash = name.rfind('/');
  tempName_ = (slash == std::string::npos ? std::string() : name.substr(0, slash + 1)) + ".ostxslt-XXXXXX";
  fd_ = ::mkostemp(tempName_.data(), O_CLOEXEC);
  if (fd_ < 0) {
    // The folder is named: the target itself may well be writable (a
    // read-only folder, a full one).
    SetError(status, errno);
    const std::string folder = slash == std::string::npos ? "." : name.substr(0, slash == 0 ? 1 : slash);
    status.SetMessage(KTString(std::u16string_view(u"No new file can be made in the folder " + KTUtf8ToUtf16(folder) +
                                                   u": " + std::u16string(status.GetMessage().View()))));
    tempName_.clear();
    return false;
  }
  RemoveOnSignals(tempName_);
  writePath_ = KTString(std::u16string_view(KTUtf8ToUtf16(tempName_)));
  return true;
}

bool KTOutputFile::Commit(KTLoadStatus& status) {
  if (tempName_.empty()) return true;  // written in place
  // The result was written through the name; it must still lead to the file
  // made for it.
  struct stat opened, named;
  if (::fstat(fd_, &opened) != 0 || ::lstat(tempName_.c_str(), &named) != 0 || opened.st_dev != named.st_dev ||
      opened.st_ino != named.st_ino) {
    Discard();
    KTSetLoadError(status, KTLoadStatus::kFile, EEXIST,
                   KTString(u"The new output file was replaced by another while it was written"));
    return false;
  }
  // The replaced file's owner and group stay (root replacing a user's file,
  // a file shared through its group). Whoever may not give the file away
  // keeps at least the group when a member of it, and otherwise owns the
  // new file, as it would own any file it makes.
  if (replacing_ && ::fchown(fd_, owner_, group_) != 0) (void)::fchown(fd_, static_cast<uid_t>(-1), group_);
  // A file system without permission bits (FAT) may refuse them; the file
  // is then as good as that file system makes it. After the change of
  // owner, which clears the set-user-ID and set-group-ID bits.
  (void)::fchmod(fd_, mode_);
  // Flushed to the disk before the rename, so that after a crash the target
  // holds either the old result or the whole new one. File systems that
  // cannot flush (EINVAL) hold nothing to flush.
  if (::fsync(fd_) != 0 && errno != EINVAL) {
    const int error = errno;
    Discard();
    SetError(status, error);
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 || ::rename(tempName_.c_str(), finalName_.c_str()) != 0) {
    const int error = errno;
    Discard();
    SetError(status, error);
    return false;
  }
  tempName_.clear();
  pendingSet = 0;
  return true;
}

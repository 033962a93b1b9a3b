// KTOutputFile: the output file, replaced whole or not at all. The result is
// written to a new file beside the target, which is renamed over the target
// only once every byte is written, flushed and closed.
#pragma once

#include <sys/types.h>

#include <string>

#include "core/ktstring.h"

class KTLoadStatus;

class KTOutputFile {
 public:
  explicit KTOutputFile(const KTString& target);
  // Removes the new file unless Commit renamed it: a run that fails at any
  // point, by an error or an exception, leaves the target as it was.
  ~KTOutputFile();
  KTOutputFile(const KTOutputFile&) = delete;
  KTOutputFile& operator=(const KTOutputFile&) = delete;

  // Makes the new file in the target's folder; false with the reason in
  // `status`. A target that is a device or a pipe (/dev/null, a FIFO) is
  // written in place: there is no file to replace.
  bool Open(KTLoadStatus& status);
  // Where the result is to be written: the new file, or the target itself
  // when it is written in place.
  const KTString& WritePath() const { return writePath_; }
  // Flushes the written file to disk, gives it the target's owner, group and
  // permission bits (a new target gets 0666 less the umask) and renames it
  // over the target.
  bool Commit(KTLoadStatus& status);

 private:
  void Discard();

  KTString target_;
  KTString writePath_;
  // The new file: its name, kept open from its making to the rename, so the
  // file renamed is known to be the one made.
  std::string tempName_;
  std::string finalName_;
  int fd_ = -1;
  mode_t mode_ = 0;
  // The owner and group of the file replaced, when there is one.
  bool replacing_ = false;
  uid_t owner_ = 0;
  gid_t group_ = 0;
};

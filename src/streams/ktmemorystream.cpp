// Memory files, their process-wide list and the memory stream. A name not yet
// in the list, opened for reading, is looked up in the embedded-file store and
// kept as a memory file from then on; "memory:" names make scratch files.
#include "streams/ktmemorystream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/ktclassfactory.h"
#include "platform/ktwchar.h"
#include "streams/ktembeddedfiles.h"

namespace {

constexpr int32_t kMemoryFileStep = 65536;  // growth step and first capacity of a scratch file
constexpr char16_t kScratchPrefix[] = u"memory:";
constexpr int kScratchPrefixLength = 7;

constinit KTMemoryFileList* cachedList = nullptr;
constinit bool listDestroyed = false;
constinit bool memoryStreamRegistered = false;

// Holds a memory file's lock for the lifetime of the guard.
class KTFileLockGuard {
 public:
  explicit KTFileLockGuard(KTMemoryFile* file) : file_(file) { file_->Lock(); }
  ~KTFileLockGuard() { file_->Unlock(); }
  KTFileLockGuard(const KTFileLockGuard&) = delete;
  KTFileLockGuard& operator=(const KTFileLockGuard&) = delete;

 private:
  KTMemoryFile* file_;
};

}  // namespace

// ---- KTMemoryFile ----

KTMemoryFile::KTMemoryFile(std::u16string name, std::unique_ptr<char[]> data, int32_t capacity, int32_t size)
    : name_(std::move(name)), data_(std::move(data)), capacity_(capacity), size_(size) {}

bool KTMemoryFile::Reserve(int64_t needed) {
  if (needed <= capacity_) return true;
  // The smallest capacity + k * 64 KiB above what is needed, but never less
  // than double, so that a long run of small writes copies each byte O(1) times.
  int64_t steps = (needed - capacity_) / kMemoryFileStep + 1;
  int64_t grown = static_cast<int64_t>(capacity_) + steps * kMemoryFileStep;
  grown = std::max(grown, static_cast<int64_t>(capacity_) * 2);
  if (grown > INT32_MAX) grown = INT32_MAX;
  if (grown < needed) return false;
  std::unique_ptr<char[]> block(new (std::nothrow) char[static_cast<size_t>(grown)]);
  if (!block) return false;
  if (data_ && size_ > 0) std::memcpy(block.get(), data_.get(), static_cast<size_t>(size_));
  data_ = std::move(block);
  capacity_ = static_cast<int32_t>(grown);
  return true;
}

// ---- KTMemoryFileList ----

KTNullLock* KTMemoryFileList::GetLock() {
  static KTNullLock lock;
  return &lock;
}

KTMemoryFile* KTMemoryFileList::Find(const char16_t* name) {
  KTNullLockGuard guard(lock_);
  for (auto& file : files_) {
    if (file->GetName() == name) return file.get();
  }
  return nullptr;
}

KTMemoryFile* KTMemoryFileList::AddFile(const char16_t* name, std::unique_ptr<char[]> data, int32_t size, bool copy) {
  KTNullLockGuard guard(lock_);
  if (size < 0) return nullptr;
  std::unique_ptr<char[]> block;
  int32_t contentSize = size;
  if (copy) {
    block.reset(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
    if (!block) return nullptr;
    if (data) {
      std::memcpy(block.get(), data.get(), static_cast<size_t>(size));
    } else {
      contentSize = 0;
    }
  } else {
    block = std::move(data);
  }
  std::unique_ptr<KTMemoryFile> file(new (std::nothrow) KTMemoryFile(name, std::move(block), size, contentSize));
  if (!file) return nullptr;
  files_.push_back(std::move(file));
  return files_.back().get();
}

KTMemoryFileList::~KTMemoryFileList() { FreeMemoryFiles(); }

void FreeMemoryFiles() {
  if (cachedList) cachedList->files_.clear();
  cachedList = nullptr;
  listDestroyed = true;
}

KTMemoryFileList* GetMemoryFileList() {
  if (cachedList) return cachedList;
  KTNullLockGuard guard(KTMemoryFileList::GetLock());
  if (!cachedList) {
    if (listDestroyed) CheckInstance(nullptr, u"This class has already been destroyed");
    // A function-local static: built on first use, from whatever static
    // initialiser that may be, and freed at exit after every object built
    // before it.
    static KTMemoryFileList list;
    list.lock_ = KTMemoryFileList::GetLock();
    cachedList = &list;
  }
  return cachedList;
}

// ---- KTMemoryStreamImpl ----

void* CreateMemoryStream() {
  return static_cast<YStream*>(new (std::nothrow) KTMemoryStreamImpl());
}

KTMemoryStreamImpl::KTMemoryStreamImpl() {
  EnsureStreamFactories();
  if (!memoryStreamRegistered) {
    memoryStreamRegistered = GetClassFactoryRegistry()->Register(kStreamClassMemory, &CreateMemoryStream);
  }
}

KTMemoryStreamImpl::~KTMemoryStreamImpl() { Close(); }

bool KTMemoryStreamImpl::Reads() const {
  return file_ && (mode_ == kStreamModeRead || mode_ == kStreamModeWrite || mode_ == kStreamModeReadWrite);
}

bool KTMemoryStreamImpl::Writes() const {
  return file_ && (mode_ == kStreamModeWrite || mode_ == kStreamModeAppend || mode_ == kStreamModeReadWrite);
}

int KTMemoryStreamImpl::Open(const char16_t* name, int mode) {
  if (!name || !name[0]) return kStreamNotFound;
  if (mode_ != kStreamModeNone) return kStreamAlreadyOpen;
  // The record's name holds at most kStreamMaxName characters; a longer name
  // is refused rather than cut, so that two long names never meet in one file.
  if (KTStrLen(name) > kStreamMaxName) return kStreamNotFound;
  if (mode < kStreamModeRead || mode > kStreamModeReadWrite) return kStreamNotFound;

  KTMemoryFileList* list = GetMemoryFileList();
  if (KTMemoryFile* file = list->Find(name)) {
    file_ = file;
    mode_ = mode;
    switch (mode) {
      case kStreamModeRead:
        readPosition_ = 0;
        writePosition_ = -1;
        break;
      case kStreamModeWrite:
        readPosition_ = 0;
        writePosition_ = 0;
        break;
      case kStreamModeAppend:
        readPosition_ = -1;
        writePosition_ = file->GetSize();
        break;
      default:
        readPosition_ = 0;
        writePosition_ = file->GetSize();
        break;
    }
    return kStreamOk;
  }

  KTMemoryFile* file;
  if (mode == kStreamModeRead) {
    int size = 0;
    std::unique_ptr<char[]> bytes = GetEmbeddedFile(name, size);
    if (!bytes) return kStreamNotFound;
    file = list->AddFile(name, std::move(bytes), size, false);
  } else {
    if (KTStrNCmp(name, kScratchPrefix, kScratchPrefixLength) != 0) return kStreamNotFound;
    file = list->AddFile(name, nullptr, kMemoryFileStep, true);
  }
  if (!file) return kStreamNoMemory;
  file_ = file;
  readPosition_ = 0;
  writePosition_ = 0;
  mode_ = mode;
  return kStreamOk;
}

int KTMemoryStreamImpl::Close() {
  file_ = nullptr;
  readPosition_ = 0;
  writePosition_ = 0;
  mode_ = kStreamModeNone;
  return kStreamOk;
}

int KTMemoryStreamImpl::Read(void* buffer, uint32_t& size) {
  if (!Reads()) return kStreamInvalidAccess;
  KTFileLockGuard guard(file_);
  int64_t left = std::max<int64_t>(0, static_cast<int64_t>(file_->GetSize()) - readPosition_);
  uint32_t n = static_cast<uint32_t>(std::min<int64_t>(size, left));
  if (n > 0) std::memcpy(buffer, file_->GetData() + readPosition_, n);
  readPosition_ += static_cast<int32_t>(n);
  size = n;
  return kStreamOk;
}

int KTMemoryStreamImpl::ReadLine(char16_t* buffer, uint32_t& count) {
  if (mode_ != kStreamModeRead && mode_ != kStreamModeReadWrite) return kStreamInvalidAccess;
  // The line rule of ReadLineByRule, read straight from the file's bytes
  // under one lock instead of one lock per character: the line end is found
  // with memchr and the bytes before it widened in one loop.
  uint32_t stored = 0;
  if (file_) {
    KTFileLockGuard guard(file_);
    const int32_t size = file_->GetSize();
    const int32_t position = std::max<int32_t>(readPosition_, 0);
    if (position < size) {
      const char* line = file_->GetData() + position;
      const size_t left = static_cast<size_t>(size - position);
      const size_t limit = std::min<size_t>(count, left);
      const char* end = static_cast<const char*>(std::memchr(line, '\n', limit));
      const size_t beforeLf = end ? static_cast<size_t>(end - line) : limit;
      if (const void* cr = std::memchr(line, '\r', beforeLf)) end = static_cast<const char*>(cr);
      stored = static_cast<uint32_t>(end ? static_cast<size_t>(end - line) : limit);
      // Bytes 0x80-0xFF read as U+0080-U+00FF, as in ReadChar.
      for (uint32_t i = 0; i < stored; ++i) buffer[i] = static_cast<unsigned char>(line[i]);
      size_t taken = stored;
      if (end) {
        ++taken;  // the line end
        if (*end == '\r' && taken < left && line[taken] == '\n') ++taken;
      }
      readPosition_ = position + static_cast<int32_t>(taken);
    }
  }
  buffer[stored] = 0;
  count = stored;
  return kStreamOk;
}

bool KTMemoryStreamImpl::ReadChar(char16_t& c) {
  if (!Reads()) return false;
  KTFileLockGuard guard(file_);
  if (readPosition_ >= file_->GetSize()) return false;
  // Bytes 0x80-0xFF read as U+0080-U+00FF, as the file stream reads them.
  c = static_cast<unsigned char>(file_->GetData()[readPosition_]);
  ++readPosition_;
  return true;
}

int KTMemoryStreamImpl::Write(const void* data, uint32_t& size) {
  if (!Writes()) return kStreamInvalidAccess;
  KTFileLockGuard guard(file_);
  int64_t end = static_cast<int64_t>(writePosition_) + size;
  if (!file_->Reserve(end)) return kStreamOutOfMemory;
  if (size > 0) std::memcpy(file_->GetData() + writePosition_, data, size);
  writePosition_ = static_cast<int32_t>(end);
  if (writePosition_ > file_->GetSize()) file_->SetSize(writePosition_);
  return kStreamOk;
}

int KTMemoryStreamImpl::WriteChar(char16_t c) {
  const unsigned char bytes[2] = {static_cast<unsigned char>(c & 0xFF), static_cast<unsigned char>(c >> 8)};
  uint32_t size = 2;
  return Write(bytes, size);
}

bool KTMemoryStreamImpl::Seek(int32_t position) {
  if (!file_) return false;
  KTFileLockGuard guard(file_);
  const bool readOrWrite = mode_ == kStreamModeRead || mode_ == kStreamModeWrite;
  switch (position) {
    case kMemorySeekReadStart:
      if (!readOrWrite) return false;
      readPosition_ = 0;
      return true;
    case kMemorySeekReadEnd:
      if (!readOrWrite) return false;
      readPosition_ = file_->GetSize();
      return true;
    case kMemorySeekWriteStart:
      if (mode_ != kStreamModeWrite) return false;
      writePosition_ = 0;
      return true;
    case kMemorySeekWriteEnd:
      if (mode_ != kStreamModeWrite) return false;
      writePosition_ = file_->GetSize();
      return true;
    default:
      break;
  }
  if (position < 0 || position >= file_->GetSize()) return false;
  switch (mode_) {
    case kStreamModeRead:
      readPosition_ = position;
      return true;
    case kStreamModeWrite:
      writePosition_ = position;
      return true;
    case kStreamModeReadWrite:
      readPosition_ = position;
      writePosition_ = position;
      return true;
    default:
      return false;
  }
}

long KTMemoryStreamImpl::GetSize() {
  if (!file_) return -1;
  KTFileLockGuard guard(file_);
  return file_->GetSize();
}

int KTMemoryStreamImpl::GetName(char16_t*, int) { return -1; }

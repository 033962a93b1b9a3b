// Input buffers: the raw block, the cursors, and the file and URL transfers.
#include "xml/ktinputbuffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "net/kturlrequest.h"
#include "platform/ktutf8.h"
#include "xml/ktchunkparse.h"
#include "xml/ktdecodedtext.h"
#include "xml/ktdocsource.h"
#include "xml/ktloaderror.h"
#include "xml/ktloadstatus.h"

// ---- KTRawBuffer ----

KTRawBuffer::~KTRawBuffer() { ReleaseData(); }

bool KTRawBuffer::SetData(const void* bytes, uint32_t size, bool copy) {
  if (bytes == nullptr)
    return false;
  // The copy is made before the old block goes, in case the bytes lie in it.
  char* block = static_cast<char*>(const_cast<void*>(bytes));
  if (copy) {
    block = new (std::nothrow) char[size ? size : 1];
    if (block == nullptr)
      return false;
    if (size)
      std::memcpy(block, bytes, size);
  }
  if (block == data_) {
    size_ = size;  // the same block again: it stays as owned as it was
    return true;
  }
  ReleaseData();
  data_ = block;
  size_ = size;
  owned_ = copy;
  return true;
}

const char* KTRawBuffer::GetData(uint32_t& size) const {
  size = size_;
  return data_;
}

void KTRawBuffer::TakeData(std::unique_ptr<char[]> block, uint32_t size) {
  ReleaseData();
  if (!block)
    return;
  data_ = block.release();
  size_ = size;
  owned_ = true;
}

std::unique_ptr<char[]> KTRawBuffer::DetachData(uint32_t& size) {
  size = size_;
  if (data_ == nullptr)
    return nullptr;
  std::unique_ptr<char[]> block;
  if (owned_) {
    block.reset(data_);
  } else {
    block.reset(new char[size_ ? size_ : 1]);
    if (size_)
      std::memcpy(block.get(), data_, size_);
  }
  data_ = nullptr;
  size_ = 0;
  owned_ = false;
  return block;
}

void KTRawBuffer::ReleaseData() {
  if (owned_)
    delete[] data_;
  data_ = nullptr;
  size_ = 0;
  owned_ = false;
}

// ---- KTCursorBuffer ----

void KTCursorBuffer::Rewind() {
  byteCursor_ = data_;
  unitCursor_ = data_;
  byteEnd_ = false;
  unitEnd_ = false;
}

bool KTCursorBuffer::LoadBytes(const void* bytes, uint32_t size, int hookArgument, bool copy) {
  if (!SetData(bytes, size, copy))
    return false;
  OnData(hookArgument);
  Rewind();
  return true;
}

bool KTCursorBuffer::LoadBlock(std::unique_ptr<char[]> block, uint32_t size, int hookArgument) {
  if (!block)
    return false;
  TakeData(std::move(block), size);
  OnData(hookArgument);
  Rewind();
  return true;
}

bool KTCursorBuffer::Read(KTDocumentSource* source, KTLoadStatus& status) {
  uint32_t size = 0;
  std::unique_ptr<char[]> block = LoadFromSource(source, size, status);
  if (!block)
    return false;
  TakeData(std::move(block), size);
  OnData(1);
  Rewind();
  return true;
}

bool KTCursorBuffer::WriteOut(KTDocumentSource* source, KTLoadStatus& status) {
  if (data_ == nullptr) {
    KTSetLoadError(status, KTLoadStatus::kFile, KTLoadStatus::kNothingToWrite, u"There is nothing to write");
    return false;
  }
  OnData(0);
  return SaveToSource(source, data_, size_, status);
}

uint8_t KTCursorBuffer::NextByte() {
  if (byteCursor_ == nullptr)
    return 0;
  uint8_t byte = static_cast<uint8_t>(*byteCursor_++);
  if (byteCursor_ >= data_ + size_) {
    byteCursor_ = nullptr;
    byteEnd_ = true;
  }
  return byte;
}

uint16_t KTCursorBuffer::NextUnit() {
  if (unitCursor_ == nullptr)
    return 0;
  if (unitCursor_ + 2 > data_ + size_) {
    // A lone byte at the end is no whole unit.
    unitCursor_ = nullptr;
    unitEnd_ = true;
    return 0;
  }
  uint16_t unit;
  std::memcpy(&unit, unitCursor_, 2);
  unitCursor_ += 2;
  if (unitCursor_ >= data_ + size_) {
    unitCursor_ = nullptr;
    unitEnd_ = true;
  }
  return unit;
}

void KTCursorBuffer::Release() {
  ReleaseData();
  byteCursor_ = nullptr;
  unitCursor_ = nullptr;
  byteEnd_ = true;
  unitEnd_ = true;
}

// ---- KTFileBuffer ----

namespace {

// A buffer handed a source of another kind refuses it, and says so.
bool RefuseOtherKind(const KTDocumentSource* source, bool wanted, KTLoadStatus& status) {
  if (source != nullptr && wanted)
    return false;
  KTSetLoadError(status, KTLoadStatus::kLoader, kLoadUnsupportedSource,
                 KTString(source ? u"The source is of another kind than the buffer" : u"No source was given"));
  return true;
}

std::string NarrowPath(const KTString& path) { return KTUtf16ToUtf8(path.View()); }

// Only regular files are read: a named pipe or a device may block for ever
// or never end (/dev/zero), and neither is a document. Null for a regular
// file and for a directory (refused as EISDIR), else what the file is.
const char16_t* NotRegularKind(const struct stat& info) {
  if (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))
    return nullptr;
  if (S_ISFIFO(info.st_mode))
    return u"a named pipe (FIFO)";
  if (S_ISCHR(info.st_mode))
    return u"a character device";
  if (S_ISBLK(info.st_mode))
    return u"a block device";
  if (S_ISSOCK(info.st_mode))
    return u"a socket";
  return u"not a file";
}

void RefuseNotRegular(KTLoadStatus& status, const char16_t* kind) {
  KTSetLoadError(status, KTLoadStatus::kLoader, kLoadNotRegularFile,
                 KTString(u"Not a regular file: ") + kind);
}

std::atomic<long> gPiecewiseReads{0};

// Bytes of a large file below which a piece is not worth a thread of its own.
constexpr size_t kMinPieceBytes = size_t{1} << 18;

// Reads the file's bytes [0, capacity) into block in pieces, on threads when
// the load may use them, each at its own offset. False when the file is not
// cut, or a piece came short or failed (the file changed since it was
// measured, or an error): the caller then reads it from the start as one.
bool ReadInPieces(int fd, char* block, size_t capacity) {
  int threads = 1;
  bool forced = false;
  if (capacity > static_cast<size_t>(LONG_MAX) ||
      !KTChunkParse::MaySplit(static_cast<long>(capacity), threads, forced))
    return false;
  // A forced mode cuts even a short file, for tests.
  const size_t pieces = forced ? std::min<size_t>(KTChunkParse::kMaxThreads, capacity)
                               : std::min<size_t>(static_cast<size_t>(threads), capacity / kMinPieceBytes);
  if (pieces < 2) return false;
  std::unique_ptr<bool[]> good(new bool[pieces]());
  auto readPiece = [&](size_t k) noexcept {
    size_t from = capacity / pieces * k;
    const size_t to = k + 1 == pieces ? capacity : capacity / pieces * (k + 1);
    while (from < to) {
      const ssize_t got = ::pread(fd, block + from, to - from, static_cast<off_t>(from));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return;
      from += static_cast<size_t>(got);
    }
    good[k] = true;
  };
  std::vector<std::thread> pool;
  if (threads > 1) {
    try {
      for (size_t k = 1; k < pieces; ++k) pool.emplace_back(readPiece, k);
    } catch (...) {
      // Fewer threads: the pieces of those never started are read here.
    }
  }
  for (size_t k = pool.size() + 1; k < pieces; ++k) readPiece(k);
  readPiece(0);
  for (std::thread& t : pool) t.join();
  for (size_t k = 0; k < pieces; ++k) {
    if (!good[k]) return false;
  }
  gPiecewiseReads.fetch_add(1);
  return true;
}

// Reads the whole open regular file in one block of its size.
std::unique_ptr<char[]> ReadAll(int fd, const struct stat& info, uint32_t& size, int& error) {
  size_t capacity = static_cast<size_t>(info.st_size);
  if (capacity > kMaxDocumentBytes) {
    error = EFBIG;
    return nullptr;
  }
  std::unique_ptr<char[]> block(new (std::nothrow) char[capacity + 1]);
  if (!block) {
    error = ENOMEM;
    return nullptr;
  }
  if (ReadInPieces(fd, block.get(), capacity)) {
    size = static_cast<uint32_t>(capacity);
    return block;
  }
  size_t used = 0;
  while (used < capacity) {
    ssize_t got = ::read(fd, block.get() + used, capacity - used);
    if (got < 0) {
      if (errno == EINTR)
        continue;
      error = errno;
      return nullptr;
    }
    if (got == 0)
      break;  // the file may have shrunk since fstat: keep what was read
    used += static_cast<size_t>(got);
  }
  size = static_cast<uint32_t>(used);
  return block;
}

}  // namespace

std::unique_ptr<char[]> KTFileBuffer::LoadFromSource(KTDocumentSource* source, uint32_t& size,
                                                     KTLoadStatus& status) {
  size = 0;
  if (RefuseOtherKind(source, source && source->IsFile(), status))
    return nullptr;
  const std::string path = NarrowPath(source->GetUrl());
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    KTSetLoadSystemError(status, errno);
    return nullptr;
  }
  if (const char16_t* kind = NotRegularKind(info)) {
    RefuseNotRegular(status, kind);
    return nullptr;
  }
  if (S_ISDIR(info.st_mode)) {
    KTSetLoadSystemError(status, EISDIR);
    return nullptr;
  }
  // Without blocking: a named pipe put in the file's place after the check
  // above would otherwise wait for a writer in open(); fstat then refuses it.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    KTSetLoadSystemError(status, errno);
    return nullptr;
  }
  int error = 0;
  const char16_t* kind = nullptr;
  std::unique_ptr<char[]> block;
  if (::fstat(fd, &info) != 0)
    error = errno;
  else if (S_ISDIR(info.st_mode))
    error = EISDIR;
  else if ((kind = NotRegularKind(info)) == nullptr)
    block = ReadAll(fd, info, size, error);
  ::close(fd);
  if (kind) {
    size = 0;
    RefuseNotRegular(status, kind);
    return nullptr;
  }
  if (!block) {
    size = 0;
    KTSetLoadSystemError(status, error ? error : EIO);
  }
  return block;
}

long KTFileBuffer::GetPiecewiseReadCount() { return gPiecewiseReads.load(); }

bool KTFileBuffer::DecodeInPieces(KTDocumentSource* source, KTDecodedTextBuffer& decoder) {
  if (source == nullptr || !source->IsFile()) return false;
  const std::string path = NarrowPath(source->GetUrl());
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const auto size = static_cast<size_t>(info.st_size);
  if (size > kMaxDocumentBytes) return false;
  // A file that ReadInPieces would read on threads (and its text decoded on
  // them) goes that way; so does every file in a forced chunked mode.
  int threads = 1;
  bool forced = false;
  if (size <= static_cast<size_t>(LONG_MAX) && KTChunkParse::MaySplit(static_cast<long>(size), threads, forced) &&
      (forced || std::min<size_t>(static_cast<size_t>(threads), size / kMinPieceBytes) >= 2))
    return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  bool decoded = false;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<size_t>(info.st_size) == size)
    decoded = decoder.DecodeUtf8File(fd, size);
  ::close(fd);
  return decoded;
}

bool KTFileBuffer::SaveToSource(KTDocumentSource* source, const char* bytes, uint32_t size,
                                KTLoadStatus& status) {
  if (bytes == nullptr || RefuseOtherKind(source, source && source->IsFile(), status))
    return false;
  const KTString& path = source->GetUrl();
  int fd = ::open(NarrowPath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    KTSetLoadSystemError(status, errno);
    return false;
  }
  size_t written = 0;
  while (written < size) {
    ssize_t put = ::write(fd, bytes + written, size - written);
    if (put < 0) {
      if (errno == EINTR)
        continue;
      int error = errno;
      ::close(fd);
      KTSetLoadSystemError(status, error);
      return false;
    }
    written += static_cast<size_t>(put);
  }
  if (::close(fd) != 0) {
    KTSetLoadSystemError(status, errno);
    return false;
  }
  return true;
}

// ---- KTUrlBuffer ----

namespace {

void FailTransfer(KTLoadStatus& status, const KTUrlRequest& request, const char16_t* what, const KTString& url) {
  KTString message = request.GetLastMessage();
  if (message.IsEmpty()) {
    message = what;
    message += KTUrlForMessage(url.View());
  }
  KTSetLoadError(status, KTLoadStatus::kFile, KTLoadStatus::kUrlTransferFailed, message);
}

}  // namespace

std::unique_ptr<char[]> KTUrlBuffer::LoadFromSource(KTDocumentSource* source, uint32_t& size,
                                                    KTLoadStatus& status) {
  size = 0;
  if (RefuseOtherKind(source, source && source->IsUrl(), status))
    return nullptr;
  auto* url = static_cast<KTUrlSource*>(source);
  KTUrlRequest request(url->GetUser(), url->GetPassword());
  request.SetInteractive(url->IsInteractive());
  request.SetAskCredentials(url->GetAskCredentials());
  request.SetUseCache(url->GetUseCache());
  if (!request.Read(url->GetUrl())) {
    FailTransfer(status, request, u"The URL could not be read: ", url->GetUrl());
    return nullptr;
  }
  uint64_t length = request.GetResponseSize();
  if (length > kMaxDocumentBytes) {
    KTSetLoadSystemError(status, EFBIG);
    return nullptr;
  }
  // The request's block is of another type; it is copied once into a block
  // of the buffer's own and freed right after.
  std::unique_ptr<unsigned char[]> response(request.TakeResponse(true));
  std::unique_ptr<char[]> block(new (std::nothrow) char[length + 1]);
  if (!block) {
    KTSetLoadSystemError(status, ENOMEM);
    return nullptr;
  }
  if (length)
    std::memcpy(block.get(), response.get(), length);
  size = static_cast<uint32_t>(length);
  url->SetCredentials(request.GetUser(), request.GetPassword());
  return block;
}

bool KTUrlBuffer::SaveToSource(KTDocumentSource* source, const char* bytes, uint32_t size, KTLoadStatus& status) {
  if (bytes == nullptr || RefuseOtherKind(source, source && source->IsUrl(), status))
    return false;
  auto* url = static_cast<KTUrlSource*>(source);
  const char16_t* verb = url->GetVerb().IsEmpty() ? u"PUT" : url->GetVerb().c_str();
  KTUrlRequest request(url->GetUser(), url->GetPassword());
  request.SetHeaders(url->GetHeaders());
  request.SetInteractive(url->IsInteractive());
  request.SetAskCredentials(url->GetAskCredentials());
  if (!request.Write(url->GetUrl(), reinterpret_cast<const unsigned char*>(bytes), size, verb,
                     url->GetContentType())) {
    FailTransfer(status, request, u"The URL could not be written: ", url->GetUrl());
    return false;
  }
  std::vector<char> answer;
  uint64_t length = request.GetResponseSize();
  std::unique_ptr<unsigned char[]> response(request.TakeResponse(true));
  if (response && length)
    answer.assign(response.get(), response.get() + length);
  url->SetResponse(std::move(answer));
  url->SetCredentials(request.GetUser(), request.GetPassword());
  return true;
}

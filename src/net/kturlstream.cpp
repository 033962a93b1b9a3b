// The URL stream over KTUrlRequest.
#include "net/kturlstream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/kterrorlogger.h"
#include "core/ktclassfactory.h"
#include "net/ktdelegatorstream.h"
#include "net/kturlrequest.h"

namespace {

bool urlStreamRegistered = false;

void MakeUrlStreamPrototype() { static KTUrlStreamImpl prototype; }
void MakeDelegatorStreamPrototype() { static KTDelegatorStreamImpl prototype; }

}  // namespace

// Hands classes 2 and 5 to the stream registry before main runs. Every
// program that links ost_net keeps this object file (the library's link
// options name the symbol), so the classes are there without a call.
extern "C" const bool ost_net_streams_registered = (RegisterNetStreamFactories(), true);

void RegisterNetStreamFactories() {
  SetStreamPrototypeMaker(kStreamClassUrl, &MakeUrlStreamPrototype);
  SetStreamPrototypeMaker(kStreamClassDelegator, &MakeDelegatorStreamPrototype);
}

void* CreateUrlStream() { return static_cast<YStream*>(new (std::nothrow) KTUrlStreamImpl()); }

KTUrlStreamImpl::KTUrlStreamImpl() {
  if (!urlStreamRegistered)
    urlStreamRegistered = GetClassFactoryRegistry()->Register(kStreamClassUrl, &CreateUrlStream);
}

KTUrlStreamImpl::~KTUrlStreamImpl() {
  int code = Close();
  if (code != kStreamOk) {
    LogError(code, u"The URL stream's data could not be sent", u"" __FILE__, __LINE__, 0);
  }
}

int KTUrlStreamImpl::Open(const char16_t* name, int mode) {
  if (mode_ != kStreamModeNone) return kStreamAlreadyOpen;
  if (!name || !*name) return kStreamNotFound;
  if (mode != kStreamModeRead && mode != kStreamModeWrite) return kStreamNotSupported;
  name_ = name;
  if (mode == kStreamModeRead) {
    KTUrlRequest request;
    request.SetUseCache(false);
    if (!request.Read(name_)) {
      name_ = u"";
      return kStreamNotFound;
    }
    data_.reset(request.TakeResponse(true));
    size_ = capacity_ = allocated_ = static_cast<int64_t>(request.GetResponseSize());
    position_ = 0;
    mode_ = kStreamModeRead;
    return kStreamOk;
  }
  data_.reset(new (std::nothrow) unsigned char[kWriteBlockStep]());
  if (!data_) {
    name_ = u"";
    return kStreamOutOfMemory;
  }
  capacity_ = allocated_ = kWriteBlockStep;
  size_ = position_ = 0;
  mode_ = kStreamModeWrite;
  return kStreamOk;
}

int KTUrlStreamImpl::Close() {
  if (mode_ == kStreamModeWrite) {
    KTUrlRequest request;
    request.SetInteractive(true);
    request.SetAskCredentials(true);
    if (!request.Write(name_, data_.get(), static_cast<uint64_t>(size_), u"PUT", u"text/xml"))
      return kStreamWriteFault;
  }
  data_.reset();
  name_ = u"";
  position_ = size_ = capacity_ = allocated_ = 0;
  mode_ = kStreamModeNone;
  return kStreamOk;
}

int KTUrlStreamImpl::Read(void* buffer, uint32_t& size) {
  if (mode_ != kStreamModeRead && mode_ != kStreamModeWrite) return kStreamInvalidAccess;
  int64_t n = position_ < size_ ? std::min<int64_t>(size, size_ - position_) : 0;
  if (n > 0) std::memcpy(buffer, data_.get() + position_, static_cast<size_t>(n));
  size = static_cast<uint32_t>(n);
  position_ += n;
  return kStreamOk;
}

int KTUrlStreamImpl::ReadLine(char16_t* buffer, uint32_t& count) {
  if (mode_ != kStreamModeRead && mode_ != kStreamModeReadWrite) return kStreamInvalidAccess;
  return ReadLineByRule(
      buffer, count, [this](char16_t& c) { return ReadChar(c); },
      [this](char16_t) { --position_; });
}

bool KTUrlStreamImpl::ReadChar(char16_t& c) {
  if ((mode_ != kStreamModeRead && mode_ != kStreamModeWrite) || position_ >= size_) return false;
  c = static_cast<char16_t>(data_[position_++]);
  return true;
}

int KTUrlStreamImpl::Write(const void* data, uint32_t& size) {
  if (mode_ != kStreamModeWrite) return kStreamInvalidAccess;
  int64_t needed = size_ + size;
  if (needed > capacity_) {
    int64_t steps = (needed - capacity_) / kWriteBlockStep + 1;
    int64_t capacity = capacity_ + steps * kWriteBlockStep;
    if (capacity > allocated_) {
      // Bytes past the size need no copy: a moved end zero-fills them.
      int64_t length = std::max(capacity, 2 * allocated_);
      std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[length]);
      if (!block) {
        length = capacity;
        block.reset(new (std::nothrow) unsigned char[length]);
      }
      if (!block) return kStreamOutOfMemory;
      if (size_) std::memcpy(block.get(), data_.get(), static_cast<size_t>(size_));
      data_ = std::move(block);
      allocated_ = length;
    }
    capacity_ = capacity;
  }
  if (size) std::memcpy(data_.get() + size_, data, size);
  size_ += size;
  return kStreamOk;
}

int KTUrlStreamImpl::WriteChar(char16_t c) {
  unsigned char bytes[2] = {static_cast<unsigned char>(c & 0xFF),
                            static_cast<unsigned char>(c >> 8)};
  uint32_t size = 2;
  return Write(bytes, size);
}

void KTUrlStreamImpl::SetEnd(int64_t end) {
  if (end > size_) std::memset(data_.get() + size_, 0, static_cast<size_t>(end - size_));
  size_ = end;
}

bool KTUrlStreamImpl::Seek(int32_t position) {
  if (mode_ != kStreamModeRead && mode_ != kStreamModeWrite) return false;
  bool writing = mode_ == kStreamModeWrite;
  switch (position) {
    case -1:
      position_ = 0;
      return true;
    case -2:
      position_ = size_;
      return true;
    case -3:
      if (!writing) return false;
      size_ = 0;
      return true;
    case -4:
      if (!writing) return false;
      SetEnd(capacity_);
      return true;
    default:
      if (position < 0) return false;
      if (writing) {
        if (position >= capacity_) return false;
        SetEnd(position);
        return true;
      }
      if (position >= size_) return false;
      position_ = position;
      return true;
  }
}

long KTUrlStreamImpl::GetSize() {
  if (mode_ == kStreamModeWrite) return static_cast<long>(capacity_);
  if (mode_ == kStreamModeRead) return static_cast<long>(size_);
  return -1;
}

int KTUrlStreamImpl::GetName(char16_t* buffer, int max) { return -1; }

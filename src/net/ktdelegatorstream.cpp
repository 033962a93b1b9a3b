// The delegating stream and its process-wide list of remembered folders.
#include "net/ktdelegatorstream.h"

#include <new>
#include <vector>

#include "core/ktclassfactory.h"
#include "core/kterrorlogger.h"
#include "core/ktstring.h"
#include "platform/ktwchar.h"

namespace {

bool delegatorRegistered = false;

// Shared by all delegating streams; only grows, never holds a folder twice.
std::vector<KTString>& RememberedFolders() {
  static std::vector<KTString> folders;
  return folders;
}

// Runs one operation, turning a raised KTComError into its code after
// logging it.
template <typename Fn>
int Guarded(Fn fn) {
  try {
    return fn();
  } catch (const KTComError& error) {
    LogError(error.Error(), u"Method Call Failed", u"" __FILE__, __LINE__, 0);
    return error.Error();
  }
}

}  // namespace

void* CreateDelegatorStream() {
  return static_cast<YStream*>(new (std::nothrow) KTDelegatorStreamImpl());
}

KTDelegatorStreamImpl::KTDelegatorStreamImpl() {
  if (!delegatorRegistered) {
    delegatorRegistered =
        GetClassFactoryRegistry()->Register(kStreamClassDelegator, &CreateDelegatorStream);
  }
}

KTDelegatorStreamImpl::~KTDelegatorStreamImpl() {
  int code = Close();
  if (code != kStreamOk)
    LogError(code, u"The delegating stream could not be closed", u"" __FILE__, __LINE__, 0);
}

int KTDelegatorStreamImpl::Open(const char16_t* name, int mode) {
  return Guarded([&]() -> int {
    // Opening again would lose the inner stream: refuse as the inner streams do.
    if (inner_) return kStreamAlreadyOpen;
    if (!name || !*name) return kStreamInvalidData;
    int classId = KTStrStr(name, u"://") ? kStreamClassUrl : kStreamClassFile;
    YStream* created = CreateStreamById(classId);
    if (!created) return kCannotCreate;
    inner_.reset(created);
    int result;
    // A name from the root ("/data/a.xml") is a full name on this system, so
    // it is opened as it is and its folder remembered.
    if (KTString(name).IsRelativePath(true)) {
      result = OpenInRememberedFolders(name, mode);
      if (result != kStreamOk) result = inner_->Open(name, mode);
    } else {
      result = OpenAndRememberFolder(name, mode);
    }
    if (result != kStreamOk) {
      inner_.reset();
      return kInnerOpenFailed;
    }
    return kStreamOk;
  });
}

int KTDelegatorStreamImpl::OpenInRememberedFolders(const char16_t* name, int mode) {
  const std::vector<KTString>& folders = RememberedFolders();
  if (folders.empty() || !inner_) return kNotFoundInFolders;
  const char16_t* relative = (name[0] == u'/' || name[0] == u'\\') ? name + 1 : name;
  for (const KTString& folder : folders) {
    if (inner_->Open(folder + relative, mode) == kStreamOk) return kStreamOk;
  }
  return kNotFoundInFolders;
}

int KTDelegatorStreamImpl::OpenAndRememberFolder(const char16_t* name, int mode) {
  if (!inner_) return kNoInnerStream;
  int result = inner_->Open(name, mode);
  if (result != kStreamOk) return result;
  KTString folder = KTString(name).GetFolder(true);
  int length = folder.GetLength();
  if (length == 0 || (folder[length - 1] != u'/' && folder[length - 1] != u'\\')) folder += u"/";
  std::vector<KTString>& folders = RememberedFolders();
  for (const KTString& known : folders)
    if (known == folder) return kStreamOk;
  if (static_cast<int>(folders.size()) < kMaxRememberedFolders) folders.push_back(folder);
  return kStreamOk;
}

int KTDelegatorStreamImpl::Close() {
  return Guarded([&]() -> int {
    if (!inner_) return kStreamOk;
    int code = inner_->Close();
    if (code == kStreamOk) inner_.reset();
    return code;
  });
}

int KTDelegatorStreamImpl::Read(void* buffer, uint32_t& size) {
  return Guarded([&] { return inner_ ? inner_->Read(buffer, size) : kNoInnerStream; });
}

int KTDelegatorStreamImpl::ReadLine(char16_t* buffer, uint32_t& count) {
  return Guarded([&] { return inner_ ? inner_->ReadLine(buffer, count) : kStreamInvalidAccess; });
}

bool KTDelegatorStreamImpl::ReadChar(char16_t& c) {
  try {
    return inner_ && inner_->ReadChar(c);
  } catch (const KTComError& error) {
    LogError(error.Error(), u"Method Call Failed", u"" __FILE__, __LINE__, 0);
    return false;
  }
}

int KTDelegatorStreamImpl::Write(const void* data, uint32_t& size) {
  return Guarded([&] { return inner_ ? inner_->Write(data, size) : kNoInnerStream; });
}

int KTDelegatorStreamImpl::WriteChar(char16_t c) {
  return Guarded([&] { return inner_ ? inner_->WriteChar(c) : kNoInnerStream; });
}

bool KTDelegatorStreamImpl::Seek(int32_t position) {
  try {
    return inner_ && inner_->Seek(position);
  } catch (const KTComError& error) {
    LogError(error.Error(), u"Method Call Failed", u"" __FILE__, __LINE__, 0);
    return false;
  }
}

long KTDelegatorStreamImpl::GetSize() {
  try {
    return inner_ ? inner_->GetSize() : -1;
  } catch (const KTComError& error) {
    LogError(error.Error(), u"Method Call Failed", u"" __FILE__, __LINE__, 0);
    return -1;
  }
}

int KTDelegatorStreamImpl::GetName(char16_t* buffer, int max) { return -1; }

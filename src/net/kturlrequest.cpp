// The URL request's object, options and preparation, and the fetch: HTTP and
// HTTPS through the HTTP exchange, FTP through the FTP download, everything
// else through the internet session's URL open.
#include "net/kturlrequest.h"

#include "net/ktchunklist.h"
#include "net/ktcredentialcache.h"
#include "platform/inet/ktinternetsession.h"
#include "platform/ktutf8.h"

KTUrlRequest::KTUrlRequest() { Reset(); }

KTUrlRequest::KTUrlRequest(const char16_t* user, const char16_t* password) {
  Reset();
  SetCredentials(user, password);
}

KTUrlRequest::~KTUrlRequest() = default;

void KTUrlRequest::Reset() {
  useCache_ = true;
  interactive_ = true;
  askCredentials_ = true;
  userGiven_ = false;
  passwordGiven_ = false;
  response_.reset();
  responseLength_ = 0;
}

bool KTUrlRequest::SetCredentials(const char16_t* user, const char16_t* password) {
  user_ = user;
  password_ = password;
  userGiven_ = true;
  passwordGiven_ = true;
  return true;
}

void KTUrlRequest::SetHeaders(const std::vector<KTString>& lines) {
  if (&lines != &headers_) headers_ = lines;
}

unsigned char* KTUrlRequest::TakeResponse(bool detach) {
  return detach ? response_.release() : response_.get();
}

int KTUrlRequest::ShowMessage(const char16_t* text, unsigned type, unsigned helpId) {
  if (interactive_) KTWriteConsole(stderr, std::u16string(text ? text : u"") + u"\n");
  return 1;
}

void KTUrlRequest::OnProgress(uint64_t* totalLength, uint64_t* doneLength,
                              uint32_t progressContext) {}

void KTUrlRequest::ReportWithReason(unsigned id, KTString text, const KTString& reason) {
  if (!reason.IsEmpty()) {
    text += u": ";
    text += reason;
  }
  lastMessageId_ = id;
  lastMessage_ = text;
  ShowMessage(lastMessage_);
}

bool KTUrlRequest::PrepareRequest(const char16_t* url, KTString& proxyUser,
                                  KTString& proxyPassword, uint32_t& openFlags) {
  if (userGiven_) effectiveUser_ = user_;
  if (passwordGiven_) effectivePassword_ = password_;
  try {
    openFlags = useCache_ ? kOpenFlags : kOpenFlagsNoCache;
    std::u16string server, object;
    uint16_t port = 0;
    uint32_t service = kInetServiceUnknown;
    bool split = ParseURL(url, service, server, object, port);
    service_ = service;
    if (!split) {
      Report(kMsgUrlCannotSplit, KTUrlForMessage(url ? url : u""));
      return false;
    }
    server_ = KTString(std::u16string_view(server));
    object_ = KTString(std::u16string_view(object));
    port_ = port;
    if (effectiveUser_.IsEmpty() && effectivePassword_.IsEmpty()) {
      if (const KTCredentialEntry* entry =
              KTCredentialCache::Global().Find({service_, server_, port_})) {
        effectiveUser_ = entry->user;
        effectivePassword_ = entry->password;
        proxyUser = entry->proxyUser;
        proxyPassword = entry->proxyPassword;
      }
    }
    return true;
  } catch (const KTPlatformException& e) {
    KTString text(std::u16string_view(e.GetErrorText()));
    if (text.IsEmpty()) Report(kMsgUrlOpenFailed, KTUrlForMessage(url));
    else Report(kMsgUrlOpenFailedText, KTUrlForMessage(url), text);
    return false;
  }
}

void KTUrlRequest::RememberCredentials(const char16_t* proxyUser, const char16_t* proxyPassword) {
  if (effectiveUser_.IsEmpty() || effectivePassword_.IsEmpty()) return;
  KTCredentialCache::Global().Store({service_, server_, port_},
                                    {effectiveUser_, effectivePassword_, KTString(proxyUser),
                                     KTString(proxyPassword)});
  user_ = effectiveUser_;
  password_ = effectivePassword_;
}

bool KTUrlRequest::Read(const char16_t* url) {
  KTString proxyUser, proxyPassword;
  uint32_t openFlags = 0;
  if (!PrepareRequest(url, proxyUser, proxyPassword, openFlags)) return false;
  bool result;
  if (service_ == kInetServiceHttp || service_ == kInetServiceHttps) {
    KTString headers = u"Accept: */*\r\nUser-Agent: ";
    headers += KTInternetApplicationName();
    headers += u"\r\n";
    result = SendHttpRequest(u"GET", headers, openFlags, proxyUser, proxyPassword, 0, false,
                             nullptr, 0);
  } else if (service_ == kInetServiceFtp) {
    result = FtpRequest(0, nullptr, 0);
  } else {
    result = ReadGeneric(url, openFlags);
  }
  if (result && response_) RememberCredentials(proxyUser, proxyPassword);
  return result;
}

bool KTUrlRequest::ReadGeneric(const char16_t* url, uint32_t openFlags) {
  KTInternetSession session(nullptr, 1, kInetOpenTypePreconfig, nullptr, nullptr, 0);
  bool result = false;
  try {
    std::unique_ptr<KTStdioFile> file = session.OpenURL(url, 1, openFlags, nullptr);
    if (!file) {
      Report(kMsgUrlCannotSplit, KTUrlForMessage(url));
      return false;
    }
    responseLength_ = 0;
    uint64_t total = file->GetLength();
    const uint64_t limit = KTGetInternetLimits().maxResponseBytes;
    KTChunkList chunks;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBodyBlockBytes]);
    while (unsigned n = file->Read(buffer.get(), kBodyBlockBytes)) {
      if (responseLength_ + n > limit) throw KTResponseTooLargeException(1);
      chunks.Append(buffer.get(), n, true);
      responseLength_ += n;
      OnProgress(&total, &responseLength_, 0);
    }
    response_.reset(chunks.Flatten());
    result = true;
  } catch (const KTPlatformException& e) {
    KTString text(std::u16string_view(e.GetErrorText()));
    if (text.IsEmpty()) Report(kMsgUrlOpenFailed, KTUrlForMessage(url));
    else Report(kMsgUrlOpenFailedText, KTUrlForMessage(url), text);
    result = false;
  }
  return result;
}

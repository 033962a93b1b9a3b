// The URL request's sending half and the exchanges both halves share: the
// HTTP and HTTPS exchange with its status and credential handling, the
// reading of an answer body, and the FTP operations with their login retry.
#include "net/kturlrequest.h"

#include "net/ktchunklist.h"
#include "net/ktcredentialcache.h"
#include "platform/inet/ktinternetsession.h"
#include "platform/ktutf8.h"

namespace {

KTString ToKT(const std::u16string& text) { return KTString(std::u16string_view(text)); }

// Sets a text option of the connection from UTF-8 bytes, so that no
// character of a non-ASCII name or password is cut.
void SetTextOption(KTInternetConnection& connection, uint32_t option, const KTString& value) {
  std::string bytes = KTUtf16ToUtf8(value.View());
  connection.SetOption(option, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool IsLoginFailure(uint32_t error) {
  return error == kInetErrorIncorrectUserName || error == kInetErrorIncorrectPassword ||
         error == kInetErrorLoginFailure;
}

}  // namespace

bool KTUrlRequest::Write(const char16_t* url, const unsigned char* data, uint64_t size,
                         const char16_t* verb, const char16_t* contentType) {
  KTString proxyUser, proxyPassword;
  uint32_t openFlags = 0;
  if (!PrepareRequest(url, proxyUser, proxyPassword, openFlags)) return false;
  bool result = false;
  if (service_ == kInetServiceHttp || service_ == kInetServiceHttps) {
    KTString headers = u"Content-Type: ";
    headers += contentType;
    headers += u"\r\nUser-Agent: ";
    headers += KTInternetApplicationName();
    headers += u"\r\n";
    result = SendHttpRequest(verb, headers, openFlags, proxyUser, proxyPassword, 1, true, data,
                             size);
  } else if (service_ == kInetServiceFile) {
    result = WriteFile(url, data, size);
  } else if (service_ == kInetServiceFtp) {
    result = FtpRequest(2, data, size);
  }
  if (result) RememberCredentials(proxyUser, proxyPassword);
  return result;
}

bool KTUrlRequest::WriteFile(const char16_t* url, const unsigned char* data, uint64_t size) {
  try {
    KTCheckLocalFileHost(1, std::u16string(server_.View()));
    KTStdioFile file(KTInternetUnescape(object_.View()),
                     KTStdioFile::kModeCreate | KTStdioFile::kModeWrite);
    uint64_t done = 0;
    while (done < size) {
      unsigned n = static_cast<unsigned>(std::min<uint64_t>(size - done, 1u << 30));
      file.Write(data + done, n);
      done += n;
    }
    file.Close();
    return true;
  } catch (const KTPlatformException& e) {
    KTString text = ToKT(e.GetErrorText());
    if (text.IsEmpty()) Report(kMsgFileUrlWriteFailed, KTUrlForMessage(url));
    else Report(kMsgFileUrlWriteFailedText, KTUrlForMessage(url), text);
    return false;
  }
}

bool KTUrlRequest::SendHttpRequest(KTString verb, KTString headers, uint32_t openFlags,
                                   KTString& proxyUser, KTString& proxyPassword,
                                   uint32_t progressContext, bool terminateBody,
                                   const unsigned char* data, uint64_t size) {
  bool firstProxyPrompt = true;
  KTInternetSession session(nullptr, 1, kInetOpenTypePreconfig, nullptr, nullptr, 0);
  std::unique_ptr<KTHttpConnection> connection;
  std::unique_ptr<KTHttpFile> request;
  try {
    connection = session.GetHttpConnection(server_, port_,
                                           effectiveUser_.IsEmpty() ? nullptr : effectiveUser_.c_str(),
                                           effectivePassword_);
    if (!connection) {
      Report(kMsgHttpNoConnection, server_);
      return false;
    }
    for (const KTString& line : headers_) {
      headers += line;
      headers += u"\r\n";
    }
    uint32_t flags = openFlags | (service_ == kInetServiceHttps ? kInetFlagSecure : 0);
    request = connection->OpenRequest(verb, object_, nullptr, 1, nullptr, u"HTTP/1.1", flags);
    if (!request) {
      Report(kMsgHttpNoRequest, verb, object_, server_);
      return false;
    }
    request->AddRequestHeaders(std::u16string(headers.View()), kHttpAddReqFlagAddIfNew);
    if (!proxyUser.IsEmpty()) {
      SetTextOption(*connection, kInetOptionProxyUsername, proxyUser);
      SetTextOption(*connection, kInetOptionProxyPassword, proxyPassword);
    }
    // A status that cannot be had counts as 0, which is a failure.
    uint32_t status = 0;
    auto send = [&] {
      request->SendRequest(nullptr, data, size);
      status = 0;
      if (!request->QueryInfoStatusCode(status)) status = 0;
    };
    send();
    while ((status == 401 || status == 407) && askCredentials_ && interactive_) {
      KTProxyPasswordDialog dialog(status == 407);
      dialog.server = server_;
      dialog.objectPath = object_;
      dialog.user = effectiveUser_;
      dialog.password = effectivePassword_;
      int answer = dialog.DoModal();
      if (answer != kDialogOk) {
        // A prompt that could not be shown told the user nothing: say why
        // the request failed. One the user cancelled needs no message.
        if (answer == kDialogUnavailable) Report(kMsgHttpStatus, verb, object_, server_, status);
        return false;
      }
      if (status == 407) {
        proxyUser = dialog.user;
        proxyPassword = dialog.password;
        SetTextOption(*connection, kInetOptionProxyUsername, proxyUser);
        SetTextOption(*connection, kInetOptionProxyPassword, proxyPassword);
        send();
        if (firstProxyPrompt) {
          // After the first proxy prompt the new status may prompt once more.
          firstProxyPrompt = false;
          continue;
        }
      } else {
        effectiveUser_ = dialog.user;
        effectivePassword_ = dialog.password;
        SetTextOption(*connection, kInetOptionUsername, effectiveUser_);
        SetTextOption(*connection, kInetOptionPassword, effectivePassword_);
        send();
      }
      break;
    }
    bool success = status >= 200 && status <= 299;
    if (success || status == 500) ReadResponseBody(*request, progressContext, terminateBody);
    if (!success) {
      if (verb == u"MKCOL") Report(kMsgMkcolStatus, object_, server_, status);
      else Report(kMsgHttpStatus, verb, object_, server_, status);
    }
    return success;
  } catch (const KTPlatformException& e) {
    KTString text = ToKT(e.GetErrorText());
    if (text.IsEmpty()) Report(kMsgHttpFailed, verb, object_);
    else Report(kMsgHttpFailedText, verb, object_, text);
    return false;
  }
}

void KTUrlRequest::ReadResponseBody(KTHttpFile& request, uint32_t progressContext,
                                    bool terminateBody) {
  response_.reset();
  uint64_t available = request.GetLength();
  responseLength_ = 0;
  KTChunkList chunks;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBodyBlockBytes]);
  while (unsigned n = request.Read(buffer.get(), kBodyBlockBytes)) {
    chunks.Append(buffer.get(), n, true);
    uint64_t block = n;
    OnProgress(&available, &block, progressContext);
    responseLength_ += n;
  }
  if (terminateBody && responseLength_ > 0) chunks.Append("", 1, true);
  response_.reset(chunks.Flatten());
}

bool KTUrlRequest::FtpRequest(int operation, const unsigned char* data, uint64_t size) {
  KTInternetSession session(nullptr, 1, kInetOpenTypePreconfig, nullptr, nullptr, 0);
  // The object path is percent-encoded as in the URL; the server wants the
  // file's own name.
  std::u16string name = KTInternetUnescape(object_.View());
  for (;;) {
    std::unique_ptr<KTFtpConnection> connection;
    bool connected = false;
    try {
      connection = session.GetFtpConnection(
          server_, effectiveUser_.IsEmpty() ? nullptr : effectiveUser_.c_str(),
          effectivePassword_, port_, false);
      if (!connection) {
        Report(kMsgFtpNoConnection, server_);
        return false;
      }
      connected = true;
      switch (operation) {
        case 0: {
          std::unique_ptr<KTInternetFile> file =
              connection->OpenFile(name.c_str(), kGenericRead, kFtpTransferTypeBinary, 1);
          if (!file) {
            Report(kMsgFtpCannotRead, object_, server_);
            return false;
          }
          uint64_t available = file->GetLength();
          responseLength_ = 0;
          KTChunkList chunks;
          std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBodyBlockBytes]);
          while (unsigned n = file->Read(buffer.get(), kBodyBlockBytes)) {
            chunks.Append(buffer.get(), n, true);
            OnProgress(&available, &responseLength_, 0);
            responseLength_ += n;
          }
          response_.reset(chunks.Flatten());
          return true;
        }
        case 1: {
          KTFtpFileFind find(connection.get(), 1);
          std::u16string listing;
          bool more = find.FindFile(name.c_str(), kInetFlagReload);
          while (more) {
            more = find.FindNextFile();
            listing += find.MatchesMask(kFileAttributeDirectory) ? u"D" : u"F";
            listing += find.GetFileName();
            listing += u"\n";
          }
          if (listing.empty()) return false;
          std::string bytes = KTUtf16ToUtf8(listing);
          response_.reset(new unsigned char[bytes.size() + 1]);
          std::copy(bytes.begin(), bytes.end(), response_.get());
          response_[bytes.size()] = 0;
          responseLength_ = bytes.size();
          return true;
        }
        case 2: {
          std::unique_ptr<KTInternetFile> file =
              connection->OpenFile(name.c_str(), kGenericWrite, kFtpTransferTypeBinary, 1);
          if (!file) {
            Report(kMsgFtpCannotWrite, object_, server_);
            return false;
          }
          uint64_t done = 0;
          while (done < size) {
            unsigned n = static_cast<unsigned>(std::min<uint64_t>(size - done, 1u << 30));
            file->Write(data + done, n);
            done += n;
          }
          file->Flush();
          file->Close();
          return true;
        }
        case 3: {
          bool removed = !name.empty() && name.back() == u'/'
                             ? connection->RemoveDirectory(name.c_str())
                             : connection->Remove(name.c_str());
          if (!removed && KTInternetGetLastError() == kInetErrorExtended)
            removed = connection->RemoveDirectory(name.c_str());
          if (!removed)
            Report(kMsgFtpCannotRemove, object_, server_, KTInternetGetLastError());
          return removed;
        }
        case 4: {
          bool made = connection->CreateDirectory(name.c_str());
          if (!made) Report(kMsgFtpCannotMakeFolder, object_, server_);
          return made;
        }
        default:
          Report(kMsgFtpNoConnection, server_);
          return false;
      }
    } catch (const KTInternetException& e) {
      KTString reason = ToKT(e.GetErrorText());
      if (IsLoginFailure(e.GetErrorCode())) {
        if (askCredentials_ && interactive_) {
          KTProxyPasswordDialog dialog(false);
          dialog.server = server_;
          dialog.objectPath = object_;
          dialog.user = effectiveUser_;
          dialog.password = effectivePassword_;
          int answer = dialog.DoModal();
          if (answer == kDialogOk) {
            effectiveUser_ = dialog.user;
            effectivePassword_ = dialog.password;
            continue;  // a new attempt with the same session
          }
          if (answer != kDialogUnavailable) return false;  // cancelled by the user
        }
        ReportWithReason(kMsgFtpNoConnection, KTFormatNetMessage(kMsgFtpNoConnection, server_),
                         reason);
        return false;
      }
      // Say what failed and why, by the step that failed.
      if (!connected) {
        ReportWithReason(kMsgFtpNoConnection, KTFormatNetMessage(kMsgFtpNoConnection, server_),
                         reason);
      } else if (operation == 2) {
        ReportWithReason(kMsgFtpCannotWrite,
                         KTFormatNetMessage(kMsgFtpCannotWrite, object_, server_), reason);
      } else {
        ReportWithReason(kMsgFtpCannotRead,
                         KTFormatNetMessage(kMsgFtpCannotRead, object_, server_), reason);
      }
      return false;
    }
  }
}

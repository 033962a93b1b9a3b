// KTUrlRequest: one transfer of a whole document between the program and a
// URL. Read fetches http, https, ftp, gopher and file URLs into the response
// block; Write sends a block with a verb (HTTP, HTTPS), as a file (file URLs)
// or as an upload (FTP). Failures are reported as messages 7700-7715 and a
// false result; credentials come from the caller, the credential cache or
// the credentials prompt, and those that worked are remembered.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/ktstring.h"
#include "net/ktnetmessages.h"

class KTHttpFile;

class KTUrlRequest {
 public:
  KTUrlRequest();
  KTUrlRequest(const char16_t* user, const char16_t* password);
  virtual ~KTUrlRequest();
  KTUrlRequest(const KTUrlRequest&) = delete;
  KTUrlRequest& operator=(const KTUrlRequest&) = delete;

  // Size of the body blocks read from a transfer. Larger than the 1 KiB
  // blocks of old, so that documents of 100 MB arrive in few pieces.
  static constexpr unsigned kBodyBlockBytes = 64 * 1024;

  // Open flags computed by PrepareRequest.
  static constexpr uint32_t kOpenFlags = 0x00400002;        // binary, keep connection
  static constexpr uint32_t kOpenFlagsNoCache = 0x80400002;  // the same and reload

  void SetInteractive(bool on) { interactive_ = on; }
  void SetAskCredentials(bool on) { askCredentials_ = on; }
  void SetUseCache(bool on) { useCache_ = on; }
  // The user name and password become copies of the texts (null: empty) and
  // count as given; always true.
  bool SetCredentials(const char16_t* user, const char16_t* password);
  // Extra header lines (no line ends) sent after the built-in ones.
  void SetHeaders(const std::vector<KTString>& lines);
  // The given credentials; after a transfer whose credentials were
  // remembered, the credentials that worked.
  KTString GetUser() const { return user_; }
  KTString GetPassword() const { return password_; }

  // The body of the last transfer, or null. With detach the caller owns it
  // and frees it with delete[]; without, the request keeps it.
  unsigned char* TakeResponse(bool detach);
  uint64_t GetResponseSize() const { return responseLength_; }

  // The last message reported (0 and empty when none), shown or not.
  unsigned GetLastMessageId() const { return lastMessageId_; }
  const KTString& GetLastMessage() const { return lastMessage_; }

  // Interactive: writes the text to stderr (there are no message boxes);
  // otherwise shows nothing. Returns 1 (OK).
  int ShowMessage(const char16_t* text, unsigned type = 0, unsigned helpId = 0);

  // Fetches the URL; true when the document arrived.
  bool Read(const char16_t* url);
  // Sends size bytes of data to the URL; true when they reached it.
  bool Write(const char16_t* url, const unsigned char* data, uint64_t size, const char16_t* verb,
             const char16_t* contentType);

  // The steps that Read and Write are made of.
  bool PrepareRequest(const char16_t* url, KTString& proxyUser, KTString& proxyPassword,
                      uint32_t& openFlags);
  void RememberCredentials(const char16_t* proxyUser, const char16_t* proxyPassword);
  bool SendHttpRequest(KTString verb, KTString headers, uint32_t openFlags, KTString& proxyUser,
                       KTString& proxyPassword, uint32_t progressContext, bool terminateBody,
                       const unsigned char* data, uint64_t size);
  void ReadResponseBody(KTHttpFile& request, uint32_t progressContext, bool terminateBody);
  // 0 download, 1 list, 2 upload, 3 delete, 4 make folder.
  bool FtpRequest(int operation, const unsigned char* data, uint64_t size);

  // Called after each body block; does nothing here.
  virtual void OnProgress(uint64_t* totalLength, uint64_t* doneLength, uint32_t progressContext);

  // What PrepareRequest cracked from the URL.
  uint32_t GetService() const { return service_; }
  const KTString& GetServerName() const { return server_; }
  const KTString& GetObjectPath() const { return object_; }
  uint16_t GetPort() const { return port_; }

 private:
  void Reset();
  // Formats the message, records it and shows it.
  template <typename... Args>
  void Report(unsigned id, const Args&... args);
  // Records and shows the formatted text of id, followed by ": " and the
  // reason when there is one.
  void ReportWithReason(unsigned id, KTString text, const KTString& reason);
  bool ReadGeneric(const char16_t* url, uint32_t openFlags);
  bool WriteFile(const char16_t* url, const unsigned char* data, uint64_t size);

  uint64_t responseLength_ = 0;
  std::vector<KTString> headers_;
  bool useCache_ = true;
  bool interactive_ = true;
  bool askCredentials_ = true;
  bool userGiven_ = false;
  bool passwordGiven_ = false;
  KTString user_;
  KTString password_;
  KTString effectiveUser_;
  KTString effectivePassword_;
  uint32_t service_ = 0;
  KTString server_;
  KTString object_;
  uint16_t port_ = 0;
  std::unique_ptr<unsigned char[]> response_;
  unsigned lastMessageId_ = 0;
  KTString lastMessage_;
};

template <typename... Args>
void KTUrlRequest::Report(unsigned id, const Args&... args) {
  lastMessageId_ = id;
  lastMessage_ = KTFormatNetMessage(id, args...);
  ShowMessage(lastMessage_);
}

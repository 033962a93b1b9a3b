// The internet session and its connections: ParseURL cracks a URL into service,
// server, object and port; KTInternetSession opens URLs and makes HTTP and FTP
// connections, whose files (ktinternetfile.h) carry the transfers. Failures
// that leave no object throw KTInternetException.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/inet/ktinetdefs.h"
#include "platform/inet/ktinternetexception.h"
#include "platform/inet/ktinternetfile.h"

class KTCurlTransfer;

// Splits a URL. service becomes kInetServiceUnknown first; a null URL or one
// that cannot be cracked gives false. Characters that a URL may not hold as
// they are (spaces, controls, non-ASCII) are percent-encoded and '\' in the
// path becomes '/'. The object is the path with its query, still
// percent-encoded; the port is the scheme's default when the URL names none
// (0 for file, mailto and news URLs).
bool ParseURL(const char16_t* url, uint32_t& service, std::u16string& server,
              std::u16string& object, uint16_t& port);

// Decodes %XX escapes (as UTF-8); a '%' not followed by two hex digits stays.
std::u16string KTInternetUnescape(std::u16string_view text);

// True when the host of a file URL names this machine: empty or "localhost"
// (in any case).
bool KTIsLocalFileHost(std::u16string_view host);
// Throws KTInternetException 12005 naming the host unless KTIsLocalFileHost:
// a file URL on another machine is refused, never read as a local path.
void KTCheckLocalFileHost(uint32_t context, const std::u16string& host);

// The name that stands for the application: the default agent of a session.
const char16_t* KTInternetApplicationName();

class KTHttpConnection;
class KTFtpConnection;

class KTInternetSession {
 public:
  // agent null: the application's name. Access type kInetOpenTypePreconfig
  // takes the proxy from the environment (http_proxy, https_proxy, no_proxy),
  // kInetOpenTypeDirect uses none, kInetOpenTypeProxy uses proxyName.
  explicit KTInternetSession(const char16_t* agent = nullptr, uint32_t context = 1,
                             uint32_t accessType = kInetOpenTypePreconfig,
                             const char16_t* proxyName = nullptr,
                             const char16_t* proxyBypass = nullptr, uint32_t flags = 0);
  virtual ~KTInternetSession();
  KTInternetSession(const KTInternetSession&) = delete;
  KTInternetSession& operator=(const KTInternetSession&) = delete;

  virtual void Close();

  // Opens a URL for reading and receives it whole. A file URL gives a local
  // KTStdioFile (KTFileException when it cannot be opened; KTInternetException
  // 12005 when it names another host); http and https a
  // KTHttpFile holding the answer whatever its status; ftp a KTInternetFile;
  // gopher a KTGopherFile. Other schemes, and network failures, throw
  // KTInternetException. context 1 stands for the session's own context.
  std::unique_ptr<KTStdioFile> OpenURL(const char16_t* url, uint32_t context = 1,
                                       uint32_t flags = kInetFlagTransferAscii,
                                       const char16_t* headers = nullptr);

  // The HTTP connection makes no network access until a request is sent.
  std::unique_ptr<KTHttpConnection> GetHttpConnection(const char16_t* server, uint16_t port = 0,
                                                      const char16_t* user = nullptr,
                                                      const char16_t* password = nullptr);
  // The FTP connection logs in while it is made: a refused login throws
  // KTInternetException 12015, a closed port 12029, a silent server 12002.
  // Without a user name the login is anonymous.
  std::unique_ptr<KTFtpConnection> GetFtpConnection(const char16_t* server,
                                                    const char16_t* user = nullptr,
                                                    const char16_t* password = nullptr,
                                                    uint16_t port = 0, bool passive = false);

  uint32_t GetContext() const { return context_; }
  bool IsOpen() const { return open_; }
  // Applies the session's agent and proxy settings to a transfer.
  void ApplySettings(KTCurlTransfer& transfer) const;

 private:
  uint32_t context_;
  uint32_t accessType_;
  std::string agent_;
  std::string proxyName_;
  std::string proxyBypass_;
  bool open_ = true;
};

class KTInternetConnection {
 public:
  virtual ~KTInternetConnection();
  KTInternetConnection(const KTInternetConnection&) = delete;
  KTInternetConnection& operator=(const KTInternetConnection&) = delete;

  virtual void Close();

  const std::u16string& GetServerName() const { return server_; }
  uint16_t GetPort() const { return port_; }
  uint32_t GetContext() const { return context_; }
  KTInternetSession* GetSession() const { return session_; }

  // Sets kInetOptionUsername, kInetOptionPassword, kInetOptionProxyUsername or
  // kInetOptionProxyPassword from buffer, which holds length bytes of UTF-8
  // text. False for any other option (the last error is then 12009).
  bool SetOption(uint32_t option, const void* buffer, uint32_t length, uint32_t flags = 0);

  // The credentials in effect, as UTF-8.
  const std::string& User() const { return user_; }
  const std::string& Password() const { return password_; }
  const std::string& ProxyUser() const { return proxyUser_; }
  const std::string& ProxyPassword() const { return proxyPassword_; }

 protected:
  KTInternetConnection(KTInternetSession* session, const char16_t* server, uint16_t port,
                       uint32_t context, const char16_t* user, const char16_t* password);

  KTInternetSession* session_;  // not owned; outlives the connection
  std::u16string server_;
  uint16_t port_;
  uint32_t context_;
  bool open_ = true;
  std::string user_;
  std::string password_;
  std::string proxyUser_;
  std::string proxyPassword_;
};

class KTHttpConnection : public KTInternetConnection {
 public:
  // port 0: the default port of the scheme that each request uses.
  KTHttpConnection(KTInternetSession* session, const char16_t* server, uint16_t port,
                   const char16_t* user, const char16_t* password, uint32_t context);

  // verb null: "GET"; version null: "HTTP/1.0"; kInetFlagSecure in flags makes
  // an https request. context 1 stands for the connection's own context. The
  // connection must outlive the request.
  std::unique_ptr<KTHttpFile> OpenRequest(const char16_t* verb, const char16_t* object,
                                          const char16_t* referer = nullptr, uint32_t context = 1,
                                          const char16_t** acceptTypes = nullptr,
                                          const char16_t* version = nullptr, uint32_t flags = 0);
};

class KTFtpConnection : public KTInternetConnection {
 public:
  // Connects and logs in; see KTInternetSession::GetFtpConnection.
  KTFtpConnection(KTInternetSession* session, const char16_t* server, const char16_t* user,
                  const char16_t* password, uint16_t port, bool passive, uint32_t context);
  ~KTFtpConnection() override;

  // kGenericRead: the file is received whole and read from memory; otherwise
  // a file in write mode whose bytes are stored on Flush and Close. A file that
  // cannot be received throws KTInternetException (12003 with the server's
  // reply). context 1 stands for the connection's own context.
  std::unique_ptr<KTInternetFile> OpenFile(const char16_t* name, uint32_t access = kGenericRead,
                                           uint32_t flags = kFtpTransferTypeBinary,
                                           uint32_t context = 1);

  // These report by their result; the reason stays in KTInternetGetLastError
  // and KTInternetGetLastResponseInfo.
  bool Remove(const char16_t* name);
  bool CreateDirectory(const char16_t* name);
  bool RemoveDirectory(const char16_t* name);

  // Transfers on the logged-in connection, used by the FTP files.
  void Download(const std::u16string& name, uint32_t flags, std::vector<unsigned char>& body);
  void Upload(const std::u16string& name, uint32_t flags, const std::vector<unsigned char>& data);
  void List(const std::u16string& folder, std::vector<unsigned char>& listing);

 private:
  std::string UrlFor(const std::u16string& name) const;
  void PrepareTransfer(const std::string& url);
  bool Command(const std::string& command);

  bool passive_;
  std::unique_ptr<KTCurlTransfer> transfer_;
};

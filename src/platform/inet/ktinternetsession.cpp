// URL cracking, the internet session and the HTTP and FTP connections over
// libcurl.
#include "platform/inet/ktinternetsession.h"

#include "platform/inet/ktcurlapi.h"

#include "platform/inet/ktcurltransfer.h"
#include "platform/ktutf8.h"

namespace {

std::string ToUtf8(const char16_t* text) {
  return text ? KTUtf16ToUtf8(std::u16string_view(text)) : std::string();
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

uint32_t ServiceOfScheme(const std::string& scheme) {
  if (scheme == "ftp") return kInetServiceFtp;
  if (scheme == "gopher") return kInetServiceGopher;
  if (scheme == "http") return kInetServiceHttp;
  if (scheme == "https") return kInetServiceHttps;
  if (scheme == "file") return kInetServiceFile;
  if (scheme == "mailto") return kInetServiceMailto;
  if (scheme == "news") return kInetServiceNews;
  return kInetServiceUnknown;
}

// Percent-encodes the bytes a URL may not hold as they are and turns '\' in
// the part before the query into '/'.
std::string CanonicalText(const std::string& url, size_t pathStart) {
  std::string out;
  out.reserve(url.size() + 16);
  bool inQuery = false;
  for (size_t i = 0; i < url.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(url[i]);
    if (c == '?' || c == '#') inQuery = true;
    if (c == '\\' && !inQuery && i >= pathStart) {
      out += '/';
    } else if (KTUrlUnsafeByte(c)) {
      KTAppendPercentByte(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

struct CrackedUrl {
  uint32_t service = kInetServiceUnknown;
  std::string server;
  std::string object;
  uint16_t port = 0;
  std::string canonical;  // the whole URL as libcurl is to be given it
};

bool CrackUrl(const char16_t* url, CrackedUrl& out) {
  if (!url) return false;
  std::string text = KTUtf16ToUtf8(std::u16string_view(url));
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= 0x20) --e;
  text = text.substr(b, e - b);

  size_t colon = 0;
  while (colon < text.size() &&
         ((text[colon] >= 'a' && text[colon] <= 'z') || (text[colon] >= 'A' && text[colon] <= 'Z') ||
          (colon > 0 && ((text[colon] >= '0' && text[colon] <= '9') || text[colon] == '+' ||
                         text[colon] == '-' || text[colon] == '.'))))
    ++colon;
  if (colon == 0 || colon >= text.size() || text[colon] != ':') return false;
  std::string scheme;
  for (size_t i = 0; i < colon; ++i) scheme += LowerAscii(text[i]);
  uint32_t service = ServiceOfScheme(scheme);
  std::string rest = text.substr(colon + 1);
  bool hierarchical = rest.compare(0, 2, "//") == 0 || rest.compare(0, 2, "\\\\") == 0;

  if (service == kInetServiceFile) {
    std::string path = rest;
    for (char& c : path)
      if (c == '\\') c = '/';
    std::string host;
    if (path.compare(0, 2, "//") == 0) {
      size_t slash = path.find('/', 2);
      host = path.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
      path = slash == std::string::npos ? "/" : path.substr(slash);
      // A user name and password before the host are no part of it; they
      // are dropped so that no message shows them.
      if (size_t at = host.rfind('@'); at != std::string::npos) host.erase(0, at + 1);
    }
    out.service = service;
    out.server = host;
    out.object = path;
    out.port = 0;
    out.canonical = "file://" + host + path;
    return true;
  }
  if (!hierarchical) {
    if (service != kInetServiceMailto && service != kInetServiceNews) return false;
    out.service = service;
    out.server.clear();
    out.object = rest;
    out.port = 0;
    out.canonical = scheme + ":" + rest;
    return true;
  }

  std::string canonical = CanonicalText(scheme + ":" + rest, scheme.size() + 3);
  CURLU* h = KTCurl().url();
  if (!h) return false;
  struct Free {
    CURLU* h;
    ~Free() { KTCurl().url_cleanup(h); }
  } freeUrl{h};
  if (KTCurl().url_set(h, CURLUPART_URL, canonical.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    return false;
  auto part = [&](CURLUPart which, unsigned flags, std::string& value) {
    char* p = nullptr;
    if (KTCurl().url_get(h, which, &p, flags) != CURLUE_OK || !p) return false;
    value = p;
    KTCurl().free(p);
    return true;
  };
  std::string host, path, query, port, whole;
  if (!part(CURLUPART_HOST, 0, host) || host.empty()) return false;
  if (!part(CURLUPART_PATH, 0, path)) path = "/";
  part(CURLUPART_QUERY, 0, query);
  if (!part(CURLUPART_URL, 0, whole)) return false;
  out.service = service;
  out.server = host;
  out.object = path + (query.empty() ? "" : "?" + query);
  out.port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT, port)
                 ? static_cast<uint16_t>(std::stoul(port))
                 : 0;
  out.canonical = whole;
  return true;
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

bool ParseURL(const char16_t* url, uint32_t& service, std::u16string& server,
              std::u16string& object, uint16_t& port) {
  service = kInetServiceUnknown;
  CrackedUrl cracked;
  if (!CrackUrl(url, cracked)) return false;
  service = cracked.service;
  server = KTUtf8ToUtf16(cracked.server);
  object = KTUtf8ToUtf16(cracked.object);
  port = cracked.port;
  return true;
}

std::u16string KTInternetUnescape(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  std::u16string out;
  auto flush = [&] {
    if (!bytes.empty()) out += KTUtf8ToUtf16(bytes);
    bytes.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      bytes += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      flush();
      out += text[i];
    }
  }
  flush();
  return out;
}

const char16_t* KTInternetApplicationName() { return u"ostxslt"; }

bool KTIsLocalFileHost(std::u16string_view host) {
  if (host.empty()) return true;
  std::u16string_view local = u"localhost";
  if (host.size() != local.size()) return false;
  for (size_t i = 0; i < host.size(); ++i) {
    char16_t c = host[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != local[i]) return false;
  }
  return true;
}

void KTCheckLocalFileHost(uint32_t context, const std::u16string& host) {
  if (KTIsLocalFileHost(host)) return;
  // Reading the path on this machine instead would hand over another file
  // than the one the URL names.
  ThrowInternetException(context, kInetErrorInvalidUrl,
                         u"the file URL names the host \"" + host +
                             u"\"; only files on this machine are read, named file:///path or "
                             u"file://localhost/path");
}

// ---- KTInternetSession ----

KTInternetSession::KTInternetSession(const char16_t* agent, uint32_t context, uint32_t accessType,
                                     const char16_t* proxyName, const char16_t* proxyBypass,
                                     uint32_t flags)
    : context_(context), accessType_(accessType),
      agent_(ToUtf8(agent ? agent : KTInternetApplicationName())), proxyName_(ToUtf8(proxyName)),
      proxyBypass_(ToUtf8(proxyBypass)) {
  if (!KTCurlGlobalInit())
    throw KTInternetException(context, kInetErrorInternal, u"the transfer library did not start");
  if (accessType == kInetOpenTypeProxy && proxyName_.empty())
    throw KTInternetException(context, kErrorInvalidParameter, u"no proxy named");
}

KTInternetSession::~KTInternetSession() { Close(); }

void KTInternetSession::Close() { open_ = false; }

void KTInternetSession::ApplySettings(KTCurlTransfer& transfer) const {
  CURL* c = transfer.Handle();
  KTCurl().easy_setopt(c, CURLOPT_USERAGENT, agent_.c_str());
  if (accessType_ == kInetOpenTypeDirect) {
    KTCurl().easy_setopt(c, CURLOPT_PROXY, "");
  } else if (accessType_ == kInetOpenTypeProxy) {
    KTCurl().easy_setopt(c, CURLOPT_PROXY, proxyName_.c_str());
    if (!proxyBypass_.empty()) KTCurl().easy_setopt(c, CURLOPT_NOPROXY, proxyBypass_.c_str());
  }
}

std::unique_ptr<KTStdioFile> KTInternetSession::OpenURL(const char16_t* url, uint32_t context,
                                                        uint32_t flags, const char16_t* headers) {
  if (context == 1) context = context_;
  if (!open_) ThrowInternetException(context, kErrorInvalidHandle);
  CrackedUrl cracked;
  if (!CrackUrl(url, cracked)) ThrowInternetException(context, kInetErrorInvalidUrl);
  if (cracked.service == kInetServiceFile) {
    KTCheckLocalFileHost(context, KTUtf8ToUtf16(cracked.server));
    return std::make_unique<KTStdioFile>(KTInternetUnescape(KTUtf8ToUtf16(cracked.object)),
                                         KTStdioFile::kModeRead);
  }
  if (cracked.service != kInetServiceHttp && cracked.service != kInetServiceHttps &&
      cracked.service != kInetServiceFtp && cracked.service != kInetServiceGopher) {
    ThrowInternetException(context, kInetErrorUnrecognizedScheme);
  }
  KTCurlTransfer transfer(context);
  transfer.Prepare(cracked.canonical);
  ApplySettings(transfer);
  CURL* c = transfer.Handle();
  curl_slist* list = nullptr;
  struct ListFree {
    curl_slist*& l;
    ~ListFree() { KTCurl().slist_free_all(l); }
  } listFree{list};
  bool http = cracked.service == kInetServiceHttp || cracked.service == kInetServiceHttps;
  if (http) {
    KTCurl().easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    KTCurl().easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    std::string text = ToUtf8(headers);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) list = KTCurl().slist_append(list, line.c_str());
      start = end + 1;
    }
    if (list) KTCurl().easy_setopt(c, CURLOPT_HTTPHEADER, list);
  } else if (cracked.service == kInetServiceFtp) {
    if (flags & kInetFlagPassive) KTCurl().easy_setopt(c, CURLOPT_FTPPORT, nullptr);
    else KTCurl().easy_setopt(c, CURLOPT_FTPPORT, "-");
    if (!(flags & kInetFlagTransferBinary)) KTCurl().easy_setopt(c, CURLOPT_TRANSFERTEXT, 1L);
  }
  std::vector<unsigned char> body;
  transfer.Perform(&body);
  std::u16string server = KTUtf8ToUtf16(cracked.server);
  std::u16string object = KTUtf8ToUtf16(cracked.object);
  if (http) {
    long status = 0;
    KTCurl().easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    return std::make_unique<KTHttpFile>(std::move(body), static_cast<uint32_t>(status),
                                        std::move(object), std::move(server), context);
  }
  // A gopher item opened by URL carries an empty locator: the URL names it.
  if (cracked.service == kInetServiceGopher)
    return std::make_unique<KTGopherFile>(std::move(body), KTGopherLocator(), std::move(object),
                                          std::move(server), context);
  return std::make_unique<KTInternetFile>(std::move(body), std::move(object), std::move(server),
                                          context);
}

std::unique_ptr<KTHttpConnection> KTInternetSession::GetHttpConnection(const char16_t* server,
                                                                       uint16_t port,
                                                                       const char16_t* user,
                                                                       const char16_t* password) {
  return std::make_unique<KTHttpConnection>(this, server, port, user, password, context_);
}

std::unique_ptr<KTFtpConnection> KTInternetSession::GetFtpConnection(const char16_t* server,
                                                                     const char16_t* user,
                                                                     const char16_t* password,
                                                                     uint16_t port, bool passive) {
  return std::make_unique<KTFtpConnection>(this, server, user, password, port, passive, context_);
}

// ---- KTInternetConnection ----

KTInternetConnection::KTInternetConnection(KTInternetSession* session, const char16_t* server,
                                           uint16_t port, uint32_t context, const char16_t* user,
                                           const char16_t* password)
    : session_(session), server_(server ? server : u""), port_(port),
      context_(context == 1 ? session->GetContext() : context), user_(ToUtf8(user)),
      password_(ToUtf8(password)) {}

KTInternetConnection::~KTInternetConnection() = default;

void KTInternetConnection::Close() { open_ = false; }

bool KTInternetConnection::SetOption(uint32_t option, const void* buffer, uint32_t length,
                                     uint32_t flags) {
  std::string value = buffer ? std::string(static_cast<const char*>(buffer), length) : std::string();
  switch (option) {
    case kInetOptionUsername: user_ = value; return true;
    case kInetOptionPassword: password_ = value; return true;
    case kInetOptionProxyUsername: proxyUser_ = value; return true;
    case kInetOptionProxyPassword: proxyPassword_ = value; return true;
    default:
      KTInternetSetLastError(kInetErrorInvalidOption);
      return false;
  }
}

// ---- KTHttpConnection ----

KTHttpConnection::KTHttpConnection(KTInternetSession* session, const char16_t* server,
                                   uint16_t port, const char16_t* user, const char16_t* password,
                                   uint32_t context)
    : KTInternetConnection(session, server, port, context, user, password) {
  if (server_.empty()) ThrowInternetException(context_, kInetErrorInvalidUrl, u"no server named");
}

std::unique_ptr<KTHttpFile> KTHttpConnection::OpenRequest(const char16_t* verb,
                                                          const char16_t* object,
                                                          const char16_t* referer,
                                                          uint32_t context,
                                                          const char16_t** acceptTypes,
                                                          const char16_t* version, uint32_t flags) {
  if (context == 1) context = context_;
  auto file = std::make_unique<KTHttpFile>(this, verb ? verb : u"GET", object ? object : u"/",
                                           version ? version : u"HTTP/1.0", flags, context);
  if (referer && *referer) file->AddRequestHeaders(std::u16string(u"Referer: ") + referer);
  if (acceptTypes && acceptTypes[0]) {
    std::u16string accept = u"Accept: ";
    for (int i = 0; acceptTypes[i]; ++i) {
      if (i) accept += u", ";
      accept += acceptTypes[i];
    }
    file->AddRequestHeaders(accept);
  }
  return file;
}

// ---- KTFtpConnection ----

KTFtpConnection::KTFtpConnection(KTInternetSession* session, const char16_t* server,
                                 const char16_t* user, const char16_t* password, uint16_t port,
                                 bool passive, uint32_t context)
    : KTInternetConnection(session, server, port ? port : 21, context, user, password),
      passive_(passive), transfer_(std::make_unique<KTCurlTransfer>(context_)) {
  if (server_.empty()) ThrowInternetException(context_, kInetErrorInvalidUrl, u"no server named");
  // Log in now, so that a refused login shows here; the logged-in connection
  // stays in the transfer handle for the operations that follow.
  PrepareTransfer(UrlFor(u"/"));
  KTCurl().easy_setopt(transfer_->Handle(), CURLOPT_NOBODY, 1L);
  transfer_->Perform(nullptr);
}

KTFtpConnection::~KTFtpConnection() = default;

std::string KTFtpConnection::UrlFor(const std::u16string& name) const {
  // A control character would end the command that carries the name.
  for (char16_t c : name)
    if (c < 0x20)
      ThrowInternetException(context_, kInetErrorInvalidUrl, u"a control character in the name");
  std::string url = "ftp://" + KTUtf16ToUtf8(server_) + ":" + std::to_string(port_) + "/";
  std::string path = KTUtf16ToUtf8(name);
  // A name from the root: "%2F" makes libcurl change to "/" first instead of
  // taking the path relative to the login folder.
  if (!path.empty() && path[0] == '/') {
    path.erase(0, 1);
    if (!path.empty()) url += "%2F";
  }
  return url + KTUrlEscapePath(path);
}

void KTFtpConnection::PrepareTransfer(const std::string& url) {
  transfer_->Prepare(url);
  CURL* c = transfer_->Handle();
  session_->ApplySettings(*transfer_);
  if (!user_.empty()) {
    KTCurl().easy_setopt(c, CURLOPT_USERNAME, user_.c_str());
    KTCurl().easy_setopt(c, CURLOPT_PASSWORD, password_.c_str());
  }
  // Active mode unless passive was asked for, as with the platform library.
  KTCurl().easy_setopt(c, CURLOPT_FTPPORT, passive_ ? nullptr : "-");
}

std::unique_ptr<KTInternetFile> KTFtpConnection::OpenFile(const char16_t* name, uint32_t access,
                                                          uint32_t flags, uint32_t context) {
  if (context == 1) context = context_;
  std::u16string object = name ? name : u"";
  if (access == kGenericRead) {
    std::vector<unsigned char> body;
    Download(object, flags, body);
    return std::make_unique<KTInternetFile>(std::move(body), std::move(object), server_, context);
  }
  return std::make_unique<KTInternetFile>(this, std::move(object), context, flags);
}

void KTFtpConnection::Download(const std::u16string& name, uint32_t flags,
                               std::vector<unsigned char>& body) {
  // A name that ends in '/' would make the transfer a folder listing: only
  // files are received, as RETR would have it.
  if (name.empty() || name.back() == u'/')
    ThrowInternetException(context_, kInetErrorExtended,
                           u"\"" + name + u"\" names a folder, not a file");
  PrepareTransfer(UrlFor(name));
  if (flags & kFtpTransferTypeAscii) KTCurl().easy_setopt(transfer_->Handle(), CURLOPT_TRANSFERTEXT, 1L);
  transfer_->Perform(&body);
}

void KTFtpConnection::Upload(const std::u16string& name, uint32_t flags,
                             const std::vector<unsigned char>& data) {
  PrepareTransfer(UrlFor(name));
  CURL* c = transfer_->Handle();
  KTCurl().easy_setopt(c, CURLOPT_UPLOAD, 1L);
  if (flags & kFtpTransferTypeAscii) KTCurl().easy_setopt(c, CURLOPT_TRANSFERTEXT, 1L);
  transfer_->SetUploadSource(data.data(), data.size());
  transfer_->Perform(nullptr);
}

void KTFtpConnection::List(const std::u16string& folder, std::vector<unsigned char>& listing) {
  std::u16string name = folder;
  if (name.empty() || name.back() != u'/') name += u'/';
  PrepareTransfer(UrlFor(name));
  transfer_->Perform(&listing);
}

bool KTFtpConnection::Command(const std::string& command) {
  // A line break would let a name carry further commands.
  if (command.find_first_of("\r\n") != std::string::npos) {
    KTInternetSetLastError(kErrorInvalidParameter);
    return false;
  }
  PrepareTransfer(UrlFor(u"/"));
  CURL* c = transfer_->Handle();
  curl_slist* list = KTCurl().slist_append(nullptr, command.c_str());
  KTCurl().easy_setopt(c, CURLOPT_QUOTE, list);
  KTCurl().easy_setopt(c, CURLOPT_NOBODY, 1L);
  CURLcode code = transfer_->Run(nullptr);
  KTCurl().slist_free_all(list);
  if (code == CURLE_OK) return true;
  // The reply that refused the command stays as the last response.
  KTInternetSetLastResponseInfo(KTUtf8ToUtf16(transfer_->LastReply()));
  return false;
}

bool KTFtpConnection::Remove(const char16_t* name) { return Command("DELE " + ToUtf8(name)); }

bool KTFtpConnection::CreateDirectory(const char16_t* name) {
  return Command("MKD " + ToUtf8(name));
}

bool KTFtpConnection::RemoveDirectory(const char16_t* name) {
  return Command("RMD " + ToUtf8(name));
}

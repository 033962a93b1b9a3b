// Internet files: bodies read from memory, FTP uploads sent on Flush and Close,
// HTTP requests sent through libcurl, FTP folder listings.
#include "platform/inet/ktinternetfile.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstring>

#include "platform/inet/ktcurltransfer.h"
#include "platform/inet/ktinternetexception.h"
#include "platform/inet/ktinternetsession.h"
#include "platform/ktutf8.h"

namespace {

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

bool SameHeaderName(const std::string& a, const std::string& b) {
  size_t ca = a.find(':'), cb = b.find(':');
  if (ca == std::string::npos || cb == std::string::npos || ca != cb) return false;
  for (size_t i = 0; i < ca; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Escapes what may not stand in a request target as it is, '#' included; '%'
// stays, so an object that is percent-encoded already passes unchanged.
std::string EscapeTarget(const std::string& object) {
  std::string out;
  out.reserve(object.size());
  for (unsigned char c : object) {
    if (KTUrlUnsafeByte(c) || c == '#')
      KTAppendPercentByte(out, c);
    else
      out += static_cast<char>(c);
  }
  return out;
}

}  // namespace

// ---- KTInternetFile ----

KTInternetFile::KTInternetFile(std::vector<unsigned char> body, std::u16string object,
                               std::u16string server, uint32_t context)
    : body_(std::move(body)), readMode_(true), context_(context), server_(std::move(server)) {
  path_ = std::move(object);
}

KTInternetFile::KTInternetFile(KTFtpConnection* connection, std::u16string object,
                               uint32_t context, uint32_t transferFlags)
    : readMode_(false), context_(context), server_(connection->GetServerName()),
      ftp_(connection), transferFlags_(transferFlags) {
  path_ = std::move(object);
}

KTInternetFile::KTInternetFile(std::u16string object, std::u16string server, uint32_t context,
                               bool readMode)
    : readMode_(readMode), context_(context), server_(std::move(server)) {
  path_ = std::move(object);
}

KTInternetFile::~KTInternetFile() {
  try {
    Close();
  } catch (const KTPlatformException& e) {
    KTWriteConsole(stderr, u"Closing " + path_ + u" failed: " + e.GetErrorText() + u"\n");
  } catch (...) {
    // Out of memory while sending: a destructor must still not throw.
    KTWriteConsole(stderr, u"Closing " + path_ + u" failed\n");
  }
}

unsigned KTInternetFile::Read(void* buffer, unsigned count) {
  if (!open_ || !readMode_) ThrowInternetException(context_, kErrorInvalidHandle);
  size_t n = std::min<size_t>(count, body_.size() - position_);
  if (n) std::memcpy(buffer, body_.data() + position_, n);
  position_ += n;
  return static_cast<unsigned>(n);
}

void KTInternetFile::Write(const void* data, unsigned count) {
  if (!open_ || readMode_ || !ftp_) ThrowInternetException(context_, kErrorInvalidHandle);
  const auto* p = static_cast<const unsigned char*>(data);
  written_.insert(written_.end(), p, p + count);
  unsent_ = true;
}

void KTInternetFile::Flush() {
  if (!open_ || readMode_ || !ftp_ || !unsent_) return;
  // The server's copy is replaced by everything written so far, so a Flush
  // in the middle of writing never leaves part of the data behind.
  ftp_->Upload(path_, transferFlags_, written_);
  unsent_ = false;
}

uint64_t KTInternetFile::GetLength() const {
  if (!open_ || !readMode_) return 0;
  return body_.size() - position_;
}

void KTInternetFile::Close() {
  if (!open_) return;
  struct Closer {
    KTInternetFile* f;
    ~Closer() {
      f->open_ = false;
      f->unsent_ = false;
      std::vector<unsigned char>().swap(f->body_);
      std::vector<unsigned char>().swap(f->written_);
      f->position_ = 0;
    }
  } closer{this};
  Flush();
}

// ---- KTHttpFile ----

KTHttpFile::KTHttpFile(KTHttpConnection* connection, std::u16string verb, std::u16string object,
                       std::u16string version, uint32_t flags, uint32_t context)
    : KTInternetFile(std::move(object), connection->GetServerName(), context, true),
      connection_(connection), verb_(std::move(verb)), version_(std::move(version)),
      flags_(flags) {}

KTHttpFile::KTHttpFile(std::vector<unsigned char> body, uint32_t status, std::u16string object,
                       std::u16string server, uint32_t context)
    : KTInternetFile(std::move(body), std::move(object), std::move(server), context),
      verb_(u"GET"), version_(u"HTTP/1.1"), status_(status) {}

KTHttpFile::~KTHttpFile() = default;

bool KTHttpFile::AddRequestHeaders(const std::u16string& headers, uint32_t flags) {
  std::string text = KTUtf16ToUtf8(headers);
  bool added = false;
  size_t start = 0;
  while (start < text.size()) {
    // CR and LF both end a line, so no line can carry a header of its own.
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.find(':') == std::string::npos || line.find('\0') != std::string::npos) continue;
    auto same = std::find_if(headers_.begin(), headers_.end(),
                             [&](const std::string& h) { return SameHeaderName(h, line); });
    if (same != headers_.end()) {
      if (flags & kHttpAddReqFlagAddIfNew) continue;
      if (flags & kHttpAddReqFlagReplace) {
        *same = line;
        added = true;
        continue;
      }
    }
    headers_.push_back(std::move(line));
    added = true;
  }
  return added;
}

bool KTHttpFile::SendRequest(const char16_t* headers, const void* optional,
                             uint64_t optionalLength) {
  if (!connection_ || !open_) ThrowInternetException(context_, kErrorInvalidHandle);
  if (headers && *headers) AddRequestHeaders(headers, kHttpAddReqFlagAdd);
  if (!transfer_) transfer_ = std::make_unique<KTCurlTransfer>(context_);

  bool secure = (flags_ & kInetFlagSecure) != 0;
  std::string url = secure ? "https://" : "http://";
  url += KTUtf16ToUtf8(server_);
  if (connection_->GetPort() != 0) {
    url += ':';
    url += std::to_string(connection_->GetPort());
  }
  std::string object = EscapeTarget(KTUtf16ToUtf8(path_));
  if (object.empty() || object[0] != '/') url += '/';
  url += object;

  KTCurlTransfer& t = *transfer_;
  t.Prepare(url);
  CURL* c = t.Handle();
  connection_->GetSession()->ApplySettings(t);
  std::string verb = KTUtf16ToUtf8(verb_);
  bool bodyless = (verb == "GET" || verb == "HEAD") && optionalLength == 0;
  if (verb == "HEAD") {
    KTCurl().easy_setopt(c, CURLOPT_NOBODY, 1L);
  } else if (bodyless) {
    KTCurl().easy_setopt(c, CURLOPT_HTTPGET, 1L);
  } else {
    KTCurl().easy_setopt(c, CURLOPT_POST, 1L);
    KTCurl().easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(optionalLength));
    KTCurl().easy_setopt(c, CURLOPT_POSTFIELDS, optionalLength ? optional : "");
    if (verb != "POST") KTCurl().easy_setopt(c, CURLOPT_CUSTOMREQUEST, verb.c_str());
  }
  if (bodyless) {
    KTCurl().easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    KTCurl().easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
  }
  KTCurl().easy_setopt(c, CURLOPT_HTTP_VERSION,
                   version_ == u"HTTP/1.0" ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  // Basic authentication alone, sent with the request: each send is exactly
  // one exchange with the server, so the caller sees every 401 and 407.
  if (!connection_->User().empty()) {
    KTCurl().easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    KTCurl().easy_setopt(c, CURLOPT_USERNAME, connection_->User().c_str());
    KTCurl().easy_setopt(c, CURLOPT_PASSWORD, connection_->Password().c_str());
  }
  if (!connection_->ProxyUser().empty()) {
    KTCurl().easy_setopt(c, CURLOPT_PROXYAUTH, CURLAUTH_BASIC);
    KTCurl().easy_setopt(c, CURLOPT_PROXYUSERNAME, connection_->ProxyUser().c_str());
    KTCurl().easy_setopt(c, CURLOPT_PROXYPASSWORD, connection_->ProxyPassword().c_str());
  }
  curl_slist* list = nullptr;
  for (const std::string& h : headers_) list = KTCurl().slist_append(list, h.c_str());
  // No "Expect: 100-continue" round trip before a body.
  list = KTCurl().slist_append(list, "Expect:");
  KTCurl().easy_setopt(c, CURLOPT_HTTPHEADER, list);
  struct ListFree {
    curl_slist* l;
    ~ListFree() { KTCurl().slist_free_all(l); }
  } listFree{list};

  body_.clear();
  position_ = 0;
  status_ = 0;
  CURLcode code = t.Run(&body_);
  received_ = t.BodyBytesReceived();
  long status = 0;
  KTCurl().easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status == 0) {
    // A proxy that refuses the tunnel of an https request answers here.
    long connectStatus = 0;
    KTCurl().easy_getinfo(c, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
    if (connectStatus == 407) {
      status_ = 407;
      body_.clear();
      return true;
    }
  }
  if (code != CURLE_OK) {
    body_.clear();
    throw t.MakeException(code);
  }
  status_ = static_cast<uint32_t>(status);
  return true;
}

bool KTHttpFile::QueryInfoStatusCode(uint32_t& status) const {
  if (status_ == 0) return false;
  status = status_;
  return true;
}

std::u16string KTHttpFile::GetFileURL() const {
  std::u16string url = u"http://" + server_;
  if (path_.empty() || (path_[0] != u'/' && path_[0] != u'\\')) url += u'/';
  return url + path_;
}

// ---- KTGopherFile ----

KTGopherLocator::~KTGopherLocator() = default;

KTGopherFile::KTGopherFile(std::vector<unsigned char> body, KTGopherLocator locator,
                           std::u16string object, std::u16string server, uint32_t context)
    : KTInternetFile(std::move(body), std::move(object), std::move(server), context),
      locator_(std::move(locator)) {}

// ---- KTFtpFileFind ----

KTFtpFileFind::KTFtpFileFind(KTFtpConnection* connection, uint32_t context)
    : connection_(connection), context_(context == 1 ? connection->GetContext() : context) {}

KTFtpFileFind::~KTFtpFileFind() { Close(); }

bool KTFtpFileFind::FindFile(const char16_t* name, uint32_t flags) {
  Close();
  std::u16string folder = name ? name : u"";
  std::u16string pattern;
  size_t slash = folder.find_last_of(u'/');
  std::u16string last = slash == std::u16string::npos ? folder : folder.substr(slash + 1);
  if (last.find_first_of(u"*?") != std::u16string::npos) {
    pattern = last;
    folder = slash == std::u16string::npos ? u"" : folder.substr(0, slash + 1);
  }
  if (!folder.empty() && folder.back() != u'/') folder += u'/';
  std::vector<unsigned char> listing;
  try {
    connection_->List(folder, listing);
  } catch (const KTInternetException&) {
    return false;
  }
  std::string patternUtf8 = KTUtf16ToUtf8(pattern);
  for (auto& [entryName, isDir] : KTParseFtpListing(std::string(listing.begin(), listing.end()))) {
    if (!pattern.empty() &&
        fnmatch(patternUtf8.c_str(), KTUtf16ToUtf8(entryName).c_str(), 0) != 0)
      continue;
    entries_.push_back({entryName, isDir ? kFileAttributeDirectory : kFileAttributeNormal});
  }
  root_ = folder.empty() || folder[0] != u'/' ? u"/" + folder : folder;
  open_ = !entries_.empty();
  return open_;
}

bool KTFtpFileFind::FindNextFile() {
  if (!open_ || next_ >= entries_.size()) return false;
  current_ = static_cast<long>(next_++);
  return next_ < entries_.size();
}

void KTFtpFileFind::Close() {
  entries_.clear();
  next_ = 0;
  current_ = -1;
  open_ = false;
}

std::u16string KTFtpFileFind::GetFileName() const {
  return current_ >= 0 ? entries_[current_].name : std::u16string();
}

bool KTFtpFileFind::IsDirectory() const { return MatchesMask(kFileAttributeDirectory); }

bool KTFtpFileFind::MatchesMask(uint32_t mask) const {
  return current_ >= 0 && (entries_[current_].attributes & mask) != 0;
}

std::u16string KTFtpFileFind::GetFileURL() const {
  return u"ftp://" + connection_->GetServerName() + root_ + GetFileName();
}

std::vector<std::pair<std::u16string, bool>> KTParseFtpListing(const std::string& listing) {
  std::vector<std::pair<std::u16string, bool>> out;
  size_t start = 0;
  while (start < listing.size()) {
    size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    std::string line = listing.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.compare(0, 6, "total ") == 0) continue;
    std::string name;
    bool dir = false;
    if (line[0] >= '0' && line[0] <= '9') {
      // DOS form: date time <DIR>|size name
      size_t pos = 0;
      for (int field = 0; field < 3 && pos != std::string::npos; ++field) {
        pos = line.find_first_not_of(' ', pos);
        std::string token;
        if (pos != std::string::npos) {
          size_t stop = line.find(' ', pos);
          token = line.substr(pos, stop == std::string::npos ? std::string::npos : stop - pos);
          pos = stop;
        }
        if (field == 2) dir = (token == "<DIR>");
      }
      if (pos == std::string::npos) continue;
      name = Trim(line.substr(pos));
    } else {
      // Unix form: mode links owner group size month day time|year name
      dir = line[0] == 'd';
      size_t pos = 0;
      int field = 0;
      while (field < 8 && pos != std::string::npos) {
        pos = line.find_first_not_of(' ', pos);
        if (pos == std::string::npos) break;
        pos = line.find(' ', pos);
        ++field;
      }
      if (field < 8 || pos == std::string::npos) continue;
      pos = line.find_first_not_of(' ', pos);
      if (pos == std::string::npos) continue;
      name = line.substr(pos);
      if (line[0] == 'l') {
        size_t arrow = name.find(" -> ");
        if (arrow != std::string::npos) name.resize(arrow);
      }
    }
    if (name.empty() || name == "." || name == "..") continue;
    out.emplace_back(KTUtf8ToUtf16(name), dir);
  }
  return out;
}

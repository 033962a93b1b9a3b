// Common libcurl settings and error mapping of the internet layer.
#include "platform/inet/ktcurltransfer.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/inet/ktinetdefs.h"
#include "platform/ktutf8.h"

bool KTCurlGlobalInit() {
  static const bool initialised = (KTCurl().global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK);
  return initialised;
}

namespace {

// How far libcurl's clock may lag ours when it ends a transfer at the
// deadline; far below the gap between the deadline and the other guards
// (connect timeout, low-speed limit), so that none of them is taken for it.
constexpr std::chrono::milliseconds kDeadlineClockSlack{500};

// The value of the environment variable when it is a positive whole number
// below the default; the default otherwise.
template <typename T>
T ShortenedLimit(const char* variable, T fallback) {
  const char* text = std::getenv(variable);
  if (!text || !*text) return fallback;
  const char* end = text + std::strlen(text);
  T value = 0;
  auto [stop, error] = std::from_chars(text, end, value);
  if (error != std::errc() || stop != end || value < T(1) || value > fallback) return fallback;
  return value;
}

KTInternetLimits LimitsFromEnvironment() {
  KTInternetLimits limits;
  limits.deadlineSeconds = ShortenedLimit(kInetDeadlineVariable, limits.deadlineSeconds);
  limits.maxResponseBytes = ShortenedLimit(kInetMaxBytesVariable, limits.maxResponseBytes);
  return limits;
}

}  // namespace

KTInternetLimits& KTGetInternetLimits() {
  static KTInternetLimits limits = LimitsFromEnvironment();
  return limits;
}

KTCurlTransfer::KTCurlTransfer(uint32_t context) : context_(context) {
  if (KTCurlGlobalInit()) curl_ = KTCurl().easy_init();
  if (!curl_) throw KTInternetException(context, kErrorNotEnoughMemory);
}

KTCurlTransfer::~KTCurlTransfer() {
  if (curl_) KTCurl().easy_cleanup(curl_);
}

void KTCurlTransfer::Prepare(const std::string& url) {
  KTCurl().easy_reset(curl_);
  const KTInternetLimits& limits = KTGetInternetLimits();
  errorBuffer_[0] = 0;
  overflow_ = false;
  deadlinePassed_ = false;
  received_ = 0;
  upload_ = nullptr;
  uploadSize_ = uploadPos_ = 0;
  lastReply_.clear();
  KTCurl().easy_setopt(curl_, CURLOPT_URL, url.c_str());
  KTCurl().easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  KTCurl().easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorBuffer_);
  KTCurl().easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
  KTCurl().easy_setopt(curl_, CURLOPT_ACCEPTTIMEOUT_MS, limits.connectTimeoutSeconds * 1000L);
  KTCurl().easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytes);
  KTCurl().easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds);
  // An FTP server that stops answering on the control connection.
  KTCurl().easy_setopt(curl_, CURLOPT_SERVER_RESPONSE_TIMEOUT, limits.lowSpeedSeconds);
  KTCurl().easy_setopt(curl_, CURLOPT_TIMEOUT, limits.deadlineSeconds);
  KTCurl().easy_setopt(curl_, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxResponseBytes));
  KTCurl().easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https,ftp,gopher");
  KTCurl().easy_setopt(curl_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  if (const char* ca = std::getenv(kInetCaBundleVariable); ca && *ca)
    KTCurl().easy_setopt(curl_, CURLOPT_CAINFO, ca);
  KTCurl().easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &KTCurlTransfer::WriteBody);
  KTCurl().easy_setopt(curl_, CURLOPT_WRITEDATA, this);
  KTCurl().easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &KTCurlTransfer::Header);
  KTCurl().easy_setopt(curl_, CURLOPT_HEADERDATA, this);
}

void KTCurlTransfer::SetUploadSource(const unsigned char* data, size_t size) {
  upload_ = data;
  uploadSize_ = size;
  uploadPos_ = 0;
  KTCurl().easy_setopt(curl_, CURLOPT_READFUNCTION, &KTCurlTransfer::ReadUpload);
  KTCurl().easy_setopt(curl_, CURLOPT_READDATA, this);
  KTCurl().easy_setopt(curl_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
}

size_t KTCurlTransfer::WriteBody(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<KTCurlTransfer*>(self);
  size_t n = size * count;
  if (!t->body_) return n;
  t->received_ += n;
  if (t->body_->size() + n > KTGetInternetLimits().maxResponseBytes) {
    t->overflow_ = true;
    return 0;  // makes libcurl end the transfer with a write error
  }
  t->body_->insert(t->body_->end(), data, data + n);
  return n;
}

size_t KTCurlTransfer::ReadUpload(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<KTCurlTransfer*>(self);
  size_t n = std::min(size * count, t->uploadSize_ - t->uploadPos_);
  if (n) std::memcpy(data, t->upload_ + t->uploadPos_, n);
  t->uploadPos_ += n;
  return n;
}

size_t KTCurlTransfer::Header(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<KTCurlTransfer*>(self);
  size_t n = size * count;
  std::string line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (!line.empty()) t->lastReply_ = std::move(line);
  return n;
}

CURLcode KTCurlTransfer::Run(std::vector<unsigned char>* body) {
  body_ = body;
  auto start = std::chrono::steady_clock::now();
  CURLcode code = KTCurl().easy_perform(curl_);
  body_ = nullptr;
  if (overflow_ && code == CURLE_OK) code = CURLE_WRITE_ERROR;
  if (code == CURLE_OPERATION_TIMEDOUT) {
    // libcurl gives one result for the connect timeout, the low-speed limit
    // and the deadline; only the deadline is reached with its whole time
    // gone. libcurl keeps a clock of its own, which may lag ours by a little.
    auto spent = std::chrono::steady_clock::now() - start + kDeadlineClockSlack;
    deadlinePassed_ = spent >= std::chrono::seconds(KTGetInternetLimits().deadlineSeconds);
  }
  if (code == CURLE_OK) {
    KTInternetSetLastError(0);
  } else {
    KTInternetSetLastError(overflow_ ? kInetErrorInternal : MapError(code));
  }
  KTInternetSetLastResponseInfo(KTUtf8ToUtf16(lastReply_));
  return code;
}

void KTCurlTransfer::Perform(std::vector<unsigned char>* body) {
  CURLcode code = Run(body);
  if (code != CURLE_OK) throw MakeException(code);
}

KTInternetException KTCurlTransfer::MakeException(CURLcode code) const {
  if (overflow_ || code == CURLE_FILESIZE_EXCEEDED) return KTResponseTooLargeException(context_);
  if (deadlinePassed_) return KTDeadlinePassedException(context_);
  uint32_t error = MapError(code);
  std::string detail = errorBuffer_[0] ? errorBuffer_ : KTCurl().easy_strerror(code);
  if (error == kInetErrorExtended && !lastReply_.empty()) detail = lastReply_;
  return KTInternetException(context_, error, KTUtf8ToUtf16(detail));
}

uint32_t KTCurlTransfer::MapError(CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return 0;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kInetErrorUnrecognizedScheme;
    case CURLE_URL_MALFORMAT:
      return kInetErrorInvalidUrl;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return kInetErrorNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return kInetErrorCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT:
      return kInetErrorTimeout;
    case CURLE_LOGIN_DENIED:
      return kInetErrorLoginFailure;
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_WEIRD_SERVER_REPLY:
    case CURLE_FTP_WEIRD_PASS_REPLY:
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_FTP_PORT_FAILED:
    case CURLE_FTP_COULDNT_USE_REST:
    case CURLE_FTP_PRET_FAILED:
    case CURLE_FTP_BAD_FILE_LIST:
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_QUOTE_ERROR:
    case CURLE_UPLOAD_FAILED:
    case CURLE_PARTIAL_FILE:
      return kInetErrorExtended;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      return kInetErrorInvalidCa;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
      return kInetErrorSecurityChannel;
    case CURLE_GOT_NOTHING:
      return kInetErrorConnectionAborted;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return kInetErrorConnectionReset;
    case CURLE_TOO_MANY_REDIRECTS:
      return kInetErrorRedirectFailed;
    case CURLE_OUT_OF_MEMORY:
      return kErrorNotEnoughMemory;
    default:
      return kInetErrorInternal;
  }
}

std::string KTUrlEscapePath(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : name) {
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (keep)
      out += static_cast<char>(c);
    else
      KTAppendPercentByte(out, c);
  }
  return out;
}

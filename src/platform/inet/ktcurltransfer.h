// KTCurlTransfer: one libcurl easy handle with the settings that every
// transfer of the internet layer gets (connect timeout, low-speed limit,
// deadline, CA bundle, capped body) and the mapping of libcurl results to internet error
// numbers. Internal to the internet layer.
#pragma once

#include "platform/inet/ktcurlapi.h"

#include <cstdint>
#include <string>
#include <vector>

#include "platform/inet/ktinternetexception.h"

class KTCurlTransfer {
 public:
  // Throws KTInternetException (error 8) when libcurl gives no handle.
  explicit KTCurlTransfer(uint32_t context);
  ~KTCurlTransfer();
  KTCurlTransfer(const KTCurlTransfer&) = delete;
  KTCurlTransfer& operator=(const KTCurlTransfer&) = delete;

  CURL* Handle() const { return curl_; }

  // Forgets the options of the previous transfer (a live connection stays for
  // reuse) and sets the common ones and the URL.
  void Prepare(const std::string& url);
  // The bytes to send as an upload body; they must stay valid until Perform.
  void SetUploadSource(const unsigned char* data, size_t size);

  // Runs the transfer, the body going into body (null: discarded). Returns the
  // libcurl result and records the mapped error as the thread's last error.
  CURLcode Run(std::vector<unsigned char>* body);
  // Run, throwing KTInternetException for anything but success.
  void Perform(std::vector<unsigned char>* body);
  // The exception describing the failed result of the last Run.
  KTInternetException MakeException(CURLcode code) const;

  // The last reply line of an FTP server, or the last header line of HTTP.
  const std::string& LastReply() const { return lastReply_; }
  // The body bytes that the last Run received, the block that passed the cap
  // included.
  uint64_t BodyBytesReceived() const { return received_; }

  static uint32_t MapError(CURLcode code);

 private:
  static size_t WriteBody(char* data, size_t size, size_t count, void* self);
  static size_t ReadUpload(char* data, size_t size, size_t count, void* self);
  static size_t Header(char* data, size_t size, size_t count, void* self);

  CURL* curl_ = nullptr;
  uint32_t context_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
  std::vector<unsigned char>* body_ = nullptr;
  bool overflow_ = false;
  bool deadlinePassed_ = false;
  uint64_t received_ = 0;
  const unsigned char* upload_ = nullptr;
  size_t uploadSize_ = 0;
  size_t uploadPos_ = 0;
  std::string lastReply_;
};

// Sets libcurl's global state up once, before the first handle; false when
// the library cannot start.
bool KTCurlGlobalInit();

// Percent-encodes the UTF-8 bytes of a name for a URL path, keeping '/' and the
// unreserved characters.
std::string KTUrlEscapePath(const std::string& name);

// True for a byte that may not stand in a URL as it is: controls, space,
// non-ASCII bytes and " < > \ ^ ` { | }. '%' is not one: text that is
// percent-encoded already passes unchanged.
inline bool KTUrlUnsafeByte(unsigned char c) {
  return c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
         c == '{' || c == '|' || c == '}';
}

// Appends the byte as %XX (upper-case hex digits).
inline void KTAppendPercentByte(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

// Numbers of the internet layer: service codes, open flags, option numbers and
// error numbers keep the values of the platform internet library that callers
// were written against, plus the limits every transfer runs under.
#pragma once

#include <cstdint>

// Service codes of a cracked URL.
inline constexpr uint32_t kInetServiceFtp = 1;
inline constexpr uint32_t kInetServiceGopher = 2;
inline constexpr uint32_t kInetServiceHttp = 3;
inline constexpr uint32_t kInetServiceUnknown = 0x1000;
inline constexpr uint32_t kInetServiceFile = 0x1001;
inline constexpr uint32_t kInetServiceMailto = 0x1002;
inline constexpr uint32_t kInetServiceNews = 0x1006;
inline constexpr uint32_t kInetServiceHttps = 0x100B;

// Open flags.
inline constexpr uint32_t kInetFlagTransferAscii = 0x00000001;
inline constexpr uint32_t kInetFlagTransferBinary = 0x00000002;
inline constexpr uint32_t kInetFlagKeepConnection = 0x00400000;
inline constexpr uint32_t kInetFlagSecure = 0x00800000;
inline constexpr uint32_t kInetFlagPassive = 0x08000000;
inline constexpr uint32_t kInetFlagReload = 0x80000000;

// Access types of a session.
inline constexpr uint32_t kInetOpenTypePreconfig = 0;  // proxy from the environment
inline constexpr uint32_t kInetOpenTypeDirect = 1;
inline constexpr uint32_t kInetOpenTypeProxy = 3;

// Connection options (SetOption).
inline constexpr uint32_t kInetOptionUsername = 28;
inline constexpr uint32_t kInetOptionPassword = 29;
inline constexpr uint32_t kInetOptionProxyUsername = 43;
inline constexpr uint32_t kInetOptionProxyPassword = 44;

// Request header modifiers.
inline constexpr uint32_t kHttpAddReqFlagAdd = 0x20000000;
inline constexpr uint32_t kHttpAddReqFlagAddIfNew = 0x10000000;
inline constexpr uint32_t kHttpAddReqFlagReplace = 0x80000000;

// FTP file access and transfer types.
inline constexpr uint32_t kGenericRead = 0x80000000;
inline constexpr uint32_t kGenericWrite = 0x40000000;
inline constexpr uint32_t kFtpTransferTypeAscii = 0x00000001;
inline constexpr uint32_t kFtpTransferTypeBinary = 0x00000002;
inline constexpr uint32_t kFileAttributeDirectory = 0x00000010;
inline constexpr uint32_t kFileAttributeNormal = 0x00000080;

// Error numbers.
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kInetErrorTimeout = 12002;
inline constexpr uint32_t kInetErrorExtended = 12003;  // the server's reply says more
inline constexpr uint32_t kInetErrorInternal = 12004;
inline constexpr uint32_t kInetErrorInvalidUrl = 12005;
inline constexpr uint32_t kInetErrorInvalidOption = 12009;
inline constexpr uint32_t kInetErrorUnrecognizedScheme = 12006;
inline constexpr uint32_t kInetErrorNameNotResolved = 12007;
inline constexpr uint32_t kInetErrorIncorrectUserName = 12013;
inline constexpr uint32_t kInetErrorIncorrectPassword = 12014;
inline constexpr uint32_t kInetErrorLoginFailure = 12015;
inline constexpr uint32_t kInetErrorCannotConnect = 12029;
inline constexpr uint32_t kInetErrorConnectionAborted = 12030;
inline constexpr uint32_t kInetErrorConnectionReset = 12031;
inline constexpr uint32_t kInetErrorInvalidCa = 12045;
inline constexpr uint32_t kInetErrorRedirectFailed = 12156;
inline constexpr uint32_t kInetErrorSecurityChannel = 12157;

// Limits every transfer runs under, so that nothing waits forever and no
// answer fills memory. The program keeps the defaults unless the environment
// shortens them (see below); tests shorten them too.
struct KTInternetLimits {
  // A server that does not accept the connection within this time fails the
  // transfer with kInetErrorTimeout.
  long connectTimeoutSeconds = 30;
  // A transfer slower than lowSpeedBytes per second for lowSpeedSeconds is
  // abandoned: a server that stops sending cannot hold the run.
  long lowSpeedBytes = 1;
  long lowSpeedSeconds = 60;
  // Every transfer ends within this time (5 minutes), however it goes: a
  // server that trickles a byte now and then passes the low-speed guard but
  // must not hold the run for ever. Five minutes carry documents of hundreds
  // of megabytes over an ordinary link; the guard is against endless ones.
  long deadlineSeconds = 300;
  // The largest body taken from a server (512 MiB, the document loader's own
  // cap): documents are read whole into memory, so reading stops as soon as a
  // body passes it and the transfer fails with a message.
  uint64_t maxResponseBytes = 1ull << 29;
};

// The process-wide limits (one thread; set before transfers start). The
// first call reads kInetDeadlineVariable and kInetMaxBytesVariable.
KTInternetLimits& KTGetInternetLimits();

// Environment variables that shorten the deadline (seconds) and the body cap
// (bytes) of every transfer; read once. A value that is not a positive whole
// number, or that would lengthen the limit, is ignored: the limits guard
// against endless transfers and are never lifted.
inline constexpr const char* kInetDeadlineVariable = "OST_URL_DEADLINE_SECONDS";
inline constexpr const char* kInetMaxBytesVariable = "OST_URL_MAX_BYTES";

// Environment variable naming a file of PEM certificates that HTTPS servers
// are checked against instead of the system's store.
inline constexpr const char* kInetCaBundleVariable = "OST_CA_BUNDLE";

// Error-logger checks of the core library: the log hook, the checks that turn a
// failed step (a null instance, a non-zero result code) into a raised KTComError,
// and KTNullLock, the do-nothing lock taken around lazily built singletons.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

// A COM-style error: an exception with a 32-bit result code (the HRESULT
// values 0x8000FFFF, 0x8007000E, ... or a platform error number) and the
// message of the step that failed, both in what().
class KTComError : public std::exception {
 public:
  explicit KTComError(int32_t code, const char16_t* message = nullptr);

  int32_t Error() const noexcept { return code_; }
  // "message (code 0x8000FFFF)", or "error code 0x8000FFFF" without a message.
  const char* what() const noexcept override;

 private:
  int32_t code_;
  std::shared_ptr<const std::string> text_;  // shared, so copies never throw
};

// The unexpected-failure code raised when an instance cannot be had.
inline constexpr int32_t kKTErrorUnexpected = static_cast<int32_t>(0x8000FFFFu);

// The lock guarding the creation of process-wide singletons. The process has one
// thread, so both operations do nothing; the structure stays so that callers
// keep their lock/unlock pairs.
class KTNullLock {
 public:
  virtual ~KTNullLock() = default;
  virtual void Lock() {}
  virtual void Unlock() {}
};

// Takes a KTNullLock for the lifetime of the guard, releasing it on every path.
class KTNullLockGuard {
 public:
  explicit KTNullLockGuard(KTNullLock* lock) : lock_(lock) {
    if (lock_)
      lock_->Lock();
  }
  ~KTNullLockGuard() {
    if (lock_)
      lock_->Unlock();
  }
  KTNullLockGuard(const KTNullLockGuard&) = delete;
  KTNullLockGuard& operator=(const KTNullLockGuard&) = delete;

 private:
  KTNullLock* lock_;
};

// The log hook: writes one line, "error 0x8000FFFF: message (file:line)",
// where the run's errors go. Code 0 is a notice (a deprecated call, say),
// no error: it is not written, so a run's error output holds errors only.
// Every caller passes 0 as flag.
void LogError(int32_t code, const char16_t* message, const char16_t* file, int line, int flag);

// Where LogError writes its lines (each ends with a line feed): standard
// error until the program names another sink; null restores standard error.
using KTLogSink = void (*)(const std::string& line);
void SetLogSink(KTLogSink sink);
// On the calling thread only: with `logged` not null, a line LogError would
// write sets *logged and is not written (a load made ahead of time on a
// worker thread, whose result is then dropped and the load made again where
// its messages belong); null writes again.
void HoldLogOnThisThread(bool* logged);

// Logs with code 0 (a notice, which LogError does not write) and raises
// nothing.
void LogNotice(const char16_t* message);

// Raises KTComError(0x8000FFFF) when instance is null, after logging message.
void CheckInstance(const void* instance, const char16_t* message);

// The same check, logged with the note "See Manual".
void CheckInstanceNote(const void* instance, const char16_t* message = u"See Manual");

// Raises KTComError(code) when code is not 0.
void CheckCall(int32_t code, const char16_t* message = u"Method Call Failed");

// Raises KTComError(code) when a line read returned a code that is not 0.
void CheckReadLine(int32_t code, const char16_t* message = u"Could not read a deliminated file");

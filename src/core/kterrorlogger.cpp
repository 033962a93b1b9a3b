// Error-logger checks: each failed check logs through LogError, then raises a
// KTComError carrying only the code (the message goes to the log hook alone).
#include "core/kterrorlogger.h"

namespace {

constexpr const char16_t* kLoggerFile = u"core/kterrorlogger";

[[noreturn]] void Fail(int32_t code, const char16_t* message, int line) {
  LogError(code, message, kLoggerFile, line, 0);
  throw KTComError(code);
}

}  // namespace

const char* KTComError::what() const noexcept {
  return "COM-style error";
}

void LogError(int32_t, const char16_t*, const char16_t*, int, int) {}

void LogNotice(const char16_t* message) {
  LogError(0, message, kLoggerFile, __LINE__, 0);
}

void CheckInstance(const void* instance, const char16_t* message) {
  if (!instance)
    Fail(kKTErrorUnexpected, message, __LINE__);
}

void CheckInstanceNote(const void* instance, const char16_t* message) {
  if (!instance)
    Fail(kKTErrorUnexpected, message, __LINE__);
}

void CheckCall(int32_t code, const char16_t* message) {
  if (code != 0)
    Fail(code, message, __LINE__);
}

void CheckReadLine(int32_t code, const char16_t* message) {
  if (code != 0)
    Fail(code, message, __LINE__);
}

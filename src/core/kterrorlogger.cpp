// Error-logger checks: each failed check logs through LogError, then raises a
// KTComError carrying the code and the message.
#include "core/kterrorlogger.h"

#include <cstdio>
#include <string_view>

#include "platform/ktutf8.h"

namespace {

constexpr const char16_t* kLoggerFile = u"core/kterrorlogger";

KTLogSink logSink = nullptr;

std::string Hex(int32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

std::string Utf8(const char16_t* text) { return text ? KTUtf16ToUtf8(std::u16string_view(text)) : std::string(); }

[[noreturn]] void Fail(int32_t code, const char16_t* message, int line) {
  LogError(code, message, kLoggerFile, line, 0);
  throw KTComError(code, message);
}

}  // namespace

KTComError::KTComError(int32_t code, const char16_t* message) : code_(code) {
  std::string text = Utf8(message);
  text = text.empty() ? "error code " + Hex(code) : text + " (code " + Hex(code) + ")";
  text_ = std::make_shared<const std::string>(std::move(text));
}

const char* KTComError::what() const noexcept { return text_ ? text_->c_str() : "error"; }

void SetLogSink(KTLogSink sink) { logSink = sink; }

namespace {
// Where a thread that loads ahead of the run notes that it had a line to
// log, instead of writing it (null: write it).
thread_local bool* tHeldLines = nullptr;
}  // namespace

void HoldLogOnThisThread(bool* logged) { tHeldLines = logged; }

void LogError(int32_t code, const char16_t* message, const char16_t* file, int line, int) {
  if (code == 0) return;
  if (tHeldLines) {
    *tHeldLines = true;
    return;
  }
  std::string text = "error " + Hex(code) + ": ";
  text += Utf8(message);
  if (file && *file) text += " (" + Utf8(file) + ":" + std::to_string(line) + ")";
  text += '\n';
  if (logSink) {
    logSink(text);
  } else {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
  }
}

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

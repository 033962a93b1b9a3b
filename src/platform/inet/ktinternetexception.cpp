// The internet layer's exceptions and their texts.
#include "platform/inet/ktinternetexception.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/inet/ktinetdefs.h"
#include "platform/ktutf8.h"

namespace {

thread_local uint32_t tLastError = 0;
thread_local std::u16string tLastResponse;

struct ErrorText {
  uint32_t error;
  const char16_t* text;
};

const ErrorText kErrorTexts[] = {
    {kErrorInvalidHandle, u"The handle is invalid"},
    {kErrorNotEnoughMemory, u"Not enough memory is available"},
    {kErrorInvalidParameter, u"The parameter is incorrect"},
    {kInetErrorTimeout, u"The operation timed out"},
    {kInetErrorExtended, u"The server returned extended information"},
    {kInetErrorInternal, u"An internal error occurred in the internet layer"},
    {kInetErrorInvalidUrl, u"The URL is invalid"},
    {kInetErrorUnrecognizedScheme, u"The URL does not use a recognized protocol"},
    {kInetErrorNameNotResolved, u"The server name or address could not be resolved"},
    {kInetErrorIncorrectUserName, u"The user name was refused by the server"},
    {kInetErrorIncorrectPassword, u"The password was refused by the server"},
    {kInetErrorLoginFailure, u"The login was refused by the server"},
    {kInetErrorCannotConnect, u"A connection with the server could not be established"},
    {kInetErrorConnectionAborted, u"The connection with the server was ended abnormally"},
    {kInetErrorConnectionReset, u"The connection with the server was reset"},
    {kInetErrorInvalidCa, u"The server's certificate is not trusted"},
    {kInetErrorRedirectFailed, u"The redirection failed"},
    {kInetErrorSecurityChannel, u"A secure channel with the server could not be set up"},
};

}  // namespace

bool KTPlatformException::GetErrorMessage(char16_t* text, unsigned maxChars,
                                          unsigned* helpContext) const {
  if (helpContext) *helpContext = 0;
  std::u16string message = GetErrorText();
  if (text && maxChars > 0) {
    size_t n = std::min<size_t>(message.size(), maxChars - 1);
    message.copy(text, n);
    text[n] = 0;
  }
  return !message.empty();
}

std::u16string KTInternetErrorText(uint32_t error) {
  for (const ErrorText& e : kErrorTexts)
    if (e.error == error) return e.text;
  return {};
}

KTInternetException::KTInternetException(uint32_t context, uint32_t error, std::u16string detail)
    : error_(error), context_(context), detail_(std::move(detail)) {}

std::u16string KTInternetException::GetErrorText() const {
  if (error_ == kInetErrorExtended && !detail_.empty()) return detail_;
  std::u16string text = KTInternetErrorText(error_);
  if (text.empty()) text = u"Internet error " + KTUtf8ToUtf16(std::to_string(error_));
  if (!detail_.empty()) text += u" (" + detail_ + u")";
  return text;
}

KTInternetException KTResponseTooLargeException(uint32_t context) {
  return KTInternetException(
      context, kInetErrorInternal,
      KTUtf8ToUtf16("the response is larger than the limit of " +
                    std::to_string(KTGetInternetLimits().maxResponseBytes) + " bytes"));
}

KTInternetException KTDeadlinePassedException(uint32_t context) {
  return KTInternetException(
      context, kInetErrorTimeout,
      KTUtf8ToUtf16("the transfer did not end within the limit of " +
                    std::to_string(KTGetInternetLimits().deadlineSeconds) + " seconds"));
}

void ThrowInternetException(uint32_t context, uint32_t error, std::u16string detail) {
  if (error == 0) error = tLastError;
  throw KTInternetException(context, error, std::move(detail));
}

KTFileException::KTFileException(int cause, std::u16string fileName, std::u16string text)
    : cause_(cause), fileName_(std::move(fileName)), text_(std::move(text)) {}

std::u16string KTFileException::GetErrorText() const {
  std::u16string text = text_.empty() ? KTUtf8ToUtf16(std::strerror(cause_)) : text_;
  if (!fileName_.empty()) {
    // A NUL in the name (from "%00" in a URL) would end the message there.
    std::u16string name;
    for (char16_t c : fileName_) {
      if (c == 0) name += u"%00";
      else name += c;
    }
    text = name + u": " + text;
  }
  return text;
}

uint32_t KTInternetGetLastError() { return tLastError; }
void KTInternetSetLastError(uint32_t error) { tLastError = error; }
const std::u16string& KTInternetGetLastResponseInfo() { return tLastResponse; }
void KTInternetSetLastResponseInfo(std::u16string text) { tLastResponse = std::move(text); }

// Exceptions of the internet layer and of its local-file stand-in: the common
// base that callers catch (it renders its own text), the internet error with
// its error number and context, and the file error. Also the thread's last
// internet error, which the FTP operations that report by result leave behind.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

// Base of the platform exceptions: each can say in words what went wrong.
class KTPlatformException : public std::exception {
 public:
  // Copies at most maxChars - 1 characters of the text and a NUL; sets the
  // help context to 0 when asked for. False, with an empty text, when the
  // exception has no text.
  bool GetErrorMessage(char16_t* text, unsigned maxChars, unsigned* helpContext = nullptr) const;
  virtual std::u16string GetErrorText() const = 0;
  const char* what() const noexcept override { return "platform exception"; }
};

// An error of the internet layer: an internet error number (12002 timeout,
// 12007 name not resolved, 12029 cannot connect, 12013-12015 login refused,
// 12003 with the server's reply, ...) and the context of the failed call.
class KTInternetException : public KTPlatformException {
 public:
  KTInternetException(uint32_t context, uint32_t error, std::u16string detail = {});

  uint32_t GetErrorCode() const { return error_; }
  uint32_t GetContext() const { return context_; }
  // For 12003 the server's reply; otherwise what the transfer library said.
  const std::u16string& GetDetail() const { return detail_; }

  // The text of the error number, followed by the detail in parentheses; for
  // 12003 the server's reply alone.
  std::u16string GetErrorText() const override;
  const char* what() const noexcept override { return "internet exception"; }

  uint32_t error_;
  uint32_t context_;

 private:
  std::u16string detail_;
};

// Throws a KTInternetException; error 0 stands for the thread's last internet
// error (KTInternetGetLastError).
[[noreturn]] void ThrowInternetException(uint32_t context, uint32_t error, std::u16string detail = {});

// The fixed English text of an internet error number; empty for an unknown one.
std::u16string KTInternetErrorText(uint32_t error);

// The errors of a transfer stopped by a limit of KTGetInternetLimits, each
// naming the limit: a body that passed the cap (12004), a transfer that did
// not end by its deadline (12002).
KTInternetException KTResponseTooLargeException(uint32_t context);
KTInternetException KTDeadlinePassedException(uint32_t context);

// A local file that cannot be opened, read or written.
class KTFileException : public KTPlatformException {
 public:
  // cause is the system's errno value; text, when given, says what is wrong
  // in place of the system's text for it.
  KTFileException(int cause, std::u16string fileName, std::u16string text = std::u16string());
  int GetCause() const { return cause_; }
  const std::u16string& GetFileName() const { return fileName_; }
  std::u16string GetErrorText() const override;
  const char* what() const noexcept override { return "file exception"; }

 private:
  int cause_;
  std::u16string fileName_;
  std::u16string text_;
};

// The thread's last internet error and the server's last reply line, left by
// the operations that report by a bool result (the FTP commands).
uint32_t KTInternetGetLastError();
void KTInternetSetLastError(uint32_t error);
const std::u16string& KTInternetGetLastResponseInfo();
void KTInternetSetLastResponseInfo(std::u16string text);

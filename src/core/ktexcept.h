// The core library's exception: a numeric code and the source place where it
// was thrown, rendered as a one-line message in one of four languages.
#pragma once

class KTExcept {
 public:
  static constexpr long kNoMemory = -1001;       // no memory for a string block
  static constexpr long kIndexTooLarge = -1010;  // index beyond a string's capacity

  KTExcept(long code, long line, const char16_t* path);
  KTExcept(const KTExcept& other) = default;
  virtual ~KTExcept() = default;

  // Formats the message into the one buffer shared by all exceptions and
  // returns it; the next call overwrites it.
  virtual const char16_t* GetMessage(bool withLocation);

  void SetFile(const char16_t* path);

  long GetCode() const { return code_; }
  long GetLine() const { return line_; }
  const char16_t* GetFile() const { return file_; }

  // 1 German, 2 French, 3 Italian, anything else English. Nothing changes it.
  static int messageLanguage;

 private:
  long code_;
  long line_;
  const char16_t* file_;  // points into the thrower's text, which outlives the exception
};

// Throws a KTExcept carrying the current source line and file.
#define KT_THROW_EXCEPT(code) throw KTExcept((code), __LINE__, u"" __FILE__)

// KTLoadStatus: the one error record of a document load or save. The caller
// makes it, every step of the load (input buffers, decoder, parser driver,
// loader) writes a category and a code where it fails, and the caller asks
// HasError() and prints the message.
#pragma once

#include <cstdint>

#include "core/ktstring.h"

class KTLoadStatus {
 public:
  // Categories.
  static constexpr int kNone = 0;
  static constexpr int kFile = 1;      // file or transfer
  static constexpr int kEncoding = 2;  // decoding or encoding
  static constexpr int kParse = 3;     // parser driver
  static constexpr int kLoader = 4;    // document loader

  // Codes below 100 of the non-file categories (file codes with detail 1 are
  // operating-system error numbers).
  static constexpr uint32_t kUrlTransferFailed = 1;
  static constexpr uint32_t kNothingToWrite = 2;
  static constexpr uint32_t kDecodeFailed = 3;
  static constexpr uint32_t kEncodeFailed = 4;
  static constexpr uint32_t kParseFailed = 5;
  static constexpr uint32_t kBuildFailed = 6;
  static constexpr uint32_t kSourceRefused = 7;
  static constexpr uint32_t kNoGrammar = 8;
  static constexpr uint32_t kNoDocument = 9;
  static constexpr uint32_t kNoSource = 10;

  KTLoadStatus() = default;
  virtual ~KTLoadStatus() = default;

  // True exactly when the code is not 0; the category is not looked at.
  bool HasError() const { return code_ != 0; }
  // Whether the error is memory that ran out: a file or transfer error
  // ENOMEM, or a failure its writer marked with SetNoMemory. A caller that
  // would otherwise pass a failed load off as a problem of the document (a
  // schema's imported document) ends the run with std::bad_alloc instead.
  bool IsNoMemory() const;
  // Marks the error just written as memory that ran out; the next Set,
  // SetError or Clear drops the mark.
  void SetNoMemory() { noMemory_ = true; }
  // Code, category, line and column to 0 and the message emptied (its block
  // freed); detail keeps its value.
  void Clear();

  // Category and code in one step. Detail is left as it is (the parse and
  // loader writers never touch it).
  void SetError(int category, uint32_t code);
  // Every field of an error at once (file errors carry detail 1 when the
  // code is an operating-system error number).
  void Set(int category, uint32_t code, int detail, const KTString& message);

  void SetDetail(int detail) { detail_ = detail; }
  void SetMessage(const KTString& message) { message_ = message; }
  // 1-based position of a parse failure in the text (0 when not known).
  void SetPosition(int line, int column) {
    line_ = line;
    column_ = column;
  }

  uint32_t GetCode() const { return code_; }
  int GetDetail() const { return detail_; }
  int GetCategory() const { return category_; }
  const KTString& GetMessage() const { return message_; }
  int GetLine() const { return line_; }
  int GetColumn() const { return column_; }

 private:
  uint32_t code_ = 0;
  int detail_ = 0;  // 1 when code_ is an operating-system error number
  KTString message_;
  int category_ = kNone;
  bool noMemory_ = false;
  int line_ = 0;
  int column_ = 0;
};

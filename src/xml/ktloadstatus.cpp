// KTLoadStatus: clearing and writing the error record of a load or save.
#include "xml/ktloadstatus.h"

#include <cerrno>

void KTLoadStatus::Clear() {
  code_ = 0;
  category_ = kNone;
  noMemory_ = false;
  line_ = 0;
  column_ = 0;
  message_.SetCapacity(0);
}

void KTLoadStatus::SetError(int category, uint32_t code) {
  category_ = category;
  code_ = code;
  noMemory_ = false;
}

void KTLoadStatus::Set(int category, uint32_t code, int detail, const KTString& message) {
  category_ = category;
  code_ = code;
  detail_ = detail;
  message_ = message;
  noMemory_ = false;
}

bool KTLoadStatus::IsNoMemory() const {
  if (code_ == 0) return false;
  return noMemory_ || (category_ == kFile && detail_ == 1 && code_ == static_cast<uint32_t>(ENOMEM));
}

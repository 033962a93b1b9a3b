// KTLoadStatus: clearing and writing the error record of a load or save.
#include "xml/ktloadstatus.h"

void KTLoadStatus::Clear() {
  code_ = 0;
  category_ = kNone;
  line_ = 0;
  column_ = 0;
  message_.SetCapacity(0);
}

void KTLoadStatus::SetError(int category, uint32_t code) {
  category_ = category;
  code_ = code;
}

void KTLoadStatus::Set(int category, uint32_t code, int detail, const KTString& message) {
  category_ = category;
  code_ = code;
  detail_ = detail;
  message_ = message;
}

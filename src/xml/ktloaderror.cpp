// Writing load failures with their messages.
#include "xml/ktloaderror.h"

#include <cstring>

#include "platform/ktutf8.h"

namespace {

// The longest system error text kept in a status.
constexpr size_t kSystemTextLimit = 256;

}  // namespace

void KTSetLoadError(KTLoadStatus& status, int category, uint32_t code, const KTString& message) {
  if (category == KTLoadStatus::kFile || category == KTLoadStatus::kEncoding) {
    status.Set(category, code, 0, message);
    return;
  }
  status.SetError(category, code);
  status.SetMessage(message);
}

void KTSetLoadSystemError(KTLoadStatus& status, int error) {
  std::u16string text = KTUtf8ToUtf16(std::strerror(error));
  if (text.size() > kSystemTextLimit)
    text.resize(kSystemTextLimit);
  KTString message{std::u16string_view(text)};
  status.Set(KTLoadStatus::kFile, static_cast<uint32_t>(error), 1, message);
}

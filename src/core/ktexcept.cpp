// The core library's exception.
#include "core/ktexcept.h"

#include "platform/ktformat.h"

namespace {

constexpr int kMessageBufferSize = 256;
// Per thread: an error raised on a thread that loads beside another keeps
// its own text.
thread_local char16_t gMessageBuffer[kMessageBufferSize];

struct Formats {
  const char16_t* withLocation;
  const char16_t* plain;
};

constexpr Formats kFormats[4] = {
    {u"An error has occurred in line %ld of file \"%s\". (%ld)", u"An error has occurred. (%ld)"},
    {u"Ein Fehler ist in Zeile %ld des Modules \"%s\" aufgetreten. (%ld)",
     u"Ein Fehler ist aufgetreten. (%ld)"},
    {u"Une erreur s'est glissee dans ligne %ld du fichier \"%s\". (%ld)",
     u"Une erreur s'est glissee. (%ld)"},
    {u"C'e stato un errore nella linea %ld del file \"%s\". (%ld)", u"C'e stato un errore. (%ld)"},
};

}  // namespace

int KTExcept::messageLanguage = 0;

KTExcept::KTExcept(long code, long line, const char16_t* path) : code_(code), line_(line), file_(u"") {
  SetFile(path);
}

// Keeps the part of the path behind its last separator. Source paths on this
// system use '/', so both '/' and '\' separate here.
void KTExcept::SetFile(const char16_t* path) {
  file_ = path ? path : u"";
  for (const char16_t* p = file_; *p; ++p) {
    if (*p == u'\\' || *p == u'/') file_ = p + 1;
  }
}

const char16_t* KTExcept::GetMessage(bool withLocation) {
  int lang = (messageLanguage >= 1 && messageLanguage <= 3) ? messageLanguage : 0;
  std::u16string text = withLocation ? KTFormat(kFormats[lang].withLocation, line_, file_, code_)
                                     : KTFormat(kFormats[lang].plain, code_);
  // A message longer than the buffer is cut; the system's own never come near it.
  size_t n = text.size() < kMessageBufferSize - 1 ? text.size() : kMessageBufferSize - 1;
  text.copy(gMessageBuffer, n);
  gMessageBuffer[n] = 0;
  return gMessageBuffer;
}

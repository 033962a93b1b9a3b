// KTResultWriter: the line end of the output file.
#include "app/ktresultwriter.h"

const char16_t* KTResultWriter::LineEndForSave(KTDocumentSource*, KTDocumentRecord*) {
  return crLf_ ? kLineEndCrLf : kLineEndLf;
}

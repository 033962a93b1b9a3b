// KTResultWriter: the document loader that saves the serialised result to
// the output file. It differs from the loader only in the line end it saves
// with, which the front end takes from the stylesheet.
#pragma once

#include "xml/ktdocloader.h"

class KTResultWriter : public KTDocumentLoader {
 public:
  KTResultWriter() = default;
  ~KTResultWriter() override = default;

  // true: every line break is saved as CR LF; false: as LF.
  void SetCrLf(bool crLf) { crLf_ = crLf; }
  bool IsCrLf() const { return crLf_; }

  const char16_t* LineEndForSave(KTDocumentSource* source, KTDocumentRecord* record) override;

 private:
  bool crLf_ = true;
};

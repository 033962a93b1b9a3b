// KTResultWriter: the document loader that saves the serialised result to
// the output file. It differs from the loader in saving the result's line
// ends as they are, and in taking the result from the serialiser in pieces: text in UTF-8 or a single-byte encoding is
// encoded as it comes, so the output never exists whole as UTF-16; text in
// another encoding is gathered and saved whole. The bytes are the same
// either way, and nothing is written before the whole result is there.
#pragma once

#include <cstddef>
#include <memory>

#include "core/ktstring.h"
#include "xml/ktdecodedtext.h"
#include "xml/ktdocloader.h"
#include "xslt/output/ktresultserializer.h"

class KTResultWriter : public KTDocumentLoader, public KTOutputSink {
 public:
  KTResultWriter() = default;
  ~KTResultWriter() override = default;

  // None: the result's characters reach the file as they are, so a CR the
  // result holds on purpose stays a CR and an LF stays an LF.
  const char16_t* LineEndForSave(KTDocumentSource* source, KTDocumentRecord* record) override;

  // ---- The serialiser's sink ----
  void BeginOutput(int encodingId, int byteOrder) override;
  void WriteOutput(const char16_t* text, size_t length) override;
  // Whether the serialiser began an output since the writer was made.
  bool HasOutput() const { return begun_; }
  // Saves the output taken in to the file, with the bytes SaveTextToFile
  // gives for the whole text in the encoding BeginOutput named.
  bool SaveOutputToFile(const char16_t* path, KTLoadStatus& status);

 private:
  bool begun_ = false;
  int encodingId_ = 0;
  int byteOrder_ = 0;
  std::unique_ptr<KTPiecewiseEncoder> encoder_;
  KTString gathered_;
  int gatheredLength_ = 0;
};

// KTResultWriter: the output file, saved with its line ends as they are, and
// the serialiser's sink.
#include "app/ktresultwriter.h"

#include "core/ktencoding.h"
#include "xml/ktloaderror.h"
#include "xml/ktloadstatus.h"

namespace {

// Growth step of the gathered text (it also grows by half its size).
constexpr int kGatherGrowBy = 16000;

}  // namespace

const char16_t* KTResultWriter::LineEndForSave(KTDocumentSource*, KTDocumentRecord*) { return nullptr; }

void KTResultWriter::BeginOutput(int encodingId, int byteOrder) {
  begun_ = true;
  encodingId_ = encodingId;
  byteOrder_ = byteOrder;
  gathered_ = KTString();
  gatheredLength_ = 0;
  encoder_.reset();
  if (KTPiecewiseEncoder::EncodesPiecewise(encodingId))
    encoder_ = std::make_unique<KTPiecewiseEncoder>(encodingId, LineEndForSave(nullptr, nullptr));
}

void KTResultWriter::WriteOutput(const char16_t* text, size_t length) {
  if (encoder_)
    encoder_->Append(text, length);
  else
    gathered_.AppendAtLength(text, gatheredLength_, kGatherGrowBy, static_cast<int>(length));
}

bool KTResultWriter::SaveOutputToFile(const char16_t* path, KTLoadStatus& status) {
  if (encoder_ && encoder_->GetAppendedLength() > 0) {
    uint32_t size = 0;
    std::unique_ptr<char[]> bytes = encoder_->Finish(size, status);
    encoder_.reset();
    if (!bytes)
      return false;
    return SaveEncodedToFile(path, std::move(bytes), size, encodingId_, byteOrder_, status);
  }
  encoder_.reset();
  // An empty output, or one in an encoding written whole.
  KTString text = std::move(gathered_);
  const int length = gatheredLength_;
  gatheredLength_ = 0;
  if (byteOrder_ != kByteOrderNone && length > 0) {
    // A name that states the byte order (UTF-16BE, UTF-16LE) labels bytes
    // without a byte-order mark (RFC 2781 §3.3); plain UTF-16 starts with one.
    int size = length;
    std::unique_ptr<char[]> bytes = EncodeFromUtf16(text.c_str(), &size, encodingId_, byteOrder_, false, false);
    if (!bytes) {
      KTString message;
      message.Format(u"The text cannot be written in encoding %d", encodingId_);
      KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kEncodeFailed, message);
      return false;
    }
    return SaveEncodedToFile(path, std::move(bytes), static_cast<uint32_t>(size), encodingId_, byteOrder_, status);
  }
  return SaveTextToFile(path, text.IsEmpty() ? u"" : text.c_str(), status, encodingId_, byteOrder_);
}

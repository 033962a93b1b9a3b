// Decoding a document's bytes to UTF-16 and encoding UTF-16 text for saving,
// through the encoding table's detection and converters.
#include "xml/ktdecodedtext.h"

#include <climits>
#include <cstring>

#include "core/ktencoding.h"
#include "xml/ktloaderror.h"
#include "xml/ktloadstatus.h"

namespace {

// Room the detection may fill with a declared encoding name.
constexpr int kEncodingNameRoom = 80;

KTString CanonicalName(int id) {
  int row = EncodingIndexFromId(id);
  return row < 0 ? KTString() : KTString(EncodingTable[row].canonicalName);
}

}  // namespace

KTDecodedTextBuffer::~KTDecodedTextBuffer() { Clear(); }

void KTDecodedTextBuffer::Clear() {
  ReleaseData();
  text_ = KTString();
  length_ = 0;
  hasText_ = false;
}

const char16_t* KTDecodedTextBuffer::GetText(int& length) const {
  length = length_;
  return hasText_ ? text_.c_str() : nullptr;
}

KTString KTDecodedTextBuffer::ReleaseText() {
  KTString text = std::move(text_);
  text_ = KTString();
  length_ = 0;
  hasText_ = false;
  return text;
}

int KTDecodedTextBuffer::DetectEncoding(int& id, int& byteOrder, KTString& name) {
  if (data_ == nullptr)
    return 0;
  char16_t declared[kEncodingNameRoom + 1] = u"unknown";
  int result = ::DetectEncoding(data_, size_, &id, &byteOrder, declared);
  if (id == kEncodingNone) {
    // XML 1.0 §4.3.3: an entity with neither a byte-order mark nor a known
    // encoding declaration is UTF-8 (bytes that are not get counted as errors).
    id = kEncodingUtf8;
    byteOrder = kByteOrderNone;
  }
  KTString canonical = CanonicalName(id);
  name = canonical.IsEmpty() ? KTString(declared) : canonical;
  return result;
}

bool KTDecodedTextBuffer::Decode(const void* bytes, uint32_t size, bool copy, KTLoadStatus& status) {
  Clear();
  if (!SetData(bytes, size, copy))
    return false;
  return FinishDecode(status);
}

bool KTDecodedTextBuffer::DecodeBlock(std::unique_ptr<char[]> block, uint32_t size, KTLoadStatus& status) {
  Clear();
  if (!block)
    return false;
  TakeData(std::move(block), size);
  return FinishDecode(status);
}

bool KTDecodedTextBuffer::FinishDecode(KTLoadStatus& status) {
  int result = DetectEncoding(encodingId_, byteOrder_, encodingName_);
  if (!AcceptEncoding(result, encodingId_, byteOrder_, encodingName_) || ShouldConvert() == 0)
    return true;
  Convert(status);
  if (!hasText_)
    return false;
  ReleaseData();
  return true;
}

bool KTDecodedTextBuffer::DecodeAs(const void* bytes, uint32_t size, int id, int byteOrder, bool copy,
                                   KTLoadStatus& status) {
  Clear();
  if (!SetData(bytes, size, copy))
    return false;
  encodingId_ = id;
  byteOrder_ = byteOrder;
  encodingName_ = KTString();
  Convert(status);
  if (!hasText_)
    return false;
  ReleaseData();
  return true;
}

void KTDecodedTextBuffer::TakeText(KTString&& text) {
  Clear();
  length_ = text.GetLength();
  text_ = std::move(text);
  hasText_ = true;
  encodingId_ = kEncodingUtf16;
  byteOrder_ = kByteOrderLittle;
  encodingName_ = CanonicalName(kEncodingUtf16);
}

namespace {

// XML 1.0 §2.2 allows no U+0000, and a KTString ends at its first NUL: a NUL
// would silently cut the text there. It becomes U+FFFD and counts as a
// character that could not be decoded.
int ReplaceNuls(char16_t* units, int length) {
  int replaced = 0;
  for (int i = 0; i < length; ++i) {
    if (units[i] == 0) {
      units[i] = 0xFFFD;
      ++replaced;
    }
  }
  return replaced;
}

}  // namespace

bool KTDecodedTextBuffer::DecodeUtf8InPlace(int& replaced) {
  // UTF-8, the common case, decodes straight into the string's own block: N
  // bytes give at most N units. This spares the converter's separate block
  // and the copy out of it, so a load peaks at the bytes plus the text.
  if (size_ == 0) {
    UnconvertibleCount = 0;
    text_ = KTString();
    length_ = 0;
    return true;
  }
  const char* source = data_;
  const char* sourceEnd = data_ + size_;
  if (size_ >= 3 && std::memcmp(data_, "\xEF\xBB\xBF", 3) == 0)
    source += 3;  // the signature is no text
  KTString text;
  text.ClearAndReserve(static_cast<int>(size_));
  char16_t* start = text.GetBuffer();
  char16_t* target = start;
  UnconvertibleCount = 0;
  if (Utf8ToUtf16(source, sourceEnd, target, start + size_) != ConvertDone)
    return false;
  int length = static_cast<int>(target - start);
  replaced = UnconvertibleCount + ReplaceNuls(start, length);
  *target = 0;
  text_ = std::move(text);
  length_ = length;
  return true;
}

void KTDecodedTextBuffer::Convert(KTLoadStatus& status) {
  text_ = KTString();
  length_ = 0;
  hasText_ = false;
  if (size_ > static_cast<uint32_t>(INT_MAX)) {
    KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kDecodeFailed,
                   KTString(u"The document is too large to decode"));
    return;
  }
  int replaced = 0;
  bool decoded = false;
  if (encodingId_ == kEncodingUtf8) {
    decoded = DecodeUtf8InPlace(replaced);
  } else {
    int length = static_cast<int>(size_);
    std::unique_ptr<char16_t[]> block = DecodeToUtf16(data_, &length, encodingId_, byteOrder_);
    if (block) {
      replaced = UnconvertibleCount + ReplaceNuls(block.get(), length);
      // The raw bytes go before the copy, so that bytes, block and text are
      // never all held at once. The converter's block has no KTString
      // header, so the text is copied out of it once.
      ReleaseData();
      text_.Assign(block.get(), length);
      length_ = length;
      decoded = true;
    }
  }
  if (!decoded) {
    KTString message;
    message.Format(u"The bytes cannot be decoded as %s", encodingName_.IsEmpty() ? u"the given encoding"
                                                                                  : encodingName_.c_str());
    KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kDecodeFailed, message);
    return;
  }
  hasText_ = true;
  if (replaced > 0) {
    KTString message;
    message.Format(u"%d byte sequence(s) are not valid %s and were replaced", replaced,
                   encodingName_.IsEmpty() ? u"in the given encoding" : encodingName_.c_str());
    KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kDecodeFailed, message);
  }
}

std::unique_ptr<char[]> KTDecodedTextBuffer::Encode(int id, int byteOrder, uint32_t& size, KTLoadStatus& status) {
  size = 0;
  if (!hasText_)
    return nullptr;
  int length = length_;
  std::unique_ptr<char[]> bytes = EncodeFromUtf16(text_.c_str(), &length, id, byteOrder, true, false);
  int replaced = UnconvertibleCount;
  if (!bytes) {
    KTString message;
    message.Format(u"The text cannot be written in encoding %d", id);
    KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kEncodeFailed, message);
    return nullptr;
  }
  size = static_cast<uint32_t>(length);
  if (replaced > 0) {
    KTString message;
    KTString name = CanonicalName(id);
    message.Format(u"%d character(s) have no code in %s and were replaced", replaced,
                   name.IsEmpty() ? u"the chosen encoding" : name.c_str());
    KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kEncodeFailed, message);
  }
  return bytes;
}

// Reading grammar files through streams: the line reader over a YStream and
// the loads from a stream and from an embedded file (built-in-file stream).
#include <cstdio>
#include <memory>

#include "parso/parsogrammar.h"
#include "streams/ystream.h"

namespace {

class ParsoStreamLineReader : public ParsoLineReader {
 public:
  explicit ParsoStreamLineReader(YStream* stream) : stream_(stream) {}

  // The stream gives count 0 both for an empty line and at the end of the
  // data; either ends a grammar.
  int ReadLine(char16_t* buffer, int& count) override {
    uint32_t n = static_cast<uint32_t>(count);
    const int rc = stream_->ReadLine(buffer, n);
    count = static_cast<int>(n);
    return rc;
  }

 private:
  YStream* stream_;
};

std::u16string StreamName(YStream* stream) {
  char16_t name[kStreamMaxName + 1];
  return stream->GetName(name, kStreamMaxName + 1) > 0 ? std::u16string(name)
                                                       : std::u16string(u"grammar stream");
}

std::u16string Code(int code) {
  char digits[16];
  const int n = std::snprintf(digits, sizeof digits, "0x%08X", static_cast<unsigned>(code));
  return std::u16string(digits, digits + n);
}

}  // namespace

bool ParsoGrammar::Load(YStream* stream, std::u16string_view sourceName) {
  if (!stream) return false;
  const std::u16string name = sourceName.empty() ? StreamName(stream) : std::u16string(sourceName);
  ParsoStreamLineReader reader(stream);
  try {
    return Load(reader, name);
  } catch (const KTComError& error) {
    return Fail(name, currentLine_, u"could not read the grammar (error " + Code(error.Error()) + u")");
  }
}

bool ParsoGrammar::Init(const char16_t* fileName) {
  LogNotice(u"ParsoGrammar::Init( _TCHAR* gram_file ) has been deprecated see sources for further action");
  const std::u16string name = fileName ? fileName : u"";
  try {
    std::unique_ptr<YStream> stream(CreateStreamById(kStreamClassBuiltin));
    CheckInstance(stream.get(), u"Could not create instance of YStream::File Object");
    const int rc = stream->Open(name.c_str(), kStreamModeRead);
    if (rc != kStreamOk) {
      Clear();
      loaded_ = true;
      return Fail(name, 0, u"could not open the grammar file (error " + Code(rc) + u")");
    }
    return Load(stream.get(), name);
  } catch (const KTComError& error) {
    Clear();
    loaded_ = true;
    return Fail(name, 0, u"could not read the grammar (error " + Code(error.Error()) + u")");
  }
}

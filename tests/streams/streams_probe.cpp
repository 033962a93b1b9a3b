// A small program over the streams library, run by the tests from an empty
// folder: it constructs a memory stream before anything else, then reads the
// built-in files and asks the Unicode character database, printing what it
// finds, one fact a line.
#include <cstdio>
#include <memory>

#include "core/ktclassfactory.h"
#include "platform/ktutf8.h"
#include "streams/ktbuiltinstream.h"
#include "streams/ktunicodedatabase.h"
#include "streams/ystream.h"

int main() {
  {
    // Constructing any stream class first still registers every class.
    KTMemoryStreamImpl first;
    KTClassFactoryRegistry* registry = GetClassFactoryRegistry();
    std::printf("registered");
    for (int id : {kStreamClassFile, kStreamClassMemory, kStreamClassAppFolder, kStreamClassBuiltin}) {
      if (registry->Find(id) != registry->End()) std::printf(" %d", id);
    }
    std::printf("\n");
  }
  for (const char16_t* name : {u"Blocks.txt", u"UnicodeData.txt", u"xhtml1-transitional.dtd", u"gra_xml.txt"}) {
    std::unique_ptr<YStream> stream(CreateStreamById(kStreamClassBuiltin));
    const int result = stream->Open(name, kStreamModeRead);
    std::printf("%s %d %ld\n", KTUtf16ToUtf8(name).c_str(), result, result == 0 ? stream->GetSize() : -1L);
  }
  std::printf("category %s %s\n", KTUtf16ToUtf8(KTUnicodeDatabase::GetCategory(u'A')).c_str(),
              KTUtf16ToUtf8(KTUnicodeDatabase::GetCategory(0xAC01)).c_str());
  std::printf("block %s\n", KTUtf16ToUtf8(KTUnicodeDatabase::GetBlockName(0x0370)).c_str());
  return 0;
}

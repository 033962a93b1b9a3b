// KTOutputError: the message is formatted once, when the error is made.
#include "xslt/output/ktoutputerror.h"

#include "platform/ktresources.h"

namespace {

constexpr unsigned kMessageCharacterNotWritable = 7260;
constexpr unsigned kMessageFirstPlace = 7261;

const char16_t* Resource(unsigned id) {
  const char16_t* text = KTFindStringResource(id);
  return text ? text : u"";
}

}  // namespace

KTOutputError::KTOutputError(char32_t character, Place place, const KTString& encoding,
                             const KTXPathNode* node)
    : character_(character), place_(place), node_(node) {
  message_.Format(Resource(kMessageCharacterNotWritable), static_cast<unsigned>(character),
                  Resource(kMessageFirstPlace + place), encoding.c_str());
}

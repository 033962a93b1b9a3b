// KTOutputError: the message is formatted once, when the error is made.
#include "xslt/output/ktoutputerror.h"

#include "platform/ktresources.h"
#include "xml/ktxpathnode.h"

namespace {

constexpr unsigned kMessageCharacterNotWritable = 7260;
constexpr unsigned kMessageFirstPlace = 7261;
constexpr unsigned kMessageNotXmlCharacter = 7266;
// Where a character that XML does not allow stood, with the names of the
// nodes around it.
constexpr unsigned kMessageInText = 7267;
constexpr unsigned kMessageInTopText = 7268;
constexpr unsigned kMessageInAttribute = 7269;
constexpr unsigned kMessageInComment = 7270;
constexpr unsigned kMessageInInstruction = 7271;
constexpr unsigned kMessageInName = 7272;
constexpr unsigned kMessageInOutput = 7273;
constexpr unsigned kMessageOnlyAsReference = 7274;

const char16_t* Resource(unsigned id) {
  const char16_t* text = KTFindStringResource(id);
  return text ? text : u"";
}

KTString NameOf(const KTXPathNode* node) {
  return node && node->GetName() ? KTString(node->GetName()) : KTString();
}

// The place of a character, as far as the node shows it.
KTString DescribePlace(KTOutputError::Place place, const KTXPathNode* node) {
  KTString text;
  const KTXPathNode* parent = node ? node->GetParent() : nullptr;
  const bool inElement = parent && parent->GetKind() == kXPathElement;
  switch (place) {
    case KTOutputError::kPlaceText:
    case KTOutputError::kPlaceCData:
    case KTOutputError::kPlaceTextOutput:
      if (inElement) return text.Format(Resource(kMessageInText), NameOf(parent));
      return KTString(Resource(node ? kMessageInTopText : kMessageInOutput));
    case KTOutputError::kPlaceAttribute:
      if (inElement) return text.Format(Resource(kMessageInAttribute), NameOf(node), NameOf(parent));
      return text.Format(Resource(kMessageInName), NameOf(node));
    case KTOutputError::kPlaceComment:
      return KTString(Resource(kMessageInComment));
    case KTOutputError::kPlaceProcessingInstruction:
      return text.Format(Resource(kMessageInInstruction), NameOf(node));
    case KTOutputError::kPlaceName:
      break;
  }
  return node ? text.Format(Resource(kMessageInName), NameOf(node)) : KTString(Resource(kMessageInOutput));
}

}  // namespace

KTOutputError::KTOutputError(char32_t character, Place place, const KTString& encoding,
                             const KTXPathNode* node)
    : character_(character), place_(place), node_(node) {
  // Text and attribute values take references instead; they have no text here.
  const unsigned placeText = place <= kPlaceTextOutput ? kMessageFirstPlace + place : kMessageFirstPlace;
  message_.Format(Resource(kMessageCharacterNotWritable), static_cast<unsigned>(character), Resource(placeText),
                  encoding.c_str());
}

KTOutputError::KTOutputError(char32_t character, Place place, const KTXPathNode* node, bool xml11)
    : character_(character), place_(place), node_(node), notXmlCharacter_(true) {
  message_.Format(Resource(xml11 ? kMessageOnlyAsReference : kMessageNotXmlCharacter),
                  static_cast<unsigned>(character), DescribePlace(place, node));
}

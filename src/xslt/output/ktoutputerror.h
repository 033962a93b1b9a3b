// KTOutputError: thrown by the result serialiser when a character cannot be
// written: one that the output encoding cannot hold where no character
// reference may stand (a name, a comment, a processing instruction, a CDATA
// section, or anywhere in text output), or one that XML 1.0 does not allow
// in a document at all (xml and html output). The processor reports it as a
// stylesheet error.
#pragma once

#include "core/ktstring.h"

class KTXPathNode;

class KTOutputError {
 public:
  // Where the character stood; each place has its own message text.
  enum Place : int {
    kPlaceName = 0,
    kPlaceComment = 1,
    kPlaceProcessingInstruction = 2,
    kPlaceCData = 3,
    kPlaceTextOutput = 4,
    kPlaceText = 5,
    kPlaceAttribute = 6,
  };

  // A character the output encoding cannot hold.
  KTOutputError(char32_t character, Place place, const KTString& encoding, const KTXPathNode* node);
  // A character that is no XML 1.0 Char (a C0 control other than tab, LF and
  // CR, a lone surrogate, U+FFFE or U+FFFF), or with xml11 a C1 control of
  // an XML 1.1 document where no reference may stand; node tells where it
  // came from.
  KTOutputError(char32_t character, Place place, const KTXPathNode* node, bool xml11 = false);

  char32_t GetCharacter() const { return character_; }
  Place GetPlace() const { return place_; }
  // Whether the character is one XML does not allow (the second constructor).
  bool IsNotXmlCharacter() const { return notXmlCharacter_; }
  // The result node that holds the character (borrowed; may be null).
  const KTXPathNode* GetNode() const { return node_; }
  // "The character U+20AC cannot be written in a comment in the output
  // encoding ISO-8859-1" (message 7260 with the place of 7261-7265), or
  // "The character U+0001 cannot be written: XML 1.0 does not allow it (in
  // the attribute "p" of the element "out")" (7266 or 7274 with 7267-7273).
  const char16_t* GetMessage() const { return message_.c_str(); }

 private:
  char32_t character_;
  Place place_;
  const KTXPathNode* node_;
  bool notXmlCharacter_ = false;
  KTString message_;
};

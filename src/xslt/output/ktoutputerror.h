// KTOutputError: thrown by the result serialiser when a character that the
// output encoding cannot hold stands where no character reference may be
// written (a name, a comment, a processing instruction, a CDATA section, or
// anywhere in text output). The processor reports it as a stylesheet error.
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
  };

  KTOutputError(char32_t character, Place place, const KTString& encoding, const KTXPathNode* node);

  char32_t GetCharacter() const { return character_; }
  Place GetPlace() const { return place_; }
  // The result node that holds the character (borrowed; may be null).
  const KTXPathNode* GetNode() const { return node_; }
  // "The character U+20AC cannot be written in a comment in the output
  // encoding ISO-8859-1" (message 7260 with the place of 7261-7265).
  const char16_t* GetMessage() const { return message_.c_str(); }

 private:
  char32_t character_;
  Place place_;
  const KTXPathNode* node_;
  KTString message_;
};

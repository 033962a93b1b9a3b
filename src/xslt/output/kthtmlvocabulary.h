// KTHtmlVocabulary: the fixed HTML 4 name lists that the html output method
// consults for empty elements, minimised attributes, URI escaping and line
// breaks. Every element not in the empty list gets an end tag.
// Every test folds ASCII case.
#pragma once

#include <string_view>

class KTHtmlVocabulary {
 public:
  // AREA BASE BASEFONT BR COL FRAME HR IMG INPUT ISINDEX LINK META PARAM:
  // written as their start tag alone.
  static bool IsHtmlEmptyElement(std::u16string_view name);
  // Attributes whose values are written as escaped URIs (XSLT 1.0 §16.2):
  // action, href and src; the serialiser adds name on the a element.
  static bool IsHtmlUriAttribute(std::u16string_view name);
  // Attributes written as their name alone.
  static bool IsHtmlBooleanAttribute(std::u16string_view name);
  // Elements that are not inline, around which an indented result starts
  // new lines.
  static bool IsHtmlBlockElement(std::u16string_view name);
};

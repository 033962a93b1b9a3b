// KTHtmlVocabulary: the fixed HTML 4 name lists that the html output method
// consults for empty elements, minimised attributes, URI escaping and line
// breaks. Every element not in the empty list gets an end tag.
// Every test folds ASCII case.
#pragma once

#include <string_view>

class KTHtmlVocabulary {
 public:
  // What the html method does with an element of a name, as bits.
  enum ElementFlag : unsigned {
    kEmptyElement = 1,     // IsHtmlEmptyElement
    kBlockElement = 2,     // IsHtmlBlockElement
    kRawTextElement = 4,   // script and style: text written unescaped
    kVerbatimElement = 8,  // pre, textarea, script and style: no added white space inside
  };
  // What it does with an attribute of a name, as bits.
  enum AttributeFlag : unsigned {
    kUriAttribute = 1,      // IsHtmlUriAttribute
    kBooleanAttribute = 2,  // IsHtmlBooleanAttribute
    kNameAttribute = 4,     // name: a URI on the a element
  };
  // All that the html method asks of one element or attribute name, found
  // in one search (a name most elements and attributes of a page have,
  // such as span or class, is in no list and is turned away on its length
  // and first letter).
  static unsigned ElementFlags(std::u16string_view name);
  static unsigned AttributeFlags(std::u16string_view name);

  // AREA BASE BASEFONT BR COL FRAME HR IMG INPUT ISINDEX LINK META PARAM:
  // written as their start tag alone.
  static bool IsHtmlEmptyElement(std::u16string_view name) { return ElementFlags(name) & kEmptyElement; }
  // Attributes whose values are written as escaped URIs (XSLT 1.0 §16.2):
  // action, href and src; the serialiser adds name on the a element.
  static bool IsHtmlUriAttribute(std::u16string_view name) { return AttributeFlags(name) & kUriAttribute; }
  // Attributes written as their name alone.
  static bool IsHtmlBooleanAttribute(std::u16string_view name) {
    return AttributeFlags(name) & kBooleanAttribute;
  }
  // Elements that are not inline, around which an indented result starts
  // new lines.
  static bool IsHtmlBlockElement(std::u16string_view name) { return ElementFlags(name) & kBlockElement; }
};

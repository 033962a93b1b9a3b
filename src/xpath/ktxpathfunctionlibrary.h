// KTXPathFunctionLibrary: the XPath 1.0 value conversions (string, number,
// boolean, round) that the whole system uses, and the exception that the
// function library throws to the function-call node.
#pragma once

#include <string_view>

#include "core/ktstring.h"
#include "xpath/ktxpathvalue.h"

class KTXPathNode;

// Error kinds of the XPath code space (1 to 17) and the function index
// (0 last .. 35 function-available; -1 none) they were raised for.
enum KTXPathErrorKind : int {
  kXPathErrInvalidPrefix = 1,
  kXPathErrTooFewParameters = 2,
  kXPathErrTooManyParameters = 3,
  kXPathErrNotANodeSet = 4,
  kXPathErrIncorrectArgumentType = 5,
  kXPathErrInvalidVariable = 6,
  kXPathErrInvalidKey = 7,
  kXPathErrFunctionInNamespace = 8,
  kXPathErrUnknownFunction = 9,
  kXPathErrNotAQName = 10,
  kXPathErrResultTreeFragment = 11,
  kXPathErrPatternAxis = 12,
  kXPathErrUnknownDecimalFormat = 13,
  kXPathErrInvalidFormatPattern = 14,
  kXPathErrNaNOrInfinite = 15,
  kXPathErrExternalEntity = 16,
  kXPathErrKeyInKeyDefinition = 17,
};

// Thrown by value from a library function to the function-call node.
struct KTXPathFunctionLibraryException {
  int code;
  int functionIndex;
};

class KTXPathFunctionLibrary {
 public:
  // ---- Conversions (XPath 1.0 §4.2 to §4.4) ----
  // string(): a node-set gives the string value of its first node in document
  // order (empty for an empty set); numbers as NumberToString; booleans
  // "true" and "false".
  static KTString ToString(const KTXPathValue& value);
  static KTString& ToString(KTString& out, const KTXPathValue& value);
  // boolean(): a non-empty node-set, a number neither zero nor NaN, a
  // non-empty string.
  static bool ToBoolean(const KTXPathValue& value) noexcept;
  // number(): booleans 1 and 0; strings and node-sets through StringToNumber
  // of their string value.
  static double ToNumber(const KTXPathValue& value);
  // XPath round() of the value's number: floor(x + 0.5), -0 for -0.5 <= x < 0,
  // NaN, zeros and infinities unchanged.
  static double RoundNumber(const KTXPathValue& value);
  static double RoundDouble(double x) noexcept;

  // The XPath Number production with optional white space around it and an
  // optional '-' before it ("5", "5.", ".5", "-5.25"); anything else, the
  // empty text included, is NaN. Independent of the process locale.
  static double StringToNumber(std::u16string_view text) noexcept;
  // Decimal without exponent: "NaN", "Infinity", "-Infinity", "0" for both
  // zeros; otherwise about 16 significant digits, trailing zeros and a
  // trailing point dropped (0.1 + 0.2 gives "0.3"). Independent of the
  // process locale.
  static KTString& NumberToString(double number, KTString& out);

  // ---- String values of nodes (XPath 1.0 §5) ----
  // Appends the node's string value to out at the tracked length: for a root
  // or element all text and CDATA below it in document order, for other
  // nodes their own value. Walks without recursion.
  static void AppendStringValue(const KTXPathNode* node, KTString& out, int& length);
  // The node's string value: its own value text, or the text gathered into
  // scratch for a root or element. Valid until scratch or the node changes.
  static std::u16string_view StringValueView(const KTXPathNode* node, KTString& scratch);
};

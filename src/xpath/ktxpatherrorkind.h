// KTXPathErrorKind: the kinds of XPath error, numbered as the error codes
// the XPath compiler, evaluator and functions report (their messages are in
// src/xslt/ktxslterror.cpp). Shared by KTXPathExpression and the function
// library, which otherwise need nothing of each other.
#pragma once

// Error kinds of the XPath code space (1 to 17); kXPathErrNone is no error.
enum KTXPathErrorKind : int {
  kXPathErrNone = 0,
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

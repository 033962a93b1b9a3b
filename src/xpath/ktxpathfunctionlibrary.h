// KTXPathFunctionLibrary: the XPath 1.0 value conversions (string, number,
// boolean, round) that the whole system uses, the table of the 36 function
// names, the XPath 1.0 core functions over argument values, and the
// exception that a function throws to the function-call node.
#pragma once

#include <span>
#include <string_view>

#include "core/ktstring.h"
#include "xml/ktxpathnode.h"
#include "xpath/ktxpatherrorkind.h"
#include "xpath/ktxpathvalue.h"

class KTXSLTFunctionServices;

// Thrown by value from a library function to the function-call node.
struct KTXPathFunctionLibraryException {
  int code;           // a KTXPathErrorKind
  int functionIndex;  // the function raising it (0 last .. 35 function-available; -1 none)
  // What the error is about when the function can name it (the key or the
  // decimal format asked for); empty otherwise.
  KTString subject;
};

// Function indices: the numbering of error reports and of the function
// table, whose names XPath error messages show.
enum KTXPathFunctionIndex : int {
  kFnLast = 0, kFnPosition, kFnCount, kFnId, kFnLocalName, kFnNamespaceUri, kFnName, kFnString,
  kFnConcat, kFnStartsWith, kFnContains, kFnSubstringBefore, kFnSubstringAfter, kFnSubstring,
  kFnStringLength, kFnNormalizeSpace, kFnTranslate, kFnBoolean, kFnNot, kFnTrue, kFnFalse, kFnLang,
  kFnNumber, kFnSum, kFnFloor, kFnCeiling, kFnRound,
  // XSLT 1.0 §12 and §15.
  kFnDocument, kFnKey, kFnFormatNumber, kFnCurrent, kFnUnparsedEntityUri, kFnGenerateId,
  kFnSystemProperty, kFnElementAvailable, kFnFunctionAvailable,
  kFunctionCount
};

// One function name with the argument counts it takes.
struct KTXPathFunctionInfo {
  const char16_t* name;
  int index;
  int minArgs;
  int maxArgs;  // kUnlimitedArgs for concat
  bool xslt;    // an XSLT function, known only where XSLT functions are enabled
};
inline constexpr int kUnlimitedArgs = 0x7FFFFFFF;

// What the functions need of the evaluation around a call. The function-call
// node implements it over its evaluation context and expression; the
// defaults describe an evaluation outside any stylesheet.
class KTXPathFunctionContext {
 public:
  virtual ~KTXPathFunctionContext() = default;
  // The context node, the empty item when there is none.
  virtual KTXPathNodeItem ContextNode() const = 0;
  virtual int ContextPosition() const = 0;
  virtual int ContextSize() const = 0;
  // The prefix bindings in force for the expression (null: none).
  virtual const KTPrefixMap* Namespaces() const { return nullptr; }
  // The expression's restriction flags (2: a key definition).
  virtual int Restrictions() const { return 0; }
  // XSLT: the current node, the stylesheet element holding the expression
  // (the base of relative document() URIs) and the stylesheet's root.
  virtual KTXPathNode* CurrentNode() const { return nullptr; }
  virtual KTXPathNode* StylesheetNode() const { return nullptr; }
  virtual KTXPathNode* StylesheetRoot() const { return nullptr; }
  // The root of the document at an absolute URI, loaded once; null when it
  // cannot be loaded.
  virtual KTXPathNode* LoadDocument(const KTString& uri) { return nullptr; }
  // The processor's keys and decimal formats (null outside a stylesheet:
  // key() and format-number() then fail with codes 7 and 13).
  virtual KTXSLTFunctionServices* XSLTServices() const { return nullptr; }
};

class KTXPathFunctionLibrary {
 public:
  // ---- Functions ----
  // The function of the name (exact, case-sensitive), or null when there is
  // none; XSLT functions only when xslt is set.
  static const KTXPathFunctionInfo* FindFunction(std::u16string_view name, bool xslt) noexcept;
  static const KTXPathFunctionInfo& FunctionAt(int index) noexcept;
  // Raises code 2 or 3 when the count is outside the function's range, and
  // code 17 for key() in a key definition (checked first); run before the
  // arguments are evaluated.
  static void CheckCall(const KTXPathFunctionInfo& function, int argumentCount, const KTXPathFunctionContext& context);
  // Runs the function over the evaluated arguments. Throws
  // KTXPathFunctionLibraryException {code, function index} on an error.
  static KTXPathValue Call(const KTXPathFunctionInfo& function, KTXPathFunctionContext& context,
                           std::span<const KTXPathValue> arguments);
  [[noreturn]] static void Raise(int code, int functionIndex);
  [[noreturn]] static void Raise(int code, int functionIndex, const KTString& subject);
  // Whether the function's argument must be a node-set (XPath 1.0 §4.1,
  // §4.4, XSLT 1.0 §12.4: count, sum, local-name, namespace-uri, name,
  // generate-id): XPath converts nothing to a node-set, so another value is
  // error 4 and a result tree fragment error 11 (XSLT 1.0 §11.1).
  static bool TakesNodeSet(int functionIndex) noexcept;
  // A variable's result tree fragment: one root that the processor built,
  // wrapping no document node.
  static bool IsResultTreeFragment(const KTXPathValue& value) noexcept;

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
  // What name() gives for the node (XPath 1.0 §4.1): the QName of an
  // element or attribute, a processing instruction's target, a namespace
  // node's prefix; empty for other nodes and for null.
  static std::u16string_view NameOf(const KTXPathNode* node);
  // What normalize-space() gives for the text (XPath 1.0 §4.2): leading and
  // trailing white space dropped, each inner run of it one space.
  static KTString& NormalizeSpace(std::u16string_view text, KTString& out);
};

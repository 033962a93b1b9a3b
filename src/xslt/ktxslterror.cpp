// KTXSLTError: the message of every error code and XPath error kind, each
// beside its name, and the message as the user reads it.
#include "xslt/ktxslterror.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "xml/ktxpathnode.h"
#include "xpath/ktxpathexpression.h"
#include "xpath/ktxpathfunctionlibrary.h"

namespace {

struct CodeText {
  int code;
  const char16_t* text;
};

// The message of each table code, in code order.
constexpr CodeText kCodeTexts[] = {
    {KTXSLTError::kAttributeRepeated, u"An attribute which should only occur once occurs multiple times"},
    {KTXSLTError::kAttributeSetExists, u"An attribute set with this name has already been defined"},
    {KTXSLTError::kDecimalFormatExists, u"A decimal format with this name has already been defined"},
    {KTXSLTError::kExpressionExpected, u"XPath expression expected"},
    {KTXSLTError::kInvalidXPathExpression, u"Invalid XPath expression"},
    {KTXSLTError::kUnexpectedFailure, u"Unexpected XSLT processor failure"},
    {KTXSLTError::kUndefinedTemplate, u"Undefined template"},
    {KTXSLTError::kUndefinedAttributeSet, u"Undefined attribute set"},
    {KTXSLTError::kUndefinedPrefix, u"Undefined namespace prefix"},
    {KTXSLTError::kTemplateExists, u"A template with this name already exists"},
    {KTXSLTError::kKeyExists, u"A key with this name already exists"},
    {KTXSLTError::kVariableExists, u"A variable with this name already exists"},
    {KTXSLTError::kParameterExists, u"A parameter with this name already exists"},
    {KTXSLTError::kSelectWithContent, u"Variables cannot have both select attribute and child elements"},
    {KTXSLTError::kMatchExpected, u"The template has a mode param but not a match"},
    {KTXSLTError::kUseExpected, u"use attribute expected"},
    {KTXSLTError::kSelectExpected, u"select attribute expected"},
    {KTXSLTError::kTestExpected, u"test attribute expected"},
    {KTXSLTError::kVersionExpected, u"version attribute expected"},
    {KTXSLTError::kNameExpected, u"name attribute expected"},
    {KTXSLTError::kWhenExpected, u"xsl:choose requires as xsl:when child"},
    {KTXSLTError::kHrefExpected, u"HREF attribute expected"},
    {KTXSLTError::kElementsExpected, u"elements attribute expected"},
    {KTXSLTError::kStylesheetPrefixExpected, u"stylesheet-prefix attribute expected"},
    {KTXSLTError::kResultPrefixExpected, u"result-prefix attribute expected"},
    {KTXSLTError::kUnexpectedOtherwise, u"unexpected xsl:otherwise"},
    {KTXSLTError::kNotWhenOrOtherwise, u"Target node must be an xsl:when or xsl:otherwise instruction"},
    {KTXSLTError::kNotNodeSet, u"Expression did not evaluate to a node set"},
    {KTXSLTError::kUnexpectedChildren, u"Unexpected children"},
    {KTXSLTError::kUnexpectedValue, u"Unexpected value"},
    {KTXSLTError::kUnexpectedAttribute, u"Unexpected attribute"},
    {KTXSLTError::kUnexpectedChild, u"Unexpected child"},
    {KTXSLTError::kUnexpectedElement, u"Unexpected element"},
    {KTXSLTError::kUnexpectedParent, u"Unexpected parent"},
    {KTXSLTError::kUnexpectedApplyImports, u"Unexpected xsl:apply-imports"},
    {KTXSLTError::kNotTopLevel, u"Not a child of xsl:stylesheet or xsl:transform"},
    {KTXSLTError::kNotRootElement, u"Not a root element"},
    {KTXSLTError::kNotPITarget, u"Not an NCName and PITarget"},
    {KTXSLTError::kNotQName, u"Not a QName"},
    {KTXSLTError::kWithParamAfterSort, u"unexpected xsl:with-param after xsl:sort"},
    {KTXSLTError::kCannotLoad, u"Could not load external entity"},
    {KTXSLTError::kCannotImport, u"Could not import external entity"},
    {KTXSLTError::kCannotInclude, u"Could not include external entity"},
    {KTXSLTError::kRecursiveInclude, u"Recursive include or import of external entity is not allowed"},
    {KTXSLTError::kVariablesInPattern, u"Variables and parameters cannot be used in patterns"},
    {KTXSLTError::kValueTemplateSyntax, u"Attribute value template syntax is incorrect"},
    {KTXSLTError::kTemplateNeedsNameOrMatch, u"xsl:template requires either a name or a match attribute"},
    {KTXSLTError::kImportAfterOtherElement, u"Import preceded by other XSL element in stylesheet"},
    {KTXSLTError::kRecursiveVariable, u"Recursive variable definition"},
};

// The head of every XPath error message.
constexpr char16_t kXPathMessageHead[] = u"Error in XPath expression, ";

// The text of each XPath error kind, in kind order.
constexpr CodeText kXPathKindTexts[] = {
    {kXPathErrInvalidPrefix, u"Invalid prefix"},
    {kXPathErrTooFewParameters, u"Too few parameters"},
    {kXPathErrTooManyParameters, u"Too many parameters"},
    {kXPathErrNotANodeSet, u"Not a node set"},
    {kXPathErrIncorrectArgumentType, u"Incorrect argument type"},
    {kXPathErrInvalidVariable, u"Invalid variable reference"},
    {kXPathErrInvalidKey, u"Invalid key reference"},
    {kXPathErrFunctionInNamespace, u"Function not in namespace"},
    {kXPathErrUnknownFunction, u"Unknown XPath function"},
    {kXPathErrNotAQName, u"Argument not a QName"},
    {kXPathErrResultTreeFragment, u"Cannot use result tree fragment"},
    {kXPathErrPatternAxis, u"Only child and attribute axes allowed in patterns"},
    {kXPathErrUnknownDecimalFormat, u"Unknown decimal format"},
    {kXPathErrInvalidFormatPattern, u"Invalid format pattern"},
    {kXPathErrNaNOrInfinite, u"NaN or Infinite number as argument"},
    {kXPathErrExternalEntity, u"Could not find external entity"},
    {kXPathErrKeyInKeyDefinition, u"key function called within a key definition"},
};

// True when the rows hold the codes first, first + 1, ... in order, so that
// a code finds its row by subtraction.
template <size_t N>
constexpr bool Consecutive(const CodeText (&rows)[N], int first) {
  for (size_t i = 0; i < N; ++i) {
    if (rows[i].code != first + static_cast<int>(i)) return false;
  }
  return true;
}
static_assert(Consecutive(kCodeTexts, KTXSLTError::kFirstTableCode) &&
              std::size(kCodeTexts) == KTXSLTError::kLastTableCode - KTXSLTError::kFirstTableCode + 1);
static_assert(Consecutive(kXPathKindTexts, kXPathErrInvalidPrefix) &&
              std::size(kXPathKindTexts) == kXPathErrKeyInKeyDefinition);

template <size_t N>
const char16_t* TextOf(const CodeText (&rows)[N], int code) {
  const int index = code - rows[0].code;
  return index >= 0 && index < static_cast<int>(N) ? rows[index].text : nullptr;
}

// A longer expression is shown as the part around the character at which it
// failed, so that the marker line stays on one screen line.
constexpr int kShownExpressionLength = 120;

// Values and texts longer than this are cut where a message quotes them.
constexpr size_t kQuotedLength = 40;

bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// The expression on a line of its own and, below it, a caret under the
// character at `offset` (none when the offset is -1). Line ends and tabs in
// the text become spaces, so that the caret stays under its character.
void AppendExpression(std::u16string& out, std::u16string_view text, int offset) {
  const int size = static_cast<int>(text.size());
  int from = 0;
  int to = size;
  if (size > kShownExpressionLength) {
    from = std::max(0, std::min(offset, size) - kShownExpressionLength / 2);
    to = std::min(size, from + kShownExpressionLength);
    from = std::max(0, to - kShownExpressionLength);
    if (from > 0 && IsLowSurrogate(text[from])) ++from;
    if (to < size && IsHighSurrogate(text[to - 1])) --to;
  }
  std::u16string line;
  int column = 0;
  if (from > 0) {
    line += u"...";
    column = 3;
  }
  for (int i = from; i < to; ++i) {
    char16_t c = text[i];
    line += c == u'\t' || c == u'\n' || c == u'\r' ? u' ' : c;
    // A character outside the BMP takes one column, not two.
    if (i < offset && !IsLowSurrogate(c)) ++column;
  }
  if (to < size) line += u"...";
  out += u'\n';
  out += line;
  if (offset < 0) return;
  out += u'\n';
  out.append(static_cast<size_t>(column), u' ');
  out += u'^';
}

}  // namespace

KTXSLTError::KTXSLTError(int code, KTXPathNode* node) : code_(code) {
  while (node && node->IsFromEntity()) node = node->GetParent();
  node_ = node;
}

KTXSLTError::KTXSLTError(const KTXSLTError& other) = default;
KTXSLTError& KTXSLTError::operator=(const KTXSLTError& other) = default;
KTXSLTError::~KTXSLTError() = default;

void KTXSLTError::SetXPathError(int kind, int functionIndex) {
  xpathKind_ = kind;
  functionIndex_ = functionIndex;
}

KTXSLTError KTXSLTError::About(int code, KTXPathNode* node) {
  KTXSLTError error(code, node);
  error.SetSubject(Describe(node));
  return error;
}

KTString KTXSLTError::Describe(const KTXPathNode* node) {
  if (!node) return KTString();
  const int kind = node->GetKind();
  if (kind == kXPathElement) return KTString(node->GetName());
  if (kind != kXPathAttribute && kind != kXPathText && kind != kXPathCData) return KTString();
  std::u16string_view value(node->GetValue() ? node->GetValue() : u"");
  if (value.size() > kQuotedLength) {
    size_t cut = kQuotedLength;
    if (IsHighSurrogate(value[cut - 1])) --cut;
    value = value.substr(0, cut);
  }
  KTString described(kind == kXPathAttribute ? KTString(node->GetName()) : KTString(u"text "));
  if (kind == kXPathAttribute) described += u'=';
  described += u'"';
  described += KTString(value);
  if (value.size() < std::u16string_view(node->GetValue() ? node->GetValue() : u"").size()) described += u"...";
  described += u'"';
  return described;
}

void KTXSLTError::SetSubject(const KTString& subject) {
  subject_ = subject;
  detailedMessage_ = KTString();
}

void KTXSLTError::SetExpression(const KTString& text, int offset) {
  expression_ = text;
  expressionOffset_ = std::clamp(offset, -1, static_cast<int>(text.GetLength()));
  detailedMessage_ = KTString();
}

void KTXSLTError::SetOrigin(const KTString& origin) {
  origin_ = origin;
  node_ = nullptr;
  detailedMessage_ = KTString();
}

const char16_t* KTXSLTError::GetDetailedMessage() {
  if (!detailedMessage_.IsEmpty()) return detailedMessage_;
  std::u16string text;
  if (!origin_.IsEmpty()) {
    text += origin_.View();
    text += u": ";
  }
  text += GetMessage();
  if (!subject_.IsEmpty()) {
    text += u": ";
    text += subject_.View();
  }
  if (!expression_.IsEmpty()) AppendExpression(text, expression_.View(), expressionOffset_);
  detailedMessage_ = KTString(std::u16string_view(text));
  return detailedMessage_;
}

const char16_t* KTXSLTError::TextOfCode(int code) { return TextOf(kCodeTexts, code); }

const char16_t* KTXSLTError::TextOfXPathKind(int kind) { return TextOf(kXPathKindTexts, kind); }

const char16_t* KTXSLTError::FunctionNameOfIndex(int index) {
  return index >= 0 && index < kFunctionCount ? KTXPathFunctionLibrary::FunctionAt(index).name : nullptr;
}

const char16_t* KTXSLTError::GetMessage() {
  if (!message_.IsEmpty()) return message_;
  if (code_ == kNone) return u"";
  if (code_ == kXPathError) return GetXPathMessage();
  const char16_t* text = TextOfCode(code_);
  if (!text) return u"Unknown error";
  message_ = text;
  return message_;
}

const char16_t* KTXSLTError::GetXPathMessage() {
  if (!xpathMessage_.IsEmpty()) return xpathMessage_;
  const char16_t* function = FunctionNameOfIndex(functionIndex_);
  const char16_t* kind = TextOfXPathKind(xpathKind_);
  xpathMessage_ = kXPathMessageHead;
  if (!function) {
    if (kind) xpathMessage_ += kind;
  } else {
    KTString detail;
    detail.Format(u"%s -> %s", kind ? kind : u"", function);
    xpathMessage_ += detail;
  }
  return xpathMessage_;
}

// KTXSLTError: message lookup for stylesheet and XPath errors. The texts
// live in the program's string table; the object caches what it has loaded.
#include "xslt/ktxslterror.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "xml/ktxpathnode.h"

namespace {

// Resource id of each table code, indexed by code - 2.
constexpr unsigned kCodeResourceIds[] = {
    7240, 7200, 7237, 7201, 7245, 7202, 7203, 7204, 7205, 7206,  // 2-11
    7235, 7207, 7208, 7236, 7244, 7238, 7209, 7210, 7211, 7212,  // 12-21
    7213, 7214, 7249, 7215, 7216, 7217, 7218, 7219, 7220, 7221,  // 22-31
    7222, 7223, 7224, 7225, 7226, 7227, 7228, 7229, 7230, 7231,  // 32-41
    7232, 7233, 7234, 7246, 7241, 7242, 7243, 7247, 7248,        // 42-50
};
static_assert(std::size(kCodeResourceIds) ==
              KTXSLTError::kLastTableCode - KTXSLTError::kFirstTableCode + 1);

// Resource id of each XPath error kind, indexed by kind - 1.
constexpr unsigned kXPathKindResourceIds[] = {
    7401, 7402, 7403, 7404, 7405, 7406, 7454, 7407, 7408,  // 1-9
    7409, 7410, 7411, 7449, 7450, 7451, 7453, 7455,        // 10-17
};
static_assert(std::size(kXPathKindResourceIds) == KTXSLTError::kLastXPathErrorKind);

KTString LoadText(unsigned id) {
  KTString text;
  if (id != 0) text.LoadString(id);  // a missing text leaves it empty
  return text;
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

unsigned KTXSLTError::ResourceIdOfCode(int code) {
  if (code < kFirstTableCode || code > kLastTableCode) return 0;
  return kCodeResourceIds[code - kFirstTableCode];
}

unsigned KTXSLTError::ResourceIdOfXPathKind(int kind) {
  if (kind < 1 || kind > kLastXPathErrorKind) return 0;
  return kXPathKindResourceIds[kind - 1];
}

const char16_t* KTXSLTError::GetMessage() {
  if (!message_.IsEmpty()) return message_;
  if (code_ == kNone) return u"";
  if (code_ == kXPathError) return GetXPathMessage();
  if (code_ < kFirstTableCode || code_ > kLastTableCode) return u"Unknown error";
  message_ = LoadText(ResourceIdOfCode(code_));
  return message_;
}

const char16_t* KTXSLTError::GetXPathMessage() {
  if (!xpathMessage_.IsEmpty()) return xpathMessage_;
  KTString function;
  if (functionIndex_ >= 0 && functionIndex_ <= kLastFunctionIndex)
    function = LoadText(kFirstFunctionNameId + static_cast<unsigned>(functionIndex_));
  KTString kind = LoadText(ResourceIdOfXPathKind(xpathKind_));
  xpathMessage_ = LoadText(kXPathMessageHeadId);
  if (function.IsEmpty()) {
    xpathMessage_ += kind;
  } else {
    KTString detail;
    detail.Format(u"%s -> %s", kind.c_str(), function.c_str());
    xpathMessage_ += detail;
  }
  return xpathMessage_;
}

// Keyword recognition of stylesheet elements and attributes: element names in
// the XSLT namespace and attribute names map to their ids by exact,
// case-sensitive compares of the local name.
#include "xslt/ktxsltkeywords.h"

#include "xml/ktxpathnode.h"

namespace {

struct NamedId {
  std::u16string_view name;
  int id;
};

// In id order; "transform" shares its id with "stylesheet".
constexpr NamedId kElementNames[] = {
    {u"apply-imports", kXSLTApplyImports},
    {u"apply-templates", kXSLTApplyTemplates},
    {u"attribute", kXSLTAttribute},
    {u"attribute-set", kXSLTAttributeSet},
    {u"call-template", kXSLTCallTemplate},
    {u"choose", kXSLTChoose},
    {u"comment", kXSLTComment},
    {u"copy", kXSLTCopy},
    {u"copy-of", kXSLTCopyOf},
    {u"decimal-format", kXSLTDecimalFormat},
    {u"element", kXSLTElement},
    {u"fallback", kXSLTFallback},
    {u"for-each", kXSLTForEach},
    {u"if", kXSLTIf},
    {u"import", kXSLTImport},
    {u"include", kXSLTInclude},
    {u"key", kXSLTKey},
    {u"message", kXSLTMessage},
    {u"namespace-alias", kXSLTNamespaceAlias},
    {u"number", kXSLTNumber},
    {u"otherwise", kXSLTOtherwise},
    {u"output", kXSLTOutput},
    {u"param", kXSLTParam},
    {u"preserve-space", kXSLTPreserveSpace},
    {u"processing-instruction", kXSLTProcessingInstruction},
    {u"sort", kXSLTSort},
    {u"strip-space", kXSLTStripSpace},
    {u"stylesheet", kXSLTStylesheet},
    {u"transform", kXSLTStylesheet},
    {u"template", kXSLTTemplate},
    {u"text", kXSLTText},
    {u"value-of", kXSLTValueOf},
    {u"variable", kXSLTVariable},
    {u"when", kXSLTWhen},
    {u"with-param", kXSLTWithParam},
};

// The four names known in the XSLT namespace as well (checked first).
constexpr NamedId kDirectiveAttributeNames[] = {
    {u"exclude-result-prefixes", kAttrExcludeResultPrefixes},
    {u"extension-element-prefixes", kAttrExtensionElementPrefixes},
    {u"use-attribute-sets", kAttrUseAttributeSets},
    {u"version", kAttrVersion},
};

// Every other known attribute name, in id order.
constexpr NamedId kAttributeNames[] = {
    {u"case-order", kAttrCaseOrder},
    {u"cdata-section-elements", kAttrCdataSectionElements},
    {u"count", kAttrCount},
    {u"data-type", kAttrDataType},
    {u"decimal-separator", kAttrDecimalSeparator},
    {u"digit", kAttrDigit},
    {u"disable-output-escaping", kAttrDisableOutputEscaping},
    {u"doctype-public", kAttrDoctypePublic},
    {u"doctype-system", kAttrDoctypeSystem},
    {u"elements", kAttrElements},
    {u"encoding", kAttrEncoding},
    {u"format", kAttrFormat},
    {u"from", kAttrFrom},
    {u"grouping-separator", kAttrGroupingSeparator},
    {u"grouping-size", kAttrGroupingSize},
    {u"href", kAttrHref},
    {u"id", kAttrId},
    {u"indent", kAttrIndent},
    {u"infinity", kAttrInfinity},
    {u"lang", kAttrLang},
    {u"letter-value", kAttrLetterValue},
    {u"level", kAttrLevel},
    {u"match", kAttrMatch},
    {u"media-type", kAttrMediaType},
    {u"method", kAttrMethod},
    {u"minus-sign", kAttrMinusSign},
    {u"mode", kAttrMode},
    {u"name", kAttrName},
    {u"namespace", kAttrNamespace},
    {u"NaN", kAttrNaN},
    {u"omit-xml-declaration", kAttrOmitXmlDeclaration},
    {u"order", kAttrOrder},
    {u"pattern-separator", kAttrPatternSeparator},
    {u"percent", kAttrPercent},
    {u"per-mille", kAttrPerMille},
    {u"priority", kAttrPriority},
    {u"result-prefix", kAttrResultPrefix},
    {u"select", kAttrSelect},
    {u"standalone", kAttrStandalone},
    {u"stylesheet-prefix", kAttrStylesheetPrefix},
    {u"terminate", kAttrTerminate},
    {u"test", kAttrTest},
    {u"use", kAttrUse},
    {u"value", kAttrValue},
    {u"zero-digit", kAttrZeroDigit},
};

// A table's names grouped by length, each group in table order: a lookup
// compares only the names of the wanted length, and a name longer than every
// keyword (most literal result elements' are not) costs one test.
constexpr size_t kMaxKeywordLength = 32;

template <size_t N>
class NamesByLength {
 public:
  constexpr explicit NamesByLength(const NamedId (&table)[N]) {
    size_t at = 0;
    for (size_t length = 0; length <= kMaxKeywordLength; ++length) {
      start_[length] = at;
      for (const NamedId& entry : table)
        if (entry.name.size() == length) sorted_[at++] = entry;
    }
    start_[kMaxKeywordLength + 1] = at;
  }

  int Find(std::u16string_view name, int none) const {
    if (name.size() > kMaxKeywordLength) return none;
    // Names of one length mostly differ at their first character.
    for (size_t i = start_[name.size()], end = start_[name.size() + 1]; i < end; ++i)
      if (sorted_[i].name[0] == name[0] && sorted_[i].name == name) return sorted_[i].id;
    return none;
  }

 private:
  NamedId sorted_[N] = {};
  size_t start_[kMaxKeywordLength + 2] = {};
};

constexpr NamesByLength kElementsByLength(kElementNames);
constexpr NamesByLength kDirectiveAttributesByLength(kDirectiveAttributeNames);
constexpr NamesByLength kAttributesByLength(kAttributeNames);

// KTString's own compare: one block compare of the known lengths, where a
// view compare walks the units one by one.
bool IsUri(const KTString* uri, const KTString& xsltUri) { return uri && *uri == xsltUri; }

}  // namespace

std::u16string_view KTXSLTLocalName(const char16_t* name) {
  if (!name) return std::u16string_view();
  // One pass finds both the first ':' and the end.
  const char16_t* local = name;
  const char16_t* at = name;
  for (; *at; ++at)
    if (*at == u':' && local == name) local = at + 1;
  return std::u16string_view(local, static_cast<size_t>(at - local));
}

int KTXSLTElementIdOfLocalName(std::u16string_view localName) {
  return kElementsByLength.Find(localName, kXSLTNoElement);
}

// ---- Elements ----

KTXSLTElementRecognizer::KTXSLTElementRecognizer() : xsltUri_(kXSLTNamespaceUri) {}

int KTXSLTElementRecognizer::ElementId(const KTXPathNode* node) const {
  if (!IsUri(node->GetNamespaceUri(), xsltUri_)) return kXSLTLiteralResult;
  int id = KTXSLTElementIdOfLocalName(KTXSLTLocalName(node->GetName()));
  return id != kXSLTNoElement ? id : kXSLTLiteralResult;
}

bool KTXSLTElementRecognizer::IsInXSLTNamespace(const KTXPathNode* node) const {
  return IsUri(node->GetNamespaceUri(), xsltUri_);
}

bool KTXSLTElementRecognizer::IsXSL(const KTXPathNode* node, std::u16string_view localName) const {
  return IsUri(node->GetNamespaceUri(), xsltUri_) && KTXSLTLocalName(node->GetName()) == localName;
}

// ---- Attributes ----

KTXSLTAttributeRecognizer::KTXSLTAttributeRecognizer() : xsltUri_(kXSLTNamespaceUri) {}

int KTXSLTAttributeRecognizer::AttributeId(const KTXPathNode* attribute) const {
  std::u16string_view local = KTXSLTLocalName(attribute->GetName());
  const KTString* uri = attribute->GetNamespaceUri();
  if (!uri || IsUri(uri, xsltUri_)) {
    int id = kDirectiveAttributesByLength.Find(local, kAttrNone);
    if (id != kAttrNone) return id;
  }
  if (uri) return kAttrOther;
  return kAttributesByLength.Find(local, kAttrOther);
}

bool KTXSLTAttributeRecognizer::HasNoNamespace(const KTXPathNode* attribute) const {
  return attribute->GetNamespaceUri() == nullptr;
}

bool KTXSLTAttributeRecognizer::IsXSL(const KTXPathNode* attribute, std::u16string_view localName) const {
  return IsUri(attribute->GetNamespaceUri(), xsltUri_) && KTXSLTLocalName(attribute->GetName()) == localName;
}

bool KTXSLTAttributeRecognizer::IsXSLExcludeResultPrefixes(const KTXPathNode* attribute) const {
  return IsXSL(attribute, u"exclude-result-prefixes");
}

bool KTXSLTAttributeRecognizer::IsXSLUseAttributeSets(const KTXPathNode* attribute) const {
  return IsXSL(attribute, u"use-attribute-sets");
}

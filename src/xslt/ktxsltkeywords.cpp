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

// In id order; "transform" shares 29 with "stylesheet".
constexpr NamedId kElementNames[] = {
    {u"apply-imports", 2},  {u"apply-templates", 3},
    {u"attribute", 4},      {u"attribute-set", 5},
    {u"call-template", 6},  {u"choose", 7},
    {u"comment", 8},        {u"copy", 9},
    {u"copy-of", 10},       {u"decimal-format", 11},
    {u"element", 12},       {u"fallback", 13},
    {u"for-each", 14},      {u"if", 15},
    {u"import", 16},        {u"include", 17},
    {u"key", 18},           {u"message", 19},
    {u"namespace-alias", 20}, {u"number", 21},
    {u"otherwise", 22},     {u"output", 23},
    {u"param", 24},         {u"preserve-space", 25},
    {u"processing-instruction", 26}, {u"sort", 27},
    {u"strip-space", 28},   {u"stylesheet", 29},
    {u"transform", 29},     {u"template", 30},
    {u"text", 31},          {u"value-of", 33},
    {u"variable", 34},      {u"when", 35},
    {u"with-param", 36},
};

// The four names known in the XSLT namespace as well (checked first).
constexpr NamedId kDirectiveAttributeNames[] = {
    {u"exclude-result-prefixes", 12},
    {u"extension-element-prefixes", 13},
    {u"use-attribute-sets", 47},
    {u"version", 49},
};

// Every other known attribute name, in id order.
constexpr NamedId kAttributeNames[] = {
    {u"case-order", 1},          {u"cdata-section-elements", 2}, {u"count", 3},
    {u"data-type", 4},           {u"decimal-separator", 5},      {u"digit", 6},
    {u"disable-output-escaping", 7}, {u"doctype-public", 8},    {u"doctype-system", 9},
    {u"elements", 10},           {u"encoding", 11},              {u"format", 14},
    {u"from", 15},               {u"grouping-separator", 16},    {u"grouping-size", 17},
    {u"href", 18},               {u"id", 19},                    {u"indent", 20},
    {u"infinity", 21},           {u"lang", 22},                  {u"letter-value", 23},
    {u"level", 24},              {u"match", 26},                 {u"media-type", 27},
    {u"method", 28},             {u"minus-sign", 29},            {u"mode", 30},
    {u"name", 31},               {u"namespace", 32},             {u"NaN", 33},
    {u"omit-xml-declaration", 34}, {u"order", 35},              {u"pattern-separator", 36},
    {u"percent", 37},            {u"per-mille", 38},             {u"priority", 39},
    {u"result-prefix", 40},      {u"select", 41},                {u"standalone", 42},
    {u"stylesheet-prefix", 43},  {u"terminate", 44},             {u"test", 45},
    {u"use", 46},                {u"value", 48},                 {u"zero-digit", 50},
};

template <size_t N>
int FindId(const NamedId (&table)[N], std::u16string_view name, int none) {
  for (const NamedId& entry : table) {
    if (entry.name == name) return entry.id;
  }
  return none;
}

bool IsUri(const KTString* uri, const KTString& xsltUri) { return uri && uri->View() == xsltUri.View(); }

}  // namespace

std::u16string_view KTXSLTLocalName(const char16_t* name) {
  std::u16string_view text(name ? name : u"");
  size_t colon = text.find(u':');
  return colon == std::u16string_view::npos ? text : text.substr(colon + 1);
}

int KTXSLTElementIdOfLocalName(std::u16string_view localName) { return FindId(kElementNames, localName, 0); }

// ---- Elements ----

KTXSLTElementRecognizer::KTXSLTElementRecognizer() : xsltUri_(kXSLTNamespaceUri) {}

int KTXSLTElementRecognizer::ElementId(const KTXPathNode* node) const {
  if (!IsUri(node->GetNamespaceUri(), xsltUri_)) return kXSLTLiteralResult;
  int id = KTXSLTElementIdOfLocalName(KTXSLTLocalName(node->GetName()));
  return id ? id : kXSLTLiteralResult;
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
    int id = FindId(kDirectiveAttributeNames, local, 0);
    if (id) return id;
  }
  if (uri) return kAttrOther;
  return FindId(kAttributeNames, local, kAttrOther);
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

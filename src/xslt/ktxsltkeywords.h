// Keyword recognition: the small integer ids by which the XSLT processor
// names stylesheet elements (KTXSLTElementId) and attributes
// (KTXSLTAttributeId), and the two recognisers that give a view node its id.
// Every table keyed by the kind of a stylesheet node uses these ids.
#pragma once

#include <string_view>

#include "core/ktstring.h"

class KTXPathNode;

// Ids of stylesheet nodes. They follow the alphabetical order of the XSLT 1.0
// element names; kXSLTUnassigned stands where "transform" would fall and is
// never given ("transform" is recognised as kXSLTStylesheet).
// kXSLTLiteralResult is every node outside the XSLT namespace: literal result
// elements, text, and XSLT elements of unknown name.
enum KTXSLTElementId : int {
  kXSLTNoElement = 0,  // no id: a node not compiled, a name not found
  kXSLTLiteralResult = 1,
  kXSLTApplyImports = 2,
  kXSLTApplyTemplates = 3,
  kXSLTAttribute = 4,
  kXSLTAttributeSet = 5,
  kXSLTCallTemplate = 6,
  kXSLTChoose = 7,
  kXSLTComment = 8,
  kXSLTCopy = 9,
  kXSLTCopyOf = 10,
  kXSLTDecimalFormat = 11,
  kXSLTElement = 12,
  kXSLTFallback = 13,
  kXSLTForEach = 14,
  kXSLTIf = 15,
  kXSLTImport = 16,
  kXSLTInclude = 17,
  kXSLTKey = 18,
  kXSLTMessage = 19,
  kXSLTNamespaceAlias = 20,
  kXSLTNumber = 21,
  kXSLTOtherwise = 22,
  kXSLTOutput = 23,
  kXSLTParam = 24,
  kXSLTPreserveSpace = 25,
  kXSLTProcessingInstruction = 26,
  kXSLTSort = 27,
  kXSLTStripSpace = 28,
  kXSLTStylesheet = 29,
  kXSLTTemplate = 30,
  kXSLTText = 31,
  kXSLTUnassigned = 32,
  kXSLTValueOf = 33,
  kXSLTVariable = 34,
  kXSLTWhen = 35,
  kXSLTWithParam = 36,
};
constexpr int kXSLTElementIdCount = 37;  // ids 0..36; kXSLTNoElement and kXSLTUnassigned are never given

// Ids of attribute names; kAttrOther is any name not in the table.
enum KTXSLTAttributeId : int {
  kAttrNone = 0,  // no id: a name not found
  kAttrCaseOrder = 1,
  kAttrCdataSectionElements = 2,
  kAttrCount = 3,
  kAttrDataType = 4,
  kAttrDecimalSeparator = 5,
  kAttrDigit = 6,
  kAttrDisableOutputEscaping = 7,
  kAttrDoctypePublic = 8,
  kAttrDoctypeSystem = 9,
  kAttrElements = 10,
  kAttrEncoding = 11,
  kAttrExcludeResultPrefixes = 12,
  kAttrExtensionElementPrefixes = 13,
  kAttrFormat = 14,
  kAttrFrom = 15,
  kAttrGroupingSeparator = 16,
  kAttrGroupingSize = 17,
  kAttrHref = 18,
  kAttrId = 19,
  kAttrIndent = 20,
  kAttrInfinity = 21,
  kAttrLang = 22,
  kAttrLetterValue = 23,
  kAttrLevel = 24,
  kAttrOther = 25,
  kAttrMatch = 26,
  kAttrMediaType = 27,
  kAttrMethod = 28,
  kAttrMinusSign = 29,
  kAttrMode = 30,
  kAttrName = 31,
  kAttrNamespace = 32,
  kAttrNaN = 33,
  kAttrOmitXmlDeclaration = 34,
  kAttrOrder = 35,
  kAttrPatternSeparator = 36,
  kAttrPercent = 37,
  kAttrPerMille = 38,
  kAttrPriority = 39,
  kAttrResultPrefix = 40,
  kAttrSelect = 41,
  kAttrStandalone = 42,
  kAttrStylesheetPrefix = 43,
  kAttrTerminate = 44,
  kAttrTest = 45,
  kAttrUse = 46,
  kAttrUseAttributeSets = 47,
  kAttrValue = 48,
  kAttrVersion = 49,
  kAttrZeroDigit = 50,
};
constexpr int kXSLTAttributeIdCount = 51;  // ids 0..50; kAttrNone is never given

// The namespace name XSLT 1.0 §2.1 gives to XSLT elements and attributes.
inline constexpr char16_t kXSLTNamespaceUri[] = u"http://www.w3.org/1999/XSL/Transform";

// The text after the first ':' of a name, else the whole name.
std::u16string_view KTXSLTLocalName(const char16_t* name);

// The element id of an XSLT local name, or kXSLTNoElement when the name is
// not one of XSLT 1.0's elements.
int KTXSLTElementIdOfLocalName(std::u16string_view localName);

class KTXSLTElementRecognizer {
 public:
  KTXSLTElementRecognizer();
  virtual ~KTXSLTElementRecognizer() = default;

  // kXSLTLiteralResult for every node outside the XSLT namespace and for
  // XSLT elements of unknown name; the prefix is never looked at.
  int ElementId(const KTXPathNode* node) const;
  bool IsXSLTElement(const KTXPathNode* node) const { return ElementId(node) != kXSLTLiteralResult; }
  bool IsInXSLTNamespace(const KTXPathNode* node) const;

  bool IsXSLAttribute(const KTXPathNode* node) const { return IsXSL(node, u"attribute"); }
  bool IsXSLFallback(const KTXPathNode* node) const { return IsXSL(node, u"fallback"); }
  bool IsXSLImport(const KTXPathNode* node) const { return IsXSL(node, u"import"); }
  bool IsXSLInclude(const KTXPathNode* node) const { return IsXSL(node, u"include"); }
  bool IsXSLOtherwise(const KTXPathNode* node) const { return IsXSL(node, u"otherwise"); }
  bool IsXSLPreserveSpace(const KTXPathNode* node) const { return IsXSL(node, u"preserve-space"); }
  bool IsXSLSort(const KTXPathNode* node) const { return IsXSL(node, u"sort"); }
  bool IsXSLStripSpace(const KTXPathNode* node) const { return IsXSL(node, u"strip-space"); }
  bool IsXSLTemplate(const KTXPathNode* node) const { return IsXSL(node, u"template"); }
  bool IsXSLText(const KTXPathNode* node) const { return IsXSL(node, u"text"); }
  bool IsXSLWhen(const KTXPathNode* node) const { return IsXSL(node, u"when"); }
  bool IsXSLWithParam(const KTXPathNode* node) const { return IsXSL(node, u"with-param"); }

  const KTString& GetXSLTNamespaceUri() const { return xsltUri_; }

 private:
  bool IsXSL(const KTXPathNode* node, std::u16string_view localName) const;

  KTString xsltUri_;
};

class KTXSLTAttributeRecognizer {
 public:
  KTXSLTAttributeRecognizer();
  virtual ~KTXSLTAttributeRecognizer() = default;

  // kAttrOther for names not in the table. exclude-result-prefixes,
  // extension-element-prefixes, use-attribute-sets and version are known
  // both without namespace and in the XSLT namespace (the form literal
  // result elements carry); every other known name only without namespace.
  int AttributeId(const KTXPathNode* attribute) const;
  bool HasNoNamespace(const KTXPathNode* attribute) const;
  bool IsXSLExcludeResultPrefixes(const KTXPathNode* attribute) const;
  bool IsXSLUseAttributeSets(const KTXPathNode* attribute) const;

  const KTString& GetXSLTNamespaceUri() const { return xsltUri_; }

 private:
  bool IsXSL(const KTXPathNode* attribute, std::u16string_view localName) const;

  KTString xsltUri_;
};

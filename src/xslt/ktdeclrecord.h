// Declaration records: the compiled form of one stylesheet node, made once by
// the stylesheet compiler from the node's attributes and read by the
// instruction executors, which choose the class by the record's element id
// (KTXSLTElementId) and then read its fields directly.
//
// Attribute-node fields borrow attribute nodes of the stylesheet's view (null
// when the attribute is absent); errors found at run time point at them.
// Texts are owned copies. An "expanded name" is the namespace URI bound to
// the name's prefix, ':' and the local name, or the name as written when no
// URI applies. The records belong to the compiler (its declaration map); the
// stylesheet tree must outlive them.
#pragma once

#include <set>
#include <vector>

#include "core/ktstring.h"
#include "xslt/ktxsltkeywords.h"
#include "xslt/kttemplatepattern.h"

class KTXPathNode;
class KTKeyTable;
struct KTCompiledExpression;
struct KTCompiledValueTemplate;

class KTDeclRecord {
 public:
  explicit KTDeclRecord(int id) : elementId(id) {}
  virtual ~KTDeclRecord() = default;
  KTDeclRecord(const KTDeclRecord&) = delete;
  KTDeclRecord& operator=(const KTDeclRecord&) = delete;

  int elementId;
  // Set by the literal-result compile when the node carries an xsl:version
  // other than "1.0" (XSLT 1.0 §2.5); include and import resolution hands it
  // back to the compiler with the element id.
  bool forwardsCompatible = false;
};

// Every node with id 1: literal result elements, and also text, comment,
// processing-instruction, attribute and namespace nodes and the root.
class KTDeclLiteralResult : public KTDeclRecord {
 public:
  KTDeclLiteralResult() : KTDeclRecord(kXSLTLiteralResult) {}
  KTXPathNode* excludeResultPrefixesNode = nullptr;  // the xsl: attribute
  std::set<KTString> excludedNamespaces;              // namespace URIs
  KTXPathNode* extensionElementPrefixesNode = nullptr;
  std::set<KTString> extensionNamespaces;
  // For an attribute of a literal result element: its compiled value
  // template.
  const KTCompiledValueTemplate* valueTemplate = nullptr;
};

class KTDeclApplyImports : public KTDeclRecord {
 public:
  KTDeclApplyImports() : KTDeclRecord(kXSLTApplyImports) {}
};

class KTDeclApplyTemplates : public KTDeclRecord {
 public:
  KTDeclApplyTemplates() : KTDeclRecord(kXSLTApplyTemplates) {}
  // The select attribute, or the xsl:apply-templates element itself when it
  // has none (the select text is then "node()").
  KTXPathNode* selectNode = nullptr;
  KTString mode;  // the mode QName as written, empty when absent
  KTString selectText;
  const KTCompiledExpression* select = nullptr;  // the compiled select, made with the record
};

class KTDeclAttribute : public KTDeclRecord {
 public:
  KTDeclAttribute() : KTDeclRecord(kXSLTAttribute) {}
  KTXPathNode* nameNode = nullptr;
  KTXPathNode* namespaceNode = nullptr;
  // The compiled value templates of both (null when absent).
  const KTCompiledValueTemplate* name = nullptr;
  const KTCompiledValueTemplate* namespaceTemplate = nullptr;
};

class KTDeclAttributeSet : public KTDeclRecord {
 public:
  KTDeclAttributeSet() : KTDeclRecord(kXSLTAttributeSet) {}
  KTString name;  // the QName as written
  KTXPathNode* useAttributeSetsNode = nullptr;
};

class KTDeclCallTemplate : public KTDeclRecord {
 public:
  KTDeclCallTemplate() : KTDeclRecord(kXSLTCallTemplate) {}
  KTString name;  // as written
  // URI ":" local name for a bound prefix; the prefix alone for an unbound
  // one (no template matches it); the name for an unprefixed one.
  KTString expandedName;
  KTXPathNode* nameNode = nullptr;
};

// Whether an instruction's content may run from the frame of the sequence
// it stands in, in place of its own frame (see KTPushInstructionFrom):
// worked out by the run at the instruction's first use, then kept.
enum class KTInPlace : signed char { kUnknown, kNo, kYes };

class KTDeclChoose : public KTDeclRecord {
 public:
  KTDeclChoose() : KTDeclRecord(kXSLTChoose) {}
  // Yes when the children are xsl:when elements with a compiled test and an
  // optional last xsl:otherwise, and no branch declares a variable or
  // parameter as its child.
  mutable KTInPlace inPlace = KTInPlace::kUnknown;
};

class KTDeclComment : public KTDeclRecord {
 public:
  KTDeclComment() : KTDeclRecord(kXSLTComment) {}
};

class KTDeclCopy : public KTDeclRecord {
 public:
  KTDeclCopy() : KTDeclRecord(kXSLTCopy) {}
  KTXPathNode* useAttributeSetsNode = nullptr;
};

class KTDeclCopyOf : public KTDeclRecord {
 public:
  KTDeclCopyOf() : KTDeclRecord(kXSLTCopyOf) {}
  KTString selectText;
  const KTCompiledExpression* select = nullptr;  // the compiled select, made with the record
  KTXPathNode* selectNode = nullptr;
};

// The values themselves are read by the decimal-format executor.
class KTDeclDecimalFormat : public KTDeclRecord {
 public:
  KTDeclDecimalFormat() : KTDeclRecord(kXSLTDecimalFormat) {}
  KTString name;  // expanded name; empty for the unnamed format
  KTXPathNode* nameNode = nullptr;
  KTXPathNode* decimalSeparatorNode = nullptr;
  KTXPathNode* groupingSeparatorNode = nullptr;
  KTXPathNode* percentNode = nullptr;
  KTXPathNode* nanNode = nullptr;
  KTXPathNode* digitNode = nullptr;
  KTXPathNode* patternSeparatorNode = nullptr;
  KTXPathNode* zeroDigitNode = nullptr;
  KTXPathNode* perMilleNode = nullptr;
  KTXPathNode* infinityNode = nullptr;
  KTXPathNode* minusSignNode = nullptr;
};

class KTDeclElement : public KTDeclRecord {
 public:
  KTDeclElement() : KTDeclRecord(kXSLTElement) {}
  KTXPathNode* nameNode = nullptr;  // always set: the compiler refuses xsl:element without name
  KTXPathNode* namespaceNode = nullptr;
  // The compiled value templates of both (null when absent).
  const KTCompiledValueTemplate* name = nullptr;
  const KTCompiledValueTemplate* namespaceTemplate = nullptr;
};

class KTDeclFallback : public KTDeclRecord {
 public:
  KTDeclFallback() : KTDeclRecord(kXSLTFallback) {}
};

class KTDeclForEach : public KTDeclRecord {
 public:
  KTDeclForEach() : KTDeclRecord(kXSLTForEach) {}
  KTXPathNode* selectNode = nullptr;
  KTString selectText;
  const KTCompiledExpression* select = nullptr;  // the compiled select, made with the record
};

class KTDeclIf : public KTDeclRecord {
 public:
  KTDeclIf() : KTDeclRecord(kXSLTIf) {}
  KTString testText;
  const KTCompiledExpression* test = nullptr;
  KTXPathNode* testNode = nullptr;
  // Yes when no child declares a variable or parameter.
  mutable KTInPlace inPlace = KTInPlace::kUnknown;
};

class KTDeclImport : public KTDeclRecord {
 public:
  KTDeclImport() : KTDeclRecord(kXSLTImport) {}
  KTXPathNode* hrefNode = nullptr;
};

class KTDeclInclude : public KTDeclRecord {
 public:
  KTDeclInclude() : KTDeclRecord(kXSLTInclude) {}
  KTXPathNode* hrefNode = nullptr;
};

class KTDeclKey : public KTDeclRecord {
 public:
  KTDeclKey() : KTDeclRecord(kXSLTKey) {}
  const KTString* namespaceId = nullptr;  // interned URI of the name's prefix; null unprefixed
  KTXPathNode* nameNode = nullptr;
  KTXPathNode* matchNode = nullptr;
  KTXPathNode* useNode = nullptr;
  KTKeyTable* keyTable = nullptr;  // owned by the processor
  const KTCompiledExpression* match = nullptr;
  const KTCompiledExpression* use = nullptr;
};

class KTDeclMessage : public KTDeclRecord {
 public:
  KTDeclMessage() : KTDeclRecord(kXSLTMessage) {}
  bool terminate = false;
};

class KTDeclNamespaceAlias : public KTDeclRecord {
 public:
  KTDeclNamespaceAlias() : KTDeclRecord(kXSLTNamespaceAlias) {}
  KTString stylesheetPrefix;  // empty also for "#default"
  KTString resultPrefix;      // likewise
};

class KTDeclNumber : public KTDeclRecord {
 public:
  KTDeclNumber() : KTDeclRecord(kXSLTNumber) {}
  KTXPathNode* countNode = nullptr;
  KTXPathNode* fromNode = nullptr;
  KTXPathNode* valueNode = nullptr;
  KTXPathNode* formatNode = nullptr;
  KTXPathNode* langNode = nullptr;
  KTXPathNode* letterValueNode = nullptr;
  KTXPathNode* groupingSeparatorNode = nullptr;
  KTXPathNode* groupingSizeNode = nullptr;
  // The compiled count and from patterns and value expression (null when
  // absent).
  const KTCompiledExpression* count = nullptr;
  const KTCompiledExpression* from = nullptr;
  const KTCompiledExpression* value = nullptr;
  // The compiled value templates (null when absent).
  const KTCompiledValueTemplate* format = nullptr;
  const KTCompiledValueTemplate* lang = nullptr;
  const KTCompiledValueTemplate* letterValue = nullptr;
  const KTCompiledValueTemplate* groupingSeparator = nullptr;
  const KTCompiledValueTemplate* groupingSize = nullptr;
  KTString level = u"single";  // "single", "multiple" or "any"
};

class KTDeclOtherwise : public KTDeclRecord {
 public:
  KTDeclOtherwise() : KTDeclRecord(kXSLTOtherwise) {}
};

// A flag or text has a value only when its attribute node is set; users test
// the node first.
class KTDeclOutput : public KTDeclRecord {
 public:
  KTDeclOutput() : KTDeclRecord(kXSLTOutput) {}
  KTString method;  // "xml", "html", "text" or a prefixed QName as written
  KTXPathNode* methodNode = nullptr;
  KTString version;
  KTXPathNode* versionNode = nullptr;
  KTString encoding;
  KTXPathNode* encodingNode = nullptr;
  bool omitXmlDeclaration = false;
  KTXPathNode* omitXmlDeclarationNode = nullptr;
  bool standalone = false;
  KTXPathNode* standaloneNode = nullptr;
  KTString doctypePublic;
  KTXPathNode* doctypePublicNode = nullptr;
  KTString doctypeSystem;
  KTXPathNode* doctypeSystemNode = nullptr;
  bool indent = false;
  KTXPathNode* indentNode = nullptr;
  // Expanded names, each preceded by one space (" a uri:b").
  KTString cdataSectionElements;
  KTXPathNode* cdataSectionElementsNode = nullptr;
};

// The three binding records: param keeps its texts before its nodes,
// variable and with-param their nodes first.
class KTDeclParam : public KTDeclRecord {
 public:
  KTDeclParam() : KTDeclRecord(kXSLTParam) {}
  KTString name;  // expanded name
  KTString selectText;
  const KTCompiledExpression* select = nullptr;  // the compiled select, made with the record
  KTXPathNode* nameNode = nullptr;
  KTXPathNode* selectNode = nullptr;
  bool topLevel = false;  // a child of xsl:stylesheet or xsl:transform
};

class KTDeclPreserveSpace : public KTDeclRecord {
 public:
  KTDeclPreserveSpace() : KTDeclRecord(kXSLTPreserveSpace) {}
};

class KTDeclProcessingInstruction : public KTDeclRecord {
 public:
  KTDeclProcessingInstruction() : KTDeclRecord(kXSLTProcessingInstruction) {}
  KTXPathNode* nameNode = nullptr;  // an attribute value template
  const KTCompiledValueTemplate* name = nullptr;
};

// No value is checked at compile time.
class KTDeclSort : public KTDeclRecord {
 public:
  KTDeclSort() : KTDeclRecord(kXSLTSort) {}
  KTString selectText;  // empty also without select
  const KTCompiledExpression* select = nullptr;  // "." without select
  KTXPathNode* langNode = nullptr;
  KTXPathNode* dataTypeNode = nullptr;
  KTXPathNode* orderNode = nullptr;
  KTXPathNode* caseOrderNode = nullptr;
  KTXPathNode* selectNode = nullptr;
  // The compiled value templates (null when absent).
  const KTCompiledValueTemplate* lang = nullptr;
  const KTCompiledValueTemplate* dataType = nullptr;
  const KTCompiledValueTemplate* order = nullptr;
  const KTCompiledValueTemplate* caseOrder = nullptr;
};

class KTDeclStripSpace : public KTDeclRecord {
 public:
  KTDeclStripSpace() : KTDeclRecord(kXSLTStripSpace) {}
};

// xsl:stylesheet and xsl:transform.
class KTDeclStylesheet : public KTDeclRecord {
 public:
  KTDeclStylesheet() : KTDeclRecord(kXSLTStylesheet) {}
  KTString version;
  KTXPathNode* idNode = nullptr;
  KTXPathNode* excludeResultPrefixesNode = nullptr;
  KTXPathNode* extensionElementPrefixesNode = nullptr;
};

// match, name and priority are read when the template rules are registered.
class KTDeclTemplate : public KTDeclRecord {
 public:
  KTDeclTemplate() : KTDeclRecord(kXSLTTemplate) {}
  KTXPathNode* modeNode = nullptr;
  // The match pattern's alternatives (cut at '|' outside quotes, brackets
  // and parentheses), each compiled on its own, its steps read from its tree
  // in the match attribute's namespaces: a rule each.
  struct Alternative {
    KTString text;
    const KTCompiledExpression* compiled = nullptr;  // null for an empty alternative
    KTTemplatePattern pattern;
  };
  std::vector<Alternative> alternatives;
};

class KTDeclText : public KTDeclRecord {
 public:
  KTDeclText() : KTDeclRecord(kXSLTText) {}
  bool disableOutputEscaping = false;
  KTString text;  // the text and CDATA children, concatenated
};

class KTDeclValueOf : public KTDeclRecord {
 public:
  KTDeclValueOf() : KTDeclRecord(kXSLTValueOf) {}
  KTXPathNode* selectNode = nullptr;
  bool disableOutputEscaping = false;
  KTString selectText;
  const KTCompiledExpression* select = nullptr;  // the compiled select, made with the record
};

class KTDeclVariable : public KTDeclRecord {
 public:
  KTDeclVariable() : KTDeclRecord(kXSLTVariable) {}
  KTXPathNode* nameNode = nullptr;
  KTXPathNode* selectNode = nullptr;
  KTString name;  // expanded name
  KTString selectText;
  const KTCompiledExpression* select = nullptr;  // the compiled select, made with the record
  bool topLevel = false;  // a child of xsl:stylesheet or xsl:transform
};

class KTDeclWhen : public KTDeclRecord {
 public:
  KTDeclWhen() : KTDeclRecord(kXSLTWhen) {}
  KTXPathNode* testNode = nullptr;
  KTString testText;
  const KTCompiledExpression* test = nullptr;
};

class KTDeclWithParam : public KTDeclRecord {
 public:
  KTDeclWithParam() : KTDeclRecord(kXSLTWithParam) {}
  KTXPathNode* nameNode = nullptr;
  KTXPathNode* selectNode = nullptr;  // null when absent
  KTString name;                      // expanded name
  KTString selectText;
  const KTCompiledExpression* select = nullptr;  // the compiled select, made with the record
};

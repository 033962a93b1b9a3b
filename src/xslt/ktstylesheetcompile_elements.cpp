// The per-element compile functions of the stylesheet compiler: each runs the
// structural checks with its element's lists, makes the element's
// declaration record and reads the attribute values that can be checked
// without evaluating anything (required attributes, yes/no flags,
// enumerations, single characters, QNames). Expressions, attribute value
// templates and patterns are kept as text with the attribute node that
// errors point at, and compiled through the processor, which keeps the trees.
#include <string_view>

#include "xml/ktxpathnode.h"
#include "xpath/ktxpathexpression.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktstylesheetcompiler.h"
#include "xslt/ktnumberformatter.h"
#include "xslt/ktspacerules.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"
#include "xslt/ktxsltnames.h"

namespace {

// The error codes by name; their texts stand beside them in
// ktxslterror.cpp.
using enum KTXSLTError::Code;

// The restriction flags of an expression outside patterns and key
// definitions (KTXPathExpression::kRestrictPattern and the others): none.
constexpr int kUnrestricted = 0;

// The error names the attribute with its value, or the element, it is about.
[[noreturn]] void Fail(int code, KTXPathNode* node) { throw KTXSLTError::About(code, node); }

std::u16string_view ValueOf(const KTXPathNode* attribute) { return std::u16string_view(attribute->GetValue()); }

// "yes" true, "no" false, anything else kUnexpectedValue at the attribute;
// absent false.
bool YesNo(KTXPathNode* attribute) {
  if (!attribute) return false;
  std::u16string_view value = ValueOf(attribute);
  if (value == u"yes") return true;
  if (value == u"no") return false;
  Fail(kUnexpectedValue, attribute);
}

// The value must be exactly one character (one UTF-16 unit, or a pair).
void CheckOneCharacter(KTXPathNode* attribute) {
  if (!attribute) return;
  std::u16string_view value = ValueOf(attribute);
  bool pair = value.size() == 2 && value[0] >= 0xD800 && value[0] <= 0xDBFF && value[1] >= 0xDC00 && value[1] <= 0xDFFF;
  if (value.size() != 1 && !pair) Fail(kUnexpectedValue, attribute);
}

void CheckNotEmpty(KTXPathNode* attribute, int code) {
  if (attribute && ValueOf(attribute).empty()) Fail(code, attribute);
}

std::vector<std::u16string_view> Tokens(std::u16string_view text) { return SplitNameList(text); }

std::u16string_view PrefixOf(std::u16string_view name) {
  size_t colon = name.find(u':');
  return colon == std::u16string_view::npos ? std::u16string_view() : name.substr(0, colon);
}

std::u16string_view LocalOf(std::u16string_view name) {
  size_t colon = name.find(u':');
  return colon == std::u16string_view::npos ? name : name.substr(colon + 1);
}

// The URI the map binds the prefix to (the empty prefix: the default
// namespace); null when unbound.
const KTString* Lookup(const KTPrefixMap* map, std::u16string_view prefix) {
  if (!map) return nullptr;
  auto found = map->find(prefix);
  return found == map->end() ? nullptr : found->second;
}

// URI ':' local name.
KTString Expanded(const KTString& uri, std::u16string_view local) {
  KTString text(uri);
  text += u':';
  text += KTString(local);
  return text;
}

// The expanded-name text of a QName whose prefix resolves in the map of
// `resolver`: URI ':' local for a prefix bound to a non-empty URI, else the
// name as written. An unbound prefix raises kUndefinedPrefix at `errorNode`
// when one is given.
KTString ExpandedName(std::u16string_view name, const KTXPathNode* resolver, KTXPathNode* errorNode) {
  std::u16string_view prefix = PrefixOf(name);
  if (prefix.empty()) return KTString(name);
  const KTString* uri = Lookup(KTXPathNode::GetNodeNamespaceMap(resolver), prefix);
  if (!uri && errorNode) Fail(kUndefinedPrefix, errorNode);
  if (!uri || uri->IsEmpty()) return KTString(name);
  return Expanded(*uri, LocalOf(name));
}

// The namespace URIs of an exclude-result-prefixes or
// extension-element-prefixes list, resolved in the map of `resolver`; an
// unbound prefix raises kUndefinedPrefix at the attribute. "#default" names
// the default namespace and adds nothing when none is declared.
void ResolvePrefixList(KTXPathNode* attribute, const KTXPathNode* resolver, std::set<KTString>& into) {
  const KTPrefixMap* map = KTXPathNode::GetNodeNamespaceMap(resolver);
  for (std::u16string_view token : Tokens(ValueOf(attribute))) {
    bool isDefault = token == u"#default";
    const KTString* uri = Lookup(map, isDefault ? std::u16string_view() : token);
    if (uri) {
      into.insert(*uri);
    } else if (!isDefault) {
      Fail(kUndefinedPrefix, attribute);
    }
  }
}

// The names of a use-attribute-sets attribute are QNames (XSLT 1.0 §7.1.4)
// whose prefixes must be declared where they stand; whether the sets exist
// is known only once every module is read, when they are used.
void CheckAttributeSetNames(KTXPathNode* attribute) {
  if (!attribute) return;
  for (std::u16string_view token : Tokens(ValueOf(attribute))) ExpandedName(token, attribute, attribute);
}

bool IsVersion10(const KTXPathNode* attribute) { return ValueOf(attribute) == u"1.0"; }

// The required select attribute of `element` (kSelectExpected without it):
// its node and text go into the record.
template <typename Record>
void RequiredSelect(Record* record, KTXPathNode* select, KTXPathNode* element) {
  if (!select) Fail(kSelectExpected, element);
  record->selectNode = select;
  record->selectText = select->GetValue();
}

// The required, non-empty test attribute of `element` (kTestExpected, and
// kExpressionExpected when empty): its node and text go into the record.
template <typename Record>
void RequiredTest(Record* record, KTXPathNode* test, KTXPathNode* element) {
  if (!test) Fail(kTestExpected, element);
  CheckNotEmpty(test, kExpressionExpected);
  record->testNode = test;
  record->testText = test->GetValue();
}

}  // namespace

// ---- Dispatch ----

void KTStylesheetCompiler::CompileById(int id, int parentId, KTXPathNode* node, bool fc) {
  switch (id) {
    case kXSLTApplyImports: return CompileXslApplyImports(parentId, node, fc);
    case kXSLTApplyTemplates: return CompileXslApplyTemplates(parentId, node, fc);
    case kXSLTAttribute: return CompileXslAttribute(parentId, node, fc);
    case kXSLTAttributeSet: return CompileXslAttributeSet(parentId, node, fc);
    case kXSLTCallTemplate: return CompileXslCallTemplate(parentId, node, fc);
    case kXSLTChoose: return CompileXslChoose(parentId, node, fc);
    case kXSLTComment: return CompileXslComment(parentId, node, fc);
    case kXSLTCopy: return CompileXslCopy(parentId, node, fc);
    case kXSLTCopyOf: return CompileXslCopyOf(parentId, node, fc);
    case kXSLTDecimalFormat: return CompileXslDecimalFormat(parentId, node, fc);
    case kXSLTElement: return CompileXslElement(parentId, node, fc);
    case kXSLTFallback: return CompileXslFallback(parentId, node, fc);
    case kXSLTForEach: return CompileXslForEach(parentId, node, fc);
    case kXSLTIf: return CompileXslIf(parentId, node, fc);
    case kXSLTImport: return CompileXslImport(parentId, node, fc);
    case kXSLTInclude: return CompileXslInclude(parentId, node, fc);
    case kXSLTKey: return CompileXslKey(parentId, node, fc);
    case kXSLTMessage: return CompileXslMessage(parentId, node, fc);
    case kXSLTNamespaceAlias: return CompileXslNamespaceAlias(parentId, node, fc);
    case kXSLTNumber: return CompileXslNumber(parentId, node, fc);
    case kXSLTOtherwise: return CompileXslOtherwise(parentId, node, fc);
    case kXSLTOutput: return CompileXslOutput(parentId, node, fc);
    case kXSLTParam: return CompileXslParam(parentId, node, fc);
    case kXSLTPreserveSpace: return CompileXslPreserveSpace(parentId, node, fc);
    case kXSLTProcessingInstruction: return CompileXslProcessingInstruction(parentId, node, fc);
    case kXSLTSort: return CompileXslSort(parentId, node, fc);
    case kXSLTStripSpace: return CompileXslStripSpace(parentId, node, fc);
    case kXSLTStylesheet:
    case kXSLTUnassigned: return CompileXslStylesheet(parentId, node, fc);
    case kXSLTTemplate: return CompileXslTemplate(parentId, node, fc);
    case kXSLTText: return CompileXslText(parentId, node, fc);
    case kXSLTValueOf: return CompileXslValueOf(parentId, node, fc);
    case kXSLTVariable: return CompileXslVariable(parentId, node, fc);
    case kXSLTWhen: return CompileXslWhen(parentId, node, fc);
    case kXSLTWithParam: return CompileXslWithParam(parentId, node, fc);
    default: return CompileLiteralResult(parentId, node, fc);
  }
}

const KTCompiledExpression* KTStylesheetCompiler::CompileExpressionText(KTXPathNode* errorNode, const KTString& text,
                                                                        int restrictions, bool fc) {
  if (!processor_) return nullptr;
  const KTCompiledExpression* compiled = processor_->PrecompileExpression(errorNode, text, restrictions, fc);
  if (!fc && !compiled->checkedEverywhere)
    compiled->checkedEverywhere = staticCheck_.CheckTree(errorNode, text.View(), compiled->tree.get());
  return compiled;
}

const KTCompiledExpression* KTStylesheetCompiler::CompilePatternText(KTXPathNode* errorNode, const KTString& text,
                                                                     int restrictions, bool fc) {
  return processor_ ? processor_->PrecompilePattern(errorNode, text, restrictions, fc, fc ? nullptr : &staticCheck_)
                    : nullptr;
}

const KTCompiledValueTemplate* KTStylesheetCompiler::CompileValueTemplate(KTXPathNode* attribute, bool fc) {
  if (!processor_ || !attribute) return nullptr;
  const KTCompiledValueTemplate* compiled = processor_->PrecompileValueTemplate(attribute, fc);
  if (!fc)
    for (const KTCompiledValueTemplate::Part& part : compiled->parts)
      if (part.expression && !part.expression->checkedEverywhere)
        part.expression->checkedEverywhere =
            staticCheck_.CheckTree(attribute, part.expression->text->View(), part.expression->tree.get());
  return compiled;
}

template <class T>
T* KTStylesheetCompiler::NewRecord(KTXPathNode* node) {
  auto record = std::make_unique<T>();
  T* raw = record.get();
  NodeIndex::Entry& entry = index_.Slot(node);
  if (!entry.Record()) {
    entry.SetRecord(raw);
    records_.push_back(std::move(record));
  } else {
    spareRecord_ = std::move(record);
  }
  return raw;
}

// A mode attribute's value is a QName (XSLT 1.0 §5.7). Only the processor's
// own built-in rules use "?", the marker of the rules that serve every mode:
// a user's mode of any other shape could collide with it.
bool KTStylesheetCompiler::IsModeName(const KTXPathNode* modeAttribute) const {
  if (IsQName(modeAttribute->GetValue())) return true;
  if (!processor_ || std::u16string_view(modeAttribute->GetValue()) != u"?") return false;
  const KTXPathNode* top = modeAttribute;
  while (top->GetParent()) top = top->GetParent();
  return top == processor_->BuiltinRulesRoot();
}

// ---- Literal result elements and every other node of id kXSLTLiteralResult ----

void KTStylesheetCompiler::CompileLiteralResult(int parentId, KTXPathNode* node, bool fc) {
  // Text has no attributes, no children and no XSLT name to check: it takes
  // the shared record at once (most nodes of a literal stylesheet are text).
  if (node->GetKind() == kXPathText) {
    childrenForwardsCompatible_ = fc;
    NodeIndex::Entry& entry = index_.Slot(node);
    if (!entry.Record()) entry.SetRecord(&plainLiteral_);
    return;
  }
  const KTString& xsltUri = elementRecognizer_.GetXSLTNamespaceUri();
  // XSLT 1.0 §2.5: an xsl:version other than 1.0 makes the element and its
  // content forwards-compatible.
  const XsltAttributes xslt = FindXsltAttributes(node);
  KTXPathNode* version = xslt.version;
  bool ownFc = version && !IsVersion10(version);
  childrenForwardsCompatible_ = fc || ownFc;
  CheckStructure(parentId, node, RuleOf(kXSLTLiteralResult), childrenForwardsCompatible_);
  // An attribute of a literal result element, outside the XSLT namespace,
  // is an attribute value template (XSLT 1.0 §7.6.2).
  const bool templateAttribute = node->GetKind() == kXPathAttribute && parentId == kXSLTLiteralResult &&
                                 !(node->GetNamespaceUri() && *node->GetNamespaceUri() == xsltUri);
  const KTCompiledValueTemplate* valueTemplate = templateAttribute ? CompileValueTemplate(node, fc) : nullptr;
  if (node->GetKind() == kXPathElement) CheckAttributeSetNames(xslt.useAttributeSets);
  KTXPathNode* exclude = xslt.excludeResultPrefixes;
  KTXPathNode* extension = xslt.extensionElementPrefixes;
  if (!ownFc && !exclude && !extension && (!valueTemplate || valueTemplate->plain)) {
    // Text, attributes without braces and most elements: the shared empty
    // record (a plain attribute's value is its own).
    NodeIndex::Entry& entry = index_.Slot(node);
    if (!entry.Record()) entry.SetRecord(&plainLiteral_);
    return;
  }
  auto* record = NewRecord<KTDeclLiteralResult>(node);
  record->forwardsCompatible = ownFc;
  record->valueTemplate = valueTemplate;
  if (exclude) {
    record->excludeResultPrefixesNode = exclude;
    ResolvePrefixList(exclude, node, record->excludedNamespaces);
  }
  if (extension) {
    record->extensionElementPrefixesNode = extension;
    ResolvePrefixList(extension, node, record->extensionNamespaces);
  }
}

// ---- Instructions ----

void KTStylesheetCompiler::CompileXslApplyImports(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTApplyImports), fc);
  NewRecord<KTDeclApplyImports>(node);
}

void KTStylesheetCompiler::CompileXslApplyTemplates(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTApplyTemplates), fc);
  auto* record = NewRecord<KTDeclApplyTemplates>(node);
  if (KTXPathNode* select = FindAttribute(node, u"select", kNoNamespace)) {
    record->selectNode = select;
    record->selectText = select->GetValue();
  } else {
    record->selectNode = node;
    record->selectText = u"node()";
  }
  record->select = CompileExpressionText(record->selectNode, record->selectText, kUnrestricted, fc);
  if (KTXPathNode* mode = FindAttribute(node, u"mode", kNoNamespace)) {
    record->mode = mode->GetValue();
    // A mode is a QName (XSLT 1.0 §5.7); any other text could collide with
    // the marker of the built-in rules that serve every mode.
    if (!IsModeName(mode)) Fail(kNotQName, mode);
    // Its prefix must be declared (XSLT 1.0 §2.4), as a template's mode's.
    ExpandedName(ValueOf(mode), mode, mode);
  }
}

void KTStylesheetCompiler::CompileXslAttribute(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTAttribute), fc);
  auto* record = NewRecord<KTDeclAttribute>(node);
  record->nameNode = FindAttribute(node, u"name", kNoNamespace);
  if (!record->nameNode) Fail(kNameExpected, node);
  record->namespaceNode = FindAttribute(node, u"namespace", kNoNamespace);
  record->name = CompileValueTemplate(record->nameNode, fc);
  record->namespaceTemplate = CompileValueTemplate(record->namespaceNode, fc);
}

void KTStylesheetCompiler::CompileXslCallTemplate(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTCallTemplate), fc);
  auto* record = NewRecord<KTDeclCallTemplate>(node);
  KTXPathNode* name = FindAttribute(node, u"name", kNoNamespace);
  if (!name) Fail(kNameExpected, node);
  record->nameNode = name;
  record->name = name->GetValue();
  if (!IsQName(record->name)) Fail(kNotQName, name);
  // An unbound prefix is an error (XSLT 1.0 §2.4), not a name that could
  // call an unprefixed template.
  record->expandedName = ExpandedName(record->name.View(), node, name);
}

void KTStylesheetCompiler::CompileXslChoose(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTChoose), fc);
  NewRecord<KTDeclChoose>(node);
  // XSLT 1.0 §9.2: one or more xsl:when, then an optional xsl:otherwise that
  // comes last. The children check has let only these two (and foreign or,
  // forwards-compatibly, unknown XSLT elements) through.
  KTXPathNode* first = nullptr;
  KTXPathNode* otherwise = nullptr;
  for (int i = 0, count = node->GetChildCount(); i < count; ++i) {
    KTXPathNode* child = node->GetChild(i);
    int kind = child->GetKind();
    if (kind != kXPathElement && kind != kXPathText && kind != kXPathCData) continue;
    if (otherwise) Fail(kUnexpectedOtherwise, otherwise);
    if (!first) first = child;
    if (elementRecognizer_.IsXSLOtherwise(child)) otherwise = child;
  }
  if (!first || !elementRecognizer_.IsXSLWhen(first)) Fail(kWhenExpected, node);
}

void KTStylesheetCompiler::CompileXslComment(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTComment), fc);
  NewRecord<KTDeclComment>(node);
}

void KTStylesheetCompiler::CompileXslCopy(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTCopy), fc);
  KTXPathNode* sets = FindAttribute(node, u"use-attribute-sets", kNoNamespace);
  CheckAttributeSetNames(sets);
  NewRecord<KTDeclCopy>(node)->useAttributeSetsNode = sets;
}

void KTStylesheetCompiler::CompileXslCopyOf(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTCopyOf), fc);
  auto* record = NewRecord<KTDeclCopyOf>(node);
  RequiredSelect(record, FindAttribute(node, u"select", kNoNamespace), node);
  record->select = CompileExpressionText(record->selectNode, record->selectText, kUnrestricted, fc);
}

void KTStylesheetCompiler::CompileXslElement(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTElement), fc);
  CheckAttributeSetNames(FindAttribute(node, u"use-attribute-sets", kNoNamespace));
  auto* record = NewRecord<KTDeclElement>(node);
  record->nameNode = FindAttribute(node, u"name", kNoNamespace);
  if (!record->nameNode) Fail(kNameExpected, node);
  record->namespaceNode = FindAttribute(node, u"namespace", kNoNamespace);
  record->name = CompileValueTemplate(record->nameNode, fc);
  record->namespaceTemplate = CompileValueTemplate(record->namespaceNode, fc);
}

void KTStylesheetCompiler::CompileXslFallback(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTFallback), fc);
  NewRecord<KTDeclFallback>(node);
}

void KTStylesheetCompiler::CompileXslForEach(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTForEach), fc);
  auto* record = NewRecord<KTDeclForEach>(node);
  RequiredSelect(record, FindAttribute(node, u"select", kNoNamespace), node);
  record->select = CompileExpressionText(record->selectNode, record->selectText, kUnrestricted, fc);
}

void KTStylesheetCompiler::CompileXslIf(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTIf), fc);
  auto* record = NewRecord<KTDeclIf>(node);
  RequiredTest(record, FindAttribute(node, u"test", kNoNamespace), node);
  record->test = CompileExpressionText(record->testNode, record->testText, kUnrestricted, fc);
}

void KTStylesheetCompiler::CompileXslMessage(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTMessage), fc);
  NewRecord<KTDeclMessage>(node)->terminate = YesNo(FindAttribute(node, u"terminate", kNoNamespace));
}

void KTStylesheetCompiler::CompileXslNumber(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTNumber), fc);
  auto* record = NewRecord<KTDeclNumber>(node);
  record->countNode = FindAttribute(node, u"count", kNoNamespace);
  record->fromNode = FindAttribute(node, u"from", kNoNamespace);
  record->valueNode = FindAttribute(node, u"value", kNoNamespace);
  record->formatNode = FindAttribute(node, u"format", kNoNamespace);
  record->langNode = FindAttribute(node, u"lang", kNoNamespace);
  record->letterValueNode = FindAttribute(node, u"letter-value", kNoNamespace);
  record->groupingSeparatorNode = FindAttribute(node, u"grouping-separator", kNoNamespace);
  record->groupingSizeNode = FindAttribute(node, u"grouping-size", kNoNamespace);
  if (KTXPathNode* level = FindAttribute(node, u"level", kNoNamespace)) {
    std::u16string_view value = ValueOf(level);
    if (value != u"single" && value != u"multiple" && value != u"any") Fail(kUnexpectedValue, level);
    record->level = level->GetValue();
  }
  for (KTXPathNode* pattern : {record->countNode, record->fromNode})
    if (pattern)
      (pattern == record->countNode ? record->count : record->from) =
          CompilePatternText(pattern, pattern->GetValue(), KTXPathExpression::kRestrictNumberPattern, fc);
  if (record->valueNode)
    record->value = CompileExpressionText(record->valueNode, record->valueNode->GetValue(), kUnrestricted, fc);
  record->format = CompileValueTemplate(record->formatNode, fc);
  record->lang = CompileValueTemplate(record->langNode, fc);
  record->letterValue = CompileValueTemplate(record->letterValueNode, fc);
  record->groupingSeparator = CompileValueTemplate(record->groupingSeparatorNode, fc);
  record->groupingSize = CompileValueTemplate(record->groupingSizeNode, fc);
}

void KTStylesheetCompiler::CompileXslOtherwise(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTOtherwise), fc);
  NewRecord<KTDeclOtherwise>(node);
}

void KTStylesheetCompiler::CompileXslProcessingInstruction(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTProcessingInstruction), fc);
  auto* record = NewRecord<KTDeclProcessingInstruction>(node);
  record->nameNode = FindAttribute(node, u"name", kNoNamespace);
  if (!record->nameNode) Fail(kNameExpected, node);
  record->name = CompileValueTemplate(record->nameNode, fc);
}

void KTStylesheetCompiler::CompileXslSort(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTSort), fc);
  // The parents' children lists keep xsl:sort elsewhere out, but
  // forwards-compatible mode lets XSLT elements through them: xsl:sort
  // belongs under xsl:apply-templates or xsl:for-each in every mode.
  if (parentId != kXSLTApplyTemplates && parentId != kXSLTForEach) Fail(kUnexpectedChild, node);
  auto* record = NewRecord<KTDeclSort>(node);
  record->selectNode = FindAttribute(node, u"select", kNoNamespace);
  if (record->selectNode) record->selectText = record->selectNode->GetValue();
  record->langNode = FindAttribute(node, u"lang", kNoNamespace);
  record->dataTypeNode = FindAttribute(node, u"data-type", kNoNamespace);
  record->orderNode = FindAttribute(node, u"order", kNoNamespace);
  record->caseOrderNode = FindAttribute(node, u"case-order", kNoNamespace);
  record->select = CompileExpressionText(record->selectNode ? record->selectNode : node,
                        record->selectNode ? record->selectText : KTString(u"."), kUnrestricted, fc);
  record->lang = CompileValueTemplate(record->langNode, fc);
  record->dataType = CompileValueTemplate(record->dataTypeNode, fc);
  record->order = CompileValueTemplate(record->orderNode, fc);
  record->caseOrder = CompileValueTemplate(record->caseOrderNode, fc);
}

void KTStylesheetCompiler::CompileXslText(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTText), fc);
  auto* record = NewRecord<KTDeclText>(node);
  KTXPathNode* escaping = FindAttribute(node, u"disable-output-escaping", kNoNamespace);
  record->disableOutputEscaping = YesNo(escaping);
  int length = 0;
  for (int i = 0, count = node->GetChildCount(); i < count; ++i) {
    KTXPathNode* child = node->GetChild(i);
    switch (child->GetKind()) {
      case kXPathText:
      case kXPathCData:
        record->text.AppendAtLength(child->GetValue(), length, length + 16);
        break;
      case kXPathAttribute:
        if (child != escaping && !child->GetNamespaceUri() && !fc) Fail(kUnexpectedAttribute, child);
        break;
      case kXPathNamespace:  // a declaration is not an attribute (Namespaces in XML)
      case kXPathComment:
      case kXPathPI:
        break;
      default:
        Fail(kUnexpectedChild, child);
    }
  }
}

void KTStylesheetCompiler::CompileXslValueOf(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTValueOf), fc);
  auto* record = NewRecord<KTDeclValueOf>(node);
  RequiredSelect(record, FindAttribute(node, u"select", kNoNamespace), node);
  record->select = CompileExpressionText(record->selectNode, record->selectText, kUnrestricted, fc);
  record->disableOutputEscaping = YesNo(FindAttribute(node, u"disable-output-escaping", kNoNamespace));
}

void KTStylesheetCompiler::CompileXslWhen(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTWhen), fc);
  auto* record = NewRecord<KTDeclWhen>(node);
  RequiredTest(record, FindAttribute(node, u"test", kNoNamespace), node);
  record->test = CompileExpressionText(record->testNode, record->testText, kUnrestricted, fc);
}

void KTStylesheetCompiler::CompileXslWithParam(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTWithParam), fc);
  auto* record = NewRecord<KTDeclWithParam>(node);
  KTXPathNode* name = FindAttribute(node, u"name", kNoNamespace);
  if (!name) Fail(kNameExpected, node);
  record->nameNode = name;
  if (!IsQName(name->GetValue())) Fail(kNotQName, name);
  record->name = ExpandedName(ValueOf(name), name, name);
  if (KTXPathNode* select = FindAttribute(node, u"select", kNoNamespace)) {
    CheckNotEmpty(select, kExpressionExpected);
    record->selectNode = select;
    record->selectText = select->GetValue();
    record->select = CompileExpressionText(select, record->selectText, kUnrestricted, fc);
  }
}

// ---- Bindings ----

void KTStylesheetCompiler::ReadBinding(KTXPathNode* node, KTString& name, KTString& selectText,
                                       KTXPathNode*& nameNode, KTXPathNode*& selectNode) {
  nameNode = FindAttribute(node, u"name", kNoNamespace);
  if (!nameNode) Fail(kNameExpected, node);
  if (!IsQName(nameNode->GetValue())) Fail(kNotQName, nameNode);
  name = ExpandedName(ValueOf(nameNode), nameNode, nameNode);
  selectNode = FindAttribute(node, u"select", kNoNamespace);
  if (!selectNode) return;
  // XSLT 1.0 §11.2: a select attribute and content together are an error.
  for (int i = 0, count = node->GetChildCount(); i < count; ++i) {
    int kind = node->GetChild(i)->GetKind();
    if (kind == kXPathAttribute || kind == kXPathNamespace || kind == kXPathComment || kind == kXPathPI) continue;
    Fail(kSelectWithContent, node->GetChild(i));
  }
  CheckNotEmpty(selectNode, kExpressionExpected);
  selectText = selectNode->GetValue();
}

void KTStylesheetCompiler::CompileXslParam(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTParam), fc);
  auto* record = NewRecord<KTDeclParam>(node);
  if (parentId != kXSLTStylesheet && parentId != kXSLTTemplate) Fail(kUnexpectedElement, node);
  record->topLevel = parentId == kXSLTStylesheet;
  ReadBinding(node, record->name, record->selectText, record->nameNode, record->selectNode);
  if (record->selectNode)
    record->select = CompileExpressionText(record->selectNode, record->selectText, kUnrestricted, fc);
}

void KTStylesheetCompiler::CompileXslVariable(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTVariable), fc);
  auto* record = NewRecord<KTDeclVariable>(node);
  record->topLevel = parentId == kXSLTStylesheet;
  ReadBinding(node, record->name, record->selectText, record->nameNode, record->selectNode);
  if (record->selectNode)
    record->select = CompileExpressionText(record->selectNode, record->selectText, kUnrestricted, fc);
}

// ---- Top-level elements ----

void KTStylesheetCompiler::CompileXslAttributeSet(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTAttributeSet), fc);
  auto* record = NewRecord<KTDeclAttributeSet>(node);
  KTXPathNode* name = FindAttribute(node, u"name", kNoNamespace);
  if (!name) Fail(kNameExpected, node);
  if (!IsQName(name->GetValue())) Fail(kNotQName, name);
  record->name = name->GetValue();
  record->useAttributeSetsNode = FindAttribute(node, u"use-attribute-sets", kNoNamespace);
  CheckAttributeSetNames(record->useAttributeSetsNode);
}

namespace {

// Builds the declared format and registers it with the processor, at
// compile time so that format-number() sees every declaration wherever it
// stands. A different format of the same name is refused with
// kDecimalFormatExists at the name attribute (no node for the unnamed format).
void RegisterDecimalFormat(KTXSLTProcessor* processor, const KTDeclDecimalFormat& record) {
  auto format = std::make_unique<KTDecimalFormat>();
  format->name = record.name;
  auto first = [](KTXPathNode* attribute, char16_t& into) {
    const char16_t* value = attribute ? attribute->GetValue() : nullptr;
    if (value && *value) into = value[0];
  };
  first(record.decimalSeparatorNode, format->decimalSeparator);
  first(record.groupingSeparatorNode, format->groupingSeparator);
  first(record.percentNode, format->percent);
  first(record.perMilleNode, format->perMille);
  first(record.zeroDigitNode, format->zeroDigit);
  first(record.digitNode, format->digit);
  first(record.patternSeparatorNode, format->patternSeparator);
  first(record.minusSignNode, format->minusSign);
  if (record.infinityNode) format->infinity = record.infinityNode->GetValue();
  if (record.nanNode) format->nan = record.nanNode->GetValue();
  if (!processor->RegisterDecimalFormat(std::move(format))) Fail(kDecimalFormatExists, record.nameNode);
}

}  // namespace

void KTStylesheetCompiler::CompileXslDecimalFormat(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTDecimalFormat), fc);
  auto* record = NewRecord<KTDeclDecimalFormat>(node);
  if (KTXPathNode* name = FindAttribute(node, u"name", kNoNamespace)) {
    if (!IsQName(name->GetValue())) Fail(kNotQName, name);
    record->nameNode = name;
    record->name = ExpandedName(ValueOf(name), name, name);
  }
  record->decimalSeparatorNode = FindAttribute(node, u"decimal-separator", kNoNamespace);
  record->groupingSeparatorNode = FindAttribute(node, u"grouping-separator", kNoNamespace);
  record->percentNode = FindAttribute(node, u"percent", kNoNamespace);
  record->perMilleNode = FindAttribute(node, u"per-mille", kNoNamespace);
  record->zeroDigitNode = FindAttribute(node, u"zero-digit", kNoNamespace);
  record->digitNode = FindAttribute(node, u"digit", kNoNamespace);
  record->patternSeparatorNode = FindAttribute(node, u"pattern-separator", kNoNamespace);
  record->infinityNode = FindAttribute(node, u"infinity", kNoNamespace);
  record->nanNode = FindAttribute(node, u"NaN", kNoNamespace);
  record->minusSignNode = FindAttribute(node, u"minus-sign", kNoNamespace);
  for (KTXPathNode* single : {record->decimalSeparatorNode, record->groupingSeparatorNode, record->percentNode,
                              record->perMilleNode, record->zeroDigitNode, record->digitNode,
                              record->patternSeparatorNode}) {
    CheckOneCharacter(single);
  }
  CheckNotEmpty(record->infinityNode, kUnexpectedValue);
  CheckNotEmpty(record->nanNode, kUnexpectedValue);
  CheckOneCharacter(record->minusSignNode);
  if (processor_) RegisterDecimalFormat(processor_, *record);
}

void KTStylesheetCompiler::CompileXslImport(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTImport), fc);
  auto* record = NewRecord<KTDeclImport>(node);
  record->hrefNode = FindAttribute(node, u"href", kNoNamespace);
  if (!record->hrefNode) Fail(kHrefExpected, node);
}

void KTStylesheetCompiler::CompileXslInclude(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTInclude), fc);
  auto* record = NewRecord<KTDeclInclude>(node);
  record->hrefNode = FindAttribute(node, u"href", kNoNamespace);
  if (!record->hrefNode) Fail(kHrefExpected, node);
}

void KTStylesheetCompiler::CompileXslKey(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTKey), fc);
  auto* record = NewRecord<KTDeclKey>(node);
  record->nameNode = FindAttribute(node, u"name", kNoNamespace);
  record->matchNode = FindAttribute(node, u"match", kNoNamespace);
  record->useNode = FindAttribute(node, u"use", kNoNamespace);
  if (!record->nameNode) Fail(kNameExpected, node);
  if (!IsQName(record->nameNode->GetValue())) Fail(kNotQName, record->nameNode);
  if (!record->matchNode) Fail(kMatchExpected, node);
  if (!record->useNode) Fail(kUseExpected, node);
  // A key name's prefix must be bound: there is no expanded name without it.
  std::u16string_view prefix = PrefixOf(ValueOf(record->nameNode));
  if (!prefix.empty()) {
    record->namespaceId = Lookup(KTXPathNode::GetNodeNamespaceMap(record->nameNode), prefix);
    if (!record->namespaceId) Fail(kUndefinedPrefix, record->nameNode);
  }
  // XSLT 1.0 §12.2: match is a pattern, use an expression; neither may
  // name a variable.
  record->match = CompilePatternText(node, record->matchNode->GetValue(), KTXPathExpression::kRestrictKey, fc);
  record->use = CompileExpressionText(node, record->useNode->GetValue(), KTXPathExpression::kRestrictKey, fc);
  // The definition joins the key table of its name.
  if (processor_) processor_->AddKeyDefinition(record, node);
}

void KTStylesheetCompiler::CompileXslNamespaceAlias(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTNamespaceAlias), fc);
  auto* record = NewRecord<KTDeclNamespaceAlias>(node);
  struct Side {
    const char16_t* attribute;
    int missing;
    KTString& prefix;
  } sides[] = {{u"stylesheet-prefix", kStylesheetPrefixExpected, record->stylesheetPrefix},
               {u"result-prefix", kResultPrefixExpected, record->resultPrefix}};
  for (Side& side : sides) {
    KTXPathNode* attribute = FindAttribute(node, side.attribute, kNoNamespace);
    if (!attribute) Fail(side.missing, node);
    CheckNotEmpty(attribute, kUnexpectedValue);
    if (ValueOf(attribute) != u"#default") side.prefix = attribute->GetValue();
  }
}

void KTStylesheetCompiler::CompileXslOutput(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTOutput), fc);
  auto* record = NewRecord<KTDeclOutput>(node);
  if ((record->methodNode = FindAttribute(node, u"method", kNoNamespace))) {
    std::u16string_view method = ValueOf(record->methodNode);
    bool known = method == u"xml" || method == u"html" || method == u"text";
    if (!known && !(IsQName(record->methodNode->GetValue()) && !PrefixOf(method).empty())) {
      Fail(kUnexpectedValue, record->methodNode);
    }
    // A prefixed method names an output method of that namespace: the
    // prefix must be declared.
    if (!known) ExpandedName(method, record->methodNode, record->methodNode);
    record->method = record->methodNode->GetValue();
  }
  struct Text {
    const char16_t* attribute;
    KTXPathNode*& node;
    KTString& value;
  } texts[] = {{u"version", record->versionNode, record->version},
               {u"encoding", record->encodingNode, record->encoding}};
  for (Text& t : texts) {
    if ((t.node = FindAttribute(node, t.attribute, kNoNamespace))) {
      CheckNotEmpty(t.node, kUnexpectedValue);
      t.value = t.node->GetValue();
    }
  }
  if ((record->omitXmlDeclarationNode = FindAttribute(node, u"omit-xml-declaration", kNoNamespace))) {
    record->omitXmlDeclaration = YesNo(record->omitXmlDeclarationNode);
  }
  if ((record->standaloneNode = FindAttribute(node, u"standalone", kNoNamespace))) {
    record->standalone = YesNo(record->standaloneNode);
  }
  Text doctypes[] = {{u"doctype-public", record->doctypePublicNode, record->doctypePublic},
                     {u"doctype-system", record->doctypeSystemNode, record->doctypeSystem}};
  for (Text& t : doctypes) {
    if ((t.node = FindAttribute(node, t.attribute, kNoNamespace))) {
      CheckNotEmpty(t.node, kUnexpectedValue);
      t.value = t.node->GetValue();
    }
  }
  if (KTXPathNode* cdata = FindAttribute(node, u"cdata-section-elements", kNoNamespace)) {
    record->cdataSectionElementsNode = cdata;
    CheckNotEmpty(cdata, kUnexpectedValue);
    // Names resolve like element names: an unprefixed one takes the default
    // namespace of the xsl:output element.
    const KTPrefixMap* map = KTXPathNode::GetNodeNamespaceMap(node);
    int length = 0;
    for (std::u16string_view name : Tokens(ValueOf(cdata))) {
      KTString text(name);
      if (!IsQName(text)) Fail(kNotQName, cdata);
      std::u16string_view prefix = PrefixOf(name);
      const KTString* uri = Lookup(map, prefix);
      if (!uri && !prefix.empty()) Fail(kUndefinedPrefix, cdata);
      if (uri && !uri->IsEmpty()) text = Expanded(*uri, LocalOf(name));
      record->cdataSectionElements.AppendCharAtLength(u' ', length, length + 16);
      record->cdataSectionElements.AppendAtLength(text, length, length + 16);
    }
  }
  if ((record->indentNode = FindAttribute(node, u"indent", kNoNamespace))) record->indent = YesNo(record->indentNode);
}

// The `elements` list of xsl:strip-space and xsl:preserve-space: name tests
// whose prefixes are declared. The processor reads the lists again, with
// their import precedence, before the run (KTSpaceRules).
namespace {
void CheckSpaceElements(KTXPathNode* node, KTXPathNode* elements) {
  if (!elements) Fail(kElementsExpected, node);
  std::vector<KTSpaceRules::NameTest> tests;
  std::u16string_view token;
  KTSpaceRules::ParseResult result = KTSpaceRules::ParseNameTests(node, ValueOf(elements), tests, &token);
  if (result == KTSpaceRules::ParseResult::kParsed) return;
  // The message names the token at fault.
  KTXSLTError error(result == KTSpaceRules::ParseResult::kNotNameTest ? kUnexpectedValue : kUndefinedPrefix, elements);
  KTString text(error.GetMessage());
  text += result == KTSpaceRules::ParseResult::kNotNameTest ? u": not a name test: " : u": ";
  text += KTString(token);
  error.SetMessageText(text);
  throw error;
}
}  // namespace

void KTStylesheetCompiler::CompileXslPreserveSpace(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTPreserveSpace), fc);
  NewRecord<KTDeclPreserveSpace>(node);
  CheckSpaceElements(node, FindAttribute(node, u"elements", kNoNamespace));
}

void KTStylesheetCompiler::CompileXslStripSpace(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTStripSpace), fc);
  NewRecord<KTDeclStripSpace>(node);
  CheckSpaceElements(node, FindAttribute(node, u"elements", kNoNamespace));
}

void KTStylesheetCompiler::CompileXslStylesheet(int parentId, KTXPathNode* node, bool fc) {
  // XSLT 1.0 §2.5: a version other than 1.0 makes the whole stylesheet
  // forwards-compatible.
  KTXPathNode* version = FindAttribute(node, u"version", kNoNamespace);
  childrenForwardsCompatible_ = fc || (version && !IsVersion10(version));
  CheckStructure(parentId, node, RuleOf(kXSLTStylesheet), childrenForwardsCompatible_);
  auto* record = NewRecord<KTDeclStylesheet>(node);
  if (!version) Fail(kVersionExpected, node);
  record->version = version->GetValue();
  record->idNode = FindAttribute(node, u"id", kNoNamespace);
  record->excludeResultPrefixesNode = FindAttribute(node, u"exclude-result-prefixes", kNoNamespace);
  record->extensionElementPrefixesNode = FindAttribute(node, u"extension-element-prefixes", kNoNamespace);
  if (!node->GetParent() || node->GetParent()->GetKind() != kXPathRoot) Fail(kNotRootElement, node);
}

void KTStylesheetCompiler::CompileXslTemplate(int parentId, KTXPathNode* node, bool fc) {
  CheckStructure(parentId, node, RuleOf(kXSLTTemplate), fc);
  KTXPathNode* mode = FindAttribute(node, u"mode", kNoNamespace);
  auto* record = NewRecord<KTDeclTemplate>(node);
  record->modeNode = mode;
  if (mode && !IsModeName(mode)) Fail(kNotQName, mode);
  // A prefix with no declaration would make a mode of the name as written
  // (XSLT 1.0 §2.4: a QName is expanded with the declarations in scope).
  if (mode) ExpandedName(ValueOf(mode), mode, mode);
  // The whole pattern is checked here, then each alternative compiled: the
  // rule list makes a rule of each.
  if (KTXPathNode* match = FindAttribute(node, u"match", kNoNamespace)) {
    CompilePatternText(match, match->GetValue(), KTXPathExpression::kRestrictPattern, fc);
    if (processor_) {
      std::vector<KTString> texts = KTXSLTProcessor::MatchAlternatives(KTString(match->GetValue()), match);
      record->alternatives.clear();
      record->alternatives.reserve(texts.size());
      // The prefixes the rule resolves its pattern with.
      const KTPrefixMap* namespaces = KTXPathNode::GetNodeNamespaceMap(match);
      if (!namespaces) namespaces = KTXPathNode::GetNodeNamespaceMap(node);
      for (KTString& text : texts) {
        KTDeclTemplate::Alternative& alternative = record->alternatives.emplace_back();
        if (!text.IsEmpty())
          alternative.compiled =
              processor_->PrecompileExpression(match, text, KTXPathExpression::kRestrictPattern, fc);
        alternative.pattern.Read(alternative.compiled ? alternative.compiled->tree.get() : nullptr, namespaces);
        alternative.text = std::move(text);
      }
    }
  }
}

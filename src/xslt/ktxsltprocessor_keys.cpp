// KTXSLTProcessor: the key tables and decimal formats that the compiler
// registers, and the services key(), format-number() and
// unparsed-entity-uri() call.
#include <string_view>
#include <utility>

#include "xml/ktxnode.h"
#include "xml/ktxpathtreecontext.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktkeytable.h"
#include "xslt/ktnumberformatter.h"
#include "xslt/ktxsltprocessor.h"
#include "xslt/ktxsltxpathexpression.h"

KTKeyTable* KTXSLTProcessor::AddKeyDefinition(KTDeclKey* record, KTXPathNode* keyElement) {
  if (!record || !record->nameNode || !record->match || !record->use) return nullptr;
  KTString written(record->nameNode->GetValue());
  KTString name;
  if (record->namespaceId) {
    name = *record->namespaceId;
    name += u':';
    name += written.GetLocalNamePtr();
  } else {
    name = written;
  }
  std::unique_ptr<KTKeyTable>& table = keyTables_[name];
  if (!table) {
    table = std::make_unique<KTKeyTable>();
    table->SetName(name);
    table->SetNamespaceId(record->namespaceId);
    table->SetProcessor(this);
    table->SetExpressionNode(keyElement);
  }
  if (keyElements_.insert(keyElement).second)
    table->AddDefinition(record->match, record->use, keyElement);
  record->keyTable = table.get();
  return table.get();
}

KTKeyTable* KTXSLTProcessor::FindKeyTable(const KTString& expandedName) const {
  auto found = keyTables_.find(expandedName);
  return found == keyTables_.end() ? nullptr : found->second.get();
}

bool KTXSLTProcessor::RegisterDecimalFormat(std::unique_ptr<KTDecimalFormat> format) {
  if (!format) return false;
  auto found = decimalFormats_.find(format->name);
  if (found == decimalFormats_.end()) {
    KTString name = format->name;
    decimalFormats_.emplace(std::move(name), std::move(format));
    return true;
  }
  if (format->name.IsEmpty() && !defaultFormatDeclared_) {
    defaultFormatDeclared_ = true;
    found->second = std::move(format);
    return true;
  }
  return *found->second == *format;
}

const KTDecimalFormat* KTXSLTProcessor::FindDecimalFormat(const KTString& expandedName) const {
  auto found = decimalFormats_.find(expandedName);
  return found == decimalFormats_.end() ? nullptr : found->second.get();
}

bool KTXSLTProcessor::MatchKeyPattern(KTXPathValue* out, const KTCompiledExpression& pattern, KTXPathNode* root,
                                      KTXPathNode* keyElement, const KTXPathValue* contexts) {
  out->SetNodeSet();
  if (!root) return true;
  static const KTBindingMap noBindings;
  KTBindingMapSource variables(&noBindings);
  if (!keyExpression_) {
    keyExpression_ = std::make_unique<KTXSLTXPathExpression>(this, true);
    keyExpression_->EnableXSLTFunctions(true);
  }
  return Evaluate(*keyExpression_, KTXPathNode::GetNodeNamespaceMap(keyElement), pattern,
                  {.stylesheetNode = keyElement,
                   .evaluationRoot = root,
                   .contextValue = contexts ? contexts : &PatternContexts(root),
                   .position = -1,
                   .variables = &variables},
                  out);
}

bool KTXSLTProcessor::EvaluateKeyUse(KTXPathValue* out, const KTCompiledExpression& use, KTXPathNode* keyElement,
                                     const KTXPathValue& nodes, int position) {
  static const KTBindingMap noBindings;
  KTBindingMapSource variables(&noBindings);
  if (!keyExpression_) {
    keyExpression_ = std::make_unique<KTXSLTXPathExpression>(this, true);
    keyExpression_->EnableXSLTFunctions(true);
  }
  return Evaluate(*keyExpression_, KTXPathNode::GetNodeNamespaceMap(keyElement), use,
                  {.stylesheetNode = keyElement, .contextValue = &nodes, .position = position, .variables = &variables},
                  out);
}

bool KTXSLTProcessor::LookupKey(const KTString& keyName, const KTXPathValue& value, const KTXPathNodeItem& node,
                                KTXPathValue& result) {
  KTKeyTable* table = FindKeyTable(keyName);
  if (!table) return false;
  result.SetNodeSet();
  if (!node.GetNode()) return true;
  IndexDocumentOf(table, node.GetNode());
  result = table->Lookup(value, node);
  return true;
}

void KTXSLTProcessor::IndexDocumentOf(KTKeyTable* table, KTXPathNode* node) {
  KTXPathNode* root = node;
  while (root->GetParent()) root = root->GetParent();
  if (!table->IsIndexed(root)) {
    // The index is built inside the caller's evaluation: its record of the
    // last evaluation (shown when a stylesheet error is reported) is kept.
    KTEvaluationRecord saved = lastEvaluation_;
    const KTCompiledExpression* savedCompiled = lastCompiled_;
    table->BuildIndex(nullptr, root, this);
    lastEvaluation_ = std::move(saved);
    lastCompiled_ = savedCompiled;
  }
}

int KTXSLTProcessor::FormatNumber(double number, const KTString& pattern, const KTString& formatName, KTString& out) {
  const KTDecimalFormat* format = FindDecimalFormat(formatName);
  if (!format) return kXPathErrUnknownDecimalFormat;
  KTNumberFormatter formatter(format);
  const char16_t* position = pattern.c_str();
  if (!formatter.ParsePattern(position) || *position != 0) return kXPathErrInvalidFormatPattern;
  out = formatter.Format(number);
  return kXPathErrNone;
}

KTXPathElementIndex* KTXSLTProcessor::ElementIndexOf(KTXPathNode* root) {
  // A root the processor built (a result-tree fragment) may go while the
  // run goes on and another take its address: it is never indexed.
  if (!root || root->GetKind() != kXPathRoot || !root->GetXNode()) return nullptr;
  auto [slot, added] = elementIndexes_.try_emplace(root);
  // The source, and the documents document() loaded, which are kept until
  // the next Start, when the indexes go with them.
  if (added && (root == sourceRoot_ || (expression_ && expression_->LoadedDocument(root))))
    slot->second = KTXPathElementIndex::Build(root);
  return slot->second.get();
}

const KTString* KTXSLTProcessor::UnparsedEntityUri(const KTXPathNode* node, const KTString& name) {
  const KTXPathNode* root = node;
  while (root->GetParent()) root = root->GetParent();
  auto [entry, added] = unparsedEntities_.try_emplace(root);
  if (added) CollectUnparsedEntities(root, entry->second);
  auto found = entry->second.find(name);
  return found == entry->second.end() ? nullptr : &found->second;
}

bool KTXSLTProcessor::UnparsedSystemId(std::u16string_view definition, KTString& uri) {
  size_t at = 0;
  auto skipSpace = [&] {
    while (at < definition.size() && (definition[at] == u' ' || definition[at] == u'\t' ||
                                      definition[at] == u'\r' || definition[at] == u'\n'))
      ++at;
  };
  auto literal = [&](std::u16string_view& out) {
    skipSpace();
    if (at >= definition.size() || (definition[at] != u'"' && definition[at] != u'\'')) return false;
    size_t close = definition.find(definition[at], at + 1);
    if (close == std::u16string_view::npos) return false;
    out = definition.substr(at + 1, close - at - 1);
    at = close + 1;
    return true;
  };
  skipSpace();
  std::u16string_view keyword = definition.substr(at, 6);
  at += keyword.size();
  std::u16string_view systemId;
  if (keyword == u"PUBLIC") {
    std::u16string_view publicId;
    if (!literal(publicId)) return false;
  } else if (keyword != u"SYSTEM") {
    return false;
  }
  if (!literal(systemId)) return false;
  skipSpace();
  if (definition.substr(at, 5) != u"NDATA") return false;
  uri = KTString(systemId);
  return true;
}

KTString KTXSLTProcessor::ResolveSystemId(const KTString& systemId, const KTString* base) {
  if (!base || base->IsEmpty() || !systemId.IsRelativePath(false)) return systemId;
  return WithoutDotSegments(systemId.MakeAbsolute(base->c_str(), u""));
}

void KTXSLTProcessor::CollectUnparsedEntities(const KTXPathNode* root,
                                              std::unordered_map<KTString, KTString>& entities) {
  const KTXNode* document = root->GetXNode();
  if (!document) return;
  const KTString* base = KTXPathNode::GetDocumentUri(root);
  // The first declaration of a name binds (XML 1.0 §4.2), so later ones do
  // not replace it.
  for (const KTXNode* child = document->GetFirstChild(); child; child = child->GetNextSibling()) {
    if (child->GetKind() != kDoctype) continue;
    for (const KTXNode* d = child->GetFirstChild(); d; d = d->GetNextSibling()) {
      if (d->GetKind() != kDoctypeEntity || !d->GetName() || !d->GetValue()) continue;
      KTString systemId;
      if (UnparsedSystemId(d->GetValue(), systemId))
        entities.try_emplace(KTString(d->GetName()), ResolveSystemId(systemId, base));
    }
  }
}

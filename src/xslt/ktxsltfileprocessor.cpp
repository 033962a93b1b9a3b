// KTXSLTFileProcessor: document loading through the document manager.
#include "xslt/ktxsltfileprocessor.h"

#include <cstdio>
#include <string>

#include "net/ktnetmessages.h"
#include "platform/ktutf8.h"
#include "schema/ktschemamodel.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocmanager.h"
#include "xml/ktdocsource.h"
#include "xml/ktloadahead.h"
#include "xml/ktloadstatus.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathnode.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The file path a URI reference names: its %XX escapes are bytes of UTF-8
// (RFC 3986 §2.1), so "doc%5Ffile.xml" is the file doc_file.xml. A '%' not
// followed by two hexadecimal digits stays as it is.
KTString PathOfReference(const KTString& reference) {
  if (reference.Find(u'%') < 0) return reference;
  std::string bytes = KTUtf16ToUtf8(reference.View());
  std::string decoded;
  decoded.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    int high = bytes[i] == '%' && i + 2 < bytes.size() ? HexValue(bytes[i + 1]) : -1;
    int low = high >= 0 ? HexValue(bytes[i + 2]) : -1;
    // %00 is kept: no file name holds a NUL.
    if (bytes[i] == '%' && high >= 0 && low >= 0 && high * 16 + low != 0) {
      decoded += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      decoded += bytes[i];
    }
  }
  return KTString(KTUtf8ToUtf16(decoded).c_str());
}

}  // namespace

KTXSLTFileProcessor::KTXSLTFileProcessor(KTDocumentManager* manager) : manager_(manager) {}

KTXSLTFileProcessor::~KTXSLTFileProcessor() = default;

KTString KTXSLTFileProcessor::DocumentKey(const char16_t* url) {
  // One file has one entry, however its path is spelled ("/d/./a.xml",
  // "/d/sub/../a.xml"): document() of one URI gives one tree.
  return ClassifyUrl(url) == kNameIsUrl ? KTString(url) : WithoutDotSegments(KTString(url));
}

KTString KTXSLTFileProcessor::LoadNameOf(const KTString& key) {
  // URLs go to their servers escaped; a path is the file the reference names.
  return ClassifyUrl(key.c_str()) == kNameIsUrl ? key : PathOfReference(key);
}

KTXNode* KTXSLTFileProcessor::LoadDocument(const char16_t* url) {
  KTString key = DocumentKey(url);
  auto known = documentsByUrl_.find(key);
  if (known != documentsByUrl_.end()) return known->second;
  if (!manager_) return nullptr;

  KTString name = LoadNameOf(key);
  KTLoadStatus status;
  std::unique_ptr<KTDocumentRecord> record;
  if (KTLoadAhead* ahead = manager_->GetLoadAhead()) record = ahead->Take(name, KTLoadAhead::Kind::kModule);
  KTXNode* document;
  const KTDocumentLoader* used;
  if (record) {
    document = record->GetDocument();
    used = record->GetLoader();
  } else {
    std::unique_ptr<KTDocumentLoader> loader = manager_->NewLoader();
    // Messages place a node by its line and character, which the line
    // starts give: the text itself is not kept.
    loader->SetKeptText(KTDocumentLoader::KeptText::kLines);
    record = std::make_unique<KTDocumentRecord>();
    document = loader->LoadFromUrl(name.c_str(), status, record.get());
    used = loader.get();
    record->SetLoader(std::move(loader));
  }
  manager_->AddRecord(std::move(record));

  if (status.HasError() || !document) {
    std::u16string report = u"Failed to load " + std::u16string(KTUrlForMessage(key.View()).c_str()) + u"\n";
    if (status.HasError() && !status.GetMessage().IsEmpty())
      report += std::u16string(KTTextForMessage(status.GetMessage().View()).c_str()) + u"\n";
    KTWriteConsole(stderr, report);
    std::fflush(stderr);
    return nullptr;
  }
  documentsByUrl_.emplace(key, document);
  foldersByDocument_.emplace(document, key.GetFolder(true));
  loadersByDocument_.emplace(document, used);
  return document;
}

bool KTXSLTFileProcessor::ForgetDocument(const char16_t* url) {
  documentsByUrl_.erase(DocumentKey(url));
  return true;
}

const KTLineMap* KTXSLTFileProcessor::DocumentLines(const KTXNode* document) const {
  auto found = loadersByDocument_.find(document);
  if (found == loadersByDocument_.end()) return nullptr;
  return &found->second->GetLineMap();
}

void KTXSLTFileProcessor::Prepare(KTXPathNode* stylesheetRoot, KTXPathNode* sourceRoot) {
  if (stylesheetRoot) CheckStylesheetDocument(stylesheetRoot);
  KTXSLTProcessor::Prepare(stylesheetRoot, sourceRoot);
}

void KTXSLTFileProcessor::CollectUnparsedEntities(const KTXPathNode* root,
                                                  std::unordered_map<KTString, KTString>& entities) {
  KTXNode* document = root->GetXNode();
  if (!document || !manager_ || !manager_->FindByDocument(document)) {
    KTXSLTProcessor::CollectUnparsedEntities(root, entities);
    return;
  }
  // The document's DTD is walked again by a model of its own: the model the
  // document was wrapped with lived only for the wrapping. Its problems
  // were reported then, so this walk reports nothing.
  KTSchemaModel model(manager_);
  model.SetWarningStream(nullptr);
  model.LoadDtdPasses(document);
  const KTString* documentUri = KTXPathNode::GetDocumentUri(root);
  for (const auto& [name, declaration] : model.GeneralEntities()) {
    KTString systemId;
    if (!declaration->external || !UnparsedSystemId(declaration->value.View(), systemId)) continue;
    // Relative to the document that holds the declaration (XML 1.0 §4.2.2):
    // the source itself, its external subset or a parameter entity's file.
    const KTString* base = documentUri;
    KTXNode* declaringRoot = declaration->declaringNode ? model.DocumentRootOf(declaration->declaringNode) : nullptr;
    KTDocumentRecord* record = declaringRoot && declaringRoot != document ? manager_->FindByDocument(declaringRoot)
                                                                          : nullptr;
    if (record && record->GetSource() && !record->GetSource()->GetUrl().IsEmpty())
      base = &record->GetSource()->GetUrl();
    entities.try_emplace(name, ResolveSystemId(systemId, base));
  }
}

std::unique_ptr<KTSchemaServices> KTXSLTFileProcessor::NewSchemaModel() {
  // With the manager, a document's external subset and entities load, named
  // relative to the document, and its schema warnings name it.
  return std::make_unique<KTSchemaModel>(manager_);
}

KTString KTXSLTFileProcessor::DocumentUrl(const KTXNode* document) const {
  auto found = foldersByDocument_.find(document);
  return found == foldersByDocument_.end() ? KTString() : found->second;
}

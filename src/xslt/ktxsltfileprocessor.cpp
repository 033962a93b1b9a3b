// KTXSLTFileProcessor: document loading through the document manager.
#include "xslt/ktxsltfileprocessor.h"

#include <cstdio>

#include "platform/ktutf8.h"
#include "schema/ktschemamodel.h"
#include "xml/ktdocloader.h"
#include "xml/ktdocmanager.h"
#include "xml/ktloadstatus.h"

KTXSLTFileProcessor::KTXSLTFileProcessor(KTDocumentManager* manager) : manager_(manager) {}

KTXSLTFileProcessor::~KTXSLTFileProcessor() = default;

KTXNode* KTXSLTFileProcessor::LoadDocument(const char16_t* url) {
  KTString key(url);
  auto known = documentsByUrl_.find(key);
  if (known != documentsByUrl_.end()) return known->second;
  if (!manager_) return nullptr;

  std::unique_ptr<KTDocumentLoader> loader = manager_->NewLoader();
  auto record = std::make_unique<KTDocumentRecord>();
  KTLoadStatus status;
  KTXNode* document = loader->LoadFromUrl(url, status, record.get());
  record->SetLoader(std::move(loader));
  manager_->AddRecord(std::move(record));

  if (status.HasError() || !document) {
    std::u16string report = u"Failed to load " + std::u16string(key.c_str()) + u"\n";
    if (status.HasError() && !status.GetMessage().IsEmpty())
      report += std::u16string(status.GetMessage().c_str()) + u"\n";
    KTWriteConsole(stderr, report);
    std::fflush(stderr);
    return nullptr;
  }
  documentsByUrl_.emplace(key, document);
  foldersByDocument_.emplace(document, key.GetFolder(true));
  return document;
}

std::unique_ptr<KTSchemaServices> KTXSLTFileProcessor::NewSchemaModel() {
  return std::make_unique<KTSchemaModel>(nullptr, 1, nullptr, 52, 0, 0, false, 0);
}

KTString KTXSLTFileProcessor::DocumentUrl(const KTXNode* document) const {
  auto found = foldersByDocument_.find(document);
  return found == foldersByDocument_.end() ? KTString() : found->second;
}

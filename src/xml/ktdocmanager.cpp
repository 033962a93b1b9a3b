// Document records and the document manager: loading once per URL, walking
// and searching the records, removing them with what they own.
#include "xml/ktdocmanager.h"

#include <cstring>

#include "xml/ktdocloader.h"
#include "xml/ktdocsource.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadahead.h"
#include "xml/ktparserdriver.h"
#include "xml/ktxnode.h"

// ---- KTDocumentRecord ----

KTDocumentRecord::KTDocumentRecord() = default;

KTDocumentRecord::~KTDocumentRecord() {
  // The loader may still refer to the document's text; the document goes
  // first, then the loader, then the source.
  document_.reset();
  loader_.reset();
  source_.reset();
}

void KTDocumentRecord::SetSource(std::unique_ptr<KTDocumentSource> source) {
  if (source.get() == source_.get()) {
    source.release();
    return;
  }
  source_ = std::move(source);
}

void KTDocumentRecord::SetDocument(std::unique_ptr<KTXNode> document) {
  if (document.get() == document_.get()) {
    document.release();
    return;
  }
  document_ = std::move(document);
}

void KTDocumentRecord::SetLoader(std::unique_ptr<KTDocumentLoader> loader) {
  if (loader.get() == loader_.get()) {
    loader.release();
    return;
  }
  loader_ = std::move(loader);
}

namespace {
// Two texts compared as one block of code units (the library's comparison
// of UTF-16 views goes unit by unit).
bool SameText(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
}
}  // namespace

std::u16string_view KTDocumentRecord::GetNormalizedUrl() const {
  const KTDocumentSource* source = GetSource();
  const std::u16string_view url = source ? source->GetUrl().View() : std::u16string_view();
  if (!normalized_ || !SameText(normalizedFrom_, url)) {
    KTString normalized(url);
    normalized.NormalizePath();
    normalizedFrom_ = url;
    normalizedUrl_ = normalized.View();
    normalized_ = true;
  }
  return normalizedUrl_;
}

void KTDocumentRecord::SetLoadStatus(const KTLoadStatus& status) {
  loadStatus_.Set(status.GetCategory(), status.GetCode(), status.GetDetail(), status.GetMessage());
  loadStatus_.SetPosition(status.GetLine(), status.GetColumn());
}

// ---- KTDocumentManager ----

KTDocumentManager::KTDocumentManager(const KTGrammarCache* grammars, KTIdentifierCatalog* catalog)
    : grammars_(grammars), catalog_(catalog) {}

KTDocumentManager::~KTDocumentManager() = default;

void KTDocumentManager::SetLoadAhead(std::unique_ptr<KTLoadAhead> ahead) {
  StopLoadAhead();
  loadAhead_ = std::move(ahead);
}

void KTDocumentManager::StopLoadAhead() {
  if (loadAhead_) loadAhead_->Stop();
}

std::unique_ptr<KTDocumentLoader> KTDocumentManager::NewLoader() {
  return std::make_unique<KTDocumentLoader>(grammars_, this, catalog_);
}

std::unique_ptr<KTParserDriver> KTDocumentManager::NewParserDriver() { return std::make_unique<KTParserDriver>(); }

int KTDocumentManager::AddRecord(std::unique_ptr<KTDocumentRecord> record) {
  if (record)
    records_.push_back(std::move(record));
  return static_cast<int>(records_.size());
}

KTDocumentRecord* KTDocumentManager::AddNewRecord(std::unique_ptr<KTDocumentSource> source,
                                                  std::unique_ptr<KTXNode> document, const char16_t* lineEnd,
                                                  int grammarId) {
  auto record = std::make_unique<KTDocumentRecord>();
  record->SetSource(std::move(source));
  record->SetDocument(std::move(document));
  record->SetLineEnd(lineEnd);
  record->SetGrammarId(grammarId);
  KTDocumentRecord* added = record.get();
  AddRecord(std::move(record));
  return added;
}

KTXNode* KTDocumentManager::LoadDocument(const char16_t* url, KTLoadStatus& status, KTDocumentLoader** loader,
                                         const char16_t* user, const char16_t* password, int grammarId) {
  std::unique_ptr<KTDocumentLoader> handed(loader ? *loader : nullptr);
  if (loader)
    *loader = nullptr;

  if (KTDocumentRecord* found = FindByUrl(url)) {
    // Read once per URL: a document found again is not read again, and a URL
    // that failed to parse fails the same way again.
    if (loader)
      *loader = found->GetLoader();
    if (found->GetDocument() == nullptr) {
      const KTLoadStatus& failure = found->GetLoadStatus();
      if (failure.HasError()) {
        status.Set(failure.GetCategory(), failure.GetCode(), failure.GetDetail(), failure.GetMessage());
        status.SetPosition(failure.GetLine(), failure.GetColumn());
      } else {
        status.SetError(KTLoadStatus::kLoader, KTLoadStatus::kNoDocument);
        status.SetMessage(KTString(u"No document is held for ") + url);
      }
    } else {
      status.Clear();
    }
    return found->GetDocument();
  }

  // A document read here is asked about only for its tree and for the lines
  // of its messages: a loader of its own keeps where its lines start instead
  // of its whole text.
  const bool ownLoader = handed == nullptr;
  std::unique_ptr<KTDocumentLoader> used = handed ? std::move(handed) : NewLoader();
  if (ownLoader)
    used->SetKeptText(KTDocumentLoader::KeptText::kLines);
  auto record = std::make_unique<KTDocumentRecord>();
  if (grammarId != kNoGrammarId)
    used->SetGrammar(grammars_ ? grammars_->FindGrammar(grammarId) : nullptr);
  KTDocumentLoader* recordLoader = used.get();
  record->SetLoader(std::move(used));

  KTXNode* document =
      recordLoader->LoadByIdentifiers(url, nullptr, nullptr, status, record.get(), {.user = user, .password = password});
  bool parseFailed =
      status.GetCategory() == KTLoadStatus::kParse && status.GetCode() == KTLoadStatus::kParseFailed;
  if (status.HasError() && !parseFailed)
    return nullptr;  // the record goes, with its loader, source and document

  if (parseFailed)
    record->SetLoadStatus(status);
  AddRecord(std::move(record));
  if (loader)
    *loader = recordLoader;
  return document;
}

const KTGrammarEntry* KTDocumentManager::GrammarForKind(int kind) {
  if (grammars_ == nullptr || kind < 0)
    return nullptr;
  return grammars_->FindGrammar(kind == 1 ? KTGrammarCache::kDtd : KTGrammarCache::kXml);
}

KTDocumentRecord* KTDocumentManager::FirstDocument() {
  if (records_.empty()) {
    cursorValid_ = false;
    return nullptr;
  }
  cursor_ = records_.begin();
  cursorValid_ = true;
  return cursor_->get();
}

KTDocumentRecord* KTDocumentManager::NextDocument() {
  if (!cursorValid_)
    return nullptr;
  ++cursor_;
  if (cursor_ == records_.end()) {
    // The next call starts again at the first record.
    cursorValid_ = false;
    return nullptr;
  }
  return cursor_->get();
}

bool KTDocumentManager::Remove(RecordList::iterator at) {
  if (at == records_.end())
    return false;
  // A walk standing on the removed record would otherwise go on from a freed
  // position; it ends instead.
  if (cursorValid_ && cursor_ == at)
    cursorValid_ = false;
  records_.erase(at);
  return true;
}

bool KTDocumentManager::RemoveByUrl(const char16_t* url) {
  KTString wanted(url);
  for (auto at = records_.begin(); at != records_.end(); ++at) {
    KTDocumentSource* source = (*at)->GetSource();
    if (source != nullptr && source->GetUrl() == wanted)
      return Remove(at);
  }
  return false;
}

bool KTDocumentManager::RemoveByDocument(const KTXNode* document) {
  for (auto at = records_.begin(); at != records_.end(); ++at)
    if ((*at)->GetDocument() == document)
      return Remove(at);
  return false;
}

bool KTDocumentManager::RemoveRecord(const KTDocumentRecord* record) {
  for (auto at = records_.begin(); at != records_.end(); ++at)
    if (at->get() == record)
      return Remove(at);
  return false;
}

KTDocumentRecord* KTDocumentManager::FindByDocument(const KTXNode* document) {
  for (KTDocumentRecord* record = FirstDocument(); record; record = NextDocument())
    if (record->GetDocument() == document)
      return record;
  return nullptr;
}

KTDocumentRecord* KTDocumentManager::FindByUrl(const char16_t* url) {
  if (url == nullptr)
    return nullptr;
  // What IsSamePath compares, with the wanted URL normalised once and each
  // record's kept.
  KTString wanted(url);
  wanted.NormalizePath();
  const std::u16string_view wantedView = wanted.View();
  for (KTDocumentRecord* record = FirstDocument(); record; record = NextDocument()) {
    if (record->GetSource() != nullptr && SameText(record->GetNormalizedUrl(), wantedView))
      return record;
  }
  return nullptr;
}

KTDocumentRecord* KTDocumentManager::FindBySource(const KTDocumentSource& source) {
  for (KTDocumentRecord* record = FirstDocument(); record; record = NextDocument())
    if (record->GetSource() != nullptr && *record->GetSource() == source)
      return record;
  return nullptr;
}

KTDocumentRecord* KTDocumentManager::FindByIdentifiers(const char16_t* location, const char16_t* publicId,
                                                       const char16_t* uri) {
  if (catalog_ == nullptr)
    return nullptr;
  std::unique_ptr<KTDocumentLoader> loader = NewLoader();
  std::unique_ptr<KTDocumentSource> source = loader->CreateSource(location, publicId, uri, KTUrlOptions{});
  return source ? FindByUrl(source->GetUrl()) : nullptr;
}

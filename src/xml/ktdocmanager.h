// The document manager keeps the documents a run has loaded, each in a
// KTDocumentRecord that owns the document, the source it came from and the
// loader that read it. It loads a document once per URL, finds records by
// URL, document or source, and makes loaders and parser drivers for its users.
#pragma once

#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktloadstatus.h"

class KTDocumentLoader;
class KTDocumentSource;
class KTGrammarCache;
class KTIdentifierCatalog;
class KTLoadAhead;
class KTParserDriver;
class KTXNode;
struct KTGrammarEntry;

// Grammar id of a record that names no grammar.
inline constexpr int kNoGrammarId = 7;

class KTDocumentRecord {
 public:
  KTDocumentRecord();
  virtual ~KTDocumentRecord();
  KTDocumentRecord(const KTDocumentRecord&) = delete;
  KTDocumentRecord& operator=(const KTDocumentRecord&) = delete;

  // The record owns its source, document and loader. A setter deletes what
  // it held before, unless the same object is set again.
  virtual KTDocumentSource* GetSource() const { return source_.get(); }
  virtual void SetSource(std::unique_ptr<KTDocumentSource> source);
  virtual KTXNode* GetDocument() const { return document_.get(); }
  virtual void SetDocument(std::unique_ptr<KTXNode> document);
  // One of the shared line-end constants, or null.
  virtual const char16_t* GetLineEnd() const { return lineEnd_; }
  virtual void SetLineEnd(const char16_t* lineEnd) { lineEnd_ = lineEnd; }
  virtual int GetGrammarId() const { return grammarId_; }
  virtual void SetGrammarId(int id) { grammarId_ = id; }
  virtual KTDocumentLoader* GetLoader() const { return loader_.get(); }
  virtual void SetLoader(std::unique_ptr<KTDocumentLoader> loader);

  void SetHasTime(bool hasTime) { hasTime_ = hasTime; }
  void SetTime(time_t modified) { modified_ = modified; }
  bool HasTime() const { return hasTime_; }
  time_t GetTime() const { return modified_; }

  // Why the load of a remembered document failed (a parse failure keeps the
  // record with no document); given again to later loads of the same URL.
  const KTLoadStatus& GetLoadStatus() const { return loadStatus_; }
  void SetLoadStatus(const KTLoadStatus& status);

  // The URL of the record's source (empty without one) in the form that
  // KTString::IsSamePath compares (KTString::NormalizePath), made once per
  // URL: a search by URL compares it on every record.
  std::u16string_view GetNormalizedUrl() const;

 private:
  std::unique_ptr<KTDocumentSource> source_;
  // GetNormalizedUrl's answer and the URL it was made from, kept apart from
  // the string pool: they live as long as the record.
  mutable std::u16string normalizedUrl_;
  mutable std::u16string normalizedFrom_;
  mutable bool normalized_ = false;
  std::unique_ptr<KTXNode> document_;
  const char16_t* lineEnd_ = nullptr;
  int grammarId_ = kNoGrammarId;
  std::unique_ptr<KTDocumentLoader> loader_;
  time_t modified_ = 0;
  bool hasTime_ = false;
  KTLoadStatus loadStatus_;
};

class KTDocumentManager {
 public:
  KTDocumentManager(const KTGrammarCache* grammars, KTIdentifierCatalog* catalog);
  virtual ~KTDocumentManager();
  KTDocumentManager(const KTDocumentManager&) = delete;
  KTDocumentManager& operator=(const KTDocumentManager&) = delete;

  // A new loader on this manager's grammar cache and catalog; the caller owns it.
  virtual std::unique_ptr<KTDocumentLoader> NewLoader();
  // Appends the record (the manager owns it); returns the number of records.
  virtual int AddRecord(std::unique_ptr<KTDocumentRecord> record);
  virtual KTDocumentRecord* AddNewRecord(std::unique_ptr<KTDocumentSource> source, std::unique_ptr<KTXNode> document,
                                         const char16_t* lineEnd, int grammarId);
  // The document of the URL, read once per URL (later calls find the record
  // again; a URL that failed to parse answers null with the status of that
  // failure). A loader handed in through `loader` belongs to the manager from
  // then on; on return `loader` points at the record's loader (owned by the
  // record), or is null when no record was kept. The manager owns the document.
  virtual KTXNode* LoadDocument(const char16_t* url, KTLoadStatus& status, KTDocumentLoader** loader,
                                const char16_t* user, const char16_t* password, int grammarId);
  // Kind 1 gives the DTD grammar, any other kind the XML grammar; null without
  // a cache or for a negative kind.
  virtual const KTGrammarEntry* GrammarForKind(int kind);

  // Walks the records in the order they were added. A search walks with the
  // same cursor, so callers do not nest a search inside their own walk.
  virtual KTDocumentRecord* FirstDocument();
  virtual KTDocumentRecord* NextDocument();

  // Each removes the first matching record, with what it owns.
  virtual bool RemoveByUrl(const char16_t* url);  // exact URL text
  virtual bool RemoveByDocument(const KTXNode* document);
  virtual bool RemoveRecord(const KTDocumentRecord* record);

  virtual KTDocumentRecord* FindByDocument(const KTXNode* document);
  // Same path: '\' read as '/', a URL's scheme and host without case.
  virtual KTDocumentRecord* FindByUrl(const char16_t* url);
  // The record of the location the catalog resolves the identifiers to; null
  // without a catalog.
  virtual KTDocumentRecord* FindByIdentifiers(const char16_t* location, const char16_t* publicId,
                                              const char16_t* uri);
  // Same source kind and exactly the same URL text.
  virtual KTDocumentRecord* FindBySource(const KTDocumentSource& source);

  virtual std::unique_ptr<KTParserDriver> NewParserDriver();

  const KTGrammarCache* GetGrammarCache() const { return grammars_; }
  KTIdentifierCatalog* GetCatalog() const { return catalog_; }

  // Loads made ahead on other threads (the stylesheet and its modules):
  // the code that loads a document asks it first. Null when none run.
  void SetLoadAhead(std::unique_ptr<KTLoadAhead> ahead);
  KTLoadAhead* GetLoadAhead() const { return loadAhead_.get(); }
  // Stops the loads made ahead and frees what was not taken.
  void StopLoadAhead();

 private:
  using RecordList = std::list<std::unique_ptr<KTDocumentRecord>>;
  bool Remove(RecordList::iterator at);

  RecordList records_;
  const KTGrammarCache* grammars_;
  KTIdentifierCatalog* catalog_;
  RecordList::iterator cursor_;
  bool cursorValid_ = false;
  // Last, so that it is stopped before the records go.
  std::unique_ptr<KTLoadAhead> loadAhead_;
};

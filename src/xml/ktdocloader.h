// KTDocumentLoader turns a file path or URL into a document tree, and a tree
// or text back into a stored file or URL. It reads bytes through the input
// buffer of the source's kind, decodes them, picks a grammar from the grammar
// cache and parses through its parser driver; every failure lands in the
// caller's KTLoadStatus. Nearly every step is virtual, so that a subclass (the
// front end's result writer) can veto or adjust it.
//
// Ownership: a document returned by an operation given a record belongs to
// the record; without a record it belongs to the caller, who takes it into a
// std::unique_ptr at once.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

#include "core/ktlinemap.h"
#include "core/ktstring.h"
#include "xml/ktdocsource.h"

class KTCursorBuffer;
class KTDecodedTextBuffer;
class KTDocumentManager;
class KTDocumentRecord;
class KTDocumentSource;
class KTGrammarCache;
class KTIdentifierCatalog;
class KTLoadStatus;
class KTParserDriver;
class KTXNode;
struct KTGrammarEntry;
struct KTWriteOptions;

// The three line ends a loader records; MapLineEnd answers these pointers.
extern const char16_t* const kLineEndCrLf;
extern const char16_t* const kLineEndCr;
extern const char16_t* const kLineEndLf;

// Kinds of names.
inline constexpr int kNameIsPath = 1;
inline constexpr int kNameIsUrl = 2;

class KTDocumentLoader {
 public:
  KTDocumentLoader();
  KTDocumentLoader(const KTGrammarCache* grammars, KTDocumentManager* manager, KTIdentifierCatalog* catalog);
  virtual ~KTDocumentLoader();
  KTDocumentLoader(const KTDocumentLoader&) = delete;
  KTDocumentLoader& operator=(const KTDocumentLoader&) = delete;

  virtual bool CreateComponents();

  // ---- Loading ----
  // With ownSource the loader takes the source over (the record keeps it
  // when one is given); otherwise the source stays the caller's and a record
  // keeps a copy of it.
  virtual KTXNode* Load(KTDocumentSource* source, KTLoadStatus& status, KTDocumentRecord* record, bool ownSource);
  virtual KTXNode* LoadByIdentifiers(const char16_t* location, const char16_t* publicId, const char16_t* uri,
                                     KTLoadStatus& status, KTDocumentRecord* record);
  virtual KTXNode* LoadFromFile(const char16_t* path, KTLoadStatus& status, KTDocumentRecord* record);
  virtual KTXNode* LoadByIdentifiers(const char16_t* location, const char16_t* publicId, const char16_t* uri,
                                     KTLoadStatus& status, KTDocumentRecord* record, const KTUrlOptions& request);
  // The front end and the stylesheet processor load with content type
  // "text/xml", no credentials, not interactive, asking for credentials and
  // without the cache: the defaults of KTUrlOptions.
  virtual KTXNode* LoadFromUrl(const char16_t* url, KTLoadStatus& status, KTDocumentRecord* record = nullptr,
                               const KTUrlOptions& request = {});
  virtual KTXNode* LoadFromUrlSource(const char16_t* url, KTLoadStatus& status, KTDocumentRecord* record,
                                     const KTUrlOptions& request);
  // Parses bytes with a grammar of the cache; decoding errors are not reported.
  virtual KTXNode* LoadFromBytes(const void* bytes, uint32_t size, int grammarId, KTLoadStatus& status);
  // Reads and decodes without parsing; the text read (empty, or the previous
  // text, after a failure).
  virtual KTString ReadTextByIdentifiers(const char16_t* location, const char16_t* publicId, const char16_t* uri,
                                         KTLoadStatus& status, KTDocumentRecord* record);
  virtual KTString ReadText(const char16_t* url, KTLoadStatus& status, KTDocumentRecord* record);

  // ---- Saving ----
  // encodingId 0 means the encoding the text or tree declares (UTF-8 when it
  // declares none). Line ends follow the record of the document when the
  // manager has one.
  virtual bool SaveRecordText(KTDocumentRecord* record, const char16_t* text, KTLoadStatus& status,
                              int encodingId, int byteOrder);
  virtual bool SaveRecordTree(KTDocumentRecord* record, KTLoadStatus& status, const KTWriteOptions* options,
                              int encodingId, int byteOrder);
  // The request's credentials, headers and content type go with the write.
  virtual bool SaveTextToUrl(const char16_t* url, const char16_t* text, KTLoadStatus& status,
                             const KTUrlOptions& request, int encodingId, int byteOrder);
  virtual bool SaveTreeToUrl(const char16_t* url, KTXNode* tree, KTLoadStatus& status, const KTUrlOptions& request,
                             const KTWriteOptions* options, int encodingId, int byteOrder);
  virtual bool SaveTextToFile(const char16_t* path, const char16_t* text, KTLoadStatus& status, int encodingId,
                              int byteOrder);
  // Writes bytes already in encoding id (a KTPiecewiseEncoder's, line ends
  // normalised) to the file, through the same encoding check, output filter
  // and file buffer as SaveTextToFile.
  bool SaveEncodedToFile(const char16_t* path, std::unique_ptr<char[]> bytes, uint32_t size, int encodingId,
                         int byteOrder, KTLoadStatus& status);
  virtual bool SaveTreeToFile(const char16_t* path, KTXNode* tree, KTLoadStatus& status,
                              const KTWriteOptions* options, int encodingId, int byteOrder);
  virtual bool SaveTree(KTDocumentSource* source, KTXNode* tree, KTLoadStatus& status,
                        const KTWriteOptions* options, int encodingId, int byteOrder);
  virtual bool SaveText(KTDocumentSource* source, const char16_t* text, KTLoadStatus& status, int encodingId,
                        int byteOrder);

  // ---- Steps a subclass may adjust ----
  // A file or URL source for the location the catalog resolves the
  // identifiers to; the caller owns it.
  virtual std::unique_ptr<KTDocumentSource> CreateSource(const char16_t* location, const char16_t* publicId,
                                                         const char16_t* uri, const KTUrlOptions& request);
  // May refuse the source or rewrite its URL.
  virtual bool CheckSource(KTDocumentSource* source, KTString& url) { return true; }
  // The DTD grammar for a name whose extension is "dtd", else the XML grammar.
  virtual bool GrammarForUrl(KTDocumentSource* source, const KTString& url, const KTGrammarEntry*& entry);
  virtual bool CheckEncoding(int flag, int encodingId, KTLoadStatus& status) { return true; }
  // The line end the read text is converted to; none in this class.
  virtual const char16_t* PreferredLineEnd() { return nullptr; }
  virtual KTXNode* ParseText(KTDocumentSource* source, const KTString& url, const KTString& text,
                             const KTGrammarEntry* entry, const char16_t* startRule, KTXNode* node,
                             KTLoadStatus& status);
  virtual bool CheckWriteOptions(KTDocumentSource* source, KTDocumentRecord* record, const KTWriteOptions& options) {
    return true;
  }
  // The manager's record of the document, or else of the source's path.
  virtual KTDocumentRecord* FindRecord(KTDocumentSource* source, const KTXNode* document);
  virtual bool CheckSaveEncoding(KTDocumentSource* source, KTDocumentRecord* record, int& encodingId,
                                 int& byteOrder) {
    return true;
  }
  virtual bool FilterOutput(KTDocumentSource* source, KTDocumentRecord* record, int encodingId, int byteOrder,
                            std::unique_ptr<char[]>& bytes, uint32_t& size, KTLoadStatus& status) {
    return true;
  }
  // The record's line end, else the preferred one (none in this class).
  virtual const char16_t* LineEndForSave(KTDocumentSource* source, KTDocumentRecord* record);
  // Encodes the text (taken over, not copied) and writes it to the source.
  virtual bool SaveBytes(KTDocumentSource* source, KTDocumentRecord* record, KTString&& text, int encodingId,
                         int byteOrder, KTLoadStatus& status);
  // Filters encoded bytes and writes them to the source.
  bool WriteBytes(KTDocumentSource* source, KTDocumentRecord* record, std::unique_ptr<char[]> bytes, uint32_t size,
                  int encodingId, int byteOrder, KTLoadStatus& status);
  // The encoding of the text held in memory: UTF-16 in the machine's order.
  virtual void DefaultEncoding(int& encodingId, int& byteOrder);

  // ---- Not virtual ----
  const KTString& GetText() const { return text_; }
  KTString& GetText() { return text_; }
  // Length of the last text read, kept when the text is dropped.
  int GetTextLength() const { return textLength_; }
  // Whether `document` is the tree this loader last parsed whole from a text
  // that holds no '&', and one that holds no CR: no value in it holds a
  // reference, or a line end still to normalise
  // (KTXPathTreeContext::SetNextTextsPlain, SetNextTextsWithoutCr).
  bool ParsedWithoutReference(const KTXNode* document) const {
    return document != nullptr && document == noReferenceDocument_;
  }
  bool ParsedWithoutCr(const KTXNode* document) const { return document != nullptr && document == noCrDocument_; }
  // Whether `document` is the tree this loader last parsed whole and built
  // plain (KTParserDriver::BuiltPlainTree): it has no DOCTYPE and no
  // prefixed name, so no DTD or schema declares anything for it.
  bool ParsedWithoutDeclarations(const KTXNode* document) const {
    return document != nullptr && document == plainDocument_;
  }
  // What a load keeps of the text it parsed, once the tree is built: the
  // text itself (the default); only where its lines start (GetLineMap),
  // for a caller that turns node offsets into lines and columns and needs
  // nothing else of the text; or nothing, for a caller that needs only the
  // tree. Unless the text is kept, it is handed back while its tree is built
  // (ktsourcetext.h) and dropped when the load ends, so GetText() is empty
  // after it.
  // Keeping lines, the map of a file's text is made only when first asked
  // for, from the file read again (most runs ask for no place); with
  // `eagerLines`, or for a text not from a file, it is made at the load.
  enum class KeptText { kText, kLines, kNothing };
  void SetKeptText(KeptText kept, bool eagerLines = false) {
    kept_ = kept;
    eagerLines_ = eagerLines;
  }
  void SetDropTextAfterLoad(bool drop) { kept_ = drop ? KeptText::kNothing : KeptText::kText; }
  // Where the lines of the last text parsed start: the map a load keeping
  // lines recorded, else a map of the text held now (made on first use and
  // kept while that text is held; a map of no text once it is dropped).
  const KTLineMap& GetLineMap() const;
  // Hands the map a load keeping lines recorded over to the caller; the
  // loader then answers as one that kept nothing.
  KTLineMap TakeLineMap();
  // The first line end of the last text read (null before the first read).
  const char16_t* GetLineEnd() const { return lineEnd_; }
  // A grammar entry that overrides the choice by name (null: by name).
  void SetGrammar(const KTGrammarEntry* entry) { grammar_ = entry; }
  std::unique_ptr<KTXNode> CreateDocumentNode(int grammarId);
  bool ReadSource(KTDocumentSource* source, KTLoadStatus& status, KTDocumentRecord* record);
  bool DecodeText(std::unique_ptr<char[]> bytes, uint32_t size, const char16_t* preferredLineEnd,
                  KTLoadStatus& status);
  // The decoder's text, once the encoding it was read in is accepted, as
  // the document's text with its line ends (the end of DecodeText).
  bool KeepDecodedText(const char16_t* preferredLineEnd, KTLoadStatus& status);
  KTString ResolveLocation(const char16_t* location, const char16_t* publicId, const char16_t* uri);
  // Writes the tree into text with the options (or the loader's defaults).
  bool WriteTree(KTString& text, KTXNode* tree, KTDocumentSource* source, KTDocumentRecord* record,
                 const KTWriteOptions* options, const char16_t* lineEnd);

 private:
  KTCursorBuffer* BufferFor(const KTDocumentSource* source);
  // Records the line map of the text about to be parsed, or how to make it
  // again from its file, when the load keeps lines only.
  void KeepLines(KTDocumentSource* source, int grammarId);
  // Reads the file again and makes its line map (a map of no text if the
  // file is not the one loaded any more).
  void MakeLinesAgain();
  // The text (its line ends already converted) made ready for saving: the
  // encoding chosen from its declaration when encodingId is 0.
  bool PrepareSave(KTDocumentSource* source, KTDocumentRecord* record, KTString& text, const KTString& declaredName,
                   int& encodingId, int& byteOrder, KTLoadStatus& status);

  bool componentsMade_ = false;
  // One input buffer per source kind, made on first use.
  std::unique_ptr<KTCursorBuffer> fileBuffer_;
  std::unique_ptr<KTCursorBuffer> urlBuffer_;
  std::unique_ptr<KTDecodedTextBuffer> decoded_;
  std::unique_ptr<KTParserDriver> driver_;
  const KTGrammarCache* grammars_ = nullptr;
  KTString text_;
  int textLength_ = 0;
  KeptText kept_ = KeptText::kText;
  bool eagerLines_ = false;
  // The line map GetLineMap answers: recorded by the load when linesKept_,
  // else made from the text at linesText_ of linesLength_ units.
  mutable KTLineMap lines_;
  bool linesKept_ = false;
  // Where a kept line map is read again from, until it is first asked for.
  struct Reread {
    KTString path;
    int grammarId;
    time_t modified;
    int length;  // of the text as parsed
  };
  std::unique_ptr<Reread> reread_;
  mutable const char16_t* linesText_ = nullptr;
  mutable int linesLength_ = -1;
  const char16_t* lineEnd_ = nullptr;
  KTDocumentManager* manager_ = nullptr;
  KTIdentifierCatalog* catalog_ = nullptr;
  const KTGrammarEntry* grammar_ = nullptr;
  // Parse settings: literals and end-tag names match with case, as XML 1.0
  // names do (matching without case would accept <a></A>, which §3 makes a
  // fatal error); end names are removed and the tree is flattened; a
  // finished parse is tidied.
  bool caseSensitive_ = true;
  bool endNameRemoval_ = true;
  bool flatten_ = true;
  bool finish_ = true;
  // The documents ParsedWithoutReference and ParsedWithoutCr answer for
  // (null: none).
  const KTXNode* noReferenceDocument_ = nullptr;
  const KTXNode* noCrDocument_ = nullptr;
  // The document ParsedWithoutDeclarations answers for (null: none).
  const KTXNode* plainDocument_ = nullptr;
};

// kNameIsUrl for a name that starts with "file:/", "http://", "https://",
// "gopher://" or "ftp://" (any case), else kNameIsPath.
int ClassifyUrl(const char16_t* text);
// The shared constant equal to the text ("\r\n", "\r" or "\n"), else null.
const char16_t* MapLineEnd(const char16_t* text);
// The encoding named by the XML declaration at the start of the text, lower
// case; empty when there is none within the first 100 characters.
KTString EncodingFromDeclarationText(const char16_t* text);
// The encoding attribute of the tree's XML declaration; empty when none.
KTString EncodingFromDeclarationNode(const KTXNode* tree);

// The document loader: sources made from names, reading and decoding, grammar
// choice and parsing, and saving texts and trees in a chosen encoding.
#include "xml/ktdocloader.h"

#include <cstring>

#include "core/ktencoding.h"
#include "platform/ktwchar.h"
#include "streams/ktfilestream.h"
#include "xml/ktdecodedtext.h"
#include "xml/ktdocmanager.h"
#include "xml/ktdocsource.h"
#include "xml/ktdocwellformed.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktidentifiercatalog.h"
#include "xml/ktinputbuffer.h"
#include "xml/ktloaderror.h"
#include "xml/ktloadstatus.h"
#include "xml/ktparserdriver.h"
#include "xml/ktsourcetext.h"
#include "xml/ktxnode.h"
#include "xml/ktxwriter.h"

const char16_t* const kLineEndCrLf = u"\r\n";
const char16_t* const kLineEndCr = u"\r";
const char16_t* const kLineEndLf = u"\n";

namespace {

// How far into a text EncodingFromDeclarationText looks for the declaration.
constexpr int kDeclarationWindow = 100;

// The line end of a saved tree when neither the document's record nor the
// loader names one: POSIX text files end their lines with LF.
const char16_t* const kDefaultSaveLineEnd = kLineEndLf;

const char16_t* OrEmpty(const char16_t* text) { return text ? text : u""; }

// Loader-category failures keep the error an earlier step wrote, unless that
// is only the warning that some bytes were replaced while decoding, which
// would hide why nothing loaded.
void FailIfClean(KTLoadStatus& status, uint32_t code, const char16_t* message) {
  bool onlyWarning = status.GetCategory() == KTLoadStatus::kEncoding && status.GetCode() == KTLoadStatus::kDecodeFailed;
  if (!status.HasError() || onlyWarning)
    KTSetLoadError(status, KTLoadStatus::kLoader, code, KTString(message));
}

}  // namespace

// ---- Free functions ----

int ClassifyUrl(const char16_t* text) {
  static const char16_t* const kPrefixes[] = {u"file://", u"http://", u"https://", u"gopher://", u"ftp://"};
  if (text == nullptr)
    return kNameIsPath;
  for (const char16_t* prefix : kPrefixes) {
    int length = KTStrLen(prefix);
    if (KTStrNICmpAscii(text, prefix, length) == 0)
      return kNameIsUrl;
  }
  // "file:/path" is the short form of "file:///path" (RFC 8089); read as a
  // path it would name a folder "file:" that is not there.
  if (KTStrNICmpAscii(text, u"file:/", 6) == 0)
    return kNameIsUrl;
  return kNameIsPath;
}

const char16_t* MapLineEnd(const char16_t* text) {
  if (text == nullptr)
    return nullptr;
  if (KTStrCmp(text, kLineEndCrLf) == 0)
    return kLineEndCrLf;
  if (KTStrCmp(text, kLineEndCr) == 0)
    return kLineEndCr;
  if (KTStrCmp(text, kLineEndLf) == 0)
    return kLineEndLf;
  return nullptr;
}

namespace {

// The value of the encoding declaration in the first characters of the text:
// true with [begin, end) set when there is one.
bool FindDeclaredEncoding(const char16_t* text, size_t& begin, size_t& end) {
  if (text == nullptr)
    return false;
  std::u16string window;
  for (int i = 0; i < kDeclarationWindow && text[i] != 0; ++i)
    window.push_back(KTToLowerAscii(text[i]));
  std::u16string_view view(window);
  size_t at = view.find(u"<?xml ");
  if (at == std::u16string_view::npos)
    return false;
  at = view.find(u"encoding", at + 6);
  if (at == std::u16string_view::npos)
    return false;
  at += 8;
  while (at < view.size() && view[at] == u' ')
    ++at;
  if (at >= view.size() || view[at] != u'=')
    return false;
  at = view.find_first_of(u"'\"", at + 1);
  if (at == std::u16string_view::npos)
    return false;
  size_t close = view.find(view[at], at + 1);
  if (close == std::u16string_view::npos)
    return false;
  begin = at + 1;
  end = close;
  return true;
}

}  // namespace

KTString EncodingFromDeclarationText(const char16_t* text) {
  size_t begin = 0;
  size_t end = 0;
  if (!FindDeclaredEncoding(text, begin, end))
    return KTString();
  std::u16string name(text + begin, text + end);
  for (char16_t& c : name)
    c = KTToLowerAscii(c);
  return KTString(std::u16string_view(name));
}

KTString EncodingFromDeclarationNode(const KTXNode* tree) {
  if (tree == nullptr)
    return KTString();
  for (const KTXNode* child = tree->GetFirstChild(); child; child = child->GetNextSibling()) {
    if (child->GetKind() != kXmlTag)
      continue;
    for (const KTXNode* part = child->GetFirstChild(); part; part = part->GetNextSibling())
      if (KTStrICmpAscii(part->GetName(), u"encoding") == 0)
        return KTString(part->GetValue());
    break;
  }
  return KTString();
}

// ---- Construction ----

KTDocumentLoader::KTDocumentLoader() = default;

KTDocumentLoader::KTDocumentLoader(const KTGrammarCache* grammars, KTDocumentManager* manager,
                                   KTIdentifierCatalog* catalog)
    : grammars_(grammars), manager_(manager), catalog_(catalog) {}

KTDocumentLoader::~KTDocumentLoader() = default;

bool KTDocumentLoader::CreateComponents() {
  if (!decoded_)
    decoded_ = std::make_unique<KTDecodedTextBuffer>();
  if (!driver_)
    driver_ = std::make_unique<KTParserDriver>();
  return true;
}

KTCursorBuffer* KTDocumentLoader::BufferFor(const KTDocumentSource* source) {
  if (source->IsFile()) {
    if (!fileBuffer_)
      fileBuffer_ = std::make_unique<KTFileBuffer>();
    return fileBuffer_.get();
  }
  if (source->IsUrl()) {
    if (!urlBuffer_)
      urlBuffer_ = std::make_unique<KTUrlBuffer>();
    return urlBuffer_.get();
  }
  return nullptr;
}

// ---- Sources ----

KTString KTDocumentLoader::ResolveLocation(const char16_t* location, const char16_t* publicId, const char16_t* uri) {
  KTString resolved(location);
  if (catalog_ == nullptr)
    return resolved;
  KTString candidate;
  if (uri != nullptr && uri[0] != 0)
    catalog_->RewriteByPrefix(candidate, uri);
  else
    catalog_->Resolve(candidate, (publicId && publicId[0]) ? publicId : nullptr, location);
  if (!candidate.IsEmpty() && !(candidate == resolved))
    resolved = std::move(candidate);
  return resolved;
}

std::unique_ptr<KTDocumentSource> KTDocumentLoader::CreateSource(const char16_t* location, const char16_t* publicId,
                                                                 const char16_t* uri, const KTUrlOptions& request) {
  KTString resolved = ResolveLocation(location, publicId, uri);
  if (ClassifyUrl(resolved) == kNameIsUrl)
    return std::make_unique<KTUrlSource>(resolved, request);
  return std::make_unique<KTFileSource>(resolved);
}

// ---- Reading ----

bool KTDocumentLoader::ReadSource(KTDocumentSource* source, KTLoadStatus& status, KTDocumentRecord* record) {
  if (!componentsMade_)
    componentsMade_ = CreateComponents();
  KTString url = source->GetUrl();
  if (url.IsEmpty()) {
    KTSetLoadError(status, KTLoadStatus::kLoader, kLoadEmptySourceName, KTString(u"The source names no file or URL"));
    return false;
  }
  if (!CheckSource(source, url)) {
    KTSetLoadError(status, KTLoadStatus::kLoader, KTLoadStatus::kSourceRefused, u"The source was refused: " + url);
    return false;
  }
  status.Clear();
  source->SetUrl(url);
  KTCursorBuffer* buffer = BufferFor(source);
  if (buffer == nullptr) {
    KTSetLoadError(status, KTLoadStatus::kLoader, kLoadUnsupportedSource,
                   u"The source is neither a file nor a URL: " + url);
    return false;
  }
  if (KTFileBuffer::DecodeInPieces(source, *decoded_)) {
    // A plain UTF-8 file, decoded as it was read: what the whole decode
    // would have given.
    const bool kept = KeepDecodedText(OrEmpty(PreferredLineEnd()), status);
    decoded_->Clear();
    return kept;
  }
  if (!buffer->Read(source, status))
    return false;
  uint32_t size = 0;
  std::unique_ptr<char[]> bytes = buffer->DetachData(size);
  buffer->Release();
  const char16_t* preferred = PreferredLineEnd();
  bool decoded = DecodeText(std::move(bytes), size, OrEmpty(preferred), status);
  decoded_->Clear();
  return decoded;
}

bool KTDocumentLoader::DecodeText(std::unique_ptr<char[]> bytes, uint32_t size, const char16_t* preferredLineEnd,
                                  KTLoadStatus& status) {
  if (!bytes)
    return false;
  if (!componentsMade_)
    componentsMade_ = CreateComponents();
  // The bytes move into the decoder, which frees them once the text is out.
  if (!decoded_->DecodeBlock(std::move(bytes), size, status)) {
    if (!status.HasError())
      KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kDecodeFailed,
                     KTString(u"The document could not be decoded"));
    return false;
  }
  return KeepDecodedText(preferredLineEnd, status);
}

bool KTDocumentLoader::KeepDecodedText(const char16_t* preferredLineEnd, KTLoadStatus& status) {
  if (!CheckEncoding(0, decoded_->GetEncodingId(), status)) {
    if (!status.HasError())
      KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kDecodeFailed,
                     u"The encoding was refused: " + decoded_->GetEncodingName());
    return false;
  }
  text_ = decoded_->ReleaseText();
  linesKept_ = false;
  reread_.reset();
  lineEnd_ = MapLineEnd(text_.DetectLineEnd());
  if (preferredLineEnd != nullptr && preferredLineEnd[0] != 0 && KTStrCmp(preferredLineEnd, lineEnd_) != 0)
    text_.NormalizeLineEnds(preferredLineEnd);
  textLength_ = text_.GetLength();
  return true;
}

bool KTDocumentLoader::GrammarForUrl(KTDocumentSource* source, const KTString& url, const KTGrammarEntry*& entry) {
  entry = nullptr;
  if (grammars_ == nullptr || source == nullptr || source->GetUrl().IsEmpty())
    return false;
  KTString extension = source->GetUrl().GetExtension(true);
  entry = grammars_->FindGrammar(extension == u"dtd" ? KTGrammarCache::kDtd : KTGrammarCache::kXml);
  return entry != nullptr;
}

std::unique_ptr<KTXNode> KTDocumentLoader::CreateDocumentNode(int grammarId) {
  if (grammarId == KTGrammarCache::kDtd)
    return CreateXNode(kDtdDocument);
  if (grammarId == KTGrammarCache::kEntity)
    return CreateXNode(kXmlEntity);
  return CreateXNode(kXmlDocument);
}

// A DTD or an external parsed entity is read with its line ends as LF (XML
// 1.0 §2.11): its text goes into other documents' content and attribute
// values as it stands, where a CR would stay. A document keeps its own line
// ends here; its view normalises them, and saving writes them back.
namespace {
void NormalizeEntityLineEnds(int grammarId, KTString& text) {
  if (grammarId != KTGrammarCache::kDtd && grammarId != KTGrammarCache::kEntity) return;
  // Only a CR changes: a text without one (the common case) is left as it is
  // after one block search instead of a rewrite of every unit.
  const std::u16string_view view = text.View();
  if (!KTFindUnit(view.data(), view.size(), u'\r')) return;
  text.NormalizeLineEnds(u"\n");
}
}  // namespace

KTXNode* KTDocumentLoader::ParseText(KTDocumentSource* source, const KTString& url, const KTString& text,
                                     const KTGrammarEntry* entry, const char16_t* startRule, KTXNode* node,
                                     KTLoadStatus& status) {
  if (text.IsEmpty()) {
    // An external entity or a DTD may be empty; a document needs its root
    // element (XML 1.0 §2.1).
    if (node == nullptr || node->GetKind() != kXmlDocument)
      return node;
    status.SetError(KTLoadStatus::kParse, KTLoadStatus::kParseFailed);
    status.SetMessage(KTString(u"line 1, column 1: the document is empty: it has no root element"));
    status.SetPosition(1, 1);
    return nullptr;
  }
  if (!driver_->Init(entry, caseSensitive_, endNameRemoval_, flatten_)) {
    FailIfClean(status, KTLoadStatus::kNoGrammar, u"The grammar for the document is not loaded");
    return nullptr;
  }
  // Characters XML does not allow are refused before the parse, so that the
  // grammar never sees them; the checks the grammar cannot make run over the
  // tree it built (both in linear time).
  bool holdsAmpersand = true;
  bool holdsCarriageReturn = true;
  noReferenceDocument_ = nullptr;
  noCrDocument_ = nullptr;
  plainDocument_ = nullptr;
  if (!KTCheckDocumentCharacters(text.c_str(), text.GetLength(), status, &holdsAmpersand, &holdsCarriageReturn))
    return nullptr;
  driver_->SetTextWithoutNul();  // the check refuses U+0000
  // The loader's own text, when nobody needs it after the load, is handed
  // back while the tree is built; the checks then read it through `sourceText`.
  // The block itself stays allocated until the load drops the text.
  KTSourceText sourceText(const_cast<char16_t*>(text.c_str()), text.GetLength(), kept_ != KeptText::kText && &text == &text_);
  driver_->SetSourceText(&sourceText);
  if (!driver_->Parse(text.c_str(), text.GetLength(), status, node, startRule, finish_))
    return nullptr;
  // A document of plainly named elements holds nothing the tree check
  // refuses but its references (KTParserDriver::BuiltPlainTree): without any
  // reference the walk is left out, with some only they are checked.
  const bool plain = startRule == nullptr && node != nullptr && node->GetKind() == kXmlDocument &&
                     driver_->BuiltPlainTree();
  if ((!plain || holdsAmpersand) && !KTCheckWellFormedTree(sourceText, node, status, plain, holdsAmpersand))
    return nullptr;
  if (plain)
    plainDocument_ = node;
  if (startRule == nullptr && node != nullptr && node->GetKind() == kXmlDocument) {
    if (!holdsAmpersand)
      noReferenceDocument_ = node;
    if (!holdsCarriageReturn)
      noCrDocument_ = node;
  }
  return node;
}

void KTDocumentLoader::KeepLines(KTDocumentSource* source, int grammarId) {
  if (kept_ != KeptText::kLines) return;
  linesText_ = nullptr;
  linesLength_ = -1;
  linesKept_ = true;
  // A file is read again for its map when a message first asks for a place
  // in it, which most runs never do; the map is made now only for a text
  // that could not be read again alike (bytes given, a URL). The file's
  // time and the text's length tell whether it is still the file loaded.
  time_t modified = 0;
  if (!eagerLines_ && source != nullptr && source->IsFile() && GetFileModifiedTime(source->GetUrl(), modified)) {
    reread_ = std::make_unique<Reread>(Reread{source->GetUrl(), grammarId, modified, text_.GetLength()});
    lines_ = KTLineMap();
    return;
  }
  reread_.reset();
  // Made before the parse: the build may narrow the text in place.
  lines_ = KTLineMap(text_.View());
}

void KTDocumentLoader::MakeLinesAgain() {
  const std::unique_ptr<Reread> reread = std::move(reread_);
  // The read replaces what the loader holds of its last text: kept aside,
  // and put back after.
  KTString text = std::move(text_);
  const int textLength = textLength_;
  const char16_t* lineEnd = lineEnd_;
  KTFileSource source(reread->path);
  KTLoadStatus status;
  time_t modified = 0;
  if (GetFileModifiedTime(reread->path, modified) && modified == reread->modified &&
      ReadSource(&source, status, nullptr)) {
    NormalizeEntityLineEnds(reread->grammarId, text_);
    // A file changed since the load places nothing rather than wrongly.
    if (text_.GetLength() == reread->length) lines_ = KTLineMap(text_.View());
  }
  text_ = std::move(text);
  textLength_ = textLength;
  lineEnd_ = lineEnd;
}

const KTLineMap& KTDocumentLoader::GetLineMap() const {
  if (linesKept_) {
    if (reread_) const_cast<KTDocumentLoader*>(this)->MakeLinesAgain();
    return lines_;
  }
  if (linesText_ != text_.c_str() || linesLength_ != text_.GetLength()) {
    linesText_ = text_.c_str();
    linesLength_ = text_.GetLength();
    lines_ = KTLineMap(text_.View());
  }
  return lines_;
}

KTLineMap KTDocumentLoader::TakeLineMap() {
  if (linesKept_ && reread_) MakeLinesAgain();
  KTLineMap taken = std::move(lines_);
  lines_ = KTLineMap();
  linesKept_ = false;
  linesText_ = nullptr;
  linesLength_ = -1;
  return taken;
}

KTXNode* KTDocumentLoader::Load(KTDocumentSource* source, KTLoadStatus& status, KTDocumentRecord* record,
                                bool ownSource) {
  if (source == nullptr) {
    KTSetLoadError(status, KTLoadStatus::kLoader, KTLoadStatus::kNoSource, KTString(u"No source was given"));
    return nullptr;
  }
  std::unique_ptr<KTDocumentSource> owned(ownSource ? source : nullptr);
  if (record != nullptr) {
    record->SetSource(owned ? std::move(owned) : source->Clone());
    source = record->GetSource();
  }
  if (!ReadSource(source, status, record))
    return nullptr;

  const KTGrammarEntry* entry = grammar_;
  if (entry == nullptr && (!GrammarForUrl(source, source->GetUrl(), entry) || entry == nullptr)) {
    FailIfClean(status, KTLoadStatus::kNoGrammar, u"No grammar is available for the document");
    return nullptr;
  }

  std::unique_ptr<KTXNode> node = CreateDocumentNode(static_cast<int>(entry->id));
  NormalizeEntityLineEnds(static_cast<int>(entry->id), text_);
  KeepLines(source, static_cast<int>(entry->id));
  KTXNode* result = ParseText(source, source->GetUrl(), text_, entry, nullptr, node.get(), status);
  if (kept_ != KeptText::kText)
    text_ = KTString();
  if (result == nullptr) {
    node.reset();
    FailIfClean(status, KTLoadStatus::kNoDocument, u"No document came out of the text");
  }

  if (record != nullptr) {
    record->SetDocument(std::move(node));
    record->SetLineEnd(lineEnd_);
    record->SetGrammarId(static_cast<int>(entry->id));
    time_t modified = 0;
    if (source->IsFile() && GetFileModifiedTime(source->GetUrl(), modified)) {
      record->SetTime(modified);
      record->SetHasTime(true);
    }
    return result;
  }
  return node.release();
}

KTXNode* KTDocumentLoader::LoadFromFile(const char16_t* path, KTLoadStatus& status, KTDocumentRecord* record) {
  return Load(new KTFileSource(path), status, record, true);
}

KTXNode* KTDocumentLoader::LoadByIdentifiers(const char16_t* location, const char16_t* publicId,
                                             const char16_t* uri, KTLoadStatus& status, KTDocumentRecord* record) {
  return LoadByIdentifiers(location, publicId, uri, status, record, KTUrlOptions{});
}

KTXNode* KTDocumentLoader::LoadByIdentifiers(const char16_t* location, const char16_t* publicId,
                                             const char16_t* uri, KTLoadStatus& status, KTDocumentRecord* record,
                                             const KTUrlOptions& request) {
  std::unique_ptr<KTDocumentSource> source = CreateSource(location, publicId, uri, request);
  return Load(source.release(), status, record, true);
}

KTXNode* KTDocumentLoader::LoadFromUrl(const char16_t* url, KTLoadStatus& status, KTDocumentRecord* record,
                                       const KTUrlOptions& request) {
  KTDocumentSource* source;
  if (ClassifyUrl(url) == kNameIsUrl)
    source = new KTUrlSource(url, request);
  else
    source = new KTFileSource(url);
  return Load(source, status, record, true);
}

KTXNode* KTDocumentLoader::LoadFromUrlSource(const char16_t* url, KTLoadStatus& status, KTDocumentRecord* record,
                                             const KTUrlOptions& request) {
  return Load(new KTUrlSource(url, request), status, record, true);
}

KTXNode* KTDocumentLoader::LoadFromBytes(const void* bytes, uint32_t size, int grammarId, KTLoadStatus& status) {
  if (bytes == nullptr) {
    KTSetLoadError(status, KTLoadStatus::kLoader, KTLoadStatus::kNoSource, KTString(u"No bytes were given"));
    return nullptr;
  }
  const KTGrammarEntry* entry = grammars_ ? grammars_->FindGrammar(grammarId) : nullptr;
  if (entry == nullptr) {
    KTSetLoadError(status, KTLoadStatus::kLoader, KTLoadStatus::kNoGrammar,
                   KTString(u"No grammar is available for the document"));
    return nullptr;
  }
  if (!componentsMade_)
    componentsMade_ = CreateComponents();
  std::unique_ptr<KTXNode> node = CreateDocumentNode(grammarId);
  std::unique_ptr<char[]> copy(new char[size ? size : 1]);
  if (size)
    std::memcpy(copy.get(), bytes, size);
  KTLoadStatus decodeStatus;
  bool decoded = DecodeText(std::move(copy), size, u"", decodeStatus);
  decoded_->Clear();
  if (!decoded) {
    // Replaced characters are not reported here, but a text that could not be
    // decoded at all is.
    status = decodeStatus;
    return nullptr;
  }
  NormalizeEntityLineEnds(grammarId, text_);
  KeepLines(nullptr, grammarId);
  KTXNode* result = ParseText(nullptr, KTString(), text_, entry, nullptr, node.get(), status);
  if (kept_ != KeptText::kText)
    text_ = KTString();
  if (result == nullptr) {
    FailIfClean(status, KTLoadStatus::kNoDocument, u"No document came out of the text");
    return nullptr;
  }
  return node.release();
}

KTString KTDocumentLoader::ReadText(const char16_t* url, KTLoadStatus& status, KTDocumentRecord* record) {
  std::unique_ptr<KTDocumentSource> source;
  if (ClassifyUrl(url) == kNameIsUrl)
    source = std::make_unique<KTUrlSource>(url, KTUrlOptions{});
  else
    source = std::make_unique<KTFileSource>(url);
  KTDocumentSource* used = source.get();
  if (record != nullptr) {
    record->SetSource(std::move(source));
    used = record->GetSource();
  }
  ReadSource(used, status, record);
  return text_;
}

KTString KTDocumentLoader::ReadTextByIdentifiers(const char16_t* location, const char16_t* publicId,
                                                 const char16_t* uri, KTLoadStatus& status,
                                                 KTDocumentRecord* record) {
  std::unique_ptr<KTDocumentSource> source =
      CreateSource(location, publicId, uri, KTUrlOptions{});
  KTDocumentSource* used = source.get();
  if (record != nullptr) {
    record->SetSource(std::move(source));
    used = record->GetSource();
  }
  ReadSource(used, status, record);
  return text_;
}

// ---- Saving ----

KTDocumentRecord* KTDocumentLoader::FindRecord(KTDocumentSource* source, const KTXNode* document) {
  if (manager_ == nullptr)
    return nullptr;
  if (document != nullptr)
    if (KTDocumentRecord* record = manager_->FindByDocument(document))
      return record;
  if (source != nullptr && !source->GetUrl().IsEmpty())
    return manager_->FindByUrl(source->GetUrl());
  return nullptr;
}

const char16_t* KTDocumentLoader::LineEndForSave(KTDocumentSource* source, KTDocumentRecord* record) {
  if (record != nullptr && record->GetLineEnd() != nullptr)
    return record->GetLineEnd();
  return PreferredLineEnd();
}

void KTDocumentLoader::DefaultEncoding(int& encodingId, int& byteOrder) {
  encodingId = kEncodingUtf16;
  byteOrder = kByteOrderLittle;
}

bool KTDocumentLoader::PrepareSave(KTDocumentSource* source, KTDocumentRecord* record, KTString& text,
                                   const KTString& declaredName, int& encodingId, int& byteOrder,
                                   KTLoadStatus& status) {
  if (encodingId == 0) {
    encodingId = EncodingIdFromName(declaredName);
    // XML 1.0 §4.3.3: without a declaration the text is read back as UTF-8,
    // so it is written as UTF-8. A declared name that no encoding here
    // answers to would be a false label on UTF-8 bytes (and refused when read
    // back): the declaration is rewritten to say UTF-8, with a warning.
    if (encodingId == 0) {
      encodingId = kEncodingUtf8;
      size_t begin = 0;
      size_t end = 0;
      if (!declaredName.IsEmpty() && FindDeclaredEncoding(text.c_str(), begin, end)) {
        text = text.Left(static_cast<int>(begin)) + u"UTF-8" + text.Mid(static_cast<int>(end));
        KTString message;
        message.Format(u"The encoding \"%s\" is not supported: the document was written as UTF-8 and its "
                       u"declaration says so",
                       declaredName.c_str());
        KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kEncodeFailed, message);
      }
    }
    if (!CheckSaveEncoding(source, record, encodingId, byteOrder)) {
      if (!status.HasError())
        KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kEncodeFailed, KTString(u"The encoding was refused"));
      return false;
    }
  }
  return true;
}

bool KTDocumentLoader::SaveText(KTDocumentSource* source, const char16_t* text, KTLoadStatus& status,
                                int encodingId, int byteOrder) {
  if (text == nullptr || source == nullptr) {
    KTSetLoadError(status, KTLoadStatus::kLoader, kLoadNothingToSave, KTString(u"There is no text to save"));
    return false;
  }
  if (!componentsMade_)
    componentsMade_ = CreateComponents();
  KTDocumentRecord* record = FindRecord(source, nullptr);
  const char16_t* lineEnd = LineEndForSave(source, record);
  KTString copy(text);
  const KTString declaredName = encodingId == 0 ? EncodingFromDeclarationText(copy) : KTString();
  // Every line break of the saved text takes the one form, not only when the
  // first break differs: a text with mixed breaks would otherwise keep them.
  if (lineEnd != nullptr)
    copy.NormalizeLineEnds(lineEnd);
  if (!PrepareSave(source, record, copy, declaredName, encodingId, byteOrder, status))
    return false;
  return SaveBytes(source, record, std::move(copy), encodingId, byteOrder, status);
}

bool KTDocumentLoader::WriteTree(KTString& text, KTXNode* tree, KTDocumentSource* source, KTDocumentRecord* record,
                                 const KTWriteOptions* options, const char16_t* lineEnd) {
  KTWriteOptions used = options ? *options : KTWriteOptions{.indent = u"\t", .lineEnd = lineEnd ? lineEnd : u""};
  if (!CheckWriteOptions(source, record, used))
    return false;
  text = KTString();
  int length = 0;
  tree->WriteText(text, length, -1, used);
  return true;
}

bool KTDocumentLoader::SaveTree(KTDocumentSource* source, KTXNode* tree, KTLoadStatus& status,
                                const KTWriteOptions* options, int encodingId, int byteOrder) {
  if (tree == nullptr || source == nullptr) {
    KTSetLoadError(status, KTLoadStatus::kLoader, kLoadNothingToSave, KTString(u"There is no tree to save"));
    return false;
  }
  if (!componentsMade_)
    componentsMade_ = CreateComponents();
  KTDocumentRecord* record = FindRecord(source, tree);
  const char16_t* lineEnd = LineEndForSave(source, record);
  // Indented output needs real line breaks: without a record's line end the
  // tree is written with the loader's own, else with LF.
  const char16_t* writeLineEnd = lineEnd ? lineEnd : (lineEnd_ ? lineEnd_ : kDefaultSaveLineEnd);
  KTString text;
  if (!WriteTree(text, tree, source, record, options, writeLineEnd)) {
    FailIfClean(status, kLoadNothingToSave, u"The write options were refused");
    return false;
  }
  // Written with the caller's options, the text keeps the line ends they chose.
  if (options == nullptr)
    text.NormalizeLineEnds(writeLineEnd);
  if (!PrepareSave(source, record, text, encodingId == 0 ? EncodingFromDeclarationNode(tree) : KTString(),
                   encodingId, byteOrder, status))
    return false;
  return SaveBytes(source, record, std::move(text), encodingId, byteOrder, status);
}

bool KTDocumentLoader::SaveBytes(KTDocumentSource* source, KTDocumentRecord* record, KTString&& text,
                                 int encodingId, int byteOrder, KTLoadStatus& status) {
  int ownId = 0;
  int ownOrder = 0;
  DefaultEncoding(ownId, ownOrder);
  // The text is already UTF-16 in memory: it moves into the decoder as its
  // decoded text instead of being decoded from its own bytes into a copy.
  decoded_->TakeText(std::move(text));
  uint32_t size = 0;
  std::unique_ptr<char[]> bytes = decoded_->Encode(encodingId, byteOrder, size, status);
  decoded_->Clear();
  if (!bytes)
    return false;
  return WriteBytes(source, record, std::move(bytes), size, encodingId, byteOrder, status);
}

bool KTDocumentLoader::WriteBytes(KTDocumentSource* source, KTDocumentRecord* record, std::unique_ptr<char[]> bytes,
                                  uint32_t size, int encodingId, int byteOrder, KTLoadStatus& status) {
  if (!FilterOutput(source, record, encodingId, byteOrder, bytes, size, status)) {
    if (!status.HasError())
      KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kEncodeFailed, KTString(u"The output was refused"));
    return false;
  }
  KTCursorBuffer* buffer = BufferFor(source);
  if (buffer == nullptr) {
    KTSetLoadError(status, KTLoadStatus::kLoader, kLoadUnsupportedSource,
                   u"The source is neither a file nor a URL: " + source->GetUrl());
    return false;
  }
  if (!buffer->LoadBlock(std::move(bytes), size, 0)) {
    FailIfClean(status, kLoadNothingToSave, u"There is nothing to save");
    return false;
  }
  bool written = buffer->WriteOut(source, status);
  buffer->Release();
  return written;
}

bool KTDocumentLoader::SaveTextToFile(const char16_t* path, const char16_t* text, KTLoadStatus& status,
                                      int encodingId, int byteOrder) {
  KTFileSource source(path);
  return SaveText(&source, text, status, encodingId, byteOrder);
}

bool KTDocumentLoader::SaveEncodedToFile(const char16_t* path, std::unique_ptr<char[]> bytes, uint32_t size,
                                         int encodingId, int byteOrder, KTLoadStatus& status) {
  KTFileSource source(path);
  if (bytes == nullptr) {
    KTSetLoadError(status, KTLoadStatus::kLoader, kLoadNothingToSave, KTString(u"There is no text to save"));
    return false;
  }
  if (!componentsMade_)
    componentsMade_ = CreateComponents();
  KTDocumentRecord* record = FindRecord(&source, nullptr);
  if (!CheckSaveEncoding(&source, record, encodingId, byteOrder)) {
    if (!status.HasError())
      KTSetLoadError(status, KTLoadStatus::kEncoding, KTLoadStatus::kEncodeFailed, KTString(u"The encoding was refused"));
    return false;
  }
  return WriteBytes(&source, record, std::move(bytes), size, encodingId, byteOrder, status);
}

bool KTDocumentLoader::SaveTreeToFile(const char16_t* path, KTXNode* tree, KTLoadStatus& status,
                                      const KTWriteOptions* options, int encodingId, int byteOrder) {
  KTFileSource source(path);
  return SaveTree(&source, tree, status, options, encodingId, byteOrder);
}

bool KTDocumentLoader::SaveTextToUrl(const char16_t* url, const char16_t* text, KTLoadStatus& status,
                                     const KTUrlOptions& request, int encodingId, int byteOrder) {
  KTUrlSource source(url, request);
  return SaveText(&source, text, status, encodingId, byteOrder);
}

bool KTDocumentLoader::SaveTreeToUrl(const char16_t* url, KTXNode* tree, KTLoadStatus& status,
                                     const KTUrlOptions& request, const KTWriteOptions* options, int encodingId,
                                     int byteOrder) {
  KTUrlSource source(url, request);
  return SaveTree(&source, tree, status, options, encodingId, byteOrder);
}

bool KTDocumentLoader::SaveRecordText(KTDocumentRecord* record, const char16_t* text, KTLoadStatus& status,
                                      int encodingId, int byteOrder) {
  if (record == nullptr || record->GetSource() == nullptr) {
    KTSetLoadError(status, KTLoadStatus::kLoader, kLoadNothingToSave, KTString(u"The record names no source"));
    return false;
  }
  return SaveText(record->GetSource(), text, status, encodingId, byteOrder);
}

bool KTDocumentLoader::SaveRecordTree(KTDocumentRecord* record, KTLoadStatus& status, const KTWriteOptions* options,
                                      int encodingId, int byteOrder) {
  if (record == nullptr || record->GetSource() == nullptr) {
    KTSetLoadError(status, KTLoadStatus::kLoader, kLoadNothingToSave, KTString(u"The record names no source"));
    return false;
  }
  return SaveTree(record->GetSource(), record->GetDocument(), status, options, encodingId, byteOrder);
}

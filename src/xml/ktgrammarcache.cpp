// The grammar cache: loads the grammar files of the start-up list from the
// embedded files and resolves, per grammar, the rules of the tree builder.
#include "xml/ktgrammarcache.h"

#include <mutex>

#include "parso/parsogrammar.h"
#include "platform/ktwchar.h"
#include "streams/ktembeddedfiles.h"

const char16_t* const KTGrammarRuleTable::kNames[kCount] = {
    u"xmlDecl", u"versionInfo", u"VersionNum", u"encodingDecl", u"EncName", u"sdDecl", u"SDValue",
    u"attribute", u"AttName", u"AttValue1", u"AttValue2", u"comment", u"CommentText", u"pi",
    u"PITarget", u"PIData", u"realElemTag", u"sTag", u"emptyElemTag", u"content", u"ElementName",
    u"ElementNameEnd", u"cdSect", u"CData", u"TextData", u"doctypedecl", u"DocTypeName",
    u"DocTypeText", u"externalID", u"ExtIDNameSys", u"ExtIDNamePub", u"ExtIDTextSys",
    u"ExtIDTextPub", u"elementdecl", u"ElementDeclName", u"ElementEMPTY", u"ElementANY",
    u"ElementPCDATA", u"ElementPERef", u"elementChildren", u"ElementRepeat", u"elementChoice",
    u"elementSeq", u"elementGroup", u"elementMixed", u"ElementSubName", u"elementSpecFormatted",
    u"elementSpecUnformatted", u"attlistDecl", u"AttlistName", u"attDef", u"AttDefName",
    u"AttDefPERef", u"attTypeText", u"AttTypeCDATA", u"AttTypeIDREFS", u"AttTypeIDREF",
    u"AttTypeID", u"AttTypeENTITY", u"AttTypeENTITIES", u"AttTypeNMTOKENS", u"AttTypeNMTOKEN",
    u"AttTypePERef", u"attTypeNotation", u"AttTypeNotName", u"attTypeEnum", u"AttTypeEnumName",
    u"AttREQUIRED", u"AttIMPLIED", u"AttFIXED", u"attDefValue", u"attlistRestFormatted",
    u"attlistRestUnformatted", u"geDecl", u"peDecl", u"GEName", u"PEName", u"GEDef", u"PEDef",
    u"notationDecl", u"NotationName", u"NotationText",
};

bool KTGrammarRuleTable::Resolve(const ParsoGrammar* grammar, bool strict) {
  for (const GrammarRule*& r : rules_) r = nullptr;
  byRuleIndex_.clear();
  if (!grammar) return !strict;
  byRuleIndex_.assign(static_cast<size_t>(grammar->GetRuleCount()), -1);
  bool all = true;
  for (int i = 0; i < kCount; ++i) {
    const GrammarRule* rule = grammar->FindRule(kNames[i]);
    rules_[i] = rule;
    if (!rule) {
      all = false;
      continue;
    }
    const int index = rule->GetIndex();
    if (index >= 0 && static_cast<size_t>(index) < byRuleIndex_.size()) {
      byRuleIndex_[static_cast<size_t>(index)] = static_cast<int8_t>(i);
    }
  }
  return all || !strict;
}

KTGrammarEntry::~KTGrammarEntry() = default;

namespace {

// Start-up list: grammar id and strict flag, in load order.
struct KTStartupRow {
  int id;
  bool strict;
};
constexpr KTStartupRow kStartupList[] = {
    {KTGrammarCache::kDtd, false},    {KTGrammarCache::kXml, true},
    {KTGrammarCache::kEntity, false}, {KTGrammarCache::k3dml, false},
    {KTGrammarCache::kXmlTd, true},   {KTGrammarCache::kXsl, true},
};

// True when the program carries a file of that name (compared like the
// store compares names: ASCII letters without regard to case).
bool IsEmbedded(const KTString& fileName) {
  for (int i = 0; i < kEmbeddedFileCount; ++i) {
    const KTEmbeddedFile& file = kEmbeddedFiles[i];
    if (file.text && KTStrICmpAscii(file.name, fileName) == 0) return true;
  }
  return false;
}

// The tables linked at build time for that grammar file, or null.
const KTLinkedGrammarTables* FindLinkedTables(const KTString& fileName) {
  for (int i = 0; i < kLinkedGrammarTableCount; ++i) {
    const KTLinkedGrammarTables& tables = kLinkedGrammarTables[i];
    if (tables.words && KTStrICmpAscii(tables.fileName, fileName) == 0) return &tables;
  }
  return nullptr;
}

}  // namespace

KTGrammarCache::KTGrammarCache() = default;
KTGrammarCache::~KTGrammarCache() = default;

KTString KTGrammarCache::GrammarFileName(int id) {
  switch (id) {
    case kDtd: return KTString(u"gra_dtd.txt");
    case kXml: return KTString(u"gra_xml.txt");
    case kEntity: return KTString(u"gra_ent.txt");
    case k3dml: return KTString(u"gra_3dml.txt");
    case kXmlTd: return KTString(u"gra_xml_td.txt");
    case kXsl: return KTString(u"gra_xsl.txt");
    default: return KTString();
  }
}

const KTGrammarEntry* KTGrammarCache::FindCached(int id) const {
  for (const auto& entry : entries_) {
    if (entry->id == static_cast<uint32_t>(id)) return entry.get();
  }
  return nullptr;
}

const KTGrammarEntry* KTGrammarCache::FindGrammar(int id) const {
  // Documents may load on several threads at once, and a grammar loaded on
  // first use joins the list the others read: one lock per lookup, which
  // comes once per document, not per node.
  static std::recursive_mutex busy;
  std::lock_guard<std::recursive_mutex> lock(busy);
  if (const KTGrammarEntry* entry = FindCached(id)) return entry;
  if (!loadOnFirstUse_ || id < 0 || id >= 32 || (triedOnFirstUse_ >> id & 1u)) return nullptr;
  triedOnFirstUse_ |= 1u << id;
  for (const KTStartupRow& row : kStartupList) {
    if (row.id != id) continue;
    const KTString keptError = loadError_;
    bool embedded = false;
    const_cast<KTGrammarCache*>(this)->LoadGrammarFile(row.id, row.strict, embedded);
    loadError_ = keptError;
    return FindCached(id);
  }
  return nullptr;
}

bool KTGrammarCache::LoadGrammar(int id, bool strict) {
  bool embedded = false;
  return LoadGrammarFile(id, strict, embedded);
}

bool KTGrammarCache::LoadGrammarFile(int id, bool strict, bool& embedded) {
  loadError_ = u"";
  embedded = false;
  if (FindCached(id)) {
    embedded = true;
    return true;
  }
  bool listed = false;
  for (const KTStartupRow& row : kStartupList) listed = listed || row.id == id;
  if (!listed) return false;

  const KTString fileName = GrammarFileName(id);
  embedded = IsEmbedded(fileName);
  if (!embedded) {
    loadError_ = fileName + u": not an embedded file";
    return false;
  }
  auto grammar = std::make_unique<ParsoGrammar>();
  // The build linked the embedded file already: its words give the same
  // grammar without reading, compiling and linking every rule line.
  const KTLinkedGrammarTables* linked = FindLinkedTables(fileName);
  const bool loaded = linked ? grammar->LoadLinked(linked->words, linked->count, fileName.View())
                             : grammar->Init(fileName);
  if (!loaded) {
    loadError_ = KTString(std::u16string_view(grammar->GetLoadError()));
    return false;
  }
  auto entry = std::make_unique<KTGrammarEntry>();
  entry->id = static_cast<uint32_t>(id);
  entry->grammar = grammar.get();
  // In strict mode a grammar that lacks some names is cached all the same;
  // its missing rules stay null in the table.
  entry->rules.Resolve(grammar.get(), strict);
  entry->owned = std::move(grammar);
  entries_.push_back(std::move(entry));
  return true;
}

bool KTGrammarCache::LoadStandardGrammars(bool stopOnFailure, KTString& failedFileName) {
  bool result = true;
  KTString firstError;
  for (const KTStartupRow& row : kStartupList) {
    bool embedded = false;
    if (LoadGrammarFile(row.id, row.strict, embedded)) continue;
    if (stopOnFailure) {
      failedFileName = GrammarFileName(row.id);
      return false;
    }
    // A missing file is the normal case for the two grammars the program
    // does not carry; an embedded grammar that does not load is a fault.
    if (embedded && result) {
      failedFileName = GrammarFileName(row.id);
      firstError = loadError_;
      result = false;
    }
  }
  loadError_ = firstError;
  return result;
}

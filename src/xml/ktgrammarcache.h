// The grammar cache: the grammars that documents are parsed with, each loaded
// once from its embedded grammar file and looked up by grammar id, together
// with the table of the rules that the tree builder (ktparserdriver.h) acts on.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/ktstring.h"
#include "parso/parsogrammar.h"

// The rules the tree builder recognises, resolved by name once per grammar.
class KTGrammarRuleTable {
 public:
  // Name indexes, in the fixed order of kNames.
  enum : int {
    kXmlDecl, kVersionInfo, kVersionNum, kEncodingDecl, kEncName, kSdDecl, kSdValue,
    kAttribute, kAttName, kAttValue1, kAttValue2, kComment, kCommentText, kPi, kPiTarget,
    kPiData, kRealElemTag, kSTag, kEmptyElemTag, kContent, kElementName, kElementNameEnd,
    kCdSect, kCData, kTextData, kDoctypeDecl, kDocTypeName, kDocTypeText, kExternalId,
    kExtIdNameSys, kExtIdNamePub, kExtIdTextSys, kExtIdTextPub, kElementDecl,
    kElementDeclName, kElementEmpty, kElementAny, kElementPcData, kElementPeRef,
    kElementChildren, kElementRepeat, kElementChoice, kElementSeq, kElementGroup,
    kElementMixed, kElementSubName, kElementSpecFormatted, kElementSpecUnformatted,
    kAttlistDecl, kAttlistName, kAttDef, kAttDefName, kAttDefPeRef, kAttTypeText,
    kAttTypeCData, kAttTypeIdRefs, kAttTypeIdRef, kAttTypeId, kAttTypeEntity,
    kAttTypeEntities, kAttTypeNmTokens, kAttTypeNmToken, kAttTypePeRef, kAttTypeNotation,
    kAttTypeNotName, kAttTypeEnum, kAttTypeEnumName, kAttRequired, kAttImplied, kAttFixed,
    kAttDefValue, kAttlistRestFormatted, kAttlistRestUnformatted, kGeDecl, kPeDecl, kGeName,
    kPeName, kGeDef, kPeDef, kNotationDecl, kNotationName, kNotationText,
    kCount
  };
  static const char16_t* const kNames[kCount];

  // Empties the table and looks every name up in the grammar. Non-strict:
  // true. Strict: true only when every name was found.
  bool Resolve(const ParsoGrammar* grammar, bool strict);

  const GrammarRule* Get(int nameIndex) const { return rules_[nameIndex]; }
  // The name index of a rule of the resolved grammar, -1 for a rule the
  // builder does not act on. One table lookup by the rule's index.
  int IndexOf(const GrammarRule* rule) const {
    if (!rule) return -1;
    const int index = rule->GetIndex();
    if (index < 0 || static_cast<size_t>(index) >= byRuleIndex_.size()) return -1;
    const int nameIndex = byRuleIndex_[static_cast<size_t>(index)];
    // The index table belongs to one grammar; a rule of another grammar with
    // the same index is not ours.
    return nameIndex >= 0 && rules_[nameIndex] == rule ? nameIndex : -1;
  }

 private:
  const GrammarRule* rules_[kCount] = {};
  std::vector<int8_t> byRuleIndex_;
};

// One cached grammar.
struct KTGrammarEntry {
  uint32_t id = 0;
  const ParsoGrammar* grammar = nullptr;
  KTGrammarRuleTable rules;
  std::unique_ptr<ParsoGrammar> owned;  // set for grammars the cache loaded
  ~KTGrammarEntry();
};

class KTGrammarCache {
 public:
  // Grammar ids.
  static constexpr int kDtd = 0;
  static constexpr int kXml = 1;
  static constexpr int kEntity = 2;
  static constexpr int k3dml = 3;
  static constexpr int kXmlTd = 4;
  static constexpr int kXsl = 5;

  KTGrammarCache();
  virtual ~KTGrammarCache();
  KTGrammarCache(const KTGrammarCache&) = delete;
  KTGrammarCache& operator=(const KTGrammarCache&) = delete;

  // The grammar file of an id; the empty string for an unknown id.
  static KTString GrammarFileName(int id);

  // The first entry of that id, or null. Entries keep their address for the
  // cache's life, whatever is loaded later. With loading on first use, a
  // grammar of the start-up list that is not cached yet is loaded here (once:
  // a grammar that fails stays absent, and GetLoadError is left as it was).
  const KTGrammarEntry* FindGrammar(int id) const;

  // Loading on first use: the cache then acts as if LoadStandardGrammars(false)
  // had run, but parses and links each grammar only when a document first
  // asks for it, so a run pays for the grammars it uses.
  void SetLoadOnFirstUse(bool on) { loadOnFirstUse_ = on; }

  // Loads one grammar of the start-up list from its embedded file. True when
  // it is cached (now or before); false for an id outside the list, a file
  // that is not embedded or a grammar that does not load (see GetLoadError).
  bool LoadGrammar(int id, bool strict);

  // Loads the start-up list in order. A grammar whose file is not embedded
  // fails only with stopOnFailure, which also ends the list at the first
  // failure. A grammar whose file is embedded but does not load is always a
  // failure: the result is then false and failedFileName names the first such
  // file (the list goes on without stopOnFailure).
  bool LoadStandardGrammars(bool stopOnFailure, KTString& failedFileName);

  // Why the last LoadGrammar failed ("" when it did not): file, line and reason.
  const KTString& GetLoadError() const { return loadError_; }

 private:
  bool LoadGrammarFile(int id, bool strict, bool& embedded);

  const KTGrammarEntry* FindCached(int id) const;

  // Mutable for loading on first use behind the const lookup.
  mutable std::vector<std::unique_ptr<KTGrammarEntry>> entries_;
  mutable KTString loadError_;
  mutable uint32_t triedOnFirstUse_ = 0;  // bit per id
  bool loadOnFirstUse_ = false;
};

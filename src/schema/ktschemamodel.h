// KTSchemaModel: the per-document store of what a DTD or schema declares
// (element declarations, entities, notations, complex types), the state of
// the loading passes and the kept schema problem. The XPath tree context
// reaches it through KTSchemaServices (xml/ktschemaservices.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "core/ktstring.h"
#include "schema/ktelementtype.h"
#include "schema/ktentitydecl.h"
#include "schema/ktschemaerrors.h"
#include "xml/ktnamespace.h"
#include "xml/ktschemaservices.h"

class KTXNode;
class KTXPathTreeContext;
class KTDocumentManager;
class KTDocumentRecord;
struct KTGrammarEntry;

// Schema kinds.
enum KTSchemaKind : int {
  kSchemaDtd = 0,
  kSchemaDcd = 1,
  kSchemaXsd = 2,
  kSchemaXdr = 3,
  kSchemaXdrData = 4,
  kSchemaXsd1999 = 5,
  kSchemaXsd2000 = 6,
  kSchemaNone = 7,
};

// The kept schema problem.
struct KTSchemaErrorBlock {
  int id = kSchemaNoError;
  KTXNode* node = nullptr;
  const KTElementType* declaration = nullptr;
  int firstWord = 0;
  KTString contextText;
  int secondWord = 0;
  int position = -1;
  int kindWord = 0;
  std::vector<KTXNode*> ancestorPath;  // the node, its parent, ... the topmost ancestor
};

class KTSchemaModel final : public KTSchemaServices {
 public:
  // Characters that entity expansion may append for one document: this
  // many, or ten times the document's own text, whichever is larger. It
  // bounds documents whose entities multiply their text ("billion laughs")
  // to a few megabytes while any real document's entities fit.
  static constexpr int64_t kMaxEntityExpansionChars = 4 * 1024 * 1024;
  static constexpr int kExpansionPerDocumentFactor = 10;

  using EntitySet = std::map<KTString, std::unique_ptr<KTEntityDecl>>;
  using ElementSet = std::map<KTQName, std::unique_ptr<KTElementType>, KTQNameLessFn>;

  // The front end and the processor pass (manager or null, 1, null, 52, 0,
  // 0, 0, 0). An internal-subset root given here has its entity and
  // notation declarations read at once.
  explicit KTSchemaModel(KTDocumentManager* manager = nullptr, uint8_t flag = 1, KTXNode* internalSubset = nullptr,
                         int defaultSecondTypeId = 52, uint8_t optionA = 0, uint8_t optionB = 0, bool strict = false,
                         int32_t word = 0);
  ~KTSchemaModel() override;
  KTSchemaModel(const KTSchemaModel&) = delete;
  KTSchemaModel& operator=(const KTSchemaModel&) = delete;

  void Reset();
  void Clear();

  // ---- Schema loading ----
  // Reads the schema the document names. Until the DTD walker and the
  // schema languages are in place, a DOCTYPE's internal subset gives its
  // entity and notation declarations (in up to two passes, so that an
  // entity may refer to one declared after it); anything else finds no
  // schema (7529).
  bool LoadSchema(KTXNode* documentRoot, bool searchFurther) override;
  // Reads the entity and notation declarations among the DOCTYPE's
  // children, in passes.
  bool LoadInternalSubsetEntities(KTXNode* doctype);

  // ---- Error recording ----
  // False when the problem was recorded or dropped; true only for a 7503
  // dropped because the strict option is off.
  bool ReportError(int id, KTXNode* node, const KTElementType* declaration, const KTString& contextText,
                   int firstWord = 0, int secondWord = 0, int position = -1, int kindWord = 0);
  const KTSchemaErrorBlock& GetError() const { return error_; }
  int GetErrorId() const override { return error_.id; }
  void ResetErrorBlock() { error_ = KTSchemaErrorBlock(); }

  // ---- Declarations ----
  KTElementType* DeclareElement(const KTQName& name);
  KTElementType* FindElement(const KTQName& name) override;
  ElementSet::iterator FindElementPosition(const KTQName& name);
  ElementSet& Elements() { return elements_; }
  KTEntityDecl* DeclareNotation(const KTString& name);
  KTEntityDecl* FindNotation(const KTString& name);
  KTEntityDecl* DeclareGeneralEntity(const KTString& name);
  KTEntityDecl* FindGeneralEntity(const KTString& name);
  KTEntityDecl* DeclareParameterEntity(const KTString& name);
  KTEntityDecl* FindParameterEntity(const KTString& name);
  EntitySet& GeneralEntities() { return generalEntities_; }
  EntitySet& ParameterEntities() { return parameterEntities_; }
  EntitySet& Notations() { return notations_; }

  // ---- Entity expansion ----
  // One level, left to right: entity values are appended as they stand,
  // character references are copied for the caller. With parameterRefs
  // (declaration texts) "%name;" is expanded and general references are
  // left for the place of use. Undeclared references
  // in content and attribute values (parameterRefs false) stay as written
  // and are recorded (7522); in declaration texts they ask for another pass
  // on pass 1 and are recorded later. Past the document's expansion budget
  // the rest of the text is copied as it stands and 7524 recorded. False
  // when a problem was recorded, unless countExpansions and something was
  // expanded.
  bool ExpandEntityReferences(KTXNode* node, const char16_t* text, KTString& out, bool parameterRefs,
                              bool trimmedValues, bool countExpansions);
  // ExpandEntityReferences then character references; a text without '&'
  // is copied unchanged.
  bool ExpandReferences(KTXNode* node, const char16_t* text, KTString& out);
  // Sets the budget from the size of the document's text (names and values).
  void SetExpansionBudgetFor(KTXNode* documentRoot);
  int64_t GetExpansionBudget() const { return expansionBudget_; }
  int64_t GetExpandedChars() const { return expandedChars_; }

  // ---- Documents ----
  // Parses text in the grammar of the context node's document from the start
  // rule into a new Element holder (the caller owns it); null without a
  // document manager, a known document or a grammar, or when it does not parse.
  std::unique_ptr<KTXNode> ParseFragment(const char16_t* text, const char16_t* startRule,
                                         KTXNode* contextNode) override;
  // Loads a document a schema refers to through the document manager (once
  // per URL); grammar kind 0 XML, 1 DTD, 2 external entity. Null without a
  // manager or when it does not load.
  KTXNode* LoadExternalDocument(const KTString& identifier, const KTString& url, KTXNode* contextNode,
                                uint16_t grammarKind);
  // The document an external identifier names: keyword "SYSTEM" (id text:
  // the system literal) or "PUBLIC" (public and system literals); DTD
  // grammar or external-entity grammar. Null, with 7509 recorded, when it
  // does not load.
  KTXNode* LoadExternalSubset(const KTString& keyword, const KTString& idText, KTXNode* contextNode,
                              bool dtdGrammar);
  KTDocumentManager* GetDocumentManager() const { return manager_; }

  // ---- Passes and state ----
  int GetCurrentPass() const { return currentPass_; }
  int GetLastPassAllowed() const { return lastPassAllowed_; }
  void SetPasses(int current, int lastAllowed) {
    currentPass_ = static_cast<int16_t>(current);
    lastPassAllowed_ = static_cast<int16_t>(lastAllowed);
  }
  // Asked for by a reference that pass 1 could not resolve.
  void RequestAnotherPass();
  bool IsAnotherPassNeeded() const { return anotherPass_; }
  int GetSchemaKind() const { return schemaKind_; }
  void SetSchemaKind(int kind) { schemaKind_ = kind; }
  bool IsStrict() const { return strict_; }
  KTNamespaceContext& GetNamespaceContext() { return namespaces_; }
  KTXPathTreeContext* GetTreeContext() const { return treeContext_.get(); }
  const KTString& GetReferenceName() const { return referenceName_; }
  KTXNode* GetReferenceNode() const { return referenceNode_; }

  // ---- The tree context's view of the model ----
  bool ExpandContentReferences(KTXNode* node, const char16_t* text, KTString& out) override;
  KTElementType* FindChildElementDecl(KTElementType* parent, const KTQName& name) override;
  bool CollectDefaults(KTElementType* declaration, std::vector<KTDefaultAttribute>& attributes, KTString& text,
                       bool& hasText) override;
  bool ReportViewProblem(int messageId, KTXNode* node, const KTString& contextText) override;

 private:
  void DeclarePredefinedEntities();
  const KTGrammarEntry* GrammarOfDocument(KTXNode* contextNode);

  KTNamespaceContext namespaces_;
  ElementSet elements_;
  EntitySet generalEntities_;
  EntitySet parameterEntities_;
  EntitySet notations_;
  std::map<KTQName, std::unique_ptr<KTComplexTypeDef>, KTQNameLessFn> complexTypes_;
  // Trees that ParseFragment made for the DTD readers; kept with the model.
  std::vector<std::unique_ptr<KTXNode>> fragmentRoots_;
  KTSchemaErrorBlock error_;
  KTString referenceName_;
  KTXNode* referenceNode_ = nullptr;
  int16_t currentPass_ = 1;
  int16_t lastPassAllowed_ = 1;
  int defaultSecondTypeId_;
  int schemaKind_ = kSchemaNone;
  bool anotherPass_ = false;
  bool strict_;
  uint8_t flag_;
  uint8_t optionA_, optionB_;
  int32_t word_;
  std::unique_ptr<KTXPathTreeContext> treeContext_;
  KTDocumentManager* manager_;
  std::vector<KTDocumentRecord*> loadedDocuments_;
  // Grammar of the fragments this model parsed, so that text inside a
  // fragment parses in the grammar of the document it came from.
  std::unordered_map<const KTXNode*, const KTGrammarEntry*> fragmentGrammars_;
  int64_t expansionBudget_ = kMaxEntityExpansionChars;
  int64_t expandedChars_ = 0;
};

// KTSchemaModel: the per-document store of what a DTD or schema declares
// (element declarations, entities, notations, complex types), the state of
// the loading passes and the kept schema problem. The XPath tree context
// reaches it through KTSchemaServices (xml/ktschemaservices.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/ktlinemap.h"
#include "core/ktstring.h"
#include "schema/ktdtdwalker.h"
#include "schema/ktelementtype.h"
#include "schema/ktentitydecl.h"
#include "schema/ktschemaerrors.h"
#include "xml/ktloadstatus.h"
#include "xml/ktnamespace.h"
#include "xml/ktschemaservices.h"
#include "xml/ktxname.h"

class KTXNode;
class KTXPathTreeContext;
class KTIdentityConstraint;
class KTDocumentManager;
class KTDocumentLoader;
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

struct KTXsdComponentLess {
  bool operator()(const std::pair<int, KTQName>& a, const std::pair<int, KTQName>& b) const {
    return a.first != b.first ? a.first < b.first : QNameLess(a.second, b.second);
  }
};

// What an XML Schema load keeps between its loaders: the three prefix
// bindings, the schema document's defaults, the documents met in this pass
// and the references that have not settled yet.
struct KTXsdLoadState {
  KTPrefixBinding xsdBinding;     // the XML Schema namespace, with the prefix in scope
  KTPrefixBinding secondBinding;  // a copy made at each schema element
  KTPrefixBinding targetBinding;  // the target namespace of the schema being loaded
  bool qualifiedElements = false;
  bool qualifiedAttributes = false;
  KTString finalDefault, blockDefault;
  KTString documentation;
  std::vector<KTXNode*> roots;
  // {namespace, document root} and {namespace, location} met in this pass.
  std::set<std::pair<const KTString*, KTXNode*>> schemaRoots;
  std::set<std::pair<const KTString*, KTString>> schemaLocations;
  // Local names of the references that did not settle in this pass.
  std::set<KTString> pendingNames;
  // References this pass could not settle (missing, or naming a component
  // that is itself not settled), counted one by one.
  int unsettled = 0;
  // The last pass: references that do not settle now are recorded.
  bool finalPass = false;
  int depth = 0;  // loaders running inside one another
  // Loading the children of a redefine: a component may then name the
  // definition it replaces (the one of the redefined document).
  int redefining = 0;
  // Named components whose last load met a reference that did not settle:
  // what is derived from them waits for another pass. Keyed by kind
  // (KTXsdComponent) and name.
  std::set<std::pair<int, KTQName>, KTXsdComponentLess> unsettledComponents;
  // The attribute group whose definition is being loaded (empty name when
  // none), and the attribute groups each definition names: a reference
  // that leads back to the group being defined is a cycle.
  KTQName definingAttributeGroup;
  std::map<KTQName, std::set<KTQName, KTQNameLessFn>, KTQNameLessFn> attributeGroupRefs;
};

enum KTXsdComponent : int {
  kXsdSimpleType = 0,
  kXsdComplexType = 1,
  kXsdGroup = 2,
  kXsdAttributeGroup = 3,
  kXsdElement = 4,
  kXsdAttribute = 5,
};

// What a report says beyond its id, node and context text: the words of
// its message and where in a text the problem lies (a pattern's offset and
// line).
struct KTXsdComplexTypeParts;
struct KTXsdElementParts;
struct KTXsdAttributeParts;

struct KTSchemaErrorDetail {
  int firstWord = 0;
  int secondWord = 0;
  int position = -1;
};

// How a model reads schemas. The front end and the processor take the
// defaults.
struct KTSchemaModelSettings {
  uint8_t flag = 1;
  int defaultSecondTypeId = 52;
  uint8_t optionA = 0;
  uint8_t optionB = 0;
  // Whether a construct the loaders do not support is reported.
  bool strict = false;
  int32_t word = 0;
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
  std::vector<KTXNode*> ancestorPath;  // the node, its parent, ... the topmost ancestor
};

class KTParserDriver;

class KTSchemaModel final : public KTSchemaServices {
 public:
  // Characters that entity expansion may append for one document: this
  // many, or ten times the document's own text, whichever is larger. It
  // bounds documents whose entities multiply their text ("billion laughs")
  // to a few megabytes while any real document's entities fit.
  static constexpr int64_t kMaxEntityExpansionChars = 4 * 1024 * 1024;
  static constexpr int kExpansionPerDocumentFactor = 10;

  // Entity and notation names in code-unit order (as KTString's own order).
  struct EntityNameLess {
    using is_transparent = void;
    static std::u16string_view ViewOf(const KTString& name) { return name.View(); }
    static std::u16string_view ViewOf(std::u16string_view name) { return name; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      // u16string_view's own order, unit by unit in place.
      const std::u16string_view x = ViewOf(a), y = ViewOf(b);
      const size_t n = x.size() < y.size() ? x.size() : y.size();
      for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i]) return x[i] < y[i];
      }
      return x.size() < y.size();
    }
  };
  // Entity and notation records by name, looked up by a view of the text
  // too, so that a reference needs no copy of its name. Hashed: a DTD
  // declares thousands (DocBook's entity sets), and its names share long
  // prefixes ("local.", ".attrib") that an ordered search compares again
  // at every level.
  struct EntityNameHash {
    using is_transparent = void;
    size_t operator()(std::u16string_view name) const { return std::hash<std::u16string_view>{}(name); }
    size_t operator()(const KTString& name) const { return (*this)(name.View()); }
  };
  struct EntityNameEqual {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      return EntityNameLess::ViewOf(a) == EntityNameLess::ViewOf(b);
    }
  };
  using EntitySet = std::unordered_map<KTString, std::unique_ptr<KTEntityDecl>, EntityNameHash, EntityNameEqual>;
  // The records of a set in code-unit order of their names, for a caller
  // that reads them all.
  using OrderedEntities = std::map<KTString, KTEntityDecl*, EntityNameLess>;
  using ElementSet = std::map<KTQName, std::unique_ptr<KTElementType>, KTQNameLessFn>;

  // An internal-subset root given here has its entity and notation
  // declarations read at once.
  explicit KTSchemaModel(KTDocumentManager* manager = nullptr, KTXNode* internalSubset = nullptr,
                         const KTSchemaModelSettings& settings = {});
  ~KTSchemaModel() override;
  KTSchemaModel(const KTSchemaModel&) = delete;
  KTSchemaModel& operator=(const KTSchemaModel&) = delete;

  void Reset();
  void Clear();

  // ---- Schema loading (ktschemaloader.cpp) ----
  // Finds the schema the document names (a DOCTYPE, an XDR "x-schema:"
  // namespace, an XML Schema location or namespace, or the document itself)
  // and runs the loader of its language. A kept problem that describes a
  // fault of the document is then named in one warning line on standard
  // error; the document is never rejected.
  bool LoadSchema(KTXNode* documentRoot, bool searchFurther) override;
  // Records the documents a loader walked in the model's document list.
  void AddSchemaDocuments(const std::vector<KTXNode*>& roots);
  // ---- XDR schemas (ktxdrloader.cpp) ----
  // Reads an XDR schema document; every element type is declared in the
  // namespace of the target binding (XsdState().targetBinding) that the
  // caller set. True when no report stopped the load.
  bool LoadXdrSchema(KTXNode* schemaDocument);
  // An ElementType element (type null) or a group (type: its compositor).
  bool LoadXdrElementType(KTXNode* element, KTNamespaceContext* parentContext, KTElementType* type);
  // An AttributeType element: into the owner's attributes, or (owner null)
  // the global attribute list.
  bool LoadXdrAttributeType(KTXNode* element, KTNamespaceContext* parentContext, KTElementType* owner);
  // ---- DCD schemas (ktdcdloader.cpp) ----
  // Reads a DCD schema document (names in no namespace). The dispatcher
  // never classifies a reference as DCD, so only direct callers reach it.
  bool LoadDcdSchema(KTXNode* schemaDocument);
  // An ElementDef (type null) or a Group (type receives its content); each
  // Element read directly takes minOccurs and maxOccurs.
  bool LoadDcdElementDef(KTXNode* element, KTElementType* type, int minOccurs, int maxOccurs);
  bool LoadDcdAttributeDef(KTXNode* element, KTElementType* type);
  void SetReference(const KTString& name, KTXNode* node) {
    referenceName_ = name;
    referenceNode_ = node;
  }
  // Where the warning line of LoadSchema goes (standard error; null for none).
  void SetWarningStream(FILE* stream) { warningStream_ = stream; }

  // ---- XML Schema loading (src/schema/xsd, library ost_schema_xsd) ----
  using SimpleTypeSet = std::map<KTQName, std::unique_ptr<KTSimpleTypeDef>, KTQNameLessFn>;
  using ComplexTypeSet = std::map<KTQName, std::unique_ptr<KTComplexTypeDef>, KTQNameLessFn>;
  using GroupSet = std::map<KTQName, std::unique_ptr<KTElementType>, KTQNameLessFn>;
  // Definitions named in the message about XML Schema references that never
  // settle: enough to find the cycle, while a schema with thousands of them
  // still gets a one-line message.
  static constexpr int kMaxUnsettledNamesListed = 10;
  // Schema elements loaded inside one another (model groups, anonymous
  // types, included documents): real schemas nest a few dozen levels.
  static constexpr int kMaxXsdNesting = 256;
  // Runs the passes over the schema documents, then links substitution
  // groups. True when nothing was recorded that ended the load.
  bool LoadXsdSchema(std::vector<KTXNode*> roots);
  bool LoadXsdSchemaDocument(KTXNode* root, KTNamespaceContext* parent, bool notFirstRoot, bool included,
                             const KTString& targetNamespace);
  bool LoadXsdElement(KTXNode* node, KTNamespaceContext* parent, KTParticle& particle, KTElementType*& declaration,
                      KTElementType* parentGroup, bool inAll);
  bool LoadXsdNotation(KTXNode* node, KTNamespaceContext* parent);
  bool ResolveXsdTypeName(KTNamespaceContext* context, const KTString& ownName, const KTString& typeName,
                          KTSimpleTypeDef& record, KTXNode* errorNode, KTSimpleTypeDef*& found);
  bool LoadXsdSimpleType(KTXNode* node, KTNamespaceContext* parent, KTSimpleTypeDef* record);
  bool LoadXsdAttribute(KTXNode* node, KTNamespaceContext* parent, KTElementType* owner, bool restriction);
  bool LoadXsdComplexType(KTXNode* node, KTNamespaceContext* parent, KTComplexTypeDef& record);
  bool LoadXsdParticle(KTXNode* node, KTNamespaceContext* parent, KTParticle& particle, KTElementType*& target,
                       bool inAll);
  bool LoadXsdAny(KTXNode* node, KTNamespaceContext* parent, KTParticle& particle, KTElementType* compositor);
  bool LoadXsdAnyAttribute(KTXNode* node, KTNamespaceContext* parent, KTElementType* target);
  bool LoadXsdAttributeGroup(KTXNode* node, KTNamespaceContext* parent, KTElementType* target);
  // A reference this pass could not settle: another pass is asked for and
  // the local name kept among the pending names.
  void RequestXsdPass(const KTString& localName);
  // Whether a named component's last load settled every reference it made.
  bool IsXsdSettled(int kind, const KTQName& name) const;
  void MarkXsdSettled(int kind, const KTQName& name, bool settled);
  // Makes the node the one whose declarations the model's own namespace
  // context stands for.
  void SetContextNode(KTXNode* node);
  SimpleTypeSet& SimpleTypes() { return simpleTypes_; }
  ComplexTypeSet& ComplexTypes() { return complexTypes_; }
  GroupSet& Groups() { return groups_; }
  GroupSet& AttributeGroups() { return attributeGroups_; }
  // Top-level attribute declarations in loading order, one per name: within
  // a pass the first declaration of a name counts, a later pass replaces
  // what an earlier one stored (its type may have settled since).
  const std::vector<KTAttributeDecl>& GlobalAttributes() const { return globalAttributes_; }
  const KTAttributeDecl* FindGlobalAttribute(const KTQName& name) const;
  void AddGlobalAttribute(const KTAttributeDecl& decl);
  KTXsdLoadState& XsdState() { return xsd_; }
  // Identity constraints (ktxsdidentity.cpp): one unique, key or keyref
  // child of an element declaration into the set by name and the
  // declaration's list; a name met again in the first pass is reported.
  bool LoadXsdIdentityConstraint(KTXNode* node, KTNamespaceContext* elementContext, KTElementType* declaration,
                                 const KTString& local);
  // Held by shared pointers so that this header needs no XPath types.
  using IdentityConstraintSet = std::map<KTQName, std::shared_ptr<KTIdentityConstraint>, KTQNameLessFn>;
  IdentityConstraintSet& IdentityConstraints() { return identityConstraints_; }

  // ---- The DTD walk (ktdtdwalker.cpp) ----
  // Nested conditional sections and parameter entities walked inside one
  // another: deeper ones are refused with a recorded problem.
  static constexpr int kMaxDtdNesting = 256;
  // Declarations and references one DTD load may visit: DocBook's whole DTD
  // visits a few thousand, while entities that use each other twice per
  // level would make the walk exponential.
  static constexpr int64_t kMaxDtdVisits = 1000000;
  // Walks a DTD document or a document's DOCTYPE once, or twice when the
  // first walk met a reference to an entity declared later.
  bool LoadDtdPasses(KTXNode* root);
  // Walks the children of a DTD tree; `start` begins a pass, `expandedText`
  // marks a tree parsed from text in which several references were expanded.
  bool ParseExtSubsetDecl(KTXNode* root, bool start, bool expandedText);
  bool ParseExternalSubset(KTXNode* root) { return ParseExtSubsetDecl(root, false, false); }
  // Counts one visited declaration, reference or content particle; past
  // kMaxDtdVisits records 7524 and answers false.
  bool CountDtdVisit(KTXNode* node);
  bool IsTwoPassMode() const { return twoPassMode_; }
  void SetTwoPassMode(bool on) { twoPassMode_ = on; }
  bool IsDtdFromSchemaReference() const { return dtdFromSchemaReference_; }
  void SetDtdFromSchemaReference(bool on) { dtdFromSchemaReference_ = on; }
  bool IsDoctypeSeen() const { return doctypeSeen_; }
  const KTString& GetDoctypeName() const { return doctypeName_; }
  // Entities (and external DTD documents) whose text is being walked or read
  // right now: one met again inside itself is refused, never followed.
  bool IsActive(const void* entity) const;
  void PushActive(const void* entity) { active_.push_back(entity); }
  void PopActive() { active_.pop_back(); }
  int GetActiveDepth() const { return static_cast<int>(active_.size()); }
  // Nesting of the declaration being read (groups, entity values), bounded
  // by kMaxDtdNesting.
  int& DeclarationDepth() { return declarationDepth_; }
  // The attribute names a DTD gave each element type so far, and its ID
  // attribute: an ATTLIST finds whether a name is already bound without a
  // search of the element's list (many definitions of one element stay
  // linear). Built from the list on first use; dropped with the elements.
  // The names are views of the names in the element's list, kept in one
  // open-addressed table: an element type holds a few dozen at most, and a
  // node per name cost more than the name.
  class DtdNameSet {
   public:
    // The slot of `name`, and whether it was added (false: known already).
    std::pair<std::u16string_view*, bool> Insert(std::u16string_view name);

   private:
    static size_t Hash(std::u16string_view name);
    std::vector<std::u16string_view> slots_;  // empty views are free; a power of two long
    size_t count_ = 0;
  };
  struct DtdAttlistIndex {
    DtdNameSet names;
    KTString idName;
  };
  DtdAttlistIndex& DtdAttlistOf(KTElementType* type);
  void ForgetDtdAttlist(const KTElementType* type) { dtdAttlists_.erase(type); }
  // Keeps a tree parsed from DTD text for the life of the model; `parent` is
  // the node whose text it came from (for messages and relative URLs).
  KTXNode* AdoptFragment(std::unique_ptr<KTXNode> fragment, KTXNode* parent);
  // Content models given by parameter entities: many declarations expand to
  // the same text (DocBook's mixes), so a tree parsed from one and read
  // without a problem is read again for the next instead of parsing the text
  // once more. Null when there is none, it was parsed in another grammar, or
  // reading it could reach the bound on visits.
  // `key`: ContentModelKey(expanded), worked out once for both calls.
  static size_t ContentModelKey(const KTString& expanded) {
    return std::hash<std::u16string_view>{}(expanded.View());
  }
  KTXNode* FindReadContentModel(const KTString& expanded, size_t key, KTXNode* node);
  void KeepReadContentModel(const KTString& expanded, size_t key, KTXNode* root);
  // The node's parent, or for the root of an adopted fragment the node its
  // text came from.
  KTXNode* ParentOf(const KTXNode* node) const;
  // The root of the document the node belongs to, across adopted fragments.
  KTXNode* DocumentRootOf(KTXNode* node) const;

  // ---- Error recording ----
  // False when the problem was recorded or dropped; true only for a 7503
  // dropped because the strict option is off.
  bool ReportError(int id, KTXNode* node, const KTElementType* declaration, const KTString& contextText,
                   const KTSchemaErrorDetail& detail = {});
  // A declaration that breaks a validity constraint of XML 1.0 (an element
  // type declared twice, a default outside its enumeration...): the walk
  // goes on and uses it as far as it can (§5.1), and one warning line names
  // the document the declaration is in and `what` failed. The lines of the
  // last pass are written once the DTD walk ends.
  void WarnAboutDeclaration(int id, KTXNode* node, const KTString& what);
  struct DeclarationWarning {
    int id;
    std::string line;
  };
  const std::vector<DeclarationWarning>& GetDeclarationWarnings() const { return declarationWarnings_; }
  const KTSchemaErrorBlock& GetError() const { return error_; }
  int GetErrorId() const override { return error_.id; }
  // How many problems were reported so far, recorded or not.
  int64_t GetReportCount() const { return reportsMade_; }
  void ResetErrorBlock() { error_ = KTSchemaErrorBlock(); }

  // ---- Declarations ----
  KTElementType* DeclareElement(const KTQName& name);
  // DeclareElement of a DTD name (no namespace) as written; a name already
  // declared costs a lookup and no copy of the name.
  KTElementType* DeclareDtdElement(const char16_t* name);
  // The same for a node's interned name: a name met before costs a lookup
  // of where its shared text stands, not a hash of the text (content models
  // name the same elements over and over).
  KTElementType* DeclareDtdElementNamed(const KTXName& name);
  KTElementType* FindElement(const KTQName& name) override;
  bool DeclaresElements() const override { return !elements_.empty(); }
  ElementSet::iterator FindElementPosition(const KTQName& name);
  ElementSet& Elements() { return elements_; }
  KTEntityDecl* DeclareNotation(const KTString& name);
  KTEntityDecl* FindNotation(const KTString& name);
  KTEntityDecl* DeclareGeneralEntity(const KTString& name);
  KTEntityDecl* FindGeneralEntity(const KTString& name);
  KTEntityDecl* DeclareParameterEntity(const KTString& name);
  KTEntityDecl* FindParameterEntity(const KTString& name);
  // The parameter or general entity of the name, declared when missing
  // (`added` then true).
  KTEntityDecl* FindOrDeclareEntity(const KTString& name, bool parameter, bool& added);
  // FindParameterEntity or FindGeneralEntity by a view of the name.
  KTEntityDecl* FindEntity(std::u16string_view name, bool parameter);
  // The sets in name order, made at each call (a copy of the names).
  OrderedEntities GeneralEntities() const { return InNameOrder(generalEntities_); }
  OrderedEntities ParameterEntities() const { return InNameOrder(parameterEntities_); }
  OrderedEntities Notations() const { return InNameOrder(notations_); }

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
  // expanded. With trimmedValues (entity declarations) a parameter entity's
  // text goes in without the spaces that pad it between declarations.
  bool ExpandEntityReferences(KTXNode* node, const char16_t* text, KTString& out, bool parameterRefs,
                              bool trimmedValues, bool countExpansions);
  // ExpandEntityReferences then character references; a text without '&'
  // is copied unchanged.
  bool ExpandReferences(KTXNode* node, const char16_t* text, KTString& out);
  // As ExpandReferences, but general references inside entity values are
  // expanded too, to any depth (XML 1.0 §3.3.3, §4.4.5): the text of an
  // attribute default, where a white-space character of an entity's text
  // reads as a space. An explicit stack of at most kMaxDtdNesting entities;
  // a recursive entity, a deeper nesting or the expansion budget records
  // 7524, keeps the reference as written and ends the expansion there.
  bool ExpandReferencesFully(KTXNode* node, const char16_t* text, KTString& out);
  // Reports the reference from start to end that no ';' closes and copies it
  // with the character that ended it; returns the place after the copy.
  const char16_t* CopyUnterminatedReference(KTXNode* node, const char16_t* start, const char16_t* end,
                                            KTString& result, int& length);
  // Sets the budget from the size of the document's text (names and values).
  void SetExpansionBudgetFor(KTXNode* documentRoot) { SetExpansionBudget(TextSizeOf(documentRoot)); }
  // The same from that size known already (TextSizeOf).
  void SetExpansionBudget(int64_t documentTextSize);
  // The same, the document sized only once its entities expand to more than
  // kMaxEntityExpansionChars, the least budget: most documents never do,
  // and need no walk for it. The document must stay as it is until then.
  void SetExpansionBudgetWhenNeeded(const KTXNode* documentRoot);
  // Whether `more` characters fit the budget after those expanded so far
  // (the document sized first when the least budget is passed).
  bool HasExpansionRoom(int64_t more);
  // The characters of the names and values of `node` and every node below
  // it, an element's pending attributes (ktxnode.h) read in place.
  static int64_t TextSizeOf(const KTXNode* node);
  // The budget as known so far: the least one while the document is not
  // sized yet (SetExpansionBudgetWhenNeeded).
  int64_t GetExpansionBudget() const { return expansionBudget_; }
  int64_t GetExpandedChars() const { return expandedChars_; }

  // ---- Documents ----
  // Parses text in the grammar of the context node's document from the start
  // rule into a new Element holder (the caller owns it); null without a
  // document manager, a known document or a grammar, or when it does not parse.
  std::unique_ptr<KTXNode> ParseFragment(const char16_t* text, const char16_t* startRule,
                                         KTXNode* contextNode) override;
  // ParseFragment of text[0, length), a text whose length is known and
  // holds no NUL.
  std::unique_ptr<KTXNode> ParseFragmentOfLength(const char16_t* text, int length, const char16_t* startRule,
                                                 KTXNode* contextNode);
  // The content model `text` (a contentspec between blanks, its parameter
  // references expanded) as ParseFragmentOfLength(text, "elementSpecFormatted")
  // gives it. A model of groups, names and #PCDATA written in printable
  // ASCII is read here without the grammar, into the same tree; any other
  // goes to the grammar.
  std::unique_ptr<KTXNode> ParseContentModel(std::u16string_view text, KTXNode* contextNode);
  // Only the reading without the grammar: null for a model it leaves to
  // the grammar.
  std::unique_ptr<KTXNode> ReadPlainContentModel(std::u16string_view text, KTXNode* contextNode);
  // Attribute definitions `text` (an entity's value, a declaration's
  // expanded text) as ParseFragmentOfLength(text, "attlistText") gives
  // them; those written in printable ASCII with ASCII names are read here
  // without the grammar, into the same tree.
  std::unique_ptr<KTXNode> ParseAttlistText(std::u16string_view text, KTXNode* contextNode);
  // Only the reading without the grammar: null for text it leaves to it.
  std::unique_ptr<KTXNode> ReadPlainAttlistText(std::u16string_view text, KTXNode* contextNode);
  // The body of an included conditional section (blanks before it left
  // out) parsed as declarations, with the sections nested in it made the
  // text nodes the grammar makes of them without reading their text again:
  // the tree ParseFragmentOfLength(body, "extSubsetDecl") gives, offsets and
  // all. Null when the body is not split that way (a part between nested
  // sections that does not parse on its own, a nested section's keyword of
  // another form); the caller then parses the whole body.
  // `known`: the sections nested in the body at every depth when they are
  // known already (the body of a section node made here), else found here.
  // The nested sections of each section node made are kept for when the
  // walk reaches it (NestedSectionsOf).
  struct SectionRange {
    size_t begin;  // "<![" and after "]]>", in the text searched
    size_t end;
    int depth;  // 1: directly in that text
  };
  std::unique_ptr<KTXNode> ParseSectionBody(std::u16string_view body, KTXNode* contextNode,
                                            const std::vector<SectionRange>* known = nullptr);
  // The sections nested in the text of a section node ParseSectionBody
  // made, at every depth, from the start of that text; null for another node.
  const std::vector<SectionRange>* NestedSectionsOf(const KTXNode* node) const {
    auto it = knownSections_.find(node);
    return it == knownSections_.end() ? nullptr : &it->second.nested;
  }
  // The text of a Text node the DTD walk reads: a section node
  // ParseSectionBody made keeps no copy of its text, which stays a view
  // into the body it was cut from while the walk lasts; any other node's
  // value.
  std::u16string_view DtdTextOf(const KTXNode* node) const;
  // Loads a document a schema refers to through the document manager (once
  // per URL; a relative URL is resolved against the context node's document,
  // and resolved URLs are never cut); grammar kind 0 XML, 1 DTD, 2 external
  // entity. Null without a manager or when it does not load; memory that
  // ran out while it loaded throws std::bad_alloc instead.
  KTXNode* LoadExternalDocument(const KTString& identifier, const KTString& url, KTXNode* contextNode,
                                uint16_t grammarKind);
  // The document an external identifier names: keyword "SYSTEM" (id text:
  // the system literal) or "PUBLIC" (public and system literals); DTD
  // grammar or external-entity grammar. Null, with 7509 recorded, when it
  // does not load.
  KTXNode* LoadExternalSubset(const KTString& keyword, const KTString& idText, KTXNode* contextNode,
                              bool dtdGrammar, KTString* systemIdOut = nullptr, bool report = true);
  // The text of an external parameter entity that holds no declarations (a
  // content model, or text for an entity value): read as it stands, without
  // its text declaration, line ends as LF. False when it cannot be read.
  // `why` says what failed; `notWellFormed` tells a text that was read but
  // refused (characters, its text declaration) from one that was not read.
  bool ReadExternalText(const KTString& systemId, KTXNode* contextNode, KTString& text, KTString* why = nullptr,
                        bool* notWellFormed = nullptr);
  KTDocumentManager* GetDocumentManager() const { return manager_; }

  // ---- Passes and state ----
  int GetCurrentPass() const { return currentPass_; }
  int GetLastPassAllowed() const { return lastPassAllowed_; }
  void SetPasses(int current, int lastAllowed) {
    currentPass_ = current;
    lastPassAllowed_ = lastAllowed;
  }
  // Asked for by a reference that pass 1 could not resolve.
  void RequestAnotherPass();
  bool IsAnotherPassNeeded() const { return anotherPass_; }
  int GetSchemaKind() const { return schemaKind_; }
  void SetSchemaKind(int kind) { schemaKind_ = kind; }
  bool IsStrict() const { return strict_; }
  KTNamespaceContext& GetNamespaceContext() { return namespaces_; }
  // The view the identity-constraint paths of a schema are read through;
  // made on first use, as most runs load no schema that has them.
  KTXPathTreeContext* GetTreeContext() const;
  const KTString& GetReferenceName() const { return referenceName_; }
  KTXNode* GetReferenceNode() const { return referenceNode_; }

  // ---- The tree context's view of the model ----
  bool ExpandContentReferences(KTXNode* node, const char16_t* text, KTString& out) override;
  KTElementType* FindChildElementDecl(KTElementType* parent, const KTQName& name) override;
  bool IsIdAttribute(KTElementType* declaration, const KTQName& attributeName) override;
  bool IsTokenizedAttribute(KTElementType* declaration, const KTQName& attributeName) override;
  bool KeysNamesAsWritten() const override { return schemaKind_ == kSchemaDtd; }
  KTElementType* FindDtdElementBesideSchema(const char16_t* nameAsWritten) override;
  bool DeclaresDtdElementsBesideSchema() const override { return !dtdElements_.empty(); }
  bool CollectDefaults(KTElementType* declaration, std::vector<KTDefaultAttribute>& attributes, KTString& text,
                       bool& hasText) override;
  bool ReportViewProblem(int messageId, KTXNode* node, const KTString& contextText) override;
  bool ExpansionStopped(KTString& why) const override;
  bool DocumentRefused(KTString& why) const override;
  // Keeps the first fatal error of the document met in its DTD or entities
  // (ktdtdwalker.cpp); the load it happens in reports a problem and stops.
  void RefuseDocument(const KTString& why);
  bool IsRefused() const { return !refusal_.IsEmpty(); }
  // Where a node stands: the file of its document and, when that text is at
  // hand, ", line L, column C" (a node of a tree parsed from DTD text stands
  // where that text was written).
  KTString PlaceOf(KTXNode* node);
  // ", line L, column C" of an offset into the text a map was made of:
  // columns count UTF-16 units, and an offset between the CR and the LF of
  // a pair starts the next line. Empty for an offset outside the text.
  static KTString LineAndColumn(const KTLineMap& lines, int offset);
  // The line map of the text a loader parsed (the loader keeps it).
  static const KTLineMap& LinesOf(const KTDocumentLoader* loader);
  // Records that part of the DTD could not be read (`what`: the external
  // subset or parameter entity, as written), so that a reference to an
  // undeclared entity can say where its declaration may have been.
  void NoteUnreadDtd(const KTString& what);
  // After an element or attribute-list declaration failed to read: refuses
  // the document when the kept problem says its text, with the references
  // replaced, is not a declaration (a well-formedness error).
  void RefuseMalformedDeclaration(KTXNode* node);
  // Why the external entity of that system identifier could not be read.
  void NoteUnreadReason(const KTString& systemId, const KTString& reason) { unreadReasons_[systemId] = reason; }
  // A reference to an undeclared entity in content, left as written: when
  // part of the DTD could not be read, one warning per document names it.
  void WarnAboutUnexpandedReference(KTXNode* node, std::u16string_view name);
  // The failure of the last LoadExternalDocument that gave no document, and
  // the URL it tried.
  const KTLoadStatus& GetLastLoadFailure() const { return lastLoadFailure_; }
  const KTString& GetLastLoadUrl() const { return lastLoadUrl_; }
  // Whether a load failure is the document's fault (it was read and is not
  // well-formed, or holds characters or bytes XML does not allow) rather
  // than a file or URL that could not be read.
  static bool IsNotWellFormed(const KTLoadStatus& status);
  // "url, line L, column C: reason" for a text that did not parse, the
  // reason alone (first letter in lower case) for one that was not read.
  static KTString DescribeLoadFailure(const KTLoadStatus& status, const KTString& url);
  // Keeps the first reason an entity's text was left out of the document.
  void NoteExpansionStopped(const KTString& why);

 private:
  void DeclarePredefinedEntities();
  static OrderedEntities InNameOrder(const EntitySet& set);
  bool LoadXdrAttributeReference(KTXNode* element, KTNamespaceContext* context, KTElementType* type,
                                 KTElementType& scratch);
  bool ReadXdrOccurs(KTXNode* attribute, const KTString& name, const KTString& value, KTParticle& particle);
  // The parts of an XML Schema complexType (ktxsdcomplextype.cpp): its
  // attributes, the form of its content and the derivation holding it, the
  // content its base gives, its own content (with the facets of a
  // simpleContent restriction), the message for a child out of place, and
  // the content flags settled last.
  bool ReadXsdComplexTypeAttributes(KTXNode* node, KTNamespaceContext* context, KTXsdComplexTypeParts& parts);
  bool ReadXsdComplexTypeForm(KTXNode* node, KTNamespaceContext* context, KTXsdComplexTypeParts& parts);
  bool ReadXsdDerivation(KTXNode* holder, KTNamespaceContext* context, KTXsdComplexTypeParts& parts);
  bool DeriveXsdComplexType(KTXNode* node, KTXsdComplexTypeParts& parts, KTComplexTypeDef& record);
  bool LoadXsdComplexContent(KTXNode* node, KTNamespaceContext* context, const KTXsdComplexTypeParts& parts,
                             KTElementType& content);
  bool LoadXsdContentFacet(KTXNode* facet, KTNamespaceContext* context, const KTString& local,
                           const KTString& baseText, KTElementType& content);
  bool ReportXsdComplexTypeChild(KTXNode* child, const KTXsdComplexTypeParts& parts);
  static void FinishXsdComplexContent(const KTXsdComplexTypeParts& parts, KTElementType& content);
  // The parts of an XML Schema element declaration (ktxsdelement.cpp): its
  // attributes, the report of a second declaration, its type attribute, its
  // children, the head's type when it names no type, and the check of its
  // default or fixed value.
  bool ReadXsdElementAttributes(KTXNode* node, KTNamespaceContext* context, KTXsdElementParts& parts,
                                KTParticle& particle, KTElementType*& declaration);
  bool ReportXsdElementClash(KTXNode* node, const KTXsdElementParts& parts, KTElementType* decl);
  bool ApplyXsdElementType(KTXNode* node, KTNamespaceContext* context, KTXsdElementParts& parts,
                           KTElementType* decl);
  bool LoadXsdElementChildren(KTXNode* node, KTNamespaceContext* context, KTXsdElementParts& parts,
                              KTElementType* decl);
  void TakeXsdElementHeadType(KTXNode* node, KTNamespaceContext* context, const KTXsdElementParts& parts,
                              KTElementType* decl);
  bool CheckXsdElementValue(KTXNode* node, const KTXsdElementParts& parts, KTElementType* decl);
  // The parts of an XML Schema simpleType (ktxsdsimpletype.cpp): its
  // attributes, a simpleType nested in its derivation, and each of the
  // three derivations.
  bool ReadXsdSimpleTypeAttributes(KTXNode* node, KTNamespaceContext* context, KTString& nameText,
                                   KTString& finalText);
  bool LoadXsdNestedSimpleType(KTXNode* child, KTNamespaceContext* context, KTSimpleTypeDef& into,
                               const char16_t* blockWord);
  bool LoadXsdListType(KTXNode* derivation, KTNamespaceContext* context, const KTString& nameText,
                       KTSimpleTypeDef& record);
  bool LoadXsdRestrictionType(KTXNode* node, KTXNode* derivation, KTNamespaceContext* context, KTString& nameText,
                              KTString& baseText, KTSimpleTypeDef& record);
  bool LoadXsdUnionType(KTXNode* derivation, KTNamespaceContext* context, const KTString& nameText,
                        const KTString& baseText, KTSimpleTypeDef& record);
  // The parts of an XML Schema attribute declaration (ktxsdsimpletype.cpp):
  // its attributes, its children, and the check of its default and fixed
  // values against its type.
  bool ReadXsdAttributeAttributes(KTXNode* node, KTNamespaceContext* context, KTElementType* owner,
                                  KTXsdAttributeParts& parts);
  bool LoadXsdAttributeChildren(KTXNode* node, KTNamespaceContext* context, KTXsdAttributeParts& parts);
  bool CheckXsdAttributeValues(KTXNode* node, const KTElementType* owner, const KTXsdAttributeParts& parts);
  // The parts of an XDR ElementType (ktxdrloader.cpp): one of its
  // attributes, an element reference and a group in its content, and the
  // check that its content model agrees with its content attribute.
  bool ReadXdrElementAttribute(KTXNode* attribute, const KTString& name, const KTString& value,
                               KTNamespaceContext* context, KTElementType* type);
  bool LoadXdrElementReference(KTXNode* element, KTNamespaceContext* context, KTElementType* type);
  bool LoadXdrGroup(KTXNode* group, KTNamespaceContext* context, KTElementType* type);
  bool CheckXdrContent(KTXNode* element, KTElementType* type);
  // DCD (ktdcdloader.cpp): a Model, Datatype, Content or bound property of
  // an ElementDef; the RDF:Order and Occurs attributes of a Group; a Group
  // placed in the content of `type`.
  bool ReadDcdElementProperty(KTXNode* property, const KTString& name, const KTString& value, KTElementType* type);
  bool ReadDcdGroupAttributes(KTXNode* group, int& minOccurs, int& maxOccurs, bool& alternative);
  bool LoadDcdGroup(KTXNode* group, KTElementType* type, bool insideGroup);
  // Whether the content model holds an element wildcard that is not "skip".
  static bool HasElementWildcard(KTElementType* type);
  bool LoadReferencedSchema(KTXNode* documentRoot, bool searchFurther);
  // Loads the schema document of the reference FindSchemaReference found
  // (of that kind) and runs the loader of its language.
  bool LoadNamedSchema(KTXNode* root, int kind, KTXNode* referenceNode, const std::vector<KTString>& namespaces,
                       const std::vector<KTString>& locations);
  void WarnAboutKeptProblem(KTXNode* documentRoot);
  // The warning line for a kept problem of a DTD load, in plain words
  // (ktdtdwalker.cpp).
  void WarnAboutDtdProblem(KTXNode* documentRoot);
  // The URL of the document the node belongs to; the first document the
  // schema load read that has a URL when that one has none.
  KTString DocumentNameOf(KTXNode* node);
  // When the kept problem lies in an XML Schema document: the schema file
  // with the line and the declaration at fault, and the problem in words.
  bool DescribeXsdProblem(KTString& where, KTString& what);
  // A relative URL against the URL of the context node's document.
  KTString ResolveAgainstDocument(const KTString& url, KTXNode* contextNode);
  void WriteDeclarationWarnings();
  enum class TextWalk { kGoOn, kEndWalk, kFailed };
  TextWalk WalkConditionalSection(KTXNode* node, std::u16string_view text);
  TextWalk WalkReferenceText(KTXNode* node, const KTString& text, bool expandedText);
  bool WalkEntityTree(KTXNode* node, KTEntityDecl* entity);
  // `textOffset`: where the text stands in the value of `node`, when it is
  // a verbatim part of it (-1 otherwise).
  bool WalkFragment(const KTString& text, KTXNode* node, bool expandedText, int failureId, int textOffset = -1);
  const KTGrammarEntry* GrammarOfDocument(KTXNode* contextNode);
  // The fragment parser of a grammar: the one kept for the walk, or a new
  // one left in `own`. Null when it cannot be set up.
  KTParserDriver* FragmentDriver(const KTGrammarEntry* entry, std::unique_ptr<KTParserDriver>& own);

  KTNamespaceContext namespaces_;
  ElementSet elements_;
  // The DTD's element declarations (keyed by name as written) when the
  // document also names a schema, whose declarations are then in elements_;
  // empty otherwise. The DTD's defaults are supplied before the schema's.
  ElementSet dtdElements_;
  KTQName dtdLookupName_;
  // The element types of elements_ whose names have no namespace (every
  // DTD declaration), by local name: DTD readers and lookups hash a name
  // instead of comparing it down the ordered set. Keys view the names kept
  // in elements_; cleared wherever elements_ is.
  std::unordered_map<std::u16string_view, KTElementType*> noNamespaceElements_;
  // The element types of noNamespaceElements_ found by interned names
  // (DeclareDtdElementNamed), keyed by where the shared text stands; each
  // keeps its name, so that the text stays there. Cleared with elements_.
  std::unordered_map<const KTString*, std::pair<KTXName, KTElementType*>> elementsByInternedName_;
  // The ID attribute of each element declaration asked about (null: none),
  // so that the view asks about every attribute at the cost of one lookup.
  std::unordered_map<const KTElementType*, const KTAttributeDecl*> idAttributes_;
  // The names of each DTD element declaration's attributes of a type other
  // than CDATA, built on the first question about the declaration.
  std::unordered_map<const KTElementType*, std::unordered_set<KTString>> tokenizedAttributes_;
  EntitySet generalEntities_;
  EntitySet parameterEntities_;
  EntitySet notations_;
  SimpleTypeSet simpleTypes_;
  ComplexTypeSet complexTypes_;
  GroupSet groups_;
  GroupSet attributeGroups_;
  std::vector<KTAttributeDecl> globalAttributes_;
  // Name -> {entry, pass that stored it}.
  std::map<KTQName, std::pair<size_t, int>, KTQNameLessFn> globalAttributeIndex_;
  KTXsdLoadState xsd_;
  IdentityConstraintSet identityConstraints_;
  // Trees that ParseFragment made for the DTD readers; kept with the model.
  std::vector<std::unique_ptr<KTXNode>> fragmentRoots_;
  KTSchemaErrorBlock error_;
  KTString referenceName_;
  KTXNode* referenceNode_ = nullptr;
  // Passes may number as many as a schema's forward references.
  int currentPass_ = 1;
  int lastPassAllowed_ = 1;
  int defaultSecondTypeId_;
  int schemaKind_ = kSchemaNone;
  bool anotherPass_ = false;
  bool strict_;
  uint8_t flag_;
  uint8_t optionA_, optionB_;
  int32_t word_;
  mutable std::unique_ptr<KTXPathTreeContext> treeContext_;
  KTDocumentManager* manager_;
  std::vector<KTDocumentRecord*> loadedDocuments_;
  // Grammar of the fragments this model parsed, so that text inside a
  // fragment parses in the grammar of the document it came from. By the
  // address of each fragment's holder element; an entry stays when its
  // fragment is freed, so it is read for a holder only (GrammarOfDocument).
  std::unordered_map<const KTXNode*, const KTGrammarEntry*> fragmentGrammars_;
  // Roots of adopted fragments -> the node their text came from.
  std::unordered_map<const KTXNode*, KTXNode*> fragmentParents_;
  // Roots of adopted section bodies -> where the body stands in the text of
  // the node it came from (for the places of messages).
  std::unordered_map<const KTXNode*, int> fragmentOffsets_;
  // While a DTD is walked, one parser per grammar serves every fragment
  // (section bodies, entity values, content models) instead of a parser
  // made and dropped for each; dropped when the walk ends.
  bool keepFragmentDrivers_ = false;
  std::unordered_map<const KTGrammarEntry*, std::unique_ptr<KTParserDriver>> fragmentDrivers_;
  // The section nodes ParseSectionBody made -> the text of each (a view
  // into the body it stands in) and the sections nested in it.
  struct KnownSection {
    std::u16string_view text;
    std::vector<SectionRange> nested;
  };
  std::unordered_map<const KTXNode*, KnownSection> knownSections_;
  // Expanded content-model text -> the adopted tree read from it.
  struct ReadContentModel {
    KTXNode* root = nullptr;
    const KTGrammarEntry* grammar = nullptr;
    int64_t nodes = 0;
  };
  // By ContentModelKey, each with its text.
  std::unordered_multimap<size_t, std::pair<KTString, ReadContentModel>> readContentModels_;
  std::vector<const void*> active_;
  int sectionDepth_ = 0;
  int declarationDepth_ = 0;
  std::unordered_map<const KTElementType*, DtdAttlistIndex> dtdAttlists_;
  int64_t dtdVisits_ = 0;
  int64_t reportsMade_ = 0;
  bool twoPassMode_ = false;
  bool dtdFromSchemaReference_ = false;
  bool doctypeSeen_ = false;
  KTString doctypeName_;
  // The external subset that could not be loaded: recorded after the walk.
  KTString missingSubsetId_;
  KTXNode* missingSubsetNode_ = nullptr;
  FILE* warningStream_ = stderr;
  std::vector<DeclarationWarning> declarationWarnings_;
  std::unordered_set<std::string> declarationWarningLines_;
  int64_t expansionBudget_ = kMaxEntityExpansionChars;
  // The document whose size sets the budget, not sized yet (null when it is).
  const KTXNode* budgetDocument_ = nullptr;
  int64_t expandedChars_ = 0;
  KTString expansionStopped_;
  KTString refusal_;
  // The part of the DTD that could not be read (for the warning on an
  // undeclared reference), and whether that warning was written.
  KTString unreadDtd_;
  std::map<KTString, KTString> unreadReasons_;
  bool unexpandedWarned_ = false;
  KTLoadStatus lastLoadFailure_;
  KTString lastLoadUrl_;
  // Why the external subset named by missingSubsetNode_ could not be read.
  KTString missingSubsetReason_;
};

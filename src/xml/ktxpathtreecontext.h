// KTXPathTreeContext turns a parsed document tree into its XPath view: nodes
// numbered in document order with a per-document number, namespace prefixes
// resolved into interned URIs, entity references expanded in text and
// attribute values, and the schema's default attributes and text supplied.
// It also computes in-scope namespace maps of document nodes for schema code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktnamespace.h"
#include "xml/ktxpathnode.h"

class KTXNode;
class KTXCompactAttributes;
class KTElementType;
struct KTDefaultAttribute;
class KTSchemaServices;

class KTXPathTreeContext {
 public:
  // Nested entity fragments (a fragment whose text holds a reference whose
  // text holds markup again, and so on). Real documents nest a few levels;
  // the limit stops documents built to multiply nodes level by level.
  static constexpr int kMaxEntitySpliceDepth = 16;
  // View depth past which no further entity fragment is spliced in. The
  // wrap itself keeps its open nodes on a heap stack, but each spliced
  // fragment wraps through a nested call; the bound keeps those few.
  static constexpr int kMaxSpliceWrapDepth = 6000;
  // Message id recorded when an entity text is refused (cycle or depth).
  static constexpr int kEntityExpansionFailed = 7524;

  KTXPathTreeContext();
  virtual ~KTXPathTreeContext();
  KTXPathTreeContext(const KTXPathTreeContext&) = delete;
  KTXPathTreeContext& operator=(const KTXPathTreeContext&) = delete;

  // Builds the view of the tree. The model is borrowed for the call; without
  // one the tree is wrapped without schema, entities or defaults. Throws
  // KTXTreeException(1) when a node breaks the placement rules. For a
  // stylesheet module (`stylesheet`) the view leaves out the lone
  // whitespace-only texts that stylesheet stripping (XSLT 1.0 §3.4) would
  // remove, giving up their positions all the same; stripping is still run
  // on the view for the rest (runs of character data, texts from entities).
  std::unique_ptr<KTXPathNode> WrapTree(KTXNode* root, KTSchemaServices* model, bool loadSchema,
                                        const char16_t* documentUri, bool stylesheet = false);
  // For the next WrapTree only: no value of its tree holds an '&' or a CR
  // (KTDocumentLoader::ParsedWithoutReference, ParsedWithoutCr), so its
  // texts, comments, CDATA sections and processing instructions are shown
  // as they are, without the search for a reference or a line end to
  // normalise.
  void SetNextTextsPlain() { nextTextsPlain_ = true; }
  // For the next WrapTree only: no value of its tree holds a CR
  // (KTDocumentLoader::ParsedWithoutCr), so the texts and attribute values
  // that hold references have no line ends to normalise. The nodes of an
  // entity's text are not the document's own: a character reference in the
  // entity's value puts a CR in them (XML 1.0 §4.5), and they are
  // normalised as ever.
  void SetNextTextsWithoutCr() { nextTextsWithoutCr_ = true; }
  // For the next WrapTree only: its document declares no entity (it has no
  // DTD: KTDocumentLoader::ParsedWithoutDeclarations), so a reference in it
  // names one of the five predefined entities, which expand without the
  // model. They hold at most one character more than the reference, far
  // below the model's expansion budget (ten times the document), which
  // counts only the entities it expands.
  void SetNextEntitiesPredefined() { nextEntitiesPredefined_ = true; }
  // For the next WrapTree of a stylesheet module only: the lone
  // whitespace-only texts its view leaves out are deleted from the parsed
  // tree too (not those of entity fragments, which may be spliced again), so
  // that a large stylesheet does not keep them. The caller must not wrap
  // that parsed tree again as a source document (document() of the module
  // loads it afresh: KTXSLTProcessor::ForgetDocument).
  void SetNextDeletesParsedSpace() { nextDeletesParsedSpace_ = true; }

  // The interned entry whose text equals the given one (case-sensitive); a
  // new entry when there is none. Entry 0 is the XML namespace URI.
  const KTString* InternUri(const char16_t* uri);
  const std::vector<std::unique_ptr<KTString>>& GetUriTable() const { return uris_; }

  // In-scope bindings of a document node, cached; owned by the context.
  const KTPrefixMap& GetNamespaceScope(KTXNode* node);
  // Caches for the root one map merging every declaration of the document
  // (a later declaration of a prefix replaces an earlier one).
  bool BuildNamespaceScopes(KTXNode* root);
  // The two steps of BuildNamespaceScopes: every attribute of the subtree in
  // document order goes to AddDeclaration, which binds a declaration's
  // prefix ("xmlns" itself: the empty prefix) in the working map to its
  // interned value ("xml" is never rebound).
  void CollectDeclarations(KTXNode* root);
  void AddDeclaration(KTXNode* attribute);
  void ClearNamespaceScopes() { scopeCache_.clear(); }

  // The process-wide count of wrapped documents (the last number given).
  static int32_t GetDocumentCounter();

 private:
  void LoadDocumentSchema(KTXNode* root);
  // An open node of the wrap: its view, the declarations it was wrapped
  // under, whether its defaults are in, and its next child to wrap; for a
  // stylesheet, whether xml:space="preserve" holds for its children and
  // whether their lone whitespace-only texts are left out.
  struct WrapFrame {
    KTXPathNode* view = nullptr;
    KTElementType* parentDecl = nullptr;
    KTElementType* decl = nullptr;
    KTXNode* next = nullptr;
    bool defaultsDone = false;
    bool preserve = false;
    bool dropsSpace = false;
  };
  // Once an element's attributes and defaults are in: its xml:space, and
  // whether it is xsl:text (whose text always stays).
  void JudgeSpace(WrapFrame& frame);
  bool IsXsltText(const KTXPathNode* element);
  // True for a text child that stylesheet stripping removes on its own: a
  // whitespace-only text with no character data beside it.
  static bool DropsText(const WrapFrame& open, const KTXNode* child);
  static bool IsDroppableSpace(std::u16string_view text);
  // Deletes a text of the parsed tree that the view leaves out (see
  // SetNextDeletesParsedSpace).
  static void DeleteParsedText(KTXNode* text);
  // Wraps the subtree of a document or fragment root.
  template <bool kStylesheet>
  std::unique_ptr<KTXPathNode> WrapNode(KTXNode* node);
  // Makes the view of one node, under the open node `up` (null for the
  // root of a wrap), with everything that comes before its children; null
  // when a text gave way to a spliced fragment or is left out.
  // Made twice: for a stylesheet module, and (with none of that work) for
  // any other document.
  template <bool kStylesheet>
  // `kind` is the view's kind when the caller knows it, else
  // kXPathKindFromNode.
  std::unique_ptr<KTXPathNode> OpenNode(KTXNode* node, int kind, KTXPathNode* parent, KTElementType* parentDecl,
                                        const WrapFrame* up, WrapFrame& frame);
  std::unique_ptr<KTXPathNode> NewNode(KTXNode* node, int kind, KTXPathNode* parent);
  // The views of the attribute entries of a shown block, each made with
  // what OpenNode does for an attribute and appended in order.
  void WrapShownAttributes(KTXPathNode* element, const KTXCompactAttributes* block);
  // The pending block of an element whose attributes the view may show from
  // it (none is a namespace declaration), marked shown; else null.
  static const KTXCompactAttributes* ShowableAttributes(KTXNode* element);
  void ResolveNamespaces(KTXPathNode* node);
  void ReplaceElementMaps(KTXPathNode* element, const KTString& prefix, const KTString* uri);
  void ResolveAttributePrefixes(KTXPathNode* element);
  void FinishAttributes(KTXPathNode* element);
  // The document node of `view` is asked for only where the model expands
  // (an attribute shown from its entry has none made until then).
  KTString ExpandReferenceRounds(const KTXPathNode* view, const char16_t* text, bool stopAtMarkup);
  // Expands the references of a text in content; true when the text gives
  // way: to a spliced fragment, or to nothing when its references leave no
  // character.
  bool ExpandTextEntities(KTXPathNode* text);
  // The same for a text whose shown value (its wrapped node's) is at hand.
  bool ExpandTextEntities(KTXPathNode* text, std::u16string_view shown);
  // ExpandTextEntities past its first look, for a text that holds a CR or a
  // reference.
  [[gnu::noinline]] bool ExpandTextReferences(KTXPathNode* text);
  void ExpandAttributeEntities(KTXPathNode* attribute);
  KTElementType* SupplyDefaults(KTXPathNode* node, KTElementType* parentDecl, bool textPending);
  // SupplyDefaults for a document that declares something.
  [[gnu::noinline]] KTElementType* SupplyDeclaredDefaults(KTXPathNode* node, KTElementType* parentDecl,
                                                          bool textPending);
  // The parts of SupplyDefaults: the element's declarations (the schema's
  // and a DTD's beside it; false when the node takes no defaults), the
  // defaults both give, whether content cancels the default text, and the
  // default attributes placed after the element's own.
  bool FindDeclarations(KTXPathNode* node, KTElementType* parentDecl, KTElementType*& decl, KTElementType*& dtdDecl);
  void CollectAllDefaults(KTXPathNode* node, KTElementType* decl, KTElementType* dtdDecl,
                          std::vector<KTDefaultAttribute>& defaults, KTString& defaultText, bool& hasText);
  static bool ContentCancelsDefaultText(KTXPathNode* node, bool textPending);
  void InsertDefaultAttributes(KTXPathNode* node, std::vector<KTDefaultAttribute>& defaults);
  // Marks the element's attributes that its declaration types as ID, and
  // normalises the values of those a DTD declares with a type other than
  // CDATA; the declaration's attribute names are as written (a DTD's) or
  // expanded.
  void MarkIdAttributes(KTXPathNode* element, KTElementType* decl, bool namesAsWritten);
  KTPrefixMapRef NewRootMap();

  bool fromEntity_ = false;
  // The wrap under way has put character data beside character data, or
  // made a CDATA section (NoteCharacterData): the root is not marked apart.
  bool characterDataMeets_ = false;
  void NoteCharacterData(const KTXPathNode* into, int kind) {
    if (kind == kXPathCData) {
      characterDataMeets_ = true;
    } else if (kind == kXPathText && into->GetChildCount() > 0) {
      const int last = into->GetChild(into->GetChildCount() - 1)->GetKind();
      if (last == kXPathText || last == kXPathCData) characterDataMeets_ = true;
    }
  }
  // SetNextTextsPlain, and what it told for the wrap under way.
  bool nextTextsPlain_ = false;
  bool textsPlain_ = false;
  // SetNextTextsWithoutCr, and what it told for the wrap under way.
  bool nextTextsWithoutCr_ = false;
  bool textsWithoutCr_ = false;
  bool LineEndsToNormalize() const { return !textsWithoutCr_ || fromEntity_; }
  // SetNextDeletesParsedSpace, and what it told for the wrap under way; the
  // roots of the trees wrapped so far.
  bool nextDeletesParsedSpace_ = false;
  bool deletesParsedSpace_ = false;
  std::unordered_set<const KTXNode*> wrappedRoots_;
  // SetNextEntitiesPredefined, and what it told for the wrap under way; the
  // buffer its expansions are written in.
  bool nextEntitiesPredefined_ = false;
  bool entitiesPredefined_ = false;
  std::u16string expansionScratch_;
  // The wrap is of a stylesheet module; the URI objects last found to be
  // the XSLT namespace and another.
  bool stylesheet_ = false;
  const KTString* xsltUri_ = nullptr;
  const KTString* otherUri_ = nullptr;
  KTSchemaServices* model_ = nullptr;
  // Set for the wrap: the model declares no element (nor a DTD beside a
  // schema), so no node takes defaults; and whether declarations are looked
  // up by expanded name (an element's namespace is then interned).
  bool declaresNothing_ = false;
  bool internsNamespaces_ = false;
  int32_t nodeCounter_ = 0;
  int32_t documentNumber_ = 0;
  std::vector<std::unique_ptr<KTString>> uris_;
  std::unordered_map<std::u16string_view, const KTString*> uriIndex_;
  KTPrefixMapRef pendingElementMap_;
  KTPrefixMapRef pendingAttributeMap_;
  std::unordered_map<const KTXNode*, KTPrefixMap> scopeCache_;
  KTPrefixMap workingMap_;
  std::vector<std::unique_ptr<KTXNode>> keptFragments_;
  // Expanded texts of the fragments being wrapped, innermost last.
  std::vector<KTString> spliceStack_;
  KTQName lookupName_;
  int wrapDepth_ = 0;
  // The element whose attribute children are being wrapped, and whether a
  // prefix declaration among them asks for their prefixes to be resolved
  // again when the last one is in.
  KTXPathNode* attributesPendingFor_ = nullptr;
  bool attributePrefixesStale_ = false;

  // Where the prefix of a name ends, remembered by the name's address: the
  // names of a document's nodes are interned (ktxname.h) and live as long as
  // the nodes, so a name met again is not scanned again. Emptied at the
  // start of each wrap.
  struct PrefixSlot {
    const char16_t* name = nullptr;
    int32_t colon = -1;  // -1: no prefix
  };
  static constexpr int kPrefixSlotBits = 8;
  inline std::u16string_view PrefixOf(const char16_t* name);
  PrefixSlot prefixSlots_[1 << kPrefixSlotBits];
  // The default namespace of the last element map looked up, held so that
  // the map lives as long as the entry. Dropped whenever a map is changed.
  const KTString* DefaultNamespaceIn(const KTXPathNode* element, const KTPrefixMap* map);
  KTPrefixMapRef defaultMap_;
  const KTString* defaultUri_ = nullptr;
  // The last prefix looked up in that map and its URI (an empty prefix: none
  // yet). The view points into an interned name of the document.
  std::u16string_view lastPrefix_;
  const KTString* lastPrefixUri_ = nullptr;

  // Element declarations found during this wrap, by the parent's
  // declaration and the name looked up (its interned text and namespace):
  // the model's lookups are pure while a document is wrapped, and a
  // document repeats a few names under a few parents many times. Emptied at
  // the start of each wrap.
  struct DeclarationSlot {
    const KTElementType* parent = nullptr;
    const char16_t* name = nullptr;  // null: the slot is empty
    const KTString* ns = nullptr;
    KTElementType* found = nullptr;
  };
  static constexpr int kDeclarationSlotBits = 10;
  KTElementType* FindElementDeclaration(KTElementType* parentDecl, const char16_t* name, KTNamespaceId ns);
  std::vector<DeclarationSlot> declarationSlots_;
  // What a declaration says of an attribute name (ID, tokenized type), kept
  // the same way: by declaration, name as looked up, namespace and whether
  // the name is as written.
  struct AttributeTypeSlot {
    const KTElementType* decl = nullptr;
    const char16_t* name = nullptr;  // null: the slot is empty
    const KTString* ns = nullptr;
    bool asWritten = false;
    bool id = false;
    bool tokenized = false;
  };
  const AttributeTypeSlot& AttributeTypeOf(KTElementType* decl, const char16_t* name, KTNamespaceId ns,
                                           bool asWritten);
  std::vector<AttributeTypeSlot> attributeTypeSlots_;
  // The namespace id of a URI the view resolved (KTNamespaceId::Intern of
  // its text), the last one remembered by the URI's address during a wrap.
  KTNamespaceId NamespaceIdOf(const KTString* uri);
  const KTString* lastInternedUri_ = nullptr;
  KTNamespaceId lastInternedId_;
};

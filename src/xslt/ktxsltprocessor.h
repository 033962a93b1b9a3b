// KTXSLTProcessor: the engine object of a transformation. It owns the frame
// stack of the stack machine and the state of one run (bindings of top-level
// variables and parameters, registered trees, messages), keeps the
// command-line parameters across runs, and gives executors their executor
// factory. Prepare strips the stylesheet and starts a run; every Step runs
// one Start or Continue of the top frame's executor; when the last frame is
// popped the result tree stays with the processor (ResultRoot) until
// Serialize writes it.
#pragma once

#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxpathnode.h"
#include "xpath/ktxpathelementindex.h"
#include "xpath/ktxpathvalue.h"
#include "xpath/ktxsltfunctionservices.h"
#include "xslt/ktattributesets.h"
#include "xslt/ktbindings.h"
#include "xslt/ktcompiledexpression.h"
#include "xslt/ktexecutorfactory.h"
#include "xslt/ktspacerules.h"
#include "xslt/ktxsltengine.h"
#include "xslt/ktxsltkeywords.h"
#include "xslt/output/ktoutputsettings.h"
#include "xslt/output/ktresultserializer.h"

class KTCompiledTemplate;
class KTDeclKey;
class KTDeclRecord;
class KTDecimalFormat;
class KTKeyTable;
struct KTNumberingSet;
class KTExecFrame;
class KTXPathExpression;
class KTXSLTError;
class KTTemplateRuleIndex;
class KTStaticCheck;
class KTSchemaServices;
class KTStaticCheck;
class KTStylesheetCompiler;
class KTXPathAstNode;
class KTXNode;
class KTXPathTreeContext;
class KTXSLTXPathExpression;

// One evaluation of a compiled expression: the stylesheet node it belongs
// to (whose in-scope prefixes resolved it and for which errors are
// reported), the root absolute paths start at (null: the context node's
// document), the current node list and the 1-based context position in it
// (-1 makes every node of the list a context node at once: position and
// size 1, the first node the XSLT current node), the variables in scope
// before the global variables and parameters, and whether the value may be
// a result tree fragment.
struct KTEvaluationRequest {
  KTXPathNode* stylesheetNode = nullptr;
  KTXPathNode* evaluationRoot = nullptr;
  const KTXPathValue* contextValue = nullptr;
  int position = 0;
  const KTVariableSource* variables = nullptr;
  bool allowFragment = false;
};

class KTXSLTProcessor : public KTXSLTEngine, public KTXSLTFunctionServices {
 public:
  using NodeMap = std::map<KTString, KTXPathNode*>;

  KTXSLTProcessor();
  ~KTXSLTProcessor() override;
  KTXSLTProcessor(const KTXSLTProcessor&) = delete;
  KTXSLTProcessor& operator=(const KTXSLTProcessor&) = delete;

  // ---- KTXSLTEngine ----
  void SetTreeContext(KTXPathTreeContext* context) override;
  // Strips and compiles the stylesheet (compile errors are thrown as
  // KTXSLTError), gives both roots a document URI when they have none and
  // starts a run. A stylesheet root without an element child is
  // refused with KTXSLTError code 38 ("Not a root element") for the root.
  void Prepare(KTXPathNode* stylesheetRoot, KTXPathNode* sourceRoot) override;
  void SetGlobalVariables(KTBindingMap map) override { globalVariables_ = std::move(map); }
  KTBindingMap* GlobalVariables() override { return &globalVariables_; }
  void SetGlobalParameters(KTBindingMap map) override { globalParameters_ = std::move(map); }
  KTBindingMap* GlobalParameters() override { return &globalParameters_; }
  // Serialises the result tree with the settings xsl:output gave; the text
  // stays valid until the next Serialize.
  const char16_t* Serialize() override;
  // Discards the previous run (everything but the command-line parameters,
  // the tree context and the executor factory) and pushes the first frame.
  void Start() override;
  // One step of the top frame; false when the stack is empty. Errors of the
  // executors pass through as KTXSLTError (a refused result-tree placement
  // becomes code 7 for the current instruction), the stack left as it was.
  bool Step() override;
  // Steps until a step reports failure (false), or the run is terminated,
  // the stack empties, or the stack holds more than `frames` frames or
  // more than `templates` templates are being run (true): the run loop's
  // steps between its checks, without a call of its own each.
  bool StepWithin(int frames, int templates);
  // Sets the top frame's node to run; false on an empty stack.
  bool SetCurrentInstruction(KTXPathNode* node) override;
  KTXPathNode* CurrentInstruction() override;
  KTEvaluationRecord& LastEvaluation(KTEvaluationRecord& out) override;
  const KTFrameStack* FrameStack() override { return &frames_; }

  // ---- Documents, loaded by the subclass ----
  // The document at an absolute URL, loaded once per URL; null (after the
  // subclass has reported why) when it cannot be loaded.
  virtual KTXNode* LoadDocument(const char16_t* url) = 0;
  // Makes the next LoadDocument of the URL load the document afresh, leaving
  // the tree loaded before to its holders; false when the processor cannot
  // (its documents are then never changed after they are loaded).
  virtual bool ForgetDocument(const char16_t* url) { return false; }
  // A new schema model for a document about to be wrapped.
  virtual std::unique_ptr<KTSchemaServices> NewSchemaModel() = 0;
  // The unparsed entities of the document of `root` by name, each with the
  // absolute URI of its system identifier, resolved against the resource
  // that declares it (XML 1.0 §4.2.2). Here: those of the internal subset,
  // resolved against the document's URI; a subclass that loads documents
  // reads the external subset too.
  virtual void CollectUnparsedEntities(const KTXPathNode* root, std::unordered_map<KTString, KTString>& entities);
  // The system identifier of an unparsed entity from its definition as
  // written ('SYSTEM "uri" NDATA n' or 'PUBLIC "id" "uri" NDATA n'); false
  // for a parsed entity.
  static bool UnparsedSystemId(std::u16string_view definition, KTString& systemId);
  // `systemId` made absolute against the URI `base` (unchanged when it is
  // absolute already or there is no base).
  static KTString ResolveSystemId(const KTString& systemId, const KTString* base);

  // ---- Included and imported stylesheets ----
  // The XPath view of the document at `href` (resolved against `baseUri`
  // when it is relative), stripped by the stylesheet walk when
  // `stylesheetWalk` is set, else by the document walk. One view per URL,
  // kept until the next Prepare (the compiled records, key definitions and
  // decimal formats of a stylesheet refer to its nodes); null when the
  // document cannot be loaded (the subclass has said why). KTXSLTError 7
  // when a loaded document cannot be wrapped.
  KTXPathNode* GetDocument(const KTString* baseUri, const KTString& href, bool stylesheetWalk);
  // The xsl:strip-space and xsl:preserve-space declarations of the whole
  // stylesheet, its imports and includes, with their import precedence.
  // Read by Prepare before anything sees the source document, so that
  // every source document is stripped once, when it is first loaded.
  const KTSpaceRules& SpaceRules() const { return spaceRules_; }
  // An absolute POSIX path without "." and ".." segments and empty segments
  // ("/a/./b/../c" and "/a//c" are "/a/c"), so that one file has one name
  // in the document caches; any other text is returned as it is.
  static KTString WithoutDotSegments(const KTString& path);
  // The URL GetDocument gives an href found in a module of URL baseUri (the
  // key of its module cache and the base of the module's own hrefs).
  static KTString ModuleUrl(const KTString* baseUri, const KTString& href);
  // Throws error 42, naming the document, when its schema model says that
  // some of its entity references could not be expanded.
  static void ThrowIfExpansionStopped(const KTSchemaServices& model, const KTString& url);
  // Replaces every xsl:include child of `element` by the top-level elements
  // of the included stylesheet (its own includes first); xsl:import
  // elements of included stylesheets move to `topStylesheet`, after its own
  // imports. The first include of a module moves its nodes; later ones copy
  // them. Nodes placed under `topStylesheet` are compiled there.
  // KTXSLTError 49 (xsl:import after another element), 23 (no href), 44
  // (not loadable, at the href) and 45 (a stylesheet that is already being
  // included or imported).
  void ResolveIncludes(KTXPathNode* element, KTXPathNode* topStylesheet);
  // True the first time a module's document is asked for by an include or
  // an import: its own top-level nodes have not been placed anywhere yet,
  // so an include may move them instead of copying them.
  bool ClaimModule(const KTXPathNode* root) { return claimedModules_.insert(root).second; }
  // Reads the space declarations of the stylesheet whose document is
  // `stylesheetRoot` into SpaceRules(), loading its imports and includes
  // through GetDocument. A module that cannot be loaded is passed over here:
  // the run reports it where its xsl:import or xsl:include stands.
  void CollectSpaceRules(KTXPathNode* stylesheetRoot);
  // The stylesheet element of a stylesheet document: the first xsl:stylesheet
  // or xsl:transform child of the root, else its first child after leading
  // attribute, namespace, processing-instruction and comment nodes; the root
  // itself when it has no other child.
  KTXPathNode* FindStylesheetElement(KTXPathNode* root) const;
  // Refuses a stylesheet document whose document element is neither an
  // xsl:stylesheet or xsl:transform element in the XSLT namespace nor a
  // literal result element with an xsl:version attribute (XSLT 1.0 §2.2,
  // §2.3): KTXSLTError 38 at that element, or at the root without one.
  void CheckStylesheetDocument(KTXPathNode* root) const;
  // Gives a module whose document element is a literal result element with
  // xsl:version the shape XSLT 1.0 §2.3 says it stands for: an
  // xsl:stylesheet element of that version holding one template rule for
  // "/" whose content is the literal result element.
  void WrapSimplifiedStylesheet(KTXPathNode* root);
  // The documents of the stylesheets being run or included (the stylesheet
  // executor pushes its document's root at its start and pops it when it
  // finishes); emptied by Start.
  std::vector<KTXPathNode*>& IncludeStack() { return includeStack_; }
  // The stylesheet element whose own child a top-level element is: that of
  // the document it was written in, also for a node an xsl:include placed
  // in another stylesheet.
  KTXPathNode* OwningStylesheetElement(KTXPathNode* topLevelElement) const;
  // The URIs of a stylesheet element's exclude-result-prefixes and
  // extension-element-prefixes, worked out once per stylesheet (until the
  // next Prepare).
  struct StylesheetNamespaces {
    std::shared_ptr<const std::set<KTString>> excluded;
    std::shared_ptr<const std::set<KTString>> extension;
  };
  std::unordered_map<const KTXPathNode*, StylesheetNamespaces>& NamespacesByStylesheet() {
    return namespacesByStylesheet_;
  }
  // The sets found for a template element at its first start, so that later
  // starts need not walk to its stylesheet again (emptied with the sets, and
  // by Start).
  std::unordered_map<const KTXPathNode*, const StylesheetNamespaces*>& NamespacesByTemplate() {
    return namespacesByTemplate_;
  }
  // The sets found for a template element (null when none yet), through a
  // memo of the last element asked for: a run starts one template after
  // another, often the same one.
  const StylesheetNamespaces* FindTemplateNamespaces(const KTXPathNode* element) {
    if (element == memoTemplate_) return memoTemplateSets_;
    auto found = namespacesByTemplate_.find(element);
    if (found == namespacesByTemplate_.end()) return nullptr;
    memoTemplate_ = element;
    memoTemplateSets_ = found->second;
    return memoTemplateSets_;
  }
  // How many stylesheet documents may include or import one another in a
  // chain: includes resolve by recursion and each is checked against the
  // whole stack, so a longer chain is refused as a document that cannot be
  // included or imported.
  static constexpr size_t kMaxIncludeDepth = 1000;
  // How many nodes the includes of one stylesheet may copy in all: a file
  // included twice by a file included twice ... grows geometrically, so a
  // larger total is refused as a document that cannot be included.
  static constexpr size_t kMaxIncludedNodes = size_t{1} << 22;
  // True when the document of `root` (the same tree, or one loaded from the
  // same URI) is on the include stack.
  bool IsBeingIncluded(const KTXPathNode* root) const;
  // The root of the stylesheet document a stylesheet node comes from (what
  // document('') gives): the root of its tree, or, for a node an include
  // placed, the root of the document it came from (filled again first when
  // its nodes were moved out).
  KTXPathNode* StylesheetRootOf(KTXPathNode* node) const;
  // An included module whose top-level nodes an include moved out of its
  // document (instead of copying them): its stylesheet element keeps its
  // leading attributes and namespace nodes; the nodes are listed in their
  // order with what they showed there.
  struct MovedModule {
    struct Entry {
      KTXPathNode* node;
      // False for a node the module's own includes had placed there.
      bool own;
      KTPrefixMapRef elementMap;  // the maps the node showed in the module
      KTPrefixMapRef attributeMap;
    };
    KTXPathNode* element;
    KTPrefixMapRef elementMap;  // the element's maps when they were moved
    KTPrefixMapRef attributeMap;
    std::vector<Entry> entries;
  };
  // Records the nodes just taken out of a module's stylesheet element.
  void RecordMovedModule(KTXPathNode* root, MovedModule moved) { movedModules_[root] = std::move(moved); }
  void ForgetMovedModule(const KTXPathNode* root) { movedModules_.erase(root); }

  // The expression object of the run (made by Start).
  KTXSLTXPathExpression* Expression() const { return expression_.get(); }

  // ---- Frame stack ----
  KTExecFrame* TopFrame() const { return frames_.empty() ? nullptr : frames_.back().get(); }
  void PushFrame(std::unique_ptr<KTExecFrame> frame);
  // Moves the top frame to the finished frames, which the end of the current
  // Step deletes; the caller may use it until then. Null on an empty stack.
  KTExecFrame* PopFrame();
  // Frames hosted in place (HostFrame) count as if they were on the stack.
  int FrameDepth() const { return static_cast<int>(frames_.size() + hosted_.size()); }
  // `host`, the top frame, runs the content of `child` itself, in place of
  // the frame `child` would have above it (or above the frame of the
  // previous call's child, for the same host): until the content is done
  // (EndHostedContent) or `host` is popped, that frame counts in
  // FrameDepth, and an error that passes Step meanwhile puts it back (as
  // started, with `child` as its own node), as does a terminating
  // xsl:message, so that the stack shows what it would have shown.
  // `resumeAfter`, when given, is the instruction of the host's own
  // sequence after which it goes on once the content is done; `closes`
  // is the number of hosted frames that end then, this one included.
  void HostFrame(KTExecFrame* host, KTXPathNode* child, KTXPathNode* resumeAfter = nullptr, int closes = 0) {
    hosted_.push_back({host, child, resumeAfter, closes});
  }
  // The content run by `host` in place of the innermost frame it hosts has
  // run: when that frame was hosted with an instruction to resume after,
  // the frames it closes end and the instruction is returned; else null.
  KTXPathNode* EndHostedContent(const KTExecFrame* host) {
    if (hosted_.empty() || hosted_.back().host != host || !hosted_.back().resumeAfter) return nullptr;
    KTXPathNode* after = hosted_.back().resumeAfter;
    hosted_.resize(hosted_.size() - static_cast<size_t>(hosted_.back().closes));
    return after;
  }
  // The number of template rules and named templates being run (frames that
  // run an xsl:template, the built-in rules' included): the depth that
  // -xslstack limits.
  int TemplateDepth() const { return templateDepth_; }
  // Called once by the template executor of the top frame.
  void EnterTemplateFrame() { ++templateDepth_; }
  // The depths within which the run's check before each step is known to
  // pass and to change nothing (-1: none are known, as when the processor
  // is stepped by hand). Set by the run loop for the run.
  void SetQuietDepths(int frames, int templates) {
    quietFrames_ = frames;
    quietTemplates_ = templates;
  }
  // Whether steps run with `frames` more frames and `templates` more
  // templates than now would stay within those depths: their work may
  // then be done without the steps.
  bool WithinQuietDepths(int frames, int templates) const {
    return FrameDepth() + frames <= quietFrames_ && templateDepth_ + templates <= quietTemplates_;
  }
  // Keeps a tree made during the run until the next Start.
  void RegisterTree(std::unique_ptr<KTXPathNode> root);

  // The root of the result tree: the first frame's while the run goes on,
  // the processor's own once the last frame has been popped; null before a
  // run.
  KTXPathNode* ResultRoot() const;

  // ---- Output ----
  // The settings of the last Serialize (the method chosen, the encoding);
  // the front end reads the output encoding here.
  KTOutputSettings& GetOutputSettings() { return serializer_.GetOutputSettings(); }
  // The settings the xsl:output declarations fill during the run.
  KTOutputSettings& OutputSettings() { return outputSettings_; }
  // The front end sets the serialiser's newline and default encoding.
  KTResultSerializer& Serializer() { return serializer_; }

  // ---- Command-line parameters ----
  // "name=expression": the text is split at the first '=', neither part
  // trimmed; the first parameter of a name wins. Without '=' throws
  // KTXSLTError code 6 with no node.
  bool AddParameter(const char16_t* text);
  const std::map<KTString, KTString>& Parameters() const { return parameters_; }

  // ---- Expression evaluation ----
  // Evaluates the compiled expression as `request` says (see
  // KTEvaluationRequest) into `result`. An expression compiled with
  // restrictions evaluates a pattern. Throws KTXSLTError: the compile error
  // a forwards-compatible text kept, code 1 with the XPath error kind and
  // function index when the evaluation fails. Returns true.
  bool CompileExpression(const KTCompiledExpression& compiled, const KTEvaluationRequest& request,
                         KTXPathValue* result);
  // The string value of "." or of one child or attribute step ("name",
  // "@name", "text()", "*", "node()") at the context position, as
  // CompileExpression and string() would give it, without its node-set: the
  // first node the step selects. False, having changed nothing, for any
  // other expression or context; the caller then evaluates it in full.
  // The same for name() and normalize-space() of the context node.
  bool StringOfSimpleExpression(const KTCompiledExpression& compiled, const KTXPathValue& contextValue, int position,
                                KTString& out) {
    if (compiled.shape == KTCompiledExpression::kShapeSelf || compiled.shape == KTCompiledExpression::kShapeSteps)
      return StringOfSimpleShape(compiled, contextValue, position, out);
    return compiled.contextFunction != KTSimpleSelect::ContextFunction::kNone &&
           StringOfContextFunction(compiled, contextValue, position, out);
  }
  // Compiles a text of the stylesheet when the stylesheet is compiled: a
  // syntax error anywhere is reported before the run (code 6, 46 for a
  // refused variable reference), at `stylesheetNode`. Equal texts of equal
  // restrictions share one compiled expression, which the processor owns.
  // With `deferErrors` (a forwards-compatible part of the stylesheet) the
  // error is kept in the result for its evaluation to throw.
  const KTCompiledExpression* PrecompileExpression(KTXPathNode* stylesheetNode, const KTString& text,
                                                   int restrictions, bool deferErrors = false);
  // The same for a pattern, which must also keep to the pattern grammar
  // (XSLT 1.0 §5.2): error 6 at the first part outside it, or error 1 with
  // XPath kind 12 for an axis other than child or attribute. A template
  // rule's pattern is only checked (its alternatives are compiled apart):
  // null then.
  // With `check`, a pattern that compiles is also read by the checks of
  // function calls and prefixes.
  const KTCompiledExpression* PrecompilePattern(KTXPathNode* stylesheetNode, const KTString& text,
                                                int restrictions, bool deferErrors = false,
                                                KTStaticCheck* check = nullptr);
  // Cuts an attribute value template into its runs and compiles each
  // expression in it. A value without braces shares one plain template,
  // which stands for the attribute's own value.
  const KTCompiledValueTemplate* PrecompileValueTemplate(KTXPathNode* attribute, bool deferErrors = false);
  // The same as CompileExpression in a private expression object, which
  // loads no documents.
  bool EvaluateExpression(const KTCompiledExpression& compiled, const KTEvaluationRequest& request,
                          KTXPathValue* result);
  // The value of one command-line parameter's compiled text in the context
  // of the top frame; unprefixed names in it are in no namespace, whatever
  // default namespace the stylesheet declares.
  KTXPathValue* EvaluateParameterValue(KTXPathValue* result, const KTCompiledExpression& compiled);

  // ---- Stylesheet nodes ----
  // The compiler's id of a compiled node, else the recogniser's.
  int ElementIdOf(const KTXPathNode* node) const;
  // ElementIdOf and FindDeclaration in one lookup of the compiler's index.
  int ElementIdOf(const KTXPathNode* node, const KTDeclRecord** record) const;
  int AttributeIdOf(const KTXPathNode* node) const;
  // The compiled declaration of a stylesheet node, null when it has none.
  const KTDeclRecord* FindDeclaration(const KTXPathNode* node) const;
  const KTXSLTElementRecognizer& ElementRecognizer() const;
  KTStylesheetCompiler& Compiler() { return *compiler_; }

  // ---- State shared with the executors ----
  KTExecutorFactory& Executors() { return executors_; }
  KTXPathTreeContext* TreeContext() const { return treeContext_; }
  KTXPathNode* StylesheetRoot() const { return stylesheetRoot_; }
  KTXPathNode* SourceRoot() const { return sourceRoot_; }
  int ImportPrecedence() const { return importPrecedence_; }
  void AdvanceImportPrecedence() { ++importPrecedence_; }
  // A module's import precedence is its place in the post-order walk of the
  // import tree (XSLT 1.0 §2.6.2), so the modules it imports, directly or
  // not, hold the precedences from its subtree's start up to its own minus
  // one: the rules xsl:apply-imports may choose from (§5.6).
  void SetImportSubtreeStart(int precedence, int start) {
    if (precedence < 0) return;
    if (static_cast<size_t>(precedence) >= importSubtreeStarts_.size())
      importSubtreeStarts_.resize(static_cast<size_t>(precedence) + 1, 0);
    importSubtreeStarts_[static_cast<size_t>(precedence)] = start;
  }
  int ImportSubtreeStart(int precedence) const {
    return precedence >= 0 && static_cast<size_t>(precedence) < importSubtreeStarts_.size()
               ? importSubtreeStarts_[static_cast<size_t>(precedence)]
               : precedence;
  }
  int NextGeneratedPrefixNumber() { return ++generatedPrefixCounter_; }
  // The prefixes of a namespace scope in the order its bindings are declared
  // on a copy (ktresulttree.cpp), by the prefix map's address; the entry
  // holds the map, so that the address stays its own. Made once per map and
  // run.
  struct DeclarationOrder {
    KTPrefixMapRef map;
    std::vector<KTString> prefixes;
  };
  std::unordered_map<const KTPrefixMap*, DeclarationOrder>& DeclarationOrders() { return declarationOrders_; }
  std::vector<std::unique_ptr<KTString>>& OwnedStrings() { return ownedStrings_; }
  NodeMap& VariableOwners() { return variableOwners_; }
  NodeMap& ParameterOwners() { return parameterOwners_; }
  // Inserts key -> value unless the key is present.
  void AddNamespaceAlias(const char16_t* key, const char16_t* value);
  const std::map<KTString, KTString>& NamespaceAliases() const { return namespaceAliases_; }
  // The same aliases by namespace URI, as literal result elements are
  // renamed (XSLT 1.0 §7.1.1): the stylesheet prefix's URI (empty for no
  // namespace) -> the result prefix and its URI, both resolved where the
  // xsl:namespace-alias element stands. Declarations run in increasing import
  // precedence, so a later alias of a URI replaces an earlier one: the one of
  // highest precedence, the last among equals, is used.
  struct NamespaceAliasTarget {
    KTString prefix;
    const KTString* uri = nullptr;
  };
  void AddNamespaceAliasUri(const KTString& stylesheetUri, const KTString& resultPrefix, const KTString* resultUri) {
    namespaceAliasUris_.insert_or_assign(stylesheetUri, NamespaceAliasTarget{resultPrefix, resultUri});
  }
  const std::map<KTString, NamespaceAliasTarget>& NamespaceAliasUris() const { return namespaceAliasUris_; }
  // Attribute sets by expanded name: every xsl:attribute-set declaration
  // registered under the name with the import precedence it runs at, and
  // what each use-attribute-sets attribute runs (KTAttributeSets).
  void AddAttributeSet(const KTString& expandedName, KTXPathNode* declaration) {
    attributeSets_.Add(expandedName, declaration, importPrecedence_);
  }
  KTAttributeSets& AttributeSets() { return attributeSets_; }

  // Top-level xsl:variable and xsl:param declarations under evaluation (the
  // frames then step with recovery) and those already evaluated.
  bool TopLevelVariableFlag() const { return topLevelVariable_; }
  void SetTopLevelVariableFlag(bool value) { topLevelVariable_ = value; }
  std::vector<KTXPathNode*>& InEvaluation() { return inEvaluation_; }
  // A set: a stylesheet with many top-level declarations asks once for each.
  std::unordered_set<const KTXPathNode*>& Evaluated() { return evaluated_; }
  // Top-level variables and parameters are gathered while the modules are
  // processed and evaluated once all are: a binding's value then sees the
  // bindings of highest import precedence (XSLT 1.0 §2.6.2, §11.4), such as
  // a parameter that an importing stylesheet overrides, whichever module
  // refers to it. `RegisterGlobal` records a declaration; the last one
  // recorded for a name wins, as modules are processed in rising precedence
  // (a module imported again is recorded again, at its later place).
  bool DeferringGlobals() const { return deferringGlobals_; }
  void SetDeferringGlobals(bool value) { deferringGlobals_ = value; }
  // The declaration now winning `name` (null: none).
  KTXPathNode* GlobalWinner(const KTString& name) const {
    auto found = globalWinners_.find(name);
    return found == globalWinners_.end() ? nullptr : found->second;
  }
  void RegisterGlobal(const KTString& name, KTXPathNode* declaration) {
    globalWinners_.insert_or_assign(name, declaration);
    globalOrder_.push_back(declaration);
  }
  // Every declaration recorded, in the order recorded (with repeats).
  const std::vector<KTXPathNode*>& GlobalOrder() const { return globalOrder_; }
  // The stylesheet elements whose module has started in this run; a module
  // found here is being imported again.
  std::unordered_set<const KTXPathNode*>& StartedModules() { return startedModules_; }
  // Declarations whose evaluation a forward reference interrupted, with the
  // frame that evaluates each again: they stay on the in-evaluation stack,
  // so that a declaration met again before its restart is a cycle.
  std::unordered_map<const KTXPathNode*, const KTExecFrame*>& RestartFrames() { return restartFrames_; }
  // Per stylesheet element, its first top-level variable or parameter of
  // each name; filled by the forward-reference recovery, emptied by Start.
  using DeclarationsByName = std::unordered_map<KTString, KTXPathNode*>;
  std::unordered_map<const KTXPathNode*, DeclarationsByName>& TopLevelDeclarations() { return topLevelDeclarations_; }
  const KTString& UnknownVariableName() const { return unknownVariableName_; }
  void SetUnknownVariableName(const KTString& name) { unknownVariableName_ = name; }

  // ---- Template rules ----
  using TemplateRuleList = std::vector<std::unique_ptr<KTCompiledTemplate>>;
  // Registers one rule per alternative of the template's match pattern, at
  // precedence -1 (built-in rules) or the current import precedence. Throws
  // KTXSLTError 16 (mode without match), 31 (a pattern ending in '|'), 11
  // (a name used twice in one stylesheet document) and the rule's own errors.
  // The alternatives of a match pattern: line ends become spaces, the
  // text is trimmed and cut at every '|' outside quotes, brackets and
  // parentheses; a trailing '|' is error 31 at `matchNode`.
  static std::vector<KTString> MatchAlternatives(const KTString& match, KTXPathNode* matchNode);
  bool RegisterTemplate(KTXPathNode* templateElement, int precedence);
  // Registers every xsl:template child of `parent`.
  bool RegisterTemplatesOf(KTXPathNode* parent, int precedence);
  // Appends a rule; KTXSLTError 11 for a second template of the same name in
  // one stylesheet document (alternatives of one template share its name).
  bool AddTemplateRule(std::unique_ptr<KTCompiledTemplate> rule);
  // Orders the rules: higher import precedence, higher priority, later
  // declaration first. Lookups take the first rule that matches.
  void SortTemplateRules();
  const TemplateRuleList& TemplateRules() const { return templateRules_; }
  // The rule index by mode and node name or kind, built after the last
  // change of the rule list.
  KTTemplateRuleIndex& TemplateIndex();
  // The stylesheet of built-in rules (made by SetTreeContext) and their
  // registration, at every Start, with precedence -1.
  void BuildBuiltinRules();
  bool RegisterBuiltinRules();
  KTXPathNode* BuiltinRulesRoot() const { return builtinRules_.get(); }
  // The node-set the pattern selects in the document of `node`: the
  // pattern is evaluated with the root and every node but attributes and
  // namespace nodes as context nodes at once.
  bool MatchesPattern(KTXPathValue* out, const KTCompiledExpression& pattern, KTXPathNode* node,
                      KTXPathNode* stylesheetNode, bool privateEvaluation);
  // Where a pattern is evaluated: the context nodes (in document order) of
  // the document of `root`, all at once; the stylesheet node that resolves
  // its prefixes and that its errors point at; whether in the private
  // expression object; the variables only the patterns of xsl:number see.
  struct PatternRequest {
    KTXPathNode* root = nullptr;
    const KTXPathValue* contexts = nullptr;
    KTXPathNode* stylesheetNode = nullptr;
    bool privateEvaluation = false;
    const KTVariableSource* variables = nullptr;
  };
  // The node-set the pattern selects as `request` says.
  bool EvaluatePattern(KTXPathValue* out, const KTCompiledExpression& pattern, const PatternRequest& request);
  // The expanded form of a mode QName in `namespaces`: "uri:local" for a
  // bound prefix, the local name for a prefix bound to no URI, the text as
  // written otherwise; an unprefixed mode never takes the default namespace.
  static KTString ExpandMode(const KTString& mode, const KTPrefixMap* namespaces);
  // One stable string per mode text (frames keep the mode they run in).
  const KTString* InternMode(const KTString& mode) {
    // The default mode is asked for at every node apply-templates visits.
    if (mode.IsEmpty()) {
      if (!defaultMode_) defaultMode_ = &*modes_.insert(mode).first;
      return defaultMode_;
    }
    return &*modes_.insert(mode).first;
  }

  // ---- Keys and decimal formats (filled while the stylesheet compiles) ----
  // Adds the definition of a compiled xsl:key element to the table of its
  // expanded name (made on first use) and links the record to the table.
  // An element already added (compiled again) adds nothing.
  KTKeyTable* AddKeyDefinition(KTDeclKey* record, KTXPathNode* keyElement);
  // The table of an expanded key name ("uri:local", or the local name);
  // null when the stylesheet has no such key.
  KTKeyTable* FindKeyTable(const KTString& expandedName) const;
  // Registers a decimal format under its name. An equal redeclaration is
  // accepted (and dropped); the first unnamed one replaces the built-in
  // default. False when a different format of that name exists.
  bool RegisterDecimalFormat(std::unique_ptr<KTDecimalFormat> format);
  // The format of an expanded name (empty: the default); null when none.
  const KTDecimalFormat* FindDecimalFormat(const KTString& expandedName) const;
  // Key definitions are evaluated in an expression object of their own,
  // since an index is built from inside a key() call of any evaluation.
  // The nodes the pattern selects in the document of `root`, evaluated
  // from the nodes of `contexts` (null: every node PatternContexts lists):
  bool MatchKeyPattern(KTXPathValue* out, const KTCompiledExpression& pattern, KTXPathNode* root,
                       KTXPathNode* keyElement, const KTXPathValue* contexts = nullptr);
  // The use expression's value for the node at `position` of `nodes`:
  bool EvaluateKeyUse(KTXPathValue* out, const KTCompiledExpression& use, KTXPathNode* keyElement,
                      const KTXPathValue& nodes, int position);

  // xsl:number's sets of matching nodes, by pattern (or default test) and
  // document; emptied by Start.
  std::unordered_map<std::string, std::unique_ptr<KTNumberingSet>>& NumberingSets() { return numberingSets_; }
  // The root and every node but attributes and namespace nodes of the
  // document of `root`, in document order (kept until the next Start).
  const KTXPathValue& PatternContexts(KTXPathNode* root);

  // ---- KTXSLTFunctionServices: key(), format-number(), unparsed-entity-uri() ----
  bool LookupKey(const KTString& keyName, const KTXPathValue& value, const KTXPathNodeItem& node,
                 KTXPathValue& result) override;
  int FormatNumber(double number, const KTString& pattern, const KTString& formatName, KTString& out) override;
  const KTString* UnparsedEntityUri(const KTXPathNode* node, const KTString& name) override;
  // The source and the documents loaded for document(): none changes while
  // the processor holds it.
  KTXPathElementIndex* ElementIndexOf(KTXPathNode* root) override;

  // xsl:message: the text of the last message, and of a terminating one.
  // Each message is also handed to the message sink at once, so that the
  // program can show it while the run goes on; `instruction` is the
  // xsl:message element, kept for the report of a terminating one.
  using MessageSink = std::function<void(const KTString& text, bool terminate)>;
  void SetMessageSink(MessageSink sink) { messageSink_ = std::move(sink); }
  void SetMessage(const char16_t* text, bool terminate, KTXPathNode* instruction = nullptr);
  // The xsl:message element that ended the run; null when none did.
  KTXPathNode* TerminatingInstruction() const { return terminatingInstruction_; }
  const KTString& Message() const { return message_; }
  const KTString& TerminatingMessage() const { return terminatingMessage_; }
  bool Terminated() const { return terminate_; }

  // Warnings of the run: an instruction that XSLT 1.0 lets the processor
  // ignore was ignored. The sink receives the stylesheet node concerned and
  // the text, and says where the node stands; without one the text goes to
  // standard error after "Warning: ". Each node warns once per run, so an
  // instruction in a loop does not repeat it.
  using WarningSink = std::function<void(const KTXPathNode* node, const KTString& text)>;
  void SetWarningSink(WarningSink sink) { warningSink_ = std::move(sink); }
  void Warn(const KTXPathNode* node, const KTString& text);

  using SimpleTerm = KTSimpleTerm;

 private:
  void DeleteFrames();
  // Deletes the frames popped during a step, once the step is over (their
  // executors ran until then); kept out of the step itself, which then
  // needs few registers.
  void DropFinishedFrames();
  // Puts the frames hosted in place back on the stack, each above its
  // host, when an error or a terminating xsl:message leaves the stack as it
  // stands.
  void RestoreHostedFrames();
  // DeleteFrames, and what refers to the frames or to the templates they
  // ran goes too: the include stack, the namespace sets found per template
  // and the last template looked up.
  void ForgetFrames();
  // CompileExpression in `expression`, with `namespaces` bound for the
  // evaluation (null: none).
  bool Evaluate(KTXSLTXPathExpression& expression, const KTPrefixMap* namespaces, const KTCompiledExpression& compiled,
                const KTEvaluationRequest& request, KTXPathValue* result);
  // The error of an expression that did not compile or evaluate, with the
  // expression's error kind, what it names (a function, a variable) and the
  // place in its text; `compiling` tells that the parse failed.
  // `text` is the expression's own (the expression object may hold another
  // text when it only runs a compiled tree).
  static KTXSLTError ExpressionError(int code, KTXPathNode* node, const KTXPathExpression& expression, bool compiling,
                                     const KTString& text);


  std::vector<std::unique_ptr<KTString>> ownedStrings_;
  std::map<KTString, KTString> namespaceAliases_;
  std::map<KTString, NamespaceAliasTarget> namespaceAliasUris_;
  KTAttributeSets attributeSets_;
  std::unique_ptr<KTXSLTXPathExpression> expression_;
  std::unique_ptr<KTXSLTXPathExpression> privateExpression_;
  std::unique_ptr<KTXSLTXPathExpression> keyExpression_;
  std::unordered_map<KTString, std::unique_ptr<KTKeyTable>> keyTables_;
  std::unordered_set<const KTXPathNode*> keyElements_;
  // By document root; null for a loaded root that gets no index. Emptied
  // at every Prepare and Start, when the documents may go.
  std::unordered_map<const KTXPathNode*, std::unique_ptr<KTXPathElementIndex>> elementIndexes_;
  std::unordered_map<KTString, std::unique_ptr<KTDecimalFormat>> decimalFormats_;
  bool defaultFormatDeclared_ = false;
  std::unordered_map<std::string, std::unique_ptr<KTNumberingSet>> numberingSets_;
  // The unparsed entities of each document root that unparsed-entity-uri()
  // asked about (name to URI), gathered on the first call; emptied by Start.
  std::unordered_map<const KTXPathNode*, std::unordered_map<KTString, KTString>> unparsedEntities_;
  // Every compiled expression of the stylesheet, owned here; records and
  // rules point at them. While compiling, equal texts of equal restrictions
  // share one (a map per restrictions value, 0 to 4); the run never looks a
  // text up.
  std::vector<std::unique_ptr<KTCompiledExpression>> compiled_;
  static constexpr int kRestrictionKinds = 5;
  // Texts are told apart by length and memcmp.
  struct TextEqual {
    bool operator()(const KTString& a, const KTString& b) const noexcept {
      const std::u16string_view x = a.View();
      const std::u16string_view y = b.View();
      return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(char16_t)) == 0;
    }
  };
  // Not declared noexcept, so that the map keeps each text's hash in its
  // entry: with a hash that cannot throw, libstdc++ keeps none and hashes
  // every text again at each rehash, and each text of a bucket at each
  // look-up, while a compile looks texts up by the thousand.
  struct TextHash {
    size_t operator()(const KTString& text) const { return std::hash<KTString>()(text); }
  };
  template <typename T>
  using TextMap = std::unordered_map<KTString, T, TextHash, TextEqual>;
  std::array<TextMap<const KTCompiledExpression*>, kRestrictionKinds> compiledByText_;
  std::vector<std::unique_ptr<KTCompiledValueTemplate>> valueTemplates_;
  // Equal template texts share one compiled template as well (an imported
  // module is compiled again at every run); one that keeps an error is its
  // node's own.
  TextMap<const KTCompiledValueTemplate*> valueTemplatesByText_;
  // The command-line parameters' texts, compiled by the first Start after
  // they change (in the stylesheet element's namespaces, the default one
  // left out).
  std::vector<std::unique_ptr<KTCompiledExpression>> parameterExpressions_;
  bool parametersCompiled_ = false;
  // The value of a key() call of the shape above, as the tree would give
  // it; false when the tree must run (no key of that name, the whole node
  // list as context, a fragment where none is allowed).
  bool EvaluateKeyPath(const KTCompiledExpression& entry, const KTXPathValue& contextValue, int position,
                       bool allowFragment, KTXPathValue* result);
  // Indexes the document of `node` for the key unless it is indexed.
  void IndexDocumentOf(KTKeyTable* table, KTXPathNode* node);
  // The value of an expression of a simple shape (kept beside its tree), as
  // the tree would give it: the same nodes, positions and order. False when
  // the tree must run (the whole node list as context, an unbound
  // variable, a fragment where none is allowed).
  bool EvaluateSimple(const KTCompiledExpression& entry, const KTXPathValue& contextValue, int position,
                      const KTVariableSource* variables, bool allowFragment, KTXPathValue* result) const;
  // StringOfSimpleExpression for an expression of shape "." or steps.
  bool StringOfSimpleShape(const KTCompiledExpression& compiled, const KTXPathValue& contextValue, int position,
                           KTString& out);
  // StringOfSimpleExpression for a function of the context node.
  bool StringOfContextFunction(const KTCompiledExpression& compiled, const KTXPathValue& contextValue, int position,
                               KTString& out);
  // Compiles the text in `expression` into a new compiled expression; error
  // 6 (46 for a refused variable) at `stylesheetNode` when it does not
  // compile.
  std::unique_ptr<KTCompiledExpression> CompileText(KTXSLTXPathExpression& expression, KTXPathNode* stylesheetNode,
                                                    const KTPrefixMap* namespaces, const KTString& text,
                                                    int restrictions);
  // Compiles the text in `expression`, which keeps the tree; the same
  // errors as CompileText.
  const KTXPathAstNode* CompileChecked(KTXSLTXPathExpression& expression, KTXPathNode* stylesheetNode,
                                       const KTPrefixMap* namespaces, const KTString& text, int restrictions);
  // The expression of the last evaluation (LastEvaluation reports its text).
  const KTCompiledExpression* lastCompiled_ = nullptr;
  KTEvaluationRecord lastEvaluation_;
  KTBindingMap globalVariables_;
  KTBindingMap globalParameters_;
  std::map<KTString, KTString> parameters_;
  NodeMap variableOwners_;
  NodeMap parameterOwners_;
  KTFrameStack frames_;
  // The frames hosted in place (HostFrame), innermost last.
  struct HostedFrame {
    KTExecFrame* host;
    KTXPathNode* child;
    KTXPathNode* resumeAfter;
    int closes;
  };
  std::vector<HostedFrame> hosted_;
  int templateDepth_ = 0;  // frames of frames_ that run a template
  int quietFrames_ = -1;
  int quietTemplates_ = -1;
  KTFrameStack finished_;
  std::vector<std::unique_ptr<KTXPathNode>> registeredTrees_;
  std::unique_ptr<KTXPathNode> resultRoot_;
  int importPrecedence_ = 0;
  std::vector<int> importSubtreeStarts_;  // by a module's precedence
  KTString terminatingMessage_;
  bool terminate_ = false;
  KTString message_;
  KTXPathNode* terminatingInstruction_ = nullptr;
  MessageSink messageSink_;
  WarningSink warningSink_;
  std::unordered_set<const KTXPathNode*> warnedNodes_;
  bool topLevelVariable_ = false;
  KTXPathTreeContext* treeContext_ = nullptr;
  int generatedPrefixCounter_ = 0;
  std::unordered_map<const KTPrefixMap*, DeclarationOrder> declarationOrders_;
  KTString unknownVariableName_;
  std::vector<KTXPathNode*> inEvaluation_;
  std::unordered_set<const KTXPathNode*> evaluated_;
  bool deferringGlobals_ = true;
  std::unordered_map<KTString, KTXPathNode*> globalWinners_;
  std::vector<KTXPathNode*> globalOrder_;
  std::unordered_set<const KTXPathNode*> startedModules_;
  std::unordered_map<const KTXPathNode*, const KTExecFrame*> restartFrames_;
  std::unordered_map<const KTXPathNode*, DeclarationsByName> topLevelDeclarations_;
  KTXPathNode* stylesheetRoot_ = nullptr;
  KTXPathNode* sourceRoot_ = nullptr;
  KTOutputSettings outputSettings_;
  KTResultSerializer serializer_;
  KTExecutorFactory executors_;
  TemplateRuleList templateRules_;
  std::unique_ptr<KTTemplateRuleIndex> templateIndex_;
  // Expanded template name -> the template elements registered under it.
  std::unordered_map<KTString, std::vector<KTXPathNode*>> namedTemplates_;
  std::unordered_set<KTString> modes_;
  const KTString* defaultMode_ = nullptr;  // the interned empty mode
  std::unique_ptr<KTXNode> builtinDocument_;
  std::unique_ptr<KTXPathNode> builtinRules_;
  // Document root -> the root and every non-attribute node, in document
  // order: the context of pattern evaluation.
  std::unordered_map<const KTXPathNode*, KTXPathValue> patternContexts_;
  std::unique_ptr<KTStylesheetCompiler> compiler_;
  // GetDocument's views by absolute URL (until the next Prepare) and the
  // include stack.
  std::unordered_map<KTString, std::unique_ptr<KTXPathNode>> stylesheetDocuments_;
  KTSpaceRules spaceRules_;
  std::vector<KTXPathNode*> includeStack_;
  // Module documents an include or an import has used, and those whose
  // top-level nodes an include moved away: anything that reads such a
  // module's document afterwards (a second include, an import, document(''))
  // first gets it filled again with copies of the moved nodes
  // (RestoreModule).
  std::unordered_set<const KTXPathNode*> claimedModules_;
  mutable std::unordered_map<const KTXPathNode*, MovedModule> movedModules_;
  void RestoreModule(KTXPathNode* root) const;
  // The module document of a stylesheet node, as StylesheetRootOf, without
  // filling a moved module again.
  KTXPathNode* ModuleRootOf(KTXPathNode* node) const;
  std::unordered_map<const KTXPathNode*, StylesheetNamespaces> namespacesByStylesheet_;
  std::unordered_map<const KTXPathNode*, const StylesheetNamespaces*> namespacesByTemplate_;
  const KTXPathNode* memoTemplate_ = nullptr;  // emptied with namespacesByTemplate_
  const StylesheetNamespaces* memoTemplateSets_ = nullptr;
};

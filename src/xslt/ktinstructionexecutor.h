// KTInstructionExecutor: the base of the objects that carry out one
// stylesheet node in one frame (KTExecFrame). A frame's first step creates
// its executor and calls Start; every later step calls Continue, until a
// Continue pops the frame. Executors push child frames for the nodes they
// want run and are continued when those frames have been popped.
//
// Writing an executor (see docs/ARCHITECTURE.md):
// - Start marks the top frame started (frame->SetStarted()), usually sets its
//   own node (SetOwnNode(NodeToRun())) and either does all its work and pops
//   the frame, or pushes a child frame (new KTExecFrame(frame, result parent),
//   SetNodeToRun, processor->PushFrame) and returns true.
// - Continue is called for every later step; the default pops the frame and
//   names its own node as the new top frame's last finished node.
// - Both return true when the step did its work and report failure only by
//   throwing KTXSLTError.
#pragma once

#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxpathnode.h"
#include "xpath/ktxpathvalue.h"
#include "xslt/ktblockpool.h"
#include "xslt/ktxsltkeywords.h"

class KTDeclRecord;
struct KTCompiledExpression;
struct KTCompiledValueTemplate;
class KTExecFrame;
class KTOutputSettings;
class KTXSLTProcessor;

class KTInstructionExecutor {
 public:
  explicit KTInstructionExecutor(KTXSLTProcessor* processor, int elementId = kXSLTNoElement);
  virtual ~KTInstructionExecutor();
  KTInstructionExecutor(const KTInstructionExecutor&) = delete;
  KTInstructionExecutor& operator=(const KTInstructionExecutor&) = delete;
  // One executor per frame: their memory is recycled like the frames'.
  static void* operator new(std::size_t size) { return KTBlockPool::Allocate(size); }
  static void operator delete(void* block, std::size_t size) noexcept { KTBlockPool::Release(block, size); }

  // First step of the executor in its frame.
  virtual bool Start() = 0;
  // Every later step; the default pops the frame (DefaultContinue).
  virtual bool Continue();
  // True while the executor performs fallback for its element (an unknown
  // instruction or an extension element): only then do its xsl:fallback
  // children instantiate their content (XSLT 1.0 §15).
  virtual bool PerformsFallback() const { return false; }

  // Start when the processor's top frame has not started, else Continue.
  bool ExecuteStep();
  // The same, recovering from a reference to a top-level variable or
  // parameter that has not been evaluated yet: the frames down to the
  // top-level declaration being evaluated are discarded, the referenced
  // declaration is evaluated first and the interrupted one again after it.
  bool ExecuteStepWithRecovery();

  int GetElementId() const { return elementId_; }
  KTXSLTProcessor* GetProcessor() const { return processor_; }
  KTXPathNode* ResultParent() const { return resultParent_; }
  void SetResultParent(KTXPathNode* node) { resultParent_ = node; }
  const KTDeclRecord* Declaration() const { return declaration_; }
  void SetDeclaration(const KTDeclRecord* record) { declaration_ = record; }

  // ---- Shared operations ----
  // The value of a test expression (xsl:if, xsl:when) as a boolean, in the
  // frame's variable scope; a failed evaluation throws KTXSLTError code 1.
  bool EvaluateTest(KTXPathNode* stylesheetNode, const KTXPathValue* nodeList, int position,
                    const KTCompiledExpression& test, KTExecFrame* frame);
  // True when a is b's parent or an ancestor of it; false for a null b.
  static bool IsAncestor(const KTXPathNode* a, const KTXPathNode* b);
  // The expanded name an xsl:variable or xsl:param record declares, or null
  // for any other record.
  static const KTString* DeclaredName(const KTDeclRecord* record);
  // The next sibling that is not a comment, processing instruction or
  // namespace node; null when there is none.
  static KTXPathNode* NextInstructionSibling(const KTXPathNode* node);
  // The index of the first child at or after `from` that is not a comment,
  // processing instruction or namespace node; the child count when none.
  static int FirstInstructionChild(const KTXPathNode* node, int from = 0);
  // The index after `index` of the next child that is not a comment or
  // processing instruction; the child count when none follows.
  static int NextChoiceChild(const KTXPathNode* parent, int index);
  // The interned XSLT and XML namespace URIs of the tree context.
  const KTString* XsltNamespaceUri();
  const KTString* XmlNamespaceUri();
  // Hands the text of an xsl:message (the element `instruction`) to the
  // processor.
  void SetMessage(const char16_t* text, bool terminate, KTXPathNode* instruction = nullptr);

  // ---- Template rule lookup (positions in the processor's rule list) ----
  // The rule for the node in the requested mode (a QName, expanded in the
  // scope of the frame's node; "?" stands for the frame's invoked mode):
  // the first rule of the sorted list whose mode fits and whose pattern
  // matches. KTExecFrame::kNoTemplate when none does. `invokedMode`, when
  // given, receives the interned mode the rule was selected in.
  int FindTemplateRule(const KTXPathNodeItem& item, KTExecFrame* frame, const KTString& mode,
                       const KTString** invokedMode = nullptr);
  // FindTemplateRule in two parts, for a caller that looks up many nodes
  // in one mode: the interned mode the text stands for in the frame, then
  // the rule for each node in that mode (`sameForTextSiblings` as
  // KTTemplateRuleIndex::FindInterned gives it).
  const KTString* ResolveTemplateMode(KTExecFrame* frame, const KTString& mode);
  int FindTemplateRuleInMode(const KTXPathNodeItem& item, const KTString* resolvedMode,
                             bool* sameForTextSiblings = nullptr);
  // The rule xsl:apply-imports instantiates: the first rule after the
  // current template's import precedence whose mode fits and whose pattern
  // matches; kNoTemplate without a current template or such a rule.
  int FindImportedTemplateRule(const KTXPathNodeItem& item, KTExecFrame* frame, const KTString& mode);
  // The named template (expanded name) with the highest import precedence,
  // the first in list order among equals; kNoTemplate when there is none.
  int FindNamedTemplate(const KTString& expandedName);

  // ---- Result-tree building (ktresulttree.cpp) ----
  // Appends a copy of a stylesheet node (literal flag: a literal result
  // element, its attribute or text; without it the node xsl:copy copies, whose
  // name and value stay as they are) to the result parent, with its namespace
  // nodes and, for a literal attribute, its value template evaluated. An
  // element copy becomes the result parent when makeCurrent is set. A copy
  // the placement rules refuse is dropped: the result is then null, else the
  // executor's result parent.
  KTXPathNode* MakeLiteralResultCopy(KTXPathNode* source, bool makeCurrent, KTExecFrame* frame, bool literal);
  // Why an attribute cannot be added to `parent` (not an element, or one
  // with children already), for the warning of an instruction that XSLT 1.0
  // §7.1.3 lets the processor ignore; null when it can.
  static const char16_t* AttributePlacementProblem(const KTXPathNode* parent);
  // Warns, through the processor, that `instruction` ignored the attribute
  // `name` for the reason AttributePlacementProblem gives.
  void WarnAttributeIgnored(const KTXPathNode* instruction, const char16_t* what, std::u16string_view name,
                            const char16_t* why);
  // Appends a result text node to the parent's content. The result tree never
  // holds an empty text node or two adjacent ones (XPath 1.0 §5.7): empty
  // text is dropped, and text after a text node of the same escaping joins
  // it. Returns the node that holds the text, or null when it was empty.
  static KTXPathNode* AppendResultText(KTXPathNode* parent, std::unique_ptr<KTXPathNode> text);
  // Appends a node an executor built (xsl:element, xsl:attribute), declaring
  // the namespace its name needs. With replaceSameName an attribute of the
  // same expanded name already on the result parent is reused (emptied,
  // renamed) in its place. Placement violations throw KTXTreeException::kPlacementViolation.
  // Returns the result parent after the make-current rule.
  KTXPathNode* AppendComputedNode(std::unique_ptr<KTXPathNode> node, bool makeCurrent, bool replaceSameName);
  // The value of an attribute value template: "{{" and "}}" are braces,
  // "{expr}" the string value of the expression (quoted strings inside it may
  // hold braces); quotes outside braces are plain text. A lone brace throws
  // KTXSLTError 47 at the stylesheet node.
  // `compiled` is the attribute's template as the compiler left it in the
  // record (null: the attribute is compiled here).
  // `nodeList` (null: the frame's) is the current node list the
  // expressions see, at the frame's context position.
  KTString& EvaluateAttributeValueTemplate(KTString& result, KTXPathNode* attribute,
                                           const KTCompiledValueTemplate* compiled, KTExecFrame* frame,
                                           const KTXPathValue* nodeList = nullptr);
  // Reads an attribute value template when the stylesheet is compiled: a
  // lone brace throws 47, and every expression in braces is compiled (a
  // syntax error throws as its evaluation would); with `deferErrors` the
  // error is kept in `out` for the evaluation.
  static void CompileAttributeValueTemplate(KTXSLTProcessor* processor, KTXPathNode* attribute, bool deferErrors,
                                            KTCompiledValueTemplate& out);
  // The first child with the local name and namespace URI (null: none).
  static KTXPathNode* FindChildByName(const KTXPathNode* parent, std::u16string_view localName, const KTString* uri);
  // Declares on a copied element every binding of its prefix maps (the
  // scope it was copied with) that its new parent's scope lacks or binds
  // otherwise, and the empty default ("xmlns=\"\"") where the parent has a
  // default the element did not have. The declarations follow `order` (the
  // prefixes of the scope, see DeclarationOrderOf) when one is given.
  static void AddInScopeNamespaceNodes(KTXPathNode* element, const std::vector<KTString>* order = nullptr);
  // The prefixes in scope at an element in the order a copy declares them,
  // as xsltproc does: the element's own declarations in document order, then
  // those of its parent's scope that it does not redeclare, and so on up.
  // Worked out once per prefix map and run (the processor keeps them), so
  // copying n elements costs O(n) and not O(n * depth).
  const std::vector<KTString>& DeclarationOrderOf(const KTXPathNode* element);
  // Drops the namespace declarations of a copied subtree that repeat a
  // binding in scope on output (its place's and those kept above them), as
  // a copied child that declares its parent's prefix again, or xmlns=""
  // where no default namespace is in scope.
  static void DropRepeatedDeclarations(KTXPathNode* top);
  // Makes an attribute's prefix usable on its element: declared when
  // unbound; when the element itself binds it to another URI, replaced by
  // another prefix the scope binds to the URI or by a generated one ("p_1",
  // "p_2", ...; an unprefixed name takes "ns_1", "ns_1_1", ...).
  void FixAttributeNamespace(KTXPathNode* attribute);
  // Declares the prefix an element's name needs when its scope lacks it.
  void FixElementNamespace(KTXPathNode* element);

  // ---- Processor state for the executors ----
  KTOutputSettings& OutputSettings();
  int NextGeneratedPrefixNumber();
  std::vector<std::unique_ptr<KTString>>& NamespaceUriStrings();
  static const KTPrefixMap* NamespaceMapOf(const KTXPathNode* node);
  std::map<KTString, KTXPathNode*>& VariableOwners();
  std::map<KTString, KTXPathNode*>& ParameterOwners();
  void AddNamespaceAlias(const char16_t* key, const char16_t* value);
  static bool IsNCName(const char16_t* text);
  static bool IsQName(const char16_t* text);
  static bool IsNotXmlName(const char16_t* text);

 protected:
  // Pops the top frame; when frames remain, the new top frame's last
  // finished node becomes the popped frame's own node. Returns true.
  bool DefaultContinue();
  KTExecFrame* TopFrame() const;

  KTXSLTProcessor* processor_;
  int elementId_;
  KTXPathNode* resultParent_ = nullptr;
  const KTDeclRecord* declaration_ = nullptr;
  const KTString* xsltNamespace_ = nullptr;
  const KTString* xmlNamespace_ = nullptr;
  bool resultMadeCurrent_ = false;

 private:
  bool RecoverFromForwardReference();
  // MakeLiteralResultCopy's namespace declarations on an element copy
  // (ktresulttree.cpp).
  void DeclareCopiedNamespaces(KTXPathNode* added, KTXPathNode* source, KTExecFrame* frame, bool literal);
};

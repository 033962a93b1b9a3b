// KTExecFrame: one frame of the processor's stack machine. A frame stands for
// one stylesheet node being instantiated and carries the dynamic context of
// XSLT: the current node list and position, variable, parameter and
// with-param bindings, the current template rule, the result node that
// output goes to and the namespace sets inherited from the stylesheet
// element. Its first step creates the executor for its node (by element id,
// through the processor's KTExecutorFactory); every step runs that executor.
#pragma once

#include <forward_list>
#include <memory>
#include <set>

#include "core/ktstring.h"
#include "xpath/ktxpathvalue.h"
#include "xslt/ktbindings.h"
#include "xslt/ktblockpool.h"

class KTCompiledTemplate;
class KTDeclRecord;
struct KTCompiledExpression;
class KTInstructionExecutor;
class KTXPathNode;
class KTXSLTProcessor;

using KTNamespaceSet = std::set<KTString>;

class KTExecFrame : public KTVariableSource {
 public:
  // No template rule is being instantiated.
  static constexpr int kNoTemplate = -1;

  // The first frame: its own new result root, an empty current node list,
  // context position -1.
  explicit KTExecFrame(KTXSLTProcessor* processor);
  // A child frame: the parent's context (node list, position, bindings,
  // template, namespace sets), output going to `resultParent`. The creator
  // then sets the node to run.
  KTExecFrame(KTExecFrame* parent, KTXPathNode* resultParent);
  ~KTExecFrame() override;
  KTExecFrame(const KTExecFrame&) = delete;
  KTExecFrame& operator=(const KTExecFrame&) = delete;
  // Frames come and go at every step: their memory is recycled.
  static void* operator new(std::size_t size) { return KTBlockPool::Allocate(size); }
  static void operator delete(void* block, std::size_t size) noexcept { KTBlockPool::Release(block, size); }

  // One step: creates the executor on the first step, then starts or
  // continues it. Exceptions of the executor pass through unchanged.
  bool Step();

  // Evaluates `select` and makes the result the current node list; the
  // position becomes 1, or 0 for an empty result. Evaluation errors are
  // thrown as KTXSLTError (code 1, or 6 and 46 for texts that do not
  // compile) for the stylesheet node.
  bool SelectNodeList(KTXPathNode* stylesheetNode, const KTCompiledExpression& select, bool allowFragments);
  // Evaluates `compiled` with `nodeList` as the current node list, the frame's
  // context position and the frame's variables and parameters in scope.
  bool EvaluateExpression(KTXPathNode* stylesheetNode, const KTCompiledExpression& compiled,
                          const KTXPathValue* nodeList, KTXPathValue* result, bool allowFragments);

  // The position of the current template rule, kNoTemplate without one.
  int CurrentTemplate() const { return currentTemplate_ ? currentTemplatePosition_ : kNoTemplate; }
  KTCompiledTemplate* GetCurrentTemplate() const { return currentTemplate_; }
  void SetCurrentTemplate(int position, KTCompiledTemplate* rule) {
    currentTemplatePosition_ = position;
    currentTemplate_ = rule;
  }
  // The mode the current template rule was selected in (null: the default
  // mode). Child frames inherit it; the built-in rules' apply-templates in
  // mode "?" continue in it. The text is interned by the processor.
  const KTString* InvokedMode() const { return invokedMode_; }
  void SetInvokedMode(const KTString* mode) { invokedMode_ = mode; }
  // Raises the processor's import precedence by one.
  void AdvanceImportPrecedence();

  // ---- Structure ----
  KTExecFrame* Parent() const { return parent_; }
  KTExecFrame* Root() const { return root_; }
  void MakeRoot() { root_ = this; }
  KTXSLTProcessor* Processor() const { return processor_; }
  KTInstructionExecutor* Executor() const { return executor_.get(); }

  // ---- Stylesheet nodes ----
  KTXPathNode* NodeToRun() const { return nodeToRun_; }
  void SetNodeToRun(KTXPathNode* node) {
    nodeToRun_ = node;
    knownId_ = kIdUnknown;
  }
  // The node to run with its element id and compiled record (null: none)
  // already at hand: the first step makes the executor without looking
  // them up.
  void SetNodeToRun(KTXPathNode* node, int elementId, const KTDeclRecord* record) {
    nodeToRun_ = node;
    knownId_ = elementId;
    knownRecord_ = record;
  }
  KTXPathNode* OwnNode() const { return ownNode_; }
  void SetOwnNode(KTXPathNode* node) { ownNode_ = node; }
  KTXPathNode* LastFinished() const { return lastFinished_; }
  void SetLastFinished(KTXPathNode* node) { lastFinished_ = node; }
  KTXPathNode* CurrentChild() const { return currentChild_; }
  void SetCurrentChild(KTXPathNode* node) { currentChild_ = node; }
  bool IsStarted() const { return started_; }
  void SetStarted(bool started = true) { started_ = started; }
  bool IsForwardsCompatible() const { return forwardsCompatible_; }
  // Set on the frame of an xsl:if or xsl:when whose test the parent frame
  // has already evaluated to true: its first step starts the content at
  // once.
  bool TestPassed() const { return testPassed_; }
  void SetTestPassed() { testPassed_ = true; }
  void SetForwardsCompatible(bool value) { forwardsCompatible_ = value; }

  // ---- Current node list ----
  // A child frame starts with its parent's list, which it reads in place
  // until it sets or changes a list of its own: a frame is made at nearly
  // every step, and most never change the list. The frame whose list is
  // read lies below on the stack and outlives the child; a frame sets or
  // changes its own list only while it is the top frame, so no frame above
  // it reads the list then.
  const KTXPathValue& NodeList() const { return *list_; }
  KTXPathValue& MutableNodeList() {
    if (list_ != &nodeList_) {
      nodeList_ = *list_;
      list_ = &nodeList_;
    }
    return nodeList_;
  }
  void SetNodeList(KTXPathValue list) {
    nodeList_ = std::move(list);
    list_ = &nodeList_;
  }
  // Whether the list read is the frame's own (set or changed here), not
  // one read in place from a frame below.
  bool OwnsNodeList() const { return list_ == &nodeList_; }
  int ContextPosition() const { return contextPosition_; }
  void SetContextPosition(int position) { contextPosition_ = position; }

  // ---- Result ----
  KTXPathNode* ResultParent() const { return resultParent_; }
  void SetResultParent(KTXPathNode* node) { resultParent_ = node; }
  // The result root this frame owns (the first frame's), or null.
  KTXPathNode* OwnedResultRoot() const { return ownedResultRoot_.get(); }
  std::unique_ptr<KTXPathNode> ReleaseResultRoot();

  // ---- Bindings ----
  // Each of the three kinds is a layer shared with the frame it came from
  // until this frame binds a name: Own...() then gives the frame a layer of
  // its own over the shared one (the shared bindings stay visible).
  const KTBindingScope* Variables() const { return variables_.get(); }
  const KTBindingScope* Parameters() const { return parameters_.get(); }
  const KTBindingScope* WithParams() const { return withParams_.get(); }
  const KTBindingScopeRef& VariablesRef() const { return variables_; }
  const KTBindingScopeRef& ParametersRef() const { return parameters_; }
  const KTBindingScopeRef& WithParamsRef() const { return withParams_; }
  KTBindingScope& OwnVariables();
  KTBindingScope& OwnParameters();
  KTBindingScope& OwnWithParams();
  bool OwnsVariables() const { return ownsVariables_; }
  bool OwnsParameters() const { return ownsParameters_; }
  bool OwnsWithParams() const { return ownsWithParams_; }
  // Shares the given layer (null: none) without owning it.
  void ShareVariables(KTBindingScopeRef scope);
  void ShareParameters(KTBindingScopeRef scope);
  void ShareWithParams(KTBindingScopeRef scope);
  // Makes a new layer with no outer layer the frame's own.
  void SetOwnWithParams(KTBindingScopeRef scope);
  // The variable, then the parameter visible under a name (a variable hides
  // a parameter of the same name).
  const KTBindingRecord* FindBinding(const KTString& name) const override;

  // ---- Namespace sets (copies of the parent's, shared until changed) ----
  const KTNamespaceSet& ExcludedNamespaces() const { return *excluded_; }
  const KTNamespaceSet& ExtensionNamespaces() const { return *extension_; }
  void SetExcludedNamespaces(KTNamespaceSet set);
  void SetExtensionNamespaces(KTNamespaceSet set);
  // The sets are borrowed: the caller keeps them for the run (the
  // processor's sets by stylesheet).
  void ShareNamespaceSets(const std::shared_ptr<const KTNamespaceSet>& excluded,
                          const std::shared_ptr<const KTNamespaceSet>& extension) {
    excluded_ = excluded.get();
    extension_ = extension.get();
  }

 private:
  // Makes the executor for the node to run and gives the node's compiled
  // declaration (found in the same lookup), null when it has none.
  const KTDeclRecord* CreateExecutor();

  KTExecFrame* parent_ = nullptr;
  KTExecFrame* root_ = nullptr;
  int currentTemplatePosition_ = kNoTemplate;
  KTCompiledTemplate* currentTemplate_ = nullptr;
  const KTString* invokedMode_ = nullptr;
  KTXPathNode* lastFinished_ = nullptr;
  KTXPathNode* currentChild_ = nullptr;
  bool started_ = false;
  bool forwardsCompatible_ = false;
  bool testPassed_ = false;
  KTXPathNode* nodeToRun_ = nullptr;
  static constexpr int kIdUnknown = -1;
  int knownId_ = kIdUnknown;
  const KTDeclRecord* knownRecord_ = nullptr;
  KTXPathNode* ownNode_ = nullptr;
  std::unique_ptr<KTInstructionExecutor> executor_;
  // The list in force: nodeList_, or the list of the frame it came from.
  const KTXPathValue* list_ = &nodeList_;
  KTXPathValue nodeList_;
  int contextPosition_ = -1;
  KTXPathNode* resultParent_ = nullptr;
  std::unique_ptr<KTXPathNode> ownedResultRoot_;
  KTXSLTProcessor* processor_ = nullptr;
  KTBindingScopeRef variables_;
  KTBindingScopeRef withParams_;
  KTBindingScopeRef parameters_;
  // The sets in force, borrowed from this frame's own sets, an ancestor
  // frame's (which outlives it) or the processor's sets by stylesheet: a
  // frame is made at every step, and borrowing costs no count.
  const KTNamespaceSet* excluded_ = nullptr;
  const KTNamespaceSet* extension_ = nullptr;
  // The sets this frame made, kept while it lives (a child frame may borrow
  // one this frame has since replaced); a frame makes one or two.
  std::forward_list<KTNamespaceSet> ownSets_;
  bool ownsVariables_ = false;
  bool ownsParameters_ = false;
  bool ownsWithParams_ = false;
};

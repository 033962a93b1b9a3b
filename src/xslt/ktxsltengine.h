// KTXSLTEngine: the interface through which the front end drives a
// transformation (hand over the tree context, Prepare with the stylesheet and
// source roots, Step until false, read the frame stack between steps), and
// KTEvaluationRecord, the record of the last expression evaluation.
#pragma once

#include <memory>
#include <vector>

#include "core/ktstring.h"
#include "xpath/ktxpathvalue.h"
#include "xslt/ktbindings.h"

class KTExecFrame;
class KTXPathNode;
class KTXPathTreeContext;

// The last expression evaluation, for inspection after an error. It keeps
// the sizes of the context node-set and of the result, not the values: a
// record sharing them would make every later change of the caller's
// node-sets copy them first.
struct KTEvaluationRecord {
  KTString text;
  // -1 when the whole context value was the start value of the evaluation.
  int contextPosition = -1;
  int contextSize = 0;
  // The result's items (0 for a value other than a node-set).
  int resultSize = 0;
};

// Frames of the stack machine, bottom first; the stack owns them.
using KTFrameStack = std::vector<std::unique_ptr<KTExecFrame>>;

class KTXSLTEngine {
 public:
  virtual ~KTXSLTEngine() = default;

  virtual void SetTreeContext(KTXPathTreeContext* context) = 0;
  virtual void Prepare(KTXPathNode* stylesheetRoot, KTXPathNode* sourceRoot) = 0;
  virtual void SetGlobalVariables(KTBindingMap map) = 0;
  virtual KTBindingMap* GlobalVariables() = 0;
  virtual void SetGlobalParameters(KTBindingMap map) = 0;
  virtual KTBindingMap* GlobalParameters() = 0;
  // The whole output text of the run's result tree.
  virtual const char16_t* Serialize() = 0;
  virtual void Start() = 0;
  virtual bool Step() = 0;
  virtual bool SetCurrentInstruction(KTXPathNode* node) = 0;
  virtual KTXPathNode* CurrentInstruction() = 0;
  virtual KTEvaluationRecord& LastEvaluation(KTEvaluationRecord& out) = 0;
  virtual const KTFrameStack* FrameStack() = 0;
};

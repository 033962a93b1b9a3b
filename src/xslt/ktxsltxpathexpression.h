// KTXSLTXPathExpression: the processor's one expression object, through
// which every stylesheet expression is evaluated. It adds the two hooks the
// XPath engine calls back: the name of a variable without a binding (kept in
// the processor for the error report and the forward-reference recovery)
// and the loading of a document for document().
#pragma once

#include <unordered_map>

#include "xml/ktxpathnode.h"
#include "xpath/ktxpathexpression.h"

class KTVariableSource;
class KTXNode;
class KTXSLTProcessor;

class KTXSLTXPathExpression : public KTXPathExpression {
 public:
  // A private expression (privateEvaluation) belongs to no run: it loads no
  // documents and records no variable names.
  explicit KTXSLTXPathExpression(KTXSLTProcessor* processor, bool privateEvaluation = false);
  ~KTXSLTXPathExpression() override;

  // Variable references are looked up here during the next evaluations
  // (borrowed; null: none is bound), so that no scope is copied.
  void SetVariableSource(const KTVariableSource* source) { variables_ = source; }
  const KTXPathValue* FindVariable(const KTString& name) const override;

  void UnknownVariable(const KTString& name) override;
  // The root of the document's XPath view, stripped of whitespace-only text
  // and kept by the processor until the next Start; the same root for every
  // request of one document; null when it cannot be loaded.
  KTXPathNode* LoadDocument(const KTString& uri) override;
  // Whether `root` is the view of a document that LoadDocument gave.
  bool LoadedDocument(const KTXPathNode* root) const {
    auto found = loaded_.find(root->GetXNode());
    return found != loaded_.end() && found->second == root;
  }
  // The processor that owns this expression: its keys, decimal formats and
  // unparsed entities.
  KTXSLTFunctionServices* XSLTServices() const override;

 private:
  KTXSLTProcessor* processor_;
  bool private_;
  const KTVariableSource* variables_ = nullptr;
  // Loaded document -> its view (owned by the processor's registered trees).
  std::unordered_map<KTXNode*, KTXPathNode*> loaded_;
};

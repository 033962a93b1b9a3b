// KTXSLTXPathExpression: the callbacks of the XPath engine into the
// processor.
#include "xslt/ktxsltxpathexpression.h"

#include "xml/ktschemaservices.h"
#include "xslt/ktbindings.h"
#include "xml/ktxpathtreecontext.h"
#include "xslt/ktwhitespacestripper.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"

KTXSLTXPathExpression::KTXSLTXPathExpression(KTXSLTProcessor* processor, bool privateEvaluation)
    : processor_(processor), private_(privateEvaluation) {}

KTXSLTXPathExpression::~KTXSLTXPathExpression() = default;

void KTXSLTXPathExpression::UnknownVariable(const KTString& name) {
  if (!private_) processor_->SetUnknownVariableName(name);
}

const KTXPathValue* KTXSLTXPathExpression::FindVariable(const KTString& name) const {
  const KTBindingRecord* record = variables_ ? variables_->FindBinding(name) : nullptr;
  return record ? &record->value : nullptr;
}

KTXSLTFunctionServices* KTXSLTXPathExpression::XSLTServices() const { return processor_; }

KTXPathNode* KTXSLTXPathExpression::LoadDocument(const KTString& uri) {
  KTXPathTreeContext* context = processor_->TreeContext();
  if (private_ || !context) return nullptr;
  // One URI is one document (XSLT 1.0 §12.1): document() of the source's
  // own file gives the source tree, not a second copy of it.
  if (KTXPathNode* source = processor_->SourceRoot()) {
    const KTString* sourceUri = KTXPathNode::GetDocumentUri(source);
    if (sourceUri && !sourceUri->IsEmpty() &&
        KTXSLTProcessor::WithoutDotSegments(*sourceUri) == KTXSLTProcessor::WithoutDotSegments(uri))
      return source;
  }
  KTXNode* document = processor_->LoadDocument(uri);
  if (!document) return nullptr;
  auto known = loaded_.find(document);
  if (known != loaded_.end()) return known->second;
  // A document loaded before needs no model: only a first wrap reads one.
  std::unique_ptr<KTSchemaServices> model = processor_->NewSchemaModel();
  std::unique_ptr<KTXPathNode> view;
  try {
    view = context->WrapTree(document, model.get(), true, uri);
  } catch (const KTXTreeException&) {
    KTXSLTError error(KTXSLTError::kCannotLoad, nullptr);
    error.SetSubject(uri);
    throw error;
  }
  if (!view) return nullptr;
  if (model) KTXSLTProcessor::ThrowIfExpansionStopped(*model, uri);
  KTWhitespaceStripper().StripDocument(view.get(), &processor_->SpaceRules());
  KTXPathNode* root = view.get();
  processor_->RegisterTree(std::move(view));
  loaded_.emplace(document, root);
  return root;
}

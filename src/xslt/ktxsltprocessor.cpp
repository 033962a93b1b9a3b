// KTXSLTProcessor: preparing and starting a run, the step of the stack
// machine, the frame stack and the processor state executors share.
#include "xslt/ktxsltprocessor.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/ktutf8.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathtreecontext.h"
#include "xslt/ktcompiledtemplate.h"
#include "xslt/ktexecframe.h"
#include "xslt/ktkeytable.h"
#include "xslt/ktnumberexecutors.h"
#include "xslt/ktnumberformatter.h"
#include "xslt/kttemplateruleindex.h"
#include "xslt/ktstylesheetcompiler.h"
#include "xslt/ktinstructionexecutor.h"
#include "xslt/ktwhitespacestripper.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltxpathexpression.h"
#include "xslt/output/ktoutputerror.h"

KTXSLTProcessor::KTXSLTProcessor() : compiler_(std::make_unique<KTStylesheetCompiler>(this)) {
  serializer_.SetDefaultEncoding(u"UTF-8");
  decimalFormats_.emplace(KTString(), std::make_unique<KTDecimalFormat>());
}

namespace {

// A -param value's text came from the command line, not from the
// stylesheet: its errors name the option as it was given.
KTString ParameterOrigin(const KTString& name, const KTString& expressionText) {
  KTString origin(u"-param ");
  origin += name;
  origin += u'=';
  origin += expressionText;
  return origin;
}

}  // namespace

KTXSLTProcessor::~KTXSLTProcessor() {
  // Frames refer to registered trees and to the result tree; they go first.
  DeleteFrames();
}

void KTXSLTProcessor::DeleteFrames() {
  hosted_.clear();
  while (!frames_.empty()) frames_.pop_back();
  templateDepth_ = 0;
  while (!finished_.empty()) finished_.pop_back();
}

void KTXSLTProcessor::ForgetFrames() {
  DeleteFrames();
  includeStack_.clear();
  namespacesByTemplate_.clear();
  memoTemplate_ = nullptr;
  memoTemplateSets_ = nullptr;
}

void KTXSLTProcessor::SetTreeContext(KTXPathTreeContext* context) {
  treeContext_ = context;
  BuildBuiltinRules();
}

void KTXSLTProcessor::Prepare(KTXPathNode* stylesheetRoot, KTXPathNode* sourceRoot) {
  // The first frame runs the stylesheet's document element.
  if (!stylesheetRoot || stylesheetRoot->FirstChildOfKind(kXPathElement) == stylesheetRoot->GetChildCount())
    throw KTXSLTError(KTXSLTError::kNotRootElement, stylesheetRoot);
  KTWhitespaceStripper().StripStylesheet(stylesheetRoot);
  compiler_->Clear();
  // The records that pointed at the compiled expressions went with them.
  valueTemplatesByText_.clear();
  valueTemplates_.clear();
  for (auto& shared : compiledByText_) shared.clear();
  compiled_.clear();
  parametersCompiled_ = false;
  lastCompiled_ = nullptr;
  // Keys and decimal formats are registered while the stylesheet compiles.
  keyTables_.clear();
  keyElements_.clear();
  // The included and imported stylesheets of the previous stylesheet go
  // with their records; no frame may refer to them any longer.
  ForgetFrames();
  movedModules_.clear();
  claimedModules_.clear();
  stylesheetDocuments_.clear();
  elementIndexes_.clear();
  namespacesByStylesheet_.clear();
  decimalFormats_.clear();
  decimalFormats_.emplace(KTString(), std::make_unique<KTDecimalFormat>());
  defaultFormatDeclared_ = false;
  compiler_->CompileElement(KTStylesheetCompiler::kRootParentId, stylesheetRoot, KTStylesheetCompiler::kVersionDecides);
  if (builtinRules_)
    compiler_->CompileElement(KTStylesheetCompiler::kRootParentId, builtinRules_.get(),
                              KTStylesheetCompiler::kVersionDecides);
  for (KTXPathNode* root : {stylesheetRoot, sourceRoot}) {
    if (root && treeContext_ && !KTXPathNode::GetDocumentUri(root)) root->SetDocumentUri(treeContext_->InternUri(u""));
  }
  // The source loses whitespace-only text only where the stylesheet's
  // xsl:strip-space says so, before anything (a parameter, a key, a
  // template) sees it; every document that document() loads likewise.
  CollectSpaceRules(stylesheetRoot);
  compiler_->CheckVariableScopes(stylesheetRoot);
  if (sourceRoot) KTWhitespaceStripper().StripDocument(sourceRoot, &spaceRules_);
  stylesheetRoot_ = stylesheetRoot;
  sourceRoot_ = sourceRoot;
  elementIndexes_.clear();
  Start();
}

void KTXSLTProcessor::Start() {
  // Documents that document() loaded belong to the registered trees, which
  // go below, so the expression that maps them goes too.
  expression_ = std::make_unique<KTXSLTXPathExpression>(this);
  expression_->EnableXSLTFunctions(true);
  lastEvaluation_.resultSize = 0;
  topLevelVariable_ = false;
  inEvaluation_.clear();
  evaluated_.clear();
  deferringGlobals_ = true;
  globalWinners_.clear();
  globalOrder_.clear();
  startedModules_.clear();
  restartFrames_.clear();
  topLevelDeclarations_.clear();
  ForgetFrames();
  // The rules of the previous run go; the built-in rules come first.
  templateRules_.clear();
  templateIndex_.reset();
  namedTemplates_.clear();
  patternContexts_.clear();
  // Indexes refer to the trees of the previous run.
  for (auto& entry : keyTables_) entry.second->ClearIndexes();
  elementIndexes_.clear();
  numberingSets_.clear();
  unparsedEntities_.clear();
  RegisterBuiltinRules();
  registeredTrees_.clear();
  resultRoot_.reset();

  // The state of the previous run goes before the first frame is made, so
  // that the command-line parameters are evaluated in a clean run.
  namespaceAliases_.clear();
  namespaceAliasUris_.clear();
  attributeSets_.Clear();
  generatedPrefixCounter_ = 0;
  declarationOrders_.clear();
  importPrecedence_ = 0;
  importSubtreeStarts_.clear();
  ownedStrings_.clear();
  globalVariables_.clear();
  globalParameters_.clear();
  variableOwners_.clear();
  parameterOwners_.clear();
  outputSettings_.Reset();
  serializer_.SetResultRoot(nullptr);
  serializer_.ClearOutput();
  message_ = u"";
  terminatingMessage_ = u"";
  terminate_ = false;
  terminatingInstruction_ = nullptr;
  unknownVariableName_ = u"";
  warnedNodes_.clear();

  if (!stylesheetRoot_) return;
  auto frame = std::make_unique<KTExecFrame>(this);
  if (treeContext_ && !treeContext_->GetUriTable().empty()) {
    const KTString* xmlUri = treeContext_->GetUriTable().front().get();
    auto elementMap = std::make_shared<KTPrefixMap>();
    elementMap->emplace(KTString(u"xml"), xmlUri);
    auto attributeMap = std::make_shared<KTPrefixMap>(*elementMap);
    frame->OwnedResultRoot()->SetMaps(std::move(elementMap), std::move(attributeMap));
  }
  int first = stylesheetRoot_->FirstChildOfKind(kXPathElement);
  frame->SetNodeToRun(first < stylesheetRoot_->GetChildCount() ? stylesheetRoot_->GetChild(first) : nullptr);
  KTXPathValue list;
  if (sourceRoot_) list.PushItem(KTXPathNodeItem(sourceRoot_, 1));
  frame->SetNodeList(std::move(list));
  frame->SetContextPosition(1);
  frame->SetOwnWithParams(std::make_shared<KTBindingScope>());
  PushFrame(std::move(frame));
  // The command-line parameters become the first frame's with-param values,
  // which a top-level xsl:param of the same name takes.
  KTBindingScope& withParams = TopFrame()->OwnWithParams();
  if (!parametersCompiled_) {
    // Compiled once, in the namespaces of the node the first frame runs,
    // before any instruction runs.
    parameterExpressions_.clear();
    lastCompiled_ = nullptr;
    KTXPathNode* node = TopFrame()->NodeToRun();
    KTPrefixMap prefixes;
    if (const KTPrefixMap* inScope = KTXPathNode::GetNodeNamespaceMap(node)) prefixes = *inScope;
    prefixes.erase(KTString());
    for (const auto& [name, expressionText] : parameters_) {
      KTString text(expressionText);
      text.Replace(u'\n', u' ');
      text.Replace(u'\r', u' ');
      try {
        parameterExpressions_.push_back(CompileText(*expression_, node, &prefixes, text, 0));
        parameterExpressions_.back()->ownText = std::move(text);
      } catch (KTXSLTError& error) {
        lastEvaluation_.text = text;  // the record of the failure keeps its text
        error.SetOrigin(ParameterOrigin(name, expressionText));
        throw;
      }
    }
    parametersCompiled_ = true;
  }
  size_t index = 0;
  for (const auto& [name, expressionText] : parameters_) {
    KTBindingRecord record;
    try {
      EvaluateParameterValue(&record.value, *parameterExpressions_[index++]);
    } catch (KTXSLTError& error) {
      error.SetOrigin(ParameterOrigin(name, expressionText));
      throw;
    }
    withParams.Bind(name, std::move(record));
  }
}

bool KTXSLTProcessor::Step() {
  if (frames_.empty()) return false;
  bool result = false;
  try {
    result = TopFrame()->Step();
  } catch (const KTXTreeException&) {
    // A result node the placement rules refuse, which its executor did not
    // drop: a stylesheet error at the instruction that made it.
    RestoreHostedFrames();
    throw KTXSLTError(KTXSLTError::kUnexpectedFailure, CurrentInstruction());
  } catch (const KTXSLTError&) {
    RestoreHostedFrames();
    throw;
  }
  // A terminating xsl:message ends the run with the stack as it stands.
  if (terminate_) RestoreHostedFrames();
  if (!finished_.empty()) DropFinishedFrames();
  return result;
}

bool KTXSLTProcessor::StepWithin(int frames, int templates) {
  for (;;) {
    if (!KTXSLTProcessor::Step()) return false;
    const int depth = FrameDepth();
    if (terminate_ || depth == 0 || depth > frames || templateDepth_ > templates) return true;
  }
}

void KTXSLTProcessor::RestoreHostedFrames() {
  // A host's frames go above it in the order they were hosted, each above
  // the one before.
  const KTExecFrame* host = nullptr;
  auto below = frames_.end();
  for (const HostedFrame& hosted : hosted_) {
    if (hosted.host != host) {
      host = hosted.host;
      below = std::find_if(frames_.begin(), frames_.end(),
                           [&](const std::unique_ptr<KTExecFrame>& frame) { return frame.get() == host; });
    }
    if (below == frames_.end()) continue;
    auto frame = std::make_unique<KTExecFrame>(below->get(), hosted.host->ResultParent());
    frame->SetStarted();
    frame->SetOwnNode(hosted.child);
    below = frames_.insert(std::next(below), std::move(frame));
  }
  hosted_.clear();
}

void KTXSLTProcessor::DropFinishedFrames() {
  // When the run has ended, the result tree outlives the first frame.
  if (frames_.empty()) {
    for (auto& frame : finished_) {
      if (frame->OwnedResultRoot() && !frame->Parent()) {
        resultRoot_ = frame->ReleaseResultRoot();
        break;
      }
    }
  }
  while (!finished_.empty()) finished_.pop_back();
}

KTXPathNode* KTXSLTProcessor::ResultRoot() const {
  if (frames_.empty()) return resultRoot_.get();
  KTExecFrame* bottom = frames_.front().get();
  return bottom->OwnedResultRoot() ? bottom->OwnedResultRoot() : bottom->ResultParent();
}

const char16_t* KTXSLTProcessor::Serialize() {
  serializer_.SetResultRoot(ResultRoot());
  const char16_t* text = nullptr;
  try {
    text = serializer_.Serialize(outputSettings_);
  } catch (const KTOutputError& error) {
    // A character the output encoding cannot write where no reference may
    // stand: a stylesheet error with the serialiser's message.
    serializer_.SetResultRoot(nullptr);
    KTXSLTError report(KTXSLTError::kOutputError, nullptr);
    report.SetMessageText(KTString(error.GetMessage()));
    throw report;
  }
  serializer_.SetResultRoot(nullptr);
  return text;
}

bool KTXSLTProcessor::SetCurrentInstruction(KTXPathNode* node) {
  KTExecFrame* top = TopFrame();
  if (!top) return false;
  top->SetNodeToRun(node);
  return true;
}

KTXPathNode* KTXSLTProcessor::CurrentInstruction() {
  KTExecFrame* top = TopFrame();
  if (!top) return nullptr;
  return top->NodeToRun() ? top->NodeToRun() : top->OwnNode();
}

KTEvaluationRecord& KTXSLTProcessor::LastEvaluation(KTEvaluationRecord& out) {
  out = lastEvaluation_;
  if (lastCompiled_) out.text = *lastCompiled_->text;
  return out;
}

void KTXSLTProcessor::PushFrame(std::unique_ptr<KTExecFrame> frame) { frames_.push_back(std::move(frame)); }

KTExecFrame* KTXSLTProcessor::PopFrame() {
  if (frames_.empty()) return nullptr;
  if (frames_.back()->Root() == frames_.back().get()) --templateDepth_;
  // A frame that hosted frames in place is done with them.
  while (!hosted_.empty() && hosted_.back().host == frames_.back().get()) hosted_.pop_back();
  finished_.push_back(std::move(frames_.back()));
  frames_.pop_back();
  return finished_.back().get();
}

void KTXSLTProcessor::RegisterTree(std::unique_ptr<KTXPathNode> root) { registeredTrees_.push_back(std::move(root)); }

bool KTXSLTProcessor::AddParameter(const char16_t* text) {
  KTString all(text);
  int equals = all.Find(u'=');
  if (equals < 0) throw KTXSLTError(KTXSLTError::kInvalidXPathExpression, nullptr);
  parameters_.emplace(all.Left(equals), all.Mid(equals + 1));
  parametersCompiled_ = false;
  return true;
}

int KTXSLTProcessor::ElementIdOf(const KTXPathNode* node) const {
  if (!node) return 0;
  int id = compiler_->FindElementId(node);
  return id ? id : compiler_->ElementRecognizer().ElementId(node);
}

int KTXSLTProcessor::ElementIdOf(const KTXPathNode* node, const KTDeclRecord** record) const {
  *record = nullptr;
  if (!node) return 0;
  KTDeclRecord* found = nullptr;
  int id = compiler_->FindElementId(node, &found);
  *record = found;
  return id ? id : compiler_->ElementRecognizer().ElementId(node);
}

int KTXSLTProcessor::AttributeIdOf(const KTXPathNode* node) const {
  return node ? compiler_->AttributeRecognizer().AttributeId(node) : kAttrOther;
}

const KTDeclRecord* KTXSLTProcessor::FindDeclaration(const KTXPathNode* node) const {
  return node ? compiler_->FindDeclRecord(node) : nullptr;
}

const KTXSLTElementRecognizer& KTXSLTProcessor::ElementRecognizer() const { return compiler_->ElementRecognizer(); }

void KTXSLTProcessor::AddNamespaceAlias(const char16_t* key, const char16_t* value) {
  namespaceAliases_.emplace(KTString(key), KTString(value));
}

void KTXSLTProcessor::SetMessage(const char16_t* text, bool terminate, KTXPathNode* instruction) {
  if (terminate) {
    terminatingMessage_ = text;
    message_ = u"";
    terminate_ = true;
    terminatingInstruction_ = instruction;
  } else {
    message_ = text;
    terminatingMessage_ = u"";
  }
  if (messageSink_) messageSink_(terminate ? terminatingMessage_ : message_, terminate);
}

void KTXSLTProcessor::Warn(const KTXPathNode* node, const KTString& text) {
  if (!warnedNodes_.insert(node).second) return;
  if (warningSink_) {
    warningSink_(node, text);
    return;
  }
  std::string line = "Warning: " + KTUtf16ToUtf8(text.View()) + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

// KTXSLTProcessor: the template-rule list (registration with the split of
// union patterns, ordering, the index), the built-in rules and the
// evaluation of patterns over a whole document.
#include <algorithm>
#include <string_view>

#include "xml/ktschemaservices.h"
#include "xml/ktxnode.h"
#include "xml/ktxpathtreecontext.h"
#include "xpath/ktxpathexpression.h"
#include "xslt/ktcompiledtemplate.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/kttemplateruleindex.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltkeywords.h"
#include "xslt/ktxsltprocessor.h"

namespace {

KTXPathNode* AttributeNamed(KTXPathNode* element, const char16_t* name) {
  for (const auto& child : element->Children()) {
    if (child->GetKind() == kXPathAttribute && std::u16string_view(child->GetName()) == name) return child.get();
  }
  return nullptr;
}

const KTXPathNode* TopOf(const KTXPathNode* node) {
  while (node->GetParent()) node = node->GetParent();
  return node;
}

// The match text as rules hold it: line ends become spaces, then spaces and
// then tabs are trimmed from both ends.
KTString NormalizeMatch(const KTString& text) {
  KTString match(text);
  match.Replace(u'\r', u' ');
  match.Replace(u'\n', u' ');
  match.TrimLeft(u' ');
  match.TrimRight(u' ');
  match.TrimLeft(u'\t');
  match.TrimRight(u'\t');
  return match;
}

}  // namespace

KTString KTXSLTProcessor::ExpandMode(const KTString& mode, const KTPrefixMap* namespaces) {
  std::u16string_view text = mode.View();
  size_t colon = text.find(u':');
  if (colon == std::u16string_view::npos) return mode;
  if (!namespaces) return mode;
  auto found = namespaces->find(KTString(text.substr(0, colon)));
  if (found == namespaces->end()) return mode;
  KTString local(text.substr(colon + 1));
  if (!found->second || found->second->IsEmpty()) return local;
  KTString expanded(*found->second);
  expanded += u':';
  expanded += local;
  return expanded;
}

bool KTXSLTProcessor::RegisterTemplate(KTXPathNode* templateElement, int precedence) {
  KTXPathNode* matchNode = AttributeNamed(templateElement, u"match");
  KTString match = matchNode ? KTString(matchNode->GetValue()) : KTString();
  const KTPrefixMap* namespaces = KTXPathNode::GetNodeNamespaceMap(matchNode ? matchNode : templateElement);
  KTString mode;
  KTString expandedMode;
  if (KTXPathNode* modeNode = AttributeNamed(templateElement, u"mode")) {
    mode = modeNode->GetValue();
    expandedMode = ExpandMode(mode, KTXPathNode::GetNodeNamespaceMap(templateElement));
  }
  if (match.IsEmpty() && !mode.IsEmpty()) throw KTXSLTError(KTXSLTError::kMatchExpected, templateElement);
  if (templateRules_.empty()) importPrecedence_ = 0;
  int position = static_cast<int>(templateRules_.size());
  int stamp = precedence == -1 ? -1 : importPrecedence_;
  // The compiler cut the pattern into its alternatives, compiled each and
  // read its steps.
  const auto* record = dynamic_cast<const KTDeclTemplate*>(FindDeclaration(templateElement));
  std::vector<KTDeclTemplate::Alternative> own;
  const std::vector<KTDeclTemplate::Alternative>* alternatives = &own;
  bool patternsRead = false;
  if (match.IsEmpty()) {
    own.emplace_back();
  } else if (record && !record->alternatives.empty()) {
    alternatives = &record->alternatives;
    patternsRead = true;
  } else {
    // A template element the compiler did not see.
    for (KTString& text : MatchAlternatives(match, matchNode)) {
      KTDeclTemplate::Alternative& alternative = own.emplace_back();
      if (!text.IsEmpty())
        alternative.compiled = PrecompileExpression(matchNode, text, KTXPathExpression::kRestrictPattern);
      alternative.text = std::move(text);
    }
  }
  for (const KTDeclTemplate::Alternative& alternative : *alternatives) {
    const KTCompiledExpression* compiled = alternative.compiled;
    if (compiled && compiled->error) throw *compiled->error;
    auto rule = std::make_unique<KTCompiledTemplate>(
        KTTemplateRuleSource{.templateElement = templateElement,
                             .matchNode = matchNode,
                             .match = alternative.text,
                             .matchExpression = compiled,
                             .modeAsWritten = mode,
                             .expandedMode = expandedMode,
                             .importPrecedence = stamp,
                             .declarationPosition = position++,
                             .namespaces = namespaces,
                             .pattern = patternsRead ? &alternative.pattern : nullptr});
    rule->SetProcessor(this);
    AddTemplateRule(std::move(rule));
  }
  return true;
}

std::vector<KTString> KTXSLTProcessor::MatchAlternatives(const KTString& text, KTXPathNode* matchNode) {
  const KTString match = NormalizeMatch(text);
  std::vector<KTString> alternatives;
  // Alternatives are cut at every '|' outside quotes, brackets and
  // parentheses (a[b[1]|c]|d has two; id('a|b') one).
  std::u16string_view view = match.View();
  size_t cut = 0;
  int depth = 0;
  char16_t quote = 0;
  bool split = false;
  for (size_t i = 0; i < view.size(); ++i) {
    char16_t c = view[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == u'"' || c == u'\'') {
      quote = c;
    } else if (c == u'[' || c == u'(') {
      ++depth;
    } else if ((c == u']' || c == u')') && depth > 0) {
      --depth;
    } else if (c == u'|' && depth == 0) {
      alternatives.emplace_back(view.substr(cut, i - cut));
      cut = i + 1;
      split = true;
    }
  }
  if (split && cut == view.size()) throw KTXSLTError::About(KTXSLTError::kUnexpectedValue, matchNode);
  alternatives.push_back(split ? KTString(view.substr(cut)) : match);
  return alternatives;
}

bool KTXSLTProcessor::RegisterTemplatesOf(KTXPathNode* parent, int precedence) {
  int first = parent->FirstChildOfKind(kXPathElement);
  for (int i = first; i < parent->GetChildCount(); ++i) {
    KTXPathNode* child = parent->GetChild(i);
    if (child->GetKind() == kXPathElement && ElementIdOf(child) == kXSLTTemplate) RegisterTemplate(child, precedence);
  }
  return true;
}

bool KTXSLTProcessor::AddTemplateRule(std::unique_ptr<KTCompiledTemplate> rule) {
  if (!rule->Name().IsEmpty()) {
    std::vector<KTXPathNode*>& elements = namedTemplates_[rule->Name()];
    KTXPathNode* element = rule->TemplateElement();
    const KTXPathNode* document = TopOf(element);
    bool known = false;
    for (KTXPathNode* other : elements) {
      if (other == element) {
        known = true;  // another alternative of the same template
      } else if (TopOf(other) == document) {
        KTXSLTError error(KTXSLTError::kTemplateExists, element);
        error.SetSubject(KTString(u"\"") + rule->Name() + u"\"");
        throw error;
      }
    }
    if (!known) elements.push_back(element);
  }
  templateRules_.push_back(std::move(rule));
  templateIndex_.reset();
  return true;
}

void KTXSLTProcessor::SortTemplateRules() {
  std::sort(templateRules_.begin(), templateRules_.end(),
            [](const std::unique_ptr<KTCompiledTemplate>& a, const std::unique_ptr<KTCompiledTemplate>& b) {
              return KTCompiledTemplate::Compare(a.get(), b.get());
            });
  templateIndex_.reset();
}

KTTemplateRuleIndex& KTXSLTProcessor::TemplateIndex() {
  if (!templateIndex_) {
    templateIndex_ = std::make_unique<KTTemplateRuleIndex>();
    templateIndex_->Build(templateRules_);
  }
  return *templateIndex_;
}

void KTXSLTProcessor::BuildBuiltinRules() {
  builtinRules_.reset();
  builtinDocument_.reset();
  if (!treeContext_) return;
  treeContext_->InternUri(kXSLTNamespaceUri);

  auto document = CreateXNode(kXmlDocument);
  auto element = [](KTXNode* parent, const char16_t* name) {
    KTXNode* node = parent->AppendChild(CreateXNode(kElement));
    node->SetName(name);
    return node;
  };
  auto attribute = [](KTXNode* parent, const char16_t* name, const char16_t* value) {
    KTXNode* node = parent->AppendChild(CreateXNode(kAttribute));
    node->SetName(name);
    node->SetValue(value);
  };
  KTXNode* stylesheet = element(document.get(), u"xsl:stylesheet");
  attribute(stylesheet, u"version", u"1.0");
  attribute(stylesheet, u"xmlns:xsl", kXSLTNamespaceUri);
  // The built-in rules of XSLT 1.0 §5.8, once for the default mode and once
  // for every other mode ("?"); the namespace-node rule does nothing and
  // needs no template.
  for (const char16_t* mode : {static_cast<const char16_t*>(nullptr), u"?"}) {
    KTXNode* nodes = element(stylesheet, u"xsl:template");
    attribute(nodes, u"match", u"*|/");
    if (mode) attribute(nodes, u"mode", mode);
    KTXNode* apply = element(nodes, u"xsl:apply-templates");
    if (mode) attribute(apply, u"mode", mode);
    KTXNode* values = element(stylesheet, u"xsl:template");
    attribute(values, u"match", u"text()|@*");
    if (mode) attribute(values, u"mode", mode);
    KTXNode* valueOf = element(values, u"xsl:value-of");
    attribute(valueOf, u"select", u".");
  }
  for (const char16_t* mode : {static_cast<const char16_t*>(nullptr), u"?"}) {
    KTXNode* others = element(stylesheet, u"xsl:template");
    attribute(others, u"match", u"processing-instruction()|comment()");
    if (mode) attribute(others, u"mode", mode);
  }
  std::unique_ptr<KTSchemaServices> model = NewSchemaModel();
  builtinRules_ = treeContext_->WrapTree(document.get(), model.get(), false, nullptr);
  if (builtinRules_) builtinDocument_ = std::move(document);
}

bool KTXSLTProcessor::RegisterBuiltinRules() {
  if (!builtinRules_) return false;
  int first = builtinRules_->FirstChildOfKind(kXPathElement);
  if (first >= builtinRules_->GetChildCount()) return false;
  return RegisterTemplatesOf(builtinRules_->GetChild(first), -1);
}

bool KTXSLTProcessor::MatchesPattern(KTXPathValue* out, const KTCompiledExpression& pattern, KTXPathNode* node,
                                     KTXPathNode* stylesheetNode, bool privateEvaluation) {
  out->SetNodeSet();
  if (!node) return true;
  KTXPathNode* root = node;
  while (root->GetParent()) root = root->GetParent();
  return EvaluatePattern(out, pattern,
                         {.root = root,
                          .contexts = &PatternContexts(root),
                          .stylesheetNode = stylesheetNode,
                          .privateEvaluation = privateEvaluation});
}

const KTXPathValue& KTXSLTProcessor::PatternContexts(KTXPathNode* root) {
  auto found = patternContexts_.find(root);
  if (found == patternContexts_.end()) {
    // The root and every node the child and descendant axes reach, in
    // document order: attributes, namespace nodes and declarations aside.
    KTXPathValue list;
    KTXPathValue::ItemVector& items = list.MutableItems();
    std::vector<KTXPathNode*> stack{root};
    while (!stack.empty()) {
      KTXPathNode* at = stack.back();
      stack.pop_back();
      items.emplace_back(at, static_cast<int>(items.size()) + 1);
      for (int i = at->GetChildCount(); i-- > 0;) {
        KTXPathNode* child = at->GetChild(i);
        int kind = child->GetKind();
        if (kind != kXPathAttribute && kind != kXPathNamespace && kind < kXPathXmlDecl) stack.push_back(child);
      }
    }
    found = patternContexts_.emplace(root, std::move(list)).first;
  }
  return found->second;
}

// Evaluates the pattern with every node of `contexts` as a context node at
// once; errors are stylesheet errors of the pattern's node.
bool KTXSLTProcessor::EvaluatePattern(KTXPathValue* out, const KTCompiledExpression& pattern,
                                      const PatternRequest& request) {
  // Template and key patterns see no variables (their compile refuses
  // references).
  static const KTBindingMap noBindings;
  KTBindingMapSource none(&noBindings);
  const bool seesVariables = pattern.restrictions == KTXPathExpression::kRestrictNumberPattern && request.variables;
  const KTEvaluationRequest evaluation{.stylesheetNode = request.stylesheetNode,
                                       .evaluationRoot = request.root,
                                       .contextValue = request.contexts,
                                       .position = -1,
                                       .variables = seesVariables ? request.variables : &none};
  return request.privateEvaluation ? EvaluateExpression(pattern, evaluation, out)
                                   : CompileExpression(pattern, evaluation, out);
}

// KTXSLTProcessor: the stylesheet documents that xsl:include and xsl:import
// reach. Each is loaded once per URL through the subclass, wrapped, stripped
// and kept until the next Prepare; includes are resolved by copying the
// included stylesheet's top-level elements in place of the xsl:include.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "xml/ktschemaservices.h"
#include "xml/ktxpathnode.h"
#include "xml/ktxpathtreecontext.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktstylesheetcompiler.h"
#include "xslt/ktwhitespacestripper.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"

namespace {

constexpr int kImportAfterOtherElement = 49;
constexpr int kHrefExpected = 23;
constexpr int kCannotInclude = 44;
constexpr int kRecursiveInclude = 45;

// Attribute, namespace, processing-instruction and comment children that
// stand before a stylesheet element's first declaration.
bool IsLeading(const KTXPathNode* node) {
  int kind = node->GetKind();
  return kind == kXPathAttribute || kind == kXPathNamespace || kind == kXPathPI ||
         kind == kXPathComment;
}

int FirstAfterLeading(const KTXPathNode* node) {
  int count = node->GetChildCount();
  int index = 0;
  while (index < count && IsLeading(node->GetChild(index))) ++index;
  return index;
}

const KTXPathNode* DocumentRootOf(const KTXPathNode* node) {
  while (node && node->GetParent()) node = node->GetParent();
  return node;
}

// Drops the compiled records of a subtree that is about to be deleted, so
// that a node made later at the same address gets no stale record.
void ForgetSubtree(KTStylesheetCompiler& compiler, const KTXPathNode* top) {
  std::vector<const KTXPathNode*> pending{top};
  while (!pending.empty()) {
    const KTXPathNode* node = pending.back();
    pending.pop_back();
    compiler.Forget(node);
    for (const auto& child : node->Children()) pending.push_back(child.get());
  }
}

// Keeps a document on the include stack while its own includes resolve.
class IncludeStackEntry {
 public:
  IncludeStackEntry(std::vector<KTXPathNode*>& stack, KTXPathNode* root) : stack_(stack) { stack_.push_back(root); }
  ~IncludeStackEntry() { stack_.pop_back(); }
  IncludeStackEntry(const IncludeStackEntry&) = delete;
  IncludeStackEntry& operator=(const IncludeStackEntry&) = delete;

 private:
  std::vector<KTXPathNode*>& stack_;
};

using ChildList = KTXPathNode::ChildList;

// The number of nodes a deep copy of `top` makes.
size_t SubtreeSize(const KTXPathNode* top) {
  size_t size = 0;
  std::vector<const KTXPathNode*> pending{top};
  while (!pending.empty()) {
    const KTXPathNode* node = pending.back();
    pending.pop_back();
    ++size;
    for (const auto& child : node->Children()) pending.push_back(child.get());
  }
  return size;
}

// One xsl:include child and the copies that take its place.
struct Replacement {
  int index;
  ChildList copies;
};

// Resolves the includes among the children of `element`: first every
// include is loaded and its copies made (the tree is not touched, so an
// error leaves it whole), then the children are rebuilt once. Copies of
// xsl:import elements are collected for the top stylesheet.
void ResolveIncludesOf(KTXSLTProcessor& processor, KTXPathNode* element, KTXPathNode* topStylesheet,
                       ChildList& importsForTop, size_t& copiedNodes) {
  std::vector<Replacement> replacements;
  bool otherSeen = false;
  int count = element->GetChildCount();
  for (int index = FirstAfterLeading(element); index < count; ++index) {
    KTXPathNode* child = element->GetChild(index);
    int id = processor.ElementIdOf(child);
    if (id == kXSLTImport) {
      if (otherSeen) throw KTXSLTError(kImportAfterOtherElement, child);
      continue;
    }
    int kind = child->GetKind();
    if (kind != kXPathComment && kind != kXPathPI && kind != kXPathNamespace) otherSeen = true;
    if (id != kXSLTInclude) continue;

    KTXPathNode* hrefNode = nullptr;
    const KTDeclRecord* record = processor.FindDeclaration(child);
    if (record && record->elementId == kXSLTInclude)
      hrefNode = static_cast<const KTDeclInclude*>(record)->hrefNode;
    else
      hrefNode = processor.Compiler().FindAttribute(child, u"href", nullptr);
    if (!hrefNode) throw KTXSLTError(kHrefExpected, child);
    if (processor.IncludeStack().size() >= KTXSLTProcessor::kMaxIncludeDepth)
      throw KTXSLTError(kCannotInclude, hrefNode);
    KTXPathNode* root =
        processor.GetDocument(KTXPathNode::GetDocumentUri(child), KTString(hrefNode->GetValue()), true);
    if (!root) throw KTXSLTError(kCannotInclude, hrefNode);
    if (processor.IsBeingIncluded(root)) throw KTXSLTError(kRecursiveInclude, child);

    KTXPathNode* included = processor.FindStylesheetElement(root);
    {
      IncludeStackEntry entry(processor.IncludeStack(), root);
      ResolveIncludesOf(processor, included, topStylesheet, importsForTop, copiedNodes);
    }
    const KTString* uri = KTXPathNode::GetDocumentUri(root);
    Replacement replacement{index, {}};
    if (included != root) {
      int last = included->GetChildCount();
      for (int k = FirstAfterLeading(included); k < last; ++k) {
        const KTXPathNode* source = included->GetChild(k);
        copiedNodes += SubtreeSize(source);
        if (copiedNodes > KTXSLTProcessor::kMaxIncludedNodes) throw KTXSLTError(kCannotInclude, hrefNode);
        auto copy = std::make_unique<KTXPathNode>(*source, true, nullptr);
        int copyKind = copy->GetKind();
        if (copyKind != kXPathText && copyKind != kXPathComment && copyKind != kXPathAttribute &&
            copyKind != kXPathNamespace && !copy->GetOwnDocumentUri())
          copy->SetDocumentUri(uri);
        if (processor.ElementIdOf(source) == kXSLTImport)
          importsForTop.push_back(std::move(copy));
        else
          replacement.copies.push_back(std::move(copy));
      }
    }
    replacements.push_back(std::move(replacement));
  }
  if (replacements.empty()) return;

  // Rebuild: the copies stand where their xsl:include stood.
  KTStylesheetCompiler& compiler = processor.Compiler();
  ChildList old = element->ReleaseChildren();
  element->ReserveChildren(static_cast<int>(old.size()));
  std::vector<KTXPathNode*> placed;
  size_t next = 0;
  for (int index = 0; index < static_cast<int>(old.size()); ++index) {
    if (next < replacements.size() && replacements[next].index == index) {
      for (auto& copy : replacements[next].copies) placed.push_back(element->AppendChild(std::move(copy)));
      ForgetSubtree(compiler, old[index].get());
      old[index].reset();
      ++next;
      continue;
    }
    element->AppendChild(std::move(old[index]));
  }
  // Copies under the top stylesheet are compiled now; those under an
  // included stylesheet element when that element's children are copied.
  if (element != topStylesheet) return;
  const KTDeclRecord* record = processor.FindDeclaration(element);
  int parentId = record ? record->elementId : kXSLTStylesheet;
  bool forwardsCompatible = record ? record->forwardsCompatible : false;
  for (KTXPathNode* copy : placed) compiler.CompileElement(parentId, copy, forwardsCompatible);
}

}  // namespace

KTXPathNode* KTXSLTProcessor::GetDocument(const KTString* baseUri, const KTString& href, bool stylesheetWalk) {
  KTString url = href;
  if (href.IsRelativePath(false)) url = href.MakeAbsolute(baseUri ? baseUri->c_str() : nullptr, u"");
  url = WithoutDotSegments(url);
  auto known = stylesheetDocuments_.find(url);
  if (known != stylesheetDocuments_.end()) return known->second.get();

  std::unique_ptr<KTSchemaServices> model = NewSchemaModel();
  KTXNode* document = LoadDocument(url.c_str());
  if (!document) {
    // The subclass has said why; a second reference to the URL fails
    // without loading (and reporting) it again.
    stylesheetDocuments_.emplace(url, nullptr);
    return nullptr;
  }
  std::unique_ptr<KTXPathNode> view;
  if (treeContext_) {
    try {
      view = treeContext_->WrapTree(document, model.get(), true, url.c_str());
    } catch (const KTXTreeException&) {
      view.reset();
    }
  }
  if (!view) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, nullptr);
  if (model) ThrowIfExpansionStopped(*model, url);
  if (stylesheetWalk)
    KTWhitespaceStripper().StripStylesheet(view.get());
  else
    KTWhitespaceStripper().StripDocument(view.get(), &spaceRules_);
  KTXPathNode* root = view.get();
  stylesheetDocuments_.emplace(url, std::move(view));
  return root;
}

void KTXSLTProcessor::ThrowIfExpansionStopped(const KTSchemaServices& model, const KTString& url) {
  KTString why;
  if (!model.ExpansionStopped(why)) return;
  // The document would take part with some of its text missing.
  KTXSLTError error(42, nullptr);  // "Could not load external entity"
  error.SetMessageText(KTString(error.GetMessage()) + u" " + url + u": entity references cannot be expanded: " + why);
  throw error;
}

KTString KTXSLTProcessor::WithoutDotSegments(const KTString& path) {
  std::u16string_view text = path.View();
  if (text.empty() || text.front() != u'/') return path;
  if (text.find(u"/.") == std::u16string_view::npos && text.find(u"//") == std::u16string_view::npos) return path;
  std::vector<std::u16string_view> segments;
  size_t start = 1;
  while (start <= text.size()) {
    size_t end = text.find(u'/', start);
    if (end == std::u16string_view::npos) end = text.size();
    std::u16string_view segment = text.substr(start, end - start);
    if (segment == u"..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!segment.empty() && segment != u".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::u16string out;
  out.reserve(text.size());
  for (std::u16string_view segment : segments) {
    out += u'/';
    out += segment;
  }
  if (out.empty()) out = u"/";
  return KTString(std::u16string_view(out));
}

void KTXSLTProcessor::ResolveIncludes(KTXPathNode* element, KTXPathNode* topStylesheet) {
  ChildList imports;
  size_t copiedNodes = 0;
  ResolveIncludesOf(*this, element, topStylesheet, imports, copiedNodes);
  if (imports.empty()) return;
  // Imports of included stylesheets follow the top stylesheet's own.
  int at = FirstAfterLeading(topStylesheet);
  for (int index = at; index < topStylesheet->GetChildCount(); ++index)
    if (ElementIdOf(topStylesheet->GetChild(index)) == kXSLTImport) at = index + 1;
  std::vector<KTXPathNode*> placed;
  for (auto& copy : imports) placed.push_back(topStylesheet->InsertChild(at++, std::move(copy)));
  int parentId = ElementIdOf(topStylesheet);
  for (KTXPathNode* copy : placed) compiler_->CompileElement(parentId, copy, false);
}

namespace {

// The xsl:import elements and space declarations of one stylesheet module,
// with those of its includes in place, in document order.
struct ModuleSpace {
  std::vector<KTXPathNode*> imports;
  std::vector<KTXPathNode*> declarations;
};

bool SameDocument(const KTXPathNode* a, const KTXPathNode* b) {
  if (a == b) return true;
  const KTString* aUri = KTXPathNode::GetDocumentUri(a);
  const KTString* bUri = KTXPathNode::GetDocumentUri(b);
  return aUri && bUri && !aUri->IsEmpty() && *aUri == *bUri;
}

// The stylesheet element of the module that `reference` (an xsl:import or
// xsl:include) names, when it loads, is an xsl:stylesheet or xsl:transform
// and is not already open on `open`; null otherwise.
// How many modules the walk visits at most: a module is visited once for
// every xsl:import and xsl:include that reaches it, so modules that include
// one another twice at each level would take exponential time. The run
// refuses such a stylesheet where the copies pass their own bound.
constexpr size_t kMaxModuleVisits = size_t{1} << 16;

struct SpaceWalk {
  std::vector<const KTXPathNode*> open;
  size_t visits = 0;
};

KTXPathNode* ReferencedModule(KTXSLTProcessor& processor, KTXPathNode* reference, SpaceWalk& walk) {
  const std::vector<const KTXPathNode*>& open = walk.open;
  if (open.size() >= KTXSLTProcessor::kMaxIncludeDepth || ++walk.visits > kMaxModuleVisits) return nullptr;
  KTXPathNode* href = processor.Compiler().FindAttribute(reference, u"href", nullptr);
  if (!href) return nullptr;
  KTXPathNode* root = processor.GetDocument(KTXPathNode::GetDocumentUri(reference), KTString(href->GetValue()), true);
  if (!root) return nullptr;
  for (const KTXPathNode* entry : open)
    if (SameDocument(entry, root)) return nullptr;
  KTXPathNode* element = processor.FindStylesheetElement(root);
  if (element == root || processor.ElementIdOf(element) != kXSLTStylesheet) return nullptr;
  return element;
}

void GatherModule(KTXSLTProcessor& processor, KTXPathNode* element, SpaceWalk& walk, ModuleSpace& into) {
  for (const auto& child : element->Children()) {
    if (child->GetKind() != kXPathElement) continue;
    switch (processor.ElementIdOf(child.get())) {
      case kXSLTImport:
        into.imports.push_back(child.get());
        break;
      case kXSLTInclude:
        if (KTXPathNode* included = ReferencedModule(processor, child.get(), walk)) {
          walk.open.push_back(DocumentRootOf(included));
          GatherModule(processor, included, walk, into);
          walk.open.pop_back();
        }
        break;
      case kXSLTStripSpace:
      case kXSLTPreserveSpace:
        into.declarations.push_back(child.get());
        break;
      default:
        break;
    }
  }
}

// Imports first, each with a lower precedence than the module that imports
// it (XSLT 1.0 §2.6.2), then the module's own declarations.
void CollectModule(KTXSLTProcessor& processor, KTXPathNode* element, SpaceWalk& walk, int& precedence,
                   KTSpaceRules& rules) {
  walk.open.push_back(DocumentRootOf(element));
  ModuleSpace module;
  GatherModule(processor, element, walk, module);
  for (KTXPathNode* reference : module.imports) {
    if (KTXPathNode* imported = ReferencedModule(processor, reference, walk))
      CollectModule(processor, imported, walk, precedence, rules);
  }
  ++precedence;
  for (KTXPathNode* declaration : module.declarations) {
    KTXPathNode* elements = processor.Compiler().FindAttribute(declaration, u"elements", nullptr);
    if (!elements) continue;
    std::vector<KTSpaceRules::NameTest> tests;
    // A faulty list is reported when the declaration compiles.
    if (KTSpaceRules::ParseNameTests(declaration, elements->GetValue(), tests) != KTSpaceRules::ParseResult::kParsed)
      continue;
    rules.Add(tests, processor.ElementIdOf(declaration) == kXSLTStripSpace, precedence);
  }
  walk.open.pop_back();
}

}  // namespace

void KTXSLTProcessor::CollectSpaceRules(KTXPathNode* stylesheetRoot) {
  spaceRules_.Clear();
  if (!stylesheetRoot) return;
  KTXPathNode* element = FindStylesheetElement(stylesheetRoot);
  if (element == stylesheetRoot || ElementIdOf(element) != kXSLTStylesheet) return;
  SpaceWalk walk;
  int precedence = 0;
  CollectModule(*this, element, walk, precedence, spaceRules_);
}

KTXPathNode* KTXSLTProcessor::FindStylesheetElement(KTXPathNode* root) const {
  int first = FirstAfterLeading(root);
  int count = root->GetChildCount();
  if (first == count) return root;
  for (int index = first; index < count; ++index) {
    KTXPathNode* child = root->GetChild(index);
    if (child->GetKind() == kXPathElement && ElementIdOf(child) == kXSLTStylesheet) return child;
  }
  return root->GetChild(first);
}

bool KTXSLTProcessor::IsBeingIncluded(const KTXPathNode* root) const {
  const KTXPathNode* top = DocumentRootOf(root);
  const KTString* uri = KTXPathNode::GetDocumentUri(top);
  for (const KTXPathNode* entry : includeStack_) {
    if (entry == top) return true;
    const KTString* entryUri = KTXPathNode::GetDocumentUri(entry);
    if (uri && entryUri && !uri->IsEmpty() && *uri == *entryUri) return true;
  }
  return false;
}

KTXPathNode* KTXSLTProcessor::OwningStylesheetElement(KTXPathNode* topLevelElement) const {
  KTXPathNode* parent = topLevelElement ? topLevelElement->GetParent() : nullptr;
  if (!parent) return nullptr;
  // A copy keeps the URI of the document it came from (ResolveIncludes).
  KTXPathNode* root = StylesheetRootOf(topLevelElement);
  KTXPathNode* own = root ? FindStylesheetElement(root) : nullptr;
  return own && own != root ? own : parent;
}

KTXPathNode* KTXSLTProcessor::StylesheetRootOf(KTXPathNode* node) const {
  KTXPathNode* root = node;
  while (root && root->GetParent()) root = root->GetParent();
  if (!node || !root) return root;
  const KTString* nodeUri = KTXPathNode::GetDocumentUri(node);
  const KTString* rootUri = KTXPathNode::GetDocumentUri(root);
  if (!nodeUri || nodeUri == rootUri || (rootUri && *nodeUri == *rootUri)) return root;
  auto included = stylesheetDocuments_.find(*nodeUri);
  return included == stylesheetDocuments_.end() || !included->second ? root : included->second.get();
}

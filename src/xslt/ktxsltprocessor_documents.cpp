// KTXSLTProcessor: the stylesheet documents that xsl:include and xsl:import
// reach. Each is loaded once per URL through the subclass, wrapped, stripped
// and kept until the next Prepare; includes are resolved by placing the
// included stylesheet's top-level elements where the xsl:include stood:
// moved out of a module that nothing else has used, else copied.
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "xml/ktloadahead.h"
#include "xml/ktschemaservices.h"
#include "xml/ktxpathnode.h"
#include "xml/ktxpathtreecontext.h"
#include "xslt/ktdeclrecord.h"
#include "xslt/ktstylesheetcompiler.h"
#include "xslt/ktwhitespacestripper.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltprocessor.h"

namespace {

constexpr int kImportAfterOtherElement = KTXSLTError::kImportAfterOtherElement;
constexpr int kHrefExpected = KTXSLTError::kHrefExpected;
constexpr int kCannotInclude = KTXSLTError::kCannotInclude;
constexpr int kRecursiveInclude = KTXSLTError::kRecursiveInclude;

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

// One xsl:include child and the nodes that take its place.
struct Replacement {
  int index;
  ChildList copies;
  // The nodes of the module's top-level subtrees, counted for the include
  // limit: room enough in the compiler's index for the copies.
  size_t subtreeNodes = 0;
};

// Takes the top-level nodes (those after the leading ones) out of the
// stylesheet element of an included module whose nodes nothing else uses,
// in order, and records them so that the module can be filled again if it
// is read later. `nested` holds the nodes its own includes placed there.
ChildList TakeTopLevelNodes(KTXSLTProcessor& processor, KTXPathNode* root, KTXPathNode* included,
                            const std::vector<KTXPathNode*>& nested) {
  KTXSLTProcessor::MovedModule moved{included, included->InheritedElementMap(), included->InheritedAttributeMap(), {}};
  int first = FirstAfterLeading(included);
  int last = included->GetChildCount();
  ChildList taken(static_cast<size_t>(last - first));
  moved.entries.reserve(taken.size());
  std::unordered_set<const KTXPathNode*> placed(nested.begin(), nested.end());
  for (int k = first; k < last; ++k) {
    KTXPathNode* node = included->GetChild(k);
    moved.entries.push_back(
        {node, !placed.contains(node), node->InheritedElementMap(), node->InheritedAttributeMap()});
  }
  // From the end, so that no sibling is renumbered.
  for (int k = last; k-- > first;) taken[static_cast<size_t>(k - first)] = included->RemoveChild(k);
  // An element that held no maps (one a simplified stylesheet's wrapping
  // made) keeps resolving prefixes as it did in its module, not by the maps
  // of the stylesheet it joins.
  for (size_t k = 0; k < taken.size(); ++k) {
    KTXPathNode* node = taken[k].get();
    if (node->GetKind() == kXPathElement && !node->OwnElementMap() && !node->OwnAttributeMap())
      node->SetMaps(moved.entries[k].elementMap, moved.entries[k].attributeMap);
  }
  processor.RecordMovedModule(root, std::move(moved));
  return taken;
}

// Resolves the includes among the children of `element`: first every
// include is loaded and the nodes that take its place are made (copies) or
// taken (a module nothing else uses gives its own nodes; `element` is not
// touched, so an error leaves it whole), then the children are rebuilt once.
// The xsl:import elements of included modules are collected for the top
// stylesheet; the modules whose nodes were taken to `takenFrom`. Returns
// the nodes placed in `element`.
std::vector<KTXPathNode*> ResolveIncludesOf(KTXSLTProcessor& processor, KTXPathNode* element,
                                            KTXPathNode* topStylesheet, ChildList& importsForTop,
                                            size_t& copiedNodes, std::vector<const KTXPathNode*>& takenFrom) {
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
      throw KTXSLTError::About(kCannotInclude, hrefNode);
    KTXPathNode* root =
        processor.GetDocument(KTXPathNode::GetDocumentUri(child), KTString(hrefNode->GetValue()), true);
    if (!root) throw KTXSLTError::About(kCannotInclude, hrefNode);
    if (processor.IsBeingIncluded(root)) {
      KTXSLTError error(kRecursiveInclude, child);
      error.SetSubject(KTXSLTError::Describe(hrefNode));
      throw error;
    }
    processor.CheckStylesheetDocument(root);

    KTXPathNode* included = processor.FindStylesheetElement(root);
    std::vector<KTXPathNode*> nested;
    {
      IncludeStackEntry entry(processor.IncludeStack(), root);
      nested = ResolveIncludesOf(processor, included, topStylesheet, importsForTop, copiedNodes, takenFrom);
    }
    const KTString* uri = KTXPathNode::GetDocumentUri(root);
    Replacement replacement{index, {}};
    if (included != root) {
      int last = included->GetChildCount();
      for (int k = FirstAfterLeading(included); k < last; ++k) {
        const size_t nodes = included->GetChild(k)->SubtreeSize();
        replacement.subtreeNodes += nodes;
        copiedNodes += nodes;
        if (copiedNodes > KTXSLTProcessor::kMaxIncludedNodes) throw KTXSLTError::About(kCannotInclude, hrefNode);
      }
      // The first use of a module takes its nodes; a later one copies
      // them (from the module filled again).
      ChildList nodes;
      if (processor.ClaimModule(root)) {
        nodes = TakeTopLevelNodes(processor, root, included, nested);
        takenFrom.push_back(root);
      } else {
        for (int k = FirstAfterLeading(included); k < last; ++k)
          nodes.push_back(std::make_unique<KTXPathNode>(*included->GetChild(k), true, nullptr));
      }
      for (auto& node : nodes) {
        int nodeKind = node->GetKind();
        if (nodeKind != kXPathText && nodeKind != kXPathComment && nodeKind != kXPathAttribute &&
            nodeKind != kXPathNamespace && !node->GetOwnDocumentUri())
          node->SetDocumentUri(uri);
        if (processor.ElementIdOf(node.get()) == kXSLTImport)
          importsForTop.push_back(std::move(node));
        else
          replacement.copies.push_back(std::move(node));
      }
    }
    replacements.push_back(std::move(replacement));
  }
  std::vector<KTXPathNode*> placed;
  if (replacements.empty()) return placed;
  size_t placedNodes = 0;
  for (const Replacement& replacement : replacements) placedNodes += replacement.subtreeNodes;

  // Rebuild: the new nodes stand where their xsl:include stood.
  KTStylesheetCompiler& compiler = processor.Compiler();
  ChildList old = element->ReleaseChildren();
  element->ReserveChildren(static_cast<int>(old.size()));
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
  // Nodes under the top stylesheet are compiled now; those under an
  // included stylesheet element when that element's children are placed.
  if (element != topStylesheet) return placed;
  const KTDeclRecord* record = processor.FindDeclaration(element);
  int parentId = record ? record->elementId : kXSLTStylesheet;
  bool forwardsCompatible = record ? record->forwardsCompatible : false;
  // The subtrees were counted for the include limit: the index makes room
  // for all of them at once, and each compile finds its room made.
  compiler.ReserveNodes(placedNodes);
  for (KTXPathNode* copy : placed) compiler.CompileElement(parentId, copy, forwardsCompatible, 0);
  return placed;
}

}  // namespace

KTString KTXSLTProcessor::ModuleUrl(const KTString* baseUri, const KTString& href) {
  KTString url = href;
  if (href.IsRelativePath(false)) url = href.MakeAbsolute(baseUri ? baseUri->c_str() : nullptr, u"");
  return WithoutDotSegments(url);
}

KTXPathNode* KTXSLTProcessor::GetDocument(const KTString* baseUri, const KTString& href, bool stylesheetWalk) {
  const KTString url = ModuleUrl(baseUri, href);
  auto known = stylesheetDocuments_.find(url);
  if (known != stylesheetDocuments_.end()) {
    if (known->second) RestoreModule(known->second.get());
    return known->second.get();
  }

  std::unique_ptr<KTSchemaServices> model = NewSchemaModel();
  KTXNode* document;
  {
    // A module loaded ahead may come with the texts its view leaves out
    // deleted already, as this walk deletes them below: loads are made
    // ahead only for the file processor, whose ForgetDocument always lets
    // document() of the URL load the module afresh.
    KTLoadAhead::ModuleWalk walk(stylesheetWalk);
    document = LoadDocument(url.c_str());
  }
  if (!document) {
    // The subclass has said why; a second reference to the URL fails
    // without loading (and reporting) it again.
    stylesheetDocuments_.emplace(url, nullptr);
    return nullptr;
  }
  std::unique_ptr<KTXPathNode> view;
  if (treeContext_) {
    // A module's parsed tree need not keep the indenting texts its view
    // leaves out, once document() of its URL is sure to load it afresh.
    if (stylesheetWalk && ForgetDocument(url.c_str())) treeContext_->SetNextDeletesParsedSpace();
    try {
      view = treeContext_->WrapTree(document, model.get(), true, url.c_str(), stylesheetWalk);
    } catch (const KTXTreeException&) {
      view.reset();
    }
  }
  if (!view) throw KTXSLTError(KTXSLTError::kUnexpectedFailure, nullptr);
  if (model) ThrowIfExpansionStopped(*model, url);
  if (stylesheetWalk) {
    KTWhitespaceStripper().StripStylesheet(view.get());
    WrapSimplifiedStylesheet(view.get());
  } else {
    KTWhitespaceStripper().StripDocument(view.get(), &spaceRules_);
  }
  KTXPathNode* root = view.get();
  stylesheetDocuments_.emplace(url, std::move(view));
  return root;
}

void KTXSLTProcessor::ThrowIfExpansionStopped(const KTSchemaServices& model, const KTString& url) {
  KTString why;
  if (model.DocumentRefused(why)) {
    // Its DTD or an entity it uses is not well-formed, or cannot be read.
    KTXSLTError error(KTXSLTError::kCannotLoad, nullptr);
    error.SetMessageText(KTString(error.GetMessage()) + u" " + url + u": " + why);
    throw error;
  }
  if (!model.ExpansionStopped(why)) return;
  // The document would take part with some of its text missing.
  KTXSLTError error(KTXSLTError::kCannotLoad, nullptr);
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
  std::vector<const KTXPathNode*> takenFrom;
  try {
    ResolveIncludesOf(*this, element, topStylesheet, imports, copiedNodes, takenFrom);
  } catch (...) {
    // Taken nodes that were not placed yet go with the unwinding lists.
    for (const KTXPathNode* root : takenFrom) ForgetMovedModule(root);
    throw;
  }
  if (imports.empty()) return;
  // Imports of included stylesheets follow the top stylesheet's own.
  int at = FirstAfterLeading(topStylesheet);
  for (int index = at; index < topStylesheet->GetChildCount(); ++index)
    if (ElementIdOf(topStylesheet->GetChild(index)) == kXSLTImport) at = index + 1;
  std::vector<KTXPathNode*> placed;
  for (auto& copy : imports) placed.push_back(topStylesheet->InsertChild(at++, std::move(copy)));
  int parentId = ElementIdOf(topStylesheet);
  for (KTXPathNode* copy : placed) compiler_->CompileElement(parentId, copy, KTStylesheetCompiler::kVersionDecides);
}

namespace {

// The space declarations are collected from the last to the first in the
// order that ranks them: a module after the modules it imports (XSLT 1.0
// §2.6.2, post-order), its declarations in document order with its
// includes in place. A module that stands twice in that order contributes
// nothing at its earlier place that its later place does not override (the
// same tests, ranked higher), so walking backwards, each module is read
// once, at the first place met: the walk costs time linear in the number of
// distinct modules however often they import or include one another.
struct SpaceWalk {
  std::unordered_set<const KTXPathNode*> seen;  // document roots of modules read
  size_t depth = 1;  // modules open, the top stylesheet's included (as the include stack counts)
  // Declarations met, last first, with their module's rank (higher first).
  std::vector<std::pair<KTXPathNode*, int>> declarations;
  int precedence = 0;  // counts down from the top stylesheet's 0
};

// The stylesheet element of the module that `reference` (an xsl:import or
// xsl:include) names when it loads, is an xsl:stylesheet or xsl:transform
// and has not been read yet; null otherwise.
KTXPathNode* UnreadModule(KTXSLTProcessor& processor, KTXPathNode* reference, SpaceWalk& walk) {
  if (walk.depth >= KTXSLTProcessor::kMaxIncludeDepth) return nullptr;
  KTXPathNode* href = processor.Compiler().FindAttribute(reference, u"href", nullptr);
  if (!href) return nullptr;
  KTXPathNode* root = processor.GetDocument(KTXPathNode::GetDocumentUri(reference), KTString(href->GetValue()), true);
  if (!root || !walk.seen.insert(root).second) return nullptr;
  KTXPathNode* element = processor.FindStylesheetElement(root);
  if (element == root || processor.ElementIdOf(element) != kXSLTStylesheet) return nullptr;
  return element;
}

// The declarations of one module with its includes in place, last first, at
// `precedence`; its imports (those of its includes after its own) go to
// `imports`, last first.
void ReadModuleBackwards(KTXSLTProcessor& processor, KTXPathNode* element, SpaceWalk& walk, int precedence,
                         std::vector<KTXPathNode*>& imports) {
  const KTXPathChildren& children = element->Children();
  for (size_t index = children.size(); index-- > 0;) {
    KTXPathNode* child = children[index].get();
    if (child->GetKind() != kXPathElement) continue;
    switch (processor.ElementIdOf(child)) {
      case kXSLTImport:
        imports.push_back(child);
        break;
      case kXSLTInclude:
        if (KTXPathNode* included = UnreadModule(processor, child, walk)) {
          ++walk.depth;
          ReadModuleBackwards(processor, included, walk, precedence, imports);
          --walk.depth;
        }
        break;
      case kXSLTStripSpace:
      case kXSLTPreserveSpace:
        walk.declarations.emplace_back(child, precedence);
        break;
      default:
        break;
    }
  }
}

void CollectModuleBackwards(KTXSLTProcessor& processor, KTXPathNode* element, SpaceWalk& walk) {
  const int precedence = walk.precedence--;
  std::vector<KTXPathNode*> imports;
  ReadModuleBackwards(processor, element, walk, precedence, imports);
  // The imports of the module's includes follow its own; backwards, they
  // come first. Each import ranks below those after it.
  for (KTXPathNode* reference : imports) {
    if (KTXPathNode* imported = UnreadModule(processor, reference, walk)) {
      ++walk.depth;
      CollectModuleBackwards(processor, imported, walk);
      --walk.depth;
    }
  }
}

}  // namespace

void KTXSLTProcessor::CollectSpaceRules(KTXPathNode* stylesheetRoot) {
  spaceRules_.Clear();
  if (!stylesheetRoot) return;
  KTXPathNode* element = FindStylesheetElement(stylesheetRoot);
  if (element == stylesheetRoot || ElementIdOf(element) != kXSLTStylesheet) return;
  SpaceWalk walk;
  walk.seen.insert(stylesheetRoot);
  CollectModuleBackwards(*this, element, walk);
  // Added first to last, so that of two equal tests the later one wins.
  for (auto at = walk.declarations.rbegin(); at != walk.declarations.rend(); ++at) {
    KTXPathNode* declaration = at->first;
    KTXPathNode* elements = Compiler().FindAttribute(declaration, u"elements", nullptr);
    if (!elements) continue;
    std::vector<KTSpaceRules::NameTest> tests;
    // A faulty list is reported when the declaration compiles.
    if (KTSpaceRules::ParseNameTests(declaration, elements->GetValue(), tests) != KTSpaceRules::ParseResult::kParsed)
      continue;
    spaceRules_.Add(tests, ElementIdOf(declaration) == kXSLTStripSpace, at->second);
  }
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

namespace {

constexpr int kNotAStylesheet = KTXSLTError::kNotRootElement;

// The first element child of a document root; null when there is none.
KTXPathNode* DocumentElementOf(const KTXPathNode* root) {
  int first = root->FirstChildOfKind(kXPathElement);
  return first < root->GetChildCount() ? root->GetChild(first) : nullptr;
}

// The xsl:version attribute of a literal result element; null when it has
// none.
KTXPathNode* XslVersionOf(const KTXPathNode* element, const KTXSLTElementRecognizer& recognizer) {
  for (const auto& child : element->Children()) {
    if (child->GetKind() != kXPathAttribute) {
      if (child->GetKind() == kXPathNamespace) continue;
      break;
    }
    if (KTXSLTLocalName(child->GetName()) == u"version" && recognizer.IsInXSLTNamespace(child.get()))
      return child.get();
  }
  return nullptr;
}

}  // namespace

void KTXSLTProcessor::CheckStylesheetDocument(KTXPathNode* root) const {
  const KTXSLTElementRecognizer& recognizer = ElementRecognizer();
  KTXPathNode* element = DocumentElementOf(root);
  if (element && recognizer.ElementId(element) == kXSLTStylesheet) return;
  if (element && !recognizer.IsInXSLTNamespace(element) && XslVersionOf(element, recognizer)) return;
  KTXSLTError error(kNotAStylesheet, element ? element : root);
  KTString text(u"Not a stylesheet: the document element ");
  if (element) {
    text += u"<";
    text += element->GetName();
    text += u"> ";
  }
  text += u"must be xsl:stylesheet or xsl:transform in the namespace http://www.w3.org/1999/XSL/Transform, "
          u"or a literal result element with an xsl:version attribute";
  error.SetMessageText(text);
  throw error;
}

void KTXSLTProcessor::WrapSimplifiedStylesheet(KTXPathNode* root) {
  const KTXSLTElementRecognizer& recognizer = ElementRecognizer();
  KTXPathNode* element = DocumentElementOf(root);
  if (!element || !treeContext_ || recognizer.IsInXSLTNamespace(element)) return;
  KTXPathNode* version = XslVersionOf(element, recognizer);
  if (!version) return;
  const KTString* xsltUri = treeContext_->InternUri(kXSLTNamespaceUri);
  auto makeElement = [&](const char16_t* name, const char16_t* attribute, const char16_t* value) {
    auto made = std::make_unique<KTXPathNode>(nullptr, kXPathElement);
    made->SetName(name);
    made->SetNamespaceUri(xsltUri);
    auto attributeNode = std::make_unique<KTXPathNode>(nullptr, kXPathAttribute);
    attributeNode->SetName(attribute);
    attributeNode->SetValue(value);
    made->AppendChild(std::move(attributeNode));
    return made;
  };
  auto stylesheet = makeElement(u"xsl:stylesheet", u"version", version->GetValue());
  auto rule = makeElement(u"xsl:template", u"match", u"/");
  int index = element->GetIndexInParent();
  rule->AppendChild(root->RemoveChild(index));
  stylesheet->AppendChild(std::move(rule));
  root->InsertChild(index, std::move(stylesheet));
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
  // A node placed by an include keeps the URI of the document it came from
  // (ResolveIncludes); its module's stylesheet element is all that is read.
  KTXPathNode* root = ModuleRootOf(topLevelElement);
  KTXPathNode* own = root ? FindStylesheetElement(root) : nullptr;
  return own && own != root ? own : parent;
}

KTXPathNode* KTXSLTProcessor::ModuleRootOf(KTXPathNode* node) const {
  KTXPathNode* root = node;
  while (root && root->GetParent()) root = root->GetParent();
  if (!node || !root) return root;
  const KTString* nodeUri = KTXPathNode::GetDocumentUri(node);
  const KTString* rootUri = KTXPathNode::GetDocumentUri(root);
  if (!nodeUri || nodeUri == rootUri || (rootUri && *nodeUri == *rootUri)) return root;
  auto included = stylesheetDocuments_.find(*nodeUri);
  return included == stylesheetDocuments_.end() || !included->second ? root : included->second.get();
}

KTXPathNode* KTXSLTProcessor::StylesheetRootOf(KTXPathNode* node) const {
  KTXPathNode* root = ModuleRootOf(node);
  if (root) RestoreModule(root);
  return root;
}

namespace {

// Gives `top` (a copy just placed) the maps `elementMap` and
// `attributeMap`, and its descendants that shared the maps the copy was
// made with the new ones, so that they share as they did in the source.
void ReplaceCopyMaps(KTXPathNode* top, KTPrefixMapRef elementMap, KTPrefixMapRef attributeMap) {
  const KTPrefixMap* madeElement = top->OwnElementMap().get();
  const KTPrefixMap* madeAttribute = top->OwnAttributeMap().get();
  top->SetMaps(std::move(elementMap), std::move(attributeMap));
  std::vector<KTXPathNode*> pending;
  for (const auto& child : top->Children()) pending.push_back(child.get());
  while (!pending.empty()) {
    KTXPathNode* node = pending.back();
    pending.pop_back();
    if (node->GetKind() != kXPathElement || node->OwnElementMap().get() != madeElement ||
        node->OwnAttributeMap().get() != madeAttribute)
      continue;
    KTXPathNode* parent = node->GetParent();
    node->SetMaps(parent->InheritedElementMap(), parent->InheritedAttributeMap());
    for (const auto& child : node->Children()) pending.push_back(child.get());
  }
}

KTPrefixMapRef CopyOfMap(const KTPrefixMapRef& map) { return map ? std::make_shared<KTPrefixMap>(*map) : nullptr; }

}  // namespace

void KTXSLTProcessor::RestoreModule(KTXPathNode* root) const {
  auto found = movedModules_.find(root);
  if (found == movedModules_.end()) return;
  MovedModule moved = std::move(found->second);
  movedModules_.erase(found);
  KTXPathNode* element = moved.element;
  // The moved nodes keep the maps they shared with the element; the element
  // and the copies below take maps of their own, so that no map is shared
  // between the module and the stylesheet that runs the moved nodes.
  if (element->OwnElementMap() || element->OwnAttributeMap())
    element->SetMaps(CopyOfMap(moved.elementMap), CopyOfMap(moved.attributeMap));
  for (const MovedModule::Entry& entry : moved.entries) {
    KTXPathNode* copy = element->AppendChild(std::make_unique<KTXPathNode>(*entry.node, true, nullptr));
    if (copy->GetKind() == kXPathElement) {
      // The copy was made with maps copied from what the moved node shows
      // where it stands now.
      bool sharedElement = entry.own && entry.elementMap == moved.elementMap && entry.attributeMap == moved.attributeMap;
      if (sharedElement)
        ReplaceCopyMaps(copy, element->InheritedElementMap(), element->InheritedAttributeMap());
      else if (entry.node->InheritedElementMap() != entry.elementMap ||
               entry.node->InheritedAttributeMap() != entry.attributeMap)
        ReplaceCopyMaps(copy, CopyOfMap(entry.elementMap), CopyOfMap(entry.attributeMap));
    }
    if (!entry.own) continue;
    // The module's own nodes keep their places in document order (and ID
    // flags) as they had them; the top one took the element's document
    // number when it was appended.
    std::vector<std::pair<const KTXPathNode*, KTXPathNode*>> pending;
    for (int i = 0; i < copy->GetChildCount(); ++i) pending.emplace_back(entry.node->GetChild(i), copy->GetChild(i));
    copy->SetPosition(entry.node->GetPosition());
    while (!pending.empty()) {
      auto [from, to] = pending.back();
      pending.pop_back();
      to->SetPosition(from->GetPosition());
      to->SetDocumentNumber(from->GetDocumentNumber());
      to->SetIdAttribute(from->IsIdAttribute());
      for (int i = 0; i < to->GetChildCount(); ++i) pending.emplace_back(from->GetChild(i), to->GetChild(i));
    }
  }
}

// The checks of compiled trees before the run (see ktstaticcheck.h): one
// walk of each tree for function calls, prefixes and variable references,
// and one walk of the whole stylesheet for the scope of the references.
#include "xslt/ktstaticcheck.h"

#include <algorithm>
#include <string>

#include "platform/ktwchar.h"
#include "platform/ktworkcount.h"
#include "xml/ktxpathnode.h"
#include "xpath/ktxpathastnode.h"
#include "xpath/ktxpathfunctionlibrary.h"
#include "xpath/ktxpathnodes.h"
#include "xslt/ktstylesheetcompiler.h"
#include "xslt/ktxslterror.h"
#include "xslt/ktxsltkeywords.h"
#include "xslt/ktxsltprocessor.h"

namespace {

constexpr std::u16string_view kXmlNamespace = u"http://www.w3.org/XML/1998/namespace";

std::u16string_view Trimmed(std::u16string_view view) {
  while (!view.empty() && KTIsSpace(view.front())) view.remove_prefix(1);
  while (!view.empty() && KTIsSpace(view.back())) view.remove_suffix(1);
  return view;
}

// Whether the prefix is bound where the expression stands, and to what
// (empty: bound to no namespace). The prefix xml is bound everywhere
// (Namespaces in XML §3).
bool LookUpPrefix(const KTXPathNode* node, std::u16string_view prefix, std::u16string_view& uri) {
  if (const KTPrefixMap* map = KTXPathNode::GetNodeNamespaceMap(node)) {
    auto found = map->find(prefix);
    if (found != map->end()) {
      uri = found->second ? found->second->View() : std::u16string_view();
      return true;
    }
  }
  if (prefix != u"xml") return false;
  uri = kXmlNamespace;
  return true;
}

// The expanded name as the run keys variables: URI ':' local for a prefix
// bound to a namespace, else the local name.
std::u16string ExpandedName(std::u16string_view uri, std::u16string_view local) {
  std::u16string name;
  if (!uri.empty()) {
    name.reserve(uri.size() + 1 + local.size());
    name += uri;
    name += u':';
  }
  name += local;
  return name;
}

// The name of a QName node (a prefix and a local part, or the local part
// alone) as written.
KTString WrittenName(const KTXPathAstNode* qname) {
  if (qname->ChildCount() != 2) return NodeText(qname);
  KTString written(NodeText(qname->ChildAt(0)));
  written += u':';
  written += NodeText(qname->ChildAt(1));
  return written;
}

// A variable reference as written: "$" and its QName.
KTString WrittenReference(const KTXPathAstNode* qname) {
  KTString written(u"$");
  written += WrittenName(qname);
  return written;
}

// The offset in the trimmed text of the character at which the node starts
// (positions count the characters left from there to the end).
int OffsetOf(const KTXPathAstNode* node, int length) {
  return length - std::min(node ? node->SourcePosition() : length, length);
}

[[noreturn]] void Fail(KTXPathNode* stylesheetNode, int kind, int functionIndex, const KTString& subject,
                       const KTString& text, int offset) {
  KTXSLTError error(KTXSLTError::kXPathError, stylesheetNode);
  error.SetXPathError(kind, functionIndex);
  if (!subject.IsEmpty()) error.SetSubject(subject);
  error.SetExpression(text, offset);
  throw error;
}

// The number of arguments of a function call, counted as the call node
// gathers them: Arguments (148) hold an Argument, then ArgumentTails.
int ArgumentCount(const KTXPathAstNode* call) {
  int count = 0;
  for (int i = 1; i < call->ChildCount(); ++i) {
    const KTXPathAstNode* list = call->ChildAt(i);
    if (list->GetKind() == kAstArguments) count += list->ChildCount();
  }
  return count;
}

// The binding's name expanded with the namespaces of its element; empty
// when it has none or its prefix is unbound (the compiler reports that).
std::u16string BindingName(const KTXPathNode* binding) {
  for (int i = 0; i < binding->GetChildCount(); ++i) {
    const KTXPathNode* attribute = binding->GetChild(i);
    if (attribute->GetKind() != kXPathAttribute) break;
    if (attribute->GetNamespaceUri() || std::u16string_view(attribute->GetName()) != u"name") continue;
    const std::u16string_view name = Trimmed(attribute->GetValue());
    const size_t colon = name.find(u':');
    if (colon == std::u16string_view::npos) return std::u16string(name);
    std::u16string_view uri;
    if (!LookUpPrefix(binding, name.substr(0, colon), uri)) return std::u16string();
    return ExpandedName(uri, name.substr(colon + 1));
  }
  return std::u16string();
}

}  // namespace

bool KTStaticCheck::CheckTree(KTXPathNode* stylesheetNode, std::u16string_view text, const KTXPathAstNode* tree) {
  if (!tree) return true;
  // Whether a prefix was looked up or a reference kept.
  bool placeBound = false;
  // The trimmed text is copied only for an error or a variable reference:
  // most trees have neither.
  const std::u16string_view trimmedView = Trimmed(text);
  const int length = static_cast<int>(trimmedView.size());
  KTString trimmedCopy;
  bool copied = false;
  auto trimmed = [&]() -> const KTString& {
    if (!copied) {
      trimmedCopy = KTString(trimmedView);
      copied = true;
    }
    return trimmedCopy;
  };
  // The kept references of the tree and the one copy of its text they share,
  // made at the first reference.
  std::vector<Reference>* kept = nullptr;
  const KTString* keptText = nullptr;
  // The walk's stack is kept from one tree to the next: most trees are small
  // and checked by the thousand.
  std::vector<const KTXPathAstNode*>& stack = walk_;
  stack.clear();
  stack.push_back(tree);
  uint64_t visited = 0;
  while (!stack.empty()) {
    const KTXPathAstNode* node = stack.back();
    stack.pop_back();
    ++visited;
    switch (node->GetKind()) {
      case kAstFunctionCall: {
        // FunctionName (147) -> QName (156) -> [QNamePrefix (177)] LocalPart (179).
        const KTXPathAstNode* functionName = node->FirstChild();
        const KTXPathAstNode* qname = functionName ? functionName->FirstChild() : nullptr;
        if (!qname || qname->ChildCount() == 0) break;
        auto written = [qname] {
          KTString name = WrittenName(qname);
          name += u"()";
          return name;
        };
        if (qname->ChildCount() == 2) {
          // A prefixed name is an extension function: whether it exists is
          // for the run to find (function-available() guards such calls),
          // but its prefix must be bound.
          std::u16string_view uri;
          placeBound = true;
          if (!LookUpPrefix(stylesheetNode, NodeText(qname->ChildAt(0)).View(), uri))
            Fail(stylesheetNode, kXPathErrInvalidPrefix, -1, written(), trimmed(), OffsetOf(node, length));
          break;
        }
        const KTXPathFunctionInfo* function = KTXPathFunctionLibrary::FindFunction(NodeText(qname).View(), true);
        if (!function)
          Fail(stylesheetNode, kXPathErrUnknownFunction, -1, written(), trimmed(), OffsetOf(node, length));
        const int count = ArgumentCount(node);
        if (count < function->minArgs)
          Fail(stylesheetNode, kXPathErrTooFewParameters, function->index, KTString(), trimmed(),
               OffsetOf(node, length));
        if (count > function->maxArgs)
          Fail(stylesheetNode, kXPathErrTooManyParameters, function->index, KTString(), trimmed(),
               OffsetOf(node, length));
        break;
      }
      case kAstVariableReference: {
        // "$" and a QName.
        const KTXPathAstNode* qname = node->ChildAt(1);
        if (!qname) break;
        placeBound = true;
        const int offset = OffsetOf(node->FirstChild() ? node->FirstChild() : node, length);
        std::u16string_view uri;
        if (qname->ChildCount() == 2 && !LookUpPrefix(stylesheetNode, NodeText(qname->ChildAt(0)).View(), uri))
          Fail(stylesheetNode, kXPathErrInvalidPrefix, -1, WrittenReference(qname), trimmed(), offset);
        const std::u16string_view local = NodeText(qname->ChildCount() == 2 ? qname->ChildAt(1) : qname).View();
        if (!kept) {
          kept = &references_[stylesheetNode];
          texts_.push_back(std::make_unique<KTString>(trimmedView));
          keptText = texts_.back().get();
        }
        Reference reference;
        if (uri.empty()) {
          reference.name = local;
        } else {
          expandedNames_.push_back(std::make_unique<std::u16string>(ExpandedName(uri, local)));
          reference.name = *expandedNames_.back();
        }
        reference.qname = qname;
        reference.text = keptText;
        reference.offset = offset;
        kept->push_back(std::move(reference));
        break;
      }
      case kAstNameTest: {
        // "*", a prefix wildcard "p:*" (its text is the prefix), or a QName.
        const KTXPathAstNode* first = node->FirstChild();
        if (!first) break;
        const bool prefixWildcard = first->GetKind() == kAstPrefixWildcard;
        if (!prefixWildcard && (first->GetKind() == kAstToken || first->ChildCount() != 2)) break;
        const KTString& prefix = NodeText(prefixWildcard ? first : first->ChildAt(0));
        std::u16string_view uri;
        placeBound = true;
        if (LookUpPrefix(stylesheetNode, prefix.View(), uri)) break;
        KTString written(prefix);
        written += u':';
        written += prefixWildcard ? KTString(u"*") : NodeText(first->ChildAt(1));
        Fail(stylesheetNode, kXPathErrInvalidPrefix, -1, written, trimmed(), OffsetOf(node, length));
      }
      default:
        break;
    }
    // A leaf is none of the nodes checked above (each of those holds its
    // name): tokens, character runs and name-less tests are passed over
    // without a visit of their own.
    for (int i = node->ChildCount() - 1; i >= 0; --i) {
      const KTXPathAstNode* child = node->ChildAt(i);
      if (child->ChildCount() == 0) {
        ++visited;
        continue;
      }
      stack.push_back(child);
    }
  }
  KTWorkCount::Add(visited);
  return !placeBound;
}

void KTStaticCheck::CollectGlobals(KTXSLTProcessor& processor, const KTXPathNode* stylesheetRoot) {
  globals_.clear();
  globalsKnown_ = true;
  if (!stylesheetRoot) return;
  const KTStylesheetCompiler& compiler = processor.Compiler();
  // A module's document root is taken once however often it is included
  // or imported.
  // The stylesheet elements still to read with the depth of their module
  // (the top one 1), loaded only within the depth the run allows.
  std::vector<std::pair<const KTXPathNode*, size_t>> sheets;
  std::unordered_set<const KTXPathNode*> seenRoots;
  auto addModule = [&](KTXPathNode* root, size_t depth) {
    if (!root || !seenRoots.insert(root).second) return;
    const KTXPathNode* element = processor.FindStylesheetElement(root);
    if (element != root && processor.ElementIdOf(element) == kXSLTStylesheet) sheets.emplace_back(element, depth);
  };
  addModule(const_cast<KTXPathNode*>(stylesheetRoot), 1);
  while (!sheets.empty()) {
    const auto [sheet, depth] = sheets.back();
    sheets.pop_back();
    for (int i = 0; i < sheet->GetChildCount(); ++i) {
      const KTXPathNode* child = sheet->GetChild(i);
      if (child->GetKind() != kXPathElement) continue;
      const int id = processor.ElementIdOf(child);
      if (id == kXSLTVariable || id == kXSLTParam) {
        globals_.insert(BindingName(child));
      } else if (id == kXSLTStylesheet) {
        sheets.emplace_back(child, depth);
      } else if ((id == kXSLTImport || id == kXSLTInclude) && depth < KTXSLTProcessor::kMaxIncludeDepth) {
        const KTXPathNode* href = compiler.FindAttribute(child, u"href", nullptr);
        if (href)
          addModule(processor.GetDocument(KTXPathNode::GetDocumentUri(child), KTString(href->GetValue()), true),
                    depth + 1);
      }
    }
  }
}

void KTStaticCheck::CheckVariableScopes(const KTXPathNode* subtree, const KTStylesheetCompiler& compiler) {
  if (!globalsKnown_ || references_.empty() || !subtree) return;
  // Most references name top-level bindings; the walk is needed only for
  // the others.
  bool localsNeeded = false;
  for (auto& [node, references] : references_) {
    for (Reference& reference : references) {
      reference.global = globals_.contains(reference.name);
      if (!reference.global) localsNeeded = true;
    }
  }
  if (!localsNeeded) {
    ForgetReferences();
    return;
  }
  auto isBinding = [&](const KTXPathNode* node) {
    if (node->GetKind() != kXPathElement) return false;
    const int id = compiler.FindElementId(node);
    return id == kXSLTVariable || id == kXSLTParam;
  };

  // Depth first in document order. A local binding enters the scope once
  // its own subtree is done (its select and content do not see it) and
  // leaves with its parent; the children of xsl:stylesheet are the
  // top-level bindings, known already.
  struct Frame {
    const KTXPathNode* node;
    int next;
    size_t scopeMark;
    bool topLevel;
  };
  std::vector<std::u16string> scope;
  // Looked up by view, like the globals.
  std::unordered_map<std::u16string, int, NameHash, std::equal_to<>> visible;
  std::vector<Frame> stack;
  uint64_t steps = 0;
  auto enter = [&](const KTXPathNode* node) {
    ++steps;
    auto found = references_.find(node);
    if (found != references_.end()) {
      for (const Reference& reference : found->second) {
        ++steps;
        if (reference.global) continue;
        auto local = visible.find(reference.name);
        if (local != visible.end() && local->second > 0) continue;
        KTString written = WrittenReference(reference.qname);
        KTString text = *reference.text;
        const int offset = reference.offset;
        ForgetReferences();
        Fail(const_cast<KTXPathNode*>(node), kXPathErrInvalidVariable, -1, written, text, offset);
      }
    }
    if (node->GetChildCount() > 0) {
      const bool topLevel = node->GetKind() == kXPathElement && compiler.FindElementId(node) == kXSLTStylesheet;
      stack.push_back({node, 0, scope.size(), topLevel});
    }
  };
  enter(subtree);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next > 0 && !frame.topLevel) {
      const KTXPathNode* done = frame.node->GetChild(frame.next - 1);
      if (isBinding(done)) {
        scope.push_back(BindingName(done));
        ++visible[scope.back()];
      }
    }
    if (frame.next == frame.node->GetChildCount()) {
      while (scope.size() > frame.scopeMark) {
        --visible[scope.back()];
        scope.pop_back();
      }
      stack.pop_back();
      continue;
    }
    const KTXPathNode* child = frame.node->GetChild(frame.next++);
    enter(child);
  }
  KTWorkCount::Add(steps);
  ForgetReferences();
}

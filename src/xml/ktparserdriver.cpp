// KTParserDriver: runs the parse engine over a text and turns the parse tree
// into document nodes. Each named rule of the grammar's rule table has one
// action (see BuildTree); every other rule is transparent and its children
// build into the same node.
#include "xml/ktparserdriver.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "core/ktexcept.h"
#include "parso/parsoparser.h"
#include "platform/ktwchar.h"
#include "xml/ktgrammarcache.h"
#include "xml/ktloadstatus.h"
#include "xml/ktsourcetext.h"
#include "xml/ktxdoctype.h"
#include "xml/ktxnode.h"

namespace {

using T = KTGrammarRuleTable;

// ATTLIST part codes (the attribute-definition parts of a DOCTYPE-ATTLIST node).
constexpr int kPartDefinition = 0;
constexpr int kPartName = 1;
constexpr int kPartNotation = 10;
constexpr int kPartEnumeration = 11;
constexpr int kPartTypeReference = 12;
constexpr int kPartValue = 13;
constexpr int kPartDeclarationText = 18;

KTDoctypeElementNode* AsElementDecl(KTXNode* node) {
  return node && node->GetKind() == kDoctypeElement ? static_cast<KTDoctypeElementNode*>(node)
                                                     : nullptr;
}

KTDoctypeAttlistNode* AsAttlist(KTXNode* node) {
  return node && node->GetKind() == kDoctypeAttlist ? static_cast<KTDoctypeAttlistNode*>(node)
                                                    : nullptr;
}

// Turns the engine's failure text into a reason a reader can act on: what
// was expected where the parse stopped.
KTString DescribeFailure(const ParsoParser& parser) {
  const std::u16string text = parser.GetErrorText();
  const GrammarRule* rule = parser.GetErrorRule();
  if (text.starts_with(u"end of ")) return KTString(u"expected ") + KTString(std::u16string_view(text));
  if (rule && rule->GetKind() == GrammarRule::kLiteral && text == rule->GetText()) {
    const char16_t* quote = text.find(u'\'') == std::u16string::npos ? u"'" : u"\"";
    return KTString(u"expected ") + quote + KTString(std::u16string_view(text)) + quote;
  }
  if (rule && rule->GetKind() == GrammarRule::kNamed && !rule->GetDescription().empty() &&
      text == rule->GetDescription()) {
    return KTString(u"expected ") + KTString(std::u16string_view(text));
  }
  return KTString(std::u16string_view(text));
}

}  // namespace

// The engine's sink for the children of the root element's content: each is
// built into the root element and then freed by the engine.
//
// Why a child handed over is final. In the XML grammar (document ::= prolog
// element misc*, element ::= emptyElemTag | realElemTag, realElemTag ::= sTag
// content eTag { ElementName = ElementNameEnd }, content ::= (...)*) the root
// element's content is watched. Once one of its children has matched, every
// later failure fails the whole document: content, a repetition, only stops;
// a failure of eTag or of the constraint fails realElemTag, the last choice
// of element, which the document requires. So the node handed over is the
// one the whole parse would have kept, or the parse fails and everything the
// stream built is removed. What else reads or changes the nodes once
// attached leaves the handed-over ones alone: the engine gives each child
// the form the content's flattening would (that flattening then skips the
// content); the constraint searches the realElemTag's children two levels
// deep, where content's own children are compared against its rules but are
// never ElementName or ElementNameEnd nodes, and end-name removal looks for
// that one node; shared prefixes are taken only by peers of a failed
// attempt at the same place (content has none, and a later attempt begins
// at or after the end of the last child). Content whose only child is a
// group node without children builds one text node (BuildTree, kContent): a
// first child of that form is kept by the engine until the next child, or
// the end, tells. Children are kept too until a batch of them is built at
// once (kBatchChildren, kBatchCharacters); the last batch is built after the
// parse (FinishStream).
class KTParserDriver::Stream : public ParseChildSink {
 public:
  explicit Stream(KTParserDriver& driver) : driver_(driver) {}
  Answer OnChild(ParseNode* const* path, int count, ParseNode* child) override {
    KTParserDriver& d = driver_;
    if (d.streamOff_) return kKeep;
    // After a build failure the rest is only parsed: that failure is what a
    // successful parse reports.
    if (d.streamBuildFailed_) return kTaken;
    ParseNode* content = path[count - 1];
    ParseNode* held = content->firstChild;
    if (!d.streamed_ && !held && !child->firstChild && child->rule &&
        child->rule->GetKind() == GrammarRule::kGroup) {
      return kKeep;
    }
    // Memory that runs out here (std::bad_alloc, or a string block refused)
    // ends the parse as memory that runs out in the engine does: the engine
    // catches std::bad_alloc.
    try {
      if (!d.streamed_ && !d.BeginStream(path)) return d.streamOff_ ? kKeep : kTaken;
      for (; held; held = held->next) {
        if (!d.BuildStreamedChild(path, held)) return kTaken;
      }
      d.BuildStreamedChild(path, child);
    } catch (const KTExcept& error) {
      if (error.GetCode() == KTExcept::kNoMemory) throw std::bad_alloc();
      throw;
    }
    return kTaken;
  }

  // Children are built in batches (the engine keeps them until then):
  // parsing and building by turns at every small child costs more than a
  // batch's parse nodes weigh.
  static constexpr int kBatchChildren = 256;
  static constexpr int kBatchCharacters = 65536;

 private:

  KTParserDriver& driver_;
};

KTParserDriver::KTParserDriver() = default;
KTParserDriver::~KTParserDriver() = default;

bool KTParserDriver::Init(const KTGrammarEntry* entry, bool caseSensitive, bool endNameRemoval,
                          bool flatten) {
  if (!entry) return false;
  parser_ = std::make_unique<ParsoParser>(entry->grammar);
  if (!parser_->IsValid()) {
    parser_.reset();
    return false;
  }
  rules_ = &entry->rules;
  parser_->SetCaseSensitive(caseSensitive);
  parser_->SetEndNameRemoval(endNameRemoval);
  parser_->SetFlatten(flatten);
  entry_ = entry;
  // The XML grammar's root element content is built while the parse runs
  // (Stream); another grammar keeps the whole-tree build.
  watchPath_.clear();
  const ParsoGrammar* grammar = entry->grammar;
  if (static_cast<int>(entry->id) == KTGrammarCache::kXml && grammar && grammar->GetRoot() &&
      grammar->FindRule(u"element") && rules_->Get(T::kRealElemTag) && rules_->Get(T::kContent) &&
      rules_->Get(T::kSTag)) {
    watchPath_ = {grammar->GetRoot(), grammar->FindRule(u"element"), rules_->Get(T::kRealElemTag),
                  rules_->Get(T::kContent)};
  }
  if (!stream_) stream_ = std::make_unique<Stream>(*this);
  return true;
}

int KTParserDriver::SetOption(int value) {
  if (!parser_) return 0;
  parser_->SetOptionWord(value);
  return value;
}

bool KTParserDriver::Parse(const char16_t* text, int length, KTLoadStatus& status,
                           KTXNode* document, const char16_t* rootRule, bool finish) {
  KTSourceText* source = source_;
  source_ = nullptr;
  if (!text) return false;
  text_ = text;
  errorMessage_ = u"";
  errorOffset_ = errorLine_ = errorColumn_ = 0;
  if (!parser_) {
    errorMessage_ = u"no grammar to parse with";
    status.SetError(KTLoadStatus::kParse, KTLoadStatus::kParseFailed);
    status.SetMessage(errorMessage_);
    return false;
  }
  if (length < 0) {
    length = 0;
    while (text[length]) ++length;
  }
  release_ = source && source->IsReleasable() && source->Begin() == text && source->GetLength() == length
                 ? source
                 : nullptr;

  uint32_t failure = 0;
  const int before = document ? document->GetChildCount() : 0;
  elementsMade_ = elementsTidied_ = 0;
  containerInElement_ = false;
  tidyElements_ = finish;
  streamDocument_ = document;
  streamed_ = streamBuildFailed_ = streamOff_ = false;
  // A build that ended in an exception may have left these behind.
  pendingAttribute_ = nullptr;
  pendingOwner_ = nullptr;
  rootElement_ = nullptr;
  documentCurrent_ = document;
  rootElemTag_ = rootElementNode_ = nullptr;
  keepParseNodes_ = false;
  releaseLimit_ = 0x7FFFFFFF;
  const bool streaming = streaming_ && document && !rootRule && !watchPath_.empty() &&
                         parser_->SetChildSink(stream_.get(), watchPath_, Stream::kBatchChildren,
                                               Stream::kBatchCharacters);
  if (!streaming) parser_->SetChildSink(nullptr, {});
  const bool parsed = parser_->Parse(text, static_cast<size_t>(length), rootRule);
  parser_->SetChildSink(nullptr, {});
  releaseLimit_ = 0x7FFFFFFF;
  keepParseNodes_ = false;
  // The document keeps only what it held before.
  auto removeBuilt = [&] {
    while (document && document->GetChildCount() > before) {
      KTChildIterator last;
      document->GetLastChild()->GetPositionInParent(last);
      document->RemoveChild(last, nullptr);
    }
  };
  if (!parsed) {
    failure = KTLoadStatus::kParseFailed;
    removeBuilt();
    ParseNode* root = parser_->GetRoot();
    // The engine keeps the first failure at a position; when the whole parse
    // stopped short of the text there, the reason is the unmatched rest.
    if (root && root->valid && root->rule && root->length < length &&
        parser_->GetErrorOffset() == root->length && !root->rule->GetDescription().empty()) {
      errorMessage_ = KTString(u"expected end of ") +
                      KTString(std::u16string_view(root->rule->GetDescription()));
    } else {
      errorMessage_ = DescribeFailure(*parser_);
    }
    if (errorMessage_.IsEmpty()) errorMessage_ = u"the text does not match the grammar";
    errorOffset_ = parser_->GetErrorOffset();
    if (release_ && release_->HasReleased() && parser_->GetErrorPosition()) {
      // The stream has handed back text the engine would count over.
      LineAndColumn(errorOffset_, errorLine_, errorColumn_);
    } else {
      errorLine_ = parser_->GetErrorLine();
      errorColumn_ = parser_->GetErrorColumn();
    }
  } else if (document) {
    bool built;
    if (streamed_) {
      built = !streamBuildFailed_ && FinishStream(document);
    } else {
      KTXNode* current = document;
      built = BuildTree(nullptr, parser_->GetRoot(), current, document);
    }
    if (!built) {
      failure = KTLoadStatus::kBuildFailed;
      removeBuilt();
    }
  }
  parser_->DropTree();
  release_ = nullptr;

  if (failure) {
    status.SetError(KTLoadStatus::kParse, failure);
    if (failure == KTLoadStatus::kParseFailed && parser_->RanOutOfMemory()) status.SetNoMemory();
    KTString message;
    message.Format(u"line %d, column %d: %s", errorLine_, errorColumn_, errorMessage_.c_str());
    status.SetMessage(message);
    status.SetPosition(errorLine_, errorColumn_);
    return false;
  }
  if (document && finish) {
    // Into an empty node whose every element was tidied as it was built, the
    // tidy-up has the rest to do; otherwise it goes over the whole tree.
    if (before == 0 && elementsMade_ == elementsTidied_ && !containerInElement_)
      TidyBesideElements(document);
    else
      document->ApplyToSubtree(nullptr, nullptr);
  }
  OnParsed(document, text, length);
  return true;
}

// The tidy-up of ApplyToSubtree (each node in preorder) over a tree whose
// elements are tidied already, and whose elements hold no container but
// elements: element subtrees are passed over. An element's tidy-up changes
// its own children and value only, and a second one finds nothing to change,
// so the tree comes out as from the walk over every node.
void KTParserDriver::TidyBesideElements(KTXNode* root) {
  root->NormalizeText(nullptr, nullptr);
  std::vector<KTXNode*> stack;  // the next child to visit at each open level
  if (KTXNode* first = root->GetFirstChild()) stack.push_back(first);
  while (!stack.empty()) {
    KTXNode* node = stack.back();
    if (!node) {
      stack.pop_back();
      continue;
    }
    stack.back() = node->GetNextSibling();
    if (node->GetKind() == kElement) continue;
    node->NormalizeText(nullptr, nullptr);
    if (KTXNode* first = node->GetFirstChild()) stack.push_back(first);
  }
}

bool KTParserDriver::AddPendingAttribute(const ParseNode* node, KTXNode* element) {
  auto* owner = static_cast<KTXContainerNode*>(element);
  const int start = static_cast<int>(node->textStart - text_);
  int expected = 0;
  if (!owner->GetPendingAttributes()) {
    // The block is sized once for the attributes of the tag: those still to
    // come stand beside this one in the parse tree.
    for (const ParseNode* at = node; at; at = at->next) expected += at->rule == node->rule;
  }
  pendingAttribute_ = owner->AddPendingAttribute(start, start + node->length, expected);
  if (!pendingAttribute_) {
    // The element holds nodes already: the attribute goes after those its
    // start tag gave before, as a node.
    owner->MakePendingNodes();
    return false;
  }
  pendingOwner_ = element;
  return true;
}

void KTParserDriver::LineAndColumn(int offset, int& line, int& column) const {
  // As the engine counts: a carriage return ends a line, and so does a line
  // feed that does not follow one.
  line = 1;
  for (int i = 0; i < offset; ++i) {
    const char16_t c = release_->At(i);
    if (c == u'\r' || (c == u'\n' && (i == 0 || release_->At(i - 1) != u'\r'))) ++line;
  }
  int lineStart = offset;
  while (lineStart > 0 && release_->At(lineStart - 1) != u'\n' && release_->At(lineStart - 1) != u'\r')
    --lineStart;
  column = release_->CountCharacters(lineStart, offset) + 1;
}

// The first child: the document's children so far (the prolog's nodes) and
// the root's start tag, built as the whole-tree build builds them, their
// parse nodes left in place: the engine compares the root's name with its
// end name once the content ends. path: document, element (null when it
// has no node), realElemTag, content.
bool KTParserDriver::BeginStream(ParseNode* const* path) {
  ParseNode* document = path[0];
  ParseNode* elemTag = path[2];
  ParseNode* content = path[3];
  ParseNode* sTag = elemTag->firstChild;
  if (!sTag || sTag->rule != rules_->Get(T::kSTag) || sTag->next) {
    // Not the shape this build knows: the engine keeps every child and the
    // whole tree is built after the parse.
    streamOff_ = true;
    return false;
  }
  streamed_ = true;
  rootElemTag_ = elemTag;
  rootElementNode_ = path[1];
  const int tagStart = static_cast<int>(elemTag->textStart - text_);
  // The engine reads the root's start tag again to compare its end name.
  if (release_) release_->Keep(tagStart, static_cast<int>(content->textStart - text_));
  releaseLimit_ = tagStart;
  keepParseNodes_ = true;
  bool ok = true;
  for (ParseNode* child = document->firstChild; child && ok; child = child->next)
    ok = BuildTree(document, child, documentCurrent_, streamDocument_);
  KTXNode* current = streamDocument_;
  if (ok) ok = BuildTree(elemTag, sTag, current, streamDocument_);
  if (ok && (current == streamDocument_ || !current || current->GetKind() != kElement)) {
    FailBuild(u"markup where the document tree cannot hold it", elemTag);
    ok = false;
  }
  keepParseNodes_ = false;
  if (!ok) {
    streamBuildFailed_ = true;
    return false;
  }
  rootElement_ = current;
  return true;
}

bool KTParserDriver::BuildStreamedChild(ParseNode* const* path, ParseNode* child) {
  // The engine goes on from the end of this child, and reads at most one
  // character before the place it has reached.
  releaseLimit_ = std::max(0, static_cast<int>(child->textStart - text_) - 1);
  KTXNode* current = rootElement_;
  if (!BuildTree(path[3], child, current, rootElement_)) {
    streamBuildFailed_ = true;
    return false;
  }
  return true;
}

// After a streamed parse: the root element's end and what follows it. The
// document's children before the root element were built by BeginStream.
bool KTParserDriver::FinishStream(KTXNode* document) {
  ParseNode* root = parser_->GetRoot();
  bool reached = false;
  while (ParseNode* child = root->firstChild) {
    if (!reached && child != rootElemTag_ && child != rootElementNode_) {
      parser_->FreeFirstChild(root);
      continue;
    }
    if (reached) {
      if (!BuildTree(root, child, documentCurrent_, document)) return false;
      parser_->FreeFirstChild(root);
      continue;
    }
    reached = true;
    // Flattening left the element node in place: the root element is its child.
    ParseNode* elemTag = child == rootElementNode_ ? static_cast<ParseNode*>(child->firstChild) : child;
    if (elemTag != rootElemTag_) {
      FailBuild(u"markup where the document tree cannot hold it", child);
      return false;
    }
    SetSourceRange(rootElement_, elemTag, 0, 0);
    // Its start tag is built and the content's children were handed over,
    // but for the last batch, which builds into the root element as the
    // content's children do.
    KTXNode* current = rootElement_;
    if (elemTag->firstChild && elemTag->firstChild->rule == rules_->Get(T::kSTag))
      parser_->FreeFirstChild(elemTag);
    while (ParseNode* part = elemTag->firstChild) {
      if (part->rule == rules_->Get(T::kContent)) {
        KTXNode* contentCurrent = rootElement_;
        while (ParseNode* held = part->firstChild) {
          if (!BuildTree(part, held, contentCurrent, rootElement_)) return false;
          parser_->FreeFirstChild(part);
        }
      } else if (!BuildTree(elemTag, part, current, document)) {
        return false;
      }
      parser_->FreeFirstChild(elemTag);
    }
    if (tidyElements_ && current && current->GetKind() == kElement) {
      current->NormalizeText(nullptr, nullptr);
      ++elementsTidied_;
    }
    parser_->FreeFirstChild(root);
  }
  return true;
}

void KTParserDriver::SetSourceRange(KTXNode* target, const ParseNode* node, int startAdjust,
                                    int endAdjust) const {
  const int start = static_cast<int>(node->textStart - text_);
  target->SetOffsets(start + startAdjust, start + node->length + endAdjust);
}

void KTParserDriver::FailBuild(const char16_t* reason, const ParseNode* node) {
  errorMessage_ = reason;
  errorOffset_ = static_cast<int>(node->textStart - text_);
  errorLine_ = node->line;
  if (release_) {
    // The text before the node may have been handed back.
    int lineStart = errorOffset_;
    while (lineStart > 0 && release_->At(lineStart - 1) != u'\n' && release_->At(lineStart - 1) != u'\r')
      --lineStart;
    errorColumn_ = release_->CountCharacters(lineStart, errorOffset_) + 1;
    return;
  }
  const char16_t* lineStart = node->textStart;
  while (lineStart > text_ && lineStart[-1] != u'\n' && lineStart[-1] != u'\r')
    --lineStart;
  errorColumn_ = KTCountCharacters(lineStart, node->textStart) + 1;
}

bool KTParserDriver::BuildTree(const ParseNode* parent, ParseNode* node, KTXNode*& current,
                               KTXNode* parentDocument) {
  const GrammarRule* rule = node->rule;
  const char16_t* text = node->textStart;
  const int length = node->length;
  // Nodes come in document order, so no later step reads the text before
  // this one's start but through release_.
  if (release_) release_->ReleaseBefore(std::min(static_cast<int>(text - text_), releaseLimit_));
  // The node whose children the child parse nodes build: a new node, or current.
  KTXNode* target = current;

  // A new node gets this parse node's source range and is appended to `to`.
  // A node that cannot hold the new one makes the build fail below.
  bool lost = false;
  auto append = [&](int kind, KTXNode* to, const ParseNode* range) -> KTXNode* {
    std::unique_ptr<KTXNode> made = CreateXNode(kind);
    KTXNode* added = nullptr;
    if (made && to && to->IsContainer()) {
      SetSourceRange(made.get(), range, 0, 0);
      // Containers other than elements are the declarations' kinds.
      if ((kind == kXmlTag || kind >= kDoctype) && to->GetKind() == kElement) containerInElement_ = true;
      added = static_cast<KTXContainerNode*>(to)->AppendMade(std::move(made));
    }
    lost = lost || !added;
    return added;
  };
  auto appendPart = [&](int part, bool withText) -> KTXNode* {
    KTXNode* made = append(kDoctypeAttlist, current, node);
    if (KTDoctypeAttlistNode* p = AsAttlist(made)) {
      p->SetPart(part);
      if (withText) p->SetValue(text, length);
    }
    return made;
  };

  const int action = rule && rule->GetKind() == GrammarRule::kNamed ? rules_->IndexOf(rule) : -1;
  KTDoctypeElementNode* decl = nullptr;
  switch (action) {
    case T::kRealElemTag:
    case T::kEmptyElemTag:
      current = parentDocument;
      target = parentDocument;
      break;
    case T::kSTag:
      // The element covers the whole element text: the range of realElemTag.
      target = append(kElement, parentDocument, parent ? parent : node);
      current = target;
      if (target) ++elementsMade_;
      break;
    case T::kElementName:
      if (parent && parent->rule && parent->rule == rules_->Get(T::kSTag)) {
        if (current) current->SetName(text, length);
      } else {
        target = append(kElement, parentDocument, parent ? parent : node);
        current = target;
        if (target) {
          ++elementsMade_;
          target->SetName(text, length);
        }
      }
      break;
    case T::kTextData:
      target = append(kText, current, node);
      if (target) target->SetValue(text, length);
      break;
    case T::kContent: {
      // White-space-only content matched by a group that keeps no node.
      const ParseNode* only = node->firstChild;
      if (only && !only->next && !only->firstChild && only->rule &&
          only->rule->GetKind() == GrammarRule::kGroup && length > 0) {
        if (KTXNode* t = append(kText, current, node)) t->SetValue(text, length);
      }
      break;
    }
    case T::kAttribute:
      // An attribute of an element's start tag waits in the element's
      // compact block (KTXContainerNode::AddPendingAttribute); its name and
      // value fill the entry below.
      if (current && current->GetKind() == kElement && AddPendingAttribute(node, current)) break;
      [[fallthrough]];
    case T::kVersionInfo:
    case T::kEncodingDecl:
    case T::kSdDecl:
      target = append(kAttribute, current, node);
      break;
    case T::kAttName:
      if (pendingAttribute_ && current == pendingOwner_) {
        pendingAttribute_->name.Assign(text, length);
        break;
      }
      [[fallthrough]];
    case T::kPiTarget:
    case T::kDocTypeName:
    case T::kExtIdNameSys:
    case T::kExtIdNamePub:
    case T::kElementDeclName:
    case T::kAttlistName:
    case T::kGeName:
    case T::kPeName:
    case T::kNotationName:
      if (current) current->SetName(text, length);
      break;
    case T::kAttValue1:
    case T::kAttValue2:
      if (pendingAttribute_ && current == pendingOwner_) {
        KTXValueNode::StoreValue(pendingAttribute_->value, text, length);
        break;
      }
      [[fallthrough]];
    case T::kCData:
    case T::kPiData:
    case T::kExtIdTextSys:
    case T::kExtIdTextPub:
    case T::kGeDef:
    case T::kPeDef:
    case T::kNotationText:
      if (current) current->SetValue(text, length);
      break;
    case T::kCdSect:
      target = append(kCData, current, node);
      break;
    case T::kCommentText:
      target = append(kComment, current, node);
      if (target) {
        target->SetValue(text, length);
        // The comment's range covers "<!--" and "-->".
        SetSourceRange(target, node, -4, 3);
      }
      break;
    case T::kPi:
      target = append(kProcessingInstruction, current, node);
      break;
    case T::kXmlDecl:
      target = append(kXmlTag, current, node);
      break;
    case T::kVersionNum:
    case T::kEncName:
    case T::kSdValue:
      if (current) {
        current->SetName(action == T::kVersionNum ? u"version"
                         : action == T::kEncName  ? u"encoding"
                                                  : u"standalone");
        current->SetValue(text, length);
      }
      break;
    case T::kDoctypeDecl:
      target = append(kDoctype, current, node);
      break;
    case T::kDocTypeText:
      target = append(kText, current, node);
      if (target) target->SetValue(text, length);
      break;
    case T::kExternalId:
      target = append(kDoctypeExternalId, current, node);
      break;
    case T::kElementDecl:
    case T::kElementGroup:
      target = append(kDoctypeElement, current, node);
      break;
    case T::kElementEmpty:
    case T::kElementAny:
    case T::kElementPcData:
    case T::kElementChoice:
    case T::kElementSeq:
    case T::kElementMixed:
      decl = AsElementDecl(current);
      if (!decl) {
        FailBuild(u"content model outside an element declaration", node);
        return false;
      }
      decl->SetContentType(action == T::kElementEmpty    ? kContentEmpty
                           : action == T::kElementAny    ? kContentAny
                           : action == T::kElementPcData ? kContentPCData
                           : action == T::kElementChoice ? kContentChoice
                           : action == T::kElementSeq    ? kContentSequence
                                                         : kContentMixed);
      break;
    case T::kElementPeRef:
    case T::kElementSpecUnformatted:
      decl = AsElementDecl(current);
      if (!decl) {
        FailBuild(u"content model outside an element declaration", node);
        return false;
      }
      decl->SetContentType(kContentText);
      decl->SetValue(text, length);
      break;
    case T::kElementSubName:
      decl = AsElementDecl(current);
      if (!decl) {
        FailBuild(u"content particle outside an element declaration", node);
        return false;
      }
      if (decl->GetContentType(false) == kContentMixed) {
        if (KTDoctypeElementNode* p = AsElementDecl(append(kDoctypeElement, current, node))) {
          p->SetContentType(kContentName);
          p->SetName(text, length);
        }
      } else {
        decl->SetContentType(kContentName);
        decl->SetName(text, length);
        if (KTDoctypeElementNode* up = AsElementDecl(decl->GetParent())) {
          const int type = up->GetContentType(false);
          if (type != kContentSequence && type != kContentChoice) {
            up->SetContentType(kContentSequence);
          }
        }
      }
      break;
    case T::kElementRepeat:
      decl = AsElementDecl(current);
      if (decl && length > 0) {
        decl->SetOccurrence(text[0] == u'?' ? 1 : text[0] == u'+' ? 2 : text[0] == u'*' ? 3 : 0);
      }
      break;
    case T::kAttlistDecl:
      target = append(kDoctypeAttlist, current, node);
      if (KTDoctypeAttlistNode* a = AsAttlist(target)) a->SetPart(kPartDefinition);
      break;
    case T::kAttDef:
      // The first definition fills the declaration's own node; each further
      // one gets a node of its own beside it, named like the declaration.
      if (current && current->HasChildren()) {
        KTXNode* next = append(kDoctypeAttlist, current->GetParent(), node);
        if (KTDoctypeAttlistNode* a = AsAttlist(next)) {
          a->SetPart(kPartDefinition);
          a->SetName(current->GetName());
        }
        current = next;
        target = next;
      }
      break;
    case T::kAttDefName:
    case T::kAttDefPeRef:
      appendPart(kPartName, true);
      break;
    case T::kAttTypeCData:
    case T::kAttTypeId:
    case T::kAttTypeIdRef:
    case T::kAttTypeIdRefs:
    case T::kAttTypeEntity:
    case T::kAttTypeEntities:
    case T::kAttTypeNmToken:
    case T::kAttTypeNmTokens:
      appendPart(action == T::kAttTypeCData      ? 2
                 : action == T::kAttTypeId       ? 3
                 : action == T::kAttTypeIdRef    ? 4
                 : action == T::kAttTypeIdRefs   ? 5
                 : action == T::kAttTypeEntity   ? 6
                 : action == T::kAttTypeEntities ? 7
                 : action == T::kAttTypeNmToken  ? 8
                                                 : 9,
                 false);
      break;
    case T::kAttTypeNotation:
    case T::kAttTypeEnum: {
      // Appended at once and without a range; the values that follow become
      // its siblings.
      std::unique_ptr<KTXNode> made = CreateXNode(kDoctypeAttlist);
      static_cast<KTDoctypeAttlistNode*>(made.get())
          ->SetPart(action == T::kAttTypeNotation ? kPartNotation : kPartEnumeration);
      if (current && current->GetKind() == kElement) containerInElement_ = true;
      lost = !current || !current->AppendChild(std::move(made));
      break;
    }
    case T::kAttTypePeRef:
      appendPart(kPartTypeReference, true);
      break;
    case T::kAttTypeEnumName:
    case T::kAttTypeNotName:
      appendPart(kPartValue, true);
      break;
    case T::kAttRequired:
    case T::kAttImplied:
    case T::kAttFixed:
    case T::kAttDefValue:
      target = appendPart(action == T::kAttRequired  ? 14
                          : action == T::kAttImplied ? 15
                          : action == T::kAttFixed   ? 16
                                                     : 17,
                          false);
      break;
    case T::kAttlistRestUnformatted:
      if (KTDoctypeAttlistNode* a = AsAttlist(current)) {
        a->SetPart(kPartDeclarationText);
        a->SetValue(text, length);
      }
      break;
    case T::kGeDecl:
    case T::kPeDecl:
      target = append(kDoctypeEntity, current, node);
      break;
    case T::kNotationDecl:
      target = append(kDoctypeNotation, current, node);
      break;
    default:
      break;  // transparent: the children build into current
  }

  if (lost || (node->firstChild && !target)) {
    FailBuild(u"markup where the document tree cannot hold it", node);
    return false;
  }
  // Each child's parse subtree is freed as soon as it is built, so the
  // parse tree gives its memory back while the document tree grows and the
  // two never stand at full size side by side.
  KTXNode* childCurrent = target;
  if (keepParseNodes_) {
    for (ParseNode* child = node->firstChild; child; child = child->next) {
      if (!BuildTree(node, child, childCurrent, target)) return false;
    }
  } else {
    while (ParseNode* child = node->firstChild) {
      if (!BuildTree(node, child, childCurrent, target)) return false;
      parser_->FreeFirstChild(node);
    }
  }
  if (action == T::kAttribute) pendingAttribute_ = nullptr;
  // An element is complete once its tag's parse node is built. Tidying it
  // now, while its Text children are fresh, lets them go before the rest of
  // the document is built; the tidy-up of the whole tree after the build
  // finds these elements already in their final form. Children are tidied
  // before their parent here, which gives the same tree: a node's tidy-up
  // only rearranges its own children and value.
  if (tidyElements_ && (action == T::kRealElemTag || action == T::kEmptyElemTag) && childCurrent &&
      childCurrent != target && childCurrent->GetKind() == kElement) {
    childCurrent->NormalizeText(nullptr, nullptr);
    ++elementsTidied_;
  }
  return true;
}

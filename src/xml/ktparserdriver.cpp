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
#include "platform/ktutf8.h"
#include "platform/ktwchar.h"
#include "xml/ktchunkparse.h"
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

// The engine's sink for the children of the elements' contents: the content
// of the root element, and of every element inside it at any depth, is
// watched, and the engine offers the children of the deepest one in
// progress. Each is built into its element and then freed by the engine.
//
// Why a child handed over is final. In the XML grammar (document ::= prolog
// element misc*, element ::= emptyElemTag | realElemTag, realElemTag ::= sTag
// content eTag { ElementName = ElementNameEnd }, content ::= (TextData |
// emptyElemTag | realElemTag | cdSect | pi | comment)*) take an element in
// progress at any depth, its content holding children already matched.
// Every later failure fails the whole document: content, a repetition, only
// stops; a failure of eTag or of the constraint fails this realElemTag. For
// the root element, it is the last choice of element, which the document
// requires. For an element inside another's content, the choices tried after
// it at its start (cdSect, pi, comment) begin with "<!" or "<?", which cannot
// match the "<" and name its start tag matched, so the enclosing content
// stops there, and its element's eTag cannot match there either ("</"): that
// element fails in turn, and so on up to the root. So the node handed over is
// the one the whole parse would have kept, or the parse fails and everything
// the stream built is removed. What else reads or changes the nodes once
// attached leaves the handed-over ones alone: the engine gives each child
// the form the content's flattening would (that flattening then skips the
// content); the constraint searches each realElemTag's children two levels
// deep, where content's own children are compared against its rules but are
// never ElementName or ElementNameEnd nodes, and end-name removal looks for
// that one node; shared prefixes are taken only by peers of a failed
// attempt at the same place (content has none, and a later attempt begins
// at or after the end of the last child). Content whose only child is a
// group node without children builds one text node (BuildTree, kContent): a
// first child of that form is kept by the engine until the next child, or
// the end, tells; an element whose content the stream opened had another
// child in progress, so the rule never applies to it. Children are kept too
// until a batch of them is built at once (kBatchChildren, kBatchCharacters,
// counted by each content apart); the last batches are built when their
// element is closed.
//
// The text the engine may read again: one character before the place it
// has reached, and each element in progress's start tag, which the choices
// after a failed element read from its start, and whose name the
// constraint compares with the end name and a mismatch's message copies.
// Each open element pins its start tag in the source text, and the parse
// nodes of its start tag stay until it is closed.
class KTParserDriver::Stream : public ParseChildSink {
 public:
  explicit Stream(KTParserDriver& driver) : driver_(driver) {}
  Answer OnChild(ParseNode* const* path, int count, ParseNode* child) override {
    KTParserDriver& d = driver_;
    if (d.streamOff_) return kKeep;
    // After a build failure the rest is only parsed: that failure is what a
    // successful parse reports.
    if (d.streamBuildFailed_) return kTaken;
    // Memory that runs out here (std::bad_alloc, or a string block refused)
    // ends the parse as memory that runs out in the engine does: the engine
    // catches std::bad_alloc.
    try {
      return d.OnStreamChild(path, count, child) ? kTaken : kKeep;
    } catch (const KTExcept& error) {
      if (error.GetCode() == KTExcept::kNoMemory) throw std::bad_alloc();
      throw;
    }
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
  // Table id 0 is no rule's: a rule the grammar lacks never matches.
  auto tableId = [&](int name) { return rules_->Get(name) ? rules_->Get(name)->GetTableId() : 0u; };
  sTagId_ = tableId(T::kSTag);
  contentId_ = tableId(T::kContent);
  elementNameId_ = tableId(T::kElementName);
  textDataId_ = tableId(T::kTextData);
  // The action of each rule of the grammar by its place (BuildTree): a parse
  // node's rule is one of them.
  static_assert(kMaxGrammarRules >= kParsoMaxRules, "a rule's place indexes the action table");
  std::fill(std::begin(actions_), std::end(actions_), int8_t{-1});
  for (int i = 0; i < T::kCount; ++i) {
    const GrammarRule* rule = rules_->Get(i);
    if (rule && rule->GetKind() == GrammarRule::kNamed && rule->GetIndex() >= 0 &&
        rule->GetIndex() < kMaxGrammarRules && rules_->IndexOf(rule) == i) {
      actions_[rule->GetIndex()] = static_cast<int8_t>(i);
    }
  }
  parser_->SetCaseSensitive(caseSensitive);
  parser_->SetEndNameRemoval(endNameRemoval);
  parser_->SetFlatten(flatten);
  entry_ = entry;
  caseSensitive_ = caseSensitive;
  endNameRemoval_ = endNameRemoval;
  flatten_ = flatten;
  // The XML grammar's root element content is built while the parse runs
  // (Stream); another grammar keeps the whole-tree build.
  watchPath_.clear();
  watchRepeat_.clear();
  const ParsoGrammar* grammar = entry->grammar;
  if (static_cast<int>(entry->id) == KTGrammarCache::kXml && grammar && grammar->GetRoot() &&
      grammar->FindRule(u"element") && rules_->Get(T::kRealElemTag) && rules_->Get(T::kContent) &&
      rules_->Get(T::kSTag)) {
    watchPath_ = {grammar->GetRoot(), grammar->FindRule(u"element"), rules_->Get(T::kRealElemTag),
                  rules_->Get(T::kContent)};
    // Below it, an element's content through the group of content's choices.
    watchRepeat_ = {nullptr, rules_->Get(T::kRealElemTag), rules_->Get(T::kContent)};
  }
  // Too deep a document is refused in elements, the unit its reader counts.
  std::vector<const GrammarRule*> elementRules;
  if (rules_->Get(T::kEmptyElemTag) && rules_->Get(T::kRealElemTag))
    elementRules = {rules_->Get(T::kEmptyElemTag), rules_->Get(T::kRealElemTag)};
  parser_->SetMatchNestingLimit(elementRules, kMaxElementDepth,
                                u"elements nested deeper than " +
                                    KTUtf8ToUtf16(std::to_string(kMaxElementDepth)) + u" levels");
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
  withoutNul_ = nextWithoutNul_;
  nextWithoutNul_ = false;
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
  // A large document may be parsed in chunks on several threads; when that
  // does not apply or fails, the document is as before and the serial parse
  // below runs as if alone.
  if (!inChunkParse_ && document && !rootRule && streaming_ && !watchPath_.empty() &&
      document->GetChildCount() == 0) {
    const bool withoutNul = withoutNul_;
    inChunkParse_ = true;
    KTSourceText* release =
        source && source->IsReleasable() && source->Begin() == text && source->GetLength() == length ? source
                                                                                                      : nullptr;
    const bool chunked = KTChunkParse::Run(*this, text, length, document, finish, withoutNul, release);
    inChunkParse_ = false;
    if (chunked) {
      OnParsed(document, text, length);
      return true;
    }
    text_ = text;
    withoutNul_ = withoutNul;
    errorMessage_ = u"";
    errorOffset_ = errorLine_ = errorColumn_ = 0;
  }
  release_ = source && source->IsReleasable() && source->Begin() == text && source->GetLength() == length
                 ? source
                 : nullptr;

  uint32_t failure = 0;
  const int before = document ? document->GetChildCount() : 0;
  elementsMade_ = elementsTidied_ = 0;
  containerInElement_ = false;
  plainTree_ = true;
  notPlainBefore_ = KTXName::GetNotPlainCount();
  tidyElements_ = finish;
  streamDocument_ = document;
  streamed_ = streamBuildFailed_ = streamOff_ = false;
  // A build that ended in an exception may have left these behind.
  pendingAttribute_ = nullptr;
  pendingOwner_ = nullptr;
  levels_.clear();
  foldedInto_ = nullptr;
  documentCurrent_ = document;
  rootElementNode_ = nullptr;
  keepParseNodes_ = false;
  releaseLimit_ = 0x7FFFFFFF;
  const bool streaming = streaming_ && document && !rootRule && !watchPath_.empty() &&
                         parser_->SetChildSink(stream_.get(), watchPath_, Stream::kBatchChildren,
                                               Stream::kBatchCharacters, watchRepeat_);
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
    plainTree_ = false;
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
      // It counts as the engine does: a CR ends a line, so an offset between
      // the CR and the LF of a pair starts the next one.
      release_->LineAndColumn(errorOffset_, errorLine_, errorColumn_, KTLineMap::PairMiddle::kOnNextLine);
    } else {
      parser_->GetErrorPlace(errorLine_, errorColumn_);
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
      plainTree_ = false;
      failure = KTLoadStatus::kBuildFailed;
      removeBuilt();
    }
  }
  parser_->DropTree();
  ClearLevels();
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
    plainTree_ = false;
    return false;
  }
  pendingOwner_ = element;
  return true;
}

// The name and value of the pending attribute `node` stands for: its
// leading children that are an AttName or an attribute value without
// children of their own are read into the entry (as BuildTree reads them
// for a pending attribute) and freed; the build goes on with the rest.
void KTParserDriver::FillPendingAttribute(ParseNode* node) {
  while (const ParseNode* child = node->firstChild) {
    const GrammarRule* rule = child->rule;
    if (child->firstChild || !rule || static_cast<unsigned>(rule->GetIndex()) >= unsigned{kMaxGrammarRules})
      return;
    const int action = actions_[rule->GetIndex()];
    if (action != T::kAttName && action != T::kAttValue1 && action != T::kAttValue2) return;
    const char16_t* text = child->textStart;
    if (release_) release_->ReleaseBefore(std::min(static_cast<int>(text - text_), releaseLimit_));
    if (action == T::kAttName) {
      pendingAttribute_->name.Assign(text, child->length);
      NotePendingName();
    } else {
      StoreText(pendingAttribute_->value, text, child->length);
    }
    parser_->FreeFirstChild(node);
  }
}

void KTParserDriver::NotePendingName() {
  const KTXCompactAttributes* block = static_cast<const KTXContainerNode*>(pendingOwner_)->GetPendingAttributes();
  const int count = block ? block->Count() : 0;
  if (count == 0 || count > kPlainAttributeLimit || &(*block)[count - 1] != pendingAttribute_) {
    plainTree_ = false;
    return;
  }
  // Interned: one name, one address.
  const char16_t* name = pendingAttribute_->name.c_str();
  for (int i = 0; i + 1 < count; ++i) {
    if ((*block)[i].name.c_str() == name) {
      plainTree_ = false;
      return;
    }
  }
}

// A value read from the text: without the search for a NUL when the text
// is known to hold none (SetTextWithoutNul).
void KTParserDriver::StoreText(KTString& value, const char16_t* text, int length) const {
  if (withoutNul_)
    KTXValueNode::StoreValueWithoutNul(value, text, length);
  else
    KTXValueNode::StoreValue(value, text, length);
}

// The same into an element's or a Text's value.
void KTParserDriver::SetText(KTXNode* node, const char16_t* text, int length) const {
  if (withoutNul_)
    static_cast<KTXValueNode*>(node)->SetValueWithoutNul(text, length);
  else
    node->SetValue(text, length);
}

// The name of the element a start tag `node` made: its first child when
// that is an ElementName without children, read as BuildTree reads it under
// a start tag and freed.
void KTParserDriver::TakeElementName(ParseNode* node, KTXNode* element) {
  const ParseNode* child = node->firstChild;
  if (!child || child->firstChild) return;
  const GrammarRule* rule = child->rule;
  if (!rule || static_cast<unsigned>(rule->GetIndex()) >= unsigned{kMaxGrammarRules} ||
      actions_[rule->GetIndex()] != T::kElementName) {
    return;
  }
  const char16_t* text = child->textStart;
  if (release_) release_->ReleaseBefore(std::min(static_cast<int>(text - text_), releaseLimit_));
  element->SetName(text, child->length);
  parser_->FreeFirstChild(node);
}

// The attributes of the start tag `node` that go to `element` as pending
// ones (it holds no node yet): its leading attribute children, each built
// as BuildTree builds an attribute of a start tag, and freed. False when a
// build fails.
bool KTParserDriver::TakeAttributes(ParseNode* node, KTXNode* element) {
  while (ParseNode* child = node->firstChild) {
    const GrammarRule* rule = child->rule;
    if (!rule || static_cast<unsigned>(rule->GetIndex()) >= unsigned{kMaxGrammarRules} ||
        actions_[rule->GetIndex()] != T::kAttribute || element->GetKind() != kElement ||
        element->GetFirstMadeChild()) {
      return true;
    }
    if (release_)
      release_->ReleaseBefore(std::min(static_cast<int>(child->textStart - text_), releaseLimit_));
    if (!AddPendingAttribute(child, element)) return true;  // not reached: the element holds no node
    FillPendingAttribute(child);
    KTXNode* current = element;
    while (ParseNode* part = child->firstChild) {
      if (!BuildTree(child, part, current, element)) return false;
      parser_->FreeFirstChild(child);
    }
    pendingAttribute_ = nullptr;
    parser_->FreeFirstChild(node);
  }
  return true;
}

namespace {

// Whether `node` is `target`, or a group that holds it (flattening off).
bool Wraps(const ParseNode* node, const ParseNode* target) {
  for (; node; node = node->firstChild) {
    if (node == target) return true;
    if (!node->rule || node->rule->GetKind() != GrammarRule::kGroup || node->firstChild == nullptr ||
        node->firstChild->next) {
      return false;
    }
  }
  return false;
}

}  // namespace

// path: document, element (null when it has no node), then per level an
// element's realElemTag and its content (path[2 + 3k], path[3 + 3k]), each
// but the last followed by the group of content's choices (null when it has
// no node). False: the engine keeps the child (nothing was built).
bool KTParserDriver::OnStreamChild(ParseNode* const* path, int count, ParseNode* child) {
  const int levels = (count - 1) / 3;
  if (levels < 1 || 3 * levels + 1 != count) return false;
  size_t open = 0;
  while (open < levels_.size() && open < static_cast<size_t>(levels) &&
         levels_[open].elemTag == path[2 + 3 * open]) {
    ++open;
  }
  if (open < static_cast<size_t>(levels)) {
    // A content's first child that is a group without children waits: as
    // the only child it builds differently (BuildTree, kContent). Its
    // element (the deepest level) is not open yet.
    if (!path[count - 1]->firstChild &&
        !child->firstChild && child->rule && child->rule->GetKind() == GrammarRule::kGroup) {
      return false;
    }
    for (int k = static_cast<int>(open); k < levels; ++k) {
      const ParseNode* sTag = path[2 + 3 * k]->firstChild;
      if (!sTag || sTag->rule != rules_->Get(T::kSTag) || sTag->next) {
        // Not the shape this build knows: the engine keeps the children,
        // and the element is built whole once it is a child itself (the
        // root's, after the parse).
        if (k == 0) streamOff_ = true;
        return false;
      }
    }
  }
  // The engine goes on from the end of this child, and reads at most one
  // character before the place it has reached, besides the start tags of
  // the elements in progress, which are pinned.
  releaseLimit_ = std::max(0, static_cast<int>(child->textStart - text_) - 1);
  if (!streamed_ && !BeginStream(path)) return true;
  for (size_t k = 0; k < static_cast<size_t>(levels); ++k) {
    if (k == levels_.size() && !OpenLevel(path, static_cast<int>(k))) return true;
    if (levels_[k].elemTag != path[2 + 3 * k]) {
      // An element that ended and was not found among its parent's children.
      FailBuild(u"markup where the document tree cannot hold it", path[2 + 3 * k]);
      streamBuildFailed_ = true;
      return true;
    }
    const bool deepest = k + 1 == static_cast<size_t>(levels);
    if (!BuildLevelChildren(k, deepest ? child : nullptr, false)) return true;
  }
  // The engine frees the deepest content's children with this one.
  levels_[levels - 1].built = nullptr;
  return true;
}

// Before the first level: the document's children so far (the prolog's
// nodes), built as the whole-tree build builds them, their parse nodes left
// in place (the document is in progress); then the root's start tag.
bool KTParserDriver::BeginStream(ParseNode* const* path) {
  ParseNode* document = path[0];
  streamed_ = true;
  rootElementNode_ = path[1];
  keepParseNodes_ = true;
  bool ok = true;
  for (ParseNode* child = document->firstChild; child && ok; child = child->next)
    ok = BuildTree(document, child, documentCurrent_, streamDocument_);
  keepParseNodes_ = false;
  if (!ok) {
    streamBuildFailed_ = true;
    return false;
  }
  return OpenLevel(path, 0);
}

// Opens the element in progress at `level` (its content holds children the
// stream builds): its start tag is built as the whole-tree build builds it,
// its parse nodes left in place (the engine compares the element's name
// with its end name once the content ends) and its text pinned.
bool KTParserDriver::OpenLevel(ParseNode* const* path, int level) {
  ParseNode* elemTag = path[2 + 3 * level];
  ParseNode* content = path[3 + 3 * level];
  ParseNode* sTag = elemTag->firstChild;
  KTXNode* parent = level ? levels_[static_cast<size_t>(level) - 1].element : streamDocument_;
  const int tagStart = static_cast<int>(elemTag->textStart - text_);
  const int tagEnd = static_cast<int>(content->textStart - text_);
  levels_.push_back(StreamLevel{elemTag, content, nullptr, nullptr, 0, tagStart, tagEnd});
  if (release_) release_->Pin(tagStart, tagEnd);
  keepParseNodes_ = true;
  KTXNode* current = parent;
  bool ok = BuildTree(elemTag, sTag, current, parent);
  keepParseNodes_ = false;
  if (ok && (current == parent || !current || current->GetKind() != kElement)) {
    FailBuild(u"markup where the document tree cannot hold it", elemTag);
    ok = false;
  }
  if (!ok) {
    streamBuildFailed_ = true;
    return false;
  }
  levels_.back().element = current;
  return true;
}

bool KTParserDriver::BuildLevelChildren(size_t level, ParseNode* extra, bool consume) {
  ParseNode* content = levels_[level].content;
  if (consume) {
    // Those built while the content was in progress go first. They are told
    // by their place, not by the last one's address: the content's own
    // flattening at its end may have removed that one (a build empties the
    // node it builds, and flattening drops a named node left without
    // children).
    if (levels_[level].built) {
      const int builtEnd = levels_[level].builtEnd;
      while (content->firstChild && content->firstChild->textStart - text_ < builtEnd)
        parser_->FreeFirstChild(content);
      levels_[level].built = nullptr;
    }
    while (ParseNode* child = content->firstChild) {
      if (!BuildContentChild(level, child)) return false;
      parser_->FreeFirstChild(content);
    }
  } else {
    // The content is in progress: its children stay, for the engine to free.
    ParseNode* built = levels_[level].built;
    for (ParseNode* child = built ? static_cast<ParseNode*>(built->next) : static_cast<ParseNode*>(content->firstChild);
         child; child = child->next) {
      if (!BuildContentChild(level, child)) return false;
      levels_[level].built = child;
      levels_[level].builtEnd = static_cast<int>(child->textStart - text_) + child->length;
    }
  }
  return !extra || BuildContentChild(level, extra);
}

bool KTParserDriver::BuildContentChild(size_t level, ParseNode* child) {
  // An element the stream opened has ended: it is closed instead.
  if (level + 1 < levels_.size() && Wraps(child, levels_[level + 1].elemTag))
    return CloseLevel(level + 1);
  KTXNode* element = levels_[level].element;
  KTXNode* current = element;
  if (!BuildTree(levels_[level].content, child, current, element)) {
    streamBuildFailed_ = true;
    return false;
  }
  return true;
}

// The element at `level` has ended (its parse node complete): the rest of
// its content and what follows it in its node (the end tag) are built, then
// its range is set and it is tidied, as the whole-tree build does once an
// element's children are built. The elements it holds that the stream
// opened are closed on the way (they are the deeper levels).
bool KTParserDriver::CloseLevel(size_t level) {
  ParseNode* elemTag = levels_[level].elemTag;
  ParseNode* content = levels_[level].content;
  KTXNode* element = levels_[level].element;
  KTXNode* parent = level ? levels_[level - 1].element : streamDocument_;
  if (elemTag->firstChild && elemTag->firstChild->rule == rules_->Get(T::kSTag))
    parser_->FreeFirstChild(elemTag);
  KTXNode* current = element;
  while (ParseNode* part = elemTag->firstChild) {
    if (part == content) {
      if (!BuildLevelChildren(level, nullptr, true)) return false;
    } else if (!BuildTree(elemTag, part, current, parent)) {
      streamBuildFailed_ = true;
      return false;
    }
    parser_->FreeFirstChild(elemTag);
  }
  SetSourceRange(element, elemTag, 0, 0);
  if (tidyElements_ && current && current->GetKind() == kElement) {
    current->NormalizeText(nullptr, nullptr);
    ++elementsTidied_;
  }
  if (levels_.size() != level + 1) {
    // An element inside that the stream opened was not among its children.
    FailBuild(u"markup where the document tree cannot hold it", elemTag);
    streamBuildFailed_ = true;
    return false;
  }
  if (release_) release_->Unpin(levels_[level].pinStart, levels_[level].pinEnd);
  levels_.pop_back();
  return true;
}

void KTParserDriver::ClearLevels() {
  if (release_) {
    for (const StreamLevel& level : levels_) release_->Unpin(level.pinStart, level.pinEnd);
  }
  levels_.clear();
}

// After a streamed parse: the root element's end and what follows it. The
// document's children before the root element were built by BeginStream.
bool KTParserDriver::FinishStream(KTXNode* document) {
  ParseNode* root = parser_->GetRoot();
  const ParseNode* rootElemTag = levels_.empty() ? nullptr : levels_[0].elemTag;
  bool reached = false;
  while (ParseNode* child = root->firstChild) {
    if (!reached && child != rootElemTag && child != rootElementNode_) {
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
    if (!rootElemTag || elemTag != rootElemTag) {
      FailBuild(u"markup where the document tree cannot hold it", child);
      return false;
    }
    if (!CloseLevel(0)) return false;
    parser_->FreeFirstChild(root);
  }
  return true;
}

// The content `node` of an element (the last part of its realElemTag, so
// nothing is built into the element after it) holds one TextData and the
// element holds nothing yet: the tidy-up would make the element's value of
// that Text and drop the node (KTXContainerNode::NormalizeText). The text
// goes into the value at once instead, the value the Text would have held.
// Only for a build that tidies each element, and that frees parse nodes
// once built (the caller frees the TextData).
bool KTParserDriver::FoldOnlyText(const ParseNode* parent, const ParseNode* node, KTXNode* element) {
  const ParseNode* only = node->firstChild;
  if (!tidyElements_ || keepParseNodes_ || node->next || !parent || only->rule != rules_->Get(T::kTextData) ||
      parent->rule != rules_->Get(T::kRealElemTag) || !element || element->GetKind() != kElement ||
      element->GetChildCount() != 0 || element->GetValueLength() != 0) {
    return false;
  }
  SetText(element, only->textStart, only->length);
  foldedInto_ = element;
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
  while (lineStart > text_ + chunkStart_ && lineStart[-1] != u'\n' && lineStart[-1] != u'\r')
    --lineStart;
  errorColumn_ = KTCountCharacters(lineStart, node->textStart) + 1;
}

// An element whose start tag holds its name (and maybe attributes) and whose
// content is empty or one text: the most common element of a document. It
// is built as BuildTree builds realElemTag, sTag and content one inside the
// other, without the three rounds through it; any other shape is left to
// BuildTree (kNotPlain), before anything was built or freed.
int KTParserDriver::BuildPlainElement(ParseNode* node, KTXNode*& current, KTXNode* parentDocument) {
  ParseNode* sTag = node->firstChild;
  if (!sTag || sTag->rule.GetTableId() != sTagId_) return kNotPlain;
  ParseNode* content = sTag->next;
  if (!content || content->next || content->rule.GetTableId() != contentId_) return kNotPlain;
  const ParseNode* name = sTag->firstChild;
  if (!name || name->firstChild || name->rule.GetTableId() != elementNameId_) return kNotPlain;
  const ParseNode* only = content->firstChild;
  if (only && (only->next || only->firstChild || only->rule.GetTableId() != textDataId_)) return kNotPlain;
  if (!parentDocument->IsContainer()) return kNotPlain;

  const int start = static_cast<int>(node->textStart - text_);
  if (release_) release_->ReleaseBefore(std::min(start, releaseLimit_));
  current = parentDocument;
  // The start tag: the element, covering the whole element text.
  if (release_) release_->ReleaseBefore(std::min(static_cast<int>(sTag->textStart - text_), releaseLimit_));
  std::unique_ptr<KTXNode> made = CreateXNode(kElement);
  if (made) made->SetOffsets(start, start + node->length);
  KTXNode* element = made ? static_cast<KTXContainerNode*>(parentDocument)->AppendMade(std::move(made)) : nullptr;
  if (!element) {
    FailBuild(u"markup where the document tree cannot hold it", sTag);
    return kFailed;
  }
  ++elementsMade_;
  // The name, as TakeElementName takes it (its shape is known here).
  if (release_) release_->ReleaseBefore(std::min(static_cast<int>(name->textStart - text_), releaseLimit_));
  element->SetName(name->textStart, name->length);
  parser_->FreeFirstChild(sTag);
  if (sTag->firstChild) {
    if (!TakeAttributes(sTag, element)) return kFailed;
    KTXNode* tagCurrent = element;
    while (ParseNode* child = sTag->firstChild) {
      if (!BuildTree(sTag, child, tagCurrent, element)) return kFailed;
      parser_->FreeFirstChild(sTag);
    }
  }
  parser_->FreeFirstChild(node);
  // The content: nothing, or its only text (FoldOnlyText, else a Text).
  if (release_) release_->ReleaseBefore(std::min(static_cast<int>(content->textStart - text_), releaseLimit_));
  if (only) {
    // FoldOnlyText's test, on what is known here: the content is the last
    // part of a realElemTag, its only child a TextData, and the element new
    // (no value; counted children are its attributes and what the start tag
    // built).
    auto* container = static_cast<KTXContainerNode*>(element);
    if (tidyElements_ && container->KTXContainerNode::GetChildCount() == 0 &&
        container->GetValueLength() == 0) {
      SetText(element, only->textStart, only->length);
      foldedInto_ = element;
      parser_->FreeFirstChild(content);
    } else {
      KTXNode* contentCurrent = element;
      if (!BuildTree(content, content->firstChild, contentCurrent, element)) return kFailed;
      parser_->FreeFirstChild(content);
    }
  }
  parser_->FreeFirstChild(node);
  if (tidyElements_ && element->GetKind() == kElement) {
    if (element != foldedInto_) element->NormalizeText(nullptr, nullptr);
    foldedInto_ = nullptr;
    ++elementsTidied_;
  }
  return kBuilt;
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
    // Kinds the tree check reads more of than names and references.
    if (kind != kElement && kind != kText && kind != kComment && kind != kCData && kind != kXmlTag &&
        !(kind == kAttribute && to && to->GetKind() == kXmlTag)) {
      plainTree_ = false;
    }
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

  const int action = rule && static_cast<unsigned>(rule->GetIndex()) < unsigned{kMaxGrammarRules}
                         ? actions_[rule->GetIndex()]
                         : -1;
  KTDoctypeElementNode* decl = nullptr;
  switch (action) {
    case T::kRealElemTag:
      if (!keepParseNodes_ && parentDocument) {
        const int built = BuildPlainElement(node, current, parentDocument);
        if (built != kNotPlain) return built == kBuilt;
      }
      [[fallthrough]];
    case T::kEmptyElemTag:
      current = parentDocument;
      target = parentDocument;
      break;
    case T::kSTag:
      // The element covers the whole element text: the range of realElemTag.
      target = append(kElement, parentDocument, parent ? parent : node);
      current = target;
      if (target) {
        ++elementsMade_;
        if (!keepParseNodes_) {
          TakeElementName(node, target);
          if (node->firstChild && !TakeAttributes(node, target)) return false;
        }
      }
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
      if (target) SetText(target, text, length);
      break;
    case T::kContent: {
      // White-space-only content matched by a group that keeps no node.
      const ParseNode* only = node->firstChild;
      if (only && !only->next && !only->firstChild && only->rule) {
        if (only->rule->GetKind() == GrammarRule::kGroup && length > 0) {
          if (KTXNode* t = append(kText, current, node)) t->SetValue(text, length);
        } else if (FoldOnlyText(parent, node, current)) {
          parser_->FreeFirstChild(node);
        }
      }
      break;
    }
    case T::kAttribute:
      // An attribute of an element's start tag waits in the element's
      // compact block (KTXContainerNode::AddPendingAttribute); its name and
      // value fill the entry below.
      if (current && current->GetKind() == kElement && AddPendingAttribute(node, current)) {
        if (!keepParseNodes_) FillPendingAttribute(node);
        break;
      }
      [[fallthrough]];
    case T::kVersionInfo:
    case T::kEncodingDecl:
    case T::kSdDecl:
      target = append(kAttribute, current, node);
      break;
    case T::kAttName:
      if (pendingAttribute_ && current == pendingOwner_) {
        pendingAttribute_->name.Assign(text, length);
        NotePendingName();
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
        StoreText(pendingAttribute_->value, text, length);
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
      appendPart(action == T::kAttTypeCData      ? kAttlistTypeCDATA
                 : action == T::kAttTypeId       ? kAttlistTypeID
                 : action == T::kAttTypeIdRef    ? kAttlistTypeIDREF
                 : action == T::kAttTypeIdRefs   ? kAttlistTypeIDREFS
                 : action == T::kAttTypeEntity   ? kAttlistTypeENTITY
                 : action == T::kAttTypeEntities ? kAttlistTypeENTITIES
                 : action == T::kAttTypeNmToken  ? kAttlistTypeNMTOKEN
                                                 : kAttlistTypeNMTOKENS,
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
      plainTree_ = false;
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
      target = appendPart(action == T::kAttRequired  ? kAttlistRequired
                          : action == T::kAttImplied ? kAttlistImplied
                          : action == T::kAttFixed   ? kAttlistFixed
                                                     : kAttlistDefault,
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
    // An element whose text went straight into its value has its final form.
    if (childCurrent != foldedInto_) childCurrent->NormalizeText(nullptr, nullptr);
    foldedInto_ = nullptr;
    ++elementsTidied_;
  }
  return true;
}

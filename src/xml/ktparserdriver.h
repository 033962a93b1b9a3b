// KTParserDriver: parses a text with a cached grammar (ktgrammarcache.h)
// through the parse engine and builds the document tree (ktxnode.h) from the
// parse tree, rule by rule; a failure lands in the caller's KTLoadStatus.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxname.h"

class KTLoadStatus;
class KTSourceText;
class KTXNode;
struct KTXCompactAttribute;
class ParsoParser;
struct KTGrammarEntry;
class KTGrammarRuleTable;
class GrammarRule;
struct ParseNode;

class KTParserDriver {
 public:
  // Elements nested deeper than this fail to parse, with a message at the
  // first one too deep. Each element nests three rule matches of the XML
  // grammar (the content, its choice, the element) and its own markup about
  // a dozen more, so the engine's rule limit (ParsoParser::kMaxNestingDepth,
  // 5000) is never what stops a document of this depth: 3 * 1600 plus the
  // document's own few and the innermost markup's stays below it.
  static constexpr int kMaxElementDepth = 1600;

  KTParserDriver();
  virtual ~KTParserDriver();
  KTParserDriver(const KTParserDriver&) = delete;
  KTParserDriver& operator=(const KTParserDriver&) = delete;

  // Makes a parser on the entry's grammar with the given settings. False for
  // a null entry or a grammar that is not loaded.
  virtual bool Init(const KTGrammarEntry* entry, bool caseSensitive, bool endNameRemoval,
                    bool flatten);
  // Sets the engine's option word when a parser exists and returns the
  // value; 0 otherwise.
  virtual int SetOption(int value);
  // Parses text[0, length) from the named rule (the grammar's root when
  // null) and builds the result as children of `document` (parse only when
  // it is null). With `finish` the new tree is tidied (ApplyToSubtree).
  // On failure the status gets category 3 and code 5 (the text does not
  // match) or 6 (the tree could not be built), its message the line, the
  // column and the reason; the document keeps only what it held before.
  virtual bool Parse(const char16_t* text, int length, KTLoadStatus& status, KTXNode* document,
                     const char16_t* rootRule, bool finish);
  // For the next Parse only: the text it is given, through an object that
  // may hand back the part the tree build has passed (ktsourcetext.h). The
  // build then releases the text behind it as it goes, and reads it back
  // through `source` alone. Ignored unless `source` views that same text.
  void SetSourceText(KTSourceText* source) { source_ = source; }
  // For the next Parse only: its text holds no U+0000 (the loader's
  // character check has passed it), so values copied from it need no
  // search for one.
  void SetTextWithoutNul() { nextWithoutNul_ = true; }
  // Whether a document parsed with the XML grammar from its root rule is
  // built while the parse runs (on by default): the children of the
  // elements, at any depth, go into the document tree in batches as they
  // match, and their parse nodes are freed at once. Off, the whole parse
  // tree is built first. The outcome is the same either way.
  void SetStreaming(bool on) { streaming_ = on; }

  // Whether the last successful Parse built only elements, texts, comments,
  // CDATA sections and an XML declaration with its attributes, every element
  // and attribute plainly named (KTXName::Entry::plain), no element with an
  // attribute node or with more than kPlainAttributeLimit attributes, and
  // none with an attribute given twice. From a text without '&', such a tree
  // holds nothing the tree check (KTCheckWellFormedTree) could refuse.
  bool BuiltPlainTree() const { return plainTree_ && KTXName::GetNotPlainCount() == notPlainBefore_; }
  // The attributes of one element compared pairwise for BuiltPlainTree. At
  // 16, the at most 120 compares of one element cost less than the tree
  // check's gathering and namespace look at its attributes, which a plain
  // tree without '&' is spared (records of ten or so attributes are common).
  static constexpr int kPlainAttributeLimit = 16;

  // The last failure: the engine's message, the offset in characters and the
  // 1-based line and column (all empty or 0 after a success).
  const KTString& GetErrorMessage() const { return errorMessage_; }
  int GetErrorOffset() const { return errorOffset_; }
  int GetErrorLine() const { return errorLine_; }
  int GetErrorColumn() const { return errorColumn_; }

 protected:
  // Hook after a successful parse; empty. The text behind the build may have
  // been handed back (SetSourceText): it is read through that object.
  virtual void OnParsed(KTXNode* node, const char16_t* text, int length) {}

 private:
  class Stream;
  friend class Stream;
  friend class KTChunkParse;

  bool BuildTree(const ParseNode* parent, ParseNode* node, KTXNode*& current,
                 KTXNode* parentDocument);
  // BuildTree's realElemTag of the common shape (BuildPlainElement in the
  // .cpp): built, failed, or not that shape (nothing done).
  enum PlainElement { kBuilt, kFailed, kNotPlain };
  int BuildPlainElement(ParseNode* node, KTXNode*& current, KTXNode* parentDocument);
  // The streamed build (class Stream). The elements whose content the
  // stream has built into are open (StreamLevel), the root's at level 0:
  // OnStreamChild builds the children a watched content offers, with those
  // of the contents around it, and opens the elements between; BeginStream
  // builds what precedes the root's content, OpenLevel an element's start
  // tag, CloseLevel the rest of an element that has ended; FinishStream,
  // after the parse, the rest of the document.
  struct StreamLevel {
    ParseNode* elemTag;      // the element's parse node (realElemTag)
    ParseNode* content;      // its content, the watched node
    KTXNode* element;        // built from the start tag
    ParseNode* built;        // the last of the content's children built (null: none)
    int builtEnd;            // where the children built end in the text
    int pinStart;            // the start tag's text, pinned while the level is open
    int pinEnd;
  };
  bool OnStreamChild(ParseNode* const* path, int count, ParseNode* child);
  bool BeginStream(ParseNode* const* path);
  bool OpenLevel(ParseNode* const* path, int level);
  bool CloseLevel(size_t level);
  // Builds the children of an open level's content after the last one
  // built, and then `extra` when given; an element among them that the
  // stream opened is closed instead.
  bool BuildLevelChildren(size_t level, ParseNode* extra, bool consume);
  bool BuildContentChild(size_t level, ParseNode* child);
  bool FinishStream(KTXNode* document);
  void ClearLevels();
  void SetSourceRange(KTXNode* target, const ParseNode* node, int startAdjust, int endAdjust) const;
  void FailBuild(const char16_t* reason, const ParseNode* node);
  void TidyBesideElements(KTXNode* root);
  // Adds the attribute `node` of the start tag of `element` to the
  // element's pending attributes; false when it is to be built as a node.
  bool AddPendingAttribute(const ParseNode* node, KTXNode* element);
  void FillPendingAttribute(ParseNode* node);
  // After the pending attribute got its name: clears plainTree_ when its
  // element gives that name twice or has too many attributes to compare.
  void NotePendingName();
  void TakeElementName(ParseNode* node, KTXNode* element);
  void StoreText(KTString& value, const char16_t* text, int length) const;
  void SetText(KTXNode* node, const char16_t* text, int length) const;
  bool TakeAttributes(ParseNode* node, KTXNode* element);
  // Puts the only text of a content straight into its element's value;
  // false when it is to be built as a Text node.
  bool FoldOnlyText(const ParseNode* parent, const ParseNode* node, KTXNode* element);

  KTString errorMessage_;
  int errorOffset_ = 0;
  int errorLine_ = 0;
  int errorColumn_ = 0;
  std::unique_ptr<ParsoParser> parser_;
  const KTGrammarRuleTable* rules_ = nullptr;
  // The table ids (ParseRuleRef) of the rules BuildPlainElement tells a
  // plain element by, compared without reading the rule table.
  uint32_t sTagId_ = 0;
  uint32_t contentId_ = 0;
  uint32_t elementNameId_ = 0;
  uint32_t textDataId_ = 0;
  // By a rule's place in the grammar (GrammarRule::GetIndex): its place in
  // the rule table, which names its action in BuildTree; -1 for the rules
  // without one. Made by Init.
  static constexpr int kMaxGrammarRules = 500;  // kParsoMaxRules
  int8_t actions_[kMaxGrammarRules] = {};
  const KTGrammarEntry* entry_ = nullptr;
  // Init's settings, for the drivers of a chunked parse (ktchunkparse.h).
  bool caseSensitive_ = true;
  bool endNameRemoval_ = false;
  bool flatten_ = false;
  bool inChunkParse_ = false;  // a chunked parse is under way on this driver
  // Of a chunk's driver: where its chunk starts in the text. A failure's
  // column is counted from no earlier (the text before may be handed back
  // meanwhile; the chunked parse reports no failure of its own).
  int chunkStart_ = 0;
  const char16_t* text_ = nullptr;
  KTSourceText* source_ = nullptr;   // set for one Parse (SetSourceText)
  KTSourceText* release_ = nullptr;  // the build hands back text through it
  bool nextWithoutNul_ = false;  // set for one Parse (SetTextWithoutNul)
  bool withoutNul_ = false;      // the text of the parse under way holds no NUL
  bool tidyElements_ = false;  // tidy each element once built (a finishing parse)
  // Of the build under way: elements made and elements tidied as their tag
  // was built, and whether a container other than an element went into an
  // element. Together they tell whether the tidy-up after the build may pass
  // over the elements.
  // Of the build under way: what BuiltPlainTree tells, and the count of
  // names not plain (KTXName::GetNotPlainCount) when it began.
  bool plainTree_ = false;
  unsigned long notPlainBefore_ = 0;
  long elementsMade_ = 0;
  long elementsTidied_ = 0;
  bool containerInElement_ = false;
  // The pending attribute whose name and value the build is reading, and
  // its element.
  KTXCompactAttribute* pendingAttribute_ = nullptr;
  const KTXNode* pendingOwner_ = nullptr;
  // The element whose only text went into its value (FoldOnlyText), until
  // its tag's parse node is built.
  const KTXNode* foldedInto_ = nullptr;

  // Streaming (SetStreaming).
  bool streaming_ = true;
  std::vector<const GrammarRule*> watchPath_;  // document, element, realElemTag, content
  std::vector<const GrammarRule*> watchRepeat_;  // any (content's group), realElemTag, content
  std::unique_ptr<Stream> stream_;
  // Of the parse under way: the document node being built, whether the
  // stream has built the part before the root's content, the node that
  // document-level children build into, the root's element node (when
  // flattening leaves it) and the open elements.
  KTXNode* streamDocument_ = nullptr;
  bool streamed_ = false;
  bool streamBuildFailed_ = false;  // the first build failure is kept
  bool streamOff_ = false;  // the engine keeps every child (OnStreamChild)
  KTXNode* documentCurrent_ = nullptr;
  const ParseNode* rootElementNode_ = nullptr;
  std::vector<StreamLevel> levels_;
  // The build leaves the parse nodes it built in place (for the engine still
  // to read), and hands back no text at or after releaseLimit_.
  bool keepParseNodes_ = false;
  int releaseLimit_ = 0x7FFFFFFF;
};

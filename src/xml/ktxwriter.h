// Writing document trees back as XML or DTD text: the write options, the
// output buffer every node kind appends to, and the per-node frame of the
// non-recursive tree walk that KTXNode::WriteText runs.
#pragma once

#include <cstdint>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxnode.h"

struct KTWriteOptions {
  // mode: 0 writes every node, non-zero only nodes selected for writing
  // (flag 4). indent: written depth times at the start of an indented line.
  // emptyTag: an element without content is closed as "<x/>";
  // spaceBeforeSlash makes that "<x />". lineEnd: owned by the caller.
  // names: elements inside which nothing is indented (may be null).
  // recordOffsets: every written node stores its start and end offsets in
  // the output. omitDeclaration: the XML declaration writes nothing.
  KTWriteOptions(uint8_t mode, const char16_t* indent, bool emptyTag, bool spaceBeforeSlash, const char16_t* lineEnd,
                 const std::vector<KTString>* names, bool recordOffsets, bool omitDeclaration)
      : mode(mode),
        indent(indent),
        emptyTag(emptyTag),
        spaceBeforeSlash(spaceBeforeSlash),
        lineEnd(lineEnd ? lineEnd : u""),
        names(names),
        recordOffsets(recordOffsets),
        omitDeclaration(omitDeclaration) {}

  uint8_t mode;
  KTString indent;
  bool emptyTag;
  bool spaceBeforeSlash;
  const char16_t* lineEnd;
  const std::vector<KTString>* names;
  bool recordOffsets;
  bool omitDeclaration;
};

// The text being written: appends at the caller's length with geometric
// growth, so writing a tree costs time linear in its text.
class KTXTextOut {
 public:
  KTXTextOut(KTString& text, int& length, const KTWriteOptions& options)
      : text_(text), length_(length), options_(options) {}

  void Put(const char16_t* s, int count = -1);
  void Put(const KTString& s) { Put(s.c_str(), s.GetLength()); }
  void PutChar(char16_t c);
  void PutIndent(int times);
  void PutLineEnd() { Put(options_.lineEnd); }
  // Writes a node without children (attribute, external id, parts) with
  // its offsets recorded.
  void PutLeaf(KTXNode* node, int depth);

  int Length() const { return length_; }
  const KTWriteOptions& Options() const { return options_; }
  // Cleared while an element of the options' names list is written.
  bool indentAllowed = true;

 private:
  KTString& text_;
  int& length_;
  const KTWriteOptions& options_;
};

// One node being written, with the per-kind state of its child loop.
struct KTXWriteFrame {
  KTXNode* node = nullptr;
  int depth = 0;
  KTChildIterator next;
  bool hasContent = false;
  bool newLine = false;
  bool savedIndentAllowed = true;
  bool first = true;
  bool childIsBlock = false;
  int type = 0;
};

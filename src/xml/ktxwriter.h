// Writing document trees back as XML or DTD text: the write options, the
// output buffer every node kind appends to, and the per-node frame of the
// non-recursive tree walk that KTXNode::WriteText runs.
#pragma once

#include <cstdint>
#include <vector>

#include "core/ktstring.h"
#include "xml/ktxnode.h"

struct KTWriteOptions {
  // Set by name, each field left out keeping its default below:
  //   KTWriteOptions options{.emptyTag = false, .omitDeclaration = true};
  // mode: 0 writes every node, non-zero only nodes selected for writing
  // (flag 4).
  uint8_t mode = 0;
  // Written depth times at the start of an indented line.
  KTString indent{};
  // An element without content is closed as "<x/>"; spaceBeforeSlash makes
  // that "<x />".
  bool emptyTag = true;
  bool spaceBeforeSlash = false;
  // Owned by the caller; never null.
  const char16_t* lineEnd = u"\n";
  // Elements inside which nothing is indented (may be null).
  const std::vector<KTString>* names = nullptr;
  // Every written node stores its start and end offsets in the output.
  bool recordOffsets = false;
  // The XML declaration writes nothing.
  bool omitDeclaration = false;
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

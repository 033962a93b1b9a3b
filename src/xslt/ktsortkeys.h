// Sorting for xsl:sort: the collation that orders text keys, the sort key
// comparators (one per xsl:sort element, holding the key of every selected
// node) and the sort of a selection by them, key by key. The xsl:sort
// executor fills the comparators; xsl:for-each and xsl:apply-templates
// order their selection with KTSortSelection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/ktstring.h"
#include "xpath/ktxpathvalue.h"

// The collation of text sort keys. It is the program's own and never asks
// the host's locale settings, so a sort gives the same order under every
// environment: letters compare by their base letter first (case and
// accents ignored), then by accents, then lower case before upper case;
// spaces and punctuation come before digits, digits before letters. A key
// is made once per text and compared as a plain sequence of weights.
class KTCollation {
 public:
  // The collation for an xml:lang style language code; every language
  // shares the one order for now.
  static const KTCollation& ForLanguage(const KTString& language);
  // The language a sort uses when xsl:sort names none: the environment's
  // (LC_ALL, LC_COLLATE, LANG, first set wins; "C" and "POSIX" name none),
  // else "en".
  static KTString DefaultLanguage();

  struct Key {
    // Primary weights, 0, secondary weights, 0, tertiary weights.
    std::u16string weights;
    // Where the tertiary (case) weights begin.
    size_t caseStart = 0;
  };
  void MakeKey(std::u16string_view text, Key& out) const;
  // The general category of c ("Lu", "Nd", ...): from a built-in table for
  // ASCII, which then needs no character database, else from the database.
  static const char16_t* CategoryOf(char16_t c);
  // The most weights a text of `length` units gives.
  static size_t MaxKeyLength(size_t length) { return length * 6 + 2; }
  // Writes the weights of `text` to `out` (room for MaxKeyLength) as
  // MakeKey makes them; returns their length and sets where the case
  // weights begin.
  size_t WriteKey(std::u16string_view text, char16_t* out, size_t& caseStart) const;
  // The primary weights alone: at most two per character.
  static size_t MaxPrimaryLength(size_t length) { return length * 2; }
  size_t WritePrimary(std::u16string_view text, char16_t* out) const;
  // Two texts compared by their accent (secondary) or case (tertiary)
  // weights alone, made as they are read: comparing the primary weights,
  // then these two, orders texts as their whole keys do.
  int CompareAccents(std::u16string_view a, std::u16string_view b) const;
  int CompareCase(std::u16string_view a, std::u16string_view b) const;
};

// One xsl:sort key over a selection: keys are stored by the node's index
// in the selection, each made once when it is added, so a comparison only
// reads them. The settings are made before the first key is added.
class KTSortKeyComparator {
 public:
  virtual ~KTSortKeyComparator() = default;
  // <0 when a goes before b, >0 when after, 0 for equal keys; the order
  // (descending) is applied.
  virtual int Compare(int a, int b) const = 0;
  // An order-preserving summary of key i, the order applied: keys whose
  // summaries differ compare as the summaries do. Equal summaries say the
  // keys are equal when SummaryIsKey(), else Compare decides.
  virtual uint64_t Summary(int i) const = 0;
  virtual bool SummaryIsKey() const = 0;
  // Room for the keys of a selection of `count` nodes.
  virtual void Reserve(int count) = 0;

  void SetLanguage(const KTString& language) { language_ = language; }
  const KTString& Language() const { return language_; }
  void SetDataType(int code, const KTString& text) {
    dataType_ = code;
    dataTypeText_ = text;
  }
  int DataType() const { return dataType_; }
  void SetDescending(bool descending) { descending_ = descending; }
  bool Descending() const { return descending_; }
  // 0 none, 1 upper-first, 2 lower-first.
  void SetCaseOrder(int caseOrder) { caseOrder_ = caseOrder; }
  int CaseOrder() const { return caseOrder_; }
  virtual int KeyCount() const = 0;

 protected:
  KTString language_;
  int dataType_ = 0;
  KTString dataTypeText_;
  bool descending_ = false;
  int caseOrder_ = 0;
};

class KTTextSortKeyComparator : public KTSortKeyComparator {
 public:
  // Keys are added in selection order; the collation is chosen from the
  // language when the first key is added. AddKey keeps a copy of the
  // text; AddKeyInPlace keeps the view, for text that stays where it is
  // until the selection is ordered (a tree's own text).
  void AddKey(std::u16string_view text) { Add(text, true); }
  void AddKeyInPlace(std::u16string_view text) { Add(text, false); }
  // A selection of kKeysWithoutWeights keys or more keeps no weights: its
  // keys' primary weights are read from their texts as they are compared
  // (after their summaries, which decide most comparisons), so that a sort
  // of a large document holds no more than the texts.
  static constexpr int kKeysWithoutWeights = 1 << 15;
  void Reserve(int count) override {
    keys_.reserve(static_cast<size_t>(count));
    keepsWeights_ = count < kKeysWithoutWeights;
  }
  int Compare(int a, int b) const override;
  // The first four weights that the comparison reads.
  uint64_t Summary(int i) const override;
  bool SummaryIsKey() const override { return false; }
  int KeyCount() const override { return static_cast<int>(keys_.size()); }

 private:
  // Text of many keys in blocks that never move: no copy when the store
  // grows, and at most one block unused.
  class Blocks {
   public:
    // Room for `units` code units, of which Commit then keeps a part.
    char16_t* Reserve(size_t units);
    void Commit(size_t units) {
      next_ += units;
      left_ -= units;
    }

   private:
    std::vector<std::unique_ptr<char16_t[]>> blocks_;
    char16_t* next_ = nullptr;
    size_t left_ = 0;
  };
  // A key keeps its primary weights, which decide nearly every comparison,
  // and its text, from which the accent and case weights are read when
  // the primary ones are equal.
  struct Key {
    const char16_t* primary = nullptr;  // null: read from the text
    const char16_t* text = nullptr;
    uint32_t primaryLength = 0;
    uint32_t textLength = 0;
  };
  void Add(std::u16string_view text, bool copy);

  const KTCollation* collation_ = nullptr;
  bool keepsWeights_ = true;
  Blocks blocks_;
  std::vector<Key> keys_;
};

class KTNumberSortKeyComparator : public KTSortKeyComparator {
 public:
  void AddKey(double number) { numbers_.push_back(number); }
  void Reserve(int count) override { numbers_.reserve(static_cast<size_t>(count)); }
  int Compare(int a, int b) const override;
  // The number's bits, ordered as the numbers (NaN first ascending, last
  // descending; -0 equal to 0).
  uint64_t Summary(int i) const override;
  bool SummaryIsKey() const override { return true; }
  int KeyCount() const override { return static_cast<int>(numbers_.size()); }

 private:
  std::vector<double> numbers_;
};

using KTSortKeyList = std::vector<std::unique_ptr<KTSortKeyComparator>>;

// Orders the node-set `list` (in document order, one key per item in every
// comparator) by the keys, the first deciding and equal keys keeping the
// selection's (document) order, and numbers the positions 1..n. The
// comparators are released once the selection is ordered. A comparator
// whose key count differs from the list's throws KTXSLTError 7.
void KTSortSelection(KTXPathValue& list, KTSortKeyList& keys);

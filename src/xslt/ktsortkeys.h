// Sorting for xsl:sort: the collation that orders text keys, the sort key
// comparators (one per xsl:sort element, holding the key of every selected
// node) and the chain that compares two selected nodes key by key. The
// xsl:sort executor fills the comparators; xsl:for-each and
// xsl:apply-templates order their selection with KTSortSelection.
#pragma once

#include <memory>
#include <string>
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
  // <0, 0 or >0: the full comparison, or without the case level.
  static int Compare(const Key& a, const Key& b);
  static int CompareIgnoringCase(const Key& a, const Key& b);
};

// One xsl:sort key over a selection: keys are stored by the node's index
// in the selection, so comparisons look them up directly.
class KTSortKeyComparator {
 public:
  virtual ~KTSortKeyComparator() = default;
  // a is to be placed before b, by the result of the last Equal(a, b).
  virtual bool Less(int a, int b) = 0;
  // a and b have equal keys; computes what Less then uses.
  virtual bool Equal(int a, int b) = 0;

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
  // language when the first key is added.
  void AddKey(const KTString& text);
  bool Equal(int a, int b) override;
  bool Less(int a, int b) override;
  int KeyCount() const override { return static_cast<int>(texts_.size()); }

 private:
  const KTCollation* collation_ = nullptr;
  std::vector<KTString> texts_;
  std::vector<KTCollation::Key> keys_;
  int result_ = 0;
};

class KTNumberSortKeyComparator : public KTSortKeyComparator {
 public:
  void AddKey(double number) { numbers_.push_back(number); }
  bool Equal(int a, int b) override;
  bool Less(int a, int b) override;
  int KeyCount() const override { return static_cast<int>(numbers_.size()); }

 private:
  std::vector<double> numbers_;
  double a_ = 0;
  double b_ = 0;
};

using KTSortKeyList = std::vector<std::unique_ptr<KTSortKeyComparator>>;

// The comparison of a sort: the keys in the order of the xsl:sort elements,
// the first deciding; equal keys keep the selection's (document) order.
class KTSortKeyChain {
 public:
  void SetComparators(KTSortKeyList* comparators) { comparators_ = comparators; }
  bool Compare(int a, int b);

 private:
  KTSortKeyList* comparators_ = nullptr;
};

// Orders the node-set `list` (in document order, one key per item in every
// comparator) by the keys and numbers the positions 1..n. A comparator
// whose key count differs from the list's throws KTXSLTError 7.
void KTSortSelection(KTXPathValue& list, KTSortKeyList& keys);

// KTXName, the interned name every named node carries (table in
// ktxname.cpp).
#pragma once

#include <cstddef>
#include <string_view>

#include "core/ktstring.h"

// The name of a node, interned: all nodes that carry the same name share one
// counted copy of its text, so a large document holds each distinct element
// and attribute name once instead of once per node. Reads like a constant
// KTString; a name is changed only as a whole (Assign, Clear).
class KTXName {
 public:
  // One interned text with its count of holders.
  struct Entry {
    KTString text;
    size_t hash;
    size_t holders;
    // No unit above U+00FF, no colon, and not starting with "xmlns": the
    // name needs none of the checks of name characters and namespaces.
    bool plain;
  };

  KTXName() noexcept = default;
  KTXName(const KTXName& other) noexcept;
  KTXName& operator=(const KTXName& other) noexcept;
  ~KTXName();

  // The text up to `length` characters or its first NUL; empty for null.
  void Assign(const char16_t* text, int length);
  void Clear() noexcept;

  const KTString& Str() const noexcept { return entry_ ? entry_->text : Empty(); }
  operator const KTString&() const noexcept { return Str(); }
  const char16_t* c_str() const noexcept { return Str().c_str(); }
  bool IsEmpty() const noexcept { return entry_ == nullptr; }
  int GetLength() const noexcept { return Str().GetLength(); }
  std::u16string_view View() const { return Str().View(); }
  char16_t operator[](int index) const { return Str()[index]; }
  friend bool operator==(const KTXName& a, const char16_t* b) { return a.Str() == b; }
  friend bool operator==(const KTXName& a, const KTString& b) { return a.Str() == b; }

  // Distinct names held by any node right now.
  static size_t GetInternedCount();
  // Assignments so far of a name that is not plain (Entry::plain): a load
  // that made none needs no name or namespace check of its elements and
  // attributes.
  static unsigned long GetNotPlainCount() { return notPlainCount_; }

 private:
  static const KTString& Empty() noexcept;

  Entry* entry_ = nullptr;  // null: the empty name
  static inline unsigned long notPlainCount_ = 0;
};

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
  // Counted per thread: a load reads the count of its own thread.
  static unsigned long GetNotPlainCount() { return notPlainCount_; }

  // While documents load on several threads (between BeginThreaded and
  // EndThreaded, both called by the thread that starts and joins the
  // others), the table takes a lock, and a name no node holds any more stays
  // in it until EndThreaded, since another thread's cache of recent names may
  // still point at it. Nesting is counted.
  static void BeginThreaded();
  static void EndThreaded();
  // Called by a thread as it starts loading: its cache of recent names
  // starts empty.
  static void ForgetRecentNames() noexcept;

 private:
  static const KTString& Empty() noexcept;

  Entry* entry_ = nullptr;  // null: the empty name
  static inline thread_local constinit unsigned long notPlainCount_ = 0;
};

// Variable and parameter bindings of the XSLT processor: KTBindingRecord (a
// bound value and the name attribute that declared it) and KTBindingScope, a
// layer of bindings over the layer it was made from. Frames share layers
// instead of copying maps, so binding a variable costs the same however many
// bindings are in scope; values share their node vectors (KTXPathValue).
#pragma once

#include <cassert>
#include <cstdint>
#include <cstring>
#include <forward_list>
#include <map>
#include <string_view>
#include <memory>
#include <unordered_map>
#include <vector>

#include "core/ktstring.h"
#include "xpath/ktxpathvalue.h"
#include "xslt/ktblockpool.h"

class KTXPathNode;

struct KTBindingRecord {
  // The name attribute of the declaring xsl:variable, xsl:param or
  // xsl:with-param; null for a command-line parameter.
  KTXPathNode* nameNode = nullptr;
  KTXPathValue value;
};

// Orders names by length, then by their code units as bytes: a lookup is
// one length test and a memcmp per visited entry. Nothing depends on the
// order beyond finding a name.
struct KTBindingNameLess {
  bool operator()(const KTString& a, const KTString& b) const noexcept {
    const std::u16string_view x = a.View();
    const std::u16string_view y = b.View();
    if (x.size() != y.size()) return x.size() < y.size();
    return std::memcmp(x.data(), y.data(), x.size() * sizeof(char16_t)) < 0;
  }
};

using KTBindingMap = std::map<KTString, KTBindingRecord, KTBindingNameLess>;

// What an expression evaluation can see of the bindings in scope.
class KTVariableSource {
 public:
  virtual ~KTVariableSource() = default;
  // The binding visible under the name, or null.
  virtual const KTBindingRecord* FindBinding(const KTString& name) const = 0;
};

// One binding of a layer: the name and what it is bound to. The name's text
// is the layer's own copy (kept in the layer's list of copies) or, for a
// name that outlives the layer, the caller's.
struct KTBindingEntry {
  std::u16string_view name;
  KTBindingRecord record;
};

class KTBindingScope {
 public:
  // A new, empty layer; bindings of `outer` (which it shares) stay visible
  // under it until this layer binds the same name.
  explicit KTBindingScope(std::shared_ptr<const KTBindingScope> outer = nullptr)
      : outer_(std::move(outer)) {}
  // Entries hold views of their own names' text: a layer is never copied.
  KTBindingScope(const KTBindingScope&) = delete;
  KTBindingScope& operator=(const KTBindingScope&) = delete;

  // This layer first, then the outer layers. The record stays where it is
  // until the layer binds a new name or is cleared.
  const KTBindingRecord* Find(const KTString& name) const;
  // This layer only.
  const KTBindingRecord* FindOwn(const KTString& name) const;
  // Binds in this layer, replacing an own binding of the same name.
  void Bind(const KTString& name, KTBindingRecord record);
  // The same for a name that outlives the layer (a declaration record's):
  // the layer reads it in place instead of copying it.
  void BindLasting(const KTString& name, KTBindingRecord&& record);
  // BindLasting for a name the caller has just looked for in this layer
  // and not found (the check of a declaration against the names in
  // scope): the layer does not look again.
  void BindLastingNew(const KTString& name, KTBindingRecord&& record) {
    assert(IndexOf(name.View(), NameBit(name.View())) < 0);
    BindView(name.View(), std::move(record));
  }
  // Forgets this layer's own bindings; the outer layers stay.
  void Clear() {
    own_.clear();
    copies_.clear();
    slots_.clear();
    names_ = 0;
  }
  bool IsEmpty() const { return own_.empty() && !outer_; }

  using Entries = std::vector<KTBindingEntry, KTPoolAllocator<KTBindingEntry>>;
  const Entries& Own() const { return own_; }
  const std::shared_ptr<const KTBindingScope>& Outer() const { return outer_; }

 private:
  // Layers hold a few bindings each (a template's parameters, one
  // variable): a short vector read in a line beats a tree of nodes. A layer
  // that grows past kLinearLimit gets a hash index by name, so that a lookup
  // stays constant time however many bindings it holds. The index is one
  // open-addressed table (a power of two of slots, at most half full), so
  // a layer of many parameters costs one block for it, not one per name.
  static constexpr size_t kLinearLimit = 8;
  // The room a layer takes at its first binding: most layers hold a few.
  static constexpr size_t kFirstRoom = 4;

  // The bit of `names_` that a name sets: its length and its first and last
  // code units folded to one of 64 bits.
  static uint64_t NameBit(std::u16string_view name) {
    const size_t size = name.size();
    const size_t folded = size == 0 ? 0 : size * 7 + name.front() * 3 + name.back();
    return uint64_t{1} << (folded & 63);
  }
  // The position of the name in own_, or -1; `bit` is NameBit(name).
  int IndexOf(std::u16string_view name, uint64_t bit) const;
  // The same once the name's bit is known to be set in `names_`.
  int IndexOfBound(std::u16string_view name) const;
  // Binds under `name`, whose text is one of copies_ or outlives the layer.
  void BindView(std::u16string_view name, KTBindingRecord&& record);
  // Places own_[position] in the table, or makes the table anew for all of
  // own_ when it would be more than half full.
  void IndexEntry(uint32_t position);

  std::shared_ptr<const KTBindingScope> outer_;
  // Layers come and go with the frames: their entries take pool blocks.
  Entries own_;
  // The texts of the names Bind copied; a list, so that they stay in place.
  std::forward_list<KTString> copies_;
  // The index of own_ by name: slot values are positions plus one, 0 is a
  // free slot; empty while the layer is read in a line.
  std::vector<uint32_t> slots_;
  // The NameBit of every own name: a name whose bit is clear here is not
  // bound in this layer, so a lookup passes the layer over unread, as it
  // passes over most layers for a name bound further out or globally.
  uint64_t names_ = 0;
};

using KTBindingScopeRef = std::shared_ptr<KTBindingScope>;

// A map used as a variable source (the global bindings, a caller's own map).
class KTBindingMapSource : public KTVariableSource {
 public:
  explicit KTBindingMapSource(const KTBindingMap* map) : map_(map) {}
  const KTBindingRecord* FindBinding(const KTString& name) const override;

 private:
  const KTBindingMap* map_;
};

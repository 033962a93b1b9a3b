// Variable and parameter bindings of the XSLT processor: KTBindingRecord (a
// bound value and the name attribute that declared it) and KTBindingScope, a
// layer of bindings over the layer it was made from. Frames share layers
// instead of copying maps, so binding a variable costs the same however many
// bindings are in scope; values share their node vectors (KTXPathValue).
#pragma once

#include <cstring>
#include <map>
#include <string_view>
#include <memory>

#include "core/ktstring.h"
#include "xpath/ktxpathvalue.h"

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

class KTBindingScope {
 public:
  // A new, empty layer; bindings of `outer` (which it shares) stay visible
  // under it until this layer binds the same name.
  explicit KTBindingScope(std::shared_ptr<const KTBindingScope> outer = nullptr)
      : outer_(std::move(outer)) {}

  // This layer first, then the outer layers.
  const KTBindingRecord* Find(const KTString& name) const;
  // This layer only.
  const KTBindingRecord* FindOwn(const KTString& name) const;
  // Binds in this layer, replacing an own binding of the same name.
  void Bind(const KTString& name, KTBindingRecord record);
  // Forgets this layer's own bindings; the outer layers stay.
  void Clear() { own_.clear(); }
  bool IsEmpty() const { return own_.empty() && !outer_; }

  const KTBindingMap& Own() const { return own_; }
  const std::shared_ptr<const KTBindingScope>& Outer() const { return outer_; }

 private:
  std::shared_ptr<const KTBindingScope> outer_;
  KTBindingMap own_;
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

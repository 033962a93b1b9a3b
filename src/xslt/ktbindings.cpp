// Binding layers: lookups walk from the innermost layer outwards.
#include "xslt/ktbindings.h"

#include <cstring>
#include <type_traits>

// Entries and the index hold views of the names: the vector must move its
// entries (a copied name's text stays where it is), never copy them.
static_assert(std::is_nothrow_move_constructible_v<KTBindingEntry>);

int KTBindingScope::IndexOf(std::u16string_view wanted) const {
  if (index_) {
    auto it = index_->find(wanted);
    return it == index_->end() ? -1 : static_cast<int>(it->second);
  }
  for (size_t i = 0; i < own_.size(); ++i) {
    const std::u16string_view have = own_[i].name;
    if (have.size() == wanted.size() &&
        std::memcmp(have.data(), wanted.data(), wanted.size() * sizeof(char16_t)) == 0)
      return static_cast<int>(i);
  }
  return -1;
}

const KTBindingRecord* KTBindingScope::FindOwn(const KTString& name) const {
  const int i = IndexOf(name.View());
  return i < 0 ? nullptr : &own_[i].record;
}

const KTBindingRecord* KTBindingScope::Find(const KTString& name) const {
  const std::u16string_view wanted = name.View();
  for (const KTBindingScope* scope = this; scope; scope = scope->outer_.get()) {
    const int i = scope->IndexOf(wanted);
    if (i >= 0) return &scope->own_[i].record;
  }
  return nullptr;
}

void KTBindingScope::Bind(const KTString& name, KTBindingRecord record) {
  const int i = IndexOf(name.View());
  if (i >= 0) {
    own_[i].record = std::move(record);
    return;
  }
  KTString copy = name;
  const std::u16string_view view = copy.View();
  BindView(view, std::move(copy), std::move(record));
}

void KTBindingScope::BindLasting(const KTString& name, KTBindingRecord record) {
  const int i = IndexOf(name.View());
  if (i >= 0) {
    own_[i].record = std::move(record);
    return;
  }
  BindView(name.View(), KTString(), std::move(record));
}

void KTBindingScope::BindView(std::u16string_view name, KTString copy, KTBindingRecord record) {
  own_.push_back(KTBindingEntry{name, std::move(copy), std::move(record)});
  if (index_) {
    index_->emplace(name, static_cast<uint32_t>(own_.size() - 1));
  } else if (own_.size() > kLinearLimit) {
    index_ = std::make_unique<NameIndex>();
    for (size_t k = 0; k < own_.size(); ++k) index_->emplace(own_[k].name, static_cast<uint32_t>(k));
  }
}

const KTBindingRecord* KTBindingMapSource::FindBinding(const KTString& name) const {
  if (!map_) return nullptr;
  auto it = map_->find(name);
  return it == map_->end() ? nullptr : &it->second;
}

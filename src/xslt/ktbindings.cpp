// Binding layers: lookups walk from the innermost layer outwards.
#include "xslt/ktbindings.h"

const KTBindingRecord* KTBindingScope::FindOwn(const KTString& name) const {
  auto it = own_.find(name);
  return it == own_.end() ? nullptr : &it->second;
}

const KTBindingRecord* KTBindingScope::Find(const KTString& name) const {
  for (const KTBindingScope* scope = this; scope; scope = scope->outer_.get())
    if (const KTBindingRecord* found = scope->FindOwn(name)) return found;
  return nullptr;
}

void KTBindingScope::Bind(const KTString& name, KTBindingRecord record) {
  own_.insert_or_assign(name, std::move(record));
}

const KTBindingRecord* KTBindingMapSource::FindBinding(const KTString& name) const {
  if (!map_) return nullptr;
  auto it = map_->find(name);
  return it == map_->end() ? nullptr : &it->second;
}

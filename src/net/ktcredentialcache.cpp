// The credential cache and the credentials dialog's stand-in.
#include "net/ktcredentialcache.h"

namespace {

KTCredentialPrompter* gPrompter = nullptr;

}  // namespace

KTCredentialCache& KTCredentialCache::Global() {
  static KTCredentialCache cache;
  return cache;
}

void KTCredentialCache::Store(const KTCredentialKey& key, const KTCredentialEntry& entry) {
  entries_[key] = entry;
}

const KTCredentialEntry* KTCredentialCache::Find(const KTCredentialKey& key) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

void KTSetCredentialPrompter(KTCredentialPrompter* prompter) { gPrompter = prompter; }

int KTProxyPasswordDialog::DoModal() {
  if (!gPrompter) return kDialogUnavailable;
  return gPrompter->Prompt(*this);
}

const char16_t* KTProxyPasswordDialog::GetCaption() const {
  return proxy_ ? u"Enter Proxy Credentials" : u"Enter Server Credentials";
}

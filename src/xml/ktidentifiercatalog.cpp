// Resolution of document identifiers through the catalog's three maps: public
// identifiers, system identifiers and location prefixes.
#include "xml/ktidentifiercatalog.h"

KTString KTIdentifierCatalog::Normalize(const char16_t* text) {
  KTString key(text);
  key.NormalizePath();
  return key;
}

KTString& KTIdentifierCatalog::Resolve(KTString& result, const char16_t* publicId, const char16_t* location) const {
  if (publicId == nullptr || publicId[0] == 0)
    return RewriteByPrefix(result, location);
  KTString key = Normalize(publicId);
  auto at = FindPublic(key);
  if (at != publicMap_.end() && !(key < at->first)) {
    result = at->second;
    return result;
  }
  at = FindSystem(key);
  if (at != systemMap_.end() && !(key < at->first)) {
    result = at->second;
    return result;
  }
  return RewriteByPrefix(result, location);
}

KTString& KTIdentifierCatalog::RewriteByPrefix(KTString& result, const char16_t* location) const {
  if (location == nullptr) {
    result = KTString();
    return result;
  }
  KTString key = Normalize(location);
  auto exact = systemMap_.find(key);
  if (exact != systemMap_.end()) {
    result = exact->second;
    return result;
  }
  std::u16string_view keyText = key.View();
  const KTString* best = nullptr;
  size_t bestLength = 0;
  for (const auto& [prefix, replacement] : prefixMap_) {
    std::u16string_view prefixText = prefix.View();
    // Longest key wins; an empty key never counts.
    if (prefixText.size() > bestLength && keyText.substr(0, prefixText.size()) == prefixText) {
      best = &replacement;
      bestLength = prefixText.size();
    }
  }
  if (best == nullptr) {
    result = location;
    return result;
  }
  KTString rewritten = *best;
  rewritten += KTString(keyText.substr(bestLength));
  result = std::move(rewritten);
  return result;
}

// KTIdentifierCatalog: maps the identifiers a document is referred to by (a
// public identifier, a system identifier, or the start of a location) to the
// location it is really read from. The document loader resolves every location
// through it, and the document manager finds loaded documents the same way.
#pragma once

#include <map>

#include "core/ktstring.h"

class KTIdentifierCatalog {
 public:
  using Map = std::map<KTString, KTString>;

  KTIdentifierCatalog() = default;
  virtual ~KTIdentifierCatalog() = default;

  // The location for a public identifier (or null) and a location: an exact
  // public or system entry for the identifier, else the prefix rewrite of the
  // location.
  KTString& Resolve(KTString& result, const char16_t* publicId, const char16_t* location) const;
  // The location with its longest matching prefix replaced (the rest comes back
  // normalised), an exact system entry's value, or the location as given.
  KTString& RewriteByPrefix(KTString& result, const char16_t* location) const;

  // First entry whose key is not less than the normalised key.
  Map::const_iterator FindPublic(const KTString& key) const { return publicMap_.lower_bound(key); }
  Map::const_iterator FindSystem(const KTString& key) const { return systemMap_.lower_bound(key); }

  // Normalised form of a location or identifier: '\' read as '/', a URL's
  // scheme and host in lower case; a path keeps its case (POSIX names).
  static KTString Normalize(const char16_t* text);

 protected:
  // Nothing in the program adds entries; the maps stay empty for a run, so
  // every resolution returns the location it was given.
  Map publicMap_;
  Map systemMap_;
  Map prefixMap_;
};

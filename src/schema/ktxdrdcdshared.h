// What the XDR and DCD loaders share: how an attribute declaration takes
// its datatype, facets and enumerated value list.
// Internal to src/schema.
#pragma once

#include <vector>

#include "schema/ktdatatype.h"
#include "schema/ktelementtype.h"

// Sets the flag (ID, IDREF, ..., enumerated) that the type id stands for.
inline void SetAttributeTypeFlag(KTAttributeDecl& decl, uint32_t typeId) {
  switch (typeId) {
    case kDtId: decl.id = true; break;
    case kDtIdref: decl.idref = true; break;
    case kDtIdrefs: decl.idrefs = true; break;
    case kDtEntity: decl.entity = true; break;
    case kDtEntities: decl.entities = true; break;
    case kDtNmtoken: decl.nmtoken = true; break;
    case kDtNmtokens: decl.nmtokens = true; break;
    case kDtNotation: decl.notation = true; break;
    case kDtXdrEnumeration: decl.enumerated = true; break;
    default: break;
  }
}

// The tokens of a value list: blank separated, a quoted part kept whole
// with its quote characters.
inline std::vector<KTString> EnumeratedTokens(const KTString& value) {
  std::vector<KTString> tokens;
  int position = 0;
  for (;;) {
    KTString token = value.Tokenize(u" \t\r\n", position, u"'\"");
    if (token.IsEmpty()) break;
    tokens.push_back(token);
  }
  return tokens;
}

// Gives the declaration the datatype the name stands for (a datatype that
// facets made first takes the id) and the type flag of that id; false, with
// the declaration unchanged, for a name that is no datatype.
inline bool SetAttributeDatatype(KTAttributeDecl& decl, const KTString& typeName, int secondTypeId) {
  uint32_t id = DatatypeIdFromName(typeName, 1);
  if (id == kDtUnknown) return false;
  if (decl.datatype.IsValid()) {
    decl.datatype->SetTypeId(id);
  } else {
    decl.datatype = KTDatatypeRef(new KTDatatype(typeName, secondTypeId, 1, false));
  }
  SetAttributeTypeFlag(decl, id);
  return true;
}

// A facet of the declaration's datatype; a string datatype when no type was
// named before it.
inline void SetAttributeFacet(KTAttributeDecl& decl, const KTString& facet, const KTString& value, int secondTypeId) {
  if (!decl.datatype.IsValid()) {
    decl.datatype = KTDatatypeRef(new KTDatatype(KTString(u"string"), secondTypeId, 1, false));
  }
  decl.datatype->SetFacet(facet, value);
}

// An enumerated value list: each token becomes one allowed value.
inline void SetEnumeratedValues(KTAttributeDecl& decl, const KTString& value) {
  for (const KTString& token : EnumeratedTokens(value)) decl.enumeratedValues.push_back(token);
  decl.enumerated = true;
}

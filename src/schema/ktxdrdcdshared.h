// What the XDR and DCD loaders share: the type flag of an attribute
// declaration by datatype id, and the tokens of an enumerated value list.
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

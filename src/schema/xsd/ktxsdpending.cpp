// Loaders of the XML Schema components that are not read yet: complex
// types, model groups, wildcards and attribute groups. Until they are built these record nothing, so a schema that uses
// them loads its element declarations without those types.
#include "schema/xsd/ktxsdloader.h"

bool KTSchemaModel::LoadXsdComplexType(KTXNode*, KTNamespaceContext*, KTComplexTypeDef&) { return true; }
bool KTSchemaModel::LoadXsdParticle(KTXNode*, KTNamespaceContext*, KTParticle&, KTElementType*&, bool) {
  return true;
}
bool KTSchemaModel::LoadXsdAny(KTXNode*, KTNamespaceContext*, KTParticle&, KTElementType*) { return true; }
bool KTSchemaModel::LoadXsdAnyAttribute(KTXNode*, KTNamespaceContext*, KTElementType*) { return true; }
bool KTSchemaModel::LoadXsdAttributeGroup(KTXNode*, KTNamespaceContext*, KTElementType*) { return true; }

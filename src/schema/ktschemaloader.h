// Finding the schema a document names and telling its language.
#pragma once

#include <cstdint>
#include <vector>

#include "core/ktstring.h"

class KTXNode;
class KTSchemaModel;

// The location that means "the document is its own schema".
inline constexpr const char16_t* kSchemaSelfLocation = u"schema:--self--";

// Searches the children of `node` (elements depth first) for a schema
// reference: a DOCTYPE or DTD declaration (unless skipDoctype), an XDR
// "x-schema:" namespace, an XML Schema namespace binding, a
// noNamespaceSchemaLocation or schemaLocation attribute. Elements in the
// XSLT namespace are not searched below. Fills the namespaces and locations
// (kept in step), records the carrying element in the model and returns the
// schema kind (KTSchemaKind; 7 when none). With `textSize`, a search that
// finds nothing, and so has passed every node, leaves there what
// KTSchemaModel::TextSizeOf(node) gives (-1 after any other search), so
// that a document naming no schema is walked once.
int FindSchemaReference(KTSchemaModel& model, KTXNode* node, KTXNode*& referenceNode,
                        std::vector<KTString>& namespaces, std::vector<KTString>& locations, bool skipDoctype,
                        int64_t* textSize = nullptr);
// The schema language of a loaded schema document (7 when it cannot tell;
// XDR vocabulary under an XML Schema root and the like are reported).
int ClassifySchemaDocument(KTSchemaModel& model, KTXNode* schemaDocument);
// Declares the parameter entities "p" (prefix ":") and "s" (":" prefix) for a
// DTD written for schema documents, and switches the model's DTD walk to its
// two-pass mode.
void SetSchemaPrefixEntities(KTSchemaModel& model, const KTString& prefix);

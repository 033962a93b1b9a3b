// The DTD walk and the readers of element and attribute-list declarations
// it hands nodes to. The walk itself is an operation of the schema model
// (KTSchemaModel::LoadDtdPasses, ParseExtSubsetDecl); these helpers are
// shared by the walker and the declaration readers.
#pragma once

#include <string_view>

#include "core/ktstring.h"

class KTXNode;
class KTSchemaModel;
class KTElementType;

// The next node after `node` in document order within the subtree of
// `root`, among the nodes that stand: the pending attributes of an element
// (ktxnode.h) are passed over, and no node is made for them.
const KTXNode* NextMadeInSubtree(const KTXNode* node, const KTXNode* root);

// True when the whole text is one parameter-entity reference "%name;".
bool IsParameterEntityReference(const KTString& text);

enum class SectionKind { kInclude, kIgnore, kPending, kUnknown };
// The meaning of a conditional section's keyword ("INCLUDE", "IGNORE" or a
// parameter entity holding one of them). kPending: the entity is not
// declared yet and another pass was requested. False after a report.
bool ResolveSectionKeyword(KTSchemaModel& model, KTXNode* node, std::u16string_view keyword, SectionKind& kind);

// An element declaration (DOCTYPE-ELEMENT node) into its element type; the
// walker passes a top-level node, null and both flags false.
bool ParseElementDecl(KTSchemaModel& model, KTXNode* node, KTElementType* type, bool parameterText, bool splice);
// An attribute-list declaration (DOCTYPE-ATTLIST node) into attribute
// declarations of its element type; the walker passes null.
bool ParseAttlistDecl(KTSchemaModel& model, KTXNode* node, KTElementType* type);
// The element type an ATTLIST node names, declared when absent; no type
// (and true) while the name waits for an entity of the next pass.
bool ResolveAttlistElement(KTSchemaModel& model, KTXNode* node, KTElementType*& type);

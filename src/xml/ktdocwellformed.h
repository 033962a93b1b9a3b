// Well-formedness checks that the document grammars cannot express, run by
// the document loader around each parse: characters that XML 1.0 does not
// allow, names holding characters above U+00FF that no name may hold,
// character references to characters XML does not allow, attributes given
// twice on one element, and references to entities that are not declared or
// may not be used where they stand. Each check is one linear pass; a failure leaves
// category 3, code 5 in the status with the line, column and reason.
#pragma once

class KTLoadStatus;
class KTSourceText;
class KTXNode;

// XML 1.0 §2.2: every character of the text must match Char. Flags C0
// controls other than tab, line feed and carriage return, U+FFFE, U+FFFF and
// surrogates that are not part of a pair. False with the status written.
// With `holdsAmpersand`, also tells whether the text holds an '&' (any
// reference), with `holdsCarriageReturn` whether it holds a CR, found on the
// same pass.
bool KTCheckDocumentCharacters(const char16_t* text, int length, KTLoadStatus& status,
                               bool* holdsAmpersand = nullptr, bool* holdsCarriageReturn = nullptr);

// The checks over a tree just parsed from text[0, length) (node offsets index
// the text): NameStartChar and NameChar above U+00FF, WFC Unique Att Spec, WFC Legal Character for character
// references in content, attribute values, entity values and attribute
// defaults, and for entity references WFC Entity Declared, Parsed Entity, No
// External Entity References, No < in Attribute Values and PEs in Internal
// Subset; and Namespaces in XML 1.0: qualified names, declared prefixes,
// reserved prefixes and names, no prefix undeclaring, unique expanded
// attribute names, no colon in targets, entity and notation names. False with
// the status written.
bool KTCheckWellFormedTree(const char16_t* text, int length, const KTXNode* document, KTLoadStatus& status);
// The same over a text that may have been handed back in part while the tree
// was built (ktsourcetext.h). With `referencesOnly`, for a tree the parser
// built plain (KTParserDriver::BuiltPlainTree: no name, attribute list or
// declaration the check could refuse), only the references in the values of
// elements, attributes and texts are checked, which finds the same first
// failure. With `textHoldsAmpersand` false (the text holds no '&', as
// KTCheckDocumentCharacters tells), those values hold no reference and are
// not read at all.
bool KTCheckWellFormedTree(const KTSourceText& text, const KTXNode* document, KTLoadStatus& status,
                           bool referencesOnly = false, bool textHoldsAmpersand = true);

// Schema message ids. Problems are recorded in the schema model by id (the
// texts are looked up by id outside the schema code); 7500 means none.
#pragma once

enum KTSchemaMessage : int {
  kSchemaNoError = 7500,
  kSchemaMissingNode = 7501,
  kSchemaMalformedDecl = 7502,
  kSchemaUnsupported = 7503,
  kSchemaNoElements = 7506,
  kSchemaEmptyDoctype = 7508,
  kSchemaLoadFailed = 7509,
  kSchemaGroupInMixedContent = 7510,
  // Validity problems of a DTD (XML 1.0 §3.2, §3.3.1): warned about, the
  // declaration read as far as it can be and the walk going on. XML Schema
  // reports a global element declared twice with the same id.
  kSchemaElementDeclaredTwice = 7512,
  // An XDR or DCD element type referred to but never declared, and an XDR
  // attribute type named but not declared; XML Schema reports an element or
  // attribute reference to no declaration with the same ids.
  kSchemaTypeNotDeclared = 7517,
  kSchemaAttributeTypeNotFound = 7520,
  // More problems of a DTD, as above.
  kSchemaUndeclaredEntity = 7522,
  kSchemaUnusableParameterEntity = 7523,
  kSchemaExpansionFailed = 7524,
  kSchemaBadSectionOrReference = 7525,
  kSchemaSecondIdAttribute = 7526,
  kSchemaIdWithDefault = 7527,
  kSchemaBadExternalKeyword = 7528,
  kSchemaNotFound = 7529,
  kSchemaCountsAsLoaded = 7530,
  // The schema namespace is not one this processor reads, or its document
  // cannot be loaded: no fault of the instance document.
  kSchemaUnknownNamespace = 7531,
  // The schema document's language cannot be told: XDR and XML Schema
  // vocabulary mixed, or the names of an early XML Schema draft.
  kSchemaMixedVocabulary = 7532,
  kSchemaDraftVocabulary = 7533,
  // A draft of XML Schema (1999 or 2000/10) where the recommendation is
  // expected.
  kSchemaXsd1999Draft = 7534,
  kSchemaXsd2000Draft = 7535,
  // A child or attribute no rule takes (the context text says what was
  // expected), and a value outside the allowed words.
  kSchemaUnexpected = 7536,
  kSchemaBadValue = 7537,
  kSchemaTypeMissing = 7538,  // an element reference without its type
  kSchemaLateMixedContent = 7539,
  // An element type with neither content nor a datatype.
  kSchemaNoContent = 7543,
  // Ids above this one never replace a kept problem below it.
  kSchemaSeverityBoundary = 7551,
  kSchemaDefaultNotEnumerated = 7569,
  // Child elements in an element type declared text-only (or with a
  // datatype), and in one declared empty.
  kSchemaChildrenInTextOnly = 7575,
  kSchemaChildrenInEmpty = 7576,
  kSchemaUndeclaredNotation = 7584,
  kSchemaUnterminatedReference = 7585,
  kSchemaNamespaceUnbound = 7592,  // no prefix is bound to a namespace the schema needs
};

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
  // declaration read as far as it can be and the walk going on.
  kSchemaElementDeclaredTwice = 7512,
  kSchemaUndeclaredEntity = 7522,
  kSchemaUnusableParameterEntity = 7523,
  kSchemaExpansionFailed = 7524,
  kSchemaBadSectionOrReference = 7525,
  kSchemaSecondIdAttribute = 7526,
  kSchemaIdWithDefault = 7527,
  kSchemaBadExternalKeyword = 7528,
  kSchemaNotFound = 7529,
  kSchemaCountsAsLoaded = 7530,
  kSchemaLateMixedContent = 7539,
  // Ids above this one never replace a kept problem below it.
  kSchemaSeverityBoundary = 7551,
  kSchemaDefaultNotEnumerated = 7569,
  kSchemaUndeclaredNotation = 7584,
  kSchemaUnterminatedReference = 7585,
};

// KTXSLTFunctionLibrary: the functions that XSLT 1.0 adds to XPath (§12 and
// §15): document, key, format-number, current, unparsed-entity-uri,
// generate-id, system-property, element-available and function-available.
// key() and format-number() reach the processor through
// KTXSLTFunctionServices; document() loads through the function context.
#pragma once

#include <span>
#include <string_view>

#include "xpath/ktxpathfunctionlibrary.h"

class KTXSLTFunctionLibrary : public KTXPathFunctionLibrary {
 public:
  // Runs one of the XSLT functions; the argument count is checked already.
  static KTXPathValue CallXSLT(const KTXPathFunctionInfo& function, KTXPathFunctionContext& context,
                               std::span<const KTXPathValue> arguments);

  // The whole text is a QName (Namespaces in XML), without white space
  // around it.
  static bool IsQNameString(const char16_t* text) noexcept;
  // An identifier of the node made of ASCII letters and digits, starting with
  // a letter: the same for one node every time, different for every other
  // node of the run. Numbered nodes (every node of a wrapped document) are
  // named by document number and position, namespace nodes by their element
  // and their place among its namespace nodes, other nodes by identity.
  static KTString GenerateId(const KTXPathNode* node);

  static constexpr const char16_t* kXSLTNamespaceUri = u"http://www.w3.org/1999/XSL/Transform";
  static constexpr const char16_t* kVendor = u"Ostrel GmbH & Ostrel, Inc.";
  static constexpr const char16_t* kVendorUrl = u"https://ostrel.example/";
};

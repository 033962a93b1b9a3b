// KTOutputSettings: setters and the reset of the specified flags.
#include "xslt/output/ktoutputsettings.h"

#include <utility>

void KTOutputSettings::SetMethod(KTString text) {
  method_ = std::move(text);
  methodSpecified_ = true;
}

void KTOutputSettings::SetVersion(KTString text) {
  version_ = std::move(text);
  versionSpecified_ = true;
}

void KTOutputSettings::SetEncoding(KTString text) {
  encoding_ = std::move(text);
  encodingSpecified_ = true;
}

void KTOutputSettings::SetDoctypePublic(KTString text) {
  doctypePublic_ = std::move(text);
  doctypePublicSpecified_ = true;
}

void KTOutputSettings::SetDoctypeSystem(KTString text) {
  doctypeSystem_ = std::move(text);
  doctypeSystemSpecified_ = true;
}

void KTOutputSettings::SetOmitXmlDeclaration(bool value) {
  omitXmlDeclaration_ = value;
  omitXmlDeclarationSpecified_ = true;
}

void KTOutputSettings::SetStandalone(bool value) {
  standalone_ = value;
  standaloneSpecified_ = true;
}

void KTOutputSettings::SetIndent(bool value) {
  indent_ = value;
  indentSpecified_ = true;
}

void KTOutputSettings::AppendCdataSectionElements(const KTString& text) {
  // A list left from before a Reset means nothing; a new one starts empty.
  if (!cdataSectionElementsSpecified_) cdataSectionElements_ = u"";
  cdataSectionElements_ += text;
  cdataSectionElementsSpecified_ = true;
}

void KTOutputSettings::Reset() {
  methodSpecified_ = versionSpecified_ = encodingSpecified_ = false;
  omitXmlDeclarationSpecified_ = standaloneSpecified_ = false;
  doctypePublicSpecified_ = doctypeSystemSpecified_ = false;
  cdataSectionElementsSpecified_ = indentSpecified_ = mediaTypeSpecified_ = false;
}

// KTOutputSettings: the xsl:output properties of a run, each with a flag that
// says whether some xsl:output element specified it. The processor fills one
// instance through the xsl:output executor; the result serialiser works on a
// copy of it (ktresultserializer.h).
#pragma once

#include "core/ktstring.h"

class KTOutputSettings {
 public:
  KTOutputSettings() = default;
  KTOutputSettings(const KTOutputSettings&) = default;
  KTOutputSettings& operator=(const KTOutputSettings&) = default;
  virtual ~KTOutputSettings() = default;

  // A value means something only when its flag is set.
  KTString GetMethod() const { return method_; }
  KTString GetVersion() const { return version_; }
  KTString GetEncoding() const { return encoding_; }
  KTString GetDoctypePublic() const { return doctypePublic_; }
  KTString GetDoctypeSystem() const { return doctypeSystem_; }
  // Tokens each preceded by one space: a name in no namespace as it stands,
  // any other name as its namespace URI, ':' and its local name.
  KTString GetCdataSectionElements() const { return cdataSectionElements_; }
  KTString GetMediaType() const { return mediaType_; }
  bool GetOmitXmlDeclaration() const { return omitXmlDeclaration_; }
  bool GetStandalone() const { return standalone_; }
  bool GetIndent() const { return indent_; }

  bool IsMethodSpecified() const { return methodSpecified_; }
  bool IsVersionSpecified() const { return versionSpecified_; }
  bool IsEncodingSpecified() const { return encodingSpecified_; }
  bool IsOmitXmlDeclarationSpecified() const { return omitXmlDeclarationSpecified_; }
  bool IsStandaloneSpecified() const { return standaloneSpecified_; }
  bool IsDoctypePublicSpecified() const { return doctypePublicSpecified_; }
  bool IsDoctypeSystemSpecified() const { return doctypeSystemSpecified_; }
  bool IsCdataSectionElementsSpecified() const { return cdataSectionElementsSpecified_; }
  bool IsIndentSpecified() const { return indentSpecified_; }
  bool IsMediaTypeSpecified() const { return mediaTypeSpecified_; }

  // Each setter replaces the value and marks it specified.
  void SetMethod(KTString text);
  void SetVersion(KTString text);
  void SetEncoding(KTString text);
  void SetDoctypePublic(KTString text);
  void SetDoctypeSystem(KTString text);
  void SetOmitXmlDeclaration(bool value);
  void SetStandalone(bool value);
  void SetIndent(bool value);
  // Later xsl:output elements add to the list instead of replacing it.
  void AppendCdataSectionElements(const KTString& text);

  // Clears every specified flag; the values stay.
  void Reset();

 private:
  KTString method_;
  bool methodSpecified_ = false;
  KTString version_;
  bool versionSpecified_ = false;
  KTString encoding_;
  bool encodingSpecified_ = false;
  bool omitXmlDeclaration_ = false;
  bool omitXmlDeclarationSpecified_ = false;
  bool standalone_ = false;
  bool standaloneSpecified_ = false;
  KTString doctypePublic_;
  bool doctypePublicSpecified_ = false;
  KTString doctypeSystem_;
  bool doctypeSystemSpecified_ = false;
  KTString cdataSectionElements_;
  bool cdataSectionElementsSpecified_ = false;
  bool indent_ = false;
  bool indentSpecified_ = false;
  // xsl:output's media-type does not reach the settings; nothing sets it.
  KTString mediaType_;
  bool mediaTypeSpecified_ = false;
};

// KTOutputSettings: specified flags, merging of later values and the
// accumulating cdata-section-elements list.
#include "xslt/output/ktoutputsettings.h"

#include <gtest/gtest.h>

TEST(KTOutputSettingsTest, NothingIsSpecifiedAtFirst) {
  KTOutputSettings settings;
  EXPECT_FALSE(settings.IsMethodSpecified());
  EXPECT_FALSE(settings.IsVersionSpecified());
  EXPECT_FALSE(settings.IsEncodingSpecified());
  EXPECT_FALSE(settings.IsOmitXmlDeclarationSpecified());
  EXPECT_FALSE(settings.IsStandaloneSpecified());
  EXPECT_FALSE(settings.IsDoctypePublicSpecified());
  EXPECT_FALSE(settings.IsDoctypeSystemSpecified());
  EXPECT_FALSE(settings.IsCdataSectionElementsSpecified());
  EXPECT_FALSE(settings.IsIndentSpecified());
  EXPECT_FALSE(settings.IsMediaTypeSpecified());
}

// Two xsl:output elements merge: later values win, the list grows.
TEST(KTOutputSettingsTest, LaterValuesOverrideAndListsAccumulate) {
  KTOutputSettings settings;
  settings.SetMethod(u"html");
  settings.SetIndent(false);
  settings.AppendCdataSectionElements(u" a");
  settings.SetIndent(true);
  settings.AppendCdataSectionElements(u" urn:x:b");
  EXPECT_EQ(settings.GetMethod(), u"html");
  EXPECT_TRUE(settings.IsIndentSpecified());
  EXPECT_TRUE(settings.GetIndent());
  EXPECT_EQ(settings.GetCdataSectionElements(), u" a urn:x:b");

  KTOutputSettings copy = settings;
  copy.Reset();
  EXPECT_FALSE(copy.IsMethodSpecified());
  EXPECT_FALSE(copy.IsIndentSpecified());
  EXPECT_FALSE(copy.IsCdataSectionElementsSpecified());
  EXPECT_EQ(copy.GetMethod(), u"html");
  EXPECT_TRUE(settings.IsMethodSpecified());
  // After a reset the old list means nothing: a new one starts empty.
  copy.AppendCdataSectionElements(u" c");
  EXPECT_EQ(copy.GetCdataSectionElements(), u" c");
}

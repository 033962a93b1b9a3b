<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<!-- Grouping with a key (Muenchian): people by income band, each band sorted by name. -->
<xsl:output method="xml" indent="yes"/>
<xsl:key name="band" match="person[profile/@income]" use="floor(profile/@income div 20000)"/>
<xsl:template match="/">
  <bands>
    <xsl:for-each select="site/people/person[profile/@income][generate-id() =
                          generate-id(key('band', floor(profile/@income div 20000))[1])]">
      <xsl:sort select="floor(profile/@income div 20000)" data-type="number"/>
      <xsl:variable name="members" select="key('band', floor(profile/@income div 20000))"/>
      <band from="{floor(profile/@income div 20000) * 20000}" people="{count($members)}"
            average="{format-number(sum($members/profile/@income) div count($members), '#,##0.00')}">
        <xsl:for-each select="$members">
          <xsl:sort select="name"/>
          <xsl:sort select="@id"/>
          <p><xsl:value-of select="name"/></p>
        </xsl:for-each>
      </band>
    </xsl:for-each>
  </bands>
</xsl:template>
</xsl:stylesheet>

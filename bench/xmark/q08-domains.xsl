<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<!-- Grouping on a computed string: people by the domain of their mail address, the domains in
     order, with the cities of each. -->
<xsl:output method="text"/>
<xsl:key name="domain" match="person" use="substring-after(emailaddress, '@')"/>
<xsl:key name="city" match="person" use="concat(substring-after(emailaddress, '@'), '|', address/city)"/>
<xsl:template match="/">
  <xsl:for-each select="site/people/person[generate-id() = generate-id(key('domain', substring-after(emailaddress, '@'))[1])]">
    <xsl:sort select="substring-after(emailaddress, '@')"/>
    <xsl:variable name="domain" select="substring-after(emailaddress, '@')"/>
    <xsl:value-of select="concat($domain, ' ', count(key('domain', $domain)), '&#10;')"/>
    <xsl:for-each select="key('domain', $domain)[address][generate-id() = generate-id(key('city', concat($domain, '|', address/city))[1])]">
      <xsl:sort select="address/city"/>
      <xsl:value-of select="concat('  ', address/city, ' ', count(key('city', concat($domain, '|', address/city))), '&#10;')"/>
    </xsl:for-each>
  </xsl:for-each>
</xsl:template>
</xsl:stylesheet>

<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<!-- String functions over the text: items whose description mentions gold, their names in
     upper case and sorted, with the first words of the description. -->
<xsl:output method="text"/>
<xsl:template match="/">
  <xsl:for-each select="site/regions//item[contains(description, 'gold')]">
    <xsl:sort select="name"/>
    <xsl:sort select="@id"/>
    <xsl:value-of select="translate(name, 'abcdefghijklmnopqrstuvwxyz', 'ABCDEFGHIJKLMNOPQRSTUVWXYZ')"/>
    <xsl:text>: </xsl:text>
    <xsl:value-of select="substring(normalize-space(description), 1, 40)"/>
    <xsl:text> (</xsl:text>
    <xsl:value-of select="string-length(description)"/>
    <xsl:text>)&#10;</xsl:text>
  </xsl:for-each>
</xsl:template>
</xsl:stylesheet>

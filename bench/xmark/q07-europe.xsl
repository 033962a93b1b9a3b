<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<!-- Two joins: for each person the European items they bought (XMark query 9). -->
<xsl:output method="xml" indent="yes"/>
<xsl:key name="bought" match="closed_auction" use="buyer/@person"/>
<xsl:key name="item" match="item" use="@id"/>
<xsl:template match="/">
  <people>
    <xsl:for-each select="site/people/person">
      <xsl:variable name="items" select="key('item', key('bought', @id)/itemref/@item)[parent::europe]"/>
      <xsl:if test="$items">
        <person name="{name}">
          <xsl:for-each select="$items"><item><xsl:value-of select="name"/></item></xsl:for-each>
        </person>
      </xsl:if>
    </xsl:for-each>
  </people>
</xsl:template>
</xsl:stylesheet>

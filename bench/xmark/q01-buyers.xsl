<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<!-- Join: each closed auction with its buyer's and its item's names through keys, by price
     from the highest. -->
<xsl:output method="text"/>
<xsl:key name="person" match="person" use="@id"/>
<xsl:key name="item" match="item" use="@id"/>
<xsl:template match="/">
  <xsl:for-each select="site/closed_auctions/closed_auction">
    <xsl:sort select="price" data-type="number" order="descending"/>
    <xsl:value-of select="concat(price, ' ', key('person', buyer/@person)/name, ' bought ',
                                 key('item', itemref/@item)/name, '&#10;')"/>
  </xsl:for-each>
</xsl:template>
</xsl:stylesheet>

<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<!-- Join and count: for each person the number of auctions they won and the total paid, the
     biggest buyers first (XMark query 8). -->
<xsl:output method="text"/>
<xsl:key name="bought" match="closed_auction" use="buyer/@person"/>
<xsl:template match="/">
  <xsl:for-each select="site/people/person[key('bought', @id)]">
    <xsl:sort select="count(key('bought', @id))" data-type="number" order="descending"/>
    <xsl:sort select="sum(key('bought', @id)/price)" data-type="number" order="descending"/>
    <xsl:value-of select="concat(name, ' ', count(key('bought', @id)), ' ',
                                 format-number(sum(key('bought', @id)/price), '0.00'), '&#10;')"/>
  </xsl:for-each>
</xsl:template>
</xsl:stylesheet>

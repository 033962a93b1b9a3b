<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<!-- Join through a many-valued key: per category the items in it, their average closing price
     and the people interested, in order of name. The average is rounded by round(), whose
     result both processors agree on; format-number() of a value just below a half differs. -->
<xsl:output method="xml" indent="yes"/>
<xsl:key name="in" match="item" use="incategory/@category"/>
<xsl:key name="sold" match="closed_auction" use="itemref/@item"/>
<xsl:key name="interested" match="person" use="profile/interest/@category"/>
<xsl:template match="/">
  <categories>
    <xsl:for-each select="site/categories/category">
      <xsl:sort select="name"/>
      <xsl:sort select="@id"/>
      <xsl:variable name="sales" select="key('sold', key('in', @id)/@id)"/>
      <category id="{@id}" items="{count(key('in', @id))}" sales="{count($sales)}"
                interested="{count(key('interested', @id))}">
        <xsl:if test="$sales">
          <xsl:attribute name="average"><xsl:value-of select="round(sum($sales/price) div count($sales) * 100) div 100"/></xsl:attribute>
        </xsl:if>
        <xsl:value-of select="name"/>
      </category>
    </xsl:for-each>
  </categories>
</xsl:template>
</xsl:stylesheet>

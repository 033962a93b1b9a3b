<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<!-- Template rules by mode over the whole document: a digest of the open auctions with the
     text of their annotations, the bold and keyword runs marked. -->
<xsl:output method="xml" indent="yes"/>
<xsl:template match="/"><digest><xsl:apply-templates select="site/open_auctions"/></digest></xsl:template>
<xsl:template match="open_auction[bidder]">
  <auction id="{@id}" current="{current}" reserve="{boolean(reserve)}">
    <xsl:apply-templates select="annotation/description" mode="text"/>
  </auction>
</xsl:template>
<xsl:template match="open_auction"/>
<xsl:template match="bold" mode="text"><b><xsl:apply-templates mode="text"/></b></xsl:template>
<xsl:template match="keyword" mode="text"><k><xsl:apply-templates mode="text"/></k></xsl:template>
<xsl:template match="listitem" mode="text"><li><xsl:apply-templates mode="text"/></li></xsl:template>
<xsl:template match="text()" mode="text"><xsl:value-of select="normalize-space()"/></xsl:template>
</xsl:stylesheet>

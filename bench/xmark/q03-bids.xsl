<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<!-- Positional predicates and arithmetic: open auctions whose last increase is at least twice
     their first (XMark query 3). -->
<xsl:output method="xml" indent="yes"/>
<xsl:template match="/">
  <increases>
    <xsl:for-each select="site/open_auctions/open_auction[bidder[1]/increase * 2 &lt;= bidder[last()]/increase]">
      <increase id="{@id}" first="{bidder[1]/increase}" last="{bidder[last()]/increase}"
                bids="{count(bidder)}"/>
    </xsl:for-each>
  </increases>
</xsl:template>
</xsl:stylesheet>

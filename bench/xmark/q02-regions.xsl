<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
<!-- Aggregates: per region the number of items, the sum of their quantities and how many are
     featured. -->
<xsl:output method="xml" indent="yes"/>
<xsl:template match="/">
  <regions>
    <xsl:for-each select="site/regions/*">
      <region name="{name()}" items="{count(item)}" quantity="{sum(item/quantity)}"
              featured="{count(item[@featured = 'yes'])}"
              mails="{count(item/mailbox/mail)}"/>
    </xsl:for-each>
  </regions>
</xsl:template>
</xsl:stylesheet>

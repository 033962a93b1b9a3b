<?xml version="1.0"?>
<!-- The defaults of order.xsd as the transformation sees them. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"><xsl:output method="text"/>
<xsl:template match="/"><xsl:value-of select="concat(order/@cur,'|',order/@prio,'|',order/price)"/></xsl:template></xsl:stylesheet>

<?xml version="1.0" encoding="UTF-8"?>
<!-- Turns examples/catalog.xml into an HTML page: a table of the books
     sorted by title, how many there are, and the oldest one. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="UTF-8"/>

  <xsl:template match="/catalog">
    <html>
      <head>
        <title><xsl:value-of select="@name"/></title>
      </head>
      <body>
        <h1><xsl:value-of select="@name"/></h1>
        <table border="1">
          <tr><th>Title</th><th>Author</th><th>Year</th><th>Price</th></tr>
          <xsl:apply-templates select="book">
            <xsl:sort select="title"/>
          </xsl:apply-templates>
        </table>
        <p>
          <xsl:value-of select="count(book)"/>
          <xsl:text> books, </xsl:text>
          <xsl:value-of select="count(book[@category = 'novel'])"/>
          <xsl:text> of them novels.</xsl:text>
        </p>
        <xsl:for-each select="book">
          <xsl:sort select="year" data-type="number"/>
          <xsl:if test="position() = 1">
            <p>The oldest: <em><xsl:value-of select="title"/></em> (<xsl:value-of select="year"/>).</p>
          </xsl:if>
        </xsl:for-each>
      </body>
    </html>
  </xsl:template>

  <xsl:template match="book">
    <tr id="{@id}">
      <td><xsl:value-of select="title"/></td>
      <td><xsl:value-of select="author"/></td>
      <td><xsl:value-of select="year"/></td>
      <td><xsl:value-of select="price"/><xsl:text> </xsl:text><xsl:value-of select="price/@currency"/></td>
    </tr>
  </xsl:template>
</xsl:stylesheet>

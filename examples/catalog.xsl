<?xml version="1.0" encoding="UTF-8"?>
<!-- Turns examples/catalog.xml into an HTML page: one table of the books
     sorted by title, and the number of books per category. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="UTF-8"/>

  <xsl:key name="by-category" match="book" use="@category"/>

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
        <h2>Categories</h2>
        <ul>
          <xsl:for-each select="book[generate-id() = generate-id(key('by-category', @category)[1])]">
            <xsl:sort select="@category"/>
            <li>
              <xsl:value-of select="@category"/>
              <xsl:text>: </xsl:text>
              <xsl:value-of select="count(key('by-category', @category))"/>
            </li>
          </xsl:for-each>
        </ul>
        <p>
          <xsl:text>Total: </xsl:text>
          <xsl:value-of select="format-number(sum(book/price), '0.00')"/>
          <xsl:text> EUR</xsl:text>
        </p>
      </body>
    </html>
  </xsl:template>

  <xsl:template match="book">
    <tr id="{@id}">
      <td><xsl:value-of select="title"/></td>
      <td><xsl:value-of select="author"/></td>
      <td><xsl:value-of select="year"/></td>
      <td><xsl:value-of select="price"/></td>
    </tr>
  </xsl:template>
</xsl:stylesheet>

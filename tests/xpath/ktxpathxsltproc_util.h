// The values xsltproc gives for XPath expressions over a source file, for
// tests that compare the engine's answers with it at test time.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

// xsltproc's value-of of each expression over the file, one line each;
// empty when xsltproc is missing or fails. The namespace declarations
// (" xmlns:p='...'") go on the stylesheet element.
inline std::vector<std::string> XsltprocValues(const std::vector<std::string>& expressions, const std::string& source,
                                               const std::string& namespaces = "") {
  if (std::system("xsltproc --version >/dev/null 2>&1") != 0)
    return {};
  const std::string style = source + ".xsl";
  {
    std::ofstream xsl(style);
    xsl << "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'" << namespaces << ">"
           "<xsl:output method='text' encoding='UTF-8'/><xsl:template match='/'>";
    for (const std::string& e : expressions) {
      std::string escaped;
      for (char ch : e)
        escaped += ch == '"' ? "&quot;" : ch == '&' ? "&amp;" : ch == '<' ? "&lt;" : std::string(1, ch);
      xsl << "<xsl:value-of select=\"" << escaped << "\"/><xsl:text>&#10;</xsl:text>";
    }
    xsl << "</xsl:template></xsl:stylesheet>";
  }
  std::vector<std::string> lines;
  const std::string command = "xsltproc '" + style + "' '" + source + "' 2>/dev/null";
  if (FILE* pipe = popen(command.c_str(), "r")) {
    std::string all;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
      all.append(buffer, n);
    if (pclose(pipe) == 0) {
      size_t start = 0;
      for (size_t at; (at = all.find('\n', start)) != std::string::npos; start = at + 1)
        lines.push_back(all.substr(start, at - start));
    }
  }
  if (lines.size() != expressions.size())
    lines.clear();
  return lines;
}


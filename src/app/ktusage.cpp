// The banner and the option list.
#include "app/ktusage.h"

#include <cstdio>

#include "platform/ktutf8.h"

const std::u16string& UsageText() {
  static const std::u16string text =
      u"Ostrel XSLT Processor\n"
      u"Copyright (c) the Ostrel authors.\n"
      u"An XSLT 1.0 processor for the command line.\n"
      u"\n"
      u"Use of this program is subject to the licence agreement at\n"
      u"https://ostrel.example/licence\n"
      u"\n"
      u"    -xml       [file name]      input xml\n"
      u"    -xsl       [file name]      input xslt\n"
      u"    -out       [file name]      output result\n"
      u"    -param     [name=expr]      stylesheet parameter value\n"
      u"    -xslstack  [number >= 100 ] maximum xsl template call depth\n"
      u"\n";
  return text;
}

void PrintUsage() { KTWriteConsole(stdout, UsageText()); }

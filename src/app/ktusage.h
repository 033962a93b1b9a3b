// The banner and the option list printed when the command line is incomplete or wrong.
#pragma once

#include <string>

// The whole text that PrintUsage writes.
const std::u16string& UsageText();
// Writes the banner and the option list to standard output (no flush of its own).
void PrintUsage();

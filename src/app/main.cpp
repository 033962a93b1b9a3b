// The program's entry. Until the transformation pipeline is in place the
// program only prints its banner and option list.
#include <cstdio>

#include "app/ktusage.h"

int main(int, char**) {
  PrintUsage();
  std::fflush(stdout);
  return 2;
}

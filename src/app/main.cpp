// The program's entry: the command line arrives as UTF-8 and is handed to
// the front end as UTF-16; the front end's run gives the exit status.
#include <string>
#include <vector>

#include "app/ktfrontend.h"
#include "platform/ktutf8.h"

int main(int argc, char** argv) {
  std::vector<std::u16string> arguments;
  arguments.reserve(argc);
  for (int i = 0; i < argc; ++i) arguments.push_back(KTUtf8ToUtf16(argv[i]));
  KTFrontEnd frontEnd;
  frontEnd.SetLeaveObjectsToProcessExit(true);
  return frontEnd.Run(arguments);
}

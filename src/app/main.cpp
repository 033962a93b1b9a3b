// The program's entry: the command line arrives as UTF-8 and is handed to
// the front end as UTF-16; the front end's run gives the exit status.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "app/ktfrontend.h"
#include "platform/ktutf8.h"

namespace {

std::terminate_handler gDefaultTerminate = nullptr;

// Under a tight memory limit (ulimit -v) the C++ runtime may find no room
// even for the exception that reports a failed allocation, and ends the
// process through std::terminate with no exception active. That is the
// same "Out of memory" the handler in main reports, written without
// allocating; any other way into terminate keeps the default behaviour.
[[noreturn]] void OnTerminate() {
  if (errno == ENOMEM && !std::current_exception()) {
    static const char kMessage[] = "Out of memory\n";
    ssize_t written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    (void)written;
    ::_exit(KTFrontEnd::kExitFailed);
  }
  if (gDefaultTerminate) gDefaultTerminate();
  std::abort();
}

}  // namespace

int main(int argc, char** argv) {
  gDefaultTerminate = std::set_terminate(OnTerminate);
  // Past a file size limit (ulimit -f) a write then fails with EFBIG, which
  // the output writing reports and cleans up after, instead of the signal
  // ending the process with a half-written file behind.
  ::signal(SIGXFSZ, SIG_IGN);
  try {
    std::vector<std::u16string> arguments;
    arguments.reserve(argc);
    for (int i = 0; i < argc; ++i) arguments.push_back(KTUtf8ToUtf16(argv[i]));
    KTFrontEnd frontEnd;
    frontEnd.SetLeaveObjectsToProcessExit(true);
    return frontEnd.Run(arguments);
  } catch (const std::bad_alloc&) {
    // Memory ran out where the front end could not report it (reading the
    // command line, or while reporting another failure).
    std::fputs("Out of memory\n", stderr);
    return KTFrontEnd::kExitFailed;
  }
}

// The stack bounds of the calling thread, for the main thread from the
// stack size limit and the top of its stack, for other threads from their
// attributes.
#include "platform/ktstackbounds.h"

#include <pthread.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>

uintptr_t KTThreadStackLowFromAttributes() {
  uintptr_t low = 0;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* address = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &address, &size) == 0 && address)
      low = reinterpret_cast<uintptr_t>(address);
    pthread_attr_destroy(&attr);
  }
  return low;
}

namespace {

// The low end of the main thread's stack: its top less the size limit in
// whole pages (the stack grows a page at a time and never past the limit).
// The kernel copies the program's file name last, ending one pointer below
// the top of the stack mapping, so the top is the page boundary after it.
// The shared mappings start at least the size limit below the stack (the
// kernel keeps that gap when it lays out the address space), so the limit
// is the whole bound, as the thread-attribute call finds it. The program
// image and its heap are placed without that gap, so a limit reaching below
// the program break is left to the thread-attribute call, which stops the
// bound at the mapping under the stack. 0 when any part is missing or does
// not fit the frame we run in.
uintptr_t MainStackLow() {
  const uintptr_t fileName = getauxval(AT_EXECFN);
  rlimit limit;
  if (!fileName || getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return 0;
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pageSize <= 0)
    return 0;
  const uintptr_t page = static_cast<uintptr_t>(pageSize);
  const uintptr_t end = fileName + std::strlen(reinterpret_cast<const char*>(fileName)) + 1 + sizeof(void*);
  const uintptr_t top = (end + page - 1) & ~(page - 1);
  const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const uintptr_t size = static_cast<uintptr_t>(limit.rlim_cur) & ~(page - 1);
  if (here >= top || size >= top || top - here >= size)
    return 0;
  const uintptr_t programBreak = reinterpret_cast<uintptr_t>(sbrk(0));
  if (programBreak == static_cast<uintptr_t>(-1) || top - size <= programBreak)
    return 0;
  return top - size;
}

}  // namespace

uintptr_t KTThreadStackLow() {
  if (getpid() == gettid()) {
    if (const uintptr_t low = MainStackLow())
      return low;
  }
  return KTThreadStackLowFromAttributes();
}

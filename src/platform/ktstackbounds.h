// The lowest address the calling thread's stack may grow down to, for the
// limits that stop deep recursion before the stack runs out. Platform layer:
// no includes from above.
#pragma once

#include <cstdint>

// The low end of the calling thread's stack; 0 when it cannot be found.
// For the main thread it is worked out from the top of the stack (found
// from where the kernel put the program's file name) and the stack size
// limit, without reading the process's memory map as the thread-attribute
// call does: that read is a few tens of microseconds of every run.
uintptr_t KTThreadStackLow();

// The same bound as the thread-attribute call gives it (it reads the memory
// map for the main thread); 0 when it cannot be found. Kept to compare with.
uintptr_t KTThreadStackLowFromAttributes();

// Makes one allocation of the tool's own code fail, to reach the paths that
// only a full heap takes. A test program that uses it is linked with
// -Wl,--wrap=malloc,--wrap=realloc,--wrap=calloc (GNU linkers; see
// fwupg_fail_allocations in tests/CMakeLists.txt), which routes every malloc,
// realloc and calloc call of the statically linked code through the wrappers
// in FailingAllocation.cpp; they pass each call through unless armed.
#ifndef FAILINGALLOCATION_H
#define FAILINGALLOCATION_H

#include <stddef.h>

#if defined(FWUPG_WRAPPED_ALLOCATION)
#define FAILING_ALLOCATION_AVAILABLE 1
#else
#define FAILING_ALLOCATION_AVAILABLE 0
#endif

// The nth call (1-based, counted from now) of malloc fails; 0 disarms.
void FailingAllocation_FailMalloc(int nth);
// The same for realloc and calloc.
void FailingAllocation_FailRealloc(int nth);
void FailingAllocation_FailCalloc(int nth);
// The next calloc of exactly this many bytes in all fails; 0 disarms.
void FailingAllocation_FailCallocOfSize(size_t bytes);

#endif

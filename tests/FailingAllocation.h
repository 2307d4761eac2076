// Makes one allocation of the tool's own code fail, to reach the paths that
// only a full heap takes. The test program is linked with
// -Wl,--wrap=malloc,--wrap=realloc (GNU linkers), which routes every malloc
// and realloc call of the statically linked code through the wrappers in
// test_string_operations.cpp; they pass each call through unless armed.
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

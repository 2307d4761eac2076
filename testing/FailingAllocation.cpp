#include "FailingAllocation.h"

#include <stddef.h>

namespace {
int gMallocCallsToFailure = 0;
int gReallocCallsToFailure = 0;
int gCallocCallsToFailure = 0;
size_t gCallocSizeToFail = 0;

// Counts down an armed failure; true on the call that must fail.
bool failNow(int *callsToFailure) {
  if (*callsToFailure <= 0) {
    return false;
  }
  *callsToFailure -= 1;
  return *callsToFailure == 0;
}
}  // namespace

void FailingAllocation_FailMalloc(int nth) { gMallocCallsToFailure = nth; }
void FailingAllocation_FailRealloc(int nth) { gReallocCallsToFailure = nth; }
void FailingAllocation_FailCalloc(int nth) { gCallocCallsToFailure = nth; }
void FailingAllocation_FailCallocOfSize(size_t bytes) { gCallocSizeToFail = bytes; }

#if FAILING_ALLOCATION_AVAILABLE
extern "C" void *__real_malloc(size_t size);
extern "C" void *__real_realloc(void *pointer, size_t size);
extern "C" void *__real_calloc(size_t count, size_t size);

extern "C" void *__wrap_malloc(size_t size) {
  return failNow(&gMallocCallsToFailure) ? nullptr : __real_malloc(size);
}

extern "C" void *__wrap_realloc(void *pointer, size_t size) {
  return failNow(&gReallocCallsToFailure) ? nullptr : __real_realloc(pointer, size);
}

extern "C" void *__wrap_calloc(size_t count, size_t size) {
  if (gCallocSizeToFail != 0 && count * size == gCallocSizeToFail) {
    gCallocSizeToFail = 0;
    return nullptr;
  }
  return failNow(&gCallocCallsToFailure) ? nullptr : __real_calloc(count, size);
}
#endif

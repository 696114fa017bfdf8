// Control of the link-level malloc wrapper (binaries linked with zmallocwrap).
#pragma once

namespace mallocwrap {
// The n-th direct malloc, calloc or realloc call from now on (1 = the next) returns null; 0 disarms.
void FailNth(int n);
// Direct malloc, calloc and realloc calls since the last Reset, and their byte total.
void Reset();
int Calls();
unsigned long Bytes();
}  // namespace mallocwrap

// Control of the link-level malloc wrapper (binaries linked with zmallocwrap).
#pragma once

namespace mallocwrap {
// The n-th direct malloc or calloc call from now on (1 = the next) returns null; 0 disarms.
void FailNth(int n);
// Direct malloc and calloc calls since the last Reset, and their byte total.
void Reset();
int Calls();
unsigned long Bytes();
}  // namespace mallocwrap

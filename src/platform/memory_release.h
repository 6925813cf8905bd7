// Giving freed heap memory back to the system.
//
// The allocator keeps memory freed by large requests for reuse (and raises
// its threshold for mapping large blocks after the first is freed), so a burst
// of large bodies would otherwise stay resident after every connection ended.
#pragma once

// Returns the free memory of every heap arena to the system where the
// allocator allows it. Costs a walk of the arenas: call it after freeing
// something large, not per small request. Safe for concurrent use by
// multiple threads; never fails.
void returnFreedMemoryToSystem();

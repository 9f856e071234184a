// Hooks for tests and benchmarks into the store layer. The product never
// includes this header; the hooks' definitions live beside what they reach.
#pragma once

namespace kx::testing {

// Makes the nth allocation from now fail (1 = the next one); 0 turns it off.
void fail_nth_allocation(long n) noexcept;
// Heap bytes held through mem_alloc, counted while tracking is on (the
// allocator's own overhead included where it can be told).
void track_bytes(bool on) noexcept;
long allocated_bytes() noexcept;

// While held, queue threads of open stores perform nothing (closing still
// drains), so tests can look at records while they are surely pending.
void hold_queue_threads(bool hold) noexcept;

}  // namespace kx::testing

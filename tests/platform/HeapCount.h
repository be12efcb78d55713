#pragma once
// Every allocation of a test program that links HeapCount.cpp is counted, so that a test can
// tell how much memory a piece of work took at its peak.

#include <cstddef>

namespace heap
{
extern std::size_t live; // bytes allocated and not yet freed
extern std::size_t peak; // the most of them at any time since restart()

// Starts a new peak from what is in use now, and returns that.
std::size_t restart();
} // namespace heap

// Heap objects of a step are allocated without throwing: a failure gives null, which the step logs
// with its own and the class's name and then ends with FALSE.
#pragma once
#include <new>
#include <utility>

namespace alloc_seam
{
// Test seam: when set to n > 0, the n-th following NewNoThrow call fails. No real condition makes an
// allocation fail on demand, so the logged allocation-failure paths are reached through this.
extern int FailNth;
bool ShouldFail();
}  // namespace alloc_seam

template <typename T, typename... Args>
T* NewNoThrow(Args&&... args)
{
    if (alloc_seam::ShouldFail())
        return nullptr;
    return new (std::nothrow) T(std::forward<Args>(args)...);
}

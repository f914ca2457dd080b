// Heap objects of a step are allocated without throwing: a failure gives null, which the step logs
// with its own and the class's name and then ends with FALSE.
#pragma once
#include <new>
#include <utility>

namespace alloc_seam
{
// Test seam: when set to n > 0, the n-th following copy of a registry entry's key or value name
// fails. No real condition makes an allocation fail on demand, and a lost value name must not turn
// an operation on a named value into one on the key's default value.
extern int FailNth;
bool ShouldFail();
}  // namespace alloc_seam

// A copy of text on the heap (free it with delete[]), or null for null text or without memory.
wchar_t* CopyText(const wchar_t* text);

template <typename T, typename... Args>
T* NewNoThrow(Args&&... args)
{
    return new (std::nothrow) T(std::forward<Args>(args)...);
}

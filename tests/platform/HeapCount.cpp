// The replaced allocation functions behind HeapCount.h. In a file of their own, so that the
// compiler never sees an allocation and its release together across the replacement.

#include "HeapCount.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace heap
{
std::size_t live = 0;
std::size_t peak = 0;

std::size_t restart()
{
    peak = live;
    return live;
}
} // namespace heap

// Each block carries its size in front of it (16 bytes keep the alignment of any type).
void* operator new(std::size_t n)
{
    auto* block = static_cast<char*>(std::malloc(n + 16));
    if (!block) {
        throw std::bad_alloc();
    }
    *reinterpret_cast<std::size_t*>(block) = n;
    heap::live += n;
    heap::peak = std::max(heap::peak, heap::live);
    return block + 16;
}
void operator delete(void* p) noexcept
{
    if (p) {
        char* block = static_cast<char*>(p) - 16;
        heap::live -= *reinterpret_cast<std::size_t*>(block);
        std::free(block);
    }
}
void* operator new[](std::size_t n)
{
    return operator new(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    try {
        return operator new(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept
{
    return operator new(n, t);
}
void operator delete[](void* p) noexcept
{
    operator delete(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    operator delete(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    operator delete(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept
{
    operator delete(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    operator delete(p);
}

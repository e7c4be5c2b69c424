// What the compiler expects of a runtime, in the DLL users get, which links
// none: the memory routines it may call for copies and clears, and the one
// allocation of our code (the worker's lock), taken from the process heap.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstddef>
#include <new>

// The compiler turns loops that copy or clear into calls of these very
// routines: each one is written so that it cannot call itself.
extern "C" {

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memset(void* to, int value, size_t count) {
    unsigned char* p = static_cast<unsigned char*>(to);
    while (count-- != 0) *p++ = static_cast<unsigned char>(value);
    return to;
}

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memcpy(void* to, const void* from,
                                                                             size_t count) {
    unsigned char* p = static_cast<unsigned char*>(to);
    const unsigned char* q = static_cast<const unsigned char*>(from);
    while (count-- != 0) *p++ = *q++;
    return to;
}

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memmove(void* to, const void* from,
                                                                              size_t count) {
    unsigned char* p = static_cast<unsigned char*>(to);
    const unsigned char* q = static_cast<const unsigned char*>(from);
    if (p < q) {
        while (count-- != 0) *p++ = *q++;
    } else {
        while (count-- != 0) p[count] = q[count];
    }
    return to;
}

}  // extern "C"

namespace std {
const nothrow_t nothrow{};
}

void* operator new(size_t size, const std::nothrow_t&) noexcept { return HeapAlloc(GetProcessHeap(), 0, size); }
void operator delete(void* block) noexcept {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}
void operator delete(void* block, size_t) noexcept { operator delete(block); }

// Linked into a test build of the monitor only (bin/refusing): one
// allocation of 1 MB or more fails as it does when memory runs out, so that a
// port name that long takes the monitor's own out-of-memory path, a C++
// exception thrown and caught inside the DLL.
#include <cstdlib>
#include <new>

void* operator new(std::size_t size) {
    if (size < (std::size_t{1} << 20)) {
        if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    }
    throw std::bad_alloc();
}

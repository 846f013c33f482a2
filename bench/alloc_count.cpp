#include "alloc_count.h"

#include <cstdlib>

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void __libc_free(void*);

namespace {

thread_local bool counting = false;
thread_local alloc_count::Counted counted;

void note(size_t size) {
    if (!counting) return;
    ++counted.allocations;
    counted.last_size = size;
}

}  // namespace

namespace alloc_count {

void start() {
    counted = {};
    counting = true;
}

Counted stop() {
    counting = false;
    return counted;
}

}  // namespace alloc_count

extern "C" {
void* malloc(size_t size) {
    note(size);
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    note(n * size);
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    note(size);
    return __libc_realloc(p, size);
}
void free(void* p) {
    __libc_free(p);
}
}

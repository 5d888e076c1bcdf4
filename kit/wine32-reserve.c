/* Preloaded into Wine's 32-bit programs by the rehearsal runner (built by the release for the kit).
 *
 * Without the preloader, which Debian does not ship, a 32-bit Wine whose stack lies below 2 GiB,
 * as it does under qemu-i386, reserves everything from there to 4 GiB, halving each block it
 * cannot get down to 64 KiB. qemu takes MAP_FIXED_NOREPLACE for a mere hint and searches its
 * guest space for each block beyond that space: some 65,000 searches, two seconds of every
 * start. A block that reaches past the guest space (QEMU_RESERVED_VA) is refused here at once.
 * Where the stack lies above that space, as on a kernel that runs 32-bit code itself, Wine does
 * not probe so, and nothing is refused. */
#include <stddef.h>

#define MAP_FIXED_NOREPLACE 0x100000
#define EEXIST 17
#define RTLD_NEXT ((void*)-1l)

extern int* __errno_location(void);
extern void* dlsym(void* handle, const char* name);
extern char* getenv(const char* name);
extern unsigned long strtoul(const char* text, char** end, int base);

typedef void* (*mmap64_function)(void*, size_t, int, int, int, long long);

void* mmap64(void* address, size_t size, int protection, int flags, int fd, long long offset) {
    /* Filled on the first call, when the C library is ready; a second thread fills the same. */
    static mmap64_function next;
    static unsigned long limit;
    if (!next) {
        const char* reserved = getenv("QEMU_RESERVED_VA");
        limit = reserved ? strtoul(reserved, NULL, 0) : 0;
        if ((unsigned long)&reserved >= limit)
            limit = 0;
        next = (mmap64_function)dlsym(RTLD_NEXT, "mmap64");
    }
    if (limit && (flags & MAP_FIXED_NOREPLACE) &&
        (size > limit || (unsigned long)address > limit - size)) {
        *__errno_location() = EEXIST;
        return (void*)-1;
    }
    return next(address, size, protection, flags, fd, offset);
}

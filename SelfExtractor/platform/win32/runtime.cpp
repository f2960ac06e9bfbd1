// The stub's freestanding runtime: the process entry point and the handful of C library functions
// that the compiler, zlib and the 7z decoder call. The image links with -nostdlib, so nothing else
// exists: no constructors run, no CRT start-up, no C runtime DLL in the import table.
//
// This file is compiled with -fno-builtin and -fno-tree-loop-distribute-patterns (see
// SelfExtractor/CMakeLists.txt) so that the compiler never turns these loops back into calls to
// the very functions they define.
#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"
#include "platform/win32/StubHeap.h"

#include <windows.h>

extern "C" {
#include "7zCrc.h"
}

// main.cpp: runs the stub and never returns. `heapReady` is false when the private heap could not
// be made; it then ends the process with the stub's failure code (the runtime knows no codes).
extern "C" [[noreturn]] void StubMain(bool heapReady);

// ---- Entry point ------------------------------------------------------------------------------

// Windows enters here with nothing set up. The 32-bit entry may be called with a stack aligned to
// 4 bytes only; force_align_arg_pointer realigns it for the code below that expects 16.
extern "C" [[noreturn]] void PLATFORM_API
#if defined(__i386__)
__attribute__((force_align_arg_pointer))
#endif
StubEntry() {
    StubMain(platform::win32::CreateStubHeap());
}

// ---- Memory -------------------------------------------------------------------------------------
// Copies and fills use the string instructions: small code, and fast on every x86 since the
// direction flag is clear on entry to any function under the Windows ABI.

extern "C" void* memcpy(void* destination, const void* source, size_t count) {
    void* to = destination;
    __asm__ volatile("rep movsb" : "+D"(to), "+S"(source), "+c"(count) : : "memory");
    return destination;
}

extern "C" void* memmove(void* destination, const void* source, size_t count) {
    const uintptr_t to = reinterpret_cast<uintptr_t>(destination);
    const uintptr_t from = reinterpret_cast<uintptr_t>(source);
    if (to <= from || to - from >= count) return memcpy(destination, source, count);
    // Overlap with the destination above the source: copy from the last byte downwards.
    void* last = static_cast<unsigned char*>(destination) + count - 1;
    const void* lastSource = static_cast<const unsigned char*>(source) + count - 1;
    __asm__ volatile("std\n\trep movsb\n\tcld"
                     : "+D"(last), "+S"(lastSource), "+c"(count)
                     :
                     : "memory");
    return destination;
}

extern "C" void* memset(void* destination, int value, size_t count) {
    void* to = destination;
    __asm__ volatile("rep stosb" : "+D"(to), "+c"(count) : "a"(value) : "memory");
    return destination;
}

extern "C" int memcmp(const void* left, const void* right, size_t count) {
    const unsigned char* a = static_cast<const unsigned char*>(left);
    const unsigned char* b = static_cast<const unsigned char*>(right);
    for (size_t i = 0; i < count; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

// ---- Allocation over the private heap -------------------------------------------------------------

extern "C" void* malloc(size_t bytes) { return platform::StubHeapAlloc(bytes); }

extern "C" void free(void* block) { platform::StubHeapFree(block); }

extern "C" void* calloc(size_t count, size_t size) {
    if (size != 0 && count > static_cast<size_t>(-1) / size) return nullptr;
    HANDLE heap = platform::win32::StubHeapHandle();
    if (heap == nullptr) return nullptr;
    return ::HeapAlloc(heap, HEAP_ZERO_MEMORY, count * size);
}

extern "C" void* realloc(void* block, size_t bytes) {
    if (block == nullptr) return malloc(bytes);
    if (bytes == 0) {
        free(block);
        return nullptr;
    }
    HANDLE heap = platform::win32::StubHeapHandle();
    if (heap == nullptr) return nullptr;
    return ::HeapReAlloc(heap, 0, block, bytes);  // null leaves the old block untouched
}

// ---- zlib's checksums ---------------------------------------------------------------------------
// Raw deflate (the only inflate mode the stub uses) checks no checksum, but zlib's inflate refers
// to both for its wrapped formats. Defining them here keeps zlib's own CRC-32 (with its 8 KiB of
// tables) out of the image: the 7z decoder's CRC-32, the same polynomial, serves every caller.

extern "C" unsigned long crc32(unsigned long crc, const unsigned char* data, unsigned int length) {
    if (data == nullptr) return 0;
    CrcGenerateTable();  // cheap and idempotent; the table may not exist yet
    return CRC_GET_DIGEST(CrcUpdate(static_cast<UInt32>(crc) ^ CRC_INIT_VAL, data, length));
}

extern "C" unsigned long adler32(unsigned long adler, const unsigned char* data, unsigned int length) {
    constexpr unsigned long kBase = 65521;
    if (data == nullptr) return 1;
    unsigned long a = adler & 0xFFFF;
    unsigned long b = (adler >> 16) & 0xFFFF;
    for (unsigned int i = 0; i < length; ++i) {
        a = (a + data[i]) % kBase;
        b = (b + a) % kBase;
    }
    return (b << 16) | a;
}

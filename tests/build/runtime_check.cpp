// A Windows program linked exactly like the stub (the runtime's entry point, -nostdlib) that checks
// the freestanding runtime: the memory functions against plain byte loops over many lengths,
// alignments and overlaps, and the allocation functions over the private heap. Run under Wine by
// tests/build/test_runtime.py; exit code 0 when everything holds, otherwise the number of the
// first check that failed.
#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"
#include "platform/win32/StubHeap.h"

extern "C" {
void* memcpy(void* destination, const void* source, size_t count);
void* memmove(void* destination, const void* source, size_t count);
void* memset(void* destination, int value, size_t count);
int memcmp(const void* left, const void* right, size_t count);
void* malloc(size_t bytes);
void* calloc(size_t count, size_t size);
void* realloc(void* block, size_t bytes);
void free(void* block);
}

namespace {

constexpr size_t kArena = 600;

unsigned char gArena[kArena];
unsigned char gExpected[kArena];

// The checks' own reference loops; volatile keeps the compiler from turning them into calls of
// the very functions under test.
void Fill(unsigned char* to, size_t count, unsigned seed) {
    for (size_t i = 0; i < count; ++i) to[i] = static_cast<unsigned char>(seed * 31u + i * 7u + 1u);
}
bool Same(const unsigned char* a, const unsigned char* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (static_cast<volatile const unsigned char*>(a)[i] != b[i]) return false;
    }
    return true;
}
void Copy(unsigned char* to, const unsigned char* from, size_t count) {
    for (size_t i = 0; i < count; ++i) static_cast<volatile unsigned char*>(to)[i] = from[i];
}

[[noreturn]] void Fail(platform::u32 check) { platform::ExitProcess(check); }

void CheckCopies() {
    static const size_t kLengths[] = {0, 1, 2, 3, 4, 7, 8, 15, 16, 17, 31, 64, 255, 256, 257};
    for (size_t length : kLengths) {
        for (size_t from = 0; from < 9; ++from) {
            for (size_t to = 0; to < 9; ++to) {
                // memcpy between disjoint halves.
                Fill(gArena, kArena, static_cast<unsigned>(length + from + to));
                Copy(gExpected, gArena, kArena);
                Copy(gExpected + 300 + to, gArena + from, length);
                if (memcpy(gArena + 300 + to, gArena + from, length) != gArena + 300 + to) Fail(1);
                if (!Same(gArena, gExpected, kArena)) Fail(2);

                // memmove with overlap in both directions: the expected result copies through a
                // scratch buffer.
                unsigned char scratch[300];
                Fill(gArena, kArena, static_cast<unsigned>(length * 3 + from));
                Copy(scratch, gArena + 20 + from, length);
                Copy(gExpected, gArena, kArena);
                Copy(gExpected + 20 + to, scratch, length);
                if (memmove(gArena + 20 + to, gArena + 20 + from, length) != gArena + 20 + to) {
                    Fail(3);
                }
                if (!Same(gArena, gExpected, kArena)) Fail(4);
            }
        }
        // memset touches exactly the requested bytes and uses the low byte of the value.
        Fill(gArena, kArena, static_cast<unsigned>(length));
        Copy(gExpected, gArena, kArena);
        for (size_t i = 0; i < length; ++i) gExpected[5 + i] = 0xAB;
        if (memset(gArena + 5, 0x12AB, length) != gArena + 5) Fail(5);
        if (!Same(gArena, gExpected, kArena)) Fail(6);
    }
    // A long forward-overlapping memmove (the destination above the source) must not smear.
    Fill(gArena, kArena, 99);
    Copy(gExpected, gArena, kArena);
    for (size_t i = kArena - 1; i >= 1; --i) gExpected[i] = gArena[i - 1];
    memmove(gArena + 1, gArena, kArena - 1);
    if (!Same(gArena, gExpected, kArena)) Fail(7);
}

void CheckCompare() {
    const unsigned char a[] = {1, 2, 3, 0x80, 5};
    const unsigned char b[] = {1, 2, 3, 0x7F, 9};
    if (memcmp(a, b, 3) != 0) Fail(10);
    if (memcmp(a, b, 0) != 0) Fail(11);
    if (memcmp(a, b, 4) <= 0) Fail(12);  // bytes compare unsigned: 0x80 > 0x7F
    if (memcmp(b, a, 5) >= 0) Fail(13);
}

void CheckAllocation() {
    // The private heap exists and is not the process heap that the ZIP extractor uses.
    if (platform::win32::StubHeapHandle() == nullptr) Fail(20);
    if (platform::win32::StubHeapHandle() == platform::GetProcessHeap()) Fail(21);

    unsigned char* block = static_cast<unsigned char*>(malloc(1000));
    if (block == nullptr) Fail(22);
    Fill(block, 1000, 5);
    unsigned char keep[1000];
    Copy(keep, block, 1000);
    block = static_cast<unsigned char*>(realloc(block, 100000));
    if (block == nullptr) Fail(23);
    if (!Same(block, keep, 1000)) Fail(24);  // growing keeps the contents
    block = static_cast<unsigned char*>(realloc(block, 10));
    if (block == nullptr || !Same(block, keep, 10)) Fail(25);
    if (realloc(block, 0) != nullptr) Fail(26);  // frees

    unsigned char* zeroed = static_cast<unsigned char*>(calloc(1000, 33));
    if (zeroed == nullptr) Fail(27);
    for (size_t i = 0; i < 33000; ++i) {
        if (zeroed[i] != 0) Fail(28);
    }
    free(zeroed);
    // Sizes the compiler cannot see, so it does not warn about the deliberate excess.
    volatile size_t huge = static_cast<size_t>(-1);
    if (calloc(huge / 2, 4) != nullptr) Fail(29);  // count * size overflows
    void* fresh = realloc(nullptr, 64);
    if (fresh == nullptr) Fail(30);
    free(fresh);
    free(nullptr);

    // A block far beyond what a 32-bit process can have is refused, not faulted on.
    if (malloc(huge - 4096) != nullptr) Fail(31);
    if (platform::StubHeapAlloc(0) == nullptr) Fail(32);
}

}  // namespace

extern "C" [[noreturn]] void StubMain(bool heapReady) {
    if (!heapReady) platform::ExitProcess(40);
    CheckCopies();
    CheckCompare();
    CheckAllocation();
    platform::ExitProcess(0);
}

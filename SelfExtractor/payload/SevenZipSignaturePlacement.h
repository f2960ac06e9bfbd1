/* Force-included into the 7z decoder's archive reader when building the Windows stub.
 *
 * The decoder keeps the six 7z signature bytes as a constant. The payload locator must never find
 * them in the stub's own image, so the constant goes into a section of its own that the linker
 * sorts directly before the guard of non-zero bytes in SevenZipSignatureGuard.cpp: the byte 32
 * bytes after the constant's first byte is always a guard byte, so the locator's zero test never
 * passes there. */
#if defined(_WIN32)
extern const unsigned char k7zSignature[6] __attribute__((section(".rdata$zz7zsig_a")));
#endif

# The LZMA SDK's 7z decoder library, compiled from the sources that scripts/setup fetched. Only the
# decoder files: no file layer, no sample or utility programs. The hot decoders are compiled for
# speed, the rest for size.
set(LZMA_SDK_HOT LzmaDec.c Lzma2Dec.c Bcj2.c Bra.c Bra86.c BraIA64.c Delta.c 7zCrc.c 7zCrcOpt.c)
set(LZMA_SDK_COLD 7zArcIn.c 7zDec.c 7zBuf.c 7zStream.c CpuArch.c)
list(TRANSFORM LZMA_SDK_HOT PREPEND "${LZMA_SDK_DIR}/")
list(TRANSFORM LZMA_SDK_COLD PREPEND "${LZMA_SDK_DIR}/")

add_library(lzma_sdk STATIC ${LZMA_SDK_HOT} ${LZMA_SDK_COLD})
target_include_directories(lzma_sdk SYSTEM PUBLIC "${LZMA_SDK_DIR}")
# The SDK's own copy of the 7z signature goes into a section of its own, right before a guard of
# non-zero bytes (see SelfExtractor/payload/SevenZipSignatureGuard.cpp), so that no 33-byte window
# of the built image can pass the payload locator's 7z test.
set_source_files_properties("${LZMA_SDK_DIR}/7zArcIn.c" PROPERTIES COMPILE_OPTIONS
  "-include;${CMAKE_SOURCE_DIR}/SelfExtractor/payload/SevenZipSignaturePlacement.h")
if(SFX_TARGET_WINDOWS)
  set_source_files_properties(${LZMA_SDK_HOT} PROPERTIES COMPILE_OPTIONS "-O2")
  # No -fdata-sections: for PE targets gcc names every variable's own section .data$<name>, so
  # zero-initialised tables (the CRC table) would be stored in the file instead of in .bss.
  target_compile_options(lzma_sdk PRIVATE -ffunction-sections -fno-builtin-memcmp
    -fno-stack-protector -fno-asynchronous-unwind-tables)
  get_source_file_property(_arcin_opts "${LZMA_SDK_DIR}/7zArcIn.c" COMPILE_OPTIONS)
  set_source_files_properties("${LZMA_SDK_DIR}/7zArcIn.c" PROPERTIES COMPILE_OPTIONS "${_arcin_opts};-Os")
else()
  # The host build lets exceptions from the host backend pass through the decoder's frames.
  target_compile_options(lzma_sdk PRIVATE -fexceptions)
  # On x86 the SDK reads little-endian fields with plain unaligned loads (CpuArch.h, by design),
  # and it sets up empty BCJ2 streams as a null pointer plus 0 (7zDec.c); the sanitizer builds
  # would stop at each.
  target_compile_options(lzma_sdk PRIVATE -fno-sanitize=alignment,pointer-overflow)
  set_source_files_properties(${LZMA_SDK_HOT} PROPERTIES COMPILE_OPTIONS "-O2")
endif()

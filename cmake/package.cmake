# The Debian package of the release tooling, built by CPack from the install rules: /usr/bin/sfxtool
# and both stubs under /usr/share/sfxtool/stubs/<name>/SelfExtractor.exe, the layout in which the
# tool finds them (tools/sfxtool/Stubs.h). The stubs come from the two Windows builds; by default
# those of the presets beside this build (build/win32, build/win64). scripts/release makes it.

# Modes of the folders installed, whatever the umask of the one who packs (it must precede the
# install rules). The umask still reaches the package's ar members, so scripts/release sets 022.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS sfxtool RUNTIME DESTINATION bin)
set(SFX_STUB_WIN32 "${CMAKE_BINARY_DIR}/../win32/SelfExtractor.exe" CACHE FILEPATH
    "The 32-bit stub the package carries (the win32 build's SelfExtractor.exe)")
set(SFX_STUB_WIN64 "${CMAKE_BINARY_DIR}/../win64/SelfExtractor.exe" CACHE FILEPATH
    "The 64-bit stub the package carries (the win64 build's SelfExtractor.exe)")
# No OPTIONAL: a package without its stubs must not be made.
install(FILES "${SFX_STUB_WIN32}" DESTINATION share/sfxtool/stubs/win32 RENAME SelfExtractor.exe)
install(FILES "${SFX_STUB_WIN64}" DESTINATION share/sfxtool/stubs/win64 RENAME SelfExtractor.exe)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sfxtool)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "pack, inspect and verify self-extracting Windows installers")
# The synopsis line, then the extended description (CPack writes both into the Description field).
set(CPACK_PACKAGE_DESCRIPTION
    "sfxtool puts a 7z or ZIP archive behind the SelfExtractor stub, a small Windows program that
unpacks it into a temporary folder and runs the installer inside. It shows what an installer
holds and checks it for everything that would make the stub fail. The package carries the
32-bit stub (the default) and its 64-bit twin.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "SelfExtractor maintainers <maintainers@users.noreply.c-seed-5a1b01e7.example>"
    CACHE STRING "Maintainer field of the package")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)   # sfxtool_<version>_<dpkg architecture>.deb
# The shared libraries sfxtool links (libc6, libstdc++6, libgcc-s1, libssl3, zlib1g) through
# dpkg-shlibdeps; 7zz for 7z packing.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "7zip")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)

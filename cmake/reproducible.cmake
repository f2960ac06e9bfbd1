# Reproducible builds: the same commit gives the same bytes, whatever folder it is checked out and
# built in, on any machine with the same Debian packages.
#
# - Paths: every absolute source, build and SDK path is rewritten to a fixed relative one in
#   everything the compiler records (__FILE__, debug information): -ffile-prefix-map. windres takes
#   no such option and needs none: the resource objects it writes hold no paths or times.
# - The PE time stamp (GNU ld for PE writes the link time into the COFF header, and the header's
#   CheckSum covers it): SOURCE_DATE_EPOCH when it is set at configure time, else the commit time of
#   the checkout's HEAD, else 0. sfx_pe_timestamp(TARGET) hands it to the linker; Debian's mingw
#   binutils 2.40 take it from SOURCE_DATE_EPOCH, and write 0 with --no-insert-timestamp.

# The later map wins where two match: the build folder may lie inside the source folder.
set(_sfx_prefix_maps "${CMAKE_SOURCE_DIR}=." "${LZMA_SDK_DIR}=third_party/lzma"
    "${CMAKE_SOURCE_DIR}/third_party/zlib=third_party/zlib" "${CMAKE_BINARY_DIR}=build")
foreach(_map IN LISTS _sfx_prefix_maps)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${_map}>")
endforeach()

# SFX_SOURCE_DATE_EPOCH: seconds since 1970, or empty when neither source gives one.
set(SFX_SOURCE_DATE_EPOCH "")
set(SFX_SOURCE_DATE_ORIGIN "none (no SOURCE_DATE_EPOCH, no git checkout): PE time stamp 0")
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: $ENV{SOURCE_DATE_EPOCH}")
  endif()
  set(SFX_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
  set(SFX_SOURCE_DATE_ORIGIN "SOURCE_DATE_EPOCH")
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    # Only the checkout this source folder is the top of: a copy of the sources inside some other
    # repository must not take that repository's time. safe.directory: CI builds as root in a
    # checkout owned by another user; these calls only read.
    set(_git "${GIT_EXECUTABLE}" -c "safe.directory=*" -C "${CMAKE_SOURCE_DIR}")
    execute_process(COMMAND ${_git} rev-parse --show-toplevel
                    OUTPUT_VARIABLE _top RESULT_VARIABLE _rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(_rc EQUAL 0)
      file(REAL_PATH "${_top}" _top)
      file(REAL_PATH "${CMAKE_SOURCE_DIR}" _src)
    endif()
    if(_rc EQUAL 0 AND _top STREQUAL _src)
      execute_process(COMMAND ${_git} log -1 --format=%ct%n%h HEAD
                      OUTPUT_VARIABLE _log RESULT_VARIABLE _rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(_rc EQUAL 0 AND _log MATCHES "^([0-9]+)\n([0-9a-f]+)$")
        set(SFX_SOURCE_DATE_EPOCH "${CMAKE_MATCH_1}")
        set(SFX_SOURCE_DATE_ORIGIN "time of commit ${CMAKE_MATCH_2}")
      endif()
      # Configure again when HEAD moves (a commit, a checkout), so the time stamp follows it.
      execute_process(COMMAND ${_git} rev-parse --symbolic-full-name HEAD
                      OUTPUT_VARIABLE _ref ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
      foreach(_name IN ITEMS HEAD ${_ref} packed-refs)
        execute_process(COMMAND ${_git} rev-parse --path-format=absolute --git-path "${_name}"
                        OUTPUT_VARIABLE _file ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(_file AND EXISTS "${_file}")
          set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_file}")
        endif()
      endforeach()
    endif()
  endif()
endif()
if(NOT SFX_SOURCE_DATE_EPOCH STREQUAL "" AND SFX_SOURCE_DATE_EPOCH GREATER 4294967295)
  message(FATAL_ERROR "${SFX_SOURCE_DATE_ORIGIN} (${SFX_SOURCE_DATE_EPOCH}) does not fit the 32-bit PE time stamp")
endif()

# The PE time stamp of TARGET (a Windows executable): SFX_SOURCE_DATE_EPOCH, or 0 without one. The
# value goes into the link command line, so a new commit relinks.
function(sfx_pe_timestamp target)
  if(SFX_SOURCE_DATE_EPOCH STREQUAL "")
    target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
  else()
    foreach(_lang C CXX)
      set_property(TARGET ${target} PROPERTY ${_lang}_LINKER_LAUNCHER
                   "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${SFX_SOURCE_DATE_EPOCH}")
    endforeach()
  endif()
endfunction()

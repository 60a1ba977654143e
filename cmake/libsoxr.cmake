# libsoxr for the Windows build: its source, as Debian ships it, compiled here with the MinGW
# toolchain into a static library, so that the exe stays one file that imports only Windows' DLLs.
# Defines the imported target oah_soxr.
#
# OAH_SOXR_SOURCE_DIR names the unpacked source. Left empty, scripts/fetch-libsoxr of this tree
# says where it is and fetches it first when it is missing (scripts/setup has usually done that;
# a copy of the tracked files, as the mutation tool makes, fetches its own).
# scripts/check-reproducible builds from `git archive`, which has no fetched source, and passes
# the one of the checkout it runs in.
set(OAH_SOXR_SOURCE_DIR "" CACHE PATH
    "Unpacked libsoxr source; empty: the one scripts/fetch-libsoxr provides")
if(OAH_SOXR_SOURCE_DIR)
  set(oah_soxr_source ${OAH_SOXR_SOURCE_DIR})
else()
  execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/fetch-libsoxr --print-dir
                  OUTPUT_VARIABLE oah_soxr_source OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE oah_soxr_fetch_status)
  if(NOT oah_soxr_fetch_status EQUAL 0)
    message(FATAL_ERROR "scripts/fetch-libsoxr failed (${oah_soxr_fetch_status}); run it to see "
                        "why, or pass -DOAH_SOXR_SOURCE_DIR=<unpacked libsoxr source>")
  endif()
endif()
if(NOT EXISTS ${oah_soxr_source}/src/soxr.h)
  message(FATAL_ERROR "No libsoxr source in '${oah_soxr_source}' (src/soxr.h is missing)")
endif()

include(ExternalProject)
set(oah_soxr_binary ${CMAKE_BINARY_DIR}/libsoxr)
set(oah_soxr_library ${oah_soxr_binary}/src/libsoxr.a)
# Both folders are mapped away, so the exe's bytes do not depend on where they are.
set(oah_soxr_c_flags
    "-ffile-prefix-map=${oah_soxr_source}/=libsoxr/ -ffile-prefix-map=${oah_soxr_binary}/=libsoxr/")
ExternalProject_Add(libsoxr_build
  SOURCE_DIR ${oah_soxr_source}
  BINARY_DIR ${oah_soxr_binary}
  PREFIX ${CMAKE_BINARY_DIR}/libsoxr-steps
  CMAKE_ARGS
    # Its CMakeLists predates the policies of the CMake we use; their warnings concern it alone.
    -Wno-dev
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_C_FLAGS=${oah_soxr_c_flags}
    -DBUILD_SHARED_LIBS=OFF
    -DBUILD_TESTS=OFF
    -DBUILD_EXAMPLES=OFF
    -DWITH_OPENMP=OFF
    -DWITH_LSR_BINDINGS=OFF
    # Its AVX engine stays out: GCC cannot align the stack for the 32-byte spills of AVX code on
    # 64-bit Windows, so that code crashes on Windows (not under Wine, which hides the fault).
    # The SSE engines are part of x86-64 and stay.
    -DWITH_CR64S=OFF
    # Its trace goes to standard error when SOXR_TRACE is set; the helper's standard error
    # carries its own notices for the parent and nothing else.
    -DWITH_DEV_TRACE=OFF
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${oah_soxr_library})

# soxr.h declares its functions dllimport only when SOXR_DLL is defined (and with visibility
# attributes under SOXR_VISIBILITY, for building the library itself): a static library is used
# with neither.
add_library(oah_soxr STATIC IMPORTED GLOBAL)
set_target_properties(oah_soxr PROPERTIES
  IMPORTED_LOCATION ${oah_soxr_library}
  INTERFACE_INCLUDE_DIRECTORIES ${oah_soxr_source}/src)
add_dependencies(oah_soxr libsoxr_build)

# The bundled build: eSpeak NG and libsoxr compiled from the trees that
# third_party/fetch-sources lays out, as static position-independent
# libraries linked into the module, and eSpeak NG's data compiled by the
# espeak-ng program built from the same sources (when cross-compiling, a
# build of it for the build machine: the data is the same on every
# architecture). Defines the targets vyn_espeak_ng and vyn_soxr, and
# vyn_espeak_data (the data directory VYN_BUNDLED_DATA_DIR), plus the
# program VYN_ESPEAK_NG_PROGRAM (a test tool, never installed).
include(ExternalProject)
include(ProcessorCount)
ProcessorCount(_jobs)
if(_jobs EQUAL 0)
  set(_jobs 1)
endif()

set(VYN_THIRD_PARTY "${PROJECT_SOURCE_DIR}/third_party/src")
foreach(_tree espeak-ng soxr sonic)
  if(NOT EXISTS "${VYN_THIRD_PARTY}/${_tree}")
    message(FATAL_ERROR "${VYN_THIRD_PARTY}/${_tree} is missing: "
      "run third_party/fetch-sources first (an sdist carries the trees)")
  endif()
endforeach()

set(_espeak_src "${VYN_THIRD_PARTY}/espeak-ng")
set(_espeak_build "${CMAKE_BINARY_DIR}/espeak-ng")
set(_soxr_build "${CMAKE_BINARY_DIR}/soxr")
set(_soxr_install "${CMAKE_BINARY_DIR}/soxr-install")

# Both libraries build with their own CMake, with the same compilers as vyn
# and with Debian's flags (dpkg-buildflags on Debian 13: -O2 and its
# hardening, no NDEBUG), so they behave as Debian's libraries do: the
# library's known overflows on crafted text end the process at once
# instead of running on with a corrupted stack. Control-flow protection is
# the architecture's own, as dpkg gives it: Intel's CET on x86,
# pointer authentication and branch targets on 64-bit ARM.
set(_debian_flags "-O2 -fstack-protector-strong -fstack-clash-protection -D_FORTIFY_SOURCE=2")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|X86|i[3-6]86)$")
  string(APPEND _debian_flags " -fcf-protection")
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  string(APPEND _debian_flags " -mbranch-protection=standard")
endif()
# The same bytes wherever the sources lie (an assert names its file): paths
# are written relative to the source tree, as Debian's builds write them.
string(APPEND _debian_flags " -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
set(_common_args
  -DCMAKE_BUILD_TYPE=None
  -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON
  -DBUILD_SHARED_LIBS=OFF
  -DBUILD_TESTING=OFF
  -DCMAKE_POLICY_VERSION_MINIMUM=3.5)
if(CMAKE_TOOLCHAIN_FILE)
  # A cross build: the libraries are for the same target as the module.
  get_filename_component(_toolchain "${CMAKE_TOOLCHAIN_FILE}" ABSOLUTE
                         BASE_DIR "${PROJECT_SOURCE_DIR}")
  list(APPEND _common_args "-DCMAKE_TOOLCHAIN_FILE=${_toolchain}")
endif()

# Windows (cross-compiled with mingw-w64): the same flags less those that
# do not fit there. Windows probes the stack itself, and Debian 12's
# x86-64 mingw gcc fails with an internal error on -fstack-clash-protection
# for any frame over a page. The target's own flags (the toolchain file's
# VYN_TARGET_FLAGS: SSE2 math on i686) reach both libraries. The library
# is static there with an API neither imported nor exported (vyn's patch),
# and speaks no MBROLA: Debian's mbrola program is Linux's.
set(_espeak_platform_args -DUSE_MBROLA=ON -DMBROLA_BIN=mbrola)
if(WIN32)
  string(REPLACE " -fstack-clash-protection" "" _debian_flags "${_debian_flags}")
  string(APPEND _debian_flags " -DLIBESPEAK_NG_STATIC=1")
  set(_espeak_platform_args -DUSE_MBROLA=OFF)
endif()
if(VYN_TARGET_FLAGS)
  string(APPEND _debian_flags " ${VYN_TARGET_FLAGS}")
endif()

ExternalProject_Add(soxr_build
  SOURCE_DIR "${VYN_THIRD_PARTY}/soxr"
  BINARY_DIR "${_soxr_build}"
  INSTALL_DIR "${_soxr_install}"
  CMAKE_ARGS ${_common_args}
    "-DCMAKE_C_FLAGS=${_debian_flags}"
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    -DCMAKE_INSTALL_LIBDIR=lib
    -DWITH_OPENMP=OFF -DWITH_LSR_BINDINGS=OFF
    -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF
  BUILD_BYPRODUCTS "${_soxr_install}/lib/libsoxr.a")

# No audio output and no library thread: vyn synthesizes synchronously to
# memory. path_home is cut at 160 characters by default: a longer install
# path would fail every call. MBROLA support is compiled only when the
# build sees a program named mbrola; any name does. The library must not
# pick up a system sonic (OFF stops the search), so the sonic source is
# handed in.
set(_espeak_c_flags "${_debian_flags} -DN_PATH_HOME=4096")
if(VYN_SANITIZE)
  # The library under the sanitizers too: the texts that once aborted it
  # are run through it there.
  string(APPEND _espeak_c_flags
    " -fsanitize=address,undefined -fno-omit-frame-pointer")
endif()

# Profile-guided optimisation (VYN_PGO): eSpeak NG is compiled
# instrumented, speaks the training texts (cmake/espeak-train.cmake), and is
# compiled again in the same directory with the profile, where the profile
# data lies beside each object (gcc 10 cannot map it from another
# directory). Same audio, fewer instructions, mostly in its wave generator.
# A profile belongs to the machine it ran on: a cross build (aarch64,
# Windows) goes without, as do the sanitizers' builds and other compilers.
option(VYN_PGO "Build the bundled eSpeak NG with profile-guided optimisation" ON)
set(_espeak_pgo OFF)
if(VYN_PGO AND NOT CMAKE_CROSSCOMPILING AND NOT VYN_SANITIZE AND
   CMAKE_C_COMPILER_ID STREQUAL "GNU")
  set(_espeak_pgo ON)
endif()
set(_espeak_first_flags "${_espeak_c_flags}")
if(_espeak_pgo)
  # The same names in every build of the same sources, wherever it runs.
  string(APPEND _espeak_c_flags " -frandom-seed=vyn-espeak-ng")
  set(_espeak_first_flags "${_espeak_c_flags} -fprofile-generate")
  # What the training never ran is optimised as without a profile; a
  # source patched since the training (a checkout's later patch) compiles
  # without its profile rather than fail.
  string(APPEND _espeak_c_flags
    " -fprofile-use -fprofile-partial-training -Wno-missing-profile"
    " -Wno-error=coverage-mismatch")
endif()

set(_espeak_options
  -DCMAKE_INSTALL_PREFIX=/nonexistent
  -DUSE_ASYNC=OFF -DUSE_LIBPCAUDIO=OFF -DUSE_SPEECHPLAYER=OFF
  -DUSE_KLATT=ON -DUSE_LIBSONIC=ON
  -DSONIC_LIB=OFF -DPCAUDIO_LIB=OFF
  -DESPEAK_BUILD_MANPAGES=OFF
  -DFETCHCONTENT_FULLY_DISCONNECTED=ON
  "-DFETCHCONTENT_SOURCE_DIR_SONIC-GIT=${VYN_THIRD_PARTY}/sonic")

ExternalProject_Add(espeak_ng_build
  SOURCE_DIR "${_espeak_src}"
  BINARY_DIR "${_espeak_build}"
  CMAKE_ARGS ${_common_args}
    "-DCMAKE_C_FLAGS=${_espeak_first_flags}"
    ${_espeak_options} ${_espeak_platform_args}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR>
    --target espeak-ng espeak-ng-bin --parallel ${_jobs}
  # Its own make decides what is out of date: a patch that fetch-sources
  # applied since the last build recompiles what it touched.
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS
    "${_espeak_build}/src/libespeak-ng/libespeak-ng.a"
    "${_espeak_build}/src/ucd-tools/libucd.a"
    "${_espeak_build}/src/espeak-ng")

add_library(vyn_soxr STATIC IMPORTED GLOBAL)
set_target_properties(vyn_soxr PROPERTIES
  IMPORTED_LOCATION "${_soxr_install}/lib/libsoxr.a"
  INTERFACE_INCLUDE_DIRECTORIES "${VYN_THIRD_PARTY}/soxr/src"
  INTERFACE_LINK_LIBRARIES m)
add_dependencies(vyn_soxr soxr_build)

add_library(vyn_ucd STATIC IMPORTED GLOBAL)
set_target_properties(vyn_ucd PROPERTIES
  IMPORTED_LOCATION "${_espeak_build}/src/ucd-tools/libucd.a")
add_library(vyn_espeak_ng STATIC IMPORTED GLOBAL)
set_target_properties(vyn_espeak_ng PROPERTIES
  IMPORTED_LOCATION "${_espeak_build}/src/libespeak-ng/libespeak-ng.a"
  INTERFACE_INCLUDE_DIRECTORIES "${_espeak_src}/src/include"
  INTERFACE_LINK_LIBRARIES "vyn_ucd;m")
add_dependencies(vyn_espeak_ng espeak_ng_build)
if(WIN32)
  # Every consumer sees the API as the library was built (plain), and links
  # libssp, which both libraries' stack protector and _FORTIFY_SOURCE need
  # there (the engine tests link libsoxr without eSpeak NG).
  set_property(TARGET vyn_espeak_ng APPEND PROPERTY
    INTERFACE_COMPILE_DEFINITIONS LIBESPEAK_NG_STATIC=1)
  set_property(TARGET vyn_espeak_ng vyn_soxr APPEND PROPERTY
    INTERFACE_LINK_LIBRARIES ssp)
endif()

set(VYN_ESPEAK_NG_PROGRAM "${_espeak_build}/src/espeak-ng")
if(CMAKE_CROSSCOMPILING AND VYN_BUNDLED_DATA_ROOT)
  # The data is the same on every system: a cross build may take the data
  # a native build compiled from the same sources (its vyn-data directory)
  # instead of compiling it again.
  if(NOT EXISTS "${VYN_BUNDLED_DATA_ROOT}/espeak-ng-data/phontab")
    message(FATAL_ERROR "VYN_BUNDLED_DATA_ROOT is not the vyn-data "
      "directory of a native bundled build")
  endif()
  set(VYN_BUNDLED_DATA_DIR "${VYN_BUNDLED_DATA_ROOT}/espeak-ng-data")
  add_custom_target(vyn_espeak_data)
  return()
endif()
set(_data_compiler "${VYN_ESPEAK_NG_PROGRAM}")
set(_data_compiler_target espeak_ng_build)
if(CMAKE_CROSSCOMPILING)
  include("${CMAKE_CURRENT_LIST_DIR}/espeak-host.cmake")
endif()
set(VYN_BUNDLED_DATA_ROOT "${CMAKE_BINARY_DIR}/vyn-data")
set(VYN_BUNDLED_DATA_DIR "${VYN_BUNDLED_DATA_ROOT}/espeak-ng-data")
ExternalProject_Add(vyn_espeak_data
  SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/espeak-data"
  BINARY_DIR "${CMAKE_BINARY_DIR}/espeak-data-build"
  CMAKE_ARGS "-DESPEAK_SOURCE=${_espeak_src}"
    "-DESPEAK_NG_PROGRAM=${_data_compiler}"
    "-DDATA_ROOT=${VYN_BUNDLED_DATA_ROOT}"
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --parallel ${_jobs}
  INSTALL_COMMAND ""
  DEPENDS ${_data_compiler_target})

if(_espeak_pgo)
  # After the data (compiled by the instrumented program, whose counts the
  # training drops): train, then compile the library and the program again
  # with the profile. A new configuration of the first build trains again,
  # and so does a change here, instrumented anew first (nothing to compile
  # after the first build).
  ExternalProject_Get_Property(espeak_ng_build STAMP_DIR)
  set(_training "${CMAKE_CURRENT_LIST_DIR}/espeak-training")
  file(GLOB _training_texts CONFIGURE_DEPENDS
       "${_training}/*.txt" "${_training}/*.ssml")
  set(_profiled "${_espeak_build}/vyn-profiled.stamp")
  add_custom_command(OUTPUT "${_profiled}"
    COMMAND ${CMAKE_COMMAND} "-DCMAKE_C_FLAGS=${_espeak_first_flags}"
      "${_espeak_build}"
    COMMAND ${CMAKE_COMMAND} --build "${_espeak_build}"
      --target espeak-ng espeak-ng-bin --parallel ${_jobs}
    COMMAND ${CMAKE_COMMAND} "-DPROGRAM=${VYN_ESPEAK_NG_PROGRAM}"
      "-DDATA_ROOT=${VYN_BUNDLED_DATA_ROOT}" "-DTEXTS=${_training}"
      "-DPROFILE_DIR=${_espeak_build}"
      -P "${CMAKE_CURRENT_LIST_DIR}/espeak-train.cmake"
    COMMAND ${CMAKE_COMMAND} "-DCMAKE_C_FLAGS=${_espeak_c_flags}"
      "${_espeak_build}"
    COMMAND ${CMAKE_COMMAND} --build "${_espeak_build}"
      --target espeak-ng espeak-ng-bin --parallel ${_jobs}
    COMMAND ${CMAKE_COMMAND} -E touch "${_profiled}"
    DEPENDS vyn_espeak_data "${STAMP_DIR}/espeak_ng_build-configure"
      "${CMAKE_CURRENT_LIST_DIR}/espeak-train.cmake" ${_training_texts}
    COMMENT "Training eSpeak NG and compiling it with the profile"
    VERBATIM)
  add_custom_target(espeak_ng_profiled DEPENDS "${_profiled}")
  add_dependencies(vyn_espeak_ng espeak_ng_profiled)
  add_dependencies(vyn_ucd espeak_ng_profiled)
endif()

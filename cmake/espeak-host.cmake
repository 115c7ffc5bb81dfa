# Included by bundled.cmake when cross-compiling: the module's espeak-ng
# program cannot run on the build machine, so the data is compiled by the
# same sources built for the build machine (the compiled data does not
# depend on the machine that compiles it, nor on its optimizer: only -O2
# and the longer path_home of the target's build). Sets _data_compiler
# and _data_compiler_target.
set(VYN_HOST_C_COMPILER cc CACHE STRING
    "The build machine's C compiler, for the program that compiles eSpeak NG's data")
set(_espeak_host_build "${CMAKE_BINARY_DIR}/espeak-ng-host")
ExternalProject_Add(espeak_ng_host_build
  SOURCE_DIR "${_espeak_src}"
  BINARY_DIR "${_espeak_host_build}"
  CMAKE_ARGS
    -DCMAKE_BUILD_TYPE=None
    "-DCMAKE_C_COMPILER=${VYN_HOST_C_COMPILER}"
    "-DCMAKE_C_FLAGS=-O2 -DN_PATH_HOME=4096"
    -DBUILD_SHARED_LIBS=OFF
    -DBUILD_TESTING=OFF
    -DCMAKE_POLICY_VERSION_MINIMUM=3.5
    ${_espeak_options} -DUSE_MBROLA=ON -DMBROLA_BIN=mbrola
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR>
    --target espeak-ng-bin --parallel ${_jobs}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS "${_espeak_host_build}/src/espeak-ng")
set(_data_compiler "${_espeak_host_build}/src/espeak-ng")
set(_data_compiler_target espeak_ng_host_build espeak_ng_build)

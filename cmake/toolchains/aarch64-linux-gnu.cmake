# Cross-compiling for 64-bit ARM Linux on a Debian or Ubuntu machine with
# the distribution's cross compilers (gcc-aarch64-linux-gnu,
# g++-aarch64-linux-gnu) and the target's Python headers from the arm64
# architecture (dpkg --add-architecture arm64; libpython3-dev:arm64):
#   -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
# The wheel's tag is the build backend's business: scikit-build-core tags
# for the target when _PYTHON_HOST_PLATFORM=linux-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Programs run on the build machine; libraries and headers are the target's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

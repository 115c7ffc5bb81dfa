# 64-bit Windows, cross-compiled with Debian's mingw-w64 (gcc, posix
# threads: the variant whose libstdc++ has std::thread and std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VYN_MINGW_TRIPLET x86_64-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")

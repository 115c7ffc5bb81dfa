# 32-bit Windows, cross-compiled with Debian's mingw-w64 (gcc, posix
# threads). Floating point in SSE2 registers, as on x86-64: with the x87
# unit's extended precision the synthesizer's samples differ from those of
# every other build (by up to 50 in a few hundred samples of a list).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)
set(VYN_MINGW_TRIPLET i686-w64-mingw32)
set(VYN_TARGET_FLAGS "-msse2 -mfpmath=sse")
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake")

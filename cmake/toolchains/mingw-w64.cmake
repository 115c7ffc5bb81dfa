# What both Windows toolchain files share: the compilers named by
# VYN_MINGW_TRIPLET, the target's own flags (VYN_TARGET_FLAGS, also handed
# to the bundled libraries' builds), and libraries and headers searched in
# the target's tree only.
set(CMAKE_C_COMPILER ${VYN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VYN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VYN_MINGW_TRIPLET}-windres)
set(CMAKE_C_FLAGS_INIT "${VYN_TARGET_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${VYN_TARGET_FLAGS}")
set(CMAKE_FIND_ROOT_PATH /usr/${VYN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

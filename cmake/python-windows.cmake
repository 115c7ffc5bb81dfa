# The extension for Windows, cross-compiled with mingw-w64 (included by
# CMakeLists.txt for WIN32). It is built against CPython's stable ABI as
# python3.dll exports it: an import library made from a python3.dll
# (VYN_PYTHON3_DLL; the x86-64 one serves i686 too, the names are the same
# on every architecture), and CPython's headers (VYN_PYTHON_HEADERS, by
# default those of the Python running the build: Debian's) with
# cmake/python-windows/pyconfig.h in place of their Linux one. The module
# is vyn.pyd (the name Windows' CPython imports a stable-ABI extension
# by), linked statically with libstdc++, libgcc and winpthreads, so that it
# needs no DLL beside CPython's and the system's; PyInit_vyn is its one
# export (PyMODINIT_FUNC is dllexport; nothing else is). Defines
# vyn_windows_python(TARGET), giving TARGET the headers and python3.dll.
if(NOT VYN_PYTHON3_DLL OR NOT EXISTS "${VYN_PYTHON3_DLL}")
  message(FATAL_ERROR "a Windows build of the module needs VYN_PYTHON3_DLL, "
    "the python3.dll of a Windows CPython (.ci/windows-python fetches one)")
endif()
if(NOT VYN_PYTHON_HEADERS)
  find_program(_python NAMES python3 REQUIRED NO_CMAKE_FIND_ROOT_PATH)
  execute_process(COMMAND "${_python}" -c
    "import sysconfig; print(sysconfig.get_path('include'))"
    OUTPUT_VARIABLE VYN_PYTHON_HEADERS OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
endif()
if(NOT EXISTS "${VYN_PYTHON_HEADERS}/Python.h")
  message(FATAL_ERROR "no Python.h in VYN_PYTHON_HEADERS (${VYN_PYTHON_HEADERS})")
endif()

# The headers beside the Windows pyconfig.h: Python.h includes "pyconfig.h"
# from its own directory first.
set(_headers "${CMAKE_BINARY_DIR}/python-windows/include")
file(REMOVE_RECURSE "${_headers}")
file(COPY "${VYN_PYTHON_HEADERS}/" DESTINATION "${_headers}"
     PATTERN pyconfig.h EXCLUDE)
file(COPY "${PROJECT_SOURCE_DIR}/cmake/python-windows/pyconfig.h"
     DESTINATION "${_headers}")

# The import library, from the names python3.dll exports (every reference
# to them is dllimport, through the headers: no name needs a DATA mark).
# The DLL is x86-64's, which the i686 objdump does not read.
find_program(VYN_PE64_OBJDUMP NAMES x86_64-w64-mingw32-objdump objdump REQUIRED)
execute_process(COMMAND "${VYN_PE64_OBJDUMP}" -p "${VYN_PYTHON3_DLL}"
  OUTPUT_VARIABLE _dump COMMAND_ERROR_IS_FATAL ANY)
string(FIND "${_dump}" "[Ordinal/Name Pointer] Table" _table)
string(SUBSTRING "${_dump}" ${_table} -1 _dump)
string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [A-Za-z_][A-Za-z0-9_]*" _entries "${_dump}")
set(_def "LIBRARY python3.dll\nEXPORTS\n")
foreach(_entry IN LISTS _entries)
  string(REGEX REPLACE "^\n\t\\[ *[0-9]+\\] " "" _name "${_entry}")
  string(APPEND _def "${_name}\n")
endforeach()
list(LENGTH _entries _count)
if(_count LESS 500)
  message(FATAL_ERROR "${VYN_PYTHON3_DLL} exports ${_count} names: not python3.dll?")
endif()
set(_library "${CMAKE_BINARY_DIR}/python-windows/libpython3.a")
file(WRITE "${CMAKE_BINARY_DIR}/python-windows/python3.def" "${_def}")
execute_process(COMMAND "${CMAKE_DLLTOOL}" -d python3.def -l "${_library}"
  WORKING_DIRECTORY "${CMAKE_BINARY_DIR}/python-windows"
  COMMAND_ERROR_IS_FATAL ANY)

function(vyn_windows_python target)
  target_include_directories(${target} PRIVATE "${_headers}")
  target_link_libraries(${target} PRIVATE "${_library}")
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".pyd")
  target_link_options(${target} PRIVATE -static -Wl,--exclude-libs,ALL)
endfunction()

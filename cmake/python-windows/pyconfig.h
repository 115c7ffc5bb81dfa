/* The interpreter's configuration as CPython's headers read it, for
 * building the extension for Windows with mingw-w64 against the headers of
 * Debian's python3 (whose own pyconfig.h is Linux's, and errors for any
 * other system). CPython's Windows pyconfig.h is written for MSVC and is
 * in no binary package; the stable ABI the module is built for
 * (Py_LIMITED_API) needs only what is below from it: which system this is,
 * the sizes of C's types on Windows (LLP64 or ILP32: long is 32 bits,
 * wchar_t 16), and that the interpreter is a DLL whose functions and data
 * are imported (PyAPI_FUNC and PyAPI_DATA dllimport, PyMODINIT_FUNC
 * dllexport). Nothing here describes how the interpreter was built: the
 * stable ABI does not depend on it. */
#ifndef VYN_WINDOWS_PYCONFIG_H
#define VYN_WINDOWS_PYCONFIG_H

#ifndef _WIN32
#error "this pyconfig.h is for Windows targets only"
#endif

#define MS_WIN32
#define MS_WINDOWS
#ifdef _WIN64
#define MS_WIN64
#endif
#define NT_THREADS
#define WITH_THREAD

/* The interpreter is python3.dll (forwarding to python3X.dll). */
#define HAVE_DECLSPEC_DLL
#define Py_ENABLE_SHARED 1

#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_LONG_LONG 1
/* mingw-w64's ssize_t is as wide as size_t, as Py_SSIZE_T is. */
#define HAVE_SSIZE_T 1

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_WCHAR_T 2
#ifdef _WIN64
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define ALIGNOF_SIZE_T 8
#else
#define SIZEOF_VOID_P 4
#define SIZEOF_SIZE_T 4
#define ALIGNOF_SIZE_T 4
#endif
#define SIZEOF_TIME_T 8

#endif

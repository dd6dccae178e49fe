/* The few settings of CPython's Windows configuration that its headers read when an extension
   module for 64-bit Windows is compiled against the limited API (cross builds only). */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#define Py_NO_LINK_LIB
#define PLATFORM "win32"
#define SIZEOF_INT 4
#define SIZEOF_SHORT 2
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_CLOCK 1
#endif

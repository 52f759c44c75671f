/*
 * vanto_edit/export.h — symbol visibility for the public API.
 *
 * The library is built with hidden visibility; every public function is
 * marked with VANTO_EXPORT, which makes it visible in the shared object.
 * C functions are declared inside VANTO_EXTERN_C_BEGIN/END so that their
 * exported names are the plain, unmangled C names.  The few C++-only entry
 * points (string overloads, printers taking an output stream) are declared
 * outside those blocks and are exported with C++ linkage.
 */
#ifndef VANTO_EDIT_EXPORT_H
#define VANTO_EDIT_EXPORT_H

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(VANTO_EDIT_BUILDING)
#    define VANTO_EXPORT __declspec(dllexport)
#  else
#    define VANTO_EXPORT __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define VANTO_EXPORT __attribute__((visibility("default")))
#else
#  define VANTO_EXPORT
#endif

#ifdef __cplusplus
#  define VANTO_EXTERN_C_BEGIN extern "C" {
#  define VANTO_EXTERN_C_END }
#else
#  define VANTO_EXTERN_C_BEGIN
#  define VANTO_EXTERN_C_END
#endif

#endif /* VANTO_EDIT_EXPORT_H */

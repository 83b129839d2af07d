#ifndef QUILLET_EXPORT_H_
#define QUILLET_EXPORT_H_

/// @file
/// QUILLET_EXPORT marks the classes that leave the shared library; everything
/// else is built with hidden visibility. QUILLET_SHARED_LIBRARY is set for
/// users of the shared build (the CMake target and quillet.pc set it) and
/// QUILLET_COMPILE_LIBRARY while the library itself is built.
#if !defined(QUILLET_EXPORT)
#if defined(QUILLET_SHARED_LIBRARY)
#if defined(_WIN32)
#if defined(QUILLET_COMPILE_LIBRARY)
#define QUILLET_EXPORT __declspec(dllexport)
#else
#define QUILLET_EXPORT __declspec(dllimport)
#endif
#else
#define QUILLET_EXPORT __attribute__((visibility("default")))
#endif
#else
#define QUILLET_EXPORT
#endif
#endif

#endif  // QUILLET_EXPORT_H_

#ifndef QUILLET_EXPORT_H_
#define QUILLET_EXPORT_H_

// QUILLET_EXPORT marks the classes that leave the shared library; everything
// else is built with hidden visibility. QUILLET_SHARED_LIBRARY is set for
// consumers of the shared build and QUILLET_COMPILE_LIBRARY while building it.
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

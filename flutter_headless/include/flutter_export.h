// Export/import decoration of the engine's C API: dllexport while building our
// flutter_windows.dll, dllimport for every plugin and host that links against it.
#ifndef FLUTTER_HEADLESS_FLUTTER_EXPORT_H_
#define FLUTTER_HEADLESS_FLUTTER_EXPORT_H_

#ifndef FLUTTER_EXPORT
#if defined(_WIN32) && defined(FLUTTER_DESKTOP_LIBRARY)
#define FLUTTER_EXPORT __declspec(dllexport)
#elif defined(_WIN32) && !defined(FLUTTER_HEADLESS_STATIC)
#define FLUTTER_EXPORT __declspec(dllimport)
#else
#define FLUTTER_EXPORT
#endif
#endif

#endif  // FLUTTER_HEADLESS_FLUTTER_EXPORT_H_

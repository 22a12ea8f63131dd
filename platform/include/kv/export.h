// Export decoration of the deliverables' entry points.
#pragma once

#if defined(_WIN32)
// Each library's .def file names its exports, undecorated; a dllexport here would add the
// decorated __stdcall names (_Name@N) beside them.
#define KV_EXPORT extern "C"
#define KV_STDCALL __stdcall
#else
#define KV_EXPORT extern "C" __attribute__((visibility("default")))
#define KV_STDCALL
#endif

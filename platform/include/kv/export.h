// Export decoration of the deliverables' entry points.
#pragma once

#if defined(_WIN32)
#define KV_EXPORT extern "C" __declspec(dllexport)
#define KV_STDCALL __stdcall
#else
#define KV_EXPORT extern "C" __attribute__((visibility("default")))
#define KV_STDCALL
#endif

#pragma once

// Symbols of libvantor are hidden unless marked; the marked ones form its ABI.
#if defined(_WIN32)
#if defined(VANTOR_BUILDING_LIBRARY)
#define VANTOR_API __declspec(dllexport)
#else
#define VANTOR_API __declspec(dllimport)
#endif
#else
#define VANTOR_API __attribute__((visibility("default")))
#endif

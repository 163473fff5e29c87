#pragma once

#if defined(_WIN32)
#if defined(NUVIK_BUILDING_LIBRARY)
#define NUVIK_API __declspec(dllexport)
#else
#define NUVIK_API __declspec(dllimport)
#endif
#else
#define NUVIK_API __attribute__((visibility("default")))
#endif

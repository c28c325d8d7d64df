// Symbol visibility for the shared library. Everything a host may call or
// derive from carries TAVRIN_API; the rest stays hidden.
#pragma once

#if defined(_WIN32)
#  if defined(TAVRIN_BUILDING_LIBRARY)
#    define TAVRIN_API __declspec(dllexport)
#  else
#    define TAVRIN_API __declspec(dllimport)
#  endif
#else
#  define TAVRIN_API __attribute__((visibility("default")))
#endif

// Symbol export of the module library: everything is hidden unless marked.
#pragma once

#define IGD1_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define IGD1_EXTERN_C extern "C"
#else
#define IGD1_EXTERN_C
#endif

#define IGD1_API IGD1_EXTERN_C IGD1_EXPORT

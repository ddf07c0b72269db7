/* Fixed-width integer types shared by the memory image library and its users. */
#ifndef TYPEDEFS_H
#define TYPEDEFS_H

#include <stdint.h>

#ifndef FERROX_INT_TYPES_DEFINED
#define FERROX_INT_TYPES_DEFINED
typedef uint8_t U8;
typedef uint16_t U16;
typedef uint32_t U32;
typedef uint64_t U64;
typedef int8_t I8;
typedef int16_t I16;
typedef int32_t I32;
typedef int64_t I64;
#endif

#endif /* TYPEDEFS_H */

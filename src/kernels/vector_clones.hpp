// Kernels whose loops keep their order lane by lane are also compiled for
// AVX2 and chosen at run time where the machine has it (GCC's function
// clones, an ELF feature); elsewhere they are compiled once, for the
// baseline. The arithmetic stays separate multiplies and adds
// (-ffp-contract=off): the same bits either way.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__ELF__)
#define OMBRIX_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define OMBRIX_VECTOR_CLONES
#endif

// The vector paths on targets without x86 instructions: none, the plain loops serve.
#include "engine/pattern.h"

// AArch64 NEON has no 64-bit multiply, so a NEON path would rebuild each
// multiply from 32-bit halves; the plain loop's scalar MUL is the honest choice.
const PatternKernels* pattern_avx2_kernels(void) {
    return nullptr;
}

const PatternKernels* pattern_avx512_kernels(void) {
    return nullptr;
}

// The vector paths on targets without x86 instructions: none, the plain loops serve.
#include "engine/pattern.h"

// No NEON path: AArch64 NEON has no 64-bit multiply, so it would rebuild each
// multiply from 32-bit halves where the plain loop needs one MUL.
const PatternKernels* pattern_avx2_kernels(void) {
    return nullptr;
}

const PatternKernels* pattern_avx512_kernels(void) {
    return nullptr;
}

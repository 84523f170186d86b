// Details of the POSIX platform layer that its own tests look at.
#pragma once

#include <stdint.h>

// The Windows error code an errno value stands for (ENOENT gives 2 here;
// the file calls turn it into 3 when a parent directory is missing).
uint32_t plat_posix_error_code(int err);
// Records err as the last error; from_direct_open marks a refused O_DIRECT open.
void plat_posix_set_error(int err, int from_direct_open);

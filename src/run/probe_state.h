// The unfinished probe journals, listed in the program's state folder, so that
// a new probe of a device whose last probe was cut short is refused.
#pragma once

#include <stdint.h>
#include <wchar.h>

enum { PROBE_PATH_CHARS = 4096 };

// Adds or removes a journal (full path) from the list; 0 when the list cannot be written.
int probe_state_add(const wchar_t* journal);
int probe_state_remove(const wchar_t* journal);
// 1 with its path in journal when a listed journal that still exists was made
// for this device; journals that are gone leave the list.
int probe_state_find(uint64_t device_bytes, const char* identity,
                     wchar_t journal[PROBE_PATH_CHARS]);

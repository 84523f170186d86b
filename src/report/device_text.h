// A disk's identity as the user sees it: JSON, a short label, a title line,
// the lines of a report, and its hints before a test starts.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include "platform/platform.h"

// The "device" object's value (no key), its lines indented by indent; hints by the clock.
void json_put_device(FILE* f, const PlatDeviceIdentity* id, const char* indent);
// Model and the last digits of the serial, e.g. "Ultra Fit ..3A41"; "" when neither is known.
void device_label(const PlatDeviceIdentity* id, char* out, size_t cap);
// Model, serial and bus on one line, e.g. "Ultra Fit, serial 4C53..., usb"; "" when unknown.
void device_title(const PlatDeviceIdentity* id, char* out, size_t cap);
// The identity as report lines ("Device      : ..."), for a command that shows one disk.
void print_device_identity(const PlatDeviceIdentity* id);
// A JSON string of UTF-8 text (a broken sequence shows as U+FFFD).
void json_put_utf8(FILE* f, const char* text);
// UTF-8 text in exactly width columns: cut (keeping its end when keep_end,
// with "..." where it was cut) or padded with blanks.
void text_cell(const char* text, size_t width, int keep_end, char* out, size_t cap);
// One line per hint that applies ("Hint: ..."), then a blank line; nothing when none applies.
void print_device_hints(const PlatDeviceIdentity* id);

// Signs read from a disk's identity, stated as hints for the user, never as verdicts.
#pragma once

#include "platform/platform.h"

enum { DEVICE_HINTS_MAX = 3, DEVICE_HINT_CHARS = 160 };

struct DeviceHints {
    int count;
    char text[DEVICE_HINTS_MAX][DEVICE_HINT_CHARS];
};

extern const char HINT_GENERIC_CARD[];
extern const char HINT_USB2_SPEED[];

// An SD card's identification as counterfeit cards fill it: no manufacturer,
// a blank or unprintable OEM or product name, serial 0, an impossible date.
// current_year 0: a date in the future is not judged.
int card_looks_generic(const PlatCardIdentity* card, int current_year);
// Every hint that applies, in a fixed order: card, USB speed, card capacity.
void device_hints(const PlatDeviceIdentity* id, int current_year, DeviceHints* out);
// The hints for the year the clock gives now.
void device_hints_now(const PlatDeviceIdentity* id, DeviceHints* out);

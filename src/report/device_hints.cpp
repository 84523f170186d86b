// Hints from a disk's identity: the card that looks generic, the USB 3 device
// held at USB 2 speed, the card whose own register disagrees with the system.
#include "report/device_hints.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const char HINT_GENERIC_CARD[] =
    "the card's identification looks generic; counterfeit cards often look like this";
const char HINT_USB2_SPEED[] =
    "connected at USB 2.0 speed: a USB 2 port, hub or cable caps it at about 40 MB/s";

namespace {

// Printable ASCII throughout, and not only blanks.
int meaningful(const uint8_t* bytes, size_t n) {
    int any = 0;
    for (size_t i = 0; i < n; i++) {
        if (bytes[i] < 0x20 || bytes[i] > 0x7e) return 0;
        any |= bytes[i] != ' ';
    }
    return any;
}

} // namespace

int card_looks_generic(const PlatCardIdentity* card, int current_year) {
    if (!card->known) return 0;
    int impossible_date = card->month < 1 || card->month > 12 ||
                          (current_year > 0 && card->year > current_year);
    return card->manufacturer_id == 0 || !meaningful(card->oem_id, sizeof card->oem_id) ||
           !meaningful(card->name, sizeof card->name) || card->serial == 0 || impossible_date;
}

void device_hints(const PlatDeviceIdentity* id, int current_year, DeviceHints* out) {
    memset(out, 0, sizeof *out);
    if (card_looks_generic(&id->card, current_year))
        snprintf(out->text[out->count++], DEVICE_HINT_CHARS, "%s", HINT_GENERIC_CARD);
    // The version is what the device supports: 3.x and up runs at 5 Gbit/s or more.
    const PlatUsbIdentity* u = &id->usb;
    if (u->known && u->speed_mbps == 480.0 && atoi(u->version) >= 3)
        snprintf(out->text[out->count++], DEVICE_HINT_CHARS, "%s", HINT_USB2_SPEED);
    if (id->card.csd_known && id->size_known && id->card.csd_capacity_bytes != id->size_bytes)
        snprintf(out->text[out->count++], DEVICE_HINT_CHARS,
                 "the card's CSD register announces %llu bytes, the system gives %llu bytes",
                 (unsigned long long)id->card.csd_capacity_bytes,
                 (unsigned long long)id->size_bytes);
}

void device_hints_now(const PlatDeviceIdentity* id, DeviceHints* out) {
    PlatLocalTime t;
    device_hints(id, plat_local_time(&t) ? t.year : 0, out);
}

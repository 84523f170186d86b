// Linux: an SD card's identification (CID) and specific-data (CSD) registers,
// as sysfs prints them, decoded.
#include <stdint.h>
#include <string.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

namespace {

int hex_nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A 128-bit register as sysfs prints it: 32 hex digits, most significant first.
int read_register(const char* dir, const char* name, uint8_t reg[16]) {
    char text[64];
    if (!posix_read_attr(dir, name, text, sizeof text) || strlen(text) != 32) return 0;
    for (int i = 0; i < 16; i++) {
        int hi = hex_nibble(text[2 * i]), lo = hex_nibble(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return 0;
        reg[i] = (uint8_t)(hi << 4 | lo);
    }
    return 1;
}

// Bits [high:low] of a register stored most significant byte first.
uint64_t bits(const uint8_t reg[16], int high, int low) {
    uint64_t v = 0;
    for (int b = high; b >= low; b--) v = v << 1 | ((reg[15 - b / 8] >> (b % 8)) & 1u);
    return v;
}

} // namespace

// The card's own identification (CID) and the capacity its CSD announces.
void posix_read_sd_card(const char* dev, PlatCardIdentity* card) {
    uint8_t cid[16];
    if (read_register(dev, "cid", cid)) {
        card->known = 1;
        card->manufacturer_id = (uint8_t)bits(cid, 127, 120);
        card->oem_id[0] = (uint8_t)bits(cid, 119, 112);
        card->oem_id[1] = (uint8_t)bits(cid, 111, 104);
        for (int i = 0; i < 5; i++) card->name[i] = (uint8_t)bits(cid, 103 - 8 * i, 96 - 8 * i);
        card->revision = (uint8_t)bits(cid, 63, 56);
        card->serial = (uint32_t)bits(cid, 55, 24);
        card->year = 2000 + (int)bits(cid, 19, 12);
        card->month = (int)bits(cid, 11, 8);
    }
    uint8_t csd[16];
    if (!read_register(dev, "csd", csd)) return;
    switch (bits(csd, 127, 126)) {
    case 0: { // standard capacity: blocks of 2^READ_BL_LEN, times 2^(C_SIZE_MULT + 2)
        uint64_t c_size = bits(csd, 73, 62), mult = bits(csd, 49, 47), bl_len = bits(csd, 83, 80);
        card->csd_capacity_bytes = (c_size + 1) << (mult + 2 + bl_len);
        card->csd_known = 1;
        break;
    }
    case 1: // high and extended capacity: units of 512 KiB
        card->csd_capacity_bytes = (bits(csd, 69, 48) + 1) * 524288ull;
        card->csd_known = 1;
        break;
    case 2: // ultra capacity
        card->csd_capacity_bytes = (bits(csd, 75, 48) + 1) * 524288ull;
        card->csd_known = 1;
        break;
    default: break;
    }
}

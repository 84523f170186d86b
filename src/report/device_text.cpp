// A disk's identity in the JSON summaries, the drive tables, the chart and the report.
#include "report/device_text.h"

#include <stdint.h>
#include <string.h>

#include "console/output.h"
#include "platform/utf8.h"
#include "report/device_hints.h"
#include "report/json_summary.h"

namespace {

// A JSON string of UTF-8 text: quotes, backslashes and controls escaped, a
// broken sequence written as U+FFFD.
void put_utf8(FILE* f, const char* text) {
    fputc('"', f);
    Utf8Decoder d = {};
    for (const unsigned char* p = (const unsigned char*)text; *p; p++) {
        uint32_t cp = 0;
        int r = utf8_decode_byte(&d, *p, &cp);
        if (r == UTF8_MORE) continue;
        if (r == UTF8_BAD) cp = UTF8_REPLACEMENT;
        if (cp == '"' || cp == '\\') {
            fputc('\\', f);
            fputc((int)cp, f);
        } else if (cp < 0x20 || cp == 0x7f) {
            fprintf(f, "\\u%04x", (unsigned)cp);
        } else {
            char bytes[4];
            fwrite(bytes, 1, (size_t)utf8_encode(cp, bytes), f);
        }
    }
    if (d.remaining) fputs("\xEF\xBF\xBD", f);
    fputc('"', f);
}

void put_text_or_null(FILE* f, const char* text) {
    if (text[0]) put_utf8(f, text);
    else fputs("null", f);
}

// Raw register bytes as text: what is not printable ASCII shows as '?'.
void register_text(const uint8_t* bytes, size_t n, char* out) {
    for (size_t i = 0; i < n; i++) out[i] = bytes[i] >= 0x20 && bytes[i] <= 0x7e ? (char)bytes[i] : '?';
    out[n] = 0;
}

const char* boolean_or_null(int known, int value) {
    return !known ? "null" : value ? "true" : "false";
}

void put_speed(FILE* f, double mbps) {
    if (mbps <= 0) fputs("null", f);
    else if (mbps == (double)(uint64_t)mbps) fprintf(f, "%llu", (unsigned long long)mbps);
    else json_put_number(f, mbps);
}

void put_usb(FILE* f, const PlatUsbIdentity* u) {
    if (!u->known) {
        fputs("null", f);
        return;
    }
    fputs("{\"vendor_id\": ", f);
    if (u->ids_known) fprintf(f, "\"%04x\", \"product_id\": \"%04x\"", u->vendor_id, u->product_id);
    else fputs("null, \"product_id\": null", f);
    fputs(", \"manufacturer\": ", f);
    put_text_or_null(f, u->manufacturer);
    fputs(", \"product\": ", f);
    put_text_or_null(f, u->product);
    fputs(", \"serial\": ", f);
    put_text_or_null(f, u->serial);
    fputs(", \"speed_mbps\": ", f);
    put_speed(f, u->speed_mbps);
    fputs(", \"version\": ", f);
    put_text_or_null(f, u->version);
    fputc('}', f);
}

void put_card(FILE* f, const PlatCardIdentity* c) {
    if (!c->known && !c->csd_known) {
        fputs("null", f);
        return;
    }
    char oem[3], name[6];
    register_text(c->oem_id, 2, oem);
    register_text(c->name, 5, name);
    if (c->known) {
        fprintf(f, "{\"manufacturer_id\": %u, \"oem_id\": ", (unsigned)c->manufacturer_id);
        put_utf8(f, oem);
        fputs(", \"name\": ", f);
        put_utf8(f, name);
        fprintf(f, ", \"revision\": \"%u.%u\", \"serial\": %lu, \"month\": %d, \"year\": %d",
                (unsigned)(c->revision >> 4), (unsigned)(c->revision & 15),
                (unsigned long)c->serial, c->month, c->year);
    } else {
        fputs("{\"manufacturer_id\": null, \"oem_id\": null, \"name\": null, \"revision\": null, "
              "\"serial\": null, \"month\": null, \"year\": null", f);
    }
    fputs(", \"csd_capacity_bytes\": ", f);
    if (c->csd_known) fprintf(f, "%llu}", (unsigned long long)c->csd_capacity_bytes);
    else fputs("null}", f);
}

// The tail of a serial: enough to tell two sticks apart.
const size_t SERIAL_TAIL = 4;
const size_t LABEL_MODEL_CHARS = 14;

// The first max characters of UTF-8 text (whole code points).
void copy_chars(const char* text, size_t max, char* out, size_t cap) {
    size_t used = 0, chars = 0;
    for (const char* p = text; *p && used + 1 < cap; p++) {
        int starts = ((unsigned char)*p & 0xC0) != 0x80;
        if (starts && chars++ == max) break;
        out[used++] = *p;
    }
    // A code point cut by the buffer is dropped whole.
    while (used > 0 && ((unsigned char)out[used - 1] & 0xC0) == 0x80) used--;
    if (used > 0 && ((unsigned char)out[used - 1] & 0x80)) used--;
    out[used] = 0;
}

} // namespace

void json_put_utf8(FILE* f, const char* text) { put_utf8(f, text); }

void text_cell(const char* text, size_t width, int keep_end, char* out, size_t cap) {
    size_t chars = 0;
    for (const char* p = text; *p; p++) chars += ((unsigned char)*p & 0xC0) != 0x80;
    const char* from = text;
    size_t used = 0;
    size_t take = chars;
    if (chars > width) {
        take = width > 3 ? width - 3 : 0;
        if (keep_end) {
            size_t skip = chars - take;
            while (*from && skip) {
                from++;
                while (((unsigned char)*from & 0xC0) == 0x80) from++;
                skip--;
            }
            for (size_t i = 0; i < 3 && i < width && used + 1 < cap; i++) out[used++] = '.';
        }
    }
    size_t taken = 0;
    for (const char* p = from; *p && used + 1 < cap; p++) {
        int starts = ((unsigned char)*p & 0xC0) != 0x80;
        if (starts && taken++ == take) break;
        out[used++] = *p;
    }
    if (chars > width && !keep_end)
        for (size_t i = 0; i < 3 && i < width && used + 1 < cap; i++) out[used++] = '.';
    for (size_t n = chars > width ? width : chars; n < width && used + 1 < cap; n++) out[used++] = ' ';
    out[used] = 0;
}

void json_put_device(FILE* f, const PlatDeviceIdentity* id, const char* indent) {
    fprintf(f, "{\n%s  \"path\": ", indent);
    put_text_or_null(f, id->path);
    fprintf(f, ",\n%s  \"bus\": ", indent);
    put_text_or_null(f, id->bus);
    fprintf(f, ",\n%s  \"vendor\": ", indent);
    put_text_or_null(f, id->vendor);
    fprintf(f, ",\n%s  \"model\": ", indent);
    put_text_or_null(f, id->model);
    fprintf(f, ",\n%s  \"revision\": ", indent);
    put_text_or_null(f, id->revision);
    fprintf(f, ",\n%s  \"serial\": ", indent);
    put_text_or_null(f, id->serial);
    fprintf(f, ",\n%s  \"size_bytes\": ", indent);
    if (id->size_known) fprintf(f, "%llu", (unsigned long long)id->size_bytes);
    else fputs("null", f);
    fprintf(f, ",\n%s  \"removable\": %s", indent, boolean_or_null(id->removable_known, id->removable));
    fprintf(f, ",\n%s  \"usb\": ", indent);
    put_usb(f, &id->usb);
    fprintf(f, ",\n%s  \"card\": ", indent);
    put_card(f, &id->card);
    fprintf(f, ",\n%s  \"hints\": [", indent);
    DeviceHints hints;
    device_hints_now(id, &hints);
    for (int i = 0; i < hints.count; i++) {
        if (i) fputs(", ", f);
        put_utf8(f, hints.text[i]);
    }
    fprintf(f, "]\n%s}", indent);
}

void device_label(const PlatDeviceIdentity* id, char* out, size_t cap) {
    char model[64];
    // A loop device's backing files differ at their end.
    if (!strcmp(id->bus, "loop")) text_cell(id->model, LABEL_MODEL_CHARS + 6, 1, model, sizeof model);
    else copy_chars(id->model, LABEL_MODEL_CHARS, model, sizeof model);
    for (size_t n = strlen(model); n > 0 && model[n - 1] == ' '; n--) model[n - 1] = 0;
    size_t n = strlen(id->serial);
    const char* tail = n > SERIAL_TAIL ? id->serial + n - SERIAL_TAIL : id->serial;
    // Serials are ASCII in practice; a tail that starts inside a character is shown whole.
    while (tail > id->serial && ((unsigned char)*tail & 0xC0) == 0x80) tail--;
    if (!model[0] && !tail[0]) snprintf(out, cap, "%s", "");
    else if (!tail[0]) snprintf(out, cap, "%s", model);
    else snprintf(out, cap, "%s%s%s%s", model, model[0] ? " " : "", n > SERIAL_TAIL ? ".." : "", tail);
}

void device_title(const PlatDeviceIdentity* id, char* out, size_t cap) {
    out[0] = 0;
    size_t used = 0;
    const char* parts[3] = {id->model, id->serial, id->bus};
    const char* labels[3] = {"", "serial ", ""};
    for (int i = 0; i < 3; i++) {
        if (!parts[i][0] || used + 1 >= cap) continue;
        int w = snprintf(out + used, cap - used, "%s%s%s", used ? ", " : "", labels[i], parts[i]);
        if (w < 0) break;
        used += (size_t)w < cap - used ? (size_t)w : cap - used - 1;
    }
}

void print_device_identity(const PlatDeviceIdentity* id) {
    const char* unknown = "unknown";
    out_printf("Device      : %s (%s)\n", id->path[0] ? id->path : unknown,
               id->bus[0] ? id->bus : unknown);
    if (id->vendor[0] || id->model[0])
        out_printf("Model       : %s%s%s\n", id->vendor, id->vendor[0] && id->model[0] ? " " : "",
                   id->model);
    if (id->serial[0]) out_printf("Serial      : %s\n", id->serial);
    if (id->usb.known && id->usb.speed_mbps > 0)
        out_printf("USB         : %g Mbit/s%s%s\n", id->usb.speed_mbps,
                   id->usb.version[0] ? ", device supports USB " : "", id->usb.version);
    if (id->card.known) {
        char oem[3], name[6];
        register_text(id->card.oem_id, 2, oem);
        register_text(id->card.name, 5, name);
        out_printf("Card        : manufacturer 0x%02x, OEM %s, name %s, serial %lu, %02d/%d\n",
                   (unsigned)id->card.manufacturer_id, oem, name, (unsigned long)id->card.serial,
                   id->card.month, id->card.year);
    }
    DeviceHints hints;
    device_hints_now(id, &hints);
    for (int i = 0; i < hints.count; i++) out_printf("Hint: %s\n", hints.text[i]);
}

void print_device_hints(const PlatDeviceIdentity* id) {
    DeviceHints hints;
    device_hints_now(id, &hints);
    for (int i = 0; i < hints.count; i++) out_printf("Hint: %s\n", hints.text[i]);
    if (hints.count) out_printf("\n");
}

// The disks a user could test: removable ones first, each with what tells it
// apart (size, bus, model, serial, USB speed), the directories to give --dir
// (its mount points) and its hints.
#include "run/list_command.h"

#include <string.h>

#include "console/output.h"
#include "console/text.h"
#include "platform/platform.h"
#include "report/device_hints.h"
#include "report/device_text.h"
#include "report/output_file.h"
#include "report/program.h"
#include "run/driver.h"
#include "run/output_guard.h"
#include "run/run_options.h"

namespace {

const int MAX_LISTED = 64;

struct DiskList {
    PlatDiskEntry* items = (PlatDiskEntry*)plat_mem_alloc(MAX_LISTED * sizeof(PlatDiskEntry));
    int count = 0;
    DiskList() = default;
    DiskList(const DiskList&) = delete;
    DiskList& operator=(const DiskList&) = delete;
    ~DiskList() { plat_mem_free(items); }
};

void print_table(const DiskList* list) {
    if (list->count == 0) {
        out_printf("No disks found.\n");
        return;
    }
    out_printf("%-18s %10s  %-7s %-24s %-20s %-11s %s\n", "Device", "Size", "Bus", "Model", "Serial",
               "USB", "Mounted at");
    for (int i = 0; i < list->count; i++) {
        const PlatDiskEntry* e = &list->items[i];
        const PlatDeviceIdentity* id = &e->id;
        char device[256], size[64], bus[64], model[256], serial[256], usb[64];
        text_cell(id->path, 18, 1, device, sizeof device);
        if (id->size_known) format_bytes(id->size_bytes, size);
        else snprintf(size, sizeof size, "?");
        text_cell(id->bus[0] ? id->bus : "?", 7, 0, bus, sizeof bus);
        char full_model[2 * PLAT_ID_CHARS + 2];
        snprintf(full_model, sizeof full_model, "%s%s%s", id->vendor,
                 id->vendor[0] && id->model[0] ? " " : "", id->model);
        // A loop device's backing file is told by its end.
        text_cell(full_model, 24, !strcmp(id->bus, "loop"), model, sizeof model);
        text_cell(id->serial, 20, 1, serial, sizeof serial);
        if (id->usb.known && id->usb.speed_mbps > 0)
            snprintf(usb, sizeof usb, "%g Mbit/s", id->usb.speed_mbps);
        else
            snprintf(usb, sizeof usb, "%s", id->usb.known ? "?" : "-");
        out_printf("%s %10s  %s %s %s %-11s ", device, size, bus, model, serial, usb);
        if (e->mount_count == 0) out_printf("-");
        for (int m = 0; m < e->mount_count; m++) out_printf("%s%s", m ? " " : "", e->mounts[m]);
        out_printf("\n");
        DeviceHints hints;
        device_hints_now(id, &hints);
        for (int h = 0; h < hints.count; h++) out_printf("  Hint: %s\n", hints.text[h]);
    }
}

int write_json(FILE* f, const DiskList* list) {
    fprintf(f, "{\n  \"program\": \"%s\",\n  \"version\": \"%s\",\n  \"disks\": [",
            DRIVE_TEST_TITLE, DRIVE_TEST_VERSION);
    for (int i = 0; i < list->count; i++) {
        const PlatDiskEntry* e = &list->items[i];
        fputs(i ? ",\n    {\"device\": " : "\n    {\"device\": ", f);
        json_put_device(f, &e->id, "    ");
        fputs(", \"mount_points\": [", f);
        for (int m = 0; m < e->mount_count; m++) {
            if (m) fputs(", ", f);
            json_put_utf8(f, e->mounts[m]);
        }
        fputs("]}", f);
    }
    fputs(list->count ? "\n  ]\n}\n" : "]\n}\n", f);
    int ok = fflush(f) == 0 && !ferror(f);
    return fclose(f) == 0 && ok;
}

} // namespace

int list_command(const ListOptions* options) {
    plat_console_setup();
    GuardPath paths[] = {{options->json, "JSON summary", GUARD_WRITE, 0}};
    if (options->json && !output_guard(paths, 1)) return EXIT_CANCELLED;
    DiskList list;
    if (!list.items) {
        err_printf("drive-test list: out of memory\n");
        return EXIT_CANCELLED;
    }
    list.count = plat_list_disks(list.items, MAX_LISTED);
    FILE* json = nullptr;
    OutputFile json_file;
    if (options->json && (!output_open(&json_file, options->json, "JSON summary", 0) ||
                          !(json = output_stream(&json_file)))) {
        if (json_file.clash) {
            output_print_clash("JSON summary", options->json, json_file.clash);
            return EXIT_CANCELLED;
        }
        err_printf("Could not create JSON summary: ");
        err_wide(options->json);
        err_printf("\n");
        return EXIT_NO_LOG;
    }
    print_table(&list);
    out_flush();
    if (json && !write_json(json, &list)) {
        err_printf("Could not write JSON summary: ");
        err_wide(options->json);
        err_printf("\n");
        return EXIT_NO_LOG;
    }
    return EXIT_PASSED;
}

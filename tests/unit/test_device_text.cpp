// A disk's identity as hints, JSON, labels, the list and the lines before START.
#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "report/device_hints.h"
#include "report/device_text.h"
#include "run/command_line.h"

namespace {

PlatCardIdentity genuine_card() {
    PlatCardIdentity c = {};
    c.known = 1;
    c.manufacturer_id = 0x03;
    memcpy(c.oem_id, "SD", 2);
    memcpy(c.name, "SU08G", 5);
    c.revision = 0x80;
    c.serial = 0x1234abcd;
    c.month = 7;
    c.year = 2015;
    return c;
}

TEST(DeviceHints, EachSignOfAGenericCardAloneGivesTheHint) {
    struct Row {
        const char* what;
        std::function<void(PlatCardIdentity&)> change;
        int generic;
    } rows[] = {
        {"genuine", [](PlatCardIdentity&) {}, 0},
        {"made this year", [](PlatCardIdentity& c) { c.year = 2026; }, 0},
        {"OEM with a blank", [](PlatCardIdentity& c) { memcpy(c.oem_id, "S ", 2); }, 0},
        {"manufacturer 0", [](PlatCardIdentity& c) { c.manufacturer_id = 0; }, 1},
        {"OEM zero bytes", [](PlatCardIdentity& c) { memset(c.oem_id, 0, 2); }, 1},
        {"OEM blanks", [](PlatCardIdentity& c) { memcpy(c.oem_id, "  ", 2); }, 1},
        {"OEM not ASCII", [](PlatCardIdentity& c) { c.oem_id[1] = 0xA5; }, 1},
        {"name blanks", [](PlatCardIdentity& c) { memcpy(c.name, "     ", 5); }, 1},
        {"name with a control", [](PlatCardIdentity& c) { c.name[4] = 0x07; }, 1},
        {"serial 0", [](PlatCardIdentity& c) { c.serial = 0; }, 1},
        {"month 0", [](PlatCardIdentity& c) { c.month = 0; }, 1},
        {"month 13", [](PlatCardIdentity& c) { c.month = 13; }, 1},
        {"made next year", [](PlatCardIdentity& c) { c.year = 2027; }, 1},
        {"not read", [](PlatCardIdentity& c) { memset(&c, 0, sizeof c); }, 0},
    };
    for (const Row& r : rows) {
        PlatCardIdentity c = genuine_card();
        r.change(c);
        EXPECT_EQ(card_looks_generic(&c, 2026), r.generic) << r.what;
        PlatDeviceIdentity id = {};
        id.card = c;
        DeviceHints hints;
        device_hints(&id, 2026, &hints);
        EXPECT_EQ(hints.count, r.generic) << r.what;
        if (r.generic) { EXPECT_STREQ(hints.text[0], HINT_GENERIC_CARD) << r.what; }
    }
}

TEST(DeviceHints, OnlyAUsb3DeviceAt480MbitGetsTheSpeedHint) {
    struct Row {
        int known;
        double speed;
        const char* version;
        int hint;
    } rows[] = {
        {1, 480, "3.00", 1}, {1, 480, "3.20", 1}, {1, 480, "2.10", 0}, {1, 5000, "3.20", 0},
        {1, 480, "", 0},     {1, 0, "3.00", 0},   {0, 480, "3.00", 0}, {1, 12, "3.00", 0},
    };
    for (const Row& r : rows) {
        PlatDeviceIdentity id = {};
        id.usb.known = r.known;
        id.usb.speed_mbps = r.speed;
        snprintf(id.usb.version, sizeof id.usb.version, "%s", r.version);
        DeviceHints hints;
        device_hints(&id, 2026, &hints);
        ASSERT_EQ(hints.count, r.hint) << r.speed << " " << r.version;
        if (r.hint) { EXPECT_STREQ(hints.text[0], HINT_USB2_SPEED); }
    }
}

std::string json_of(const PlatDeviceIdentity& id) {
    FILE* f = tmpfile();
    json_put_device(f, &id, "  ");
    std::string text(ftell(f), 0);
    rewind(f);
    size_t got = fread(&text[0], 1, text.size(), f);
    fclose(f);
    text.resize(got);
    return text;
}

TEST(DeviceJson, EveryFieldOrNull) {
    PlatDeviceIdentity id = {};
    EXPECT_EQ(json_of(id), "{\n    \"path\": null,\n    \"bus\": null,\n    \"vendor\": null,\n"
                           "    \"model\": null,\n    \"revision\": null,\n    \"serial\": null,\n"
                           "    \"size_bytes\": null,\n    \"removable\": null,\n    \"usb\": null,\n"
                           "    \"card\": null,\n    \"hints\": []\n  }");

    snprintf(id.path, sizeof id.path, "/dev/sdb");
    snprintf(id.bus, sizeof id.bus, "usb");
    snprintf(id.vendor, sizeof id.vendor, "SanDisk");
    snprintf(id.model, sizeof id.model, "Ultra \"Fit\"\\");
    snprintf(id.revision, sizeof id.revision, "1.00");
    snprintf(id.serial, sizeof id.serial, "bad\xff");
    id.size_known = 1;
    id.size_bytes = 30752636928ull;
    id.removable_known = 1;
    id.removable = 1;
    id.usb.known = 1;
    id.usb.ids_known = 1;
    id.usb.vendor_id = 0x0781;
    id.usb.product_id = 0x5583;
    snprintf(id.usb.product, sizeof id.usb.product, "Ultra Fit");
    id.usb.speed_mbps = 480;
    snprintf(id.usb.version, sizeof id.usb.version, "3.20");
    id.card = genuine_card();
    id.card.manufacturer_id = 0;
    id.card.oem_id[1] = 0x01;
    id.card.csd_known = 1;
    id.card.csd_capacity_bytes = 34359738368ull;
    // The fake clock says 2026.
    EXPECT_EQ(json_of(id),
              "{\n    \"path\": \"/dev/sdb\",\n    \"bus\": \"usb\",\n    \"vendor\": \"SanDisk\",\n"
              "    \"model\": \"Ultra \\\"Fit\\\"\\\\\",\n    \"revision\": \"1.00\",\n"
              "    \"serial\": \"bad\xEF\xBF\xBD\",\n    \"size_bytes\": 30752636928,\n"
              "    \"removable\": true,\n"
              "    \"usb\": {\"vendor_id\": \"0781\", \"product_id\": \"5583\", \"manufacturer\": null, "
              "\"product\": \"Ultra Fit\", \"serial\": null, \"speed_mbps\": 480, \"version\": \"3.20\"},\n"
              "    \"card\": {\"manufacturer_id\": 0, \"oem_id\": \"S?\", \"name\": \"SU08G\", "
              "\"revision\": \"8.0\", \"serial\": 305441741, \"month\": 7, \"year\": 2015, "
              "\"csd_capacity_bytes\": 34359738368},\n"
              "    \"hints\": [\"the card's identification looks generic; counterfeit cards often look "
              "like this\", \"connected at USB 2.0 speed: a USB 2 port, hub or cable caps it at about "
              "40 MB/s\", \"the card's CSD register announces 34359738368 bytes, the system gives "
              "30752636928 bytes\"]\n  }");
}

TEST(DeviceLabel, ModelAndTheLastDigitsOfTheSerial) {
    struct Row {
        const char* model;
        const char* serial;
        const char* label;
    } rows[] = {
        {"Ultra Fit", "4C530001230101111234", "Ultra Fit ..1234"},
        {"A model name longer than fits", "AB12", "A model name l AB12"},
        {"", "4C530001230101111234", "..1234"},
        {"Ultra Fit", "", "Ultra Fit"},
        {"", "", ""},
        {"/dev/shm/drive-test-several-4242/img1", "", "...several-4242/img1"},
    };
    for (const Row& r : rows) {
        PlatDeviceIdentity id = {};
        if (r.model[0] == '/') snprintf(id.bus, sizeof id.bus, "loop");
        snprintf(id.model, sizeof id.model, "%s", r.model);
        snprintf(id.serial, sizeof id.serial, "%s", r.serial);
        char label[64];
        device_label(&id, label, sizeof label);
        EXPECT_STREQ(label, r.label);
    }
}

TEST(DeviceReport, TheLinesOfOneDiskAndItsHints) {
    fake_reset();
    PlatDeviceIdentity id = {};
    print_device_identity(&id);
    EXPECT_EQ(g_fake.out, "Device      : unknown (unknown)\n");
    g_fake.out.clear();
    snprintf(id.path, sizeof id.path, "/dev/mmcblk0");
    snprintf(id.bus, sizeof id.bus, "mmc");
    snprintf(id.model, sizeof id.model, "SU08G");
    snprintf(id.serial, sizeof id.serial, "0x1234abcd");
    id.card = genuine_card();
    id.card.serial = 0;
    print_device_identity(&id);
    EXPECT_EQ(g_fake.out, "Device      : /dev/mmcblk0 (mmc)\n"
                          "Model       : SU08G\n"
                          "Serial      : 0x1234abcd\n"
                          "Card        : manufacturer 0x03, OEM SD, name SU08G, serial 0, 07/2015\n"
                          "Hint: the card's identification looks generic; counterfeit cards often "
                          "look like this\n");
}

TEST(ListCommand, EachDiskOnALineWithItsMountsAndHints) {
    fake_reset();
    PlatDiskEntry stick = {};
    snprintf(stick.id.path, sizeof stick.id.path, "/dev/sdb");
    snprintf(stick.id.bus, sizeof stick.id.bus, "usb");
    snprintf(stick.id.vendor, sizeof stick.id.vendor, "SanDisk");
    snprintf(stick.id.model, sizeof stick.id.model, "Ultra Fit");
    snprintf(stick.id.serial, sizeof stick.id.serial, "4C530001230101111234");
    stick.id.size_known = 1;
    stick.id.size_bytes = 32ull << 30;
    stick.id.usb.known = 1;
    stick.id.usb.speed_mbps = 480;
    snprintf(stick.id.usb.version, sizeof stick.id.usb.version, "3.20");
    stick.mount_count = 2;
    snprintf(stick.mounts[0], PLAT_ID_PATH_CHARS, "/media/stick");
    snprintf(stick.mounts[1], PLAT_ID_PATH_CHARS, "/media/stick two");
    PlatDiskEntry disk = {};
    snprintf(disk.id.path, sizeof disk.id.path, "/dev/vda");
    g_fake.disks = {stick, disk};
    const wchar_t* args[] = {L"list"};
    EXPECT_EQ(command_line_main(1, args), 0);
    EXPECT_EQ(g_fake.out,
              "Device                   Size  Bus     Model                    Serial               "
              "USB         Mounted at\n"
              "/dev/sdb            32.00 GiB  usb     SanDisk Ultra Fit        4C530001230101111234 "
              "480 Mbit/s  /media/stick /media/stick two\n"
              "  Hint: connected at USB 2.0 speed: a USB 2 port, hub or cable caps it at about 40 MB/s\n"
              "/dev/vda                    ?  ?                                                     "
              "-           -\n");
}

} // namespace

// The Linux identity reader over sysfs trees this test builds: one machine with
// a USB stick, two SD cards, an NVMe disk, a virtio disk, a loop device, a
// mapped device and a USB 3 stick held at USB 2 speed.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "report/device_hints.h"

namespace {

class SysTree : public ::testing::Test {
protected:
    std::string root; // the test's "/sys"
    std::string work;
    void SetUp() override {
        char pattern[] = "/tmp/sys-tree-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        char real[PATH_MAX];
        ASSERT_NE(realpath(pattern, real), nullptr);
        work = real;
        root = work + "/sys";
        build();
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + work + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void dirs(const std::string& path) {
        std::string cmd = "mkdir -p '" + path + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    // A sysfs attribute: its text and the newline the kernel ends it with.
    void put(const std::string& rel, const std::string& text) {
        std::string path = root + "/" + rel;
        dirs(path.substr(0, path.rfind('/')));
        FILE* f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs((text + "\n").c_str(), f);
        fclose(f);
    }
    void link(const std::string& target, const std::string& rel) {
        std::string path = root + "/" + rel;
        dirs(path.substr(0, path.rfind('/')));
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    }
    // A block device in the tree at devices/<where>, found through dev/block and block/.
    void block(const std::string& where, const std::string& number, const std::string& size,
               int removable) {
        std::string name = where.substr(where.rfind('/') + 1);
        put("devices/" + where + "/dev", number);
        put("devices/" + where + "/size", size);
        put("devices/" + where + "/removable", std::to_string(removable));
        put("devices/" + where + "/queue/rotational", "0");
        put("devices/" + where + "/uevent", "MAJOR=x\nMINOR=y\nDEVNAME=" + name + "\nDEVTYPE=disk");
        link("../../devices/" + where, "dev/block/" + number);
        link("../devices/" + where, "block/" + name);
    }
    void partition(const std::string& disk_where, const std::string& name, const std::string& number) {
        std::string where = disk_where + "/" + name;
        put("devices/" + where + "/dev", number);
        put("devices/" + where + "/partition", "1");
        put("devices/" + where + "/size", "2048");
        link("../../devices/" + where, "dev/block/" + number);
    }
    void usb_device(const std::string& where, const char* vid, const char* pid, const char* serial,
                    const char* speed, const char* version) {
        put("devices/" + where + "/idVendor", vid);
        put("devices/" + where + "/idProduct", pid);
        put("devices/" + where + "/manufacturer", "SanDisk");
        put("devices/" + where + "/product", "Ultra Fit");
        put("devices/" + where + "/serial", serial);
        put("devices/" + where + "/speed", speed);
        put("devices/" + where + "/version", version);
    }
    void scsi_disk(const std::string& lun, const std::string& name, const std::string& number) {
        put("devices/" + lun + "/vendor", "SanDisk ");
        put("devices/" + lun + "/model", "Ultra Fit       ");
        put("devices/" + lun + "/rev", "1.00");
        block(lun + "/block/" + name, number, "60063744", 1);
        link("../../../" + lun.substr(lun.rfind('/') + 1), "devices/" + lun + "/block/" + name + "/device");
    }
    void sd_card(const std::string& host, const std::string& name, const std::string& number,
                 const char* cid, const char* csd, const char* size) {
        std::string card = "platform/sdhci/mmc_host/" + host + "/" + host + ":0001";
        put("devices/" + card + "/type", "SD");
        put("devices/" + card + "/name", "SU08G");
        put("devices/" + card + "/serial", "0x1234abcd");
        put("devices/" + card + "/cid", cid);
        put("devices/" + card + "/csd", csd);
        block(card + "/block/" + name, number, size, 1);
        link("../../../" + host + ":0001", "devices/" + card + "/block/" + name + "/device");
    }
    void build() {
        const std::string usb = "pci0000:00/0000:00:14.0/usb2";
        usb_device(usb + "/2-1", "0781", "5583", "4C530001230101111111", "5000", " 3.20");
        scsi_disk(usb + "/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "sdb", "8:16");
        partition("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb",
                  "sdb1", "8:17");
        usb_device(usb + "/2-2", "0781", "5591", "0401FFEE", "480", " 3.00");
        scsi_disk(usb + "/2-2/2-2:1.0/host7/target7:0:0/7:0:0:0", "sdc", "8:32");

        // Genuine: SanDisk (0x03) "SD" "SU08G" 8.0, serial 0x1234abcd, July 2015; CSD 2.0 of 7948206080 bytes.
        sd_card("mmc0", "mmcblk0", "179:0", "0353445355303847801234abcd00f701",
                "400e00325b5900003b377f800a404000", "15523840");
        partition("platform/sdhci/mmc_host/mmc0/mmc0:0001/block/mmcblk0", "mmcblk0p1", "179:1");
        // Generic: no manufacturer or OEM, blank name, serial 0, month 0; its CSD says
        // 32 GiB (C_SIZE 65535) where the system sees 8 GiB.
        sd_card("mmc1", "mmcblk1", "179:8", "00000020202020200000000000000001",
                "400e00325b590000ffff7f800a404000", "15523840");

        const std::string nvme = "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0";
        put("devices/" + nvme + "/model", "Samsung SSD 980 1TB                     ");
        put("devices/" + nvme + "/serial", "S64ANS0T123456K     ");
        put("devices/" + nvme + "/firmware_rev", "2B4QFXO7");
        block(nvme + "/nvme0n1", "259:0", "1953525168", 0);
        link("../../nvme0", "devices/" + nvme + "/nvme0n1/device");
        partition(nvme + "/nvme0n1", "nvme0n1p2", "259:2");

        block("pci0000:00/0000:00:02.0/virtio1/block/vda", "254:0", "536870912", 0);
        put("devices/pci0000:00/0000:00:02.0/virtio1/block/vda/serial", "overlayblk0");

        block("virtual/block/loop3", "7:3", "204800", 0);
        put("devices/virtual/block/loop3/loop/backing_file", "/var/tmp/disk image.img");

        // A mapped device over the NVMe disk's second partition.
        block("virtual/block/dm-0", "253:0", "2048", 0);
        link("../../../../../../../../virtual/block/dm-0",
             "devices/" + nvme + "/nvme0n1/nvme0n1p2/holders/dm-0");
        link("../../../../pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1/nvme0n1p2",
             "devices/virtual/block/dm-0/slaves/nvme0n1p2");

        // A file system with an anonymous device number (btrfs) names the stick's partition.
        node = work + "/sdb1";
        ASSERT_EQ(mknod(node.c_str(), S_IFBLK | 0600, makedev(8, 17)), 0);
        mountinfo = work + "/mountinfo";
        FILE* f = fopen(mountinfo.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fprintf(f, "29 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n");
        fprintf(f, "40 29 0:45 / /media/stick rw - btrfs %s rw\n", node.c_str());
        fprintf(f, "41 29 253:0 / /srv/my\\040data rw - ext4 /dev/mapper/data rw\n");
        fprintf(f, "42 29 179:1 / /media/card rw - vfat /dev/mmcblk0p1 rw\n");
        fprintf(f, "43 29 7:3 / /mnt/loop rw - ext4 /dev/loop3 rw\n");
        fclose(f);
    }
    std::string node;
    std::string mountinfo;
};

std::string card_text(const uint8_t* bytes, size_t n) { return std::string((const char*)bytes, n); }

TEST_F(SysTree, EachKindOfDiskIsNamedWithItsBusAndIdentity) {
    struct Row {
        const char* what;
        unsigned major_id, minor_id;
        const char* path;
        const char* bus;
        const char* vendor;
        const char* model;
        const char* revision;
        const char* serial;
        uint64_t size;
        int removable;
        double usb_speed; // 0: no USB device
        const char* usb_version;
        int card;         // 0 none, 1 genuine, 2 generic
        std::vector<std::string> hints;
    } rows[] = {
        {"USB stick, its partition", 8, 17, "/dev/sdb", "usb", "SanDisk", "Ultra Fit", "1.00",
         "4C530001230101111111", 60063744ull * 512, 1, 5000, "3.20", 0, {}},
        {"USB 3 stick at USB 2 speed", 8, 32, "/dev/sdc", "usb", "SanDisk", "Ultra Fit", "1.00",
         "0401FFEE", 60063744ull * 512, 1, 480, "3.00", 0, {HINT_USB2_SPEED}},
        {"SD card, genuine, its partition", 179, 1, "/dev/mmcblk0", "mmc", "", "SU08G", "",
         "0x1234abcd", 7948206080ull, 1, 0, "", 1, {}},
        {"SD card, generic", 179, 8, "/dev/mmcblk1", "mmc", "", "SU08G", "", "0x1234abcd",
         7948206080ull, 1, 0, "", 2,
         {HINT_GENERIC_CARD,
          "the card's CSD register announces 34359738368 bytes, the system gives 7948206080 bytes"}},
        {"NVMe disk", 259, 0, "/dev/nvme0n1", "nvme", "", "Samsung SSD 980 1TB", "2B4QFXO7",
         "S64ANS0T123456K", 1953525168ull * 512, 0, 0, "", 0, {}},
        {"virtio disk", 254, 0, "/dev/vda", "virtio", "", "", "", "overlayblk0", 536870912ull * 512,
         0, 0, "", 0, {}},
        {"loop device", 7, 3, "/dev/loop3", "loop", "", "/var/tmp/disk image.img", "", "",
         204800ull * 512, 0, 0, "", 0, {}},
        {"mapped device over a partition", 253, 0, "/dev/nvme0n1", "nvme", "",
         "Samsung SSD 980 1TB", "2B4QFXO7", "S64ANS0T123456K", 1953525168ull * 512, 0, 0, "", 0, {}},
        {"anonymous number through mountinfo", 0, 45, "/dev/sdb", "usb", "SanDisk", "Ultra Fit",
         "1.00", "4C530001230101111111", 60063744ull * 512, 1, 5000, "3.20", 0, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        PlatDeviceIdentity id;
        memset(&id, 0x5a, sizeof id);  // every field must be set, not left over
        posix_identity_of_number(root.c_str(), mountinfo.c_str(), r.major_id, r.minor_id, &id);
        EXPECT_STREQ(id.path, r.path);
        EXPECT_STREQ(id.bus, r.bus);
        EXPECT_STREQ(id.vendor, r.vendor);
        EXPECT_STREQ(id.model, r.model);
        EXPECT_STREQ(id.revision, r.revision);
        EXPECT_STREQ(id.serial, r.serial);
        EXPECT_EQ(id.size_known, 1);
        EXPECT_EQ(id.size_bytes, r.size);
        EXPECT_EQ(id.removable_known, 1);
        EXPECT_EQ(id.removable, r.removable);
        EXPECT_EQ(id.usb.known, r.usb_speed > 0);
        EXPECT_EQ(id.usb.speed_mbps, r.usb_speed);
        EXPECT_STREQ(id.usb.version, r.usb_version);
        EXPECT_EQ(id.card.known, r.card != 0);
        EXPECT_EQ(id.card.csd_known, r.card != 0);
        DeviceHints hints;
        device_hints(&id, 2026, &hints);
        std::vector<std::string> got(hints.text, hints.text + hints.count);
        EXPECT_EQ(got, r.hints);
        if (r.usb_speed > 0) {
            EXPECT_EQ(id.usb.ids_known, 1);
            EXPECT_EQ(id.usb.vendor_id, 0x0781);
            EXPECT_STREQ(id.usb.product, "Ultra Fit");
            EXPECT_STREQ(id.usb.manufacturer, "SanDisk");
        }
        if (r.card == 1) {
            EXPECT_EQ(id.card.manufacturer_id, 0x03);
            EXPECT_EQ(card_text(id.card.oem_id, 2), "SD");
            EXPECT_EQ(card_text(id.card.name, 5), "SU08G");
            EXPECT_EQ(id.card.revision, 0x80);
            EXPECT_EQ(id.card.serial, 0x1234abcdu);
            EXPECT_EQ(id.card.month, 7);
            EXPECT_EQ(id.card.year, 2015);
            EXPECT_EQ(id.card.csd_capacity_bytes, 7948206080ull);
        }
        if (r.card == 2) {
            EXPECT_EQ(id.card.manufacturer_id, 0x00);
            EXPECT_EQ(card_text(id.card.oem_id, 2), std::string(2, '\0'));
            EXPECT_EQ(card_text(id.card.name, 5), "     ");
            EXPECT_EQ(id.card.serial, 0u);
            EXPECT_EQ(id.card.month, 0);
            EXPECT_EQ(id.card.year, 2000);
            EXPECT_EQ(id.card.csd_capacity_bytes, 65536ull * 524288);
        }
    }
}

TEST_F(SysTree, ADeviceNodeNamesItsDiskAndAnUnknownNumberKnowsNothing) {
    PlatDeviceIdentity id;
    posix_identity_of_path(root.c_str(), mountinfo.c_str(), node.c_str(), &id);
    EXPECT_STREQ(id.path, "/dev/sdb");
    EXPECT_STREQ(id.bus, "usb");

    PlatDeviceIdentity none;
    memset(&none, 0, sizeof none);
    memset(&id, 0x5a, sizeof id);
    posix_identity_of_number(root.c_str(), mountinfo.c_str(), 0, 99, &id);
    EXPECT_EQ(memcmp(&id, &none, sizeof id), 0);
    memset(&id, 0x5a, sizeof id);
    posix_identity_of_path(root.c_str(), mountinfo.c_str(), (work + "/missing").c_str(), &id);
    EXPECT_EQ(memcmp(&id, &none, sizeof id), 0);
    // A character device with the stick's numbers is not the stick.
    std::string chr = work + "/chr";
    ASSERT_EQ(mknod(chr.c_str(), S_IFCHR | 0600, makedev(8, 17)), 0);
    memset(&id, 0x5a, sizeof id);
    posix_identity_of_path(root.c_str(), mountinfo.c_str(), chr.c_str(), &id);
    EXPECT_EQ(memcmp(&id, &none, sizeof id), 0);
}

TEST_F(SysTree, TheListPutsRemovableDisksFirstWithTheirMounts) {
    std::vector<PlatDiskEntry> disks(16);
    int n = posix_list_disks(root.c_str(), mountinfo.c_str(), disks.data(), 16);
    std::vector<std::string> got;
    for (int i = 0; i < n; i++) {
        std::string line = disks[i].id.path;
        for (int m = 0; m < disks[i].mount_count; m++) line += std::string(" ") + disks[i].mounts[m];
        got.push_back(line);
    }
    std::vector<std::string> want = {
        "/dev/mmcblk0 /media/card", "/dev/mmcblk1", "/dev/sdb /media/stick", "/dev/sdc",
        "/dev/loop3 /mnt/loop", "/dev/nvme0n1 /srv/my data", "/dev/vda /",
    };
    EXPECT_EQ(got, want);
    EXPECT_EQ(posix_list_disks(root.c_str(), mountinfo.c_str(), disks.data(), 2), 2);
}

} // namespace

// Alignment, write block and the size rule with its reserve.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "fake/fake_platform.h"
#include "engine/test_file.h"
#include "run/volume_probe.h"

namespace {

struct AlignCase {
    uint32_t logical, physical, alignment, block;
};

TEST(VolumeProbe, AlignmentAndBlockFollowTheLargestSector) {
    const AlignCase cases[] = {
        {512, 4096, 4096, 8388608},         {512, 512, 4096, 8388608},
        {4096, 4096, 4096, 8388608},        {4096, 8192, 8192, 8388608},
        {4096, 6000, 8192, 8388608},        {512, 16777216, 16777216, 16777216},
        {512, 3000000000u, 1073741824, 1073741824},
    };
    for (const AlignCase& c : cases) {
        uint32_t a = alignment_for(c.logical, c.physical);
        EXPECT_EQ(a, c.alignment) << c.logical << "/" << c.physical;
        EXPECT_EQ(block_size_for(a), c.block) << c.logical << "/" << c.physical;
    }
}

class Probe : public ::testing::Test {
protected:
    VolumeGeometry* g = new VolumeGeometry();
    void SetUp() override {
        fake_reset();
        FakeVolume v;
        v.root = L"/mnt/card/";
        v.free_bytes = 64ull << 30;
        v.logical = 512;
        v.physical = 4096;
        v.filesystem = L"exfat";
        g_fake.volumes.push_back(v);
    }
    void TearDown() override { delete g; }
};

TEST_F(Probe, PrintsTheSevenVolumeLines) {
    ASSERT_EQ(probe_volume(L"/mnt/card/sub/", g), 1);
    EXPECT_EQ(g_fake.out,
              "\nVolume root        : /mnt/card/\n"
              "Available free     : 64.00 GiB\n"
              "Filesystem         : exfat\n"
              "Logical sector     : 512 bytes\n"
              "Physical sector    : 4096 bytes\n"
              "I/O alignment      : 4096 bytes\n"
              "Write block        : 8388608 bytes\n\n");
}

TEST_F(Probe, PhysicalAndNameQueriesFallBackSilently) {
    g_fake.volumes[0].physical = 0;
    g_fake.volumes[0].filesystem = L"";
    ASSERT_EQ(probe_volume(L"/mnt/card/", g), 1);
    EXPECT_EQ(g->physical_sector_bytes, 512u);
    EXPECT_EQ(g->alignment_bytes, 4096u);
    EXPECT_STREQ(g->filesystem, L"unknown");
    EXPECT_EQ(g_fake.err, "");
}

TEST_F(Probe, LongFilesystemNameIsCutTo63) {
    g_fake.volumes[0].filesystem = std::wstring(100, L'x');
    ASSERT_EQ(probe_volume(L"/mnt/card/", g), 1);
    EXPECT_EQ(wcslen(g->filesystem), 63u);
}

TEST_F(Probe, EachFailingQueryIsReportedWithItsCode) {
    uint32_t FakeVolume::*fields[] = {&FakeVolume::root_error, &FakeVolume::free_error,
                                      &FakeVolume::sector_error};
    for (auto field : fields) {
        SetUp();
        g_fake.volumes[0].*field = 21;
        EXPECT_EQ(probe_volume(L"/mnt/card/", g), 0);
        EXPECT_EQ(g_fake.err, "Could not query target volume: [21] No such device\n");
    }
}

struct SizeCase {
    const wchar_t* fs;
    uint64_t free_bytes;
    double gib;
    int ok;
    uint64_t bytes;
    const char* out;
    const char* err;
};

TEST(SizeRule, ReserveRoundingLimitsAndMessages) {
    const uint64_t G = 1ull << 30;
    const uint64_t R = 268435456;
    const SizeCase cases[] = {
        {L"ext4", R + 4095, 0, 0, 0, "", "Not enough free space after the 256 MiB safety reserve.\n"},
        {L"ext4", R + 4095, 1, 0, 0, "", "Not enough free space after the 256 MiB safety reserve.\n"},
        {L"ext4", 10 * G + R + 4095, 0, 1, 10 * G, "", ""},
        {L"ext4", 10 * G, 0.5, 1, 536870912, "", ""},
        {L"ext4", 10 * G, 1, 1, G, "", ""},
        {L"ext4", 10 * G, 0.000001, 1, 0, "", ""},
        {L"ext4", 10 * G, 17179869184.0, 0, 0, "", "Requested size is too large.\n"},
        {L"ext4", 10 * G, INFINITY, 0, 0, "", "Requested size is too large.\n"},
        {L"ext4", 2 * G + R, 2.0, 1, 2 * G, "", ""},
        {L"ext4", 2 * G + R, 2.0 + 4096.0 / G, 0, 0,
         "Requested size exceeds safe free space. Maximum is 2.00 GiB.\n", ""},
        // FAT caps one file below 4 GiB, not the test: a larger one is written in segments.
        {L"vfat", 64 * G, 0, 1, 64 * G - R, "", ""},
        {L"FAT32", 64 * G, 0, 1, 64 * G - R, "", ""},
        {L"vfat", 64 * G, 4.0, 1, 4 * G, "", ""},
        {L"vfat", 64 * G, 3.5, 1, 3 * G + G / 2, "", ""},
        {L"vfat", 2 * G + R, 0, 1, 2 * G, "", ""},
        {L"vfat", 2 * G + R, 3.0, 0, 0,
         "Requested size exceeds safe free space. Maximum is 2.00 GiB.\n", ""},
    };
    for (const SizeCase& c : cases) {
        fake_reset();
        VolumeGeometry* g = new VolumeGeometry();
        wcscpy(g->filesystem, c.fs);
        g->available_free_bytes = c.free_bytes;
        g->alignment_bytes = 4096;
        uint64_t bytes = 12345;
        EXPECT_EQ(resolve_test_size(c.gib, g, &bytes), c.ok) << c.gib;
        if (c.ok) {
            EXPECT_EQ(bytes, c.bytes) << c.gib;
        }
        EXPECT_EQ(g_fake.out, c.out) << c.gib;
        EXPECT_EQ(g_fake.err, c.err) << c.gib;
        delete g;
    }
}

struct SegmentCase {
    const wchar_t* fs;
    uint64_t target;
    uint32_t alignment;
    uint32_t block;
    uint64_t segment_bytes;  // 0: one file
};

TEST(SegmentRule, OnlyFatSplitsAndOnlyAboveOneFile) {
    const uint64_t G = 1ull << 30;
    const uint64_t M8 = 8ull << 20;
    const SegmentCase cases[] = {
        {L"ext4", 64 * G, 4096, 8 * 1048576, 0},
        {L"exfat", 64 * G, 4096, 8 * 1048576, 0},
        {L"NTFS", 64 * G, 4096, 8 * 1048576, 0},
        {L"fuse.faultfs", 64 * G, 4096, 8 * 1048576, 0},
        {L"vfat", 4 * G - 4096, 4096, 8 * 1048576, 0},  // one file holds it
        {L"vfat", 4 * G, 4096, 8 * 1048576, 4 * G - M8},
        {L"msdos", 64 * G, 4096, 8 * 1048576, 4 * G - M8},
        {L"FAT32", 64 * G, 4096, 8 * 1048576, 4 * G - M8},
        {L"FAT", 5 * G, 4096, 8 * 1048576, 4 * G - M8},
        {L"fuse.vfat", 5 * G, 4096, 8 * 1048576, 4 * G - M8},
        {L"fuse.fusefat", 5 * G, 4096, 8 * 1048576, 4 * G - M8},
        {L"fuseblk.fusefat", 5 * G, 4096, 8 * 1048576, 4 * G - M8},
        // 3 MiB blocks of 1 MiB units: 1365 blocks, 4 GiB - 1 MiB.
        {L"vfat", 5 * G, 1048576, 3 * 1048576, 4 * G - 1048576},
        // Blocks that are no multiple of the alignment: their least common multiple.
        {L"vfat", 5 * G, 65536, 6 * 65536 + 32768, 4294770688ull},
    };
    for (const SegmentCase& c : cases) {
        uint64_t got = segment_bytes_for_run(c.fs, c.target, c.alignment, c.block);
        EXPECT_EQ(got, c.segment_bytes) << c.target << " bytes with block " << c.block;
    }
}

TEST(SegmentRule, SegmentNamesCarryANumberedSuffix) {
    wchar_t out[64];
    const struct {
        uint32_t index;
        const wchar_t* path;
    } cases[] = {{0, L"/mnt/t/x.bin"}, {1, L"/mnt/t/x.bin.001"}, {12, L"/mnt/t/x.bin.012"},
                 {1000, L"/mnt/t/x.bin.1000"}};
    for (const auto& c : cases) {
        ASSERT_EQ(segment_path(L"/mnt/t/x.bin", c.index, out, 64), 1);
        EXPECT_STREQ(out, c.path);
    }
    EXPECT_EQ(segment_path(L"/mnt/t/x.bin", 1, out, 15), 0);
}

TEST(SegmentRule, FoundSegmentsRunFromTheNamedFileToTheFirstGap) {
    fake_reset();
    uint32_t count = 0;
    uint64_t total = 0;
    EXPECT_EQ(find_segments(L"/mnt/t/x.bin", &count, &total), 0);  // no named file
    g_fake.files[L"/mnt/t/x.bin"].data.assign(3000, 1);
    g_fake.files[L"/mnt/t/x.bin.001"].data.assign(3000, 2);
    g_fake.files[L"/mnt/t/x.bin.002"].data.assign(500, 3);
    g_fake.files[L"/mnt/t/x.bin.004"].data.assign(7, 4);  // after a gap: not part of it
    ASSERT_EQ(find_segments(L"/mnt/t/x.bin", &count, &total), 1);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(total, 6500u);
}

}  // namespace

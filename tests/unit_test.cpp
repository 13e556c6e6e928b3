// SPDX-License-Identifier: MIT
// The store library on simulated boards of each medium.
#include "board.h"
#include "state.h"
#include "support.h"
#include "veeprom.h"

#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <optional>

using sim::Medium;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

void set_file(const sim::Board &b, const std::string &rel, const std::optional<std::string> &text)
{
    if (text)
        b.put(rel, *text);
    else
        remove(b.path(rel).c_str());
}

int open_descriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

} // namespace

TEST_F(BoardTest, BootMediumProbe)
{
    struct Row {
        std::optional<std::string> id, mode;
        int want;
        const char *unread = nullptr; // the file discovery names as unread
    } const rows[] = {{"300\n", "1\n", 0}, {"301\n", "5\n", 5}, {"301", "1x", 1}, {"301", "7", 0},
                {"301", std::nullopt, 0}, {std::nullopt, "1", 0}, {"", "1", -5, board::board_id_file},
                {"301", "", -5, board::boot_mode_file}};
    sim::Board b = board(layout_for(Medium::emmc));
    for (const Row &r : rows) {
        SCOPED_TRACE(r.id.value_or("(none)") + "/" + r.mode.value_or("(none)"));
        set_file(b, "sys/class/socinfo/board_id", r.id);
        set_file(b, "sys/class/socinfo/boot_mode", r.mode);
        CaptureStderr();
        EXPECT_EQ(get_boot_mode(), r.want);
        veeprom::forget(); // discovery runs
        veeprom_init();
        EXPECT_EQ(GetCapturedStderr(), r.want == -5 ? "Read board_id Failed!\nRead board_id Failed!\n" : "");
        veeprom::Where w{};
        veeprom::where(w);
        EXPECT_EQ(w.probe, r.unread);
        EXPECT_EQ(w.probe_error, 0);
    }
}

// Names must match exactly: a prefix would point the raw-flash erase at the
// wrong partition.
TEST_F(BoardTest, PartitionLookup)
{
    using Entries = std::vector<std::pair<std::string, std::string>>;
    const Entries two{{"mtd2", "env\n"}, {"mtd5", "veeprom\n"}};
    struct Row {
        Entries entries;
        std::string wanted;
        int want;
        const char *err;
    } const rows[] = {
        {two, "veeprom", 5, ""},
        {two, "env", 2, ""},
        {two, "data", -1, ""},
        {{{"mtd12ro", "veeprom\n"}}, "veeprom", 12, ""},
        {{{"mtd1", "veeprom"}}, "veeprom", 1, ""},
        {{{"mtd1", "boot\n"}}, "bootx", -1, ""},
        {{{"mtd1", "vee\n"}}, "veeprom", -1, ""},
        {{{"mtd1", "\n"}}, "veeprom", -1, ""},
        {{{"mtd1", "\0x\n"_b}}, "veeprom", -1, ""},
        {{{"mtd1", "\0x\n"_b}}, "", 1, ""},
        {{{"mtd1", std::string(200, 'a')}}, std::string(128, 'a'), -1, ""},
        {{{"mtd3", ""}}, "veeprom", -5, "Read mtd name from /sys/class/mtd/mtd3/name failed!\n"},
        {{}, "veeprom", -1, ""},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row &r = rows[i];
        SCOPED_TRACE(i);
        sim::Layout s = layout_for(Medium::mtd);
        s.mtd.clear();
        sim::Board b = board(s, "b" + std::to_string(i));
        for (const auto &[entry, name] : r.entries)
            b.put("sys/class/mtd/" + entry + "/name", name);
        if (r.entries.empty())
            rmdir(b.path("sys/class/mtd").c_str());
        CaptureStderr();
        EXPECT_EQ(get_mtdnum_partname(r.wanted.c_str()), r.want);
        EXPECT_EQ(GetCapturedStderr(), r.err);
    }
}

TEST_F(BoardTest, Discovery)
{
    const std::string attach = "UBI_IOCATT ubi_num=10 mtd_num=1\n";
    const std::u16string high{0x4176, 0x4165, 0x4165, 0x4170, 0x4172, 0x416f, 0x416d, 0x4100};
    struct Row {
        const char *what;
        Medium m;
        std::function<void(sim::Layout &)> layout;
        std::function<void(const sim::Board &)> setup;
        int ret;
        std::string path, requests, out;
        int err = 0; // errno after a failure
    } const rows[] = {
        {"attached volume", Medium::ubi, nullptr, nullptr, 0, "/dev/ubi10_0", "", ""},
        {"attach on env", Medium::ubi, [](auto &s) { s.attached = false; }, nullptr, 0, "/dev/ubi10_0", attach, ""},
        {"attach on boot", Medium::ubi, [](auto &s) { s.attached = false, s.mtd = {"uboot", "boot"}; }, nullptr, 0,
         "/dev/ubi10_0", attach, ""},
        {"nothing to attach", Medium::ubi, [](auto &s) { s.attached = false, s.mtd = {"uboot"}; }, nullptr, -1, "", "", "", ENOENT},
        {"attach refused", Medium::ubi, [](auto &s) { s.attached = false; },
         [](auto &b) { b.put("fail/UBI_IOCATT", ""); }, -1, "", attach, "", EIO},
        {"attached meanwhile by another run", Medium::ubi, [](auto &s) { s.attached = false; },
         [](auto &b) { b.put("attached-meanwhile", ""); }, 0, "/dev/ubi10_0", attach, ""},
        {"node not there yet", Medium::ubi, [](auto &s) { s.attached = false; },
         [](auto &b) { b.put("fail/ubi-node", ""); }, -1, "/dev/ubi10_0", attach, "", ENOENT},
        {"mtd7", Medium::mtd, [](auto &s) { s.mtd = {"a", "b", "c", "d", "e", "f", "g", "veeprom"}; }, nullptr, 0,
         "/dev/mtd7", "", ""},
        {"no mtd partition", Medium::mtd, [](auto &s) { s.mtd = {"env"}; }, nullptr, -1, "", "", "", ENOENT},
        {"gpt third", Medium::emmc, nullptr, nullptr, 0, "/dev/mmcblk0p3", "", ""},
        {"gpt last match wins", Medium::emmc,
         [](auto &s) { s.gpt = {u"a", u"b", u"c", u"veeprom", u"d", u"e", u"f", u"g", u"h", u"veeprom"}; }, nullptr, 0,
         "/dev/mmcblk0p10", "", ""},
        {"gpt near names", Medium::emmc, [](auto &s) { s.gpt = {u"veeprom2", u"VEEPROM", u"veepro"}; }, nullptr, -1, "", "", "", ENOENT},
        {"gpt high bytes", Medium::emmc, [&](auto &s) { s.gpt = {u"x", high}; }, nullptr, 0, "/dev/mmcblk0p2", "", ""},
        {"no disk", Medium::emmc, nullptr, [](auto &b) { remove(b.path("dev/mmcblk0").c_str()); }, -1, "", "",
         "mmc:/dev/mmcblk0 device not found!\n", ENOENT},
        {"short disk", Medium::emmc, nullptr, [](auto &b) { b.put("dev/mmcblk0", std::string(1024 + 5 * 128 + 7, '\0')); },
         -1, "", "", "read short: 5\n", EIO},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        sim::Layout s = layout_for(r.m);
        if (r.layout)
            r.layout(s);
        sim::Board b = board(s, r.what);
        if (r.setup)
            r.setup(b);
        CaptureStdout();
        const int ret = veeprom_init();
        const int err = ret == 0 ? 0 : errno;
        EXPECT_EQ(GetCapturedStdout(), r.out);
        EXPECT_EQ(ret, r.ret);
        EXPECT_EQ(err, r.err);
        EXPECT_EQ(veeprom::device_path, r.path);
        EXPECT_EQ(veeprom::bootmode, r.m == Medium::ubi ? 1 : r.m == Medium::mtd ? 5 : 0);
        EXPECT_EQ(veeprom::fd >= 0, r.ret == 0);
        EXPECT_EQ(b.requests(), r.requests);
    }
}

TEST_F(BoardTest, LifecycleReopensWithoutDiscovery)
{
    sim::Layout s = layout_for(Medium::ubi);
    s.attached = false;
    sim::Board b = board(s);
    b.put("fail/ubi-node", "");
    EXPECT_EQ(veeprom_init(), -1); // attached, but the node is late
    b.put(b.store, std::string(2048, '\0'));
    EXPECT_EQ(veeprom_init(), 0);
    EXPECT_EQ(b.requests(), "UBI_IOCATT ubi_num=10 mtd_num=1\n"); // no second attach
    const int open_before = open_descriptors();
    EXPECT_EQ(veeprom_init(), 0); // again while open: the old descriptor is closed
    EXPECT_EQ(open_descriptors(), open_before);
    veeprom_exit();
    EXPECT_EQ(veeprom::fd, -1);
    veeprom_exit();
    EXPECT_EQ(veeprom::fd, -1);
    rmdir(b.path("sys/class/mtd").c_str()); // discovery would now fail
    remove(b.path("dev/ubi_ctrl").c_str());
    EXPECT_EQ(veeprom_init(), 0);
}

class Media : public BoardTest, public testing::WithParamInterface<Medium> {
protected:
    sim::Board b;
    std::string pattern; // the image before the test, every byte distinct-ish
    void SetUp() override
    {
        BoardTest::SetUp();
        b = board(layout_for(GetParam()));
        pattern = b.image();
        for (size_t i = 0; i < pattern.size(); ++i)
            pattern[i] = static_cast<char>(i * 7 + 1);
        b.put(b.store, pattern);
        ASSERT_EQ(veeprom_init(), 0);
    }
    // The image a change of [at, at + data) must leave: on raw flash the
    // erased block keeps only what was written back.
    std::string expected(size_t at, const std::string &data, bool io = true) const
    {
        std::string img = pattern;
        if (GetParam() == Medium::mtd && io)
            std::fill(img.begin() + 2048, img.end(), '\xFF');
        if (GetParam() == Medium::ubi)
            img.resize(2048);
        return img.replace(at, data.size(), data);
    }
    bool volume() const { return GetParam() == Medium::ubi; }
};

INSTANTIATE_TEST_SUITE_P(Medium, Media, testing::ValuesIn(sim::media),
                         [](const auto &i) { return std::string(sim::name(i.param)); });

// A write rewrites the whole block, keeping every byte outside its range.
TEST_P(Media, RangesAndFaults)
{
    struct Row {
        int offset, length;
        bool volume_ok, sector_ok;
        std::string fault; // a file under fail/, or "full" for a store that takes no bytes
    } const rows[] = {
        {17, 4, true, true, ""},        {500, 12, true, true, ""},      {505, 8, true, false, ""}, {2040, 8, true, false, ""},
        {2041, 8, false, false, ""},    {512, 0, true, true, ""},  {0, 0, true, true, ""},
        {-1, 4, false, false, ""},      {4, -1, false, false, ""}, {INT_MAX, 1, false, false, ""},
        {17, 4, false, false, "full"},  {17, 4, false, false, "UBI_IOCEBCH"}, {17, 4, false, false, "MEMERASE"},
        {17, 4, true, true, "static-volume"}, // the atomic change refused: a volume update instead
    };
    for (const Row &r : rows) {
        if (((r.fault == "UBI_IOCEBCH" || r.fault == "static-volume") && !volume()) || (r.fault == "MEMERASE" && GetParam() != Medium::mtd))
            continue;
        const std::string fault_file = r.fault == "static-volume" ? r.fault : "fail/" + r.fault;
        SCOPED_TRACE(std::to_string(r.offset) + "+" + std::to_string(r.length) + " " + r.fault);
        b.put(b.store, pattern);
        remove(b.path("requests.log").c_str());
        if (r.fault == "full") {
            remove(b.path(b.store).c_str());
            symlink("/dev/full", b.path(b.store).c_str());
        } else if (!r.fault.empty()) {
            b.put(fault_file, "");
        }
        ASSERT_EQ(veeprom_init(), 0);
        std::string data(r.length > 0 ? static_cast<size_t>(r.length) : 0, '\0');
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>('a' + i % 26);
        const bool ok = volume() ? r.volume_ok : r.sector_ok;
        const bool io = volume() || r.offset != 512; // a sector-path call that touches no sector does no I/O
        EXPECT_EQ(veeprom_write(r.offset, data.c_str(), r.length), ok ? 0 : -1);
        // /dev/full takes no flash request: ENOTTY from the kernel, ENOSYS from user-mode QEMU.
        const int err = errno;
        EXPECT_TRUE(ok || err == (r.fault.empty() ? EINVAL : r.fault != "full" ? EIO : GetParam() == Medium::emmc ? ENOSPC : ENOTTY) ||
                    (r.fault == "full" && GetParam() != Medium::emmc && err == ENOSYS));
        if (r.fault != "full") {
            EXPECT_TRUE(same(b.image(), ok ? expected(r.offset, data, io) : pattern));
        }
        const bool requested = (ok && io) || (r.fault != "" && r.fault != "full");
        EXPECT_EQ(b.requests(), !requested ? "" : write_request(GetParam()) + (r.fault == "static-volume" ? "UBI_IOCVOLUP bytes=2048\n" : ""));
        if (r.fault == "UBI_IOCEBCH") {
            EXPECT_GE(veeprom::fd, 0); // the change failed: the device stays open
        }
        if (ok) {
            EXPECT_EQ(veeprom::fd >= 0, !volume()); // the volume is closed after each call
            std::string back(data.size(), '\0');
            EXPECT_EQ(veeprom_read(r.offset, back.data(), r.length), 0);
            EXPECT_EQ(back, data);
        }
        remove(b.path(r.fault == "full" ? b.store : fault_file).c_str());
    }
}

// The path follows each call's fresh probe; the erase follows the medium found
// at discovery.
TEST_F(BoardTest, ProbeFailureTakesTheSectorPathAndStillErases)
{
    sim::Board b = board(layout_for(Medium::mtd));
    ASSERT_EQ(veeprom_init(), 0);
    b.put("sys/class/socinfo/board_id", "");
    CaptureStderr();
    EXPECT_EQ(veeprom_write(9, "boot", 4), 0);
    EXPECT_EQ(GetCapturedStderr(), "Read board_id Failed!\n");
    EXPECT_EQ(b.requests(), "MEMERASE start=0 length=65536\n");
    EXPECT_EQ(bytes(b, 9, 4), "boot");
}

TEST_P(Media, Maintenance)
{
    std::string zeros(256, '\0');
    std::string want = pattern;
    want.replace(9, 8, zeros.substr(0, 8)); // no erase: the rest of the image stays
    EXPECT_EQ(veeprom_clear(9, 8), 0);
    if (volume())
        want.resize(2048);
    EXPECT_TRUE(same(b.image(), want));
    EXPECT_EQ(b.requests(), volume() ? write_request(GetParam()) : "");
    EXPECT_EQ(veeprom_clear(500, 20), volume() ? 0 : -1);
    EXPECT_EQ(veeprom_clear(0, -1), -1);
    veeprom_init();
    b.put(b.store, pattern);
    EXPECT_EQ(veeprom_format(), 0);
    EXPECT_TRUE(same(bytes(b, 0, 512), zeros + pattern.substr(256, 256)));

    veeprom_init();
    CaptureStdout();
    EXPECT_EQ(veeprom_dump(), 0);
    std::string dump = GetCapturedStdout(), lines = "veeprom:\n";
    for (int i = 0; i < 16; ++i)
        lines += "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 \n";
    EXPECT_EQ(dump, lines);
    // The dump moved the descriptor; a write still takes the window from 0.
    EXPECT_EQ(veeprom_write(0, "A", 1), 0);
    EXPECT_TRUE(same(bytes(b, 0, 512), "A" + zeros.substr(1) + pattern.substr(256, 256)));
    // A reader's store is open read-only (root would open a read-only image anyway).
    veeprom::open_for(veeprom::Access::read);
    EXPECT_EQ(veeprom_init(), 0);
    EXPECT_EQ(fcntl(veeprom::fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(veeprom_write(0, "B", 1), -1);
}

TEST(ParameterCheck, AcceptsTheRangeZeroToLowerF)
{
    struct Row {
        std::string text;
        int64_t length;
        int want;
    } const rows[] = {{"0123abcdef", 10, 0}, {"12g4", 4, 1}, {"12G4", 4, 0}, {"12g4", 0, 0}, {"12g4", 2, 0},
                {"/", 1, 1},           {"\xff", 1, 1}, {":@Z_`", 5, 0}, {"x", -3, 0}};
    for (const Row &r : rows)
        EXPECT_EQ(parameter_check(r.text.c_str(), r.length), r.want) << r.text;
}

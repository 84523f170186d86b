// The several-drives tables: the directory cell of a row, in the live frame and
// in the summary, keeps its width and shows control characters escaped.
#include <gtest/gtest.h>

#include <string>

#include "fake/fake_platform.h"
#include "report/drive_reporter.h"
#include "report/drive_table.h"

namespace {

// The 18 characters after the drive's number in the row of drive 1.
std::string directory_cell_of(const std::string& out) {
    size_t at = out.find("\n  1 ");
    if (at == std::string::npos) return "<no row>";
    size_t end = out.find('\n', at + 1);
    std::string row = out.substr(at + 5, end == std::string::npos ? std::string::npos : end - at - 5);
    return row.substr(0, 18);
}

TEST(DriveTable, DirectoryCellShowsControlCharactersEscaped) {
    struct Case {
        const char* name;
        const wchar_t* directory;
        const char* cell;
    };
    const Case cases[] = {
        {"short", L"/media/usb", "/media/usb        "},
        {"long keeps its end", L"/media/a-very-long-directory", "...-long-directory"},
        {"newline", L"/a\nb", "/a\\nb             "},
        {"tab and return", L"/a\tb\rc", "/a\\tb\\rc          "},
        {"escape sequence", L"/x\x1b[2J", "/x\\x1b[2J         "},
        {"delete and a C1 control", L"/d\x7f\x9b", "/d\\x7f\\x9b        "},
        {"escape kept whole at the cut", L"/aaaaaaaaaaaaaaaa\x01" L"bcdefghijklm", "...bcdefghijklm   "},
        {"escape within the end", L"/aaaaaaaaaaaaaaaa\x01" L"bcdefghijk", "...a\\x01bcdefghijk"},
        {"escaped name longer than the cell", L"/\n\n\n\n\n\n\n\n\n\n", "...\\n\\n\\n\\n\\n\\n\\n "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveStatus status;
        status.phase.store(DRIVE_FINISHED);
        DriveRow row = {1, c.directory, &status, nullptr, nullptr, nullptr};
        fake_reset();
        drive_table_summary(&row, 1);
        EXPECT_EQ(directory_cell_of(g_fake.out), c.cell) << "summary";
        fake_reset();
        drive_table_frame(&row, 1);
        EXPECT_EQ(directory_cell_of(g_fake.out), c.cell) << "frame";
    }
}

}  // namespace

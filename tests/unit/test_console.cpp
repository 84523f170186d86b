// The stop flag, the control handler, the stop key, console control and the
// UTF-8 output functions, against the fake platform.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/console.h"
#include "console/output.h"
#include "fake/fake_platform.h"

namespace {

int32_t stop_flag() { return g_stop_requested.load(); }

// The keys stop the running phase; the session going away ends the run, and
// neither a later key nor the driver's reset turns that back into a phase stop.
TEST(CtrlHandler, StopEventsAreHandledOthersAreNot) {
    struct Case { std::vector<uint32_t> events; int handled; int32_t flag; } cases[] = {
        {{PLAT_CTRL_C}, 1, STOP_PHASE}, {{PLAT_CTRL_BREAK}, 1, STOP_PHASE},
        {{PLAT_CTRL_CLOSE}, 1, STOP_END}, {{PLAT_CTRL_LOGOFF}, 1, STOP_END},
        {{PLAT_CTRL_SHUTDOWN}, 1, STOP_END},
        {{3}, 0, 0}, {{4}, 0, 0}, {{7}, 0, 0}, {{0xFFFFFFFFu}, 0, 0},
        {{PLAT_CTRL_SHUTDOWN, PLAT_CTRL_C}, 1, STOP_END},
        {{PLAT_CTRL_C, PLAT_CTRL_CLOSE}, 1, STOP_END},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.events[0]);
        fake_reset();
        for (uint32_t event : c.events) EXPECT_EQ(console_ctrl_handler(event), c.handled);
        EXPECT_EQ(stop_flag(), c.flag);
        EXPECT_EQ(end_requested(), c.flag == STOP_END);
        reset_stop_request();
        EXPECT_EQ(stop_flag(), c.flag == STOP_END ? STOP_END : 0);
    }
}

TEST(CtrlHandler, UnhandledEventLeavesAPendingStopAlone) {
    fake_reset();
    console_ctrl_handler(PLAT_CTRL_C);
    EXPECT_EQ(console_ctrl_handler(4), 0);
    EXPECT_EQ(stop_flag(), 1);
}

TEST(StopKey, KeysAreJudgedOneCodePerCall) {
    struct Case { std::vector<int> keys; std::vector<int> results; } cases[] = {
        {{81}, {1}},                 // Q
        {{113}, {1}},                // q
        {{3}, {1}},                  // Ctrl+C as a character
        {{'x'}, {0}},
        {{}, {0}},
        {{0xE0, 81}, {0, 1}},        // prefix code, then a second code of 81
        {{'a', 'b', 'q'}, {0, 0, 1}},
    };
    for (const auto& c : cases) {
        fake_reset();
        g_fake.keys = c.keys;
        for (size_t i = 0; i < c.results.size(); ++i) EXPECT_EQ(check_stop_key(), c.results[i]) << i;
        EXPECT_TRUE(g_fake.keys.empty());
        EXPECT_EQ(stop_flag(), c.results.back());
    }
}

TEST(StopKey, PendingStopWinsWithoutReadingTheKeyboard) {
    fake_reset();
    g_fake.keys = {'x'};
    console_ctrl_handler(PLAT_CTRL_C);
    EXPECT_EQ(check_stop_key(), 1);
    EXPECT_EQ(check_stop_key(), 1);  // polling never clears it
    EXPECT_EQ(g_fake.keys.size(), 1u);
}

TEST(StopKey, ResetClearsOnlyUntilTheNextRequest) {
    fake_reset();
    g_fake.keys = {'Q'};
    EXPECT_EQ(check_stop_key(), 1);
    reset_stop_request();
    EXPECT_EQ(stop_flag(), 0);
    EXPECT_EQ(check_stop_key(), 0);
    console_ctrl_handler(PLAT_CTRL_SHUTDOWN);
    EXPECT_EQ(check_stop_key(), 1);
}

TEST(ConsoleControl, ActsOnlyOnAConsole) {
    fake_reset();
    EXPECT_EQ(console_clear(), 0);
    console_cursor_visible(0);
    EXPECT_EQ(g_fake.clear_calls, 0);
    EXPECT_EQ(g_fake.cursor_visible, 1);

    g_fake.out_is_console = true;
    EXPECT_NE(console_clear(), 0);
    EXPECT_EQ(g_fake.clear_calls, 1);
    console_cursor_visible(0);
    EXPECT_EQ(g_fake.cursor_visible, 0);

    g_console = 0;  // no output handle: the cursor is left alone
    console_cursor_visible(1);
    EXPECT_EQ(g_fake.cursor_visible, 0);
}

TEST(Output, FormattedTextOfAnyLengthArrivesWhole) {
    for (size_t length : {0ul, 2047ul, 2048ul, 100000ul}) {
        fake_reset();
        const std::string text(length, 'z');
        out_printf("[%s]", text.c_str());
        err_printf("%zu", length);
        EXPECT_EQ(g_fake.out, "[" + text + "]");
        EXPECT_EQ(g_fake.err, std::to_string(length));
    }
}

TEST(Output, WideTextIsWrittenAsUtf8) {
    struct Case { std::wstring wide; std::string utf8; } cases[] = {
        {L"", ""},
        {L"100%", "100%"},
        {L"\u00e9\u20ac\U0001F600", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {std::wstring(1, (wchar_t)0x110000), "\xef\xbf\xbd"},
        {std::wstring(1000, L'\u20ac'), [] {
             std::string s;
             for (int i = 0; i < 1000; ++i) s += "\xe2\x82\xac";   // crosses every chunk edge
             return s;
         }()},
    };
    for (const auto& c : cases) {
        fake_reset();
        out_wide(c.wide.c_str());
        err_wide(c.wide.c_str());
        EXPECT_EQ(g_fake.out, c.utf8);
        EXPECT_EQ(g_fake.err, c.utf8);
    }
}

}  // namespace

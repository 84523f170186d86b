// Prompts, line input and the text formatters, on scripted standard input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "console/text.h"
#include "fake/fake_platform.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();

size_t count_of(const std::string& text, const std::string& piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

TEST(FormatBytes, UnitBoundariesAndRounding) {
    struct Case { uint64_t bytes; const char* text; } cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.00 KiB"},
        {1536, "1.50 KiB"},
        {1048575, "1024.00 KiB"},        // 1023.999 KiB: unit chosen before rounding
        {1048576, "1.00 MiB"},
        {268435456, "256.00 MiB"},
        {1073741823, "1024.00 MiB"},
        {1ull << 40, "1.00 TiB"},
        {1ull << 50, "1024.00 TiB"},     // no unit beyond TiB
        {UINT64_MAX, "16777216.00 TiB"},
    };
    for (const Case& c : cases) {
        char out[64];
        format_bytes(c.bytes, out);
        EXPECT_STREQ(out, c.text) << c.bytes;
    }
}

TEST(FormatDuration, TruncatesAndRejectsNonValues) {
    struct Case { double seconds; const char* text; } cases[] = {
        {0.0, "00:00:00"},
        {-0.0, "00:00:00"},
        {59.9, "00:00:59"},
        {3600.0, "01:00:00"},
        {86399.99, "23:59:59"},
        {360000.0, "100:00:00"},
        {-1.0, "--:--:--"},
        {-1e-9, "--:--:--"},
        {kNan, "--:--:--"},
        {kInf, "--:--:--"},
        {-kInf, "--:--:--"},
        {18446744073709551616.0, "--:--:--"},   // 2^64: beyond the count
        {1.8e19, "5000000000000000:00:00"},
    };
    for (const Case& c : cases) {
        char out[32];
        format_duration(c.seconds, out);
        EXPECT_STREQ(out, c.text) << c.seconds;
    }
}

TEST(TrimNewline, RemovesOnlyTrailingLineEnds) {
    struct Case { const wchar_t* in; const wchar_t* out; } cases[] = {
        {L"abc\r\n", L"abc"}, {L"\r\n\n\r", L""}, {L"a \n", L"a "},
        {L"a\nb", L"a\nb"}, {L"", L""}, {L"keep.", L"keep."},
    };
    for (const Case& c : cases) {
        wchar_t text[16];
        wcscpy(text, c.in);
        trim_newline_w(text);
        EXPECT_STREQ(text, c.out);
    }
}

TEST(WideToUtf8, CapacityIsExactAndFailureLeavesBufferAlone) {
    struct Case { const wchar_t* wide; std::string utf8; } cases[] = {
        {L"", ""},
        {L"log.csv", "log.csv"},
        {L"\u00e9\u20ac\U0001F600", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
    };
    for (const Case& c : cases) {
        const uint64_t needed = c.utf8.size() + 1;
        std::vector<char> out(needed + 4, '#');
        ASSERT_EQ(wide_to_utf8(c.wide, out.data(), needed), 1);
        EXPECT_EQ(std::string(out.data()), c.utf8);
        EXPECT_EQ(out[needed], '#');
        std::vector<char> small(needed, '#');
        EXPECT_EQ(wide_to_utf8(c.wide, small.data(), needed - 1), 0);
        EXPECT_EQ(std::string(small.begin(), small.end()), std::string(needed, '#'));
    }
}

TEST(WideToUtf8, UnencodableUnitBecomesReplacementCharacter) {
    wchar_t wide[] = {L'a', (wchar_t)0xD800, L'b', 0};
    char out[16];
    ASSERT_EQ(wide_to_utf8(wide, out, sizeof out), 1);
    EXPECT_STREQ(out, "a\xef\xbf\xbd" "b");
}

TEST(PrintWinError, SystemTextOrNumericForm) {
    fake_reset();
    print_win_error(L"Write test error", 112);
    print_win_error(L"Verification error", 4242);
    print_win_error(L"Zielverzeichnis \u00fcberpr\u00fcfen", 23);
    EXPECT_EQ(g_fake.err,
              "Write test error: [112] No space left on device\n"
              "Verification error: Windows error 4242\n"
              "Zielverzeichnis \xc3\xbc" "berpr\xc3\xbc" "fen: [23] Data error (cyclic redundancy check).\n");
    EXPECT_EQ(g_fake.out, "");
}

// ---- line input ----

struct LineCase {
    const char* name;
    std::string input;
    int capacity;
    int result;
    std::wstring text;
    size_t consumed;     // bytes of input taken by the call
};

TEST(ReadLine, DecodesStripsAndStopsWhereItShould) {
    const LineCase cases[] = {
        {"plain", "abc\nnext\n", 32, READ_LINE_OK, L"abc", 4},
        {"crlf", "abc\r\nx", 32, READ_LINE_OK, L"abc", 5},
        {"only line ends", "\r\r\n", 32, READ_LINE_OK, L"", 3},
        {"CR LF takes no room", std::string(31, 'x') + "\r\nx", 32, READ_LINE_OK, std::wstring(31, L'x'), 31},
        {"CR LF after 30", std::string(30, 'x') + "\r\nx", 32, READ_LINE_OK, std::wstring(30, L'x'), 32},
        {"lone CR is text", "a\rb\n", 32, READ_LINE_OK, L"a\rb", 4},
        {"empty line", "\n", 32, READ_LINE_OK, L"", 1},
        {"blanks stay", " a b \n", 32, READ_LINE_OK, L" a b ", 6},
        {"end of input", "", 32, READ_LINE_EOF, L"", 0},
        {"last line without LF", "tail", 32, READ_LINE_OK, L"tail", 4},
        {"multibyte", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\n", 32, READ_LINE_OK, L"\u00e9\u20ac\U0001F600", 10},
        {"over-long line is cut", "abcdef\n", 4, READ_LINE_OK, L"abc", 3},
        {"full line leaves its LF", "abc\n", 4, READ_LINE_OK, L"abc", 3},
        {"4-byte char fills the last slot", "\xf0\x9f\x98\x80x\n", 2, READ_LINE_OK, L"\U0001F600", 4},
        {"invalid byte", "a\xff" "b\nok\n", 32, READ_LINE_BAD_TEXT, L"", 4},
        {"overlong form", "\xc0\xaf\n", 32, READ_LINE_BAD_TEXT, L"", 3},
        {"surrogate", "\xed\xa0\x80\n", 32, READ_LINE_BAD_TEXT, L"", 4},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80\n", 32, READ_LINE_BAD_TEXT, L"", 5},
        {"truncated before LF", "\xe2\x82\nok\n", 32, READ_LINE_BAD_TEXT, L"", 3},
        {"truncated at end of input", "ab\xe2\x82", 32, READ_LINE_BAD_TEXT, L"", 4},
        {"NUL byte", std::string("a\0b\nok\n", 7), 32, READ_LINE_BAD_TEXT, L"", 4},
        {"bad line drained past capacity", "ab\xff" "cdefgh\nok\n", 4, READ_LINE_BAD_TEXT, L"", 10},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        fake_reset();
        fake_stdin(c.input);
        wchar_t buffer[64];
        wmemset(buffer, L'?', 64);
        EXPECT_EQ(read_line_w(L"> ", buffer, c.capacity), c.result);
        if (c.result != READ_LINE_EOF) {
            EXPECT_EQ(std::wstring(buffer), c.text);
        }
        EXPECT_EQ(g_fake.stdin_pos, c.consumed);
        EXPECT_EQ(g_fake.out, "> ");
        EXPECT_EQ(g_fake.err, c.result == READ_LINE_BAD_TEXT ? "Input is not valid UTF-8 text.\n" : "");
    }
}

TEST(ReadLine, RestOfALongLineIsTheNextLine) {
    fake_reset();
    fake_stdin("abcdef\n");
    wchar_t buffer[4];
    ASSERT_EQ(read_line_w(nullptr, buffer, 4), READ_LINE_OK);
    EXPECT_STREQ(buffer, L"abc");
    ASSERT_EQ(read_line_w(nullptr, buffer, 4), READ_LINE_OK);
    EXPECT_STREQ(buffer, L"def");
    // "def" filled the buffer, so its LF is still unread: it comes as an empty line.
    ASSERT_EQ(read_line_w(nullptr, buffer, 4), READ_LINE_OK);
    EXPECT_STREQ(buffer, L"");
    EXPECT_EQ(read_line_w(nullptr, buffer, 4), READ_LINE_EOF);
}

TEST(ReadLine, ByteAfterALoneCrThatFilledTheLineIsTheNextLine) {
    fake_reset();
    fake_stdin("ab\rcd\n");
    wchar_t buffer[4];
    ASSERT_EQ(read_line_w(nullptr, buffer, 4), READ_LINE_OK);
    EXPECT_STREQ(buffer, L"ab");  // "ab" and the CR filled it; a trailing CR is stripped
    ASSERT_EQ(read_line_w(nullptr, buffer, 4), READ_LINE_OK);
    EXPECT_STREQ(buffer, L"cd");
    EXPECT_EQ(read_line_w(nullptr, buffer, 4), READ_LINE_EOF);
}

TEST(ReadLine, PromptIsPrintedLiterallyAndReadErrorIsEndOfInput) {
    fake_reset();
    g_fake.stdin_error = true;
    wchar_t buffer[8];
    EXPECT_EQ(read_line_w(L"100% sure? [\u00e9] ", buffer, 8), READ_LINE_EOF);
    EXPECT_EQ(g_fake.out, "100% sure? [\xc3\xa9] ");
}

// ---- questions ----

TEST(PromptYesNo, AnswersDefaultsAndRetries) {
    struct Case { std::string input; int default_answer; int result; size_t retries; } cases[] = {
        {"YES\n", 0, 1, 0}, {"Yes\n", 0, 1, 0}, {"y\n", 0, 1, 0},
        {"NO\n", 1, 0, 0}, {"n\n", 1, 0, 0}, {"nO\r\n", 1, 0, 0},
        {"\n", 1, 1, 0}, {"\n", 0, 0, 0}, {"", 1, 1, 0}, {"", 0, 0, 0},
        {"yep\ny\n", 0, 1, 1},
        {" y\ny \nn\n", 1, 0, 2},            // blanks are not trimmed
        {"\xef\xbd\x99\n", 0, 0, 1},           // fullwidth y is not y; then end of input
        {"\xff\nyes\n", 0, 1, 1},              // invalid UTF-8 is one more invalid answer
        {"maybe\n", 1, 1, 1},                  // retry, then end of input: default
        {std::string(30, 'x') + "\r\ny\r\n", 0, 1, 1},  // the CR LF ends the long answer
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        fake_reset();
        fake_stdin(c.input);
        EXPECT_EQ(prompt_yes_no(L"Go? [y/N]: ", c.default_answer), c.result);
        EXPECT_EQ(count_of(g_fake.out, "Please enter Y or N.\n"), c.retries);
        EXPECT_EQ(count_of(g_fake.out, "Go? [y/N]: "), c.retries + 1);
    }
}

TEST(PromptYesNo, FortyCharacterAnswerIsJudgedInTwoParts) {
    fake_reset();
    fake_stdin(std::string(40, 'y') + "\n");
    EXPECT_EQ(prompt_yes_no(L"Q: ", 1), 1);
    // 31 characters, then the remaining 9 at once, then end of input.
    EXPECT_EQ(g_fake.out, "Q: Please enter Y or N.\nQ: Please enter Y or N.\nQ: ");
    EXPECT_EQ(g_fake.stdin_pos, 41u);
}

TEST(PromptDouble, AcceptsWholeNonNegativeNumbersOnly) {
    struct Case { std::string input; double default_value; double result; size_t retries; } cases[] = {
        {"5\n", 0, 5, 0}, {" 5\n", 0, 5, 0}, {"5 \n7\n", 0, 7, 1},
        {"1e3\n", 0, 1000, 0}, {"1.5\n", 0, 1.5, 0}, {"0x10\n", 0, 16, 0},
        {"-1\n2\n", 0, 2, 1}, {"abc\n", 3, 3, 1}, {"nan\n", 3, 3, 1},
        {"1,5\n", 3, 3, 1}, {"5x\n", 3, 3, 1}, {"\xff\n4\n", 0, 4, 1},
        {"\n", 100, 100, 0}, {"", 100, 100, 0}, {"0\n", 100, 0, 0},
        // Zero only from zero digits: -0 and underflows are refused, not the maximum.
        {"-0\n2\n", 0, 2, 1}, {"-0.0e5\n2\n", 0, 2, 1}, {"1e-400\n2\n", 0, 2, 1},
        {"-1e-400\n2\n", 0, 2, 1}, {"0x1p-1100\n2\n", 0, 2, 1}, {"1e-310\n2\n", 0, 2, 1},
        {"0.000e-400\n", 100, 0, 0}, {"+0x0p0\n", 100, 0, 0}, {"2.3e-308\n", 0, 2.3e-308, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        fake_reset();
        fake_stdin(c.input);
        EXPECT_EQ(prompt_double(L"N: ", c.default_value), c.result);
        EXPECT_EQ(count_of(g_fake.out, "Invalid value. Please enter a number >= 0.00.\n"), c.retries);
    }
}

TEST(PromptDouble, InfinityAndOverflowPass) {
    fake_reset();
    fake_stdin("inf\n1e400\n");
    EXPECT_EQ(prompt_double(L"", 1), kInf);
    EXPECT_EQ(prompt_double(L"", 1), kInf);
    EXPECT_EQ(g_fake.out, "");
}

}  // namespace

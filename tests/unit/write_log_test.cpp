#include "log/write_log.h"

#include "test_support.h"

#include <io.h>
#include <fcntl.h>

#include <cstdio>
#include <ctime>
#include <regex>

using namespace talir_test;

namespace {

// Captures what reaches standard output (fd 1) while it lives.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        saved_ = _dup(1);
        const int file = _open("stdout.txt", _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, 0666);
        _dup2(file, 1);
        _close(file);
    }
    std::string Finish() {
        std::fflush(stdout);
        _dup2(saved_, 1);
        _close(saved_);
        return ReadFileBytes("stdout.txt");
    }

private:
    int saved_;
};

const char kLog[] = "lib_win\\talirvpn_dll.log";
const std::regex kTimestamp(R"(\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ([ 1-3][0-9]) [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\] )");

using WriteLogTest = WorkFolder;

TEST_F(WriteLogTest, LineHasTheTimestampFormAndEndsInCrLf) {
    talir::WriteLog("Starting sing-box");
    const std::string file = ReadFileBytes(kLog);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(file, match, kTimestamp)) << file;
    EXPECT_EQ(match.position(0), 0);
    EXPECT_EQ(match.length(0), 27);  // "[", 24 characters, "] "
    EXPECT_NE(match[3].str()[0], '0') << "the day is padded with a blank, not a zero";
    EXPECT_EQ(file.substr(27), "Starting sing-box\r\n");
}

TEST_F(WriteLogTest, EveryLineFeedBecomesCrLf) {
    talir::WriteLog("");
    talir::WriteLog("first\nsecond");
    talir::WriteLog("Error: text\r\n");
    const std::string file = ReadFileBytes(kLog);
    const std::string stamp = "[" + talir::LogTimestamp(_time64(nullptr)) + "] ";
    // The clock may tick between lines; compare with the stamps cut out.
    EXPECT_EQ(std::regex_replace(file, kTimestamp, "[T] "),
              "[T] \r\n[T] first\r\nsecond\r\n[T] Error: text\r\r\n\r\n");
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"", "first\nsecond", "Error: text\r\n"}));
}

TEST_F(WriteLogTest, AppendsToAnExistingLog) {
    WriteFileBytes(kLog, "earlier run\r\n");
    talir::WriteLog("now");
    const std::string file = ReadFileBytes(kLog);
    EXPECT_EQ(file.substr(0, 13), "earlier run\r\n");
    EXPECT_EQ(file.substr(file.size() - 5), "now\r\n");
}

TEST_F(WriteLogTest, EchoesEveryMessageToStandardOutput) {
    StdoutCapture capture;
    talir::WriteLog("one");
    talir::WriteLog(std::string("t\0o", 3));
    EXPECT_EQ(capture.Finish(), std::string("one\nt\0o\n", 8));
}

TEST_F(WriteLogTest, WithoutTheFolderNothingIsWrittenUntilItExists) {
    ASSERT_TRUE(RemoveDirectoryA("lib_win"));
    StdoutCapture capture;
    talir::WriteLog("lost");
    const std::string printed = capture.Finish();
    EXPECT_EQ(printed, "lost\nlog file not open\n");
    EXPECT_FALSE(FileExists(kLog));

    ASSERT_TRUE(CreateDirectoryA("lib_win", nullptr));
    talir::WriteLog("kept");
    EXPECT_EQ(LogMessages(), std::vector<std::string>{"kept"});
}

TEST(LogTimestamp, IsCtimeWithTheDayPaddedByABlank) {
    struct Case {
        int day, hour;
        const char* expected;
    };
    const Case cases[] = {
        {6, 9, "Sun Dec  6 09:05:07 2026"},
        {16, 23, "Wed Dec 16 23:05:07 2026"},
    };
    for (const Case& c : cases) {
        std::tm local{};
        local.tm_year = 2026 - 1900;
        local.tm_mon = 11;
        local.tm_mday = c.day;
        local.tm_hour = c.hour;
        local.tm_min = 5;
        local.tm_sec = 7;
        local.tm_isdst = -1;
        EXPECT_EQ(talir::LogTimestamp(_mktime64(&local)), c.expected);
    }
    // Beyond the runtime's clock: still 24 characters, nothing overrun.
    EXPECT_EQ(talir::LogTimestamp(-1).size(), 24u);
}

}  // namespace

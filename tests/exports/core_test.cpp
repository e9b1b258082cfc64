// The proxy core in its job: RunSingBox, StopSingBox, AssignToJobObject.
#include "talirvpn.h"
#include "test_support.h"

#include <string>

using namespace talir_test;

namespace {

class CoreTest : public WorkFolder {
protected:
    void SetUp() override {
        WorkFolder::SetUp();
        InstallSingBox();
    }
};

TEST_F(CoreTest, StartsTheCoreWithItsFixedCommandLineAndStopEndsIt) {
    const char* result = RunSingBox();
    EXPECT_STREQ(result, "success");
    const auto cores = StartedCores(1);
    ASSERT_EQ(cores.size(), 1u);
    EXPECT_EQ(cores[0].commandLine, "lib_win/sing-box run -c lib_win/config.json");
    EXPECT_FALSE(WaitForExit(cores[0].processId, 300)) << "the core ended on its own";
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"Starting sing-box", "Success start sing-box"}));

    StopSingBox();
    EXPECT_TRUE(WaitForExit(cores[0].processId, 10000));
    EXPECT_EQ(LogMessages().size(), 2u) << "StopSingBox logs nothing";
}

TEST_F(CoreTest, SuccessIsTheSameConstantEveryTime) {
    const char* first = RunSingBox();
    const char* second = RunSingBox();
    EXPECT_EQ(first, second);
    StopSingBox();
}

TEST_F(CoreTest, TwoCoresEndTogether) {
    ASSERT_STREQ(RunSingBox(), "success");
    ASSERT_STREQ(RunSingBox(), "success");
    const auto cores = StartedCores(2);
    ASSERT_EQ(cores.size(), 2u);
    StopSingBox();
    EXPECT_TRUE(WaitForExit(cores[0].processId, 10000));
    EXPECT_TRUE(WaitForExit(cores[1].processId, 10000));
}

TEST_F(CoreTest, StopWithoutJobOrTwiceIsHarmless) {
    StopSingBox();
    StopSingBox();
    ASSERT_STREQ(RunSingBox(), "success");
    ASSERT_EQ(StartedCores(1).size(), 1u);
    StopSingBox();
    StopSingBox();
    EXPECT_STREQ(RunSingBox(), "success") << "a fresh job after a stop";
    const auto cores = StartedCores(2);
    ASSERT_EQ(cores.size(), 2u);
    EXPECT_TRUE(WaitForExit(cores[0].processId, 10000));
    EXPECT_FALSE(WaitForExit(cores[1].processId, 200));
    StopSingBox();
    EXPECT_TRUE(WaitForExit(cores[1].processId, 10000));
}

TEST_F(CoreTest, MissingExecutableFailsAndEndsTheEarlierCore) {
    ASSERT_STREQ(RunSingBox(), "success");
    const auto cores = StartedCores(1);
    ASSERT_EQ(cores.size(), 1u);
    ASSERT_TRUE(DeleteFileA("lib_win\\sing-box.exe") || MoveFileA("lib_win\\sing-box.exe", "away.exe"));

    EXPECT_STREQ(RunSingBox(), "Error: createProcess sing-box failed.");
    EXPECT_TRUE(WaitForExit(cores[0].processId, 10000)) << "the job closed with the failure";
    const auto log = LogMessages();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2], "Starting sing-box");
    EXPECT_EQ(log[3], "CreateProcess sing-box failed. Error: " + SystemText(ERROR_FILE_NOT_FOUND));
}

TEST_F(CoreTest, CoreThatExitsAtOnceStillCountsAsStarted) {
    SetEnvironmentVariableA("SINGBOX_STANDIN_EXIT", "1");
    EXPECT_STREQ(RunSingBox(), "success");
    const auto cores = StartedCores(1);
    ASSERT_EQ(cores.size(), 1u);
    EXPECT_TRUE(WaitForExit(cores[0].processId, 10000));
    StopSingBox();
}

TEST_F(CoreTest, HostExitingWithoutStopEndsTheCore) {
    // The host waits until the core has recorded itself, then exits.
    const Finished host = RunCapture("\"" + BinDir() + "talirvpn-cli.exe\"",
                                     "RunSingBox\nwait-file lib_win/sing-box.started\n");
    EXPECT_EQ(host.output, "Starting sing-box\r\nSuccess start sing-box\r\nRunSingBox -> success\r\n");
    const auto cores = StartedCores(1);
    ASSERT_EQ(cores.size(), 1u);
    EXPECT_TRUE(WaitForExit(cores[0].processId, 10000));
}

TEST_F(CoreTest, UnloadingTheLibraryLeavesTheCoreRunning) {
    // Loaded a second time by name: the same module, one more reference.
    HMODULE again = LoadLibraryA("talirvpn.dll");
    ASSERT_NE(again, nullptr);
    ASSERT_STREQ(RunSingBox(), "success");
    FreeLibrary(again);
    const auto cores = StartedCores(1);
    ASSERT_EQ(cores.size(), 1u);
    EXPECT_FALSE(WaitForExit(cores[0].processId, 300));
    StopSingBox();
    EXPECT_TRUE(WaitForExit(cores[0].processId, 10000));
}

TEST(FreeString, AcceptsNull) {
    FreeString(nullptr);
    SUCCEED();
}

}  // namespace

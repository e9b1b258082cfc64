// What must hold under faults and bad input, whatever the export.
#include "talirvpn.h"
#include "test_support.h"

#include <string>

using namespace talir_test;

namespace {

const char kLog[] = "lib_win\\talirvpn_dll.log";

// An export that logs two lines, starts nothing and depends on nothing.
std::string RejectedRedirect() {
    char* answer = RedirectToTun(nullptr);
    std::string text = answer;
    FreeString(answer);
    return text;
}

// The system's text for code, as a console in text mode prints it.
std::string PrintedSystemText(DWORD code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(0x1300, nullptr, code, 1033, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string printed;
    for (DWORD i = 0; i < length; ++i) printed += text[i] == '\n' ? std::string("\r\n") : std::string(1, text[i]);
    LocalFree(text);
    return printed;
}

// Mounts over lib_win for one case; needs the private mount namespace that
// scripts/test.sh makes.
bool PrivateMounts() {
    return RunLinux("sh '" TALIR_SOURCE_DIR "/tests/harness/private-ns.sh' mnt").exitCode == 0;
}
struct Unmount {
    std::string path;
    ~Unmount() {
        SetCurrentDirectoryA("..");
        RunLinux("umount '" + path + "'");
    }
};

using LogFaultTest = WorkFolder;

TEST_F(LogFaultTest, NoLibWinFolderCostsOnlyTheLog) {
    ASSERT_TRUE(RemoveDirectoryA("lib_win"));
    const Finished host = RunCapture("\"" + BinDir() + "talirvpn-cli.exe\" RunSingBox");
    EXPECT_EQ(host.output, "Starting sing-box\r\nlog file not open\r\nCreateProcess sing-box failed. Error: " +
                               PrintedSystemText(ERROR_FILE_NOT_FOUND) +
                               "\r\nlog file not open\r\nRunSingBox -> Error: createProcess sing-box failed.\r\n");
    EXPECT_FALSE(FileExists("lib_win"));
}

TEST_F(LogFaultTest, LockedLogLeavesTheFileAsItWas) {
    WriteFileBytes(kLog, "kept\r\n");
    const Handle locked(CreateFileA(kLog, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(locked.value, nullptr);
    EXPECT_EQ(RejectedRedirect(), "Error: invalid interface index.");
    CloseHandle(locked.value);
    const_cast<Handle&>(locked).value = nullptr;
    EXPECT_EQ(ReadFileBytes(kLog), "kept\r\n");
}

TEST_F(LogFaultTest, ReadOnlyFileSystemLeavesTheLogAsItWas) {
    if (!PrivateMounts()) GTEST_SKIP() << "needs a private mount namespace (scripts/test.sh makes one)";
    WriteFileBytes(kLog, "kept\r\n");
    const std::string libWin = WindowsToLinuxPath("lib_win");
    ASSERT_EQ(RunLinux("mount --bind '" + libWin + "' '" + libWin + "' && mount -o remount,bind,ro '" + libWin +
                       "'").exitCode, 0);
    const Unmount unmount{libWin};
    EXPECT_EQ(RejectedRedirect(), "Error: invalid interface index.");
    EXPECT_EQ(ReadFileBytes(kLog), "kept\r\n");
}

TEST_F(LogFaultTest, FullDiskDropsLinesAndTheLogPicksUpOnceThereIsRoom) {
    if (!PrivateMounts()) GTEST_SKIP() << "needs a private mount namespace (scripts/test.sh makes one)";
    const std::string libWin = WindowsToLinuxPath("lib_win");
    ASSERT_EQ(RunLinux("mount -t tmpfs -o size=64k tmpfs '" + libWin + "'").exitCode, 0);
    const Unmount unmount{libWin};

    // A log that ends on a page boundary: its next byte needs room that
    // the full file system does not have.
    std::string before;
    while (before.size() < 4096) before += "[Sat Dec  5 10:00:00 2026] an earlier line, 64 bytes long.....\r\n";
    ASSERT_EQ(before.size(), 4096u);
    WriteFileBytes(kLog, before);
    ASSERT_EQ(RunLinux("dd if=/dev/zero of='" + libWin + "/filler' bs=4k 2>/dev/null; true").exitCode, 0);

    for (int i = 0; i < 3; ++i) EXPECT_EQ(RejectedRedirect(), "Error: invalid interface index.");
    EXPECT_EQ(ReadFileBytes(kLog), before) << "lines are dropped, nothing earlier is lost";

    ASSERT_TRUE(DeleteFileA("lib_win\\filler"));
    EXPECT_EQ(RejectedRedirect(), "Error: invalid interface index.");
    const std::string after = ReadFileBytes(kLog);
    EXPECT_EQ(after.compare(0, before.size(), before), 0);
    // The 64 earlier lines, then this call's two, and no piece of a dropped one.
    const std::vector<std::string> messages = LogMessages();
    ASSERT_EQ(messages.size(), 66u);
    EXPECT_EQ(messages[64], "Creating redirect route.");
    EXPECT_EQ(messages[65], "Error: invalid interface index.");
}

}  // namespace

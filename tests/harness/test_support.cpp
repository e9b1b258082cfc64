#include "test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace talir_test {

namespace {

// Nothing a case starts may outlive it: a core that never ends would hold
// CTest's output pipe until the time-out. Every process of the case is in
// this job, which ends them all when the case's process exits.
const HANDLE caseJob = [] {
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == nullptr ||
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, GetCurrentProcess())) {
        std::fprintf(stderr, "cannot put the case into a job of its own: error %lu\n", GetLastError());
        std::exit(3);
    }
    return job;
}();

}  // namespace

std::string BinDir() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    return dir.substr(0, dir.find_last_of("\\/") + 1);
}

std::string StandinPath(const std::string& fileName) {
    return BinDir() + "standins\\" + fileName;
}

std::string LinuxToWindowsPath(const std::string& path) {
    std::string windows = "Z:" + path;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

std::string WindowsToLinuxPath(const std::string& path) {
    char full[MAX_PATH] = {};
    GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    std::string unixPath(full);
    if (unixPath.size() >= 2 && unixPath[1] == ':') unixPath.erase(0, 2);
    std::replace(unixPath.begin(), unixPath.end(), '\\', '/');
    return unixPath;
}

Finished RunLinux(const std::string& shellCommand) {
    // Wine starts a Linux program detached: its process handle signals at
    // once with exit code 0. The command reports through files instead.
    static int serial = 0;
    const std::string base = BinDir() + "work\\linux-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(++serial);
    const std::string output = base + ".out", status = base + ".rc";
    CreateDirectoryA((BinDir() + "work").c_str(), nullptr);
    std::string script = "(" + shellCommand + ") >'" + WindowsToLinuxPath(output) + "' 2>&1; echo $? >'" +
                         WindowsToLinuxPath(status) + ".tmp'; mv '" + WindowsToLinuxPath(status) + ".tmp' '" +
                         WindowsToLinuxPath(status) + "'";
    std::string quoted;
    for (const char c : script) {
        if (c == '"') quoted += '\\';
        quoted += c;
    }
    Start("Z:\\bin\\sh -c \"" + quoted + "\"");
    Finished finished;
    for (int waited = 0; !FileExists(status); waited += 10) {
        if (waited > 60000) {
            finished.timedOut = true;
            ADD_FAILURE() << "no end of: " << shellCommand;
            return finished;
        }
        Sleep(10);
    }
    finished.exitCode = std::stoul(ReadFileBytes(status));
    finished.output = ReadFileBytes(output);
    DeleteFileA(status.c_str());
    DeleteFileA(output.c_str());
    return finished;
}

namespace {

void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..") continue;
        const std::string path = folder + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveTree(path + "\\");
            RemoveDirectoryA(path.c_str());
        } else {
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
        }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
}

}  // namespace

void WorkFolder::SetUp() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    folder_ = BinDir() + "work\\";
    CreateDirectoryA(folder_.c_str(), nullptr);
    folder_ += name + "\\";
    RemoveTree(folder_);
    CreateDirectoryA(folder_.c_str(), nullptr);
    ASSERT_TRUE(SetCurrentDirectoryA(folder_.c_str())) << folder_;
    ASSERT_TRUE(CreateDirectoryA("lib_win", nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
}

void CopyStandin(const std::string& fileName, const std::string& destination) {
    ASSERT_TRUE(CopyFileA(StandinPath(fileName).c_str(), destination.c_str(), FALSE))
        << fileName << " -> " << destination << " error " << GetLastError();
}

void InstallSingBox() {
    CopyStandin("sing-box.exe", "lib_win\\sing-box.exe");
    WriteFileBytes("lib_win\\config.json", "{}\n");
}

std::string SystemText(DWORD code) {
    if (code == 0) return "";
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text(buffer ? buffer : "", length);
    LocalFree(buffer);
    return text;
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> LogMessages() {
    // Lines are "[" 24-character time "] " message "\n", with every LF
    // written as CR LF: a new entry starts wherever "\r\n[" and the time's
    // closing "] " line up.
    const std::string file = "\r\n" + ReadFileBytes("lib_win\\talirvpn_dll.log");
    std::vector<size_t> starts;
    for (size_t at = file.find("\r\n["); at != std::string::npos; at = file.find("\r\n[", at + 1)) {
        if (at + 29 <= file.size() && file.compare(at + 27, 2, "] ") == 0) starts.push_back(at + 2);
    }
    std::vector<std::string> messages;
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t end = i + 1 < starts.size() ? starts[i + 1] : file.size();
        std::string entry = file.substr(starts[i] + 27, end - starts[i] - 27);
        if (entry.size() >= 2 && entry.compare(entry.size() - 2, 2, "\r\n") == 0) entry.resize(entry.size() - 2);
        std::string message;
        for (size_t k = 0; k < entry.size(); ++k) {
            if (entry[k] == '\r' && k + 1 < entry.size() && entry[k + 1] == '\n') continue;
            message += entry[k];
        }
        messages.push_back(message);
    }
    return messages;
}

Finished RunCapture(const std::string& commandLine, const std::string& input, DWORD timeoutMs) {
    Finished finished;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readOut = nullptr, writeOut = nullptr, readIn = nullptr, writeIn = nullptr;
    CreatePipe(&readOut, &writeOut, &inherit, 0);
    CreatePipe(&readIn, &writeIn, &inherit, 0);
    Handle ownReadOut(readOut), ownWriteOut(writeOut), ownReadIn(readIn), ownWriteIn(writeIn);
    SetHandleInformation(readOut, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(writeIn, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = readIn;
    startup.hStdOutput = writeOut;
    startup.hStdError = writeOut;
    PROCESS_INFORMATION created{};
    std::string mutableLine = commandLine;
    if (!CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &created)) {
        ADD_FAILURE() << "cannot start " << commandLine << ": error " << GetLastError();
        return finished;
    }
    Handle process(created.hProcess), thread(created.hThread);
    CloseHandle(ownWriteOut.value);
    ownWriteOut.value = nullptr;
    CloseHandle(ownReadIn.value);
    ownReadIn.value = nullptr;
    DWORD written = 0;
    if (!input.empty()) WriteFile(writeIn, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    CloseHandle(ownWriteIn.value);
    ownWriteIn.value = nullptr;

    const DWORD deadline = GetTickCount() + timeoutMs;
    char buffer[4096];
    for (;;) {
        // Taken before the pipe is read: what it wrote before it ended is in
        // the pipe by then. A process it started (Wine starts its desktop
        // process at the first window call) may hold the pipe open long after.
        const bool ended = WaitForSingleObject(process.value, 0) == WAIT_OBJECT_0;
        DWORD available = 0;
        if (!PeekNamedPipe(readOut, nullptr, 0, nullptr, &available, nullptr)) break;  // writer gone
        if (available > 0) {
            DWORD got = 0;
            if (!ReadFile(readOut, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
            finished.output.append(buffer, got);
            continue;
        }
        if (ended) break;
        if (static_cast<LONG>(GetTickCount() - deadline) > 0) {
            finished.timedOut = true;
            ADD_FAILURE() << commandLine << " did not end within " << timeoutMs << " ms";
            TerminateProcess(process.value, 99);
            break;
        }
        Sleep(10);
    }
    WaitForSingleObject(process.value, 10000);
    GetExitCodeProcess(process.value, &finished.exitCode);
    return finished;
}

Handle Start(const std::string& commandLine, DWORD* processId) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    std::string mutableLine = commandLine;
    if (!CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &created)) {
        ADD_FAILURE() << "cannot start " << commandLine << ": error " << GetLastError();
        return Handle();
    }
    CloseHandle(created.hThread);
    if (processId) *processId = created.dwProcessId;
    return Handle(created.hProcess);
}

bool WaitForExit(DWORD processId, DWORD timeoutMs) {
    Handle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process.value) return true;  // already gone
    return WaitForSingleObject(process.value, timeoutMs) == WAIT_OBJECT_0;
}

std::vector<StartedCore> StartedCores(size_t atLeast, DWORD timeoutMs) {
    std::vector<StartedCore> cores;
    const DWORD deadline = GetTickCount() + timeoutMs;
    for (;;) {
        cores.clear();
        std::istringstream lines(ReadFileBytes("lib_win\\sing-box.started"));
        std::string line;
        while (std::getline(lines, line)) {
            const size_t tab = line.find('\t');
            if (tab == std::string::npos) continue;
            cores.push_back({static_cast<DWORD>(std::stoul(line.substr(0, tab))), line.substr(tab + 1)});
        }
        if (cores.size() >= atLeast || static_cast<LONG>(GetTickCount() - deadline) > 0) return cores;
        Sleep(20);
    }
}

const char* const FirewallStandin::kClasses[2] = {"{E2B3C97F-6AE1-41AC-817A-F6F92166D7DD}",
                                                  "{2C5BC43E-3369-4C33-AB0C-BE9469677AF4}"};

namespace {

std::string ServerKey(const char* clsid) {
    return std::string("Software\\Classes\\CLSID\\") + clsid + "\\InprocServer32";
}

template <typename Function>
Function Export(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

std::string FirewallStandin::RegisteredServer(const char* clsid) {
    char value[MAX_PATH] = {};
    DWORD size = sizeof value;
    RegGetValueA(HKEY_LOCAL_MACHINE, ServerKey(clsid).c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size);
    return value;
}

// Wine's own server registers itself again, whatever a crashed case left.
void FirewallStandin::RegisterWineFirewall() {
    HMODULE wine = LoadLibraryA("hnetcfg.dll");
    ASSERT_NE(wine, nullptr);
    auto registerServer = Export<HRESULT(WINAPI*)()>(wine, "DllRegisterServer");
    ASSERT_NE(registerServer, nullptr);
    EXPECT_EQ(registerServer(), S_OK);
    FreeLibrary(wine);
}

void FirewallStandin::Install(const std::string& rulesFile) {
    SetEnvironmentVariableA("TALIR_FW_RULES", rulesFile.c_str());
    const std::string server = StandinPath("talir_firewall.dll");
    for (const char* clsid : kClasses) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, ServerKey(clsid).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                       static_cast<DWORD>(server.size() + 1));
        RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>("Both"), 5);
        RegCloseKey(key);
    }
    // Held here, so that COM finds this very module loaded and its records
    // outlive the library's CoUninitialize.
    HMODULE standin = LoadLibraryA(server.c_str());
    ASSERT_NE(standin, nullptr);
    calls_ = Export<const wchar_t* (*)()>(standin, "StandinCalls");
    fail_ = Export<void (*)(const char*, HRESULT, DWORD)>(standin, "StandinFail");
    references_ = Export<LONG (*)()>(standin, "StandinReferences");
    reset_ = Export<void (*)()>(standin, "StandinReset");
    ASSERT_TRUE(calls_ && fail_ && references_ && reset_);
}

size_t CountOpenHandles() {
    size_t open = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++open;
    }
    return open;
}

long LinuxMemoryKiB(const char* field) {
    std::istringstream status(ReadFileBytes("Z:\\proc\\self\\status"));
    const std::string wanted = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, wanted.size(), wanted) == 0) return std::stol(line.substr(wanted.size()));
    }
    return -1;
}

}  // namespace talir_test

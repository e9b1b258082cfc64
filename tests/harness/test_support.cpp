#include "test_support.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

const char* const kFirewallClasses[] = {"{E2B3C97F-6AE1-41AC-817A-F6F92166D7DD}",   // NetFwPolicy2
                                        "{2C5BC43E-3369-4C33-AB0C-BE9469677AF4}"};  // NetFwRule

template <typename Function>
Function Export(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

std::string BinDir() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string file(path);
    return file.substr(0, file.find_last_of('\\') + 1);
}

// session.sh empties bin/work; the process id keeps a repeated case apart.
void WorkFolder::SetUp() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    folder_ = BinDir() + "work\\";
    CreateDirectoryA(folder_.c_str(), nullptr);
    folder_ += name + "-" + std::to_string(GetCurrentProcessId()) + "\\";
    ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr)) << folder_;
    ASSERT_TRUE(SetCurrentDirectoryA(folder_.c_str()));
    ASSERT_TRUE(CreateDirectoryA("lib_win", nullptr));
    // The user's record of the proxy settings lives in the prefix's hive,
    // which every case shares: each starts without one.
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\TalirVPN");
    // The stand-in wininet.dll keeps the connections' proxy options here.
    SetEnvironmentVariableA("TALIR_CONNECTIONS", (folder_ + "connections.txt").c_str());
    // Hosts keep inheritable handles (pipes, logs): the stand-ins report a
    // program that the library started with this one.
    static const Handle inheritable = [] {
        WriteFileBytes("inheritable.txt", kInheritableText);
        SECURITY_ATTRIBUTES security{sizeof security, nullptr, TRUE};
        return Handle(CreateFileA("inheritable.txt", GENERIC_READ, FILE_SHARE_READ, &security, OPEN_EXISTING, 0,
                                  nullptr));
    }();
    ASSERT_NE(inheritable.value, nullptr);
    SetEnvironmentVariableA("TALIR_INHERITABLE", std::to_string(reinterpret_cast<uintptr_t>(inheritable.value)).c_str());
}

void CopyStandin(const std::string& destination) {
    const bool dll = destination.size() > 4 && destination.compare(destination.size() - 4, 4, ".dll") == 0;
    const std::string source = BinDir() + (dll ? "standins\\talir_firewall.dll" : "standins\\talir_standin.exe");
    ASSERT_TRUE(CopyFileA(source.c_str(), destination.c_str(), FALSE)) << destination << ": error " << GetLastError();
}

void Net(const std::string& steps, Vars& vars) {
    const Finished net = RunNet(steps);
    if (net.exitCode == 77) GTEST_SKIP() << "not in a private network namespace: run under unshare --net";
    ASSERT_EQ(net.exitCode, 0u) << "net.sh " << steps << ": " << net.output;
    for (const std::string& line : SplitLines(net.output)) {
        char name[64] = {}, index[16] = {}, gateway[32] = {};
        if (std::sscanf(line.c_str(), "%63s %15s %31s", name, index, gateway) < 2) continue;
        vars[name] = index;
        vars[std::string(name) + ".gw"] = gateway;
    }
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
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

std::wstring Wide(const std::string& utf8) {
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                                    static_cast<int>(wide.size())));
    return wide;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(Wide(path).c_str(), std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

Lines SplitLines(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

Lines LogMessages() {
    // Lines are "[" 24-character time "] " message "\n", with every LF
    // written as CR LF: a new entry starts wherever "\r\n[" and the time's
    // closing "] " line up.
    const std::string file = "\r\n" + ReadFileBytes("lib_win\\talirvpn_dll.log");
    std::vector<size_t> starts;
    for (size_t at = file.find("\r\n["); at != std::string::npos; at = file.find("\r\n[", at + 1)) {
        if (at + 29 <= file.size() && file.compare(at + 27, 2, "] ") == 0) starts.push_back(at + 29);
    }
    Lines messages;
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t end = i + 1 < starts.size() ? starts[i + 1] - 27 : file.size();  // at the next "["
        std::string message = file.substr(starts[i], end - starts[i]);
        if (message.size() >= 2 && message.compare(message.size() - 2, 2, "\r\n") == 0) message.erase(message.size() - 2);
        for (size_t at = 0; (at = message.find("\r\n", at)) != std::string::npos; ++at) message.erase(at, 1);
        messages.push_back(message);
    }
    return messages;
}

// Through cmd, with the output in a file of its own each time: the Wine
// desktop process that a window call may start inherits the handles of the
// process that made the call, and would hold a pipe or a reused file open.
Finished RunCapture(const std::string& commandLine, const std::string& input) {
    static int runs = 0;
    const std::string base = "run-" + std::to_string(++runs);
    WriteFileBytes(base + ".in", input);
    Finished finished;
    const Handle process = Start("cmd /c \"" + commandLine + " <" + base + ".in >" + base + ".out 2>&1\"");
    finished.timedOut = WaitForSingleObject(process.value, 20000) != WAIT_OBJECT_0;
    EXPECT_FALSE(finished.timedOut) << commandLine << " did not end within 20 s";
    GetExitCodeProcess(process.value, &finished.exitCode);
    finished.output = ReadFileBytes(base + ".out");
    return finished;
}

Finished Cli(const std::string& script) {
    return RunCapture("\"" + BinDir() + "talirvpn-cli.exe\"", script);
}

Handle Start(const std::string& commandLine, DWORD* processId, SECURITY_ATTRIBUTES* security) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, line.data(), security, nullptr, security != nullptr, 0, nullptr, nullptr, &startup,
                        &created)) {
        ADD_FAILURE() << "cannot start " << commandLine << ": error " << GetLastError();
        return Handle();
    }
    Handle thread(created.hThread);
    if (processId) *processId = created.dwProcessId;
    return Handle(created.hProcess);
}

bool WaitForExit(DWORD processId, DWORD timeoutMs) {
    const Handle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return !process.value || WaitForSingleObject(process.value, timeoutMs) == WAIT_OBJECT_0;
}

Lines AwaitLines(const std::string& path, size_t count, int timeoutMs) {
    Lines lines = SplitLines(ReadFileBytes(path));
    for (int waited = 0; lines.size() < count && waited < timeoutMs; waited += 20) {
        Sleep(20);
        lines = SplitLines(ReadFileBytes(path));
    }
    return lines;
}

// Wine's own server registers itself again, whatever a crashed case left.
void FirewallStandin::RegisterWineFirewall() {
    const HMODULE wine = LoadLibraryA("hnetcfg.dll");
    ASSERT_NE(wine, nullptr);
    EXPECT_EQ(Export<HRESULT(WINAPI*)()>(wine, "DllRegisterServer")(), S_OK);
    FreeLibrary(wine);
}

void FirewallStandin::Install() {
    // In full: the doctor reads it from the client's folder, or none.
    char rules[MAX_PATH] = {};
    GetFullPathNameA("firewall.rules", MAX_PATH, rules, nullptr);
    SetEnvironmentVariableA("TALIR_FW_RULES", rules);
    const std::string server = BinDir() + "standins\\talir_firewall.dll";
    for (const char* clsid : kFirewallClasses) {
        const std::string key = std::string("Software\\Classes\\CLSID\\") + clsid + "\\InprocServer32";
        ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, server.c_str(),
                                  static_cast<DWORD>(server.size() + 1)),
                  ERROR_SUCCESS);
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, key.c_str(), "ThreadingModel", REG_SZ, "Both", 5);
    }
    // Held here, so that COM finds this very module loaded and its records
    // outlive the library's CoUninitialize.
    const HMODULE standin = LoadLibraryA(server.c_str());
    ASSERT_NE(standin, nullptr);
    Calls = Export<decltype(Calls)>(standin, "StandinCalls");
    Fail = Export<decltype(Fail)>(standin, "StandinFail");
    References = Export<decltype(References)>(standin, "StandinReferences");
    Reset = Export<decltype(Reset)>(standin, "StandinReset");
    ASSERT_TRUE(Calls && Fail && References && Reset);
}

void* PatchImport(HMODULE module, const char* function, void* replacement) {
    BYTE* const base = reinterpret_cast<BYTE*>(module);
    const auto* headers = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); dll->Name; ++dll) {
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; name->u1.AddressOfData; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                std::strcmp(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)->Name, function)) {
                continue;
            }
            DWORD protection = 0;
            VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
            void* const original = reinterpret_cast<void*>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(slot, sizeof *slot, protection, &protection);
            return original;
        }
    }
    return nullptr;
}

size_t CountOpenHandles() {
    size_t open = 0;
    DWORD flags = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
        open += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE;
    }
    return open;
}

size_t BusyHeapBlocks() {
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    size_t busy = 0;
    for (DWORD i = 0; i < count && i < 64; ++i) {
        HeapLock(heaps[i]);
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry)) busy += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0;
        HeapUnlock(heaps[i]);
    }
    return busy;
}

size_t PagefileKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    return K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.PagefileUsage >> 10 : 0;
}

}  // namespace talir_test

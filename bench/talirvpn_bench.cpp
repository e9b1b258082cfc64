// talirvpn-bench: what each export costs against the bare Windows work it
// must do, done here without the library, with the same stand-ins and one
// plain write of each log line the export writes (echo and file).
//
//   talirvpn-bench [iterations] [BENCHMARKS.md]
//
// Runs in a fresh working folder with the stand-in proxy core, route, netsh,
// schtasks and firewall, inside the network namespace that scripts/bench.sh
// prepares (a TUN with 172.17.0.1 and a physical default route).
#include <initguid.h>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
#include <netfw.h>

#include "talirvpn.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

std::string binDir;  // with a trailing backslash

// ---- timing ---------------------------------------------------------------

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

struct Row {
    std::string name, bare;
    int calls = 0;
    double median = 0, p95 = 0, bareMedian = 0, bareP95 = 0;
};
std::vector<Row> rows;

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

struct Work {
    Work(std::function<void()> run, std::function<void()> prepare = {})
        : run(std::move(run)), prepare(std::move(prepare)) {}
    std::function<void()> run;
    std::function<void()> prepare;  // untimed, before each run
};

// Times the export and the bare work call by call, so that drift of the
// machine falls on both alike; the first tenth of the calls warms up.
void Compare(const std::string& name, const std::string& bare, int calls, const Work& exported, const Work& plain) {
    std::vector<double> exportTimes, bareTimes;
    const auto timed = [](const Work& work) {
        if (work.prepare) work.prepare();
        const double start = Now();
        work.run();
        return Now() - start;
    };
    for (int i = -calls / 10; i < calls; ++i) {
        // Alternate which goes first: the second may find caches warm.
        double exportTime, bareTime;
        if (i % 2 == 0) {
            exportTime = timed(exported);
            bareTime = timed(plain);
        } else {
            bareTime = timed(plain);
            exportTime = timed(exported);
        }
        if (i < 0) continue;
        exportTimes.push_back(exportTime);
        bareTimes.push_back(bareTime);
    }
    Row row{name, bare, calls, Percentile(exportTimes, 0.5), Percentile(exportTimes, 0.95),
            Percentile(bareTimes, 0.5), Percentile(bareTimes, 0.95)};
    std::fprintf(stderr, "%-24s %9.1f us  bare %9.1f us  ratio %.2f\n", name.c_str(), row.median, row.bareMedian,
                 row.median / row.bareMedian);
    rows.push_back(row);
}

// ---- the bare work ----------------------------------------------------------

// One log line as the library writes it: echoed, then appended and flushed.
FILE* bareLog = nullptr;
void BareLog(const char* message) {
    std::fputs(message, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    char stamp[26];
    const __time64_t now = _time64(nullptr);
    _ctime64_s(stamp, sizeof stamp, &now);
    std::fprintf(bareLog, "[%.24s] %s\n", stamp, message);
    std::fflush(bareLog);
}

void RunAndWait(const wchar_t* commandLine) {
    std::wstring line = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &created)) {
        std::fprintf(stderr, "cannot start %ls: error %lu\n", commandLine, GetLastError());
        std::exit(1);
    }
    WaitForSingleObject(created.hProcess, INFINITE);
    DWORD code;
    GetExitCodeProcess(created.hProcess, &code);
    CloseHandle(created.hProcess);
    CloseHandle(created.hThread);
}

void ReadForwardTable() {
    ULONG size = 0;
    GetIpForwardTable(nullptr, &size, FALSE);
    auto* table = static_cast<MIB_IPFORWARDTABLE*>(std::malloc(size));
    GetIpForwardTable(table, &size, FALSE);
    std::free(table);
}

void ReadAdapters() {
    ULONG size = 0;
    GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, nullptr, &size);
    auto* adapters = static_cast<IP_ADAPTER_ADDRESSES*>(std::malloc(size));
    GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, adapters, &size);
    std::free(adapters);
}

void SetProxyValues(int port) {
    HKEY key;
    RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                  KEY_SET_VALUE, &key);
    const DWORD enable = 1;
    RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof enable);
    const std::string server = "127.0.0.1:" + std::to_string(port);
    RegSetValueExA(key, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                   static_cast<DWORD>(server.size() + 1));
    RegCloseKey(key);
}

// The firewall access of one call: COM, policy and rules, then released.
struct BareFirewall {
    INetFwPolicy2* policy = nullptr;
    INetFwRules* rules = nullptr;
    BareFirewall() {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2,
                         reinterpret_cast<void**>(&policy));
        if (!policy || FAILED(policy->get_Rules(&rules))) {
            std::fprintf(stderr, "the stand-in firewall did not answer\n");
            std::exit(1);
        }
    }
    ~BareFirewall() {
        rules->Release();
        policy->Release();
        CoUninitialize();
    }
};

void CheckRuleBare() {
    BareFirewall access;
    INetFwRule* rule = nullptr;
    BSTR name = SysAllocString(L"TalirSingBox");
    access.rules->Item(name, &rule);
    SysFreeString(name);
    BareLog("Firewall rule not exist");
    BareLog("Cleaning firewall access");
    if (rule) rule->Release();
}

void AddRuleBare(const char* path) {
    BareFirewall access;
    INetFwRule* rule = nullptr;
    CoCreateInstance(CLSID_NetFwRule, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwRule, reinterpret_cast<void**>(&rule));
    BSTR name = SysAllocString(L"TalirSingBox");
    rule->put_Name(name);
    SysFreeString(name);
    wchar_t wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH);
    BSTR application = SysAllocString(wide);
    rule->put_ApplicationName(application);
    SysFreeString(application);
    rule->put_Protocol(256);
    rule->put_Direction(NET_FW_RULE_DIR_IN);
    rule->put_Action(NET_FW_ACTION_ALLOW);
    rule->put_Enabled(VARIANT_TRUE);
    access.rules->Add(rule);
    BareLog("Rule added");
    BareLog("Cleaning firewall access");
    rule->Release();
}

void RemoveRuleBare() {
    BareFirewall access;
    BSTR name = SysAllocString(L"TalirSingBox");
    access.rules->Remove(name);
    SysFreeString(name);
    BareLog("Rule removed successfully");
    BareLog("Cleaning firewall access");
}

HANDLE NewKillOnCloseJob() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return job;
}

void StartCoreInto(HANDLE job) {
    std::wstring line = L"lib_win/sing-box run -c lib_win/config.json";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    PROCESS_INFORMATION created{};
    CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &created);
    AssignProcessToJobObject(job, created.hProcess);
    CloseHandle(created.hProcess);
    CloseHandle(created.hThread);
}

// A process to attach: the stand-in core, which waits until it is killed.
HANDLE StartSleeper() {
    std::wstring line = L"lib_win/sing-box.exe sleeper";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &created);
    CloseHandle(created.hThread);
    return created.hProcess;
}

BOOL CALLBACK ReadTitle(HWND window, LPARAM) {
    wchar_t title[256];
    GetWindowTextW(window, title, 256);
    return TRUE;
}

void SmallFileCheck(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    std::fputs("The file is already less than or equal to 2097152 \xE1\xE0\xE9\xF2\n", stdout);
    std::fflush(stdout);
    CloseHandle(file);
}

// "GATEWAY if INDEX" of the physical default route, as the library picks it.
std::wstring PhysicalRoute() {
    ULONG size = 0;
    GetIpForwardTable(nullptr, &size, FALSE);
    std::vector<char> buffer(size);
    auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.data());
    GetIpForwardTable(table, &size, FALSE);
    IN_ADDR tun{};
    inet_pton(AF_INET, "172.17.0.1", &tun);
    const MIB_IPFORWARDROW* best = nullptr;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW& row = table->table[i];
        if (row.dwForwardDest || row.dwForwardMask || row.dwForwardNextHop == tun.S_un.S_addr) continue;
        if (!best || row.dwForwardMetric1 < best->dwForwardMetric1) best = &row;
    }
    if (!best) return L"0.0.0.0 if 0";
    IN_ADDR hop{};
    hop.S_un.S_addr = best->dwForwardNextHop;
    wchar_t text[INET_ADDRSTRLEN];
    InetNtopW(AF_INET, &hop, text, INET_ADDRSTRLEN);
    return std::wstring(text) + L" if " + std::to_wstring(best->dwForwardIfIndex);
}

// ---- set-up -----------------------------------------------------------------

void Copy(const char* standin, const char* destination) {
    if (!CopyFileA((binDir + "standins\\" + standin).c_str(), destination, FALSE)) {
        std::fprintf(stderr, "cannot copy %s\n", standin);
        std::exit(1);
    }
}

std::string ClassKey(const GUID& clsid) {
    wchar_t text[40];
    StringFromGUID2(clsid, text, 40);
    char narrow[40];
    WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, 40, nullptr, nullptr);
    return std::string("Software\\Classes\\CLSID\\") + narrow + "\\InprocServer32";
}

// The stand-in firewall answers for both classes while the benchmark runs;
// Wine's own is registered again at the end. Loaded here once, so that the
// last CoUninitialize of a call does not unload it each time.
void RegisterStandinFirewall() {
    const std::string server = binDir + "standins\\talir_firewall.dll";
    if (!LoadLibraryA(server.c_str())) {
        std::fprintf(stderr, "cannot load %s\n", server.c_str());
        std::exit(1);
    }
    for (const GUID* clsid : {&CLSID_NetFwPolicy2, &CLSID_NetFwRule}) {
        HKEY key;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, ClassKey(*clsid).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr);
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                       static_cast<DWORD>(server.size() + 1));
        RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>("Both"), 5);
        RegCloseKey(key);
    }
}

void RegisterWineFirewall() {
    if (HMODULE wine = LoadLibraryA("hnetcfg.dll")) {
        using Register = HRESULT(WINAPI*)();
        if (auto registerServer =
                reinterpret_cast<Register>(reinterpret_cast<void*>(GetProcAddress(wine, "DllRegisterServer")))) {
            registerServer();
        }
        FreeLibrary(wine);
    }
}

std::string TunIndex() {
    char* index = GetSingInterface();
    std::string text = index;
    FreeString(index);
    return text;
}

std::string Machine() {
    FILE* cpu = std::fopen("Z:\\proc\\cpuinfo", "r");
    char line[256];
    std::string model = "unknown processor";
    while (cpu && std::fgets(line, sizeof line, cpu)) {
        if (std::strncmp(line, "model name", 10) == 0) {
            model = std::strchr(line, ':') + 2;
            model.erase(model.find_last_not_of("\r\n") + 1);
            break;
        }
    }
    if (cpu) std::fclose(cpu);
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    return model + ", " + std::to_string(info.dwNumberOfProcessors) + " cores, Wine " +
           (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")
                ? reinterpret_cast<const char* (*)()>(reinterpret_cast<void*>(
                      GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")))()
                : "?");
}

void WriteReport(const char* path, int iterations) {
    FILE* out = std::fopen(path, "wb");
    if (!out) return;
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    WIN32_FILE_ATTRIBUTE_DATA dll{};
    GetFileAttributesExA((binDir + "talirvpn.dll").c_str(), GetFileExInfoStandard, &dll);

    std::fprintf(out, "# Benchmarks\n\n");
    std::fprintf(out, "Produced by `scripts/bench.sh` (talirvpn-bench, %d iterations of the cheap exports) on %s.\n\n",
                 iterations, date);
    std::fprintf(out, "Machine: %s, under Wine on Debian 12, in a private network namespace.\n\n", Machine().c_str());
    std::fprintf(out, "talirvpn.dll: %lu bytes.\n\n", dll.nFileSizeLow);
    std::fprintf(out,
                 "Each export is timed against the bare Windows work it must do, done by the benchmark itself "
                 "without the library, with the same stand-ins and one plain echo and write of each log line "
                 "the export writes; the two alternate call by call. Times in microseconds; ratio = export "
                 "median / bare median (goal: at most 1.10).\n\n");
    std::fprintf(out, "| Export | Bare work | Calls | Median | p95 | Bare median | Bare p95 | Ratio |\n");
    std::fprintf(out, "|---|---|---:|---:|---:|---:|---:|---:|\n");
    for (const Row& row : rows) {
        std::fprintf(out, "| `%s` | %s | %d | %.1f | %.1f | %.1f | %.1f | %.2f |\n", row.name.c_str(),
                     row.bare.c_str(), row.calls, row.median, row.p95, row.bareMedian, row.bareP95,
                     row.median / row.bareMedian);
    }
    std::fclose(out);
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
    const char* report = argc > 2 ? argv[2] : nullptr;
    const int processCalls = std::max(10, iterations / 10);

    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    binDir = path;
    binDir.erase(binDir.find_last_of('\\') + 1);

    // A fresh working folder beside the build's programs.
    const std::string work = binDir + "bench-work\\";
    CreateDirectoryA(work.c_str(), nullptr);
    SetCurrentDirectoryA(work.c_str());
    CreateDirectoryA("lib_win", nullptr);
    DeleteFileA("lib_win\\talirvpn_dll.log");
    Copy("sing-box.exe", "lib_win\\sing-box.exe");
    for (const char* tool : {"route.exe", "netsh.exe", "schtasks.exe"}) Copy(tool, tool);
    FILE* config = std::fopen("lib_win\\config.json", "w");
    std::fputs("{}\n", config);
    std::fclose(config);
    bareLog = std::fopen("lib_win\\bare.log", "a");
    SetEnvironmentVariableA("TALIR_FW_RULES", (work + "rules.txt").c_str());
    RegisterStandinFirewall();
    // The exports echo every log line; the benchmark's table goes to stderr.
    std::freopen("NUL", "w", stdout);

    const std::string tun = TunIndex();
    if (tun.empty() || tun[0] == 'E') {
        std::fprintf(stderr, "no TUN with 172.17.0.1: run through scripts/bench.sh\n");
        return 1;
    }
    std::fprintf(stderr, "TUN interface %s; %d iterations, %d for exports that start a process\n", tun.c_str(),
                 iterations, processCalls);

    {
        std::vector<char*> made, plain;
        for (int i = 0; i < iterations * 2; ++i) {
            made.push_back(RedirectToTun(nullptr));  // a result string; no command runs
            plain.push_back(static_cast<char*>(std::malloc(std::strlen(made.back()) + 1)));
        }
        size_t next = 0, nextPlain = 0;
        Compare("FreeString", "free() of a block of the same size", iterations, {[&] { FreeString(made[next++]); }},
                {[&] { std::free(plain[nextPlain++]); }});
        while (next < made.size()) FreeString(made[next++]);
        while (nextPlain < plain.size()) std::free(plain[nextPlain++]);
    }

    Compare("GetSingInterface", "2 GetAdaptersAddresses, 2 log lines", iterations,
            {[] { FreeString(GetSingInterface()); }}, {[] {
                BareLog("Getting sing tun");
                ReadAdapters();
                BareLog("Success getting TalirVPN tun: 7");
            }});

    const int port = 1080;
    Compare("SetSystemProxy", "open, 2 sets, close of the key", iterations, {[&] { SetSystemProxy(&port); }},
            {[] { SetProxyValues(1080); }});
    SetSystemProxy(nullptr);

    Compare("CheckFirewallRule", "COM init, create, get rules, lookup, release, uninit, 3 log lines", iterations,
            {[] { CheckFirewallRule(); }}, {[] {
                BareLog("Checking firewall rule");
                CheckRuleBare();
            }});
    const std::string coreExe = work + "lib_win\\sing-box.exe";
    Compare("AddFirewallRule", "COM init, create, get rules, new rule, 6 sets, add, release, uninit, 3 log lines",
            processCalls, {[&] { AddFirewallRule(coreExe.c_str()); }, [] { DeleteFirewallRule(); }},
            {[&] {
                 BareLog("Adding firewall rule");
                 AddRuleBare(coreExe.c_str());
             },
             [] { DeleteFirewallRule(); }});
    Compare("DeleteFirewallRule", "COM init, create, get rules, remove, release, uninit, 3 log lines", processCalls,
            {[] { DeleteFirewallRule(); }, [&] { AddFirewallRule(coreExe.c_str()); }},
            {[] {
                 BareLog("Removing firewall rule.");
                 RemoveRuleBare();
             },
             [&] { AddFirewallRule(coreExe.c_str()); }});
    DeleteFirewallRule();

    const std::wstring redirect = L"route add 0.0.0.0 mask 0.0.0.0 172.17.0.1 if " + std::wstring(tun.begin(), tun.end());
    Compare("RedirectToTun", "route process + wait, forwarding table, 3 log lines", processCalls,
            {[&] { FreeString(RedirectToTun(tun.c_str())); }}, {[&] {
                BareLog("Creating redirect route.");
                RunAndWait(redirect.c_str());
                BareLog("Success execute command.");
                ReadForwardTable();
                BareLog("Execute command result: success");
            }});

    // The library's own gateway lookup runs at its first create: warm-up.
    CreatePingRoute("203.0.113.5");
    const std::wstring pingAdd = L"route add 203.0.113.5 mask 255.255.255.255 " + PhysicalRoute();
    const std::wstring pingDelete = L"route delete 203.0.113.5 mask 255.255.255.255 " + PhysicalRoute();
    Compare("CreatePingRoute", "gateway check (forwarding table, adapters), route process + wait, forwarding table, 1 log line",
            processCalls, {[] { CreatePingRoute("203.0.113.5"); }, [] { DeletePingRoute("203.0.113.5"); }},
            {[&] {
                 ReadForwardTable();
                 ReadAdapters();
                 RunAndWait(pingAdd.c_str());
                 BareLog("Success execute command.");
                 ReadForwardTable();
             },
             [] { DeletePingRoute("203.0.113.5"); }});
    Compare("DeletePingRoute", "route process + wait, forwarding table, 2 log lines", processCalls,
            {[] { DeletePingRoute("203.0.113.5"); }, [] { CreatePingRoute("203.0.113.5"); }},
            {[&] {
                 BareLog("Start deleting route for ping.");
                 RunAndWait(pingDelete.c_str());
                 BareLog("Success execute command.");
                 ReadForwardTable();
             },
             [] { CreatePingRoute("203.0.113.5"); }});
    DeletePingRoute("203.0.113.5");

    Compare("CleanProxy", "netsh process + wait, 1 log line", processCalls, {[] { CleanProxy(); }}, {[] {
                RunAndWait(L"netsh winhttp reset proxy");
                BareLog("Success execute command.");
            }});

    Compare("DeleteAutorun", "system() of the query", processCalls, {[] { DeleteAutorun(); }},
            {[] { std::system("schtasks /query /tn \"TalirVPN Autorun\" >nul 2>&1"); }});

    // Each start is measured alone: the core of the round before is gone.
    HANDLE bareJob = nullptr;
    const auto closeBareJob = [&] {
        if (bareJob) CloseHandle(bareJob);
        bareJob = nullptr;
    };
    Compare("RunSingBox", "job, core process, assign, 2 log lines", processCalls, {[] { RunSingBox(); }, StopSingBox},
            {[&] {
                 BareLog("Starting sing-box");
                 bareJob = NewKillOnCloseJob();
                 StartCoreInto(bareJob);
                 BareLog("Success start sing-box");
             },
             closeBareJob});
    Compare("StopSingBox", "close the job handle", processCalls, {StopSingBox, [] { RunSingBox(); }},
            {closeBareJob, [&] {
                 bareJob = NewKillOnCloseJob();
                 StartCoreInto(bareJob);
             }});
    closeBareJob();

    // Attached targets pile up in the job; every 20th round starts afresh,
    // on both sides, so that the medians see an existing job.
    HANDLE target = nullptr;
    int exportRound = 0, bareRound = 0;
    const auto newTarget = [&] {
        if (target) CloseHandle(target);
        target = StartSleeper();
        Sleep(50);  // its start-up would compete with the timed attach
    };
    Compare("AssignToJobObject", "open process, assign, close, 2 log lines", processCalls,
            {[&] { FreeString(AssignToJobObject(GetProcessId(target))); },
             [&] {
                 if (exportRound++ % 20 == 0) StopSingBox();
                 newTarget();
             }},
            {[&] {
                 BareLog("Starting assign to job object");
                 HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, GetProcessId(target));
                 AssignProcessToJobObject(bareJob, process);
                 CloseHandle(process);
                 BareLog("Success assign to job object");
             },
             [&] {
                 if (bareRound++ % 20 == 0) {
                     closeBareJob();
                     bareJob = NewKillOnCloseJob();
                 }
                 newTarget();
             }});
    closeBareJob();
    StopSingBox();
    if (target) CloseHandle(target);

    Compare("CheckAppRunning", "open the mutex, its error text, enumerate windows, 3 log lines", iterations,
            {[] { CheckAppRunning(); }}, {[] {
                BareLog("Checking app running");
                HANDLE mutex = CreateMutexW(nullptr, TRUE, L"TalirVPNMutex");
                char* text = nullptr;
                FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                   FORMAT_MESSAGE_FROM_SYSTEM,
                               nullptr, GetLastError(), 1033, reinterpret_cast<char*>(&text), 0, nullptr);
                BareLog((std::string("CreateMutexError: ") + text).c_str());
                BareLog((std::string("Mutex ERROR_ALREADY_EXISTS: ") + text).c_str());
                LocalFree(text);
                EnumWindows(ReadTitle, 0);
                std::fputs("Not found windows.\n", stdout);
                std::fflush(stdout);
                CloseHandle(mutex);
            }});

    FILE* small = std::fopen("lib_win\\sing-box.log", "wb");
    std::fputs("a short core log\n", small);
    std::fclose(small);
    Compare("TruncateSingLog", "open, size, message, close", iterations, {[] { TruncateSingLog(); }},
            {[] { SmallFileCheck("lib_win/sing-box.log"); }});
    Compare("TruncateDllLog", "open, size, message, close", iterations, {[] { TruncateDllLog(); }},
            {[] { SmallFileCheck("lib_win/bare.log"); }});

    // A second copy under another name is a module of its own: a real load.
    const std::string copy = work + "talirvpn_copy.dll";
    CopyFileA((binDir + "talirvpn.dll").c_str(), copy.c_str(), FALSE);
    const std::string minimal = binDir + "standins\\bench_minimal.dll";
    Compare("LoadLibrary+FreeLibrary", "the same of a minimal DLL", iterations,
            {[&] { FreeLibrary(LoadLibraryA(copy.c_str())); }}, {[&] { FreeLibrary(LoadLibraryA(minimal.c_str())); }});

    RegisterWineFirewall();
    if (report) WriteReport(report, iterations);
    return 0;
}

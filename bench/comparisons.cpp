#include "comparisons.h"

#include "bare_work.h"
#include "talirvpn.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {
namespace {

const int32_t kPort = 1080;
const char kPingAddress[] = "203.0.113.5";
const char kBeforeAddress[] = "203.0.113.6";

// What the rows share between their calls.
std::vector<char*> made;    // result strings to free, made before
std::vector<void*> blocks;  // plain blocks of their sizes
size_t nextMade = 0, nextBlock = 0;
HANDLE bareJob = nullptr;  // the bare side's core job
HANDLE target = nullptr;   // the process to attach
int exportRound = 0, bareRound = 0;

void CloseBareJob() {
    if (bareJob) CloseHandle(bareJob);
    bareJob = nullptr;
}

void StartBareCore() {
    bareJob = NewKillOnCloseJob();
    StartCoreInto(bareJob);
}

// The rows before leave routes in the record of a host that still runs.
const wchar_t kRecord[] = L"lib_win\\talirvpn_record.txt";
void ForgetRecord() {
    DeleteFileW(kRecord);
}

// A row timed on a failing path would say nothing of the work: the run
// stops there.
void Succeeded(const char* call, char* result) {
    const bool success = std::strcmp(result, "success") == 0;
    if (!success) std::fprintf(stderr, "%s -> %s: the row cannot be timed\n", call, result);
    FreeString(result);
    if (!success) std::exit(1);
}

void NewTarget() {
    if (target) CloseHandle(target);
    target = StartSleeper();
    Sleep(50);  // its start-up would compete with the timed attach
}

}  // namespace

namespace {

// The ping routes of the version before, loaded from another file, in a
// folder of their own (their lib_win, their log and record), on another
// address: side by side with this version's, in one run.
std::vector<Comparison> BeforeComparisons(const Fixture& fixture, const std::string& before, int calls) {
    if (before.empty()) return {};
    using Route = const char* (*)(const char*);
    const HMODULE module = LoadLibraryA(before.c_str());
    static Route create = nullptr, remove = nullptr;
    create = reinterpret_cast<Route>(reinterpret_cast<void*>(GetProcAddress(module, "CreatePingRoute")));
    remove = reinterpret_cast<Route>(reinterpret_cast<void*>(GetProcAddress(module, "DeletePingRoute")));
    if (create == nullptr || remove == nullptr) {
        std::fprintf(stderr, "%s has no ping route exports\n", before.c_str());
        std::exit(1);
    }
    static std::string here, there;
    here = fixture.work;
    there = fixture.work + "before\\";
    CreateDirectoryA(there.c_str(), nullptr);
    CreateDirectoryA((there + "lib_win").c_str(), nullptr);
    const auto in = [](const std::string& folder, auto call) {
        return [=] {
            SetCurrentDirectoryA(folder.c_str());
            call();
        };
    };
    const auto nowIn = [=](auto call) { return in(here, call); };
    const auto beforeIn = [=](auto call) { return in(there, call); };
    return {
        {"CreatePingRoute, before", "the version before's CreatePingRoute", calls,
         {[] { CreatePingRoute(kPingAddress); }, nowIn([] { DeletePingRoute(kPingAddress); })},
         {[] { create(kBeforeAddress); }, beforeIn([] { remove(kBeforeAddress); })}},
        {"DeletePingRoute, before", "the version before's DeletePingRoute", calls,
         {[] { DeletePingRoute(kPingAddress); }, nowIn([] { CreatePingRoute(kPingAddress); })},
         {[] { remove(kBeforeAddress); }, beforeIn([] { create(kBeforeAddress); })}},
    };
}

}  // namespace

std::vector<Comparison> Comparisons(const Fixture& fixture, int iterations, const std::string& tun,
                                    const std::string& before) {
    const int processCalls = std::max(10, iterations / 10);
    for (int i = 0; i < iterations * 2; ++i) {
        made.push_back(RedirectToTun(nullptr));  // a result string; no command runs
        blocks.push_back(std::malloc(std::strlen(made.back()) + 1));
    }

    // The trims' rows: a core log below the limit.
    if (FILE* log = std::fopen("lib_win\\sing-box.log", "wb")) {
        std::fputs("a short core log\n", log);
        std::fclose(log);
    }

    const std::string coreExe = fixture.work + "lib_win\\sing-box.exe";
    const std::wstring redirect =
        L"route add 0.0.0.0 mask 0.0.0.0 172.17.0.1 if " + std::wstring(tun.begin(), tun.end());
    const std::wstring pingAdd = L"route add 203.0.113.5 mask 255.255.255.255 " + PhysicalRoute();
    const std::wstring pingDelete = L"route delete 203.0.113.5 mask 255.255.255.255 " + PhysicalRoute();
    const std::string copy = fixture.work + "talirvpn_copy.dll";
    const std::string minimal = fixture.binDir + "standins\\bench_minimal.dll";
    // The client is a GUI program: these are loaded long before it loads the
    // library, so neither load below pays for them.
    for (const char* system : {"user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll",
                               "advapi32.dll", "ws2_32.dll", "iphlpapi.dll", "winhttp.dll", "uxtheme.dll"}) {
        LoadLibraryA(system);
    }

    std::vector<Comparison> rows = {
        {"FreeString", "free() of a block of the same size", iterations,
         {[] { FreeString(made[nextMade++]); }},
         {[] { std::free(blocks[nextBlock++]); }}},

        {"GetSingInterface", "GetAdaptersAddresses (one read of 15 KB), 2 log lines", iterations,
         {[] { FreeString(GetSingInterface()); }},
         {[] {
             BareLog("Getting sing tun");
             ReadAdapters();
             BareLog("Success getting TalirVPN tun: 7");
         }}},

        // Against the same WinINet, RAS and registry calls made plainly, and
        // one record write of their own.
        {"SetSystemProxy on", "policy, key, lock file, record read, entries, values and LAN read, record write, "
                              "2 values and LAN set, LAN read back, 2 notifications, 2 log lines", iterations,
         {[] { SetSystemProxy(&kPort); }, [] { SetSystemProxy(nullptr); }},
         {[] { BareSwitchOn(kPort); }, [] { BareSwitchOff(); }}},

        {"SetSystemProxy off", "policy, key, lock file, record read, entries, LAN read and set, LAN read back, "
                               "values read, 1 value set, 2 notifications, record removed, 3 log lines", iterations,
         {[] { SetSystemProxy(nullptr); }, [] { SetSystemProxy(&kPort); }},
         {[] { BareSwitchOff(); }, [] { BareSwitchOn(kPort); }}},

        {"CheckFirewallRule", "COM init, create, get rules, lookup, release, uninit, 3 log lines", iterations,
         {[] { CheckFirewallRule(); }},
         {[] {
             BareLog("Checking firewall rule");
             CheckRuleBare();
         }}},

        {"AddFirewallRule", "COM init, create, get rules, new rule, 6 sets, add, release, uninit, 3 log lines",
         processCalls,
         {[=] { AddFirewallRule(coreExe.c_str()); }, [] { DeleteFirewallRule(); }},
         {[=] {
              BareLog("Adding firewall rule");
              AddRuleBare(coreExe.c_str());
          },
          [] { DeleteFirewallRule(); }}},

        {"DeleteFirewallRule", "COM init, create, get rules, remove, release, uninit, 3 log lines", processCalls,
         {[] { DeleteFirewallRule(); }, [=] { AddFirewallRule(coreExe.c_str()); }},
         {[] {
              BareLog("Removing firewall rule.");
              RemoveRuleBare();
          },
          [=] { AddFirewallRule(coreExe.c_str()); }}},

        {"RedirectToTun", "route process + wait, forwarding table, 3 log lines", processCalls,
         {[=] { FreeString(RedirectToTun(tun.c_str())); }},
         {[=] {
             BareLog("Creating redirect route.");
             RunAndWait(redirect.c_str());
             BareLog("Success execute command.");
             ReadForwardTable();
             BareLog("Execute command result: success");
         }}},

        // The library looks the gateway up at its first create, in the
        // warm-up; later creates check that it still holds.
        {"CreatePingRoute",
         "gateway check (forwarding table, adapters), route process + wait, forwarding table, 1 log line",
         processCalls,
         {[] { CreatePingRoute(kPingAddress); }, [] { DeletePingRoute(kPingAddress); }},
         {[=] {
              ReadForwardTable();
              ReadAdapters();
              RunAndWait(pingAdd.c_str());
              BareLog("Success execute command.");
              ReadForwardTable();
          },
          [] { DeletePingRoute(kPingAddress); }}},

        {"DeletePingRoute", "route process + wait, forwarding table, 2 log lines", processCalls,
         {[] { DeletePingRoute(kPingAddress); }, [] { CreatePingRoute(kPingAddress); }},
         {[=] {
              BareLog("Start deleting route for ping.");
              RunAndWait(pingDelete.c_str());
              BareLog("Success execute command.");
              ReadForwardTable();
          },
          [] { CreatePingRoute(kPingAddress); }}},

        // Nothing of a dead host to undo, as at most starts of a host.
        {"RestoreNetwork", "lock file, the user's record read, open of the absent record, 2 log lines", iterations,
         {[] { FreeString(RestoreNetwork()); }, ForgetRecord},
         {BareRestoreCheck,
          ForgetRecord}},

        // On the stand-in engine of the system folder, which keeps its
        // objects in a file as the system's engine keeps them in a service.
        {"StartLeakGuard", "TUN lookup, dynamic session, app id, transaction: sublayer, 17 filters; 2 log lines",
         iterations,
         {[] { Succeeded("StartLeakGuard", StartLeakGuard()); }, StopLeakGuard},
         {[] {
              BareLog("Starting leak guard");
              StartGuardBare();
              BareLog("Success start leak guard");
          },
          StopGuardBare}},

        {"StopLeakGuard", "close of the dynamic session, 2 log lines", iterations,
         {StopLeakGuard, [] { Succeeded("StartLeakGuard", StartLeakGuard()); }},
         {[] {
              BareLog("Stopping leak guard");
              StopGuardBare();
              BareLog("Success stop leak guard");
          },
          StartGuardBare}},

        {"CleanProxy", "netsh process + wait, 1 log line", processCalls,
         {[] { CleanProxy(); }},
         {[] {
             RunAndWait(L"netsh winhttp reset proxy");
             BareLog("Success execute command.");
         }}},

        {"DeleteAutorun", "schtasks process (the query) + wait", processCalls,
         {[] { DeleteAutorun(); }},
         {[] { RunAndWait(L"schtasks /query /tn \"TalirVPN Autorun\""); }}},

        // Each start is measured alone: the core of the round before is gone.
        {"RunSingBox", "job, core process, assign, 2 log lines", processCalls,
         {[] { RunSingBox(); }, StopSingBox},
         {[] {
              BareLog("Starting sing-box");
              StartBareCore();
              BareLog("Success start sing-box");
          },
          CloseBareJob}},

        {"StopSingBox", "close the job handle", processCalls,
         {StopSingBox, [] { RunSingBox(); }},
         {CloseBareJob, StartBareCore}},

        // Attached targets pile up in the job; every 20th round starts
        // afresh, on both sides, so that the medians see an existing job.
        {"AssignToJobObject", "open process, assign, close, 2 log lines", processCalls,
         {[] { FreeString(AssignToJobObject(GetProcessId(target))); },
          [] {
              if (exportRound++ % 20 == 0) StopSingBox();
              NewTarget();
          }},
         {[] {
              BareLog("Starting assign to job object");
              HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, GetProcessId(target));
              AssignProcessToJobObject(bareJob, process);
              CloseHandle(process);
              BareLog("Success assign to job object");
          },
          [] {
              if (bareRound++ % 20 == 0) {
                  CloseBareJob();
                  bareJob = NewKillOnCloseJob();
              }
              NewTarget();
          }}},

        {"CheckAppRunning", "open the mutex, its error text, enumerate windows, 3 log lines", iterations,
         {[] { CheckAppRunning(); }},
         {CheckMutexAndWindows}},

        {"TruncateSingLog", "open, size, message, close", iterations,
         {TruncateSingLog},
         {[] { SmallFileCheck("lib_win/sing-box.log"); }}},

        {"TruncateDllLog", "open, size, message, close", iterations,
         {TruncateDllLog},
         {[] { SmallFileCheck("lib_win/bare.log"); }}},

        {"LoadLibrary+FreeLibrary", "the same of a minimal DLL, in a host with a GUI host's system DLLs", iterations,
         {[=] { FreeLibrary(LoadLibraryA(copy.c_str())); }},
         {[=] { FreeLibrary(LoadLibraryA(minimal.c_str())); }}},

        // The part of the load above that is mapping the image: no imports
        // bound, no runtime started, no static objects built.
        {"LoadLibraryEx, image only", "the same of the minimal DLL", iterations,
         {[=] { FreeLibrary(LoadLibraryExA(copy.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES)); }},
         {[=] { FreeLibrary(LoadLibraryExA(minimal.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES)); }}},
    };
    for (Comparison& row : BeforeComparisons(fixture, before, processCalls)) rows.push_back(std::move(row));
    return rows;
}

void AfterComparisons() {
    while (nextMade < made.size()) FreeString(made[nextMade++]);
    while (nextBlock < blocks.size()) std::free(blocks[nextBlock++]);
    SetSystemProxy(nullptr);
    DeleteFirewallRule();
    DeletePingRoute(kPingAddress);
    CloseBareJob();
    StopGuardBare();
    StopSingBox();
    if (target) CloseHandle(target);
    target = nullptr;
}

}  // namespace bench

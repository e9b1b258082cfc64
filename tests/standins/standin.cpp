// One stand-in for the programs outside the library; its file name gives its
// role. Tools (route, netsh, schtasks) live in the system folder, as
// Windows' own do (wine-prefix.sh puts them there); they append the command
// line they received to ran.txt in the current folder, marked " (shown)"
// when not started hidden, " (inherited)" when started with the test's
// inheritable handle (TALIR_INHERITABLE) and " (planted)" when started from
// anywhere but the system folder, and exit with TALIR_EXIT (default 0).
//   route           applies "add|delete DEST mask MASK [GATEWAY] [if INDEX]"
//                   to the tests' namespace through net.sh, unless
//                   TALIR_REFUSE is set; TALIR_ROUTE_KILL=before|after ends
//                   the process that started it before or after it acts,
//                   as a crash of the host would; TALIR_ROUTE_PAUSE: the
//                   first one makes route.paused and waits (10 s at most)
//                   for route.go before it acts
//   schtasks        keeps its tasks in schtasks.tasks, one per line: /query
//                   exits 1 for an absent task, /delete removes it
//   sing-box        appends "PID TAB command line" to lib_win/sing-box.started
//                   and lives until killed; exits at once when TALIR_EXIT is set
//   first-instance  holds TalirVPNMutex (with FIRST_INSTANCE_SDDL as its
//                   security, when set) and shows a window per argument
//                   ("min=TITLE": minimised); writes their handles to
//                   first-instance.ready and lives until killed
#include "net_run.h"

#include <sddl.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t* text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), bytes, nullptr, nullptr);
    return utf8;
}

std::string Setting(const char* name) {
    char value[64] = {};
    return GetEnvironmentVariableA(name, value, sizeof value) ? value : "";
}

// Cores and tools start side by side, and may append at the same instant:
// under Wine an append is a seek to the end and a write, and a line seen
// lost once. One writer at a time, at the end, in one write.
void Append(const char* file, const std::string& line) {
    const talir_test::Handle out(CreateFileA(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_ALWAYS, 0, nullptr));
    OVERLAPPED whole{};
    LockFileEx(out.value, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    const std::string text = line + "\n";
    DWORD written = 0;
    SetFilePointer(out.value, 0, nullptr, FILE_END);
    WriteFile(out.value, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    UnlockFileEx(out.value, 0, MAXDWORD, MAXDWORD, &whole);
}

// Whether the handle value in TALIR_INHERITABLE is the test's file here.
bool Inherited() {
    const HANDLE handle = reinterpret_cast<HANDLE>(std::strtoull(Setting("TALIR_INHERITABLE").c_str(), nullptr, 10));
    char text[sizeof talir_test::kInheritableText] = {};
    DWORD read = 0;
    OVERLAPPED from{};
    return handle && ReadFile(handle, text, sizeof text - 1, &read, &from) && text == std::string(talir_test::kInheritableText);
}

std::string Received() {
    STARTUPINFOW startup{};
    GetStartupInfoW(&startup);
    const bool hidden = (startup.dwFlags & STARTF_USESHOWWINDOW) && startup.wShowWindow == SW_HIDE;
    return Utf8(GetCommandLineW()) + (hidden ? "" : " (shown)") + (Inherited() ? " (inherited)" : "");
}

// The process that started this one ends, as a crash of the host would.
void KillParent() {
    const talir_test::Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.value, &entry); more; more = Process32NextW(snapshot.value, &entry)) {
        if (entry.th32ProcessID != GetCurrentProcessId()) continue;
        const talir_test::Handle parent(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ParentProcessID));
        TerminateProcess(parent.value, 9);
        WaitForSingleObject(parent.value, 10000);
    }
}

void Route(const std::vector<std::string>& word) {
    if (Setting("TALIR_ROUTE_KILL") == "before") return KillParent();
    if (!Setting("TALIR_ROUTE_PAUSE").empty() && GetFileAttributesA("route.paused") == INVALID_FILE_ATTRIBUTES) {
        Append("route.paused", "");
        for (int i = 0; i < 1000 && GetFileAttributesA("route.go") == INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
    }
    if (!Setting("TALIR_REFUSE").empty() || word.size() < 3) return;
    std::string mask = "255.255.255.255", gateway = "-", index = "-";
    for (size_t i = 3; i < word.size(); ++i) {
        if (word[i] == "mask" && i + 1 < word.size()) mask = word[++i];
        else if (word[i] == "if" && i + 1 < word.size()) index = word[++i];
        else if (word[i] != "if") gateway = word[i];
    }
    talir_test::RunNet("route " + word[1] + " " + word[2] + "/" + mask + " " + gateway + " " + index);
    if (Setting("TALIR_ROUTE_KILL") == "after") KillParent();
}

int Schtasks(const std::vector<std::string>& word) {
    std::string action, task;
    for (size_t i = 1; i < word.size(); ++i) {
        if (_stricmp(word[i].c_str(), "/query") == 0 || _stricmp(word[i].c_str(), "/delete") == 0) {
            action = word[i].substr(1);
            for (char& c : action) c = static_cast<char>(std::tolower(c));
        }
        if (_stricmp(word[i].c_str(), "/tn") == 0 && i + 1 < word.size()) task = word[i + 1];
    }
    std::ifstream in("schtasks.tasks", std::ios::binary);
    std::string others;
    bool listed = false;
    for (std::string line; std::getline(in, line);) {
        if (line == task) listed = true;
        else others += line + "\n";
    }
    in.close();
    if (listed && action == "delete") std::ofstream("schtasks.tasks", std::ios::binary) << others;
    return listed ? 0 : 1;
}

int FirstInstance(const std::vector<std::string>& word) {
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    const std::string sddl = Setting("FIRST_INSTANCE_SDDL");
    if (!sddl.empty() && !ConvertStringSecurityDescriptorToSecurityDescriptorA(
                             sddl.c_str(), SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr)) {
        return 4;
    }
    if (!CreateMutexW(security.lpSecurityDescriptor ? &security : nullptr, TRUE, L"TalirVPNMutex") ||
        GetLastError() == ERROR_ALREADY_EXISTS) {
        return 2;
    }
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.lpszClassName = "TalirFirstInstance";
    RegisterClassA(&windowClass);
    std::string ready;
    for (size_t i = 1; i < word.size(); ++i) {
        const bool minimised = word[i].rfind("min=", 0) == 0;
        const HWND window = CreateWindowExA(0, windowClass.lpszClassName, word[i].c_str() + (minimised ? 4 : 0),
                                            WS_OVERLAPPEDWINDOW, 40 * i, 40 * i, 300, 200, nullptr, nullptr,
                                            nullptr, nullptr);
        ShowWindow(window, minimised ? SW_SHOWMINIMIZED : SW_SHOWNORMAL);
        ready += std::to_string(reinterpret_cast<uintptr_t>(window)) + "\n";
    }
    // Under another name first, so that the test never reads half of it.
    std::ofstream("first-instance.tmp", std::ios::binary) << ready;
    MoveFileExA("first-instance.tmp", "first-instance.ready", MOVEFILE_REPLACE_EXISTING);
    // Restoring and activating from another process needs a pumping thread.
    for (MSG message; GetMessageW(&message, nullptr, 0, 0) > 0;) DispatchMessageW(&message);
    return 0;
}

}  // namespace

int wmain() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> word;
    for (int i = 0; i < argc; ++i) word.push_back(Utf8(argv[i]));
    LocalFree(argv);
    wchar_t path[MAX_PATH] = {}, system[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    GetSystemDirectoryW(system, MAX_PATH);
    std::string role = Utf8(path);
    const bool planted = _stricmp(role.substr(0, role.find_last_of('\\')).c_str(), Utf8(system).c_str()) != 0;
    role = role.substr(role.find_last_of('\\') + 1);
    role.resize(role.size() - 4);  // ".exe"

    if (role == "first-instance") return FirstInstance(word);
    const int exitCode = static_cast<int>(std::strtoul(Setting("TALIR_EXIT").c_str(), nullptr, 10));
    if (role == "sing-box") {
        Append("lib_win/sing-box.started", std::to_string(GetCurrentProcessId()) + "\t" + Received());
        if (!Setting("TALIR_EXIT").empty()) return exitCode;
        Sleep(INFINITE);
    }
    Append("ran.txt", Received() + (planted ? " (planted)" : ""));
    if (role == "route") Route(word);
    if (role == "schtasks") return Schtasks(word);
    return exitCode;
}

#include "bare_work.h"

#include "guard/fwpuclnt.h"
#include "routing/forward_table.h"
#include "routing/gateway.h"
#include "routing/tun_interface.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netfw.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace bench {
namespace {

FILE* bareLog = nullptr;
HANDLE bareEngine = nullptr;

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

BOOL CALLBACK ReadTitle(HWND window, LPARAM) {
    wchar_t title[256];
    GetWindowTextW(window, title, 256);
    return TRUE;
}

}  // namespace

void OpenBareLog(const char* path) {
    bareLog = std::fopen(path, "a");
}

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
    wchar_t program[MAX_PATH];
    const UINT folder = GetSystemDirectoryW(program, MAX_PATH);
    swprintf(program + folder, MAX_PATH - folder, L"\\%ls.exe", line.substr(0, line.find(L' ')).c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(program, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
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
    ULONG size = 15 * 1024;
    auto* adapters = static_cast<IP_ADAPTER_ADDRESSES*>(std::malloc(size));
    while (GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, adapters, &size) == ERROR_BUFFER_OVERFLOW) {
        adapters = static_cast<IP_ADAPTER_ADDRESSES*>(std::realloc(adapters, size));
    }
    std::free(adapters);
}

void SetProxyValues(int port) {
    HKEY key;
    RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                  KEY_SET_VALUE, &key);
    const DWORD enable = port != 0 ? 1 : 0;
    RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof enable);
    const std::string server = "127.0.0.1:" + std::to_string(port);
    if (port != 0) {
        RegSetValueExA(key, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                       static_cast<DWORD>(server.size() + 1));
    }
    RegCloseKey(key);
    static const HMODULE wininet = LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    using SetOption = BOOL(WINAPI*)(void*, DWORD, void*, DWORD);
    static const auto setOption =
        reinterpret_cast<SetOption>(reinterpret_cast<void*>(GetProcAddress(wininet, "InternetSetOptionW")));
    setOption(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    setOption(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
}

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
    CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                   &created);
    AssignProcessToJobObject(job, created.hProcess);
    ResumeThread(created.hThread);
    CloseHandle(created.hProcess);
    CloseHandle(created.hThread);
}

HANDLE StartSleeper() {
    std::wstring line = L"lib_win/sing-box.exe sleeper";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &created);
    CloseHandle(created.hThread);
    return created.hProcess;
}

void CheckMutexAndWindows() {
    BareLog("Checking app running");
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"TalirVPNMutex");
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                   nullptr, GetLastError(), 1033, reinterpret_cast<char*>(&text), 0, nullptr);
    BareLog((std::string("CreateMutexError: ") + text).c_str());
    BareLog((std::string("Mutex ERROR_ALREADY_EXISTS: ") + text).c_str());
    LocalFree(text);
    EnumWindows(ReadTitle, 0);
    std::fputs("Not found windows.\n", stdout);
    std::fflush(stdout);
    CloseHandle(mutex);
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

std::optional<unsigned long> TunIndex() {
    unsigned long index = 0;
    if (talir::FindTunInterface(index) == talir::TunLookup::Found) return index;
    return std::nullopt;
}

std::wstring PhysicalRoute() {
    const talir::ForwardTable read = talir::ReadForwardTable();
    const MIB_IPFORWARDROW* best = read.table ? talir::ChooseDefaultRoute(*read.table, TunIndex()) : nullptr;
    if (!best) return L"0.0.0.0 if 0";
    IN_ADDR hop{};
    hop.S_un.S_addr = best->dwForwardNextHop;
    wchar_t text[INET_ADDRSTRLEN];
    InetNtopW(AF_INET, &hop, text, INET_ADDRSTRLEN);
    return std::wstring(text) + L" if " + std::to_wstring(best->dwForwardIfIndex);
}

void StartGuardBare() {
    unsigned long index = 0;
    talir::FindTunInterface(index);
    NET_LUID luid{};
    ConvertInterfaceIndexToLuid(index, &luid);
    const talir::Fwpuclnt& fwp = talir::LoadFwpuclnt();
    FWPM_SESSION0 session{};
    session.flags = 0x1;  // dynamic
    fwp.engineOpen(nullptr, 10, nullptr, &session, &bareEngine);
    wchar_t core[MAX_PATH];
    GetFullPathNameW(L"lib_win\\sing-box.exe", MAX_PATH, core, nullptr);
    FWP_BYTE_BLOB* id = nullptr;
    fwp.appIdFromFileName(core, &id);
    fwp.transactionBegin(bareEngine, 0);
    FWPM_SUBLAYER0 sublayer{};
    CoCreateGuid(&sublayer.subLayerKey);
    fwp.subLayerAdd(bareEngine, &sublayer, nullptr);
    FWPM_FILTER_CONDITION0 conditions[3] = {};
    for (FWPM_FILTER_CONDITION0& condition : conditions) {
        condition.conditionValue.type = FWP_UINT16;
        condition.conditionValue.uint16 = 53;
    }
    for (int i = 0; i < 17; ++i) {
        FWPM_FILTER0 filter{};
        filter.subLayerKey = sublayer.subLayerKey;
        filter.action.type = FWP_ACTION_BLOCK;
        filter.numFilterConditions = 1 + i % 3;
        filter.filterCondition = conditions;
        fwp.filterAdd(bareEngine, &filter, nullptr, nullptr);
    }
    fwp.transactionCommit(bareEngine);
    fwp.freeMemory(reinterpret_cast<void**>(&id));
}

void StopGuardBare() {
    if (bareEngine) talir::LoadFwpuclnt().engineClose(bareEngine);
    bareEngine = nullptr;
}

}  // namespace bench

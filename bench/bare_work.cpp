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
#include <ras.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

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

namespace {

using QueryOption = BOOL(WINAPI*)(void*, DWORD, void*, DWORD*);
using SetOption = BOOL(WINAPI*)(void*, DWORD, void*, DWORD);
using EnumEntries = DWORD(WINAPI*)(const wchar_t*, const wchar_t*, RASENTRYNAMEW*, DWORD*, DWORD*);

struct ProxyCalls {
    QueryOption query;
    SetOption set;
    EnumEntries enumerate;
};

const ProxyCalls& Proxy() {
    static const ProxyCalls calls = [] {
        const HMODULE wininet = LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        const HMODULE rasapi = LoadLibraryExW(L"rasapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        return ProxyCalls{
            reinterpret_cast<QueryOption>(reinterpret_cast<void*>(GetProcAddress(wininet, "InternetQueryOptionW"))),
            reinterpret_cast<SetOption>(reinterpret_cast<void*>(GetProcAddress(wininet, "InternetSetOptionW"))),
            reinterpret_cast<EnumEntries>(reinterpret_cast<void*>(GetProcAddress(rasapi, "RasEnumEntriesW")))};
    }();
    return calls;
}

const char kSettings[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const wchar_t kBareRecord[] = L"Software\\TalirVPN.bench";

std::vector<std::wstring> Connections() {
    std::vector<std::wstring> names(1);
    RASENTRYNAMEW entries[16];
    entries[0].dwSize = sizeof entries[0];
    DWORD bytes = sizeof entries, count = 0;
    if (Proxy().enumerate(nullptr, nullptr, entries, &bytes, &count) == 0) {
        for (DWORD i = 0; i < count; ++i) names.push_back(entries[i].szEntryName);
    }
    return names;
}

void QueryConnection(const std::wstring& name) {
    INTERNET_PER_CONN_OPTIONW options[4] = {};
    options[0].dwOption = INTERNET_PER_CONN_FLAGS_UI;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[3].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    INTERNET_PER_CONN_OPTION_LISTW list{sizeof list, name.empty() ? nullptr : const_cast<wchar_t*>(name.c_str()), 4,
                                        0, options};
    DWORD size = sizeof list;
    Proxy().query(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size);
    for (int i = 1; i < 4; ++i) GlobalFree(options[i].Value.pszValue);
}

void SetConnection(const std::wstring& name, DWORD flags, const wchar_t* server, DWORD count) {
    INTERNET_PER_CONN_OPTIONW options[4] = {};
    options[0].dwOption = INTERNET_PER_CONN_FLAGS;
    options[0].Value.dwValue = flags;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[1].Value.pszValue = const_cast<wchar_t*>(server);
    options[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[3].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    INTERNET_PER_CONN_OPTION_LISTW list{sizeof list, name.empty() ? nullptr : const_cast<wchar_t*>(name.c_str()),
                                        count, 0, options};
    Proxy().set(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof list);
}

// The policy, the key, the lock, the record: what both switches start with.
struct SwitchStart {
    HKEY key = nullptr;
    HANDLE lock = nullptr;
    SwitchStart() {
        DWORD perUser = 1, size = sizeof perUser;
        RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                     L"ProxySettingsPerUser", RRF_RT_REG_DWORD, nullptr, &perUser, &size);
        RegOpenKeyExA(HKEY_CURRENT_USER, kSettings, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
        lock = CreateFileW(L"lib_win\\bench.lock", GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        char record[4096];
        size = sizeof record;
        RegGetValueW(HKEY_CURRENT_USER, kBareRecord, L"ProxyRecord", RRF_RT_REG_BINARY, nullptr, record, &size);
    }
    ~SwitchStart() {
        CloseHandle(lock);
        RegCloseKey(key);
    }
    void ReadValues() const {
        for (const wchar_t* name : {L"ProxyEnable", L"ProxyServer"}) {
            BYTE data[256];
            DWORD type = 0, size = 0;
            RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
            size = sizeof data;
            RegQueryValueExW(key, name, nullptr, &type, data, &size);
        }
    }
};

void Notify() {
    Proxy().set(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    Proxy().set(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
}

}  // namespace

void BareSwitchOn(int port) {
    BareLog("Setting system proxy");
    const SwitchStart start;
    const std::vector<std::wstring> names = Connections();
    start.ReadValues();
    for (const std::wstring& name : names) QueryConnection(name);
    // A record of a LAN and the two values, as the library writes it.
    const std::string record = "talirvpn record 2 2\nproxy 127.0.0.1:" + std::to_string(port) +
                               " 2026-12-07T08:20:31Z 4242 134096976310000000\nvalue ProxyEnable 4 00000000\n"
                               "value ProxyServer 1 3100320037002E0030002E0030002E0031003A003100300038003000000000\n"
                               "connection - 1 - - -\nend\n";
    RegSetKeyValueW(HKEY_CURRENT_USER, kBareRecord, L"ProxyRecord", REG_BINARY, record.data(),
                    static_cast<DWORD>(record.size()));
    const DWORD enable = 1;
    RegSetValueExA(start.key, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof enable);
    const std::string server = "127.0.0.1:" + std::to_string(port);
    RegSetValueExA(start.key, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                   static_cast<DWORD>(server.size() + 1));
    const std::wstring wideServer(server.begin(), server.end());
    for (const std::wstring& name : names) SetConnection(name, PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, wideServer.c_str(), 3);
    QueryConnection(L"");
    Notify();
    BareLog("Success set system proxy");
}

void BareRestoreCheck() {
    BareLog("Restoring network");
    const HANDLE lock = CreateFileW(L"lib_win\\bench.lock", GENERIC_READ, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    char record[4096];
    DWORD size = sizeof record;
    RegGetValueW(HKEY_CURRENT_USER, kBareRecord, L"ProxyRecord", RRF_RT_REG_BINARY, nullptr, record, &size);
    CreateFileW(L"lib_win\\talirvpn_record.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    CloseHandle(lock);
    BareLog("Nothing to restore");
}

void BareSwitchOff() {
    BareLog("Switching system proxy off");
    const SwitchStart start;
    const std::vector<std::wstring> names = Connections();
    for (const std::wstring& name : names) {
        QueryConnection(name);
        SetConnection(name, PROXY_TYPE_DIRECT, nullptr, 4);
    }
    QueryConnection(L"");
    start.ReadValues();
    const DWORD enable = 0;
    RegSetValueExW(start.key, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof enable);
    Notify();
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kBareRecord, L"ProxyRecord");
    BareLog("Proxy settings given back: the LAN, ProxyEnable, ProxyServer");
    BareLog("Success switch system proxy off");
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
    if (fwp.engineOpen(nullptr, 10, nullptr, &session, &bareEngine) != 0) {
        std::fprintf(stderr, "the stand-in filtering engine refused a session\n");
        std::exit(1);
    }
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

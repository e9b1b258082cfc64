// What lives in the client's folder and process list: lib_win, the proxy
// core, another instance.
#include "doctor.h"

#include "desktop/single_instance.h"
#include "log/truncate_log.h"
#include "toolkit/error_text.h"
#include "toolkit/unique.h"

#include <windows.h>
#include <tlhelp32.h>

namespace talir::doctor {
namespace {

// A file's size; empty when it is not there.
std::optional<unsigned long long> FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return std::nullopt;
    }
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring FullPath(const wchar_t* path) {
    const DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    full.resize(GetFullPathNameW(path, size, full.data(), nullptr));
    return full;
}

}  // namespace

Check CheckLibWin() {
    Check check{"lib_win"};
    const DWORD folder = GetFileAttributesA("lib_win");
    if (folder == INVALID_FILE_ATTRIBUTES || (folder & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        check.facts.push_back("no lib_win folder here");
        Flag(check, Status::Problem, "run the doctor from the client's folder, the one that holds lib_win");
        return check;
    }
    for (const char* file : {"sing-box.exe", "config.json"}) {
        const bool present = FileSize(std::string("lib_win\\") + file).has_value();
        check.facts.push_back(file + std::string(present ? " present" : " missing"));
        if (!present) Flag(check, Status::Problem, "reinstall the client");
    }
    const struct {
        const char* file;
        const char* trim;
    } logs[] = {{"sing-box.log", "TruncateSingLog"}, {"talirvpn_dll.log", "TruncateDllLog"}};
    for (const auto& log : logs) {
        const std::optional<unsigned long long> size = FileSize(std::string("lib_win\\") + log.file);
        std::string fact = log.file + (size ? " " + std::to_string(*size) + " bytes" : std::string(" absent"));
        if (size && *size > static_cast<unsigned long long>(kLogLimit)) {
            fact += ", above 2 MiB";
            Flag(check, Status::Note, log.trim);
        }
        check.facts.push_back(fact);
    }
    return check;
}

Check CheckCore(std::optional<bool>& coreRuns) {
    Check check{"core"};
    const std::wstring core = FullPath(L"lib_win\\sing-box.exe");
    const UniqueHandle snapshot(ValidOrNull(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)));
    if (!snapshot) return CannotCheck(std::move(check), OneLine(GetLastErrorText()));

    bool runs = false, unreadable = false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        // Only a program of that name can be the core: the others are not opened.
        if (_wcsicmp(entry.szExeFile, L"sing-box.exe") != 0) continue;
        const std::string id = "process " + std::to_string(entry.th32ProcessID);
        const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        std::wstring image(32768, L'\0');
        DWORD size = static_cast<DWORD>(image.size());
        if (!process || !QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) {
            check = CannotCheck(std::move(check), id + " runs a sing-box.exe: " + OneLine(GetLastErrorText()));
            unreadable = true;
            continue;
        }
        image.resize(size);
        if (CompareStringOrdinal(image.c_str(), -1, core.c_str(), -1, TRUE) != CSTR_EQUAL) continue;
        check.facts.push_back(id + " runs lib_win\\sing-box.exe");
        runs = true;
    }
    if (!runs) check.facts.push_back("no process runs lib_win\\sing-box.exe");
    // A core whose path could not be read may be ours.
    if (runs || !unreadable) coreRuns = runs;
    return check;
}

Check CheckInstance() {
    Check check{"instance"};
    // Opened, never created: creating it would make this the first instance.
    const UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kInstanceMutex));
    const DWORD code = GetLastError();
    if (mutex) {
        check.facts.push_back("TalirVPNMutex exists");
    } else if (code == ERROR_ACCESS_DENIED) {
        check.facts.push_back("TalirVPNMutex exists, held by a more privileged instance");
    } else if (code == ERROR_FILE_NOT_FOUND) {
        check.facts.push_back("no TalirVPNMutex");
    } else {
        check = CannotCheck(std::move(check), "TalirVPNMutex: " + OneLine(ErrorText(code)));
    }
    const std::vector<HWND> windows = FindClientWindows();
    for (const HWND window : windows) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        check.facts.push_back("window \"Talir VPN\" of process " + std::to_string(processId));
    }
    if (windows.empty()) check.facts.push_back("no window \"Talir VPN\"");
    return check;
}

}  // namespace talir::doctor

// What lives in the client's folder and process list: lib_win, the proxy
// core, another instance.
#include "doctor.h"

#include "core/core_process.h"
#include "desktop/single_instance.h"
#include "log/truncate_log.h"
#include "toolkit/error_text.h"
#include "toolkit/unique.h"

#include <windows.h>

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

// A folder with its trailing backslash, in full.
std::wstring FullFolder(const std::wstring& path) {
    std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
    full.resize(GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
    if (!full.empty() && full.back() != L'\\') full += L'\\';
    return full;
}

bool HoldsLibWin(const std::wstring& folder) {
    const DWORD attributes = GetFileAttributesW((folder + L"lib_win").c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

ClientFolder EnterClientFolder(const wchar_t* dir) {
    ClientFolder client;
    std::vector<std::wstring> candidates;
    if (dir != nullptr) {
        candidates.push_back(FullFolder(dir));
    } else {
        candidates.push_back(FullFolder(L"."));
        std::wstring program(MAX_PATH, L'\0');
        DWORD size = 0;
        while ((size = GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()))) ==
               program.size()) {
            program.resize(program.size() * 2);
        }
        program.resize(size);
        candidates.push_back(FullFolder(program.substr(0, program.find_last_of(L'\\') + 1)));
    }
    for (const std::wstring& candidate : candidates) {
        client.tried += (client.tried.empty() ? "" : ", ") + Utf8(candidate);
        // The checks, as the library, name lib_win\... relative to it.
        if (HoldsLibWin(candidate) && SetCurrentDirectoryW(candidate.c_str())) {
            client.path = candidate;
            break;
        }
    }
    return client;
}

Check CheckLibWin(const ClientFolder& client) {
    Check check{"lib_win"};
    if (client.path.empty()) {
        check.facts.push_back("no lib_win in " + client.tried);
        Flag(check, Status::Problem, "run the doctor from the client's folder, or name it with --dir");
        return check;
    }
    check.facts.push_back("folder " + Utf8(client.path));
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

Check CheckCore(const ClientFolder& client, std::optional<bool>& coreRuns) {
    Check check{"core"};
    if (client.path.empty()) return CannotCheck(std::move(check), "no lib_win, so no core to look for");
    const CoreSearch search = FindCores(client.path + L"lib_win\\sing-box.exe");
    if (!search.error.empty()) return CannotCheck(std::move(check), search.error);
    for (const CoreProcess& process : search.processes) {
        const std::string id = "process " + std::to_string(process.id);
        if (process.is == CoreProcess::Is::Unknown) {
            check = CannotCheck(std::move(check), id + " runs a sing-box.exe: " + OneLine(process.detail));
        } else if (process.is == CoreProcess::Is::Core) {
            check.facts.push_back(id + " runs lib_win\\sing-box.exe");
        } else {
            check.facts.push_back(id + " runs another sing-box.exe, " + process.detail);
        }
    }
    coreRuns = CoreRuns(search);
    if (!coreRuns.value_or(false)) check.facts.push_back("no process runs lib_win\\sing-box.exe");
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

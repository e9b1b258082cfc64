#include "core/core_process.h"

#include "toolkit/error_text.h"
#include "toolkit/file_identity.h"
#include "toolkit/unique.h"
#include "toolkit/utf8.h"

#include <windows.h>
#include <tlhelp32.h>

namespace talir {

CoreSearch FindCores(const std::wstring& core) {
    CoreSearch search;
    std::string coreError;
    const std::optional<FileId> coreId = IdentifyFile(core, coreError);
    const UniqueHandle snapshot(ValidOrNull(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)));
    if (!snapshot) {
        search.error = ErrorLine(GetLastError());
        return search;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        // Only a program of that name can be the core: the others are not opened.
        if (_wcsicmp(entry.szExeFile, L"sing-box.exe") != 0) continue;
        CoreProcess found;
        found.id = entry.th32ProcessID;
        const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        std::wstring image(32768, L'\0');
        DWORD size = static_cast<DWORD>(image.size());
        std::optional<FileId> running;
        if (!process || !QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) {
            found.detail = ErrorLine(GetLastError());
        } else {
            image.resize(size);
            running = IdentifyFile(image, found.detail);
        }
        // A sing-box.exe not proven to be another file may be the core.
        if (running && !coreId) found.detail = "lib_win\\sing-box.exe: " + coreError;
        if (running && coreId) {
            found.is = *running == *coreId ? CoreProcess::Is::Core : CoreProcess::Is::Other;
            found.detail = Utf8(image);
        }
        search.processes.push_back(found);
    }
    return search;
}

std::optional<bool> CoreRuns(const CoreSearch& search) {
    if (!search.error.empty()) return std::nullopt;
    bool unsure = false;
    for (const CoreProcess& process : search.processes) {
        if (process.is == CoreProcess::Is::Core) return true;
        unsure = unsure || process.is == CoreProcess::Is::Unknown;
    }
    if (unsure) return std::nullopt;
    return false;
}

}  // namespace talir

#include "record/host_mark.h"

#include "toolkit/error_text.h"
#include "toolkit/lock.h"
#include "toolkit/unique.h"

namespace talir {
namespace {

SRWLOCK markLock = SRWLOCK_INIT;
HANDLE mark = nullptr;  // never closed: Windows closes it when the process ends

unsigned long long AsNumber(const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// In the global namespace, so that hosts of every session see each other.
std::wstring MarkName(const Owner& owner) {
    return L"Global\\TalirVPN.Host." + std::to_wstring(owner.id) + L"." + std::to_wstring(owner.created);
}

HostState LookAtProcess(const Owner& owner) {
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, owner.id));
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER ? HostState::Gone : HostState::Unknown;
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return HostState::Unknown;
    if (AsNumber(created) != owner.created) return HostState::Gone;  // the id is another's now
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT ? HostState::Runs : HostState::Gone;
}

}  // namespace

Owner ThisHost() {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return {GetCurrentProcessId(), AsNumber(created), true};
}

std::string MarkThisHost() {
    const ExclusiveLock lock(markLock);
    if (mark != nullptr) return {};
    // Not inheritable: a child that outlived the host would keep it alive.
    mark = CreateMutexW(nullptr, FALSE, MarkName(ThisHost()).c_str());
    return mark != nullptr ? std::string() : GetLastErrorText();
}

HostState LookAtHost(const Owner& owner) {
    if (!owner.marked) return LookAtProcess(owner);
    const UniqueHandle found(OpenMutexW(SYNCHRONIZE, FALSE, MarkName(owner).c_str()));
    if (found) return HostState::Runs;
    switch (GetLastError()) {
    case ERROR_ACCESS_DENIED: return HostState::Runs;  // there, and not ours to open
    case ERROR_FILE_NOT_FOUND: return HostState::Gone;
    default: return HostState::Unknown;  // another kind of object by that name, say
    }
}

}  // namespace talir

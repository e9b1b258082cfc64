#include "record/record_store.h"

#include "toolkit/error_text.h"
#include "toolkit/file_identity.h"
#include "toolkit/utf8.h"

#include <vector>

namespace talir {

const wchar_t kMachineRecord[] = L"lib_win\\talirvpn_record.txt";
const wchar_t kRecordLockFile[] = L"lib_win\\talirvpn_record.lock";
const wchar_t kUserRecordKey[] = L"Software\\TalirVPN";
const wchar_t kUserRecordValue[] = L"ProxyRecord";

namespace {

constexpr size_t kLargestRecord = 1 << 20;

// A virus scanner, a backup or the doctor may hold the file for a moment:
// a sharing violation is waited out, for a second at most.
template <typename Attempt>
bool Retried(Attempt attempt) {
    for (int tries = 1;; ++tries) {
        if (attempt()) return true;
        const DWORD code = GetLastError();
        if ((code != ERROR_SHARING_VIOLATION && code != ERROR_LOCK_VIOLATION && code != ERROR_ACCESS_DENIED) ||
            tries == 20) {
            return false;
        }
        Sleep(50);
    }
}

RecordRead Unreadable(const std::string& problem) {
    RecordRead read;
    read.state = RecordState::Unreadable;
    read.problem = problem;
    return read;
}

std::wstring CurrentFolder() {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring folder(size, L'\0');
    folder.resize(GetCurrentDirectoryW(size, folder.data()));
    return folder;
}

// Whether the record was made for the current folder, by identity: a
// version-1 record names it only by its spelling, which is looked up.
std::string OtherFolder(const RecordFolder& recorded) {
    std::string error;
    const std::optional<FileId> current = IdentifyFile(L".", error);
    if (!current) return "the client's folder cannot be identified: " + error;
    std::optional<FileId> made;
    if (recorded.volume && recorded.index) {
        made = FileId{*recorded.volume, *recorded.index};
    } else {
        made = IdentifyFile(recorded.spelled, error);
    }
    return made && *made == *current ? std::string() : "made for another folder, " + Utf8(recorded.spelled);
}

std::string Stamp() {
    std::string time = RecordTime();
    std::string stamp;
    for (const char c : time) {
        if (c != '-' && c != ':') stamp += c;
    }
    return stamp;
}

}  // namespace

RecordLock::RecordLock() {
    // Holders hold it for milliseconds: a switch's WinINet calls at most.
    const ULONGLONG deadline = GetTickCount64() + 10000;
    for (;;) {
        file_.reset(ValidOrNull(CreateFileW(kRecordLockFile, GENERIC_READ, 0, nullptr, OPEN_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr)));
        if (file_) return;
        const DWORD code = GetLastError();
        if (code != ERROR_SHARING_VIOLATION || GetTickCount64() > deadline) {
            problem_ = code == ERROR_SHARING_VIOLATION ? "the record is held by another process" : ErrorLine(code);
            return;
        }
        Sleep(5);
    }
}

RecordRead ReadMachineRecord() {
    UniqueHandle file;
    Retried([&] {
        file.reset(ValidOrNull(CreateFileW(kMachineRecord, GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
        return static_cast<bool>(file);
    });
    if (!file) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return {};
        return Unreadable(ErrorLine(code));
    }
    std::string text;
    char chunk[4096];
    DWORD done = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &done, nullptr) && done > 0) {
        text.append(chunk, done);
        if (text.size() > kLargestRecord) return Unreadable("larger than any record");
    }
    RecordRead read = ParseRecord(text);
    if (read.state != RecordState::Read) return read;
    if (!read.record.folder) return Unreadable("it names no folder");
    if (const std::string other = OtherFolder(*read.record.folder); !other.empty()) return Unreadable(other);
    return read;
}

std::string WriteMachineRecord(ChangeRecord record) {
    if (record.Empty()) {
        if (Retried([] { return DeleteFileW(kMachineRecord) || GetLastError() == ERROR_FILE_NOT_FOUND; })) return {};
        return ErrorLine(GetLastError());
    }
    std::string error;
    const std::optional<FileId> folder = IdentifyFile(L".", error);
    if (!folder) return "the client's folder cannot be identified: " + error;
    record.folder = RecordFolder{CurrentFolder(), folder->volume, folder->index};
    const std::string text = FormatRecord(record);
    // Aside under a name of this thread's own, so that a crash at any
    // instant leaves the old record or the new one, never half of one.
    const std::wstring aside = std::wstring(kMachineRecord) + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                               std::to_wstring(GetCurrentThreadId()) + L".new";
    DWORD failed = 0;
    {
        const UniqueHandle file(ValidOrNull(CreateFileW(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                        FILE_ATTRIBUTE_NORMAL, nullptr)));
        DWORD written = 0;
        if (!file || !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size() || !FlushFileBuffers(file.get())) {
            failed = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
        }
    }
    if (failed != 0) {
        DeleteFileW(aside.c_str());  // closed: its handle shared no deletion
        return ErrorLine(failed);
    }
    if (!Retried([&] {
            return MoveFileExW(aside.c_str(), kMachineRecord, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        })) {
        const std::string reason = ErrorLine(GetLastError());
        DeleteFileW(aside.c_str());
        return reason;
    }
    return {};
}

RecordRead ReadUserRecord() {
    std::string bytes(4096, '\0');
    LSTATUS status = ERROR_MORE_DATA;
    while (status == ERROR_MORE_DATA && bytes.size() <= kLargestRecord) {
        DWORD size = static_cast<DWORD>(bytes.size());
        status = RegGetValueW(HKEY_CURRENT_USER, kUserRecordKey, kUserRecordValue, RRF_RT_REG_BINARY, nullptr,
                              bytes.data(), &size);
        bytes.resize(status == ERROR_MORE_DATA ? size : status == ERROR_SUCCESS ? size : 0);
    }
    if (status == ERROR_FILE_NOT_FOUND) return {};
    if (status != ERROR_SUCCESS) return Unreadable(ErrorLine(status));
    return ParseRecord(bytes);
}

std::string WriteUserRecord(const ChangeRecord& record) {
    if (record.Empty()) {
        const LSTATUS status = RegDeleteKeyValueW(HKEY_CURRENT_USER, kUserRecordKey, kUserRecordValue);
        return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? std::string() : ErrorLine(status);
    }
    // One value is replaced whole, never half of it.
    const std::string text = FormatRecord(record);
    const LSTATUS status = RegSetKeyValueW(HKEY_CURRENT_USER, kUserRecordKey, kUserRecordValue, REG_BINARY,
                                           text.data(), static_cast<DWORD>(text.size()));
    return status == ERROR_SUCCESS ? std::string() : ErrorLine(status);
}

std::string SetAsideMachineRecord(std::string& problem) {
    const std::wstring aside = L"lib_win\\talirvpn_record.unreadable." + FromUtf8(Stamp()) + L".txt";
    if (Retried([&] { return MoveFileExW(kMachineRecord, aside.c_str(), MOVEFILE_WRITE_THROUGH) != 0; })) {
        return Utf8(aside);
    }
    problem = ErrorLine(GetLastError());
    return {};
}

std::string SetAsideUserRecord(std::string& problem) {
    std::vector<char> bytes(kLargestRecord);
    DWORD size = static_cast<DWORD>(bytes.size()), type = 0;
    const std::wstring aside = std::wstring(kUserRecordValue) + L".unreadable." + FromUtf8(Stamp());
    LSTATUS status =
        RegGetValueW(HKEY_CURRENT_USER, kUserRecordKey, kUserRecordValue, RRF_RT_ANY, &type, bytes.data(), &size);
    if (status == ERROR_SUCCESS) {
        status = RegSetKeyValueW(HKEY_CURRENT_USER, kUserRecordKey, aside.c_str(), type, bytes.data(), size);
    }
    if (status == ERROR_SUCCESS) status = RegDeleteKeyValueW(HKEY_CURRENT_USER, kUserRecordKey, kUserRecordValue);
    if (status == ERROR_SUCCESS) return "HKCU\\" + Utf8(kUserRecordKey) + "\\" + Utf8(aside);
    problem = ErrorLine(status);
    return {};
}

}  // namespace talir

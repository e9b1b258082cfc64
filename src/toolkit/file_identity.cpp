#include "toolkit/file_identity.h"

#include "toolkit/error_text.h"
#include "toolkit/unique.h"

namespace talir {

std::optional<FileId> IdentifyFile(const std::wstring& path, std::string& error) {
    // Backup semantics: a folder opens too.
    const UniqueHandle file(ValidOrNull(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file || !GetFileInformationByHandle(file.get(), &information)) {
        error = ErrorLine(GetLastError());
        return std::nullopt;
    }
    return FileId{information.dwVolumeSerialNumber,
                  (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

}  // namespace talir

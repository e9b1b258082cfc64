// What makes a file or folder itself, whatever the path it is reached by
// (another drive letter, a junction, a short name): its volume and its
// index there.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace talir {

struct FileId {
    DWORD volume = 0;
    ULONGLONG index = 0;
    bool operator==(const FileId& other) const { return volume == other.volume && index == other.index; }
};

// Opened for its attributes only, sharing everything: a running program's
// image opens so, and nothing is asked that a reader lacks. Empty with the
// system's text in error.
std::optional<FileId> IdentifyFile(const std::wstring& path, std::string& error);

}  // namespace talir

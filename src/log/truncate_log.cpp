#include "log/truncate_log.h"

#include "toolkit/unique.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace talir {
namespace {

void ReportCode(const char* what, DWORD code) {
    std::fprintf(stderr, "%s%lu\n", what, static_cast<unsigned long>(code));
    std::fflush(stderr);
}

// Reads or writes exactly size bytes; ReadFile/WriteFile may do less per call.
template <typename Transfer, typename Byte>
bool TransferAll(Transfer transfer, HANDLE file, Byte* bytes, long long size) {
    while (size > 0) {
        const DWORD chunk = size > (1 << 20) ? (1 << 20) : static_cast<DWORD>(size);
        DWORD done = 0;
        if (!transfer(file, bytes, chunk, &done, nullptr)) return false;
        if (done == 0) {
            SetLastError(ERROR_HANDLE_EOF);
            return false;
        }
        bytes += done;
        size -= done;
    }
    return true;
}

}  // namespace

void TruncateLogFile(const char* path) {
    UniqueHandle file(ValidOrNull(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!file) {
        ReportCode("Couldn't open the file! Error: ", GetLastError());
        return;
    }

    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        std::fputs("Couldn't get the file size!\n", stderr);
        std::fflush(stderr);
        return;
    }
    if (size.QuadPart <= kLogLimit) {
        // "bytes" in the 1251 code page, as the client has always printed it.
        std::fputs("The file is already less than or equal to 2097152 \xE1\xE0\xE9\xF2\n", stdout);
        std::fflush(stdout);
        return;
    }

    // The newest lines are at the end: move the last kLogLimit bytes to the
    // front, then cut. Everything is read before anything is written, so a
    // failed read leaves the file as it was.
    std::vector<char> tail(static_cast<std::size_t>(kLogLimit));
    LARGE_INTEGER offset{};
    offset.QuadPart = -kLogLimit;
    if (!SetFilePointerEx(file.get(), offset, nullptr, FILE_END)) {
        ReportCode("Couldn't move the pointer! Error: ", GetLastError());
        return;
    }
    if (!TransferAll(&ReadFile, file.get(), tail.data(), kLogLimit)) {
        ReportCode("Couldn't crop the file! Error: ", GetLastError());
        return;
    }
    offset.QuadPart = 0;
    if (!SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN)) {
        ReportCode("Couldn't move the pointer! Error: ", GetLastError());
        return;
    }
    if (!TransferAll(&WriteFile, file.get(), tail.data(), kLogLimit) || !SetEndOfFile(file.get())) {
        ReportCode("Couldn't crop the file! Error: ", GetLastError());
        return;
    }
    file.reset();
    std::fputs("The file is truncated to 2097152 bytes\n", stdout);
    std::fflush(stdout);
}

}  // namespace talir

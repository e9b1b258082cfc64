#include "toolkit/change_record.h"

#include "toolkit/error_text.h"
#include "toolkit/unique.h"
#include "toolkit/utf8.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace talir {

const char kRecordPath[] = "lib_win/talirvpn_record.txt";

namespace {

const char kFirstLine[] = "talirvpn record 1";
const wchar_t kWidePath[] = L"lib_win\\talirvpn_record.txt";

SRWLOCK recordLock = SRWLOCK_INIT;

// A field is one word: bytes that are blank, control, non-ASCII or '%' as
// %XX; an empty text as "-".
std::string Field(const std::string& text) {
    if (text.empty()) return "-";
    if (text == "-") return "%2D";
    std::string field;
    for (const unsigned char byte : text) {
        if (byte <= 0x20 || byte >= 0x7F || byte == '%') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            field += escaped;
        } else {
            field += static_cast<char>(byte);
        }
    }
    return field;
}

std::string Field(const std::wstring& text) {
    return Field(Utf8(text));
}

bool Hex(char c, int& value) {
    if (c >= '0' && c <= '9') value = c - '0';
    else if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
    else return false;
    return true;
}

bool Unfield(const std::string& field, std::string& text) {
    text.clear();
    if (field == "-") return true;
    for (size_t at = 0; at < field.size(); ++at) {
        if (field[at] != '%') {
            text += field[at];
            continue;
        }
        int high = 0, low = 0;
        if (at + 2 >= field.size() || !Hex(field[at + 1], high) || !Hex(field[at + 2], low)) return false;
        text += static_cast<char>(high * 16 + low);
        at += 2;
    }
    return true;
}

bool Unfield(const std::string& field, std::wstring& text) {
    std::string bytes;
    if (!Unfield(field, bytes)) return false;
    text = FromUtf8(bytes);
    return text.empty() == bytes.empty();
}

// Decimal digits only, within 64 bits.
bool Number(const std::string& field, unsigned long long& value) {
    if (field.empty() || field.size() > 20 || field.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    value = std::strtoull(field.c_str(), nullptr, 10);
    return errno == 0;
}

bool Number32(const std::string& field, DWORD& value) {
    unsigned long long number = 0;
    if (!Number(field, number) || number > 0xFFFFFFFFull) return false;
    value = static_cast<DWORD>(number);
    return true;
}

std::string HexBytes(const std::string& bytes) {
    std::string hex;
    for (const unsigned char byte : bytes) {
        hex += "0123456789ABCDEF"[byte >> 4];
        hex += "0123456789ABCDEF"[byte & 15];
    }
    return hex.empty() ? "-" : hex;
}

bool Bytes(const std::string& hex, std::string& bytes) {
    bytes.clear();
    if (hex == "-") return true;
    if (hex.size() % 2 != 0) return false;
    for (size_t at = 0; at < hex.size(); at += 2) {
        int high = 0, low = 0;
        if (!Hex(hex[at], high) || !Hex(hex[at + 1], low)) return false;
        bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

// Four decimal numbers with dots, as inet_ntop writes them: nothing else
// may reach a route command line.
bool Dotted(const std::string& text) {
    IN_ADDR address{};
    char canonical[INET_ADDRSTRLEN] = {};
    return text.size() < INET_ADDRSTRLEN && inet_pton(AF_INET, text.c_str(), &address) == 1 &&
           inet_ntop(AF_INET, &address, canonical, sizeof canonical) != nullptr && text == canonical;
}

// The words of a line, split at blanks. (No string streams: they would
// bring the runtime's whole locale machinery into the DLL.)
std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find(separator, at);
        if (end == std::string::npos) end = text.size();
        if (end > at || separator == '\n') parts.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

std::wstring CurrentFolder() {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring folder(size, L'\0');
    folder.resize(GetCurrentDirectoryW(size, folder.data()));
    return folder;
}

RecordRead Unreadable(const std::string& problem) {
    RecordRead read;
    read.state = RecordState::Unreadable;
    read.problem = problem;
    return read;
}

}  // namespace

bool SameSettings(const ConnectionProxy& a, const ConnectionProxy& b) {
    // PROXY_TYPE_DIRECT (1) only says what to do when nothing else answers;
    // some versions report it beside a proxy, some not.
    return (a.flags | 1) == (b.flags | 1) && a.server == b.server && a.bypass == b.bypass && a.script == b.script;
}

HostProcess ThisProcess() {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return {GetCurrentProcessId(),
            (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime};
}

std::optional<bool> HostRuns(const HostProcess& host) {
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, host.id));
    if (!process) {
        if (GetLastError() == ERROR_INVALID_PARAMETER) return false;  // no such process
        return std::nullopt;
    }
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return std::nullopt;
    if (((static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime) != host.created) {
        return false;
    }
    // Ended, but still held open by someone.
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

std::string RecordTime() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return text;
}

std::string FormatRecord(const ChangeRecord& record) {
    std::string text = std::string(kFirstLine) + "\n";
    text += "host " + std::to_string(record.host.id) + " " + std::to_string(record.host.created) + "\n";
    text += "folder " + Field(record.folder) + "\n";
    if (record.proxy) {
        const ProxyChange& proxy = *record.proxy;
        text += "proxy " + Field(proxy.server) + " " + Field(proxy.when) + "\n";
        for (const RecordedValue& value : proxy.values) {
            text += "value " + Field(value.name) + " " +
                    (value.present ? std::to_string(value.type) + " " + HexBytes(value.data) : std::string("absent")) +
                    "\n";
        }
        for (const ConnectionProxy& connection : proxy.connections) {
            text += "connection " + Field(connection.name) + " " + std::to_string(connection.flags) + " " +
                    Field(connection.server) + " " + Field(connection.bypass) + " " + Field(connection.script) + "\n";
        }
    }
    for (const RecordedRoute& route : record.routes) {
        text += "route " + route.destination + " " + route.mask + " " + route.nextHop + " " +
                std::to_string(route.interfaceIndex) + " " + Field(route.when) + "\n";
    }
    return text + "end\n";
}

RecordRead ParseRecord(const std::string& text, const std::wstring& folder) {
    std::vector<std::string> lines = Split(text, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();  // the last line's end
    if (lines.empty() || lines.front() != kFirstLine) return Unreadable("not a record of this version");
    RecordRead read;
    ChangeRecord& record = read.record;
    bool host = false, ended = false;
    for (size_t number = 1; number < lines.size(); ++number) {
        const std::string& line = lines[number];
        if (ended) return Unreadable("lines after its end");
        const std::vector<std::string> word = Split(line, ' ');
        const std::string kind = word.empty() ? "" : word[0];
        bool ok = false;
        if (kind == "end" && word.size() == 1) {
            ended = ok = true;
        } else if (kind == "host" && word.size() == 3 && !host) {
            unsigned long long id = 0;
            ok = host = Number(word[1], id) && id <= 0xFFFFFFFFull && Number(word[2], record.host.created);
            record.host.id = static_cast<unsigned long>(id);
        } else if (kind == "folder" && word.size() == 2) {
            ok = Unfield(word[1], record.folder);
        } else if (kind == "proxy" && word.size() == 3 && !record.proxy) {
            record.proxy.emplace();
            ok = Unfield(word[1], record.proxy->server) && Unfield(word[2], record.proxy->when);
        } else if (kind == "value" && record.proxy && (word.size() == 3 || word.size() == 4)) {
            RecordedValue value;
            value.present = word.size() == 4;
            ok = Unfield(word[1], value.name) &&
                 (value.present ? Number32(word[2], value.type) && Bytes(word[3], value.data) : word[2] == "absent");
            record.proxy->values.push_back(value);
        } else if (kind == "connection" && record.proxy && word.size() == 6) {
            ConnectionProxy connection;
            ok = Unfield(word[1], connection.name) && Number32(word[2], connection.flags) &&
                 Unfield(word[3], connection.server) && Unfield(word[4], connection.bypass) &&
                 Unfield(word[5], connection.script);
            record.proxy->connections.push_back(connection);
        } else if (kind == "route" && word.size() == 6) {
            RecordedRoute route{word[1], word[2], word[3]};
            DWORD index = 0;
            ok = Dotted(route.destination) && Dotted(route.mask) && Dotted(route.nextHop) && Number32(word[4], index) &&
                 Unfield(word[5], route.when);
            route.interfaceIndex = index;
            record.routes.push_back(route);
        }
        if (!ok) return Unreadable("a line it cannot read: " + line.substr(0, 80));
    }
    if (!ended || !host) return Unreadable("torn: it has no end");
    if (CompareStringOrdinal(record.folder.c_str(), -1, folder.c_str(), -1, TRUE) != CSTR_EQUAL) {
        return Unreadable("made for another folder, " + Utf8(record.folder));
    }
    read.state = RecordState::Read;
    return read;
}

RecordAccess::RecordAccess() noexcept : lock_(recordLock) {}

RecordRead RecordAccess::Read() const {
    const UniqueHandle file(ValidOrNull(CreateFileW(kWidePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!file) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return {};
        return Unreadable(ErrorText(code));
    }
    std::string text;
    char chunk[4096];
    DWORD done = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &done, nullptr) && done > 0) {
        text.append(chunk, done);
        if (text.size() > (1 << 20)) return Unreadable("larger than any record");
    }
    return ParseRecord(text, CurrentFolder());
}

std::string RecordAccess::Write(const ChangeRecord& record) const {
    if (!record.proxy && record.routes.empty()) {
        if (DeleteFileW(kWidePath) || GetLastError() == ERROR_FILE_NOT_FOUND) return {};
        return ErrorText(GetLastError());
    }
    // Aside under a name of this thread's own: another process of this
    // folder may be writing its record at the same time.
    const std::wstring aside = std::wstring(kWidePath) + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                               std::to_wstring(GetCurrentThreadId()) + L".new";
    ChangeRecord stamped = record;
    stamped.folder = CurrentFolder();
    const std::string text = FormatRecord(stamped);
    {
        const UniqueHandle file(ValidOrNull(CreateFileW(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr)));
        DWORD written = 0;
        if (!file || !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size() || !FlushFileBuffers(file.get())) {
            const std::string reason = ErrorText(GetLastError());
            DeleteFileW(aside.c_str());
            return reason;
        }
    }
    if (!MoveFileExW(aside.c_str(), kWidePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const std::string reason = ErrorText(GetLastError());
        DeleteFileW(aside.c_str());
        return reason;
    }
    return {};
}

}  // namespace talir

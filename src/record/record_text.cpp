#include "record/record_text.h"

#include "toolkit/utf8.h"

#include <ws2tcpip.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace talir {

namespace {

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

RecordRead Unreadable(const std::string& problem) {
    RecordRead read;
    read.state = RecordState::Unreadable;
    read.problem = problem;
    return read;
}

std::string OwnerFields(const Owner& owner) {
    return std::to_string(owner.id) + " " + std::to_string(owner.created);
}

bool ReadOwner(const std::string& id, const std::string& created, Owner& owner) {
    unsigned long long number = 0;
    if (!Number(id, number) || number > 0xFFFFFFFFull || !Number(created, owner.created)) return false;
    owner.id = static_cast<unsigned long>(number);
    return true;
}

std::string HexNumber(unsigned long long number) {
    char text[24];
    std::snprintf(text, sizeof text, "%llX", number);
    return text;
}

bool ReadHexNumber(const std::string& field, unsigned long long& number) {
    int digit = 0;
    number = 0;
    if (field.empty() || field.size() > 16) return false;
    for (const char c : field) {
        if (!Hex(c, digit)) return false;
        number = number * 16 + static_cast<unsigned>(digit);
    }
    return true;
}

// "talirvpn record WRITER [OLDEST-READER]": a version-1 record names only
// its writer.
bool ReadFirstLine(const std::string& line, unsigned& writer, unsigned& oldestReader) {
    const std::vector<std::string> word = Split(line, ' ');
    DWORD numbers[2] = {0, 0};
    if (word.size() < 3 || word.size() > 4 || word[0] != "talirvpn" || word[1] != "record" ||
        !Number32(word[2], numbers[0]) || (word.size() == 4 && !Number32(word[3], numbers[1]))) {
        return false;
    }
    writer = numbers[0];
    oldestReader = word.size() == 4 ? numbers[1] : writer;
    return writer >= 1 && oldestReader >= 1;
}

}  // namespace

bool operator==(const Owner& a, const Owner& b) {
    return a.id == b.id && a.created == b.created && a.marked == b.marked;
}

bool SameSettings(const ConnectionProxy& a, const ConnectionProxy& b) {
    // PROXY_TYPE_DIRECT (1) only says what to do when nothing else answers;
    // some versions report it beside a proxy, some not.
    return (a.flags | 1) == (b.flags | 1) && a.server == b.server && a.bypass == b.bypass && a.script == b.script;
}

bool SameRoute(const RecordedRoute& a, const RecordedRoute& b) {
    return a.destination == b.destination && a.mask == b.mask && a.nextHop == b.nextHop &&
           a.interfaceIndex == b.interfaceIndex;
}

bool RowIsRoute(const MIB_IPFORWARDROW& row, const RecordedRoute& route) {
    IN_ADDR destination{}, mask{}, nextHop{};
    inet_pton(AF_INET, route.destination.c_str(), &destination);
    inet_pton(AF_INET, route.mask.c_str(), &mask);
    inet_pton(AF_INET, route.nextHop.c_str(), &nextHop);
    return row.dwForwardDest == destination.S_un.S_addr && row.dwForwardMask == mask.S_un.S_addr &&
           row.dwForwardIfIndex == route.interfaceIndex &&
           (row.dwForwardNextHop == nextHop.S_un.S_addr || row.dwForwardNextHop == 0);
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
    std::string text = "talirvpn record " + std::to_string(kRecordVersion) + " " +
                       std::to_string(kOldestRecordReader) + "\n";
    if (record.folder) {
        const RecordFolder& folder = *record.folder;
        text += "folder " + Field(folder.spelled);
        if (folder.volume && folder.index) text += " " + HexNumber(*folder.volume) + " " + HexNumber(*folder.index);
        text += "\n";
    }
    if (record.proxy) {
        const ProxyChange& proxy = *record.proxy;
        text += "proxy " + Field(proxy.server) + " " + Field(proxy.when) + " " + OwnerFields(proxy.owner) + "\n";
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
                std::to_string(route.interfaceIndex) + " " + Field(route.when) + " " + OwnerFields(route.owner) + "\n";
    }
    return text + "end\n";
}

RecordRead ParseRecord(const std::string& text) {
    std::vector<std::string> lines = Split(text, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();  // the last line's end
    for (std::string& line : lines) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // edited on Windows
    }
    unsigned writer = 0, oldestReader = 0;
    if (lines.empty() || !ReadFirstLine(lines.front(), writer, oldestReader)) return Unreadable("not a record");
    if (oldestReader > kRecordVersion) {
        return Unreadable("written by version " + std::to_string(writer) + ", for readers of version " +
                          std::to_string(oldestReader) + " or later");
    }
    // Version 1 named one host for everything; later versions name each
    // change's, and may add words at the end of a line for later readers.
    const bool one = writer == 1, later = writer > kRecordVersion;
    const auto fits = [&](size_t words, size_t wanted) { return words == wanted || (later && words > wanted); };
    RecordRead read;
    ChangeRecord& record = read.record;
    std::optional<Owner> host;
    bool ended = false;
    for (size_t number = 1; number < lines.size(); ++number) {
        const std::string& line = lines[number];
        if (ended) return Unreadable("lines after its end");
        const std::vector<std::string> word = Split(line, ' ');
        const std::string kind = word.empty() ? "" : word[0];
        bool ok = true;
        if (kind == "end" && fits(word.size(), 1)) {
            ended = true;
        } else if (kind == "host" && one && word.size() == 3 && !host) {
            host.emplace();
            host->marked = false;
            ok = ReadOwner(word[1], word[2], *host);
        } else if (kind == "folder" && !record.folder && (one ? word.size() == 2 : fits(word.size(), 4))) {
            RecordFolder& folder = record.folder.emplace();
            unsigned long long volume = 0, index = 0;
            ok = Unfield(word[1], folder.spelled);
            if (!one) {
                ok = ok && ReadHexNumber(word[2], volume) && volume <= 0xFFFFFFFFull && ReadHexNumber(word[3], index);
                folder.volume = static_cast<unsigned long>(volume);
                folder.index = index;
            }
        } else if (kind == "proxy" && !record.proxy && (one ? word.size() == 3 : fits(word.size(), 5))) {
            ProxyChange& proxy = record.proxy.emplace();
            ok = Unfield(word[1], proxy.server) && Unfield(word[2], proxy.when) &&
                 (one ? host.has_value() : ReadOwner(word[3], word[4], proxy.owner));
            if (one && host) proxy.owner = *host;
        } else if (kind == "value" && record.proxy && (word.size() == 3 || fits(word.size(), 4))) {
            RecordedValue value;
            value.present = word.size() >= 4;
            ok = Unfield(word[1], value.name) &&
                 (value.present ? Number32(word[2], value.type) && Bytes(word[3], value.data) : word[2] == "absent");
            record.proxy->values.push_back(value);
        } else if (kind == "connection" && record.proxy && fits(word.size(), 6)) {
            ConnectionProxy connection;
            ok = Unfield(word[1], connection.name) && Number32(word[2], connection.flags) &&
                 Unfield(word[3], connection.server) && Unfield(word[4], connection.bypass) &&
                 Unfield(word[5], connection.script);
            record.proxy->connections.push_back(connection);
        } else if (kind == "route" && (one ? word.size() == 6 : fits(word.size(), 8))) {
            RecordedRoute route{word[1], word[2], word[3]};
            DWORD index = 0;
            ok = Dotted(route.destination) && Dotted(route.mask) && Dotted(route.nextHop) && Number32(word[4], index) &&
                 Unfield(word[5], route.when) && (one ? host.has_value() : ReadOwner(word[6], word[7], route.owner));
            if (one && host) route.owner = *host;
            route.interfaceIndex = index;
            record.routes.push_back(route);
        } else if (!later || kind == "end" || kind == "folder" || kind == "proxy" || kind == "value" ||
                   kind == "connection" || kind == "route") {
            ok = false;  // a later version's own lines are passed over, ours must be whole
        }
        if (!ok) return Unreadable("a line it cannot read: " + line.substr(0, 80));
    }
    if (!ended) return Unreadable("torn: it has no end");
    read.state = RecordState::Read;
    return read;
}

}  // namespace talir

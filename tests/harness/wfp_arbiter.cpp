#include "wfp_arbiter.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <vector>

namespace talir_test {
namespace {

// Microsoft's documented keys, written here apart from the library's own.
const std::map<std::string, std::string> kLayers = {{"out4", "c38d57d1-05a7-4c33-904f-7fbceee60e82"},
                                                    {"out6", "4a72393b-319f-44bc-84c3-ba54dcb3b6b4"},
                                                    {"in6", "a3b42c97-9f04-4672-b87e-cee9c483257f"}};
const std::map<std::string, std::string> kFields = {{"app", "d78e1e87-8644-4ea5-9437-d809ecefc971"},
                                                    {"if", "4cd62a49-59c3-4969-b7f3-bda5d32890a4"},
                                                    {"flags", "632ce23b-5167-435c-86d7-e903684aa80c"},
                                                    {"proto", "3971ef2b-623e-4f9a-8cb1-6e79b806b9a7"},
                                                    {"lport", "0c1ba1af-5765-453f-af22-a8f791ac775b"},
                                                    {"rport", "c35a604d-d22b-4e1a-91b4-68f674ee674b"}};
const unsigned long kBlock = 0x1001, kPermit = 0x1002, kClearActionRight = 0x8;
const int kMatchEqual = 0, kMatchFlagsAllSet = 6;

struct Condition {
    std::string field, value;
    int match;
};

struct Filter {
    std::string layer, sublayer;
    unsigned long long weight;
    unsigned long action, flags;
    std::vector<Condition> conditions;
};

// As the stand-in's FwpmGetAppIdFromFileName0 makes it: the path in lower
// case, UTF-16 with its NUL, in hex.
std::string AppId(const std::string& path) {
    std::wstring wide(path.begin(), path.end());
    CharLowerBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    std::string hex;
    char byte[3];
    for (size_t i = 0; i <= wide.size(); ++i) {
        const wchar_t c = i < wide.size() ? wide[i] : 0;
        std::snprintf(byte, sizeof byte, "%02x", c & 0xff), hex += byte;
        std::snprintf(byte, sizeof byte, "%02x", (c >> 8) & 0xff), hex += byte;
    }
    return hex;
}

bool Holds(const Condition& condition, const std::map<std::string, std::string>& fields) {
    const auto found = fields.find(condition.field);
    const std::string value = found != fields.end() ? found->second : "0";
    if (condition.match == kMatchEqual) return value == condition.value;
    const unsigned long long has = std::stoull(value), wanted = std::stoull(condition.value);
    return (has & wanted) == wanted;
}

bool Matches(const Filter& filter, const std::map<std::string, std::string>& fields) {
    std::map<std::string, bool> byField;
    for (const Condition& condition : filter.conditions) byField[condition.field] |= Holds(condition, fields);
    return std::all_of(byField.begin(), byField.end(), [](const auto& field) { return field.second; });
}

}  // namespace

std::string Decide(const std::string& state, const std::string& packet) {
    std::istringstream words(packet);
    std::string layerName, word;
    words >> layerName;
    if (!kLayers.count(layerName)) return "no layer " + layerName;
    const std::string layer = kLayers.at(layerName);
    std::map<std::string, std::string> fields = {{kFields.at("app"), AppId("C:\\windows\\system32\\svchost.exe")}};
    while (words >> word) {
        const std::string name = word.substr(0, word.find('=')), value = word.substr(word.find('=') + 1);
        if (name == "loopback") {
            fields[kFields.at("flags")] = "1";
        } else if (name == "app") {
            fields[kFields.at(name)] = AppId(value);
        } else if (name == "if") {
            NET_LUID luid{};
            ConvertInterfaceIndexToLuid(std::stoul(value), &luid);
            fields[kFields.at(name)] = std::to_string(luid.Value);
        } else if (kFields.count(name)) {
            fields[kFields.at(name)] = value;
        } else {
            return "no field " + name;
        }
    }

    std::vector<std::pair<unsigned long, std::string>> sublayers;
    std::vector<Filter> filters;
    std::istringstream lines(state);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream parts(line);
        std::string kind, pid, created, dynamic, session, key, rest;
        parts >> kind >> pid >> created >> dynamic >> session >> key;
        if (kind == "S") {
            unsigned long weight = 0;
            parts >> rest;
            std::sscanf(rest.c_str(), "weight=%lu", &weight);
            sublayers.push_back({weight, key});
            continue;
        }
        Filter filter{key, "", 0, 0, 0, {}};
        unsigned long count = 0;
        parts >> filter.sublayer;
        parts >> rest, std::sscanf(rest.c_str(), "weight=%llu", &filter.weight);
        parts >> rest, std::sscanf(rest.c_str(), "action=%lu", &filter.action);
        parts >> rest, std::sscanf(rest.c_str(), "flags=%lu", &filter.flags);
        parts >> rest, std::sscanf(rest.c_str(), "conditions=%lu", &count);
        for (unsigned long i = 0; i < count && parts >> rest; ++i) {
            char field[40] = {}, value[1200] = {};
            int match = -1, type = 0;
            std::sscanf(rest.c_str(), "%39[^,],%d,%d,%1199s", field, &match, &type, value);
            if (match != kMatchEqual && match != kMatchFlagsAllSet) return "match type " + std::to_string(match);
            filter.conditions.push_back({field, value, match});
        }
        if (filter.layer == layer) filters.push_back(filter);
    }

    std::sort(sublayers.rbegin(), sublayers.rend());
    std::stable_sort(filters.begin(), filters.end(),
                     [](const Filter& a, const Filter& b) { return a.weight > b.weight; });
    for (const auto& sublayer : sublayers) {
        for (const Filter& filter : filters) {
            if (filter.sublayer != sublayer.second || !Matches(filter, fields)) continue;
            if (filter.action == kBlock) return "block";
            if (filter.action != kPermit) return "action " + std::to_string(filter.action);
            if (filter.flags & kClearActionRight) return "permit";
            break;  // a soft permit: the next sublayer may still block
        }
    }
    return "permit";
}

}  // namespace talir_test

// Runs the cases of tests/cases/*.cases, each a test of its own named
// FILE.CASE, against the real DLL. A case is a list of steps, one a line:
//   net STEPS              the network, built by net.sh: {NAME}, {NAME.gw}
//   put FILE [FROM]        the stand-in program (or FROM of the test
//                          programs' folder) as FILE (a DLL: the stand-in
//                          firewall, which records that it was loaded);
//                          the tools' stand-ins are always in the system
//                          folder, and one put elsewhere marks what it
//                          receives as planted
//   set NAME [VALUE]       an environment variable (no value: removed)
//   write FILE TEXT        a file's bytes
//   pattern FILE SIZE      SIZE bytes that depend on their offset
//   remove PATH            a file or an empty folder deleted; outside the
//                          case's folder, moved aside until the case ends
//   cd FOLDER              the current folder, made when missing; the
//                          case's own again when the steps end
//   link NAME FOLDER       NAME in the case's folder leads to FOLDER, as a
//                          junction would
//   start NAME [SDDL] FILE FILE started as a process that inherits this
//                          one's inheritable handles, as hosts' children
//                          often do, with SDDL as its security: {NAME} is
//                          its id
//   proxy ON SERVER        the user's ProxyEnable and ProxyServer (-: none)
//   proxied ON SERVER      ... are these, as a DWORD and a REG_SZ (-: absent)
//   firewall [RULES]       the stand-in firewall, with these rules
//   fail CALL HRESULT ERR  the stand-in firewall's CALL fails so
//   wininet                the stand-in wininet.dll of the system folder: it
//                          records the options it is given (connections.txt
//                          holds the connections' options, see the stand-in)
//   policy                 the per-machine proxy policy, until the case ends
//   userrecord TEXT        the user's record of the proxy settings (-: none)
//   userkept LINES         ... holds these "connection" and "value" lines
//                          (-: there is none)
//   user2 SCRIPT           talirvpn-cli as another user of this machine, in
//                          this folder: a Wine prefix of its own, its own
//                          hive and connections (connections-2.txt)
//   fault FUNCTION [ARG]   the DLL's import of FUNCTION replaced (see kFaults;
//                          regfail is the older name of the registry faults)
//   EXPORT [ARG] [= RESULT]  a call ((null): a null pointer); a text that
//                          comes again must come as the same constant
//   cli SCRIPT             talirvpn-cli, one call per line of script
//   host SCRIPT            the same, as a host whose output nobody reads:
//                          {host} is the process that the record names
//   run [PROGRAM] ARGS = EXIT  talirvpn-cli (or a copy, PROGRAM.exe) with
//                          these arguments, and its exit code
//   mends ARGS = EXIT      the same, keeping only the "mend" lines it prints
//   wait FILE              until FILE exists (10 s at most)
//   listen PORT            a TCP listener on 127.0.0.1:PORT ([::]:PORT: on
//                          every address, IPv4 too)
//   winhttp PROXY          the WinHTTP proxy, direct again when the case ends
//   cores N                N cores have started: {core0}...
//   ended PID, running PID whether the process ends within 10 s
//   kept FILE SIZE FROM    FILE holds the pattern of SIZE from FROM on
//   file FILE TEXT         FILE's bytes
//   kernel ROUTES          the namespace's routes but the interfaces' own, as
//                          ip lists them
//   loaded DLL yes|no      whether this process has loaded DLL
//   filters N              the stand-in filtering engine holds N filters now
//   packet PACKET = VERDICT  the engine's decision over them (wfp_arbiter.h)
// and what must hold when the case ends, one line or more of each: log
// (the library's log), ran (what the tools received), out (what cli and run
// printed), calls and rules (the firewall's, after each pass; when given),
// options (what the stand-in wininet.dll received), engine (the calls that
// the stand-in fwpuclnt.dll received in this process).
// " | " separates lines; \n, \r, \t and \xNN stand for their bytes in
// texts. {text:N} is the system's text for error N ({brief:N}: without its
// line end), {pid} this process's id, {folderid} the case folder's volume
// and index as the record writes them, {folder} the case's folder ({here}:
// without its last backslash; {json folder}: as JSON writes it), {system}
// system32, {bin} the test programs' folder, {size:FILE} the size of a file
// of the case.
// A line that ends in a backslash goes on in the next. A case that names {rule}
// runs once for each firewall rule.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <sddl.h>
#include <winhttp.h>

#include "talirvpn.h"
#include "test_support.h"
#include "wfp_arbiter.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>

using namespace talir_test;

namespace {

const char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const char kPolicy[] = "Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

using Constant = const char* (*)(const char*);
const std::map<std::string, Constant> kConstantExports = {
    {"CreatePingRoute", CreatePingRoute},
    {"DeletePingRoute", DeletePingRoute},
    {"RunSingBox", [](const char*) { return RunSingBox(); }},
    {"CheckFirewallRule", [](const char*) { return CheckFirewallRule(); }},
    {"CheckXrayFirewallRule", [](const char*) { return CheckXrayFirewallRule(); }},
    {"AddFirewallRule", AddFirewallRule},
    {"AddXrayFirewallRule", AddXrayFirewallRule},
    {"DeleteFirewallRule", [](const char*) { return DeleteFirewallRule(); }},
    {"DeleteXrayFirewallRule", [](const char*) { return DeleteXrayFirewallRule(); }},
    {"SetSystemProxy",
     [](const char* port) {
         int32_t number = port ? std::atoi(port) : 0;
         return SetSystemProxy(port ? &number : nullptr);
     }},
};
const std::map<std::string, std::string (*)(const char*)> kOtherExports = {
    {"GetSingInterface", [](const char*) { return Take(GetSingInterface()); }},
    {"RedirectToTun", [](const char* index) { return Take(RedirectToTun(index)); }},
    {"RestoreNetwork", [](const char*) { return Take(RestoreNetwork()); }},
    {"StartLeakGuard", [](const char*) { return Take(StartLeakGuard()); }},
    {"StopLeakGuard", [](const char*) { return StopLeakGuard(), std::string(); }},
    {"AssignToJobObject",
     [](const char* id) { return Take(AssignToJobObject(static_cast<uint32_t>(std::strtoul(id, nullptr, 10)))); }},
    {"CheckAppRunning", [](const char*) { return std::to_string(CheckAppRunning()); }},
    {"StopSingBox", [](const char*) { return StopSingBox(), std::string(); }},
    {"CleanProxy", [](const char*) { return CleanProxy(), std::string(); }},
    {"DeleteAutorun", [](const char*) { return DeleteAutorun(), std::string(); }},
    {"TruncateSingLog", [](const char*) { return TruncateSingLog(), std::string(); }},
    {"TruncateDllLog", [](const char*) { return TruncateDllLog(), std::string(); }},
};

// The two firewall rules differ only in name and opening lines.
const Vars kRules[] = {
    {{"rule", "TalirSingBox"}, {"xray", ""}, {"Check", "CheckFirewallRule"}, {"Add", "AddFirewallRule"},
     {"Delete", "DeleteFirewallRule"}},
    {{"rule", "TalirXray"}, {"xray", "xray "}, {"Check", "CheckXrayFirewallRule"}, {"Add", "AddXrayFirewallRule"},
     {"Delete", "DeleteXrayFirewallRule"}},
};

// Bytes that depend on their offset, so that any shift or mix-up shows,
// ending in a line end as a log does.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((static_cast<uint32_t>(i) * 2654435761u) >> 24);
    if (size >= 2) bytes.replace(size - 2, 2, "\r\n");
    return bytes;
}

// \n, \r, \t and \xNN; any other backslash is itself (paths).
std::string Unescape(const std::string& text) {
    std::string bytes;
    for (size_t at = 0; at < text.size(); ++at) {
        const char next = at + 1 < text.size() ? text[at + 1] : '\0';
        if (text[at] == '\\' && (next == 'n' || next == 'r' || next == 't')) {
            bytes += next == 'n' ? '\n' : next == 'r' ? '\r' : '\t';
            ++at;
        } else if (text[at] == '\\' && next == 'x' && at + 3 < text.size() && std::isxdigit(text[at + 2]) &&
                   std::isxdigit(text[at + 3])) {
            bytes += static_cast<char>(std::stoul(text.substr(at + 2, 2), nullptr, 16));
            at += 3;
        } else {
            bytes += text[at];
        }
    }
    return bytes;
}

const char kUserRecord[] = "Software\\TalirVPN";

// A registry value of the user's Internet settings as "TYPE:BYTES".
std::string ProxyValue(const char* name) {
    char data[256] = {};
    DWORD type = 0, size = sizeof data;
    if (RegGetValueA(HKEY_CURRENT_USER, kInternetSettings, name, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size)) {
        return "absent";
    }
    return std::to_string(type) + ":" + std::string(data, size);
}

Lines Split(const std::string& text) {
    Lines parts;
    for (size_t at = 0, end = 0; end != std::string::npos; at = end + 3) {
        end = text.find(" | ", at);
        parts.push_back(text.substr(at, end - at));
    }
    return parts;
}

// A folder's volume serial and file index in hex, as the record names it.
std::string FolderId(const std::string& folder) {
    const Handle opened(CreateFileA(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                    FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    GetFileInformationByHandle(opened.value, &information);
    char id[48];
    std::snprintf(id, sizeof id, "%lX %llX", information.dwVolumeSerialNumber,
                  (static_cast<unsigned long long>(information.nFileIndexHigh) << 32) | information.nFileIndexLow);
    return id;
}

Lines Words(const std::string& line) {
    Lines words;
    std::istringstream in(line);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::string Joined(const Lines& lines, const char* end) {
    std::string text;
    for (const std::string& line : lines) text += line + end;
    return text;
}

// Faults put into the DLL's own import table: each replacement reads the
// fault's argument and may call the function it replaced.
std::map<std::string, std::string> faultArgument;
std::map<std::string, void*> realFunction;
#define REAL(function) reinterpret_cast<decltype(&function)>(realFunction[#function])

LSTATUS WINAPI FailingOpen(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) { return ERROR_ACCESS_DENIED; }
LSTATUS WINAPI FailingDelete(HKEY, LPCWSTR, LPCWSTR) { return ERROR_ACCESS_DENIED; }
// What Windows answers for another user's object, which Wine lets anyone open.
HANDLE WINAPI DeniedOpenMutex(DWORD, BOOL, LPCWSTR) { return SetLastError(ERROR_ACCESS_DENIED), nullptr; }
// Access denied for the value named by the argument.
LSTATUS WINAPI FailingSetValue(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
    return name == faultArgument["RegSetValueExA"] ? ERROR_ACCESS_DENIED
                                                   : REAL(RegSetValueExA)(key, name, reserved, type, data, size);
}
// Waits for the core's first line (2 s at most) and writes to fault.txt
// whether it came; then assigns, or with "refused" fails.
BOOL WINAPI LateAssign(HANDLE job, HANDLE process) {
    const bool ran = !AwaitLines("lib_win\\sing-box.started", 1, 2000).empty();
    WriteFileBytes("fault.txt", ran ? "the core ran before it was in the job\n" : "the core waited\n");
    if (faultArgument["AssignProcessToJobObject"] == "refused") return SetLastError(ERROR_ACCESS_DENIED), FALSE;
    return REAL(AssignProcessToJobObject)(job, process);
}
// The first N answers say the list grew 16 KiB past the buffer given.
ULONG WINAPI GrowingAdapters(ULONG family, ULONG flags, void* reserved, IP_ADAPTER_ADDRESSES* list, ULONG* size) {
    std::string& left = faultArgument["GetAdaptersAddresses"];
    if (std::stoi(left) > 0) return left = std::to_string(std::stoi(left) - 1), *size += 16384, ERROR_BUFFER_OVERFLOW;
    return REAL(GetAdaptersAddresses)(family, flags, reserved, list, size);
}
// Writes half of what it is given, then fails as a full disk would.
BOOL WINAPI HalfWrite(HANDLE file, const void* data, DWORD size, DWORD* written, OVERLAPPED* overlapped) {
    REAL(WriteFile)(file, data, size / 2, written, overlapped);
    return SetLastError(ERROR_DISK_FULL), FALSE;
}
// The stand-in fwpuclnt.dll of the system folder (wine-run.sh), one of its
// exports: StandinCalls or StandinState.
std::string FilteringEngine(const char* what) {
    const HMODULE standin = LoadLibraryExW(L"fwpuclnt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const auto read = reinterpret_cast<const char* (*)()>(reinterpret_cast<void*>(GetProcAddress(standin, what)));
    return read ? read() : "(not the stand-in fwpuclnt.dll)";
}

const std::map<std::string, void*> kFaults = {
    {"WriteFile", reinterpret_cast<void*>(HalfWrite)},
    {"RegDeleteKeyValueW", reinterpret_cast<void*>(FailingDelete)},
    {"OpenMutexW", reinterpret_cast<void*>(DeniedOpenMutex)},
    {"RegOpenKeyExA", reinterpret_cast<void*>(FailingOpen)},
    {"RegSetValueExA", reinterpret_cast<void*>(FailingSetValue)},
    {"AssignProcessToJobObject", reinterpret_cast<void*>(LateAssign)},
    {"GetAdaptersAddresses", reinterpret_cast<void*>(GrowingAdapters)}};


class Case : public WorkFolder {
public:
    explicit Case(Lines steps) : steps_(std::move(steps)) {}

    void TestBody() override {
        const bool twins = Joined(steps_, "").find("{rule}") != std::string::npos;
        for (const Vars& rule : kRules) {
            vars_ = rule;
            vars_["folder"] = folder_;
            vars_["here"] = folder_.substr(0, folder_.size() - 1);
            vars_["pid"] = std::to_string(GetCurrentProcessId());
            char system[MAX_PATH] = {};
            GetSystemDirectoryA(system, MAX_PATH);
            vars_["system"] = system;
            vars_["bin"] = BinDir();
            vars_["folderid"] = FolderId(folder_);
            for (const char c : folder_) vars_["json folder"] += c == '\\' ? "\\\\" : std::string(1, c);
            for (const std::string& step : steps_) {
                SCOPED_TRACE(step);
                Step(step);
                if (HasFatalFailure() || IsSkipped()) return;
            }
            SetCurrentDirectoryA(folder_.c_str());
            if (firewall_.Calls) {
                const std::wstring called = firewall_.Calls();
                const std::string calls = Joined(calls_, "\n"), rules = ReadFileBytes("firewall.rules");
                EXPECT_TRUE(calls.empty() || called == std::wstring(calls.begin(), calls.end()))
                    << "the firewall was called with:\n" << std::string(called.begin(), called.end());
                EXPECT_TRUE(rules_.empty() || rules == rules_) << "the rules are:\n" << rules;
                EXPECT_EQ(firewall_.References(), 0) << "an interface was not released";
                firewall_.Reset();
            }
            calls_.clear();
            rules_.clear();
            if (!twins) break;
        }
        if (wininetOptions_) {
            const std::string told = wininetOptions_();
            EXPECT_EQ(told.empty() ? Lines{} : Split(told), options_) << "what wininet.dll was told";
        }
        if (!engine_.empty()) {
            EXPECT_EQ(Split(FilteringEngine("StandinCalls")), engine_) << "what fwpuclnt.dll was told";
        }
        EXPECT_EQ(LogMessages(), log_);
        EXPECT_EQ(SplitLines(ReadFileBytes("ran.txt")), ran_);
        // As a console in text mode writes it: every LF as CR LF.
        std::string printed;
        for (const char c : Joined(out_, "\n")) printed += c == '\n' ? "\r\n" : std::string(1, c);
        EXPECT_EQ(cliOutput_, printed);
    }

    void TearDown() override {
        held_.clear();
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        WINHTTP_PROXY_INFO direct{WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr};
        WinHttpSetDefaultProxyConfiguration(&direct);
        // Not through the DLL, whose registry calls a case may have broken.
        RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kPolicy, "ProxySettingsPerUser");
        const DWORD off = 0;
        RegSetKeyValueA(HKEY_CURRENT_USER, kInternetSettings, "ProxyEnable", REG_DWORD, &off, sizeof off);
        for (const std::string& file : outside_) DeleteFileA(file.c_str());
        for (const std::string& file : movedAside_) {
            MoveFileExA((file + ".away").c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING);
        }
    }

private:
    std::string Fill(const std::string& text) {
        std::string filled;
        for (size_t at = 0; at < text.size();) {
            const size_t open = text.find('{', at), close = text.find('}', open);
            if (open == std::string::npos || close == std::string::npos) return filled + text.substr(at);
            filled += text.substr(at, open - at);
            const std::string name = text.substr(open + 1, close - open - 1);
            const auto value = vars_.find(name);
            at = close + 1;
            if (name.rfind("text:", 0) == 0 || name.rfind("brief:", 0) == 0) {
                std::string system = SystemText(std::stoul(name.substr(name.find(':') + 1)));
                if (name[0] == 'b') system.erase(system.find_last_not_of("\r\n ") + 1);  // without its line end
                filled += system;
            } else if (name.rfind("size:", 0) == 0) {
                filled += std::to_string(ReadFileBytes(folder_ + name.substr(5)).size());
            } else if (value != vars_.end()) {
                filled += value->second;
            } else {
                filled += '{';  // not a placeholder: a brace of the text
                at = open + 1;
            }
        }
        return filled;
    }

    void Step(const std::string& step) {
        const std::string word = step.substr(0, step.find(' '));
        // Texts are unescaped before the placeholders are filled: a folder
        // such as Z:\tmp\... is no escape.
        // A file's name (write, file) is no text.
        static const std::set<std::string> kTexts = {"firewall", "rules", "log",     "ran",
                                                     "out",      "calls", "options", "engine"};
        std::string raw = step.size() > word.size() ? step.substr(word.size() + 1) : "";
        if (kTexts.count(word)) raw = Unescape(raw);
        const size_t name = raw.empty() || raw[0] != '"' ? raw.find(' ') : raw.find('"', 1) + 1;
        if ((word == "write" || word == "file") && name < raw.size()) {
            raw = raw.substr(0, name + 1) + Unescape(raw.substr(name + 1));
        }
        const std::string rest = Fill(raw);
        // The first argument may be quoted, for a path with blanks.
        const bool quoted = !rest.empty() && rest[0] == '"';
        const size_t end = quoted ? rest.find('"', 1) + 1 : rest.find(' ');
        const std::string first = quoted ? rest.substr(1, end - 2) : rest.substr(0, end);
        const std::string second = end < rest.size() ? rest.substr(end + 1) : "";
        std::istringstream numbers(second);
        size_t size = 0, from = 0;
        numbers >> size >> from;
        if (word == "net") {
            Net((vars_.count("net") ? "" : "reset ") + rest, vars_);  // the first of a case starts afresh
            vars_["net"] = "made";
        } else if (word == "put" && !second.empty()) {
            ASSERT_TRUE(CopyFileA((BinDir() + second).c_str(), first.c_str(), FALSE)) << GetLastError();
        } else if (word == "put") {
            CopyStandin(rest);
            if (rest.find(':') != std::string::npos) outside_.push_back(rest);  // not in the case's folder
        } else if (word == "set") {
            SetEnvironmentVariableA(first.c_str(), second.empty() ? nullptr : second.c_str());
        } else if (word == "write") {
            WriteFileBytes(first, second);
            if (first.find(':') != std::string::npos) outside_.push_back(first);  // not in the case's folder
        } else if (word == "pattern") {
            WriteFileBytes(first, Pattern(size));
        } else if (word == "proxy" || word == "proxied") {
            const DWORD enable = std::stoul(first);
            const std::string server = second + '\0';
            if (word == "proxied") {
                EXPECT_EQ(ProxyValue("ProxyEnable"), "4:" + std::string(reinterpret_cast<const char*>(&enable), 4));
                EXPECT_EQ(ProxyValue("ProxyServer"), second == "-" ? "absent" : "1:" + server);
            } else {
                RegSetKeyValueA(HKEY_CURRENT_USER, kInternetSettings, "ProxyEnable", REG_DWORD, &enable, 4);
                RegSetKeyValueA(HKEY_CURRENT_USER, kInternetSettings, "ProxyServer", REG_SZ, server.data(),
                                static_cast<DWORD>(server.size()));
                if (second == "-") RegDeleteKeyValueA(HKEY_CURRENT_USER, kInternetSettings, "ProxyServer");
            }
        } else if (word == "remove") {
            // A running program cannot be deleted, but moved aside. Outside
            // the case's folder (a tool of the system folder) a file is only
            // moved aside, and back when the case ends; wine-prefix.sh puts
            // a tool back, too.
            const bool outside = rest.find(':') != std::string::npos;
            ASSERT_TRUE((!outside && (DeleteFileA(rest.c_str()) || RemoveDirectoryA(rest.c_str()))) ||
                        MoveFileExA(rest.c_str(), (rest + ".away").c_str(), MOVEFILE_REPLACE_EXISTING))
                << GetLastError();
            if (outside) movedAside_.push_back(rest);
        } else if (word == "cd") {
            CreateDirectoryW(Wide(rest).c_str(), nullptr);
            ASSERT_TRUE(SetCurrentDirectoryW(Wide(rest).c_str())) << GetLastError();
        } else if (word == "link") {
            // Another path to a folder, as a junction gives one. (A drive
            // letter would not do: Wine names a volume by the letter it
            // finds for a path, and a process keeps the letters it saw.)
            ASSERT_EQ(RunLinux("ln -s '" + LinuxPath(second) + "' '" + LinuxPath(folder_ + first) + "'").exitCode, 0u);
        } else if (word == "start") {
            const bool guarded = second.rfind("D:", 0) == 0;
            SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
            ASSERT_TRUE(!guarded || ConvertStringSecurityDescriptorToSecurityDescriptorA(
                                        second.substr(0, second.find(' ')).c_str(), SDDL_REVISION_1,
                                        &security.lpSecurityDescriptor, nullptr));
            DWORD id = 0;
            held_.push_back(Start(guarded ? second.substr(second.find(' ') + 1) : second, &id, &security));
            LocalFree(security.lpSecurityDescriptor);
            vars_[first] = std::to_string(id);
        } else if (word == "firewall") {
            ASSERT_NO_FATAL_FAILURE(firewall_.Install());
            WriteFileBytes("firewall.rules", rest);
        } else if (word == "fail") {
            firewall_.Fail(first.c_str(), std::strtoul(second.c_str(), nullptr, 16),
                           std::strtoul(second.substr(second.find(' ') + 1).c_str(), nullptr, 10));
        } else if (word == "wininet") {
            // Wine loads its own wininet unless told otherwise (wine-run.sh).
            const HMODULE standin = LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
            wininetOptions_ = reinterpret_cast<const char* (*)()>(
                reinterpret_cast<void*>(GetProcAddress(standin, "StandinOptions")));
            ASSERT_NE(wininetOptions_, nullptr) << "the stand-in wininet.dll is not what was loaded";
        } else if (word == "policy") {
            const DWORD perMachine = 0;
            ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, kPolicy, "ProxySettingsPerUser", REG_DWORD, &perMachine, 4),
                      ERROR_SUCCESS);
        } else if (word == "userrecord") {
            const std::string text = Unescape(rest);
            RegDeleteTreeA(HKEY_CURRENT_USER, kUserRecord);
            ASSERT_TRUE(rest == "-" || RegSetKeyValueA(HKEY_CURRENT_USER, kUserRecord, "ProxyRecord", REG_BINARY,
                                                       text.data(), static_cast<DWORD>(text.size())) == 0);
        } else if (word == "userkept") {
            char text[8192] = {};
            DWORD size = sizeof text;
            Lines kept;
            if (RegGetValueA(HKEY_CURRENT_USER, kUserRecord, "ProxyRecord", RRF_RT_REG_BINARY, nullptr, text, &size)) {
                kept.push_back("-");
            }
            for (const std::string& line : SplitLines(std::string(text, size))) {
                if (line.rfind("connection ", 0) == 0 || line.rfind("value ", 0) == 0) kept.push_back(line);
            }
            EXPECT_EQ(kept, Split(rest)) << "the user's record";
        } else if (word == "user2") {
            // The same client folder as another user: Wine keeps a hive and
            // a wineserver per prefix (wine-prefix.sh made this one).
            WriteFileBytes("user2.in", Joined(Split(rest), "\n"));
            const std::string bin = LinuxPath(BinDir()), prefix = bin + "../wineprefix-2";
            const Finished run = RunLinux(
                "cd '" + LinuxPath(folder_) + "' && cp -u '" + bin + "standins/wininet.dll' '" + bin +
                    "standins/rasapi32.dll' '" + prefix + "/drive_c/windows/system32/' && WINEPREFIX='" + prefix +
                    "' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;wininet,rasapi32=n' TALIR_CONNECTIONS='" +
                    folder_ + "connections-2.txt' wine '" + bin + "talirvpn-cli.exe' <user2.in",
                25000);
            ASSERT_EQ(run.exitCode, 0u) << run.output;
            cliOutput_ += run.output;
        } else if (word == "fault" || word == "regfail") {
            const auto fault = kFaults.find(first);
            ASSERT_NE(fault, kFaults.end()) << "no fault for " << first;
            faultArgument[first] = second;
            void* const replaced = PatchImport(GetModuleHandleA("talirvpn.dll"), first.c_str(), fault->second);
            ASSERT_NE(replaced, nullptr) << "the DLL does not import " << first;
            if (replaced != fault->second) realFunction[first] = replaced;
        } else if (word == "cli" || word == "host") {
            const std::string output = Cli(Joined(Split(rest), "\n")).output;
            if (word == "cli") cliOutput_ += output;
            // {host}: the host that the last recorded route names: "route
            // DEST MASK HOP IF WHEN ID CREATED".
            for (const std::string& line : SplitLines(ReadFileBytes("lib_win\\talirvpn_record.txt"))) {
                const Lines word = Words(line);
                if (word.size() == 8 && word[0] == "route") vars_["host"] = word[6];
            }
        } else if (word == "run" || word == "mends") {
            const bool copy = first.size() > 4 && first.compare(first.size() - 4, 4, ".exe") == 0;
            const std::string arguments = rest.substr(0, rest.find(" = "));
            const Finished run = RunCapture(copy ? arguments : "\"" + BinDir() + "talirvpn-cli.exe\" " + arguments);
            // The record's times are the clock's.
            const std::regex time("\\d{4}-?\\d\\d-?\\d\\dT\\d\\d:?\\d\\d:?\\d\\dZ");
            const std::string output = std::regex_replace(run.output, time, "TIME");
            for (const std::string& line : SplitLines(output)) {
                if (word == "run" || line.rfind("mend ", 0) == 0) cliOutput_ += line + "\n";
            }
            EXPECT_EQ(std::to_string(run.exitCode), rest.substr(rest.find(" = ") + 3));
        } else if (word == "wait") {
            for (int i = 0; i < 1000 && !FileExists(rest); ++i) Sleep(10);
        } else if (word == "listen") {
            WSADATA winsock;
            WSAStartup(MAKEWORD(2, 2), &winsock);
            // As Go and .NET servers listen on an unspecified address.
            const bool every = rest.rfind("[::]:", 0) == 0;
            const u_short port = htons(static_cast<u_short>(std::stoul(rest.substr(every ? 5 : 0))));
            listener_ = socket(every ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
            sockaddr_in address{AF_INET, port, {}, {}};
            sockaddr_in6 address6{AF_INET6, port, 0, {}, 0};
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const DWORD off = 0;
            if (every) setsockopt(listener_, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off);
            ASSERT_EQ(every ? bind(listener_, reinterpret_cast<sockaddr*>(&address6), sizeof address6)
                            : bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            ASSERT_EQ(listen(listener_, 1), 0);
        } else if (word == "winhttp") {
            std::wstring proxy(rest.begin(), rest.end());
            WINHTTP_PROXY_INFO named{WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.data(), nullptr};
            ASSERT_TRUE(WinHttpSetDefaultProxyConfiguration(&named));
        } else if (word == "cores") {
            // The stand-in core writes "PID TAB command line".
            const Lines cores = AwaitLines("lib_win\\sing-box.started", std::stoul(rest));
            ASSERT_EQ(cores.size(), std::stoul(rest));
            for (size_t i = 0; i < cores.size(); ++i) {
                vars_["core" + std::to_string(i)] = cores[i].substr(0, cores[i].find('\t'));
            }
        } else if (word == "ended" || word == "running") {
            EXPECT_EQ(WaitForExit(std::stoul(rest), word == "ended" ? 10000 : 300), word == "ended");
        } else if (word == "kept") {
            EXPECT_TRUE(ReadFileBytes(first) == Pattern(size).substr(from)) << "not the pattern's last bytes";
        } else if (word == "file") {
            // A name with a * is the one file it matches.
            WIN32_FIND_DATAA found{};
            const HANDLE search = FindFirstFileA(first.c_str(), &found);
            const bool wild = first.find('*') != std::string::npos && search != INVALID_HANDLE_VALUE;
            if (search != INVALID_HANDLE_VALUE) FindClose(search);
            const std::string file = wild ? first.substr(0, first.find_last_of('\\') + 1) + found.cFileName : first;
            EXPECT_EQ(ReadFileBytes(file), second) << file;
        } else if (word == "kernel") {
            const Finished routes = RunLinux("ip -4 route show | { grep -v 'proto kernel' || true; }");
            EXPECT_EQ(routes.exitCode, 0u);
            Lines listed = SplitLines(routes.output);
            for (std::string& line : listed) line.erase(line.find_last_not_of(' ') + 1);
            EXPECT_EQ(listed, Split(rest));
        } else if (word == "loaded") {
            EXPECT_EQ(GetModuleHandleA(first.c_str()) != nullptr, second == "yes") << first;
        } else if (word == "filters") {
            const Lines state = SplitLines(FilteringEngine("StandinState"));
            EXPECT_EQ(std::count_if(state.begin(), state.end(), [](const std::string& line) { return line[0] == 'F'; }),
                      std::stol(rest)) << Joined(state, "\n");
        } else if (word == "packet") {
            EXPECT_EQ(Decide(FilteringEngine("StandinState"), rest.substr(0, rest.find(" = "))),
                      rest.substr(rest.find(" = ") + 3));
        } else if (word == "log" || word == "ran" || word == "out" || word == "calls" || word == "options" ||
                   word == "engine") {
            Lines& expected = word == "log"   ? log_
                              : word == "ran" ? ran_
                              : word == "out" ? out_
                              : word == "options" ? options_
                              : word == "engine" ? engine_
                                              : calls_;
            for (const std::string& line : Split(rest)) expected.push_back(line);
        } else if (word == "rules") {
            rules_ += rest;
        } else {
            Call(step);
        }
    }

    void Call(const std::string& step) {
        const size_t equals = step.find(" = ");
        std::string call = Fill(step.substr(0, equals));
        const std::string expected = equals == std::string::npos ? "" : Fill(Unescape(step.substr(equals + 3)));
        const std::string name = call.substr(0, call.find(' '));
        const std::string argument = call.size() > name.size() ? call.substr(name.size() + 1) : "(null)";
        const char* pass = argument == "(null)" ? nullptr : argument == "\"\"" ? "" : argument.c_str();
        if (const auto constant = kConstantExports.find(name); constant != kConstantExports.end()) {
            const char* result = constant->second(pass);
            EXPECT_EQ(result, expected);
            const char*& seen = constants_[name + "=" + expected];
            if (seen) {
                EXPECT_EQ(static_cast<const void*>(result), seen) << "not the same constant";
            }
            seen = result;
        } else if (const auto other = kOtherExports.find(name); other != kOtherExports.end()) {
            EXPECT_EQ(other->second(pass), expected);
        } else {
            FAIL() << "no such step or export";
        }
    }

    Lines steps_, log_, ran_, out_, calls_, options_, engine_;
    const char* (*wininetOptions_)() = nullptr;
    Vars vars_;
    std::string cliOutput_, rules_;
    std::map<std::string, const char*> constants_;
    std::vector<Handle> held_;
    std::vector<std::string> outside_, movedAside_;
    SOCKET listener_ = INVALID_SOCKET;
    FirewallStandin firewall_;
};

// Registers each case of each file before GoogleTest lists or runs them.
void RegisterCases() {
    const std::string folder = "Z:" TALIR_SOURCE_DIR "/tests/cases/";
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "*.cases").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
        const std::string file = found.cFileName, family = file.substr(0, file.find('.'));
        std::string name;
        Lines steps;
        const auto add = [&] {
            if (name.empty()) return;
            ::testing::RegisterTest(family.c_str(), name.c_str(), nullptr, nullptr, file.c_str(), 0,
                                    [steps]() -> WorkFolder* { return new Case(steps); });
        };
        std::string line;
        for (const std::string& part : SplitLines(ReadFileBytes(folder + file))) {
            line += part;
            if (!line.empty() && line.back() == '\\') {
                line.pop_back();
                continue;
            }
            if (line.rfind("case ", 0) == 0) {
                add();
                name = line.substr(5);
                steps.clear();
            } else if (!line.empty() && line[0] != '#') {
                steps.push_back(line);
            }
            line.clear();
        }
        add();
    }
    FindClose(search);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    RegisterCases();
    return RUN_ALL_TESTS();
}

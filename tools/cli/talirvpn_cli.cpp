// A small host for talirvpn.dll: calls exports by name and prints what they
// return, releasing result strings as a host must.
//
//   talirvpn-cli EXPORT [ARGUMENT]   one call
//   talirvpn-cli                     one call per line of standard input
//   talirvpn-cli doctor [--json] [--fix] [--dir PATH]
//                                    what the library left on this machine
//                                    (doctor.h), for the client in PATH (by
//                                    default the current folder or this
//                                    program's); --fix mends what it can
//                                    prove broken and reports again; exit
//                                    code 0, 1 on a problem, 2 when it could
//                                    not run
//
// Output: "EXPORT -> result" per call ("(no result)" for void exports).
// Between calls, a line "sleep MS" pauses and "wait-file PATH" waits (at
// most 10 s) until PATH exists, so that a script can look at the system
// while this host, and so the job, still lives.
#include "doctor.h"
#include "toolkit/unique.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

namespace {

enum class Kind { ConstantText, ResultString, Code, Nothing };
enum class Argument { None, Text, ProcessId, PortPointer };

struct Export {
    const char* name;
    Kind kind;
    Argument argument;
};

const Export kExports[] = {
    {"AddFirewallRule", Kind::ConstantText, Argument::Text},
    {"AddXrayFirewallRule", Kind::ConstantText, Argument::Text},
    {"AssignToJobObject", Kind::ResultString, Argument::ProcessId},
    {"CheckAppRunning", Kind::Code, Argument::None},
    {"CheckFirewallRule", Kind::ConstantText, Argument::None},
    {"CheckXrayFirewallRule", Kind::ConstantText, Argument::None},
    {"CleanProxy", Kind::Nothing, Argument::None},
    {"CreatePingRoute", Kind::ConstantText, Argument::Text},
    {"DeleteAutorun", Kind::Nothing, Argument::None},
    {"DeleteFirewallRule", Kind::ConstantText, Argument::None},
    {"DeletePingRoute", Kind::ConstantText, Argument::Text},
    {"DeleteXrayFirewallRule", Kind::ConstantText, Argument::None},
    {"GetSingInterface", Kind::ResultString, Argument::None},
    {"RedirectToTun", Kind::ResultString, Argument::Text},
    {"RestoreNetwork", Kind::ResultString, Argument::None},
    {"RunSingBox", Kind::ConstantText, Argument::None},
    {"SetSystemProxy", Kind::ConstantText, Argument::PortPointer},
    {"StartLeakGuard", Kind::ResultString, Argument::None},
    {"StopLeakGuard", Kind::Nothing, Argument::None},
    {"StopSingBox", Kind::Nothing, Argument::None},
    {"TruncateDllLog", Kind::Nothing, Argument::None},
    {"TruncateSingLog", Kind::Nothing, Argument::None},
};

// Calls one export; the argument is absent when hasArgument is false (a null
// pointer for the exports that take one).
bool Call(HMODULE dll, const std::string& name, bool hasArgument, const std::string& argument) {
    const Export* found = nullptr;
    for (const Export& candidate : kExports) {
        if (name == candidate.name) found = &candidate;
    }
    const FARPROC address = GetProcAddress(dll, name.c_str());
    if (found == nullptr || address == nullptr) {
        std::printf("%s -> unknown export\n", name.c_str());
        return false;
    }

    int32_t port = 0;
    const void* pointer = nullptr;
    uintptr_t number = 0;
    switch (found->argument) {
    case Argument::None:
        break;
    case Argument::Text:
        pointer = hasArgument ? argument.c_str() : nullptr;
        break;
    case Argument::ProcessId:
        number = std::strtoul(argument.c_str(), nullptr, 10);
        break;
    case Argument::PortPointer:
        port = static_cast<int32_t>(std::strtol(argument.c_str(), nullptr, 10));
        pointer = hasArgument ? &port : nullptr;
        break;
    }

    // Every export takes at most one pointer-sized argument and returns at
    // most a pointer-sized value: one call shape serves them all on x64.
    using Any = uintptr_t (*)(uintptr_t);
    const uintptr_t raw = reinterpret_cast<Any>(reinterpret_cast<void*>(address))(found->argument == Argument::ProcessId
                                                             ? number
                                                             : reinterpret_cast<uintptr_t>(pointer));
    std::printf("%s -> ", name.c_str());
    switch (found->kind) {
    case Kind::ConstantText:
        std::printf("%s\n", reinterpret_cast<const char*>(raw));
        break;
    case Kind::ResultString: {
        char* text = reinterpret_cast<char*>(raw);
        std::printf("%s\n", text);
        using Free = void (*)(void*);
        reinterpret_cast<Free>(reinterpret_cast<void*>(GetProcAddress(dll, "FreeString")))(text);
        break;
    }
    case Kind::Code:
        std::printf("%d\n", static_cast<int32_t>(raw));
        break;
    case Kind::Nothing:
        std::printf("(no result)\n");
        break;
    }
    std::fflush(stdout);
    return true;
}

// Without the DLL: loading it changes nothing, but the doctor also runs
// where it is missing.
int Doctor(int argc, char** argv) {
    bool json = false, fix = false;
    // The folder as the system received it: the narrow argv loses what the
    // code page cannot write.
    int wideCount = 0;
    const talir::UniqueLocal wideArguments(CommandLineToArgvW(GetCommandLineW(), &wideCount));
    wchar_t* const* const wide = static_cast<wchar_t**>(wideArguments.get());
    const wchar_t* dir = nullptr;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0 && !json) {
            json = true;
        } else if (std::strcmp(argv[i], "--fix") == 0 && !fix) {
            fix = true;
        } else if (std::strcmp(argv[i], "--dir") == 0 && !dir && wide && i + 1 < argc && i + 1 < wideCount) {
            dir = wide[++i];
        } else {
            std::fputs("usage: talirvpn-cli doctor [--json] [--fix] [--dir PATH]\n", stderr);
            return 2;
        }
    }
    try {
        const talir::doctor::ClientFolder client = talir::doctor::EnterClientFolder(dir);
        std::vector<talir::doctor::Check> checks = talir::doctor::RunChecks(client);
        std::vector<std::string> mends;
        if (fix) {
            mends = talir::doctor::ApplyMends(checks);
            checks = talir::doctor::RunChecks(client);
        }
        const std::string report = json ? talir::doctor::JsonReport(checks, fix ? &mends : nullptr)
                                        : talir::doctor::TextReport(checks, mends);
        std::fwrite(report.data(), 1, report.size(), stdout);
        std::fflush(stdout);
        return talir::doctor::ExitCode(checks);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "the doctor could not run: %s\n", failure.what());
        return 2;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "doctor") == 0) return Doctor(argc, argv);
    const HMODULE dll = LoadLibraryA("talirvpn.dll");
    if (dll == nullptr) {
        std::fprintf(stderr, "talirvpn.dll could not be loaded (error %lu)\n", GetLastError());
        return 2;
    }
    if (argc >= 2) return Call(dll, argv[1], argc >= 3, argc >= 3 ? argv[2] : "") ? 0 : 1;

    std::string line;
    bool allKnown = true;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::string name, argument;
        if (!(words >> name)) continue;
        const bool hasArgument = static_cast<bool>(words >> argument);
        if (name == "sleep") {
            Sleep(std::strtoul(argument.c_str(), nullptr, 10));
            continue;
        }
        if (name == "wait-file") {
            for (int i = 0; i < 1000 && GetFileAttributesA(argument.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
                Sleep(10);
            }
            continue;
        }
        allKnown = Call(dll, name, hasArgument, argument) && allKnown;
    }
    return allKnown ? 0 : 1;
}

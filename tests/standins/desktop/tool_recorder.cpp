// Stand-in for a Windows command-line tool (netsh, schtasks): appends its
// command line (UTF-8) and a line feed to TOOL.log in the current folder.
// The schtasks build keeps its tasks in schtasks.tasks, one name per line:
// "/query /tn NAME" exits 0 when NAME is listed and 1 when not, and
// "/delete /tn NAME" removes it. Both print a line to standard output and
// one to standard error, so that a test sees whether they were redirected.
#include "../command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <fstream>
#include <string>
#include <vector>

namespace {

int Schtasks(int argc, wchar_t** argv) {
    std::string action, task;
    for (int i = 1; i < argc; ++i) {
        if (_wcsicmp(argv[i], L"/query") == 0) action = "query";
        if (_wcsicmp(argv[i], L"/delete") == 0) action = "delete";
        if (_wcsicmp(argv[i], L"/tn") == 0 && i + 1 < argc) task = Utf8(argv[i + 1]);
    }
    std::vector<std::string> tasks;
    std::ifstream in("schtasks.tasks", std::ios::binary);
    bool listed = false;
    for (std::string line; std::getline(in, line);) {
        if (line == task) listed = true;
        else tasks.push_back(line);
    }
    in.close();
    std::printf("schtasks %s out\n", action.c_str());
    std::fprintf(stderr, "schtasks %s err\n", action.c_str());
    if (action == "delete" && listed) {
        std::ofstream out("schtasks.tasks", std::ios::binary | std::ios::trunc);
        for (const std::string& other : tasks) out << other << "\n";
    }
    return listed ? 0 : 1;
}

}  // namespace

int wmain() {
    const wchar_t* commandLine = GetCommandLineW();
    if (FILE* log = _wfopen(TOOL_NAME L".log", L"ab")) {
        std::fprintf(log, "%s\n", Utf8(commandLine).c_str());
        std::fclose(log);
    }
    if (std::wcscmp(TOOL_NAME, L"schtasks") != 0) return 0;
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(commandLine, &argc);
    const int code = Schtasks(argc, argv);
    LocalFree(argv);
    return code;
}

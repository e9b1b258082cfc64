#include "fixture.h"

#include "bare_work.h"

#include <windows.h>
#include <netfw.h>

#include <cstdio>
#include <cstdlib>

namespace bench {
namespace {

// The stand-in program takes its role from its file name.
void Copy(const Fixture& fixture, const char* destination) {
    if (!CopyFileA((fixture.binDir + "standins\\talir_standin.exe").c_str(), destination, FALSE)) {
        std::fprintf(stderr, "cannot copy the stand-in to %s\n", destination);
        std::exit(1);
    }
}

void WriteText(const char* path, const char* text) {
    FILE* file = std::fopen(path, "wb");
    std::fputs(text, file);
    std::fclose(file);
}

std::string ClassKey(const GUID& clsid) {
    wchar_t text[40];
    StringFromGUID2(clsid, text, 40);
    char narrow[40];
    WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, 40, nullptr, nullptr);
    return std::string("Software\\Classes\\CLSID\\") + narrow + "\\InprocServer32";
}

// The stand-in firewall answers for both classes while the benchmark runs.
// Loaded here once, so that the last CoUninitialize of a call does not
// unload it each time.
void RegisterStandinFirewall(const Fixture& fixture) {
    const std::string server = fixture.binDir + "standins\\talir_firewall.dll";
    if (!LoadLibraryA(server.c_str())) {
        std::fprintf(stderr, "cannot load %s\n", server.c_str());
        std::exit(1);
    }
    for (const GUID* clsid : {&CLSID_NetFwPolicy2, &CLSID_NetFwRule}) {
        HKEY key;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, ClassKey(*clsid).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr);
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                       static_cast<DWORD>(server.size() + 1));
        RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>("Both"), 5);
        RegCloseKey(key);
    }
}

}  // namespace

Fixture SetUp() {
    Fixture fixture;
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    fixture.binDir = path;
    fixture.binDir.erase(fixture.binDir.find_last_of('\\') + 1);
    fixture.work = fixture.binDir + "bench-work\\";

    CreateDirectoryA(fixture.work.c_str(), nullptr);
    SetCurrentDirectoryA(fixture.work.c_str());
    CreateDirectoryA("lib_win", nullptr);
    DeleteFileA("lib_win\\talirvpn_dll.log");
    // The tools' stand-ins are in the prefix's system folder (wine-prefix.sh),
    // where the library starts them from.
    Copy(fixture, "lib_win\\sing-box.exe");
    WriteText("lib_win\\config.json", "{}\n");
    // A second copy under another name is a module of its own: a real load.
    CopyFileA((fixture.binDir + "talirvpn.dll").c_str(), "talirvpn_copy.dll", FALSE);
    OpenBareLog("lib_win\\bare.log");
    SetEnvironmentVariableA("TALIR_FW_RULES", (fixture.work + "rules.txt").c_str());
    // The stand-in WinINet keeps the connections' options here: a LAN alone.
    DeleteFileA((fixture.work + "connections.txt").c_str());
    SetEnvironmentVariableA("TALIR_CONNECTIONS", (fixture.work + "connections.txt").c_str());
    RegisterStandinFirewall(fixture);
    return fixture;
}

void TearDown() {
    if (HMODULE wine = LoadLibraryA("hnetcfg.dll")) {
        using Register = HRESULT(WINAPI*)();
        if (auto registerServer =
                reinterpret_cast<Register>(reinterpret_cast<void*>(GetProcAddress(wine, "DllRegisterServer")))) {
            registerServer();
        }
        FreeLibrary(wine);
    }
}

}  // namespace bench

/* Stands in for wininet.dll (the prefix's system32, with wininet=n) and for
 * rasapi32.dll (the same file under that name, rasapi32=n). Windows keeps
 * the proxy options of the LAN and of each dial-up or VPN entry; Wine keeps
 * only the LAN's legacy values and lists no entries.
 *
 * The connections live in the file that TALIR_CONNECTIONS names, one per
 * line in UTF-8: NAME TAB FLAGS TAB SERVER TAB BYPASS TAB SCRIPT [TAB all],
 * the LAN with an empty name (without the file: a LAN that goes direct),
 * "all" for an entry of the all-users phone book. Queries answer from it,
 * per-connection sets change it, RasEnumEntriesW lists its named lines, or
 * fails with TALIR_RAS_FAIL (an error code) when set. StandinOptions() gives every option this process set, " | "
 * between them: "OPTION ProxyEnable ProxyServer" with the registry values
 * of that moment, or "75 NAME flags=F server=S bypass=B[ script=U]" for the
 * options of a connection (NAME "LAN" for the LAN). TALIR_WININET_DIE=KIND:N
 * ends the process at the Nth call of KIND (set, query, notify) before it
 * acts, as a crash or a kill of the host would; TALIR_WININET_FAIL=KIND:N
 * fails that call with ERROR_ACCESS_DENIED; TALIR_WININET_PAUSE=KIND: the
 * first such call while the current folder has no wininet.paused makes it
 * and waits (10 s at most) for wininet.go. */
#include <windows.h>
#include <wininet.h>
#include <ras.h>
#include <raserror.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct { WCHAR name[257], server[512], bypass[512], script[512]; DWORD flags, allUsers; } Connection;

static Connection connections[16];
static int count;
static char options[16384];
static int calls[3];

static int Is(const char *setting, const char *wanted) {
    char value[32] = "";
    GetEnvironmentVariableA(setting, value, sizeof value);
    return strcmp(value, wanted) == 0;
}

/* FALSE when this call is to fail. */
static BOOL Call(int kind, const char *name) {
    char wanted[32];
    snprintf(wanted, sizeof wanted, "%s:%d", name, ++calls[kind]);
    if (Is("TALIR_WININET_DIE", wanted)) TerminateProcess(GetCurrentProcess(), 9);
    if (Is("TALIR_WININET_PAUSE", name) && GetFileAttributesA("wininet.paused") == INVALID_FILE_ATTRIBUTES) {
        CloseHandle(CreateFileA("wininet.paused", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
        for (int i = 0; i < 1000 && GetFileAttributesA("wininet.go") == INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
    }
    if (Is("TALIR_WININET_FAIL", wanted)) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
    return TRUE;
}

static void Path(WCHAR *path) {
    path[0] = 0;
    GetEnvironmentVariableW(L"TALIR_CONNECTIONS", path, MAX_PATH);
}

static void Load(void) {
    WCHAR path[MAX_PATH], text[1 << 14], *line, *next;
    static char bytes[1 << 15];
    Path(path);
    FILE *file = path[0] ? _wfopen(path, L"rb") : NULL;
    const int size = file ? (int)fread(bytes, 1, sizeof bytes - 1, file) : 0;
    if (file) fclose(file);
    text[MultiByteToWideChar(CP_UTF8, 0, bytes, size, text, ARRAYSIZE(text) - 1)] = 0;
    count = 0;
    if (!file) connections[count++] = (Connection){.flags = PROXY_TYPE_DIRECT};
    for (line = text; *line && count < 16; line = next) {
        next = line + wcscspn(line, L"\n");
        if (*next) *next++ = 0;
        Connection *c = &connections[count++];
        WCHAR *field[5] = {c->name, 0, c->server, c->bypass, c->script}, *at = line;
        *c = (Connection){0};
        for (int i = 0; i < 5; ++i) {
            const size_t length = wcscspn(at, L"\t");
            if (i == 1) c->flags = wcstoul(at, NULL, 10);
            else lstrcpynW(field[i], at, (int)(length < 511 ? length + 1 : 512));
            at += length + (at[length] != 0);
        }
        c->allUsers = wcscmp(at, L"all") == 0;
    }
}

static void Save(void) {
    WCHAR path[MAX_PATH], text[1 << 14] = L"";
    static char bytes[1 << 15];
    Path(path);
    for (int i = 0; i < count; ++i) {
        const Connection *c = &connections[i];
        swprintf(text + wcslen(text), ARRAYSIZE(text) - wcslen(text), L"%ls\t%lu\t%ls\t%ls\t%ls%ls\n", c->name, c->flags,
                 c->server, c->bypass, c->script, c->allUsers ? L"\tall" : L"");
    }
    FILE *file = _wfopen(path, L"wb");
    if (file) fwrite(bytes, 1, WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, NULL, NULL) - 1, file);
    if (file) fclose(file);
}

static Connection *Find(const WCHAR *name) {
    for (int i = 0; i < count; ++i) {
        if (wcscmp(connections[i].name, name ? name : L"") == 0) return &connections[i];
    }
    return NULL;
}

static void Record(const char *format, ...) {
    const size_t used = strlen(options);
    va_list arguments;
    va_start(arguments, format);
    if (used) snprintf(options + used, sizeof options - used, " | ");
    vsnprintf(options + strlen(options), sizeof options - strlen(options), format, arguments);
    va_end(arguments);
}

static WCHAR *Copy(const WCHAR *text) {
    if (!*text) return NULL;
    WCHAR *copy = GlobalAlloc(GMEM_FIXED, (wcslen(text) + 1) * sizeof *copy);
    return wcscpy(copy, text);
}

__declspec(dllexport) BOOL WINAPI InternetQueryOptionW(void *internet, DWORD option, void *buffer, DWORD *length) {
    INTERNET_PER_CONN_OPTION_LISTW *list = buffer;
    (void)internet, (void)length;
    if (!Call(1, "query")) return FALSE;
    Load();
    const Connection *c = option == INTERNET_OPTION_PER_CONNECTION_OPTION ? Find(list->pszConnection) : NULL;
    if (!c) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
    for (DWORD i = 0; i < list->dwOptionCount; ++i) {
        INTERNET_PER_CONN_OPTIONW *o = &list->pOptions[i];
        switch (o->dwOption) {
        case INTERNET_PER_CONN_FLAGS: case INTERNET_PER_CONN_FLAGS_UI: o->Value.dwValue = c->flags; break;
        case INTERNET_PER_CONN_PROXY_SERVER: o->Value.pszValue = Copy(c->server); break;
        case INTERNET_PER_CONN_PROXY_BYPASS: o->Value.pszValue = Copy(c->bypass); break;
        case INTERNET_PER_CONN_AUTOCONFIG_URL: o->Value.pszValue = Copy(c->script); break;
        default: return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
        }
    }
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI InternetSetOptionW(void *internet, DWORD option, void *buffer, DWORD length) {
    static const char key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    (void)internet, (void)length;
    if (option != INTERNET_OPTION_PER_CONNECTION_OPTION) {
        DWORD enable = 0, enableSize = sizeof enable, serverSize = 64;
        char server[64] = "-";
        if (!Call(2, "notify")) return FALSE;
        if (RegGetValueA(HKEY_CURRENT_USER, key, "ProxyEnable", RRF_RT_REG_DWORD, NULL, &enable, &enableSize)) {
            enable = ~0u;
        }
        RegGetValueA(HKEY_CURRENT_USER, key, "ProxyServer", RRF_RT_REG_SZ, NULL, server, &serverSize);
        Record("%lu %ld %s", option, (long)enable, server);
        return TRUE;
    }
    INTERNET_PER_CONN_OPTION_LISTW *list = buffer;
    if (!Call(0, "set")) return FALSE;
    Load();
    Connection *c = Find(list->pszConnection);
    if (!c) {
        if (count == 16) return SetLastError(ERROR_NOT_ENOUGH_MEMORY), FALSE;
        c = &connections[count++];
        *c = (Connection){0};
        lstrcpynW(c->name, list->pszConnection, 257);
    }
    char line[2048];
    int used = snprintf(line, sizeof line, "75 %ls", *c->name ? c->name : L"LAN");
    for (DWORD i = 0; i < list->dwOptionCount; ++i) {
        const INTERNET_PER_CONN_OPTIONW *o = &list->pOptions[i];
        const WCHAR *text = o->Value.pszValue ? o->Value.pszValue : L"";
        static const char *const names[] = {"", "flags", "server", "bypass", "script"};
        WCHAR *field[] = {NULL, NULL, c->server, c->bypass, c->script};
        if (o->dwOption == INTERNET_PER_CONN_FLAGS) {
            c->flags = o->Value.dwValue;
            used += snprintf(line + used, sizeof line - used, " flags=%lu", c->flags);
        } else if (o->dwOption >= INTERNET_PER_CONN_PROXY_SERVER && o->dwOption <= INTERNET_PER_CONN_AUTOCONFIG_URL) {
            lstrcpynW(field[o->dwOption], text, 512);
            used += snprintf(line + used, sizeof line - used, " %s=%ls", names[o->dwOption], text);
        } else {
            return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
        }
    }
    Record("%s", line);
    Save();
    return TRUE;
}

__declspec(dllexport) DWORD WINAPI RasEnumEntriesW(const WCHAR *reserved, const WCHAR *book, RASENTRYNAMEW *entries,
                                                   DWORD *bytes, DWORD *found) {
    DWORD named = 0;
    char failure[16] = "";
    (void)reserved, (void)book;
    if (!entries || entries->dwSize != sizeof *entries) return ERROR_INVALID_SIZE;
    if (GetEnvironmentVariableA("TALIR_RAS_FAIL", failure, sizeof failure)) return strtoul(failure, NULL, 10);
    Load();
    for (int i = 0; i < count; ++i) named += connections[i].name[0] != 0;
    *found = named;
    if (*bytes < named * sizeof *entries) return *bytes = named * sizeof *entries, ERROR_BUFFER_TOO_SMALL;
    for (int i = 0, n = 0; i < count; ++i) {
        if (!connections[i].name[0]) continue;
        entries[n] = (RASENTRYNAMEW){sizeof *entries, {0}, connections[i].allUsers ? REN_AllUsers : REN_User, {0}};
        wcscpy(entries[n++].szEntryName, connections[i].name);
    }
    return 0;
}

__declspec(dllexport) const char *StandinOptions(void) {
    return options;
}

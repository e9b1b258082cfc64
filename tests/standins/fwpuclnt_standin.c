/* Stands in for fwpuclnt.dll (the prefix's system32, with fwpuclnt=n): Wine's
 * own refuses to open the engine and ends the process at most other calls.
 *
 * The engine's objects live in talir_wfp.txt of the Windows folder, shared by
 * every process as the system's filtering engine is: one line per sublayer
 * ("S") and per filter ("F"), each with its owner (process id and creation
 * time), whether its session was dynamic, and a deep copy of what it was
 * given: layer, sublayer, weight, action, flags and every condition (field,
 * match type, data type, value; a blob in hex). A dynamic session's objects
 * go when it is closed or its process is gone, as Windows removes them.
 * Adds inside a transaction are kept aside until the commit; an abort drops
 * them. A filter whose sublayer is unknown is refused, as Windows does.
 *
 * StandinCalls() lists this process's calls, " | " between them, a run of
 * one call as "CALL xN"; StandinState() the engine's objects now.
 * TALIR_FWP_FAIL=CALL:N:CODE refuses the Nth call of CALL (open, appid,
 * begin, sublayer, filter, commit) with CODE: "begin:1:5" is what Windows
 * answers a host without administrator rights. */
#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_TEXT 65536

static char calls[8192], pending[MAX_TEXT], state[MAX_TEXT];
static char last[32];
static int repeats, counts[8];
static UINT64 created;
/* Sessions are never reused: enough for the benchmark's thousands. */
#define kSessions 16384
static int sessions, dynamicSession[kSessions];

static const char *const kinds[] = {"open", "appid", "begin", "sublayer", "filter", "commit", "enum"};

static void Flush(void) {
    if (!repeats) return;
    size_t used = strlen(calls);
    snprintf(calls + used, sizeof calls - used, "%s%s", used ? " | " : "", last);
    used = strlen(calls);
    if (repeats > 1) snprintf(calls + used, sizeof calls - used, " x%d", repeats);
    repeats = 0;
}

static void Record(const char *call) {
    if (repeats && strcmp(call, last) == 0) {
        ++repeats;
        return;
    }
    Flush();
    lstrcpynA(last, call, sizeof last);
    repeats = 1;
}

/* The code the test asked this call to fail with, else 0. */
static DWORD Refused(int kind) {
    char fail[64] = "", wanted[32];
    unsigned long n = 0, code = 0;
    GetEnvironmentVariableA("TALIR_FWP_FAIL", fail, sizeof fail);
    ++counts[kind];
    if (sscanf(fail, "%31[a-z]:%lu:%lu", wanted, &n, &code) != 3) return 0;
    if (strcmp(wanted, kinds[kind]) != 0 || n != (unsigned long)counts[kind]) return 0;
    char refused[48];
    snprintf(refused, sizeof refused, "%s refused", kinds[kind]);
    Record(refused);
    return code;
}

static void StorePath(char *path) {
    GetWindowsDirectoryA(path, MAX_PATH);
    strcat(path, "\\talir_wfp.txt");
}

static UINT64 CreationOf(HANDLE process) {
    FILETIME times[4];
    if (!GetProcessTimes(process, &times[0], &times[1], &times[2], &times[3])) return 0;
    return ((UINT64)times[0].dwHighDateTime << 32) | times[0].dwLowDateTime;
}

static int Alive(DWORD pid, UINT64 when) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    DWORD code = 0;
    int alive = process && GetExitCodeProcess(process, &code) && code == STILL_ACTIVE && CreationOf(process) == when;
    if (process) CloseHandle(process);
    return alive;
}

/* Reads the store into state, without the objects of dynamic sessions whose
 * process is gone. */
static void Load(void) {
    char path[MAX_PATH], line[4096];
    StorePath(path);
    state[0] = 0;
    FILE *file = fopen(path, "rb");
    if (!file) return;
    while (fgets(line, sizeof line, file)) {
        char kind;
        unsigned long pid = 0;
        unsigned long long when = 0;
        int dynamic = 0;
        if (sscanf(line, "%c %lu %llu %d", &kind, &pid, &when, &dynamic) != 4) continue;
        if (dynamic && !Alive(pid, when)) continue;
        if (strlen(state) + strlen(line) < sizeof state) strcat(state, line);
    }
    fclose(file);
}

static void Save(void) {
    char path[MAX_PATH];
    StorePath(path);
    FILE *file = fopen(path, "wb");
    if (file) fputs(state, file), fclose(file);
}

static int SessionOf(HANDLE engine) {
    const int session = (int)(INT_PTR)engine;
    return session > 0 && session <= sessions ? session : 0;
}

/* "PID CREATED DYNAMIC SESSION" of the objects a session adds. */
static void Owner(char *owner, size_t size, int session) {
    snprintf(owner, size, "%lu %llu %d %d", GetCurrentProcessId(), (unsigned long long)created,
             dynamicSession[session], session);
}

static void Guid(char *text, const GUID *guid) {
    sprintf(text, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid->Data1, guid->Data2, guid->Data3,
            guid->Data4[0], guid->Data4[1], guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5],
            guid->Data4[6], guid->Data4[7]);
}

static int inTransaction[kSessions];

static void Append(int session, const char *line) {
    if (inTransaction[session]) {
        if (strlen(pending) + strlen(line) < sizeof pending) strcat(pending, line);
        return;
    }
    Load();
    if (strlen(state) + strlen(line) < sizeof state) strcat(state, line);
    Save();
}

static void Value(char *text, size_t size, const FWP_CONDITION_VALUE0 *value) {
    switch (value->type) {
    case FWP_UINT8: snprintf(text, size, "%u", value->uint8); break;
    case FWP_UINT16: snprintf(text, size, "%u", value->uint16); break;
    case FWP_UINT32: snprintf(text, size, "%lu", (unsigned long)value->uint32); break;
    case FWP_UINT64: snprintf(text, size, "%llu", value->uint64 ? (unsigned long long)*value->uint64 : 0ull); break;
    case FWP_BYTE_BLOB_TYPE:
        text[0] = 0;
        for (UINT32 i = 0; value->byteBlob && i < value->byteBlob->size && 2 * i + 3 < size; ++i) {
            sprintf(text + 2 * i, "%02x", value->byteBlob->data[i]);
        }
        break;
    default: snprintf(text, size, "?"); break;
    }
}

__declspec(dllexport) DWORD WINAPI FwpmEngineOpen0(const wchar_t *server, UINT32 authn, SEC_WINNT_AUTH_IDENTITY_W *id,
                                                   const FWPM_SESSION0 *session, HANDLE *engine) {
    (void)server, (void)authn, (void)id;
    *engine = NULL;
    const int dynamic = session && (session->flags & 0x1);
    Record(dynamic ? "open dynamic" : "open");
    const DWORD refused = Refused(0);
    if (refused) return refused;
    if (sessions + 1 >= kSessions) return ERROR_NOT_ENOUGH_MEMORY;
    if (!created) created = CreationOf(GetCurrentProcess());
    dynamicSession[++sessions] = dynamic;
    *engine = (HANDLE)(INT_PTR)sessions;
    return 0;
}

/* Takes out of state every line of this process's session. */
static void Remove(int session) {
    char owner[96], *line = state, *out = state;
    Owner(owner, sizeof owner, session);
    while (*line) {
        char *next = strchr(line, '\n');
        next = next ? next + 1 : line + strlen(line);
        const size_t length = (size_t)(next - line);
        if (strncmp(line + 2, owner, strlen(owner)) != 0 || line[2 + strlen(owner)] != ' ') {
            memmove(out, line, length);
            out += length;
        }
        line = next;
    }
    *out = 0;
}

__declspec(dllexport) DWORD WINAPI FwpmEngineClose0(HANDLE engine) {
    const int session = SessionOf(engine);
    Record("close");
    if (!session) return ERROR_INVALID_HANDLE;
    pending[0] = 0;  /* an open transaction is aborted */
    inTransaction[session] = 0;
    if (dynamicSession[session]) {
        Load();
        Remove(session);
        Save();
    }
    return 0;
}

__declspec(dllexport) DWORD WINAPI FwpmTransactionBegin0(HANDLE engine, UINT32 flags) {
    (void)flags;
    Record("begin");
    const DWORD refused = Refused(2);
    if (refused) return refused;
    if (!SessionOf(engine)) return ERROR_INVALID_HANDLE;
    inTransaction[SessionOf(engine)] = 1;
    pending[0] = 0;
    return 0;
}

__declspec(dllexport) DWORD WINAPI FwpmTransactionCommit0(HANDLE engine) {
    const int session = SessionOf(engine);
    Record("commit");
    const DWORD refused = Refused(5);
    if (refused) return refused;
    if (!session || !inTransaction[session]) return FWP_E_NO_TXN_IN_PROGRESS;
    inTransaction[session] = 0;
    Load();
    if (strlen(state) + strlen(pending) < sizeof state) strcat(state, pending);
    pending[0] = 0;
    Save();
    return 0;
}

__declspec(dllexport) DWORD WINAPI FwpmTransactionAbort0(HANDLE engine) {
    const int session = SessionOf(engine);
    Record("abort");
    if (!session || !inTransaction[session]) return FWP_E_NO_TXN_IN_PROGRESS;
    inTransaction[session] = 0;
    pending[0] = 0;
    return 0;
}

__declspec(dllexport) DWORD WINAPI FwpmSubLayerAdd0(HANDLE engine, const FWPM_SUBLAYER0 *sublayer,
                                                    PSECURITY_DESCRIPTOR sd) {
    const int session = SessionOf(engine);
    char owner[96], key[40], line[256];
    (void)sd;
    Record("sublayer");
    const DWORD refused = Refused(3);
    if (refused) return refused;
    if (!session) return ERROR_INVALID_HANDLE;
    Owner(owner, sizeof owner, session);
    Guid(key, &sublayer->subLayerKey);
    Load();
    if (strstr(state, key) || strstr(pending, key)) return FWP_E_ALREADY_EXISTS;
    snprintf(line, sizeof line, "S %s %s weight=%u flags=%lu\n", owner, key, sublayer->weight,
             (unsigned long)sublayer->flags);
    Append(session, line);
    return 0;
}

__declspec(dllexport) DWORD WINAPI FwpmFilterAdd0(HANDLE engine, const FWPM_FILTER0 *filter, PSECURITY_DESCRIPTOR sd,
                                                  UINT64 *id) {
    const int session = SessionOf(engine);
    static UINT64 nextId = 1000;
    char owner[96], layer[40], sublayer[40], sublayerLine[48], line[4096];
    (void)sd;
    Record("filter");
    const DWORD refused = Refused(4);
    if (refused) return refused;
    if (!session) return ERROR_INVALID_HANDLE;
    /* FWP_E_DYNAMIC_SESSION_IN_PROGRESS: what outlives a dynamic session
     * cannot be added in one. */
    if ((filter->flags & 0x3) && dynamicSession[session]) return 0x8032000B;
    Owner(owner, sizeof owner, session);
    Guid(layer, &filter->layerKey);
    Guid(sublayer, &filter->subLayerKey);
    snprintf(sublayerLine, sizeof sublayerLine, " %s weight=", sublayer);
    Load();
    if (!strstr(state, sublayerLine) && !strstr(pending, sublayerLine)) return FWP_E_SUBLAYER_NOT_FOUND;
    /* The weight as the engine orders filters: a UINT8 is the top 4 bits. */
    const unsigned long long weight = filter->weight.type == FWP_UINT8 ? (unsigned long long)filter->weight.uint8 << 60
                                      : filter->weight.type == FWP_UINT64 && filter->weight.uint64
                                          ? (unsigned long long)*filter->weight.uint64
                                          : 0ull;
    int used = snprintf(line, sizeof line, "F %s %s %s weight=%llu action=%lu flags=%lu conditions=%lu", owner, layer,
                        sublayer, weight, (unsigned long)filter->action.type, (unsigned long)filter->flags,
                        (unsigned long)filter->numFilterConditions);
    for (UINT32 i = 0; i < filter->numFilterConditions && used < (int)sizeof line - 200; ++i) {
        const FWPM_FILTER_CONDITION0 *condition = &filter->filterCondition[i];
        char field[40], value[1200];
        Guid(field, &condition->fieldKey);
        Value(value, sizeof value, &condition->conditionValue);
        used += snprintf(line + used, sizeof line - used, " %s,%d,%d,%s", field, condition->matchType,
                         condition->conditionValue.type, value);
    }
    /* The name last, blanks as underscores. */
    char name[256] = "-";
    if (filter->displayData.name) WideCharToMultiByte(CP_UTF8, 0, filter->displayData.name, -1, name, 256, 0, 0);
    for (char *c = name; *c; ++c) *c = *c == ' ' ? '_' : *c;
    snprintf(line + used, sizeof line - used, " name=%s\n", name);
    Append(session, line);
    if (id) *id = nextId++;
    return 0;
}

/* One block: the blob, then its bytes. */
__declspec(dllexport) DWORD WINAPI FwpmGetAppIdFromFileName0(const wchar_t *file, FWP_BYTE_BLOB **id) {
    Record("appid");
    const DWORD refused = Refused(1);
    if (refused) return refused;
    if (GetFileAttributesW(file) == INVALID_FILE_ATTRIBUTES) return GetLastError();
    const UINT32 size = (UINT32)((wcslen(file) + 1) * sizeof(wchar_t));
    FWP_BYTE_BLOB *blob = HeapAlloc(GetProcessHeap(), 0, sizeof *blob + size);
    if (!blob) return ERROR_NOT_ENOUGH_MEMORY;
    blob->size = size;
    blob->data = (UINT8 *)(blob + 1);
    memcpy(blob->data, file, size);
    CharLowerBuffW((wchar_t *)blob->data, size / sizeof(wchar_t) - 1);
    *id = blob;
    return 0;
}

__declspec(dllexport) void WINAPI FwpmFreeMemory0(void **p) {
    if (p && *p) HeapFree(GetProcessHeap(), 0, *p);
    if (p) *p = NULL;
}

static int enumerated;

__declspec(dllexport) DWORD WINAPI FwpmFilterCreateEnumHandle0(HANDLE engine, const FWPM_FILTER_ENUM_TEMPLATE0 *t,
                                                               HANDLE *handle) {
    (void)t;
    Record("enum");
    const DWORD refused = Refused(6);
    if (refused) return refused;
    if (!SessionOf(engine)) return ERROR_INVALID_HANDLE;
    enumerated = 0;
    *handle = (HANDLE)(INT_PTR)1;
    return 0;
}

/* The filters with their names (the doctor's question): one block for the
 * list, the filters and the names. */
__declspec(dllexport) DWORD WINAPI FwpmFilterEnum0(HANDLE engine, HANDLE handle, UINT32 requested,
                                                   FWPM_FILTER0 ***entries, UINT32 *returned) {
    enum { kName = 128 };
    (void)engine, (void)handle;
    *entries = NULL;
    *returned = 0;
    Load();
    const size_t each = sizeof(void *) + sizeof(FWPM_FILTER0) + kName * sizeof(wchar_t);
    char *block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, requested * each + 1);
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    FWPM_FILTER0 **list = (FWPM_FILTER0 **)block;
    FWPM_FILTER0 *filters = (FWPM_FILTER0 *)(block + requested * sizeof(void *));
    wchar_t *names = (wchar_t *)(block + requested * (sizeof(void *) + sizeof(FWPM_FILTER0)));
    UINT32 at = 0;
    int index = 0;
    for (const char *line = state; *line && at < requested;) {
        const char *next = strchr(line, '\n'), *name = strstr(line, " name=");
        if (line[0] == 'F' && index++ >= enumerated) {
            char text[kName] = "";
            if (name && name < next) sscanf(name + 6, "%127s", text);
            for (char *c = text; *c; ++c) *c = *c == '_' ? ' ' : *c;
            wchar_t *wide = names + at * kName;
            MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, kName);
            filters[at].displayData.name = wide;
            list[at] = &filters[at];
            ++at;
        }
        if (!next) break;
        line = next + 1;
    }
    enumerated += (int)at;
    if (at == 0) HeapFree(GetProcessHeap(), 0, block), block = NULL;
    *entries = (FWPM_FILTER0 **)block;
    *returned = at;
    return 0;
}

__declspec(dllexport) DWORD WINAPI FwpmFilterDestroyEnumHandle0(HANDLE engine, HANDLE handle) {
    (void)engine, (void)handle;
    return 0;
}

__declspec(dllexport) const char *StandinCalls(void) {
    Flush();
    return calls;
}

__declspec(dllexport) const char *StandinState(void) {
    Load();
    return state;
}

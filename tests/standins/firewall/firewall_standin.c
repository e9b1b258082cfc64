// Stand-in Windows Firewall: an in-process COM server for NetFwPolicy2 and
// NetFwRule. Its rules live in the file that TALIR_FW_RULES names, one per
// line in UTF-8: name TAB application TAB protocol TAB direction TAB action
// TAB enabled. A test that loads this same module reaches:
//   StandinCalls()        every call with its arguments, "Name(args)\n" each
//   StandinFail(name, hr, lastError)  the named call answers hr (0: succeeds
//                         again), with the thread's last error set to lastError
//   StandinReferences()   references still held on objects handed out
//   StandinReset()        forgets the calls so far and every failure set
// Only the methods the library and its doctor call are filled in; the other
// slots stay null, so that a new call crashes its test instead of passing.
// Copied under a system DLL's name (a planted wininet.dll), it appends
// "NAME loaded (planted)" to ran.txt in the current folder when loaded.
#include <initguid.h>
#include <windows.h>
#include <netfw.h>
#include <stdio.h>

#pragma GCC diagnostic ignored "-Wunused-parameter"  // every COM method gets its This

// Its vtable first, so that an object's address is its interface. A factory
// knows its class by `policy`, an enumerator its next rule by `next`; a
// rule's fields are named as its properties.
typedef struct { const void* vtbl; LONG count; const IID* iid; BOOL policy; LONG next;
                 WCHAR Name[MAX_PATH], ApplicationName[MAX_PATH]; LONG Protocol, Direction, Action, Enabled; } Object;

static struct Failure { WCHAR call[64]; HRESULT result; DWORD lastError; } failures[64];  // call: "Name("
static WCHAR calls[1 << 16], rules[1 << 16];  // rules: '\n', then the file, so each starts "\nNAME\t"
static char bytes[3 << 16];                   // the file, in UTF-8
static LONG used, failed, references;

// Answers the newest failure set for the call that `format` records, if any.
// The last error is set last, so a failed call must return at once.
static HRESULT Answer(const WCHAR* format) {
    for (const struct Failure* f = failures + failed; f-- > failures;) {
        if (wcsncmp(format, f->call, wcslen(f->call)) == 0) return SetLastError(f->lastError), f->result;
    }
    return S_OK;
}
#define RECORD(format, ...) \
    (used += swprintf(calls + used, ARRAYSIZE(calls) - used, format, ##__VA_ARGS__), Answer(format))

static Object* New(const void* vtbl, const IID* iid) {
    Object* object = malloc(sizeof *object);
    // A new rule starts as Windows' does: any protocol, inbound, allow, disabled.
    *object = (Object){vtbl, 1, iid, .Protocol = 256, .Direction = NET_FW_RULE_DIR_IN, .Action = NET_FW_ACTION_ALLOW};
    return ++references, object;
}

static ULONG WINAPI AddRef(Object* self) { return ++references, ++self->count; }

static ULONG WINAPI Release(Object* self) { return --references, --self->count ? self->count : (free(self), 0); }

static HRESULT WINAPI QueryInterface(Object* self, REFIID iid, void** out) {
    *out = IsEqualIID(iid, &IID_IUnknown) || IsEqualIID(iid, self->iid) ? self : NULL;
    return *out ? (AddRef(self), S_OK) : E_NOINTERFACE;
}

#define SLOT(method) .method = (void*)method
#define UNKNOWN SLOT(QueryInterface), SLOT(AddRef), SLOT(Release)

// A setter records its call, then keeps the value unless told to fail.
#define PROPERTY(Name, Type, format, get, set)                                            \
    static HRESULT WINAPI get_##Name(Object* self, Type* out) { return *out = get, S_OK; } \
    static HRESULT WINAPI put_##Name(Object* self, Type value) {                          \
        const HRESULT result = RECORD(L"put_" #Name L"(" format L")\n", value);           \
        return FAILED(result) ? result : (set, S_OK);                                     \
    }
#define TEXT_PROPERTY(Name) \
    PROPERTY(Name, BSTR, "%ls", SysAllocString(self->Name), lstrcpynW(self->Name, value, MAX_PATH))
#define NUMBER_PROPERTY(Name, Type) PROPERTY(Name, Type, "%d", self->Name, self->Name = value)
TEXT_PROPERTY(Name) TEXT_PROPERTY(ApplicationName) NUMBER_PROPERTY(Protocol, LONG)
NUMBER_PROPERTY(Direction, NET_FW_RULE_DIRECTION) NUMBER_PROPERTY(Action, NET_FW_ACTION)
NUMBER_PROPERTY(Enabled, VARIANT_BOOL)

static const INetFwRuleVtbl kRule = {UNKNOWN, SLOT(get_Name), SLOT(put_Name), SLOT(get_ApplicationName),
    SLOT(put_ApplicationName), SLOT(get_Protocol), SLOT(put_Protocol), SLOT(get_Direction), SLOT(put_Direction),
    SLOT(get_Action), SLOT(put_Action), SLOT(get_Enabled), SLOT(put_Enabled)};

// Reads the rules file, whose name goes to path, into `rules`.
static void Load(WCHAR* path) {
    GetEnvironmentVariableW(L"TALIR_FW_RULES", path, MAX_PATH);  // the CRT's copy misses what a test sets
    FILE* file = _wfopen(path, L"rb");
    const int size = file ? fread(bytes, 1, sizeof bytes, file) : 0;
    if (file) fclose(file);
    rules[0] = '\n', rules[1 + MultiByteToWideChar(CP_UTF8, 0, bytes, size, rules + 1, ARRAYSIZE(rules) - 2)] = 0;
}

// A rule of the line that starts at `line`, at its '\n'.
static Object* Parse(const WCHAR* line) {
    Object* rule = New(&kRule, &IID_INetFwRule);
    swscanf(line, L"\n%259l[^\t]\t%259l[^\t]\t%ld\t%ld\t%ld\t%ld", rule->Name, rule->ApplicationName,
            &rule->Protocol, &rule->Direction, &rule->Action, &rule->Enabled);
    return rule;
}

// Item, Remove and Add, once the call is recorded: reads the rules file, then
// hands out the first rule called `name` as `found`, or writes the file back
// with `added` at its end, or else without that rule.
static HRESULT Rules(const WCHAR* call, BSTR name, Object** found, const Object* added) {
    WCHAR path[MAX_PATH] = L"", key[MAX_PATH + 2];
    const HRESULT result = RECORD(call, name);
    if (FAILED(result)) return result;
    Load(path);
    swprintf(key, ARRAYSIZE(key), L"\n%ls\t", name);
    WCHAR *line = wcsstr(rules, key), *end = rules + wcslen(rules);
    if (found) return (*found = line ? Parse(line) : NULL) ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    if (!line && !added) return S_OK;  // as on Windows, removing an absent rule is no failure
    const WCHAR* next = added ? NULL : line + 1 + wcscspn(line + 1, L"\n");
    if (next) memmove(line, next, (end + 1 - next) * sizeof *next);
    if (added) swprintf(end, rules + ARRAYSIZE(rules) - end, L"%ls\t%ls\t%ld\t%ld\t%ld\t%ld\n", added->Name,
                        added->ApplicationName, added->Protocol, added->Direction, added->Action, added->Enabled);
    FILE* file = _wfopen(path, L"wb");
    fwrite(bytes, 1, WideCharToMultiByte(CP_UTF8, 0, rules + 1, -1, bytes, sizeof bytes, NULL, NULL) - 1, file);
    return fclose(file), S_OK;
}

static HRESULT WINAPI Item(Object* self, BSTR name, Object** out) { return Rules(L"Item(%ls)\n", name, out, NULL); }
static HRESULT WINAPI Remove(Object* self, BSTR name) { return Rules(L"Remove(%ls)\n", name, NULL, NULL); }
static HRESULT WINAPI Add(Object* self, Object* rule) { return Rules(L"Add(%ls)\n", rule->Name, NULL, rule); }

// The enumerator hands out one rule per call, as the file is then.
static HRESULT WINAPI Next(Object* self, ULONG count, VARIANT* out, ULONG* fetched) {
    WCHAR path[MAX_PATH] = L"", *line = rules;
    Load(path);
    for (LONG i = 0; line && i < self->next; ++i) line = wcschr(line + 1, '\n');
    const BOOL more = line && line[1];
    if (fetched) *fetched = more;
    if (!more) return S_FALSE;
    ++self->next;
    out->vt = VT_DISPATCH, out->pdispVal = (IDispatch*)Parse(line);
    return S_OK;
}

static const IEnumVARIANTVtbl kEnum = {UNKNOWN, SLOT(Next)};

static HRESULT WINAPI get__NewEnum(Object* self, Object** out) {
    const HRESULT result = RECORD(L"get__NewEnum()\n");
    return FAILED(result) ? result : (*out = New(&kEnum, &IID_IEnumVARIANT), S_OK);
}

static const INetFwRulesVtbl kRules = {UNKNOWN, SLOT(Add), SLOT(Remove), SLOT(Item), SLOT(get__NewEnum)};

static HRESULT WINAPI get_Rules(Object* self, Object** out) {
    const HRESULT result = RECORD(L"get_Rules()\n");
    return FAILED(result) ? result : (*out = New(&kRules, &IID_INetFwRules), S_OK);
}

static const INetFwPolicy2Vtbl kPolicy = {UNKNOWN, SLOT(get_Rules)};

static HRESULT WINAPI CreateInstance(Object* self, IUnknown* outer, REFIID iid, void** out) {
    const HRESULT result = RECORD(self->policy ? L"CreatePolicy()\n" : L"CreateRule()\n");
    if (SUCCEEDED(result)) *out = self->policy ? New(&kPolicy, &IID_INetFwPolicy2) : New(&kRule, &IID_INetFwRule);
    return result;  // COM asks the new object for `iid` itself
}

static const IClassFactoryVtbl kFactory = {UNKNOWN, SLOT(CreateInstance)};

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    const BOOL policy = IsEqualCLSID(clsid, &CLSID_NetFwPolicy2);
    if (!policy && !IsEqualCLSID(clsid, &CLSID_NetFwRule)) return *out = NULL, CLASS_E_CLASSNOTAVAILABLE;
    Object* factory = *out = New(&kFactory, &IID_IClassFactory);  // COM asks for IClassFactory, which it is
    return factory->policy = policy, S_OK;
}

HRESULT WINAPI DllCanUnloadNow(void) { return references ? S_FALSE : S_OK; }

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void* reserved) {
    char path[MAX_PATH] = "";
    FILE* ran = reason == DLL_PROCESS_ATTACH && GetModuleFileNameA(module, path, MAX_PATH) &&
                !strstr(path, "talir_firewall.dll") ? fopen("ran.txt", "a") : NULL;
    if (ran) fprintf(ran, "%s loaded (planted)\n", strrchr(path, '\\') + 1), fclose(ran);
    return TRUE;
}

const WCHAR* StandinCalls(void) { return calls; }

void StandinFail(const char* name, HRESULT result, DWORD lastError) {
    failures[failed] = (struct Failure){.result = result, .lastError = lastError};
    swprintf(failures[failed++].call, ARRAYSIZE(failures->call), L"%hs(", name);
}

LONG StandinReferences(void) { return references; }

void StandinReset(void) { calls[used = failed = 0] = 0; }

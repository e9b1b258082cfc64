// Stand-in Windows Firewall: an in-process COM server for NetFwPolicy2 and
// NetFwRule. Its rules live in the file that TALIR_FW_RULES names, one per
// line in UTF-8: name TAB application TAB protocol TAB direction TAB action
// TAB enabled; a line of any other shape is skipped, and dropped whenever the
// file is rewritten. A test that loads this same module reaches:
//   StandinCalls()        every call with its arguments, "Name(args)\n" each
//   StandinFail(name, hr, lastError)  the named call answers hr, with the
//                         thread's last error set to lastError
//   StandinReferences()   references still held on objects handed out
//   StandinReset()        forgets the calls so far and every failure set
// Only the methods the library and its doctor call are filled in; the other
// slots stay null, so that a new call crashes its test instead of passing.
#define COBJMACROS
#include <initguid.h>
#include <windows.h>
#include <netfw.h>
#include <stdio.h>

#pragma GCC diagnostic ignored "-Wunused-parameter"  // every COM method gets its This

typedef struct { BSTR text[2]; LONG n[4]; } Rule;  // name, application; protocol, direction, action, enabled
// Each object starts with its vtable, so that its address is its interface.
typedef struct { void* vtbl; LONG count; const IID* iid; BOOL policy; Rule rule; } Object;  // policy: a factory's class
typedef struct { char* name; HRESULT result; DWORD lastError; } Failure;

static WCHAR* calls;
static size_t used;
static Failure* failures;  // of two for one name, the newer counts
static int failed;
static LONG references;  // every reference handed out, until released
static struct { DWORD bytes; WCHAR text[7]; } kNull = {12, L"<null>"};  // laid out as a BSTR

#define NULL_OUT(out) if (!(out)) return E_POINTER; *(out) = NULL

static BSTR Text(BSTR value) { return value ? value : kNull.text; }  // as a null BSTR reads
static BSTR Copy(BSTR text) { return SysAllocStringLen(text, SysStringLen(text)); }

static BOOL Same(BSTR a, BSTR b) {
    return SysStringLen(a) == SysStringLen(b) && memcmp(a, b, SysStringLen(a) * sizeof(WCHAR)) == 0;
}

// Records the call and answers its configured failure, else S_OK. The
// failure's last error is set last, so a failed call must return at once.
static HRESULT Record(const char* name, const WCHAR* arguments, size_t length) {
    calls = realloc(calls, (used + strlen(name) + length + 4) * sizeof *calls);
    used += swprintf(calls + used, strlen(name) + 2, L"%hs(", name);
    memcpy(calls + used, arguments, length * sizeof *calls);  // all of a BSTR, nulls and all
    used += length + swprintf(calls + used + length, 3, L")\n");
    for (Failure* failure = failures + failed; failure-- > failures;) {
        if (strcmp(failure->name, name) != 0) continue;
        SetLastError(failure->lastError);
        return FAILED(failure->result) ? failure->result : S_OK;
    }
    return S_OK;
}

static HRESULT RecordText(const char* name, BSTR value) { return Record(name, Text(value), SysStringLen(Text(value))); }

static HRESULT RecordNumber(const char* name, LONG value) {
    WCHAR text[12];
    return Record(name, text, swprintf(text, 12, L"%ld", value));
}

static Object* New(void* vtbl, const IID* iid) {
    Object* object = malloc(sizeof *object);
    // A new NetFwRule starts as Windows' does: any protocol, inbound, allow, disabled.
    *object = (Object){vtbl, 1, iid, FALSE, {.n = {256, NET_FW_RULE_DIR_IN, NET_FW_ACTION_ALLOW, VARIANT_FALSE}}};
    ++references;
    return object;
}

static ULONG WINAPI AddRef(IUnknown* This) { return ++references, ++((Object*)This)->count; }

static ULONG WINAPI Release(IUnknown* This) {
    Object* self = (Object*)This;
    --references;
    const ULONG left = --self->count;
    if (left == 0) SysFreeString(self->rule.text[0]), SysFreeString(self->rule.text[1]), free(self);
    return left;
}

static HRESULT WINAPI QueryInterface(IUnknown* This, REFIID iid, void** out) {
    const IID* own = ((Object*)This)->iid;  // and IDispatch, for all but a factory
    NULL_OUT(out);
    if (IsEqualIID(iid, &IID_IUnknown) || IsEqualIID(iid, own) ||
        (own != &IID_IClassFactory && IsEqualIID(iid, &IID_IDispatch))) {
        AddRef(*out = This);
    }
    return *out ? S_OK : E_NOINTERFACE;
}

// Hands out the new object as `iid`, letting go of the creator's reference.
static HRESULT HandOut(Object* object, REFIID iid, void** out) {
    const HRESULT result = QueryInterface((IUnknown*)object, iid, out);
    Release((IUnknown*)object);
    return result;
}

#define UNKNOWN .QueryInterface = (void*)QueryInterface, .AddRef = (void*)AddRef, .Release = (void*)Release

static Rule* Self(INetFwRule* This) { return &((Object*)This)->rule; }

// A setter records its call, then stores the value unless told to fail.
#define TEXT_PROPERTY(Name, i)                                                                        \
    static HRESULT WINAPI get_##Name(INetFwRule* This, BSTR* out) {                                   \
        return !out ? E_POINTER : (*out = Copy(Self(This)->text[i])) ? S_OK : E_OUTOFMEMORY;          \
    }                                                                                                 \
    static HRESULT WINAPI put_##Name(INetFwRule* This, BSTR value) {                                  \
        const HRESULT result = RecordText("put_" #Name, value);                                       \
        if (SUCCEEDED(result)) SysFreeString(Self(This)->text[i]), Self(This)->text[i] = Copy(value); \
        return result;                                                                                \
    }
#define NUMBER_PROPERTY(Name, Type, i)                                                                \
    static HRESULT WINAPI get_##Name(INetFwRule* This, Type* out) {                                   \
        return out ? (*out = (Type)Self(This)->n[i], S_OK) : E_POINTER;                               \
    }                                                                                                 \
    static HRESULT WINAPI put_##Name(INetFwRule* This, Type value) {                                  \
        const HRESULT result = RecordNumber("put_" #Name, value);                                     \
        if (SUCCEEDED(result)) Self(This)->n[i] = value;                                              \
        return result;                                                                                \
    }
TEXT_PROPERTY(Name, 0) TEXT_PROPERTY(ApplicationName, 1)
NUMBER_PROPERTY(Protocol, LONG, 0) NUMBER_PROPERTY(Direction, NET_FW_RULE_DIRECTION, 1)
NUMBER_PROPERTY(Action, NET_FW_ACTION, 2) NUMBER_PROPERTY(Enabled, VARIANT_BOOL, 3)

static INetFwRuleVtbl kRule = {
    UNKNOWN, .get_Name = get_Name, .put_Name = put_Name, .get_ApplicationName = get_ApplicationName,
    .put_ApplicationName = put_ApplicationName, .get_Protocol = get_Protocol, .put_Protocol = put_Protocol,
    .get_Direction = get_Direction, .put_Direction = put_Direction, .get_Action = get_Action,
    .put_Action = put_Action, .get_Enabled = get_Enabled, .put_Enabled = put_Enabled};

static BSTR Wide(const char* bytes, int length) {
    BSTR text = SysAllocStringLen(NULL, MultiByteToWideChar(CP_UTF8, 0, bytes, length, NULL, 0));
    if (text) MultiByteToWideChar(CP_UTF8, 0, bytes, length, text, SysStringLen(text));
    return text;
}

static void WriteUtf8(FILE* file, BSTR text) {
    const int length = SysStringLen(text = Text(text));
    char* bytes = malloc(4 * length + 1);
    fwrite(bytes, 1, WideCharToMultiByte(CP_UTF8, 0, text, length, bytes, 4 * length, NULL, NULL), file);
    free(bytes);
}

// One pass over the rules file: finds the first rule called `name`, handing
// it out through `found` or dropping it, and appends `added` (still the
// caller's). The file is rewritten only when a rule went or came.
static BOOL Rules(BSTR name, INetFwRule** found, BOOL drop, const Rule* added) {
    char path[MAX_PATH], *end;
    const DWORD length = GetEnvironmentVariableA("TALIR_FW_RULES", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) path[0] = 0;  // names no file
    FILE* file = fopen(path, "rb");
    long size = file && fseek(file, 0, SEEK_END) == 0 ? ftell(file) : 0;
    char* text = malloc(size + 1);
    if (file) rewind(file), size = (long)fread(text, 1, size, file), fclose(file);
    text[size] = '\n';  // the last line ends like the others
    Rule* rules = malloc(sizeof *rules);  // with room for one more
    int count = 0, match = -1;
    for (char* line = text; line < text + size; line = end + 1) {
        end = memchr(line, '\n', text + size + 1 - line);
        // Fields as getline splits them: a tab at the very end opens none.
        char *stop = end > line && end[-1] == '\t' ? end - 1 : end, *field[6] = {line};
        int tabs = 0;
        for (char* c = line; c < stop; ++c) {
            if (*c == '\t' && (*c = 0, ++tabs < 6)) field[tabs] = c + 1;
        }
        *stop = 0;
        if (tabs != 5) continue;
        rules = realloc(rules, (count + 2) * sizeof *rules);
        for (int i = 0; i < 2; ++i) rules[count].text[i] = Wide(field[i], (int)(field[i + 1] - 1 - field[i]));
        for (int i = 0; i < 4; ++i) rules[count].n[i] = strtol(field[i + 2], NULL, 10);
        if (match < 0 && Same(rules[count].text[0], Text(name))) match = count;
        ++count;
    }
    free(text);
    if (found && match >= 0) {
        *found = (INetFwRule*)New(&kRule, &IID_INetFwRule);
        *Self(*found) = rules[match];
        rules[match] = (Rule){0};  // now the object's
    }
    if (added) rules[count] = *added;
    if ((added || (drop && match >= 0)) && (file = fopen(path, "wb"))) {
        for (const Rule* r = rules; r < rules + count + (added != NULL); ++r) {
            if (drop && r == rules + match) continue;
            WriteUtf8(file, r->text[0]), fputc('\t', file), WriteUtf8(file, r->text[1]);
            fprintf(file, "\t%ld\t%ld\t%ld\t%ld\n", r->n[0], r->n[1], r->n[2], r->n[3]);
        }
        fclose(file);
    }
    for (int i = 0; i < count; ++i) SysFreeString(rules[i].text[0]), SysFreeString(rules[i].text[1]);
    free(rules);
    return match >= 0;
}

static HRESULT WINAPI Item(INetFwRules* This, BSTR name, INetFwRule** out) {
    NULL_OUT(out);
    const HRESULT result = RecordText("Item", name);
    if (FAILED(result)) return result;
    return Rules(name, out, FALSE, NULL) ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

// As Windows does, removing a name it does not hold succeeds.
static HRESULT WINAPI Remove(INetFwRules* This, BSTR name) {
    const HRESULT result = RecordText("Remove", name);
    if (SUCCEEDED(result)) Rules(name, NULL, TRUE, NULL);
    return result;
}

// Reads the submitted rule back through its interface, as a firewall would.
static HRESULT WINAPI Add(INetFwRules* This, INetFwRule* rule) {
    Rule added = {.n = {256}};
    NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_IN;
    NET_FW_ACTION action = NET_FW_ACTION_ALLOW;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    if (!rule) return E_POINTER;
    INetFwRule_get_Name(rule, &added.text[0]);
    INetFwRule_get_ApplicationName(rule, &added.text[1]);
    INetFwRule_get_Protocol(rule, &added.n[0]);
    INetFwRule_get_Direction(rule, &direction);
    INetFwRule_get_Action(rule, &action);
    INetFwRule_get_Enabled(rule, &enabled);
    added.n[1] = direction, added.n[2] = action, added.n[3] = enabled;
    const HRESULT result = RecordText("Add", added.text[0]);
    if (SUCCEEDED(result)) Rules(NULL, NULL, FALSE, &added);
    SysFreeString(added.text[0]), SysFreeString(added.text[1]);  // leaves the last error alone
    return result;
}

static INetFwRulesVtbl kRules = {UNKNOWN, .Add = Add, .Remove = Remove, .Item = Item};

static HRESULT WINAPI get_Rules(INetFwPolicy2* This, INetFwRules** out) {
    NULL_OUT(out);
    const HRESULT result = Record("get_Rules", L"", 0);
    if (SUCCEEDED(result)) *out = (INetFwRules*)New(&kRules, &IID_INetFwRules);
    return result;
}

static INetFwPolicy2Vtbl kPolicy = {UNKNOWN, .get_Rules = get_Rules};

static HRESULT WINAPI CreateInstance(IClassFactory* This, IUnknown* outer, REFIID iid, void** out) {
    const BOOL policy = ((Object*)This)->policy;
    NULL_OUT(out);
    if (outer) return CLASS_E_NOAGGREGATION;
    const HRESULT result = Record(policy ? "CreatePolicy" : "CreateRule", L"", 0);
    if (FAILED(result)) return result;
    return HandOut(policy ? New(&kPolicy, &IID_INetFwPolicy2) : New(&kRule, &IID_INetFwRule), iid, out);
}

static HRESULT WINAPI LockServer(IClassFactory* This, BOOL lock) { return S_OK; }

static IClassFactoryVtbl kFactory = {UNKNOWN, .CreateInstance = CreateInstance, .LockServer = LockServer};

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    const BOOL policy = IsEqualCLSID(clsid, &CLSID_NetFwPolicy2);
    NULL_OUT(out);
    if (!policy && !IsEqualCLSID(clsid, &CLSID_NetFwRule)) return CLASS_E_CLASSNOTAVAILABLE;
    Object* factory = New(&kFactory, &IID_IClassFactory);
    factory->policy = policy;
    return HandOut(factory, iid, out);
}

HRESULT WINAPI DllCanUnloadNow(void) { return references == 0 ? S_OK : S_FALSE; }

const WCHAR* StandinCalls(void) { return calls ? calls : L""; }

void StandinFail(const char* name, HRESULT result, DWORD lastError) {
    failures = realloc(failures, ++failed * sizeof *failures);
    failures[failed - 1] = (Failure){_strdup(name), result, lastError};
}

LONG StandinReferences(void) { return references; }

void StandinReset(void) {
    while (failed > 0) free(failures[--failed].name);
    if (calls) calls[used = 0] = 0;
}

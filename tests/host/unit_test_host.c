/* A host for the module file, in plain C: it loads the file, takes the unit
 * through the one export and checks the unit's answers byte by byte, the
 * module objects' idle life, the version block and the export directory.
 *
 * Usage: unit_test_host <path of TovrinStreamer.module>
 */
#include "check.h"
#include "contract.h"
#include "host_env.h"
#include "test_device.h"

#include <stdlib.h>
#include <wchar.h>

#define INI_SECTION L"TovrinStreamer"
#define HOST_SECTION L"HostWindow"        /* the host's own part of its INI file */
#define FAKE_MAIN_WND ((HWND)(uintptr_t)0x00C0FFEEu) /* stored by the module, never used here */

/* ---- The file itself ---------------------------------------------------- */

static void check_export_directory(HMODULE module, FARPROC entry)
{
    check_step("export directory of the loaded image");
    const unsigned char *base = (const unsigned char *)module;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)base;
    if (!CHECK(dos->e_magic == IMAGE_DOS_SIGNATURE, "image starts with the MZ header"))
        return;
    const IMAGE_NT_HEADERS64 *nt = (const IMAGE_NT_HEADERS64 *)(base + dos->e_lfanew);
    if (!CHECK(nt->Signature == IMAGE_NT_SIGNATURE, "image has the PE signature"))
        return;
    CHECK(nt->FileHeader.Machine == IMAGE_FILE_MACHINE_AMD64, "image is for x64 (machine 0x%04X)",
          nt->FileHeader.Machine);
    CHECK((nt->FileHeader.Characteristics & IMAGE_FILE_DLL) != 0, "image is a DLL");
    if (!CHECK(nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC, "image has a PE32+ header"))
        return;

    const IMAGE_DATA_DIRECTORY *dir = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (!CHECK(dir->VirtualAddress != 0 && dir->Size != 0, "image has an export directory"))
        return;
    const IMAGE_EXPORT_DIRECTORY *exp = (const IMAGE_EXPORT_DIRECTORY *)(base + dir->VirtualAddress);
    const char *dllName = (const char *)(base + exp->Name);
    CHECK(strcmp(dllName, "TovrinStreamer.module") == 0,
          "export directory names the file \"TovrinStreamer.module\" (it says \"%s\")", dllName);
    CHECK_EQ(exp->NumberOfFunctions, 1, "exported functions");
    CHECK_EQ(exp->NumberOfNames, 1, "exported names");
    if (exp->NumberOfNames < 1 || exp->NumberOfFunctions < 1)
        return;
    const DWORD *names = (const DWORD *)(base + exp->AddressOfNames);
    const WORD *ordinals = (const WORD *)(base + exp->AddressOfNameOrdinals);
    const DWORD *functions = (const DWORD *)(base + exp->AddressOfFunctions);
    const char *name = (const char *)(base + names[0]);
    CHECK(strcmp(name, HOST_ENTRY_NAME) == 0, "the only export is %s (it is \"%s\")", HOST_ENTRY_NAME, name);
    CHECK(ordinals[0] < exp->NumberOfFunctions &&
              (const void *)(base + functions[ordinals[0]]) == (const void *)entry,
          "the export's address is what GetProcAddress returned");
}

static void check_version_string(const void *block, const wchar_t *key, const wchar_t *expected)
{
    wchar_t query[128];
    wchar_t *value = NULL;
    UINT len = 0;
    _snwprintf(query, 128, L"\\StringFileInfo\\040904b0\\%ls", key);
    query[127] = 0;
    int found = VerQueryValueW(block, query, (void **)&value, &len) && value != NULL;
    CHECK(found && wcscmp(value, expected) == 0, "version string %s is \"%s\" (it is \"%s\")",
          host_narrow(key), host_narrow(expected), found ? host_narrow(value) : "missing");
}

static void check_version_block(const wchar_t *path)
{
    check_step("version block as Windows reads it");
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (!CHECK(size > 0, "the file has a version block (%lu bytes)", (unsigned long)size))
        return;
    void *block = calloc(1, size);
    if (!CHECK(block != NULL && GetFileVersionInfoW(path, 0, size, block), "GetFileVersionInfoW reads it")) {
        free(block);
        return;
    }

    VS_FIXEDFILEINFO *fixed = NULL;
    UINT len = 0;
    if (CHECK(VerQueryValueW(block, L"\\", (void **)&fixed, &len) && fixed != NULL && len >= sizeof *fixed,
              "the block has the fixed part")) {
        CHECK_EQ(fixed->dwSignature, 0xFEEF04BDu, "fixed part signature");
        /* 2.5.1.3452: 3452 is 0x0D7C */
        CHECK_EQ(fixed->dwFileVersionMS, 0x00020005u, "file version high word pair (2.5)");
        CHECK_EQ(fixed->dwFileVersionLS, 0x00010D7Cu, "file version low word pair (1.3452)");
        CHECK_EQ(fixed->dwProductVersionMS, 0x00020005u, "product version high word pair (2.5)");
        CHECK_EQ(fixed->dwProductVersionLS, 0x00010D7Cu, "product version low word pair (1.3452)");
        CHECK_EQ(fixed->dwFileType, VFT_DLL, "file type VFT_DLL");
        CHECK_EQ(fixed->dwFileOS, VOS_NT_WINDOWS32, "file OS VOS_NT_WINDOWS32");
    }

    WORD *translation = NULL;
    if (CHECK(VerQueryValueW(block, L"\\VarFileInfo\\Translation", (void **)&translation, &len) &&
                  translation != NULL && len == 4,
              "one translation entry (%u bytes)", len)) {
        CHECK_EQ(translation[0], 0x0409, "translation language");
        CHECK_EQ(translation[1], 1200, "translation code page");
    }

    static const struct { const wchar_t *key, *value; } strings[] = {
        {L"FileDescription", L"Tovrin TS Streamer"},
        {L"InternalName", L"Tovrin TS Streamer"},
        {L"ProductName", L"Tovrin TS Streamer"},
        {L"FileVersion", L"2.5.1.3452"},
        {L"ProductVersion", L"2.5.1"},
        {L"OriginalFilename", L"TovrinStreamer.module"},
    };
    for (size_t i = 0; i < sizeof strings / sizeof strings[0]; ++i)
        check_version_string(block, strings[i].key, strings[i].value);
    free(block);
}

/* ---- The unit ----------------------------------------------------------- */

static ReceiverModuleUnit *check_unit_entry(GetReceiverModuleUnitFn entry)
{
    check_step("the export returns the unit");
    ReceiverModuleUnit *unit = entry();
    int same = 1;
    for (int i = 0; i < 5; ++i)
        same = same && entry() == unit;
    CHECK(unit != NULL && unit->vtbl != NULL, "the export returns a unit with a slot table (%p)", (void *)unit);
    CHECK(same, "every call returns the same unit pointer");
    return unit != NULL && unit->vtbl != NULL ? unit : NULL;
}

/* A unit record of `buffer` bytes in a pattern, with the host's fields set. */
static unsigned char *unit_record(size_t buffer, int32_t size, const wchar_t *ini, unsigned seed)
{
    unsigned char *rec = (unsigned char *)malloc(buffer);
    fill_pattern(rec, buffer, seed);
    rec_set_i32(rec, UNIT_INFO_OFF_SIZE, size);
    rec_set_ptr(rec, UNIT_INFO_OFF_MAIN_WND, FAKE_MAIN_WND);
    rec_set_ptr(rec, UNIT_INFO_OFF_INI_FILE, ini);
    return rec;
}

/* What an accepted GetInfo leaves: the record as handed in plus the module's
 * fields, and nothing else. */
static void expect_unit_answer(unsigned char *rec)
{
    rec_set_i32(rec, UNIT_INFO_OFF_API_VERSION, HOST_API_VERSION);
    rec_set_i32(rec, UNIT_INFO_OFF_28, 205);
    rec_set_i32(rec, UNIT_INFO_OFF_32, 200);
    rec_set_wide_field(rec, UNIT_INFO_OFF_AUTHOR, UNIT_INFO_AUTHOR, UNIT_INFO_AUTHOR_CHARS);
    rec_set_i32(rec, UNIT_INFO_OFF_436, 1);
    rec_set_i32(rec, UNIT_INFO_OFF_440, 0);
}

static void run_get_info(ReceiverModuleUnit *unit, size_t buffer, int32_t size, const wchar_t *ini,
                         int expectResult, const char *what)
{
    unsigned char *rec = unit_record(buffer, size, ini, (unsigned)size);
    unsigned char *expected = (unsigned char *)malloc(buffer);
    memcpy(expected, rec, buffer);
    if (expectResult == 1)
        expect_unit_answer(expected);
    int result = unit->vtbl->GetInfo(unit, rec);
    char line[200];
    snprintf(line, sizeof line, "GetInfo %s returns %d", what, expectResult);
    CHECK_EQ(result, expectResult, line);
    snprintf(line, sizeof line, expectResult ? "GetInfo %s writes exactly the module's fields"
                                             : "GetInfo %s changes no byte",
             what);
    CHECK_BYTES(rec, expected, buffer, line);
    free(expected);
    free(rec);
}

/* A path of exactly `chars` characters under `dir`. */
static wchar_t *path_of_length(const wchar_t *dir, size_t chars)
{
    wchar_t *path = (wchar_t *)malloc((chars + 1) * sizeof(wchar_t));
    size_t dirLen = wcslen(dir);
    wcscpy(path, dir);
    path[dirLen] = L'\\';
    for (size_t i = dirLen + 1; i < chars; ++i)
        path[i] = L'p';
    if (chars >= dirLen + 6)
        memcpy(path + chars - 4, L".ini", 4 * sizeof(wchar_t));
    path[chars] = 0;
    return path;
}

static void check_get_info(ReceiverModuleUnit *unit, const wchar_t *dir, const wchar_t *ini)
{
    check_step("GetInfo: record sizes");
    static const struct { int32_t size; size_t buffer; int result; const char *what; } sizes[] = {
        {-1, UNIT_INFO_SIZE, 0, "with Size -1"},
        {0, UNIT_INFO_SIZE, 0, "with Size 0"},
        {UNIT_INFO_SIZE - 1, UNIT_INFO_SIZE, 0, "with Size 1087"},
        {UNIT_INFO_SIZE, UNIT_INFO_SIZE, 1, "with Size 1088"},
        {1200, 1200, 1, "with Size 1200 (a newer host's longer record)"},
    };
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i)
        run_get_info(unit, sizes[i].buffer, sizes[i].size, ini, sizes[i].result, sizes[i].what);

    /* The module keeps 260 characters with the terminator: a longer path is
     * refused rather than cut (a cut path would put settings in a wrong
     * file). The accepted long path is replaced by the real one before the
     * refusals, so the settings round trip below shows that no refused call
     * touched the stored path. */
    check_step("GetInfo: INI path lengths");
    wchar_t *fits = path_of_length(dir, UNIT_INI_CAPACITY - 1);
    run_get_info(unit, UNIT_INFO_SIZE, UNIT_INFO_SIZE, fits, 1, "with a 259-character INI path");
    free(fits);
    run_get_info(unit, UNIT_INFO_SIZE, UNIT_INFO_SIZE, ini, 1, "with the test's INI path");

    static const struct { size_t chars; const char *what; } refused[] = {
        {0, "with a null INI path"},
        {UNIT_INI_CAPACITY, "with a 260-character INI path"},
        {UNIT_INI_CAPACITY + 1, "with a 261-character INI path"},
        {1000, "with a 1000-character INI path"},
    };
    for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
        wchar_t *path = refused[i].chars ? path_of_length(dir, refused[i].chars) : NULL;
        run_get_info(unit, UNIT_INFO_SIZE, UNIT_INFO_SIZE, path, 0, refused[i].what);
        free(path);
    }
}

static void check_get_module_info(ReceiverModuleUnit *unit)
{
    check_step("GetModuleInfo");
    /* The module does not read Size: whatever stands there stays. */
    static const struct { int setSize; int32_t size; const char *what; } cases[] = {
        {1, MODULE_INFO_SIZE, "with Size 232"},
        {1, 0, "with Size 0"},
        {0, 0, "with Size left as pattern"},
    };
    enum { BUFFER = MODULE_INFO_SIZE + 64 };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        unsigned char rec[BUFFER], expected[BUFFER];
        char line[160];
        fill_pattern(rec, BUFFER, 40 + (unsigned)i);
        if (cases[i].setSize)
            rec_set_i32(rec, MODULE_INFO_OFF_SIZE, cases[i].size);
        memcpy(expected, rec, BUFFER);
        rec_set_wide_field(expected, MODULE_INFO_OFF_NAME, MODULE_INFO_NAME, MODULE_INFO_NAME_CHARS);
        rec_set_i32(expected, MODULE_INFO_OFF_208, 0);
        rec_set_u32(expected, MODULE_INFO_OFF_FLAGS, 256);
        rec_set_u8(expected, MODULE_INFO_OFF_216, 1);
        rec_set_i32(expected, MODULE_INFO_OFF_TRANSPORT, HOST_TRANSPORT_TS);

        int result = unit->vtbl->GetModuleInfo(unit, rec);
        snprintf(line, sizeof line, "GetModuleInfo %s returns 1", cases[i].what);
        CHECK_EQ(result, 1, line);
        snprintf(line, sizeof line, "GetModuleInfo %s writes exactly the module's fields", cases[i].what);
        CHECK_BYTES(rec, expected, BUFFER, line);
    }
    CHECK_EQ(unit->vtbl->GetLastError(unit), 0, "GetLastError");
}

/* ---- Module objects ----------------------------------------------------- */

static void create_record(unsigned char *rec, size_t buffer, int32_t size, DeviceModule *device, unsigned seed)
{
    fill_pattern(rec, buffer, seed);
    rec_set_i32(rec, CREATE_PARAMS_OFF_SIZE, size);
    rec_set_ptr(rec, CREATE_PARAMS_OFF_DEVICE, device);
}

static void check_create_refusals(ReceiverModuleUnit *unit)
{
    check_step("CreateModule: record sizes below 40");
    TestDevice device;
    test_device_init(&device, "refusals", HOST_TRANSPORT_TS, 11);
    static const int32_t sizes[] = {-1, 0, CREATE_PARAMS_SIZE - 1};
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        unsigned char rec[CREATE_PARAMS_SIZE], before[CREATE_PARAMS_SIZE];
        char line[120];
        create_record(rec, sizeof rec, sizes[i], &device.base, 60 + (unsigned)i);
        memcpy(before, rec, sizeof rec);
        ReceiverModule *m = unit->vtbl->CreateModule(unit, rec);
        CHECK(m == NULL, "CreateModule with Size %d returns null (%p)", (int)sizes[i], (void *)m);
        snprintf(line, sizeof line, "CreateModule with Size %d changes no byte of the record", (int)sizes[i]);
        CHECK_BYTES(rec, before, sizeof rec, line);
        if (m != NULL)
            unit->vtbl->DestroyModule(unit, m);
    }
    CHECK_EQ(test_device_total_calls(&device), 0, "calls into the device of refused records");
}

/* The host-side buffers handed to a module object, in patterns that must
 * come back unchanged: the module reads none of them. */
typedef struct HostBuffers {
    unsigned char channels[2 * CHANNEL_INFO_SIZE];
    unsigned char additionParams[256];
    unsigned char packets[7 * HOST_TS_PACKET];
} HostBuffers;

static void host_buffers_init(HostBuffers *b)
{
    fill_pattern(b->channels, sizeof b->channels, 1);
    fill_pattern(b->additionParams, sizeof b->additionParams, 2);
    for (int i = 0; i < 7; ++i) {
        unsigned char *p = b->packets + i * HOST_TS_PACKET;
        fill_pattern(p, HOST_TS_PACKET, 3 + (unsigned)i);
        p[0] = 0x47; /* sync byte */
        p[1] = 0x01; /* PID 0x100 */
        p[2] = 0x00;
        p[3] = (unsigned char)(0x10 | i); /* payload only, continuity counter */
    }
}

/* Every IReceiverModule operation an idle object must take without effect. */
static void drive_idle_object(ReceiverModule *m, const char *label)
{
    HostBuffers b, before;
    char line[160];
    host_buffers_init(&b);
    before = b;

    m->vtbl->SetTransponder(m, b.channels, b.additionParams);
    m->vtbl->SendCommand(m, L"");
    m->vtbl->SendCommand(m, L"Tune 11778 V 27500");
    m->vtbl->ReceiveTraffic(m, b.packets, 7 * HOST_TS_PACKET);
    m->vtbl->ReceiveTraffic(m, b.packets, HOST_TS_PACKET);
    m->vtbl->ReceiveTraffic(m, b.packets + HOST_TS_PACKET, 3 * HOST_TS_PACKET);
    m->vtbl->ReceiveTraffic(m, b.packets, 0);
    m->vtbl->UpdateOpenedChannels(m, b.channels, 2, HOST_TRANSPORT_TS);
    m->vtbl->UpdateOpenedChannels(m, NULL, 0, 0);

    snprintf(line, sizeof line, "object %s: idle operations leave the host's channel records unchanged", label);
    CHECK_BYTES(b.channels, before.channels, sizeof b.channels, line);
    snprintf(line, sizeof line, "object %s: idle operations leave the transponder parameters unchanged", label);
    CHECK_BYTES(b.additionParams, before.additionParams, sizeof b.additionParams, line);
    snprintf(line, sizeof line, "object %s: idle traffic leaves the host's packets unchanged", label);
    CHECK_BYTES(b.packets, before.packets, sizeof b.packets, line);
}

static int ini_read_int(const wchar_t *ini, const wchar_t *section, const wchar_t *key)
{
    wchar_t text[32];
    GetPrivateProfileStringW(section, key, L"-99999", text, 32, ini);
    return _wtoi(text);
}

static void check_settings_in_ini(const wchar_t *ini, unsigned short port, const char *when)
{
    wchar_t text[64];
    char line[200];
    GetPrivateProfileStringW(INI_SECTION, L"IPAddress", L"(missing)", text, 64, ini);
    CHECK(wcscmp(text, L"127.0.0.1") == 0, "%s: INI holds IPAddress 127.0.0.1 (it holds \"%s\")", when,
          host_narrow(text));
    snprintf(line, sizeof line, "%s: INI UDP_Port", when);
    CHECK_EQ(ini_read_int(ini, INI_SECTION, L"UDP_Port"), port, line);
    snprintf(line, sizeof line, "%s: INI nTS_UDP", when);
    CHECK_EQ(ini_read_int(ini, INI_SECTION, L"nTS_UDP"), 3, line);
    GetPrivateProfileStringW(HOST_SECTION, L"Placement", L"(missing)", text, 64, ini);
    CHECK(wcscmp(text, L"10,20,640,480") == 0, "%s: the host's own INI section survives (\"%s\")", when,
          host_narrow(text));
}

static void check_module_objects(ReceiverModuleUnit *unit, const wchar_t *ini, UdpListener *listener)
{
    TestDevice deviceA, deviceB;
    unsigned char recA[CREATE_PARAMS_SIZE], recB[48], beforeA[CREATE_PARAMS_SIZE], beforeB[48];
    test_device_init(&deviceA, "A", HOST_TRANSPORT_TS, 101);
    test_device_init(&deviceB, "B", HOST_TRANSPORT_TS, 201);

    check_step("CreateModule: two objects at once");
    create_record(recA, sizeof recA, CREATE_PARAMS_SIZE, &deviceA.base, 70);
    create_record(recB, sizeof recB, sizeof recB, &deviceB.base, 71);
    memcpy(beforeA, recA, sizeof recA);
    memcpy(beforeB, recB, sizeof recB);
    ReceiverModule *a = unit->vtbl->CreateModule(unit, recA);
    ReceiverModule *b = unit->vtbl->CreateModule(unit, recB);
    CHECK(a != NULL && a->vtbl != NULL, "CreateModule with Size 40 returns an object (%p)", (void *)a);
    CHECK(b != NULL && b->vtbl != NULL, "CreateModule with Size 48 returns an object (%p)", (void *)b);
    if (a == NULL || b == NULL || a->vtbl == NULL || b->vtbl == NULL)
        return;
    CHECK(a != b, "the two objects are distinct");
    CHECK_BYTES(recA, beforeA, sizeof recA, "CreateModule leaves the host's 40-byte record unchanged");
    CHECK_BYTES(recB, beforeB, sizeof recB, "CreateModule leaves the host's 48-byte record unchanged");

    /* Both objects loaded their settings from the test's INI file. Take the
     * module's section away: only the objects' own saves can bring it back. */
    WritePrivateProfileStringW(INI_SECTION, NULL, NULL, ini);

    check_step("idle module objects");
    drive_idle_object(a, "A");
    drive_idle_object(b, "B");
    drive_idle_object(a, "A");
    CHECK_EQ(udp_listener_count_before_marker(listener), 0,
             "datagrams sent to the configured destination by idle objects");

    check_step("DestroyModule of one object while the other lives");
    unit->vtbl->DestroyModule(unit, a);
    drive_idle_object(b, "B after A's end");
    unit->vtbl->DestroyModule(unit, b);
    CHECK_EQ(udp_listener_count_before_marker(listener), 0, "datagrams sent by objects being destroyed");

    CHECK_EQ(test_device_total_calls(&deviceA), 0, "calls into device A by an object that never streamed");
    CHECK_EQ(test_device_total_calls(&deviceB), 0, "calls into device B by an object that never streamed");

    /* The objects kept the settings they loaded and wrote them back to the
     * path given to GetInfo, which the refused GetInfo calls left alone. */
    check_settings_in_ini(ini, listener->port, "after both objects ended");

    check_step("DestroyModule(null)");
    unit->vtbl->DestroyModule(unit, NULL);
    CHECK_EQ(unit->vtbl->GetLastError(unit), 0, "GetLastError after DestroyModule(null)");
}

/* A record without a device: the object exists but must never call
 * through the null pointer (a call would crash and fail the run). */
static void check_null_device(ReceiverModuleUnit *unit, const wchar_t *ini, unsigned short port)
{
    check_step("CreateModule with a null device");
    unsigned char rec[CREATE_PARAMS_SIZE];
    create_record(rec, sizeof rec, CREATE_PARAMS_SIZE, NULL, 80);
    ReceiverModule *m = unit->vtbl->CreateModule(unit, rec);
    if (!CHECK(m != NULL && m->vtbl != NULL, "CreateModule with a null device returns an object (%p)", (void *)m))
        return;
    drive_idle_object(m, "without device");
    unit->vtbl->DestroyModule(unit, m);
    CHECK(1, "an object without device took every idle operation and its end");
    check_settings_in_ini(ini, port, "after the object without device ended");
}

/* ---- Run ---------------------------------------------------------------- */

static int write_host_ini(const wchar_t *ini, unsigned short port)
{
    wchar_t text[16];
    _snwprintf(text, 16, L"%u", (unsigned)port);
    text[15] = 0;
    return WritePrivateProfileStringW(HOST_SECTION, L"Placement", L"10,20,640,480", ini) &&
           WritePrivateProfileStringW(INI_SECTION, L"IPAddress", L"127.0.0.1", ini) &&
           WritePrivateProfileStringW(INI_SECTION, L"UDP_Port", text, ini) &&
           WritePrivateProfileStringW(INI_SECTION, L"nTS_UDP", L"3", ini);
}

static wchar_t g_tempDir[MAX_PATH];
static wchar_t g_iniPath[MAX_PATH];

/* The temporary folder goes away however the run ends; the module may have
 * written the INI file again after any check. */
static void remove_temp_files(void)
{
    if (g_iniPath[0] != 0)
        DeleteFileW(g_iniPath);
    if (g_tempDir[0] != 0)
        RemoveDirectoryW(g_tempDir);
}

int main(void)
{
    check_init();
    wchar_t modulePath[MAX_PATH * 2];
    if (!host_module_path_arg(1, modulePath, MAX_PATH * 2)) {
        printf("usage: unit_test_host <path of TovrinStreamer.module>\n");
        return 2;
    }

    check_step("test environment");
    WSADATA wsa;
    wchar_t *dir = g_tempDir, *ini = g_iniPath;
    g_check_cleanup = remove_temp_files;
    UdpListener listener = {INVALID_SOCKET, 0};
    int ready = CHECK(WSAStartup(MAKEWORD(2, 2), &wsa) == 0, "the host's socket library starts");
    ready = ready && udp_listener_open(&listener);
    CHECK(ready, "a UDP listener on 127.0.0.1 (port %u)", listener.port);
    ready = ready && host_make_temp_dir(dir, MAX_PATH);
    CHECK(ready, "a private temporary folder");
    ready = ready && _snwprintf(ini, MAX_PATH, L"%ls\\host.ini", dir) > 0;
    ready = ready && write_host_ini(ini, listener.port);
    CHECK(ready, "the host INI file %s", ready ? host_narrow(ini) : "");
    if (!ready) {
        remove_temp_files();
        return check_summary();
    }

    check_step("loading the module file");
    HMODULE module = LoadLibraryW(modulePath);
    CHECK(module != NULL, "LoadLibraryW(%s) (error %lu)", host_narrow(modulePath),
          module ? 0ul : (unsigned long)GetLastError());
    FARPROC entry = module ? GetProcAddress(module, HOST_ENTRY_NAME) : NULL;
    CHECK(entry != NULL, "GetProcAddress finds %s", HOST_ENTRY_NAME);
    if (entry != NULL) {
        check_export_directory(module, entry);
        check_version_block(modulePath);
        ReceiverModuleUnit *unit = check_unit_entry((GetReceiverModuleUnitFn)(void (*)(void))entry);
        if (unit != NULL) {
            CHECK_EQ(unit->vtbl->GetLastError(unit), 0, "GetLastError before anything else");
            check_get_info(unit, dir, ini);
            check_get_module_info(unit);
            check_create_refusals(unit);
            check_module_objects(unit, ini, &listener);
            check_null_device(unit, ini, listener.port);
            CHECK_EQ(unit->vtbl->GetLastError(unit), 0, "GetLastError at the end");
        }
    }

    check_step("unloading and cleaning up");
    if (module != NULL)
        CHECK(FreeLibrary(module), "FreeLibrary unloads the module file");
    udp_listener_close(&listener);
    WSACleanup();
    DeleteFileW(ini);
    CHECK(RemoveDirectoryW(dir), "the temporary folder held nothing but the host INI file");
    g_tempDir[0] = 0;
    return check_summary();
}

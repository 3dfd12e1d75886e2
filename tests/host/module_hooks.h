/* Three things a test host can do to a loaded module file from outside:
 *
 * - Watch for faults. Wine swallows an access violation raised inside a
 *   dialog procedure (the dialog then just behaves oddly), so a vectored
 *   handler records every access violation, and any other exception raised
 *   inside the module's image, before anyone can swallow it.
 *
 * - Give the module a clock of the test's choosing. The module's import of
 *   GetTickCount (kernel32) is pointed at a function of the test, which
 *   answers the real tick count until the test sets a value of its own. The
 *   running-time texts can then be checked exactly, across a wrap of the
 *   32-bit counter, without waiting for hours.
 *
 * - See the module register the common controls. Its import of
 *   InitCommonControlsEx (comctl32) is pointed at a recorder that passes the
 *   call on. Wine registers every common control class as soon as comctl32
 *   is loaded, so only the call itself shows that the module would also get
 *   its address control where that is not so.
 *
 * - Refuse the module's datagrams as a link that is down does: its import of
 *   sendto (ws2_32) fails with an error of the test's choosing while the test
 *   says so, without sending.
 *
 * - Read what the module tells the host's log: its import of
 *   OutputDebugStringW (kernel32) keeps every line (a debugger would see them
 *   the same way). */
#ifndef TOVRIN_HOST_MODULE_HOOKS_H
#define TOVRIN_HOST_MODULE_HOOKS_H

#include "contract.h"
#include "../../tools/host/ImportSlot.h"

#include <commctrl.h>

/* ---- Fault watch -------------------------------------------------------- */

static const unsigned char *g_watch_begin, *g_watch_end; /* the module's image */
static volatile LONG g_watch_faults;
static volatile DWORD g_watch_first_code;
static void *volatile g_watch_first_address;
static const char *volatile g_watch_first_step;
static const char *volatile *g_watch_step; /* the host's step name, for the report */

static int module_image_range(HMODULE module, const unsigned char **begin, const unsigned char **end)
{
    const unsigned char *base = (const unsigned char *)module;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)base;
    if (base == NULL || dos->e_magic != IMAGE_DOS_SIGNATURE)
        return 0;
    const IMAGE_NT_HEADERS64 *nt = (const IMAGE_NT_HEADERS64 *)(base + dos->e_lfanew);
    *begin = base;
    *end = base + nt->OptionalHeader.SizeOfImage;
    return 1;
}

static LONG CALLBACK fault_watch_handler(EXCEPTION_POINTERS *info)
{
    DWORD code = info->ExceptionRecord->ExceptionCode;
    const unsigned char *at = (const unsigned char *)info->ExceptionRecord->ExceptionAddress;
    int inModule = at >= g_watch_begin && at < g_watch_end;
    int fault = code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_STACK_OVERFLOW ||
                code == EXCEPTION_INT_DIVIDE_BY_ZERO || code == EXCEPTION_ILLEGAL_INSTRUCTION ||
                code == EXCEPTION_PRIV_INSTRUCTION || code == EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
    if (fault || inModule) {
        if (InterlockedIncrement(&g_watch_faults) == 1) {
            g_watch_first_code = code;
            g_watch_first_address = (void *)at;
            g_watch_first_step = g_watch_step ? *g_watch_step : "?";
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

/* `step` points at the host's current step name. */
static int fault_watch_install(HMODULE module, const char *volatile *step)
{
    g_watch_step = step;
    module_image_range(module, &g_watch_begin, &g_watch_end);
    return AddVectoredExceptionHandler(1, fault_watch_handler) != NULL;
}

static long fault_watch_count(void)
{
    return InterlockedCompareExchange(&g_watch_faults, 0, 0);
}

/* ---- Clock of the test's choosing --------------------------------------- */

static volatile LONG g_clock_fixed;      /* 1: answer g_clock_value */
static volatile LONG g_clock_value;      /* a DWORD tick count, stored as LONG */
static ULONG_PTR *g_clock_slot;          /* the module's import slot */
static ULONG_PTR g_clock_original;

static DWORD WINAPI module_clock_get_tick_count(void)
{
    if (g_clock_fixed)
        return (DWORD)g_clock_value;
    return GetTickCount();
}

static int module_import_patch(HMODULE module, const char *dll, const char *name, ULONG_PTR replacement,
                               ULONG_PTR **slot, ULONG_PTR *original)
{
    *slot = module_import_slot(module, dll, name);
    if (*slot == NULL)
        return 0;
    *original = **slot;
    return module_import_write(*slot, replacement);
}

static int module_clock_install(HMODULE module)
{
    return module_import_patch(module, "KERNEL32.dll", "GetTickCount", (ULONG_PTR)module_clock_get_tick_count,
                               &g_clock_slot, &g_clock_original);
}

static void module_clock_set(DWORD ticks)
{
    InterlockedExchange(&g_clock_value, (LONG)ticks);
    InterlockedExchange(&g_clock_fixed, 1);
}

static void module_clock_release(void)
{
    InterlockedExchange(&g_clock_fixed, 0);
}

static void module_clock_uninstall(void)
{
    if (g_clock_slot != NULL)
        module_import_write(g_clock_slot, g_clock_original);
    g_clock_slot = NULL;
}

/* ---- Registration of the common controls -------------------------------- */

typedef BOOL(WINAPI *InitCommonControlsExFn)(const INITCOMMONCONTROLSEX *);

static volatile LONG g_icc_calls;            /* InitCommonControlsEx calls by the module */
static volatile LONG g_icc_internet_calls;   /* of them: a whole record asking for ICC_INTERNET_CLASSES */
static ULONG_PTR *g_icc_slot;
static ULONG_PTR g_icc_original;

static BOOL WINAPI module_icc_record(const INITCOMMONCONTROLSEX *init)
{
    InterlockedIncrement(&g_icc_calls);
    if (init != NULL && init->dwSize == sizeof *init && (init->dwICC & ICC_INTERNET_CLASSES) != 0)
        InterlockedIncrement(&g_icc_internet_calls);
    return ((InitCommonControlsExFn)g_icc_original)(init);
}

static int module_icc_install(HMODULE module)
{
    return module_import_patch(module, "COMCTL32.dll", "InitCommonControlsEx", (ULONG_PTR)module_icc_record,
                               &g_icc_slot, &g_icc_original);
}

static void module_icc_uninstall(void)
{
    if (g_icc_slot != NULL)
        module_import_write(g_icc_slot, g_icc_original);
    g_icc_slot = NULL;
}

/* ---- Refused sends ------------------------------------------------------ */

typedef int(WSAAPI *SendToFn)(SOCKET, const char *, int, int, const struct sockaddr *, int);

static volatile LONG g_refuse_error;   /* 0: pass sends on */
static ULONG_PTR *g_sendto_slot;
static ULONG_PTR g_sendto_original;

static int WSAAPI module_sendto(SOCKET s, const char *buf, int len, int flags, const struct sockaddr *to, int tolen)
{
    LONG error = InterlockedCompareExchange(&g_refuse_error, 0, 0);
    if (error != 0) {
        WSASetLastError((int)error);
        return SOCKET_ERROR;
    }
    return ((SendToFn)g_sendto_original)(s, buf, len, flags, to, tolen);
}

static int module_sendto_install(HMODULE module)
{
    return module_import_patch(module, "WS2_32.dll", "sendto", (ULONG_PTR)module_sendto, &g_sendto_slot,
                               &g_sendto_original);
}

/* From now on every send of the module fails with `error`; 0 ends that. */
static void module_sendto_refuse(int error)
{
    InterlockedExchange(&g_refuse_error, error);
}

static void module_sendto_uninstall(void)
{
    if (g_sendto_slot != NULL)
        module_import_write(g_sendto_slot, g_sendto_original);
    g_sendto_slot = NULL;
}

/* ---- Debug output ------------------------------------------------------- */

enum { DEBUG_LINES_KEPT = 64, DEBUG_LINE_CHARS = 300 };

typedef void(WINAPI *DebugStringFn)(LPCWSTR);

static CRITICAL_SECTION g_debug_lock;
static wchar_t g_debug_lines[DEBUG_LINES_KEPT][DEBUG_LINE_CHARS];
static volatile LONG g_debug_count;    /* lines written; the first DEBUG_LINES_KEPT are kept */
static ULONG_PTR *g_debug_slot;
static ULONG_PTR g_debug_original;

static void WINAPI module_debug_string(LPCWSTR text)
{
    EnterCriticalSection(&g_debug_lock);
    LONG n = g_debug_count;
    if (n < DEBUG_LINES_KEPT) {
        wcsncpy(g_debug_lines[n], text != NULL ? text : L"(null)", DEBUG_LINE_CHARS - 1);
        g_debug_lines[n][DEBUG_LINE_CHARS - 1] = 0;
    }
    InterlockedIncrement(&g_debug_count);
    LeaveCriticalSection(&g_debug_lock);
    ((DebugStringFn)g_debug_original)(text);
}

static int module_debug_install(HMODULE module)
{
    InitializeCriticalSection(&g_debug_lock);
    return module_import_patch(module, "KERNEL32.dll", "OutputDebugStringW", (ULONG_PTR)module_debug_string,
                               &g_debug_slot, &g_debug_original);
}

static long module_debug_count(void)
{
    return InterlockedCompareExchange(&g_debug_count, 0, 0);
}

/* Line `index` (0 first) into `out`; 0 when there is no such line kept. */
static int module_debug_line(long index, wchar_t *out, size_t capacity)
{
    int ok = 0;
    EnterCriticalSection(&g_debug_lock);
    if (index >= 0 && index < g_debug_count && index < DEBUG_LINES_KEPT) {
        wcsncpy(out, g_debug_lines[index], capacity - 1);
        out[capacity - 1] = 0;
        ok = 1;
    }
    LeaveCriticalSection(&g_debug_lock);
    return ok;
}

static void module_debug_uninstall(void)
{
    if (g_debug_slot != NULL)
        module_import_write(g_debug_slot, g_debug_original);
    g_debug_slot = NULL;
}

#endif

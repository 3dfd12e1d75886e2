/* Driving a modal dialog that runs on another thread of the process, as a
 * user would: find it, read its controls, move the focus, type, press
 * buttons and keys, and watch its timer.
 *
 * Typing: each character is sent as WM_CHAR to the control that has the
 * focus on the dialog's thread, which is what the control gets from a key
 * press after TranslateMessage; sending makes each character land before
 * the next one is chosen, so a control that moves the focus by itself (the
 * address control moves to its next field after a dot or a third digit) is
 * followed.
 *
 * Keys that the dialog manager acts on (Enter, Escape) are posted as
 * WM_KEYDOWN/WM_KEYUP to the focused control, so that they come through the
 * modal loop and IsDialogMessage exactly as hardware keys do. Posting does not
 * depend on the X server's focus or on which window is in the foreground,
 * which SendInput under Xvfb would. A posted focus change behind the keys
 * tells when they have been handled (the queue is first in, first out).
 *
 * A message hook on the dialog's thread counts the WM_TIMER messages the
 * modal loop takes, so that a test waits for real timer ticks instead of
 * sleeping, and can tell whether a tick was handled before a given read; it
 * can also drop them, for a test that makes the status periods itself. */
#ifndef TOVRIN_HOST_DIALOG_DRIVER_H
#define TOVRIN_HOST_DIALOG_DRIVER_H

#include "contract.h"

#include <commctrl.h>
#include <wchar.h>

enum { DIALOG_WAIT_MS = 10000 }; /* bounds a hang only */

/* ---- The timer hook (installed on the dialog's thread) ------------------ */

static volatile LONG g_tick_count;        /* WM_TIMER messages taken by the dialog's loop */
static volatile LONG g_tick_last_id;      /* wParam of the latest */
static volatile LONG g_tick_foreign;      /* WM_TIMER for a window other than the dialog */
static volatile DWORD g_tick_last_time;   /* GetTickCount when the latest was taken */
static volatile LONG64 g_tick_last_packets; /* engine packets done when the latest was taken */
static volatile LONG64 *g_tick_packet_source;
static HWND volatile g_driven_dialog;     /* the dialog being driven */
static volatile LONG g_force_end;         /* 1: end the dialog from its own thread */
static volatile LONG g_tick_swallow;      /* 1: the dialog's loop drops its timer ticks */
static HHOOK g_tick_hook;

static LRESULT CALLBACK dialog_tick_hook(int code, WPARAM wParam, LPARAM lParam)
{
    MSG *msg = (MSG *)lParam;
    if (code == HC_ACTION && wParam == PM_REMOVE && msg != NULL) {
        if (msg->message == WM_TIMER) {
            if (msg->hwnd != g_driven_dialog)
                InterlockedIncrement(&g_tick_foreign);
            g_tick_last_time = GetTickCount();
            if (g_tick_packet_source != NULL)
                g_tick_last_packets = InterlockedCompareExchange64(g_tick_packet_source, 0, 0);
            InterlockedExchange(&g_tick_last_id, (LONG)msg->wParam);
            InterlockedIncrement(&g_tick_count);
            /* A test that needs status periods of its own making sends
             * WM_TIMER itself and has the real ticks dropped meanwhile. */
            if (g_tick_swallow)
                msg->message = WM_NULL;
        }
        /* The safety net for a dialog that does not close when told to:
         * EndDialog has to come from the dialog's own thread. */
        if (g_force_end && g_driven_dialog != NULL && IsWindow(g_driven_dialog))
            EndDialog(g_driven_dialog, 0);
    }
    return CallNextHookEx(g_tick_hook, code, wParam, lParam);
}

/* On the thread that will run the dialog. `packets` (may be null) is read
 * at each tick, so that a test can bound what the tick showed. */
static int dialog_tick_hook_install(volatile LONG64 *packets)
{
    g_tick_packet_source = packets;
    g_tick_hook = SetWindowsHookExW(WH_GETMESSAGE, dialog_tick_hook, NULL, GetCurrentThreadId());
    return g_tick_hook != NULL;
}

static void dialog_tick_hook_remove(void)
{
    if (g_tick_hook != NULL)
        UnhookWindowsHookEx(g_tick_hook);
    g_tick_hook = NULL;
}

static LONG dialog_ticks(void)
{
    return InterlockedCompareExchange(&g_tick_count, 0, 0);
}

/* Waits until the dialog's thread has finished every message sent or
 * dispatched before this call: a sent message is handled only when the
 * dialog's thread is back in its loop. */
static void dialog_barrier(HWND dlg)
{
    DWORD_PTR ignored;
    SendMessageTimeoutW(dlg, WM_NULL, 0, 0, SMTO_NORMAL, DIALOG_WAIT_MS, &ignored);
}

/* Waits for `count` more timer ticks after `from` and for their handling to
 * end. Returns 0 when they did not come. */
static int dialog_wait_ticks(HWND dlg, LONG from, LONG count)
{
    for (int waited = 0; waited < 4000 * count && IsWindow(dlg); ++waited) {
        if (dialog_ticks() - from >= count) {
            dialog_barrier(dlg);
            return 1;
        }
        Sleep(1);
    }
    return 0;
}

/* ---- Finding the dialog ------------------------------------------------- */

typedef struct DialogSearch {
    const wchar_t *caption;
    HWND found;
} DialogSearch;

static BOOL CALLBACK dialog_search_window(HWND hwnd, LPARAM lParam)
{
    DialogSearch *s = (DialogSearch *)lParam;
    wchar_t cls[64], text[128];
    if (!GetClassNameW(hwnd, cls, 64) || wcscmp(cls, L"#32770") != 0 || !IsWindowVisible(hwnd))
        return TRUE;
    GetWindowTextW(hwnd, text, 128);
    if (wcscmp(text, s->caption) != 0)
        return TRUE;
    s->found = hwnd;
    return FALSE;
}

/* The visible dialog of `thread` with `caption`. A dialog is shown only once
 * WM_INITDIALOG has returned, so its controls are ready. Gives up when
 * `*gaveUp` becomes nonzero (the modal call returned) or after the wait. */
static HWND dialog_find(DWORD thread, const wchar_t *caption, volatile LONG *gaveUp)
{
    DialogSearch s = {caption, NULL};
    for (int waited = 0; waited < DIALOG_WAIT_MS && !*gaveUp; waited += 5) {
        EnumThreadWindows(thread, dialog_search_window, (LPARAM)&s);
        if (s.found != NULL)
            return s.found;
        Sleep(5);
    }
    return NULL;
}

/* Waits until the dialog window is gone. */
static int dialog_wait_gone(HWND dlg)
{
    for (int waited = 0; waited < DIALOG_WAIT_MS; waited += 2) {
        if (!IsWindow(dlg))
            return 1;
        Sleep(2);
    }
    return 0;
}

/* ---- Reading ------------------------------------------------------------ */

static const wchar_t *dialog_text(HWND dlg, int id, wchar_t *buf, int capacity)
{
    buf[0] = 0;
    GetDlgItemTextW(dlg, id, buf, capacity);
    return buf;
}

static int dialog_enabled(HWND dlg, int id)
{
    HWND item = GetDlgItem(dlg, id);
    return item != NULL && IsWindowEnabled(item);
}

static HWND dialog_focus(DWORD thread)
{
    GUITHREADINFO info;
    memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : NULL;
}

/* ---- Acting ------------------------------------------------------------- */

/* Moves the focus to a control the way Tab does (an edit gets its text
 * selected, so that typing replaces it). */
static void dialog_focus_control(HWND dlg, int id)
{
    SendMessageW(dlg, WM_NEXTDLGCTL, (WPARAM)GetDlgItem(dlg, id), TRUE);
}

/* Types `text` into whatever has the focus, following focus moves. */
static void dialog_type(DWORD thread, const wchar_t *text)
{
    for (; *text; ++text) {
        HWND focus = dialog_focus(thread);
        if (focus != NULL)
            SendMessageW(focus, WM_CHAR, (WPARAM)*text, 1);
    }
}

/* A click on an enabled push button, through the button itself. */
static void dialog_click(HWND dlg, int id)
{
    SendMessageW(GetDlgItem(dlg, id), BM_CLICK, 0, 0);
}

/* The notification a click would send, delivered even to a disabled button:
 * what a stray or scripted command does. */
static void dialog_command(HWND dlg, int id)
{
    SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dlg, id));
}

/* Posts a key press and release to the focused control: it takes the path
 * of a hardware key through the modal loop. Returns 0 when nothing has the
 * focus. */
static int dialog_post_key(DWORD thread, UINT vk, UINT scan)
{
    HWND focus = dialog_focus(thread);
    if (focus == NULL)
        return 0;
    PostMessageW(focus, WM_KEYDOWN, vk, (LPARAM)(1u | (scan << 16)));
    PostMessageW(focus, WM_KEYUP, vk, (LPARAM)(1u | (scan << 16) | 0xC0000000u));
    return 1;
}

/* Posts a focus move behind whatever is queued and waits until it has been
 * made: everything posted before it has been handled. */
static int dialog_posted_barrier(HWND dlg, DWORD thread, int id)
{
    HWND target = GetDlgItem(dlg, id);
    PostMessageW(dlg, WM_NEXTDLGCTL, (WPARAM)target, TRUE);
    for (int waited = 0; waited < DIALOG_WAIT_MS; waited += 2) {
        if (!IsWindow(dlg))
            return 0;
        if (dialog_focus(thread) == target)
            return 1;
        Sleep(2);
    }
    return 0;
}

/* ---- Texts -------------------------------------------------------------- */

/* "1 000 536" as a number; -1 unless the text is digit groups: a first group
 * without leading zeros, then groups of exactly three digits, one blank
 * between groups, nothing else. */
static long long parse_digit_groups(const wchar_t *text)
{
    const wchar_t *p = text;
    long long value = 0;
    int digits = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p, ++digits)
        value = value * 10 + (*p - L'0');
    if (digits == 0 || (digits > 1 && text[0] == L'0'))
        return -1;
    while (*p == L' ') {
        ++p;
        for (digits = 0; *p >= L'0' && *p <= L'9'; ++p, ++digits)
            value = value * 10 + (*p - L'0');
        if (digits != 3)
            return -1;
    }
    return *p == 0 ? value : -1;
}

/* "HH:MM:SS" (two or more hour digits) as seconds; -1 when not that form. */
static long long parse_running_time(const wchar_t *text)
{
    long long hours = 0;
    int digits = 0;
    const wchar_t *p = text;
    for (; *p >= L'0' && *p <= L'9'; ++p, ++digits)
        hours = hours * 10 + (*p - L'0');
    if (digits < 2 || (digits > 2 && text[0] == L'0'))
        return -1;
    int fields[2];
    for (int i = 0; i < 2; ++i) {
        if (p[0] != L':' || p[1] < L'0' || p[1] > L'5' || p[2] < L'0' || p[2] > L'9')
            return -1;
        fields[i] = (p[1] - L'0') * 10 + (p[2] - L'0');
        p += 3;
    }
    return *p == 0 ? hours * 3600 + fields[0] * 60 + fields[1] : -1;
}

#endif

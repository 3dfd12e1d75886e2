/* The module's options dialog, driven as a user drives it, from a host in
 * plain C that knows only the contract's offsets and slot orders and the
 * dialog's control ids.
 *
 * The host's user-interface thread (main) opens the dialog through
 * ShowOptionsDialog and sits in its modal loop; a driver thread finds the
 * dialog, reads and edits its controls, presses its buttons and keys, and
 * checks what the module shows and sends. An engine thread feeds packets
 * through the filter receiver the module registers, and a receiver thread
 * tallies the datagrams on the loopback.
 *
 * Sessions, each one opening of the dialog:
 *   1  defaults, idle      shown settings; Enter in the setting fields does
 *                          nothing; typed address, port 65536 + P and 5
 *                          packets; Start; Size and Time after a second;
 *                          Close while streaming
 *   2  reopened, streaming live Size and Time; Stop; idle ticks; Start
 *                          again; Escape while streaming
 *   2b reopened, INI changed the line and fields show what runs, not the
 *                          file; Close while streaming leaves the file's
 *                          change in place
 *   2c host stops it       UpdateOpenedChannels from the host's window with
 *                          the dialog open: the next tick shows Idle with
 *                          the stream's settings; Close saves what it shows
 *   3  stored 3 packets    entry "3" selected; Start unedited; Size and
 *                          Time as a table on a clock of the test's own;
 *                          Stop; an edit; Escape
 *   3b stored 2 packets    entry "2" selected; an edit; the close box
 *   6  typed counts        9, 0, -3, x typed as the packet count: Start,
 *                          datagram size, description, saved value
 *   7  address edits      a partly filled and an empty address control at
 *                          Start (refused) and at Close (saved as shown)
 *   8  stored bad address "abc" and "127.0.0.9x": Start refused, kept
 *   9  refused sends      the description line and the host's log while the
 *                          link refuses datagrams and once it is back
 *   10 two dialogs        a second object's dialog on a second UI thread;
 *                          the first dialog acts on its own object only
 *   11 a chosen program   stored Programs key: the line names the program,
 *                          says so while the PAT lacks it, and names it
 *                          again once a PAT lists it
 *   4  other transport     only Close usable; WM_CLOSE
 *   5  no device           only Close usable; Close
 *
 * Usage: dialog_test_host <path of TovrinStreamer.module>
 */
#include "check.h"
#include "contract.h"
#include "dialog_driver.h"
#include "host_env.h"
#include "module_hooks.h"
#include "test_device.h"
#include "test_engine.h"
#include "udp_tally.h"

#include <stdlib.h>
#include <wchar.h>

/* The dialog's control ids, as the host and its user see them. */
enum {
    ID_CLOSE = 2,
    ID_START = 1000,
    ID_STOP = 1001,
    ID_SIZE = 1002,
    ID_TIME = 1003,
    ID_DESCRIPTION = 1004,
    ID_PACKETS = 1005,
    ID_ADDRESS = 1006,
    ID_PORT = 1007,
    STATUS_TIMER_ID = 100,
    OTHER_TRANSPORT = 128,
};

#define DIALOG_CAPTION L"Tovrin TS Streamer"
#define INI_SECTION L"TovrinStreamer"
#define HOST_SECTION L"HostWindow"
#define DEFAULT_DESCRIPTION L"This module sends complete TS to udp://127.0.0.1:43000 with 7xTS chunks"

typedef enum { STATE_IDLE, STATE_STREAMING, STATE_UNSUITABLE } DialogState;

typedef struct Host {
    ReceiverModuleUnit *unit;
    HWND parent;                   /* the host's main window, owner of the dialog */
    WNDPROC parentProc;            /* its class's procedure, under the host's own */
    DWORD uiThread;                /* runs the modal loop */
    wchar_t ini[MAX_PATH];
    TestEngine engine;             /* device and engine of object A */
    UdpTally typed;                /* 127.0.0.2 at the port typed as 65536 + port */
    UdpTally stored;               /* 127.0.0.1 at the port stored in the INI file */
    wchar_t typedPortText[16];     /* "70000" when 4464 was free */
    ReceiverModule *a;             /* the object that streams */
    /* The latest Start of object A. */
    DWORD startBefore, startAfter; /* real tick count around the click */
    long long startPackets;        /* engine packets delivered before it */
    long long lastSizeShown;
} Host;

static Host g_host;

typedef void (*SessionScript)(HWND dlg);
static SessionScript g_script;
static volatile LONG g_modal_returned;

/* ---- What the dialog shows ---------------------------------------------- */

static void check_state(HWND dlg, DialogState state, const char *when)
{
    static const struct { int id; const char *name; } controls[] = {
        {ID_START, "Start"}, {ID_STOP, "Stop"}, {ID_PACKETS, "the packets combo box"},
        {ID_ADDRESS, "the address control"}, {ID_PORT, "the port field"}, {ID_CLOSE, "Close"},
    };
    for (size_t i = 0; i < sizeof controls / sizeof controls[0]; ++i) {
        int id = controls[i].id;
        int expected = id == ID_CLOSE ||
                       (state == STATE_IDLE && id != ID_STOP) ||
                       (state == STATE_STREAMING && id == ID_STOP);
        CHECK(dialog_enabled(dlg, id) == expected, "%s: %s is %s", when, controls[i].name,
              expected ? "enabled" : "disabled");
    }
}

static void description_text(wchar_t *out, const wchar_t *address, unsigned port, int packets)
{
    _snwprintf(out, 200, L"This module sends complete TS to udp://%ls:%u with %dxTS chunks", address, port,
               packets);
    out[199] = 0;
}

static void check_text(HWND dlg, int id, const wchar_t *expected, const char *what)
{
    wchar_t text[256];
    dialog_text(dlg, id, text, 256);
    CHECK(wcscmp(text, expected) == 0, "%s is \"%s\" (it is \"%s\")", what, host_narrow(expected),
          host_narrow(text));
}

/* The three settings as the controls show them, and the description. */
static void check_settings_shown(HWND dlg, const wchar_t *address, DWORD addressValue, unsigned port,
                                 int packets, const char *when)
{
    wchar_t text[256], expected[200];
    char what[160];

    snprintf(what, sizeof what, "%s: address control text", when);
    check_text(dlg, ID_ADDRESS, address, what);
    DWORD value = 0;
    LRESULT filled = SendDlgItemMessageW(dlg, ID_ADDRESS, IPM_GETADDRESS, 0, (LPARAM)&value);
    CHECK(filled == 4 && value == addressValue,
          "%s: the address control's four fields hold %lu.%lu.%lu.%lu (%d filled, %lu.%lu.%lu.%lu)", when,
          (unsigned long)FIRST_IPADDRESS(addressValue), (unsigned long)SECOND_IPADDRESS(addressValue),
          (unsigned long)THIRD_IPADDRESS(addressValue), (unsigned long)FOURTH_IPADDRESS(addressValue), (int)filled,
          (unsigned long)FIRST_IPADDRESS(value), (unsigned long)SECOND_IPADDRESS(value),
          (unsigned long)THIRD_IPADDRESS(value), (unsigned long)FOURTH_IPADDRESS(value));

    _snwprintf(expected, 200, L"%u", port);
    snprintf(what, sizeof what, "%s: port field", when);
    check_text(dlg, ID_PORT, expected, what);

    snprintf(what, sizeof what, "%s: combo box entries", when);
    CHECK_EQ(SendDlgItemMessageW(dlg, ID_PACKETS, CB_GETCOUNT, 0, 0), 7, what);
    int inOrder = 1;
    for (int i = 0; i < 7; ++i) {
        text[0] = 0;
        SendDlgItemMessageW(dlg, ID_PACKETS, CB_GETLBTEXT, (WPARAM)i, (LPARAM)text);
        inOrder = inOrder && text[0] == L'1' + i && text[1] == 0;
    }
    CHECK(inOrder, "%s: the entries are \"1\" to \"7\" in order", when);
    snprintf(what, sizeof what, "%s: selected combo box entry", when);
    CHECK_EQ(SendDlgItemMessageW(dlg, ID_PACKETS, CB_GETCURSEL, 0, 0), packets - 1, what);
    _snwprintf(expected, 200, L"%d", packets);
    snprintf(what, sizeof what, "%s: combo box text", when);
    check_text(dlg, ID_PACKETS, expected, what);

    description_text(expected, address, port, packets);
    snprintf(what, sizeof what, "%s: description", when);
    check_text(dlg, ID_DESCRIPTION, expected, what);
}

/* Size and Time at one moment: retried when a timer tick comes between the
 * reads, so that both belong to the same tick as the hook's records. */
typedef struct Status {
    wchar_t size[64], time[64];
    LONG ticks;                    /* ticks taken before the reads */
    DWORD tickTime;                /* real tick count when the latest tick was taken */
    long long tickPackets;         /* engine packets done when it was taken */
    DWORD readTime;                /* real tick count after the reads */
    long long readPackets;         /* engine packets begun after the reads */
} Status;

static void read_status(HWND dlg, Status *s)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        s->ticks = dialog_ticks();
        s->tickTime = g_tick_last_time;
        s->tickPackets = g_tick_last_packets;
        dialog_text(dlg, ID_SIZE, s->size, 64);
        dialog_text(dlg, ID_TIME, s->time, 64);
        s->readTime = GetTickCount();
        s->readPackets = test_engine_packets_started(&g_host.engine);
        if (dialog_ticks() == s->ticks)
            return;
    }
}

/* After a real tick while streaming with `packets` per datagram: Size is the
 * bytes of the whole chunks delivered by that tick, Time the whole seconds
 * since the latest Start, both bounded by what the host knows before and
 * after the tick. */
static void check_live_status(HWND dlg, int packets, const char *when)
{
    Status s;
    read_status(dlg, &s);
    long long chunk = (long long)packets * HOST_TS_PACKET;
    long long size = parse_digit_groups(s.size);
    long long seconds = parse_running_time(s.time);
    long long lowSize = (s.tickPackets - g_host.startPackets) / packets * chunk;
    long long highSize = (s.readPackets - g_host.startPackets) / packets * chunk;
    long long lowSeconds = (long long)(DWORD)(s.tickTime - g_host.startAfter) / 1000;
    long long highSeconds = (long long)(DWORD)(s.readTime - g_host.startBefore) / 1000;

    CHECK(size >= 0, "%s: Size \"%s\" is digit groups", when, host_narrow(s.size));
    CHECK(size % chunk == 0, "%s: Size %lld is a whole number of %lld-byte chunks", when, size, chunk);
    CHECK(size >= lowSize && size <= highSize,
          "%s: Size %lld counts the chunks delivered by the tick (between %lld and %lld)", when, size, lowSize,
          highSize);
    CHECK(seconds >= 0, "%s: Time \"%s\" is HH:MM:SS", when, host_narrow(s.time));
    CHECK(seconds >= lowSeconds && seconds <= highSeconds,
          "%s: Time %lld s counts from the latest Start (between %lld and %lld)", when, seconds, lowSeconds,
          highSeconds);
    CHECK_EQ(g_tick_last_id, STATUS_TIMER_ID, "timer id of the ticks");
}

/* Ends the stream's flow for an exact look: everything delivered has been
 * received, and a status update now shows it all. */
static void check_exact_size(HWND dlg, UdpTally *tally, int packets, const char *when)
{
    UdpTally seen;
    wchar_t size[64];
    test_engine_pause(&g_host.engine);
    int synced = udp_tally_sync(tally, &seen);
    SendMessageW(dlg, WM_TIMER, STATUS_TIMER_ID, 0);
    dialog_text(dlg, ID_SIZE, size, 64);
    long long shown = parse_digit_groups(size);
    long long delivered = test_engine_packets_done(&g_host.engine) - g_host.startPackets;
    long long chunk = (long long)packets * HOST_TS_PACKET;
    CHECK(synced && shown == seen.payloadBytes,
          "%s: Size \"%s\" is the payload bytes received (%lld)", when, host_narrow(size), seen.payloadBytes);
    CHECK_EQ(shown, delivered / packets * chunk, "Size against the whole chunks of the packets delivered");
    g_host.lastSizeShown = shown;
    test_engine_flow(&g_host.engine);
}

/* Tally faults that must never occur, whatever the session. */
static void check_tally_clean(UdpTally *t, const char *when)
{
    UdpTally s;
    if (!CHECK(udp_tally_sync(t, &s), "%s: receiver %s answers", when, t->label))
        return;
    CHECK(s.wrongDestinations == 0, "%s: %s: every datagram was sent to this address (%ld were not, the last to %s)",
          when, t->label, s.wrongDestinations, inet_ntoa(s.lastWrongDestination));
    CHECK(s.wrongSizes == 0, "%s: %s: every datagram is %d bytes (%ld were not, the last %d)", when, t->label,
          s.expectedSize, s.wrongSizes, s.lastWrongSize);
    CHECK(s.badHeaders == 0, "%s: %s: every RTP header starts 0x80 0x21 and has SSRC 0 (%ld did not)", when,
          t->label, s.badHeaders);
    CHECK(s.badPackets == 0, "%s: %s: payloads are whole packets of the host (%ld were not)", when, t->label,
          s.badPackets);
    CHECK(s.indexGaps == 0, "%s: %s: packets arrive in order, none lost or doubled (%ld gaps)", when, t->label,
          s.indexGaps);
    CHECK(s.rtpGaps == 0, "%s: %s: sequence numbers step by 1 and timestamps by 90 (%ld gaps)", when, t->label,
          s.rtpGaps);
}

/* Waits until `t` has received more than `than` datagrams. */
static long wait_datagrams(UdpTally *t, long than)
{
    UdpTally s;
    s.datagrams = -1;
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (udp_tally_sync(t, &s) && s.datagrams > than)
            break;
        Sleep(10);
    }
    return s.datagrams;
}

static long datagrams_now(UdpTally *t)
{
    UdpTally s;
    return udp_tally_sync(t, &s) ? s.datagrams : -1;
}

static void press_start(HWND dlg)
{
    /* No traffic while StartWrite runs: what the engine delivers from here
     * on is all counted by the module. */
    test_engine_pause(&g_host.engine);
    g_host.startPackets = test_engine_packets_done(&g_host.engine);
    g_host.startBefore = GetTickCount();
    dialog_click(dlg, ID_START);
    g_host.startAfter = GetTickCount();
}

/* IReceiverModule's ReceiveTraffic, called the way a host built by another
 * compiler calls it: the second pointer of the object's table. */
static void module_slot_receive_traffic(ReceiverModule *m, unsigned char *data, int length)
{
    typedef void (*ReceiveTrafficSlot)(void *self, unsigned char *data, int length);
    void *const *table = *(void *const *const *)m;
    ((ReceiveTrafficSlot)table[1])(m, data, length);
}

/* Names the next part of a session; 0 when the dialog has already gone, so
 * that a dialog that closed too early fails once instead of step by step. */
static int next_step(HWND dlg, const char *name)
{
    check_step(name);
    return CHECK(IsWindow(dlg), "the dialog is still open");
}

static void focus_address_field(HWND dlg)
{
    dialog_focus_control(dlg, ID_ADDRESS);
    SendDlgItemMessageW(dlg, ID_ADDRESS, IPM_SETFOCUS, 0, 0);
}

/* ---- Session 1: defaults, edits, Start, live status, Close -------------- */

static void session_defaults(HWND dlg)
{
    const DWORD tid = g_host.uiThread;
    wchar_t text[200], expected[200];

    CHECK(g_icc_internet_calls > 0,
          "before its dialog appeared, the module registered the address control's class "
          "(InitCommonControlsEx with ICC_INTERNET_CLASSES: %ld of %ld calls)",
          (long)g_icc_internet_calls, (long)g_icc_calls);
    GetWindowTextW(dlg, text, 200);
    CHECK(wcscmp(text, DIALOG_CAPTION) == 0, "caption \"%s\"", host_narrow(text));
    CHECK(GetWindow(dlg, GW_OWNER) == g_host.parent, "the host window passed in owns the dialog");
    CHECK(!IsWindowEnabled(g_host.parent), "the dialog is modal: the host window is disabled");
    check_settings_shown(dlg, L"127.0.0.1", MAKEIPADDRESS(127, 0, 0, 1), 43000, 7, "opened with defaults");
    check_text(dlg, ID_DESCRIPTION, DEFAULT_DESCRIPTION, "description with defaults");
    check_text(dlg, ID_SIZE, L"", "Size before any stream");
    check_text(dlg, ID_TIME, L"", "Time before any stream");
    check_state(dlg, STATE_IDLE, "idle");
    HWND focus = dialog_focus(tid);
    HWND address = GetDlgItem(dlg, ID_ADDRESS);
    CHECK(focus != NULL && (focus == address || IsChild(address, focus)),
          "the focus starts in the address control");

    /* Ticks while idle have nothing to show. */
    SendMessageW(dlg, WM_TIMER, STATUS_TIMER_ID, 0);
    SendMessageW(dlg, WM_TIMER, STATUS_TIMER_ID + 1, 0);
    check_text(dlg, ID_SIZE, L"", "Size after idle ticks");
    check_text(dlg, ID_TIME, L"", "Time after idle ticks");

    if (!next_step(dlg, "session 1: Enter in the setting fields"))
        return;
    static const struct { int id; const char *name; } fields[] = {
        {ID_ADDRESS, "the address control"}, {ID_PORT, "the port field"}, {ID_PACKETS, "the combo box's edit field"},
    };
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i) {
        if (fields[i].id == ID_ADDRESS)
            focus_address_field(dlg);
        else
            dialog_focus_control(dlg, fields[i].id);
        HWND control = GetDlgItem(dlg, fields[i].id);
        focus = dialog_focus(tid);
        CHECK(focus == control || IsChild(control, focus), "the focus is in %s", fields[i].name);
        int posted = dialog_post_key(tid, VK_RETURN, 0x1C);
        int handled = dialog_posted_barrier(dlg, tid, ID_SIZE);
        CHECK(posted && handled && IsWindowVisible(dlg), "Enter in %s leaves the dialog open", fields[i].name);
    }
    CHECK_EQ(g_host.engine.device.slotCalls[3], 0, "filters added after Enter");
    check_state(dlg, STATE_IDLE, "after Enter");
    check_settings_shown(dlg, L"127.0.0.1", MAKEIPADDRESS(127, 0, 0, 1), 43000, 7, "after Enter");

    if (!next_step(dlg, "session 1: typing the settings"))
        return;
    SendDlgItemMessageW(dlg, ID_ADDRESS, IPM_CLEARADDRESS, 0, 0);
    focus_address_field(dlg);
    dialog_type(tid, L"127.0.0.2");
    DWORD value = 0;
    LRESULT filled = SendDlgItemMessageW(dlg, ID_ADDRESS, IPM_GETADDRESS, 0, (LPARAM)&value);
    CHECK(filled == 4 && value == MAKEIPADDRESS(127, 0, 0, 2),
          "typing 127.0.0.2 fills the address control's fields (%d filled, 0x%08lX)", (int)filled,
          (unsigned long)value);
    dialog_focus_control(dlg, ID_PORT);
    dialog_type(tid, g_host.typedPortText);
    check_text(dlg, ID_PORT, g_host.typedPortText, "port field after typing");
    dialog_focus_control(dlg, ID_PACKETS);
    dialog_type(tid, L"5");
    check_text(dlg, ID_PACKETS, L"5", "combo box after typing 5 into its edit field");

    if (!next_step(dlg, "session 1: Start with the typed settings"))
        return;
    press_start(dlg);
    udp_tally_expect(&g_host.typed, RTP_HEADER_BYTES + 5 * HOST_TS_PACKET);
    description_text(expected, L"127.0.0.2", udp_tally_port(&g_host.typed), 5);
    check_text(dlg, ID_DESCRIPTION, expected, "description after Start");
    check_state(dlg, STATE_STREAMING, "streaming");
    CHECK_EQ(g_host.engine.device.slotCalls[3], 1, "filters added by Start");
    CHECK(g_host.engine.device.activeHandle != 0 && g_host.engine.device.receiver != NULL,
          "the module's filter receiver is registered");
    test_engine_flow(&g_host.engine);
    long received = wait_datagrams(&g_host.typed, 20);
    CHECK(received > 20, "datagrams arrive at port %u, the typed port cut to 16 bits (%ld)",
          udp_tally_port(&g_host.typed), received);
    check_tally_clean(&g_host.typed, "5 packets per datagram");

    if (!next_step(dlg, "session 1: Size and Time after more than a second"))
        return;
    Status s;
    for (int tick = 0; tick < 5; ++tick) {
        CHECK(dialog_wait_ticks(dlg, dialog_ticks(), 1), "a timer tick comes");
        read_status(dlg, &s);
        if (parse_running_time(s.time) >= 1)
            break;
    }
    check_live_status(dlg, 5, "after a second");
    long long seconds = parse_running_time(s.time);
    _snwprintf(expected, 200, L"00:00:%02lld", seconds);
    CHECK(seconds >= 1 && seconds <= 9 && wcscmp(s.time, expected) == 0, "Time reads \"00:00:0S\": \"%s\"",
          host_narrow(s.time));
    check_exact_size(dlg, &g_host.typed, 5, "streaming paused");

    if (!next_step(dlg, "session 1: Close while streaming"))
        return;
    dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "Close ends the dialog");
}

/* ---- Session 2: reopened while streaming -------------------------------- */

static void session_reopened(HWND dlg)
{
    const DWORD tid = g_host.uiThread;
    unsigned port = udp_tally_port(&g_host.typed);
    Status s;

    check_settings_shown(dlg, L"127.0.0.2", MAKEIPADDRESS(127, 0, 0, 2), port, 5, "reopened while streaming");
    check_state(dlg, STATE_STREAMING, "reopened while streaming");
    read_status(dlg, &s);
    if (s.ticks == 0)
        CHECK(s.size[0] == 0 && s.time[0] == 0, "Size and Time are empty until the first tick (\"%s\", \"%s\")",
              host_narrow(s.size), host_narrow(s.time));
    else
        printf("NOTE: a tick came before the first read; the empty texts were not seen\n");

    if (!next_step(dlg, "session 2: the first tick after reopening"))
        return;
    CHECK(dialog_wait_ticks(dlg, s.ticks, 1), "a timer tick comes");
    check_live_status(dlg, 5, "reopened");
    read_status(dlg, &s);
    CHECK(parse_digit_groups(s.size) >= g_host.lastSizeShown,
          "Size goes on from the count shown before the dialog was closed (%s >= %lld)", host_narrow(s.size),
          g_host.lastSizeShown);

    if (!next_step(dlg, "session 2: Stop"))
        return;
    int removalsBefore = g_host.engine.device.slotCalls[4];
    dialog_click(dlg, ID_STOP);
    check_state(dlg, STATE_IDLE, "stopped");
    CHECK_EQ(g_host.engine.device.slotCalls[4] - removalsBefore, 1, "filters removed by Stop");
    CHECK(g_host.engine.device.activeHandle == 0 && g_host.engine.device.badRemovals == 0,
          "Stop removed the filter it had added");
    long afterStop = datagrams_now(&g_host.typed);
    unsigned char packets[7 * HOST_TS_PACKET];
    for (int i = 0; i < 7; ++i)
        test_engine_make_packet(packets + i * HOST_TS_PACKET, (uint32_t)i);
    g_host.a->vtbl->ReceiveTraffic(g_host.a, packets, (int)sizeof packets);
    CHECK_EQ(datagrams_now(&g_host.typed) - afterStop, 0, "datagrams from traffic after Stop");

    if (!next_step(dlg, "session 2: timer ticks while idle"))
        return;
    Status before, after;
    read_status(dlg, &before);
    CHECK(parse_digit_groups(before.size) > 0 && parse_running_time(before.time) >= 0,
          "Size and Time keep the stream's last values (\"%s\", \"%s\")", host_narrow(before.size),
          host_narrow(before.time));
    CHECK(dialog_wait_ticks(dlg, before.ticks, 1), "a timer tick comes while idle");
    SendMessageW(dlg, WM_TIMER, STATUS_TIMER_ID, 0);
    read_status(dlg, &after);
    CHECK(wcscmp(before.size, after.size) == 0 && wcscmp(before.time, after.time) == 0,
          "ticks while idle leave Size and Time (\"%s\", \"%s\" -> \"%s\", \"%s\")", host_narrow(before.size),
          host_narrow(before.time), host_narrow(after.size), host_narrow(after.time));

    if (!next_step(dlg, "session 2: Start again, then Escape while streaming"))
        return;
    press_start(dlg);
    udp_tally_expect(&g_host.typed, RTP_HEADER_BYTES + 5 * HOST_TS_PACKET);
    check_state(dlg, STATE_STREAMING, "started again");
    test_engine_flow(&g_host.engine);
    long restarted = datagrams_now(&g_host.typed);
    CHECK(wait_datagrams(&g_host.typed, restarted) > restarted, "datagrams flow again");
    dialog_focus_control(dlg, ID_STOP);
    CHECK(dialog_post_key(tid, VK_ESCAPE, 0x01), "something in the dialog has the focus for Escape");
    CHECK(dialog_wait_gone(dlg), "Escape ends the dialog");
}

/* ---- Sessions 2b and 2c: a stream the INI file and the host act on ------- */

/* Sent to the host's window: the host changes its opened channels on its own
 * thread, here inside the dialog's modal loop. */
#define HOST_CHANGE_CHANNELS (WM_APP + 1)

static LRESULT CALLBACK host_window_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == HOST_CHANGE_CHANNELS) {
        unsigned char channels[CHANNEL_INFO_SIZE];
        memset(channels, 0, sizeof channels);
        g_host.a->vtbl->UpdateOpenedChannels(g_host.a, channels, 1, HOST_TRANSPORT_TS);
        return 1;
    }
    return CallWindowProcW(g_host.parentProc, hwnd, message, wParam, lParam);
}

/* 127.0.0.1, the stored receiver's port and `packets` into the INI file. */
static void write_stored_settings(const wchar_t *packets)
{
    wchar_t portText[16];
    _snwprintf(portText, 16, L"%u", udp_tally_port(&g_host.stored));
    CHECK(WritePrivateProfileStringW(INI_SECTION, L"IPAddress", L"127.0.0.1", g_host.ini) &&
              WritePrivateProfileStringW(INI_SECTION, L"UDP_Port", portText, g_host.ini) &&
              WritePrivateProfileStringW(INI_SECTION, L"nTS_UDP", packets, g_host.ini),
          "INI file with 127.0.0.1, port %s, %s packets", host_narrow(portText), host_narrow(packets));
}

static void check_running_stream_shown(HWND dlg, DialogState state, const char *when)
{
    check_settings_shown(dlg, L"127.0.0.2", MAKEIPADDRESS(127, 0, 0, 2), udp_tally_port(&g_host.typed), 5, when);
    check_state(dlg, state, when);
}

static void session_reopened_ini_changed(HWND dlg)
{
    check_running_stream_shown(dlg, STATE_STREAMING, "opened on a stream after the INI file changed");
    CHECK(dialog_wait_ticks(dlg, dialog_ticks(), 1), "a timer tick comes");
    check_running_stream_shown(dlg, STATE_STREAMING, "after a tick");
    CHECK(WritePrivateProfileStringW(INI_SECTION, L"nTS_UDP", L"3", g_host.ini),
          "the other object saves 3 packets while the dialog is open");
    dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "Close ends the dialog");
}

static void session_host_stops(HWND dlg)
{
    check_running_stream_shown(dlg, STATE_STREAMING, "opened on a stream");
    CHECK(dialog_wait_ticks(dlg, dialog_ticks(), 1), "a tick shows Size and Time");
    if (!next_step(dlg, "session 2c: the host changes its opened channels"))
        return;
    int removals = g_host.engine.device.slotCalls[4];
    SendMessageW(g_host.parent, HOST_CHANGE_CHANNELS, 0, 0);
    CHECK_EQ(g_host.engine.device.slotCalls[4] - removals, 1, "filters removed by the channel change");
    CHECK(g_host.engine.device.activeHandle == 0, "no filter stays registered");
    long stopped = datagrams_now(&g_host.typed);
    CHECK(dialog_wait_ticks(dlg, dialog_ticks(), 1), "a timer tick comes after the stop");
    check_running_stream_shown(dlg, STATE_IDLE, "the tick after the host's stop");
    Status before, after;
    read_status(dlg, &before);
    CHECK(dialog_wait_ticks(dlg, before.ticks, 1), "another tick comes");
    read_status(dlg, &after);
    CHECK(parse_digit_groups(after.size) > 0 && wcscmp(before.size, after.size) == 0 &&
              wcscmp(before.time, after.time) == 0,
          "Size and Time keep the stream's last values (\"%s\", \"%s\" -> \"%s\", \"%s\")",
          host_narrow(before.size), host_narrow(before.time), host_narrow(after.size), host_narrow(after.time));
    CHECK_EQ(datagrams_now(&g_host.typed) - stopped, 0, "datagrams after the host's stop");
    dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "Close ends the dialog");
}

/* ---- Session 3: a stored packet count, and the status texts exactly ----- */

/* The module's clock stands at CLOCK_START + elapsed; the 32-bit counter
 * wraps 1000 ms after Start. */
#define CLOCK_START (0u - 1000u)

static void session_stored(HWND dlg)
{
    const DWORD tid = g_host.uiThread;
    unsigned port = udp_tally_port(&g_host.stored);
    wchar_t expected[200];

    check_settings_shown(dlg, L"127.0.0.1", MAKEIPADDRESS(127, 0, 0, 1), port, 3, "opened with 3 stored");
    check_state(dlg, STATE_IDLE, "idle");

    if (!next_step(dlg, "session 3: Start with the stored settings"))
        return;
    press_start(dlg);
    udp_tally_expect(&g_host.stored, RTP_HEADER_BYTES + 3 * HOST_TS_PACKET);
    check_state(dlg, STATE_STREAMING, "streaming");
    description_text(expected, L"127.0.0.1", port, 3);
    check_text(dlg, ID_DESCRIPTION, expected, "description after Start");

    /* Packets added per step (the engine's blocks are whole packets; 3 make
     * a datagram), the module's clock, and what one status update shows. */
    static const struct { long packets; DWORD elapsed; const wchar_t *size, *time; } steps[] = {
        {0, 0, L"0", L"00:00:00"},
        {2, 999, L"0", L"00:00:00"},               /* two packets held, nothing sent */
        {1, 1000, L"564", L"00:00:01"},            /* the clock wrapped to 0 here */
        {3, 59999, L"1 128", L"00:00:59"},
        {5316, 3725000, L"1 000 536", L"01:02:05"}, /* 1774 datagrams */
        {0, 360000000, L"1 000 536", L"100:00:00"},
        {2, 360000999, L"1 000 536", L"100:00:00"},
    };
    if (!next_step(dlg, "session 3: Size and Time, step by step"))
        return;
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        UdpTally seen;
        wchar_t size[64], time[64];
        module_clock_set(CLOCK_START + steps[i].elapsed);
        int delivered = test_engine_deliver_batch(&g_host.engine, steps[i].packets);
        int synced = udp_tally_sync(&g_host.stored, &seen);
        SendMessageW(dlg, WM_TIMER, STATUS_TIMER_ID, 0);
        dialog_text(dlg, ID_SIZE, size, 64);
        dialog_text(dlg, ID_TIME, time, 64);
        CHECK(delivered && synced && wcscmp(size, steps[i].size) == 0 && wcscmp(time, steps[i].time) == 0,
              "%u ms, %lld bytes: Size \"%s\", Time \"%s\" (expected \"%s\", \"%s\")", (unsigned)steps[i].elapsed,
              seen.payloadBytes, host_narrow(size), host_narrow(time), host_narrow(steps[i].size),
              host_narrow(steps[i].time));
        CHECK_EQ(parse_digit_groups(size), seen.payloadBytes, "Size against the payload bytes received");
    }

    /* A timer of another id changes nothing (retried if a real tick of
     * the module's own timer comes in between). */
    for (int attempt = 0; attempt < 3; ++attempt) {
        LONG ticks = dialog_ticks();
        wchar_t size[64], time[64];
        module_clock_set(CLOCK_START + 7200000u);
        SendMessageW(dlg, WM_TIMER, STATUS_TIMER_ID + 1, 0);
        dialog_text(dlg, ID_SIZE, size, 64);
        dialog_text(dlg, ID_TIME, time, 64);
        if (dialog_ticks() != ticks)
            continue;
        CHECK(wcscmp(size, L"1 000 536") == 0 && wcscmp(time, L"100:00:00") == 0,
              "a WM_TIMER of id 101 changes neither text (\"%s\", \"%s\")", host_narrow(size), host_narrow(time));
        break;
    }
    check_tally_clean(&g_host.stored, "3 packets per datagram");

    /* The host may also hand traffic to the module object itself, through
     * slot 1 of its IReceiverModule table: the packets go out like the
     * engine's, numbered on from them. */
    if (!next_step(dlg, "session 3: traffic through the object's own ReceiveTraffic slot"))
        return;
    UdpTally seen, sent;
    CHECK(udp_tally_sync(&g_host.stored, &seen), "the receiver answers");
    sent = seen;
    unsigned char packets[6 * HOST_TS_PACKET];
    EnterCriticalSection(&g_host.engine.lock);
    for (int i = 0; i < 6; ++i)
        test_engine_make_packet(packets + i * HOST_TS_PACKET, g_host.engine.nextIndex + (uint32_t)i);
    g_host.engine.nextIndex += 6;
    module_slot_receive_traffic(g_host.a, packets, (int)sizeof packets);
    LeaveCriticalSection(&g_host.engine.lock);
    CHECK(udp_tally_sync(&g_host.stored, &sent) && sent.datagrams - seen.datagrams == 2 &&
              sent.payloadBytes - seen.payloadBytes == 6 * HOST_TS_PACKET,
          "6 packets through slot 1 of the object's table make 2 datagrams of 3 (%ld, %lld bytes)",
          sent.datagrams - seen.datagrams, sent.payloadBytes - seen.payloadBytes);
    check_tally_clean(&g_host.stored, "traffic through slot 1");

    if (!next_step(dlg, "session 3: Stop, an edit, and Escape"))
        return;
    dialog_click(dlg, ID_STOP);
    check_state(dlg, STATE_IDLE, "stopped");
    dialog_focus_control(dlg, ID_PACKETS);
    dialog_type(tid, L"2");
    check_text(dlg, ID_PACKETS, L"2", "combo box after typing 2");
    CHECK(dialog_post_key(tid, VK_ESCAPE, 0x01), "the combo box's edit field has the focus for Escape");
    CHECK(dialog_wait_gone(dlg), "Escape ends the dialog");
}

/* ---- Session 3b: an edit closed by the caption's close box -------------- */

static void session_close_box(HWND dlg)
{
    check_settings_shown(dlg, L"127.0.0.1", MAKEIPADDRESS(127, 0, 0, 1), udp_tally_port(&g_host.stored), 2,
                         "opened with 2 stored");
    check_state(dlg, STATE_IDLE, "idle");
    dialog_focus_control(dlg, ID_PACKETS);
    dialog_type(g_host.uiThread, L"4");
    check_text(dlg, ID_PACKETS, L"4", "combo box after typing 4");
    SendMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
    CHECK(dialog_wait_gone(dlg), "the close box ends the dialog");
}

/* ---- Beyond loopback: run by tests/net inside a network namespace ------- *
 *
 * --outage ADDRESS PORT: object A streams to ADDRESS:PORT, a receiver of the
 * namespace test on the far end of a veth pair. The test takes the link down
 * and brings it back when told; this side checks what the dialog and the
 * host's log say meanwhile. Lines "NET <state>" on stdout tell the test where
 * the run stands; it answers with a line on stdin.
 *
 * --bad-address PORT: starts that must be refused (stored and typed
 * addresses), with the engine's traffic flowing afterwards, while the
 * namespace test listens on PORT on both ends of its link.
 *
 * --adapters A B: the second dialog's send-from list, in a namespace whose
 * adapter has both addresses. */

enum { NET_NONE = 0, NET_OUTAGE = 1, NET_BAD_ADDRESS = 2, NET_URL = 3, NET_ADAPTERS = 4 };
static wchar_t g_net_address[32];
static wchar_t g_adapter_addresses[2][32];  /* --adapters A B */
static unsigned g_net_port;

/* The mode from the arguments after the module path; -1 when they make no sense. */
static int net_mode_from_arguments(void)
{
    int argc = 0, mode = -1;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == NULL)
        return -1;
    if (argc == 2)
        mode = NET_NONE;
    else if (argc == 5 && wcscmp(argv[2], L"--outage") == 0 && wcslen(argv[3]) < 32) {
        wcscpy(g_net_address, argv[3]);
        g_net_port = (unsigned)_wtoi(argv[4]);
        mode = g_net_port > 0 && g_net_port < 65536 ? NET_OUTAGE : -1;
    } else if (argc == 4 && wcscmp(argv[2], L"--bad-address") == 0) {
        g_net_port = (unsigned)_wtoi(argv[3]);
        mode = g_net_port > 0 && g_net_port < 65536 ? NET_BAD_ADDRESS : -1;
    } else if (argc == 4 && wcscmp(argv[2], L"--url") == 0) {
        g_net_port = (unsigned)_wtoi(argv[3]);
        mode = g_net_port > 0 && g_net_port < 65536 ? NET_URL : -1;
    } else if (argc == 5 && wcscmp(argv[2], L"--adapters") == 0 && wcslen(argv[3]) < 32 && wcslen(argv[4]) < 32) {
        wcscpy(g_adapter_addresses[0], argv[3]);
        wcscpy(g_adapter_addresses[1], argv[4]);
        mode = NET_ADAPTERS;
    }
    LocalFree(argv);
    return mode;
}

/* Tells the namespace test `state` and waits for its answer `expected`. */
static int net_handshake(const char *state, const char *expected)
{
    char line[64];
    printf("NET %s\n", state);
    fflush(stdout);
    if (fgets(line, sizeof line, stdin) == NULL)
        return 0;
    line[strcspn(line, "\r\n")] = 0;
    return strcmp(line, expected) == 0;
}

/* In the namespace: a refused Start is followed by a second of the
 * engine's traffic, which a module that had started anyway would send. */
static void net_let_traffic_flow(HWND dlg)
{
    if (g_net_port == 0)
        return;
    test_engine_flow(&g_host.engine);
    CHECK(dialog_wait_ticks(dlg, dialog_ticks(), 1), "a timer tick with the engine's traffic flowing");
    test_engine_pause(&g_host.engine);
}

/* Waits tick by tick, at most `ticks`, until the description line starts
 * with `prefix` (`whole`: is exactly it). */
static int wait_description(HWND dlg, const wchar_t *prefix, int whole, wchar_t *text, int ticks)
{
    for (int tick = 0;; ++tick) {
        dialog_text(dlg, ID_DESCRIPTION, text, 256);
        if (whole ? wcscmp(text, prefix) == 0 : wcsncmp(text, prefix, wcslen(prefix)) == 0)
            return 1;
        if (tick == ticks || !dialog_wait_ticks(dlg, dialog_ticks(), 1))
            return 0;
    }
}

/* ---- Session 6: packet counts the combo box cannot offer --------------- */

static const wchar_t *g_typed_packets; /* typed into the combo box's edit field */
static int g_expected_packets;         /* what the module makes of it */

static void session_packet_box(HWND dlg)
{
    wchar_t expected[200];
    char what[120];
    unsigned port = udp_tally_port(&g_host.stored);
    check_state(dlg, STATE_IDLE, "idle");
    dialog_focus_control(dlg, ID_PACKETS);
    dialog_type(g_host.uiThread, g_typed_packets);
    check_text(dlg, ID_PACKETS, g_typed_packets, "combo box after typing");
    press_start(dlg);
    udp_tally_expect(&g_host.stored, RTP_HEADER_BYTES + g_expected_packets * HOST_TS_PACKET);
    check_state(dlg, STATE_STREAMING, "streaming");
    description_text(expected, L"127.0.0.1", port, g_expected_packets);
    check_text(dlg, ID_DESCRIPTION, expected, "description after Start");

    UdpTally before, after;
    CHECK(udp_tally_sync(&g_host.stored, &before), "the receiver answers");
    after = before;
    int delivered = test_engine_deliver_batch(&g_host.engine, 2 * g_expected_packets);
    CHECK(delivered && udp_tally_sync(&g_host.stored, &after) && after.datagrams - before.datagrams == 2,
          "%d packets make 2 datagrams (%ld)", 2 * g_expected_packets, after.datagrams - before.datagrams);
    snprintf(what, sizeof what, "%s typed", host_narrow(g_typed_packets));
    check_tally_clean(&g_host.stored, what);
    dialog_click(dlg, ID_STOP);
    dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "Close ends the dialog");
}

/* ---- Session 7: an address control left partly filled or empty ---------- */

static int g_address_partly; /* 1: "127.0" and two blank fields; 0: all blank */

static void session_address_edit(HWND dlg)
{
    const DWORD tid = g_host.uiThread;
    int added = g_host.engine.device.slotCalls[3];
    SendDlgItemMessageW(dlg, ID_ADDRESS, IPM_CLEARADDRESS, 0, 0);
    if (g_address_partly) {
        /* Within 127.0.0.0/8: were it ever read as 127.0.0.0, nothing would
         * leave the machine. */
        focus_address_field(dlg);
        dialog_type(tid, L"127.0");
    }
    DWORD value = 0;
    CHECK_EQ(SendDlgItemMessageW(dlg, ID_ADDRESS, IPM_GETADDRESS, 0, (LPARAM)&value), g_address_partly ? 2 : 0,
             "address fields filled");
    press_start(dlg);
    check_state(dlg, STATE_IDLE, "after Start with an incomplete address");
    CHECK_EQ(g_host.engine.device.slotCalls[3] - added, 0, "filters added by the refused Start");
    net_let_traffic_flow(dlg);
    check_text(dlg, ID_DESCRIPTION,
               g_address_partly ? L"Not an IPv4 address: \"127.0..\"" : L"Not an IPv4 address: \"\"",
               "description after the refused Start");
    dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "Close ends the dialog");
}

/* ---- Session 8: a stored address that is no IPv4 address ---------------- */

static const wchar_t *g_stored_address;
static int g_stored_address_fields; /* fields the control can fill from it: 4 for 0.0.0.0, else 0 */

static void session_bad_stored_address(HWND dlg)
{
    wchar_t expected[200];
    int added = g_host.engine.device.slotCalls[3];
    DWORD value = 0;
    CHECK_EQ(SendDlgItemMessageW(dlg, ID_ADDRESS, IPM_GETADDRESS, 0, (LPARAM)&value), g_stored_address_fields,
             "address fields filled from the stored text");
    press_start(dlg);
    check_state(dlg, STATE_IDLE, "after Start");
    CHECK_EQ(g_host.engine.device.slotCalls[3] - added, 0, "filters added by the refused Start");
    net_let_traffic_flow(dlg);
    _snwprintf(expected, 200, L"Not an IPv4 address: \"%ls\"", g_stored_address);
    check_text(dlg, ID_DESCRIPTION, expected, "description after the refused Start");
    dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "Close ends the dialog");
}

/* ---- Session 11: a chosen program and the transponder's PAT ------------- */

#define CHOSEN_PROGRAM 4711

static uint32_t crc32_mpeg(const unsigned char *data, int length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (int i = 0; i < length; ++i) {
        crc ^= (uint32_t)data[i] << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

/* A PAT packet listing program 1 and, when `withChosen`, CHOSEN_PROGRAM. */
static void make_pat_packet(unsigned char *p, int withChosen, int continuity)
{
    memset(p, 0xFF, HOST_TS_PACKET);
    p[0] = 0x47, p[1] = 0x40, p[2] = 0x00, p[3] = (unsigned char)(0x10 | (continuity & 0x0F)), p[4] = 0;
    unsigned char *s = p + 5;
    const int entries = withChosen ? 2 : 1;
    const int length = 5 + 4 * entries + 4;
    s[0] = 0x00, s[1] = (unsigned char)(0xB0 | length >> 8), s[2] = (unsigned char)length;
    s[3] = 0x12, s[4] = 0x34, s[5] = 0xC1, s[6] = 0, s[7] = 0;
    const unsigned char first[4] = {0x00, 0x01, 0xE1, 0x00};
    const unsigned char chosen[4] = {CHOSEN_PROGRAM >> 8, CHOSEN_PROGRAM & 0xFF, 0xE1, 0x01};
    memcpy(s + 8, first, 4);
    if (withChosen)
        memcpy(s + 12, chosen, 4);
    const uint32_t crc = crc32_mpeg(s, 3 + length - 4);
    for (int i = 0; i < 4; ++i)
        s[3 + length - 4 + i] = (unsigned char)(crc >> (24 - 8 * i));
}

/* A block through the registered filter receiver, as the engine delivers. */
static int deliver_block(unsigned char *data, int length)
{
    int delivered = 0;
    EnterCriticalSection(&g_host.engine.lock);
    EngineFilterReceiver *r = g_host.engine.device.receiver;
    if (r != NULL) {
        r->vtbl->EngineFilter_ReceiveTraffic(r, data, length);
        delivered = 1;
    }
    LeaveCriticalSection(&g_host.engine.lock);
    return delivered;
}

/* One packet, as the engine delivers it. */
static int deliver_packet(unsigned char *packet)
{
    return deliver_block(packet, HOST_TS_PACKET);
}

/* One PAT, as the engine delivers it. */
static int deliver_pat(int withChosen, int continuity)
{
    unsigned char packet[HOST_TS_PACKET];
    make_pat_packet(packet, withChosen, continuity);
    return deliver_packet(packet);
}

static void session_program(HWND dlg)
{
    wchar_t text[256], sends[96];
    int shown;  /* first, so that the message shows the line it judged */
    _snwprintf(sends, 96, L"Sends program %d to udp://127.0.0.1:%u with ", CHOSEN_PROGRAM,
               udp_tally_port(&g_host.stored));
    shown = wait_description(dlg, sends, 0, text, 0);
    CHECK(shown, "the line names the program before Start (\"%s\")", host_narrow(text));
    press_start(dlg);
    check_state(dlg, STATE_STREAMING, "streaming");
    shown = wait_description(dlg, sends, 0, text, 0);
    CHECK(shown, "the line names the program after Start (\"%s\")", host_narrow(text));

    if (!next_step(dlg, "session 11: a PAT without the program"))
        return;
    CHECK(deliver_pat(0, 0), "a PAT delivered");
    shown = wait_description(dlg, L"Program 4711 is not on this transponder", 1, text, 3);
    CHECK(shown, "within 3 status periods the line says the program is missing (\"%s\")", host_narrow(text));
    CHECK(wcslen(text) <= 70, "the line fits its 70 characters");

    if (!next_step(dlg, "session 11: a PAT with the program"))
        return;
    CHECK(deliver_pat(1, 1), "a PAT delivered");
    shown = wait_description(dlg, sends, 0, text, 3);
    CHECK(shown, "within 3 status periods the line names the program again (\"%s\")", host_narrow(text));

    if (!next_step(dlg, "session 11: bytes without a sync byte"))
        return;
    unsigned char noSync[300];
    memset(noSync, 0xFF, sizeof noSync);
    CHECK(deliver_block(noSync, (int)sizeof noSync), "300 bytes delivered");
    shown = wait_description(dlg, L"No sync byte in the stream (300 bytes dropped since Start)", 1, text, 3);
    CHECK(shown, "within 3 status periods the line says that no sync byte comes (\"%s\")", host_narrow(text));
    CHECK(deliver_pat(1, 2), "a PAT delivered");
    shown = wait_description(dlg, sends, 0, text, 3);
    CHECK(shown, "within 3 status periods after a packet start the line names the program again (\"%s\")",
          host_narrow(text));

    dialog_click(dlg, ID_STOP);
    check_state(dlg, STATE_IDLE, "after Stop");
    shown = wait_description(dlg, sends, 0, text, 0);
    CHECK(shown, "after Stop the line names the program (\"%s\")", host_narrow(text));
    dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "Close ends the dialog");
}

/* ---- Session 9: sends refused while streaming ---------------------------- */

/* What the description line and the log give as the reason for a socket
 * error: the system's text, or "Winsock error <code>" where it has none.
 * Returns 0 when the system has a text (the test then checks the frame). */
static int expected_socket_reason(int error, wchar_t *out, size_t capacity)
{
    wchar_t text[256];
    if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, (DWORD)error, 0, text, 256,
                       NULL) != 0)
        return 0;
    _snwprintf(out, capacity, L"Winsock error %d", error);
    out[capacity - 1] = 0;
    return 1;
}

static void check_send_failure_text(HWND dlg, int refused, const char *when)
{
    wchar_t reason[64], expected[200], text[256], tail[64];
    dialog_text(dlg, ID_DESCRIPTION, text, 256);
    _snwprintf(tail, 64, L" (%d datagrams not sent)", refused);
    if (expected_socket_reason(WSAENETUNREACH, reason, 64)) {
        _snwprintf(expected, 200, L"Sending fails: %ls%ls", reason, tail);
        CHECK(wcscmp(text, expected) == 0, "%s: description is \"%s\" (it is \"%s\")", when, host_narrow(expected),
              host_narrow(text));
    } else {
        size_t n = wcslen(text), t = wcslen(tail);
        CHECK(wcsncmp(text, L"Sending fails: ", 15) == 0 && n > t && wcscmp(text + n - t, tail) == 0 &&
                  wcschr(text, L'\n') == NULL,
              "%s: description is \"Sending fails: <reason>%s\" on one line (it is \"%s\")", when,
              host_narrow(tail), host_narrow(text));
    }
}

/* Log line `index` is about sending to `address`:`port`, then `expectedTail`. */
static void check_debug_line(long index, const wchar_t *address, unsigned port, const wchar_t *expectedTail,
                             const char *what)
{
    wchar_t line[DEBUG_LINE_CHARS], expected[DEBUG_LINE_CHARS];
    _snwprintf(expected, DEBUG_LINE_CHARS, L"Tovrin TS Streamer: sending to %ls:%u %ls\n", address, port,
               expectedTail);
    int kept = module_debug_line(index, line, DEBUG_LINE_CHARS);
    CHECK(kept && wcscmp(line, expected) == 0, "%s: \"%s\" (it is \"%s\")", what, host_narrow(expected),
          kept ? host_narrow(line) : "missing");
}

static void session_send_failures(HWND dlg)
{
    wchar_t expected[200], reason[64], tail[128];
    unsigned port = udp_tally_port(&g_host.stored);
    UdpTally before, after;

    /* The status periods are the test's own WM_TIMER messages. */
    InterlockedExchange(&g_tick_swallow, 1);
    press_start(dlg);
    udp_tally_expect(&g_host.stored, RTP_HEADER_BYTES + HOST_TS_PACKET);
    check_state(dlg, STATE_STREAMING, "streaming");
    description_text(expected, L"127.0.0.1", port, 1);
    CHECK(test_engine_deliver_batch(&g_host.engine, 3), "3 packets delivered");
    CHECK(udp_tally_sync(&g_host.stored, &before), "the receiver answers");
    after = before;
    long lines = module_debug_count();

    if (!next_step(dlg, "session 9: the link refuses every datagram"))
        return;
    module_sendto_refuse(WSAENETUNREACH);
    CHECK(test_engine_deliver_batch(&g_host.engine, 5), "5 packets delivered");
    SendMessageW(dlg, WM_TIMER, STATUS_TIMER_ID, 0);
    check_send_failure_text(dlg, 5, "a status period with refused datagrams");
    check_state(dlg, STATE_STREAMING, "the stream runs on");
    CHECK_EQ(module_debug_count() - lines, 1, "lines in the host's log when sending starts to fail");
    if (expected_socket_reason(WSAENETUNREACH, reason, 64)) {
        _snwprintf(tail, 128, L"fails: %ls", reason);
        check_debug_line(lines, L"127.0.0.1", port, tail, "the log line");
    }
    SendMessageW(dlg, WM_TIMER, STATUS_TIMER_ID, 0);
    check_text(dlg, ID_DESCRIPTION, expected, "description after a status period without refusals");
    CHECK(test_engine_deliver_batch(&g_host.engine, 2), "2 packets delivered");
    SendMessageW(dlg, WM_TIMER, STATUS_TIMER_ID, 0);
    check_send_failure_text(dlg, 7, "refused again: counted since Start");
    CHECK_EQ(module_debug_count() - lines, 1, "lines in the host's log while the episode lasts");

    /* Sending succeeds again once a clean second has passed, on the module's
     * clock, which the test sets here. */
    if (!next_step(dlg, "session 9: the link is back"))
        return;
    module_sendto_refuse(0);
    module_clock_set(CLOCK_START);
    CHECK(test_engine_deliver_batch(&g_host.engine, 40), "40 packets delivered");
    CHECK_EQ(module_debug_count() - lines, 1, "lines in the host's log before a clean second");
    module_clock_set(CLOCK_START + 1000);
    CHECK(test_engine_deliver_batch(&g_host.engine, 32), "32 more packets delivered a second later");
    CHECK_EQ(module_debug_count() - lines, 2, "lines in the host's log once it succeeds again");
    check_debug_line(lines + 1, L"127.0.0.1", port, L"succeeds again (7 datagrams not sent)", "the second log line");
    SendMessageW(dlg, WM_TIMER, STATUS_TIMER_ID, 0);
    check_text(dlg, ID_DESCRIPTION, expected, "description once datagrams go out again");
    CHECK(udp_tally_sync(&g_host.stored, &after) && after.datagrams - before.datagrams == 72 &&
              after.rtpGaps - before.rtpGaps == 1 && after.indexGaps - before.indexGaps == 1,
          "72 datagrams arrived after one gap in sequence and in packets (%ld, %ld, %ld)",
          after.datagrams - before.datagrams, after.rtpGaps - before.rtpGaps, after.indexGaps - before.indexGaps);

    if (!next_step(dlg, "session 9: Stop while sends fail"))
        return;
    module_sendto_refuse(WSAENETUNREACH);
    CHECK(test_engine_deliver_batch(&g_host.engine, 1), "1 packet delivered");
    SendMessageW(dlg, WM_TIMER, STATUS_TIMER_ID, 0);
    check_send_failure_text(dlg, 8, "one more refused: counted since Start");
    dialog_click(dlg, ID_STOP);
    module_sendto_refuse(0);
    check_state(dlg, STATE_IDLE, "stopped");
    check_text(dlg, ID_DESCRIPTION, expected, "description after Stop");
    InterlockedExchange(&g_tick_swallow, 0);
    dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "Close ends the dialog");
}

/* ---- Session 10: two objects' dialogs open at once ----------------------- */

static ReceiverModule *g_second;       /* its dialog runs on a second UI thread */
static TestDevice g_second_device;
static volatile LONG g_second_returned;

static DWORD WINAPI second_ui_thread(void *unused)
{
    (void)unused;
    g_second->vtbl->ShowOptionsDialog(g_second, NULL);
    InterlockedExchange(&g_second_returned, 1);
    return 0;
}

static void session_two_dialogs(HWND dlg)
{
    wchar_t expected[200];
    DWORD secondThread = 0;
    InterlockedExchange(&g_second_returned, 0);
    HANDLE thread = CreateThread(NULL, 0, second_ui_thread, NULL, 0, &secondThread);
    if (!CHECK(thread != NULL, "a second UI thread"))
        return;
    HWND other = dialog_find(secondThread, DIALOG_CAPTION, &g_second_returned);
    if (CHECK(other != NULL && other != dlg, "the second object's dialog opens beside the first")) {
        /* Everything is done in the first dialog, which opened first. */
        int addedFirst = g_host.engine.device.slotCalls[3], addedSecond = g_second_device.slotCalls[3];
        dialog_focus_control(dlg, ID_PACKETS);
        dialog_type(g_host.uiThread, L"2");
        press_start(dlg);
        udp_tally_expect(&g_host.stored, RTP_HEADER_BYTES + 2 * HOST_TS_PACKET);
        CHECK_EQ(g_host.engine.device.slotCalls[3] - addedFirst, 1, "filters added on the first object's device");
        CHECK_EQ(g_second_device.slotCalls[3] - addedSecond, 0, "filters added on the second object's device");
        check_state(dlg, STATE_STREAMING, "the first dialog after its Start");
        check_state(other, STATE_IDLE, "the second dialog after the first one's Start");
        description_text(expected, L"127.0.0.1", udp_tally_port(&g_host.stored), 2);
        check_text(dlg, ID_DESCRIPTION, expected, "the first dialog's description");
        UdpTally before, after;
        CHECK(udp_tally_sync(&g_host.stored, &before), "the receiver answers");
        after = before;
        CHECK(test_engine_deliver_batch(&g_host.engine, 4) && udp_tally_sync(&g_host.stored, &after) &&
                  after.datagrams - before.datagrams == 2,
              "the first object streams 2 packets per datagram (%ld datagrams)", after.datagrams - before.datagrams);
        int removed = g_host.engine.device.slotCalls[4];
        dialog_click(dlg, ID_STOP);
        CHECK_EQ(g_host.engine.device.slotCalls[4] - removed, 1, "filters removed by the first dialog's Stop");
        dialog_click(dlg, ID_CLOSE);
        CHECK(dialog_wait_gone(dlg), "Close ends the first dialog");
        for (int waited = 0; waited < DIALOG_WAIT_MS && !g_modal_returned; waited += 2)
            Sleep(2);
        wchar_t saved[16];
        GetPrivateProfileStringW(INI_SECTION, L"nTS_UDP", L"(missing)", saved, 16, g_host.ini);
        CHECK(g_modal_returned && wcscmp(saved, L"2") == 0,
              "the first object saved the packet count typed into its dialog (%s)", host_narrow(saved));
        dialog_click(other, ID_CLOSE);
        CHECK(dialog_wait_gone(other), "Close ends the second dialog");
    }
    CHECK(WaitForSingleObject(thread, 30000) == WAIT_OBJECT_0, "the second UI thread ends");
    CloseHandle(thread);
    CHECK_EQ(g_second_device.slotCalls[3] + g_second_device.slotCalls[4], 0,
             "filters added or removed on the second object's device");
}

static void session_outage(HWND dlg)
{
    wchar_t text[256], normal[200], reason[64], tail[128];
    const wchar_t *address = g_net_address;
    unsigned port = g_net_port;
    long lines = module_debug_count();

    press_start(dlg);
    check_state(dlg, STATE_STREAMING, "streaming");
    description_text(normal, address, port, 7);
    check_text(dlg, ID_DESCRIPTION, normal, "description");
    test_engine_flow(&g_host.engine);
    if (!CHECK(net_handshake("streaming", "down"), "the namespace test took the link down"))
        return;

    if (!next_step(dlg, "outage: the link is down"))
        return;
    int shown = wait_description(dlg, L"Sending fails: ", 0, text, 10);
    CHECK(shown, "within 10 ticks the description line tells of refused datagrams (\"%s\")", host_narrow(text));
    int refused = 0;
    const wchar_t *count = wcsrchr(text, L'(');
    int counted = shown && count != NULL && swscanf(count, L"(%d datagrams not sent)", &refused) == 1;
    CHECK(counted && refused > 0, "it counts the datagrams not sent (%d)", refused);
    if (shown && count != NULL)
        check_send_failure_text(dlg, refused, "while the link is down");
    check_state(dlg, STATE_STREAMING, "while the link is down");
    CHECK_EQ(module_debug_count() - lines, 1, "lines in the host's log since the link went down");
    if (expected_socket_reason(WSAENETUNREACH, reason, 64)) {
        _snwprintf(tail, 128, L"fails: %ls", reason);
        check_debug_line(lines, address, port, tail, "the log line");
    }
    char state[64];
    snprintf(state, sizeof state, "failing %d", refused);
    if (!CHECK(net_handshake(state, "up"), "the namespace test brought the link back"))
        return;

    if (!next_step(dlg, "outage: the link is back"))
        return;
    shown = wait_description(dlg, normal, 1, text, 10);
    CHECK(shown, "within 10 ticks the description line is the settings again (\"%s\")", host_narrow(text));
    for (int waited = 0; waited < 20000 && module_debug_count() - lines < 2; waited += 10)
        Sleep(10);
    CHECK_EQ(module_debug_count() - lines, 2, "lines in the host's log once sending succeeds again");
    int notSent = 0;
    if (module_debug_line(lines + 1, text, 256)) {
        const wchar_t *open = wcsrchr(text, L'(');
        notSent = open != NULL ? _wtoi(open + 1) : 0;
        _snwprintf(tail, 128, L"succeeds again (%d datagrams not sent)", notSent);
        check_debug_line(lines + 1, address, port, tail, "the second log line");
    }
    CHECK(notSent >= refused, "it counts the datagrams not sent over the whole outage (%d)", notSent);
    check_state(dlg, STATE_STREAMING, "after the outage, without Stop and Start");
    snprintf(state, sizeof state, "recovered %d", notSent);
    CHECK(net_handshake(state, "done"), "the namespace test saw datagrams arrive again");
    test_engine_pause(&g_host.engine);
    dialog_click(dlg, ID_STOP);
    dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "Close ends the dialog");
}

/* ---- Sessions 4 and 5: no usable device --------------------------------- */

static int g_unsuitable_close_by_message; /* 1: WM_CLOSE, 0: the Close button */
static TestDevice *g_unsuitable_device;   /* null for the object without device */

static void session_unsuitable(HWND dlg)
{
    check_settings_shown(dlg, L"127.0.0.1", MAKEIPADDRESS(127, 0, 0, 1), udp_tally_port(&g_host.stored), 4,
                         "opened");
    check_state(dlg, STATE_UNSUITABLE, "no usable device");
    long before = datagrams_now(&g_host.stored);
    /* The buttons are disabled; their commands come anyway. */
    dialog_command(dlg, ID_START);
    check_state(dlg, STATE_UNSUITABLE, "after a Start command");
    dialog_command(dlg, ID_STOP);
    check_state(dlg, STATE_UNSUITABLE, "after a Stop command");
    if (g_unsuitable_device != NULL) {
        CHECK_EQ(g_unsuitable_device->slotCalls[3], 0, "filters added on a device of another transport type");
        CHECK_EQ(g_unsuitable_device->slotCalls[4], 0, "filters removed on a device of another transport type");
        CHECK(g_unsuitable_device->slotCalls[2] > 0 && g_unsuitable_device->badInfoRecords == 0,
              "the device was asked for its information with a zeroed 232-byte record (%d times)",
              g_unsuitable_device->slotCalls[2]);
    }
    CHECK_EQ(datagrams_now(&g_host.stored) - before, 0, "datagrams sent without a usable device");
    if (g_unsuitable_close_by_message)
        SendMessageW(dlg, WM_CLOSE, 0, 0);
    else
        dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "%s ends the dialog", g_unsuitable_close_by_message ? "WM_CLOSE" : "Close");
}

/* ---- Running a session -------------------------------------------------- */

static DWORD WINAPI driver_thread(void *unused)
{
    (void)unused;
    HWND dlg = dialog_find(g_host.uiThread, DIALOG_CAPTION, &g_modal_returned);
    if (!CHECK(dlg != NULL, "the options dialog appears"))
        return 0;
    g_driven_dialog = dlg;
    g_script(dlg);
    if (IsWindow(dlg)) {
        CHECK(0, "the dialog was still open at the end of the session; ending it");
        InterlockedExchange(&g_force_end, 1);
        PostMessageW(dlg, WM_NULL, 0, 0);
        dialog_wait_gone(dlg);
    }
    return 0;
}

/* Opens the dialog of `m` on this thread while `script` drives it. */
static void run_session(const char *name, ReceiverModule *m, SessionScript script)
{
    check_step(name);
    g_script = script;
    InterlockedExchange(&g_modal_returned, 0);
    InterlockedExchange(&g_force_end, 0);
    InterlockedExchange(&g_tick_swallow, 0);
    InterlockedExchange(&g_tick_count, 0);
    InterlockedExchange(&g_tick_foreign, 0);
    g_driven_dialog = NULL;
    long faults = fault_watch_count();

    HANDLE driver = CreateThread(NULL, 0, driver_thread, NULL, 0, NULL);
    if (!CHECK(driver != NULL, "the driver thread starts"))
        return;
    DWORD opened = GetTickCount();
    int result = m->vtbl->ShowOptionsDialog(m, g_host.parent);
    InterlockedExchange(&g_modal_returned, 1);
    CHECK(WaitForSingleObject(driver, 60000) == WAIT_OBJECT_0, "the driver thread ends");
    CloseHandle(driver);

    check_step(name);
    CHECK_EQ(result, 0, "ShowOptionsDialog returns");
    CHECK(IsWindowEnabled(g_host.parent), "the host window is enabled again");
    CHECK_EQ(g_tick_foreign, 0, "timer messages for windows other than the dialog");
    /* The timer starts after `opened`; with a period of a second it cannot
     * have fired more often than whole seconds have passed since then. */
    LONG ticks = dialog_ticks();
    DWORD open = GetTickCount() - opened;
    CHECK(ticks <= (LONG)((open + 50) / 1000), "the timer ticked at most once a second (%ld ticks in %lu ms)",
          (long)ticks, (unsigned long)open);
    long newFaults = fault_watch_count() - faults;
    if (newFaults == 0)
        CHECK(1, "nothing faulted");
    else
        CHECK(0, "nothing faulted: %ld faults, the first of the run exception 0x%08lX at %p in step \"%s\"",
              newFaults, (unsigned long)g_watch_first_code, g_watch_first_address,
              g_watch_first_step ? g_watch_first_step : "-");
}

static void check_ini(const wchar_t *address, unsigned port, int packets, const char *when)
{
    wchar_t text[64], expected[16];
    GetPrivateProfileStringW(INI_SECTION, L"IPAddress", L"(missing)", text, 64, g_host.ini);
    CHECK(wcscmp(text, address) == 0, "%s: IPAddress is %s (%s)", when, host_narrow(address), host_narrow(text));
    GetPrivateProfileStringW(INI_SECTION, L"UDP_Port", L"(missing)", text, 64, g_host.ini);
    _snwprintf(expected, 16, L"%u", port);
    CHECK(wcscmp(text, expected) == 0, "%s: UDP_Port is %s (%s)", when, host_narrow(expected), host_narrow(text));
    GetPrivateProfileStringW(INI_SECTION, L"nTS_UDP", L"(missing)", text, 64, g_host.ini);
    _snwprintf(expected, 16, L"%d", packets);
    CHECK(wcscmp(text, expected) == 0, "%s: nTS_UDP is %s (%s)", when, host_narrow(expected), host_narrow(text));
    GetPrivateProfileStringW(HOST_SECTION, L"Placement", L"(missing)", text, 64, g_host.ini);
    CHECK(wcscmp(text, L"10,20,640,480") == 0, "%s: the host's own section is untouched", when);
}

#include "more_dialog_session.h"
#include "more_url_session.h"
#include "more_send_session.h"
#include "more_outputs_session.h"

/* ---- Setting up --------------------------------------------------------- */

/* The port typed as 65536 + port reaches `port`: 70000 reaches 4464 when it
 * is free, else a port the system picks. */
static int open_typed_receiver(void)
{
    return udp_tally_open(&g_host.typed, "127.0.0.2 (typed)", "127.0.0.2", 4464) ||
           udp_tally_open(&g_host.typed, "127.0.0.2 (typed)", "127.0.0.2", 0);
}

static ReceiverModule *create_object(DeviceModule *device)
{
    unsigned char rec[CREATE_PARAMS_SIZE];
    memset(rec, 0, sizeof rec);
    rec_set_i32(rec, CREATE_PARAMS_OFF_SIZE, CREATE_PARAMS_SIZE);
    rec_set_ptr(rec, CREATE_PARAMS_OFF_DEVICE, device);
    return g_host.unit->vtbl->CreateModule(g_host.unit, rec);
}

static int set_up(HMODULE *moduleOut, wchar_t *dir)
{
    WSADATA wsa;
    check_step("test environment");
    int ok = CHECK(WSAStartup(MAKEWORD(2, 2), &wsa) == 0, "the host's socket library starts");
    ok = ok && open_typed_receiver();
    ok = ok && udp_tally_open(&g_host.stored, "127.0.0.1 (stored)", "127.0.0.1", 0);
    ok = CHECK(ok, "receivers at 127.0.0.2 port %u and 127.0.0.1 port %u", udp_tally_port(&g_host.typed),
               udp_tally_port(&g_host.stored));
    ok = ok && CHECK(udp_tally_run(), "the receiver thread starts");
    if (!ok)
        return 0;
    _snwprintf(g_host.typedPortText, 16, L"%u", 65536u + udp_tally_port(&g_host.typed));
    ok = CHECK(host_make_temp_dir(dir, MAX_PATH), "a private temporary folder");
    ok = ok && _snwprintf(g_host.ini, MAX_PATH, L"%ls\\host.ini", dir) > 0;
    ok = ok && CHECK(WritePrivateProfileStringW(HOST_SECTION, L"Placement", L"10,20,640,480", g_host.ini),
                     "the host INI file %s with the host's own section", host_narrow(g_host.ini));
    g_host.uiThread = GetCurrentThreadId();
    g_host.parent = CreateWindowExW(0, L"STATIC", L"Test host", WS_OVERLAPPEDWINDOW, 0, 0, 320, 200, NULL, NULL,
                                    NULL, NULL);
    ok = ok && CHECK(g_host.parent != NULL, "the host's main window");
    if (ok)
        g_host.parentProc = (WNDPROC)SetWindowLongPtrW(g_host.parent, GWLP_WNDPROC, (LONG_PTR)host_window_proc);
    ok = ok && CHECK(test_engine_start(&g_host.engine, "A", HOST_TRANSPORT_TS, 501), "the engine thread starts");
    ok = ok && CHECK(dialog_tick_hook_install(&g_host.engine.packetsDone), "the timer hook");
    if (!ok)
        return 0;

    wchar_t modulePath[MAX_PATH * 2];
    host_module_path_arg(1, modulePath, MAX_PATH * 2);
    check_step("loading the module file");
    HMODULE module = LoadLibraryW(modulePath);
    *moduleOut = module;
    FARPROC entry = module ? GetProcAddress(module, HOST_ENTRY_NAME) : NULL;
    if (!CHECK(entry != NULL, "LoadLibraryW and GetProcAddress(%s)", HOST_ENTRY_NAME))
        return 0;
    CHECK(fault_watch_install(module, &g_check_step), "the fault watch");
    CHECK(module_clock_install(module), "the module's GetTickCount import points at the test's clock");
    CHECK(module_icc_install(module), "the module imports InitCommonControlsEx; the test records its calls");
    CHECK(module_sendto_install(module), "the module's sendto import can refuse datagrams");
    CHECK(module_debug_install(module), "the module's OutputDebugStringW import is recorded");
    g_host.unit = ((GetReceiverModuleUnitFn)(void (*)(void))entry)();
    if (!CHECK(g_host.unit != NULL, "the unit"))
        return 0;
    unsigned char info[UNIT_INFO_SIZE];
    memset(info, 0, sizeof info);
    rec_set_i32(info, UNIT_INFO_OFF_SIZE, UNIT_INFO_SIZE);
    rec_set_ptr(info, UNIT_INFO_OFF_MAIN_WND, g_host.parent);
    rec_set_ptr(info, UNIT_INFO_OFF_INI_FILE, g_host.ini);
    return CHECK(g_host.unit->vtbl->GetInfo(g_host.unit, info) == 1, "GetInfo with the host INI file");
}

static void run_bad_address_sessions(void)
{
    wchar_t portText[16];
    _snwprintf(portText, 16, L"%u", g_net_port);
    WritePrivateProfileStringW(INI_SECTION, L"UDP_Port", portText, g_host.ini);
    static const struct { const wchar_t *text; int fields; } stored[] = {
        {L"abc", 0}, {L"1.2.3", 0}, {L"256.1.1.1", 0}, {L"0.0.0.0", 4}, {L"", 0},
    };
    for (size_t i = 0; i < sizeof stored / sizeof stored[0]; ++i) {
        char name[96];
        snprintf(name, sizeof name, "stored address \"%s\"", host_narrow(stored[i].text));
        check_step(name);
        WritePrivateProfileStringW(INI_SECTION, L"IPAddress", stored[i].text, g_host.ini);
        g_stored_address = stored[i].text;
        g_stored_address_fields = stored[i].fields;
        run_session(name, g_host.a, session_bad_stored_address);
        wchar_t kept[64];
        GetPrivateProfileStringW(INI_SECTION, L"IPAddress", L"(missing)", kept, 64, g_host.ini);
        CHECK(wcscmp(kept, stored[i].text) == 0, "the INI file keeps \"%s\" (\"%s\")", host_narrow(stored[i].text),
              host_narrow(kept));
    }
    WritePrivateProfileStringW(INI_SECTION, L"IPAddress", L"127.0.0.1", g_host.ini);
    g_address_partly = 1;
    run_session("typed: a partly filled address", g_host.a, session_address_edit);
    g_address_partly = 0;
    run_session("typed: an empty address", g_host.a, session_address_edit);
    CHECK_EQ(g_host.engine.device.slotCalls[3], 0, "filters added over the whole run");
}

/* The sessions on the loopback, in order: each starts from what the one
 * before left in the INI file and in object A. */
static void run_loopback_sessions(void)
{
    run_session("session 1: opened with the defaults", g_host.a, session_defaults);
    check_step("after session 1: the stream runs on");
    long flowing = datagrams_now(&g_host.typed);
    CHECK(wait_datagrams(&g_host.typed, flowing) > flowing, "datagrams keep coming after the dialog returned");
    CHECK(g_host.engine.device.slotCalls[4] == 0 && g_host.engine.device.activeHandle != 0,
          "closing the dialog removed no filter");
    check_ini(L"127.0.0.2", udp_tally_port(&g_host.typed), 5, "saved at Close");
    check_tally_clean(&g_host.typed, "after session 1");

    run_session("session 2: reopened while streaming", g_host.a, session_reopened);
    check_step("after session 2: the stream runs on");
    flowing = datagrams_now(&g_host.typed);
    CHECK(wait_datagrams(&g_host.typed, flowing) > flowing, "datagrams keep coming after Escape");
    CHECK(g_host.engine.device.activeHandle != 0, "Escape removed no filter");
    check_ini(L"127.0.0.2", udp_tally_port(&g_host.typed), 5, "saved at Escape");
    check_tally_clean(&g_host.typed, "after session 2");

    check_step("session 2b: another object saves its settings");
    write_stored_settings(L"2");
    run_session("session 2b: reopened after another object changed the INI file", g_host.a,
                session_reopened_ini_changed);
    check_ini(L"127.0.0.1", udp_tally_port(&g_host.stored), 3, "the other object's changes kept at Close");
    CHECK(g_host.engine.device.activeHandle != 0, "the stream runs on");

    run_session("session 2c: the host stops the stream with the dialog open", g_host.a, session_host_stops);
    check_ini(L"127.0.0.2", udp_tally_port(&g_host.typed), 5, "what the dialog showed, saved at Close");
    test_engine_pause(&g_host.engine);
    check_tally_clean(&g_host.typed, "after the channel change");

    check_step("session 3: prepared INI file");
    write_stored_settings(L"3");
    module_clock_set(CLOCK_START);
    run_session("session 3: a stored packet count of 3", g_host.a, session_stored);
    module_clock_release();
    check_ini(L"127.0.0.1", udp_tally_port(&g_host.stored), 2, "saved at Escape");
    CHECK_EQ(g_host.engine.device.activeHandle, 0, "filters registered after session 3");

    run_session("session 3b: an edit closed by the close box", g_host.a, session_close_box);
    check_ini(L"127.0.0.1", udp_tally_port(&g_host.stored), 4, "saved at the close box");

    /* Packet counts outside 1..7 typed into the combo box's edit field. */
    static const struct { const wchar_t *typed; int packets; } counts[] = {
        {L"9", 7}, {L"0", 1}, {L"-3", 1}, {L"x", 1},
    };
    for (size_t i = 0; i < sizeof counts / sizeof counts[0]; ++i) {
        char name[96];
        snprintf(name, sizeof name, "session 6: \"%s\" typed as the packet count", host_narrow(counts[i].typed));
        g_typed_packets = counts[i].typed;
        g_expected_packets = counts[i].packets;
        run_session(name, g_host.a, session_packet_box);
        check_ini(L"127.0.0.1", udp_tally_port(&g_host.stored), counts[i].packets, "saved at Close");
    }

    g_address_partly = 1;
    run_session("session 7: a partly filled address at Start and at Close", g_host.a, session_address_edit);
    check_ini(L"127.0..", udp_tally_port(&g_host.stored), 1, "saved at Close");
    g_address_partly = 0;
    run_session("session 7b: an empty address at Start and at Close", g_host.a, session_address_edit);
    check_ini(L"", udp_tally_port(&g_host.stored), 1, "saved at Close");

    static const wchar_t *const storedAddresses[] = {L"abc", L"127.0.0.9x"};
    for (size_t i = 0; i < sizeof storedAddresses / sizeof storedAddresses[0]; ++i) {
        char name[96];
        snprintf(name, sizeof name, "session 8: \"%s\" stored as the address", host_narrow(storedAddresses[i]));
        check_step(name);
        CHECK(WritePrivateProfileStringW(INI_SECTION, L"IPAddress", storedAddresses[i], g_host.ini),
              "INI file with the address \"%s\"", host_narrow(storedAddresses[i]));
        g_stored_address = storedAddresses[i];
        g_stored_address_fields = 0;
        run_session(name, g_host.a, session_bad_stored_address);
        check_ini(storedAddresses[i], udp_tally_port(&g_host.stored), 1, "kept as written at Close");
    }

    check_step("session 9: prepared INI file");
    CHECK(WritePrivateProfileStringW(INI_SECTION, L"IPAddress", L"127.0.0.1", g_host.ini),
          "INI file with the address 127.0.0.1");
    run_session("session 9: sends refused while streaming", g_host.a, session_send_failures);
    module_clock_release();
    module_sendto_refuse(0);

    check_step("session 10: two dialogs at once");
    test_device_init(&g_second_device, "second", HOST_TRANSPORT_TS, 701);
    g_second = create_object(&g_second_device.base);
    if (CHECK(g_second != NULL, "CreateModule for a second object")) {
        run_session("session 10: two objects' dialogs open at once", g_host.a, session_two_dialogs);
        g_host.unit->vtbl->DestroyModule(g_host.unit, g_second);
    }
    check_ini(L"127.0.0.1", udp_tally_port(&g_host.stored), 1,
              "saved last by the second object, with the count it loaded");
    CHECK(WritePrivateProfileStringW(INI_SECTION, L"nTS_UDP", L"4", g_host.ini), "INI file with 4 packets again");

    check_step("session 11: prepared INI file");
    CHECK(WritePrivateProfileStringW(INI_SECTION, L"Programs", L"4711", g_host.ini), "INI file with Programs=4711");
    run_session("session 11: a chosen program", g_host.a, session_program);
    CHECK(WritePrivateProfileStringW(INI_SECTION, L"Programs", NULL, g_host.ini), "Programs removed again");

    run_more_dialog_session();
    run_more_send_session();
    run_more_outputs_session();

    check_step("session 4: a device of another transport type");
    TestDevice other;
    test_device_init(&other, "other transport", OTHER_TRANSPORT, 601);
    ReceiverModule *b = create_object(&other.base);
    if (CHECK(b != NULL, "CreateModule with a device of transport type %d", OTHER_TRANSPORT)) {
        g_unsuitable_device = &other;
        g_unsuitable_close_by_message = 1;
        run_session("session 4: a device of another transport type", b, session_unsuitable);
        g_host.unit->vtbl->DestroyModule(g_host.unit, b);
    }

    check_step("session 5: no device");
    ReceiverModule *c = create_object(NULL);
    if (CHECK(c != NULL, "CreateModule without a device")) {
        g_unsuitable_device = NULL;
        g_unsuitable_close_by_message = 0;
        run_session("session 5: no device", c, session_unsuitable);
        g_host.unit->vtbl->DestroyModule(g_host.unit, c);
    }
}

int main(void)
{
    check_init();
    wchar_t probe[MAX_PATH * 2], dir[MAX_PATH];
    int mode = net_mode_from_arguments();
    if (!host_module_path_arg(1, probe, MAX_PATH * 2) || mode < 0) {
        printf("usage: dialog_test_host <path of TovrinStreamer.module> [--outage ADDRESS PORT | --bad-address PORT | --url PORT | --adapters ADDRESS ADDRESS]\n");
        return 2;
    }
    HMODULE module = NULL;
    dir[0] = 0;
    if (!set_up(&module, dir))
        return check_summary();

    check_step("creating the streaming object");
    if (mode == NET_OUTAGE) {
        wchar_t portText[16];
        _snwprintf(portText, 16, L"%u", g_net_port);
        CHECK(WritePrivateProfileStringW(INI_SECTION, L"IPAddress", g_net_address, g_host.ini) &&
                  WritePrivateProfileStringW(INI_SECTION, L"UDP_Port", portText, g_host.ini),
              "INI file with the destination %s:%u", host_narrow(g_net_address), g_net_port);
    }
    g_host.a = create_object(&g_host.engine.device.base);
    if (!CHECK(g_host.a != NULL, "CreateModule with a transport-stream device"))
        return check_summary();

    if (mode == NET_OUTAGE)
        run_session("beyond loopback: the link goes down and comes back", g_host.a, session_outage);
    else if (mode == NET_BAD_ADDRESS)
        run_bad_address_sessions();
    else if (mode == NET_URL)
        run_more_url_session();
    else if (mode == NET_ADAPTERS)
        run_session("beyond loopback: the send-from list of a PC with two addresses", g_host.a,
                    session_more_adapters);
    else
        run_loopback_sessions();

    check_step("the end of the streaming object");
    g_host.unit->vtbl->DestroyModule(g_host.unit, g_host.a);
    CHECK_EQ(g_host.engine.device.slotCalls[0] + g_host.engine.device.slotCalls[1], 0,
             "calls of the device's first two slots");
    CHECK_EQ(g_host.engine.device.badInfoRecords, 0, "device information requests not zeroed or not 232 bytes");
    CHECK_EQ(g_host.engine.device.badRemovals, 0, "removals of filters that were not registered");
    CHECK_EQ(fault_watch_count(), 0, "faults over the whole run");

    check_step("cleaning up");
    test_engine_stop(&g_host.engine);
    dialog_tick_hook_remove();
    module_clock_uninstall();
    module_icc_uninstall();
    module_sendto_uninstall();
    module_debug_uninstall();
    udp_tally_shutdown();
    FreeLibrary(module);
    DestroyWindow(g_host.parent);
    WSACleanup();
    DeleteFileW(g_host.ini);
    RemoveDirectoryW(dir);
    return check_summary();
}

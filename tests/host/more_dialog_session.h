/* The second dialog, opened by More… in the options dialog, driven as a user
 * drives it while a three-program transponder streams: the programs listed
 * by number, name, provider and kind; a tick and Enter write Programs= and
 * cut the running stream at its next PAT (a new PAT version, no gap in the
 * RTP sequence); the whole transponder again by Apply; Escape writes
 * nothing; a choice without a tick is refused with the focus on the list;
 * keys written by hand stay as written.
 *
 * Part of dialog_test_host.c (its host, helpers and tallies), kept apart
 * as the second dialog's concern. */
#ifndef TOVRIN_HOST_MORE_DIALOG_SESSION_H
#define TOVRIN_HOST_MORE_DIALOG_SESSION_H

#include "screenshot.h"

#define MORE_CAPTION L"Tovrin TS Streamer: more options"

enum {
    ID_MORE = 1008,
    ID_MORE_TABS = 1100,
    ID_MORE_APPLY = 1101,
    ID_PROGRAMS_ALL = 1200,
    ID_PROGRAMS_CHOSEN = 1201,
    ID_PROGRAMS_LIST = 1202,
    ID_PROGRAMS_NOTE = 1203,
    MORE_TSID = 0x2345,
};

static const struct {
    uint16_t number;
    uint16_t pmtPid;
    unsigned char serviceType;
    const char *provider;
    const char *name;
    const wchar_t *kind;
} g_more_programs[3] = {
    {101, 0x1000, 0x19, "Prov A", "One", L"TV"},
    {102, 0x1001, 0x01, "Prov B", "Two", L"TV"},
    {103, 0x1002, 0x02, "Prov A", "Radio Three", L"Radio"},
};

/* One section in one packet of `pid` (the section fits). */
static void more_packet(unsigned char *p, int pid, int continuity, const unsigned char *section, int length)
{
    memset(p, 0xFF, HOST_TS_PACKET);
    p[0] = 0x47, p[1] = (unsigned char)(0x40 | pid >> 8), p[2] = (unsigned char)pid;
    p[3] = (unsigned char)(0x10 | (continuity & 0x0F)), p[4] = 0;
    memcpy(p + 5, section, (size_t)length);
}

/* Header, then the CRC over it and `body`; returns the section's length. */
static int more_finish_section(unsigned char *s, int tableId, int extension, int version, int bodyLength)
{
    const int length = 5 + bodyLength + 4;  /* after the length field */
    s[0] = (unsigned char)tableId, s[1] = (unsigned char)(0xB0 | length >> 8), s[2] = (unsigned char)length;
    s[3] = (unsigned char)(extension >> 8), s[4] = (unsigned char)extension;
    s[5] = (unsigned char)(0xC1 | (version & 0x1F) << 1), s[6] = 0, s[7] = 0;
    const uint32_t crc = crc32_mpeg(s, 3 + length - 4);
    for (int i = 0; i < 4; ++i)
        s[3 + length - 4 + i] = (unsigned char)(crc >> (24 - 8 * i));
    return 3 + length;
}

/* The transponder's PAT (version 0) and SDT actual, one packet each. */
static int more_deliver_tables(int continuity)
{
    unsigned char s[184], p[HOST_TS_PACKET];
    int at = 8;
    for (int i = 0; i < 3; ++i) {
        s[at++] = (unsigned char)(g_more_programs[i].number >> 8), s[at++] = (unsigned char)g_more_programs[i].number;
        s[at++] = (unsigned char)(0xE0 | g_more_programs[i].pmtPid >> 8), s[at++] = (unsigned char)g_more_programs[i].pmtPid;
    }
    more_packet(p, 0x0000, continuity, s, more_finish_section(s, 0x00, MORE_TSID, 0, at - 8));
    int ok = deliver_packet(p);

    at = 8;
    s[at++] = 0x00, s[at++] = 0x01, s[at++] = 0xFF;  /* original_network_id, reserved */
    for (int i = 0; i < 3; ++i) {
        const int provider = (int)strlen(g_more_programs[i].provider), name = (int)strlen(g_more_programs[i].name);
        const int descriptor = 2 + 3 + provider + name;
        s[at++] = (unsigned char)(g_more_programs[i].number >> 8), s[at++] = (unsigned char)g_more_programs[i].number;
        s[at++] = 0xFC;                                     /* no EIT flags */
        s[at++] = (unsigned char)(0x80 | descriptor >> 8), s[at++] = (unsigned char)descriptor;  /* running */
        s[at++] = 0x48, s[at++] = (unsigned char)(descriptor - 2), s[at++] = g_more_programs[i].serviceType;
        s[at++] = (unsigned char)provider;
        memcpy(s + at, g_more_programs[i].provider, (size_t)provider), at += provider;
        s[at++] = (unsigned char)name;
        memcpy(s + at, g_more_programs[i].name, (size_t)name), at += name;
    }
    more_packet(p, 0x0011, continuity, s, more_finish_section(s, 0x42, MORE_TSID, 0, at - 8));
    return ok && deliver_packet(p);
}

/* The guide's tables at 2026-12-11 12:00:00 UTC (MJD 61385): a TDT, EIT
 * present/following of 101 (11:30 for an hour), a schedule event of 102
 * (11:00 for two hours, a UTF-8 title), nothing of 103. */
enum { MORE_GUIDE_MJD = 61385, MORE_GUIDE_NOON = 1796990400 };

static int more_eit_packet(int continuity, int tableId, int service, int eventId, int hour, int minute,
                           int hours, const unsigned char *title, int titleLength)
{
    unsigned char s[184], p[HOST_TS_PACKET];
    int at = 8;
    s[at++] = (unsigned char)(MORE_TSID >> 8), s[at++] = (unsigned char)MORE_TSID;
    s[at++] = 0x00, s[at++] = 0x01;              /* original_network_id, as the SDT's */
    s[at++] = 0, s[at++] = (unsigned char)tableId;  /* segment_last_section_number, last_table_id */
    s[at++] = (unsigned char)(eventId >> 8), s[at++] = (unsigned char)eventId;
    s[at++] = (unsigned char)(MORE_GUIDE_MJD >> 8), s[at++] = (unsigned char)MORE_GUIDE_MJD;
    s[at++] = (unsigned char)(hour / 10 << 4 | hour % 10), s[at++] = (unsigned char)(minute / 10 << 4 | minute % 10), s[at++] = 0;
    s[at++] = (unsigned char)(hours / 10 << 4 | hours % 10), s[at++] = 0, s[at++] = 0;
    const int descriptor = 2 + 3 + 1 + titleLength + 1;
    s[at++] = (unsigned char)(0x80 | descriptor >> 8), s[at++] = (unsigned char)descriptor;  /* running */
    s[at++] = 0x4D, s[at++] = (unsigned char)(descriptor - 2), s[at++] = 'e', s[at++] = 'n', s[at++] = 'g';
    s[at++] = (unsigned char)titleLength;
    memcpy(s + at, title, (size_t)titleLength), at += titleLength;
    s[at++] = 0;                                 /* no text */
    more_packet(p, 0x0012, continuity, s, more_finish_section(s, tableId, service, 0, at - 8));
    return deliver_packet(p);
}

static int more_deliver_guide(int continuity)
{
    unsigned char p[HOST_TS_PACKET];
    const unsigned char tdt[8] = {0x70, 0x70, 0x05, MORE_GUIDE_MJD >> 8, MORE_GUIDE_MJD & 0xFF, 0x12, 0x00, 0x00};
    more_packet(p, 0x0014, continuity, tdt, 8);
    const unsigned char news[] = "News at noon";
    const unsigned char cafe[] = {0x15, 'C', 'a', 'f', 0xC3, 0xA9};  /* UTF-8 */
    return deliver_packet(p) && more_eit_packet(2 * continuity, 0x4E, 101, 7, 11, 30, 1, news, 12) &&
           more_eit_packet(2 * continuity + 1, 0x50, 102, 8, 11, 0, 2, cafe, 6);
}

/* "hh:mm–hh:mm Title" with the times of the UTC seconds in this PC's zone. */
static void more_event_text(const wchar_t *title, long long start, long long end, wchar_t *text, int capacity)
{
    wchar_t times[2][8];
    const long long at[2] = {start, end};
    for (int i = 0; i < 2; ++i) {
        const unsigned long long ticks = (unsigned long long)(at[i] + 11644473600LL) * 10000000ULL;
        FILETIME file = {(DWORD)ticks, (DWORD)(ticks >> 32)};
        SYSTEMTIME universal, local;
        FileTimeToSystemTime(&file, &universal);
        SystemTimeToTzSpecificLocalTime(NULL, &universal, &local);
        _snwprintf(times[i], 8, L"%02u:%02u", local.wHour, local.wMinute);
    }
    _snwprintf(text, capacity, L"%ls\x2013%ls %ls", times[0], times[1], title);
}

/* A TCP port that nobody listens on now. */
static unsigned more_free_tcp_port(void)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof a;
    unsigned port = 0;
    if (s != INVALID_SOCKET && bind(s, (struct sockaddr *)&a, sizeof a) == 0 &&
        getsockname(s, (struct sockaddr *)&a, &length) == 0)
        port = ntohs(a.sin_port);
    if (s != INVALID_SOCKET)
        closesocket(s);
    return port;
}

/* The program numbers of a PAT packet (one section); -1 when it is none.
 * Its version goes to `version`. */
static int more_pat_programs(const unsigned char *p, uint16_t *numbers, int capacity, int *version)
{
    if (p[0] != 0x47 || !(p[1] & 0x40) || p[4] != 0 || p[5] != 0x00)
        return -1;
    const unsigned char *s = p + 5;
    const int length = ((s[1] & 0x0F) << 8) | s[2];
    if (length < 9 || 3 + length > HOST_TS_PACKET - 5 || crc32_mpeg(s, 3 + length) != 0)
        return -1;
    *version = (s[5] >> 1) & 0x1F;
    int count = 0;
    for (int at = 8; at + 4 <= 3 + length - 4 && count < capacity; at += 4)
        numbers[count++] = (uint16_t)(s[at] << 8 | s[at + 1]);
    return count;
}

/* Opens the second dialog by a click on More… (posted: the click runs a
 * modal loop of its own) and finds it and its Programs page. */
static HWND more_open(HWND dlg, HWND *page)
{
    PostMessageW(GetDlgItem(dlg, ID_MORE), BM_CLICK, 0, 0);
    volatile LONG never = 0;
    HWND more = dialog_find(g_host.uiThread, MORE_CAPTION, &never);
    *page = more != NULL ? FindWindowExW(more, NULL, L"#32770", NULL) : NULL;
    return more;
}

static void more_row_text(HWND list, int row, int column, wchar_t *text, int capacity)
{
    LVITEMW item;
    memset(&item, 0, sizeof item);
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = capacity;
    text[0] = 0;
    SendMessageW(list, LVM_GETITEMTEXTW, (WPARAM)row, (LPARAM)&item);
}

/* The row of program `number`, -1 when the list has none. */
static int more_row_of(HWND list, unsigned number)
{
    const int rows = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
    for (int r = 0; r < rows; ++r) {
        wchar_t text[16];
        more_row_text(list, r, 0, text, 16);
        if ((unsigned)wcstoul(text, NULL, 10) == number)
            return r;
    }
    return -1;
}

/* A tick as a click on the row's box gives it: the state image changes,
 * and the list tells its page before and after. */
static void more_tick(HWND list, int row, int ticked)
{
    LVITEMW item;
    memset(&item, 0, sizeof item);
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(ticked ? 2 : 1);
    SendMessageW(list, LVM_SETITEMSTATE, (WPARAM)row, (LPARAM)&item);
}

static int more_ticked(HWND list, int row)
{
    return (SendMessageW(list, LVM_GETITEMSTATE, (WPARAM)row, LVIS_STATEIMAGEMASK) & LVIS_STATEIMAGEMASK) ==
           INDEXTOSTATEIMAGEMASK(2);
}

static void more_key(const wchar_t *key, wchar_t *text)
{
    GetPrivateProfileStringW(INI_SECTION, key, L"(absent)", text, 128, g_host.ini);
}

/* Each of `count` keys is as `expected` (NULL: absent). */
static void more_check_keys(const wchar_t *const *keys, const wchar_t *const *expected, int count, const char *when)
{
    for (int k = 0; k < count; ++k) {
        wchar_t text[128];
        more_key(keys[k], text);
        const wchar_t *want = expected[k] != NULL ? expected[k] : L"(absent)";
        CHECK(wcscmp(text, want) == 0, "%s: %s=%s (%s)", when, host_narrow(keys[k]), host_narrow(want),
              host_narrow(text));
    }
}

/* Escape in `window` (the second dialog, or a dialog of a tab), which
 * closes it: `closes` says how. */
static void more_escape(HWND window, const char *closes)
{
    CHECK(dialog_post_key(g_host.uiThread, VK_ESCAPE, 0x01), "Escape pressed");
    CHECK(dialog_wait_gone(window), "%s", closes);
}

/* The end of a session that streamed: Stop, then Close. */
static void more_stop_and_close(HWND dlg)
{
    dialog_click(dlg, ID_STOP);
    check_state(dlg, STATE_IDLE, "after Stop");
    dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "Close ends the dialog");
}

/* Keys written by hand that the Programs tab does not touch. */
static void more_check_hand_written(const char *when)
{
    wchar_t text[128];
    more_key(L"TTL", text);
    CHECK(wcscmp(text, L"300") == 0, "%s: TTL=300 (out of range, written by hand) kept (%s)", when, host_narrow(text));
    more_key(L"Protocol", text);
    CHECK(wcscmp(text, L"rtp") == 0, "%s: Protocol=rtp kept as written (%s)", when, host_narrow(text));
    more_key(L"HttpAllow", text);
    CHECK(wcscmp(text, L"10.1.0.0/16, 192.168.7.7") == 0, "%s: the HttpAllow list kept (%s)", when, host_narrow(text));
}

/* After the next source PAT: the PAT the receiver got lists `expected`
 * (count), and the RTP sequence went on without a gap. */
static void more_check_next_pat(int continuity, const uint16_t *expected, int count, int notVersion,
                                long gapsBefore, const char *when)
{
    UdpTally before, after;
    CHECK(udp_tally_sync(&g_host.stored, &before), "%s: the receiver caught up", when);
    CHECK(more_deliver_tables(continuity), "%s: PAT and SDT delivered", when);
    CHECK(udp_tally_sync(&g_host.stored, &after), "%s: the receiver caught up again", when);
    CHECK(after.pats > before.pats, "%s: a PAT reached the receiver (%ld)", when, after.pats - before.pats);
    uint16_t numbers[8];
    int version = -1;
    const int n = more_pat_programs(after.lastPat, numbers, 8, &version);
    int same = n == count;
    for (int i = 0; same && i < n; ++i)
        same = numbers[i] == expected[i];
    CHECK(same, "%s: the PAT lists %d program(s), the first %d (%d, first %d)", when, count,
          count > 0 ? expected[0] : -1, n, n > 0 ? numbers[0] : -1);
    CHECK(version != notVersion, "%s: the PAT's version %d differs from %d before", when, version, notVersion);
    CHECK_EQ(after.rtpGaps - gapsBefore, 0, "RTP sequence or timestamp breaks");
}

static void session_more_programs(HWND dlg)
{
    wchar_t text[256];
    press_start(dlg);
    check_state(dlg, STATE_STREAMING, "streaming the whole transponder");
    UdpTally start;
    CHECK(udp_tally_sync(&g_host.stored, &start), "the receiver caught up");
    CHECK(more_deliver_tables(0), "the transponder's PAT and SDT delivered");

    if (!next_step(dlg, "session 12: More… lists the transponder's programs"))
        return;
    HWND page = NULL;
    HWND more = more_open(dlg, &page);
    if (!CHECK(more != NULL && page != NULL, "More… opens the second dialog with its Programs page"))
        return;
    CHECK(GetWindow(more, GW_OWNER) == dlg, "the options dialog owns it");
    CHECK(!IsWindowEnabled(dlg), "the options dialog waits while it is open (modal)");
    HWND list = GetDlgItem(page, ID_PROGRAMS_LIST);
    int rows = 0;
    for (int waited = 0; waited < 3000 && rows != 3; waited += 20, Sleep(20))
        rows = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
    CHECK_EQ(rows, 3, "programs listed");
    for (int i = 0; i < 3 && rows == 3; ++i) {
        wchar_t number[16], name[64], provider[64], kind[16], want[64];
        more_row_text(list, i, 0, number, 16);
        more_row_text(list, i, 1, name, 64);
        more_row_text(list, i, 2, provider, 64);
        more_row_text(list, i, 3, kind, 16);
        _snwprintf(want, 64, L"%u", g_more_programs[i].number);
        CHECK(wcscmp(number, want) == 0, "row %d: number %s (%s)", i, host_narrow(want), host_narrow(number));
        MultiByteToWideChar(CP_UTF8, 0, g_more_programs[i].name, -1, want, 64);
        CHECK(wcscmp(name, want) == 0, "row %d: name %s (%s)", i, host_narrow(want), host_narrow(name));
        MultiByteToWideChar(CP_UTF8, 0, g_more_programs[i].provider, -1, want, 64);
        CHECK(wcscmp(provider, want) == 0, "row %d: provider %s (%s)", i, host_narrow(want), host_narrow(provider));
        CHECK(wcscmp(kind, g_more_programs[i].kind) == 0, "row %d: kind %s (%s)", i,
              host_narrow(g_more_programs[i].kind), host_narrow(kind));
        CHECK(!more_ticked(list, i), "row %d: not ticked", i);
    }
    CHECK(IsDlgButtonChecked(page, ID_PROGRAMS_ALL) == BST_CHECKED, "\"The whole transponder\" chosen");
    /* The stream carries a guide, but only the URL server collects it. */
    CHECK(more_deliver_guide(0), "the guide's TDT and EIT delivered");
    dialog_wait_ticks(dlg, dialog_ticks(), 2);
    for (int i = 0; i < 3 && rows == 3; ++i) {
        wchar_t now[64];
        more_row_text(list, i, 4, now, 64);
        CHECK(now[0] == 0, "row %d: no event now without the URL server (%s)", i, host_narrow(now));
    }

    if (!next_step(dlg, "session 12: tick 102, Enter"))
        return;
    more_tick(list, more_row_of(list, 102), 1);
    CHECK(IsDlgButtonChecked(page, ID_PROGRAMS_CHOSEN) == BST_CHECKED, "a tick chooses \"Only the programs ticked\"");
    UdpTally beforeOk;
    CHECK(udp_tally_sync(&g_host.stored, &beforeOk), "the receiver caught up");
    dialog_focus_control(more, ID_MORE_TABS);
    CHECK(dialog_post_key(g_host.uiThread, VK_RETURN, 0x1C), "Enter pressed");
    CHECK(dialog_wait_gone(more), "Enter is OK: the dialog closes");
    more_key(L"Programs", text);
    CHECK(wcscmp(text, L"102") == 0, "Programs=102 written (%s)", host_narrow(text));
    more_check_hand_written("after OK");
    CHECK(IsWindow(dlg) && IsWindowEnabled(dlg), "the options dialog is back");
    const uint16_t only102[] = {102};
    more_check_next_pat(1, only102, 1, 0, beforeOk.rtpGaps, "after OK while streaming");
    wchar_t sends[96];
    _snwprintf(sends, 96, L"Sends program 102 to udp://127.0.0.1:%u", udp_tally_port(&g_host.stored));
    CHECK(wait_description(dlg, sends, 0, text, 3), "the line names program 102 (\"%s\")", host_narrow(text));

    if (!next_step(dlg, "session 12: the whole transponder again, by Apply"))
        return;
    more = more_open(dlg, &page);
    if (!CHECK(more != NULL && page != NULL, "More… opens it again"))
        return;
    list = GetDlgItem(page, ID_PROGRAMS_LIST);
    CHECK(more_ticked(list, more_row_of(list, 102)), "102 is ticked as stored");
    UdpTally beforeApply;
    CHECK(udp_tally_sync(&g_host.stored, &beforeApply), "the receiver caught up");
    int cutVersion = -1;
    uint16_t numbers[8];
    more_pat_programs(beforeApply.lastPat, numbers, 8, &cutVersion);
    dialog_click(page, ID_PROGRAMS_ALL);
    dialog_click(more, ID_MORE_APPLY);
    more_key(L"Programs", text);
    CHECK(wcscmp(text, L"(absent)") == 0, "Apply removes Programs, the default (%s)", host_narrow(text));
    CHECK(IsWindow(more), "Apply leaves the dialog open");
    const uint16_t all[] = {101, 102, 103};
    more_check_next_pat(2, all, 3, cutVersion, beforeApply.rtpGaps, "after Apply");

    if (!next_step(dlg, "session 12: a choice without a tick is refused"))
        return;
    more_tick(list, more_row_of(list, 102), 0);  /* the tick stays with the whole transponder chosen */
    dialog_click(page, ID_PROGRAMS_CHOSEN);
    dialog_click(more, 1);  /* OK */
    CHECK(IsWindow(more), "OK refused: the dialog stays open");
    dialog_text(page, ID_PROGRAMS_NOTE, text, 256);
    CHECK(wcscmp(text, L"Tick a program, or choose the whole transponder.") == 0, "the page says why (\"%s\")",
          host_narrow(text));
    CHECK(dialog_focus(g_host.uiThread) == list, "the focus is on the list");
    more_key(L"Programs", text);
    CHECK(wcscmp(text, L"(absent)") == 0, "nothing written (%s)", host_narrow(text));

    if (!next_step(dlg, "session 12: a tick, then Escape"))
        return;
    more_tick(list, more_row_of(list, 101), 1);
    more_escape(more, "Escape is Cancel: the dialog closes");
    more_key(L"Programs", text);
    CHECK(wcscmp(text, L"(absent)") == 0, "Cancel writes nothing (%s)", host_narrow(text));
    more_check_hand_written("at the end");
    UdpTally end;
    CHECK(udp_tally_sync(&g_host.stored, &end), "the receiver caught up");
    CHECK_EQ(end.rtpGaps - start.rtpGaps, 0, "RTP sequence or timestamp breaks over the session");

    more_stop_and_close(dlg);
}

#define SIXTEEN_STORED L"101, 102, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211, 212, 213, 214"

/* Sixteen programs stored, fourteen of them not on the transponder: they
 * are listed, marked, and a seventeenth tick is refused with a word why.
 * The pictures of both dialogs for the documentation are taken here. */
static void session_more_sixteen(HWND dlg)
{
    wchar_t text[256];
    press_start(dlg);
    check_state(dlg, STATE_STREAMING, "streaming sixteen programs");
    CHECK(more_deliver_tables(3), "the transponder's PAT and SDT delivered");
    CHECK(screenshot_window(dlg, L"options-dialog") >= 0, "a picture of the options dialog, if asked for");

    if (!next_step(dlg, "session 12b: the stored programs the transponder lacks"))
        return;
    HWND page = NULL;
    HWND more = more_open(dlg, &page);
    if (!CHECK(more != NULL && page != NULL, "More… opens the second dialog"))
        return;
    HWND list = GetDlgItem(page, ID_PROGRAMS_LIST);
    const int rows = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
    CHECK_EQ(rows, 17, "rows: the transponder's 3 and the 14 stored ones it lacks");
    const int absent = more_row_of(list, 214);
    more_row_text(list, absent, 1, text, 256);
    CHECK(absent >= 3 && wcscmp(text, L"(not on this transponder)") == 0, "214 is marked (\"%s\")", host_narrow(text));
    CHECK(more_ticked(list, absent) && more_ticked(list, more_row_of(list, 101)), "stored programs are ticked");

    if (!next_step(dlg, "session 12b: a seventeenth tick"))
        return;
    const int row103 = more_row_of(list, 103);
    more_tick(list, row103, 1);
    CHECK(!more_ticked(list, row103), "the seventeenth tick is refused");
    dialog_text(page, ID_PROGRAMS_NOTE, text, 256);
    CHECK(wcscmp(text, L"At most 16 programs: untick one first.") == 0, "the page says why (\"%s\")",
          host_narrow(text));
    CHECK(screenshot_window(more, L"more-programs") >= 0, "a picture of the second dialog, if asked for");
    more_escape(more, "Escape closes it");
    more_key(L"Programs", text);
    CHECK(wcscmp(text, SIXTEEN_STORED) == 0, "the stored list is untouched (%s)", host_narrow(text));

    more_stop_and_close(dlg);
}

/* With the URL server on, the list shows each program's event on now from
 * the stream's guide: present/following, else the schedule, the times in
 * this PC's zone; a program without one shows nothing. */
static void session_more_guide(HWND dlg)
{
    press_start(dlg);
    check_state(dlg, STATE_STREAMING, "streaming with the URL server");
    CHECK(more_deliver_tables(4) && more_deliver_guide(1), "PAT, SDT and the guide delivered");
    if (!next_step(dlg, "session 12c: the events on now"))
        return;
    HWND page = NULL;
    HWND more = more_open(dlg, &page);
    if (!CHECK(more != NULL && page != NULL, "More… opens the second dialog"))
        return;
    HWND list = GetDlgItem(page, ID_PROGRAMS_LIST);
    wchar_t want[2][64], got[3][128];
    more_event_text(L"News at noon", MORE_GUIDE_NOON - 1800, MORE_GUIDE_NOON + 1800, want[0], 64);
    more_event_text(L"Caf\x00e9", MORE_GUIDE_NOON - 3600, MORE_GUIDE_NOON + 3600, want[1], 64);
    /* The server lists the events each second, the dialog shows them each second. */
    for (int waited = 0; waited < 8000; waited += 50, Sleep(50)) {
        for (int i = 0; i < 3; ++i)
            more_row_text(list, more_row_of(list, g_more_programs[i].number), 4, got[i], 128);
        if (wcscmp(got[0], want[0]) == 0 && wcscmp(got[1], want[1]) == 0)
            break;
    }
    CHECK(wcscmp(got[0], want[0]) == 0, "101: %s (%s)", host_narrow(want[0]), host_narrow(got[0]));
    CHECK(wcscmp(got[1], want[1]) == 0, "102, from the schedule: %s (%s)", host_narrow(want[1]), host_narrow(got[1]));
    CHECK(got[2][0] == 0, "103 has no event (%s)", host_narrow(got[2]));
    CHECK(screenshot_window(more, L"more-programs-now") >= 0, "a picture of the Now column, if asked for");
    TIME_ZONE_INFORMATION zone;
    const DWORD zoneKind = GetTimeZoneInformation(&zone);
    printf("  | local time: bias %ld minutes (zone kind %lu)\n", zone.Bias, zoneKind);
    more_escape(more, "Escape closes it");
    more_stop_and_close(dlg);
}

/* Prepares the INI file, runs the sessions, and leaves the file as before. */
static void run_more_dialog_session(void)
{
    check_step("session 12: prepared INI file");
    CHECK(WritePrivateProfileStringW(INI_SECTION, L"nTS_UDP", L"1", g_host.ini) &&
              WritePrivateProfileStringW(INI_SECTION, L"TTL", L"300", g_host.ini) &&
              WritePrivateProfileStringW(INI_SECTION, L"Protocol", L"rtp", g_host.ini) &&
              WritePrivateProfileStringW(INI_SECTION, L"HttpAllow", L"10.1.0.0/16, 192.168.7.7", g_host.ini),
          "INI file with one packet per datagram and keys written by hand");
    run_session("session 12: the second dialog's programs", g_host.a, session_more_programs);
    CHECK(WritePrivateProfileStringW(INI_SECTION, L"Programs", SIXTEEN_STORED, g_host.ini) &&
              WritePrivateProfileStringW(INI_SECTION, L"nTS_UDP", L"7", g_host.ini),
          "INI file with sixteen programs");
    run_session("session 12b: sixteen programs stored", g_host.a, session_more_sixteen);
    WritePrivateProfileStringW(INI_SECTION, L"Programs", NULL, g_host.ini);
    WritePrivateProfileStringW(INI_SECTION, L"TTL", NULL, g_host.ini);
    WritePrivateProfileStringW(INI_SECTION, L"Protocol", NULL, g_host.ini);
    WritePrivateProfileStringW(INI_SECTION, L"HttpAllow", NULL, g_host.ini);
    wchar_t port[16];
    _snwprintf(port, 16, L"%u", more_free_tcp_port());
    /* One packet a datagram: every table packet reaches the module's lists at once. */
    CHECK(WritePrivateProfileStringW(INI_SECTION, L"HttpPort", port, g_host.ini) &&
              WritePrivateProfileStringW(INI_SECTION, L"nTS_UDP", L"1", g_host.ini),
          "INI file with HttpPort=%s and one packet a datagram", host_narrow(port));
    run_session("session 12c: the events on now", g_host.a, session_more_guide);
    WritePrivateProfileStringW(INI_SECTION, L"HttpPort", NULL, g_host.ini);
    WritePrivateProfileStringW(INI_SECTION, L"nTS_UDP", L"4", g_host.ini);
}

#endif

/* The second dialog's Sending and FEC tabs, driven as a user drives them:
 * keys written by hand are shown (an unusual matrix, an address no adapter
 * has) and kept as written while another field changes; every field refuses
 * what its key's rules refuse, with the focus on it, its word why and
 * nothing written; valid choices write exactly their keys, choices set back
 * to the defaults remove them, and Escape writes nothing. In a network
 * namespace (--adapters), the send-from list names this PC's addresses.
 *
 * Part of dialog_test_host.c, after more_dialog_session.h. */
#ifndef TOVRIN_HOST_MORE_SEND_SESSION_H
#define TOVRIN_HOST_MORE_SEND_SESSION_H

enum {
    ID_SEND_RTP = 1700,
    ID_SEND_UDP = 1701,
    ID_SEND_TIMESTAMPS = 1702,
    ID_SEND_TTL = 1703,
    ID_SEND_FROM = 1705,
    ID_SEND_BUFFER = 1706,
    ID_SEND_NEXT_START = 1707,
    ID_SEND_NOTE = 1708,
    ID_FEC_OFF = 1600,
    ID_FEC_5X5 = 1601,
    ID_FEC_10X10 = 1602,
    ID_FEC_OTHER = 1603,
    ID_FEC_MATRIX = 1604,
    ID_FEC_COST = 1605,
    ID_FEC_NEXT_START = 1606,
    ID_FEC_NOTE = 1607,
    TAB_SENDING = 2,
    TAB_FEC = 3,
};

#define SEND_KEY_COUNT 6
static const wchar_t *const g_send_keys[SEND_KEY_COUNT] = {
    L"Protocol", L"RtpTimestamps", L"TTL", L"LocalIPAddress", L"SendBufferSize", L"FEC",
};

typedef struct {
    HWND more, sending, fec;
} MorePages;

/* The page of the second dialog that holds control `id`. */
static HWND more_page_with(HWND more, int id)
{
    for (HWND page = FindWindowExW(more, NULL, L"#32770", NULL); page != NULL;
         page = FindWindowExW(more, page, L"#32770", NULL))
        if (GetDlgItem(page, id) != NULL)
            return page;
    return NULL;
}

/* A click on a tab: the tab control tells the frame. */
static void more_show_tab(HWND more, int index)
{
    HWND tabs = GetDlgItem(more, ID_MORE_TABS);
    SendMessageW(tabs, TCM_SETCURSEL, (WPARAM)index, 0);
    NMHDR header;
    header.hwndFrom = tabs;
    header.idFrom = ID_MORE_TABS;
    header.code = TCN_SELCHANGE;
    SendMessageW(more, WM_NOTIFY, ID_MORE_TABS, (LPARAM)&header);
}

static int more_open_send(HWND dlg, MorePages *p)
{
    HWND first = NULL;
    p->more = more_open(dlg, &first);
    p->sending = p->more != NULL ? more_page_with(p->more, ID_SEND_TTL) : NULL;
    p->fec = p->more != NULL ? more_page_with(p->more, ID_FEC_MATRIX) : NULL;
    return CHECK(p->more != NULL && p->sending != NULL && p->fec != NULL,
                 "More… opens the second dialog with its Sending and FEC pages");
}

/* Typed as a user types: the field gets the focus (its text selected) and
 * the text replaces it; an empty text is a Backspace. */
static void more_type(HWND page, int id, const wchar_t *text)
{
    dialog_focus_control(page, id);
    if (*text == 0)
        SendMessageW(GetDlgItem(page, id), WM_CHAR, VK_BACK, 1);
    else
        dialog_type(g_host.uiThread, text);
}

/* A choice in a drop-down list, told to the page as the list tells it. */
static void more_choose(HWND page, int id, int index)
{
    HWND combo = GetDlgItem(page, id);
    SendMessageW(combo, CB_SETCURSEL, (WPARAM)index, 0);
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), (LPARAM)combo);
}

/* The item of a drop-down list whose text contains `part`; -1 when none. */
static int more_item_with(HWND page, int id, const wchar_t *part, wchar_t *text, int capacity)
{
    HWND combo = GetDlgItem(page, id);
    const int count = (int)SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; ++i) {
        if (SendMessageW(combo, CB_GETLBTEXTLEN, (WPARAM)i, 0) >= capacity)
            continue;
        SendMessageW(combo, CB_GETLBTEXT, (WPARAM)i, (LPARAM)text);
        if (wcsstr(text, part) != NULL)
            return i;
    }
    text[0] = 0;
    return -1;
}

/* The whole section, to see that nothing was written. */
static void more_section(wchar_t *text, int capacity)
{
    memset(text, 0, (size_t)capacity * sizeof *text);
    GetPrivateProfileSectionW(INI_SECTION, text, (DWORD)capacity, g_host.ini);
}

static int more_same_section(const wchar_t *a, const wchar_t *b, int capacity)
{
    return memcmp(a, b, (size_t)capacity * sizeof *a) == 0;
}

/* The sending keys are `expected` (NULL: absent), each. */
static void more_check_send_keys(const wchar_t *const expected[SEND_KEY_COUNT], const char *when)
{
    more_check_keys(g_send_keys, expected, SEND_KEY_COUNT, when);
}

/* Keys written by hand that the tabs show but cannot all choose: shown as
 * written, kept as written while the TTL changes. */
static void session_more_send_hand_written(HWND dlg)
{
    wchar_t text[256];
    MorePages p;
    if (!more_open_send(dlg, &p))
        return;
    more_show_tab(p.more, TAB_FEC);
    CHECK(IsWindowVisible(p.fec) && !IsWindowVisible(p.sending), "the FEC tab shows its page alone");
    CHECK(IsDlgButtonChecked(p.fec, ID_FEC_OTHER) == BST_CHECKED, "FEC=6X8 is another L x D");
    dialog_text(p.fec, ID_FEC_MATRIX, text, 256);
    CHECK(wcscmp(text, L"6X8") == 0, "shown as written (\"%s\")", host_narrow(text));
    dialog_text(p.fec, ID_FEC_COST, text, 256);
    wchar_t want[160];
    const unsigned port = udp_tally_port(&g_host.stored);
    _snwprintf(want, 160, L"About 29 %% more bandwidth; the FEC packets go to ports %u and %u", port + 2, port + 4);
    CHECK(wcsncmp(text, want, wcslen(want)) == 0, "the cost of 6 x 8 and its ports (\"%s\")", host_narrow(text));
    dialog_text(p.fec, ID_FEC_NEXT_START, text, 256);
    CHECK(wcscmp(text, L"Changes here take effect at the next Start.") == 0, "the FEC tab says when (\"%s\")",
          host_narrow(text));

    more_show_tab(p.more, TAB_SENDING);
    CHECK(IsWindowVisible(p.sending) && !IsWindowVisible(p.fec), "the Sending tab shows its page alone");
    CHECK(IsDlgButtonChecked(p.sending, ID_SEND_RTP) == BST_CHECKED, "Protocol=srt shows as RTP, as it is read");
    CHECK(SendDlgItemMessageW(p.sending, ID_SEND_TIMESTAMPS, CB_GETCURSEL, 0, 0) == 1, "RtpTimestamps=CLOCK: the clock");
    GetWindowTextW(GetDlgItem(p.sending, ID_SEND_FROM), text, 256);
    CHECK(wcsncmp(text, L"10.99.99.99 (as written", 23) == 0, "an address no adapter has, as written (\"%s\")",
          host_narrow(text));
    dialog_text(p.sending, ID_SEND_TTL, text, 256);
    CHECK(wcscmp(text, L"0") == 0, "no TTL: 0, the system's (\"%s\")", host_narrow(text));
    more_type(p.sending, ID_SEND_TTL, L"4");
    dialog_focus_control(p.more, ID_MORE_TABS);
    CHECK(dialog_post_key(g_host.uiThread, VK_RETURN, 0x1C), "Enter pressed");
    CHECK(dialog_wait_gone(p.more), "Enter is OK: the dialog closes");
    static const wchar_t *const kept[SEND_KEY_COUNT] = {L"srt", L"CLOCK", L"4", L"10.99.99.99", NULL, L"6X8"};
    more_check_send_keys(kept, "after OK");
    more_key(L"HttpAllow", text);
    CHECK(wcscmp(text, L"10.1.0.0/16, 192.168.7.7") == 0, "HttpAllow kept (%s)", host_narrow(text));
    dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "Close ends the dialog");
}

/* Invalid values field by field, valid choices, back to the defaults, and
 * Escape, while the stream runs. */
static void session_more_send(HWND dlg)
{
    enum { SECTION = 4096 };
    static wchar_t before[SECTION], after[SECTION];
    wchar_t text[256];
    press_start(dlg);
    check_state(dlg, STATE_STREAMING, "streaming");
    MorePages p;
    if (!next_step(dlg, "session 13b: every field refuses what its key refuses") || !more_open_send(dlg, &p))
        return;
    dialog_text(p.sending, ID_SEND_NEXT_START, text, 256);
    CHECK(wcscmp(text, L"The stream runs: changes here take effect at the next Start.") == 0,
          "the Sending tab says when, while streaming (\"%s\")", host_narrow(text));
    static const wchar_t kWhyTtl[] = L"A TTL is 1 to 255, or empty for the system's";
    static const wchar_t kWhyBuffer[] = L"Bytes, 1 to 2147483647, or empty for the system's";
    static const wchar_t kWhyFec[] = L"L x D: each 4 to 20, L x D at most 100";
    static const struct {
        int fec;  /* the field is on the FEC page */
        int id;
        const wchar_t *typed;
        const wchar_t *why;
    } invalid[] = {
        {0, ID_SEND_TTL, L"256", kWhyTtl},       {0, ID_SEND_TTL, L"ttl", kWhyTtl},
        {0, ID_SEND_TTL, L"-1", kWhyTtl},        {0, ID_SEND_BUFFER, L"big", kWhyBuffer},
        {0, ID_SEND_BUFFER, L"-4096", kWhyBuffer}, {0, ID_SEND_BUFFER, L"2147483648", kWhyBuffer},
        {1, ID_FEC_MATRIX, L"11x10", kWhyFec},   {1, ID_FEC_MATRIX, L"3x20", kWhyFec},
        {1, ID_FEC_MATRIX, L"21x4", kWhyFec},    {1, ID_FEC_MATRIX, L"5*5", kWhyFec},
        {1, ID_FEC_MATRIX, L"", kWhyFec},
    };
    more_section(before, SECTION);
    for (size_t i = 0; i < sizeof invalid / sizeof invalid[0]; ++i) {
        HWND page = invalid[i].fec ? p.fec : p.sending;
        const char *field = invalid[i].fec ? "FEC" : invalid[i].id == ID_SEND_TTL ? "TTL" : "send buffer";
        /* The other tab is in front: the refusal brings the field's own. */
        more_show_tab(p.more, invalid[i].fec ? TAB_SENDING : TAB_FEC);
        wchar_t shown[64];
        dialog_text(page, invalid[i].id, shown, 64);
        more_type(page, invalid[i].id, invalid[i].typed);
        if (invalid[i].fec)
            CHECK(IsDlgButtonChecked(page, ID_FEC_OTHER) == BST_CHECKED, "typing a matrix chooses it");
        dialog_click(p.more, ID_MORE_APPLY);
        CHECK(IsWindowVisible(page), "%s \"%s\": its tab is shown", field, host_narrow(invalid[i].typed));
        CHECK(dialog_focus(g_host.uiThread) == GetDlgItem(page, invalid[i].id), "%s \"%s\": the focus is on it",
              field, host_narrow(invalid[i].typed));
        dialog_text(page, invalid[i].fec ? ID_FEC_NOTE : ID_SEND_NOTE, text, 256);
        CHECK(wcscmp(text, invalid[i].why) == 0, "%s \"%s\": why (\"%s\")", field, host_narrow(invalid[i].typed),
              host_narrow(text));
        more_section(after, SECTION);
        CHECK(more_same_section(before, after, SECTION), "%s \"%s\": nothing written", field,
              host_narrow(invalid[i].typed));
        if (invalid[i].fec)
            dialog_click(page, ID_FEC_OFF);
        else
            more_type(page, invalid[i].id, shown);
    }
    dialog_click(p.more, 1);  /* OK with every field valid again, nothing changed */
    CHECK(dialog_wait_gone(p.more), "OK closes the dialog");
    more_section(after, SECTION);
    CHECK(more_same_section(before, after, SECTION), "nothing changed: nothing written");

    if (!next_step(dlg, "session 13b: valid choices write their keys") || !more_open_send(dlg, &p))
        return;
    dialog_click(p.sending, ID_SEND_UDP);
    more_choose(p.sending, ID_SEND_TIMESTAMPS, 1);
    more_type(p.sending, ID_SEND_TTL, L"4");
    more_type(p.sending, ID_SEND_BUFFER, L"1048576");
    int loopback = more_item_with(p.sending, ID_SEND_FROM, L": 127.0.0.1", text, 256);
    CHECK(loopback > 0, "the send-from list has this PC's 127.0.0.1 (\"%s\")", host_narrow(text));
    if (loopback > 0)
        more_choose(p.sending, ID_SEND_FROM, loopback);
    more_show_tab(p.more, TAB_FEC);
    dialog_click(p.fec, ID_FEC_5X5);
    dialog_text(p.fec, ID_FEC_COST, text, 256);
    CHECK(wcsncmp(text, L"About 40 % more bandwidth", 25) == 0, "5 x 5 costs 40 %% (\"%s\")", host_narrow(text));
    dialog_click(p.more, ID_MORE_APPLY);
    static const wchar_t *const chosen[SEND_KEY_COUNT] = {L"UDP", L"clock", L"4", L"127.0.0.1", L"1048576", L"5x5"};
    more_check_send_keys(chosen, "after Apply");
    dialog_click(p.fec, ID_FEC_10X10);
    dialog_text(p.fec, ID_FEC_COST, text, 256);
    CHECK(wcsncmp(text, L"About 20 % more bandwidth", 25) == 0, "10 x 10 costs 20 %% (\"%s\")", host_narrow(text));
    dialog_click(p.more, 1);
    CHECK(dialog_wait_gone(p.more), "OK closes the dialog");
    more_key(L"FEC", text);
    CHECK(wcscmp(text, L"10x10") == 0, "FEC=10x10 after OK (%s)", host_narrow(text));

    if (!next_step(dlg, "session 13b: reopened, the choices shown; back to the defaults") || !more_open_send(dlg, &p))
        return;
    CHECK(IsDlgButtonChecked(p.sending, ID_SEND_UDP) == BST_CHECKED, "UDP shown");
    CHECK(SendDlgItemMessageW(p.sending, ID_SEND_TIMESTAMPS, CB_GETCURSEL, 0, 0) == 1, "the clock shown");
    dialog_text(p.sending, ID_SEND_TTL, text, 256);
    CHECK(wcscmp(text, L"4") == 0, "TTL 4 shown (%s)", host_narrow(text));
    GetWindowTextW(GetDlgItem(p.sending, ID_SEND_FROM), text, 256);
    CHECK(wcsstr(text, L": 127.0.0.1") != NULL, "the adapter shown (%s)", host_narrow(text));
    CHECK(IsDlgButtonChecked(p.fec, ID_FEC_10X10) == BST_CHECKED, "10 x 10 shown");
    more_show_tab(p.more, TAB_SENDING);
    CHECK(screenshot_window(p.more, L"more-sending") >= 0, "a picture of the Sending tab, if asked for");
    more_show_tab(p.more, TAB_FEC);
    CHECK(screenshot_window(p.more, L"more-fec") >= 0, "a picture of the FEC tab, if asked for");
    dialog_click(p.sending, ID_SEND_RTP);
    more_choose(p.sending, ID_SEND_TIMESTAMPS, 0);
    more_type(p.sending, ID_SEND_TTL, L"0");
    more_type(p.sending, ID_SEND_BUFFER, L"");
    more_choose(p.sending, ID_SEND_FROM, 0);
    dialog_click(p.fec, ID_FEC_OFF);
    dialog_click(p.more, ID_MORE_APPLY);
    static const wchar_t *const none[SEND_KEY_COUNT] = {NULL, NULL, NULL, NULL, NULL, NULL};
    more_check_send_keys(none, "back to the defaults");

    if (!next_step(dlg, "session 13b: changes, then Escape"))
        return;
    more_section(before, SECTION);
    more_type(p.sending, ID_SEND_TTL, L"9");
    dialog_click(p.sending, ID_SEND_UDP);
    dialog_click(p.fec, ID_FEC_5X5);
    more_escape(p.more, "Escape is Cancel: the dialog closes");
    more_section(after, SECTION);
    CHECK(more_same_section(before, after, SECTION), "Cancel writes nothing");

    more_stop_and_close(dlg);
}

static void run_more_send_session(void)
{
    check_step("session 13: prepared INI file");
    CHECK(WritePrivateProfileStringW(INI_SECTION, L"FEC", L"6X8", g_host.ini) &&
              WritePrivateProfileStringW(INI_SECTION, L"LocalIPAddress", L"10.99.99.99", g_host.ini) &&
              WritePrivateProfileStringW(INI_SECTION, L"Protocol", L"srt", g_host.ini) &&
              WritePrivateProfileStringW(INI_SECTION, L"RtpTimestamps", L"CLOCK", g_host.ini) &&
              WritePrivateProfileStringW(INI_SECTION, L"HttpAllow", L"10.1.0.0/16, 192.168.7.7", g_host.ini),
          "INI file with sending keys written by hand");
    run_session("session 13: hand-written sending keys", g_host.a, session_more_send_hand_written);
    for (int k = 0; k < SEND_KEY_COUNT; ++k)
        WritePrivateProfileStringW(INI_SECTION, g_send_keys[k], NULL, g_host.ini);
    run_session("session 13b: the Sending and FEC tabs", g_host.a, session_more_send);
    WritePrivateProfileStringW(INI_SECTION, L"HttpAllow", NULL, g_host.ini);
}

/* --adapters A B: in a namespace whose adapter has both addresses, the
 * send-from list names both by the adapter's name; choosing B writes it. */
static void session_more_adapters(HWND dlg)
{
    wchar_t text[256];
    MorePages p;
    if (!more_open_send(dlg, &p))
        return;
    int rows[2];
    for (int i = 0; i < 2; ++i) {
        wchar_t part[40];
        _snwprintf(part, 40, L": %ls", g_adapter_addresses[i]);
        rows[i] = more_item_with(p.sending, ID_SEND_FROM, part, text, 256);
        CHECK(rows[i] > 0 && wcsncmp(text, L"tx0: ", 5) == 0, "the list names %s on its adapter (\"%s\")",
              host_narrow(g_adapter_addresses[i]), host_narrow(text));
    }
    if (rows[1] > 0)
        more_choose(p.sending, ID_SEND_FROM, rows[1]);
    dialog_click(p.more, 1);
    CHECK(dialog_wait_gone(p.more), "OK closes the dialog");
    more_key(L"LocalIPAddress", text);
    CHECK(wcscmp(text, g_adapter_addresses[1]) == 0, "LocalIPAddress=%s written (%s)",
          host_narrow(g_adapter_addresses[1]), host_narrow(text));
    WritePrivateProfileStringW(INI_SECTION, L"LocalIPAddress", NULL, g_host.ini);
    dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "Close ends the dialog");
}

#endif

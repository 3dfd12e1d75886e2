/* The second dialog's Outputs tab, driven as a user drives it: output 1 and
 * the Output keys listed (a hand-written key that Start would refuse shown
 * as written, with why); Add… opens a small dialog for the lowest free
 * number that refuses what Start refuses, with Start's words, before OK is
 * accepted (a bad key, output 1's address and port); Edit… the same; Remove;
 * OK writes exactly the keys that changed and leaves a hand-written key that
 * means the same untouched; Escape writes nothing.
 *
 * Part of dialog_test_host.c, after more_send_session.h. */
#ifndef TOVRIN_HOST_MORE_OUTPUTS_SESSION_H
#define TOVRIN_HOST_MORE_OUTPUTS_SESSION_H

enum {
    ID_OUTPUTS_LIST = 1800,
    ID_OUTPUTS_ADD = 1801,
    ID_OUTPUTS_EDIT = 1802,
    ID_OUTPUTS_REMOVE = 1803,
    ID_OUTPUTS_ANNOUNCE = 1804,
    ID_OUTPUTS_NEXT_START = 1805,
    ID_OUTPUT_TEXT = 1820,
    ID_OUTPUT_CHECK = 1821,
    TAB_OUTPUTS = 4,
};

#define OUTPUT4_BY_HAND L"239.255.1.4:5000  packets=7 protocol=rtp ttl=4"
#define OUTPUT6_BY_HAND L"239.255.1:5000"

/* The keys the tab writes: each as expected (NULL: absent). */
#define OUTPUT_KEY_COUNT 6
static const wchar_t *const g_output_keys[OUTPUT_KEY_COUNT] = {
    L"Output2", L"Output3", L"Output4", L"Output6", L"Output16", L"Announce",
};

static void outputs_check_keys(const wchar_t *const expected[OUTPUT_KEY_COUNT], const char *when)
{
    more_check_keys(g_output_keys, expected, OUTPUT_KEY_COUNT, when);
}

/* The list's rows as "number|destination|programs|options" lines. */
static void outputs_rows(HWND list, wchar_t *text, int capacity)
{
    text[0] = 0;
    const int rows = (int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < 4; ++c) {
            wchar_t cell[128];
            more_row_text(list, r, c, cell, 128);
            const size_t used = wcslen(text);
            _snwprintf(text + used, (size_t)capacity - used, L"%ls%ls", cell, c < 3 ? L"|" : L"\n");
        }
    }
    text[capacity - 1] = 0;
}

static void outputs_select(HWND list, int row)
{
    LVITEMW item;
    memset(&item, 0, sizeof item);
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, (WPARAM)row, (LPARAM)&item);
}

/* A click on Add… or Edit… (posted: the click runs a modal loop of its
 * own) and the small dialog it opens, found by its caption. */
static HWND outputs_open_editor(HWND page, int button, const wchar_t *caption)
{
    PostMessageW(GetDlgItem(page, button), BM_CLICK, 0, 0);
    volatile LONG never = 0;
    return dialog_find(g_host.uiThread, caption, &never);
}

/* Types the whole line (the field's text selected first, so that it is
 * replaced) and presses OK. */
static void outputs_type_and_ok(HWND editor, const wchar_t *text)
{
    dialog_focus_control(editor, ID_OUTPUT_TEXT);
    dialog_type(g_host.uiThread, text);
    dialog_click(editor, 1);
}

/* OK refused: the small dialog stays with Start's reason and the focus on
 * the field. */
static void outputs_check_refused(HWND editor, const wchar_t *typed, const wchar_t *why)
{
    wchar_t text[256];
    CHECK(IsWindow(editor) && IsWindowVisible(editor), "\"%s\": OK refused, the dialog stays", host_narrow(typed));
    dialog_text(editor, ID_OUTPUT_CHECK, text, 256);
    CHECK(wcscmp(text, why) == 0, "\"%s\": why (\"%s\")", host_narrow(typed), host_narrow(text));
    CHECK(dialog_focus(g_host.uiThread) == GetDlgItem(editor, ID_OUTPUT_TEXT), "\"%s\": the focus is on the field",
          host_narrow(typed));
}

static void session_more_outputs(HWND dlg)
{
    enum { SECTION = 4096, ROWS = 1024 };
    static wchar_t before[SECTION], after[SECTION];
    wchar_t text[ROWS], want[ROWS];
    HWND first = NULL;
    HWND more = more_open(dlg, &first);
    HWND page = more != NULL ? more_page_with(more, ID_OUTPUTS_LIST) : NULL;
    if (!CHECK(more != NULL && page != NULL, "More… opens the second dialog with its Outputs page"))
        return;
    more_show_tab(more, TAB_OUTPUTS);
    CHECK(IsWindowVisible(page), "the Outputs tab shows its page");
    HWND list = GetDlgItem(page, ID_OUTPUTS_LIST);
    const unsigned port = udp_tally_port(&g_host.stored);
    /* Output 1's options: its packets per datagram when they are not 7. */
    wchar_t first1[32];
    const int packets = (int)GetPrivateProfileIntW(INI_SECTION, L"nTS_UDP", 7, g_host.ini);
    _snwprintf(first1, 32, packets != 7 ? L"packets=%d" : L"", packets);
    outputs_rows(list, text, ROWS);
    _snwprintf(want, ROWS,
               L"1|127.0.0.1:%u|complete TS|%ls\n"
               L"4|239.255.1.4:5000|complete TS|ttl=4\n"
               L"6|" OUTPUT6_BY_HAND L"||Start refuses it: not an IPv4 address: \"239.255.1\"\n",
               port, first1);
    CHECK(wcscmp(text, want) == 0, "output 1 and the keys listed:\n%s", host_narrow(text));
    dialog_text(page, ID_OUTPUTS_NEXT_START, text, ROWS);
    CHECK(wcscmp(text, L"Changes here take effect at the next Start.") == 0, "the tab says when (\"%s\")",
          host_narrow(text));
    outputs_select(list, 0);
    CHECK(!dialog_enabled(page, ID_OUTPUTS_EDIT) && !dialog_enabled(page, ID_OUTPUTS_REMOVE),
          "output 1 is edited elsewhere: Edit… and Remove off");
    more_section(before, SECTION);

    if (!next_step(dlg, "session 14: Add…, a bad key, then a good one"))
        return;
    HWND editor = outputs_open_editor(page, ID_OUTPUTS_ADD, L"Output2");
    if (!CHECK(editor != NULL, "Add… opens a dialog for the lowest free number, Output2"))
        return;
    outputs_type_and_ok(editor, L"239.255.1.2");
    outputs_check_refused(editor, L"239.255.1.2", L"Output2: no port after the address: \"239.255.1.2\"");
    dialog_focus_control(editor, ID_OUTPUT_TEXT);
    dialog_type(g_host.uiThread, L"239.255.1.2:5000 protocol=UDP programs=202");
    dialog_text(editor, ID_OUTPUT_CHECK, text, ROWS);
    CHECK(wcscmp(text, L"Writes Output2=239.255.1.2:5000 programs=202 protocol=udp") == 0,
          "what will be written shows while typing (\"%s\")", host_narrow(text));
    dialog_click(editor, 1);
    CHECK(dialog_wait_gone(editor), "a good key: OK closes the small dialog");

    if (!next_step(dlg, "session 14: Add…, output 1's destination"))
        return;
    editor = outputs_open_editor(page, ID_OUTPUTS_ADD, L"Output3");
    if (!CHECK(editor != NULL, "Add… again: Output3"))
        return;
    wchar_t same[64], why[96];
    _snwprintf(same, 64, L"127.0.0.1:%u", port);
    outputs_type_and_ok(editor, same);
    outputs_check_refused(editor, same, L"Output3: same address and port as output 1");
    more_escape(editor, "Escape closes the small dialog");

    if (!next_step(dlg, "session 14: Edit… output 2, a bad TTL, then a good key; Remove output 6"))
        return;
    outputs_select(list, 1);
    CHECK(dialog_enabled(page, ID_OUTPUTS_EDIT) && dialog_enabled(page, ID_OUTPUTS_REMOVE),
          "Output2 chosen: Edit… and Remove on");
    editor = outputs_open_editor(page, ID_OUTPUTS_EDIT, L"Output2");
    if (!CHECK(editor != NULL, "Edit… opens Output2"))
        return;
    dialog_text(editor, ID_OUTPUT_TEXT, text, ROWS);
    CHECK(wcscmp(text, L"239.255.1.2:5000 protocol=UDP programs=202") == 0, "the key as typed (\"%s\")",
          host_narrow(text));
    outputs_type_and_ok(editor, L"239.255.1.2:5000 ttl=300");
    outputs_check_refused(editor, L"239.255.1.2:5000 ttl=300", L"Output2: bad ttl: \"300\"");
    _snwprintf(why, 96, L"Output2: FEC ports meet those of Output4");
    outputs_type_and_ok(editor, L"239.255.1.4:4996 fec=5x5");
    outputs_check_refused(editor, L"239.255.1.4:4996 fec=5x5", why);
    outputs_type_and_ok(editor, L"239.255.1.2:5002 timestamps=CLOCK");
    CHECK(dialog_wait_gone(editor), "a good key: OK closes it");
    outputs_select(list, 3);
    dialog_click(page, ID_OUTPUTS_REMOVE);
    dialog_click(page, ID_OUTPUTS_ANNOUNCE);
    outputs_rows(list, text, ROWS);
    _snwprintf(want, ROWS,
               L"1|127.0.0.1:%u|complete TS|%ls\n"
               L"2|239.255.1.2:5002|complete TS|timestamps=clock\n"
               L"4|239.255.1.4:5000|complete TS|ttl=4\n",
               port, first1);
    CHECK(wcscmp(text, want) == 0, "the list after the changes:\n%s", host_narrow(text));
    more_section(after, SECTION);
    CHECK(more_same_section(before, after, SECTION), "nothing written before OK");
    CHECK(screenshot_window(more, L"more-outputs") >= 0, "a picture of the Outputs tab, if asked for");
    dialog_click(more, 1);
    CHECK(dialog_wait_gone(more), "OK closes the second dialog");
    static const wchar_t *const written[OUTPUT_KEY_COUNT] = {
        L"239.255.1.2:5002 timestamps=clock", NULL, OUTPUT4_BY_HAND, NULL, NULL, L"1",
    };
    outputs_check_keys(written, "after OK");

    if (!next_step(dlg, "session 14: reopened, changes, then Escape"))
        return;
    more = more_open(dlg, &first);
    page = more != NULL ? more_page_with(more, ID_OUTPUTS_LIST) : NULL;
    if (!CHECK(more != NULL && page != NULL, "More… opens it again"))
        return;
    more_show_tab(more, TAB_OUTPUTS);
    list = GetDlgItem(page, ID_OUTPUTS_LIST);
    CHECK(IsDlgButtonChecked(page, ID_OUTPUTS_ANNOUNCE) == BST_CHECKED, "Announce=1 shown");
    CHECK_EQ((int)SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 3, "rows: outputs 1, 2 and 4");
    more_section(before, SECTION);
    outputs_select(list, 1);
    dialog_click(page, ID_OUTPUTS_REMOVE);
    dialog_click(page, ID_OUTPUTS_ANNOUNCE);
    more_escape(more, "Escape is Cancel: the dialog closes");
    more_section(after, SECTION);
    CHECK(more_same_section(before, after, SECTION), "Cancel writes nothing");
    dialog_click(dlg, ID_CLOSE);
    CHECK(dialog_wait_gone(dlg), "Close ends the dialog");
}

static void run_more_outputs_session(void)
{
    check_step("session 14: prepared INI file");
    CHECK(WritePrivateProfileStringW(INI_SECTION, L"Output4", OUTPUT4_BY_HAND, g_host.ini) &&
              WritePrivateProfileStringW(INI_SECTION, L"Output6", OUTPUT6_BY_HAND, g_host.ini),
          "INI file with Output keys written by hand");
    run_session("session 14: the Outputs tab", g_host.a, session_more_outputs);
    for (int k = 0; k < OUTPUT_KEY_COUNT; ++k)
        WritePrivateProfileStringW(INI_SECTION, g_output_keys[k], NULL, g_host.ini);
}

#endif

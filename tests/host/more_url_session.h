/* The second dialog's Watch by URL tab, driven as a user drives it, with
 * tests/host/url_tab.py on the other end of stdin/stdout (the tools it runs
 * are Linux programs): a table of invalid values refused with the focus on
 * the field and nothing written; Escape writes nothing; the server turned on
 * and OK writes its keys and keeps a hand-written HttpAllow list as written;
 * the next Start listens at the URL the tab shows, which curl opens and
 * zbarimg reads from the QR code on a picture of the dialog; a viewer that
 * curl keeps open is listed.
 *
 * Part of dialog_test_host.c (its host, helpers and tallies). */
#ifndef TOVRIN_HOST_MORE_URL_SESSION_H
#define TOVRIN_HOST_MORE_URL_SESSION_H

enum {
    ID_URL_ON = 1500,
    ID_URL_PORT = 1501,
    ID_URL_WHO = 1502,
    ID_URL_ALLOW = 1503,
    ID_URL_VIEWERS = 1504,
    ID_URL_MEMORY = 1506,
    ID_URL_ADAPTER = 1507,
    ID_URL_NOTE = 1508,
    ID_URL_PAGE = 1509,
    ID_URL_PLAYLIST = 1510,
    ID_URL_WATCHING = 1513,
    URL_TAB = 1,
    WHO_NETWORKS = 2,
};

/* Written by hand, blanks and all: the tab shows it as written and keeps it
 * so. It lets in loopback and the private networks, so that curl reaches
 * whichever address of this PC the tab shows. */
#define URL_ALLOW_BY_HAND L"127.0.0.1 ,10.0.0.0/8,  172.16.0.0/12, 192.168.0.0/16"

/* Opens the second dialog and shows its URL tab as a click on the tab
 * would; the URL page goes to `page`. */
static HWND url_open(HWND dlg, HWND *page)
{
    HWND first = NULL;
    HWND more = more_open(dlg, &first);
    *page = NULL;
    if (more == NULL)
        return NULL;
    for (HWND child = FindWindowExW(more, NULL, L"#32770", NULL); child != NULL;
         child = FindWindowExW(more, child, L"#32770", NULL))
        if (GetDlgItem(child, ID_URL_ON) != NULL)
            *page = child;
    HWND tabs = GetDlgItem(more, ID_MORE_TABS);
    SendMessageW(tabs, TCM_SETCURSEL, URL_TAB, 0);
    NMHDR change = {tabs, ID_MORE_TABS, TCN_SELCHANGE};
    SendMessageW(more, WM_NOTIFY, ID_MORE_TABS, (LPARAM)&change);
    return more;
}

static void url_check_nothing_written(const char *when)
{
    wchar_t text[128];
    more_key(L"HttpPort", text);
    CHECK(wcscmp(text, L"(absent)") == 0, "%s: no HttpPort written (%s)", when, host_narrow(text));
    more_key(L"HttpMaxClients", text);
    CHECK(wcscmp(text, L"(absent)") == 0, "%s: no HttpMaxClients written (%s)", when, host_narrow(text));
    more_key(L"HttpAllow", text);
    CHECK(wcscmp(text, URL_ALLOW_BY_HAND) == 0, "%s: HttpAllow as written (%s)", when, host_narrow(text));
}

/* Pastes a list of 600 characters into the emptied list field, as Ctrl+V
 * would, the other fields valid. Its two networks lie far apart: a cut
 * leaves the first with blanks behind it, a list that would pass. */
static int url_paste_long_list(HWND page)
{
    wchar_t port[16], list[601];
    _snwprintf(port, 16, L"%u", g_net_port);
    SetDlgItemTextW(page, ID_URL_PORT, port);
    SetDlgItemTextW(page, ID_URL_VIEWERS, L"3");
    SetDlgItemTextW(page, ID_URL_ALLOW, L"");
    wcscpy(list, L"10.0.0.1,");
    for (size_t i = wcslen(list); i < 600 - 8; ++i)
        list[i] = L' ';
    wcscpy(list + 600 - 8, L"10.0.0.2");
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, sizeof list);
    wchar_t *data = memory != NULL ? (wchar_t *)GlobalLock(memory) : NULL;
    if (!CHECK(data != NULL, "memory for the clipboard"))
        return 0;
    memcpy(data, list, sizeof list);
    GlobalUnlock(memory);
    const int put = OpenClipboard(page) && EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, memory) != NULL;
    CloseClipboard();
    if (!CHECK(put, "the list on the clipboard")) {
        GlobalFree(memory);
        return 0;
    }
    SendDlgItemMessageW(page, ID_URL_ALLOW, WM_PASTE, 0, 0);
    const int length = GetWindowTextLengthW(GetDlgItem(page, ID_URL_ALLOW));
    CHECK_EQ(length, 511, "the field takes one character beyond the longest list");
    return length == 511;
}

/* Tells url_tab.py `request` and returns its answer line's first word is "ok". */
static int url_ask(const char *request)
{
    char line[256];
    printf("NET %s\n", request);
    fflush(stdout);
    if (fgets(line, sizeof line, stdin) == NULL)
        return 0;
    line[strcspn(line, "\r\n")] = 0;
    if (strcmp(line, "ok") != 0)
        printf("url_tab.py: %s\n", line);
    return strcmp(line, "ok") == 0;
}

static void session_more_url(HWND dlg)
{
    wchar_t text[256], port[16];
    _snwprintf(port, 16, L"%u", g_net_port);
    HWND page = NULL;
    HWND more = url_open(dlg, &page);
    if (!CHECK(more != NULL && page != NULL, "More… opens the second dialog with a Watch by URL page"))
        return;
    CHECK(IsWindowVisible(page), "the URL tab shows its page");
    CHECK(IsDlgButtonChecked(page, ID_URL_ON) != BST_CHECKED, "the server is off, as the file has no HttpPort");
    CHECK(!dialog_enabled(page, ID_URL_PORT), "its fields wait for the box");
    CHECK_EQ(SendDlgItemMessageW(page, ID_URL_WHO, CB_GETCURSEL, 0, 0), WHO_NETWORKS,
             "a hand-written HttpAllow shows as \"These networks:\"");
    dialog_text(page, ID_URL_ALLOW, text, 256);
    CHECK(wcscmp(text, URL_ALLOW_BY_HAND) == 0, "the list as written (%s)", host_narrow(text));
    dialog_text(page, ID_URL_VIEWERS, text, 256);
    CHECK(wcscmp(text, L"8") == 0, "8 viewers, the default (%s)", host_narrow(text));
    dialog_text(page, ID_URL_MEMORY, text, 256);
    CHECK(wcscmp(text, L"8 MB per stream watched") == 0, "their memory (%s)", host_narrow(text));
    CHECK_EQ(SendDlgItemMessageW(page, ID_URL_ADAPTER, CB_GETCURSEL, 0, 0), 0, "\"Every adapter\" chosen");
    CHECK(SendDlgItemMessageW(page, ID_URL_ADAPTER, CB_GETCOUNT, 0, 0) >= 2, "this PC's adapters listed");
    dialog_text(page, ID_URL_PAGE, text, 256);
    CHECK(text[0] == 0, "no address while no server runs (%s)", host_narrow(text));

    if (!next_step(dlg, "session 13: the box ticked gives a port"))
        return;
    dialog_click(page, ID_URL_ON);
    dialog_text(page, ID_URL_PORT, text, 256);
    CHECK(wcscmp(text, L"8001") == 0, "the default port 8001 (%s)", host_narrow(text));
    CHECK(dialog_enabled(page, ID_URL_PORT) && dialog_enabled(page, ID_URL_ALLOW), "the fields are open");

    static const struct {
        int field;
        const wchar_t *text;
        const wchar_t *why;
    } invalid[] = {
        {ID_URL_PORT, L"0", L"A port is 1 to 65535"},
        {ID_URL_PORT, L"70000", L"A port is 1 to 65535"},
        {ID_URL_PORT, L"http", L"A port is 1 to 65535"},
        {ID_URL_ALLOW, L"192.168.1.0/24, 10.1.0.0/33", L"Networks such as 192.168.1.0/24, commas between"},
        {ID_URL_ALLOW, L"", L"Type the networks, such as 192.168.1.0/24"},
        {ID_URL_VIEWERS, L"0", L"1 to 64 viewers"},
        {ID_URL_VIEWERS, L"65", L"1 to 64 viewers"},
    };
    for (size_t i = 0; i < sizeof invalid / sizeof invalid[0]; ++i) {
        char name[96];
        snprintf(name, sizeof name, "session 13: an invalid value \"%s\" refused", host_narrow(invalid[i].text));
        if (!next_step(dlg, name))
            return;
        SetDlgItemTextW(page, ID_URL_PORT, port);
        SetDlgItemTextW(page, ID_URL_ALLOW, URL_ALLOW_BY_HAND);
        SetDlgItemTextW(page, ID_URL_VIEWERS, L"3");
        SetDlgItemTextW(page, invalid[i].field, invalid[i].text);
        dialog_click(more, 1);  /* OK */
        CHECK(IsWindow(more), "OK refused: the dialog stays open");
        CHECK(dialog_focus(g_host.uiThread) == GetDlgItem(page, invalid[i].field), "the focus is on the field");
        dialog_text(page, ID_URL_NOTE, text, 256);
        CHECK(wcscmp(text, invalid[i].why) == 0, "the page says why (\"%s\")", host_narrow(text));
        url_check_nothing_written("refused");
    }

    if (!next_step(dlg, "session 13: a list pasted beyond the field's room refused, not cut"))
        return;
    if (url_paste_long_list(page))
    {
        dialog_click(more, 1);  /* OK */
        CHECK(IsWindow(more), "OK refused: the dialog stays open");
        CHECK(dialog_focus(g_host.uiThread) == GetDlgItem(page, ID_URL_ALLOW), "the focus is on the list");
        dialog_text(page, ID_URL_NOTE, text, 256);
        CHECK(wcscmp(text, L"HttpAllow: at most 510 characters of networks") == 0, "the page says why (\"%s\")",
              host_narrow(text));
        url_check_nothing_written("an over-long paste");
    }

    if (!next_step(dlg, "session 13: valid values, then Escape"))
        return;
    SetDlgItemTextW(page, ID_URL_PORT, port);
    SetDlgItemTextW(page, ID_URL_VIEWERS, L"3");
    SetDlgItemTextW(page, ID_URL_ALLOW, URL_ALLOW_BY_HAND);
    dialog_text(page, ID_URL_MEMORY, text, 256);
    CHECK(wcscmp(text, L"8 MB per stream watched") == 0, "the memory is a stream's, whatever the count (%s)",
          host_narrow(text));
    dialog_focus_control(page, ID_URL_PORT);
    more_escape(more, "Escape is Cancel: the dialog closes");
    url_check_nothing_written("after Escape");

    if (!next_step(dlg, "session 13: the server turned on, Enter"))
        return;
    more = url_open(dlg, &page);
    if (!CHECK(more != NULL && page != NULL, "More… opens it again"))
        return;
    CHECK(IsDlgButtonChecked(page, ID_URL_ON) != BST_CHECKED, "still off: Escape wrote nothing");
    dialog_click(page, ID_URL_ON);
    SetDlgItemTextW(page, ID_URL_PORT, port);
    SetDlgItemTextW(page, ID_URL_VIEWERS, L"3");
    dialog_focus_control(page, ID_URL_PORT);
    CHECK(dialog_post_key(g_host.uiThread, VK_RETURN, 0x1C), "Enter pressed");
    CHECK(dialog_wait_gone(more), "Enter is OK: the dialog closes");
    more_key(L"HttpPort", text);
    CHECK(wcscmp(text, port) == 0, "HttpPort=%s written (%s)", host_narrow(port), host_narrow(text));
    more_key(L"HttpMaxClients", text);
    CHECK(wcscmp(text, L"3") == 0, "HttpMaxClients=3 written (%s)", host_narrow(text));
    more_key(L"HttpAllow", text);
    CHECK(wcscmp(text, URL_ALLOW_BY_HAND) == 0, "the hand-written HttpAllow kept as written (%s)", host_narrow(text));
    more_key(L"HttpAddress", text);
    CHECK(wcscmp(text, L"(absent)") == 0, "every adapter: no HttpAddress (%s)", host_narrow(text));

    if (!next_step(dlg, "session 13: Start listens at the URL the tab shows"))
        return;
    press_start(dlg);
    check_state(dlg, STATE_STREAMING, "streaming with the URL server");
    test_engine_flow(&g_host.engine);
    more = url_open(dlg, &page);
    if (!CHECK(more != NULL && page != NULL, "More… opens it while streaming"))
        return;
    wchar_t url[128], suffix[24];
    for (int tick = 0; tick < 3; ++tick) {
        dialog_text(page, ID_URL_PAGE, url, 128);
        if (url[0] != 0 || !dialog_wait_ticks(dlg, dialog_ticks(), 1))
            break;
    }
    _snwprintf(suffix, 24, L":%u/", g_net_port);
    const size_t length = wcslen(url);
    CHECK(wcsncmp(url, L"http://", 7) == 0 && length > wcslen(suffix) &&
              wcscmp(url + length - wcslen(suffix), suffix) == 0,
          "the page's URL names the port (%s)", host_narrow(url));
    dialog_text(page, ID_URL_PLAYLIST, text, 256);
    wchar_t playlist[160];
    _snwprintf(playlist, 160, L"%lsplaylist.m3u", url);
    CHECK(wcscmp(text, playlist) == 0, "the playlist's URL (%s)", host_narrow(text));
    dialog_text(page, ID_URL_NOTE, text, 256);
    CHECK(wcscmp(text, L"Changes here take effect at the next Start.") == 0, "the tab says when changes count (%s)",
          host_narrow(text));
    CHECK(screenshot_window(more, L"more-url") == 1, "a picture of the tab with its QR code");
    char request[200];
    snprintf(request, sizeof request, "url %s", host_narrow(url));
    CHECK(url_ask(request), "zbarimg reads exactly that URL from the picture, curl gets the page there");

    if (!next_step(dlg, "session 13: a viewer is listed"))
        return;
    CHECK(url_ask("watch"), "curl watches /stream.ts");
    int listed = 0;
    HWND list = GetDlgItem(page, ID_URL_WATCHING);
    for (int tick = 0; tick < 4 && !listed; ++tick) {
        if (SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) >= 1) {
            more_row_text(list, 0, 1, text, 256);
            listed = wcscmp(text, L"/stream.ts") == 0;
        }
        if (!listed && !dialog_wait_ticks(dlg, dialog_ticks(), 1))
            break;
    }
    CHECK(listed, "the viewer watches /stream.ts (%s)", host_narrow(text));
    wchar_t host[64];
    more_row_text(list, 0, 0, text, 256);
    _snwprintf(host, 64, L"%ls", url + 7);
    host[wcscspn(host, L":")] = 0;
    CHECK(wcsncmp(text, host, wcslen(host)) == 0 && text[wcslen(host)] == L':', "from %s (%s)", host_narrow(host),
          host_narrow(text));
    more_row_text(list, 0, 2, text, 256);
    CHECK(wcslen(text) == 8 && text[2] == L':' && text[5] == L':', "since a time of day (%s)", host_narrow(text));
    more_row_text(list, 0, 3, text, 256);
    CHECK(wcsstr(text, L"B") != NULL, "bytes sent (%s)", host_narrow(text));
    CHECK(screenshot_window(more, L"more-url-viewer") == 1, "a picture of the tab with a viewer, for doc/");
    CHECK(url_ask("done"), "curl stopped watching");

    more_escape(more, "Escape closes it");
    test_engine_pause(&g_host.engine);
    more_stop_and_close(dlg);
}

static void run_more_url_session(void)
{
    check_step("session 13: prepared INI file");
    CHECK(WritePrivateProfileStringW(INI_SECTION, L"HttpAllow", URL_ALLOW_BY_HAND, g_host.ini),
          "INI file with HttpAllow written by hand");
    run_session("session 13: the second dialog's Watch by URL tab", g_host.a, session_more_url);
    const wchar_t *keys[] = {L"HttpPort", L"HttpMaxClients", L"HttpAllow", L"HttpAddress"};
    for (size_t i = 0; i < sizeof keys / sizeof keys[0]; ++i)
        WritePrivateProfileStringW(INI_SECTION, keys[i], NULL, g_host.ini);
}

#endif

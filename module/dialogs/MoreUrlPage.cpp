// The Watch by URL tab of the second dialog.

#include "dialogs/MoreUrlPage.h"

#include <commctrl.h>

#include <cstring>
#include <cwchar>
#include <new>

#include "settings/OptionsValues.h"
#include "dialogs/DialogModule.h"
#include "http/StreamRing.h"
#include "qrcodegen.h"
#include "resource.h"

namespace
{
constexpr wchar_t kDefaultPort[] = L"8001";
constexpr wchar_t kThisPcOnly[] = L"127.0.0.1";
// Version 10 holds some 200 characters: far more than any of our addresses.
constexpr int kQrMaxVersion = 10;
constexpr size_t kQrBufferBytes = qrcodegen_BUFFER_LEN_FOR_VERSION(kQrMaxVersion);
constexpr int kQrQuietModules = 4;  // the white margin a reader needs around the code

const wchar_t kAtNextStart[] = L"Changes here take effect at the next Start.";
const wchar_t kWhileRunning[] = L"The server runs from Start to Stop; its addresses show here then.";
const wchar_t kNoNetworks[] = L"Type the networks, such as 192.168.1.0/24";

enum EColumn
{
    kColumnAddress,
    kColumnWatching,
    kColumnSince,
    kColumnSent,
};

void SetCell(HWND list, int row, int column, const wchar_t* text)
{
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text);
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

// "512 KB", "12.3 MB", "1.2 GB"
void FormatBytes(uint64_t bytes, wchar_t (&text)[32])
{
    if (bytes < 1024 * 1024)
    {
        wsprintfW(text, L"%u KB", static_cast<unsigned>(bytes / 1024));
        return;
    }
    const bool giga = bytes >= 1024ull * 1024 * 1024;
    const uint64_t tenths = bytes * 10 / (giga ? 1024ull * 1024 * 1024 : 1024ull * 1024);
    wsprintfW(text, L"%u.%u %s", static_cast<unsigned>(tenths / 10), static_cast<unsigned>(tenths % 10),
              giga ? L"GB" : L"MB");
}

// The local time of day of a FILETIME (UTC), "21:04:55".
void FormatSince(uint64_t since, wchar_t (&text)[32])
{
    FILETIME utc = {static_cast<DWORD>(since), static_cast<DWORD>(since >> 32)};
    FILETIME local;
    SYSTEMTIME time;
    text[0] = 0;
    if (FileTimeToLocalFileTime(&utc, &local) && FileTimeToSystemTime(&local, &time))
        wsprintfW(text, L"%02u:%02u:%02u", time.wHour, time.wMinute, time.wSecond);
}

bool SameText(const wchar_t* a, const wchar_t* b)
{
    return std::wcsncmp(a, b, kOptionTextCapacity) == 0;
}

// Whether two texts of `key` are valid and mean the same.
bool SameValue(EOptionKey key, const wchar_t* a, const wchar_t* b)
{
    wchar_t canonicalA[kOptionTextCapacity], canonicalB[kOptionTextCapacity];
    return CanonicalOptionText(key, a, canonicalA) && CanonicalOptionText(key, b, canonicalB) &&
           SameText(canonicalA, canonicalB);
}
}  // namespace

CMoreUrlPage::CMoreUrlPage(IDialogModule& module)
    : m_Module(module), m_pQrCode(new (std::nothrow) unsigned char[kQrBufferBytes]),
      m_pViewers(new (std::nothrow) SHttpViewerSnapshot)
{
    if (m_pQrCode != nullptr)
        m_pQrCode[0] = 0;
}

CMoreUrlPage::~CMoreUrlPage() = default;

int CMoreUrlPage::TemplateId() const
{
    return IDD_MORE_URL;
}

void CMoreUrlPage::Init(HWND page, const SOptionTexts& stored)
{
    m_hPage = page;
    m_Stored = stored;
    m_bFilling = true;

    const wchar_t* port = stored.Text[kOptionHttpPort];
    CheckDlgButton(page, IDC_URL_ON, ParseHttpPort(port) != 0 ? BST_CHECKED : BST_UNCHECKED);
    SetDlgItemTextW(page, IDC_URL_PORT, port);  // as written, even a value the server would not take

    HWND who = GetDlgItem(page, IDC_URL_WHO);
    SendMessageW(who, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"This PC only"));
    SendMessageW(who, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"My home network"));
    SendMessageW(who, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"These networks:"));
    const wchar_t* allow = stored.Text[kOptionHttpAllow];
    EWho chosen = kWhoNetworks;
    if (allow[0] == 0)
        chosen = kWhoHome;
    else if (SameValue(kOptionHttpAllow, allow, kThisPcOnly) || SameValue(kOptionHttpAllow, allow, L"127.0.0.0/8"))
        chosen = kWhoThisPc;
    SendMessageW(who, CB_SETCURSEL, chosen, 0);
    // One character beyond the longest list: a longer paste is refused for
    // its length (the key table's words) instead of cut into a list that
    // passes.
    SendDlgItemMessageW(page, IDC_URL_ALLOW, EM_LIMITTEXT, kHttpAllowMaxLength + 1, 0);
    if (chosen == kWhoNetworks)
        SetDlgItemTextW(page, IDC_URL_ALLOW, allow);  // as written: the dialog cannot show it as a choice

    SendDlgItemMessageW(page, IDC_URL_VIEWERS_SPIN, UDM_SETRANGE32, 1, kMaxHttpClientsLimit);
    const wchar_t* viewers = stored.Text[kOptionHttpMaxClients];
    if (viewers[0] != 0)
        SetDlgItemTextW(page, IDC_URL_VIEWERS, viewers);
    else
        SetDlgItemInt(page, IDC_URL_VIEWERS, kDefaultHttpClients, FALSE);

    FillAdapters(stored.Text[kOptionHttpAddress]);

    HWND list = GetDlgItem(page, IDC_URL_WATCHING);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    const SListColumn columns[] = {{L"Viewer", 80}, {L"Watching", 96}, {L"Since", 46}, {L"Sent", 50}};
    InsertListColumns(page, list, columns, 4);

    EnableFields();
    ShowMemory();
    ShowDefaultNote();
    m_bFilling = false;
    ShowRunning();
}

// "Every adapter", then each address of this PC by its adapter's name; a
// stored address that is none of them stays a choice, as written.
void CMoreUrlPage::FillAdapters(const wchar_t* stored)
{
    HWND combo = GetDlgItem(m_hPage, IDC_URL_ADAPTER);
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Every adapter"));
    m_AdapterTexts[0][0] = 0;
    m_nAdapterChoices = 1;
    int chosen = 0;
    wchar_t canonical[kOptionTextCapacity];
    const bool storedValid = CanonicalOptionText(kOptionHttpAddress, stored, canonical);
    SAdapterAddresses* adapters = new (std::nothrow) SAdapterAddresses;
    if (adapters != nullptr)
        ListAdapterAddresses(*adapters);
    for (int i = 0; adapters != nullptr && i < adapters->Count; ++i)
    {
        FormatIPv4(adapters->Items[i].Address, m_AdapterTexts[m_nAdapterChoices]);
        wchar_t item[kAdapterNameCapacity + 24];
        wsprintfW(item, L"%s (%s)", adapters->Items[i].Name, m_AdapterTexts[m_nAdapterChoices]);
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
        if (storedValid && canonical[0] != 0 && SameText(canonical, m_AdapterTexts[m_nAdapterChoices]))
            chosen = m_nAdapterChoices;
        ++m_nAdapterChoices;
    }
    delete adapters;
    if (chosen == 0 && (!storedValid || canonical[0] != 0))
    {
        // Not this PC's now (the server will say so at Start), or no address.
        wchar_t item[kOptionTextCapacity + 24];
        wsprintfW(item, L"%.200s (not an address of this PC)", stored);
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
        m_AdapterTexts[m_nAdapterChoices][0] = 0;  // the stored text itself; see Collect
        chosen = m_nAdapterChoices++;
    }
    m_nWrittenAdapter = chosen > 0 && m_AdapterTexts[chosen][0] == 0 ? chosen : -1;
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(chosen), 0);
}

void CMoreUrlPage::EnableFields()
{
    const bool on = IsDlgButtonChecked(m_hPage, IDC_URL_ON) == BST_CHECKED;
    const bool networks = SendDlgItemMessageW(m_hPage, IDC_URL_WHO, CB_GETCURSEL, 0, 0) == kWhoNetworks;
    const int fields[] = {IDC_URL_PORT, IDC_URL_WHO, IDC_URL_VIEWERS, IDC_URL_VIEWERS_SPIN, IDC_URL_ADAPTER};
    for (int id : fields)
        EnableWindow(GetDlgItem(m_hPage, id), on);
    EnableWindow(GetDlgItem(m_hPage, IDC_URL_ALLOW), on && networks);
}

// What the viewers' buffers take: one per stream watched (the whole
// transponder, or a program), whatever the number of its viewers.
void CMoreUrlPage::ShowMemory()
{
    wchar_t text[64];
    wsprintfW(text, L"%u MB per stream watched", static_cast<unsigned>((kStreamRingBytes + 512 * 1024) / (1024 * 1024)));
    SetDlgItemTextW(m_hPage, IDC_URL_MEMORY, text);
}

void CMoreUrlPage::ShowDefaultNote()
{
    m_bStreamingNoted = m_Module.Streaming();
    ShowNote(m_bStreamingNoted ? kAtNextStart : kWhileRunning);
}

void CMoreUrlPage::ShowNote(const wchar_t* text)
{
    SetDlgItemTextW(m_hPage, IDC_URL_NOTE, text);
}

// The addresses and the QR code of the running server, or none.
void CMoreUrlPage::ShowRunning()
{
    wchar_t url[kHttpUrlCapacity];
    m_Module.FormatHttpUrl(url);
    if (!SameText(url, m_szUrl))
    {
        lstrcpynW(m_szUrl, url, kHttpUrlCapacity);
        SetDlgItemTextW(m_hPage, IDC_URL_PAGE, url);
        wchar_t playlist[kHttpUrlCapacity + 16] = L"";
        if (url[0] != 0)
            wsprintfW(playlist, L"%splaylist.m3u", url);
        SetDlgItemTextW(m_hPage, IDC_URL_PLAYLIST, playlist);
        EnableWindow(GetDlgItem(m_hPage, IDC_URL_COPY), url[0] != 0);
        if (m_pQrCode != nullptr)
        {
            m_pQrCode[0] = 0;
            char text[kHttpUrlCapacity];
            unsigned char work[kQrBufferBytes];
            if (url[0] != 0 && WideCharToMultiByte(CP_UTF8, 0, url, -1, text, sizeof text, nullptr, nullptr) > 0 &&
                !qrcodegen_encodeText(text, work, m_pQrCode.get(), qrcodegen_Ecc_MEDIUM, qrcodegen_VERSION_MIN,
                                      kQrMaxVersion, qrcodegen_Mask_AUTO, true))
                m_pQrCode[0] = 0;
        }
        InvalidateRect(GetDlgItem(m_hPage, IDC_URL_QR), nullptr, TRUE);
    }
    ShowViewers();
}

// Row by row in place: the list keeps its scroll position and selection,
// and nothing flickers once a second.
void CMoreUrlPage::ShowViewers()
{
    HWND list = GetDlgItem(m_hPage, IDC_URL_WATCHING);
    int count = 0;
    if (m_pViewers != nullptr && m_Module.SnapshotHttpViewers(*m_pViewers))
        count = m_pViewers->Count;
    int rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (; rows > count; --rows)
        SendMessageW(list, LVM_DELETEITEM, static_cast<WPARAM>(rows - 1), 0);
    for (int i = 0; i < count; ++i)
    {
        const SHttpViewer& viewer = m_pViewers->Viewers[i];
        wchar_t text[kHttpViewerPathCapacity + 8];
        const uint32_t a = viewer.Address;
        wsprintfW(text, L"%u.%u.%u.%u:%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255,
                  static_cast<unsigned>(viewer.Port));
        if (i >= rows)
        {
            LVITEMW item = {};
            item.mask = LVIF_TEXT;
            item.iItem = i;
            item.pszText = text;
            if (SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)) < 0)
                break;
            ++rows;
        }
        SetCell(list, i, kColumnAddress, text);
        wsprintfW(text, L"%.47S", viewer.Path);
        SetCell(list, i, kColumnWatching, text);
        wchar_t number[32];
        FormatSince(viewer.Since, number);
        SetCell(list, i, kColumnSince, number);
        FormatBytes(viewer.Sent, number);
        SetCell(list, i, kColumnSent, number);
    }
}

void CMoreUrlPage::Refresh()
{
    if (m_hPage == nullptr)
        return;
    if (m_Module.Streaming() != m_bStreamingNoted)
        ShowDefaultNote();
    ShowRunning();
}

// The modules as filled squares, the quiet zone white around them, as large
// as the control allows in whole pixels per module.
void CMoreUrlPage::DrawQrCode(const DRAWITEMSTRUCT& item) const
{
    const RECT& area = item.rcItem;
    const bool code = m_pQrCode != nullptr && m_pQrCode[0] != 0;
    if (!code)
    {
        FillRect(item.hDC, &area, GetSysColorBrush(COLOR_BTNFACE));
        return;
    }
    FillRect(item.hDC, &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    const int modules = qrcodegen_getSize(m_pQrCode.get());
    const int whole = modules + 2 * kQrQuietModules;
    const int width = area.right - area.left, height = area.bottom - area.top;
    const int scale = (width < height ? width : height) / whole;
    if (scale == 0)
        return;
    const int left = area.left + (width - whole * scale) / 2 + kQrQuietModules * scale;
    const int top = area.top + (height - whole * scale) / 2 + kQrQuietModules * scale;
    HBRUSH dark = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    for (int y = 0; y < modules; ++y)
        for (int x = 0; x < modules; ++x)
            if (qrcodegen_getModule(m_pQrCode.get(), x, y))
            {
                const RECT module = {left + x * scale, top + y * scale, left + (x + 1) * scale, top + (y + 1) * scale};
                FillRect(item.hDC, &module, dark);
            }
}

bool CMoreUrlPage::Collect(SOptionTexts& edited, HWND* field, const wchar_t** reason)
{
    const bool on = IsDlgButtonChecked(m_hPage, IDC_URL_ON) == BST_CHECKED;
    if (m_bTouched[kOptionHttpPort])
    {
        wchar_t* text = edited.Text[kOptionHttpPort];
        text[0] = 0;
        if (on)
        {
            GetDlgItemTextW(m_hPage, IDC_URL_PORT, text, kOptionTextCapacity);
            if (ParseHttpPort(text) == 0)
            {
                // Empty or 0 would turn the server off while the box says
                // on; the key's own words for a port that is none.
                *field = GetDlgItem(m_hPage, IDC_URL_PORT);
                *reason = CheckOptionText(kOptionHttpPort, L"-");
                return false;
            }
        }
    }
    if (m_bTouched[kOptionHttpAllow])
    {
        wchar_t* text = edited.Text[kOptionHttpAllow];
        text[0] = 0;
        switch (SendDlgItemMessageW(m_hPage, IDC_URL_WHO, CB_GETCURSEL, 0, 0))
        {
        case kWhoThisPc:
            lstrcpynW(text, kThisPcOnly, kOptionTextCapacity);
            break;
        case kWhoNetworks:
            GetDlgItemTextW(m_hPage, IDC_URL_ALLOW, text, kOptionTextCapacity);
            if (*SkipBlanks(text) == 0)
            {
                // Empty means the default networks, which the user did not choose.
                *field = GetDlgItem(m_hPage, IDC_URL_ALLOW);
                *reason = kNoNetworks;
                return false;
            }
            break;
        default:
            break;  // the home networks: the default, no key
        }
    }
    if (m_bTouched[kOptionHttpMaxClients])
        GetDlgItemTextW(m_hPage, IDC_URL_VIEWERS, edited.Text[kOptionHttpMaxClients], kOptionTextCapacity);
    if (m_bTouched[kOptionHttpAddress])
    {
        const int chosen = static_cast<int>(SendDlgItemMessageW(m_hPage, IDC_URL_ADAPTER, CB_GETCURSEL, 0, 0));
        const wchar_t* text = chosen == m_nWrittenAdapter ? m_Stored.Text[kOptionHttpAddress]
                              : chosen >= 0 && chosen < m_nAdapterChoices ? m_AdapterTexts[chosen]
                                                                          : L"";
        lstrcpynW(edited.Text[kOptionHttpAddress], text, kOptionTextCapacity);
    }
    return true;
}

HWND CMoreUrlPage::FieldOf(EOptionKey key) const
{
    switch (key)
    {
    case kOptionHttpPort:
        return GetDlgItem(m_hPage, IDC_URL_PORT);
    case kOptionHttpAllow:
        return GetDlgItem(m_hPage, SendDlgItemMessageW(m_hPage, IDC_URL_WHO, CB_GETCURSEL, 0, 0) == kWhoNetworks
                                       ? IDC_URL_ALLOW
                                       : IDC_URL_WHO);
    case kOptionHttpMaxClients:
        return GetDlgItem(m_hPage, IDC_URL_VIEWERS);
    case kOptionHttpAddress:
        return GetDlgItem(m_hPage, IDC_URL_ADAPTER);
    default:
        return nullptr;
    }
}

// Puts the page's address on the clipboard, as text.
void CMoreUrlPage::CopyUrl() const
{
    const size_t bytes = (static_cast<size_t>(lstrlenW(m_szUrl)) + 1) * sizeof(wchar_t);
    if (m_szUrl[0] == 0 || !OpenClipboard(m_hPage))
        return;
    EmptyClipboard();
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    void* data = memory != nullptr ? GlobalLock(memory) : nullptr;
    if (data != nullptr)
    {
        std::memcpy(data, m_szUrl, bytes);
        GlobalUnlock(memory);
        if (SetClipboardData(CF_UNICODETEXT, memory) != nullptr)
            memory = nullptr;  // the clipboard's now
    }
    if (memory != nullptr)
        GlobalFree(memory);
    CloseClipboard();
}

void CMoreUrlPage::OnCommand(int id, int code)
{
    if (m_bFilling)
        return;
    EOptionKey changed = kOptionKeyCount;
    switch (id)
    {
    case IDC_URL_ON:
        if (code != BN_CLICKED)
            return;
        changed = kOptionHttpPort;
        if (IsDlgButtonChecked(m_hPage, IDC_URL_ON) == BST_CHECKED)
        {
            wchar_t port[16];
            GetDlgItemTextW(m_hPage, IDC_URL_PORT, port, 16);
            if (ParseHttpPort(port) == 0)
            {
                m_bFilling = true;
                SetDlgItemTextW(m_hPage, IDC_URL_PORT, kDefaultPort);  // a port players and firewalls seldom use
                m_bFilling = false;
            }
        }
        break;
    case IDC_URL_PORT:
        changed = code == EN_CHANGE ? kOptionHttpPort : kOptionKeyCount;
        break;
    case IDC_URL_WHO:
        changed = code == CBN_SELCHANGE ? kOptionHttpAllow : kOptionKeyCount;
        break;
    case IDC_URL_ALLOW:
        changed = code == EN_CHANGE ? kOptionHttpAllow : kOptionKeyCount;
        break;
    case IDC_URL_VIEWERS:
        changed = code == EN_CHANGE ? kOptionHttpMaxClients : kOptionKeyCount;
        break;
    case IDC_URL_ADAPTER:
        changed = code == CBN_SELCHANGE ? kOptionHttpAddress : kOptionKeyCount;
        break;
    case IDC_URL_COPY:
        if (code == BN_CLICKED)
            CopyUrl();
        return;
    default:
        return;
    }
    if (changed == kOptionKeyCount)
        return;
    m_bTouched[changed] = true;
    EnableFields();
    ShowDefaultNote();
}

INT_PTR CMoreUrlPage::Handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_INITDIALOG:
        return FALSE;  // the frame sets the focus

    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam));
        return FALSE;

    case WM_DRAWITEM:
    {
        const DRAWITEMSTRUCT* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item->CtlID != IDC_URL_QR)
            return FALSE;
        DrawQrCode(*item);
        return TRUE;
    }

    default:
        return FALSE;
    }
}

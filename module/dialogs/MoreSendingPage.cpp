// The Sending tab of the second dialog.

#include "dialogs/MoreSendingPage.h"

#include <commctrl.h>

#include <cwchar>

#include "dialogs/DialogModule.h"
#include "resource.h"

namespace
{
// The source combo box's item data beside an index into the adapter list.
constexpr LPARAM kSourceWindows = -1;
constexpr LPARAM kSourceAsWritten = -2;

const wchar_t kLetWindowsChoose[] = L"Let Windows choose";
const wchar_t kNoAdapterHasIt[] = L" (as written; no adapter of this PC has it)";

bool IsClock(const wchar_t* text)
{
    wchar_t canonical[kOptionTextCapacity];
    return CanonicalOptionText(kOptionRtpTimestamps, text, canonical) && canonical[0] != 0;
}

int AddItem(HWND combo, const wchar_t* text, LPARAM data)
{
    const LRESULT at = SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    if (at >= 0)
        SendMessageW(combo, CB_SETITEMDATA, static_cast<WPARAM>(at), data);
    return static_cast<int>(at);
}
}  // namespace

CMoreSendingPage::CMoreSendingPage(IDialogModule& module)
    : CMoreStartPage(module, IDC_SEND_NOTE, IDC_SEND_NEXT_START)
{
}

int CMoreSendingPage::TemplateId() const
{
    return IDD_MORE_SENDING;
}

void CMoreSendingPage::Init(HWND page, const SOptionTexts& stored)
{
    InitPage(page);
    m_bFilling = true;
    const bool udp = ParseSendProtocol(stored.Text[kOptionProtocol]) == EDatagramFraming::Udp;
    CheckRadioButton(page, IDC_SEND_RTP, IDC_SEND_UDP, udp ? IDC_SEND_UDP : IDC_SEND_RTP);

    HWND timestamps = GetDlgItem(page, IDC_SEND_TIMESTAMPS);
    SendMessageW(timestamps, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"The counter: 90 per datagram"));
    SendMessageW(timestamps, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"The clock: 90 kHz, as FEC receivers need"));
    SendMessageW(timestamps, CB_SETCURSEL, IsClock(stored.Text[kOptionRtpTimestamps]) ? 1 : 0, 0);

    // 0 is the system's TTL, as an absent key.
    const wchar_t* ttl = stored.Text[kOptionTtl];
    SendDlgItemMessageW(page, IDC_SEND_TTL_SPIN, UDM_SETRANGE32, 0, kMaxTtl);
    ShowText(IDC_SEND_TTL, ttl[0] != 0 ? ttl : L"0");
    ShowText(IDC_SEND_BUFFER, stored.Text[kOptionSendBufferSize]);

    FillSources(stored.Text[kOptionLocalIPAddress]);
    m_bFilling = false;
}

// "Let Windows choose", then every address of this PC's adapters; a stored
// address that none of them has stays a choice, as written.
void CMoreSendingPage::FillSources(const wchar_t* stored)
{
    HWND combo = GetDlgItem(m_hPage, IDC_SEND_FROM);
    std::wcscpy(m_szStoredSource, stored);
    wchar_t storedCanonical[kOptionTextCapacity];
    const bool valid = CanonicalOptionText(kOptionLocalIPAddress, stored, storedCanonical);
    int selected = AddItem(combo, kLetWindowsChoose, kSourceWindows);
    bool found = valid && storedCanonical[0] == 0;  // empty or 0.0.0.0: Windows' choice
    ListAdapterAddresses(m_Adapters);
    for (int i = 0; i < m_Adapters.Count; ++i)
    {
        wchar_t address[16];
        FormatIPv4(m_Adapters.Items[i].Address, address);
        wchar_t text[kAdapterNameCapacity + 24];
        wsprintfW(text, L"%s: %s", m_Adapters.Items[i].Name, address);
        const int at = AddItem(combo, text, i);
        if (!found && valid && std::wcscmp(address, storedCanonical) == 0)
        {
            selected = at;
            found = true;
        }
    }
    if (!found)
    {
        wchar_t text[kOptionTextCapacity + 64];
        lstrcpynW(text, stored, kOptionTextCapacity);
        lstrcatW(text, kNoAdapterHasIt);
        selected = AddItem(combo, text, kSourceAsWritten);
    }
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

bool CMoreSendingPage::Collect(SOptionTexts& edited, HWND*, const wchar_t**)
{
    ShowNote(L"");
    if (m_bProtocolTouched)
        std::wcscpy(edited.Text[kOptionProtocol], IsDlgButtonChecked(m_hPage, IDC_SEND_UDP) == BST_CHECKED ? L"UDP" : L"");
    if (m_bTimestampsTouched)
        std::wcscpy(edited.Text[kOptionRtpTimestamps],
                    SendDlgItemMessageW(m_hPage, IDC_SEND_TIMESTAMPS, CB_GETCURSEL, 0, 0) == 1 ? L"clock" : L"");
    CollectText(IDC_SEND_TTL, edited.Text[kOptionTtl]);
    CollectText(IDC_SEND_BUFFER, edited.Text[kOptionSendBufferSize]);
    if (m_bSourceTouched)
    {
        HWND combo = GetDlgItem(m_hPage, IDC_SEND_FROM);
        const LRESULT at = SendMessageW(combo, CB_GETCURSEL, 0, 0);
        const LPARAM data = at >= 0 ? SendMessageW(combo, CB_GETITEMDATA, static_cast<WPARAM>(at), 0) : kSourceWindows;
        wchar_t* text = edited.Text[kOptionLocalIPAddress];
        if (data == kSourceAsWritten)
            std::wcscpy(text, m_szStoredSource);
        else if (data >= 0 && data < m_Adapters.Count)
        {
            wchar_t address[16];
            FormatIPv4(m_Adapters.Items[data].Address, address);
            std::wcscpy(text, address);
        }
        else
            text[0] = 0;
    }
    return true;
}

HWND CMoreSendingPage::FieldOf(EOptionKey key) const
{
    switch (key)
    {
    case kOptionProtocol:
        return GetDlgItem(m_hPage, IsDlgButtonChecked(m_hPage, IDC_SEND_UDP) == BST_CHECKED ? IDC_SEND_UDP : IDC_SEND_RTP);
    case kOptionRtpTimestamps:
        return GetDlgItem(m_hPage, IDC_SEND_TIMESTAMPS);
    case kOptionTtl:
        return GetDlgItem(m_hPage, IDC_SEND_TTL);
    case kOptionLocalIPAddress:
        return GetDlgItem(m_hPage, IDC_SEND_FROM);
    case kOptionSendBufferSize:
        return GetDlgItem(m_hPage, IDC_SEND_BUFFER);
    default:
        return nullptr;
    }
}

INT_PTR CMoreSendingPage::Handle(UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return FALSE;  // the frame sets the focus
    if (message != WM_COMMAND || m_bFilling)
        return FALSE;
    switch (LOWORD(wParam))
    {
    case IDC_SEND_RTP:
    case IDC_SEND_UDP:
        m_bProtocolTouched = m_bProtocolTouched || HIWORD(wParam) == BN_CLICKED;
        return TRUE;
    case IDC_SEND_TIMESTAMPS:
        m_bTimestampsTouched = m_bTimestampsTouched || HIWORD(wParam) == CBN_SELCHANGE;
        return TRUE;
    case IDC_SEND_FROM:
        m_bSourceTouched = m_bSourceTouched || HIWORD(wParam) == CBN_SELCHANGE;
        return TRUE;
    default:
        return FALSE;
    }
}

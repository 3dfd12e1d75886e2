// The FEC tab of the second dialog.

#include "dialogs/MoreFecPage.h"

#include <cwchar>

#include "dialogs/DialogModule.h"
#include "resource.h"

namespace
{
const wchar_t kFiveByFive[] = L"5x5";
const wchar_t kTenByTen[] = L"10x10";
}  // namespace

CMoreFecPage::CMoreFecPage(IDialogModule& module) : CMoreStartPage(module, IDC_FEC_NOTE, IDC_FEC_NEXT_START) {}

int CMoreFecPage::TemplateId() const
{
    return IDD_MORE_FEC;
}

void CMoreFecPage::Init(HWND page, const SOptionTexts& stored)
{
    InitPage(page);
    const wchar_t* text = stored.Text[kOptionFec];
    wchar_t canonical[kOptionTextCapacity];
    const bool valid = CanonicalOptionText(kOptionFec, text, canonical);
    int choice = IDC_FEC_OTHER;
    if (valid && canonical[0] == 0)
        choice = IDC_FEC_OFF;
    else if (valid && std::wcscmp(canonical, kFiveByFive) == 0)
        choice = IDC_FEC_5X5;
    else if (valid && std::wcscmp(canonical, kTenByTen) == 0)
        choice = IDC_FEC_10X10;
    m_bFilling = true;
    CheckRadioButton(page, IDC_FEC_OFF, IDC_FEC_OTHER, choice);
    // Another matrix, or a text the module would not take, as written.
    ShowText(IDC_FEC_MATRIX, choice == IDC_FEC_OTHER ? text : L"");
    m_bFilling = false;
    ShowCost();
}

void CMoreFecPage::ChosenText(wchar_t (&text)[kOptionTextCapacity]) const
{
    text[0] = 0;
    if (IsDlgButtonChecked(m_hPage, IDC_FEC_5X5) == BST_CHECKED)
        std::wcscpy(text, kFiveByFive);
    else if (IsDlgButtonChecked(m_hPage, IDC_FEC_10X10) == BST_CHECKED)
        std::wcscpy(text, kTenByTen);
    else if (IsDlgButtonChecked(m_hPage, IDC_FEC_OTHER) == BST_CHECKED)
        CollectText(IDC_FEC_MATRIX, text);
}

// L + D FEC packets for every L x D datagrams, each about a datagram's size.
void CMoreFecPage::ShowCost()
{
    wchar_t text[kOptionTextCapacity];
    ChosenText(text);
    const SFecMatrix matrix = ParseFecMatrix(text);
    m_ShownPort = m_Module.DestinationPort();
    wchar_t line[256];
    if (IsDlgButtonChecked(m_hPage, IDC_FEC_OFF) == BST_CHECKED)
        lstrcpyW(line, L"No FEC: no extra bandwidth, no extra ports.");
    else if (matrix.Columns == 0)
        lstrcpyW(line, L"");
    else
    {
        const int cells = matrix.Columns * matrix.Rows;
        const int percent = ((matrix.Columns + matrix.Rows) * 100 + cells / 2) / cells;
        const unsigned port = m_ShownPort;
        if (port + kFecRowPortOffset > 65535)
            wsprintfW(line, L"About %d %% more bandwidth. FEC needs a destination port up to %u.", percent,
                      65535u - kFecRowPortOffset);
        else
            wsprintfW(line, L"About %d %% more bandwidth; the FEC packets go to ports %u and %u "
                            L"(the destination port + %u and + %u).",
                      percent, port + kFecColumnPortOffset, port + kFecRowPortOffset,
                      static_cast<unsigned>(kFecColumnPortOffset), static_cast<unsigned>(kFecRowPortOffset));
    }
    SetDlgItemTextW(m_hPage, IDC_FEC_COST, line);
}

void CMoreFecPage::Refresh()
{
    CMoreStartPage::Refresh();
    if (m_hPage != nullptr && m_Module.DestinationPort() != m_ShownPort)
        ShowCost();
}

bool CMoreFecPage::Collect(SOptionTexts& edited, HWND* field, const wchar_t** reason)
{
    ShowNote(L"");
    wchar_t text[kOptionTextCapacity];
    ChosenText(text);
    if (IsDlgButtonChecked(m_hPage, IDC_FEC_OTHER) == BST_CHECKED && *SkipBlanks(text) == 0)
    {
        // "Other" with nothing in it is not Off.
        *field = GetDlgItem(m_hPage, IDC_FEC_MATRIX);
        *reason = CheckOptionText(kOptionFec, L"x");
        return false;
    }
    std::wcscpy(edited.Text[kOptionFec], text);
    return true;
}

HWND CMoreFecPage::FieldOf(EOptionKey key) const
{
    if (key != kOptionFec)
        return nullptr;
    return GetDlgItem(m_hPage, IsDlgButtonChecked(m_hPage, IDC_FEC_OTHER) == BST_CHECKED ? IDC_FEC_MATRIX : IDC_FEC_OFF);
}

INT_PTR CMoreFecPage::Handle(UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return FALSE;  // the frame sets the focus
    if (message != WM_COMMAND || m_bFilling)
        return FALSE;
    const int id = LOWORD(wParam);
    if (id == IDC_FEC_MATRIX && HIWORD(wParam) == EN_CHANGE)
    {
        // Typing a matrix chooses it.
        if (IsDlgButtonChecked(m_hPage, IDC_FEC_OTHER) != BST_CHECKED)
            CheckRadioButton(m_hPage, IDC_FEC_OFF, IDC_FEC_OTHER, IDC_FEC_OTHER);
        ShowCost();
        return TRUE;
    }
    if (id >= IDC_FEC_OFF && id <= IDC_FEC_OTHER && HIWORD(wParam) == BN_CLICKED)
    {
        ShowCost();
        return TRUE;
    }
    return FALSE;
}

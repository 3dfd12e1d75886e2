// The Outputs tab of the second dialog, and the small dialog that adds or
// edits one output.

#include "dialogs/MoreOutputsPage.h"

#include <commctrl.h>

#include <cwchar>

#include "outputs/Output.h"
#include "dialogs/DialogModule.h"
#include "resource.h"

namespace
{
enum EColumn
{
    kColumnOutput,
    kColumnDestination,
    kColumnPrograms,
    kColumnOptions,
};

using CheckLine = CMoreOutputsPage::CheckLine;

const wchar_t kAllOutputsUsed[] = L"Sixteen outputs at most: remove one first.";
const wchar_t kTypeADestination[] = L"Type an address and port, such as 239.255.1.2:5000.";

bool IsBlankText(const wchar_t* text)
{
    return *SkipBlanks(text) == 0;
}

// The row's cells of one output's settings: where to, which programs, and
// the options that differ from their defaults.
void ShowSettings(HWND list, int row, const SOutputSettings& settings)
{
    wchar_t text[kOutputKeyWrittenCapacity];
    wsprintfW(text, L"%s:%u", settings.szAddress, static_cast<unsigned>(settings.Port));
    SetListCell(list, row, kColumnDestination, text);
    text[0] = 0;
    for (int i = 0; i < settings.Programs.Count; ++i)
        wsprintfW(text + lstrlenW(text), i == 0 ? L"%u" : L", %u", static_cast<unsigned>(settings.Programs.Numbers[i]));
    SetListCell(list, row, kColumnPrograms, settings.Programs.Count > 0 ? text : L"complete TS");
    SOutputSettings options = settings;
    options.Programs.Count = 0;
    FormatOutputKey(options, text, EPassphraseText::Masked);
    const wchar_t* blank = std::wcschr(text, L' ');
    SetListCell(list, row, kColumnOptions, blank != nullptr ? blank + 1 : L"");
}

// The editing dialog: the key's text in one line, checked while it is typed.
struct SOutputEditor
{
    const CMoreOutputsPage* Page;
    int Number;
    bool Adding;
    wchar_t Text[kOptionTextCapacity];

    static INT_PTR CALLBACK Proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_INITDIALOG)
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        SOutputEditor* self = reinterpret_cast<SOutputEditor*>(GetWindowLongPtrW(dialog, DWLP_USER));
        return self != nullptr ? self->Handle(dialog, message, wParam) : FALSE;
    }

    // The line below the field; false when OK would be refused.
    bool Check(HWND dialog)
    {
        GetDlgItemTextW(dialog, IDC_OUTPUT_TEXT, Text, kOptionTextCapacity);
        CheckLine line;
        bool valid = true;
        if (IsBlankText(Text))
        {
            lstrcpyW(line, kTypeADestination);
            valid = false;
        }
        else
            valid = Page->CheckOutput(Number, Text, line);
        SetDlgItemTextW(dialog, IDC_OUTPUT_CHECK, line);
        return valid;
    }

    INT_PTR Handle(HWND dialog, UINT message, WPARAM wParam)
    {
        switch (message)
        {
        case WM_INITDIALOG:
        {
            wchar_t caption[16];
            lstrcpynW(caption, OptionKeyName(OutputOptionKey(Number)), 16);
            SetWindowTextW(dialog, caption);
            SendDlgItemMessageW(dialog, IDC_OUTPUT_TEXT, EM_SETLIMITTEXT, kOptionTextCapacity - 1, 0);
            SetDlgItemTextW(dialog, IDC_OUTPUT_TEXT, Text);
            if (!Adding)
                Check(dialog);
            return TRUE;  // the focus on the field, its text selected
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_OUTPUT_TEXT && HIWORD(wParam) == EN_CHANGE)
            {
                Check(dialog);
                return TRUE;
            }
            if (LOWORD(wParam) == IDOK)
            {
                // Refused: the reason stays on show and the field keeps the focus.
                if (Check(dialog))
                    EndDialog(dialog, IDOK);
                else
                {
                    HWND field = GetDlgItem(dialog, IDC_OUTPUT_TEXT);
                    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field), TRUE);
                }
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL)
            {
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
        }
    }
};
}  // namespace

CMoreOutputsPage::CMoreOutputsPage(IDialogModule& module)
    : CMoreStartPage(module, IDC_OUTPUTS_NOTE, IDC_OUTPUTS_NEXT_START)
{
}

int CMoreOutputsPage::TemplateId() const
{
    return IDD_MORE_OUTPUTS;
}

void CMoreOutputsPage::Init(HWND page, const SOptionTexts& stored)
{
    InitPage(page);
    m_hList = GetDlgItem(page, IDC_OUTPUTS_LIST);
    SendMessageW(m_hList, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    const SListColumn columns[] = {{L"Output", 30}, {L"Destination", 84}, {L"Programs", 60}, {L"Options", 100}};
    InsertListColumns(page, m_hList, columns, 4);
    for (int number = kFirstOutputKey; number <= kLastOutputKey; ++number)
        std::wcscpy(m_Texts[number - kFirstOutputKey], stored.Text[OutputOptionKey(number)]);
    m_bFilling = true;
    CheckDlgButton(page, IDC_OUTPUTS_ANNOUNCE, ReadAnnounceKey(stored) ? BST_CHECKED : BST_UNCHECKED);
    m_bFilling = false;
    Fill();
}

// Output 1, then each output whose key has a text, by number.
void CMoreOutputsPage::Fill()
{
    m_bFilling = true;
    SendMessageW(m_hList, LVM_DELETEALLITEMS, 0, 0);
    m_nRows = 0;
    for (int number = 1; number <= kLastOutputKey; ++number)
    {
        if (number > 1 && IsBlankText(TextOf(number)))
            continue;
        wchar_t name[8];
        wsprintfW(name, L"%d", number);
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = m_nRows;
        item.pszText = name;
        const int row = static_cast<int>(SendMessageW(m_hList, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        if (row < 0)
            continue;
        m_RowNumbers[m_nRows++] = number;
        if (number == 1)
            continue;
        SOutputSettings settings;
        wchar_t reason[kOutputKeyErrorCapacity];
        const wchar_t* text = TextOf(number);
        if (ParseOutputKey(text, static_cast<int>(std::wcslen(text)), settings, reason) == EOutputKey::Parsed)
            ShowSettings(m_hList, row, settings);
        else
        {
            // As written, with why Start would refuse it.
            SetListCell(m_hList, row, kColumnDestination, text);
            wchar_t refused[kOutputKeyErrorCapacity + 16];
            wsprintfW(refused, L"Start refuses it: %s", reason);
            SetListCell(m_hList, row, kColumnOptions, refused);
        }
    }
    m_szFirstShown[0] = 0;
    ShowFirst();
    m_bFilling = false;
    UpdateButtons();
}

// Output 1 as the module has it now: the options dialog's fields and the
// other tabs' keys once applied.
void CMoreOutputsPage::ShowFirst()
{
    const SOutputSettings& first = m_Module.FirstOutputSettings();
    wchar_t text[kOutputKeyWrittenCapacity];
    FormatOutputKey(first, text);
    if (m_nRows == 0 || std::wcscmp(text, m_szFirstShown) == 0)
        return;
    std::wcscpy(m_szFirstShown, text);
    ShowSettings(m_hList, 0, first);
}

void CMoreOutputsPage::Refresh()
{
    CMoreStartPage::Refresh();
    if (m_hPage != nullptr)
        ShowFirst();
}

int CMoreOutputsPage::SelectedNumber() const
{
    const int row = static_cast<int>(SendMessageW(m_hList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    return row > 0 && row < m_nRows ? m_RowNumbers[row] : 0;
}

void CMoreOutputsPage::UpdateButtons()
{
    const bool chosen = SelectedNumber() != 0;
    EnableWindow(GetDlgItem(m_hPage, IDC_OUTPUTS_EDIT), chosen);
    EnableWindow(GetDlgItem(m_hPage, IDC_OUTPUTS_REMOVE), chosen);
}

bool CMoreOutputsPage::CheckOutput(int number, const wchar_t* text, CheckLine& line) const
{
    const EOptionKey key = OutputOptionKey(number);
    OptionReasonText reason;
    if (!CheckOptionText(key, text, reason))
    {
        lstrcpynW(line, reason, kOptionTextCapacity + 32);
        return false;
    }
    SOutputSettings settings;
    wchar_t why[kOutputKeyErrorCapacity];
    ParseOutputKey(text, static_cast<int>(std::wcslen(text)), settings, why);
    // What else Start checks of one output: its source, its FEC.
    SendRefusalText refusal;
    if (!CheckLocalAddress(settings.Send, refusal) || RefuseFecSettings(settings, refusal))
    {
        NameOutputRefusal(number, refusal);
        lstrcpynW(line, refusal, kOptionTextCapacity + 32);
        return false;
    }
    // And the outputs against each other, output 1 as it is set now.
    for (int other = 1; other <= kLastOutputKey; ++other)
    {
        SOutputSettings them = m_Module.FirstOutputSettings();
        if (other > 1 && (other == number ||
                          ParseOutputKey(TextOf(other), static_cast<int>(std::wcslen(TextOf(other))), them, why) !=
                              EOutputKey::Parsed))
            continue;
        if (OutputCollisionReason(settings, them, other, why))
        {
            wsprintfW(line, L"%s: %s", OptionKeyName(key), why);
            return false;
        }
    }
    wchar_t written[kOptionTextCapacity];
    CanonicalOptionText(key, text, written);
    wsprintfW(line, L"Writes %s=%s", OptionKeyName(key), written);
    return true;
}

void CMoreOutputsPage::Edit(int number, bool adding)
{
    SOutputEditor editor = {this, number, adding, {}};
    std::wcscpy(editor.Text, adding ? L"" : TextOf(number));
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(m_hPage, GWLP_HINSTANCE));
    if (DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_OUTPUT_EDIT), GetAncestor(m_hPage, GA_ROOT), SOutputEditor::Proc,
                        reinterpret_cast<LPARAM>(&editor)) != IDOK)
        return;
    // Kept as typed: the write plan keeps a stored key whose meaning did not
    // change, and writes the others in their written form.
    std::wcscpy(m_Texts[number - kFirstOutputKey], editor.Text);
    ShowNote(L"");
    Fill();
    for (int row = 0; row < m_nRows; ++row)
        if (m_RowNumbers[row] == number)
        {
            LVITEMW item = {};
            item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
            item.state = LVIS_SELECTED | LVIS_FOCUSED;
            SendMessageW(m_hList, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
        }
    UpdateButtons();
}

void CMoreOutputsPage::Remove(int number)
{
    m_Texts[number - kFirstOutputKey][0] = 0;
    ShowNote(L"");
    Fill();
}

bool CMoreOutputsPage::Collect(SOptionTexts& edited, HWND*, const wchar_t**)
{
    for (int number = kFirstOutputKey; number <= kLastOutputKey; ++number)
        std::wcscpy(edited.Text[OutputOptionKey(number)], TextOf(number));
    if (m_bAnnounceTouched)
        std::wcscpy(edited.Text[kOptionAnnounce],
                    IsDlgButtonChecked(m_hPage, IDC_OUTPUTS_ANNOUNCE) == BST_CHECKED ? L"1" : L"");
    return true;
}

HWND CMoreOutputsPage::FieldOf(EOptionKey key) const
{
    if (key == kOptionAnnounce)
        return GetDlgItem(m_hPage, IDC_OUTPUTS_ANNOUNCE);
    return IsOutputOptionKey(key) ? m_hList : nullptr;
}

INT_PTR CMoreOutputsPage::Handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        return FALSE;  // the frame sets the focus
    if (m_bFilling)
        return FALSE;
    if (message == WM_NOTIFY)
    {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom != IDC_OUTPUTS_LIST)
            return FALSE;
        if (header->code == LVN_ITEMCHANGED)
            UpdateButtons();
        else if (header->code == NM_DBLCLK && SelectedNumber() != 0)
            Edit(SelectedNumber(), false);
        return TRUE;
    }
    if (message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED)
        return FALSE;
    switch (LOWORD(wParam))
    {
    case IDC_OUTPUTS_ADD:
        for (int number = kFirstOutputKey; number <= kLastOutputKey; ++number)
            if (IsBlankText(TextOf(number)))
            {
                // The lowest free number: the others keep theirs.
                Edit(number, true);
                return TRUE;
            }
        ShowNote(kAllOutputsUsed);
        return TRUE;
    case IDC_OUTPUTS_EDIT:
        if (SelectedNumber() != 0)
            Edit(SelectedNumber(), false);
        return TRUE;
    case IDC_OUTPUTS_REMOVE:
        if (SelectedNumber() != 0)
            Remove(SelectedNumber());
        return TRUE;
    case IDC_OUTPUTS_ANNOUNCE:
        m_bAnnounceTouched = true;
        return TRUE;
    default:
        return FALSE;
    }
}

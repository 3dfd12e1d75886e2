// The Programs tab of the second dialog.

#include "dialogs/MoreProgramsPage.h"

#include <commctrl.h>

#include <cstring>
#include <new>

#include "dialogs/DialogModule.h"
#include "settings/ProgramList.h"
#include "psi/DvbText.h"
#include "psi/SdtTable.h"
#include "resource.h"

namespace
{
enum EColumn
{
    kColumnNumber,
    kColumnName,
    kColumnProvider,
    kColumnKind,
    kColumnNow,
};

const wchar_t kNoStreamYet[] = L"Press Start in the options dialog to see the transponder's programs.";
const wchar_t kLatestStream[] = L"As the latest stream saw them; Start shows the programs now.";
const wchar_t kAppliedAtOnce[] = L"OK or Apply changes the running stream at once.";
const wchar_t kTooMany[] = L"At most 16 programs: untick one first.";
const wchar_t kNoneTicked[] = L"Tick a program, or choose the whole transponder.";
const wchar_t kNotHere[] = L"(not on this transponder)";

// DVB text as the page shows it, as UTF-16 for the list.
void ToWide(const unsigned char* text, int length, wchar_t* out, int capacity)
{
    char utf8[kDvbTextUtf8Capacity];
    DvbTextToUtf8(text, static_cast<size_t>(length), utf8, sizeof utf8);
    out[0] = 0;
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out, capacity);
    out[n > 0 ? n - 1 : 0] = 0;
}

const wchar_t* KindText(unsigned char serviceType)
{
    switch (ServiceKindOf(serviceType))
    {
    case EServiceKind::Television:
        return L"TV";
    case EServiceKind::Radio:
        return L"Radio";
    case EServiceKind::Data:
        return L"Data";
    default:
        return L"";
    }
}

bool SameEvents(const SGuideNowList& a, const SGuideNowList& b)
{
    if (a.Count != b.Count)
        return false;
    for (int i = 0; i < a.Count; ++i)
    {
        const SGuideEventNow& x = a.Services[i];
        const SGuideEventNow& y = b.Services[i];
        if (x.ProgramNumber != y.ProgramNumber || x.Known != y.Known || x.Start != y.Start || x.End != y.End ||
            std::strcmp(x.Title, y.Title) != 0)
            return false;
    }
    return true;
}

// "hh:mm" of a UTC time in this PC's time zone (as the clock on the taskbar).
bool FormatLocalTime(int64_t utc, wchar_t (&text)[8])
{
    text[0] = 0;
    const uint64_t ticks = static_cast<uint64_t>(utc + 11644473600LL) * 10000000ULL;  // since 1601, 100 ns
    FILETIME file;
    file.dwLowDateTime = static_cast<DWORD>(ticks);
    file.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    SYSTEMTIME universal, local;
    if (utc < 0 || !FileTimeToSystemTime(&file, &universal) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
        return false;
    wsprintfW(text, L"%02u:%02u", static_cast<unsigned>(local.wHour), static_cast<unsigned>(local.wMinute));
    return true;
}

// "20:00–20:15 Title": the event on now with its start and end in local
// time first, as a TV guide has it (a narrow column cuts the title's end);
// "20:00– Title" for a live event with nothing following yet (End -1).
void FormatEventNow(const SGuideEventNow& event, wchar_t* text, int capacity)
{
    text[0] = 0;
    if (!event.Known)
        return;
    wchar_t start[8], end[8];
    int length = 0;
    if (FormatLocalTime(event.Start, start))
    {
        FormatLocalTime(event.End, end);  // empty when there is no end to show
        length = wsprintfW(text, L"%s\x2013%s ", start, end);
    }
    const int n = MultiByteToWideChar(CP_UTF8, 0, event.Title, -1, text + length, capacity - length);
    if (n <= 0)
        text[length > 0 ? length - 1 : 0] = 0;
}

bool SameList(const SProgramList& a, const SProgramList& b)
{
    return a.nPrograms == b.nPrograms &&
           std::memcmp(a.Programs, b.Programs, sizeof(SListedProgram) * static_cast<size_t>(a.nPrograms)) == 0;
}

void SetCell(HWND list, int row, int column, const wchar_t* text)
{
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text);
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}
}  // namespace

CMoreProgramsPage::CMoreProgramsPage(IDialogModule& module)
    : m_Module(module),
      m_pListed(new (std::nothrow) SProgramList),
      m_pLatest(new (std::nothrow) SProgramList),
      m_pNow(new (std::nothrow) SGuideNowList),
      m_pNowLatest(new (std::nothrow) SGuideNowList)
{
}

int CMoreProgramsPage::TemplateId() const
{
    return IDD_MORE_PROGRAMS;
}

void CMoreProgramsPage::Init(HWND page, const SOptionTexts& stored)
{
    m_hPage = page;
    m_hList = GetDlgItem(page, IDC_PROGRAMS_LIST);
    ParseProgramList(stored.Text[kOptionPrograms], m_Ticked);
    CheckRadioButton(page, IDC_PROGRAMS_ALL, IDC_PROGRAMS_CHOSEN,
                     m_Ticked.Count > 0 ? IDC_PROGRAMS_CHOSEN : IDC_PROGRAMS_ALL);
    SendMessageW(m_hList, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT,
                 LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
    const SListColumn columns[] = {{L"Number", 36}, {L"Name", 66}, {L"Provider", 44}, {L"Kind", 26}, {L"Now", 98}};
    InsertListColumns(page, m_hList, columns, 5);
    if (m_pNow != nullptr)
        m_pNow->Count = 0;
    if (m_pNow != nullptr && m_pNowLatest != nullptr && m_Module.SnapshotGuideNow(*m_pNowLatest))
        m_pNow.swap(m_pNowLatest);
    if (m_pListed != nullptr)
        m_pListed->nPrograms = 0;
    if (m_pListed != nullptr && m_pLatest != nullptr && m_Module.SnapshotPrograms(*m_pLatest))
    {
        m_bSeen = true;
        m_pListed.swap(m_pLatest);
    }
    Fill();
    ShowDefaultNote();
}

bool CMoreProgramsPage::Ticked(uint16_t number) const
{
    for (int i = 0; i < m_Ticked.Count; ++i)
        if (m_Ticked.Numbers[i] == number)
            return true;
    return false;
}

// The rows anew: the transponder's programs in PAT order, then the ticked
// programs it lacks.
void CMoreProgramsPage::Fill()
{
    m_bFilling = true;
    SendMessageW(m_hList, WM_SETREDRAW, FALSE, 0);
    SendMessageW(m_hList, LVM_DELETEALLITEMS, 0, 0);
    m_nRows = 0;
    auto addRow = [this](uint16_t number) {
        wchar_t text[16];
        wsprintfW(text, L"%u", static_cast<unsigned>(number));
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = m_nRows;
        item.pszText = text;
        const int row = static_cast<int>(SendMessageW(m_hList, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        if (row >= 0)
            m_RowNumbers[m_nRows++] = number;
        return row;
    };
    const int listed = m_pListed != nullptr ? m_pListed->nPrograms : 0;
    for (int i = 0; i < listed; ++i)
    {
        const SListedProgram& program = m_pListed->Programs[i];
        const int row = addRow(program.ProgramNumber);
        if (row < 0)
            continue;
        wchar_t text[kServiceTextMaxBytes + 1];
        ToWide(program.Name, program.NameLength, text, kServiceTextMaxBytes + 1);
        SetCell(m_hList, row, kColumnName, text);
        ToWide(program.Provider, program.ProviderLength, text, kServiceTextMaxBytes + 1);
        SetCell(m_hList, row, kColumnProvider, text);
        SetCell(m_hList, row, kColumnKind, KindText(program.ServiceType));
    }
    for (int t = 0; t < m_Ticked.Count; ++t)
    {
        bool shown = false;
        for (int r = 0; r < m_nRows && !shown; ++r)
            shown = m_RowNumbers[r] == m_Ticked.Numbers[t];
        if (shown)
            continue;
        const int row = addRow(m_Ticked.Numbers[t]);
        if (row >= 0)
            SetCell(m_hList, row, kColumnName, m_bSeen ? kNotHere : L"");
    }
    for (int r = 0; r < m_nRows; ++r)
        ListView_SetCheckState(m_hList, r, Ticked(m_RowNumbers[r]) ? TRUE : FALSE);
    ShowEventsNow();
    SendMessageW(m_hList, WM_SETREDRAW, TRUE, 0);
    m_bFilling = false;
}

void CMoreProgramsPage::ShowEventsNow()
{
    for (int r = 0; r < m_nRows; ++r)
    {
        wchar_t text[kGuideNowTitleCapacity + 24] = {};
        for (int i = 0; m_pNow != nullptr && i < m_pNow->Count; ++i)
            if (m_pNow->Services[i].ProgramNumber == m_RowNumbers[r])
            {
                FormatEventNow(m_pNow->Services[i], text, static_cast<int>(sizeof text / sizeof text[0]));
                break;
            }
        SetCell(m_hList, r, kColumnNow, text);
    }
}

void CMoreProgramsPage::ShowDefaultNote()
{
    if (m_Module.Streaming())
        ShowNote(kAppliedAtOnce);
    else
        ShowNote(m_bSeen ? kLatestStream : kNoStreamYet);
}

void CMoreProgramsPage::ShowNote(const wchar_t* text)
{
    SetDlgItemTextW(m_hPage, IDC_PROGRAMS_NOTE, text);
}

void CMoreProgramsPage::Refresh()
{
    // Without the URL server there is no guide: the column stays empty.
    if (m_pNow != nullptr && m_pNowLatest != nullptr)
    {
        if (!m_Module.SnapshotGuideNow(*m_pNowLatest))
            m_pNowLatest->Count = 0;
        if (!SameEvents(*m_pNow, *m_pNowLatest))
        {
            m_pNow.swap(m_pNowLatest);
            ShowEventsNow();
        }
    }
    if (m_pListed == nullptr || m_pLatest == nullptr || !m_Module.SnapshotPrograms(*m_pLatest))
        return;
    const bool firstSight = !m_bSeen;
    m_bSeen = true;
    if (firstSight || !SameList(*m_pLatest, *m_pListed))
    {
        m_pListed.swap(m_pLatest);
        Fill();
    }
    if (firstSight)
        ShowDefaultNote();
}

void CMoreProgramsPage::OnTickChanged(int row, bool ticked)
{
    if (row < 0 || row >= m_nRows)
        return;
    const uint16_t number = m_RowNumbers[row];
    if (ticked == Ticked(number))
        return;
    m_bTouched = true;
    if (ticked)
    {
        m_Ticked.Numbers[m_Ticked.Count++] = number;
        CheckRadioButton(m_hPage, IDC_PROGRAMS_ALL, IDC_PROGRAMS_CHOSEN, IDC_PROGRAMS_CHOSEN);
    }
    else
    {
        int kept = 0;
        for (int i = 0; i < m_Ticked.Count; ++i)
            if (m_Ticked.Numbers[i] != number)
                m_Ticked.Numbers[kept++] = m_Ticked.Numbers[i];
        m_Ticked.Count = kept;
    }
    ShowDefaultNote();
}

bool CMoreProgramsPage::Collect(SOptionTexts& edited, HWND* field, const wchar_t** reason)
{
    if (!m_bTouched)
        return true;  // as the file holds it, even a list the reader would shorten
    wchar_t* text = edited.Text[kOptionPrograms];
    text[0] = 0;
    if (IsDlgButtonChecked(m_hPage, IDC_PROGRAMS_ALL) == BST_CHECKED)
        return true;
    if (m_Ticked.Count == 0)
    {
        *field = m_hList;
        *reason = kNoneTicked;
        return false;
    }
    int length = 0;
    for (int i = 0; i < m_Ticked.Count; ++i)
        length += wsprintfW(text + length, i == 0 ? L"%u" : L", %u", static_cast<unsigned>(m_Ticked.Numbers[i]));
    return true;
}

HWND CMoreProgramsPage::FieldOf(EOptionKey key) const
{
    return key == kOptionPrograms ? m_hList : nullptr;
}

INT_PTR CMoreProgramsPage::Handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_INITDIALOG:
        return FALSE;  // the frame sets the focus

    case WM_COMMAND:
        if ((LOWORD(wParam) == IDC_PROGRAMS_ALL || LOWORD(wParam) == IDC_PROGRAMS_CHOSEN) &&
            HIWORD(wParam) == BN_CLICKED)
        {
            m_bTouched = true;
            return TRUE;
        }
        return FALSE;

    case WM_NOTIFY:
    {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->hwndFrom != m_hList || m_bFilling)
            return FALSE;
        const NMLISTVIEW* change = reinterpret_cast<const NMLISTVIEW*>(lParam);
        const bool tickChange = (change->uChanged & LVIF_STATE) != 0 &&
                                ((change->uNewState ^ change->uOldState) & LVIS_STATEIMAGEMASK) != 0;
        if (!tickChange || change->iItem < 0 || change->iItem >= m_nRows)
            return FALSE;
        const bool ticked = (change->uNewState & LVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
        if (header->code == LVN_ITEMCHANGING)
        {
            // A 17th tick is refused before it shows.
            const bool refused = ticked && !Ticked(m_RowNumbers[change->iItem]) && m_Ticked.Count >= kMaxSelectedPrograms;
            if (refused)
                ShowNote(kTooMany);
            SetWindowLongPtrW(m_hPage, DWLP_MSGRESULT, refused ? TRUE : FALSE);
            return TRUE;
        }
        if (header->code == LVN_ITEMCHANGED)
        {
            if (ticked && !Ticked(m_RowNumbers[change->iItem]) && m_Ticked.Count >= kMaxSelectedPrograms)
            {
                // A list view that did not ask first: the tick is taken back.
                m_bFilling = true;
                ListView_SetCheckState(m_hList, change->iItem, FALSE);
                m_bFilling = false;
                ShowNote(kTooMany);
                return TRUE;
            }
            OnTickChanged(change->iItem, ticked);
            return TRUE;
        }
        return FALSE;
    }

    default:
        return FALSE;
    }
}

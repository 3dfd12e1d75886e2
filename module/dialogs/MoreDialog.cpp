// The second dialog's frame: the tabs, OK / Cancel / Apply, the once-a-second
// refresh of the pages, and the one write of what changed.

#include "dialogs/MoreDialog.h"

#include <commctrl.h>

#include <new>

#include "dialogs/MoreFecPage.h"
#include "dialogs/MoreOutputsPage.h"
#include "dialogs/MoreProgramsPage.h"
#include "dialogs/MoreSendingPage.h"
#include "dialogs/MoreUrlPage.h"
#include "dialogs/DialogModule.h"
#include "resource.h"

CMoreDialog::CMoreDialog(IDialogModule& module) : m_Module(module)
{
    m_Pages[0] = new (std::nothrow) CMoreProgramsPage(module);
    m_Pages[1] = new (std::nothrow) CMoreUrlPage(module);
    m_Pages[2] = new (std::nothrow) CMoreSendingPage(module);
    m_Pages[3] = new (std::nothrow) CMoreFecPage(module);
    m_Pages[4] = new (std::nothrow) CMoreOutputsPage(module);
}

CMoreDialog::~CMoreDialog()
{
    for (CMorePage* page : m_Pages)
        delete page;
}

void CMoreDialog::Run(HINSTANCE instance, HWND owner)
{
    for (CMorePage* page : m_Pages)
        if (page == nullptr)
            return;  // no memory for a page: no dialog, nothing written
    m_hInstance = instance;
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&classes);
    m_Module.ReadOptionalKeyTexts(m_Stored);
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MORE), owner, FrameProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CMoreDialog::FrameProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    CMoreDialog* self = reinterpret_cast<CMoreDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    return self != nullptr ? self->Handle(dialog, message, wParam, lParam) : FALSE;
}

INT_PTR CALLBACK CMoreDialog::PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        SetWindowLongPtrW(page, DWLP_USER, lParam);
    CMorePage* self = reinterpret_cast<CMorePage*>(GetWindowLongPtrW(page, DWLP_USER));
    return self != nullptr ? self->Handle(message, wParam, lParam) : FALSE;
}

void InsertListColumns(HWND page, HWND list, const SListColumn* columns, int count)
{
    for (int c = 0; c < count; ++c)
    {
        RECT width = {0, 0, columns[c].Width, 1};
        MapDialogRect(page, &width);
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = const_cast<wchar_t*>(columns[c].Title);
        column.cx = width.right;
        column.iSubItem = c;
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&column));
    }
}

void SetListCell(HWND list, int row, int column, const wchar_t* text)
{
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text);
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

void CMoreDialog::CreatePages(HWND dialog)
{
    HWND tabs = GetDlgItem(dialog, IDC_MORE_TABS);
    for (int i = 0; i < kPageCount; ++i)
    {
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(m_Pages[i]->Title());
        SendMessageW(tabs, TCM_INSERTITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    }
    // The pages fill the tabs' display area, in the frame's coordinates.
    RECT area;
    GetWindowRect(tabs, &area);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&area), 2);
    SendMessageW(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
    HWND previous = tabs;
    for (int i = 0; i < kPageCount; ++i)
    {
        HWND page = CreateDialogParamW(m_hInstance, MAKEINTRESOURCEW(m_Pages[i]->TemplateId()), dialog, PageProc,
                                       reinterpret_cast<LPARAM>(m_Pages[i]));
        m_hPages[i] = page;
        if (page == nullptr)
            continue;
        // Right behind the tab control (and the pages before it) in the tab
        // order, so that Tab goes from the tabs into the page shown and on
        // to OK; the pages keep the tabs' order.
        SetWindowPos(page, previous, area.left, area.top, area.right - area.left, area.bottom - area.top,
                     SWP_HIDEWINDOW);
        previous = page;
        m_Pages[i]->Init(page, m_Stored);
    }
}

void CMoreDialog::ShowPage(int index)
{
    if (index < 0 || index >= kPageCount)
        return;
    m_nShown = index;
    SendDlgItemMessageW(m_hDialog, IDC_MORE_TABS, TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
    for (int i = 0; i < kPageCount; ++i)
        if (m_hPages[i] != nullptr)
            ShowWindow(m_hPages[i], i == index ? SW_SHOW : SW_HIDE);
}

void CMoreDialog::Refuse(int page, HWND field, const wchar_t* reason)
{
    ShowPage(page);
    m_Pages[page]->ShowNote(reason);
    if (field != nullptr)
        SendMessageW(m_hDialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field), TRUE);
    SetDlgItemTextW(m_hDialog, IDC_MORE_NOTE, L"Nothing written: see the field");
}

bool CMoreDialog::Apply()
{
    SOptionTexts* edited = new (std::nothrow) SOptionTexts(m_Stored);
    SOptionWritePlan* plan = new (std::nothrow) SOptionWritePlan;
    bool written = false;
    if (edited != nullptr && plan != nullptr)
    {
        bool collected = true;
        for (int i = 0; i < kPageCount && collected; ++i)
        {
            HWND field = nullptr;
            const wchar_t* reason = nullptr;
            if (!m_Pages[i]->Collect(*edited, &field, &reason))
            {
                Refuse(i, field, reason);
                collected = false;
            }
        }
        EOptionKey invalid = kOptionKeyCount;
        const wchar_t* reason = nullptr;
        if (collected && !PlanOptionWrites(m_Stored, *edited, *plan, &invalid, &reason))
        {
            for (int i = 0; i < kPageCount; ++i)
                if (HWND field = m_Pages[i]->FieldOf(invalid))
                {
                    Refuse(i, field, reason);
                    break;
                }
            collected = false;
        }
        if (collected)
        {
            m_Module.ApplyOptionalKeys(*plan);
            m_Module.ReadOptionalKeyTexts(m_Stored);
            SetDlgItemTextW(m_hDialog, IDC_MORE_NOTE, L"");
            for (CMorePage* page : m_Pages)
                page->Refresh();
            written = true;
        }
    }
    delete plan;
    delete edited;
    return written;
}

void CMoreDialog::Refresh()
{
    if (m_hDialog == nullptr)
        return;
    for (CMorePage* page : m_Pages)
        page->Refresh();
}

INT_PTR CMoreDialog::Handle(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_INITDIALOG:
        m_hDialog = dialog;
        CreatePages(dialog);
        ShowPage(0);
        return TRUE;  // the focus on the first tab stop: the tabs

    case WM_NOTIFY:
    {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom == IDC_MORE_TABS && header->code == TCN_SELCHANGE)
        {
            ShowPage(static_cast<int>(SendDlgItemMessageW(dialog, IDC_MORE_TABS, TCM_GETCURSEL, 0, 0)));
            return TRUE;
        }
        return FALSE;
    }

    case WM_COMMAND:
        switch (LOWORD(wParam))
        {
        case IDOK:
            if (Apply())
                EndDialog(dialog, IDOK);
            return TRUE;
        case IDC_MORE_APPLY:
            Apply();
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
        }

    case WM_CLOSE:
        EndDialog(dialog, IDCANCEL);
        return TRUE;

    default:
        return FALSE;
    }
}

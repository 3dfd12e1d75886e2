#include "dialogs/MoreStartPage.h"

#include "dialogs/DialogModule.h"

namespace
{
const wchar_t kWhileStreaming[] = L"The stream runs: changes here take effect at the next Start.";
const wchar_t kWhileIdle[] = L"Changes here take effect at the next Start.";
}  // namespace

void CMoreStartPage::InitPage(HWND page)
{
    m_hPage = page;
    m_nShownStreaming = -1;
    ShowNote(L"");
    Refresh();
}

void CMoreStartPage::ShowNote(const wchar_t* text)
{
    SetDlgItemTextW(m_hPage, m_nNoteId, text);
}

void CMoreStartPage::Refresh()
{
    const int streaming = m_Module.Streaming() ? 1 : 0;
    if (m_hPage == nullptr || streaming == m_nShownStreaming)
        return;
    m_nShownStreaming = streaming;
    SetDlgItemTextW(m_hPage, m_nNextStartId, streaming ? kWhileStreaming : kWhileIdle);
}

void CMoreStartPage::ShowText(int id, const wchar_t* text)
{
    m_bFilling = true;
    SetDlgItemTextW(m_hPage, id, text);
    m_bFilling = false;
}

void CMoreStartPage::CollectText(int id, wchar_t (&edited)[kOptionTextCapacity]) const
{
    GetDlgItemTextW(m_hPage, id, edited, kOptionTextCapacity);
}

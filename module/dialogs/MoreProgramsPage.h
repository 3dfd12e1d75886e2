#pragma once
// The Programs tab: the whole transponder, or the programs ticked in a list
// of the transponder's programs by number, name, provider and kind, as the
// running (or the latest) stream's PAT and SDT give them, and the event on
// now (from the guide, which the URL server collects), refreshed each
// second. Programs the key names that the transponder lacks stay listed,
// marked so. At most 16 ticks.

#include <memory>

#include "dialogs/MoreDialog.h"
#include "guide/GuideNow.h"
#include "http/HttpPages.h"
#include "programs/ProgramFilter.h"

class CMoreProgramsPage final : public CMorePage
{
public:
    explicit CMoreProgramsPage(IDialogModule& module);

    int TemplateId() const override;
    const wchar_t* Title() const override { return L"Programs"; }
    void Init(HWND page, const SOptionTexts& stored) override;
    bool Collect(SOptionTexts& edited, HWND* field, const wchar_t** reason) override;
    HWND FieldOf(EOptionKey key) const override;
    void ShowNote(const wchar_t* text) override;
    void Refresh() override;
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    bool Ticked(uint16_t number) const;
    void Fill();
    // The Now column of every row from m_pNow.
    void ShowEventsNow();
    void OnTickChanged(int row, bool ticked);
    void ShowDefaultNote();

    IDialogModule& m_Module;
    HWND m_hPage = nullptr;
    HWND m_hList = nullptr;
    std::unique_ptr<SProgramList> m_pListed;  // as shown now
    std::unique_ptr<SProgramList> m_pLatest;  // the directory's, at a refresh
    std::unique_ptr<SGuideNowList> m_pNow;    // the events on now as shown
    std::unique_ptr<SGuideNowList> m_pNowLatest;
    bool m_bSeen = false;                     // a stream has listed programs
    SProgramSelection m_Ticked{};             // in the order ticked
    uint16_t m_RowNumbers[kMaxListedPrograms + kMaxSelectedPrograms] = {};
    int m_nRows = 0;
    bool m_bFilling = false;                  // the page changes the ticks itself
    bool m_bTouched = false;                  // the user changed a tick or the choice
};

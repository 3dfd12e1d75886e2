#pragma once
// The Outputs tab: output 1 as the options dialog and the other tabs set it,
// then the Output2 ... Output16 keys, each added, edited (a small dialog of
// its own, checked as Start checks it) or removed; and whether the multicast
// outputs are announced by name. Taken at the next Start.
//
// Output 1's row is shown, not edited here: its address, port and packets
// are the options dialog's fields and its options the other tabs', and two
// places for one setting would disagree. A key keeps its number when others
// are added or removed, so that a hand-written key, the log's "Output4:" and
// a player's announcement go on naming the same output.

#include "dialogs/MoreStartPage.h"

class CMoreOutputsPage final : public CMoreStartPage
{
public:
    explicit CMoreOutputsPage(IDialogModule& module);

    int TemplateId() const override;
    const wchar_t* Title() const override { return L"Outputs"; }
    void Init(HWND page, const SOptionTexts& stored) override;
    bool Collect(SOptionTexts& edited, HWND* field, const wchar_t** reason) override;
    HWND FieldOf(EOptionKey key) const override;
    void Refresh() override;
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam) override;

    // For the editing dialog: whether output `number` may have `text`;
    // `line` gets why not, or what will be written.
    using CheckLine = wchar_t[kOptionTextCapacity + 32];
    bool CheckOutput(int number, const wchar_t* text, CheckLine& line) const;

private:
    static constexpr int kOutputKeys = kLastOutputKey - kFirstOutputKey + 1;

    void Fill();
    void ShowFirst();
    void UpdateButtons();
    int SelectedNumber() const;  // the chosen row's output, 0 for none or output 1
    void Edit(int number, bool adding);
    void Remove(int number);
    const wchar_t* TextOf(int number) const { return m_Texts[number - kFirstOutputKey]; }

    HWND m_hList = nullptr;
    wchar_t m_Texts[kOutputKeys][kOptionTextCapacity] = {};  // each Output key as it will be written
    int m_RowNumbers[kOutputKeys + 1] = {};                  // the output of each row
    int m_nRows = 0;
    wchar_t m_szFirstShown[kOptionTextCapacity] = {};        // output 1's row as shown
    bool m_bAnnounceTouched = false;
};

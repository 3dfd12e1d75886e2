#pragma once
// The FEC tab: off, 5 x 5, 10 x 10 or another L x D, with what it costs: the
// extra bandwidth in percent and the two ports the FEC packets go to. A
// matrix written by hand that the presets do not show stays as written in
// the "other" field. Taken at the next Start.

#include "dialogs/MoreStartPage.h"

class CMoreFecPage final : public CMoreStartPage
{
public:
    explicit CMoreFecPage(IDialogModule& module);

    int TemplateId() const override;
    const wchar_t* Title() const override { return L"FEC"; }
    void Init(HWND page, const SOptionTexts& stored) override;
    bool Collect(SOptionTexts& edited, HWND* field, const wchar_t** reason) override;
    HWND FieldOf(EOptionKey key) const override;
    void Refresh() override;
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    // The FEC key's text for the choice the page shows.
    void ChosenText(wchar_t (&text)[kOptionTextCapacity]) const;
    void ShowCost();

    uint16_t m_ShownPort = 0;  // the destination port the cost line names
};

#pragma once
// The Sending tab: RTP or plain UDP, the RTP timestamps (the counter, or the
// clock that FEC receivers need), the TTL, the address to send from (Windows'
// choice or one of this PC's adapters, as the system lists them) and the
// send buffer. Taken at the next Start.

#include "net/AdapterList.h"
#include "dialogs/MoreStartPage.h"

class CMoreSendingPage final : public CMoreStartPage
{
public:
    explicit CMoreSendingPage(IDialogModule& module);

    int TemplateId() const override;
    const wchar_t* Title() const override { return L"Sending"; }
    void Init(HWND page, const SOptionTexts& stored) override;
    bool Collect(SOptionTexts& edited, HWND* field, const wchar_t** reason) override;
    HWND FieldOf(EOptionKey key) const override;
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void FillSources(const wchar_t* stored);

    SAdapterAddresses m_Adapters;
    wchar_t m_szStoredSource[kOptionTextCapacity] = {};  // LocalIPAddress as written
    // A choice the user never made keeps its key as written, even a text
    // the choices cannot show ("SRT" shows as RTP).
    bool m_bProtocolTouched = false;
    bool m_bTimestampsTouched = false;
    bool m_bSourceTouched = false;
};

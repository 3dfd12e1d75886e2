#pragma once
// The Watch by URL tab: the URL server on or off, its port, who may
// connect, how many viewers, the adapter it listens on; while it runs, the
// page's and the playlist's addresses (to copy, and the page's as a QR code
// for a phone's camera) and the viewers watching now, refreshed each second.

#include <memory>

#include "net/AdapterList.h"
#include "server/HttpServer.h"
#include "dialogs/MoreDialog.h"

class CMoreUrlPage final : public CMorePage
{
public:
    explicit CMoreUrlPage(IDialogModule& module);
    ~CMoreUrlPage() override;

    int TemplateId() const override;
    const wchar_t* Title() const override { return L"Watch by URL"; }
    void Init(HWND page, const SOptionTexts& stored) override;
    bool Collect(SOptionTexts& edited, HWND* field, const wchar_t** reason) override;
    HWND FieldOf(EOptionKey key) const override;
    void ShowNote(const wchar_t* text) override;
    void Refresh() override;
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    enum EWho { kWhoThisPc, kWhoHome, kWhoNetworks };
    static constexpr int kMaxAdapterChoices = kMaxListedAdapterAddresses + 2;  // every adapter, the list, a typed one

    void FillAdapters(const wchar_t* stored);
    void EnableFields();
    void ShowMemory();
    void ShowDefaultNote();
    void ShowRunning();
    void ShowViewers();
    void DrawQrCode(const DRAWITEMSTRUCT& item) const;
    void CopyUrl() const;
    void OnCommand(int id, int code);

    IDialogModule& m_Module;
    HWND m_hPage = nullptr;
    SOptionTexts m_Stored;                         // as the frame read them at Init
    bool m_bFilling = false;                       // the page sets its fields itself
    bool m_bTouched[kOptionKeyCount] = {};         // the user changed that key's field
    wchar_t m_AdapterTexts[kMaxAdapterChoices][16] = {};  // HttpAddress for each choice
    int m_nAdapterChoices = 0;
    int m_nWrittenAdapter = -1;                    // the choice that is the stored text as written; -1: none
    bool m_bStreamingNoted = false;                // the note was last set for a running stream
    wchar_t m_szUrl[kHttpUrlCapacity] = {};        // the running server's page address, as shown
    // The QR code of m_szUrl (qrcodegen's format; its first byte is the
    // side, 0 when there is none to draw).
    std::unique_ptr<unsigned char[]> m_pQrCode;
    std::unique_ptr<SHttpViewerSnapshot> m_pViewers;
};

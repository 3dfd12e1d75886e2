#pragma once
// The options dialog (dialog 101): its window and status timer, what its
// fields and status line show, Start and Stop, and the More... dialog it
// opens. It lives as long as the module object that holds it, so that the
// status line's state carries from one opening to the next.

#include <cstdint>

#include <winsock2.h>
#include <windows.h>

#include "dialogs/MainDialogModule.h"

class CMoreDialog;

class CMainDialog
{
public:
    explicit CMainDialog(IMainDialogModule& module) : m_Module(module) {}
    CMainDialog(const CMainDialog&) = delete;
    CMainDialog& operator=(const CMainDialog&) = delete;

    // Modal on the calling thread. `keepIniOnClose`: opened on a running
    // stream whose settings the fields show. Returns whether that still
    // holds at the close (nothing was set in the dialog).
    bool Run(HWND parent, bool keepIniOnClose);

    // Start and Stop as the stream and the device allow; nothing while no
    // dialog is open.
    void UpdateControlsEnable();
    // A new stream: the status periods count from its start.
    void ForgetLastStatus();

    static INT_PTR CALLBACK MyDlgWindowProcStatic(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR MyDlgWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

private:
    friend class CPidDataWriterTestAccess;  // lets the module's tests read the status line

    void InitControls(HWND dialog);
    void StatusPeriod(HWND dialog);
    void ReadBackControls(HWND dialog);
    void FormatDescription(wchar_t* text) const;
    void ShowDescription(HWND dialog);
    void ShowSendFailures(HWND dialog);
    const SProgramSelection& ShownPrograms() const;
    bool ProgramsMissing() const;
    bool PacketBoundaryLost() const;

    IMainDialogModule& m_Module;
    HWND m_hDlg = nullptr;                         // the open options dialog, null when none
    UINT_PTR m_nTimerId = 0;                       // the dialog's status timer, 0 when none
    CMoreDialog* m_pMoreDialog = nullptr;          // the second dialog while it is open
    bool m_bShowingSendFailures = false;           // the description line tells of refused datagrams
    bool m_bAddressEdited = false;                 // the user changed the address control since the dialog opened
    bool m_bControlsShowStreaming = false;         // the stream state the dialog's controls were last set for
    bool m_bKeepIniOnClose = false;                // opened on a running stream, nothing set in it since
    bool m_bShowingProgramsMissing = false;        // the description line says none of the programs is there
    bool m_bShowingBoundaryLost = false;           // the description line says the packet boundary was lost
    bool m_bDroppedInPeriod = false;               // the feed dropped bytes in the status period past
    uint64_t m_nDroppedAtLastStatus = 0;           // output 1's bytes dropped at the previous status update
    uint64_t m_RefusedAtLastStatus[kMaxOutputs] = {};  // each active output's refusals at the previous status update
};

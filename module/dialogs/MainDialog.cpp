// The options dialog: its controls, Start and Stop, and the once-a-second
// status.

#include "dialogs/MainDialog.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <new>

#include "dialogs/MoreDialog.h"
#include "host/HostValues.h"
#include "net/SocketErrorText.h"
#include "settings/OptionsValues.h"
#include "settings/ProgramList.h"
#include "settings/TextCapacities.h"
#include "StatusText.h"
#include "resource.h"

namespace
{
constexpr UINT_PTR kStatusTimerId = 100;
constexpr UINT kStatusTimerPeriodMs = 1000;
constexpr INT_PTR kDialogEndCode = 2;
// "<lead> <what><framing> to udp://<address>:<port> with <N>xTS chunks<parity>".
// The line shows some 70 characters: the settings' own line keeps its long
// lead ("This module sends complete TS to ..."); with programs or FEC the
// lead is shorter, so that the numbers and the matrix stay on the line.
constexpr wchar_t kDescriptionFormat[] = L"%s %s%s to udp://%s:%d with %dxTS chunks%s";
constexpr wchar_t kProgramsMissingFormat[] = L"Program%s %s %s not on this transponder";
// While the cut searches for a packet start, and for a status period in which
// it found one again: the cut stream goes on only from a packet start.
constexpr wchar_t kSearchingFormat[] = L"No sync byte in the stream (%I64u bytes dropped since Start)";
constexpr wchar_t kResynchronisedFormat[] = L"Stream resynchronised (%I64u bytes dropped since Start)";

// The object whose options dialog is being created; one dialog at a time
// works in a process. Each open dialog also keeps its own object in its
// DWLP_USER slot, so a second dialog cannot redirect the first one's messages.
CMainDialog* g_pThisForDialog = nullptr;

constexpr wchar_t kSendFailureFormat[] = L"Sending fails: %s (%I64u datagrams not sent)";

// The address control's four fields as typed, left to right, with blank
// fields left empty: "10.1.." stays visibly incomplete instead of passing for
// 10.1.0.0, and four blank fields are an empty text. Without the four fields,
// the control's own text.
void ReadAddressFields(HWND control, wchar_t (&text)[kAddressCapacity])
{
    HWND fields[4];
    int count = 0;
    for (HWND child = GetWindow(control, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    {
        if (count == 4)
        {
            count = 5;
            break;
        }
        fields[count++] = child;
    }
    if (count != 4)
    {
        GetWindowTextW(control, text, kAddressCapacity);
        return;
    }
    auto left = [](HWND field) {
        RECT r;
        GetWindowRect(field, &r);
        return r.left;
    };
    std::sort(fields, fields + 4, [&](HWND a, HWND b) { return left(a) < left(b); });
    int length = 0;
    bool blank = true;
    for (int i = 0; i < 4; ++i)
    {
        wchar_t part[4];  // a field holds at most three digits
        part[0] = 0;
        GetWindowTextW(fields[i], part, 4);
        blank = blank && part[0] == 0;
        for (int c = 0; part[c] != 0; ++c)
            text[length++] = part[c];
        if (i < 3)
            text[length++] = L'.';
    }
    text[blank ? 0 : length] = 0;  // at most 4 x 3 + 3 = 15 characters
}
}  // namespace

bool CMainDialog::Run(HWND parent, bool keepIniOnClose)
{
    m_bKeepIniOnClose = keepIniOnClose;
    g_pThisForDialog = this;
    // The address control's class lives in the common controls; a host that
    // never registered it would get no dialog at all.
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_INTERNET_CLASSES};
    InitCommonControlsEx(&classes);
    DialogBoxParamW(m_hModuleHandle, MAKEINTRESOURCEW(IDD_OPTIONS), parent, MyDlgWindowProcStatic, 0);
    m_hDlg = nullptr;
    return m_bKeepIniOnClose;
}

INT_PTR CALLBACK CMainDialog::MyDlgWindowProcStatic(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    CMainDialog* self = reinterpret_cast<CMainDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (message == WM_INITDIALOG || self == nullptr)
    {
        self = g_pThisForDialog;
        if (self == nullptr)
            return FALSE;
        SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    }
    return self->MyDlgWindowProc(dialog, message, wParam, lParam);
}

// The running stream's programs while it runs, else those of the next Start.
const SProgramSelection& CMainDialog::ShownPrograms() const
{
    const COutput& first = m_Module.FirstOutput();
    return m_Module.Streaming() ? first.RunPrograms() : first.Settings().Programs;
}

// The stream runs for programs of which the latest PAT lists none.
bool CMainDialog::ProgramsMissing() const
{
    const COutput& first = m_Module.FirstOutput();
    return m_Module.Streaming() && first.RunPrograms().Count > 0 && first.ProgramsPresent() == 0;
}

// The cut of the running stream searches for a packet start now, or dropped
// bytes to find one in the status period past.
bool CMainDialog::PacketBoundaryLost() const
{
    const COutput& first = m_Module.FirstOutput();
    return m_Module.Streaming() && first.RunPrograms().Count > 0 &&
           (first.SearchingPacketStart() || (m_bDroppedInPeriod && first.BytesDropped() != 0));
}

// `text` holds kDialogTextCapacity characters: why the latest start was
// refused, or that the cut lost the packet boundary, or that none of the
// programs is on the transponder, or the settings.
void CMainDialog::FormatDescription(wchar_t* text) const
{
    const bool streaming = m_Module.Streaming();
    const COutput& first = m_Module.FirstOutput();
    // A running stream keeps the framing and parity it started with.
    const SOutputSettings& settings = first.Settings();
    const EDatagramFraming framing = streaming ? first.RunFraming() : settings.Send.Protocol;
    const SFecMatrix& fec = streaming ? first.RunFec() : settings.Send.Fec;
    const bool udp = framing == EDatagramFraming::Udp;
    const bool withFec = fec.Columns != 0 && !udp;
    const SProgramSelection& programs = ShownPrograms();
    wchar_t numbers[kProgramNumbersTextCapacity];
    FormatProgramNumbers(programs.Numbers, programs.Count, numbers);
    const wchar_t* plural = programs.Count > 1 ? L"s" : L"";
    const int port = static_cast<int>(settings.Port);
    const wchar_t* refusal = m_Module.StartRefusal();
    if (refusal[0] != 0)
    {
        wsprintfW(text, L"%s", refusal);
        return;
    }
    if (PacketBoundaryLost())
    {
        wsprintfW(text, first.SearchingPacketStart() ? kSearchingFormat : kResynchronisedFormat,
                  first.BytesDropped());
        return;
    }
    if (ProgramsMissing())
    {
        wsprintfW(text, kProgramsMissingFormat, plural, numbers, programs.Count > 1 ? L"are" : L"is");
        return;
    }
    if (m_Module.FormatHttpLine(text) || m_Module.FormatOutputsLine(text))
        return;
    wchar_t what[kProgramNumbersTextCapacity + 16];
    if (programs.Count > 0)
        wsprintfW(what, L"program%s %s", plural, numbers);
    else
        wsprintfW(what, L"complete TS");
    wchar_t parity[32] = L"";
    if (withFec)
        wsprintfW(parity, L", FEC %dx%d", fec.Columns, fec.Rows);
    const wchar_t* lead = programs.Count == 0 && !withFec ? L"This module sends" : L"Sends";
    wsprintfW(text, kDescriptionFormat, lead, what, udp ? L" without RTP" : L"", settings.szAddress, port,
              settings.Packets, parity);
}

void CMainDialog::ShowDescription(HWND dialog)
{
    const bool refused = m_Module.StartRefusal()[0] != 0;
    m_bShowingSendFailures = false;
    m_bShowingProgramsMissing = !refused && ProgramsMissing();
    m_bShowingBoundaryLost = !refused && PacketBoundaryLost();
    wchar_t text[kDialogTextCapacity];
    FormatDescription(text);
    SetDlgItemTextW(dialog, IDC_DESCRIPTION, text);
}

// Once a status period while streaming: datagrams refused in the period put
// the reason and the count since Start on the description line; a period
// without brings the settings back.
void CMainDialog::ShowSendFailures(HWND dialog)
{
    // The first output that had datagrams refused in the period; with
    // several outputs the line names it.
    SOutputRefusals outputs;
    m_Module.SnapshotRefusals(outputs);
    int failing = -1;
    for (int i = 0; i < outputs.Count; ++i)
    {
        if (outputs.Items[i].Refused > m_RefusedAtLastStatus[i] && failing < 0)
            failing = i;
        m_RefusedAtLastStatus[i] = outputs.Items[i].Refused;
    }
    if (failing >= 0)
    {
        const SOutputRefusals::SOutput& output = outputs.Items[failing];
        wchar_t reason[kReasonCapacity];
        DescribeSocketError(output.LastError, reason);
        wchar_t named[kReasonCapacity + 16];
        if (outputs.Count > 1)
            wsprintfW(named, L"Output%d: %s", output.Number, reason);
        else
            wsprintfW(named, L"%s", reason);
        wchar_t text[kDialogTextCapacity];
        wsprintfW(text, kSendFailureFormat, named, output.Refused);
        SetDlgItemTextW(dialog, IDC_DESCRIPTION, text);
        m_bShowingSendFailures = true;
    }
    else if (m_bShowingSendFailures)
    {
        ShowDescription(dialog);
    }
}

void CMainDialog::ReadBackControls(HWND dialog)
{
    m_bKeepIniOnClose = false;  // the settings are the user's from here on
    wchar_t address[kAddressCapacity];
    std::memcpy(address, m_Module.FirstOutputSettings().szAddress, sizeof address);
    // The address control's fields are what the user typed; its window text
    // is not kept up to date by every implementation of the control, and
    // where it is, a blank field reads as 0.
    HWND addressControl = GetDlgItem(dialog, IDC_ADDRESS);
    DWORD typed = 0;
    const LRESULT filled = SendMessageW(addressControl, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&typed));
    if (filled == 4)
        wsprintfW(address, L"%u.%u.%u.%u", FIRST_IPADDRESS(typed), SECOND_IPADDRESS(typed), THIRD_IPADDRESS(typed),
                  FOURTH_IPADDRESS(typed));
    else if (filled > 0 || m_bAddressEdited)
        ReadAddressFields(addressControl, address);
    // else: all four fields blank and never touched, because the setting is
    // not an address the control can show ("abc"): it stays as written.
    address[kAddressCapacity - 1] = 0;

    wchar_t text[kDialogTextCapacity];
    GetDlgItemTextW(dialog, IDC_PORT, text, kDialogTextCapacity);
    const uint16_t port = PortFromInt(ParseLeadingInt(text));
    GetDlgItemTextW(dialog, IDC_PACKETS, text, kDialogTextCapacity);
    m_Module.SetFirstOutputFields(address, port, ParseLeadingInt(text));
}

void CMainDialog::InitControls(HWND dialog)
{
    m_hDlg = dialog;
    const SOutputSettings& settings = m_Module.FirstOutputSettings();
    // WM_SETTEXT fills the control's fields on Windows; IPM_SETADDRESS
    // does so everywhere, for any address it can express.
    SetDlgItemTextW(dialog, IDC_ADDRESS, settings.szAddress);
    unsigned char octets[4];
    if (ParseDottedQuad(settings.szAddress, octets))
        SendDlgItemMessageW(dialog, IDC_ADDRESS, IPM_SETADDRESS, 0,
                            MAKEIPADDRESS(octets[0], octets[1], octets[2], octets[3]));
    m_bAddressEdited = false;  // from here on, a change of a field is the user's

    wchar_t text[kNumberTextCapacity];
    wsprintfW(text, L"%d", static_cast<int>(settings.Port));
    SetDlgItemTextW(dialog, IDC_PORT, text);

    static const wchar_t* const kPacketChoices[] = {L"1", L"2", L"3", L"4", L"5", L"6", L"7"};
    for (const wchar_t* choice : kPacketChoices)
        SendDlgItemMessageW(dialog, IDC_PACKETS, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice));
    SendDlgItemMessageW(dialog, IDC_PACKETS, CB_SETCURSEL, static_cast<WPARAM>(settings.Packets - 1), 0);

    ShowDescription(dialog);
    // A dialog opened while streaming tells of refusals from now on.
    SOutputRefusals outputs;
    m_Module.SnapshotRefusals(outputs);
    for (int i = 0; i < outputs.Count; ++i)
        m_RefusedAtLastStatus[i] = outputs.Items[i].Refused;
    m_nTimerId = SetTimer(dialog, kStatusTimerId, kStatusTimerPeriodMs, nullptr);
    UpdateControlsEnable();
}

void CMainDialog::StatusPeriod(HWND dialog)
{
    if (m_pMoreDialog != nullptr)
        m_pMoreDialog->Refresh();
    const bool streaming = m_Module.Streaming();
    if (streaming != m_bControlsShowStreaming)
    {
        // A stop this dialog did not make (the host changed channels):
        // buttons, fields and line follow it.
        ShowDescription(dialog);
        UpdateControlsEnable();
    }
    if (streaming)
    {
        wchar_t text[kDialogTextCapacity];
        // Unsigned difference: a wrap of the tick counter does no harm.
        const uint32_t elapsed = GetTickCount() - m_Module.StartTick();
        SetDlgItemTextW(dialog, IDC_RUNNING_TIME, FormatElapsed(elapsed, text));
        SetDlgItemTextW(dialog, IDC_BYTES_SENT, FormatDigitGroups(m_Module.BytesSent(), text));
        const uint64_t dropped = m_Module.FirstOutput().BytesDropped();
        m_bDroppedInPeriod = dropped != m_nDroppedAtLastStatus;
        m_nDroppedAtLastStatus = dropped;
        ShowSendFailures(dialog);
        if (!m_bShowingSendFailures && (m_Module.HttpServerRunning() || ProgramsMissing() != m_bShowingProgramsMissing ||
                                        PacketBoundaryLost() || m_bShowingBoundaryLost))
            ShowDescription(dialog);  // the viewer count, the programs found or lost, the bytes dropped
    }
    else if (m_bShowingSendFailures || m_bShowingProgramsMissing || m_bShowingBoundaryLost)
    {
        ShowDescription(dialog);  // the stream ended while sends failed, programs or the boundary were missing
    }
}

INT_PTR CMainDialog::MyDlgWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message)
    {
    case WM_INITDIALOG:
        InitControls(dialog);
        return TRUE;

    case WM_COMMAND:
        switch (LOWORD(wParam))
        {
        case IDC_START:
            ReadBackControls(dialog);
            m_Module.StartWrite();
            ShowDescription(dialog);  // a refused start says why
            UpdateControlsEnable();
            return TRUE;
        case IDC_STOP:
            m_Module.StopWrite();
            ShowDescription(dialog);
            UpdateControlsEnable();
            return TRUE;
        case IDC_MORE:
        {
            // Idle or streaming alike; modal, owned by this dialog, whose
            // timer goes on meanwhile and refreshes it.
            CMoreDialog* more = new (std::nothrow) CMoreDialog(m_Module);
            m_pMoreDialog = more;
            if (more != nullptr)
                more->Run(m_hModuleHandle, dialog);
            m_pMoreDialog = nullptr;
            delete more;
            ShowDescription(dialog);  // the keys may have changed what it names
            return TRUE;
        }
        case IDCANCEL:
            break;  // Close, below
        case IDC_ADDRESS:
            if (HIWORD(wParam) == EN_CHANGE)
                m_bAddressEdited = true;
            return FALSE;
        default:
            return FALSE;
        }
        [[fallthrough]];
    case WM_CLOSE:
        if (m_nTimerId != 0)
            KillTimer(dialog, m_nTimerId);
        // While a stream runs its fields are locked and show it: nothing to read.
        if (!m_Module.Streaming())
            ReadBackControls(dialog);
        EndDialog(dialog, kDialogEndCode);
        return TRUE;

    case WM_TIMER:
        if (wParam != kStatusTimerId)
            return FALSE;
        StatusPeriod(dialog);
        return TRUE;

    default:
        return FALSE;
    }
}

void CMainDialog::UpdateControlsEnable()
{
    if (m_hDlg == nullptr)
        return;
    const bool streaming = m_Module.Streaming();
    m_bControlsShowStreaming = streaming;
    const bool usable = m_Module.DeviceDeliversTransportStream();
    EnableWindow(GetDlgItem(m_hDlg, IDC_START), usable && !streaming);
    EnableWindow(GetDlgItem(m_hDlg, IDC_STOP), usable && streaming);
    for (int id : {IDC_PACKETS, IDC_ADDRESS, IDC_PORT})
        EnableWindow(GetDlgItem(m_hDlg, id), usable && !streaming);
}

void CMainDialog::ForgetLastStatus()
{
    for (uint64_t& refused : m_RefusedAtLastStatus)
        refused = 0;
    m_nDroppedAtLastStatus = 0;
    m_bDroppedInPeriod = false;
}

#include "PidDataWriter.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "OptionsValues.h"
#include "PidRecorderModuleApi2Manager.h"
#include "RtpFraming.h"
#include "StatusText.h"
#include "WideText.h"
#include "resource.h"

using namespace KelvModuleApi2;

namespace
{
constexpr wchar_t kIniSection[] = L"TovrinStreamer";
constexpr wchar_t kKeyAddress[] = L"IPAddress";
constexpr wchar_t kKeyPort[] = L"UDP_Port";
constexpr wchar_t kKeyPackets[] = L"nTS_UDP";
// Optional keys that the user adds by hand; never written.
constexpr wchar_t kKeyProtocol[] = L"Protocol";
constexpr wchar_t kKeyTtl[] = L"TTL";
constexpr wchar_t kKeyLocalAddress[] = L"LocalIPAddress";
constexpr wchar_t kKeySendBufferSize[] = L"SendBufferSize";
constexpr int kSendOptionTextCapacity = 64;  // longer than any valid value, so a cut never makes one
constexpr wchar_t kDefaultAddress[] = L"127.0.0.1";
constexpr uint16_t kDefaultPort = 43000;
constexpr int kDefaultPackets = 7;
constexpr int kAddressCapacity = 20;     // 19 characters and the terminator
constexpr int kNumberTextCapacity = 16;
constexpr int kDialogTextCapacity = 200;

constexpr int32_t kFilterRecordSize = 80;
constexpr int32_t kFilterValue60 = 5;
constexpr char kFilterName[] = "Tovrin TS Streamer";
static_assert(sizeof(kFilterName) == 19, "the filter name's zero sits at offset 26");

constexpr UINT_PTR kStatusTimerId = 100;
constexpr UINT kStatusTimerPeriodMs = 1000;
constexpr INT_PTR kDialogEndCode = 2;
constexpr wchar_t kDescriptionFormat[] = L"This module sends complete TS to udp://%s:%d with %dxTS chunks";
// The line shows some 70 characters: what differs comes before the address.
constexpr wchar_t kDescriptionFormatUdp[] = L"This module sends complete TS without RTP to udp://%s:%d with %dxTS chunks";

// The object whose options dialog is being created; one dialog at a time
// works in a process. Each open dialog also keeps its own object in its
// DWLP_USER slot, so a second dialog cannot redirect the first one's messages.
CPidDataWriter* g_pThisForDialog = nullptr;

constexpr wchar_t kRefusedAddressFormat[] = L"Not an IPv4 address: \"%s\"";
constexpr wchar_t kSendFailureFormat[] = L"Sending fails: %s (%I64u datagrams not sent)";
constexpr int kReasonCapacity = 128;

// 8-bit text for inet_pton. Characters outside ASCII cannot belong to a dotted
// address; they become '?' so that parsing fails instead of matching by chance.
void NarrowAddress(const wchar_t* wide, char (&narrow)[kAddressCapacity])
{
    int i = 0;
    for (; i < kAddressCapacity - 1 && wide[i] != 0; ++i)
        narrow[i] = wide[i] < 0x80 ? static_cast<char>(wide[i]) : '?';
    narrow[i] = 0;
}

// The system's text for a socket error, on one line without surrounding
// blanks; "Winsock error <code>" where the system has none (Wine has none
// for the network errors).
void DescribeSocketError(int error, wchar_t (&text)[kReasonCapacity])
{
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, static_cast<DWORD>(error), 0, text, kReasonCapacity, nullptr);
    if (length >= kReasonCapacity)
        length = 0;
    for (DWORD i = 0; i < length; ++i)
        if (text[i] == L'\r' || text[i] == L'\n' || text[i] == L'\t')
            text[i] = L' ';
    while (length > 0 && text[length - 1] == L' ')
        --length;
    DWORD first = 0;
    while (first < length && text[first] == L' ')
        ++first;
    if (first == length)
    {
        wsprintfW(text, L"Winsock error %d", error);
        return;
    }
    std::memmove(text, text + first, (length - first) * sizeof(wchar_t));
    text[length - first] = 0;
}

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

// One line in the host's log when sending starts to fail and one when it
// succeeds again (see CSendFailures for when that is).
void LogSendingChange(const CSendFailures& failures, const sockaddr_in& destination)
{
    const unsigned char* ip = reinterpret_cast<const unsigned char*>(&destination.sin_addr);
    const unsigned port = ntohs(destination.sin_port);
    wchar_t line[kDialogTextCapacity + 64];
    if (failures.Failing())
    {
        wchar_t reason[kReasonCapacity];
        DescribeSocketError(failures.LastError(), reason);
        wsprintfW(line, L"Tovrin TS Streamer: sending to %u.%u.%u.%u:%u fails: %s\n", ip[0], ip[1], ip[2], ip[3],
                  port, reason);
    }
    else
    {
        wsprintfW(line, L"Tovrin TS Streamer: sending to %u.%u.%u.%u:%u succeeds again (%I64u datagrams not sent)\n",
                  ip[0], ip[1], ip[2], ip[3], port, failures.RefusedInEpisode());
    }
    OutputDebugStringW(line);
}
}  // namespace

CPidDataWriter::CPidDataWriter(const SCreateModuleParams* params)
    : m_hDlg(nullptr),
      m_CreateParams(),
      m_bStreaming(0),
      m_szIPAddress(),
      m_wUdpPort(0),
      m_nTS(0),
      m_nFilterHandle(0),
      m_dwStartTick(0),
      m_wRtpSeq(0),
      m_dwRtpTimestamp(0),
      m_llTotalBytes(0),
      m_nTimerId(0),
      m_WsaData(),
      m_Socket(INVALID_SOCKET),
      m_DestAddr(),
      m_nWsaStartups(0),
      m_SendFailures(),
      m_nRefusedAtLastStatus(0),
      m_bShowingSendFailures(false),
      m_szStartRefusal(),
      m_bAddressEdited(false),
      m_SendOptions(),
      m_RunFraming(EDatagramFraming::Rtp)
{
    std::memcpy(&m_CreateParams, params, sizeof m_CreateParams);
    LoadOptions();
}

CPidDataWriter::~CPidDataWriter()
{
    // The socket is closed before the socket library is released, and only
    // the starts this object made are released: an unmatched WSACleanup would
    // shut down sockets of the host or of other module objects.
    StopWrite();
    for (; m_nWsaStartups > 0; --m_nWsaStartups)
        WSACleanup();
    SaveOptions();
}

const char* CPidDataWriter::GetReceiverName()
{
    return "PidDataWriter";
}

void CPidDataWriter::SetTransponder(ChListFormat::TChannelInfoStruct*, SSetTransponderAdditionParams*) {}

void CPidDataWriter::SendCommand(const wchar_t*) {}

void CPidDataWriter::UpdateOpenedChannels(ChListFormat::TChannelInfoStruct*, int, SModuleInfo::EEngineTransportType)
{
    StopWrite();
}

// ---------------------------------------------------------------------------
// Streaming

bool CPidDataWriter::DeviceDeliversTransportStream()
{
    IDeviceModule* device = m_CreateParams.pDevice;
    if (device == nullptr)
        return false;
    SModuleInfo info;
    std::memset(&info, 0, sizeof info);
    info.Size = sizeof info;
    device->GetDeviceInfo(&info);
    return info.TransportType == SModuleInfo::ETT_TransportStream;
}

// A dotted IPv4 address other than 0.0.0.0: a text that inet_addr would turn
// into the broadcast address, or "any", must not become a destination.
bool CPidDataWriter::DestinationFromSettings(sockaddr_in& destination) const
{
    unsigned char octets[4];
    char address[kAddressCapacity];
    NarrowAddress(m_szIPAddress, address);
    in_addr parsed{};
    if (!ParseDottedQuad(m_szIPAddress, octets) || inet_pton(AF_INET, address, &parsed) != 1 ||
        parsed.s_addr == INADDR_ANY)
        return false;
    std::memset(&destination, 0, sizeof destination);
    destination.sin_family = AF_INET;
    destination.sin_port = htons(m_wUdpPort);
    destination.sin_addr = parsed;
    return true;
}

void CPidDataWriter::StartWrite()
{
    if (m_bStreaming.load(std::memory_order_relaxed) != 0)
        return;
    StopWrite();
    m_szStartRefusal[0] = 0;
    if (!DeviceDeliversTransportStream())
        return;
    // Streaming from another interface than the user named is worse than not
    // streaming: such a start ends before anything is registered.
    if (!CheckLocalAddress(m_SendOptions, m_szStartRefusal))
        return;

    sockaddr_in destination;
    if (!DestinationFromSettings(destination))
    {
        wsprintfW(m_szStartRefusal, kRefusedAddressFormat, m_szIPAddress);
        return;
    }

    m_llTotalBytes.store(0, std::memory_order_relaxed);
    m_dwStartTick.store(GetTickCount(), std::memory_order_relaxed);
    m_nRefusedAtLastStatus = 0;

    SEngineFilter filter;
    std::memset(&filter, 0, sizeof filter);
    filter.Size = kFilterRecordSize;
    std::memcpy(filter.Name, kFilterName, sizeof kFilterName);
    filter.Value60 = kFilterValue60;
    filter.pReceiver = static_cast<SEngineFilter::IReceiver*>(this);
    m_nFilterHandle = m_CreateParams.pDevice->AddEngineFilter(&filter);
    // From here on traffic may arrive; it is dropped until the flag is set.

    UpdateControlsEnable();

    if (WSAStartup(MAKEWORD(2, 2), &m_WsaData) == 0)
        ++m_nWsaStartups;
    // The destination was checked above: a text that inet_addr would have made
    // 255.255.255.255 never reaches the socket that may broadcast.
    const SOCKET udp = OpenUdpSender(m_SendOptions, destination, m_szStartRefusal);
    if (udp == INVALID_SOCKET)
    {
        // A start without a socket must not look like a running stream.
        if (m_nWsaStartups > 0)
        {
            WSACleanup();
            --m_nWsaStartups;
        }
        StopWrite();
        return;
    }

    // The chunk length and the framing stay as they are now until the stream stops.
    m_nChunkSize = m_nTS * kTsPacketSize;
    Reset();
    {
        // A traffic call that passed the flag test before the last stop may
        // still be on its way to a send: under the lock it sees either no
        // socket or the new socket with the whole new destination and framing.
        SafeCriticalSection guard(m_cs);
        m_Socket = udp;
        m_DestAddr = destination;
        m_RunFraming = m_SendOptions.Protocol;
        m_SendFailures.Reset();
    }
    // Release: a traffic call that sees the flag also sees the chunk length
    // and the emptied aligner.
    m_bStreaming.store(1, std::memory_order_release);
}

void CPidDataWriter::StopWrite()
{
    m_cs.Lock();
    m_bStreaming.store(0, std::memory_order_relaxed);
    if (m_Socket != INVALID_SOCKET)
    {
        closesocket(m_Socket);
        m_Socket = INVALID_SOCKET;
    }
    m_cs.Unlock();

    // Outside the lock: the host may wait here for a traffic call to finish,
    // and that call may be waiting for the lock.
    if (m_nFilterHandle != 0)
    {
        if (m_CreateParams.pDevice != nullptr)
            m_CreateParams.pDevice->RemoveEngineFilter(m_nFilterHandle);
        m_nFilterHandle = 0;
    }
}

void CPidDataWriter::EngineFilter_ReceiveTraffic(unsigned char* data, int length)
{
    ReceiveTraffic(data, length);
}

void CPidDataWriter::ReceiveTraffic(unsigned char* data, int length)
{
    if (m_bStreaming.load(std::memory_order_acquire) == 0)
        return;
    FeedInPacketSteps(*this, data, length);
}

void CPidDataWriter::ReceiveAlignedTraffic(unsigned char* data, int length)
{
    // A change between failing and succeeding goes to the host's log after the
    // lock is released: a debugger attached to the host may hold the call.
    bool changed = false;
    CSendFailures failures;
    sockaddr_in destination;
    {
        SafeCriticalSection guard(m_cs);
        // A traffic call that passed the flag test just before a stop finds
        // the socket closed: there is nothing to send on.
        if (m_Socket == INVALID_SOCKET)
            return;
        auto send = [this](const unsigned char* datagram, int size) {
            return sendto(m_Socket, reinterpret_cast<const char*>(datagram), size, 0,
                          reinterpret_cast<const sockaddr*>(&m_DestAddr), sizeof m_DestAddr) == size;
        };
        const long long accepted =
            SendChunks(data, length, m_nChunkSize, m_RunFraming, m_wRtpSeq, m_dwRtpTimestamp,
                       m_SendFailures.Counting(send, GetTickCount, WSAGetLastError));
        // Only this thread adds to the total: a plain load and store suffice.
        if (accepted != 0)
            m_llTotalBytes.store(m_llTotalBytes.load(std::memory_order_relaxed) + accepted,
                                 std::memory_order_relaxed);
        changed = m_SendFailures.TakeChange();
        if (changed)
        {
            failures = m_SendFailures;
            destination = m_DestAddr;
        }
    }
    if (changed)
        LogSendingChange(failures, destination);
}

// ---------------------------------------------------------------------------
// Options

void CPidDataWriter::SetPacketsPerDatagram(int packets)
{
    m_nTS = ClampPacketsPerDatagram(packets);
    // A running stream keeps the chunk length it started with; the next start
    // takes the new one.
    if (m_bStreaming.load(std::memory_order_relaxed) == 0)
        m_nChunkSize = m_nTS * kTsPacketSize;
}

void CPidDataWriter::SetDefaultOptions()
{
    CopyZeroFilled(m_szIPAddress, kDefaultAddress);
    m_wUdpPort = kDefaultPort;
    SetPacketsPerDatagram(kDefaultPackets);
    m_SendOptions = SSendOptions();
}

void CPidDataWriter::LoadOptions()
{
    SetDefaultOptions();
    // Without a file name from the host, the profile functions would fall
    // back to the system's own win.ini.
    if (m_IniFileName[0] == 0)
        return;

    wchar_t fallback[kAddressCapacity];
    std::memcpy(fallback, m_szIPAddress, sizeof fallback);
    GetPrivateProfileStringW(kIniSection, kKeyAddress, fallback, m_szIPAddress, kAddressCapacity, m_IniFileName);
    m_szIPAddress[kAddressCapacity - 1] = 0;

    wchar_t text[kNumberTextCapacity];
    wchar_t value[kNumberTextCapacity];
    wsprintfW(text, L"%d", static_cast<int>(m_wUdpPort));
    GetPrivateProfileStringW(kIniSection, kKeyPort, text, value, kNumberTextCapacity, m_IniFileName);
    m_wUdpPort = PortFromInt(ParseLeadingInt(value));

    wsprintfW(text, L"%d", m_nTS);
    GetPrivateProfileStringW(kIniSection, kKeyPackets, text, value, kNumberTextCapacity, m_IniFileName);
    SetPacketsPerDatagram(ParseLeadingInt(value));

    LoadSendOptions();
}

// A running stream keeps the socket and framing it started with; what is read
// here takes effect at the next Start.
void CPidDataWriter::LoadSendOptions()
{
    wchar_t text[kSendOptionTextCapacity];
    auto read = [&](const wchar_t* key) {
        GetPrivateProfileStringW(kIniSection, key, L"", text, kSendOptionTextCapacity, m_IniFileName);
        return text;
    };
    m_SendOptions.Protocol = ParseSendProtocol(read(kKeyProtocol));
    m_SendOptions.Ttl = ParseTtl(read(kKeyTtl));
    ParseLocalAddress(read(kKeyLocalAddress), m_SendOptions);
    m_SendOptions.SendBufferSize = ParseSendBufferSize(read(kKeySendBufferSize));
}

void CPidDataWriter::SaveOptions()
{
    if (m_IniFileName[0] == 0)
        return;
    wchar_t text[kNumberTextCapacity];
    WritePrivateProfileStringW(kIniSection, kKeyAddress, m_szIPAddress, m_IniFileName);
    wsprintfW(text, L"%d", static_cast<int>(m_wUdpPort));
    WritePrivateProfileStringW(kIniSection, kKeyPort, text, m_IniFileName);
    wsprintfW(text, L"%d", m_nTS);
    WritePrivateProfileStringW(kIniSection, kKeyPackets, text, m_IniFileName);
}

// ---------------------------------------------------------------------------
// Options dialog

int CPidDataWriter::ShowOptionsDialog(HWND parent)
{
    LoadOptions();
    g_pThisForDialog = this;
    // The address control's class lives in the common controls; a host that
    // never registered it would get no dialog at all.
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_INTERNET_CLASSES};
    InitCommonControlsEx(&classes);
    DialogBoxParamW(m_hModuleHandle, MAKEINTRESOURCEW(IDD_OPTIONS), parent, MyDlgWindowProcStatic, 0);
    m_hDlg = nullptr;
    SaveOptions();
    return 0;
}

INT_PTR CALLBACK CPidDataWriter::MyDlgWindowProcStatic(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    CPidDataWriter* self = reinterpret_cast<CPidDataWriter*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (message == WM_INITDIALOG || self == nullptr)
    {
        self = g_pThisForDialog;
        if (self == nullptr)
            return FALSE;
        SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    }
    return self->MyDlgWindowProc(dialog, message, wParam, lParam);
}

// `text` holds kDialogTextCapacity characters: the settings, or why the
// latest start was refused.
void CPidDataWriter::FormatDescription(wchar_t* text) const
{
    if (m_szStartRefusal[0] != 0)
        wsprintfW(text, L"%s", m_szStartRefusal);
    else
        wsprintfW(text, m_SendOptions.Protocol == EDatagramFraming::Udp ? kDescriptionFormatUdp : kDescriptionFormat,
                  m_szIPAddress, static_cast<int>(m_wUdpPort), m_nTS);
}

void CPidDataWriter::ShowDescription(HWND dialog)
{
    m_bShowingSendFailures = false;
    wchar_t text[kDialogTextCapacity];
    FormatDescription(text);
    SetDlgItemTextW(dialog, IDC_DESCRIPTION, text);
}

// Once a status period while streaming: datagrams refused in the period put
// the reason and the count since Start on the description line; a period
// without brings the settings back.
void CPidDataWriter::ShowSendFailures(HWND dialog)
{
    uint64_t refused;
    int error;
    {
        SafeCriticalSection guard(m_cs);
        refused = m_SendFailures.Refused();
        error = m_SendFailures.LastError();
    }
    const bool refusedInPeriod = refused > m_nRefusedAtLastStatus;
    m_nRefusedAtLastStatus = refused;
    if (refusedInPeriod)
    {
        wchar_t reason[kReasonCapacity];
        DescribeSocketError(error, reason);
        wchar_t text[kDialogTextCapacity];
        wsprintfW(text, kSendFailureFormat, reason, refused);
        SetDlgItemTextW(dialog, IDC_DESCRIPTION, text);
        m_bShowingSendFailures = true;
    }
    else if (m_bShowingSendFailures)
    {
        ShowDescription(dialog);
    }
}

void CPidDataWriter::ReadBackControls(HWND dialog)
{
    // The address control's fields are what the user typed; its window text
    // is not kept up to date by every implementation of the control, and
    // where it is, a blank field reads as 0.
    HWND addressControl = GetDlgItem(dialog, IDC_ADDRESS);
    DWORD address = 0;
    const LRESULT filled = SendMessageW(addressControl, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&address));
    if (filled == 4)
        wsprintfW(m_szIPAddress, L"%u.%u.%u.%u", FIRST_IPADDRESS(address), SECOND_IPADDRESS(address),
                  THIRD_IPADDRESS(address), FOURTH_IPADDRESS(address));
    else if (filled > 0 || m_bAddressEdited)
        ReadAddressFields(addressControl, m_szIPAddress);
    // else: all four fields blank and never touched, because the setting is
    // not an address the control can show ("abc"): it stays as written.
    m_szIPAddress[kAddressCapacity - 1] = 0;

    wchar_t text[kDialogTextCapacity];
    GetDlgItemTextW(dialog, IDC_PORT, text, kDialogTextCapacity);
    m_wUdpPort = PortFromInt(ParseLeadingInt(text));
    GetDlgItemTextW(dialog, IDC_PACKETS, text, kDialogTextCapacity);
    SetPacketsPerDatagram(ParseLeadingInt(text));
}

INT_PTR CPidDataWriter::MyDlgWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message)
    {
    case WM_INITDIALOG:
    {
        m_hDlg = dialog;
        // WM_SETTEXT fills the control's fields on Windows; IPM_SETADDRESS
        // does so everywhere, for any address it can express.
        SetDlgItemTextW(dialog, IDC_ADDRESS, m_szIPAddress);
        unsigned char octets[4];
        if (ParseDottedQuad(m_szIPAddress, octets))
            SendDlgItemMessageW(dialog, IDC_ADDRESS, IPM_SETADDRESS, 0,
                                MAKEIPADDRESS(octets[0], octets[1], octets[2], octets[3]));
        m_bAddressEdited = false;  // from here on, a change of a field is the user's

        wchar_t text[kNumberTextCapacity];
        wsprintfW(text, L"%d", static_cast<int>(m_wUdpPort));
        SetDlgItemTextW(dialog, IDC_PORT, text);

        static const wchar_t* const kPacketChoices[] = {L"1", L"2", L"3", L"4", L"5", L"6", L"7"};
        for (const wchar_t* choice : kPacketChoices)
            SendDlgItemMessageW(dialog, IDC_PACKETS, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice));
        SendDlgItemMessageW(dialog, IDC_PACKETS, CB_SETCURSEL, static_cast<WPARAM>(m_nTS - 1), 0);

        ShowDescription(dialog);
        {
            // A dialog opened while streaming tells of refusals from now on.
            SafeCriticalSection guard(m_cs);
            m_nRefusedAtLastStatus = m_SendFailures.Refused();
        }
        m_nTimerId = SetTimer(dialog, kStatusTimerId, kStatusTimerPeriodMs, nullptr);
        UpdateControlsEnable();
        return TRUE;
    }

    case WM_COMMAND:
        switch (LOWORD(wParam))
        {
        case IDC_START:
            ReadBackControls(dialog);
            StartWrite();
            ShowDescription(dialog);  // a refused start says why
            UpdateControlsEnable();
            return TRUE;
        case IDC_STOP:
            StopWrite();
            ShowDescription(dialog);
            UpdateControlsEnable();
            return TRUE;
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
        ReadBackControls(dialog);
        EndDialog(dialog, kDialogEndCode);
        return TRUE;

    case WM_TIMER:
        if (wParam != kStatusTimerId)
            return FALSE;
        if (m_bStreaming.load(std::memory_order_relaxed) != 0)
        {
            wchar_t text[kDialogTextCapacity];
            // Unsigned difference: a wrap of the tick counter does no harm.
            const uint32_t elapsed = GetTickCount() - m_dwStartTick.load(std::memory_order_relaxed);
            SetDlgItemTextW(dialog, IDC_RUNNING_TIME, FormatElapsed(elapsed, text));
            SetDlgItemTextW(dialog, IDC_BYTES_SENT, TrafficToStr(m_llTotalBytes.load(std::memory_order_relaxed), text));
            ShowSendFailures(dialog);
        }
        else if (m_bShowingSendFailures)
        {
            ShowDescription(dialog);  // the stream ended while sends failed
        }
        return TRUE;

    default:
        return FALSE;
    }
}

void CPidDataWriter::UpdateControlsEnable()
{
    if (m_hDlg == nullptr)
        return;
    const bool streaming = m_bStreaming.load(std::memory_order_relaxed) != 0;
    const bool usable = DeviceDeliversTransportStream();
    EnableWindow(GetDlgItem(m_hDlg, IDC_START), usable && !streaming);
    EnableWindow(GetDlgItem(m_hDlg, IDC_STOP), usable && streaming);
    for (int id : {IDC_PACKETS, IDC_ADDRESS, IDC_PORT})
        EnableWindow(GetDlgItem(m_hDlg, id), usable && !streaming);
}

wchar_t* CPidDataWriter::TrafficToStr(long long value, wchar_t* text)
{
    return FormatDigitGroups(value, text);
}

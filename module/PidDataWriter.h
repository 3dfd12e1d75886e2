#pragma once
// One receiver-module object: the aligner that re-frames the host's traffic,
// the host's IReceiverModule, and the filter receiver that the host's engine
// feeds while the stream runs.

#include <atomic>
#include <cstdint>

#include <winsock2.h>
#include <ws2tcpip.h>

#include "ts/CriticalSection.h"
#include "rtp/FecEncoder.h"
#include "programs/ProgramFeed.h"
#include "HttpServer.h"
#include "rtp/SendFailures.h"
#include "SendOptions.h"
#include "ts/TsAligner.h"
#include "UdpSender.h"
#include "host_api.h"

class CPidDataWriter final : public CTsAligner,
                       public KelvModuleApi2::IReceiverModule,
                       public KelvModuleApi2::SEngineFilter::IReceiver
{
public:
    explicit CPidDataWriter(const KelvModuleApi2::SCreateModuleParams* params);
    ~CPidDataWriter();

    CPidDataWriter(const CPidDataWriter&) = delete;
    CPidDataWriter& operator=(const CPidDataWriter&) = delete;

    // Sends every whole chunk as one datagram (RTP, or plain UDP), under m_cs.
    void ReceiveAlignedTraffic(unsigned char* data, int length) override;

    virtual const char* GetReceiverName();

    // IReceiverModule
    int ShowOptionsDialog(HWND parent) override;
    void SetTransponder(ChListFormat::TChannelInfoStruct* channel,
                        KelvModuleApi2::SSetTransponderAdditionParams* params) override;
    void SendCommand(const wchar_t* command) override;
    void ReceiveTraffic(unsigned char* data, int length) override;

    // SEngineFilter::IReceiver
    void EngineFilter_ReceiveTraffic(unsigned char* data, int length) override;

    // IReceiverModule: a change of the host's channels ends the stream.
    void UpdateOpenedChannels(ChListFormat::TChannelInfoStruct* channels, int count,
                              KelvModuleApi2::SModuleInfo::EEngineTransportType type) override;

    void StartWrite();
    void StopWrite();

    void SetDefaultOptions();
    void LoadOptions();
    void SaveOptions();

    void UpdateControlsEnable();
    wchar_t* TrafficToStr(long long value, wchar_t* text);

    static INT_PTR CALLBACK MyDlgWindowProcStatic(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR MyDlgWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

private:
    friend class CPidDataWriterTestAccess;  // lets the module's tests read the stream state

    // m_nTS brought into 1..7; the chunk size follows it only while no stream runs.
    void SetPacketsPerDatagram(int packets);
    void LoadSendOptions();
    void TakeRunningSettings();
    void FormatDescription(wchar_t* text) const;
    bool DeviceDeliversTransportStream();
    bool DestinationFromSettings(sockaddr_in& destination) const;
    void ReadBackControls(HWND dialog);
    void ShowDescription(HWND dialog);
    void ShowSendFailures(HWND dialog);
    bool SendTo(const sockaddr_in& destination, const unsigned char* datagram, int size);
    // Column and row parity (PidDataWriterFec.cpp).
    bool RefuseFecStart();
    void BeginFec(const sockaddr_in& destination);
    void SendFecPacket(EFecDirection direction, const unsigned char* packet, int size);
    void FinishFec();
    const SProgramSelection& ShownPrograms() const;
    bool ProgramsMissing() const;
    // The URL server (PidDataWriterHttp.cpp): its keys, read at each Start;
    // its start, which may refuse the stream's; its line in the dialog.
    void LoadHttpOptions();
    bool StartHttpServer();
    bool FormatHttpLine(wchar_t* text) const;

    critical_section m_cs;                           // held while sending and while stopping
    HWND m_hDlg;                                     // the open options dialog, null when none
    KelvModuleApi2::SCreateModuleParams m_CreateParams;  // copy of the host's create record
    std::atomic<int32_t> m_bStreaming;               // 1 while streaming; read without the lock
    wchar_t m_szIPAddress[20];                       // destination, dotted IPv4 text
    uint16_t m_wUdpPort;                             // destination port, host byte order
    int32_t m_nTS;                                   // packets per datagram, 1..7
    int32_t m_nFilterHandle;                         // from AddEngineFilter, 0 when none
    std::atomic<uint32_t> m_dwStartTick;             // GetTickCount at the latest start
    uint16_t m_wRtpSeq;                              // sequence number of the next datagram
    uint32_t m_dwRtpTimestamp;                       // timestamp of the previous datagram
    std::atomic<int64_t> m_llTotalBytes;             // payload bytes accepted since the latest start
    UINT_PTR m_nTimerId;                             // the dialog's status timer, 0 when none
    WSADATA m_WsaData;                               // filled by WSAStartup
    SOCKET m_Socket;                                 // the UDP socket, INVALID_SOCKET when none
    sockaddr_in m_DestAddr;                          // receiver of the datagrams
    int32_t m_nWsaStartups;                          // WSAStartup calls not yet matched by WSACleanup
    CSendFailures m_SendFailures;                    // datagrams refused since the latest start; under m_cs
    uint64_t m_nRefusedAtLastStatus;                 // m_SendFailures.Refused() at the previous status update
    bool m_bShowingSendFailures;                     // the description line tells of refused datagrams
    SendRefusalText m_szStartRefusal;                // why the latest start was refused; empty when it was not
    bool m_bAddressEdited;                           // the user changed the address control since the dialog opened
    SSendOptions m_SendOptions;                      // the optional sending keys, as last loaded
    EDatagramFraming m_RunFraming;                   // framing of the running stream, fixed at its start
    SFecMatrix m_RunFec;                             // parity of the running stream, fixed at its start
    bool m_bControlsShowStreaming;                   // the stream state the dialog's controls were last set for
    bool m_bKeepIniOnClose;                          // opened on a running stream, nothing set in it since
    sockaddr_in m_FecColumnAddr;                     // the destination's port + 2; under m_cs
    sockaddr_in m_FecRowAddr;                        // the destination's port + 4; under m_cs
    CFecEncoder m_Fec;                               // parity of the running stream; under m_cs
    CRtpTimestamps m_RtpTimestamps;                  // the running stream's timestamps, set at its start; under m_cs
    SProgramSelection m_Programs;                    // the optional Programs key, as last loaded; Count 0: all
    SProgramSelection m_RunPrograms;                 // the running stream's programs, fixed at its start
    CProgramFeed m_ProgramFeed;                      // cuts m_RunPrograms out; traffic thread only, Reset at Start
    std::atomic<int32_t> m_nProgramsPresent;         // the filter's ProgramsPresent(), for the dialog
    bool m_bShowingProgramsMissing;                  // the description line says none of the programs is there
    SHttpOptions m_HttpOptions;                      // the URL server's keys, as read at the latest Start
    CHttpServer m_HttpServer;                        // runs from Start to Stop when HttpPort is set
};

// The flag, the total and the start tick are read across threads without the
// lock: atomics of the same size, plain loads and stores.
static_assert(sizeof(std::atomic<int32_t>) == 4 && std::atomic<int32_t>::is_always_lock_free, "");
static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free, "");
static_assert(sizeof(std::atomic<int64_t>) == 8 && std::atomic<int64_t>::is_always_lock_free, "");

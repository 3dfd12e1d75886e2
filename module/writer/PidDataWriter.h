#pragma once
// One receiver-module object: the host's IReceiverModule, the filter receiver
// that the host's engine feeds while the stream runs, and the outputs that
// the traffic goes to. It holds the options dialog and the announcements'
// rounds, and answers what they ask.

#include <atomic>
#include <cstdint>
#include <memory>

#include <winsock2.h>
#include <ws2tcpip.h>

#include "ts/CriticalSection.h"
#include "server/HttpServer.h"
#include "outputs/Announcer.h"
#include "outputs/Output.h"
#include "net/UdpSender.h"
#include "dialogs/MainDialog.h"
#include "dialogs/MainDialogModule.h"
#include "host/host_api.h"
#include "programs/ProgramDirectory.h"

struct SOptionTexts;
struct SOptionWritePlan;

class CPidDataWriter final : public KelvModuleApi2::IReceiverModule,
                       public KelvModuleApi2::SEngineFilter::IReceiver,
                       public IMainDialogModule
{
public:
    explicit CPidDataWriter(const KelvModuleApi2::SCreateModuleParams* params);
    ~CPidDataWriter();

    CPidDataWriter(const CPidDataWriter&) = delete;
    CPidDataWriter& operator=(const CPidDataWriter&) = delete;

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

    void StartWrite() override;
    void StopWrite() override;

    void SetDefaultOptions();
    void LoadOptions();
    void SaveOptions();
    // The optional keys as the file holds them, and a change of them that
    // the second dialog planned (PidDataWriterOptions.cpp).
    void ReadOptionalKeyTexts(SOptionTexts& texts) const override;
    void ApplyOptionalKeys(const SOptionWritePlan& plan) override;
    // The transponder's programs as the latest stream saw them (names from
    // its SDT), for the second dialog; false before the first stream.
    bool SnapshotPrograms(SProgramList& programs) override;
    bool Streaming() const override { return m_bStreaming.load(std::memory_order_relaxed) != 0; }
    // While the URL server runs: the address to open and who watches now,
    // for the second dialog; false when it does not run.
    bool FormatHttpUrl(wchar_t (&url)[kHttpUrlCapacity]) const override;
    bool SnapshotHttpViewers(SHttpViewerSnapshot& viewers) const override;
    // The event on now of each program, from the guide the URL server
    // collects; false (nothing) when it does not run.
    bool SnapshotGuideNow(SGuideNowList& events) const override;
    // Output 1's destination port, whose + 2 and + 4 the FEC tab names.
    uint16_t DestinationPort() const override { return First().Settings().Port; }
    // Output 1 as set now, which the Outputs tab shows and checks others against.
    const SOutputSettings& FirstOutputSettings() const override { return First().Settings(); }

    // What the options dialog asks (PidDataWriterDialog.cpp, PidDataWriterHttp.cpp).
    bool DeviceDeliversTransportStream() override;
    const COutput& FirstOutput() const override { return First(); }
    void SetFirstOutputFields(const wchar_t (&address)[kAddressCapacity], uint16_t port, int packets) override;
    const wchar_t* StartRefusal() const override { return m_szStartRefusal; }
    bool FormatHttpLine(wchar_t* text) const override;
    bool FormatOutputsLine(wchar_t* text) const override;
    bool HttpServerRunning() const override { return m_HttpServer.Running(); }
    uint32_t StartTick() const override { return m_dwStartTick.load(std::memory_order_relaxed); }
    int64_t BytesSent() const override { return m_llTotalBytes.load(std::memory_order_relaxed); }
    void SnapshotRefusals(SOutputRefusals& refusals) override;

private:
    friend class CPidDataWriterTestAccess;  // lets the module's tests read the stream state

    // Output 1's packets per datagram brought into 1..7; its chunk size
    // follows only while no stream runs.
    void SetPacketsPerDatagram(int packets);
    void LoadSendOptions();
    // The Output<k> keys into the outputs they name, and the checks between
    // outputs; false with m_szStartRefusal naming the output (PidDataWriterOutputs.cpp).
    bool LoadOutputKeys();
    bool RefuseCollidingOutputs();
    bool CheckOutputs();
    // "Output<k>: " in front of m_szStartRefusal for outputs 2..16.
    void NameRefusal(const COutput& output);
    // Output 1: the section's own keys, the dialog's fields.
    COutput& First() { return m_Outputs[0]; }
    const COutput& First() const { return m_Outputs[0]; }
    // The URL server (PidDataWriterHttp.cpp): its keys, read at each Start;
    // its start, which may refuse the stream's.
    void LoadHttpOptions();
    bool StartHttpServer();
    void ServeOutputDescriptions();

    critical_section m_cs;                           // held while sending and while stopping
    CMainDialog m_Dialog;                            // the options dialog, open or not, and its status line
    KelvModuleApi2::SCreateModuleParams m_CreateParams;  // copy of the host's create record
    std::atomic<int32_t> m_bStreaming;               // 1 while streaming; read without the lock
    int32_t m_nFilterHandle;                         // from AddEngineFilter, 0 when none
    std::atomic<uint32_t> m_dwStartTick;             // GetTickCount at the latest start
    std::atomic<int64_t> m_llTotalBytes;             // payload bytes accepted since the latest start
    WSADATA m_WsaData;                               // filled by WSAStartup
    int32_t m_nWsaStartups;                          // WSAStartup calls not yet matched by WSACleanup
    SendRefusalText m_szStartRefusal;                // why the latest start was refused; empty when it was not
    SHttpOptions m_HttpOptions;                      // the URL server's keys, as read at the latest Start
    CHttpServer m_HttpServer;                        // runs from Start to Stop when HttpPort is set
    COutput m_Outputs[kMaxOutputs];                  // output k at k - 1, whether its key is there or not
    // The programs of the transponder, fed by output 1 with the source
    // packets whether or not the URL server runs: its page, the second
    // dialog and the announcements' names list them. Made at the first
    // Start (some 140 KB), kept to the object's end.
    std::unique_ptr<CProgramDirectory> m_pProgramDirectory;
    COutput* m_Active[kMaxOutputs];                  // the outputs of the latest start, output 1 first
    int32_t m_nOutputs;                              // how many, 1..kMaxOutputs
    CAnnouncer m_Announcer;                          // the rounds of the outputs' announcements
};

// The flag, the total and the start tick are read across threads without the
// lock: atomics of the same size, plain loads and stores.
static_assert(sizeof(std::atomic<int32_t>) == 4 && std::atomic<int32_t>::is_always_lock_free, "");
static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free, "");
static_assert(sizeof(std::atomic<int64_t>) == 8 && std::atomic<int64_t>::is_always_lock_free, "");

#pragma once
// One destination of the stream: its settings, its socket, and the path from
// the host's traffic to its datagrams: cut (the programs it carries), frame
// (chunks of N whole packets, aligned on packet starts), protect (parity),
// send. The module object holds a fixed array of them and starts, feeds and
// stops each; output 1 is the one the dialog shows.

#include <atomic>
#include <cstdint>

#include <winsock2.h>
#include <ws2tcpip.h>

#include "outputs/TrafficTap.h"
#include "settings/OutputSettings.h"
#include "net/UdpSender.h"
#include "http/OutputDescriptions.h"
#include "programs/ProgramDirectory.h"
#include "programs/ProgramFeed.h"
#include "rtp/DatagramStream.h"
#include "sap/SapAnnouncement.h"
#include "ts/CriticalSection.h"
#include "ts/TsAligner.h"

// Output 1 and the Output<k> keys' 2..16.
constexpr int kMaxOutputs = 16;

// FEC that an output cannot send (plain UDP, no room above the port for
// its two FEC ports): true with `refusal` saying why.
bool RefuseFecSettings(const SOutputSettings& settings, SendRefusalText& refusal);

// "Output<k>: " in front of an output's refusal, whose first letter becomes
// small unless the word is in capitals ("FEC").
void NameOutputRefusal(int number, SendRefusalText& refusal);

class COutput final : public CTsAligner
{
public:
    COutput();
    ~COutput();
    COutput(const COutput&) = delete;
    COutput& operator=(const COutput&) = delete;

    // Once, by the module object: the output's number (1 for the section's
    // own keys, k for Output<k>), the lock its sends run under and the
    // running total of payload bytes that all its outputs add to.
    void Attach(int number, critical_section& lock, std::atomic<int64_t>& totalBytes);
    int Number() const { return m_nNumber; }
    // Whether its log lines name it: only when the stream has several outputs.
    void NameInLog(bool name) { m_bNameInLog = name; }

    SOutputSettings& Settings() { return m_Settings; }
    const SOutputSettings& Settings() const { return m_Settings; }
    // Settings().Packets brought into 1..7; the chunk size follows it only
    // while the output does not run.
    void SetPacketsPerDatagram(int packets, bool running);

    // A start in three steps, so that nothing is registered or opened before
    // every output has been checked. False with `refusal` saying why.
    bool CheckStart(SendRefusalText& refusal);
    bool Open(SendRefusalText& refusal);
    // The checked destination and the opened socket take effect; `viewers`
    // and `programs`, when given, get the whole stream as this output sees it
    // before the cut. `announce`: a multicast destination is announced.
    void Begin(ITrafficTap* viewers, CProgramDirectory* programs, bool announce);
    // Under the lock: the last parity goes out, the announcement is deleted
    // and the socket closes.
    void Finish();

    // Traffic thread: whether this run announces, and its announcement with
    // `name` and `provider` (UTF-8, empty when unknown); a description that
    // changed deletes the previous one first. Returns the bytes sent.
    bool Announces() const { return m_bAnnounce; }
    int Announce(const char* name, const char* provider);
    // After Begin, on the thread that starts and stops: the output as the
    // URL server describes it (its number, programs and session).
    void Describe(SServedOutput& output) const;
    // Closes a socket that Open made but Begin never took.
    void Abandon();

    // A host block through the output's cut into its frames and out.
    void Feed(unsigned char* data, int length);
    // Dialog thread, while running: another choice of programs, which the
    // traffic thread takes before its next block (see SwitchPrograms).
    void ChangePrograms(const SProgramSelection& programs);

    bool Running() const { return m_Socket != INVALID_SOCKET; }
    const sockaddr_in& Destination() const { return m_DestAddr; }
    EDatagramFraming RunFraming() const { return m_Stream.Framing(); }
    const SFecMatrix& RunFec() const { return m_Stream.RunFec(); }
    // The running stream's programs as the dialog thread last set them.
    const SProgramSelection& RunPrograms() const { return m_ShownRunPrograms; }
    int ProgramsPresent() const { return m_nProgramsPresent.load(std::memory_order_relaxed); }
    // The cut's search for a packet start now, and the bytes it dropped since Start.
    bool SearchingPacketStart() const { return m_ProgramFeed.Searching(); }
    uint64_t BytesDropped() const { return m_ProgramFeed.BytesDropped(); }
    // Under the lock.
    const CSendFailures& SendFailures() const { return m_Stream.Failures(); }

    // The running destination and packets per datagram into Settings().
    void TakeRunningSettings();

private:
    friend class CPidDataWriterTestAccess;  // lets the module's tests read the stream state

    // Whole chunks, under the lock: frame, protect, send.
    void ReceiveAlignedTraffic(unsigned char* data, int length) override;

    bool DestinationFromSettings(sockaddr_in& destination) const;
    bool RefuseFecStart(SendRefusalText& refusal) const;
    void BeginFec(const sockaddr_in& destination);
    const sockaddr_in& FecAddress(EFecDirection direction) const;
    void ObserveSource(const unsigned char* packets, int count);
    void SwitchPrograms();
    bool SendTo(const sockaddr_in& destination, const unsigned char* datagram, int size) const;
    void PrepareAnnouncement(bool announce);
    SSapSession Session() const;
    // Under the lock: `session` announced, or deleted; its size when sent.
    int SendAnnouncement(const SSapSession& session, bool deletion);

    SOutputSettings m_Settings;                  // as last loaded or set in the dialog
    int32_t m_nNumber;                           // 1..16, as the keys name it
    bool m_bNameInLog;                           // several outputs run: log lines say which
    critical_section* m_pLock;                   // the module's: held while sending and while stopping
    std::atomic<int64_t>* m_pTotalBytes;         // the module's total of accepted payload bytes
    sockaddr_in m_StartAddr;                     // checked by CheckStart, taken by Begin
    SOCKET m_OpenedSocket;                       // made by Open, taken by Begin
    SOCKET m_Socket;                             // the UDP socket, INVALID_SOCKET when none; under the lock
    sockaddr_in m_DestAddr;                      // receiver of the datagrams; under the lock
    sockaddr_in m_FecColumnAddr;                 // the destination's port + 2; under the lock
    sockaddr_in m_FecRowAddr;                    // the destination's port + 4; under the lock
    CDatagramStream m_Stream;                    // framing, RTP counters, parity, refusals; under the lock
    SProgramSelection m_RunPrograms;             // the running stream's programs; traffic thread once started
    SProgramSelection m_ShownRunPrograms;        // the same, as the dialog names them; dialog thread
    SProgramSelection m_PendingPrograms;         // a choice for the running stream; under the lock
    std::atomic<int32_t> m_nProgramsPending;     // 1 while m_PendingPrograms waits for the traffic thread
    int32_t m_nCutPacketsHeld;                   // packets of the cut the aligner holds after a switch to the whole stream
    CProgramFeed m_ProgramFeed;                  // cuts m_RunPrograms out; traffic thread only
    std::atomic<int32_t> m_nProgramsPresent;     // the filter's ProgramsPresent(), for the dialog
    ITrafficTap* m_pViewers;                     // gets the whole stream; null for all but output 1
    CProgramDirectory* m_pPrograms;              // likewise: the transponder's programs
    bool m_bAnnounce;                            // this run announces its multicast destination
    bool m_bAnnounced;                           // m_Announced went out and is not deleted yet
    sockaddr_in m_SapAddr;                       // the announcements' group and port
    SSapSession m_Announced;                     // the latest description sent; traffic thread and Stop, under the lock
    SSapSession m_RunSession;                    // the running stream as it began: what the URL server describes
    bool m_bBegun = false;                       // m_RunSession holds a run's
};

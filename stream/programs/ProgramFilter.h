#pragma once
// Cuts a set of programs out of a complete transport stream and makes them a
// valid transport stream of their own: a PAT of just those programs, their
// PMTs and the PIDs those name, the SDT actual and EIT actual cut to their
// services, TDT/TOT; everything else is dropped.
//
// Normative references: ISO/IEC 13818-1 (PAT, PMT, sections), ETSI EN 300 468
// (SDT, EIT, TDT/TOT).
//
// Every packet costs one look-up in a table of all 8192 PIDs; only the table
// PIDs (0x00, 0x11, 0x12 and the selected PMTs) do more. Nothing allocates:
// every section buffer is a member, sized to its table's maximum.

#include <cstdint>

#include "ts/PacketSink.h"
#include "ts/TsConstants.h"
#include "psi/PsiSection.h"

constexpr int kMaxSelectedPrograms = 16;

// The programs to keep; Count 0 means the whole transport stream (no filtering).
struct SProgramSelection
{
    uint16_t Numbers[kMaxSelectedPrograms];
    int Count;
};

class CProgramFilter
{
public:
    CProgramFilter();
    CProgramFilter(const CProgramFilter&) = delete;
    CProgramFilter& operator=(const CProgramFilter&) = delete;

    // Forgets every table and PID and starts anew for `programs` (the state of
    // a fresh Start). Numbers 0 and repeats are ignored.
    void Reset(const SProgramSelection& programs);
    // Another choice for a stream that goes on: as Reset, except that the
    // rewritten tables keep their continuity counters and take a new
    // version, so that receivers follow the new PAT at once. A filter that
    // passed the whole stream so far continues the source's PAT instead:
    // `sourcePatVersion` and `sourcePatContinuity` are those of its latest
    // PAT packet (-1: none seen).
    void Reselect(const SProgramSelection& programs, int sourcePatVersion, int sourcePatContinuity);
    // One source packet (188 bytes) in; 0..many packets out through `sink`
    // before it returns. A packet without the sync byte is dropped. No
    // allocation, nothing read beyond the 188 bytes.
    void Feed(const unsigned char* packet, IPacketSink& sink)
    {
        if (packet[0] == kTsSyncByte)
            FeedSynced(packet, sink);
    }
    // The same for a packet whose sync byte the caller has seen: a stage that
    // looks for packet starts anyway does not pay for the check twice.
    void FeedSynced(const unsigned char* packet, IPacketSink& sink);
    // Of the selected programs, how many the latest valid source PAT lists;
    // -1 before any PAT.
    int ProgramsPresent() const;
    // The selected program numbers the latest PAT lacks are put into
    // `missing` (at most kMaxSelectedPrograms); returns their count. Before
    // any PAT, all of them.
    int MissingPrograms(uint16_t* missing) const;

private:
    // What a packet of a PID gets.
    enum EPidRole : unsigned char
    {
        kDrop,
        kPass,
        kPat,  // rewritten
        kPmt,  // passed, and read for the PIDs it names
        kSdt,  // rewritten
        kEit,  // the selected services' sections re-packetized
    };

    // The most PIDs one PMT can name: each costs at least 5 bytes of a
    // 1024-byte section (stream entry) or 6 (CA descriptor), plus PCR_PID.
    static constexpr int kMaxPidsPerProgram = 256;

    struct SProgram
    {
        uint16_t Number = 0;
        bool Listed = false;            // in the latest PAT
        uint16_t PmtPid = 0;            // valid while Listed
        unsigned char PatSection = 0;   // the PAT section that lists it
        int PidCount = 0;               // PIDs its latest PMT names
        uint16_t Pids[kMaxPidsPerProgram];
        CSectionAssembler Pmt{PmtBuffer, kMaxPsiSectionSize};
        unsigned char PmtBuffer[kMaxPsiSectionSize];
    };

    void HandleTablePacket(const unsigned char* packet, EPidRole role, IPacketSink& sink);
    void OnPatSection(const unsigned char* section, int length, IPacketSink& sink);
    void OnPmtSection(SProgram& program, const unsigned char* section, int length);
    void OnSdtSection(const unsigned char* section, int length, IPacketSink& sink);
    void OnEitSection(const unsigned char* section, int length, IPacketSink& sink);
    void WriteOutputPat(IPacketSink& sink);
    void RebuildPidRoles();
    bool IsSelected(uint16_t number) const;

    unsigned char m_PidRoles[8192];          // EPidRole of every PID
    bool m_bWholeStream = true;              // no program selected: all passes
    bool m_bStarted = false;                 // the first output PAT went out
    int m_nPrograms = 0;                     // selected programs, ascending
    SProgram m_Programs[kMaxSelectedPrograms];

    bool m_bPatSeen = false;                 // a valid source PAT arrived
    uint16_t m_nTransportStreamId = 0;       // of the latest source PAT
    unsigned char m_PatBuffer[kMaxPsiSectionSize];
    CSectionAssembler m_PatAssembler{m_PatBuffer, kMaxPsiSectionSize};
    CSectionWriter m_PatWriter;
    uint32_t m_nPatContent = 0;              // checksum of the latest output PAT's content
    bool m_bPatWritten = false;
    int m_nPatVersion = 0;

    unsigned char m_SdtBuffer[kMaxSiSectionSize];
    CSectionAssembler m_SdtAssembler{m_SdtBuffer, kMaxSiSectionSize};
    CSectionWriter m_SdtWriter;
    uint32_t m_SdtContent[256];              // checksum of each output section's content
    bool m_SdtWritten[256];
    int m_nSdtVersion = 0;

    unsigned char m_EitBuffer[kMaxSiSectionSize];
    CSectionAssembler m_EitAssembler{m_EitBuffer, kMaxSiSectionSize};
    CSectionWriter m_EitWriter;

    unsigned char m_Output[kMaxSiSectionSize];  // a rewritten section being built
};

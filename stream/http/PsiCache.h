#pragma once
// The latest PAT and the PMTs it names, as the packets that carried them,
// so that a client joining a live stream gets them first and its player can
// start at once instead of waiting for the next repetition. Fed every packet
// on the traffic thread: fixed storage, no allocation, a table look-up per
// packet.

#include <cstddef>
#include <cstdint>

#include "psi/PsiSection.h"
#include "ts/TsConstants.h"

constexpr int kPsiSectionMaxPackets = 6; // a 1024-byte section in 188-byte packets
constexpr int kPsiCacheMaxPmts = 64;     // PMT PIDs remembered; more are not prefixed

class CPsiCache
{
public:
    CPsiCache();

    // Looks at one whole packet (188 bytes, sync byte first; others ignored).
    void Observe(const unsigned char* packet);
    // Observes `count` consecutive packets.
    void ObservePackets(const unsigned char* packets, int count);

    // Forgets everything (a new transponder).
    void Reset();

    // Number of packets the prefix holds now: the PAT's, then each PMT's in
    // the PAT's order. 0 until a complete PAT has been seen.
    int PrefixPackets() const;
    // Copies the prefix into `out` (room for `capacity` packets); returns the
    // packets copied (whole sections only: a PMT that does not fit is left out).
    int CopyPrefix(unsigned char* out, int capacity) const;

private:
    // The packets of one section, from the one that starts it to the one
    // that completes it.
    struct SSectionPackets
    {
        unsigned char Packets[kPsiSectionMaxPackets][kTsPacketSize];
        int nPackets = 0;
    };
    // One PID's sections: the latest complete one is kept while the next is
    // assembled; its CRC is computed as the bytes pass, so nothing but the
    // packets themselves is stored.
    struct SPidSections
    {
        uint16_t Pid = 0;
        SSectionPackets Stored;   // the latest complete, valid section
        SSectionPackets Pending;  // the one being assembled; nPackets 0: none
        int nSectionBytes = 0;    // bytes of the pending section seen so far
        int nSectionLength = -1;  // its total length; -1 until its first 3 bytes are in
        uint32_t Crc = 0;         // CRC-32/MPEG-2 of the bytes seen so far
        unsigned char Head[3] = {}; // table_id and section_length
    };

    void ObservePid(SPidSections& sections, const unsigned char* packet, bool isPat);
    // Feeds section bytes; true when they completed a valid section.
    bool FeedSection(SPidSections& sections, const unsigned char* bytes, int count, bool isPat);
    void CompleteSection(SPidSections& sections, bool isPat);
    void ReadPat();
    void ForgetPmts();

    SPidSections m_Pat;                    // PID 0
    unsigned char m_PatBytes[kMaxPsiSectionSize] = {};   // the pending PAT section's bytes, to read its programs
    SPidSections m_Pmts[kPsiCacheMaxPmts]; // the PMT PIDs, in PAT order
    int m_nPmts = 0;
    uint8_t m_PmtSlot[8192] = {};          // PID -> 1 + index in m_Pmts; 0: not a PMT PID
};

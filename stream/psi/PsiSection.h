#pragma once
// Sections of program-specific and service information: reassembly from
// transport-stream packets, CRC-32, the fields every long section shares, and
// a writer that cuts a section into packets. Tables are thin layers on top
// (PatTable.h, PmtTable.h, SdtTable.h, EitTable.h). Nothing here allocates:
// the caller owns every buffer.
//
// Normative references: ISO/IEC 13818-1 2.4.4 (sections, pointer_field,
// CRC_32 in annex A), ETSI EN 300 468 5.1 (SI sections).
//
// A long section (section_syntax_indicator 1):
//
//   byte 0     table_id
//   byte 1-2   syntax(1) private(1) reserved(2) section_length(12)
//   byte 3-4   table_id_extension (PAT: transport_stream_id, PMT: program_number,
//              SDT: transport_stream_id, EIT: service_id)
//   byte 5     reserved(2) version_number(5) current_next_indicator(1)
//   byte 6     section_number
//   byte 7     last_section_number
//   ...        the table's own fields
//   last 4     CRC_32 over the whole section, high byte first
//
// section_length counts the bytes after byte 2, so a section is 3 + section_length long.

#include <cstdint>

#include "ts/PacketSink.h"
#include "ts/TsConstants.h"

constexpr int kSectionHeaderSize = 3;            // table_id and section_length
constexpr int kLongSectionHeaderSize = 8;        // through last_section_number
constexpr int kSectionCrcSize = 4;
constexpr int kMinLongSectionSize = kLongSectionHeaderSize + kSectionCrcSize;  // 12
constexpr int kMaxPsiSectionSize = 1024;         // PAT, PMT, CAT (ISO/IEC 13818-1)
constexpr int kMaxSiSectionSize = 4096;          // EIT and private sections (EN 300 468)
constexpr unsigned char kStuffingByte = 0xFF;    // table_id 0xFF: the rest of the packet is stuffing

constexpr uint16_t kPatPid = 0x0000;
constexpr uint16_t kSdtPid = 0x0011;             // SDT and BAT
constexpr uint16_t kEitPid = 0x0012;
constexpr uint16_t kTdtPid = 0x0014;             // TDT and TOT
constexpr uint16_t kNullPid = 0x1FFF;

// CRC-32 of ISO/IEC 13818-1 annex A: polynomial 0x04C11DB7, initial value
// all ones, no reflection, no final inversion. A whole section including its
// CRC_32 field gives 0.
uint32_t Crc32Mpeg(const unsigned char* data, int length, uint32_t crc = 0xFFFFFFFFu);

// --- Fields of a transport-stream packet header -----------------------------

inline uint16_t PacketPid(const unsigned char* packet)
{
    return static_cast<uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}

// --- Fields shared by every section (valid only on a section of at least
// kMinLongSectionSize bytes for the long-section ones) -----------------------

inline unsigned char SectionTableId(const unsigned char* section) { return section[0]; }
inline bool SectionHasSyntax(const unsigned char* section) { return (section[1] & 0x80) != 0; }
inline int SectionLength(const unsigned char* section) { return ((section[1] & 0x0F) << 8) | section[2]; }
inline uint16_t SectionTableIdExtension(const unsigned char* section)
{
    return static_cast<uint16_t>((section[3] << 8) | section[4]);
}
inline int SectionVersion(const unsigned char* section) { return (section[5] >> 1) & 0x1F; }
inline bool SectionIsCurrent(const unsigned char* section) { return (section[5] & 0x01) != 0; }
inline int SectionNumber(const unsigned char* section) { return section[6]; }
inline int SectionLastNumber(const unsigned char* section) { return section[7]; }

// True for a complete long section of `length` bytes: the syntax bit set,
// section_length matching `length`, room for the header and the CRC, the
// CRC right. Each table checks its own table_id and fields on top.
bool IsValidLongSection(const unsigned char* section, int length);

// True when [begin, end) of `section` is a whole number of entries, each a
// header of `headerSize` bytes whose 12-bit length at `lengthAt` (its low 12
// bits, high byte first) counts the bytes that follow the header: the shape
// of the PMT's stream loop, the SDT's service loop, the EIT's event loop.
bool LoopEntriesFit(const unsigned char* section, int begin, int end, int headerSize, int lengthAt);

// Writes the first 8 bytes of a long section; the length is set by FinishLongSection.
void WriteLongSectionHeader(unsigned char* section, unsigned char tableId, uint16_t tableIdExtension,
                            int version, int sectionNumber, int lastSectionNumber);
// Sets section_length for a section of `length` bytes (CRC included) and
// writes the CRC into its last 4 bytes.
void FinishLongSection(unsigned char* section, int length);

// Collects the sections of one PID from its packets, the way a receiver
// does: the pointer_field, several sections in one packet, a section across
// packets, stuffing after the last section. A section longer than the buffer
// or a pointer_field past the packet end discards what is being collected and
// the rest of that packet; a continuity-counter jump, a packet with the
// transport_error_indicator or a section cut short by the next start discards
// the section in progress. A packet repeated once with the same continuity
// counter (a duplicate) is ignored. Nothing is read beyond the 188 bytes.
//
//   assembler.Start(packet);
//   while (const unsigned char* section = assembler.Next(length)) ...
class CSectionAssembler
{
public:
    // `buffer` holds `capacity` bytes (the table's largest section) and
    // outlives the assembler.
    CSectionAssembler(unsigned char* buffer, int capacity);
    CSectionAssembler(const CSectionAssembler&) = delete;
    CSectionAssembler& operator=(const CSectionAssembler&) = delete;

    // Forgets the section in progress and the continuity counter.
    void Reset();
    // Takes one packet of the PID (it must stay valid until Next returns null).
    void Start(const unsigned char* packet);
    // The next section this packet completes, `length` bytes, valid until the
    // next call; null when the packet holds no more.
    const unsigned char* Next(int& length);

private:
    unsigned char* m_pBuffer;
    int m_nCapacity;
    int m_nUsed = 0;            // bytes of the section in progress
    int m_nTotal = 0;           // its length once its first 3 bytes are in; 0 before
    bool m_bCollecting = false; // a section is in progress
    int m_nLastCounter = -1;    // continuity counter of the last packet with payload
    bool m_bDuplicateSeen = false;
    const unsigned char* m_pPacket = nullptr;
    int m_nPosition = 0;        // next unread payload byte of the packet
    int m_nEnd = 0;             // end of the packet's payload (0: nothing to read)
    int m_nStartsAt = 0;        // where the pointer_field says new sections begin
    bool m_bUnitStart = false;  // the packet may begin sections
};

// Cuts sections into packets of one PID with a continuity counter that runs
// on from section to section: each section starts a packet (pointer_field
// 0), the last packet is filled up with 0xFF.
class CSectionWriter
{
public:
    explicit CSectionWriter(uint16_t pid = kNullPid) : m_nPid(pid) {}
    // A new PID, the counter restarting at 0.
    void Reset(uint16_t pid);
    // The next packet follows one with `counter` (0..15) on the same PID.
    void ContinueAfter(int counter) { m_nCounter = (counter + 1) & 0x0F; }
    // `length` is 3..kMaxSiSectionSize.
    void Write(const unsigned char* section, int length, IPacketSink& sink);

private:
    uint16_t m_nPid;
    int m_nCounter = 0;         // continuity counter of the next packet
};

#pragma once
// Column and row parity (SMPTE 2022-1, the Pro-MPEG COP3 scheme) for the RTP
// media datagrams: L columns by D rows of datagrams form a matrix; every
// column and every row gets one FEC packet, the XOR of its datagrams, from
// which a receiver rebuilds one lost datagram of that column or row.
//
//  FEC packet: RTP header (PT 96, a sequence of its own), then
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |      SNBase low bits          |        Length recovery        |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |E| PT recovery |                    Mask = 0                   |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                          TS recovery                          |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |X|D|type |index|    Offset     |      NA       |SNBase ext bits|
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |           XOR of the protected datagrams' payloads            |
//
// A row's packet leaves right after the row's last datagram. A matrix's
// column packets leave spread over the next matrix, one after every D
// datagrams, so that they never go out as one burst; they wait in a second
// set of accumulators while the next matrix's columns build up. At the end
// of a stream the caller completes the matrix (CompleteFecMatrix) so that
// every datagram sent is protected.
//
// No allocation and no system call: the accumulators are fixed arrays, the
// XOR runs as each datagram goes, and the caller's `send` puts each packet on
// the wire (column packets to the media port + 2, row packets to + 4).

#include <cstdint>
#include <cstring>

#include "rtp/RtpFraming.h"
#include "ts/TsConstants.h"

constexpr int kFecMinDimension = 4;
constexpr int kFecMaxDimension = 20;
constexpr int kFecMaxCells = 100;  // L x D
constexpr int kFecHeaderSize = 16;
constexpr int kFecPacketHeadersSize = kRtpHeaderSize + kFecHeaderSize;
constexpr int kFecMaxPacketSize = kFecPacketHeadersSize + kMaxChunkSize;  // 1344
constexpr unsigned char kRtpPayloadTypeFec = 96;
constexpr uint16_t kFecColumnPortOffset = 2;
constexpr uint16_t kFecRowPortOffset = 4;

// Offsets in the FEC header (after the RTP header).
constexpr int kFecSnBase = 0;          // 2 bytes
constexpr int kFecLengthRecovery = 2;  // 2 bytes
constexpr int kFecEAndPtRecovery = 4;  // E bit and 7 bits
constexpr int kFecMask = 5;            // 3 bytes, 0
constexpr int kFecTsRecovery = 8;      // 4 bytes
constexpr int kFecXDTypeIndex = 12;    // X, D, type 0 (XOR), index 0
constexpr int kFecOffset = 13;
constexpr int kFecNa = 14;
constexpr int kFecSnBaseExt = 15;
static_assert(kFecSnBaseExt + 1 == kFecHeaderSize, "FEC header fields fill 16 bytes");
static_assert(kFecMaxPacketSize == 1344, "largest FEC packet: headers and a 7-packet payload");

constexpr unsigned char kFecExtensionBit = 0x80;  // E: the header is the extended one
constexpr unsigned char kFecRowBit = 0x40;        // D: 0 for columns, 1 for rows

enum class EFecDirection : int
{
    Column = 0,  // to the media port + 2
    Row = 1,     // to the media port + 4
};

// "LxD" as the user writes it: 0 columns means no FEC.
struct SFecMatrix
{
    int32_t Columns = 0;  // L
    int32_t Rows = 0;     // D
};

inline bool IsValidFecMatrix(int columns, int rows)
{
    return columns >= kFecMinDimension && columns <= kFecMaxDimension && rows >= kFecMinDimension &&
           rows <= kFecMaxDimension && columns * rows <= kFecMaxCells;
}

class CFecEncoder
{
public:
    // A new run: no FEC when the matrix is not valid. The matrices start
    // afresh; the two FEC sequence numbers run on.
    void Begin(SFecMatrix matrix);
    void End() { m_nColumns = 0; }
    bool Active() const { return m_nColumns != 0; }
    int Columns() const { return m_nColumns; }
    int Rows() const { return m_nRows; }

    // Media datagrams still missing from the current matrix; 0 at a matrix
    // boundary.
    int DatagramsToCompleteMatrix() const
    {
        return m_nPosition == 0 ? 0 : m_nColumns * m_nRows - m_nPosition;
    }

    // Takes one RTP media datagram (header and payload, every one of a run
    // the same size) into its column and row, and sends what is due after it.
    // `send(EFecDirection, const unsigned char* packet, int size)`.
    template <class SendFec>
    void Protect(const unsigned char* datagram, int size, SendFec&& send);

    // The column packets still waiting, all at once: at the end of a stream
    // no next matrix comes to spread them over.
    template <class SendFec>
    void SendPendingColumns(SendFec&& send)
    {
        while (m_nPendingSent < m_nPendingCount)
            SendPendingColumn(send);
    }

    uint16_t ColumnSequence() const { return m_wSequence[0]; }
    uint16_t RowSequence() const { return m_wSequence[1]; }
    void SetSequences(uint16_t column, uint16_t row)
    {
        m_wSequence[0] = column;
        m_wSequence[1] = row;
    }

private:
    // One FEC packet in the making: the recovery fields as they build up and
    // the packet itself, whose payload the datagrams are XORed into.
    struct SAccumulator
    {
        uint16_t SnBase;
        uint16_t LengthRecovery;
        uint8_t PtRecovery;
        uint32_t TsRecovery;
        uint32_t LastTimestamp;  // of the newest datagram in it; the FEC packet's own
        int32_t PayloadSize;
        // The payload starts 8-byte aligned, for the word-wide XOR.
        alignas(8) unsigned char Storage[4 + kFecMaxPacketSize];
        unsigned char* Packet() { return Storage + 4; }
        unsigned char* Payload() { return Storage + 4 + kFecPacketHeadersSize; }
    };

    static void Open(SAccumulator& a, const unsigned char* datagram, int payloadSize);
    static void Add(SAccumulator& a, const unsigned char* datagram, int payloadSize);
    // The headers in front of the payload; returns the packet's size.
    int Seal(SAccumulator& a, EFecDirection direction, uint8_t offset, uint8_t na);

    template <class SendFec>
    void SendPendingColumn(SendFec&& send)
    {
        SAccumulator& a = m_Columns[1 - m_nCurrentSet][m_nPendingSent++];
        const int size = Seal(a, EFecDirection::Column, static_cast<uint8_t>(m_nColumns),
                              static_cast<uint8_t>(m_nRows));
        send(EFecDirection::Column, static_cast<const unsigned char*>(a.Packet()), size);
    }

    int32_t m_nColumns = 0;      // L; 0 when off
    int32_t m_nRows = 0;         // D
    int32_t m_nPosition = 0;     // datagrams of the current matrix so far
    int32_t m_nCurrentSet = 0;   // which column set the current matrix builds up
    int32_t m_nPendingCount = 0; // column packets of the previous matrix
    int32_t m_nPendingSent = 0;  // of them already sent
    uint16_t m_wSequence[2] = {0, 0};  // next RTP sequence number: columns, rows
    SAccumulator m_Row;
    SAccumulator m_Columns[2][kFecMaxDimension];
};

// XOR of `size` bytes of `from` into `to`, eight bytes at a time (the
// compiler widens it further); `to` is 8-byte aligned.
void XorInto(unsigned char* to, const unsigned char* from, int size);

template <class SendFec>
void CFecEncoder::Protect(const unsigned char* datagram, int size, SendFec&& send)
{
    if (!Active() || size <= kRtpHeaderSize || size > kMaxDatagramSize)
        return;
    const int payloadSize = size - kRtpHeaderSize;
    const int column = m_nPosition % m_nColumns;
    const int row = m_nPosition / m_nColumns;
    SAccumulator& c = m_Columns[m_nCurrentSet][column];
    if (row == 0)
        Open(c, datagram, payloadSize);
    else
        Add(c, datagram, payloadSize);
    if (column == 0)
        Open(m_Row, datagram, payloadSize);
    else
        Add(m_Row, datagram, payloadSize);
    ++m_nPosition;

    if (column == m_nColumns - 1)
    {
        const int rowSize = Seal(m_Row, EFecDirection::Row, 1, static_cast<uint8_t>(m_nColumns));
        send(EFecDirection::Row, static_cast<const unsigned char*>(m_Row.Packet()), rowSize);
    }
    if (m_nPosition % m_nRows == 0 && m_nPendingSent < m_nPendingCount)
        SendPendingColumn(send);
    if (m_nPosition == m_nColumns * m_nRows)
    {
        // Every pending column has gone out by now: L of them, one per D of
        // the L x D datagrams.
        m_nCurrentSet = 1 - m_nCurrentSet;
        m_nPendingCount = m_nColumns;
        m_nPendingSent = 0;
        m_nPosition = 0;
    }
}

// Ends a run: the current matrix is filled up with datagrams of null packets
// (PID 0x1FFF, which every receiver discards) through `sendMedia` (as
// SendChunks takes it, and stamped as the run's media by `stamp`; each is
// protected on its way), then the column packets still pending follow.
// Nothing is sent when FEC is off.
template <class Stamp, class SendMedia, class SendFec>
void CompleteFecMatrix(CFecEncoder& fec, int chunkSize, uint16_t& sequence, uint32_t& timestamp, Stamp&& stamp,
                       SendMedia&& sendMedia, SendFec&& sendFec)
{
    if (!fec.Active())
        return;
    if (chunkSize >= kTsPacketSize && chunkSize <= kMaxChunkSize && chunkSize % kTsPacketSize == 0)
    {
        unsigned char nulls[kMaxChunkSize];
        for (int offset = 0; offset < chunkSize; offset += kTsPacketSize)
        {
            unsigned char* packet = nulls + offset;
            packet[0] = kTsSyncByte;
            packet[1] = 0x1F;  // PID 0x1FFF
            packet[2] = 0xFF;
            packet[3] = 0x10;  // payload only, continuity counter 0
            std::memset(packet + 4, 0xFF, kTsPacketSize - 4);
        }
        for (int missing = fec.DatagramsToCompleteMatrix(); missing > 0; --missing)
            SendChunks(nulls, chunkSize, chunkSize, EDatagramFraming::Rtp, sequence, timestamp, stamp, sendMedia);
    }
    fec.SendPendingColumns(sendFec);
}

// `send` (as SendChunks takes it) followed by `fec.Protect` for every
// datagram, sent or refused: the receiver counts on its sequence number.
template <class Send, class SendFec>
auto ProtectedBy(CFecEncoder& fec, Send&& send, SendFec&& sendFec)
{
    return [&fec, &send, &sendFec](const unsigned char* datagram, int size) {
        const bool sent = send(datagram, size);
        fec.Protect(datagram, size, sendFec);
        return sent;
    };
}

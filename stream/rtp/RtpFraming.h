#pragma once
// RTP framing of transport-stream chunks.
// Normative references: IETF RFC 3550 (RTP), RFC 3551 and RFC 2250 (payload
// type 33, MPEG-2 transport stream).
//
//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |V=2|P|X|  CC=0 |M|   PT=33     |       sequence number         |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                           timestamp                           |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                           SSRC = 0                            |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |            N x 188 bytes of transport stream                  |

#include <cstdint>
#include <cstring>

#include "ts/PacketCopy.h"
#include "ts/TsConstants.h"

constexpr unsigned char kRtpVersion2 = 0x80;       // V=2, no padding, no extension, no CSRC
constexpr unsigned char kRtpPayloadTypeMp2t = 33;  // marker bit never set
constexpr uint32_t kRtpTicksPerDatagram = 90;      // 1 ms of the 90 kHz clock per datagram

// Bytes that never change from one datagram to the next.
inline void WriteRtpFixedHeader(unsigned char* header)
{
    header[0] = kRtpVersion2;
    header[1] = kRtpPayloadTypeMp2t;
    header[8] = header[9] = header[10] = header[11] = 0;  // SSRC
}

// Sequence number and timestamp, high byte first.
inline void WriteRtpCounters(unsigned char* header, uint16_t sequence, uint32_t timestamp)
{
    header[2] = static_cast<unsigned char>(sequence >> 8);
    header[3] = static_cast<unsigned char>(sequence);
    header[4] = static_cast<unsigned char>(timestamp >> 24);
    header[5] = static_cast<unsigned char>(timestamp >> 16);
    header[6] = static_cast<unsigned char>(timestamp >> 8);
    header[7] = static_cast<unsigned char>(timestamp);
}

// What each datagram carries: the chunk behind an RTP header, or the chunk
// alone for receivers that take only plain udp://.
enum class EDatagramFraming : int32_t
{
    Rtp = 0,
    Udp = 1,
};

// The timestamps by default: 90 more for every datagram.
struct SRtpCounterStep
{
    uint32_t operator()(uint32_t previous) const { return previous + kRtpTicksPerDatagram; }
};

// Sends every whole chunk of `data` as one datagram, in memory order:
// `send(datagram, size)` returns whether the socket accepted it. An RTP
// datagram is assembled in one stack buffer; a plain one is the chunk where
// it lies, since nothing goes in front of it. Sequence and timestamp advance
// for every chunk, sent or not and in either framing, so a receiver sees a
// lost datagram as a gap; `stamp(previous)` gives each datagram's timestamp
// just before it goes. Returns the payload bytes that were accepted. A
// chunk size the buffer cannot hold sends nothing.
template <class Stamp, class Send>
long long SendChunks(const unsigned char* data, int length, int chunkSize, EDatagramFraming framing,
                     uint16_t& sequence, uint32_t& timestamp, Stamp&& stamp, Send&& send)
{
    unsigned char datagram[kMaxDatagramSize];
    WriteRtpFixedHeader(datagram);
    if (data == nullptr || chunkSize < 1 || chunkSize > kMaxChunkSize || length < chunkSize)
        return 0;

    long long accepted = 0;
    for (int offset = 0; length - offset >= chunkSize; offset += chunkSize)
    {
        timestamp = stamp(timestamp);
        bool sent;
        if (framing == EDatagramFraming::Rtp)
        {
            WriteRtpCounters(datagram, sequence, timestamp);
            CopyPackets(datagram + kRtpHeaderSize, data + offset, chunkSize);
            sent = send(static_cast<const unsigned char*>(datagram), kRtpHeaderSize + chunkSize);
        }
        else
        {
            sent = send(data + offset, chunkSize);
        }
        if (sent)
            accepted += chunkSize;
        ++sequence;
    }
    return accepted;
}

template <class Send>
long long SendChunks(const unsigned char* data, int length, int chunkSize, EDatagramFraming framing,
                     uint16_t& sequence, uint32_t& timestamp, Send&& send)
{
    return SendChunks(data, length, chunkSize, framing, sequence, timestamp, SRtpCounterStep(), send);
}

#pragma once
// Shared by the aligner's unit tests and its fuzz target, so that both check
// the same properties: a probe that records and checks every delivery, a
// step-by-step model of the re-framing to compare against, a generator of
// valid streams and the whole-stream property.
//
// Checks return an empty string when they hold and a description otherwise,
// so that GoogleTest can print it and the fuzzer can abort with it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ts/TsAligner.h"

namespace probe {

// Where a delivered `data` pointer lies.
enum class Source { Buffer, Piece, Null, Elsewhere };

inline const char* SourceName(Source source)
{
    switch (source)
    {
    case Source::Buffer: return "buffer";
    case Source::Piece: return "piece";
    case Source::Null: return "null";
    default: return "elsewhere";
    }
}

struct Delivery
{
    Source source;
    long offset;  // from the start of m_Buffer or of the caller's piece
    int length;
};

// Records every ReceiveAlignedTraffic call, copies the bytes it is handed (so
// a read outside the caller's bytes or m_Buffer shows under AddressSanitizer)
// and checks at each call that the bytes lie inside the piece being fed or
// inside m_Buffer. A guard word behind the aligner's fields shows a write past
// them, since an overrun inside one object is invisible to the sanitizer.
class ProbeAligner final : public CTsAligner
{
public:
    static constexpr uint64_t kGuard = 0x5AFEC0DE5AFEC0DEull;

    void SetChunkSize(int size) { m_nChunkSize = size; }
    int ChunkSize() const { return m_nChunkSize; }
    int Buffered() const { return m_nBuffered; }
    void SetBuffered(int count) { m_nBuffered = count; }
    const unsigned char* Buffer() const { return m_Buffer; }

    // Declares the caller's bytes that deliveries may point into until the
    // next call; `length` may be negative or `data` null for hostile calls.
    void SetPiece(const unsigned char* data, long length)
    {
        m_Piece = data;
        m_PieceLength = length < 0 ? 0 : length;
    }

    // One direct call of the aligner on a piece, with its deliveries in `calls`.
    void Feed(unsigned char* data, int length)
    {
        SetPiece(data, length);
        calls.clear();
        ReceiveNotAlignedTraffic(data, length);
    }

    bool GuardIntact() const { return m_GuardBehind == kGuard; }

    std::vector<Delivery> calls;           // since the last Feed or clear
    std::vector<unsigned char> delivered;  // every delivered byte, in order
    std::string violation;                 // first delivery outside the allowed bytes

protected:
    void ReceiveAlignedTraffic(unsigned char* data, int length) override
    {
        const auto at = reinterpret_cast<uintptr_t>(data);
        const auto buffer = reinterpret_cast<uintptr_t>(m_Buffer);
        const auto piece = reinterpret_cast<uintptr_t>(m_Piece);
        Delivery call{Source::Elsewhere, 0, length};
        long limit = 0;
        if (data == nullptr)
            call.source = Source::Null;
        else if (at >= buffer && at <= buffer + sizeof m_Buffer)
        {
            call.source = Source::Buffer;
            call.offset = static_cast<long>(at - buffer);
            limit = static_cast<long>(sizeof m_Buffer);
        }
        else if (m_Piece != nullptr && at >= piece && at <= piece + static_cast<uintptr_t>(m_PieceLength))
        {
            call.source = Source::Piece;
            call.offset = static_cast<long>(at - piece);
            limit = m_PieceLength;
        }
        calls.push_back(call);

        if (length < 0 || (length > 0 && (call.source == Source::Null || call.source == Source::Elsewhere ||
                                          call.offset + length > limit)))
        {
            if (violation.empty())
                violation = std::string("delivery of ") + std::to_string(length) + " bytes at " +
                            SourceName(call.source) + " offset " + std::to_string(call.offset) +
                            " outside the allowed bytes (limit " + std::to_string(limit) + ")";
            return;  // never touch bytes that are not ours to read
        }
        delivered.insert(delivered.end(), data, data + length);
    }

private:
    const unsigned char* m_Piece = nullptr;
    long m_PieceLength = 0;
    uint64_t m_GuardBehind = kGuard;
};

// The re-framing written out step by step, byte by byte, for chunk sizes
// 1..1316; the implementation must deliver exactly what it delivers.
class ModelAligner
{
public:
    explicit ModelAligner(int chunkSize) : m_ChunkSize(chunkSize) {}

    // Deliveries of one call; buffer deliveries carry their bytes in `bytes`.
    std::vector<Delivery> Feed(const unsigned char* data, int length, std::vector<unsigned char>& bytes)
    {
        std::vector<Delivery> out;
        long at = 0;
        if (!m_Held.empty())
        {
            while (at < length && static_cast<int>(m_Held.size()) < m_ChunkSize)
                m_Held.push_back(data[at++]);
            if (static_cast<int>(m_Held.size()) == m_ChunkSize)
            {
                out.push_back({Source::Buffer, 0, m_ChunkSize});
                bytes.insert(bytes.end(), m_Held.begin(), m_Held.end());
                m_Held.clear();
            }
        }
        while (at < length && data[at] != 0x47)
            ++at;
        long whole = 0;
        while ((length - at) - whole >= m_ChunkSize)
            whole += m_ChunkSize;
        out.push_back({Source::Piece, at, static_cast<int>(whole)});
        bytes.insert(bytes.end(), data + at, data + at + whole);
        at += whole;
        if (at < length)
            m_Held.assign(data + at, data + length);
        return out;
    }

    void Reset() { m_Held.clear(); }
    int Held() const { return static_cast<int>(m_Held.size()); }

private:
    int m_ChunkSize;
    std::vector<unsigned char> m_Held;
};

// The shape every single call must have: at most one delivery of exactly one
// chunk from the start of m_Buffer, then exactly one delivery of whole chunks
// from the caller's bytes (possibly none of them).
inline std::string CheckCallShape(const std::vector<Delivery>& calls, int chunkSize)
{
    if (calls.empty() || calls.size() > 2)
        return "expected 1 or 2 deliveries, got " + std::to_string(calls.size());
    if (calls.size() == 2)
    {
        const Delivery& first = calls.front();
        if (first.source != Source::Buffer || first.offset != 0 || first.length != chunkSize)
            return std::string("first of two deliveries should be the full buffer, got ") +
                   SourceName(first.source) + " offset " + std::to_string(first.offset) + " length " +
                   std::to_string(first.length);
    }
    const Delivery& last = calls.back();
    if (last.length < 0 || last.length % chunkSize != 0)
        return "delivered length " + std::to_string(last.length) + " is not a whole number of " +
               std::to_string(chunkSize) + "-byte chunks";
    if (last.length > 0 && last.source != Source::Piece)
        return std::string("whole chunks should come straight from the caller's bytes, got ") +
               SourceName(last.source);
    return {};
}

// A valid transport stream behind leading garbage: `garbageLength` bytes with
// every 0x47 replaced, then `packets` packets of a 0x47 and 187 payload bytes
// taken in turn from `payload` (which may hold 0x47 anywhere).
inline std::vector<unsigned char> BuildStream(const unsigned char* garbage, size_t garbageLength,
                                              const unsigned char* payload, size_t payloadLength,
                                              size_t packets)
{
    std::vector<unsigned char> stream(garbage, garbage + garbageLength);
    for (unsigned char& byte : stream)
        if (byte == 0x47)
            byte = 0x46;
    size_t next = 0;
    for (size_t p = 0; p < packets; ++p)
    {
        stream.push_back(0x47);
        for (int i = 1; i < kTsPacketSize; ++i)
            stream.push_back(payloadLength ? payload[next++ % payloadLength] : static_cast<unsigned char>(i));
    }
    return stream;
}

// Feeds `stream` to a fresh aligner with N packets per chunk, cut into pieces
// of the lengths in `pieceLengths` (used in turn, 0 allowed, at least one
// non-zero), each piece in an allocation of its own exact size. With
// `packetSteps` each piece is a host block walked by FeedInPacketSteps.
// Checks every call's shape, the held count between calls, and at the end
// that the delivered bytes are the stream from its first sync byte on, cut to
// whole chunks, in order.
inline std::string CheckStreamProperty(const std::vector<unsigned char>& stream, int packetsPerChunk,
                                       const std::vector<int>& pieceLengths, bool packetSteps)
{
    const int chunk = packetsPerChunk * kTsPacketSize;
    ProbeAligner aligner;
    aligner.SetChunkSize(chunk);
    size_t at = 0;
    size_t pieceIndex = 0;
    size_t emptyRun = 0;
    while (at < stream.size())
    {
        const int wanted = pieceLengths[pieceIndex++ % pieceLengths.size()];
        if (wanted == 0 && ++emptyRun > pieceLengths.size())
            return "piece lengths are all 0";
        if (wanted != 0)
            emptyRun = 0;
        const size_t take = std::min(static_cast<size_t>(wanted), stream.size() - at);
        std::vector<unsigned char> piece(stream.begin() + static_cast<long>(at),
                                         stream.begin() + static_cast<long>(at + take));
        // Described only when something failed: this runs for every piece.
        const auto where = [&] {
            return " (piece at stream offset " + std::to_string(at) + ", length " + std::to_string(take) +
                   ", N " + std::to_string(packetsPerChunk) + ")";
        };
        if (packetSteps)
        {
            aligner.SetPiece(piece.data(), static_cast<long>(piece.size()));
            aligner.calls.clear();
            FeedInPacketSteps(aligner, piece.data(), static_cast<int>(piece.size()));
            for (const Delivery& call : aligner.calls)
                if (call.length % chunk != 0 || (call.source == Source::Buffer && call.length != 0 &&
                                                 (call.offset != 0 || call.length != chunk)))
                    return "delivery of " + std::to_string(call.length) + " bytes from " +
                           SourceName(call.source) + where();
        }
        else
        {
            aligner.Feed(piece.data(), static_cast<int>(piece.size()));
            const std::string shape = CheckCallShape(aligner.calls, chunk);
            if (!shape.empty())
                return shape + where();
        }
        if (!aligner.violation.empty())
            return aligner.violation + where();
        if (aligner.Buffered() < 0 || aligner.Buffered() >= chunk)
            return "held count " + std::to_string(aligner.Buffered()) + " outside 0.." +
                   std::to_string(chunk - 1) + where();
        at += take;
    }

    size_t first = 0;
    while (first < stream.size() && stream[first] != 0x47)
        ++first;
    const size_t available = stream.size() - first;
    const size_t expected = available - available % static_cast<size_t>(chunk);
    if (aligner.delivered.size() != expected)
        return "delivered " + std::to_string(aligner.delivered.size()) + " bytes, expected " +
               std::to_string(expected) + " (stream " + std::to_string(stream.size()) +
               " bytes, first sync at " + std::to_string(first) + ", N " + std::to_string(packetsPerChunk) + ")";
    if (expected != 0 && std::memcmp(aligner.delivered.data(), stream.data() + first, expected) != 0)
    {
        size_t differ = 0;
        while (aligner.delivered[differ] == stream[first + differ])
            ++differ;
        return "delivered bytes differ from the stream at delivered offset " + std::to_string(differ) +
               " (N " + std::to_string(packetsPerChunk) + ")";
    }
    if (!aligner.GuardIntact())
        return "write past the aligner's fields";
    return {};
}

// Feeds arbitrary pieces to the aligner and to the model side by side with a
// valid chunk size and compares every delivery: source, length, the offset of
// every non-empty one, and all delivered bytes.
inline std::string CheckAgainstModel(const std::vector<std::vector<unsigned char>>& pieces, int chunkSize)
{
    ProbeAligner aligner;
    aligner.SetChunkSize(chunkSize);
    ModelAligner model(chunkSize);
    std::vector<unsigned char> modelBytes;
    for (size_t i = 0; i < pieces.size(); ++i)
    {
        std::vector<unsigned char> piece = pieces[i];  // an allocation of exactly its size
        aligner.Feed(piece.data(), static_cast<int>(piece.size()));
        const std::vector<Delivery> expected = model.Feed(piece.data(), static_cast<int>(piece.size()), modelBytes);
        const auto where = [&] {
            return " (piece " + std::to_string(i) + ", length " + std::to_string(piece.size()) + ", chunk " +
                   std::to_string(chunkSize) + ")";
        };
        if (!aligner.violation.empty())
            return aligner.violation + where();
        if (aligner.calls.size() != expected.size())
            return std::to_string(aligner.calls.size()) + " deliveries, model makes " +
                   std::to_string(expected.size()) + where();
        for (size_t c = 0; c < expected.size(); ++c)
        {
            const Delivery& got = aligner.calls[c];
            const Delivery& want = expected[c];
            const bool sameSource = got.source == want.source || (got.length == 0 && want.length == 0);
            if (!sameSource || got.length != want.length || (want.length != 0 && got.offset != want.offset))
                return "delivery " + std::to_string(c) + ": " + SourceName(got.source) + " offset " +
                       std::to_string(got.offset) + " length " + std::to_string(got.length) + ", model " +
                       SourceName(want.source) + " offset " + std::to_string(want.offset) + " length " +
                       std::to_string(want.length) + where();
        }
        if (aligner.Buffered() != model.Held())
            return "holds " + std::to_string(aligner.Buffered()) + " bytes, model " +
                   std::to_string(model.Held()) + where();
    }
    if (aligner.delivered != modelBytes)
        return "delivered bytes differ from the model's";
    if (!aligner.GuardIntact())
        return "write past the aligner's fields";
    return {};
}

}  // namespace probe

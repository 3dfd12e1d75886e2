// libFuzzer target for the aligner, where the host's untrusted traffic enters.
//
// Input layout (short inputs are padded with zeros):
//   byte 0     bits 0-2: N = 1 + value % 7; bit 3: feed the stream through
//              the packet walk; bit 4: also run the hostile pass
//   bytes 1-2  chunk size for the model pass: 1 + (big-endian value % 1316)
//   byte 3     length of the garbage in front of the valid stream
//   byte 4     packets in the valid stream: value % 64, up to 9 chunks of 7
//   byte 5     the body is repeated 1 + value % 32 times (at most 8 KiB) for
//              the model and hostile passes, so that short inputs still make
//              pieces and chunks of every size
//   byte 6     number of entries L = 1 + value % 16
//   4 x L      per entry: a piece length, big-endian, % 4096 (0 allowed),
//              and a chunk size for the hostile pass, signed big-endian
//              16-bit, % 2048 (about a third of them valid); the entries are
//              used in turn
//   rest       the body
//
// Each input is checked three ways, with the same checks as the unit tests:
//   1. A valid stream (garbage from the body's first bytes, then packets
//      whose payload cycles through the rest) cut into the pieces and fed
//      with N packets per chunk: whole chunks of the stream from its first
//      sync byte leave in order, each delivery a whole number of chunks,
//      each call shaped as one optional buffer delivery and one delivery from
//      the caller, the held count always below a chunk.
//   2. The (repeated) body, arbitrary bytes, cut into the pieces and compared
//      delivery by delivery with the step-by-step model.
//   3. (bit 4) The (repeated) body fed while the chunk size jumps between
//      pieces to values from the input, invalid ones included: no delivery
//      outside the caller's bytes or m_Buffer, no write past the aligner's
//      fields; between pieces, calls with a negative length or a null
//      pointer deliver nothing and keep the held count.

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "AlignerProbe.h"

namespace {

void Fail(const char* pass, const std::string& message)
{
    std::fprintf(stderr, "aligner_fuzz: %s: %s\n", pass, message.c_str());
    std::abort();
}

std::vector<std::vector<unsigned char>> Cut(const std::vector<unsigned char>& body, const std::vector<int>& lengths)
{
    std::vector<std::vector<unsigned char>> pieces;
    size_t at = 0;
    for (size_t i = 0; at < body.size(); ++i)
    {
        const size_t take = std::min(static_cast<size_t>(lengths[i % lengths.size()]), body.size() - at);
        pieces.emplace_back(body.begin() + static_cast<long>(at), body.begin() + static_cast<long>(at + take));
        at += take;  // the cycle holds a non-zero length, so this ends
    }
    return pieces;
}

void HostilePass(const std::vector<std::vector<unsigned char>>& pieces, const std::vector<int>& sizes)
{
    auto aligner = std::make_unique<probe::ProbeAligner>();
    aligner->SetChunkSize(1316);
    for (size_t i = 0; i < pieces.size(); ++i)
    {
        const int size = sizes[i % sizes.size()];
        aligner->SetChunkSize(size);
        std::vector<unsigned char> piece = pieces[i];
        aligner->Feed(piece.data(), static_cast<int>(piece.size()));
        if (!aligner->violation.empty())
            Fail("hostile", aligner->violation + " (chunk size " + std::to_string(size) + ")");
        for (const probe::Delivery& call : aligner->calls)
        {
            if (call.length < 0 || (size > 0 && call.length % size != 0) || (size <= 0 && call.length != 0))
                Fail("hostile", "delivered " + std::to_string(call.length) + " bytes with chunk size " +
                                    std::to_string(size));
            if (call.source == probe::Source::Buffer && call.length != 0 &&
                (call.offset != 0 || call.length != size))
                Fail("hostile", "buffer delivery of " + std::to_string(call.length) + " bytes with chunk size " +
                                    std::to_string(size));
        }
        if (aligner->Buffered() < 0 || aligner->Buffered() > kMaxChunkSize)
            Fail("hostile", "held count " + std::to_string(aligner->Buffered()));
        if (!aligner->GuardIntact())
            Fail("hostile", "write past the aligner's fields");
        if (aligner->ChunkSize() != size)
            Fail("hostile", "chunk size overwritten");

        // Calls that bring no bytes, however they say so, deliver nothing and
        // keep what is held.
        const int held = aligner->Buffered();
        const int lengths[] = {-1 - static_cast<int>(piece.size()), INT_MIN, 0};
        for (int length : lengths)
        {
            aligner->Feed(length == 0 ? nullptr : piece.data(), length);
            if (!aligner->violation.empty() || aligner->calls.size() != 1 || aligner->calls[0].length != 0 ||
                aligner->Buffered() != held)
                Fail("hostile", "a call of length " + std::to_string(length) + " delivered bytes or changed the held count");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto byte = [&](size_t i) -> unsigned { return i < size ? data[i] : 0u; };
    const int packets = 1 + static_cast<int>(byte(0) & 7) % 7;
    const bool packetSteps = (byte(0) & 8) != 0;
    const bool hostile = (byte(0) & 16) != 0;
    const int modelChunk = 1 + static_cast<int>((byte(1) << 8 | byte(2)) % 1316);
    const size_t garbageLength = byte(3);
    const size_t streamPackets = byte(4) % 64;
    const size_t repeats = 1 + byte(5) % 32;
    const size_t entries = 1 + byte(6) % 16;

    std::vector<int> lengths;
    std::vector<int> sizes;
    size_t at = 7;
    for (size_t i = 0; i < entries; ++i, at += 4)
    {
        lengths.push_back(static_cast<int>(byte(at) << 8 | byte(at + 1)) % 4096);
        sizes.push_back(static_cast<int16_t>(byte(at + 2) << 8 | byte(at + 3)) % 2048);
    }
    if (std::all_of(lengths.begin(), lengths.end(), [](int length) { return length == 0; }))
        lengths.push_back(188);
    const std::vector<unsigned char> body(data + std::min(at, size), data + size);

    // 1. A valid stream behind garbage.
    const size_t garbage = std::min(garbageLength, body.size());
    const std::vector<unsigned char> stream =
        probe::BuildStream(body.data(), garbage, body.data() + garbage, body.size() - garbage, streamPackets);
    const std::string property = probe::CheckStreamProperty(stream, packets, lengths, packetSteps);
    if (!property.empty())
        Fail("stream", property);

    // 2. Arbitrary bytes against the model.
    std::vector<unsigned char> repeated;
    for (size_t r = 0; r < repeats && repeated.size() + body.size() <= 8192; ++r)
        repeated.insert(repeated.end(), body.begin(), body.end());
    const std::vector<std::vector<unsigned char>> pieces = Cut(repeated, lengths);
    const std::string model = probe::CheckAgainstModel(pieces, modelChunk);
    if (!model.empty())
        Fail("model", model);

    // 3. Chunk sizes the owner must never set.
    if (hostile)
        HostilePass(pieces, sizes);
    return 0;
}

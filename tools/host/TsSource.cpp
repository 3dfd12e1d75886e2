#include "TsSource.h"

#include <algorithm>
#include <cstdio>

std::string CheckTransportStream(const uint8_t* data, size_t size)
{
    if (size < kTsPacketBytes)
        return "shorter than one 188-byte packet (" + std::to_string(size) + " bytes)";
    const size_t packets = std::min(size / kTsPacketBytes, kSyncCheckPackets);
    for (size_t i = 0; i < packets; ++i)
    {
        const uint8_t b = data[i * kTsPacketBytes];
        if (b != kTsSync)
        {
            char text[96];
            std::snprintf(text, sizeof text, "no sync byte 0x47 at offset %zu (found 0x%02X)",
                          i * kTsPacketBytes, b);
            return text;
        }
    }
    return std::string();
}

std::vector<PcrSample> FindPcrs(const uint8_t* data, size_t packets)
{
    std::vector<PcrSample> found;
    for (size_t i = 0; i < packets; ++i)
    {
        const uint8_t* p = data + i * kTsPacketBytes;
        const bool hasAdaptation = (p[3] & 0x20) != 0;
        // Length 7 or more: one flags byte and the six PCR bytes.
        if (p[0] != kTsSync || !hasAdaptation || p[4] < 7 || (p[5] & 0x10) == 0)
            continue;
        const uint64_t base = (uint64_t(p[6]) << 25) | (uint64_t(p[7]) << 17) | (uint64_t(p[8]) << 9) |
                              (uint64_t(p[9]) << 1) | (uint64_t(p[10]) >> 7);
        const uint64_t extension = (uint64_t(p[10] & 0x01) << 8) | p[11];
        const uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
        found.push_back({i, pid, base * 300 + extension, (p[5] & 0x80) != 0});
    }
    return found;
}

PlaybackClock PlaybackClock::AtRate(double bitsPerSecond, size_t packets)
{
    PlaybackClock clock;
    clock.meanBitsPerSecond_ = bitsPerSecond;
    clock.anchors_.push_back({0, 0.0});
    clock.anchors_.push_back({packets, packets * kTsPacketBytes * 8.0 / bitsPerSecond});
    return clock;
}

bool PlaybackClock::FromPcr(const uint8_t* data, size_t packets, PlaybackClock* clock, std::string* error)
{
    constexpr uint64_t kPcrModulus = (uint64_t(1) << 33) * 300;  // the 33-bit base wraps, in 27 MHz ticks
    constexpr double kPcrHz = 27e6;
    constexpr double kMinRate = 10e3, kMaxRate = 2e9, kMaxGapSeconds = 10.0;

    std::vector<PcrSample> all = FindPcrs(data, packets);
    if (all.empty())
    {
        *error = "no PCR in the file";
        return false;
    }
    // One clock: the first PID that carries PCRs.
    std::vector<PcrSample> pcrs;
    for (const PcrSample& s : all)
        if (s.pid == all.front().pid)
            pcrs.push_back(s);

    struct Stretch
    {
        size_t packets;
        double seconds;  // < 0 when the PCRs do not give a usable time
    };
    std::vector<Stretch> stretches;
    double soundBits = 0.0, soundSeconds = 0.0;
    for (size_t k = 1; k < pcrs.size(); ++k)
    {
        const size_t n = pcrs[k].packetIndex - pcrs[k - 1].packetIndex;
        const uint64_t ticks = (pcrs[k].pcr27 + kPcrModulus - pcrs[k - 1].pcr27) % kPcrModulus;
        const double seconds = ticks / kPcrHz;
        const double bits = n * kTsPacketBytes * 8.0;
        const bool sound = !pcrs[k].discontinuity && seconds > 0.0 && seconds <= kMaxGapSeconds &&
                           bits / seconds >= kMinRate && bits / seconds <= kMaxRate;
        stretches.push_back({n, sound ? seconds : -1.0});
        if (sound)
        {
            soundBits += bits;
            soundSeconds += seconds;
        }
    }
    if (soundSeconds <= 0.0)
    {
        *error = "fewer than two usable PCRs on PID " + std::to_string(pcrs.front().pid);
        return false;
    }

    PlaybackClock result;
    result.meanBitsPerSecond_ = soundBits / soundSeconds;
    const double secondsPerPacket = kTsPacketBytes * 8.0 / result.meanBitsPerSecond_;
    result.anchors_.push_back({0, 0.0});
    double t = pcrs.front().packetIndex * secondsPerPacket;
    if (pcrs.front().packetIndex > 0)
        result.anchors_.push_back({pcrs.front().packetIndex, t});
    for (size_t k = 1; k < pcrs.size(); ++k)
    {
        const Stretch& s = stretches[k - 1];
        t += s.seconds >= 0.0 ? s.seconds : s.packets * secondsPerPacket;
        result.anchors_.push_back({pcrs[k].packetIndex, t});
    }
    // The tail after the last PCR arrives at the mean rate; a packet count
    // equal to the last PCR's index adds nothing.
    const size_t last = pcrs.back().packetIndex;
    if (packets > last)
        result.anchors_.push_back({packets, t + (packets - last) * secondsPerPacket});
    *clock = std::move(result);
    return true;
}

double PlaybackClock::At(size_t packetIndex) const
{
    if (anchors_.empty())
        return 0.0;
    if (packetIndex >= anchors_.back().first)
        return anchors_.back().second;
    // First anchor beyond the index; the one before it is at or below it.
    auto hi = std::upper_bound(anchors_.begin(), anchors_.end(), packetIndex,
                               [](size_t i, const std::pair<size_t, double>& a) { return i < a.first; });
    auto lo = hi - 1;
    const double share = double(packetIndex - lo->first) / double(hi->first - lo->first);
    return lo->second + share * (hi->second - lo->second);
}

BlockSizer::BlockSizer(int minPackets, int maxPackets, uint32_t seed)
    : min_(minPackets), max_(maxPackets), state_(seed ? seed : 0x9E3779B9u)
{
}

int BlockSizer::Next()
{
    if (max_ <= min_)
        return min_;
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return min_ + static_cast<int>(state_ % static_cast<uint32_t>(max_ - min_ + 1));
}

#pragma once
// What the host's engine needs to know about a transport-stream file before it
// plays it: that it is one, when each packet is due, and how the tuner-like
// blocks are cut. Plain C++ with no Windows types, so that it can be tested
// apart from the program.
//
// Normative reference: ISO/IEC 13818-1 (packet header, adaptation field, PCR).

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

constexpr size_t kTsPacketBytes = 188;
constexpr uint8_t kTsSync = 0x47;
// Packets whose sync byte is checked before a file is accepted: enough to tell
// a transport stream from anything else, few enough for a short capture.
constexpr size_t kSyncCheckPackets = 5;

// Empty when `data` starts like a transport stream (0x47 every 188 bytes over
// the first packets); otherwise why it does not.
std::string CheckTransportStream(const uint8_t* data, size_t size);

// The 27 MHz program clock reference of one packet, if it carries one.
struct PcrSample
{
    size_t packetIndex;
    uint16_t pid;
    uint64_t pcr27;          // base * 300 + extension
    bool discontinuity;      // the adaptation field's discontinuity indicator
};
std::vector<PcrSample> FindPcrs(const uint8_t* data, size_t packets);

// Seconds from the start of one pass of the file at which each packet has
// arrived, as a tuner would deliver it. Piecewise linear between anchors.
class PlaybackClock
{
public:
    // At a constant rate in bits per second.
    static PlaybackClock AtRate(double bitsPerSecond, size_t packets);
    // At the stream's own rate: anchored at the PCRs of the first PID that
    // carries them. Jumps that no real stream makes (backwards, a marked
    // discontinuity, a rate outside 10 kbit/s..2 Gbit/s, a gap over 10 s) are
    // bridged at the mean rate of the sound stretches. False, with `error`
    // set, when the file holds no two usable PCRs.
    static bool FromPcr(const uint8_t* data, size_t packets, PlaybackClock* clock, std::string* error);

    // Time at which packets [0, packetIndex) have arrived; 0 for index 0,
    // PassSeconds() for the packet count.
    double At(size_t packetIndex) const;
    double PassSeconds() const { return anchors_.empty() ? 0.0 : anchors_.back().second; }
    double MeanBitsPerSecond() const { return meanBitsPerSecond_; }

private:
    std::vector<std::pair<size_t, double>> anchors_;  // (packet index, seconds), increasing
    double meanBitsPerSecond_ = 0.0;
};

// Packets per delivered block: fixed, or varied between two bounds by a
// seeded generator so that runs repeat exactly.
class BlockSizer
{
public:
    BlockSizer(int minPackets, int maxPackets, uint32_t seed);
    int Next();

private:
    int min_;
    int max_;
    uint32_t state_;  // xorshift32, never 0
};

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "guide/GuideFeed.h"

namespace
{
void MakePacket(unsigned char (&packet)[kTsPacketSize], uint16_t pid, uint32_t serial)
{
    std::memset(packet, 0, sizeof packet);
    packet[0] = kTsSyncByte;
    packet[1] = static_cast<unsigned char>(pid >> 8);
    packet[2] = static_cast<unsigned char>(pid);
    std::memcpy(packet + 4, &serial, sizeof serial);
}

uint32_t SerialOf(const unsigned char* packet)
{
    uint32_t serial;
    std::memcpy(&serial, packet + 4, sizeof serial);
    return serial;
}

TEST(GuideFeed, WantsTheGuidesPidsOnly)
{
    for (int pid = 0; pid < 8192; ++pid)
        EXPECT_EQ(CGuideFeed::Wants(static_cast<uint16_t>(pid)), pid == 0 || pid == 0x11 || pid == 0x12 || pid == 0x14)
            << pid;
}

TEST(GuideFeed, FullDropsAndCounts)
{
    std::unique_ptr<CGuideFeed> feed(new CGuideFeed);
    unsigned char packet[kTsPacketSize];
    for (uint32_t i = 0; i < kGuideFeedPackets + 5; ++i)
    {
        MakePacket(packet, 0x12, i);
        feed->Put(packet);
    }
    EXPECT_EQ(feed->Dropped(), 5u);
    for (uint32_t i = 0; i < kGuideFeedPackets; ++i)
    {
        const unsigned char* front = feed->Front();
        ASSERT_NE(front, nullptr);
        EXPECT_EQ(SerialOf(front), i);
        feed->Pop();
    }
    EXPECT_EQ(feed->Front(), nullptr);
}

TEST(GuideFeed, ThreadsMeetOnlyInTheCounters)
{
    // The traffic thread puts while the server thread takes: every packet
    // arrives whole and in order, or is counted dropped.
    std::unique_ptr<CGuideFeed> feed(new CGuideFeed);
    constexpr uint32_t kPackets = 200000;
    std::thread producer([&] {
        unsigned char packet[kTsPacketSize];
        for (uint32_t i = 0; i < kPackets; ++i)
        {
            MakePacket(packet, 0x12, i);
            std::memset(packet + 8, static_cast<int>(i & 0xFF), kTsPacketSize - 8);
            feed->Put(packet);
        }
    });
    uint64_t taken = 0;
    int64_t last = -1;
    bool whole = true;
    while (true)
    {
        const unsigned char* front = feed->Front();
        if (front == nullptr)
        {
            if (taken + feed->Dropped() == kPackets)
                break;
            std::this_thread::yield();
            continue;
        }
        const uint32_t serial = SerialOf(front);
        whole = whole && static_cast<int64_t>(serial) > last;
        for (int i = 8; i < kTsPacketSize && whole; ++i)
            whole = front[i] == (serial & 0xFF);
        last = serial;
        feed->Pop();
        ++taken;
    }
    producer.join();
    EXPECT_TRUE(whole);
    EXPECT_EQ(taken + feed->Dropped(), kPackets);
}
}  // namespace

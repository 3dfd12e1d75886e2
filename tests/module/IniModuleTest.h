#pragma once
// A fixture for tests of the optional INI keys: a module object created from
// an INI section of the test's lines, streaming to a receiver on 127.0.0.1
// through a scripted device.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ModuleTestSupport.h"

class IniModuleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WinsockProbe::Installed());
        ASSERT_TRUE(receiver.Bound());
        ASSERT_TRUE(ini.HandToUnit());
    }

    // The destination port written into the INI section.
    virtual int DestinationPort() { return receiver.Port(); }

    // A module object whose INI section holds `lines` (each "Key=value\r\n")
    // after the destination's address and port.
    void Create(const std::string& lines, const std::string& address = "127.0.0.1")
    {
        ini.WriteBytes("[TovrinStreamer]\r\nIPAddress=" + address + "\r\nUDP_Port=" +
                       std::to_string(DestinationPort()) + "\r\n" + lines);
        module = CreateModule(&device);
        ASSERT_TRUE(module);
    }

    CPidDataWriterTestAccess Access() { return CPidDataWriterTestAccess(module.get()); }
    CPidDataWriter& Writer() { return Access().Writer(); }

    void Feed(uint32_t first, int count)
    {
        Bytes packets = TsPackets::Make(first, count);
        ASSERT_TRUE(device.Deliver(packets.data(), static_cast<int>(packets.size())));
    }

    // Five blocks of 7 packets some 20 ms apart, with the performance counter
    // read around each, for the checks of clock timestamps.
    struct TimedFeeds
    {
        std::vector<LARGE_INTEGER> before, after;
    };
    TimedFeeds FeedFiveTimed()
    {
        TimedFeeds times;
        for (int i = 0; i < 5; ++i)
        {
            Sleep(20);
            times.before.push_back(Now());
            Feed(static_cast<uint32_t>(i * 7), 7);
            times.after.push_back(Now());
        }
        return times;
    }

    // Datagram i of the timed feeds carries a 90 kHz time between the
    // readings around its send, counted from datagram 0's.
    static void ExpectClockStamps(const std::vector<Bytes>& datagrams, const TimedFeeds& times)
    {
        for (size_t i = 1; i < 5 && i < datagrams.size(); ++i)
        {
            const double ticks = TimestampOf(datagrams[i]) - TimestampOf(datagrams[0]);
            EXPECT_GE(ticks, 90000 * Seconds(times.after[0], times.before[i]) - 1) << i;
            EXPECT_LE(ticks, 90000 * Seconds(times.before[0], times.after[i]) + 1) << i;
        }
    }

    TempIniFolder ini;
    ScriptedDevice device;
    UdpReceiver receiver;
    ModulePtr module;  // last: ended before the device it borrows
};

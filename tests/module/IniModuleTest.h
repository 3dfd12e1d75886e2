#pragma once
// A fixture for tests of the optional INI keys: a module object created from
// an INI section of the test's lines, streaming to a receiver on 127.0.0.1
// through a scripted device.

#include <gtest/gtest.h>

#include <string>

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

    TempIniFolder ini;
    ScriptedDevice device;
    UdpReceiver receiver;
    ModulePtr module;  // last: ended before the device it borrows
};

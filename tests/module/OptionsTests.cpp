// The three settings of CPidDataWriter in the host's INI file, on real files
// with the real private-profile functions, and their way into the stream.

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "ModuleTestSupport.h"

using namespace KelvModuleApi2;

namespace
{
class Options : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(ini.HandToUnit()); }

    TempIniFolder ini;
    ScriptedDevice device;
};
}  // namespace

TEST_F(Options, WithoutAFileTheDefaultsHoldAndTheFirstSaveCreatesTheSection)
{
    ASSERT_FALSE(ini.Exists());
    ModulePtr module = CreateModule(&device);
    ASSERT_TRUE(module);
    CPidDataWriterTestAccess access(module.get());

    EXPECT_EQ(access.AddressField(), std::wstring(L"127.0.0.1") + std::wstring(11, L'\0'));
    EXPECT_EQ(access.Port(), 43000);
    EXPECT_EQ(access.PacketsPerDatagram(), 7);
    EXPECT_EQ(access.ChunkSize(), 1316);
    EXPECT_FALSE(ini.Exists()) << "loading must not write";

    access.Writer().SaveOptions();
    EXPECT_EQ(ini.ReadBytes(), "[TovrinStreamer]\r\nIPAddress=127.0.0.1\r\nUDP_Port=43000\r\nnTS_UDP=7\r\n");
}

// One stored value, what the object makes of it, and what its next save
// writes back. The other two keys are absent and keep their defaults.
struct StoredCase
{
    const wchar_t* key;
    const char* stored;
    const wchar_t* address;
    int port;
    int packets;
    const wchar_t* savedBack;
};

std::ostream& operator<<(std::ostream& out, const StoredCase& c)
{
    return out << Narrow(c.key) << "=\"" << c.stored << "\"";
}

class StoredValues : public Options, public ::testing::WithParamInterface<StoredCase>
{
};

TEST_P(StoredValues, LoadsAndSavesBack)
{
    const StoredCase c = GetParam();
    ini.WriteBytes("[TovrinStreamer]\r\n" + Narrow(c.key) + "=" + c.stored + "\r\n");

    ModulePtr module = CreateModule(&device);
    ASSERT_TRUE(module);
    CPidDataWriterTestAccess access(module.get());
    EXPECT_EQ(access.Address(), c.address);
    EXPECT_EQ(access.Port(), c.port);
    EXPECT_EQ(access.PacketsPerDatagram(), c.packets);
    EXPECT_EQ(access.ChunkSize(), c.packets * kPacket);

    module.reset();
    EXPECT_EQ(ini.ReadKey(c.key), c.savedBack);
}

// Packets per datagram outside 1..7 would overrun the buffers or divide by
// zero: it is brought into range. Ports keep their low 16 bits; numbers are
// read as far as their leading digits go, and saturate beyond the int range.
INSTANTIATE_TEST_SUITE_P(
    Table, StoredValues,
    ::testing::Values(
        StoredCase{L"nTS_UDP", "3", L"127.0.0.1", 43000, 3, L"3"},
        StoredCase{L"nTS_UDP", "1", L"127.0.0.1", 43000, 1, L"1"},
        StoredCase{L"nTS_UDP", "7", L"127.0.0.1", 43000, 7, L"7"},
        StoredCase{L"nTS_UDP", "+4", L"127.0.0.1", 43000, 4, L"4"},
        StoredCase{L"nTS_UDP", "5x", L"127.0.0.1", 43000, 5, L"5"},
        StoredCase{L"nTS_UDP", "0", L"127.0.0.1", 43000, 1, L"1"},
        StoredCase{L"nTS_UDP", "", L"127.0.0.1", 43000, 1, L"1"},
        StoredCase{L"nTS_UDP", "-3", L"127.0.0.1", 43000, 1, L"1"},
        StoredCase{L"nTS_UDP", "abc", L"127.0.0.1", 43000, 1, L"1"},
        StoredCase{L"nTS_UDP", "-2147483648", L"127.0.0.1", 43000, 1, L"1"},
        StoredCase{L"nTS_UDP", "8", L"127.0.0.1", 43000, 7, L"7"},
        StoredCase{L"nTS_UDP", "9", L"127.0.0.1", 43000, 7, L"7"},
        StoredCase{L"nTS_UDP", "2147483647", L"127.0.0.1", 43000, 7, L"7"},
        StoredCase{L"nTS_UDP", "99999999999", L"127.0.0.1", 43000, 7, L"7"},
        StoredCase{L"UDP_Port", "1234", L"127.0.0.1", 1234, 7, L"1234"},
        StoredCase{L"UDP_Port", "65535", L"127.0.0.1", 65535, 7, L"65535"},
        StoredCase{L"UDP_Port", "70000", L"127.0.0.1", 4464, 7, L"4464"},
        StoredCase{L"UDP_Port", "65536", L"127.0.0.1", 0, 7, L"0"},
        StoredCase{L"UDP_Port", "-1", L"127.0.0.1", 65535, 7, L"65535"},
        StoredCase{L"UDP_Port", "", L"127.0.0.1", 0, 7, L"0"},
        StoredCase{L"UDP_Port", "12ab", L"127.0.0.1", 12, 7, L"12"},
        StoredCase{L"UDP_Port", "abc", L"127.0.0.1", 0, 7, L"0"},
        StoredCase{L"UDP_Port", "99999999999", L"127.0.0.1", 65535, 7, L"65535"},
        StoredCase{L"IPAddress", "10.20.30.40", L"10.20.30.40", 43000, 7, L"10.20.30.40"},
        StoredCase{L"IPAddress", "192.168.100.200abcdefghij", L"192.168.100.200abcd", 43000, 7,
                   L"192.168.100.200abcd"},
        StoredCase{L"IPAddress", "", L"", 43000, 7, L""}));

TEST_F(Options, SaveLeavesTheHostsSectionsAndKeysAsTheyWere)
{
    // In the form the private-profile writer itself produces, so that every
    // byte outside the changed value can be compared.
    const std::string before =
        "; written by the host\r\n"
        "[Host]\r\n"
        "Window=10,20,640,480\r\n"
        "LastChannel=Das Erste HD\r\n"
        "[TovrinStreamer]\r\n"
        "IPAddress=10.1.2.3\r\n"
        "ExtraKey=keep me\r\n"
        "UDP_Port=5000\r\n"
        "nTS_UDP=2\r\n"
        "[Plugins]\r\n"
        "Count=3\r\n"
        "FlagWithoutValue\r\n";
    ini.WriteBytes(before);

    ModulePtr module = CreateModule(&device);
    ASSERT_TRUE(module);
    CPidDataWriterTestAccess access(module.get());
    EXPECT_EQ(access.Address(), L"10.1.2.3");
    EXPECT_EQ(access.Port(), 5000);
    EXPECT_EQ(access.PacketsPerDatagram(), 2);

    access.SetPort(6000);  // as a closed dialog leaves it
    module.reset();

    std::string expected = before;
    expected.replace(expected.find("UDP_Port=5000"), 13, "UDP_Port=6000");
    EXPECT_EQ(ini.ReadBytes(), expected);
}

TEST_F(Options, FirstSaveAddsTheSectionAndKeepsTheRestOfTheFile)
{
    const std::string before = "[Host]\r\nWindow=10,20,640,480\r\n[Plugins]\r\nCount=3\r\n";
    ini.WriteBytes(before);

    ModulePtr module = CreateModule(&device);
    ASSERT_TRUE(module);
    EXPECT_EQ(CPidDataWriterTestAccess(module.get()).Port(), 43000);
    module.reset();

    const std::string after = ini.ReadBytes();
    ASSERT_GE(after.size(), before.size());
    EXPECT_EQ(after.substr(0, before.size()), before);
    EXPECT_EQ(after.substr(before.size()), "[TovrinStreamer]\r\nIPAddress=127.0.0.1\r\nUDP_Port=43000\r\nnTS_UDP=7\r\n");
}

// Two objects share the file and the section: the one destroyed last decides.
class SharedFile : public Options, public ::testing::WithParamInterface<bool>
{
};

TEST_P(SharedFile, TheObjectDestroyedLastDecidesWhatIsStored)
{
    const bool firstEndsLast = GetParam();
    ModulePtr first = CreateModule(&device);
    ModulePtr second = CreateModule(&device);
    ASSERT_TRUE(first && second);
    CPidDataWriterTestAccess(first.get()).SetPort(1111);
    CPidDataWriterTestAccess(first.get()).SetAddress(L"10.0.0.1");
    CPidDataWriterTestAccess(second.get()).SetPort(2222);
    CPidDataWriterTestAccess(second.get()).SetAddress(L"10.0.0.2");

    if (firstEndsLast)
    {
        second.reset();
        EXPECT_EQ(ini.ReadKey(L"UDP_Port"), L"2222");
        first.reset();
        EXPECT_EQ(ini.ReadKey(L"UDP_Port"), L"1111");
        EXPECT_EQ(ini.ReadKey(L"IPAddress"), L"10.0.0.1");
    }
    else
    {
        first.reset();
        EXPECT_EQ(ini.ReadKey(L"UDP_Port"), L"1111");
        second.reset();
        EXPECT_EQ(ini.ReadKey(L"UDP_Port"), L"2222");
        EXPECT_EQ(ini.ReadKey(L"IPAddress"), L"10.0.0.2");
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, SharedFile, ::testing::Bool());

TEST_F(Options, LoadOptionsReadsTheFileAgainWhileIdle)
{
    ModulePtr module = CreateModule(&device);
    ASSERT_TRUE(module);
    CPidDataWriterTestAccess access(module.get());
    ini.WriteKey(L"IPAddress", L"192.0.2.7");
    ini.WriteKey(L"UDP_Port", L"1234");
    ini.WriteKey(L"nTS_UDP", L"4");

    access.Writer().LoadOptions();

    EXPECT_EQ(access.Address(), L"192.0.2.7");
    EXPECT_EQ(access.Port(), 1234);
    EXPECT_EQ(access.PacketsPerDatagram(), 4);
    EXPECT_EQ(access.ChunkSize(), 4 * kPacket);
}

// The stored settings are the ones the stream uses: datagram size from the
// (range-checked) packet count, destination port from the file.
struct StreamCase
{
    const char* stored;
    int packets;
};

std::ostream& operator<<(std::ostream& out, const StreamCase& c)
{
    return out << "nTS_UDP=\"" << c.stored << "\"";
}

class StoredSettingsInTheStream : public Options, public ::testing::WithParamInterface<StreamCase>
{
};

TEST_P(StoredSettingsInTheStream, DatagramsHaveTheStoredSizeAndGoToTheStoredPort)
{
    ASSERT_TRUE(WinsockProbe::Installed());
    const StreamCase c = GetParam();
    UdpReceiver receiver;
    ASSERT_TRUE(receiver.Bound());
    ini.WriteBytes("[TovrinStreamer]\r\nIPAddress=127.0.0.1\r\nUDP_Port=" + std::to_string(receiver.Port()) +
                   "\r\nnTS_UDP=" + c.stored + "\r\n");

    ModulePtr module = CreateModule(&device);
    ASSERT_TRUE(module);
    CPidDataWriterTestAccess access(module.get());
    access.Writer().StartWrite();
    ASSERT_TRUE(access.Streaming());
    Bytes packets = TsPackets::Make(0, 3 * c.packets);
    ASSERT_TRUE(device.Deliver(packets.data(), static_cast<int>(packets.size())));

    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_EQ(got.size(), 3u);
    for (size_t i = 0; i < got.size(); ++i)
    {
        EXPECT_EQ(got[i].size(), static_cast<size_t>(kHeader + c.packets * kPacket));
        EXPECT_EQ(PayloadOf(got[i]), TsPackets::Make(static_cast<uint32_t>(i * c.packets), c.packets));
    }
    const Bytes destination = WinsockProbe::LastDestination();
    ASSERT_EQ(destination.size(), 16u);
    EXPECT_EQ(destination[2] << 8 | destination[3], receiver.Port());
    EXPECT_EQ(Bytes(destination.begin() + 4, destination.begin() + 8), (Bytes{127, 0, 0, 1}));
}

INSTANTIATE_TEST_SUITE_P(Counts, StoredSettingsInTheStream,
                         ::testing::Values(StreamCase{"3", 3}, StreamCase{"1", 1}, StreamCase{"0", 1},
                                           StreamCase{"9", 7}));

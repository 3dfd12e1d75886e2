// The FEC key from a real INI file into the module object, its refusals, and
// the parity packets on 127.0.0.1: column packets at the media port + 2, row
// packets at + 4, the last matrix completed at Stop. The packets' fields and
// payloads are checked natively (tests/stream); a real decoder repairs
// losses from them in tools/fec_check.py. With FEC, or RtpTimestamps=clock,
// the media's timestamps follow the 90 kHz clock.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "IniModuleTest.h"

namespace
{
// Three receivers at port, port + 2 and port + 4.
struct FecReceivers
{
    std::unique_ptr<UdpReceiver> media, columns, rows;

    bool Bind()
    {
        for (int attempt = 0; attempt < 20; ++attempt)
        {
            media = std::make_unique<UdpReceiver>();
            if (!media->Bound() || media->Port() > 65531)
                continue;
            columns = std::make_unique<UdpReceiver>(static_cast<uint16_t>(media->Port() + 2));
            rows = std::make_unique<UdpReceiver>(static_cast<uint16_t>(media->Port() + 4));
            if (columns->Bound() && rows->Bound())
                return true;
        }
        return false;
    }
};

uint16_t SnBaseOf(const Bytes& p)
{
    return static_cast<uint16_t>(p[12] << 8 | p[13]);
}

class Fec : public IniModuleTest
{
protected:
    void SetUp() override
    {
        IniModuleTest::SetUp();
        ASSERT_TRUE(receivers.Bind());
    }

    // `port` < 0: the media receiver's, with the FEC receivers above it.
    void Create(const std::string& lines, int port = -1)
    {
        m_nPort = port;
        IniModuleTest::Create(lines);
    }

    int DestinationPort() override { return m_nPort < 0 ? receivers.media->Port() : m_nPort; }

    FecReceivers receivers;

private:
    int m_nPort = -1;
};
}  // namespace

TEST_F(Fec, KeyValuesAndTheDescriptionLine)
{
    struct Case
    {
        const char* line;
        int columns, rows;
    };
    for (const Case c : {Case{"FEC=10x10", 10, 10}, Case{"FEC=5X5", 5, 5}, Case{"FEC=4x25", 0, 0},
                         Case{"FEC=3x3", 0, 0}, Case{"FEC=", 0, 0}, Case{"FEC=on", 0, 0}, Case{"", 0, 0}})
    {
        SCOPED_TRACE(c.line);
        Create(std::string(c.line) + "\r\n");
        EXPECT_EQ(Access().SendOptions().Fec.Columns, c.columns);
        EXPECT_EQ(Access().SendOptions().Fec.Rows, c.rows);
        const std::wstring port = std::to_wstring(receivers.media->Port());
        if (c.columns == 0)
            EXPECT_EQ(Access().Description(),
                      L"This module sends complete TS to udp://127.0.0.1:" + port + L" with 7xTS chunks");
        else
            EXPECT_EQ(Access().Description(), L"Sends complete TS to udp://127.0.0.1:" + port +
                                                  L" with 7xTS chunks, FEC " + std::to_wstring(c.columns) +
                                                  L"x" + std::to_wstring(c.rows));
        module.reset();
        EXPECT_EQ(ini.ReadKey(L"FEC"), c.line[0] == 0 ? L"<missing>" : std::wstring(c.line + 4, c.line + std::strlen(c.line)))
            << "the module never writes the key";
    }
    Create("FEC=10x10\r\n", 1234);
    EXPECT_EQ(Access().Description(), L"Sends complete TS to udp://127.0.0.1:1234 with 7xTS chunks, FEC 10x10");
    EXPECT_LE(Access().Description().size(), 70u);
}

// FEC without RTP, or without room for its ports: nothing registered,
// opened or sent, and the line says why.
TEST_F(Fec, RefusedStartsRegisterNothing)
{
    struct Case
    {
        std::string lines;
        int port;
        const wchar_t* refusal;
    };
    const Case cases[] = {
        {"Protocol=UDP\r\nFEC=5x5\r\n", -1, L"FEC needs RTP: Start refused with Protocol=UDP"},
        {"FEC=5x5\r\n", 65532, L"FEC sends to port + 2 and + 4: use a port up to 65531"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.lines);
        Create(c.lines, c.port);
        const WinsockProbe::Counts before = WinsockProbe::Now();
        const size_t calls = device.CallCount(DeviceOp::AddEngineFilter);
        Writer().StartWrite();
        EXPECT_FALSE(Access().Streaming());
        EXPECT_EQ(device.CallCount(DeviceOp::AddEngineFilter), calls);
        EXPECT_EQ(Access().Socket(), INVALID_SOCKET);
        const WinsockProbe::Counts after = WinsockProbe::Now();
        EXPECT_EQ(after.sockets, before.sockets);
        EXPECT_EQ(after.sends, before.sends);
        EXPECT_EQ(Access().Description(), c.refusal);
        module.reset();
    }
    // The same port is fine without FEC, and UDP is fine without FEC.
    Create("Protocol=UDP\r\n");
    Writer().StartWrite();
    EXPECT_TRUE(Access().Streaming());
}

// 4x4 with 7 packets a datagram: 20 datagrams are a matrix and 4 more; Stop
// fills the second matrix with 12 null-packet datagrams and sends its parity.
// A second run goes on with the FEC sequence numbers.
TEST_F(Fec, ParityAtPortsTwoAndFourCompletedAtStop)
{
    Create("FEC=4x4\r\n");
    Access().SetCounters(65530, 0, 0);
    for (int run = 0; run < 2; ++run)
    {
        SCOPED_TRACE(run);
        Writer().StartWrite();
        ASSERT_TRUE(Access().Streaming());
        Feed(1000, 20 * 7);
        std::vector<Bytes> media = receivers.media->DrainUntilMarker();
        std::vector<Bytes> rows = receivers.rows->DrainUntilMarker();
        std::vector<Bytes> columns = receivers.columns->DrainUntilMarker();
        ASSERT_EQ(media.size(), 20u);
        EXPECT_EQ(rows.size(), 5u);
        EXPECT_EQ(columns.size(), 1u) << "the first matrix's columns wait, one after every 4 datagrams";
        for (size_t i = 0; i < media.size(); ++i)
            EXPECT_EQ(PayloadOf(media[i]), TsPackets::Make(1000 + static_cast<uint32_t>(i) * 7, 7));
        EXPECT_EQ(Access().ReadCounters().totalBytes, 20 * 7 * kPacket);

        Writer().StopWrite();
        const std::vector<Bytes> tailMedia = receivers.media->DrainUntilMarker();
        const std::vector<Bytes> tailRows = receivers.rows->DrainUntilMarker();
        const std::vector<Bytes> tailColumns = receivers.columns->DrainUntilMarker();
        ASSERT_EQ(tailMedia.size(), 12u);
        for (const Bytes& d : tailMedia)
        {
            ASSERT_EQ(d.size(), static_cast<size_t>(kHeader + 7 * kPacket));
            for (int p = 0; p < 7; ++p)
            {
                const uint8_t* packet = d.data() + kHeader + p * kPacket;
                EXPECT_EQ(packet[0], 0x47);
                EXPECT_EQ((packet[1] & 0x1F) << 8 | packet[2], 0x1FFF);
            }
        }
        EXPECT_EQ(tailRows.size(), 3u);
        EXPECT_EQ(tailColumns.size(), 7u);
        media.insert(media.end(), tailMedia.begin(), tailMedia.end());
        rows.insert(rows.end(), tailRows.begin(), tailRows.end());
        columns.insert(columns.end(), tailColumns.begin(), tailColumns.end());

        const uint16_t first = static_cast<uint16_t>(65530 + run * 32);
        for (size_t i = 0; i < media.size(); ++i)
        {
            EXPECT_TRUE(HasFixedRtpHeader(media[i]));
            EXPECT_EQ(SequenceOf(media[i]), static_cast<uint16_t>(first + i));
        }
        for (size_t i = 0; i < rows.size(); ++i)
        {
            EXPECT_EQ(rows[i][1], 96);
            EXPECT_EQ(SequenceOf(rows[i]), run * 8 + i) << "the row packets' own numbers";
            EXPECT_EQ(SnBaseOf(rows[i]), static_cast<uint16_t>(first + 4 * i));
            EXPECT_EQ(rows[i][24], 0x40);
            EXPECT_EQ(rows[i].size(), static_cast<size_t>(kHeader + 16 + 7 * kPacket));
        }
        for (size_t i = 0; i < columns.size(); ++i)
        {
            EXPECT_EQ(columns[i][1], 96);
            EXPECT_EQ(SequenceOf(columns[i]), run * 8 + i) << "the column packets' own numbers";
            EXPECT_EQ(SnBaseOf(columns[i]), static_cast<uint16_t>(first + 16 * (i / 4) + i % 4));
            EXPECT_EQ(columns[i][24], 0x00);
        }
        // A second Stop sends nothing more.
        Writer().StopWrite();
        EXPECT_TRUE(receivers.media->DrainUntilMarker().empty());
        EXPECT_TRUE(receivers.columns->DrainUntilMarker().empty());
    }
}

// Without the key: nothing at the FEC ports, nothing added at Stop.
TEST_F(Fec, OffSendsNothingBeyondTheMedia)
{
    Create("");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    Feed(0, 10 * 7);
    Writer().StopWrite();
    EXPECT_EQ(receivers.media->DrainUntilMarker().size(), 10u);
    EXPECT_TRUE(receivers.columns->DrainUntilMarker().empty());
    EXPECT_TRUE(receivers.rows->DrainUntilMarker().empty());
}


// One datagram every 20 ms or so (about 50 a second, far from 1000): on the
// clock, each timestamp lies between the 90 kHz times measured around its
// send, counted from the first datagram's; a Stop and a pause of 150 ms are
// not counted, the next run goes on from the last timestamp sent (FEC's
// completing datagrams included). The counter adds 90 per datagram whatever
// the time. The dialog's line stays as it was; the module never writes the
// key.
TEST_F(Fec, TimestampsFollowTheClockWithFecOrTheKey)
{
    struct Case
    {
        const char* lines;
        bool clock;
        const wchar_t* key;  // as the INI file keeps it
    };
    for (const Case c : {Case{"", false, L"<missing>"}, Case{"RtpTimestamps=counter\r\n", false, L"counter"},
                         Case{"RtpTimestamps=Clock\r\n", true, L"Clock"}, Case{"FEC=4x4\r\n", true, L"<missing>"},
                         Case{"FEC=4x4\r\nRtpTimestamps=counter\r\n", true, L"counter"}})
    {
        SCOPED_TRACE(c.lines);
        Create(c.lines);
        if (std::strstr(c.lines, "FEC") == nullptr)
        {
            EXPECT_EQ(Access().Description(), L"This module sends complete TS to udp://127.0.0.1:" +
                                                  std::to_wstring(receivers.media->Port()) + L" with 7xTS chunks")
                << "the line says nothing new";
        }
        uint32_t last = 0;
        for (int run = 0; run < 2; ++run)
        {
            SCOPED_TRACE(run);
            const LARGE_INTEGER start = Now();
            Writer().StartWrite();
            ASSERT_TRUE(Access().Streaming());
            const TimedFeeds times = FeedFiveTimed();
            Writer().StopWrite();
            std::vector<Bytes> media = receivers.media->DrainUntilMarker();
            ASSERT_GE(media.size(), 5u);
            for (size_t i = 0; i < media.size(); ++i)
            {
                const uint32_t stamp = TimestampOf(media[i]);
                const uint32_t sinceLast = stamp - last;
                if (!c.clock)
                {
                    EXPECT_EQ(sinceLast, 90u) << i;
                }
                else if (i == 0)
                {
                    // The pause before Start does not count.
                    EXPECT_LE(sinceLast, 90000 * Seconds(start, times.after[0]) + 1);
                }
                else
                {
                    EXPECT_LT(sinceLast, 1u << 31) << "the completing datagrams never step back";
                }
                last = stamp;
            }
            if (c.clock)
                ExpectClockStamps(media, times);
            Sleep(150);
        }
        module.reset();
        EXPECT_EQ(ini.ReadKey(L"RtpTimestamps"), c.key)
            << "the module never writes the key";
    }
}

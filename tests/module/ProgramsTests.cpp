// The optional Programs key: from a real INI file into the module object, the
// unchanged complete stream without a selection, the cut stream in the
// datagrams with one, and the dialog's description line. The stream here is
// two programs with tables built by the test.

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <ostream>
#include <string>
#include <vector>

#include "IniModuleTest.h"
#include "settings/OptionKeys.h"
#include "psi/PsiSection.h"
#include "PsiTestStreams.h"

using namespace KelvModuleApi2;

namespace
{
constexpr uint16_t kTsId = 0x4321;
constexpr uint16_t kPmt1 = 0x1000;
constexpr uint16_t kPmt2 = 0x1001;
constexpr uint16_t kVideo1 = 0x100, kAudio1 = 0x101, kVideo2 = 0x200, kAudio2 = 0x201;

Bytes Pat(const std::vector<std::pair<uint16_t, uint16_t>>& programs)
{
    return psitest::PatSection(kTsId, 0, programs);
}

Bytes Pmt(uint16_t number, uint16_t video, uint16_t audio)
{
    return psitest::PmtSection(number, 0, video, {{0x1B, video, {}}, {0x0F, audio, {}}});
}

void SetPid(uint8_t* packet, uint16_t pid)
{
    packet[1] = static_cast<uint8_t>((packet[1] & 0xE0) | pid >> 8);
    packet[2] = static_cast<uint8_t>(pid);
}

using psitest::PidOf;

// One packet holding the whole section, with continuity counter `cc`.
Bytes SectionPacket(uint16_t pid, uint8_t cc, const Bytes& section)
{
    psitest::PacketMaker maker;
    maker.SetCounter(pid, cc);
    const psitest::Packet packet = maker.Sections(pid, {section}).front();
    return Bytes(packet.begin(), packet.end());
}

// A transponder of programs 1 and 2 (and null packets), `rounds` times a PAT
// (listing `listed`), both PMTs and a run of elementary packets. A part that
// follows another begins at the round where that one ended, so that the
// tables' continuity counters run on.
Bytes Transponder(int rounds, const std::vector<std::pair<uint16_t, uint16_t>>& listed, int firstRound = 0)
{
    Bytes ts;
    uint32_t counter = static_cast<uint32_t>(firstRound) * 7;
    auto put = [&](const Bytes& p) { ts.insert(ts.end(), p.begin(), p.end()); };
    for (int r = firstRound; r < firstRound + rounds; ++r)
    {
        put(SectionPacket(kPatPid, static_cast<uint8_t>(r), Pat(listed)));
        put(SectionPacket(kPmt1, static_cast<uint8_t>(r), Pmt(1, kVideo1, kAudio1)));
        put(SectionPacket(kPmt2, static_cast<uint8_t>(r), Pmt(2, kVideo2, kAudio2)));
        for (uint16_t pid : {kVideo1, kVideo2, kNullPid, kAudio1, kAudio2, kVideo2, kNullPid})
        {
            Bytes p = TsPackets::Make(counter++, 1);
            SetPid(p.data(), pid);
            put(p);
        }
    }
    return ts;
}

std::string Repeat(const std::string& text, int times)
{
    std::string repeated;
    for (int i = 0; i < times; ++i)
        repeated += text;
    return repeated;
}

const std::vector<std::pair<uint16_t, uint16_t>> kBothPrograms = {{1, kPmt1}, {2, kPmt2}};

std::vector<Bytes> PacketsOf(const std::vector<Bytes>& datagrams)
{
    std::vector<Bytes> packets;
    for (const Bytes& d : datagrams)
        for (size_t offset = kHeader; offset + kPacket <= d.size(); offset += kPacket)
            packets.emplace_back(d.begin() + static_cast<std::ptrdiff_t>(offset),
                                 d.begin() + static_cast<std::ptrdiff_t>(offset + kPacket));
    return packets;
}

// Sequence numbers one apart and timestamps 90 apart across the datagrams.
void ExpectContiguousRtp(const std::vector<Bytes>& datagrams)
{
    for (size_t i = 1; i < datagrams.size(); ++i)
    {
        EXPECT_EQ(SequenceOf(datagrams[i]), static_cast<uint16_t>(SequenceOf(datagrams[i - 1]) + 1)) << i;
        EXPECT_EQ(TimestampOf(datagrams[i]), TimestampOf(datagrams[i - 1]) + 90u) << i;
    }
}

// The program entries of a PAT packet holding one whole section with a
// correct CRC; empty for anything else.
std::vector<std::pair<uint16_t, uint16_t>> PatEntries(const Bytes& packet, uint16_t* tsId = nullptr)
{
    std::vector<std::pair<uint16_t, uint16_t>> entries;
    if (PidOf(packet.data()) != kPatPid || (packet[1] & 0x40) == 0 || packet[4] != 0 || packet[5] != 0x00)
        return entries;
    const int length = 3 + ((packet[6] & 0x0F) << 8 | packet[7]);
    if (length < 12 || 5 + length > kPacket || psitest::ReferenceCrc(&packet[5], static_cast<size_t>(length)) != 0)
        return entries;
    if (tsId != nullptr)
        *tsId = static_cast<uint16_t>(packet[8] << 8 | packet[9]);
    for (int i = 5 + 8; i + 4 <= 5 + length - 4; i += 4)
        entries.emplace_back(static_cast<uint16_t>(packet[i] << 8 | packet[i + 1]),
                             static_cast<uint16_t>((packet[i + 2] & 0x1F) << 8 | packet[i + 3]));
    return entries;
}

// What must come out of `ts` with Programs=2, packet for packet, in datagrams
// of `perDatagram` packets: a rewritten PAT for each source PAT, program 2's
// PMT and elementary packets unchanged.
void ExpectTheCutOfProgram2(const Bytes& ts, const std::vector<Bytes>& packets, int perDatagram)
{
    std::vector<Bytes> expected;
    for (size_t offset = 0; offset + kPacket <= ts.size(); offset += kPacket)
    {
        const Bytes p(ts.begin() + static_cast<std::ptrdiff_t>(offset),
                      ts.begin() + static_cast<std::ptrdiff_t>(offset + kPacket));
        const uint16_t pid = PidOf(p.data());
        if (pid == kPatPid || pid == kPmt2 || pid == kVideo2 || pid == kAudio2)
            expected.push_back(p);
    }
    ASSERT_EQ(packets.size(), expected.size() - expected.size() % static_cast<size_t>(perDatagram))
        << "the rest waits for a whole datagram";
    int pats = 0;
    for (size_t i = 0; i < packets.size(); ++i)
    {
        if (PidOf(expected[i].data()) != kPatPid)
        {
            EXPECT_TRUE(packets[i] == expected[i]) << "packet " << i << " PID " << PidOf(expected[i].data());
            continue;
        }
        uint16_t tsId = 0;
        EXPECT_EQ(PatEntries(packets[i], &tsId), (std::vector<std::pair<uint16_t, uint16_t>>{{2, kPmt2}}))
            << "packet " << i;
        EXPECT_EQ(tsId, kTsId);
        EXPECT_EQ(packets[i][3] & 0x0F, pats++ & 0x0F) << "the PAT's continuity counter runs on";
    }
    EXPECT_GT(pats, 0);
}

class Programs : public IniModuleTest
{
protected:
    // A module object whose INI section holds `lines` (each "Key=value\r\n").
    void Create(const std::string& lines, int packetsPerDatagram = 7)
    {
        IniModuleTest::Create("nTS_UDP=" + std::to_string(packetsPerDatagram) + "\r\n" + lines);
    }

    void Deliver(Bytes ts, int blockPackets = 5)
    {
        for (size_t offset = 0; offset < ts.size(); offset += static_cast<size_t>(blockPackets) * kPacket)
        {
            const size_t size = std::min(ts.size() - offset, static_cast<size_t>(blockPackets) * kPacket);
            ASSERT_TRUE(device.Deliver(ts.data() + offset, static_cast<int>(size)));
        }
    }

    std::wstring Port() { return std::to_wstring(receiver.Port()); }
};
}  // namespace

// ---------------------------------------------------------------------------
// From the INI file into the selection.
struct ProgramsKeyCase
{
    std::string lines;
    std::vector<int> numbers;
};

std::ostream& operator<<(std::ostream& out, const ProgramsKeyCase& c)
{
    return out << "\"" << c.lines << "\"";
}

class ProgramsKey : public Programs, public ::testing::WithParamInterface<ProgramsKeyCase>
{
};

TEST_P(ProgramsKey, IsReadIntoTheSelection)
{
    Create(GetParam().lines);
    const SProgramSelection& programs = Access().Programs();
    EXPECT_EQ(std::vector<int>(programs.Numbers, programs.Numbers + programs.Count), GetParam().numbers);
    EXPECT_EQ(Access().PacketsPerDatagram(), 7);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ProgramsKey,
    ::testing::Values(ProgramsKeyCase{"", {}}, ProgramsKeyCase{"Programs=\r\n", {}}, ProgramsKeyCase{"Programs=abc\r\n", {}},
                      ProgramsKeyCase{"Programs=0, 70000\r\n", {}}, ProgramsKeyCase{"Programs=28106\r\n", {28106}},
                      ProgramsKeyCase{"Programs= 28106, 28107 28106\r\n", {28106, 28107}},
                      ProgramsKeyCase{"Programs=x,5;6,7\r\n", {7}},
                      // Longer than the module reads: the entry cut at its end is dropped.
                      ProgramsKeyCase{"Programs=1, " + Repeat("x,", 253) + "34567\r\n", {1}}));

TEST_F(Programs, KeyIsNeverWrittenAndSurvivesEverySave)
{
    Create("Programs=28106, x\r\n");
    Writer().SaveOptions();
    EXPECT_EQ(ini.ReadKey(L"Programs"), L"28106, x");
    module.reset();
    EXPECT_EQ(ini.ReadKey(L"Programs"), L"28106, x");

    Create("");
    module.reset();
    EXPECT_EQ(ini.ReadKey(L"Programs"), L"<missing>");
}

// The key is added by hand while the host runs: the next Start takes it as
// the file holds it then, and a running stream keeps what it started with.
TEST_F(Programs, EachStartReadsTheKeyAsTheFileHoldsItThen)
{
    Create("");
    ini.WriteKey(L"Programs", L"1");
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    Deliver(Transponder(3, kBothPrograms));
    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_FALSE(got.empty());
    for (const Bytes& packet : PacketsOf(got))
        EXPECT_NE(PidOf(packet.data()), kVideo2) << "program 2 was sent although only program 1 was chosen";
    Writer().StopWrite();

    ini.WriteKey(L"Programs", L"");
    Writer().StartWrite();
    EXPECT_EQ(Access().Programs().Count, 0) << "the key was emptied in the file";
    Writer().StopWrite();
}

// ---------------------------------------------------------------------------
// Without a valid number, the complete stream goes out as it always did: the
// same datagrams for the same traffic, table packets and null packets included.
class ProgramsAbsent : public Programs, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(ProgramsAbsent, SendsTheCompleteStreamByteForByte)
{
    Create(GetParam());
    ASSERT_EQ(Access().Programs().Count, 0);
    const Bytes ts = Transponder(42, kBothPrograms);  // 420 packets: 60 whole datagrams
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    Deliver(ts, 13);
    const std::vector<Bytes> got = receiver.DrainUntilMarker();

    ASSERT_EQ(got.size(), 60u);
    Bytes payload;
    for (const Bytes& d : got)
    {
        EXPECT_EQ(d.size(), 1328u);
        EXPECT_TRUE(HasFixedRtpHeader(d));
        payload.insert(payload.end(), d.begin() + kHeader, d.end());
    }
    EXPECT_TRUE(payload == ts);
    EXPECT_EQ(SequenceOf(got[0]), 0);
    EXPECT_EQ(TimestampOf(got[0]), 90u);
    ExpectContiguousRtp(got);
    EXPECT_EQ(Access().Description(),
              L"This module sends complete TS to udp://127.0.0.1:" + Port() + L" with 7xTS chunks");
}

INSTANTIATE_TEST_SUITE_P(Keys, ProgramsAbsent,
                         ::testing::Values("", "Programs=\r\n", "Programs= , \r\n", "Programs=abc\r\n",
                                           "Programs=0, 65536, -3\r\n"));

// ---------------------------------------------------------------------------
// With a selection: N whole packets of the cut stream per datagram.
TEST_F(Programs, SendsThePatOfTheProgramItsPmtAndItsStreamsInOrder)
{
    Create("Programs=2\r\n", 3);
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    const Bytes ts = Transponder(6, kBothPrograms);
    Deliver(ts, 4);
    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ASSERT_FALSE(got.empty());
    for (const Bytes& d : got)
    {
        EXPECT_EQ(d.size(), 12u + 3 * 188);
        EXPECT_TRUE(HasFixedRtpHeader(d));
    }
    ExpectContiguousRtp(got);

    const std::vector<Bytes> packets = PacketsOf(got);
    ExpectTheCutOfProgram2(ts, packets, 3);
    EXPECT_EQ(Access().ReadCounters().totalBytes, static_cast<long long>(packets.size()) * kPacket);
}

TEST_F(Programs, EachStartBeginsWithAPatAndNothingOfThePreviousRun)
{
    Create("Programs=1\r\n", 7);
    Writer().StartWrite();
    Deliver(Transponder(3, kBothPrograms));
    const std::vector<Bytes> first = receiver.DrainUntilMarker();
    ASSERT_FALSE(first.empty());
    EXPECT_FALSE(PatEntries(PacketsOf(first)[0]).empty());
    Writer().StopWrite();

    // The second run's source begins mid-stream: elementary packets of
    // program 1 before any PAT are dropped, whatever the last run knew.
    Bytes ts = TsPackets::Make(5000, 3);
    SetPid(ts.data(), kVideo1);
    const Bytes rest = Transponder(3, kBothPrograms);
    ts.insert(ts.end(), rest.begin(), rest.end());
    Writer().StartWrite();
    Deliver(ts);
    const std::vector<Bytes> second = receiver.DrainUntilMarker();
    ASSERT_FALSE(second.empty());
    const std::vector<Bytes> packets = PacketsOf(second);
    EXPECT_EQ(PatEntries(packets[0]), (std::vector<std::pair<uint16_t, uint16_t>>{{1, kPmt1}}));
    EXPECT_EQ(PidOf(packets[1].data()), kPmt1);
    EXPECT_EQ(SequenceOf(second[0]), static_cast<uint16_t>(SequenceOf(first.back()) + 1));
}

// A null packet as a multiplexer stuffs it: no 0x47 behind its sync byte.
Bytes NullPacket()
{
    Bytes p(kPacket, 0xFF);
    p[0] = 0x47;
    SetPid(p.data(), kNullPid);
    p[3] = 0x10;
    return p;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A stray byte, a lost byte, a first block that begins inside a packet, in
// blocks of whole packets, of 1 and of 187 bytes: the cut goes on from the
// next packet start. The damage lies in null packets between two parts of the
// transponder, so the cut is the undamaged stream's.
TEST_F(Programs, TheCutGoesOnAfterAStrayOrLostByte)
{
    const Bytes null = NullPacket();
    const Bytes clean = Join({Transponder(3, kBothPrograms), null, null, Transponder(3, kBothPrograms, 3)});
    const size_t damageAt = 30 * kPacket + 50;  // in the first null packet
    struct Case
    {
        const char* name;
        Bytes damaged;
    };
    Bytes stray = clean, lost = clean;
    stray.insert(stray.begin() + static_cast<std::ptrdiff_t>(damageAt), 0x00);
    lost.erase(lost.begin() + static_cast<std::ptrdiff_t>(damageAt));
    const Case cases[] = {
        {"a stray byte", stray},
        {"a lost byte", lost},
        {"a first block that begins at byte 100 of a packet", Join({Bytes(null.begin() + 100, null.end()), clean})},
    };
    for (const Case& c : cases)
        for (int block : {5 * kPacket, 1, 187})
        {
            SCOPED_TRACE(testing::Message() << c.name << ", blocks of " << block << " bytes");
            Create("Programs=2\r\n", 3);
            Writer().StartWrite();
            ASSERT_TRUE(Access().Streaming());
            Bytes ts = c.damaged;
            for (size_t offset = 0; offset < ts.size(); offset += static_cast<size_t>(block))
                ASSERT_TRUE(device.Deliver(ts.data() + offset,
                                           static_cast<int>(std::min(ts.size() - offset, static_cast<size_t>(block)))));
            const std::vector<Bytes> got = receiver.DrainUntilMarker();
            ExpectContiguousRtp(got);
            ExpectTheCutOfProgram2(clean, PacketsOf(got), 3);
            Writer().StopWrite();
            module.reset();
        }
}

// ---------------------------------------------------------------------------
// The description line.
TEST_F(Programs, TheLineNamesTheProgramsAndSaysWhenNoneIsOnTheTransponder)
{
    Create("Programs=2\r\n");
    const std::wstring sends = L"Sends program 2 to udp://127.0.0.1:" + Port() + L" with 7xTS chunks";
    EXPECT_EQ(Access().Description(), sends);
    Writer().StartWrite();
    EXPECT_EQ(Access().Description(), sends) << "before any PAT nothing is known";

    Deliver(Transponder(1, {{1, kPmt1}}));
    EXPECT_EQ(Access().ProgramsPresent(), 0);
    EXPECT_EQ(Access().Description(), L"Program 2 is not on this transponder");
    EXPECT_LE(Access().Description().size(), 70u);

    Deliver(Transponder(1, kBothPrograms, 1));
    EXPECT_EQ(Access().Description(), sends);
    Deliver(Transponder(1, {}, 2));
    EXPECT_EQ(Access().Description(), L"Program 2 is not on this transponder");
    Writer().StopWrite();
    EXPECT_EQ(Access().Description(), sends);
}

// While no sync byte comes the cut stream stands still: the line says so,
// with the bytes dropped, until a packet start comes again.
TEST_F(Programs, TheLineSaysWhileNoSyncByteComes)
{
    Create("Programs=2\r\n");
    const std::wstring sends = L"Sends program 2 to udp://127.0.0.1:" + Port() + L" with 7xTS chunks";
    Writer().StartWrite();
    Deliver(Transponder(1, kBothPrograms));
    EXPECT_EQ(Access().Description(), sends);

    Bytes noSync(300, 0xFF);
    ASSERT_TRUE(device.Deliver(noSync.data(), 300));
    ASSERT_TRUE(device.Deliver(noSync.data(), 76));
    EXPECT_EQ(Access().Description(), L"No sync byte in the stream (376 bytes dropped since Start)");
    EXPECT_LE(Access().Description().size(), 70u);

    Deliver(Transponder(1, kBothPrograms, 1));
    EXPECT_EQ(Access().Description(), sends);

    // Found again within a status period: for that period the line says the
    // stream resynchronised, the next one names the program again.
    Access().StatusPeriod();
    EXPECT_EQ(Access().Description(), L"Stream resynchronised (376 bytes dropped since Start)");
    Access().StatusPeriod();
    EXPECT_EQ(Access().Description(), sends);
    Bytes damaged = Join({Bytes(40, 0xFF), Transponder(1, kBothPrograms, 2)});
    Deliver(damaged);
    Access().StatusPeriod();
    EXPECT_EQ(Access().Description(), L"Stream resynchronised (416 bytes dropped since Start)");
    Access().StatusPeriod();
    EXPECT_EQ(Access().Description(), sends);

    ASSERT_TRUE(device.Deliver(noSync.data(), 300));
    Writer().StopWrite();
    EXPECT_EQ(Access().Description(), sends) << "a stopped stream searches for nothing";
    Writer().StartWrite();
    EXPECT_EQ(Access().Description(), sends) << "each Start begins afresh";
    Writer().StopWrite();
}

TEST_F(Programs, TheLineForSeveralProgramsFitsAndPlainUdpSaysSo)
{
    Create("Programs=28106, 28107, 28111, 28112\r\nProtocol=UDP\r\n");
    EXPECT_EQ(Access().Description(),
              L"Sends programs 28106, 28107 +2 without RTP to udp://127.0.0.1:" + Port() + L" with 7xTS chunks");
    Writer().StartWrite();
    Deliver(Transponder(1, kBothPrograms));
    EXPECT_EQ(Access().Description(), L"Programs 28106, 28107 +2 are not on this transponder");
    // The longest line: the widest numbers, address and port.
    Writer().StopWrite();
    module.reset();
    ini.WriteBytes("[TovrinStreamer]\r\nIPAddress=255.255.255.255\r\nUDP_Port=65535\r\nPrograms=65531 65532 65533 "
                   "65534 65535 1 2 3 4 5 6 7 8 9 10 11\r\n");
    module = CreateModule(&device);
    EXPECT_EQ(Access().Description(), L"Sends programs 65531, 65532 +14 to udp://255.255.255.255:65535 with 7xTS chunks");
}

// ---------------------------------------------------------------------------
// Another choice while the stream runs, as the second dialog applies it: the
// next packet after the change goes through the new path, a packet that a
// host block split is completed there, and the datagrams run on.

// The second dialog's write of the Programs key: `text`, or none.
static void ApplyProgramsKey(CPidDataWriter& writer, const wchar_t* text)
{
    SOptionWritePlan plan;
    plan.Action[kOptionPrograms] = text[0] != 0 ? EOptionWrite::Write : EOptionWrite::Remove;
    std::wcscpy(plan.Texts.Text[kOptionPrograms], text);
    writer.ApplyOptionalKeys(plan);
}

TEST_F(Programs, AChangeWhileRunningCutsFromTheNextPacketWithoutAGap)
{
    Create("", 3);
    Writer().StartWrite();
    ASSERT_TRUE(Access().Streaming());
    Bytes whole1 = Transponder(3, kBothPrograms);
    Bytes cut = Transponder(3, kBothPrograms, 3);
    Bytes whole2 = Transponder(3, kBothPrograms, 6);
    // Host blocks of 500 bytes: packets split between blocks.
    auto deliver = [&](Bytes& ts, size_t from, size_t to) {
        for (size_t offset = from; offset < to; offset += 500)
            ASSERT_TRUE(device.Deliver(ts.data() + offset, static_cast<int>(std::min<size_t>(500, to - offset))));
    };
    deliver(whole1, 0, whole1.size());
    deliver(cut, 0, 100);  // the first 100 bytes of the cut part's PAT
    ApplyProgramsKey(Writer(), L"2");
    EXPECT_EQ(Access().Programs().Count, 1);
    deliver(cut, 100, cut.size() - 50);
    ApplyProgramsKey(Writer(), L"");  // the last packet's start is held by the cut
    deliver(cut, cut.size() - 50, cut.size());
    deliver(whole2, 0, whole2.size());

    std::vector<Bytes> expected;
    auto packetAt = [](const Bytes& ts, size_t i) {
        return Bytes(ts.begin() + static_cast<std::ptrdiff_t>(i * kPacket),
                     ts.begin() + static_cast<std::ptrdiff_t>((i + 1) * kPacket));
    };
    for (size_t i = 0; i < whole1.size() / kPacket; ++i)
        expected.push_back(packetAt(whole1, i));
    const size_t cutPackets = cut.size() / kPacket;
    for (size_t i = 0; i + 1 < cutPackets; ++i)
    {
        const Bytes p = packetAt(cut, i);
        const uint16_t pid = PidOf(p.data());
        if (pid == kPatPid || pid == kPmt2 || pid == kVideo2 || pid == kAudio2)
            expected.push_back(p);
    }
    expected.push_back(packetAt(cut, cutPackets - 1));  // completed on the whole stream's path
    for (size_t i = 0; i < whole2.size() / kPacket; ++i)
        expected.push_back(packetAt(whole2, i));

    const std::vector<Bytes> got = receiver.DrainUntilMarker();
    ExpectContiguousRtp(got);
    const std::vector<Bytes> packets = PacketsOf(got);
    ASSERT_EQ(packets.size(), expected.size() - expected.size() % 3);
    const size_t cutBegin = whole1.size() / kPacket;
    int lastPatCounter = -1;
    for (size_t i = 0; i < packets.size(); ++i)
    {
        const uint16_t pid = PidOf(expected[i].data());
        if (pid == kPatPid)
        {
            // The PAT's continuity counter runs on through the source's PATs
            // and the cut's.
            const int counter = packets[i][3] & 0x0F;
            if (lastPatCounter >= 0)
            {
                EXPECT_EQ(counter, (lastPatCounter + 1) & 0x0F) << "packet " << i;
            }
            lastPatCounter = counter;
        }
        const bool inCut = i >= cutBegin && i < expected.size() - whole2.size() / kPacket - 1;
        if (pid != kPatPid || !inCut)
        {
            EXPECT_TRUE(packets[i] == expected[i]) << "packet " << i << " PID " << pid;
            continue;
        }
        EXPECT_EQ(PatEntries(packets[i]), (std::vector<std::pair<uint16_t, uint16_t>>{{2, kPmt2}})) << "packet " << i;
        EXPECT_EQ((packets[i][5 + 5] >> 1) & 0x1F, 1) << "a version after the source's 0";
    }
}

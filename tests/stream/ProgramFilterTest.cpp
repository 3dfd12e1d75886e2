// The program filter on a small transponder of three programs: what comes
// out for a selection (source packets unchanged, in order, and rewritten
// tables), read back with the test's own section reader; how table changes
// move the set of passed PIDs; the whole stream without a selection.
//
// The transponder (transport_stream_id 7, original_network_id 1):
//   program  PMT     PCR            streams                     CA (ECM PIDs)
//   0        0x0010  (the NIT)
//   101      0x1000  0x0100         video 0x0100, audio 0x0101
//   102      0x1001  0x01F0 alone   video 0x0110, audio 0x0111  program 0x0600, audio 0x0601
//   103      0x1002  0x0120 audio   audio 0x0120 (a radio)
// plus CAT (PID 1) naming EMMs on 0x0700, null packets, SDT actual/other,
// BAT, EIT actual and other, TDT.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "programs/ProgramFilter.h"
#include "PsiTestStreams.h"

using namespace psitest;

namespace {

constexpr uint16_t kTsid = 7;
constexpr uint16_t kOnid = 1;

struct Step
{
    std::string name;
    Packet packet;
};
using Steps = std::vector<Step>;

const std::vector<TestService> kServices = {
    {101, "Prov A", "One"}, {102, "Prov B", "Two HD"}, {103, "Prov A", "Radio Three"}};

class Transponder
{
public:
    Steps Table(const std::string& name, uint16_t pid, const std::vector<Bytes>& sections)
    {
        Steps steps;
        for (const Packet& packet : m_maker.Sections(pid, sections))
            steps.push_back({name, packet});
        return steps;
    }
    Steps Pat(const ProgramList& programs, int version = 0) { return Table("PAT", 0, {PatSection(kTsid, version, programs)}); }
    Steps StandardPat() { return Pat({{0, 0x10}, {101, 0x1000}, {102, 0x1001}, {103, 0x1002}}); }
    Steps Pmt101(int version = 0)
    {
        return Table("PMT 101", 0x1000, {PmtSection(101, version, 0x100, {{0x1B, 0x100, {}}, {0x03, 0x101, {}}})});
    }
    Steps Pmt102(uint16_t pmtPid = 0x1001, uint16_t videoPid = 0x110, int version = 0)
    {
        return Table("PMT 102", pmtPid,
                     {PmtSection(102, version, 0x1F0,
                                 {{0x1B, videoPid, {}}, {0x03, 0x111, CaDescriptor(0x0500, 0x601)}},
                                 CaDescriptor(0x0500, 0x600))});
    }
    Steps Pmt103() { return Table("PMT 103", 0x1002, {PmtSection(103, 0, 0x120, {{0x03, 0x120, {}}})}); }
    Step Es(const std::string& name, uint16_t pid) { return {name, m_maker.Stream(pid, static_cast<uint8_t>(pid))}; }
    Steps Sdt(uint8_t tableId = 0x42, const std::vector<TestService>& services = kServices, int version = 0)
    {
        return Table(tableId == 0x42 ? "SDT" : "SDT other", 0x11, {SdtSection(tableId, kTsid, kOnid, version, services)});
    }
    Steps Eit(uint8_t tableId, uint16_t service) { return Table("EIT", 0x12, {EitSection(tableId, service, kTsid, kOnid, 0, 3)}); }

private:
    PacketMaker m_maker;
};

Steps Join(std::initializer_list<Steps> parts)
{
    Steps all;
    for (const Steps& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Records what the filter puts out; a packet on a PID the filter rewrites
// is named after its table, any other must be the source packet just fed.
struct Recorder : IPacketSink
{
    const Step* current = nullptr;
    std::vector<std::string> labels;
    std::vector<Packet> packets;

    void PutPacket(const unsigned char* packet) override
    {
        Packet copy;
        std::copy(packet, packet + 188, copy.begin());
        packets.push_back(copy);
        switch (PidOf(copy))
        {
        case 0x00: labels.push_back("out PAT"); break;
        case 0x11: labels.push_back("out SDT"); break;
        case 0x12: labels.push_back("out EIT"); break;
        default: labels.push_back(current && copy == current->packet ? current->name : "?? unknown packet");
        }
    }
};

SProgramSelection Select(std::initializer_list<uint16_t> numbers)
{
    SProgramSelection selection{};
    for (uint16_t number : numbers)
        selection.Numbers[selection.Count++] = number;
    return selection;
}

class ProgramFilterTest : public ::testing::Test
{
protected:
    void Run(const Steps& steps)
    {
        for (const Step& step : steps)
        {
            out.current = &step;
            filter->Feed(step.packet.data(), out);
        }
        out.current = nullptr;
    }
    // The output sections of `pid`, read back and parsed by `parse`; each
    // must be whole, in continuous packets, and valid.
    template <class Parsed>
    std::vector<Parsed> OutputTables(uint16_t pid, Parsed (*parse)(const Bytes&)) const
    {
        const ReadBack read = ReadSections(out.packets, pid);
        EXPECT_EQ(read.Problems, 0);
        std::vector<Parsed> tables;
        for (const Bytes& section : read.Sections)
        {
            tables.push_back(parse(section));
            EXPECT_TRUE(tables.back().Valid);
        }
        return tables;
    }
    std::vector<ParsedPat> OutputPats() const { return OutputTables(0x00, &ParsePat); }
    std::vector<ParsedSdt> OutputSdts() const { return OutputTables(0x11, &ParseSdt); }
    std::vector<uint16_t> Missing() const
    {
        uint16_t missing[kMaxSelectedPrograms];
        const int count = filter->MissingPrograms(missing);
        return std::vector<uint16_t>(missing, missing + count);
    }

    std::unique_ptr<CProgramFilter> filter = std::make_unique<CProgramFilter>();
    Transponder ts;
    Recorder out;
};

std::vector<std::string> Names(const std::vector<TestService>& services)
{
    std::vector<std::string> names;
    for (const TestService& service : services)
        names.push_back(std::to_string(service.Id) + " " + service.Provider + "/" + service.Name);
    return names;
}

TEST_F(ProgramFilterTest, OneProgramWithItsTablesPcrAndEcms)
{
    filter->Reset(Select({102}));
    EXPECT_EQ(filter->ProgramsPresent(), -1);
    EXPECT_EQ(Missing(), (std::vector<uint16_t>{102}));
    const Bytes eitPf = EitSection(0x4E, 102, kTsid, kOnid, 0, 3);
    const Bytes eitSchedule = EitSection(0x50, 102, kTsid, kOnid, 0, 20);  // three packets
    Run(Join({
        {ts.Es("video 102 before the PAT", 0x110), ts.Es("TDT before the PAT", 0x14)},
        ts.Sdt(),
        ts.StandardPat(), ts.Pmt101(), ts.Pmt102(), ts.Pmt103(),
        {ts.Es("video 101", 0x100), ts.Es("video 102", 0x110), ts.Es("audio 102", 0x111),
         ts.Es("PCR 102", 0x1F0), ts.Es("ECM 102", 0x600), ts.Es("ECM audio 102", 0x601),
         ts.Es("audio 103", 0x120), ts.Es("CAT", 0x01), ts.Es("EMM", 0x700),
         ts.Es("NIT", 0x10), ts.Es("null", 0x1FFF)},
        ts.Sdt(), ts.Sdt(0x46), ts.Table("BAT", 0x11, {LongSection(0x4A, 5, 0, {0xF0, 0x00})}),
        ts.Eit(0x4E, 101), ts.Table("EIT", 0x12, {eitPf}), ts.Eit(0x4F, 102), ts.Table("EIT", 0x12, {eitSchedule}),
        ts.Eit(0x60, 102),
        {ts.Es("TDT", 0x14), ts.Es("video 102", 0x110)},
    }));

    EXPECT_EQ(out.labels, (std::vector<std::string>{
        "out PAT", "PMT 102", "video 102", "audio 102", "PCR 102", "ECM 102", "ECM audio 102",
        "out SDT", "out EIT", "out EIT", "out EIT", "out EIT", "TDT", "video 102"}));
    const auto pats = OutputPats();
    ASSERT_EQ(pats.size(), 1u);
    EXPECT_EQ(pats[0].Tsid, kTsid);
    EXPECT_EQ(pats[0].Version, 0);
    EXPECT_EQ(pats[0].Programs, (ProgramList{{102, 0x1001}}));
    const auto sdts = OutputSdts();
    ASSERT_EQ(sdts.size(), 1u);
    EXPECT_EQ(sdts[0].TableId, 0x42);
    EXPECT_EQ(sdts[0].Tsid, kTsid);
    EXPECT_EQ(sdts[0].Onid, kOnid);
    EXPECT_EQ(Names(sdts[0].Services), (std::vector<std::string>{"102 Prov B/Two HD"}));
    const ReadBack eit = ReadSections(out.packets, 0x12);
    EXPECT_EQ(eit.Problems, 0);
    EXPECT_EQ(eit.Sections, (std::vector<Bytes>{eitPf, eitSchedule}));
    EXPECT_EQ(filter->ProgramsPresent(), 1);
    EXPECT_TRUE(Missing().empty());
}

TEST_F(ProgramFilterTest, SeveralProgramsAndOneThatIsNotThere)
{
    filter->Reset(Select({103, 999, 101, 103, 0}));
    Run(Join({ts.StandardPat(), ts.Pmt101(), ts.Pmt102(), ts.Pmt103(),
              {ts.Es("video 101", 0x100), ts.Es("audio 101", 0x101), ts.Es("video 102", 0x110),
               ts.Es("audio 103", 0x120)},
              ts.Sdt()}));
    EXPECT_EQ(out.labels, (std::vector<std::string>{"out PAT", "PMT 101", "PMT 103", "video 101", "audio 101",
                                                    "audio 103", "out SDT"}));
    const auto pats = OutputPats();
    ASSERT_EQ(pats.size(), 1u);
    EXPECT_EQ(pats[0].Programs, (ProgramList{{101, 0x1000}, {103, 0x1002}}));
    const auto sdts = OutputSdts();
    ASSERT_EQ(sdts.size(), 1u);
    EXPECT_EQ(Names(sdts[0].Services), (std::vector<std::string>{"101 Prov A/One", "103 Prov A/Radio Three"}));
    EXPECT_EQ(filter->ProgramsPresent(), 2);
    EXPECT_EQ(Missing(), (std::vector<uint16_t>{999}));
}

TEST_F(ProgramFilterTest, NoneOfTheProgramsGivesAnEmptyPat)
{
    filter->Reset(Select({500}));
    Run(Join({ts.StandardPat(), ts.Pmt101(), {ts.Es("video 101", 0x100), ts.Es("TDT", 0x14)}}));
    EXPECT_EQ(out.labels, (std::vector<std::string>{"out PAT", "TDT"}));
    const auto pats = OutputPats();
    ASSERT_EQ(pats.size(), 1u);
    EXPECT_TRUE(pats[0].Programs.empty());
    EXPECT_EQ(filter->ProgramsPresent(), 0);
    EXPECT_EQ(Missing(), (std::vector<uint16_t>{500}));
}

TEST_F(ProgramFilterTest, WithoutSelectionEverythingPassesUnchanged)
{
    filter->Reset(Select({}));
    const Steps steps = Join({{ts.Es("null", 0x1FFF), ts.Es("video 101", 0x100)}, ts.StandardPat(),
                              ts.Sdt(0x46), ts.Eit(0x4F, 5), {ts.Es("CAT", 0x01)}});
    Run(steps);
    ASSERT_EQ(out.packets.size(), steps.size());
    for (size_t i = 0; i < steps.size(); ++i)
        EXPECT_EQ(out.packets[i], steps[i].packet) << i;
    EXPECT_EQ(filter->ProgramsPresent(), -1);
    EXPECT_TRUE(Missing().empty());
}

TEST_F(ProgramFilterTest, PacketsWithoutSyncByteAreDropped)
{
    filter->Reset(Select({}));
    Step bad = ts.Es("bad", 0x100);
    bad.packet[0] = 0x48;
    Run({bad});
    EXPECT_TRUE(out.packets.empty());
}

TEST_F(ProgramFilterTest, PatChangesMoveTheProgramAndTheVersion)
{
    filter->Reset(Select({102}));
    Run(Join({ts.StandardPat(), ts.Pmt102(), {ts.Es("video 102", 0x110)},
              // The same content again: same version.
              ts.StandardPat(),
              // Another program comes: nothing changes in ours.
              ts.Pat({{0, 0x10}, {101, 0x1000}, {102, 0x1001}, {104, 0x1003}}, 1),
              // A PAT with a wrong CRC that drops 102 is ignored.
              [&] {
                  Steps bad = ts.Pat({{101, 0x1000}}, 2);
                  bad[0].packet[20] ^= 0xFF;
                  bad[0].name = "bad PAT";
                  return bad;
              }(),
              {ts.Es("video 102", 0x110)},
              // The PMT moves: the streams go on until the new PMT says otherwise.
              ts.Pat({{101, 0x1000}, {102, 0x1005}}, 3), ts.Pmt102(0x1001), {ts.Es("video 102", 0x110)},
              ts.Pmt102(0x1005, 0x112), {ts.Es("video 102", 0x110), ts.Es("new video 102", 0x112)},
              // 102 leaves.
              ts.Pat({{101, 0x1000}}, 4), ts.Pmt102(0x1005, 0x112), {ts.Es("new video 102", 0x112)}}));
    EXPECT_EQ(out.labels, (std::vector<std::string>{
        "out PAT", "PMT 102", "video 102", "out PAT", "out PAT", "video 102",
        "out PAT", "video 102", "PMT 102", "new video 102", "out PAT"}));
    const auto pats = OutputPats();
    ASSERT_EQ(pats.size(), 5u);
    const std::vector<int> versions{pats[0].Version, pats[1].Version, pats[2].Version, pats[3].Version, pats[4].Version};
    EXPECT_EQ(versions, (std::vector<int>{0, 0, 0, 1, 2}));
    EXPECT_EQ(pats[3].Programs, (ProgramList{{102, 0x1005}}));
    EXPECT_TRUE(pats[4].Programs.empty());
    EXPECT_EQ(filter->ProgramsPresent(), 0);
    EXPECT_EQ(Missing(), (std::vector<uint16_t>{102}));
}

// A PAT in two sections: each section speaks for the programs it lists; a
// program goes when its section comes without it or the table loses that section.
TEST_F(ProgramFilterTest, PatSectionsEachKeepTheirPrograms)
{
    filter->Reset(Select({101, 102}));
    auto section = [&](int version, int number, int last, const ProgramList& programs) {
        return ts.Table("PAT", 0, {PatSection(kTsid, version, programs, number, last)});
    };
    Run(Join({section(0, 0, 1, {{0, 0x10}, {101, 0x1000}}), section(0, 1, 1, {{102, 0x1001}}),
              section(0, 0, 1, {{0, 0x10}, {101, 0x1000}}),
              section(1, 0, 0, {{101, 0x1000}})}));
    const auto pats = OutputPats();
    ASSERT_EQ(pats.size(), 4u);
    EXPECT_EQ(pats[0].Programs, (ProgramList{{101, 0x1000}}));
    EXPECT_EQ(pats[1].Programs, (ProgramList{{101, 0x1000}, {102, 0x1001}}));
    EXPECT_EQ(pats[2].Programs, (ProgramList{{101, 0x1000}, {102, 0x1001}}));
    EXPECT_EQ(pats[3].Programs, (ProgramList{{101, 0x1000}}));
    const std::vector<int> versions{pats[0].Version, pats[1].Version, pats[2].Version, pats[3].Version};
    EXPECT_EQ(versions, (std::vector<int>{0, 1, 1, 2}));
    EXPECT_EQ(Missing(), (std::vector<uint16_t>{102}));
}

TEST_F(ProgramFilterTest, NewPmtVersionTakesEffectAfterItsLastPacket)
{
    filter->Reset(Select({101}));
    // A PMT of two packets: a long descriptor loop on the audio stream.
    const Bytes descriptor(200, 0x00);
    Bytes tags{0x52, 198};
    tags.insert(tags.end(), descriptor.begin(), descriptor.begin() + 198);
    const Bytes pmt2 = PmtSection(101, 1, 0x100, {{0x1B, 0x100, {}}, {0x03, 0x102, tags}});
    const Steps twoPackets = ts.Table("PMT 101 v1", 0x1000, {pmt2});
    ASSERT_EQ(twoPackets.size(), 2u);
    Run(Join({ts.StandardPat(), ts.Pmt101(), {ts.Es("audio 101", 0x101)},
              {twoPackets[0]}, {ts.Es("audio 101", 0x101), ts.Es("new audio 101", 0x102)},
              {twoPackets[1]}, {ts.Es("audio 101", 0x101), ts.Es("new audio 101", 0x102)},
              // Repetitions and the PCR/video PID stay.
              ts.Table("PMT 101 v1", 0x1000, {pmt2}), {ts.Es("video 101", 0x100)}}));
    EXPECT_EQ(out.labels, (std::vector<std::string>{
        "out PAT", "PMT 101", "audio 101", "PMT 101 v1", "audio 101", "PMT 101 v1", "new audio 101",
        "PMT 101 v1", "PMT 101 v1", "video 101"}));
}

TEST_F(ProgramFilterTest, SdtSectionsKeepTheirNumbersAndVersionFollowsOurServices)
{
    filter->Reset(Select({101, 103}));
    auto sdt = [&](int version, const std::string& name101, const std::string& name102) {
        return ts.Table("SDT", 0x11,
                        {SdtSection(0x42, kTsid, kOnid, version, {{101, "P", name101}, {102, "P", name102}}, 0, 1),
                         SdtSection(0x42, kTsid, kOnid, version, {{103, "P", "Three"}}, 1, 1)});
    };
    Run(Join({ts.StandardPat(), sdt(3, "One", "Two"), sdt(4, "One", "Two renamed"), sdt(5, "One renamed", "Two")}));
    const auto sdts = OutputSdts();
    ASSERT_EQ(sdts.size(), 6u);
    std::vector<std::string> seen;
    for (const ParsedSdt& s : sdts)
    {
        std::string line = "v" + std::to_string(s.Version) + " " + std::to_string(s.Number) + "/" + std::to_string(s.Last);
        for (const std::string& name : Names(s.Services))
            line += " [" + name + "]";
        seen.push_back(line);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
        "v0 0/1 [101 P/One]", "v0 1/1 [103 P/Three]",
        "v0 0/1 [101 P/One]", "v0 1/1 [103 P/Three]",
        "v1 0/1 [101 P/One renamed]", "v1 1/1 [103 P/Three]"}));
}

TEST_F(ProgramFilterTest, ResetStartsAgainFromNothing)
{
    filter->Reset(Select({101}));
    Run(Join({ts.StandardPat(), ts.Pmt101(), {ts.Es("video 101", 0x100)}}));
    filter->Reset(Select({101}));
    out.labels.clear();
    Run(Join({{ts.Es("video 101", 0x100), ts.Es("TDT", 0x14)}, ts.Pmt101(), ts.StandardPat(),
              {ts.Es("video 101", 0x100)}, ts.Pmt101(), {ts.Es("video 101", 0x100)}}));
    EXPECT_EQ(out.labels, (std::vector<std::string>{"out PAT", "PMT 101", "video 101"}));
    EXPECT_EQ(filter->ProgramsPresent(), 1);
}

} // namespace

// Another choice while the stream runs: receivers see the PAT of the new
// programs at the next source PAT, with the next version and the continuity
// counter going on; from the whole stream, the cut PAT follows the source's
// PAT on PID 0 the same way.
TEST_F(ProgramFilterTest, ReselectWhileRunningGivesTheNextPatVersion)
{
    filter->Reset(Select({}));  // the whole stream passes, the source's PAT with it
    Run(Join({ts.StandardPat(), ts.Pmt101(), ts.StandardPat()}));
    const int sourceCounter = out.packets.back()[3] & 0x0F;
    filter->Reselect(Select({101}), 0, sourceCounter);
    Run(Join({{ts.Es("video 102", 0x110)}, ts.StandardPat(), ts.Pmt101(), ts.Pmt102(), {ts.Es("video 101", 0x100)}}));
    filter->Reselect(Select({102, 101}), 0, sourceCounter);
    Run(Join({ts.StandardPat(), ts.Pmt102(), {ts.Es("video 102", 0x110)}}));
    filter->Reselect(Select({103}), 0, sourceCounter);
    Run(Join({ts.Pmt102(), ts.StandardPat(), ts.Pmt103()}));
    EXPECT_EQ(out.labels, (std::vector<std::string>{
        "out PAT", "PMT 101", "out PAT",           // the whole stream
        "out PAT", "PMT 101", "video 101",         // 101: from its next PAT on
        "out PAT", "PMT 102", "video 102",         // 101 and 102
        "out PAT", "PMT 103"}));                   // 103: 102's PMT no longer passes
    const auto pats = OutputPats();  // continuity checked across every change
    ASSERT_EQ(pats.size(), 5u);
    EXPECT_EQ(pats[1].Version, 0) << "the source's own";
    EXPECT_EQ(pats[2].Version, 1) << "after the source's version 0";
    EXPECT_EQ(pats[2].Programs, (ProgramList{{101, 0x1000}}));
    EXPECT_EQ(pats[3].Version, 2);
    EXPECT_EQ(pats[3].Programs, (ProgramList{{101, 0x1000}, {102, 0x1001}}));
    EXPECT_EQ(pats[4].Version, 3);
    EXPECT_EQ(pats[4].Programs, (ProgramList{{103, 0x1002}}));
}

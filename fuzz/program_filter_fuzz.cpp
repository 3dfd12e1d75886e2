// libFuzzer target for the program stage of the traffic path (the program
// feed and its filter), where broadcast tables (anything the transponder
// carries) and damaged bytes (a tuner overrun) enter.
//
// Input layout (bytes past the end read as zeros):
//   byte 0     selection: value % 4 programs (0: the whole stream), then
//              that many bytes, each naming program 1 + value % 5
//   2 bytes    the host's block length: 1 + value % 2000 bytes
//   then operations until the input ends, each one byte then its own bytes:
//     0 PAT     version, count (% 5) entries of (program % 6, PID choice), damage
//     1 PMT     program (1 + % 5), version, PMT PID choice, PCR choice,
//               streams (% 4) of (PID choice, CA flag), CA flag, damage
//     2 SDT     table (0x42 / 0x46 / 0x4A), version, services mask (5 bits),
//               section number, last section number, damage
//     3 EIT     table (0x4E / 0x4F / 0x50 / 0x6F), service (1 + % 5), events (% 24), damage
//     4 stream  a packet of PID choice
//     5 raw     a packet of 184 input bytes behind a header of PID choice
//               (random sections, pointer_fields, adaptation fields), maybe
//               without its sync byte
//     6 bytes   1 + value % 200 input bytes as they are (stray bytes, garbage)
//     7 lose    the last 1 + value % 188 bytes not yet handed over are lost
//     8 blocks  the host's block length from here on: 1 + (2 bytes) % 2000
//   "damage": 0 none, 1 a flipped bit (wrong CRC), 2 a changed length byte
//   with the CRC made right again, 3 a packet lost, 4 a packet twice,
//   5 a packet with the error flag; PID choices come from a small set so
//   that tables, streams and raw packets meet on the same PIDs.
//   The packets and bytes form one byte stream, handed to the feed in host
//   blocks of the current length (the last one shorter), whatever packet
//   boundaries they cut.
//
// Checks on what comes out:
//   - the whole-stream side sees exactly the packets that the aligner (a
//     chunk of one packet, walked in packet steps as the module walks a host
//     block) finds in the same blocks, and the feed's count of dropped bytes
//     is what neither passed on nor holds;
//   - every packet the filter puts out is whole with its sync byte, and the
//     cut is what a filter fed the whole-stream side's packets puts out;
//   - a packet on a PID the filter does not rewrite is a packet of the
//     whole-stream side, unchanged, in order; while the byte stream is intact
//     (no bytes added or lost, no packet without its sync byte) its PID is
//     also one the fed tables could have named for the selection (a generous
//     superset: any 13-bit value in a damaged or raw section counts);
//   - PAT, SDT and EIT read back by the tests' own reader with continuous
//     counters, complete sections and right CRCs: the PAT lists only
//     selected programs, the SDT is "actual" with only selected services,
//     the EIT only actual tables of selected services.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "AlignerProbe.h"
#include "programs/ProgramFeed.h"
#include "PsiTestStreams.h"

using namespace psitest;

namespace {

const uint16_t kPidChoices[] = {0x0000, 0x0001, 0x0011, 0x0012, 0x0014, 0x0010, 0x0020, 0x0021,
                                0x0022, 0x0023, 0x0100, 0x0101, 0x1FFE, 0x1FFF, 0x000F, 0x0030};

class Input
{
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_at >= m_size; }
    uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    uint16_t Pid() { return kPidChoices[Byte() % 16]; }
    size_t BlockLength()
    {
        const unsigned high = Byte();
        return 1 + ((high << 8) | Byte()) % 2000;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

// The filter's output, and the source packets the whole-stream side saw.
struct Output : IPacketSink
{
    std::vector<Packet> source;  // from the whole-stream side
    std::vector<Packet> packets;
    std::vector<Packet> passed;

    void PutPacket(const unsigned char* packet) override
    {
        Packet copy;
        std::memcpy(copy.data(), packet, 188);  // ASan: all 188 bytes are there
        if (copy[0] != 0x47)
            abort();
        const uint16_t pid = PidOf(copy);
        if (pid != 0x00 && pid != 0x11 && pid != 0x12)
            passed.push_back(copy);
        packets.push_back(copy);
    }
};

// Keeps the feed's output packets for the filter's checks.
class OutputAligner final : public CTsAligner
{
public:
    explicit OutputAligner(Output& out) : m_Out(out) { m_nChunkSize = 188; }

protected:
    void ReceiveAlignedTraffic(unsigned char* data, int length) override
    {
        for (int offset = 0; offset < length; offset += 188)
            m_Out.PutPacket(data + offset);
    }

private:
    Output& m_Out;
};

void Require(bool condition)
{
    if (!condition)
        abort();
}

// Every 13-bit value that two neighbouring bytes of `bytes` could give.
void AddAnyPid(std::set<uint16_t>& pids, const uint8_t* bytes, size_t size)
{
    for (size_t i = 0; i + 1 < size; ++i)
        pids.insert(static_cast<uint16_t>(((bytes[i] & 0x1F) << 8) | bytes[i + 1]));
}

struct Run
{
    std::unique_ptr<CProgramFeed> feed = std::make_unique<CProgramFeed>();
    Output out;
    OutputAligner aligner{out};
    std::atomic<int32_t> present{-1};
    std::unique_ptr<probe::ProbeAligner> model = std::make_unique<probe::ProbeAligner>();
    std::unique_ptr<CProgramFilter> reference = std::make_unique<CProgramFilter>();  // fed the source packets
    struct : IPacketSink
    {
        std::vector<Packet> packets;
        void PutPacket(const unsigned char* packet) override
        {
            packets.emplace_back();
            std::memcpy(packets.back().data(), packet, 188);
        }
    } referenceOut;
    std::vector<uint8_t> pending;  // bytes not yet handed over
    size_t handedOver = 0;
    size_t block = 188;            // the host's block length
    bool intact = true;            // no byte added or lost, every packet with its sync byte
    PacketMaker maker;
    std::set<uint16_t> selected;
    std::set<uint16_t> allowed{0x14};   // TDT/TOT always may pass

    // Hands over every whole block of the pending bytes (all of them at the end).
    void HandOver(bool all)
    {
        size_t at = 0;
        while (pending.size() - at >= block || (all && at < pending.size()))
        {
            const size_t size = std::min(block, pending.size() - at);
            std::vector<uint8_t> host(pending.begin() + static_cast<long>(at),
                                      pending.begin() + static_cast<long>(at + size));
            feed->Feed(aligner, host.data(), static_cast<int>(size), present,
                       [this](const unsigned char* packets, int count) {
                           for (int i = 0; i < count; ++i)
                           {
                               Packet packet;
                               std::memcpy(packet.data(), packets + 188 * i, 188);
                               out.source.push_back(packet);
                               reference->Feed(packet.data(), referenceOut);
                           }
                       });
            model->SetPiece(host.data(), static_cast<long>(size));
            FeedInPacketSteps(*model, host.data(), static_cast<int>(size));
            Require(model->violation.empty());
            at += size;
            handedOver += size;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(at));
    }

    void Feed(const Packet& packet)
    {
        pending.insert(pending.end(), packet.begin(), packet.end());
        HandOver(false);
    }

    // Packetizes `section` of `pid` with the damage asked for; returns
    // whether the section went out unchanged.
    void SendTable(uint16_t pid, Bytes section, uint8_t damage, uint8_t where)
    {
        switch (damage % 6)
        {
        case 1: section[where % section.size()] ^= static_cast<uint8_t>(1 << (where % 8)); break;
        case 2:
        {
            // A length field (section_length, a loop length) changed, the CRC right again.
            const size_t at = where % 2 == 0 ? 2 : 11 + where % (section.size() > 16 ? section.size() - 16 : 1);
            section[at] = static_cast<uint8_t>(section[at] + 1 + where % 7);
            const size_t crcAt = section.size() - 4;
            const uint32_t crc = ReferenceCrc(section.data(), crcAt);
            for (int i = 0; i < 4; ++i)
                section[crcAt + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
            break;
        }
        default: break;
        }
        if (damage % 6 != 0)
            AddAnyPid(allowed, section.data(), section.size());
        std::vector<Packet> packets = maker.Sections(pid, {section});
        const size_t index = where % packets.size();
        if (damage % 6 == 3)
            packets.erase(packets.begin() + static_cast<long>(index));
        else if (damage % 6 == 4)
            packets.insert(packets.begin() + static_cast<long>(index), packets[index]);
        else if (damage % 6 == 5)
            packets[index][1] |= 0x80;
        for (const Packet& packet : packets)
            Feed(packet);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    Run run;
    run.model->SetChunkSize(188);
    SProgramSelection selection{};
    const int count = in.Byte() % 4;
    for (int i = 0; i < count; ++i)
    {
        selection.Numbers[selection.Count++] = static_cast<uint16_t>(1 + in.Byte() % 5);
        run.selected.insert(selection.Numbers[i]);
    }
    run.feed->Reset(selection);
    run.reference->Reset(selection);
    run.block = in.BlockLength();

    while (!in.Done())
    {
        switch (in.Byte() % 9)
        {
        case 0:
        {
            const int version = in.Byte();
            ProgramList programs;
            for (int entries = in.Byte() % 5; entries > 0; --entries)
            {
                const uint16_t program = static_cast<uint16_t>(in.Byte() % 6);
                const uint16_t pid = in.Pid();
                programs.emplace_back(program, pid);
                if (run.selected.count(program))
                    run.allowed.insert(pid);
            }
            const uint8_t damage = in.Byte();
            run.SendTable(0x0000, PatSection(0x0042, version, programs), damage, in.Byte());
            break;
        }
        case 1:
        {
            const uint16_t program = static_cast<uint16_t>(1 + in.Byte() % 5);
            const int version = in.Byte();
            const uint16_t pid = in.Pid();
            const uint16_t pcr = in.Pid();
            std::vector<TestStream> streams;
            std::vector<uint16_t> named{pcr};
            for (int n = in.Byte() % 4; n > 0; --n)
            {
                const uint16_t esPid = in.Pid();
                const bool ca = in.Byte() & 1;
                const uint16_t ecm = ca ? in.Pid() : 0;
                streams.push_back({0x1B, esPid, ca ? CaDescriptor(0x0100, ecm) : Bytes{}});
                named.push_back(esPid);
                if (ca)
                    named.push_back(ecm);
            }
            Bytes programCa;
            if (in.Byte() & 1)
            {
                const uint16_t ecm = in.Pid();
                programCa = CaDescriptor(0x0500, ecm);
                named.push_back(ecm);
            }
            if (run.selected.count(program))
                run.allowed.insert(named.begin(), named.end());
            const uint8_t damage = in.Byte();
            run.SendTable(pid, PmtSection(program, version, pcr, streams, programCa), damage, in.Byte());
            break;
        }
        case 2:
        {
            static const uint8_t tables[] = {0x42, 0x46, 0x4A};
            const uint8_t table = tables[in.Byte() % 3];
            const int version = in.Byte();
            const uint8_t mask = in.Byte();
            std::vector<TestService> services;
            for (uint16_t id = 1; id <= 5; ++id)
            {
                if (mask & (1 << (id - 1)))
                    services.push_back({id, "Provider", "Service " + std::to_string(id)});
            }
            const int number = in.Byte();
            const int last = in.Byte();
            const uint8_t damage = in.Byte();
            run.SendTable(0x0011, SdtSection(table, 0x0042, 1, version, services, number, last), damage, in.Byte());
            break;
        }
        case 3:
        {
            static const uint8_t tables[] = {0x4E, 0x4F, 0x50, 0x6F};
            const uint8_t table = tables[in.Byte() % 4];
            const uint16_t service = static_cast<uint16_t>(1 + in.Byte() % 5);
            const int events = in.Byte() % 24;
            const uint8_t damage = in.Byte();
            run.SendTable(0x0012, EitSection(table, service, 0x0042, 1, 0, events), damage, in.Byte());
            break;
        }
        case 4:
            run.Feed(run.maker.Stream(in.Pid(), in.Byte()));
            break;
        case 5:
        {
            Packet packet = run.maker.Stream(in.Pid(), 0);
            packet[1] |= static_cast<uint8_t>(in.Byte() & 0xC0);  // error flag, unit start
            packet[3] = in.Byte();                                // scrambling, adaptation, counter
            for (size_t i = 4; i < 188; ++i)
                packet[i] = in.Byte();
            if (in.Byte() & 1)
                packet[0] = in.Byte();  // maybe no sync byte
            run.intact = run.intact && packet[0] == 0x47;
            AddAnyPid(run.allowed, packet.data() + 4, 184);
            run.Feed(packet);
            break;
        }
        case 6:
        {
            for (int n = 1 + in.Byte() % 200; n > 0; --n)
                run.pending.push_back(in.Byte());
            run.intact = false;
            run.HandOver(false);
            break;
        }
        case 7:
        {
            const size_t lost = std::min<size_t>(1 + in.Byte() % 188, run.pending.size());
            run.pending.resize(run.pending.size() - lost);
            run.intact = run.intact && lost == 0;
            break;
        }
        case 8:
            run.block = in.BlockLength();
            run.HandOver(false);
            break;
        }
    }
    run.HandOver(true);

    // The whole-stream side saw what the aligner finds, and what it dropped
    // is what neither passed on nor holds.
    Require(run.out.source.size() * 188 == run.model->delivered.size());
    for (size_t i = 0; i < run.out.source.size(); ++i)
        Require(std::memcmp(run.out.source[i].data(), run.model->delivered.data() + 188 * i, 188) == 0);
    Require(run.feed->BytesDropped() ==
            run.handedOver - run.model->delivered.size() - static_cast<size_t>(run.model->Buffered()));

    // The cut is the filter's cut of the source packets; each passed packet
    // is a source packet, in order.
    Require(run.referenceOut.packets == run.out.packets);
    size_t matched = 0;
    for (const Packet& packet : run.out.passed)
    {
        while (matched < run.out.source.size() && run.out.source[matched] != packet)
            ++matched;
        Require(matched < run.out.source.size());
        ++matched;
    }

    if (run.selected.empty())
        return 0;  // the whole stream: every sync'd packet passed, as checked in PutPacket

    if (run.intact)
        for (const Packet& packet : run.out.passed)
            Require(run.allowed.count(PidOf(packet)) != 0);

    const ReadBack pats = ReadSections(run.out.packets, 0x00);
    Require(pats.Problems == 0);
    for (const Bytes& section : pats.Sections)
    {
        const ParsedPat pat = ParsePat(section);
        Require(pat.Valid);
        for (const auto& program : pat.Programs)
            Require(run.selected.count(program.first) != 0 && (!run.intact || run.allowed.count(program.second) != 0));
    }
    const ReadBack sdts = ReadSections(run.out.packets, 0x11);
    Require(sdts.Problems == 0);
    for (const Bytes& section : sdts.Sections)
    {
        const ParsedSdt sdt = ParseSdt(section);
        Require(sdt.Valid && sdt.TableId == 0x42);
        for (const TestService& service : sdt.Services)
            Require(run.selected.count(service.Id) != 0);
    }
    const ReadBack eits = ReadSections(run.out.packets, 0x12);
    Require(eits.Problems == 0);
    for (const Bytes& section : eits.Sections)
    {
        Require(section.size() >= 18 && CrcIsRight(section));
        Require(section[0] == 0x4E || (section[0] >= 0x50 && section[0] <= 0x5F));
        Require(run.selected.count(static_cast<uint16_t>((section[3] << 8) | section[4])) != 0);
    }
    uint16_t missing[kMaxSelectedPrograms];
    const int missingCount = run.reference->MissingPrograms(missing);
    Require(missingCount >= 0 && missingCount <= static_cast<int>(run.selected.size()));
    const int present = run.present.load();
    Require(present == run.reference->ProgramsPresent());
    Require(present == -1 || present + missingCount == static_cast<int>(run.selected.size()));
    return 0;
}

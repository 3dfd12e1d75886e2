// libFuzzer target for the program filter, where broadcast tables (anything
// the transponder carries) enter.
//
// Input layout (bytes past the end read as zeros):
//   byte 0     selection: value % 4 programs (0: the whole stream), then
//              that many bytes, each naming program 1 + value % 5
//   then operations until the input ends, each one byte then its own bytes:
//     0 PAT     version, count (% 5) entries of (program % 6, PID choice), damage
//     1 PMT     program (1 + % 5), version, PMT PID choice, PCR choice,
//               streams (% 4) of (PID choice, CA flag), CA flag, damage
//     2 SDT     table (0x42 / 0x46 / 0x4A), version, services mask (5 bits),
//               section number, last section number, damage
//     3 EIT     table (0x4E / 0x4F / 0x50 / 0x6F), service (1 + % 5), events (% 24), damage
//     4 stream  a packet of PID choice
//     5 raw     a packet of 184 input bytes behind a header of PID choice
//               (random sections, pointer_fields, adaptation fields)
//   "damage": 0 none, 1 a flipped bit (wrong CRC), 2 a changed length byte
//   with the CRC made right again, 3 a packet lost, 4 a packet twice,
//   5 a packet with the error flag; PID choices come from a small set so
//   that tables, streams and raw packets meet on the same PIDs.
//
// Checks on what comes out:
//   - every packet is whole with its sync byte;
//   - a packet on a PID the filter does not rewrite is the packet just fed,
//     unchanged, and its PID is one the fed tables could have named for the
//     selection (a generous superset: any 13-bit value in a damaged or raw
//     section counts);
//   - PAT, SDT and EIT read back by the tests' own reader with continuous
//     counters, complete sections and right CRCs: the PAT lists only
//     selected programs, the SDT is "actual" with only selected services,
//     the EIT only actual tables of selected services.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "programs/ProgramFilter.h"
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

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

struct Output : IPacketSink
{
    const uint8_t* current = nullptr;
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
        {
            if (current == nullptr || std::memcmp(packet, current, 188) != 0)
                abort();  // a passed packet must be the one just fed
            passed.push_back(copy);
        }
        packets.push_back(copy);
    }
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
    std::unique_ptr<CProgramFilter> filter = std::make_unique<CProgramFilter>();
    Output out;
    PacketMaker maker;
    std::set<uint16_t> selected;
    std::set<uint16_t> allowed{0x14};   // TDT/TOT always may pass

    void Feed(const Packet& packet)
    {
        out.current = packet.data();
        filter->Feed(packet.data(), out);
        out.current = nullptr;
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
    SProgramSelection selection{};
    const int count = in.Byte() % 4;
    for (int i = 0; i < count; ++i)
    {
        selection.Numbers[selection.Count++] = static_cast<uint16_t>(1 + in.Byte() % 5);
        run.selected.insert(selection.Numbers[i]);
    }
    run.filter->Reset(selection);
    std::vector<Packet> fed;

    while (!in.Done())
    {
        switch (in.Byte() % 6)
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
            AddAnyPid(run.allowed, packet.data() + 4, 184);
            run.Feed(packet);
            break;
        }
        }
    }

    if (run.selected.empty())
        return 0;  // the whole stream: every sync'd packet passed, as checked in PutPacket

    for (const Packet& packet : run.out.passed)
        Require(run.allowed.count(PidOf(packet)) != 0);

    const ReadBack pats = ReadSections(run.out.packets, 0x00);
    Require(pats.Problems == 0);
    for (const Bytes& section : pats.Sections)
    {
        const ParsedPat pat = ParsePat(section);
        Require(pat.Valid);
        for (const auto& program : pat.Programs)
            Require(run.selected.count(program.first) != 0 && run.allowed.count(program.second) != 0);
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
    const int missingCount = run.filter->MissingPrograms(missing);
    Require(missingCount >= 0 && missingCount <= static_cast<int>(run.selected.size()));
    const int present = run.filter->ProgramsPresent();
    Require(present == -1 || present + missingCount == static_cast<int>(run.selected.size()));
    return 0;
}

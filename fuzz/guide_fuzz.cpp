// libFuzzer target for the programme guide's collector, where the EIT, TDT,
// TOT, PAT and SDT of a transponder (anything it broadcasts) enter.
//
// Input layout (bytes past the end read as zeros): operations until the
// input ends, each one byte then its own bytes:
//   0 EIT      table (0x4E + % 34), service (1 + % 4, or 200), other stream
//              flag, version, section number, events (% 6) of (id byte, start
//              offset byte, 5 raw time bytes if the flag byte's low bit is
//              set, duration byte (0xFF: undefined), descriptor bytes:
//              length then that many),
//              damage
//   1 section  a length (2 bytes, % 4090), then that many bytes as a section
//              whose length field and CRC are made right
//   2 packet   a packet of 184 input bytes behind a header on PID 0, 0x11,
//              0x12 or 0x14 (random sections, pointer_fields, stuffing)
//   3 time     TDT or TOT, a time offset (2 bytes, minutes) from the base
//   4 PAT      services mask (4 bits), transport stream id choice
//   5 clock    the PC's and the monotonic clock move on (byte x 10 s)
//   "damage": 0 none, 1 a flipped bit (wrong CRC), 2 a changed length byte
//   with the CRC made right again.
//
// Checks: every stored event is found under its key, belongs to a service
// the PAT lists, has not ended by the transponder's time after a tick (none
// is judged ended before that time is known), and its texts add up to its
// text length and are valid UTF-8; the pool's count is the number of stored
// events; present/following name p/f events of the right section; /epg.xml
// and the page are well-formed XML to expat.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PsiTestStreams.h"
#include "Utf8Check.h"
#include "XmlCheck.h"
#include "guide/GuideCollector.h"
#include "guide/GuideNow.h"
#include "http/IndexPage.h"
#include "http/XmltvWriter.h"

using namespace psitest;

namespace
{
constexpr int64_t kBase = 1796990400;  // 2026-12-11 12:00 UTC
const uint16_t kPids[] = {0x0000, 0x0011, 0x0012, 0x0014};

class Input
{
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_at >= m_size; }
    uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    Bytes Take(size_t n)
    {
        Bytes out;
        for (size_t i = 0; i < n; ++i)
            out.push_back(Byte());
        return out;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

void Damage(Bytes& section, uint8_t how, uint8_t where)
{
    if (section.size() < 8)
        return;
    if (how % 3 == 1)
        section[where % section.size()] ^= 0x10;
    else if (how % 3 == 2)
    {
        section[2] ^= static_cast<uint8_t>(where | 1);
        const uint32_t crc = ReferenceCrc(section.data(), section.size() - 4);
        for (int i = 0; i < 4; ++i)
            section[section.size() - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    }
}

struct State
{
    CGuideCollector Collector;
    PacketMaker Maker;
    SGuideClock Clock;
};

void PutSection(State& s, uint16_t pid, const Bytes& section)
{
    for (const Packet& packet : s.Maker.Sections(pid, {section}))
        s.Collector.PutPacket(packet.data(), s.Clock);
}

// The guide and the page of what was collected, read by a strict parser.
void CheckDocuments(const CGuideCollector& c, int64_t now)
{
    static SProgramList programs;
    programs.TransportStreamId = c.TransportStreamId();
    programs.OriginalNetworkId = c.OriginalNetworkId();
    programs.nPrograms = c.ServiceCount();
    for (int k = 0; k < c.ServiceCount(); ++k)
        programs.Programs[k].ProgramNumber = c.ServiceAt(k).ProgramNumber;
    static SXmltvScratch xmltvScratch;
    std::string xml(WriteXmltv(programs, c, xmltvScratch, nullptr, 0) + 1, '\0');
    xml.resize(WriteXmltv(programs, c, xmltvScratch, &xml[0], xml.size()));
    Check(XmlFault(xml).empty());

    static SIndexPageScratch pageScratch;
    SIndexPage page;
    page.Programs = &programs;
    page.Guide = &c;
    page.Now = now;
    std::string html(kIndexPageCapacity, '\0');
    html.resize(WriteIndexPage(page, pageScratch, &html[0], html.size()));
    Check(XmlFault(html).empty());
}

void CheckPool(State& s)
{
    CGuideCollector& c = s.Collector;
    c.Tick(s.Clock);
    const CGuidePool& pool = c.Pool();
    const int64_t now = c.Now(s.Clock);
    static char text[kGuideEventTextCapacity];
    int inUse = 0;
    for (int i = 0; i < pool.Slots(); ++i)
    {
        const SGuideEvent& e = pool.Event(i);
        if (!e.InUse)
            continue;
        ++inUse;
        Check(pool.Find(e.Service, e.EventId, e.IsPresentFollowing()) == i);
        bool listed = false;
        for (int k = 0; k < c.ServiceCount() && !listed; ++k)
            listed = c.ServiceSlotAt(k) == e.Service;
        Check(listed);
        // Nothing is judged ended before the transponder's time is known.
        Check(!c.HasBroadcastTime() || c.EventEnd(i) > now);
        const size_t length = pool.ReadText(i, text, sizeof text);
        Check(length == e.TextBytes);
        size_t at = 0;
        for (int l = 0; l < e.nLanguages; ++l)
            for (size_t field : {e.Languages[l].TitleLength, e.Languages[l].SubTitleLength, e.Languages[l].DescLength})
            {
                Check(at + field <= length);
                Check(IsValidUtf8(reinterpret_cast<const unsigned char*>(text + at), field));
                at += field;
            }
        Check(at == length);
    }
    Check(inUse == pool.Count());
    for (int k = 0; k < c.ServiceCount(); ++k)
        for (int which = 0; which < 2; ++which)
        {
            const int slot = c.PresentFollowing(k, which);
            if (slot >= 0)
                Check(pool.Event(slot).IsPresentFollowing() && pool.Event(slot).Section == which);
            // Now and next as the dialog and the page ask for them: an
            // event of that service that has not ended, a title that is
            // valid UTF-8 and fits.
            const int at = GuideEventAt(c, k, which, now);
            if (at >= 0)
                Check(pool.Event(at).InUse && pool.Event(at).Service == c.ServiceSlotAt(k) &&
                      (!c.HasBroadcastTime() || c.EventEnd(at) > now));
        }
    static SGuideNowList list;
    ListEventsNow(c, now, text, list);
    Check(list.Count == c.ServiceCount());
    for (int k = 0; k < list.Count; ++k)
    {
        const size_t length = std::strlen(list.Services[k].Title);
        Check(length < kGuideNowTitleCapacity);
        Check(IsValidUtf8(reinterpret_cast<const unsigned char*>(list.Services[k].Title), length));
        Check(list.Services[k].Known || length == 0);
    }
    CheckDocuments(c, now);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static State* state = new State;
    State& s = *state;
    s.Collector.Reset();
    s.Clock.PcUtc = kBase;
    s.Clock.MonotonicMs = 0;
    PutSection(s, 0x0000, PatSection(1, 0, {{1, 0x100}, {2, 0x200}, {3, 0x300}, {4, 0x400}}));

    Input in(data, size);
    int patVersion = 1;
    while (!in.Done())
    {
        switch (in.Byte() % 6)
        {
        case 0:
        {
            EitHeader h{static_cast<uint8_t>(0x4E + in.Byte() % 34), 0, 1, 0xFF01};
            const uint8_t service = in.Byte();
            h.Service = service >= 0xF0 ? 200 : static_cast<uint16_t>(1 + service % 4);
            h.Tsid = in.Byte() & 1 ? 2 : 1;
            h.Version = in.Byte() % 32;
            h.Number = h.Last = in.Byte();
            std::vector<TestEvent> events;
            const int count = in.Byte() % 6;
            std::vector<Bytes> rawTimes;
            for (int e = 0; e < count; ++e)
            {
                TestEvent event{in.Byte(), kBase + (static_cast<int>(in.Byte()) - 64) * 600, 0, {}};
                const uint8_t flags = in.Byte();
                rawTimes.push_back(flags & 1 ? in.Take(5) : Bytes{});
                const uint8_t minutes = in.Byte();
                event.Duration = minutes == 0xFF ? -1 : minutes * 60;  // all ones: undefined
                event.Running = flags >> 5;
                event.Descriptors = in.Take(in.Byte() * 4u % 1024);
                events.push_back(event);
            }
            Bytes section = EitEventsSection(h, events);
            // Raw start times (invalid BCD, undefined) patched in with the CRC made right.
            size_t at = 14;
            for (size_t e = 0; e < events.size(); ++e)
            {
                if (!rawTimes[e].empty())
                    std::memcpy(&section[at + 2], rawTimes[e].data(), 5);
                at += 12 + events[e].Descriptors.size();
            }
            const uint32_t crc = ReferenceCrc(section.data(), section.size() - 4);
            for (int i = 0; i < 4; ++i)
                section[section.size() - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
            const uint8_t how = in.Byte();
            Damage(section, how, in.Byte());
            if (section.size() <= 4096)
                PutSection(s, 0x0012, section);
            break;
        }
        case 1:
        {
            const size_t length = (in.Byte() | in.Byte() << 8) % 4090;
            Bytes section = in.Take(length + 3);
            const size_t total = section.size() + 4;
            section[1] = static_cast<uint8_t>((section[1] & 0xF0) | ((total - 3) >> 8 & 0x0F));
            section[2] = static_cast<uint8_t>(total - 3);
            const uint32_t crc = ReferenceCrc(section.data(), section.size());
            for (int i = 0; i < 4; ++i)
                section.push_back(static_cast<uint8_t>(crc >> (24 - 8 * i)));
            PutSection(s, kPids[in.Byte() % 4], section);
            break;
        }
        case 2:
        {
            unsigned char packet[188];
            const uint16_t pid = kPids[in.Byte() % 4];
            packet[0] = 0x47;
            packet[1] = static_cast<unsigned char>((in.Byte() & 0xC0) | pid >> 8);
            packet[2] = static_cast<unsigned char>(pid);
            packet[3] = in.Byte();
            for (int i = 4; i < 188; ++i)
                packet[i] = in.Byte();
            s.Collector.PutPacket(packet, s.Clock);
            break;
        }
        case 3:
        {
            const bool tot = in.Byte() & 1;
            const int minutes = static_cast<int16_t>(in.Byte() | in.Byte() << 8);
            const int64_t when = kBase + minutes * 60LL;
            PutSection(s, 0x0014, tot ? TotSection(when) : TdtSection(when));
            break;
        }
        case 4:
        {
            const uint8_t mask = in.Byte();
            ProgramList programs;
            for (uint16_t p = 1; p <= 4; ++p)
                if (mask >> p & 1)
                    programs.emplace_back(p, static_cast<uint16_t>(0x100 * p));
            PutSection(s, 0x0000, PatSection(in.Byte() & 1 ? 7 : 1, patVersion++ % 32, programs));
            break;
        }
        case 5:
        {
            const int step = in.Byte() * 10;
            s.Clock.PcUtc += step;
            s.Clock.MonotonicMs += step * 1000LL;
            break;
        }
        }
    }
    CheckPool(s);
    return 0;
}

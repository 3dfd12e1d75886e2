#pragma once
// A transponder's guide and program list for the /epg.xml writer's tests:
// three programs (202 named with markup, 203 unnamed, 204), the broadcast's
// time at kNow; tests add events with Put and read the text with Write.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "PsiTestStreams.h"
#include "http/XmltvWriter.h"

namespace xmltvtest
{
using namespace psitest;

constexpr int64_t kNow = 1796990400;  // 2026-12-11 12:00:00 UTC

class Xmltv : public ::testing::Test
{
protected:
    void SetUp() override
    {
        clock.PcUtc = kNow;
        clock.MonotonicMs = 0;
        Put(0x0000, PatSection(1, 0, {{202, 0x100}, {203, 0x200}, {204, 0x300}}));
        Put(0x0011, SdtSection(0x42, 1, 0xFF01, 0, {{202, "P", "Film & <More>"}, {204, "P", "Quiet"}}));
        Put(0x0014, TdtSection(kNow));
        programs->TransportStreamId = 1;
        programs->OriginalNetworkId = 0xFF01;
        programs->nPrograms = 3;
        const uint16_t numbers[] = {202, 203, 204};
        const char* names[] = {"Film & <More>", "", "Quiet"};
        for (int i = 0; i < 3; ++i)
        {
            SListedProgram& p = programs->Programs[i];
            p.ProgramNumber = numbers[i];
            p.NameLength = static_cast<uint8_t>(std::strlen(names[i]));
            std::memcpy(p.Name, names[i], p.NameLength);
        }
    }

    void Put(uint16_t pid, const Bytes& section)
    {
        for (const Packet& packet : maker.Sections(pid, {section}))
            guide->PutPacket(packet.data(), clock);
    }

    std::string Write()
    {
        const size_t length = WriteXmltv(*programs, *guide, *scratch, nullptr, 0);
        std::string text(length + 1, '\0');
        EXPECT_EQ(WriteXmltv(*programs, *guide, *scratch, &text[0], text.size()), length);
        text.resize(length);
        return text;
    }

    std::unique_ptr<CGuideCollector> guide{new CGuideCollector};
    std::unique_ptr<SXmltvScratch> scratch{new SXmltvScratch};
    std::unique_ptr<SProgramList> programs{new SProgramList};
    PacketMaker maker;
    SGuideClock clock;
};
}  // namespace xmltvtest

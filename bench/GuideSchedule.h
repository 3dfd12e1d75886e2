#pragma once
// A dense programme guide made in memory for the guide's benchmarks: the
// PAT and SDT of 64 services, a TDT, and EIT schedule actual (tables
// 0x50-0x51: 7 days from the TDT's time) of 7 days for every service, 45
// events a day (32 minutes each), every event with a title, a short text and
// an extended text in English that together make `textBytes` bytes of text
// (a long text, as news and films carry), a genre and a rating. Sections as
// a broadcaster lays them out: per 3-hour segment of a service, its events
// in sections of the segment, at most three events a section (about 2 KB).

#include <cstdint>
#include <string>
#include <vector>

#include "PsiTestStreams.h"

constexpr int kScheduleServices = 64;
constexpr int kScheduleDays = 7;
constexpr int kScheduleEventsPerDay = 45;
constexpr int kScheduleEventSeconds = 86400 / kScheduleEventsPerDay;  // 32 minutes
constexpr int64_t kScheduleStart = 1796947200;                        // 2026-12-11 00:00:00 UTC
constexpr uint16_t kScheduleTsid = 1;
constexpr uint16_t kScheduleOnid = 0xFF01;
constexpr uint16_t kScheduleFirstService = 101;

struct SGuideSchedule
{
    std::vector<psitest::Packet> Tables;  // PAT, SDT, TDT: the collector's start
    std::vector<psitest::Packet> Eit;     // every schedule section, service after service
    int Sections = 0;
    int Events = 0;
    size_t TextBytes = 0;                 // of all events, as broadcast
};

inline SGuideSchedule MakeGuideSchedule(size_t textBytes)
{
    using namespace psitest;
    SGuideSchedule schedule;
    PacketMaker maker;
    ProgramList programs;
    std::vector<TestService> services;
    for (int s = 0; s < kScheduleServices; ++s)
    {
        const uint16_t number = static_cast<uint16_t>(kScheduleFirstService + s);
        programs.emplace_back(number, static_cast<uint16_t>(0x1000 + s));
        services.push_back({number, "Provider", "Channel " + std::to_string(s + 1)});
    }
    auto add = [](std::vector<Packet>& to, const std::vector<Packet>& packets) {
        to.insert(to.end(), packets.begin(), packets.end());
    };
    add(schedule.Tables, maker.Sections(0x0000, {PatSection(kScheduleTsid, 0, programs)}));
    add(schedule.Tables, maker.Sections(0x0011, {SdtSection(0x42, kScheduleTsid, kScheduleOnid, 0, services)}));
    add(schedule.Tables, maker.Sections(0x0014, {TdtSection(kScheduleStart)}));

    // Title about 30 bytes, short text up to 200, the rest extended text.
    const size_t shortText = textBytes / 3 < 200 ? textBytes / 3 : 200;
    const size_t longText = textBytes > 30 + shortText ? textBytes - 30 - shortText : 0;
    const std::string words = "The quick brown fox jumps over the lazy dog; a story told again. ";
    auto filler = [&words](size_t n, int seed) {
        std::string text;
        for (size_t i = 0; text.size() < n; ++i)
            text += words[(i + static_cast<size_t>(seed)) % words.size()];
        return text;
    };

    constexpr int kSegmentSeconds = 3 * 3600;
    constexpr int kEventsPerSection = 3;
    const int events = kScheduleDays * kScheduleEventsPerDay;
    for (int s = 0; s < kScheduleServices; ++s)
    {
        std::vector<Bytes> sections;
        int e = 0;
        while (e < events)
        {
            // The events that start in this 3-hour segment, a table per 4 days.
            const int64_t offset = static_cast<int64_t>(e) * kScheduleEventSeconds;
            const int segmentOfTables = static_cast<int>(offset / kSegmentSeconds);
            const uint8_t tableId = static_cast<uint8_t>(0x50 + segmentOfTables / 32);
            const int segment = segmentOfTables % 32;
            int inSegment = 0;
            while (e + inSegment < events &&
                   (static_cast<int64_t>(e + inSegment) * kScheduleEventSeconds) / kSegmentSeconds == segmentOfTables)
                ++inSegment;
            const int sectionsInSegment = (inSegment + kEventsPerSection - 1) / kEventsPerSection;
            for (int k = 0; k < sectionsInSegment; ++k)
            {
                std::vector<TestEvent> sectionEvents;
                for (int i = k * kEventsPerSection; i < inSegment && i < (k + 1) * kEventsPerSection; ++i)
                {
                    const int id = e + i;
                    Bytes descriptors = ShortEventDescriptor("eng", Text("Programme " + std::to_string(id) + " of the week"),
                                                             Text(filler(shortText, id)));
                    if (longText > 0)
                    {
                        const Bytes extended = ExtendedEventDescriptors("eng", {}, Text(filler(longText, id + 7)), 240);
                        descriptors.insert(descriptors.end(), extended.begin(), extended.end());
                    }
                    const Bytes genre = ContentDescriptor({0x10});
                    descriptors.insert(descriptors.end(), genre.begin(), genre.end());
                    const Bytes rating = ParentalRatingDescriptor("DEU", 9);
                    descriptors.insert(descriptors.end(), rating.begin(), rating.end());
                    sectionEvents.push_back({static_cast<uint16_t>(id + 1),
                                             kScheduleStart + static_cast<int64_t>(id) * kScheduleEventSeconds,
                                             kScheduleEventSeconds, descriptors});
                    schedule.TextBytes += 30 + shortText + longText;
                    ++schedule.Events;
                }
                const int number = segment * 8 + k;
                EitHeader header{tableId, static_cast<uint16_t>(kScheduleFirstService + s), kScheduleTsid,
                                 kScheduleOnid, 0, number, 0xFF};
                header.SegmentLast = segment * 8 + sectionsInSegment - 1;
                header.LastTableId = 0x51;
                sections.push_back(EitEventsSection(header, sectionEvents));
            }
            e += inSegment;
        }
        schedule.Sections += static_cast<int>(sections.size());
        add(schedule.Eit, maker.Sections(0x0012, sections));
    }
    return schedule;
}

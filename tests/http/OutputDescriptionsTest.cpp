// The outputs' session descriptions as the URL server serves them: the
// announcement's text, named after the one program an output carries, a
// new version when that name changes; unknown numbers found nowhere.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "http/OutputDescriptions.h"

namespace
{
std::string Describe(SServedOutput& output, const SProgramList& programs)
{
    char sdp[kSapPacketCapacity];
    const int length = WriteOutputDescription(output, programs, sdp, sizeof sdp);
    return std::string(sdp, static_cast<size_t>(length));
}

TEST(OutputDescriptions, NamedAfterTheOneProgramAndAsTheAnnouncementSaysIt)
{
    auto programs = std::make_unique<SProgramList>();
    programs->nPrograms = 1;
    SListedProgram& p = programs->Programs[0];
    p.ProgramNumber = 202;
    const char name[] = "\x05Tovrin \xDC";  // ISO 8859-9
    std::memcpy(p.Name, name, sizeof name - 1);
    p.NameLength = sizeof name - 1;
    std::memcpy(p.Provider, "Prov", 4);
    p.ProviderLength = 4;

    SServedOutputs outputs;
    outputs.Count = 2;
    SServedOutput& whole = outputs.Items[0];
    whole.Number = 1;
    const uint8_t loopback[4] = {127, 0, 0, 1};
    std::memcpy(whole.Session.Group, loopback, 4);
    std::memcpy(whole.Session.Origin, loopback, 4);
    whole.Session.Port = 43000;
    whole.Session.SessionId = 43000 << 8 | 1;
    SServedOutput& one = outputs.Items[1];
    one = whole;
    one.Number = 3;
    one.nPrograms = 1;
    one.Program = 202;
    one.Session.Port = 5000;
    one.Session.Rtp = false;
    one.Session.SessionId = 5000 << 8 | 3;

    EXPECT_EQ(FindServedOutput(outputs, 2), nullptr);
    EXPECT_EQ(FindServedOutput(outputs, 0), nullptr);
    ASSERT_EQ(FindServedOutput(outputs, 1), &whole);
    ASSERT_EQ(FindServedOutput(outputs, 3), &one);

    // Unicast: no TTL; the whole transponder has the module's name.
    EXPECT_EQ(Describe(whole, *programs), "v=0\r\n"
                                          "o=- 11008001 0 IN IP4 127.0.0.1\r\n"
                                          "s=Tovrin TS Streamer\r\n"
                                          "c=IN IP4 127.0.0.1\r\n"
                                          "t=0 0\r\n"
                                          "a=tool:Tovrin TS Streamer\r\n"
                                          "m=video 43000 RTP/AVP 33\r\n"
                                          "a=rtpmap:33 MP2T/90000\r\n");
    const std::string named = Describe(one, *programs);
    EXPECT_NE(named.find("o=- 1280003 1 IN IP4 127.0.0.1\r\ns=Tovrin \xC3\x9C\r\ni=Prov\r\n"), std::string::npos) << named;
    EXPECT_NE(named.find("m=video 5000 udp MP2T\r\n"), std::string::npos);
    EXPECT_EQ(Describe(one, *programs), named) << "the same name: the same version";

    // Renamed in the SDT: a new version; gone from the list: unnamed, again new.
    p.Name[8] = 'V';
    EXPECT_NE(Describe(one, *programs).find("o=- 1280003 2 IN IP4 127.0.0.1\r\ns=Tovrin V\r\n"), std::string::npos);
    programs->nPrograms = 0;
    EXPECT_NE(Describe(one, *programs).find("o=- 1280003 3 IN IP4 127.0.0.1\r\ns=Tovrin TS Streamer\r\n"),
              std::string::npos);
    char tiny[16];
    EXPECT_EQ(WriteOutputDescription(one, *programs, tiny, sizeof tiny), 0);
}
// The server's copy of an output described again: the name and version go
// on; a change of anything the description says is a new version.
TEST(OutputDescriptions, ADescriptionThatChangesIsANewVersion)
{
    SServedOutput before;
    before.Number = 1;
    const uint8_t group[4] = {239, 255, 1, 1};
    std::memcpy(before.Session.Group, group, 4);
    before.Session.Port = 1234;
    before.Session.Ttl = 4;
    before.Session.SessionId = 1234 << 8 | 1;
    before.Session.Version = 7;
    std::strcpy(before.Session.Name, "Channel");
    const struct
    {
        const char* Name;
        void (*Change)(SSapSession&);
        uint32_t Version;
    } cases[] = {
        {"nothing", [](SSapSession&) {}, 7},
        {"plain UDP", [](SSapSession& s) { s.Rtp = false; }, 8},
        {"FEC", [](SSapSession& s) { s.Fec = true; }, 8},
        {"TTL", [](SSapSession& s) { s.Ttl = 8; }, 8},
        {"port", [](SSapSession& s) { s.Port = 1236; }, 8},
        {"origin", [](SSapSession& s) { s.Origin[0] = 10; }, 8},
        {"name and version as the module has them (its own)", [](SSapSession& s) {
             std::strcpy(s.Name, "Other");
             s.Version = 0;
         }, 7},
    };
    for (const auto& c : cases)
    {
        SServedOutput next = before;
        next.Session.Version = 0;  // the module's copy has no version of its own
        next.Session.Name[0] = 0;
        c.Change(next.Session);
        CarryOutputVersion(next, before);
        EXPECT_EQ(next.Session.Version, c.Version) << c.Name;
        EXPECT_STREQ(next.Session.Name, "Channel") << c.Name;
    }
}

}  // namespace

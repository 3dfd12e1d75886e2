// The program list that the page and the playlist show, from PAT and SDT
// packets built by the tests' own table writers: each case a stream of
// tables, and the list a server thread then reads.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "programs/ProgramDirectory.h"
#include "psi/SdtTable.h"
#include "PsiTestStreams.h"

using namespace psitest;

namespace {

struct Listed
{
    uint16_t Number;
    std::string Name;
    std::string Provider;
    uint8_t ServiceType;
};

std::vector<Listed> ListOf(CProgramDirectory& directory)
{
    std::unique_ptr<SProgramList> list(new SProgramList);
    directory.Snapshot(*list);
    std::vector<Listed> out;
    for (int i = 0; i < list->nPrograms; ++i)
    {
        const SListedProgram& p = list->Programs[i];
        out.push_back({p.ProgramNumber, std::string(reinterpret_cast<const char*>(p.Name), p.NameLength),
                       std::string(reinterpret_cast<const char*>(p.Provider), p.ProviderLength), p.ServiceType});
    }
    return out;
}

class ProgramDirectory : public ::testing::Test
{
protected:
    void Feed(uint16_t pid, const Bytes& section)
    {
        for (const Packet& packet : maker.Sections(pid, {section}))
            directory->Observe(packet.data());
    }
    std::unique_ptr<CProgramDirectory> directory{new CProgramDirectory};
    PacketMaker maker;
};

}  // namespace

TEST_F(ProgramDirectory, ProgramsFromThePatNamesFromTheSdt)
{
    EXPECT_TRUE(ListOf(*directory).empty());
    Feed(0x0000, PatSection(1, 0, {{0, 0x10}, {101, 0x100}, {102, 0x200}}));
    auto list = ListOf(*directory);
    ASSERT_EQ(list.size(), 2u) << "program 0 is the NIT's, not a program";
    EXPECT_EQ(list[0].Number, 101);
    EXPECT_EQ(list[1].Number, 102);
    EXPECT_EQ(list[0].Name, "");
    EXPECT_TRUE(directory->Lists(102));
    EXPECT_FALSE(directory->Lists(103));

    Feed(0x0011, SdtSection(0x42, 1, 7, 0, {{102, "Prov B", "Two"}, {101, "Prov A", "One"}, {999, "X", "Nobody"}}));
    list = ListOf(*directory);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Name, "One");
    EXPECT_EQ(list[0].Provider, "Prov A");
    EXPECT_EQ(list[1].Name, "Two");

    // The SDT of another transport stream names nothing here.
    Feed(0x0011, SdtSection(0x46, 2, 7, 0, {{101, "Other", "Elsewhere"}}));
    EXPECT_EQ(ListOf(*directory)[0].Name, "One");

    // A new PAT: a program gone, one added (named by the next SDT), names kept.
    Feed(0x0000, PatSection(1, 1, {{102, 0x200}, {103, 0x300}}));
    list = ListOf(*directory);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Number, 102);
    EXPECT_EQ(list[0].Name, "Two");
    EXPECT_EQ(list[1].Number, 103);
    EXPECT_FALSE(directory->Lists(101));
    Feed(0x0011, SdtSection(0x42, 1, 7, 0, {{102, "Prov B", "Two"}, {103, "Prov C", "Three"}}));
    EXPECT_EQ(ListOf(*directory)[1].Name, "Three");
}

TEST_F(ProgramDirectory, DamagedTablesChangeNothing)
{
    Feed(0x0000, PatSection(1, 0, {{101, 0x100}}));
    Bytes broken = PatSection(1, 1, {{201, 0x100}});
    broken[9] ^= 0x01;  // the CRC no longer matches
    Feed(0x0000, broken);
    Bytes sdt = SdtSection(0x42, 1, 7, 0, {{101, "P", "Name"}});
    sdt[sdt.size() - 1] ^= 0xFF;
    Feed(0x0011, sdt);
    const auto list = ListOf(*directory);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Number, 101);
    EXPECT_EQ(list[0].Name, "");

    directory->Reset();
    EXPECT_TRUE(ListOf(*directory).empty());
}

// A Reset from another thread (a Start while a traffic call is under way)
// empties the published list at once; the traffic thread's side follows at
// its next table packet, and until then answers as a fresh directory does.
// A section begun before the Reset is not completed after it.
TEST_F(ProgramDirectory, AResetIsTakenUpAtTheNextTablePacket)
{
    Feed(0x0000, PatSection(1, 4, {{101, 0x100}}));
    ASSERT_NE(directory->Find(101), nullptr);
    ASSERT_EQ(directory->LatestPatVersion(), 4);
    std::vector<TestService> many;
    for (int i = 0; i < 12; ++i)
        many.push_back({static_cast<uint16_t>(101 + i), "Provider of a long name", "Service " + std::to_string(i)});
    const std::vector<Packet> sdt = maker.Sections(0x0011, {SdtSection(0x42, 1, 7, 0, many)});
    ASSERT_GE(sdt.size(), 2u);
    directory->Observe(sdt[0].data());

    directory->Reset();
    EXPECT_TRUE(ListOf(*directory).empty()) << "the published list, at once";
    EXPECT_EQ(directory->Find(101), nullptr);
    EXPECT_EQ(directory->LatestPatVersion(), -1);
    EXPECT_EQ(directory->LatestPatContinuity(), -1);
    for (size_t i = 1; i < sdt.size(); ++i)
        directory->Observe(sdt[i].data());
    Feed(0x0000, PatSection(1, 5, {{101, 0x100}}));
    const auto list = ListOf(*directory);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Name, "") << "the SDT begun before the Reset";
    EXPECT_EQ(directory->LatestPatVersion(), 5);
}

// The dialog's kind column: the service type of the SDT, kept with the names
// and following a change of it.
TEST_F(ProgramDirectory, ServiceTypesAndTheirKinds)
{
    Feed(0x0000, PatSection(1, 0, {{101, 0x100}, {102, 0x200}, {103, 0x300}}));
    EXPECT_EQ(ListOf(*directory)[0].ServiceType, 0) << "unknown before the SDT";
    Feed(0x0011, SdtSection(0x42, 1, 7, 0, {{101, "P", "TV", 0x19}, {102, "P", "Radio", 0x02}, {103, "P", "Text", 0x0C}}));
    auto list = ListOf(*directory);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].ServiceType, 0x19);
    EXPECT_EQ(list[1].ServiceType, 0x02);
    EXPECT_EQ(list[2].ServiceType, 0x0C);
    Feed(0x0011, SdtSection(0x42, 1, 7, 1, {{101, "P", "TV", 0x1F}}));
    EXPECT_EQ(ListOf(*directory)[0].ServiceType, 0x1F) << "a changed type is published";

    struct Case { unsigned char type; EServiceKind kind; };
    const Case cases[] = {
        {0x00, EServiceKind::Unknown},    {0x01, EServiceKind::Television}, {0x11, EServiceKind::Television},
        {0x16, EServiceKind::Television}, {0x19, EServiceKind::Television}, {0x1F, EServiceKind::Television},
        {0x02, EServiceKind::Radio},      {0x0A, EServiceKind::Radio},      {0x07, EServiceKind::Radio},
        {0x03, EServiceKind::Data},       {0x0C, EServiceKind::Data},       {0xFF, EServiceKind::Data},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ServiceKindOf(c.type), c.kind) << "service type " << static_cast<int>(c.type);
}

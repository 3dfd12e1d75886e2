// What the tuner clients' own library (libhdhomerun, which hdhomerun_config
// and media servers' discovery use) makes of our ids and packets.

#include <gtest/gtest.h>

#include "hdhomerun.h"

#include "discovery/TunerDocuments.h"

namespace {

TEST(HdHomeRunClient, AcceptsEveryDeviceIdWeMake)
{
    const char* names[] = {"LIVINGROOM", "OFFICE-PC", "", "A", "DESKTOP-1234567"};
    for (const char* name : names)
        for (uint16_t port : {80, 8001, 65535})
        {
            const uint32_t id = TunerDeviceId(name, port);
            EXPECT_TRUE(hdhomerun_discover_validate_device_id(id)) << name << " " << port;
        }
    // And agrees with our own check on ids we did not make.
    for (uint32_t id = 0x20000000; id < 0x20000000 + 4096; ++id)
        EXPECT_EQ(IsValidTunerDeviceId(id), hdhomerun_discover_validate_device_id(id)) << std::hex << id;
}

} // namespace

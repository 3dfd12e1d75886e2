#include "discovery/TunerDocuments.h"

#include "http/ChannelId.h"
#include "psi/SdtTable.h"

namespace {
// The check digit's table: each odd-placed digit (counting from the first)
// goes through it, each even-placed one is taken as it is, and all eight
// XORed give 0 for a valid id. Catches one wrong digit and two swapped ones.
constexpr uint8_t kCheckTable[16] = {0xA, 0x5, 0xF, 0x6, 0x7, 0xC, 0x1, 0xB,
                                     0x9, 0x2, 0x8, 0xD, 0x4, 0x3, 0xE, 0x0};

uint8_t CheckSum(uint32_t id)
{
    uint8_t sum = 0;
    for (int shift = 28; shift >= 0; shift -= 8)
    {
        sum ^= kCheckTable[id >> shift & 0xF];
        sum ^= id >> (shift - 4) & 0xF;
    }
    return sum;
}

void PutBaseUrl(CTextWriter& writer, const char* hostPort)
{
    writer.Put("http://");
    writer.Put(hostPort);
}

void PutField(CTextWriter& writer, const char* name, const char* value)
{
    writer.Put('"');
    writer.Put(name);
    writer.Put("\":\"");
    writer.PutJsonEscaped(value);
    writer.Put('"');
}

bool IsHighDefinition(uint8_t serviceType)
{
    // MPEG-2 HD, H.264 HD (and its 3D and NVOD kinds), HEVC.
    return serviceType == 0x11 || (serviceType >= 0x19 && serviceType <= 0x20);
}
} // namespace

bool IsValidTunerDeviceId(uint32_t id)
{
    return CheckSum(id) == 0;
}

uint32_t TunerDeviceId(const char* computerName, uint16_t port)
{
    // FNV-1a over the name (ASCII folded to upper case, as Windows shows it)
    // and the port, high byte first.
    uint32_t hash = 2166136261u;
    auto mix = [&hash](unsigned char byte) { hash = (hash ^ byte) * 16777619u; };
    for (const char* c = computerName; *c != 0; ++c)
        mix(static_cast<unsigned char>(*c >= 'a' && *c <= 'z' ? *c - 'a' + 'A' : *c));
    mix(static_cast<unsigned char>(port >> 8));
    mix(static_cast<unsigned char>(port));
    const uint32_t id = 0x20000000u | (hash & 0x0FFFFFF0u);
    return id | CheckSum(id);  // the last digit enters the sum as it is
}

void PutTunerDeviceId(CTextWriter& writer, uint32_t id)
{
    char digits[8];
    for (int i = 0; i < 8; ++i)
        digits[i] = "0123456789ABCDEF"[id >> (28 - 4 * i) & 0xF];
    writer.Put(digits, sizeof digits);
}

size_t WriteDiscoverJson(const STunerDevice& device, char* out, size_t capacity)
{
    CTextWriter writer(out, capacity);
    writer.Put("{\"FriendlyName\":\"Tovrin TS Streamer (");
    writer.PutJsonEscaped(device.ComputerName);
    writer.Put(")\",");
    PutField(writer, "Manufacturer", "Tovrin");
    writer.Put(',');
    PutField(writer, "ModelNumber", "TOVRIN-TS");
    writer.Put(',');
    PutField(writer, "FirmwareName", "tovrin_dvb");
    writer.Put(',');
    PutField(writer, "FirmwareVersion", "1");
    writer.Put(",\"DeviceID\":\"");
    PutTunerDeviceId(writer, device.DeviceId);
    writer.Put("\",\"DeviceAuth\":\"\",\"TunerCount\":");
    writer.PutDecimal(device.nTuners < 0 ? 0 : static_cast<uint64_t>(device.nTuners));
    writer.Put(",\"BaseURL\":\"");
    PutBaseUrl(writer, device.HostPort);
    writer.Put("\",\"LineupURL\":\"");
    PutBaseUrl(writer, device.HostPort);
    writer.Put("/lineup.json\"}\n");
    return writer.Length();
}

size_t WriteLineupJson(const SProgramList& programs, const char* hostPort, char* out, size_t capacity)
{
    CTextWriter writer(out, capacity);
    writer.Put('[');
    const int count = ListedProgramCount(programs);
    for (int i = 0; i < count; ++i)
    {
        const SListedProgram& program = programs.Programs[i];
        char utf8[kDvbTextUtf8Capacity];
        DvbTextToUtf8(program.Name, program.NameLength, utf8, sizeof utf8);
        char name[kDvbTextUtf8Capacity + 16];
        CTextWriter nameWriter(name, sizeof name);
        PutProgramName(nameWriter, utf8, program.ProgramNumber, ENameText::Plain);

        writer.Put(i == 0 ? "\n" : ",\n");
        writer.Put("{\"GuideNumber\":\"");
        writer.PutDecimal(program.ProgramNumber);
        writer.Put("\",");
        PutField(writer, "GuideName", name);
        writer.Put(",\"URL\":\"");
        PutBaseUrl(writer, hostPort);
        PutProgramPath(writer, program.ProgramNumber, ".ts");
        writer.Put('"');
        const EServiceKind kind = ServiceKindOf(program.ServiceType);
        if (kind == EServiceKind::Television && IsHighDefinition(program.ServiceType))
            writer.Put(",\"HD\":1");
        else if (kind == EServiceKind::Radio)
            writer.Put(",\"AudioOnly\":1");
        writer.Put('}');
    }
    writer.Put("\n]\n");
    return writer.Length();
}

size_t WriteLineupStatusJson(char* out, size_t capacity)
{
    CTextWriter writer(out, capacity);
    writer.Put("{\"ScanInProgress\":0,\"ScanPossible\":0,\"Source\":\"Antenna\",\"SourceList\":[\"Antenna\"]}\n");
    return writer.Length();
}

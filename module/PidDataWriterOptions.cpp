// The settings: defaults, and the INI keys read and written.

#include "PidDataWriter.h"

#include <cstring>

#include "HttpOptions.h"
#include "OptionsValues.h"
#include "PidRecorderModuleApi2Manager.h"
#include "ProgramList.h"
#include "TextCapacities.h"
#include "WideText.h"

namespace
{
constexpr wchar_t kIniSection[] = L"TovrinStreamer";
constexpr wchar_t kKeyAddress[] = L"IPAddress";
constexpr wchar_t kKeyPort[] = L"UDP_Port";
constexpr wchar_t kKeyPackets[] = L"nTS_UDP";
// Optional keys that the user adds by hand; never written.
constexpr wchar_t kKeyProtocol[] = L"Protocol";
constexpr wchar_t kKeyTtl[] = L"TTL";
constexpr wchar_t kKeyLocalAddress[] = L"LocalIPAddress";
constexpr wchar_t kKeySendBufferSize[] = L"SendBufferSize";
constexpr wchar_t kKeyFec[] = L"FEC";
constexpr wchar_t kKeyRtpTimestamps[] = L"RtpTimestamps";
constexpr wchar_t kKeyPrograms[] = L"Programs";
constexpr wchar_t kKeyHttpPort[] = L"HttpPort";
constexpr wchar_t kKeyHttpAddress[] = L"HttpAddress";
constexpr wchar_t kKeyHttpMaxClients[] = L"HttpMaxClients";
constexpr wchar_t kKeyHttpAllow[] = L"HttpAllow";
constexpr int kSendOptionTextCapacity = 64;  // longer than any valid value, so a cut never makes one
// 16 numbers and their separators fit many times over; an entry cut at the
// end is dropped (DropCutEntry).
constexpr int kProgramListTextCapacity = 512;
constexpr wchar_t kDefaultAddress[] = L"127.0.0.1";
constexpr uint16_t kDefaultPort = 43000;

// An optional key's text; empty when absent. Only meaningful with an INI file.
const wchar_t* ReadOptionalKey(const wchar_t* key, wchar_t (&text)[kSendOptionTextCapacity])
{
    GetPrivateProfileStringW(kIniSection, key, L"", text, kSendOptionTextCapacity, m_IniFileName);
    return text;
}
}  // namespace

// ---------------------------------------------------------------------------
// Options

void CPidDataWriter::SetPacketsPerDatagram(int packets)
{
    First().SetPacketsPerDatagram(packets, Streaming());
}

void CPidDataWriter::SetDefaultOptions()
{
    SOutputSettings& settings = First().Settings();
    CopyZeroFilled(settings.szAddress, kDefaultAddress);
    settings.Port = kDefaultPort;
    SetPacketsPerDatagram(kDefaultPacketsPerDatagram);
    settings.Send = SSendOptions();
    settings.Programs.Count = 0;
}

void CPidDataWriter::LoadOptions()
{
    SetDefaultOptions();
    // Without a file name from the host, the profile functions would fall
    // back to the system's own win.ini.
    if (m_IniFileName[0] == 0)
        return;

    SOutputSettings& settings = First().Settings();
    wchar_t fallback[kAddressCapacity];
    std::memcpy(fallback, settings.szAddress, sizeof fallback);
    GetPrivateProfileStringW(kIniSection, kKeyAddress, fallback, settings.szAddress, kAddressCapacity,
                             m_IniFileName);
    settings.szAddress[kAddressCapacity - 1] = 0;

    wchar_t text[kNumberTextCapacity];
    wchar_t value[kNumberTextCapacity];
    wsprintfW(text, L"%d", static_cast<int>(settings.Port));
    GetPrivateProfileStringW(kIniSection, kKeyPort, text, value, kNumberTextCapacity, m_IniFileName);
    settings.Port = PortFromInt(ParseLeadingInt(value));

    wsprintfW(text, L"%d", settings.Packets);
    GetPrivateProfileStringW(kIniSection, kKeyPackets, text, value, kNumberTextCapacity, m_IniFileName);
    SetPacketsPerDatagram(ParseLeadingInt(value));

    LoadSendOptions();
}

// A running stream keeps the socket and framing it started with; what is read
// here takes effect at the next Start.
void CPidDataWriter::LoadSendOptions()
{
    if (m_IniFileName[0] == 0)
        return;  // the profile functions would read the system's win.ini
    wchar_t text[kSendOptionTextCapacity];
    auto read = [&text](const wchar_t* key) { return ReadOptionalKey(key, text); };
    SOutputSettings& settings = First().Settings();
    settings.Send.Protocol = ParseSendProtocol(read(kKeyProtocol));
    settings.Send.Ttl = ParseTtl(read(kKeyTtl));
    ParseLocalAddress(read(kKeyLocalAddress), settings.Send);
    settings.Send.SendBufferSize = ParseSendBufferSize(read(kKeySendBufferSize));
    settings.Send.Fec = ParseFecMatrix(read(kKeyFec));
    settings.Send.RtpTimestamps = ParseRtpTimestamps(read(kKeyRtpTimestamps));

    wchar_t programs[kProgramListTextCapacity];
    GetPrivateProfileStringW(kIniSection, kKeyPrograms, L"", programs, kProgramListTextCapacity, m_IniFileName);
    DropCutEntry(programs, kProgramListTextCapacity);
    ParseProgramList(programs, settings.Programs);
}

// The URL server's keys, read at each Start (see StartHttpServer).
void CPidDataWriter::LoadHttpOptions()
{
    m_HttpOptions = SHttpOptions();
    if (m_IniFileName[0] == 0)
        return;
    wchar_t text[kSendOptionTextCapacity];
    auto read = [&text](const wchar_t* key) { return ReadOptionalKey(key, text); };
    m_HttpOptions.Port = ParseHttpPort(read(kKeyHttpPort));
    ParseHttpAddress(read(kKeyHttpAddress), m_HttpOptions);
    m_HttpOptions.MaxClients = ParseHttpMaxClients(read(kKeyHttpMaxClients));
    GetPrivateProfileStringW(kIniSection, kKeyHttpAllow, L"", m_HttpOptions.szAllow, kHttpAllowTextCapacity,
                             m_IniFileName);
}

void CPidDataWriter::SaveOptions()
{
    if (m_IniFileName[0] == 0)
        return;
    const SOutputSettings& settings = First().Settings();
    wchar_t text[kNumberTextCapacity];
    WritePrivateProfileStringW(kIniSection, kKeyAddress, settings.szAddress, m_IniFileName);
    wsprintfW(text, L"%d", static_cast<int>(settings.Port));
    WritePrivateProfileStringW(kIniSection, kKeyPort, text, m_IniFileName);
    wsprintfW(text, L"%d", settings.Packets);
    WritePrivateProfileStringW(kIniSection, kKeyPackets, text, m_IniFileName);
}

// The settings: defaults, and the INI keys read and written.

#include "PidDataWriter.h"

#include <cstring>

#include "HttpOptions.h"
#include "OptionKeys.h"
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
constexpr wchar_t kDefaultAddress[] = L"127.0.0.1";
constexpr uint16_t kDefaultPort = 43000;
constexpr int kDefaultPackets = 7;

// Every optional key's text as the file holds it now; empty when absent.
// Only meaningful with an INI file.
void ReadOptionTexts(SOptionTexts& texts)
{
    for (int k = 0; k < kOptionKeyCount; ++k)
        GetPrivateProfileStringW(kIniSection, OptionKeyName(static_cast<EOptionKey>(k)), L"", texts.Text[k],
                                 kOptionTextCapacity, m_IniFileName);
}
}  // namespace

// ---------------------------------------------------------------------------
// Options

void CPidDataWriter::SetPacketsPerDatagram(int packets)
{
    m_nTS = ClampPacketsPerDatagram(packets);
    // A running stream keeps the chunk length it started with; the next start
    // takes the new one.
    if (m_bStreaming.load(std::memory_order_relaxed) == 0)
        m_nChunkSize = m_nTS * kTsPacketSize;
}

void CPidDataWriter::SetDefaultOptions()
{
    CopyZeroFilled(m_szIPAddress, kDefaultAddress);
    m_wUdpPort = kDefaultPort;
    SetPacketsPerDatagram(kDefaultPackets);
    m_SendOptions = SSendOptions();
    m_Programs.Count = 0;
}

void CPidDataWriter::LoadOptions()
{
    SetDefaultOptions();
    // Without a file name from the host, the profile functions would fall
    // back to the system's own win.ini.
    if (m_IniFileName[0] == 0)
        return;

    wchar_t fallback[kAddressCapacity];
    std::memcpy(fallback, m_szIPAddress, sizeof fallback);
    GetPrivateProfileStringW(kIniSection, kKeyAddress, fallback, m_szIPAddress, kAddressCapacity, m_IniFileName);
    m_szIPAddress[kAddressCapacity - 1] = 0;

    wchar_t text[kNumberTextCapacity];
    wchar_t value[kNumberTextCapacity];
    wsprintfW(text, L"%d", static_cast<int>(m_wUdpPort));
    GetPrivateProfileStringW(kIniSection, kKeyPort, text, value, kNumberTextCapacity, m_IniFileName);
    m_wUdpPort = PortFromInt(ParseLeadingInt(value));

    wsprintfW(text, L"%d", m_nTS);
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
    SOptionTexts texts;
    ReadOptionTexts(texts);
    ReadSendKeys(texts, m_SendOptions, m_Programs);
}

// The running stream's destination and packets per datagram, as it started.
// Only this thread starts a stream, so they are read without the lock.
void CPidDataWriter::TakeRunningSettings()
{
    const unsigned char* ip = reinterpret_cast<const unsigned char*>(&m_DestAddr.sin_addr);
    wchar_t address[kAddressCapacity];  // at most 15 characters
    wsprintfW(address, L"%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    CopyZeroFilled(m_szIPAddress, address);
    m_wUdpPort = ntohs(m_DestAddr.sin_port);
    SetPacketsPerDatagram(m_nChunkSize / kTsPacketSize);
}

// The URL server's keys, read at each Start (see StartHttpServer).
void CPidDataWriter::LoadHttpOptions()
{
    m_HttpOptions = SHttpOptions();
    if (m_IniFileName[0] == 0)
        return;
    SOptionTexts texts;
    ReadOptionTexts(texts);
    ReadHttpKeys(texts, m_HttpOptions);
}

void CPidDataWriter::SaveOptions()
{
    if (m_IniFileName[0] == 0)
        return;
    wchar_t text[kNumberTextCapacity];
    WritePrivateProfileStringW(kIniSection, kKeyAddress, m_szIPAddress, m_IniFileName);
    wsprintfW(text, L"%d", static_cast<int>(m_wUdpPort));
    WritePrivateProfileStringW(kIniSection, kKeyPort, text, m_IniFileName);
    wsprintfW(text, L"%d", m_nTS);
    WritePrivateProfileStringW(kIniSection, kKeyPackets, text, m_IniFileName);
}

// The second dialog's keys. Only what the plan says changes: a key kept is
// not rewritten, so a hand-written value and its place in the file stay.
void CPidDataWriter::ReadOptionalKeyTexts(SOptionTexts& texts) const
{
    if (m_IniFileName[0] == 0)
    {
        texts = SOptionTexts();
        return;
    }
    ReadOptionTexts(texts);
}

void CPidDataWriter::ApplyOptionalKeys(const SOptionWritePlan& plan)
{
    if (m_IniFileName[0] == 0)
        return;
    for (int k = 0; k < kOptionKeyCount; ++k)
    {
        const wchar_t* key = OptionKeyName(static_cast<EOptionKey>(k));
        if (plan.Action[k] == EOptionWrite::Write)
            WritePrivateProfileStringW(kIniSection, key, plan.Texts.Text[k], m_IniFileName);
        else if (plan.Action[k] == EOptionWrite::Remove)
            WritePrivateProfileStringW(kIniSection, key, nullptr, m_IniFileName);
    }
    // The sending keys take effect at the next Start; a running stream
    // takes another choice of programs at once.
    LoadSendOptions();
    QueueProgramsChange();
}

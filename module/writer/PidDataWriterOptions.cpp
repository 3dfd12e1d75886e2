// The settings: defaults, and the INI keys read and written.

#include "writer/PidDataWriter.h"

#include <cstring>

#include "settings/HttpOptions.h"
#include "settings/OptionKeys.h"
#include "settings/OptionsValues.h"
#include "settings/OutputKey.h"
#include "host/HostValues.h"
#include "settings/ProgramList.h"
#include "settings/TextCapacities.h"
#include "settings/WideText.h"

namespace
{
constexpr wchar_t kIniSection[] = L"TovrinStreamer";
constexpr wchar_t kKeyAddress[] = L"IPAddress";
constexpr wchar_t kKeyPort[] = L"UDP_Port";
constexpr wchar_t kKeyPackets[] = L"nTS_UDP";
constexpr wchar_t kDefaultAddress[] = L"127.0.0.1";
constexpr uint16_t kDefaultPort = 43000;

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
    SOptionTexts texts;
    ReadOptionTexts(texts);
    SOutputSettings& settings = First().Settings();
    ReadSendKeys(texts, settings.Send, settings.Programs);
    m_Announcer.SetWanted(ReadAnnounceKey(texts));
}

// The Output<k> keys as the INI file holds them now: each output whose key is
// there takes its settings from it, in the order of k after output 1.
bool CPidDataWriter::LoadOutputKeys()
{
    m_nOutputs = 1;
    if (m_IniFileName[0] == 0)
        return true;
    for (int k = kFirstOutputKey; k <= kLastOutputKey; ++k)
    {
        const wchar_t* key = OptionKeyName(OutputOptionKey(k));
        wchar_t text[kOutputKeyTextCapacity];
        const int length = static_cast<int>(
            GetPrivateProfileStringW(kIniSection, key, L"", text, kOutputKeyTextCapacity, m_IniFileName));
        if (length >= kOutputKeyTextCapacity - 1)
        {
            wsprintfW(m_szStartRefusal, L"%s: longer than %d characters", key, kOutputKeyTextCapacity - 2);
            return false;
        }
        SOutputSettings settings;
        wchar_t reason[kOutputKeyErrorCapacity];
        const EOutputKey parsed = ParseOutputKey(text, length, settings, reason);
        if (parsed == EOutputKey::Refused)
        {
            static_assert(kOutputKeyErrorCapacity + 16 <= kSendRefusalCapacity, "a reason fits the start's");
            wsprintfW(m_szStartRefusal, L"%s: %s", key, reason);
            return false;
        }
        if (parsed == EOutputKey::Absent)
            continue;
        COutput& output = m_Outputs[k - 1];
        output.Settings() = settings;
        output.SetPacketsPerDatagram(settings.Packets, false);
        m_Active[m_nOutputs++] = &output;
    }
    return true;
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
    const SOutputSettings& settings = First().Settings();
    wchar_t text[kNumberTextCapacity];
    WritePrivateProfileStringW(kIniSection, kKeyAddress, settings.szAddress, m_IniFileName);
    wsprintfW(text, L"%d", static_cast<int>(settings.Port));
    WritePrivateProfileStringW(kIniSection, kKeyPort, text, m_IniFileName);
    wsprintfW(text, L"%d", settings.Packets);
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
    if (Streaming())
    {
        First().ChangePrograms(First().Settings().Programs);
        ServeOutputDescriptions();
    }
}

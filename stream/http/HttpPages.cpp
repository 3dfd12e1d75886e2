#include "http/HttpPages.h"

#include <cstring>

#include "http/ChannelId.h"
#include "http/TextWriter.h"
#include "psi/SdtTable.h"

namespace {
struct SProgramTexts
{
    char Name[kDvbTextUtf8Capacity];
    char Provider[kDvbTextUtf8Capacity];
};

void ConvertNames(const SListedProgram& program, SProgramTexts& texts)
{
    DvbTextToUtf8(program.Name, program.NameLength, texts.Name, sizeof texts.Name);
    DvbTextToUtf8(program.Provider, program.ProviderLength, texts.Provider, sizeof texts.Provider);
}

// "#EXTM3U" naming the guide by both names, for the IPTV apps that read one or the other.
void PutPlaylistHead(CTextWriter& writer, const char* hostPort)
{
    writer.Put("#EXTM3U url-tvg=\"http://");
    writer.Put(hostPort);
    writer.Put("/epg.xml\" x-tvg-url=\"http://");
    writer.Put(hostPort);
    writer.Put("/epg.xml\"\n");
}

void PutPlaylistEntry(CTextWriter& writer, const SProgramList& programs, const SListedProgram& program,
                      const char* hostPort)
{
    SProgramTexts texts;
    ConvertNames(program, texts);
    writer.Put("#EXTINF:-1 tvg-id=\"");
    PutChannelId(writer, program.ProgramNumber, programs.TransportStreamId, programs.OriginalNetworkId);
    writer.Put("\" tvg-chno=\"");
    writer.PutDecimal(program.ProgramNumber);
    // IPTV apps list radio apart from TV by this attribute.
    writer.Put(ServiceKindOf(program.ServiceType) == EServiceKind::Radio ? "\" radio=\"true\"," : "\",");
    PutProgramName(writer, texts.Name, program.ProgramNumber, ENameText::Plain);
    writer.Put("\n#KODIPROP:mimetype=video/mp2t\nhttp://");
    writer.Put(hostPort);
    PutProgramPath(writer, program.ProgramNumber, ".ts");
    writer.Put('\n');
}
} // namespace

size_t WritePlaylist(const SProgramList& programs, const char* hostPort, char* out, size_t capacity)
{
    CTextWriter writer(out, capacity);
    PutPlaylistHead(writer, hostPort);
    const int count = ListedProgramCount(programs);
    for (int i = 0; i < count; ++i)
        PutPlaylistEntry(writer, programs, programs.Programs[i], hostPort);
    return writer.Length();
}

size_t WriteProgramPlaylist(const SProgramList& programs, uint16_t program, const char* hostPort, char* out,
                            size_t capacity)
{
    const int count = ListedProgramCount(programs);
    for (int i = 0; i < count; ++i)
        if (programs.Programs[i].ProgramNumber == program)
        {
            CTextWriter writer(out, capacity);
            PutPlaylistHead(writer, hostPort);
            PutPlaylistEntry(writer, programs, programs.Programs[i], hostPort);
            return writer.Length();
        }
    if (capacity > 0)
        out[0] = 0;
    return 0;
}

int ListedProgramCount(const SProgramList& programs)
{
    return programs.nPrograms < 0 ? 0 : programs.nPrograms > kMaxListedPrograms ? kMaxListedPrograms : programs.nPrograms;
}

void PutProgramPath(CTextWriter& writer, uint16_t number, const char* suffix)
{
    writer.Put("/program/");
    writer.PutDecimal(number);
    writer.Put(suffix);
}

void ChoosePlaylistHost(bool hasPlainHost, const char* plainHost, uint32_t localAddress, uint16_t localPort,
                        char* out, size_t capacity)
{
    if (capacity == 0)
        return;
    if (hasPlainHost && plainHost != nullptr && IsPlainHost(plainHost, std::strlen(plainHost)))
    {
        CTextWriter writer(out, capacity);
        writer.Put(plainHost);
        if (writer.Fits())
            return;
    }
    CTextWriter writer(out, capacity);
    for (int shift = 24; shift >= 0; shift -= 8)
    {
        writer.PutDecimal(localAddress >> shift & 0xFF);
        if (shift > 0)
            writer.Put('.');
    }
    if (localPort != 80)
    {
        writer.Put(':');
        writer.PutDecimal(localPort);
    }
    if (!writer.Fits())
        out[0] = 0; // never half an address
}

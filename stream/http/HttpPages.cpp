#include "http/HttpPages.h"

#include <cstring>

#include "http/ChannelId.h"
#include "http/TextWriter.h"

namespace {
void PutHtmlEscaped(CTextWriter& writer, const char* text)
{
    writer.PutMarkupEscaped(text);
}

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

void PutProgramPath(CTextWriter& writer, uint16_t number)
{
    writer.Put("/program/");
    writer.PutDecimal(number);
    writer.Put(".ts");
}

int ListedCount(const SProgramList& programs)
{
    return programs.nPrograms < 0 ? 0 : programs.nPrograms > kMaxListedPrograms ? kMaxListedPrograms : programs.nPrograms;
}

} // namespace

size_t WriteIndexPage(const SProgramList& programs, const SServerState& state, char* out, size_t capacity)
{
    CTextWriter writer(out, capacity);
    writer.Put("<!DOCTYPE html>\n"
               "<html><head><meta charset=\"utf-8\"><title>Tovrin TS Streamer</title></head>\n"
               "<body>\n<h1>Tovrin TS Streamer</h1>\n<p>");
    writer.Put(state.bReceiving ? "Receiving the transport stream." : "Waiting for the transport stream.");
    writer.Put(" Viewers: ");
    writer.PutDecimal(static_cast<uint64_t>(state.nViewers < 0 ? 0 : state.nViewers));
    writer.Put(" of ");
    writer.PutDecimal(static_cast<uint64_t>(state.nMaxViewers < 0 ? 0 : state.nMaxViewers));
    writer.Put(".</p>\n<p><a href=\"/stream.ts\">Whole transponder</a></p>\n<h2>Programs</h2>\n");

    const int count = ListedCount(programs);
    if (count == 0)
        writer.Put("<p>No program known yet.</p>\n");
    else
    {
        writer.Put("<ul>\n");
        SProgramTexts texts;
        for (int i = 0; i < count; ++i)
        {
            const SListedProgram& program = programs.Programs[i];
            ConvertNames(program, texts);
            writer.Put("<li><a href=\"");
            PutProgramPath(writer, program.ProgramNumber);
            writer.Put("\">");
            if (texts.Name[0] != 0)
                PutHtmlEscaped(writer, texts.Name);
            else
            {
                writer.Put("Program ");
                writer.PutDecimal(program.ProgramNumber);
            }
            writer.Put("</a>");
            if (texts.Provider[0] != 0)
            {
                writer.Put(" (");
                PutHtmlEscaped(writer, texts.Provider);
                writer.Put(")");
            }
            writer.Put("</li>\n");
        }
        writer.Put("</ul>\n");
    }
    writer.Put("<p><a href=\"/playlist.m3u\">Playlist (M3U)</a></p>\n</body></html>\n");
    return writer.Length();
}

size_t WritePlaylist(const SProgramList& programs, const char* hostPort, char* out, size_t capacity)
{
    CTextWriter writer(out, capacity);
    // Both names of the guide's address, for the IPTV apps that read one or the other.
    writer.Put("#EXTM3U url-tvg=\"http://");
    writer.Put(hostPort);
    writer.Put("/epg.xml\" x-tvg-url=\"http://");
    writer.Put(hostPort);
    writer.Put("/epg.xml\"\n");
    const int count = ListedCount(programs);
    SProgramTexts texts;
    for (int i = 0; i < count; ++i)
    {
        const SListedProgram& program = programs.Programs[i];
        ConvertNames(program, texts);
        writer.Put("#EXTINF:-1 tvg-id=\"");
        PutChannelId(writer, program.ProgramNumber, programs.TransportStreamId, programs.OriginalNetworkId);
        writer.Put("\" tvg-chno=\"");
        writer.PutDecimal(program.ProgramNumber);
        writer.Put("\",");
        if (texts.Name[0] != 0)
            writer.Put(texts.Name);
        else
        {
            writer.Put("Program ");
            writer.PutDecimal(program.ProgramNumber);
        }
        writer.Put("\n#KODIPROP:mimetype=video/mp2t\nhttp://");
        writer.Put(hostPort);
        PutProgramPath(writer, program.ProgramNumber);
        writer.Put('\n');
    }
    return writer.Length();
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

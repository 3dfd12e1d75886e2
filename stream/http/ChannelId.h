#pragma once
// The id a program has in the playlist (tvg-id) and in the guide (XMLTV
// channel id): service, transport stream and original network ids in the
// dotted form the XMLTV tools accept, "202.1.ff01.dvb" (the service id in
// decimal, as its number is shown; the other two in hexadecimal), so that
// programs of two transponders never share an id.

#include <cstdint>

#include "http/TextWriter.h"

inline void PutChannelId(CTextWriter& writer, uint16_t serviceId, uint16_t transportStreamId,
                         uint16_t originalNetworkId)
{
    auto putHex = [&writer](unsigned value) {
        char digits[4];
        int count = 0;
        do
        {
            digits[3 - count++] = "0123456789abcdef"[value & 0xF];
            value >>= 4;
        } while (value != 0);
        writer.Put(digits + 4 - count, static_cast<size_t>(count));
    };
    writer.PutDecimal(serviceId);
    writer.Put('.');
    putHex(transportStreamId);
    writer.Put('.');
    putHex(originalNetworkId);
    writer.Put(".dvb");
}

// How a program is named in the playlist, the guide and the page: its SDT
// name (UTF-8, empty when the SDT has none), else "Program <number>". Markup
// escapes the name for XML and HTML; the playlist takes it as it is.
enum class ENameText { Plain, Markup };
inline void PutProgramName(CTextWriter& writer, const char* utf8Name, uint16_t number, ENameText text)
{
    if (utf8Name[0] == 0)
    {
        writer.Put("Program ");
        writer.PutDecimal(number);
    }
    else if (text == ENameText::Markup)
        writer.PutMarkupEscaped(utf8Name);
    else
        writer.Put(utf8Name);
}

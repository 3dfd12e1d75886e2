#pragma once
// One XML element of text or a number, "<name>text</name>", as the
// descriptions, DIDL-Lite and the SOAP answers write them.

#include <cstdint>

#include "http/TextWriter.h"

enum class EXmlText
{
    Escaped, // text from outside (names, titles): markup characters escaped
    AsIs,    // this program's own text, or text escaped already
};

inline void PutXmlOpen(CTextWriter& writer, const char* name)
{
    writer.Put('<');
    writer.Put(name);
    writer.Put('>');
}

inline void PutXmlClose(CTextWriter& writer, const char* name)
{
    writer.Put("</");
    writer.Put(name);
    writer.Put('>');
}

inline void PutXmlElement(CTextWriter& writer, const char* name, const char* text, EXmlText kind)
{
    PutXmlOpen(writer, name);
    if (kind == EXmlText::Escaped)
        writer.PutMarkupEscaped(text);
    else
        writer.Put(text);
    PutXmlClose(writer, name);
}

inline void PutXmlNumber(CTextWriter& writer, const char* name, uint64_t value)
{
    PutXmlOpen(writer, name);
    writer.PutDecimal(value);
    PutXmlClose(writer, name);
}

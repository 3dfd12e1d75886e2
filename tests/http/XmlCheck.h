#pragma once
// Well-formedness as a strict XML 1.0 parser (expat) sees it, for the texts
// that IPTV apps and browsers parse: the guide and the page. Native builds
// only (Debian's libexpat1-dev).

#include <expat.h>

#include <cstddef>
#include <string>

// "" when `text` is a well-formed XML document, else expat's complaint with
// its line and column.
inline std::string XmlFault(const char* text, size_t length)
{
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser == nullptr)
        return "no parser";
    std::string fault;
    if (XML_Parse(parser, text, static_cast<int>(length), 1) != XML_STATUS_OK)
        fault = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
                std::to_string(XML_GetCurrentLineNumber(parser)) + ", column " +
                std::to_string(XML_GetCurrentColumnNumber(parser));
    XML_ParserFree(parser);
    return fault;
}

inline std::string XmlFault(const std::string& text)
{
    return XmlFault(text.data(), text.size());
}

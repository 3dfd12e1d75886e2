#include "discovery/SoapRequest.h"

#include <cstring>
#include <string_view>

namespace {
constexpr char kEnvelopeNamespace[] = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr size_t kNamespaceUriCapacity = 128;

struct SNamespace
{
    char Prefix[kSoapNameCapacity];
    char Uri[kNamespaceUriCapacity];
    int Depth;
};

// A start or end tag as read: prefix and local name split at the colon.
struct STag
{
    char Prefix[kSoapNameCapacity];
    char Local[kSoapNameCapacity];
    char Uri[kNamespaceUriCapacity]; // a start tag's namespace, resolved where it stands; "" for none
    bool End;         // "</...>"
    bool SelfClosing; // "<.../>"
};

bool IsNameStart(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}

bool IsNameChar(unsigned char c)
{
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// UTF-8 of code point `c` into `out` at `length`; false when it does not fit.
bool PutCodePoint(uint32_t c, char* out, size_t capacity, size_t& length)
{
    char bytes[4];
    size_t count;
    if (c < 0x80)
        bytes[0] = static_cast<char>(c), count = 1;
    else if (c < 0x800)
        bytes[0] = static_cast<char>(0xC0 | c >> 6), bytes[1] = static_cast<char>(0x80 | (c & 0x3F)), count = 2;
    else if (c < 0x10000)
        bytes[0] = static_cast<char>(0xE0 | c >> 12), bytes[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F)),
        bytes[2] = static_cast<char>(0x80 | (c & 0x3F)), count = 3;
    else
        bytes[0] = static_cast<char>(0xF0 | c >> 18), bytes[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F)),
        bytes[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F)), bytes[3] = static_cast<char>(0x80 | (c & 0x3F)), count = 4;
    if (count >= capacity - length)
        return false;
    std::memcpy(out + length, bytes, count);
    length += count;
    out[length] = 0;
    return true;
}

class CSoapParser
{
public:
    CSoapParser(const char* data, size_t size, SSoapRequest& request)
        : m_p(data), m_pEnd(data + size), m_Request(request)
    {
    }

    bool Parse()
    {
        static const char kBom[] = "\xEF\xBB\xBF";
        if (Remaining() >= 3 && std::memcmp(m_p, kBom, 3) == 0)
            m_p += 3;
        if (Remaining() >= 6 && std::memcmp(m_p, "<?xml", 5) == 0 && IsSpace(m_p[5]) && !SkipDeclaration())
            return false;
        STag tag;
        if (!NextTag(tag) || tag.End || !Is(tag, "Envelope") || tag.SelfClosing)
            return false;
        if (!NextTag(tag))
            return false;
        if (!tag.End && Is(tag, "Header"))
        {
            if (!tag.SelfClosing && !SkipContent())
                return false;
            if (!NextTag(tag))
                return false;
        }
        if (tag.End || !Is(tag, "Body") || tag.SelfClosing)
            return false;
        if (!ParseAction())
            return false;
        // </Body>, </Envelope>, then only blanks.
        for (int i = 0; i < 2; ++i)
            if (!NextTag(tag) || !tag.End)  // Close checked that they end Body and Envelope
                return false;
        SkipSpace();
        return m_p == m_pEnd;
    }

private:
    size_t Remaining() const { return static_cast<size_t>(m_pEnd - m_p); }

    void SkipSpace()
    {
        while (m_p < m_pEnd && IsSpace(*m_p))
            ++m_p;
    }

    // "<?xml ... ?>": its contents are not read, only its end, with no '<' before it.
    bool SkipDeclaration()
    {
        for (const char* q = m_p + 5; q + 1 < m_pEnd; ++q)
        {
            if (*q == '<')
                return false;
            if (q[0] == '?' && q[1] == '>')
            {
                m_p = q + 2;
                return true;
            }
        }
        return false;
    }

    // Whether a tag is the envelope's element `local`.
    static bool Is(const STag& tag, const char* local)
    {
        return std::strcmp(tag.Local, local) == 0 && std::strcmp(tag.Uri, kEnvelopeNamespace) == 0;
    }

    const char* Resolve(const char* prefix) const
    {
        for (int i = m_nNamespaces - 1; i >= 0; --i)
            if (std::strcmp(m_Namespaces[i].Prefix, prefix) == 0)
                return m_Namespaces[i].Uri;
        return nullptr;
    }

    bool ReadName(char* out)
    {
        size_t length = 0;
        if (m_p >= m_pEnd || !IsNameStart(static_cast<unsigned char>(*m_p)))
            return false;
        while (m_p < m_pEnd && IsNameChar(static_cast<unsigned char>(*m_p)))
        {
            if (length + 1 >= kSoapNameCapacity)
                return false;
            out[length++] = *m_p++;
        }
        out[length] = 0;
        return true;
    }

    // A prefixed or plain name: "s:Body" or "Body".
    bool ReadQualifiedName(char* prefix, char* local)
    {
        if (!ReadName(local))
            return false;
        prefix[0] = 0;
        if (m_p < m_pEnd && *m_p == ':')
        {
            ++m_p;
            std::memcpy(prefix, local, kSoapNameCapacity);
            return ReadName(local);
        }
        return true;
    }

    // Text up to `stop` (exclusive), references decoded, into `out` (null:
    // checked only); no '<' or NUL inside.
    bool ReadText(const char* stop, char* out, size_t capacity)
    {
        size_t length = 0;
        if (out != nullptr)
            out[0] = 0;
        while (m_p < stop)
        {
            const char c = *m_p;
            if (c == '<' || c == 0)
                return false;
            if (c != '&')
            {
                if (out != nullptr)
                {
                    if (length + 1 >= capacity)
                        return false;
                    out[length++] = c;
                    out[length] = 0;
                }
                ++m_p;
                continue;
            }
            const char* semicolon = static_cast<const char*>(std::memchr(m_p, ';', static_cast<size_t>(stop - m_p)));
            if (semicolon == nullptr || semicolon - m_p > 10)
                return false;
            const std::string_view name(m_p + 1, static_cast<size_t>(semicolon - m_p - 1));
            uint32_t code = 0;
            if (!Reference(name, code) || (out != nullptr && !PutCodePoint(code, out, capacity, length)))
                return false;
            m_p = semicolon + 1;
        }
        return true;
    }

    static bool Reference(std::string_view name, uint32_t& code)
    {
        static const struct
        {
            const char* Name;
            char Char;
        } predefined[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
        for (const auto& entry : predefined)
            if (name == entry.Name)
            {
                code = static_cast<unsigned char>(entry.Char);
                return true;
            }
        if (name.size() < 2 || name[0] != '#')
            return false;
        const bool hex = name[1] == 'x';
        const size_t first = hex ? 2 : 1;
        if (first >= name.size())
            return false;
        for (size_t i = first; i < name.size(); ++i)
        {
            const char c = name[i];
            uint32_t digit;
            if (c >= '0' && c <= '9')
                digit = static_cast<uint32_t>(c - '0');
            else if (hex && c >= 'a' && c <= 'f')
                digit = static_cast<uint32_t>(c - 'a' + 10);
            else if (hex && c >= 'A' && c <= 'F')
                digit = static_cast<uint32_t>(c - 'A' + 10);
            else
                return false;
            code = code * (hex ? 16 : 10) + digit;
            if (code > 0x10FFFF)
                return false;
        }
        // XML's characters: no NUL or other C0 control but tab and line ends, no surrogates.
        return (code >= 0x20 || code == 0x9 || code == 0xA || code == 0xD) && !(code >= 0xD800 && code <= 0xDFFF) &&
               code != 0xFFFE && code != 0xFFFF;
    }

    // The next tag, after blanks; any other text, '<!' or '<?' is refused.
    bool NextTag(STag& tag)
    {
        SkipSpace();
        return m_p < m_pEnd && *m_p == '<' && ReadTag(tag);
    }

    bool ReadTag(STag& tag)
    {
        ++m_p; // '<'
        tag.Uri[0] = 0;
        tag.End = m_p < m_pEnd && *m_p == '/';
        tag.SelfClosing = false;
        if (tag.End)
            ++m_p;
        if (!ReadQualifiedName(tag.Prefix, tag.Local))
            return false;  // also "<!" and "<?"
        if (tag.End)
        {
            SkipSpace();
            if (m_p >= m_pEnd || *m_p != '>')
                return false;
            ++m_p;
            return Close(tag);
        }
        if (m_nDepth == kSoapMaxDepth)
            return false;
        std::memcpy(m_Open[m_nDepth].Prefix, tag.Prefix, kSoapNameCapacity);
        std::memcpy(m_Open[m_nDepth].Local, tag.Local, kSoapNameCapacity);
        ++m_nDepth;
        for (;;)
        {
            const bool spaced = m_p < m_pEnd && IsSpace(*m_p);
            SkipSpace();
            if (m_p >= m_pEnd)
                return false;
            if (*m_p == '>' || (*m_p == '/' && m_pEnd - m_p >= 2 && m_p[1] == '>'))
                break;
            if (!spaced || !ReadAttribute())
                return false;
        }
        // A prefix must be declared; an unprefixed name may have no namespace.
        const char* uri = Resolve(tag.Prefix);
        if (uri == nullptr && tag.Prefix[0] != 0)
            return false;
        std::memcpy(tag.Uri, uri == nullptr ? "" : uri, uri == nullptr ? 1 : kNamespaceUriCapacity);
        if (*m_p == '/')
        {
            tag.SelfClosing = true;
            m_p += 2;
            return Close(tag);
        }
        ++m_p;
        return true;
    }

    // Leaves an element (an end tag must name the open one): its namespace
    // declarations go out of scope.
    bool Close(const STag& tag)
    {
        if (m_nDepth == 0)
            return false;
        const STag& open = m_Open[m_nDepth - 1];
        if (tag.End && (std::strcmp(tag.Local, open.Local) != 0 || std::strcmp(tag.Prefix, open.Prefix) != 0))
            return false;
        --m_nDepth;
        while (m_nNamespaces > 0 && m_Namespaces[m_nNamespaces - 1].Depth > m_nDepth)
            --m_nNamespaces;
        return true;
    }

    bool ReadAttribute()
    {
        char prefix[kSoapNameCapacity];
        char local[kSoapNameCapacity];
        if (!ReadQualifiedName(prefix, local))
            return false;
        SkipSpace();
        if (m_p >= m_pEnd || *m_p != '=')
            return false;
        ++m_p;
        SkipSpace();
        if (m_p >= m_pEnd || (*m_p != '"' && *m_p != '\''))
            return false;
        const char quote = *m_p++;
        const char* close = static_cast<const char*>(std::memchr(m_p, quote, Remaining()));
        if (close == nullptr)
            return false;
        char value[kNamespaceUriCapacity];
        const bool declares = std::strcmp(prefix, "xmlns") == 0 || (prefix[0] == 0 && std::strcmp(local, "xmlns") == 0);
        if (!declares)
        {
            // Other attributes (encodingStyle) are not needed: checked, not kept.
            if (!ReadText(close, nullptr, 0))
                return false;
        }
        else
        {
            if (!ReadText(close, value, sizeof value) || m_nNamespaces == kSoapMaxNamespaces)
                return false;
            SNamespace& entry = m_Namespaces[m_nNamespaces++];
            std::memcpy(entry.Prefix, prefix[0] == 0 ? "" : local, prefix[0] == 0 ? 1 : kSoapNameCapacity);
            std::memcpy(entry.Uri, value, sizeof value);
            entry.Depth = m_nDepth;
        }
        m_p = close + 1;
        return true;
    }

    // A Header's content: elements and text of any shape, bounded in depth, up to its end tag.
    bool SkipContent()
    {
        const int depth = m_nDepth;
        while (m_nDepth >= depth)
        {
            const char* lt = static_cast<const char*>(std::memchr(m_p, '<', Remaining()));
            STag tag;
            if (lt == nullptr || !ReadText(lt, nullptr, 0) || !ReadTag(tag))
                return false;
        }
        return true;
    }

    bool ParseAction()
    {
        STag tag;
        if (!NextTag(tag) || tag.End)
            return false;
        if (std::strcmp(tag.Uri, "urn:schemas-upnp-org:service:ContentDirectory:1") == 0)
            m_Request.Service = ESoapService::ContentDirectory;
        else if (std::strcmp(tag.Uri, "urn:schemas-upnp-org:service:ConnectionManager:1") == 0)
            m_Request.Service = ESoapService::ConnectionManager;
        std::memcpy(m_Request.Action, tag.Local, kSoapNameCapacity);
        if (tag.SelfClosing)
            return true;
        for (;;)
        {
            if (!NextTag(tag))
                return false;
            if (tag.End)
                return true;  // the action's end tag (Close checked its name)
            if (m_Request.nArguments == kSoapMaxArguments || SoapArgument(m_Request, tag.Local) != nullptr)
                return false;
            SSoapArgument& argument = m_Request.Arguments[m_Request.nArguments++];
            std::memcpy(argument.Name, tag.Local, kSoapNameCapacity);
            argument.Value[0] = 0;
            if (tag.SelfClosing)
                continue;
            const char* lt = static_cast<const char*>(std::memchr(m_p, '<', Remaining()));
            if (lt == nullptr || !ReadText(lt, argument.Value, sizeof argument.Value))
                return false;
            STag end;
            if (!ReadTag(end) || !end.End)
                return false;  // an argument holds text only
        }
    }

    const char* m_p;
    const char* m_pEnd;
    SSoapRequest& m_Request;
    SNamespace m_Namespaces[kSoapMaxNamespaces];
    int m_nNamespaces = 0;
    STag m_Open[kSoapMaxDepth];  // the open elements' names, outermost first
    int m_nDepth = 0;
};
} // namespace

ESoapParse ParseSoapRequest(const char* data, size_t size, SSoapRequest& request)
{
    request.Service = ESoapService::Unknown;
    request.Action[0] = 0;
    request.nArguments = 0;
    if (size > kSoapBodyMaxSize)
        return ESoapParse::TooLarge;
    CSoapParser parser(data, size, request);
    if (parser.Parse())
        return ESoapParse::Request;
    request.Service = ESoapService::Unknown;
    request.Action[0] = 0;
    request.nArguments = 0;
    return ESoapParse::Malformed;
}

const char* SoapArgument(const SSoapRequest& request, const char* name)
{
    for (int i = 0; i < request.nArguments && i < kSoapMaxArguments; ++i)
        if (std::strcmp(request.Arguments[i].Name, name) == 0)
            return request.Arguments[i].Value;
    return nullptr;
}

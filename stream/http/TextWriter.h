#pragma once
// Appends text to a caller's fixed buffer, snprintf-style: it counts the
// whole text, stores what fits before the last byte and keeps the stored
// part NUL-terminated, so that a writer learns the size it needed.

#include <cstddef>
#include <cstdint>
#include <cstring>

class CTextWriter
{
public:
    CTextWriter(char* out, size_t capacity) : m_pOut(out), m_nCapacity(capacity)
    {
        if (m_nCapacity > 0)
            m_pOut[0] = 0;
    }

    void Put(const char* text, size_t length)
    {
        if (m_nLength < m_nCapacity)
        {
            const size_t room = m_nCapacity - 1 - m_nLength;
            const size_t stored = length < room ? length : room;
            std::memcpy(m_pOut + m_nLength, text, stored);
            m_pOut[m_nLength + stored] = 0;
        }
        m_nLength += length;
    }
    void Put(const char* text) { Put(text, std::strlen(text)); }
    void Put(char c) { Put(&c, 1); }

    void PutDecimal(uint64_t value)
    {
        char digits[20];
        size_t count = 0;
        do
        {
            digits[sizeof digits - 1 - count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        Put(digits + sizeof digits - count, count);
    }

    // UTF-8 text into HTML or XML, with the five characters that could end
    // a text or an attribute written as references.
    void PutMarkupEscaped(const char* text, size_t length)
    {
        size_t plain = 0;  // characters since the last reference, put in one go
        for (size_t i = 0; i < length; ++i)
        {
            const char* reference = nullptr;
            switch (text[i])
            {
            case '&': reference = "&amp;"; break;
            case '<': reference = "&lt;"; break;
            case '>': reference = "&gt;"; break;
            case '"': reference = "&quot;"; break;
            case '\'': reference = "&#39;"; break;
            default: break;
            }
            if (reference == nullptr)
                continue;
            Put(text + plain, i - plain);
            Put(reference);
            plain = i + 1;
        }
        Put(text + plain, length - plain);
    }
    void PutMarkupEscaped(const char* text) { PutMarkupEscaped(text, std::strlen(text)); }

    // UTF-8 text into a JSON string (RFC 8259 7): '"', '\\' and every
    // control character escaped, everything else as it is.
    void PutJsonEscaped(const char* text)
    {
        for (; *text != 0; ++text)
        {
            const unsigned char c = static_cast<unsigned char>(*text);
            if (c == '"' || c == '\\')
            {
                Put('\\');
                Put(*text);
            }
            else if (c < 0x20 || c == 0x7F)
            {
                char escape[] = "\\u00..";
                escape[4] = "0123456789abcdef"[c >> 4];
                escape[5] = "0123456789abcdef"[c & 0xF];
                Put(escape, 6);
            }
            else
                Put(*text);
        }
    }

    size_t Length() const { return m_nLength; }              // the whole text's length
    bool Fits() const { return m_nLength < m_nCapacity; }   // stored whole, NUL included

private:
    char* m_pOut;
    size_t m_nCapacity;
    size_t m_nLength = 0;
};

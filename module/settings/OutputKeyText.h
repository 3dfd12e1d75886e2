#pragma once
// The text helpers of the Output keys' parser and writer: a bounded wide
// buffer that reasons and written keys are built in, and word comparison
// for 8-bit and wide text alike. Portable.

#include <type_traits>

// The user's text quoted in a reason is cut to this many characters.
constexpr int kOutputKeyQuoteLength = 40;

namespace OutputKeyText
{
// A character as a wide one, 8-bit text read as unsigned, so that both
// kinds of text quote the same.
template <class Char>
wchar_t Widen(Char c)
{
    return static_cast<wchar_t>(static_cast<typename std::make_unsigned<Char>::type>(c));
}

// Appends to a fixed wide buffer, cutting at its end.
class CReason
{
public:
    template <int Capacity>
    explicit CReason(wchar_t (&text)[Capacity]) : m_Text(text), m_nCapacity(Capacity)
    {
        m_Text[0] = 0;
    }

    CReason& Add(const char* ascii)
    {
        for (; *ascii != 0; ++ascii)
            Put(static_cast<wchar_t>(*ascii));
        return *this;
    }

    CReason& Add(const wchar_t* text)
    {
        for (; *text != 0; ++text)
            Put(*text);
        return *this;
    }

    CReason& Add(unsigned long long number)
    {
        char digits[24];
        int n = 0;
        do
        {
            digits[n++] = static_cast<char>('0' + number % 10);
            number /= 10;
        } while (number != 0);
        while (n > 0)
            Put(static_cast<wchar_t>(digits[--n]));
        return *this;
    }

    // `"text"` from begin to end, cut to kOutputKeyQuoteLength characters.
    template <class Char>
    CReason& Quote(const Char* begin, const Char* end)
    {
        Put(L'"');
        int n = 0;
        for (; begin != end && n < kOutputKeyQuoteLength; ++begin, ++n)
            Put(Widen(*begin));
        if (begin != end)
            Add("...");
        Put(L'"');
        return *this;
    }

    int Length() const { return m_nLength; }

private:
    void Put(wchar_t c)
    {
        if (m_nLength < m_nCapacity - 1)
        {
            m_Text[m_nLength++] = c;
            m_Text[m_nLength] = 0;
        }
    }

    wchar_t* m_Text;
    int m_nCapacity;
    int m_nLength = 0;
};

template <class Char>
bool Equals(const Char* begin, const Char* end, const char* word)
{
    for (; begin != end && *word != 0; ++begin, ++word)
        if (*begin != static_cast<Char>(*word))
            return false;
    return begin == end && *word == 0;
}
}  // namespace OutputKeyText

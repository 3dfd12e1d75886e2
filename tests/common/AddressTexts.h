#pragma once
// Destination address texts, for the parser's table and for the starts that
// must be refused. Each fits the 19 characters of the address setting.

// Not a dotted IPv4 address: no parser may make an address of them.
inline const wchar_t* const kMalformedAddresses[] = {
    L"abc",
    L"",
    L"1.2.3",
    L"1.2.3.",
    L".1.2.3",
    L"1..2.3",
    L"1.2.3.4.5",
    L"10.1.2.3x",
    L"256.1.1.1",
    L"1.2.3.256",
    L"1.2.3.1000",
    L"01.2.3.4",
    L"1.2.3.04",
    L"0x7f.0.0.1",
    L"127.1",  // inet_addr reads it as 127.0.0.1
    L" 1.2.3.4",
    L"1.2.3.4 ",
    L"-1.2.3.4",
    L"+1.2.3.4",
    L"1.2.3.4/24",
    L"127.0.0.1:80",
    L"1,2,3,4",
    L"localhost",
    L"\x0661.2.3.4",  // an Arabic-Indic digit one
};

// Well formed, but no destination: "any" (0.0.0.0) and the rest of "this
// network" (0.0.0.0/8).
inline const wchar_t* const kUnusableAddresses[] = {
    L"0.0.0.0",
    L"0.0.0.1",
    L"0.1.2.3",
    L"0.255.255.255",
};

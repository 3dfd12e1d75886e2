#pragma once
// The optional keys of the INI section in one place: each key's name, how
// its text is read into the module's records, how a text typed into the
// dialog is checked, what its default is, and what is written back. The INI
// reader and the dialog both go through here, so a key means the same in
// both. Portable, so that the sanitizers and the fuzzer can check it.
//
// Reading is lenient (a value out of range counts as absent, as it always
// has); checking is strict (the dialog refuses such a value with a word why).
// A key's default is written as no key at all.

#include <cstdint>

#include "settings/HttpOptions.h"
#include "settings/OutputKey.h"
#include "settings/SendOptions.h"
#include "programs/ProgramFilter.h"

enum EOptionKey : int
{
    kOptionProtocol,
    kOptionTtl,
    kOptionLocalIPAddress,
    kOptionSendBufferSize,
    kOptionFec,
    kOptionRtpTimestamps,
    kOptionPrograms,
    kOptionHttpPort,
    kOptionHttpAddress,
    kOptionHttpMaxClients,
    kOptionHttpAllow,
    kOptionAnnounce,  // 1: SAP announcements of the multicast outputs
    kOptionOutput2,   // Output2 ... Output16: one more destination each
    kOptionOutput16 = kOptionOutput2 + (kLastOutputKey - kFirstOutputKey),
    kOptionKeyCount
};

// The key of output `number`, 2..16.
constexpr EOptionKey OutputOptionKey(int number)
{
    return static_cast<EOptionKey>(kOptionOutput2 + number - kFirstOutputKey);
}

constexpr bool IsOutputOptionKey(EOptionKey key)
{
    return key >= kOptionOutput2 && key <= kOptionOutput16;
}

constexpr int OutputNumberOf(EOptionKey key)
{
    return key - kOptionOutput2 + kFirstOutputKey;
}

// Every key's text is read into this many characters: the list keys
// (Programs, HttpAllow, Output<k>) need it, and for the others it is far
// longer than any valid value, so that a cut never makes one.
constexpr int kOptionTextCapacity = 512;
static_assert(kOptionTextCapacity == kOutputKeyTextCapacity, "an Output key is read as Start reads it");

// Why a text is refused, in words for the dialog: an Output key's as the
// line Start shows ("Output3: " and the reason).
constexpr int kOptionReasonCapacity = kOutputKeyErrorCapacity + 16;
using OptionReasonText = wchar_t[kOptionReasonCapacity];

// Each key's text as the INI file holds it (empty when absent), or as the
// dialog's fields give it.
struct SOptionTexts
{
    wchar_t Text[kOptionKeyCount][kOptionTextCapacity] = {};
};

// "Protocol", "TTL", ...
const wchar_t* OptionKeyName(EOptionKey key);

// Why an HttpAllow list is refused for its length (HttpAllowTooLong): the
// dialog's words for it and Start's refusal, one text.
extern const wchar_t kHttpAllowTooLongReason[];

// Reading, as the module has always read the keys: anything invalid counts
// as absent (see SendOptions.h, ProgramList.h, HttpOptions.h).
void ReadSendKeys(const SOptionTexts& texts, SSendOptions& send, SProgramSelection& programs);
void ReadHttpKeys(const SOptionTexts& texts, SHttpOptions& http);
// Announce=1 turns the announcements on; anything else leaves them off.
bool ReadAnnounceKey(const SOptionTexts& texts);

// Checking: null when `text` is a value the key takes (empty is always one:
// the default), else the key's rule in words for the dialog.
const wchar_t* CheckOptionText(EOptionKey key, const wchar_t* text);
// The same check, with why this text is refused: for an Output key, the
// line Start would show ("Output3: not an IPv4 address: "239.255.1""); for
// the others, the key's rule. True when the text is taken (`reason` empty).
bool CheckOptionText(EOptionKey key, const wchar_t* text, OptionReasonText& reason);

// The text to write for a valid `text`: blanks trimmed, numbers without
// leading zeros, a repeated program once; empty when it means the default.
// False (and `canonical` empty) for an invalid text.
bool CanonicalOptionText(EOptionKey key, const wchar_t* text, wchar_t (&canonical)[kOptionTextCapacity]);

enum class EOptionWrite : uint8_t
{
    Keep,    // leave the key as it stands (unchanged, or meaning the same)
    Write,   // set the key to the canonical text
    Remove,  // the value is the default: no key
};

struct SOptionWritePlan
{
    EOptionWrite Action[kOptionKeyCount] = {};
    SOptionTexts Texts;  // what to write, for Action Write
    OptionReasonText Reason = {};  // why the first invalid field is refused
};

// What to do with each key when the dialog's fields (`edited`) replace what
// was read (`asRead`). A field whose text is unchanged, or means the same
// as the stored one, keeps the key as written, even a value the dialog
// could not check or show. Every other field is checked first: the first
// invalid one (in key order) goes to `invalidKey` with the reason to
// `reason` (it points into `plan`), and the result is false; nothing may
// then be written.
bool PlanOptionWrites(const SOptionTexts& asRead, const SOptionTexts& edited, SOptionWritePlan& plan,
                      EOptionKey* invalidKey, const wchar_t** reason);

#include "HostOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

const char kHostUsage[] =
    "usage: tovrin-host [options] FILE.ts\n"
    "Loads the receiver module the way a TV host does, plays FILE.ts through the\n"
    "filter it registers, and opens its options dialog. Playback starts when the\n"
    "module registers its filter (Start in the dialog) and pauses while none is\n"
    "registered; by default the whole file is delivered once.\n"
    "\n"
    "Module and settings:\n"
    "  --module PATH        module file (default: TovrinStreamer.module next to this program)\n"
    "  --ini PATH           host INI file (default: tovrin-host.ini next to this program)\n"
    "  --address A          write IPAddress=A into the INI's [TovrinStreamer] section first\n"
    "  --port P             write UDP_Port=P the same way\n"
    "  --packets N          write nTS_UDP=N (packets per datagram) the same way\n"
    "  --ini-key KEY=VALUE  write any key of the section the same way (repeatable; an\n"
    "                       empty VALUE writes an empty key), e.g. Protocol=UDP, TTL=4\n"
    "  --device-type T      transport type the device reports (default 129)\n"
    "Playback:\n"
    "  --pcr                pace at the stream's own rate, from its PCRs (default)\n"
    "  --rate MBIT          pace at MBIT Mbit/s\n"
    "  --fast               deliver as fast as the module takes it\n"
    "  --block N|MIN-MAX    packets per delivered block (default 7-100, varied by a seeded\n"
    "                       generator)\n"
    "  --seed N             seed of the varied block sizes (default 1)\n"
    "  --repeat N           play the file N times (default 1); 0 or --loop: until the run ends\n"
    "  --loop               the same as --repeat 0\n"
    "Unattended runs:\n"
    "  --start              press Start as soon as the dialog is open\n"
    "  --close-after S      press Close S seconds after the dialog opened and end the run\n"
    "  --close-when-done    press Close once the file has been delivered\n"
    "  --restart-after S    press Stop S seconds after Start, and Start again half a\n"
    "                       second later (playback pauses in between and goes on)\n"
    "  --restart-every S    the same every S seconds after the latest Start, until the\n"
    "                       run ends; the end of the run then presses Stop before Close\n"
    "  --sample-every S     from Start on, print a \"sample:\" line every S seconds and\n"
    "                       one at the end: this process's handle count, private bytes\n"
    "                       and working set, the engine thread's CPU time and its time\n"
    "                       inside the module\n"
    "  --quiet              no progress lines, only the summary\n"
    "  --help               this text\n"
    "\n"
    "Exit status: 0 done; 1 usage; 2 module file missing or not loadable; 3 no\n"
    "KelvModuleApi2_GetReceiverModuleUnit export; 4 not a transport stream (or no\n"
    "PCR to pace by); 5 the module refused GetInfo or CreateModule; 6 --start did\n"
    "not start a stream; 7 --close-when-done: the run ended before the file was\n"
    "delivered.\n";

namespace
{
bool ParseLong(const std::string& text, long low, long high, long* value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high)
        return false;
    *value = v;
    return true;
}

bool ParseDouble(const std::string& text, double low, double high, double* value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || v < low || v > high)
        return false;
    *value = v;
    return true;
}

bool ParseBlock(const std::string& text, int* low, int* high)
{
    const size_t dash = text.find('-');
    long a = 0, b = 0;
    constexpr long kMaxBlock = 100000;  // 18.8 MB: far beyond any tuner buffer
    if (dash == std::string::npos)
    {
        if (!ParseLong(text, 1, kMaxBlock, &a))
            return false;
        b = a;
    }
    else if (!ParseLong(text.substr(0, dash), 1, kMaxBlock, &a) ||
             !ParseLong(text.substr(dash + 1), 1, kMaxBlock, &b) || b < a)
    {
        return false;
    }
    *low = static_cast<int>(a);
    *high = static_cast<int>(b);
    return true;
}
// The options that take a number of seconds, each with its field.
double* SecondsOption(const std::string& name, HostOptions& o)
{
    if (name == "--close-after")
        return &o.closeAfterSeconds;
    if (name == "--restart-after")
        return &o.restartAfterSeconds;
    if (name == "--restart-every")
        return &o.restartEverySeconds;
    if (name == "--sample-every")
        return &o.sampleEverySeconds;
    return nullptr;
}
}  // namespace

bool ParseHostOptions(const std::vector<std::string>& args, HostOptions* options, std::string* error)
{
    HostOptions o;
    int pacingChoices = 0;
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::string& a = args[i];
        // Options that take a value read it here; a missing value is an error.
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size())
            {
                *error = a + " needs a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        // Reads the option's value and parses it; a bad value names what was expected.
        auto parsedValue = [&](const char* expected, auto&& parse) {
            std::string text;
            if (!value(&text))
                return false;
            if (parse(text))
                return true;
            *error = a + " takes " + expected + ", not '" + text + "'";
            return false;
        };
        long n = 0;
        if (a == "--help" || a == "-h")
        {
            o.help = true;
        }
        else if (a == "--module")
        {
            if (!value(&o.modulePath))
                return false;
        }
        else if (a == "--ini")
        {
            if (!value(&o.iniPath))
                return false;
        }
        else if (a == "--address")
        {
            if (!value(&o.address))
                return false;
            if (o.address.empty() || o.address.size() > 19)
            {
                *error = "--address takes a dotted IPv4 address";
                return false;
            }
        }
        else if (a == "--port")
        {
            if (!parsedValue("0..65535", [&](const std::string& text) { return ParseLong(text, 0, 65535, &o.port); }))
                return false;
        }
        else if (a == "--packets")
        {
            // Any number reaches the INI on purpose: the module's own range
            // handling is worth trying from here.
            if (!parsedValue("a number", [&](const std::string& text) { return ParseLong(text, -1000000, 1000000, &o.packets); }))
                return false;
        }
        else if (a == "--ini-key")
        {
            if (!parsedValue("KEY=VALUE", [&](const std::string& text) {
                    const size_t equals = text.find('=');
                    if (equals == 0 || equals == std::string::npos)
                        return false;
                    o.iniKeys.emplace_back(text.substr(0, equals), text.substr(equals + 1));
                    return true;
                }))
                return false;
        }
        else if (a == "--device-type")
        {
            if (!parsedValue("a number", [&](const std::string& text) {
                    if (!ParseLong(text, 0, 0x7FFFFFFF, &n))
                        return false;
                    o.deviceTransportType = static_cast<int>(n);
                    return true;
                }))
                return false;
        }
        else if (a == "--pcr")
        {
            o.pacing = Pacing::Pcr;
            ++pacingChoices;
        }
        else if (a == "--rate")
        {
            if (!parsedValue("Mbit/s between 0.001 and 100000", [&](const std::string& text) {
                    if (!ParseDouble(text, 0.001, 100000.0, &o.rateMbits))
                        return false;
                    o.pacing = Pacing::Rate;
                    return true;
                }))
                return false;
            ++pacingChoices;
        }
        else if (a == "--fast")
        {
            o.pacing = Pacing::Fast;
            ++pacingChoices;
        }
        else if (a == "--block")
        {
            if (!parsedValue("N or MIN-MAX packets (1..100000)", [&](const std::string& text) { return ParseBlock(text, &o.blockMin, &o.blockMax); }))
                return false;
        }
        else if (a == "--seed")
        {
            if (!parsedValue("a number", [&](const std::string& text) {
                    if (!ParseLong(text, 0, 0x7FFFFFFF, &n))
                        return false;
                    o.seed = static_cast<uint32_t>(n);
                    return true;
                }))
                return false;
        }
        else if (a == "--repeat")
        {
            if (!parsedValue("a count", [&](const std::string& text) {
                    if (!ParseLong(text, 0, 0x7FFFFFFF, &n))
                        return false;
                    o.repeats = static_cast<uint64_t>(n);
                    return true;
                }))
                return false;
        }
        else if (a == "--loop")
        {
            o.repeats = 0;
        }
        else if (a == "--start")
        {
            o.pressStart = true;
        }
        else if (double* seconds = SecondsOption(a, o))
        {
            if (!parsedValue("seconds", [&](const std::string& text) { return ParseDouble(text, 0.001, 1e7, seconds); }))
                return false;
        }
        else if (a == "--close-when-done")
        {
            o.closeWhenDone = true;
        }
        else if (a == "--quiet")
        {
            o.quiet = true;
        }
        else if (a.size() > 1 && a[0] == '-')
        {
            *error = "unknown option " + a;
            return false;
        }
        else if (o.tsFile.empty())
        {
            o.tsFile = a;
        }
        else
        {
            *error = "one transport-stream file only ('" + o.tsFile + "', then '" + a + "')";
            return false;
        }
    }
    if (o.help)
    {
        *options = o;
        return true;
    }
    if (pacingChoices > 1)
    {
        *error = "choose one of --pcr, --rate and --fast";
        return false;
    }
    if (o.tsFile.empty())
    {
        *error = "no transport-stream file given";
        return false;
    }
    if (o.restartAfterSeconds > 0 && !o.pressStart)
    {
        *error = "--restart-after needs --start";
        return false;
    }
    if (o.restartEverySeconds > 0 && !o.pressStart)
    {
        *error = "--restart-every needs --start";
        return false;
    }
    if (o.restartAfterSeconds > 0 && o.restartEverySeconds > 0)
    {
        *error = "choose one of --restart-after and --restart-every";
        return false;
    }
    if (o.closeWhenDone && o.repeats == 0)
    {
        *error = "--close-when-done needs a playback that ends (not --loop or --repeat 0)";
        return false;
    }
    *options = o;
    return true;
}

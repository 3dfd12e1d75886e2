#pragma once
// The host program's command line. Plain C++ so that it can be tested apart
// from the program; arguments arrive as UTF-8.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum class Pacing
{
    Pcr,   // the stream's own rate, from its PCRs
    Rate,  // a rate the user names
    Fast,  // as fast as the module takes it
};

struct HostOptions
{
    std::string tsFile;
    std::string modulePath;        // empty: TovrinStreamer.module next to the program
    std::string iniPath;           // empty: tovrin-host.ini next to the program
    std::string address;           // written to the INI before the module starts, when set
    long port = -1;                // the same, -1 when not given
    long packets = -1;             // the same, -1 when not given
    std::vector<std::pair<std::string, std::string>> iniKeys;  // --ini-key KEY=VALUE, in order
    Pacing pacing = Pacing::Pcr;
    double rateMbits = 0.0;
    int blockMin = 7;              // packets per block, varied between min and max
    int blockMax = 100;
    uint32_t seed = 1;
    uint64_t repeats = 1;          // 0: forever
    bool pressStart = false;
    double closeAfterSeconds = 0;  // 0: no time limit
    bool closeWhenDone = false;
    double restartAfterSeconds = 0; // 0: never; else press Stop, then Start, that long after Start
    double restartEverySeconds = 0; // 0: never; else the same each time that long after the latest Start
    double sampleEverySeconds = 0;  // 0: never; else print the process's resources that often
    int deviceTransportType = 129;
    bool quiet = false;
    bool help = false;
};

// Fills `options` from the arguments after the program name. False with
// `error` set on anything it does not understand.
bool ParseHostOptions(const std::vector<std::string>& args, HostOptions* options, std::string* error);

extern const char kHostUsage[];

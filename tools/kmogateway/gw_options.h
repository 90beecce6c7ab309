// kmogateway's settings: the defaults, then a configuration file ("name = value"
// lines, ';' comments) when one is named, then the command line, which wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What the gateway does with a request, one entry of the policy list.
enum class GwPolicy { Approve, Refuse, NoF52, Close, Raw, Silent };

// Largest packet accepted, its length field included; a longer one is dropped
// with its connection.
inline constexpr std::size_t GW_PACKET_MAX = 64 * 1024;
// Longest reply message (F51) accepted from the settings.
inline constexpr std::size_t GW_MESSAGE_MAX = 1024;
// References are 12 decimal digits; the counter wraps to 0 after the last one.
inline constexpr std::uint64_t GW_REF_LIMIT = 1000000000000ULL;

struct GwOptions {
    int port = 8000;                        // 0: the system picks a free port
    std::string bind = "127.0.0.1";         // always a 127.x.y.z address
    std::string config;                     // configuration file, if any
    std::vector<GwPolicy> policies{GwPolicy::Approve};
    bool messageSet = false;                // otherwise each policy's own text
    std::string message;
    std::uint32_t delayMs = 0;
    std::uint32_t splitMs = 0;
    std::vector<std::size_t> splitAt{5};    // where a split reply is cut, ascending
    std::vector<std::string> refuseG04;     // requests with one of these G04 are refused
    bool rawSet = false;
    std::vector<char> raw;                  // the reply of the raw policy
    std::string record;                     // file of every packet received
    bool logSet = false;
    std::string log;                        // LOG_Open's "path[,min,max]"
    std::uint64_t refStart = 1;
};

enum class GwParse {
    Run,        // options are complete
    Help,       // --help was given
    Usage,      // unknown option or missing value: show the usage
    Error,      // a value was refused or the configuration file cannot be read
};

// Fills `opts` from the configuration file named by --config (if any) and from
// the command line. On Usage or Error, `error` holds a one-line reason.
GwParse GW_ParseOptions(int argc, char** argv, GwOptions& opts, std::string& error);

// The usage text, several lines ending in a line feed.
const char* GW_Usage();

// Command line and configuration file of kmogateway. Both go through
// gw_Apply, so that a key means the same in either place.
#include "gw_options.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>

#include "config.h"

namespace {

constexpr std::array<const char*, 12> kKeys = {
    "port", "bind", "policy", "message", "delay", "split", "split-at", "refuse-g04", "raw", "record", "log",
    "ref-start",
};

constexpr std::uint32_t kPauseMaxMs = 3600u * 1000u;   // an hour is plenty for a test

// Plain decimal digits only, no sign or blank, at most `max`.
bool gw_ParseNumber(std::string_view text, std::uint64_t max, std::uint64_t& out)
{
    if (text.empty() || text.size() > 19) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > max) return false;
    out = value;
    return true;
}

// A dotted IPv4 address whose first number is 127, written back canonically.
bool gw_ParseLoopback(std::string_view text, std::string& out)
{
    std::array<std::uint64_t, 4> parts{};
    std::size_t start = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::size_t dot = (i + 1 < parts.size()) ? text.find('.', start) : text.size();
        if (dot == std::string_view::npos) return false;
        if (dot - start > 3 || !gw_ParseNumber(text.substr(start, dot - start), 255, parts[i])) {
            return false;
        }
        start = dot + 1;
    }
    if (parts[0] != 127) return false;
    out = std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
          std::to_string(parts[2]) + "." + std::to_string(parts[3]);
    return true;
}

bool gw_ParsePolicies(std::string_view text, std::vector<GwPolicy>& out)
{
    std::vector<GwPolicy> list;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string_view name = text.substr(start, comma == std::string_view::npos
                                                             ? std::string_view::npos
                                                             : comma - start);
        if (name == "approve") list.push_back(GwPolicy::Approve);
        else if (name == "refuse") list.push_back(GwPolicy::Refuse);
        else if (name == "no-f52") list.push_back(GwPolicy::NoF52);
        else if (name == "close") list.push_back(GwPolicy::Close);
        else if (name == "raw") list.push_back(GwPolicy::Raw);
        else if (name == "silent") list.push_back(GwPolicy::Silent);
        else return false;
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    out = std::move(list);
    return true;
}

// Comma-separated byte offsets, each above the one before it.
bool gw_ParseOffsets(std::string_view text, std::vector<std::size_t>& out)
{
    std::vector<std::size_t> list;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        std::uint64_t n = 0;
        const std::string_view item = text.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                                         : comma - start);
        if (!gw_ParseNumber(item, GW_PACKET_MAX, n) || n == 0 || (!list.empty() && n <= list.back())) {
            return false;
        }
        list.push_back(static_cast<std::size_t>(n));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    out = std::move(list);
    return true;
}

// Comma-separated field values; none may be empty or hold a '|'.
bool gw_ParseValues(std::string_view text, std::vector<std::string>& out)
{
    std::vector<std::string> list;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string_view item = text.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                                         : comma - start);
        if (item.empty() || item.find('|') != std::string_view::npos) return false;
        list.emplace_back(item);
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    out = std::move(list);
    return true;
}

int gw_HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool gw_ParseHex(std::string_view text, std::vector<char>& out)
{
    if (text.size() % 2 != 0 || text.size() / 2 > GW_PACKET_MAX) return false;
    std::vector<char> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = gw_HexDigit(text[i]);
        const int lo = gw_HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<char>(hi * 16 + lo));
    }
    out = std::move(bytes);
    return true;
}

// Applies one setting. false (with `error` set) when the value is refused.
bool gw_Apply(GwOptions& opts, std::string_view key, const std::string& value, std::string& error)
{
    std::uint64_t n = 0;
    bool ok = true;
    if (key == "port") {
        ok = gw_ParseNumber(value, 65535, n);
        if (ok) opts.port = static_cast<int>(n);
    } else if (key == "bind") {
        ok = gw_ParseLoopback(value, opts.bind);
        if (!ok) {
            error = "refusing to bind to '" + value + "': only 127.x.y.z addresses are allowed";
            return false;
        }
    } else if (key == "policy") {
        ok = gw_ParsePolicies(value, opts.policies);
    } else if (key == "message") {
        ok = value.size() <= GW_MESSAGE_MAX && value.find('|') == std::string::npos;
        if (ok) {
            opts.message = value;
            opts.messageSet = true;
        }
    } else if (key == "delay" || key == "split") {
        ok = gw_ParseNumber(value, kPauseMaxMs, n);
        if (ok) (key == "delay" ? opts.delayMs : opts.splitMs) = static_cast<std::uint32_t>(n);
    } else if (key == "split-at") {
        ok = gw_ParseOffsets(value, opts.splitAt);
    } else if (key == "refuse-g04") {
        ok = gw_ParseValues(value, opts.refuseG04);
    } else if (key == "raw") {
        ok = gw_ParseHex(value, opts.raw);
        if (ok) opts.rawSet = true;
    } else if (key == "record") {
        ok = !value.empty();
        if (ok) opts.record = value;
    } else if (key == "log") {
        opts.log = value;
        opts.logSet = true;
    } else if (key == "ref-start") {
        ok = gw_ParseNumber(value, GW_REF_LIMIT - 1, n);
        if (ok) opts.refStart = n;
    } else if (key == "config") {
        opts.config = value;
    }
    if (!ok) error = "invalid value '" + value + "' for " + std::string(key);
    return ok;
}

// Applies every known key found in the configuration file.
bool gw_ApplyConfig(GwOptions& opts, std::string& error)
{
    if (opts.config.empty() || opts.config.size() >= CONFIG_NAME_SIZE) {
        error = "cannot read configuration file '" + opts.config + "'";
        return false;
    }
    bool ok = CONFIG_Init(opts.config.c_str(), CONFIG_MODE_FILE) == 0 && CONFIG_Read() == 0;
    if (!ok) error = "cannot read configuration file '" + opts.config + "'";
    for (const char* key : kKeys) {
        if (!ok) break;
        std::array<char, 4096> value{};
        if (CONFIG_Get(key, value.data(), value.size()) == 0) {
            ok = gw_Apply(opts, key, value.data(), error);
            if (!ok) error += " in " + opts.config;
        }
    }
    CONFIG_Exit();
    return ok;
}

}  // namespace

GwParse GW_ParseOptions(int argc, char** argv, GwOptions& opts, std::string& error)
{
    // First pass: split "--key value" and "--key=value" into pairs.
    std::vector<std::pair<std::string, std::string>> given;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help") return GwParse::Help;
        if (arg.substr(0, 2) != "--") {
            error = "unexpected argument '" + std::string(arg) + "'";
            return GwParse::Usage;
        }
        arg.remove_prefix(2);
        std::string key(arg.substr(0, arg.find('=')));
        const bool known = key == "config" ||
            std::find_if(kKeys.begin(), kKeys.end(),
                         [&](const char* k) { return key == k; }) != kKeys.end();
        if (!known) {
            error = "unknown option '--" + key + "'";
            return GwParse::Usage;
        }
        if (arg.find('=') != std::string_view::npos) {
            given.emplace_back(key, std::string(arg.substr(arg.find('=') + 1)));
        } else if (i + 1 < argc) {
            given.emplace_back(key, argv[++i]);
        } else {
            error = "option '--" + key + "' needs a value";
            return GwParse::Usage;
        }
    }

    // The file first, so that the command line overrides it.
    const auto config = std::find_if(given.begin(), given.end(),
                                     [](const auto& kv) { return kv.first == "config"; });
    if (config != given.end()) {
        opts.config = config->second;
        if (!gw_ApplyConfig(opts, error)) return GwParse::Error;
    }
    for (const auto& [key, value] : given) {
        if (!gw_Apply(opts, key, value, error)) return GwParse::Error;
    }
    if (!opts.rawSet &&
        std::find(opts.policies.begin(), opts.policies.end(), GwPolicy::Raw) != opts.policies.end()) {
        error = "the raw policy needs the bytes to send (--raw HEX)";
        return GwParse::Error;
    }
    return GwParse::Run;
}

const char* GW_Usage()
{
    return "usage: kmogateway [--port N] [--bind ADDR] [--config FILE] [--policy LIST]\n"
           "                  [--message TEXT] [--delay MS] [--split MS] [--split-at LIST]\n"
           "                  [--refuse-g04 LIST] [--raw HEX] [--record FILE] [--log SPEC]\n"
           "                  [--ref-start N]\n"
           "  --port N        listen on port N (default 8000; 0 picks a free port)\n"
           "  --bind ADDR     listen address, a 127.x.y.z address (default 127.0.0.1)\n"
           "  --config FILE   read these settings from FILE (\"name = value\" lines);\n"
           "                  options on the command line win\n"
           "  --policy LIST   comma-separated answers to successive requests: approve,\n"
           "                  refuse, no-f52, close, raw, silent; the last one repeats\n"
           "                  (default approve)\n"
           "  --message TEXT  reply message (F51) for every policy\n"
           "  --delay MS      wait MS milliseconds before answering a request\n"
           "  --split MS      send each reply in parts, MS milliseconds apart\n"
           "  --split-at LIST byte offsets where a split reply is cut (default 5)\n"
           "  --refuse-g04 LIST  refuse the requests whose G04 is one of LIST\n"
           "  --raw HEX       the bytes that the raw policy sends\n"
           "  --record FILE   append every packet received to FILE\n"
           "  --log SPEC      write a log: path[,min,max] (levels 1 to 80 by default)\n"
           "  --ref-start N   first reference number (F52), default 1\n"
           "  --help          show this text\n";
}

// kmoterminal's work; see terminal.h.
#include "terminal.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr auto kPollEvery = std::chrono::milliseconds(20);

std::optional<std::string> terminal_Field(std::string_view text, std::string_view tag)
{
    const std::string key = "|" + std::string(tag) + "=";
    const std::size_t at = text.find(key);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t start = at + key.size();
    const std::size_t end = text.find('|', start);
    return std::string(text.substr(start, end == std::string_view::npos ? end : end - start));
}

std::optional<std::string> terminal_Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return text;
}

// Writes the request under a name no terminal uses, then renames it into
// place: the client never sees a request half written.
bool terminal_Submit(const fs::path& request, const std::string& text)
{
    std::random_device rd;
    const fs::path tmp = request.parent_path() / (".kmoterminal." + std::to_string(rd()) + ".tmp");
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (!out) {
            std::fprintf(stderr, "kmoterminal: cannot write %s\n", tmp.string().c_str());
            std::error_code ec;
            fs::remove(tmp, ec);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(tmp, request, ec);
    if (ec) {
        std::fprintf(stderr, "kmoterminal: cannot rename %s to %s: %s\n", tmp.string().c_str(),
                     request.string().c_str(), ec.message().c_str());
        fs::remove(tmp, ec);
        return false;
    }
    return true;
}

}  // namespace

TerminalStatus terminal_Classify(std::string_view reply)
{
    const std::string code = terminal_Field(reply, "F50").value_or("");
    if (code == "ND") {
        return terminal_Field(reply, "F51").value_or("") == "RECETA PRE-AUTORIZADA" ? kPreAuthorised : kLocalError;
    }
    if (code == "ER" || !terminal_Field(reply, "F52")) {
        return kRefused;
    }
    return kApproved;
}

TerminalStatus terminal_Run(const TerminalJob& job)
{
    std::error_code ec;
    if (!fs::is_directory(job.root, ec)) {
        std::fprintf(stderr, "kmoterminal: %s is not a directory\n", job.root.c_str());
        return kFailed;
    }
    const fs::path request = fs::path(job.root) / (job.terminal + "in.txt");
    const fs::path reply = fs::path(job.root) / (job.terminal + "out.txt");
    // A reply already there belongs to an earlier request: reading it as
    // the answer to this one would be wrong.
    if (fs::exists(reply, ec) || fs::exists(request, ec)) {
        std::fprintf(stderr, "kmoterminal: %s is still waiting; take it away first\n",
                     fs::exists(reply, ec) ? reply.string().c_str() : request.string().c_str());
        return kFailed;
    }
    if (!terminal_Submit(request, job.request)) {
        return kFailed;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(job.timeoutSeconds);
    std::optional<std::string> text;
    for (;;) {
        // The client writes a reply in one write: a non-empty file is whole.
        if (fs::file_size(reply, ec) > 0 && !ec) {
            text = terminal_Read(reply);
            if (text && !text->empty()) {
                break;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            // Withdraw a request nobody took, so that it is not served later.
            const bool withdrawn = fs::remove(request, ec);
            std::fprintf(stderr, "kmoterminal: no reply within %g s%s\n", job.timeoutSeconds,
                         withdrawn ? "; the request was withdrawn" : "");
            return kTimedOut;
        }
        std::this_thread::sleep_for(kPollEvery);
    }
    if (!job.keepReply) {
        fs::remove(reply, ec);
    }
    std::fwrite(text->data(), 1, text->size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return terminal_Classify(*text);
}

// kmoterminal: submits one prescription request to kmoclient the way a
// point-of-sale terminal does and prints the reply.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

#include "terminal.h"

namespace {

void main_Usage(std::FILE* out)
{
    std::fputs(
        "Usage: kmoterminal [--timeout SECONDS] [--keep] ROOT TERMINAL [REQUEST]\n"
        "Writes REQUEST (or standard input when it is absent or '-') as ROOT/TERMINALin.txt,\n"
        "under another name first and then renamed into place, waits for kmoclient's\n"
        "reply ROOT/TERMINALout.txt, prints it and removes it.\n"
        "\n"
        "  --timeout SECONDS  how long to wait for the reply (default 30); a request\n"
        "                     still untaken then is withdrawn\n"
        "  --keep             leave the reply file in place\n"
        "  --help             this text\n"
        "\n"
        "Exit status: 0 approved, 1 refused by the gateway, 2 pre-authorised by the\n"
        "client, 3 refused by the client (local error reply), 4 no reply in time,\n"
        "5 bad command line or files that could not be written or read.\n"
        "\n"
        "Example:\n"
        "  kmoterminal /srv/kmoclient caja1 '|G01=1234|G04=5678|G08=90|G99=000020|'\n",
        out);
}

bool main_Seconds(const char* text, double* out)
{
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= 0.0) || v > 86400.0) {
        return false;
    }
    *out = v;
    return true;
}

int main_Refuse(const char* why, const char* what)
{
    std::fprintf(stderr, "kmoterminal: %s%s\ntry 'kmoterminal --help'\n", why, what);
    return kFailed;
}

}  // namespace

int main(int argc, char* argv[])
{
    TerminalJob job;
    std::string words[3];
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--help" || arg == "-h") {
            main_Usage(stdout);
            return 0;
        }
        if (arg == "--keep") {
            job.keepReply = true;
        } else if (arg == "--timeout") {
            if (i + 1 >= argc || !main_Seconds(argv[i + 1], &job.timeoutSeconds)) {
                return main_Refuse("--timeout needs seconds from 0 to 86400", "");
            }
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            return main_Refuse("unknown option ", argv[i]);
        } else if (count == 3) {
            return main_Refuse("too many arguments at ", argv[i]);
        } else {
            words[count++] = argv[i];
        }
    }
    if (count < 2) {
        return main_Refuse("ROOT and TERMINAL are required", "");
    }
    job.root = words[0];
    job.terminal = words[1];
    if (count == 3 && words[2] != "-") {
        job.request = words[2];
    } else {
        job.request.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        while (!job.request.empty() && (job.request.back() == '\n' || job.request.back() == '\r')) {
            job.request.pop_back();
        }
    }
    if (job.request.empty()) {
        return main_Refuse("the request is empty", "");
    }
    return terminal_Run(job);
}

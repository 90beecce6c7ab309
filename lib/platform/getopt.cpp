// The option parser of plat_proc.h, the same on every platform (Windows has no
// getopt, and the C libraries that have one disagree on words that are not
// options). Short options only: "ab:" takes -a and -b with an argument, either
// glued ("-bX") or the next word ("-b X"); letters may be grouped ("-ab X").
// A leading ':' in the option text reports a missing argument as ':' and
// silences the diagnostics.
#include "plat_proc.h"

#include <cstdio>
#include <cstring>

namespace {

struct OptState {
    int index = 1;                 // the word being read
    int next = 0;                  // the letter within it, 0: at a new word
    int report = 1;                // diagnostics on standard error
    const char* arg = nullptr;
};

OptState g_opt;

const char* opt_Program(char* const argv[])
{
    return argv[0] != nullptr ? argv[0] : "";
}

bool opt_IsOptionWord(const char* word)
{
    return word != nullptr && word[0] == '-' && word[1] != '\0';
}

}  // namespace

int PLAT_GetOpt(int argc, char* const argv[], const char* optstring)
{
    g_opt.arg = nullptr;
    if (argc < 1 || argv == nullptr) {
        return -1;
    }
    if (optstring == nullptr) {
        optstring = "";
    }
    const bool colonMode = optstring[0] == ':';
    if (g_opt.index < 1) {
        g_opt.index = 1;
        g_opt.next = 0;
    }
    if (g_opt.next == 0) {
        // Pass over the words that are not options, wherever they stand.
        while (g_opt.index < argc && !opt_IsOptionWord(argv[g_opt.index])) {
            ++g_opt.index;
        }
        if (g_opt.index >= argc) {
            return -1;
        }
        if (std::strcmp(argv[g_opt.index], "--") == 0) {
            ++g_opt.index;
            return -1;
        }
        g_opt.next = 1;
    }
    const char* word = argv[g_opt.index];
    const char letter = word[g_opt.next++];
    const bool wordDone = word[g_opt.next] == '\0';
    const char* entry = letter != ':' ? std::strchr(optstring, letter) : nullptr;
    if (entry == nullptr || letter == '\0') {
        if (wordDone) {
            ++g_opt.index;
            g_opt.next = 0;
        }
        if (g_opt.report != 0 && !colonMode) {
            std::fprintf(stderr, "%s: invalid option -- '%c'\n", opt_Program(argv), letter);
        }
        return '?';
    }
    if (entry[1] != ':') {
        if (wordDone) {
            ++g_opt.index;
            g_opt.next = 0;
        }
        return letter;
    }
    // The option takes an argument: the rest of this word, or the next word.
    if (!wordDone) {
        g_opt.arg = word + g_opt.next;
        ++g_opt.index;
        g_opt.next = 0;
        return letter;
    }
    g_opt.next = 0;
    if (g_opt.index + 1 >= argc) {
        ++g_opt.index;
        if (colonMode) {
            return ':';
        }
        if (g_opt.report != 0) {
            std::fprintf(stderr, "%s: option requires an argument -- '%c'\n", opt_Program(argv), letter);
        }
        return '?';
    }
    g_opt.arg = argv[g_opt.index + 1];
    g_opt.index += 2;
    return letter;
}

const char* PLAT_OptArg()
{
    return g_opt.arg;
}

int PLAT_OptInd()
{
    return g_opt.index;
}

void PLAT_SetOptInd(int index)
{
    g_opt.index = index;
    g_opt.next = 0;
}

void PLAT_SetOptErr(int enabled)
{
    g_opt.report = enabled;
}

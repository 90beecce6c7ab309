// kmoterminal's work: submit one request the way a terminal must (written
// under another name, then renamed into place), wait a bounded time for the
// reply, take it away, and tell what kind of reply it is.
#pragma once

#include <string>
#include <string_view>

// Exit statuses, one per outcome.
enum TerminalStatus : int {
    kApproved = 0,       // the gateway approved the prescription
    kRefused = 1,        // the gateway answered without approving it
    kPreAuthorised = 2,  // the client authorised it locally (RECETA PRE-AUTORIZADA)
    kLocalError = 3,     // the client refused it locally (code ND, no authorisation number)
    kTimedOut = 4,       // no reply in time; the request was withdrawn if still waiting
    kFailed = 5,         // bad command line, or the files could not be written or read
};

// What a reply text says.
TerminalStatus terminal_Classify(std::string_view reply);

struct TerminalJob {
    std::string root;      // the client's exchange directory
    std::string terminal;  // the terminal's name (its file-name prefix)
    std::string request;   // the request text
    double timeoutSeconds = 30.0;
    bool keepReply = false;
};

// Submits, waits and prints the reply on standard output; the outcome.
// Problems are said on standard error.
TerminalStatus terminal_Run(const TerminalJob& job);

// The client's own description of itself: -h and -V.
#include <cstdio>

#include "kmoclient_config.h"
#include "kmoclient_internal.h"

void client_PrintUsage(std::FILE* out)
{
    std::fputs(
        "Usage: kmoclient -n NAME -r DIR [options]\n"
        "Serves the prescription requests that point-of-sale terminals leave under DIR\n"
        "as <terminal>in.txt, answering each with <terminal>out.txt.\n"
        "\n"
        "  -n NAME            client name sent in every request, 1 to 4 characters (required)\n"
        "  -r DIR             exchange directory, must exist, at most 128 characters (required)\n"
        "  -g HOST[:PORT]     the gateway (default localhost:8000)\n"
        "  -t NAME,NAME,...   terminal names, file-name prefixes of at most 56 characters,\n"
        "                     at most 100 (default: one terminal with the empty name)\n"
        "  -T MS              pause after every polling pass, 0 to 2147483647 milliseconds;\n"
        "                     0 polls without a pause (default 21600000, 6 hours)\n"
        "  -w MODE            1: end the pause as soon as a request or the stop file\n"
        "                     appears; 0: sleep it out (default 0)\n"
        "  -c N               most troquel codes in one request, 0 to 99 (default 2)\n"
        "  -p SECONDS         least time between heartbeats while pre-authorised records\n"
        "                     wait; -1 switches heartbeats and forwarding off (default 0)\n"
        "  -s SECONDS         bound of one whole exchange with the gateway; 0 waits\n"
        "                     without a bound (default 30)\n"
        "  -F CODE            pharmacy code sent in the heartbeat (default empty)\n"
        "  -L 1               normalise every reply to fixed field widths (default off)\n"
        "  -l PATH[,MIN,MAX]  log file and level range; PATH,1,80 logs everything\n"
        "                     (default: no log)\n"
        "  -h, --help         this text\n"
        "  -V, --version      version and build settings\n"
        "\n"
        "Stop: create DIR/KMOCLIENTSTOP.tmp, or send SIGTERM. SIGHUP reopens the log file.\n"
        "Exit status: 0 after a stop, 255 for an invalid command line.\n"
        "\n"
        "Example:\n"
        "  kmoclient -n CLI1 -r /srv/pos -g gateway.example:8000 -t caja1,caja2 -T 5000 -w 1 \\\n"
        "            -l /var/log/kmoclient/kmoclient.log,1,60\n",
        out);
}

void client_PrintVersion(std::FILE* out)
{
    std::fprintf(out,
                 "kmoclient %s\n"
                 "probe hosts: %s\n"
                 "barred peer: %s\n",
                 KMO_VERSION, KMO_PROBE_HOSTS, KMO_BARRED_PEER);
}

// kmoclient: serves the terminals' prescription requests until the operator's
// stop file or a stop signal ends it.
#include "kmoclient.h"
#include "plat_proc.h"

int main(int argc, char* argv[])
{
    // Before anything else: a closed connection must never end the process.
    PLAT_InstallStopSignals();
    PLAT_InstallReopenSignal();   // SIGHUP reopens the log instead of ending the client
    const int init = KMOClient_Init(argc, argv);
    if (init == 1) {
        return 0;   // -h or -V: printed, nothing to serve
    }
    if (init != 0) {
        return -1;
    }
    const int result = KMOClient_Process();
    KMOClient_Exit();
    return result;
}

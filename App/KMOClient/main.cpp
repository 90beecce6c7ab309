// kmoclient: serves the terminals' prescription requests until the operator's
// stop file or a stop signal ends it.
#include "kmoclient.h"
#include "plat_proc.h"

int main(int argc, char* argv[])
{
    // Before anything else: a closed connection must never end the process.
    PLAT_InstallStopSignals();
    if (KMOClient_Init(argc, argv) != 0) {
        return -1;
    }
    const int result = KMOClient_Process();
    KMOClient_Exit();
    return result;
}

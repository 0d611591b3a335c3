// kv-ptp-ctl: has a kv_ptp device set up the SoC's PTP clock hardware,
// prints the PTP time of the last PPS edge, or watches the edges come.
#include "commands.h"

int main(int argc, char **argv)
{
    return runKvPtpCtl(argc, argv);
}

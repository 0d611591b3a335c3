// morrask: loads a PLL register configuration file into the PLL chip over SPI.
#include "run_sequence.h"

int main(int argc, char **argv)
{
    return runMorrask(argc, argv);
}

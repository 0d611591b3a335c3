// The loader's platform seams, simulated on the host: SPI transfers go to a
// simulated PLL chip, the reset register is a word in memory, sleeps return
// at once. Every call is logged, and any call can be made to fail.
//
// Tests drive it through the functions below. A loader binary linked with it
// is driven through the environment instead:
//   MORRASK_SIM_REPORT=<file>    write the log, the reset register and the
//                                chip's register map there at exit
//   MORRASK_SIM_CHIP=lsb|msb     bit order the chip is wired for (lsb)
//   MORRASK_SIM_RESET_REG=<hex>  reset register before the run (0xFFFF)
//   MORRASK_SIM_FAIL=<op>[@n],.. make the n-th call (every call without @n)
//                                of an operation fail with EIO
// Operations: spi_open, spi_ioctl, spi_short (transfers one byte less),
// spi_close, spi_lock (fails with EWOULDBLOCK, as when another loader holds
// the bus), spi_unlock, spi_mode (fails with ENOTTY, as a node that is no
// spidev node), mem_open, mem_map, mem_unmap, mem_close, sleep.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SimTransfer {
    int fd;
    unsigned long request;
    std::vector<uint8_t> tx;
    uint64_t rxBuf;
    uint32_t speedHz;
    uint16_t delayUsecs;
    uint8_t bitsPerWord;
    uint8_t csChange;
    bool sigintHeld;  // SIGINT blocked while the transfer ran
    bool sigtermHeld; // SIGTERM blocked while the transfer ran
};

// Fresh chip wired LSB first, reset register 0xFFFF, no failures, empty log.
void simReset(void);
void simSetChipLsbWired(bool lsbWired);
void simFailCall(const std::string &operation, unsigned nth = 0);
// Raises signal in the middle of the nth call of operation (spi_ioctl, sleep).
void simRaiseDuring(const std::string &operation, unsigned nth, int signal);

const std::vector<std::string> &simEvents(void);
const std::vector<SimTransfer> &simTransfers(void);
uint16_t simResetRegister(void);
void simSetResetRegister(uint16_t value);
int simOpenHandles(void);

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <string>
#include <vector>

#include "loader_settings.h"
#include "sim_platform.h"
#include "sim_pll_chip.h"
#include "spi_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

class SpiWriter : public testing::Test {
protected:
    void SetUp() override
    {
        simReset();
        snprintf(loaderSettings.spiDevice, sizeof(loaderSettings.spiDevice), "/dev/spidev1.1");
        useBitOrder(true);
    }

    static void useBitOrder(bool lsbFirst)
    {
        loaderSettings.lsbFirst = lsbFirst;
        simSetChipLsbWired(lsbFirst);
    }

    // One register write; returns its result, with stdout and stderr kept.
    int write(uint32_t address, Bytes data)
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = cpuSpiWrite(address, data.data(), static_cast<uint16_t>(data.size()));
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(0, simOpenHandles()) << "device left open";
        return result;
    }

    static Bytes sent(size_t transfer) { return simTransfers().at(transfer).tx; }

    std::string out;
    std::string err;
};

} // namespace

TEST_F(SpiWriter, PageSelectThenRegisterInEitherBitOrder)
{
    struct Case {
        bool lsbFirst;
        uint32_t address;
        uint8_t value;
        Bytes page;
        Bytes reg;
    } cases[] = {
        {false, 0x0123, 0x45, {0x7F, 0x02}, {0x23, 0x45}},
        {true, 0x0123, 0x45, {0x7F, 0x40}, {0x62, 0xA2}},
        {false, 0x07FF, 0x01, {0x7F, 0x0F}, {0x7F, 0x01}},
        {true, 0x0000, 0x80, {0x7F, 0x00}, {0x00, 0x01}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        simReset();
        useBitOrder(c.lsbFirst);
        ASSERT_EQ(0, write(c.address, {c.value}));
        ASSERT_EQ(2u, simTransfers().size());
        EXPECT_EQ(c.page, sent(0));
        EXPECT_EQ(c.reg, sent(1));
        EXPECT_EQ("spi_open /dev/spidev1.1 flags=0x" + std::to_string(O_RDWR), simEvents().front());
        EXPECT_EQ("", out + err);
    }
    // The chip, wired the same way, decodes the page and the register.
    EXPECT_EQ(0x80, simChipRegister(0x0000));
    useBitOrder(false);
    write(0x0123, {0x45});
    EXPECT_EQ(0x45, simChipRegister(0x0123));
}

TEST_F(SpiWriter, EachTransferIsOneSpidevMessageWithSignalsHeld)
{
    ASSERT_EQ(0, write(0x0123, {0x45}));
    for (const SimTransfer &transfer : simTransfers()) {
        EXPECT_EQ(SPI_IOC_MESSAGE(1), transfer.request);
        EXPECT_EQ(0u, transfer.rxBuf);
        EXPECT_EQ(10000000u, transfer.speedHz);
        EXPECT_EQ(8, transfer.bitsPerWord);
        EXPECT_EQ(0, transfer.csChange);
        EXPECT_EQ(0, transfer.delayUsecs);
        EXPECT_TRUE(transfer.sigintHeld);
        EXPECT_FALSE(transfer.sigtermHeld);
    }
    sigset_t now;
    sigprocmask(SIG_BLOCK, nullptr, &now);
    EXPECT_FALSE(sigismember(&now, SIGINT)) << "signal mask not restored";

    // An interrupt during the page select acts only once its register is written.
    static volatile sig_atomic_t transfersAtSignal;
    transfersAtSignal = -1;
    struct sigaction noted = {}, previous;
    noted.sa_handler = [](int) { transfersAtSignal = static_cast<sig_atomic_t>(simTransfers().size()); };
    sigaction(SIGINT, &noted, &previous);
    simReset();
    simRaiseDuring("spi_ioctl", 1, SIGINT);
    EXPECT_EQ(0, write(0x0123, {0x45}));
    sigaction(SIGINT, &previous, nullptr);
    EXPECT_EQ(2, transfersAtSignal);
}

TEST_F(SpiWriter, PayloadGoesLastByteFirst)
{
    useBitOrder(false);
    Bytes data = {0x12, 0x34};
    ASSERT_EQ(0, cpuSpiWrite(0x0123, data.data(), 2));
    EXPECT_EQ(Bytes({0x23, 0x34, 0x12}), sent(1));
    EXPECT_EQ(Bytes({0x34, 0x12}), data);

    useBitOrder(true);
    ASSERT_EQ(0, write(0x0123, {0x12, 0x34}));
    EXPECT_EQ(Bytes({0x62, 0x2C, 0x48}), sent(3));

    ASSERT_EQ(0, write(0x0123, {}));
    EXPECT_EQ(Bytes({0x62}), sent(5));
}

TEST_F(SpiWriter, OutOfRangeWritesAreRefusedBeforeAnythingIsSent)
{
    // Every address bit above the register number is part of the page, so
    // 0x1005 is refused rather than written to register 0x005.
    for (uint32_t address : {0x0800u, 0x1005u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(address);
        simReset();
        EXPECT_EQ(-1, write(address, {0x45}));
        EXPECT_TRUE(simTransfers().empty());
        EXPECT_EQ(0u, out.find("\n write_spi_device: Error wrong input parameters, fd=100,page=" +
                               std::to_string(address >> 7)))
            << out;
        EXPECT_NE(std::string::npos, out.find("\n cpuSpiWrite: Error writing SPI device name=/dev/spidev1.1,fd=100"));
    }
    EXPECT_EQ(-1, write(0x0123, Bytes(25, 0xAA)));
    EXPECT_TRUE(simTransfers().empty());
    EXPECT_EQ(0, write(0x0123, Bytes(24, 0xAA)));
}

TEST_F(SpiWriter, FailuresAreReportedAndStopTheWrite)
{
    simFailCall("spi_ioctl", 1);
    EXPECT_EQ(-1, write(0x0123, {0x45}));
    EXPECT_EQ(1u, simTransfers().size()) << "register sent after a failed page select";
    EXPECT_NE(std::string::npos, err.find("]spi_write: Error writing to SPI device, err=5[Input/output error]"));
    EXPECT_NE(std::string::npos, out.find("write_spi_device: Error writing page on SPI device, fd=100,"));

    simReset();
    simFailCall("spi_short", 2);
    EXPECT_EQ(-1, write(0x0123, {0x45}));
    EXPECT_NE(std::string::npos, out.find("write_spi_device: Error writing SPI register, fd=100,"));
    EXPECT_NE(std::string::npos, out.find(",bytes=2,bytes_ret=1"));

    simReset();
    simFailCall("spi_open");
    EXPECT_EQ(-1, write(0x0123, {0x45}));
    EXPECT_EQ("\n cpuSpiWrite: Error opening device /dev/spidev1.1,err=0x5[Input/output error]", out);

    simReset();
    simFailCall("spi_close");
    EXPECT_EQ(0, write(0x0123, {0x45})) << "a failed close does not undo a write";
    EXPECT_EQ("\n cpuSpiWrite: Error closing SPI device /dev/spidev1.1,fd=100,err=0x5[Input/output error]", out);
}

TEST(ReverseBits, MirrorsTheLowBits)
{
    EXPECT_EQ(0x62, reverseBits(0x23, 7));
    EXPECT_EQ(0xA2, reverseBits(0x45, 8));
    EXPECT_EQ(0x7F, reverseBits(0x7F, 7));
    EXPECT_EQ(0x80, reverseBits(0x01, 12));
    EXPECT_EQ(0x00, reverseBits(0xFF, 0));

    // Every value and width against bit n-1-i taken from bit i, one by one.
    for (int n = -1; n <= 9; n++)
        for (int value = 0; value < 256; value++) {
            int width = n > 8 ? 8 : n, expected = 0;
            for (int bit = 0; bit < width; bit++)
                if (value & (1 << bit))
                    expected |= 1 << (width - 1 - bit);
            ASSERT_EQ(expected, reverseBits(static_cast<uint8_t>(value), n)) << value << " in " << n << " bits";
        }
}

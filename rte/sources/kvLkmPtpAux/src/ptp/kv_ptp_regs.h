/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The SoC registers that command 0x124 programs: the PTP block, the PLL of
 * the BTS block and the configuration of two GPIO pins. Every value written
 * is composed of its fields here, and checked against the documented
 * register values at compile time.
 */
#ifndef KV_PTP_REGS_H
#define KV_PTP_REGS_H

#include <linux/bits.h>
#include <linux/build_bug.h>
#include <linux/time.h>
#include <linux/types.h>

/* Signal sources a PTP block input can be selected from. */
enum PTP_SIGNAL_SOURCE {
	GPIO_SRC = 0,
	BTS_REF_CLK_SRC = 1,
	QLM_REF_SRC_0 = 56,
	QLM_REF_SRC_1 = 57,
	QLM_REF_SRC_2 = 58,
};

/* Functions a GPIO pin can be given. */
enum GPIO_PIN_SEL_E {
	GPIO_SW = 0,
	GPIO_PTP_EXT_CLK = 0x250,
	GPIO_PTP_TSTMP = 0x251,
	GPIO_BTS_BFN_CLK = 0x506,
};

/* Bit positions within a 64-bit register. */
enum bits {
	D0, D1, D2, D3, D4, D5, D6, D7,
	D8, D9, D10, D11, D12, D13, D14, D15,
	D16, D17, D18, D19, D20, D21, D22, D23,
	D24, D25, D26, D27, D28, D29, D30, D31,
	D32, D33, D34, D35, D36, D37, D38, D39,
	D40, D41, D42, D43, D44, D45, D46, D47,
	D48, D49, D50, D51, D52, D53, D54, D55,
	D56, D57, D58, D59, D60, D61, D62, D63,
};

/*
 * @val placed in the field @mask, like FIELD_PREP() but a constant
 * expression, so that the compositions below can be checked statically.
 * A value too wide for its field loses its high bits and fails the checks.
 */
#define KV_PTP_FIELD(mask, val) \
	(((u64)(val) << __builtin_ctzll(mask)) & (mask))

#define KV_PTP_PCI_VENDOR		0x177D
#define KV_PTP_PCI_DEVICE_PTP		0xA00C
#define KV_PTP_PCI_DEVICE_GPIO		0xA00A

/* ---- PTP block, BAR 0 of device 0xA00C ---- */

#define PTP_CLOCK_CFG			0xF00
#define PTP_CLOCK_CFG_PTP_EN		BIT_ULL(D0)
#define PTP_CLOCK_CFG_EXT_CLK_EN	BIT_ULL(D1)
#define PTP_CLOCK_CFG_EXT_CLK_IN	GENMASK_ULL(D7, D2)
#define PTP_CLOCK_CFG_TSTMP_EN		BIT_ULL(D8)
#define PTP_CLOCK_CFG_TSTMP_IN		GENMASK_ULL(D15, D10)

/*
 * The PTP clock counts the BTS reference clock as its external clock and
 * time-stamps the GPIO input; every other bit is kept.
 */
#define PTP_CLOCK_CFG_CLEAR \
	(PTP_CLOCK_CFG_EXT_CLK_IN | PTP_CLOCK_CFG_TSTMP_IN)
#define PTP_CLOCK_CFG_SET \
	(PTP_CLOCK_CFG_PTP_EN | PTP_CLOCK_CFG_EXT_CLK_EN | \
	 KV_PTP_FIELD(PTP_CLOCK_CFG_EXT_CLK_IN, BTS_REF_CLK_SRC) | \
	 PTP_CLOCK_CFG_TSTMP_EN | \
	 KV_PTP_FIELD(PTP_CLOCK_CFG_TSTMP_IN, GPIO_SRC))

/* Frequency of the BTS reference clock the PTP clock then counts. */
#define BTS_REF_CLK_HZ			998400000ULL

/* One reference clock period in nanoseconds, with 32 fraction bits. */
#define PTP_NS_PER_REF_CLK \
	(((u64)NSEC_PER_SEC << 32) / BTS_REF_CLK_HZ)

/* Half a second in nanoseconds, in the upper 32 bits. */
#define PTP_HALF_SECOND_NS \
	KV_PTP_FIELD(GENMASK_ULL(D63, D32), NSEC_PER_SEC / 2)

/* ---- BTS block, mapped at a fixed physical address ---- */

/*
 * Simulation builds move the block into RAM the simulated board has spare
 * (see the Kbuild file); a board build always uses the SoC's address.
 */
#ifndef KV_PTP_BTS_BASE
#define KV_PTP_BTS_BASE			0x87E012000000ULL
#endif
#define KV_PTP_BTS_SIZE			0x2000

#define BTS_PLL_CTL			0x0
/* The fields of BTS_PLL_CTL that are set; the system knows them by place. */
#define BTS_PLL_CTL_D8_D0		GENMASK_ULL(D8, D0)
#define BTS_PLL_CTL_D20_D18		GENMASK_ULL(D20, D18)
#define BTS_PLL_CTL_D29_D28		GENMASK_ULL(D29, D28)
#define BTS_PLL_CTL_D32			BIT_ULL(D32)

/* Bit 11 is set on its own; bits outside these fields are kept. */
#define BTS_PLL_CTL_CLEAR \
	(BTS_PLL_CTL_D8_D0 | BTS_PLL_CTL_D20_D18 | BTS_PLL_CTL_D29_D28 | \
	 BTS_PLL_CTL_D32)
#define BTS_PLL_CTL_SET \
	(KV_PTP_FIELD(BTS_PLL_CTL_D8_D0, 0x41) | BIT_ULL(D11) | \
	 KV_PTP_FIELD(BTS_PLL_CTL_D29_D28, 1))

/* ---- GPIO block, BAR 0 of device 0xA00A ---- */

/* One configuration register per pin, 8 bytes apart. */
#define GPIO_BIT_CFG			0x400
#define GPIO_BIT_CFG_OF(pin)		(GPIO_BIT_CFG + (pin) * 8ULL)
/* The pin function: 11 bits from bit 16. */
#define GPIO_BIT_CFG_PIN_SEL		GENMASK_ULL(D26, D16)

/* The BTS clock comes in on one pin, the pulses to time-stamp on the next. */
#define EXT_CLK_IN_PIN			26
#define TSTMP_IN_PIN			(EXT_CLK_IN_PIN + 1)

#define GPIO_BIT_CFG_EXT_CLK_IN \
	KV_PTP_FIELD(GPIO_BIT_CFG_PIN_SEL, GPIO_BTS_BFN_CLK)
#define GPIO_BIT_CFG_TSTMP_IN \
	KV_PTP_FIELD(GPIO_BIT_CFG_PIN_SEL, GPIO_PTP_TSTMP)

/* The compositions are the register values the SoC set-up documents. */
static_assert(PTP_CLOCK_CFG_CLEAR == 0xFCFC);
static_assert(PTP_CLOCK_CFG_SET == 0x107);
static_assert(PTP_NS_PER_REF_CLK == 0x0000000100690690ULL);
static_assert(PTP_HALF_SECOND_NS == 0x1DCD650000000000ULL);
static_assert(BTS_PLL_CTL_CLEAR == 0x1301C01FFULL);
static_assert(BTS_PLL_CTL_SET == 0x10000841);
static_assert(GPIO_BIT_CFG_OF(EXT_CLK_IN_PIN) == 0x4D0);
static_assert(GPIO_BIT_CFG_OF(TSTMP_IN_PIN) == 0x4D8);
static_assert(GPIO_BIT_CFG_EXT_CLK_IN == 0x5060000);
static_assert(GPIO_BIT_CFG_TSTMP_IN == 0x2510000);

#endif /* KV_PTP_REGS_H */

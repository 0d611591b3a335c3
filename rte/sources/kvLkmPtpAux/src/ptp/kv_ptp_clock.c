// SPDX-License-Identifier: GPL-2.0
/*
 * Command 0x124: makes the SoC's PTP clock run from the BTS reference clock
 * and time-stamp a GPIO input, by programming the PTP block, the BTS block's
 * PLL and two GPIO pins, in that order.
 *
 * Each block is mapped beside whatever driver owns it (the devices are not
 * enabled and their regions not requested here) and given back before the
 * next one, so no state outlives a call. No lock: every write stores a fixed
 * value or a fixed function of the register's old content, so concurrent
 * calls leave the registers as one call does.
 */
#include <linux/errno.h>
#include <linux/io.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/pci.h>

#include "kv_ptp.h"
#include "kv_ptp_regs.h"

#ifdef KV_PTP_SIMULATION
MODULE_INFO(simulation, "BTS block in spare RAM, not for the board");
#endif

/* Written after PTP_CLOCK_CFG, in this order; known by offset only. */
static const struct {
	unsigned int offset;
	u64 value;
} ptp_clock_writes[] = {
	{ 0xF18, PTP_NS_PER_REF_CLK },
	{ 0xF50, 0 },
	{ 0xF58, 0 },
	{ 0xF60, PTP_HALF_SECOND_NS },
	{ 0xF68, PTP_HALF_SECOND_NS },
};

static int config_ptp_module(void __iomem *base)
{
	u64 cfg = readq(base + PTP_CLOCK_CFG);
	size_t i;

	cfg = (cfg & ~PTP_CLOCK_CFG_CLEAR) | PTP_CLOCK_CFG_SET;
	writeq(cfg, base + PTP_CLOCK_CFG);
	pr_info("kv_ptp: PTP_CLOCK_CFG=0x%llX\n", cfg);
	for (i = 0; i < ARRAY_SIZE(ptp_clock_writes); i++)
		writeq(ptp_clock_writes[i].value,
		       base + ptp_clock_writes[i].offset);
	return 0;
}

static int config_bts_module(void __iomem *base)
{
	u64 ctl = readq(base + BTS_PLL_CTL);

	ctl = (ctl & ~BTS_PLL_CTL_CLEAR) | BTS_PLL_CTL_SET;
	/* Logged before the write, where PTP_CLOCK_CFG is logged after. */
	pr_info("kv_ptp: BTS_PLL_CTL=0x%llX\n", ctl);
	writeq(ctl, base + BTS_PLL_CTL);
	return 0;
}

/* The two pin configurations are written whole, without reading them. */
static int config_gpio_module(void __iomem *base)
{
	writeq(GPIO_BIT_CFG_EXT_CLK_IN, base + GPIO_BIT_CFG_OF(EXT_CLK_IN_PIN));
	pr_info("kv_ptp: GPIO_BIT_CFG+EXT_CLK_IN_PIN*8[0x%llX]=0x%llX\n",
		GPIO_BIT_CFG_OF(EXT_CLK_IN_PIN), GPIO_BIT_CFG_EXT_CLK_IN);
	writeq(GPIO_BIT_CFG_TSTMP_IN, base + GPIO_BIT_CFG_OF(TSTMP_IN_PIN));
	pr_info("kv_ptp: GPIO_BIT_CFG+TSTMP_IN_PIN*8[0x%llX]=0x%llX\n",
		GPIO_BIT_CFG_OF(TSTMP_IN_PIN), GPIO_BIT_CFG_TSTMP_IN);
	return 0;
}

/**
 * setup_pci_block - programs the registers in BAR 0 of one SoC PCI device
 * @device_id: the device, of vendor KV_PTP_PCI_VENDOR; the first one found
 * @block: the block's name in the log, "PTP" or "GPIO"
 * @config: writes the block's registers at the mapped base
 *
 * Return: the result of @config, or -ENODEV when there is no such device or
 * its BAR 0 cannot be mapped.
 */
static int setup_pci_block(unsigned int device_id, const char *block,
			   int (*config)(void __iomem *base))
{
	struct pci_dev *pdev;
	void __iomem *base;
	int result;

	pdev = pci_get_device(KV_PTP_PCI_VENDOR, device_id, NULL);
	if (!pdev) {
		pr_err("kv_ptp:Error PCI device not found, PTP[Vendor=0x%X,Dev_id=0x%X]\n",
		       KV_PTP_PCI_VENDOR, device_id);
		return -ENODEV;
	}
	base = pci_ioremap_bar(pdev, 0);
	if (!base) {
		pr_err("kv_ptp:Error memory mapping PCI device,[Vendor=0x%X,Dev_id=0x%X]\n",
		       KV_PTP_PCI_VENDOR, device_id);
		pci_dev_put(pdev);
		return -ENODEV;
	}
	pr_info("kv_ptp: Mapping %s module base=%p\n", block, base);
	result = config(base);
	iounmap(base);
	pci_dev_put(pdev);
	return result;
}

/* Return: the result of config_bts_module(), or -ENOMEM when unmappable. */
static int setup_bts_block(void)
{
	void __iomem *base;
	int result;

	base = ioremap(KV_PTP_BTS_BASE, KV_PTP_BTS_SIZE);
	if (!base) {
		pr_err("kv_ptp: Error memory maping BTS module");
		return -ENOMEM;
	}
	pr_info("kv_ptp: Mapping BTS module base=%p\n", base);
	result = config_bts_module(base);
	iounmap(base);
	return result;
}

/**
 * kv_ptp_clock_setup - command 0x124, programs the PTP, BTS and GPIO blocks
 *
 * Every block is programmed whether or not the one before could be, but the
 * PTP clock only runs from the BTS reference when all three were: any
 * failure is reported, not only the last step's.
 *
 * Return: 0 when all three blocks were programmed, else the error of the
 * first block that was not.
 */
long kv_ptp_clock_setup(void)
{
	int ptp, bts, gpio;

	ptp = setup_pci_block(KV_PTP_PCI_DEVICE_PTP, "PTP", config_ptp_module);
	bts = setup_bts_block();
	gpio = setup_pci_block(KV_PTP_PCI_DEVICE_GPIO, "GPIO",
			       config_gpio_module);
	if (ptp)
		return ptp;
	if (bts)
		return bts;
	return gpio;
}

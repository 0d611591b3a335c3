// SPDX-License-Identifier: GPL-2.0
/*
 * Stands in for the SoC register blocks that kv_ptp's clock set-up
 * programs: a PCI host bridge of its own (domain 1) carrying the PTP device
 * 177D:A00C and the GPIO device 177D:A00A, and the BTS block. All of them
 * live in RAM the guest kernel does not own (QEMU's -m above mem=), so the
 * PCI core finds the devices and maps their BAR 0 the way it does on the
 * board.
 *
 *   insmod sim_soc.ko [ptp=0] [gpio=0]      leaves a device off the bus
 *
 * The build gives SIM_SOC_BASE: the bridge's memory window starts there and
 * the BTS block follows it (the kv_ptp simulation build gets that address).
 *
 * debugfs, /sys/kernel/debug/sim_soc/{ptp,gpio,bts}/:
 *   regs   the block's registers, read and written with pread/pwrite at
 *          the register offset (also sets initial contents)
 *   refs   (PCI devices) the device's reference count
 */
#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/io.h>
#include <linux/ioport.h>
#include <linux/module.h>
#include <linux/pci.h>
#include <linux/sizes.h>
#include <linux/uaccess.h>

#include "sim_compat.h"

#define SIM_SOC_DOMAIN		1
#define SIM_SOC_WINDOW_SIZE	SZ_1M
#define SIM_SOC_BTS_BASE	(SIM_SOC_BASE + SIM_SOC_WINDOW_SIZE)
#define SIM_SOC_BTS_SIZE	0x2000
#define SIM_SOC_BAR_SIZE	SZ_64K

static bool ptp = true;
module_param(ptp, bool, 0400);
MODULE_PARM_DESC(ptp, "Put the PTP device on the bus");
static bool gpio = true;
module_param(gpio, bool, 0400);
MODULE_PARM_DESC(gpio, "Put the GPIO device on the bus");

/* A register block, with its debugfs folder. */
struct sim_block {
	const char *name;
	void __iomem *regs;
	size_t size;
	struct pci_dev *pdev;	/* NULL for the BTS block */
};

/* A PCI function: the 64 bytes of its type 0 header, and its block. */
struct sim_function {
	unsigned int devfn;
	u16 device;
	bool *present;
	u32 header[16];
	struct sim_block block;
};

static struct sim_function functions[] = {
	{ PCI_DEVFN(0, 0), 0xA00C, &ptp, {}, { "ptp" } },
	{ PCI_DEVFN(1, 0), 0xA00A, &gpio, {}, { "gpio" } },
};

static struct sim_block bts = { "bts" };
static struct pci_host_bridge *bridge;
static struct sim_pci_domain domain;
static struct dentry *dir;

static struct resource window = {
	.name = "sim_soc PCI window",
	.start = SIM_SOC_BASE,
	.end = SIM_SOC_BASE + SIM_SOC_WINDOW_SIZE - 1,
	.flags = IORESOURCE_MEM,
};

static struct resource bus_numbers = {
	.name = "sim_soc PCI bus",
	.start = 0,
	.end = 0,
	.flags = IORESOURCE_BUS,
};

static void sim_function_reset(struct sim_function *fn)
{
	memset(fn->header, 0, sizeof(fn->header));
	fn->header[PCI_VENDOR_ID / 4] = (u32)fn->device << 16 | 0x177D;
	fn->header[PCI_CLASS_REVISION / 4] = PCI_CLASS_SYSTEM_OTHER << 16;
	fn->header[PCI_BASE_ADDRESS_0 / 4] = PCI_BASE_ADDRESS_MEM_TYPE_64;
}

/* The header bits software may change; all others read back as they are. */
static u32 sim_writable(int reg)
{
	switch (reg * 4) {
	case PCI_COMMAND:
		return PCI_COMMAND_MEMORY | PCI_COMMAND_MASTER;
	case PCI_BASE_ADDRESS_0:
		return ~(u32)(SIM_SOC_BAR_SIZE - 1);
	case PCI_BASE_ADDRESS_1:
		return ~0U;
	case PCI_INTERRUPT_LINE:
		return 0xFF;
	default:
		return 0;
	}
}

static struct sim_function *sim_function_at(unsigned int devfn)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(functions); i++)
		if (*functions[i].present && functions[i].devfn == devfn)
			return &functions[i];
	return NULL;
}

static u32 sim_size_mask(int size)
{
	return size == 4 ? ~0U : (1U << (8 * size)) - 1;
}

/* Config space; the PCI core serialises these under its pci_lock. */
static int sim_config_read(struct pci_bus *bus, unsigned int devfn, int where,
			   int size, u32 *val)
{
	struct sim_function *fn = sim_function_at(devfn);
	u32 reg;

	if (!fn) {
		*val = ~0U;
		return PCIBIOS_DEVICE_NOT_FOUND;
	}
	reg = where / 4 < ARRAY_SIZE(fn->header) ? fn->header[where / 4] : 0;
	*val = (reg >> (8 * (where & 3))) & sim_size_mask(size);
	return PCIBIOS_SUCCESSFUL;
}

static int sim_config_write(struct pci_bus *bus, unsigned int devfn, int where,
			    int size, u32 val)
{
	struct sim_function *fn = sim_function_at(devfn);
	int shift = 8 * (where & 3);
	u32 mask;

	if (!fn)
		return PCIBIOS_DEVICE_NOT_FOUND;
	if (where / 4 >= ARRAY_SIZE(fn->header))
		return PCIBIOS_SUCCESSFUL;
	mask = (sim_size_mask(size) << shift) & sim_writable(where / 4);
	fn->header[where / 4] = (fn->header[where / 4] & ~mask) |
				((val << shift) & mask);
	return PCIBIOS_SUCCESSFUL;
}

static struct pci_ops sim_pci_ops = {
	.read = sim_config_read,
	.write = sim_config_write,
};

/*
 * regs: the block's registers as a file of its size, read and written a
 * whole register at a time: -EINVAL otherwise, -ENOSPC past the block's end.
 */
static int regs_access(struct sim_block *block, size_t count, loff_t pos)
{
	if (pos % 8 || count < 8)
		return -EINVAL;
	return pos >= block->size ? -ENOSPC : 0;
}

static ssize_t regs_read(struct file *file, char __user *buf, size_t count,
			 loff_t *ppos)
{
	struct sim_block *block = file->private_data;
	int ret = regs_access(block, count, *ppos);
	u64 value;

	if (ret)
		return ret == -ENOSPC ? 0 : ret;
	value = readq(block->regs + *ppos);
	if (copy_to_user(buf, &value, 8))
		return -EFAULT;
	*ppos += 8;
	return 8;
}

static ssize_t regs_write(struct file *file, const char __user *buf,
			  size_t count, loff_t *ppos)
{
	struct sim_block *block = file->private_data;
	int ret = regs_access(block, count, *ppos);
	u64 value;

	if (ret)
		return ret;
	if (copy_from_user(&value, buf, 8))
		return -EFAULT;
	writeq(value, block->regs + *ppos);
	*ppos += 8;
	return 8;
}

static const struct file_operations regs_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.read = regs_read,
	.write = regs_write,
	.llseek = default_llseek,
};

static int refs_get(void *data, u64 *val)
{
	struct sim_block *block = data;

	*val = kref_read(&block->pdev->dev.kobj.kref);
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(refs_fops, refs_get, NULL, "%llu\n");

static void sim_block_publish(struct sim_block *block)
{
	struct dentry *sub = debugfs_create_dir(block->name, dir);

	debugfs_create_file_size("regs", 0600, sub, block, &regs_fops,
				 block->size);
	if (block->pdev)
		debugfs_create_file_unsafe("refs", 0400, sub, block,
					   &refs_fops);
}

/* Finds a probed function on the bus and maps its BAR 0, as a driver would. */
static int sim_function_map(struct sim_function *fn)
{
	fn->block.pdev = pci_get_slot(bridge->bus, fn->devfn);
	if (!fn->block.pdev)
		return -ENODEV;
	fn->block.size = pci_resource_len(fn->block.pdev, 0);
	fn->block.regs = pci_ioremap_bar(fn->block.pdev, 0);
	if (!fn->block.regs) {
		pci_dev_put(fn->block.pdev);
		fn->block.pdev = NULL;
		return -ENOMEM;
	}
	return 0;
}

static void sim_soc_remove(void)
{
	size_t i;

	debugfs_remove_recursive(dir);
	for (i = 0; i < ARRAY_SIZE(functions); i++) {
		if (functions[i].block.pdev) {
			iounmap(functions[i].block.regs);
			pci_dev_put(functions[i].block.pdev);
		}
	}
	if (bridge->bus) {
		pci_lock_rescan_remove();
		pci_stop_root_bus(bridge->bus);
		pci_remove_root_bus(bridge->bus);
		pci_unlock_rescan_remove();
	}
	pci_free_host_bridge(bridge);
	sim_pci_domain_release(&domain);
	if (bts.regs)
		iounmap(bts.regs);
	release_resource(&window);
}

static int __init sim_soc_init(void)
{
	int result;
	size_t i;

	result = request_resource(&iomem_resource, &window);
	if (result)
		return result;
	bridge = pci_alloc_host_bridge(0);
	if (!bridge) {
		release_resource(&window);
		return -ENOMEM;
	}
	bridge->ops = &sim_pci_ops;
	result = sim_pci_set_domain(bridge, &domain, SIM_SOC_DOMAIN);
	if (result) {
		pci_free_host_bridge(bridge);
		release_resource(&window);
		return result;
	}
	pci_add_resource(&bridge->windows, &window);
	pci_add_resource(&bridge->windows, &bus_numbers);
	for (i = 0; i < ARRAY_SIZE(functions); i++)
		sim_function_reset(&functions[i]);

	result = pci_host_probe(bridge);
	if (result)
		goto fail;
	bts.size = SIM_SOC_BTS_SIZE;
	bts.regs = ioremap(SIM_SOC_BTS_BASE, bts.size);
	if (!bts.regs) {
		result = -ENOMEM;
		goto fail;
	}
	dir = debugfs_create_dir("sim_soc", NULL);
	sim_block_publish(&bts);
	for (i = 0; i < ARRAY_SIZE(functions); i++) {
		if (!*functions[i].present)
			continue;
		result = sim_function_map(&functions[i]);
		if (result)
			goto fail;
		sim_block_publish(&functions[i].block);
	}
	return 0;

fail:
	sim_soc_remove();
	return result;
}

static void __exit sim_soc_exit(void)
{
	sim_soc_remove();
}

module_init(sim_soc_init);
module_exit(sim_soc_exit);
MODULE_DESCRIPTION("Simulated SoC PTP, GPIO and BTS register blocks");
MODULE_LICENSE("GPL");

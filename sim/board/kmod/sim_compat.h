/* SPDX-License-Identifier: GPL-2.0 */
/*
 * What differs, for the simulation modules, between the kernels the
 * simulated board runs: the board's 5.4 line and Debian's 6.1.
 */
#ifndef SIM_COMPAT_H
#define SIM_COMPAT_H

#include <linux/fs.h>
#include <linux/device.h>
#include <linux/kernel.h>
#include <linux/of.h>
#include <linux/pci.h>
#include <linux/ptrace.h>
#include <linux/tty.h>
#include <linux/uio.h>
#include <linux/version.h>

/*
 * The PCI domain of a host bridge that no firmware describes. From 5.15 on
 * its owner sets it. Before that the PCI core takes it only from the
 * "linux,pci-domain" property of the parent device's firmware node; without
 * one, on a machine whose own host bridge has that property (QEMU's virt
 * does), it refuses ("Inconsistent ... property in DT") and numbers the bus
 * -1. So the bridge gets a parent device whose node carries the property.
 * That node is not part of the device tree: a kernel that counts references
 * to nodes (CONFIG_OF_DYNAMIC) could not take it, and leaves the number to
 * the core.
 */
#if LINUX_VERSION_CODE < KERNEL_VERSION(5, 15, 0)
struct sim_pci_domain {
	__be32 value;
	struct property property;
	struct device_node node;
	struct device *parent;
};

static inline int sim_pci_set_domain(struct pci_host_bridge *bridge,
				     struct sim_pci_domain *d, int domain)
{
	if (IS_ENABLED(CONFIG_OF_DYNAMIC))
		return 0;
	d->value = cpu_to_be32(domain);
	d->property.name = "linux,pci-domain";
	d->property.length = sizeof(d->value);
	d->property.value = &d->value;
	d->node.name = "sim_soc";
	d->node.full_name = "sim_soc";
	d->node.properties = &d->property;
	d->node.fwnode.ops = &of_fwnode_ops;
	d->parent = root_device_register("sim_soc");
	if (IS_ERR(d->parent)) {
		int result = PTR_ERR(d->parent);

		d->parent = NULL;
		return result;
	}
	d->parent->of_node = &d->node;
	bridge->dev.parent = d->parent;
	return 0;
}

/* After the bridge is gone. */
static inline void sim_pci_domain_release(struct sim_pci_domain *d)
{
	if (d->parent)
		root_device_unregister(d->parent);
	d->parent = NULL;
}
#else
struct sim_pci_domain {
	int unused;
};

static inline int sim_pci_set_domain(struct pci_host_bridge *bridge,
				     struct sim_pci_domain *d, int domain)
{
	bridge->domain_nr = domain;
	return 0;
}

static inline void sim_pci_domain_release(struct sim_pci_domain *d)
{
}
#endif

/*
 * The tty layer's write entry as a kprobe at its first instruction sees it:
 * before 5.11 tty_write(struct file *, const char __user *, size_t,
 * loff_t *), from 5.11 on tty_write(struct kiocb *, struct iov_iter *).
 */
static inline struct file *sim_tty_write_file(struct pt_regs *regs)
{
#if LINUX_VERSION_CODE < KERNEL_VERSION(5, 11, 0)
	return (struct file *)regs_get_kernel_argument(regs, 0);
#else
	return ((struct kiocb *)regs_get_kernel_argument(regs, 0))->ki_filp;
#endif
}

/* Lets the write that is about to start take at most limit bytes. */
static inline void sim_tty_write_limit(struct pt_regs *regs, size_t limit)
{
#if LINUX_VERSION_CODE < KERNEL_VERSION(5, 11, 0)
	/* The byte count is the third argument: x2 on arm64. */
	if (regs->regs[2] > limit)
		regs->regs[2] = limit;
#else
	iov_iter_truncate((struct iov_iter *)regs_get_kernel_argument(regs, 1),
			  limit);
#endif
}

/*
 * The function every ioremap() of device memory ends in on arm64: before
 * the architecture moved to the generic ioremap in 6.0 it was __ioremap,
 * since then it is ioremap_prot. ioremap itself is a macro on both.
 */
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 0, 0)
#define SIM_IOREMAP_SYMBOL	"__ioremap"
#else
#define SIM_IOREMAP_SYMBOL	"ioremap_prot"
#endif

#endif /* SIM_COMPAT_H */

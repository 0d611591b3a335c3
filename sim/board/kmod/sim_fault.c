// SPDX-License-Identifier: GPL-2.0
/*
 * Makes one call of a kernel function fail, for testing the
 * error paths of a module's load.
 *
 *   insmod sim_fault.ko func=cdev_add nth=3 err=-12
 *
 * The nth call of func after this module is loaded does not run: it
 * returns err at once (for functions returning a pointer, ERR_PTR(err),
 * which is the same register value). Later calls run normally.
 * func=ioremap names the function that ioremap() ends in on the running
 * kernel, whichever that is (ioremap itself is a macro).
 * /sys/kernel/debug/sim_fault/hits counts the calls seen.
 */
#include <linux/atomic.h>
#include <linux/debugfs.h>
#include <linux/kprobes.h>
#include <linux/module.h>
#include <linux/ptrace.h>
#include <linux/string.h>

#include "sim_compat.h"

static char *func = "";
module_param(func, charp, 0400);
static int nth = 1;
module_param(nth, int, 0400);
static int err = -ENOMEM;
module_param(err, int, 0400);

static atomic_t hits = ATOMIC_INIT(0);
static struct dentry *dir;

static int sim_fault_pre(struct kprobe *p, struct pt_regs *regs)
{
	if (atomic_inc_return(&hits) != nth)
		return 0;
	/* Return to the caller at once with err in the result register. */
	regs_set_return_value(regs, (unsigned long)(long)err);
	instruction_pointer_set(regs, procedure_link_pointer(regs));
	return 1;
}

static struct kprobe probe = {
	.pre_handler = sim_fault_pre,
};

static int __init sim_fault_init(void)
{
	int result;

	probe.symbol_name = strcmp(func, "ioremap") ? func : SIM_IOREMAP_SYMBOL;
	result = register_kprobe(&probe);
	if (result < 0) {
		pr_err("sim_fault: cannot probe %s: %d\n", probe.symbol_name,
		       result);
		return result;
	}
	dir = debugfs_create_dir("sim_fault", NULL);
	debugfs_create_atomic_t("hits", 0400, dir, &hits);
	return 0;
}

static void __exit sim_fault_exit(void)
{
	debugfs_remove_recursive(dir);
	unregister_kprobe(&probe);
}

module_init(sim_fault_init);
module_exit(sim_fault_exit);
MODULE_DESCRIPTION("Fails one call of a kernel function");
MODULE_LICENSE("GPL");

// SPDX-License-Identifier: GPL-2.0
/*
 * Stands in for the SoC PTP driver's otx2_ptp_pps_read().
 *
 * debugfs, /sys/kernel/debug/sim_otx2_ptp/:
 *   pps_ns           time stamp to return, in nanoseconds
 *   ns_per_clock_id  added once per unit of the clock id, so that callers
 *                    asking for different clocks get different answers
 *   error            nonzero: returned instead of a time stamp
 *   error_clock_id_mod  nonzero N: error is returned only for clock ids
 *                    that are multiples of N (0 and negative ones too), so
 *                    concurrent callers can predict which of their calls fail
 *   calls            number of calls so far (write to reset)
 *   last_clock_id    clock id of the latest call
 */
#include <linux/atomic.h>
#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/module.h>

#include "sim_otx2_ptp.h"

static u64 pps_ns;
static u64 ns_per_clock_id;
static s64 error;
static u32 error_clock_id_mod;
static s64 last_clock_id;
static atomic64_t calls = ATOMIC64_INIT(0);
static struct dentry *dir;

static bool error_hits(int ptp_clk_id)
{
	u32 mod = READ_ONCE(error_clock_id_mod);
	/* Magnitude in u32: INT_MIN has no positive int counterpart. */
	u32 magnitude = ptp_clk_id < 0 ? 0U - (u32)ptp_clk_id : (u32)ptp_clk_id;

	return !mod || magnitude % mod == 0;
}

int otx2_ptp_pps_read(int ptp_clk_id, u64 *pps_ts)
{
	s64 err = READ_ONCE(error);

	atomic64_inc(&calls);
	WRITE_ONCE(last_clock_id, ptp_clk_id);
	if (err && error_hits(ptp_clk_id))
		return (int)err;
	*pps_ts = READ_ONCE(pps_ns) +
		  (u64)(s64)ptp_clk_id * READ_ONCE(ns_per_clock_id);
	return 0;
}
EXPORT_SYMBOL(otx2_ptp_pps_read);

/* Signed knobs: debugfs' own attributes only parse unsigned numbers. */
static ssize_t s64_read(struct file *file, char __user *buf, size_t count,
			loff_t *ppos)
{
	char text[24];
	int len = scnprintf(text, sizeof(text), "%lld\n",
			    READ_ONCE(*(s64 *)file->private_data));

	return simple_read_from_buffer(buf, count, ppos, text, len);
}

static ssize_t s64_write(struct file *file, const char __user *buf,
			 size_t count, loff_t *ppos)
{
	s64 value;
	int result = kstrtoll_from_user(buf, count, 0, &value);

	if (result)
		return result;
	WRITE_ONCE(*(s64 *)file->private_data, value);
	return count;
}

static const struct file_operations s64_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.read = s64_read,
	.write = s64_write,
	.llseek = default_llseek,
};

static int calls_get(void *data, u64 *val)
{
	*val = atomic64_read(&calls);
	return 0;
}

static int calls_set(void *data, u64 val)
{
	atomic64_set(&calls, val);
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(calls_fops, calls_get, calls_set, "%llu\n");

static int __init sim_otx2_ptp_init(void)
{
	dir = debugfs_create_dir("sim_otx2_ptp", NULL);
	debugfs_create_u64("pps_ns", 0600, dir, &pps_ns);
	debugfs_create_u64("ns_per_clock_id", 0600, dir, &ns_per_clock_id);
	debugfs_create_file("error", 0600, dir, &error, &s64_fops);
	debugfs_create_u32("error_clock_id_mod", 0600, dir,
			   &error_clock_id_mod);
	debugfs_create_file("last_clock_id", 0400, dir, &last_clock_id,
			    &s64_fops);
	debugfs_create_file_unsafe("calls", 0600, dir, NULL, &calls_fops);
	return 0;
}

static void __exit sim_otx2_ptp_exit(void)
{
	debugfs_remove_recursive(dir);
}

module_init(sim_otx2_ptp_init);
module_exit(sim_otx2_ptp_exit);
MODULE_DESCRIPTION("Simulated SoC PTP driver: otx2_ptp_pps_read");
MODULE_LICENSE("GPL");

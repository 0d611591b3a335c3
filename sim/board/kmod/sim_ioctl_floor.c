// SPDX-License-Identifier: GPL-2.0
/*
 * The floor for timing kv_ptp's PPS time query: /dev/sim_ioctl_floor, whose
 * ioctl copies a 24-byte record in and the same record out and does nothing
 * else, so a loop of it costs what any ioctl with such a record must.
 * With command SIM_IOCTL_FLOOR_SOC_CALL it also calls the SoC PTP driver's
 * otx2_ptp_pps_read() once, as a PPS time query must.
 */
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/uaccess.h>

#include "sim_otx2_ptp.h"

#define SIM_IOCTL_FLOOR_RECORD	24
#define SIM_IOCTL_FLOOR_SOC_CALL	1

static long sim_ioctl_floor_ioctl(struct file *file, unsigned int cmd,
				  unsigned long arg)
{
	u8 record[SIM_IOCTL_FLOOR_RECORD];
	u64 pps_ts;

	if (copy_from_user(record, (void __user *)arg, sizeof(record)))
		return -EFAULT;
	if (cmd == SIM_IOCTL_FLOOR_SOC_CALL && otx2_ptp_pps_read(1, &pps_ts))
		return -EIO;
	if (copy_to_user((void __user *)arg, record, sizeof(record)))
		return -EFAULT;
	return 0;
}

static const struct file_operations sim_ioctl_floor_fops = {
	.owner = THIS_MODULE,
	.unlocked_ioctl = sim_ioctl_floor_ioctl,
};

static struct miscdevice sim_ioctl_floor_dev = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "sim_ioctl_floor",
	.fops = &sim_ioctl_floor_fops,
};

module_misc_device(sim_ioctl_floor_dev);
MODULE_DESCRIPTION("Simulated board: a minimal ioctl, the floor of kv_ptp's query");
MODULE_LICENSE("GPL");

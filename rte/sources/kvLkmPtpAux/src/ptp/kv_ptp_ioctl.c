// SPDX-License-Identifier: GPL-2.0
/*
 * The ioctl commands of the kv_ptp devices.
 *
 * No lock and no state between calls: each query works on its own stack
 * copy of the caller's record, and whatever serialisation the time stamp
 * read needs is the SoC PTP driver's business.
 */
#include <linux/capability.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/printk.h>
#include <linux/uaccess.h>

#include "kvPtpAuxApi.h"
#include "kv_ptp.h"
#include "kv_ptp_compat.h"

/*
 * Command 0x123: the PTP time of the last PPS edge of the clock named in the
 * record at @arg. The caller's memory is written only once the time stamp
 * is known; a write-back that faults part way may leave part of the answer
 * in place, and the caller gets -EFAULT.
 */
static long kv_ptp_pps_time_query(unsigned long arg)
{
	void __user *user_record = (void __user *)arg;
	struct kv_ptp_pps_time_ty record;
	u64 pps_ts = 0;
	int result;

	if (copy_from_user(&record, user_record, sizeof(record)))
		return -EFAULT;
	if (record.ptp_clk_id == 0)
		return -EINVAL;

	result = otx2_ptp_pps_read(record.ptp_clk_id, &pps_ts);
	if (result)
		return result;

	kv_ptp_ns_to_timespec(pps_ts, &record.pps_time);
	if (copy_to_user(user_record, &record, sizeof(record)))
		return -EFAULT;
	return 0;
}

/**
 * kv_ptp_ioctl - ioctl entry of all five devices
 * @file: the open device, not looked at
 * @cmd: KV_PTP_IOCTL_PPS_TIME or KV_PTP_IOCTL_CLOCK_SETUP, compared as is
 * @arg: user address of a kv_ptp_pps_time_ty for 0x123, ignored for 0x124
 *
 * 0x123 answers every opener. 0x124 re-clocks the SoC, so it asks for the
 * right Linux asks of anyone who sets a clock; the group that may open the
 * nodes to read PPS times does not get it by that alone.
 *
 * Return: 0, a negative errno, or the SoC driver's nonzero result for 0x123.
 */
long kv_ptp_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	switch (cmd) {
	case KV_PTP_IOCTL_PPS_TIME:
		return kv_ptp_pps_time_query(arg);
	case KV_PTP_IOCTL_CLOCK_SETUP:
		if (!capable(CAP_SYS_TIME))
			return -EPERM;
		return kv_ptp_clock_setup();
	default:
		/*
		 * Any opener can send these: keep a loop of them off the
		 * console.
		 */
		pr_alert_ratelimited("kv_ptp: Error unknown ioctl cmd 0x%X",
				     cmd);
		return -EINVAL;
	}
}

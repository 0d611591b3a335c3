/* SPDX-License-Identifier: GPL-2.0 */
/*
 * What the parts of the kv_ptp module share.
 */
#ifndef KV_PTP_H
#define KV_PTP_H

#include <linux/fs.h>
#include <linux/types.h>

#define KV_PTP_NAME	"kv_ptp"

long kv_ptp_ioctl(struct file *file, unsigned int cmd, unsigned long arg);

/* Command 0x124: programs the SoC's PTP, BTS and GPIO blocks. */
long kv_ptp_clock_setup(void);

/*
 * Provided by the SoC's PTP driver: the PTP time of the last PPS edge of
 * clock @ptp_clk_id in nanoseconds. Returns 0, or nonzero (a negative errno)
 * on failure. Resolved against the running kernel at load.
 */
int otx2_ptp_pps_read(int ptp_clk_id, u64 *pps_ts);

#endif /* KV_PTP_H */

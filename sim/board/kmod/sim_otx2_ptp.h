/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The SoC PTP driver's call that sim_otx2_ptp stands in for, and what the
 * simulation's PPS device (sim_appint) uses of its clock. Times of the
 * clock are TAI nanoseconds.
 */
#ifndef SIM_OTX2_PTP_H
#define SIM_OTX2_PTP_H

#include <linux/types.h>

int otx2_ptp_pps_read(int ptp_clk_id, u64 *pps_ts);

/* The clock's time now; any context. */
s64 sim_phc_now(void);
/*
 * Raw monotonic nanoseconds from now until the clock reads phc_ns, at its
 * present rate (negative when it is past); any context, for phc_ns within
 * some centuries of now.
 */
s64 sim_phc_raw_until(s64 phc_ns);
/*
 * changed (NULL: none) is called, in process context, after each change
 * of the clock: stepped for a set or a step, not for a frequency change.
 * It may sleep; it must not set the notifier itself.
 */
void sim_phc_set_notifier(void (*changed)(bool stepped));
/* The clock's time at a PPS edge, which otx2_ptp_pps_read() answers. */
void sim_phc_pps_edge(s64 phc_ns);

#endif

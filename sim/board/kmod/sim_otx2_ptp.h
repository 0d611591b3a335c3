/* SPDX-License-Identifier: GPL-2.0 */
/* The SoC PTP driver's call that sim_otx2_ptp stands in for. */
#ifndef SIM_OTX2_PTP_H
#define SIM_OTX2_PTP_H

#include <linux/types.h>

int otx2_ptp_pps_read(int ptp_clk_id, u64 *pps_ts);

#endif

// SPDX-License-Identifier: GPL-2.0
/*
 * Command 0x124, the clock hardware set-up.
 */
#include <linux/errno.h>

#include "kv_ptp.h"

/* Not provided yet: the set-up of the PTP, BTS and GPIO blocks comes later. */
long kv_ptp_clock_setup(void)
{
	return -EOPNOTSUPP;
}

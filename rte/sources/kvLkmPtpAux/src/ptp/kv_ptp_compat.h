/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The kernel API differences between the board's 5.4
 * kernel and newer ones, kept in one place.
 */
#ifndef KV_PTP_COMPAT_H
#define KV_PTP_COMPAT_H

#include <linux/device.h>
/* va_list for both: <linux/stdarg.h> only exists from 5.15 on. */
#include <linux/kernel.h>
#include <linux/time.h>
#include <linux/version.h>

#include "kvPtpAuxApi.h"

/*
 * Nanoseconds to seconds and nanoseconds, the count taken as signed 64-bit.
 * struct timespec and ns_to_timespec() left the kernel after 5.4; both forms
 * give the same result for every count below 2^63.
 */
static inline void kv_ptp_ns_to_timespec(u64 ns, struct kv_ptp_timespec *ts)
{
#if LINUX_VERSION_CODE < KERNEL_VERSION(5, 5, 0)
	struct timespec t = ns_to_timespec((s64)ns);
#else
	struct timespec64 t = ns_to_timespec64((s64)ns);
#endif

	ts->tv_sec = t.tv_sec;
	ts->tv_nsec = t.tv_nsec;
}

/* class_create() lost its owner argument in 6.4. */
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 4, 0)
#define kv_ptp_class_create(name)	class_create(THIS_MODULE, name)
#else
#define kv_ptp_class_create(name)	class_create(name)
#endif

#endif /* KV_PTP_COMPAT_H */

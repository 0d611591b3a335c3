/* SPDX-License-Identifier: GPL-2.0 WITH Linux-syscall-note */
/*
 * Ioctl interface of the kv_ptp devices (/dev/kv_ptp0..4),
 * shared by the kernel module and its C and C++ clients.
 *
 * Reading the PTP time of the last PPS edge:
 *
 *	kv_ptp_pps_time_ty rec = { .ptp_clk_id = clock_id };
 *	int fd = open("/dev/kv_ptp0", O_RDWR);
 *	if (ioctl(fd, KV_PTP_IOCTL_PPS_TIME, &rec) == 0)
 *		use rec.pps_time.tv_sec and rec.pps_time.tv_nsec;
 *
 * The commands serve 64-bit callers only.
 */
#ifndef KV_PTP_AUX_API_H
#define KV_PTP_AUX_API_H

#ifdef __KERNEL__
#include <linux/stddef.h>
#include <linux/types.h>
#else
#include <stddef.h>
#include <sys/types.h>
#include <time.h>
#endif

/*
 * Plain command numbers: they carry no _IOC direction or size bits, and
 * nothing else is accepted (an _IOWR-encoded 0x123 is an unknown command).
 */
#define KV_PTP_IOCTL_PPS_TIME		0x123	/* PTP time of the last PPS edge */
#define KV_PTP_IOCTL_CLOCK_SETUP	0x124	/* program the PTP, BTS and GPIO blocks */

#ifdef __KERNEL__
/* The 64-bit kernel's struct timespec; newer kernels keep that name for user space. */
struct kv_ptp_timespec {
	__s64 tv_sec;
	__s64 tv_nsec;
};
#define KV_PTP_TIMESPEC struct kv_ptp_timespec
#define KV_PTP_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define KV_PTP_TIMESPEC struct timespec
#ifdef __cplusplus
#define KV_PTP_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KV_PTP_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
#endif

/*
 * Record of command 0x123. The whole record goes in and comes back, so the
 * clock id and the padding after it return exactly as written.
 */
typedef struct kv_ptp_pps_time_ty {
	clockid_t ptp_clk_id;		/* in: PTP clock to query, nonzero */
	KV_PTP_TIMESPEC pps_time;	/* out: seconds, nanoseconds 0..999999999 */
} kv_ptp_pps_time_ty;

KV_PTP_STATIC_ASSERT(sizeof(clockid_t) == 4, "clockid_t is 32 bits");
KV_PTP_STATIC_ASSERT(sizeof(kv_ptp_pps_time_ty) == 24, "record is 24 bytes");
KV_PTP_STATIC_ASSERT(offsetof(kv_ptp_pps_time_ty, pps_time) == 8,
		     "pps_time follows 4 bytes of padding");
KV_PTP_STATIC_ASSERT(offsetof(kv_ptp_pps_time_ty, pps_time.tv_sec) == 8 &&
		     offsetof(kv_ptp_pps_time_ty, pps_time.tv_nsec) == 16 &&
		     sizeof(((kv_ptp_pps_time_ty *)0)->pps_time.tv_sec) == 8 &&
		     sizeof(((kv_ptp_pps_time_ty *)0)->pps_time.tv_nsec) == 8,
		     "pps_time is two 64-bit fields");

#endif /* KV_PTP_AUX_API_H */

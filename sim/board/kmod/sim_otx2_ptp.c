// SPDX-License-Identifier: GPL-2.0
/*
 * Stands in for the SoC's PTP block and its driver: a PTP hardware clock,
 * /dev/ptp0 (clock_name "sim_otx2_ptp"), and otx2_ptp_pps_read(), which
 * answers the clock's time at the latest PPS edge.
 *
 * The clock keeps TAI, as under ptp4l: at load it reads CLOCK_REALTIME +
 * 37 s. It runs on the raw monotonic clock, which nothing steers, at a
 * frequency of its own:
 *   PHC(raw) = anchor_phc + (raw - anchor_raw) * (1 + freq)
 * and clock_settime, clock_adjtime's steps (ADJ_SETOFFSET) and frequency
 * (ADJ_FREQUENCY, up to 1000000 ppb) anchor it anew, as phc_ctl and
 * phc2sys drive it. With nothing steering either clock it stays within
 * microseconds of CLOCK_REALTIME + 37 s: the two run at one rate while
 * nothing changes the system clock's frequency. A test that sets
 * CLOCK_REALTIME or its frequency and wants the PPS on the system clock's
 * seconds moves this clock the same way (or back with board::phc::restore).
 *
 * sim_appint fires its PPS on this clock's seconds, through the calls in
 * sim_otx2_ptp.h; it records each edge's time here, which
 * otx2_ptp_pps_read() answers.
 *
 * debugfs, /sys/kernel/debug/sim_otx2_ptp/:
 *   follow_edges     1 (at load): every call answers the clock's time at the
 *                    latest PPS edge sim_appint recorded (0 before the
 *                    first); 0 while pps_ns is forced; writing 1 returns
 *                    to the edges
 *   pps_ns           a write forces this time stamp (0 as well) in place of
 *                    the edges: follow_edges becomes 0
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
#include <linux/math64.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/ptp_clock_kernel.h>
#include <linux/spinlock.h>
#include <linux/timekeeping.h>

#include "sim_otx2_ptp.h"

#define TAI_UTC_NS	(37 * NSEC_PER_SEC)
#define MAX_ADJ_PPB	1000000
/*
 * adjfine's scaled ppm carry 16 fractional bits: the rate is off by
 * scaled / (2^16 * 10^6). Going back from the clock's time to raw time,
 * that divisor over 16 still fits 32 bits, with the largest rate on top.
 */
#define SCALED_PPM_DIV	(1000000ULL << 16)
#define RAW_DIV		(u32)(SCALED_PPM_DIV / 16)

static u64 pps_ns;
static u64 ns_per_clock_id;
static s64 error;
static u32 error_clock_id_mod;
static s64 last_clock_id;
static atomic64_t calls = ATOMIC64_INIT(0);
static atomic64_t last_edge_ns = ATOMIC64_INIT(0);
static bool follow_edges = true;
static struct dentry *dir;

/* The clock's state; sim_appint's timer reads it in interrupt context. */
static DEFINE_SPINLOCK(phc_lock);
static u64 anchor_raw;
static s64 anchor_phc;
static long freq;	/* scaled ppm */
static struct ptp_clock *phc;

/* Whom a change of the clock concerns: sim_appint's timer. */
static DEFINE_MUTEX(notify_mutex);
static void (*notify)(bool stepped);

/*
 * Under phc_lock: the clock's time at raw time raw. The rate term fits
 * 64 bits up to elapsed * |freq| / 10^6 < 2^64: at the largest rate,
 * about 2^26 scaled ppm, that is 2^58 ns, nine years without an anchor.
 */
static s64 phc_at(u64 raw)
{
	u64 elapsed = raw - anchor_raw;
	s64 drift = mul_u64_u32_div(elapsed, (u32)abs(freq), 1000000) >> 16;

	return anchor_phc + (s64)elapsed + (freq < 0 ? -drift : drift);
}

/* Under phc_lock: the clock at phc_ns from now on. */
static void phc_anchor(u64 raw, s64 phc_ns)
{
	anchor_raw = raw;
	anchor_phc = phc_ns;
}

/* After the clock changed: sim_appint's timer moves onto its new grid. */
static void phc_changed(bool stepped)
{
	mutex_lock(&notify_mutex);
	if (notify)
		notify(stepped);
	mutex_unlock(&notify_mutex);
}

s64 sim_phc_now(void)
{
	unsigned long flags;
	s64 now;

	spin_lock_irqsave(&phc_lock, flags);
	now = phc_at(ktime_get_raw_ns());
	spin_unlock_irqrestore(&phc_lock, flags);
	return now;
}
EXPORT_SYMBOL_GPL(sim_phc_now);

s64 sim_phc_raw_until(s64 phc_ns)
{
	unsigned long flags;
	s64 ahead;
	u64 raw;
	long rate;

	spin_lock_irqsave(&phc_lock, flags);
	ahead = phc_ns - phc_at(ktime_get_raw_ns());
	rate = freq;
	spin_unlock_irqrestore(&phc_lock, flags);
	raw = mul_u64_u32_div(abs(ahead), RAW_DIV, (u32)(RAW_DIV + rate / 16));
	return ahead < 0 ? -(s64)raw : (s64)raw;
}
EXPORT_SYMBOL_GPL(sim_phc_raw_until);

void sim_phc_set_notifier(void (*changed)(bool stepped))
{
	mutex_lock(&notify_mutex);
	notify = changed;
	mutex_unlock(&notify_mutex);
}
EXPORT_SYMBOL_GPL(sim_phc_set_notifier);

void sim_phc_pps_edge(s64 phc_ns)
{
	atomic64_set(&last_edge_ns, phc_ns);
}
EXPORT_SYMBOL_GPL(sim_phc_pps_edge);

static int phc_gettimex64(struct ptp_clock_info *info, struct timespec64 *ts,
			  struct ptp_system_timestamp *sts)
{
	unsigned long flags;
	u64 raw;

	spin_lock_irqsave(&phc_lock, flags);
	ptp_read_system_prets(sts);
	raw = ktime_get_raw_ns();
	ptp_read_system_postts(sts);
	*ts = ns_to_timespec64(phc_at(raw));
	spin_unlock_irqrestore(&phc_lock, flags);
	return 0;
}

static int phc_gettime64(struct ptp_clock_info *info, struct timespec64 *ts)
{
	return phc_gettimex64(info, ts, NULL);
}

static int phc_settime64(struct ptp_clock_info *info,
			 const struct timespec64 *ts)
{
	unsigned long flags;

	spin_lock_irqsave(&phc_lock, flags);
	phc_anchor(ktime_get_raw_ns(), timespec64_to_ns(ts));
	spin_unlock_irqrestore(&phc_lock, flags);
	phc_changed(true);
	return 0;
}

static int phc_adjtime(struct ptp_clock_info *info, s64 delta)
{
	unsigned long flags;
	u64 raw;

	spin_lock_irqsave(&phc_lock, flags);
	raw = ktime_get_raw_ns();
	phc_anchor(raw, phc_at(raw) + delta);
	spin_unlock_irqrestore(&phc_lock, flags);
	phc_changed(true);
	return 0;
}

static int phc_adjfine(struct ptp_clock_info *info, long scaled_ppm)
{
	unsigned long flags;
	u64 raw;

	spin_lock_irqsave(&phc_lock, flags);
	raw = ktime_get_raw_ns();
	phc_anchor(raw, phc_at(raw));
	freq = scaled_ppm;
	spin_unlock_irqrestore(&phc_lock, flags);
	phc_changed(false);
	return 0;
}

static int phc_enable(struct ptp_clock_info *info,
		      struct ptp_clock_request *request, int on)
{
	return -EOPNOTSUPP;
}

static struct ptp_clock_info phc_info = {
	.owner = THIS_MODULE,
	.name = "sim_otx2_ptp",
	.max_adj = MAX_ADJ_PPB,
	.adjfine = phc_adjfine,
	.adjtime = phc_adjtime,
	.gettime64 = phc_gettime64,
	.gettimex64 = phc_gettimex64,
	.settime64 = phc_settime64,
	.enable = phc_enable,
};

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
	u64 stamp;

	atomic64_inc(&calls);
	WRITE_ONCE(last_clock_id, ptp_clk_id);
	if (err && error_hits(ptp_clk_id))
		return (int)err;
	stamp = READ_ONCE(follow_edges) ? atomic64_read(&last_edge_ns) :
					  READ_ONCE(pps_ns);
	*pps_ts = stamp + (u64)(s64)ptp_clk_id * READ_ONCE(ns_per_clock_id);
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

static int pps_ns_get(void *data, u64 *val)
{
	*val = READ_ONCE(pps_ns);
	return 0;
}

static int pps_ns_set(void *data, u64 val)
{
	WRITE_ONCE(pps_ns, val);
	WRITE_ONCE(follow_edges, false);
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(pps_ns_fops, pps_ns_get, pps_ns_set, "%llu\n");

static int follow_edges_get(void *data, u64 *val)
{
	*val = READ_ONCE(follow_edges);
	return 0;
}

static int follow_edges_set(void *data, u64 val)
{
	if (val > 1)
		return -EINVAL;
	WRITE_ONCE(follow_edges, val);
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(follow_edges_fops, follow_edges_get,
			 follow_edges_set, "%llu\n");

static int __init sim_otx2_ptp_init(void)
{
	struct system_time_snapshot now;

	ktime_get_snapshot(&now);
	phc_anchor(ktime_to_ns(now.raw), ktime_to_ns(now.real) + TAI_UTC_NS);
	phc = ptp_clock_register(&phc_info, NULL);
	if (IS_ERR(phc))
		return PTR_ERR(phc);
	dir = debugfs_create_dir("sim_otx2_ptp", NULL);
	debugfs_create_file_unsafe("follow_edges", 0600, dir, NULL,
				   &follow_edges_fops);
	debugfs_create_file_unsafe("pps_ns", 0600, dir, NULL, &pps_ns_fops);
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
	ptp_clock_unregister(phc);
}

module_init(sim_otx2_ptp_init);
module_exit(sim_otx2_ptp_exit);
MODULE_DESCRIPTION("Simulated SoC PTP clock and driver: otx2_ptp_pps_read");
MODULE_LICENSE("GPL");

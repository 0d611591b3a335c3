// SPDX-License-Identifier: GPL-2.0
/*
 * Stands in for the board's PPS interrupt device, /dev/appint2: a one-byte
 * read returns 0 (no data) at the first PPS event its open file has not
 * taken yet, at once if one came since the last it took; several missed
 * events are taken together. poll() reports the device readable while the
 * file has such an event, so a reader that polls with a timeout and then
 * reads loses nothing. Each event wakes every reader. Events come from a
 * timer on each whole second of sim_otx2_ptp's clock (plus phase_ns), or
 * from debugfs. Each event's time on that clock is what
 * otx2_ptp_pps_read() answers until the next: for the timer's, the second
 * plus the phase, as the hardware latches the edge itself; for the others,
 * the clock's time at the event.
 *
 * The timer runs on CLOCK_MONOTONIC, armed at each edge for the next one
 * from the clock's time and rate, so it keeps to the clock's grid up to
 * the system clock's frequency correction over a second. A set or step
 * of the clock moves it onto the new grid at once (the edges stepped over
 * are not fired); a change of the clock's rate re-arms it for the same
 * edge. The clock is CLOCK_REALTIME + 37 s while nothing steers either,
 * so the events fall on the system clock's seconds too.
 *
 * debugfs, /sys/kernel/debug/sim_appint/:
 *   trigger        write anything: one event now
 *   burst          write N (1 to 100): N events, the first now, then one
 *                  each millisecond
 *   timer          0/1: the timer off/on (on at load); on again, it
 *                  resumes on its grid
 *   phase_ns       signed: the timer's events come this long after each
 *                  whole second of the clock (before it when negative); 0
 *                  at load; a write moves a running timer onto the new
 *                  grid at once
 *   immediate      0/1: with 1, every read returns 0 at once, an event of
 *                  its own, and poll() always reports readable: a device
 *                  whose read never blocks
 *   pollable       0/1: with 0, poll() answers as for a device without a
 *                  poll method: readable and writable, at once; 1 at load
 *   inject_eio     nonzero: the next read that ends at an event fails
 *                  with EIO (once)
 *   inject_short   nonzero: the next read that ends at an event returns 1,
 *                  one zero byte (once)
 *   events         number of events so far
 *   waiting        number of readers parked now: each read blocked in the
 *                  device, and as one with those, an open file whose last
 *                  poll() found no event and that has taken none since
 *   reads          number of reads that ended at an event; a reader counts
 *                  here only after it has left waiting, so a test that saw
 *                  this grow and then sees waiting again knows the next
 *                  read has begun
 *   last_event_ns  CLOCK_REALTIME of the latest event, in nanoseconds
 */
#include <linux/atomic.h>
#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/hrtimer.h>
#include <linux/kernel.h>
#include <linux/math64.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/poll.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/uaccess.h>
#include <linux/wait.h>

#include "sim_otx2_ptp.h"

#define BURST_MAX	100
#define BURST_GAP_NS	NSEC_PER_MSEC

static DECLARE_WAIT_QUEUE_HEAD(event_wait);
/*
 * Guards events and last_event_ns against each other and the readers, and
 * each open file's state together with its share of waiting.
 */
static DEFINE_SPINLOCK(event_lock);
static u64 events;
static u64 last_event_ns;
static atomic_t waiting = ATOMIC_INIT(0);
static atomic_t reads = ATOMIC_INIT(0);
static atomic_t inject_eio = ATOMIC_INIT(0);
static atomic_t inject_short = ATOMIC_INIT(0);
static bool immediate;
static bool pollable = true;

static struct hrtimer pps_timer;
static bool timer_on;
static s64 phase_ns;
/* The clock's time of the timer's next edge: its tick's, or timer_mutex's. */
static s64 pps_next;
static struct hrtimer burst_timer;
static unsigned int burst_left;
/* Serialises the knobs that start and stop the timers. */
static DEFINE_MUTEX(timer_mutex);
static struct dentry *dir;

/* What one open file of the device has taken. */
struct appint_file {
	u64 seen;		/* the event count at its last event */
	unsigned int blocked;	/* its reads blocked now */
	bool parked;		/* its last poll found no event */
};

/* The file's share of waiting: a parked file counts with its readers. */
static int appint_parked(const struct appint_file *f)
{
	return max_t(int, f->blocked, f->parked);
}

/* Under event_lock: an event at the clock's time phc_ns. */
static void appint_add_event(s64 phc_ns)
{
	sim_phc_pps_edge(phc_ns);
	last_event_ns = ktime_get_real_ns();
	WRITE_ONCE(events, events + 1);
}

/* Under event_lock: whether the file has an event to take. */
static bool appint_pending(const struct appint_file *f)
{
	return READ_ONCE(immediate) || events != f->seen;
}

/* Under event_lock: the file takes every event so far, as one. */
static void appint_take(struct appint_file *f)
{
	int before = appint_parked(f);

	if (READ_ONCE(immediate))
		appint_add_event(sim_phc_now());
	f->seen = events;
	f->parked = false;
	atomic_add(appint_parked(f) - before, &waiting);
}

/* Stamped before the readers wake: what they ask next is this edge. */
static void sim_appint_event(s64 phc_ns)
{
	unsigned long flags;

	spin_lock_irqsave(&event_lock, flags);
	appint_add_event(phc_ns);
	spin_unlock_irqrestore(&event_lock, flags);
	wake_up_interruptible_all(&event_wait);
}

/* The first edge of the grid, whole seconds plus the phase, after phc_ns. */
static s64 appint_edge_after(s64 phc_ns)
{
	s32 into;

	div_s64_rem(phc_ns - READ_ONCE(phase_ns), NSEC_PER_SEC, &into);
	if (into < 0)
		into += NSEC_PER_SEC;
	return phc_ns - into + NSEC_PER_SEC;
}

/* Monotonic nanoseconds until the clock reaches pps_next. */
static ktime_t appint_until_next(void)
{
	return ns_to_ktime(max_t(s64, sim_phc_raw_until(pps_next), 0));
}

static enum hrtimer_restart sim_appint_tick(struct hrtimer *timer)
{
	s64 edge = pps_next;

	sim_appint_event(edge);
	/*
	 * From the clock's time, so that no drift adds up; from the edge if
	 * the timer woke before the clock got there, so that it fires once.
	 */
	pps_next = appint_edge_after(max(sim_phc_now(), edge));
	hrtimer_set_expires(timer, ktime_add(ktime_get(), appint_until_next()));
	return HRTIMER_RESTART;
}

static enum hrtimer_restart sim_appint_burst_tick(struct hrtimer *timer)
{
	sim_appint_event(sim_phc_now());
	if (!--burst_left)
		return HRTIMER_NORESTART;
	hrtimer_forward_now(timer, ns_to_ktime(BURST_GAP_NS));
	return HRTIMER_RESTART;
}

/* Under timer_mutex, the timer stopped. */
static void sim_appint_timer_start(void)
{
	pps_next = appint_edge_after(sim_phc_now());
	hrtimer_start(&pps_timer, appint_until_next(), HRTIMER_MODE_REL);
}

/* From sim_otx2_ptp after its clock changed. */
static void sim_appint_phc_changed(bool stepped)
{
	mutex_lock(&timer_mutex);
	if (timer_on) {
		hrtimer_cancel(&pps_timer);
		if (stepped)
			sim_appint_timer_start();
		else
			hrtimer_start(&pps_timer, appint_until_next(),
				      HRTIMER_MODE_REL);
	}
	mutex_unlock(&timer_mutex);
}

static int sim_appint_open(struct inode *inode, struct file *file)
{
	struct appint_file *f = kzalloc(sizeof(*f), GFP_KERNEL);

	if (!f)
		return -ENOMEM;
	spin_lock_irq(&event_lock);
	f->seen = events;
	spin_unlock_irq(&event_lock);
	file->private_data = f;
	return stream_open(inode, file);
}

static int sim_appint_release(struct inode *inode, struct file *file)
{
	struct appint_file *f = file->private_data;

	spin_lock_irq(&event_lock);
	atomic_sub(appint_parked(f), &waiting);
	spin_unlock_irq(&event_lock);
	kfree(f);
	return 0;
}

static ssize_t sim_appint_read(struct file *file, char __user *buf,
			       size_t count, loff_t *ppos)
{
	struct appint_file *f = file->private_data;
	int result = 0;
	int before;
	u64 start;

	if (!count)
		return 0;
	/*
	 * Find no event and show up in waiting in one step, so that a test
	 * that sees the reader waiting knows its next event ends the read.
	 */
	spin_lock_irq(&event_lock);
	if (!appint_pending(f)) {
		start = f->seen;
		before = appint_parked(f);
		f->blocked++;
		atomic_add(appint_parked(f) - before, &waiting);
		spin_unlock_irq(&event_lock);
		result = wait_event_interruptible(event_wait,
						  READ_ONCE(events) != start ||
						  READ_ONCE(immediate));
		spin_lock_irq(&event_lock);
		before = appint_parked(f);
		f->blocked--;
		atomic_add(appint_parked(f) - before, &waiting);
	}
	if (!result)
		appint_take(f);
	spin_unlock_irq(&event_lock);
	if (result)
		return result;
	/* Out of waiting before counted in reads, as the test relies on. */
	smp_mb__after_atomic();
	atomic_inc(&reads);
	if (atomic_xchg(&inject_eio, 0))
		return -EIO;
	if (atomic_xchg(&inject_short, 0))
		return put_user(0, buf) ? -EFAULT : 1;
	return 0;
}

static __poll_t sim_appint_poll(struct file *file, poll_table *wait)
{
	struct appint_file *f = file->private_data;
	__poll_t mask = 0;

	if (!READ_ONCE(pollable))
		return DEFAULT_POLLMASK;
	poll_wait(file, &event_wait, wait);
	spin_lock_irq(&event_lock);
	if (appint_pending(f)) {
		mask = EPOLLIN | EPOLLRDNORM;
	} else if (!f->parked) {
		int before = appint_parked(f);

		f->parked = true;
		atomic_add(appint_parked(f) - before, &waiting);
	}
	spin_unlock_irq(&event_lock);
	return mask;
}

static const struct file_operations sim_appint_fops = {
	.owner = THIS_MODULE,	/* no unload while a reader holds the device */
	.open = sim_appint_open,
	.release = sim_appint_release,
	.read = sim_appint_read,
	.poll = sim_appint_poll,
	.llseek = no_llseek,
};

static struct miscdevice sim_appint_dev = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "appint2",
	.fops = &sim_appint_fops,
};

static ssize_t trigger_write(struct file *file, const char __user *buf,
			     size_t count, loff_t *ppos)
{
	sim_appint_event(sim_phc_now());
	return count;
}

static const struct file_operations trigger_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.write = trigger_write,
	.llseek = no_llseek,
};

static ssize_t burst_write(struct file *file, const char __user *buf,
			   size_t count, loff_t *ppos)
{
	unsigned int n;
	int result = kstrtouint_from_user(buf, count, 0, &n);

	if (result)
		return result;
	if (n < 1 || n > BURST_MAX)
		return -EINVAL;
	/* A new burst replaces what is left of the one before. */
	mutex_lock(&timer_mutex);
	hrtimer_cancel(&burst_timer);
	sim_appint_event(sim_phc_now());
	burst_left = n - 1;
	if (burst_left)
		hrtimer_start(&burst_timer, ns_to_ktime(BURST_GAP_NS),
			      HRTIMER_MODE_REL);
	mutex_unlock(&timer_mutex);
	return count;
}

static const struct file_operations burst_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.write = burst_write,
	.llseek = no_llseek,
};

static int timer_get(void *data, u64 *val)
{
	*val = READ_ONCE(timer_on);
	return 0;
}

static int timer_set(void *data, u64 val)
{
	if (val > 1)
		return -EINVAL;
	mutex_lock(&timer_mutex);
	if (val && !timer_on)
		sim_appint_timer_start();
	else if (!val && timer_on)
		hrtimer_cancel(&pps_timer);
	WRITE_ONCE(timer_on, val);
	mutex_unlock(&timer_mutex);
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(timer_fops, timer_get, timer_set, "%llu\n");

/* Signed, which the simple attributes of 5.4 cannot parse. */
static ssize_t phase_read(struct file *file, char __user *buf, size_t count,
			  loff_t *ppos)
{
	char text[24];
	int len = scnprintf(text, sizeof(text), "%lld\n", READ_ONCE(phase_ns));

	return simple_read_from_buffer(buf, count, ppos, text, len);
}

static ssize_t phase_write(struct file *file, const char __user *buf,
			   size_t count, loff_t *ppos)
{
	s64 val;
	int result = kstrtoll_from_user(buf, count, 0, &val);

	if (result)
		return result;
	mutex_lock(&timer_mutex);
	WRITE_ONCE(phase_ns, val);
	if (timer_on) {
		hrtimer_cancel(&pps_timer);
		sim_appint_timer_start();
	}
	mutex_unlock(&timer_mutex);
	return count;
}

static const struct file_operations phase_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.read = phase_read,
	.write = phase_write,
	.llseek = no_llseek,
};

static int immediate_get(void *data, u64 *val)
{
	*val = READ_ONCE(immediate);
	return 0;
}

static int immediate_set(void *data, u64 val)
{
	if (val > 1)
		return -EINVAL;
	WRITE_ONCE(immediate, val);
	/* Blocked reads return too, as the readers asked now would. */
	wake_up_interruptible_all(&event_wait);
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(immediate_fops, immediate_get, immediate_set,
			 "%llu\n");

static int pollable_get(void *data, u64 *val)
{
	*val = READ_ONCE(pollable);
	return 0;
}

static int pollable_set(void *data, u64 val)
{
	if (val > 1)
		return -EINVAL;
	WRITE_ONCE(pollable, val);
	/* Waiting pollers ask again and get the new answer. */
	wake_up_interruptible_all(&event_wait);
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(pollable_fops, pollable_get, pollable_set, "%llu\n");

static int __init sim_appint_init(void)
{
	int result;

	hrtimer_init(&pps_timer, CLOCK_MONOTONIC, HRTIMER_MODE_REL);
	pps_timer.function = sim_appint_tick;
	hrtimer_init(&burst_timer, CLOCK_MONOTONIC, HRTIMER_MODE_REL);
	burst_timer.function = sim_appint_burst_tick;
	result = misc_register(&sim_appint_dev);
	if (result)
		return result;
	dir = debugfs_create_dir("sim_appint", NULL);
	debugfs_create_file("trigger", 0200, dir, NULL, &trigger_fops);
	debugfs_create_file("burst", 0200, dir, NULL, &burst_fops);
	debugfs_create_file_unsafe("timer", 0600, dir, NULL, &timer_fops);
	debugfs_create_file("phase_ns", 0600, dir, NULL, &phase_fops);
	debugfs_create_file_unsafe("immediate", 0600, dir, NULL,
				   &immediate_fops);
	debugfs_create_file_unsafe("pollable", 0600, dir, NULL,
				   &pollable_fops);
	debugfs_create_atomic_t("inject_eio", 0600, dir, &inject_eio);
	debugfs_create_atomic_t("inject_short", 0600, dir, &inject_short);
	debugfs_create_u64("events", 0400, dir, &events);
	debugfs_create_atomic_t("waiting", 0400, dir, &waiting);
	debugfs_create_atomic_t("reads", 0400, dir, &reads);
	debugfs_create_u64("last_event_ns", 0400, dir, &last_event_ns);
	timer_set(NULL, 1);
	sim_phc_set_notifier(sim_appint_phc_changed);
	return 0;
}

static void __exit sim_appint_exit(void)
{
	/* No knob can restart a timer once the folder is gone. */
	debugfs_remove_recursive(dir);
	sim_phc_set_notifier(NULL);
	hrtimer_cancel(&pps_timer);
	hrtimer_cancel(&burst_timer);
	misc_deregister(&sim_appint_dev);
}

module_init(sim_appint_init);
module_exit(sim_appint_exit);
MODULE_DESCRIPTION("Simulated PPS interrupt device /dev/appint2");
MODULE_LICENSE("GPL");

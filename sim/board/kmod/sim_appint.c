// SPDX-License-Identifier: GPL-2.0
/*
 * Stands in for the board's PPS interrupt device, /dev/appint2: a read
 * blocks until the next PPS event after it began, then returns 0 (no data).
 * Each event wakes every reader. Events come from a timer on each whole
 * second of CLOCK_REALTIME, or from debugfs.
 *
 * debugfs, /sys/kernel/debug/sim_appint/:
 *   trigger        write anything: one event now
 *   timer          0/1: the second-aligned timer off/on (on at load)
 *   inject_eio     nonzero: the next read that ends at an event fails
 *                  with EIO (once)
 *   inject_short   nonzero: the next read that ends at an event returns 1,
 *                  one zero byte (once)
 *   events         number of events so far
 *   waiting        number of readers blocked now
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
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/spinlock.h>
#include <linux/uaccess.h>
#include <linux/wait.h>

static DECLARE_WAIT_QUEUE_HEAD(event_wait);
/* Guards events and last_event_ns against each other and the readers. */
static DEFINE_SPINLOCK(event_lock);
static u64 events;
static u64 last_event_ns;
static atomic_t waiting = ATOMIC_INIT(0);
static atomic_t reads = ATOMIC_INIT(0);
static atomic_t inject_eio = ATOMIC_INIT(0);
static atomic_t inject_short = ATOMIC_INIT(0);

static struct hrtimer pps_timer;
static bool timer_on;
static DEFINE_MUTEX(timer_mutex);	/* serialises timer on/off */
static struct dentry *dir;

static void sim_appint_event(void)
{
	unsigned long flags;

	spin_lock_irqsave(&event_lock, flags);
	last_event_ns = ktime_get_real_ns();
	WRITE_ONCE(events, events + 1);
	spin_unlock_irqrestore(&event_lock, flags);
	wake_up_interruptible_all(&event_wait);
}

static enum hrtimer_restart sim_appint_tick(struct hrtimer *timer)
{
	sim_appint_event();
	/* Whole seconds on from a whole second keep the edge aligned. */
	hrtimer_forward_now(timer, ns_to_ktime(NSEC_PER_SEC));
	return HRTIMER_RESTART;
}

static void sim_appint_timer_start(void)
{
	u64 next = (div_u64(ktime_get_real_ns(), NSEC_PER_SEC) + 1) *
		   NSEC_PER_SEC;

	/* Absolute on CLOCK_REALTIME: follows the clock when it is set. */
	hrtimer_start(&pps_timer, ns_to_ktime(next), HRTIMER_MODE_ABS);
}

static ssize_t sim_appint_read(struct file *file, char __user *buf,
			       size_t count, loff_t *ppos)
{
	u64 start;
	int result;

	if (!count)
		return 0;
	/*
	 * Take the event count and show up in waiting in one step, so that a
	 * test that sees the reader waiting knows its next event ends the read.
	 */
	spin_lock_irq(&event_lock);
	start = events;
	atomic_inc(&waiting);
	spin_unlock_irq(&event_lock);
	result = wait_event_interruptible(event_wait,
					  READ_ONCE(events) != start);
	atomic_dec(&waiting);
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

static const struct file_operations sim_appint_fops = {
	.owner = THIS_MODULE,	/* no unload while a reader holds the device */
	.open = nonseekable_open,
	.read = sim_appint_read,
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
	sim_appint_event();
	return count;
}

static const struct file_operations trigger_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.write = trigger_write,
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

static int __init sim_appint_init(void)
{
	int result;

	hrtimer_init(&pps_timer, CLOCK_REALTIME, HRTIMER_MODE_ABS);
	pps_timer.function = sim_appint_tick;
	result = misc_register(&sim_appint_dev);
	if (result)
		return result;
	dir = debugfs_create_dir("sim_appint", NULL);
	debugfs_create_file("trigger", 0200, dir, NULL, &trigger_fops);
	debugfs_create_file_unsafe("timer", 0600, dir, NULL, &timer_fops);
	debugfs_create_atomic_t("inject_eio", 0600, dir, &inject_eio);
	debugfs_create_atomic_t("inject_short", 0600, dir, &inject_short);
	debugfs_create_u64("events", 0400, dir, &events);
	debugfs_create_atomic_t("waiting", 0400, dir, &waiting);
	debugfs_create_atomic_t("reads", 0400, dir, &reads);
	debugfs_create_u64("last_event_ns", 0400, dir, &last_event_ns);
	timer_set(NULL, 1);
	return 0;
}

static void __exit sim_appint_exit(void)
{
	/* No knob can restart the timer once the folder is gone. */
	debugfs_remove_recursive(dir);
	hrtimer_cancel(&pps_timer);
	misc_deregister(&sim_appint_dev);
}

module_init(sim_appint_init);
module_exit(sim_appint_exit);
MODULE_DESCRIPTION("Simulated PPS interrupt device /dev/appint2");
MODULE_LICENSE("GPL");

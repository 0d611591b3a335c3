// SPDX-License-Identifier: GPL-2.0
/*
 * Makes writes to one tty come out short, for testing how a writer copes
 * with a port that takes only part of what it is given, or nothing.
 *
 * debugfs, /sys/kernel/debug/sim_short_write/:
 *   tty     the tty whose writes are cut, by name (default ttyS2)
 *   limits  byte limits for the next writes to it, in order: writing
 *           "5 0 7" lets the next write take at most 5 bytes, the one
 *           after none at all (write() returns 0), the third 7. Reading
 *           shows the limits still to come.
 *   cut     writes cut so far
 *
 * A kprobe on the tty layer's write entry shortens the caller's write
 * before the line discipline sees it, so what the port sends is exactly what
 * write() reports.
 */
#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/kprobes.h>
#include <linux/module.h>
#include <linux/ptrace.h>
#include <linux/seq_file.h>
#include <linux/spinlock.h>
#include <linux/tty.h>
#include <linux/uaccess.h>

#include "sim_compat.h"

#define SIM_SHORT_WRITE_LIMITS	64

static char tty_name_buf[64] = "ttyS2";
static unsigned int limits[SIM_SHORT_WRITE_LIMITS];
static unsigned int head, queued;
static u64 cut;
static DEFINE_SPINLOCK(lock);		/* all of the above */
static struct dentry *dir;

static int sim_short_write_pre(struct kprobe *p, struct pt_regs *regs)
{
	struct tty_file_private *priv = sim_tty_write_file(regs)->private_data;
	unsigned long flags;

	spin_lock_irqsave(&lock, flags);
	if (queued && priv && priv->tty &&
	    !strcmp(priv->tty->name, tty_name_buf)) {
		sim_tty_write_limit(regs, limits[head]);
		head = (head + 1) % SIM_SHORT_WRITE_LIMITS;
		queued--;
		cut++;
	}
	spin_unlock_irqrestore(&lock, flags);
	return 0;
}

static struct kprobe probe = {
	.symbol_name = "tty_write",
	.pre_handler = sim_short_write_pre,
};

static ssize_t limits_write(struct file *file, const char __user *buf,
			    size_t count, loff_t *ppos)
{
	char text[256], *cursor, *word;
	unsigned long flags;
	unsigned int value;
	int ret = count;

	if (count >= sizeof(text))
		return -EINVAL;
	if (copy_from_user(text, buf, count))
		return -EFAULT;
	text[count] = '\0';
	cursor = text;
	spin_lock_irqsave(&lock, flags);
	while ((word = strsep(&cursor, " \t\n"))) {
		if (!*word)
			continue;
		if (kstrtouint(word, 0, &value) ||
		    queued == SIM_SHORT_WRITE_LIMITS) {
			ret = -EINVAL;
			break;
		}
		limits[(head + queued++) % SIM_SHORT_WRITE_LIMITS] = value;
	}
	spin_unlock_irqrestore(&lock, flags);
	return ret;
}

static int limits_show(struct seq_file *m, void *v)
{
	unsigned int snapshot[SIM_SHORT_WRITE_LIMITS], n, i;
	unsigned long flags;

	spin_lock_irqsave(&lock, flags);
	for (n = 0; n < queued; n++)
		snapshot[n] = limits[(head + n) % SIM_SHORT_WRITE_LIMITS];
	spin_unlock_irqrestore(&lock, flags);
	for (i = 0; i < n; i++)
		seq_printf(m, i ? " %u" : "%u", snapshot[i]);
	seq_putc(m, '\n');
	return 0;
}

static int limits_open(struct inode *inode, struct file *file)
{
	return single_open(file, limits_show, NULL);
}

static const struct file_operations limits_fops = {
	.owner = THIS_MODULE,
	.open = limits_open,
	.read = seq_read,
	.write = limits_write,
	.llseek = seq_lseek,
	.release = single_release,
};

static ssize_t tty_write_name(struct file *file, const char __user *buf,
			      size_t count, loff_t *ppos)
{
	char name[sizeof(tty_name_buf)];
	unsigned long flags;

	if (count >= sizeof(name))
		return -EINVAL;
	if (copy_from_user(name, buf, count))
		return -EFAULT;
	name[count] = '\0';
	spin_lock_irqsave(&lock, flags);
	strscpy(tty_name_buf, strim(name), sizeof(tty_name_buf));
	spin_unlock_irqrestore(&lock, flags);
	return count;
}

static const struct file_operations tty_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.write = tty_write_name,
};

static int cut_get(void *data, u64 *val)
{
	unsigned long flags;

	spin_lock_irqsave(&lock, flags);
	*val = cut;
	spin_unlock_irqrestore(&lock, flags);
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(cut_fops, cut_get, NULL, "%llu\n");

static int __init sim_short_write_init(void)
{
	int ret = register_kprobe(&probe);

	if (ret)
		return ret;
	dir = debugfs_create_dir("sim_short_write", NULL);
	debugfs_create_file("tty", 0200, dir, NULL, &tty_fops);
	debugfs_create_file("limits", 0600, dir, NULL, &limits_fops);
	debugfs_create_file_unsafe("cut", 0400, dir, NULL, &cut_fops);
	return 0;
}

static void __exit sim_short_write_exit(void)
{
	debugfs_remove_recursive(dir);
	unregister_kprobe(&probe);
}

module_init(sim_short_write_init);
module_exit(sim_short_write_exit);
MODULE_DESCRIPTION("Short writes on a chosen tty (test only)");
MODULE_LICENSE("GPL");

// SPDX-License-Identifier: GPL-2.0
/*
 * Life cycle of the kv_ptp module.
 *
 * Registers five identical character devices, /dev/kv_ptp0 to
 * /dev/kv_ptp4, whose only real operation is ioctl (kv_ptp_ioctl.c).
 * Nothing is kept per open file and no operation looks at the minor.
 */
#include <linux/cdev.h>
#include <linux/device.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/init.h>
#include <linux/kernel.h>
#include <linux/module.h>

#include "kv_ptp.h"
#include "kv_ptp_compat.h"
#include "kv_ptp_version.h"

#define KV_PTP_DESCRIPTION	"Dornvale PTP auxiliary driver"
#define KV_PTP_NOTICE \
	"PPS time query (0x123) and PTP/BTS/GPIO clock set-up (0x124) on /dev/kv_ptp0..4"
#define KV_PTP_DEVICE_COUNT	5
#define KV_PTP_FIRST_MINOR	0

/**
 * struct kv_ptp_dev_data_ty - one minor's device
 * @ptp_dev: the device node created for the minor
 * @cdev: the character device serving the minor
 */
struct kv_ptp_dev_data_ty {
	struct device *ptp_dev;
	struct cdev cdev;
};

static int major_number = -1;
static struct class *kv_ptp_class;
static struct kv_ptp_dev_data_ty kv_ptp_dev_data[KV_PTP_DEVICE_COUNT];

static int kv_ptp_open(struct inode *inode, struct file *file)
{
	return 0;
}

static int kv_ptp_release(struct inode *inode, struct file *file)
{
	return 0;
}

/* Nothing to read: end of file at once, buffer and offset untouched. */
static ssize_t kv_ptp_read(struct file *file, char __user *buf, size_t count,
			   loff_t *offset)
{
	return 0;
}

/*
 * Nothing can be written, and the buffer is not read. An error rather than
 * 0: writers retry a short write, and would spin for ever on 0.
 */
static ssize_t kv_ptp_write(struct file *file, const char __user *buf,
			    size_t count, loff_t *offset)
{
	return -EINVAL;
}

static const struct file_operations kv_ptp_fops = {
	.owner = THIS_MODULE,
	.read = kv_ptp_read,
	.write = kv_ptp_write,
	.unlocked_ioctl = kv_ptp_ioctl,
	.open = kv_ptp_open,
	.release = kv_ptp_release,
};

/**
 * __log_func - print a banner line at the kernel's default level
 * @level: level word shown in the header, "INFO"
 * @fmt: printf format of the message
 *
 * The header "kv_ptp [@level]: " and the message are two printk records.
 */
static __printf(2, 3) void __log_func(const char *level, const char *fmt, ...)
{
	va_list args;

	printk("%s [%s]: ", KV_PTP_NAME, level);
	va_start(args, fmt);
	vprintk(fmt, args);
	va_end(args);
}

/* The load steps that can fail, each with its own alert. */
enum kv_ptp_load_step {
	KV_PTP_STEP_REGION,
	KV_PTP_STEP_CLASS,
	KV_PTP_STEP_CDEV,
	KV_PTP_STEP_NODE,
};

/**
 * struct kv_ptp_load_failure - where the load failed
 * @step: the step that failed
 * @minor: the minor it was setting up (cdev and node steps)
 */
struct kv_ptp_load_failure {
	enum kv_ptp_load_step step;
	int minor;
};

/*
 * The alert for a failed load, printed once everything the load acquired
 * has been released.
 */
static void kv_ptp_alert_failure(const struct kv_ptp_load_failure *failure)
{
	switch (failure->step) {
	case KV_PTP_STEP_REGION:
		pr_alert("kv_ptp: Failed to allocate char device region, device=%s",
			 KV_PTP_NAME);
		break;
	case KV_PTP_STEP_CLASS:
		pr_alert("kv_ptp: Failed to register device class\n");
		break;
	case KV_PTP_STEP_CDEV:
		pr_alert("kv_ptp: Failed to add char device %s%d",
			 KV_PTP_NAME, failure->minor);
		break;
	case KV_PTP_STEP_NODE:
		pr_alert("kv_ptp: Failed to create device %s%d",
			 KV_PTP_NAME, failure->minor);
		break;
	}
}

/* The order in which kv_ptp_destroy_devices() removes nodes and cdevs. */
enum kv_ptp_destroy_order {
	/* a failed load: the nodes last to first, then the cdevs */
	KV_PTP_NODES_FIRST,
	/* the unload: minor by minor from 0, each one's node, then its cdev */
	KV_PTP_BY_MINOR,
};

/*
 * Removes the first @devices device nodes and the first @cdevs cdevs (both
 * counted from minor 0), in @order.
 */
static void kv_ptp_destroy_devices(int devices, int cdevs,
				   enum kv_ptp_destroy_order order)
{
	int i;

	if (order == KV_PTP_BY_MINOR) {
		for (i = 0; i < devices || i < cdevs; i++) {
			if (i < devices)
				device_destroy(kv_ptp_class,
					       MKDEV(major_number, i));
			if (i < cdevs)
				cdev_del(&kv_ptp_dev_data[i].cdev);
		}
		return;
	}
	for (i = devices - 1; i >= 0; i--)
		device_destroy(kv_ptp_class, MKDEV(major_number, i));
	for (i = 0; i < cdevs; i++)
		cdev_del(&kv_ptp_dev_data[i].cdev);
}

/*
 * Adds the cdev and creates the device node of each minor in turn. On
 * failure removes what it added and says in @failure which step failed.
 */
static int kv_ptp_create_devices(struct kv_ptp_load_failure *failure)
{
	int i;
	int result;

	for (i = 0; i < KV_PTP_DEVICE_COUNT; i++) {
		struct kv_ptp_dev_data_ty *data = &kv_ptp_dev_data[i];
		dev_t devno = MKDEV(major_number, i);

		failure->minor = i;
		cdev_init(&data->cdev, &kv_ptp_fops);
		data->cdev.owner = THIS_MODULE;
		result = cdev_add(&data->cdev, devno, 1);
		if (result < 0) {
			failure->step = KV_PTP_STEP_CDEV;
			goto err_destroy_devices;
		}

		data->ptp_dev = device_create(kv_ptp_class, NULL, devno, NULL,
					      "%s%d", KV_PTP_NAME, i);
		if (IS_ERR(data->ptp_dev)) {
			result = PTR_ERR(data->ptp_dev);
			failure->step = KV_PTP_STEP_NODE;
			goto err_del_cdev;
		}
	}
	return 0;

err_del_cdev:
	kv_ptp_destroy_devices(i, i + 1, KV_PTP_NODES_FIRST);
	return result;
err_destroy_devices:
	kv_ptp_destroy_devices(i, i, KV_PTP_NODES_FIRST);
	return result;
}

static int __init kv_ptp_init(void)
{
	struct kv_ptp_load_failure failure = { 0 };
	dev_t dev;
	int result;

	__log_func("INFO", "Loading %s - version %s module \n",
		   KV_PTP_DESCRIPTION, KV_PTP_VERSION);
	__log_func("INFO", "%s \n", KV_PTP_NOTICE);

	result = alloc_chrdev_region(&dev, KV_PTP_FIRST_MINOR,
				     KV_PTP_DEVICE_COUNT, KV_PTP_NAME);
	if (result < 0) {
		failure.step = KV_PTP_STEP_REGION;
		goto err_alert;
	}
	major_number = MAJOR(dev);
	pr_info("kv_ptp: Successfully allocate char device region for device %s",
		KV_PTP_NAME);

	kv_ptp_class = kv_ptp_class_create(KV_PTP_NAME);
	if (IS_ERR(kv_ptp_class)) {
		result = PTR_ERR(kv_ptp_class);
		failure.step = KV_PTP_STEP_CLASS;
		goto err_unregister_region;
	}
	pr_info("kv_ptp: Device class %s registered correctly\n", KV_PTP_NAME);

	result = kv_ptp_create_devices(&failure);
	if (result < 0)
		goto err_destroy_class;

	pr_info("kv_ptp: Devices created correctly\n");
	return 0;

err_destroy_class:
	class_destroy(kv_ptp_class);
err_unregister_region:
	unregister_chrdev_region(dev, KV_PTP_DEVICE_COUNT);
err_alert:
	kv_ptp_alert_failure(&failure);
	return result;
}

static void __exit kv_ptp_exit(void)
{
	__log_func("INFO", "Exiting %s - version %s module \n",
		   KV_PTP_DESCRIPTION, KV_PTP_VERSION);
	kv_ptp_destroy_devices(KV_PTP_DEVICE_COUNT, KV_PTP_DEVICE_COUNT,
			       KV_PTP_BY_MINOR);
	class_destroy(kv_ptp_class);
	unregister_chrdev_region(MKDEV(major_number, KV_PTP_FIRST_MINOR),
				 KV_PTP_DEVICE_COUNT);
}

module_init(kv_ptp_init);
module_exit(kv_ptp_exit);

MODULE_VERSION(KV_PTP_VERSION);
MODULE_DESCRIPTION(KV_PTP_DESCRIPTION);
MODULE_AUTHOR("Dornvale timing team");
MODULE_LICENSE("GPL");

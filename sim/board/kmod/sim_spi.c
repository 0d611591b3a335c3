// SPDX-License-Identifier: GPL-2.0
/*
 * Stands in for the board's two SPI buses and the PLL chip on each: software
 * SPI controllers for bus 0 and bus 1, each with one device at chip select 1
 * bound to spidev, so the real /dev/spidev0.1 and /dev/spidev1.1 appear.
 *
 * Behind each device sits a simulated PLL chip. It records every transfer
 * (length, speed, bits per word, mode, bytes, time) and decodes the chip's
 * framing into a register map: the first bit on the wire is the read/write
 * bit (0 = write), the next 7 bits the register number, then the data bytes,
 * which go to consecutive registers. Register 0x7F of every page selects the
 * page; a register's address is page * 128 + register. The chip has 16 pages,
 * addresses 0x000 to 0x7FF, like the host simulation's. Bus 0 (VKA, VKB) is
 * wired most significant bit first, bus 1 (VKC) least significant bit first,
 * so the chip on bus 1 takes the first bit of each byte on the wire as bit 0.
 * The controller puts a byte on the wire MSB first unless the device's mode
 * says SPI_LSB_FIRST.
 *
 * debugfs, /sys/kernel/debug/sim_spi/bus0/ and bus1/:
 *   transfers  one line per transfer: "len=2 speed=10000000 bits=8
 *              mode=0x0 ns=<monotonic> data=7f 02" (at most 32 bytes shown)
 *   registers  the registers written so far: "0x123 0x45" per line
 *   chip       counts: transfers, register writes, rejected writes (read
 *              commands, pages beyond the chip), failed and aborted
 *              transfers, log lines dropped (the log keeps 8192), the
 *              current page, and whether a slow transfer is under way
 *   clear      writing anything forgets transfers, registers and counts
 *   fail_next  writing N makes the N-th next transfer fail with -EIO
 *   delay_ms   a slow bus: each transfer takes this long. A signal that
 *              reaches the sender meanwhile cuts the transfer short, as a
 *              controller whose driver waits interruptibly would: the chip
 *              counts it as aborted and the ioctl fails with EINTR
 */
#include <linux/debugfs.h>
#include <linux/bitrev.h>
#include <linux/delay.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/spi/spi.h>
#include <linux/timekeeping.h>
#include <linux/vmalloc.h>

#define SIM_SPI_BUSES		2
#define SIM_SPI_CHIP_SELECT	1
#define SIM_SPI_LOG_SIZE	8192
#define SIM_SPI_LOG_BYTES	32
#define SIM_PLL_PAGE_REG	0x7F
#define SIM_PLL_PAGES		16
#define SIM_PLL_REGS		(SIM_PLL_PAGES * 128)

/* One recorded transfer. */
struct sim_spi_record {
	u64 ns;
	u32 len;
	u32 speed_hz;
	u32 mode;
	u8 bits;
	u8 data[SIM_SPI_LOG_BYTES];
};

/* A bus: its controller and device, and the PLL chip behind them. */
struct sim_spi_bus {
	int num;
	bool lsb_first;			/* how the chip is wired */
	struct platform_device *pdev;
	struct spi_controller *ctlr;
	struct spi_device *spi;
	struct mutex lock;		/* everything below */
	struct sim_spi_record *log;
	unsigned int logged;
	unsigned int transfers;
	unsigned int writes;
	unsigned int rejected;
	unsigned int failed;
	unsigned int aborted;
	unsigned int dropped;
	unsigned int fail_next;
	unsigned int delay_ms;		/* read without the lock */
	bool busy;			/* a slow transfer is under way */
	u8 page;
	u8 regs[SIM_PLL_REGS];
	DECLARE_BITMAP(written, SIM_PLL_REGS);
};

static struct sim_spi_bus buses[SIM_SPI_BUSES] = {
	{ .num = 0, .lsb_first = false },
	{ .num = 1, .lsb_first = true },
};

static struct dentry *dir;

/* The byte as the chip reads it off the wire. */
static u8 sim_pll_byte(struct sim_spi_bus *bus, u32 mode, u8 byte)
{
	bool wire_lsb_first = mode & SPI_LSB_FIRST;

	return wire_lsb_first != bus->lsb_first ? bitrev8(byte) : byte;
}

/*
 * Decodes one chip-select period. The command byte's first bit on the wire
 * is bit 7 of the byte as the chip reads it in MSB-first order; the register
 * number follows in the bus's bit order.
 */
static void sim_pll_decode(struct sim_spi_bus *bus, u32 mode, const u8 *tx,
			   unsigned int len)
{
	u8 wire = (mode & SPI_LSB_FIRST) ? bitrev8(tx[0]) : tx[0];
	unsigned int reg = wire & 0x7F, i;

	if (bus->lsb_first)
		reg = bitrev8(wire << 1);
	if (wire & 0x80) {		/* a read: the chip is only written */
		bus->rejected++;
		return;
	}
	for (i = 1; i < len; i++, reg++) {
		u8 value = sim_pll_byte(bus, mode, tx[i]);
		unsigned int address = bus->page * 128 + (reg & 0x7F);

		if ((reg & 0x7F) == SIM_PLL_PAGE_REG) {
			bus->page = value;
			continue;
		}
		if (bus->page >= SIM_PLL_PAGES) {
			bus->rejected++;
			continue;
		}
		bus->regs[address] = value;
		set_bit(address, bus->written);
		bus->writes++;
	}
}

static int sim_spi_transfer_one(struct spi_controller *ctlr,
				struct spi_device *spi,
				struct spi_transfer *xfer)
{
	struct sim_spi_bus *bus = spi_controller_get_devdata(ctlr);
	unsigned int delay_ms = READ_ONCE(bus->delay_ms);
	const u8 *tx = xfer->tx_buf;
	int ret = 0;

	if (delay_ms) {
		unsigned long left;

		WRITE_ONCE(bus->busy, true);
		left = msleep_interruptible(delay_ms);
		WRITE_ONCE(bus->busy, false);
		if (left) {
			mutex_lock(&bus->lock);
			bus->transfers++;
			bus->aborted++;
			mutex_unlock(&bus->lock);
			return -EINTR;
		}
	}
	mutex_lock(&bus->lock);
	bus->transfers++;
	if (bus->fail_next && --bus->fail_next == 0) {
		bus->failed++;
		ret = -EIO;
		goto out;
	}
	if (bus->logged == SIM_SPI_LOG_SIZE) {
		bus->dropped++;
	} else {
		struct sim_spi_record *rec = &bus->log[bus->logged++];

		rec->ns = ktime_get_ns();
		rec->len = xfer->len;
		rec->speed_hz = xfer->speed_hz;
		rec->mode = spi->mode;
		rec->bits = xfer->bits_per_word;
		memset(rec->data, 0, sizeof(rec->data));
		if (tx)
			memcpy(rec->data, tx, min_t(u32, xfer->len,
						    SIM_SPI_LOG_BYTES));
	}
	if (tx && xfer->len && xfer->bits_per_word == 8)
		sim_pll_decode(bus, spi->mode, tx, xfer->len);
	if (xfer->rx_buf)
		memset(xfer->rx_buf, 0, xfer->len);
out:
	mutex_unlock(&bus->lock);
	return ret;
}

/* transfers: a seq_file over the log, so a long log needs no big buffer. */
static void *transfers_start(struct seq_file *m, loff_t *pos)
{
	struct sim_spi_bus *bus = m->private;

	mutex_lock(&bus->lock);
	return *pos < bus->logged ? &bus->log[*pos] : NULL;
}

static void *transfers_next(struct seq_file *m, void *v, loff_t *pos)
{
	struct sim_spi_bus *bus = m->private;

	++*pos;
	return *pos < bus->logged ? &bus->log[*pos] : NULL;
}

static void transfers_stop(struct seq_file *m, void *v)
{
	struct sim_spi_bus *bus = m->private;

	mutex_unlock(&bus->lock);
}

static int transfers_show(struct seq_file *m, void *v)
{
	const struct sim_spi_record *rec = v;
	unsigned int i;

	seq_printf(m, "len=%u speed=%u bits=%u mode=0x%x ns=%llu data=",
		   rec->len, rec->speed_hz, rec->bits, rec->mode, rec->ns);
	for (i = 0; i < min_t(u32, rec->len, SIM_SPI_LOG_BYTES); i++)
		seq_printf(m, i ? " %02x" : "%02x", rec->data[i]);
	seq_putc(m, '\n');
	return 0;
}

static const struct seq_operations transfers_sops = {
	.start = transfers_start,
	.next = transfers_next,
	.stop = transfers_stop,
	.show = transfers_show,
};

static int transfers_open(struct inode *inode, struct file *file)
{
	int ret = seq_open(file, &transfers_sops);

	if (!ret)
		((struct seq_file *)file->private_data)->private =
			inode->i_private;
	return ret;
}

static const struct file_operations transfers_fops = {
	.owner = THIS_MODULE,
	.open = transfers_open,
	.read = seq_read,
	.llseek = seq_lseek,
	.release = seq_release,
};

static int registers_show(struct seq_file *m, void *v)
{
	struct sim_spi_bus *bus = m->private;
	unsigned int address;

	mutex_lock(&bus->lock);
	for_each_set_bit(address, bus->written, SIM_PLL_REGS)
		seq_printf(m, "0x%03x 0x%02x\n", address, bus->regs[address]);
	mutex_unlock(&bus->lock);
	return 0;
}
DEFINE_SHOW_ATTRIBUTE(registers);

static int chip_show(struct seq_file *m, void *v)
{
	struct sim_spi_bus *bus = m->private;

	mutex_lock(&bus->lock);
	seq_printf(m, "transfers=%u writes=%u rejected=%u failed=%u aborted=%u dropped=%u page=%u busy=%d\n",
		   bus->transfers, bus->writes, bus->rejected, bus->failed,
		   bus->aborted, bus->dropped, bus->page, READ_ONCE(bus->busy));
	mutex_unlock(&bus->lock);
	return 0;
}
DEFINE_SHOW_ATTRIBUTE(chip);

static ssize_t clear_write(struct file *file, const char __user *buf,
			   size_t count, loff_t *ppos)
{
	struct sim_spi_bus *bus = file->private_data;

	mutex_lock(&bus->lock);
	bus->logged = 0;
	bus->transfers = 0;
	bus->writes = 0;
	bus->rejected = 0;
	bus->failed = 0;
	bus->aborted = 0;
	bus->dropped = 0;
	bus->fail_next = 0;
	WRITE_ONCE(bus->delay_ms, 0);
	bus->page = 0;
	memset(bus->regs, 0, sizeof(bus->regs));
	bitmap_zero(bus->written, SIM_PLL_REGS);
	mutex_unlock(&bus->lock);
	return count;
}

static const struct file_operations clear_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.write = clear_write,
};

static int fail_next_set(void *data, u64 val)
{
	struct sim_spi_bus *bus = data;

	mutex_lock(&bus->lock);
	bus->fail_next = val;
	mutex_unlock(&bus->lock);
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(fail_next_fops, NULL, fail_next_set, "%llu\n");

static int delay_ms_set(void *data, u64 val)
{
	struct sim_spi_bus *bus = data;

	WRITE_ONCE(bus->delay_ms, min_t(u64, val, 10000));
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(delay_ms_fops, NULL, delay_ms_set, "%llu\n");

static void sim_spi_publish(struct sim_spi_bus *bus)
{
	char name[8];
	struct dentry *sub;

	snprintf(name, sizeof(name), "bus%d", bus->num);
	sub = debugfs_create_dir(name, dir);
	debugfs_create_file("transfers", 0400, sub, bus, &transfers_fops);
	debugfs_create_file("registers", 0400, sub, bus, &registers_fops);
	debugfs_create_file("chip", 0400, sub, bus, &chip_fops);
	debugfs_create_file("clear", 0200, sub, bus, &clear_fops);
	debugfs_create_file_unsafe("fail_next", 0200, sub, bus,
				   &fail_next_fops);
	debugfs_create_file_unsafe("delay_ms", 0200, sub, bus,
				   &delay_ms_fops);
}

static void sim_spi_bus_remove(struct sim_spi_bus *bus)
{
	if (bus->spi)
		spi_unregister_device(bus->spi);
	if (bus->ctlr)
		spi_unregister_controller(bus->ctlr);	/* drops it */
	platform_device_unregister(bus->pdev);
	vfree(bus->log);
}

/* Registers the bus's controller and adds the spidev device at CS 1. */
static int sim_spi_bus_add(struct sim_spi_bus *bus)
{
	struct spi_controller *ctlr;
	struct spi_device *spi;
	int ret;

	mutex_init(&bus->lock);
	bus->log = vzalloc(array_size(SIM_SPI_LOG_SIZE, sizeof(*bus->log)));
	if (!bus->log)
		return -ENOMEM;
	bus->pdev = platform_device_register_simple("sim_spi", bus->num,
						    NULL, 0);
	if (IS_ERR(bus->pdev)) {
		vfree(bus->log);
		return PTR_ERR(bus->pdev);
	}

	ctlr = spi_alloc_master(&bus->pdev->dev, 0);
	if (!ctlr) {
		ret = -ENOMEM;
		goto fail;
	}
	spi_controller_set_devdata(ctlr, bus);
	ctlr->bus_num = bus->num;
	ctlr->num_chipselect = SIM_SPI_CHIP_SELECT + 1;
	ctlr->mode_bits = SPI_CPOL | SPI_CPHA | SPI_CS_HIGH | SPI_LSB_FIRST;
	ctlr->bits_per_word_mask = SPI_BPW_RANGE_MASK(1, 32);
	ctlr->max_speed_hz = 50000000;
	ctlr->transfer_one = sim_spi_transfer_one;
	ret = spi_register_controller(ctlr);
	if (ret) {
		spi_controller_put(ctlr);
		goto fail;
	}
	bus->ctlr = ctlr;

	spi = spi_alloc_device(ctlr);
	if (!spi) {
		ret = -ENOMEM;
		goto fail;
	}
	spi->chip_select = SIM_SPI_CHIP_SELECT;
	spi->max_speed_hz = 25000000;
	spi->bits_per_word = 8;
	strscpy(spi->modalias, "sim-pll", sizeof(spi->modalias));
	spi->driver_override = kstrdup("spidev", GFP_KERNEL);
	ret = spi->driver_override ? spi_add_device(spi) : -ENOMEM;
	if (ret) {
		spi_dev_put(spi);	/* frees the override too */
		goto fail;
	}
	bus->spi = spi;
	return 0;
fail:
	sim_spi_bus_remove(bus);
	bus->ctlr = NULL;
	return ret;
}

static int __init sim_spi_init(void)
{
	int i, ret;

	for (i = 0; i < SIM_SPI_BUSES; i++) {
		ret = sim_spi_bus_add(&buses[i]);
		if (ret) {
			while (i--)
				sim_spi_bus_remove(&buses[i]);
			return ret;
		}
	}
	dir = debugfs_create_dir("sim_spi", NULL);
	for (i = 0; i < SIM_SPI_BUSES; i++)
		sim_spi_publish(&buses[i]);
	return 0;
}

static void __exit sim_spi_exit(void)
{
	int i;

	debugfs_remove_recursive(dir);
	for (i = 0; i < SIM_SPI_BUSES; i++)
		sim_spi_bus_remove(&buses[i]);
}

module_init(sim_spi_init);
module_exit(sim_spi_exit);
MODULE_DESCRIPTION("Simulated SPI buses 0 and 1 with a PLL chip on each (test only)");
MODULE_LICENSE("GPL");

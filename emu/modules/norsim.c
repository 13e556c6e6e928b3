// SPDX-License-Identifier: GPL-2.0-only
/*
 * norsim: a RAM-backed NOR flash for tests.  It behaves as NOR does where
 * software can tell: an erase sets a whole erase block to 0xFF and must name
 * whole blocks, and a write can only clear bits, so a write that was not
 * preceded by its erase leaves the AND of old and new bytes.
 *
 * It can also cut the power: writing k to the parameter cut_after tears the
 * k-th program or block erase from then on (a program stores only the first
 * half of its bytes, an erase sets only the first half of its block to 0xFF)
 * and freezes the flash after it: later operations report success and change
 * nothing, as a chip without power would.  Writing 0 turns the cut off; any
 * write restarts the count.  ops reads how many operations were counted since
 * (so a test sees whether a run ended before its cut), torn which operation
 * was torn.
 */
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mtd/mtd.h>
#include <linux/mutex.h>
#include <linux/vmalloc.h>

static unsigned int size_kib = 4096;
module_param(size_kib, uint, 0444);
MODULE_PARM_DESC(size_kib, "flash size in KiB");

static unsigned int erase_kib = 64;
module_param(erase_kib, uint, 0444);
MODULE_PARM_DESC(erase_kib, "erase block size in KiB");

static char *name = "norsim";
module_param(name, charp, 0444);
MODULE_PARM_DESC(name, "the MTD device's name (a board with NAND keeps only veeprom on NOR)");

static struct mtd_info flash;
static u8 *cells;

/*
 * The cut's state.  One lock serialises every operation, as a chip does, so
 * that the count and the frozen flash are exact even when UBI's background
 * thread and a user program work on the flash at once.
 */
static DEFINE_MUTEX(lock);
static unsigned int cut_after;
static unsigned int ops;
static bool frozen;
static char torn[64];

static int cut_set(const char *val, const struct kernel_param *kp)
{
	unsigned int k;
	int err = kstrtouint(val, 0, &k);

	if (err)
		return err;
	mutex_lock(&lock);
	cut_after = k;
	ops = 0;
	frozen = false;
	torn[0] = '\0';
	mutex_unlock(&lock);
	return 0;
}

static int cut_get(char *buf, const struct kernel_param *kp)
{
	return sysfs_emit(buf, "%u\n", cut_after);
}

static int ops_get(char *buf, const struct kernel_param *kp)
{
	return sysfs_emit(buf, "%u\n", READ_ONCE(ops));
}

static int torn_get(char *buf, const struct kernel_param *kp)
{
	int n;

	mutex_lock(&lock);
	n = sysfs_emit(buf, "%s\n", torn);
	mutex_unlock(&lock);
	return n;
}

static const struct kernel_param_ops cut_ops = { .set = cut_set, .get = cut_get };
static const struct kernel_param_ops ops_ops = { .get = ops_get };
static const struct kernel_param_ops torn_ops = { .get = torn_get };
module_param_cb(cut_after, &cut_ops, NULL, 0644);
MODULE_PARM_DESC(cut_after, "tear the k-th operation from now and freeze the flash after it (0: no cut)");
module_param_cb(ops, &ops_ops, NULL, 0444);
MODULE_PARM_DESC(ops, "program and block-erase operations since cut_after was written");
module_param_cb(torn, &torn_ops, NULL, 0444);
MODULE_PARM_DESC(torn, "the operation the cut tore, empty before the cut");

/*
 * Counts one operation (lock held) and says how much of it happens:
 * 2 all, 1 the first half (the cut), 0 nothing (after the cut).
 */
static int count_op(const char *what, loff_t at, size_t len)
{
	ops++;
	if (frozen)
		return 0;
	if (ops != cut_after)
		return 2;
	frozen = true;
	snprintf(torn, sizeof(torn), "%s 0x%llx+%zu", what, (unsigned long long)at, len);
	return 1;
}

static int norsim_erase(struct mtd_info *mtd, struct erase_info *instr)
{
	u64 at;

	/* The MTD core checks only the range; the chip checks alignment. */
	if (mtd_mod_by_eb(instr->addr, mtd) || mtd_mod_by_eb(instr->len, mtd)) {
		instr->fail_addr = MTD_FAIL_ADDR_UNKNOWN;
		return -EINVAL;
	}
	/* The chip erases block after block: each is one operation. */
	mutex_lock(&lock);
	for (at = instr->addr; at < instr->addr + instr->len; at += mtd->erasesize) {
		int part = count_op("erase", at, mtd->erasesize);

		if (part)
			memset(cells + at, 0xff, part == 2 ? mtd->erasesize : mtd->erasesize / 2);
	}
	mutex_unlock(&lock);
	return 0;
}

static int norsim_read(struct mtd_info *mtd, loff_t from, size_t len,
		       size_t *retlen, u_char *buf)
{
	memcpy(buf, cells + from, len);
	*retlen = len;
	return 0;
}

static int norsim_write(struct mtd_info *mtd, loff_t to, size_t len,
			size_t *retlen, const u_char *buf)
{
	size_t i, n;

	mutex_lock(&lock);
	n = count_op("program", to, len);
	n = n == 2 ? len : n == 1 ? len / 2 : 0;
	for (i = 0; i < n; i++)
		cells[to + i] &= buf[i];
	mutex_unlock(&lock);
	*retlen = len;
	return 0;
}

static int __init norsim_init(void)
{
	int err;

	if (!size_kib || !erase_kib || size_kib % erase_kib)
		return -EINVAL;
	cells = vmalloc(size_kib * 1024);
	if (!cells)
		return -ENOMEM;
	memset(cells, 0xff, size_kib * 1024);

	flash.name = name;
	flash.type = MTD_NORFLASH;
	flash.flags = MTD_CAP_NORFLASH;
	flash.size = (u64)size_kib * 1024;
	flash.erasesize = erase_kib * 1024;
	flash.writesize = 1;
	flash.writebufsize = 64; /* as CFI NOR chips report */
	flash.owner = THIS_MODULE;
	flash._erase = norsim_erase;
	flash._read = norsim_read;
	flash._write = norsim_write;

	err = mtd_device_register(&flash, NULL, 0);
	if (err)
		vfree(cells);
	return err;
}

static void __exit norsim_exit(void)
{
	mtd_device_unregister(&flash);
	vfree(cells);
}

module_init(norsim_init);
module_exit(norsim_exit);
MODULE_DESCRIPTION("RAM-backed NOR flash simulator for tests");
MODULE_LICENSE("GPL");

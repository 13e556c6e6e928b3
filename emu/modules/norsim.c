// SPDX-License-Identifier: GPL-2.0-only
/*
 * norsim: a RAM-backed NOR flash for tests.  It behaves as NOR does where
 * software can tell: an erase sets a whole erase block to 0xFF and must name
 * whole blocks, and a write can only clear bits, so a write that was not
 * preceded by its erase leaves the AND of old and new bytes.
 */
#include <linux/module.h>
#include <linux/mtd/mtd.h>
#include <linux/vmalloc.h>

static unsigned int size_kib = 4096;
module_param(size_kib, uint, 0444);
MODULE_PARM_DESC(size_kib, "flash size in KiB");

static unsigned int erase_kib = 64;
module_param(erase_kib, uint, 0444);
MODULE_PARM_DESC(erase_kib, "erase block size in KiB");

static struct mtd_info flash;
static u8 *cells;

static int norsim_erase(struct mtd_info *mtd, struct erase_info *instr)
{
	/* The MTD core checks only the range; the chip checks alignment. */
	if (mtd_mod_by_eb(instr->addr, mtd) || mtd_mod_by_eb(instr->len, mtd)) {
		instr->fail_addr = MTD_FAIL_ADDR_UNKNOWN;
		return -EINVAL;
	}
	memset(cells + instr->addr, 0xff, instr->len);
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
	size_t i;

	for (i = 0; i < len; i++)
		cells[to + i] &= buf[i];
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

	flash.name = "norsim";
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

// SPDX-License-Identifier: GPL-2.0-only
/*
 * socinfo: the board-information class a board's kernel provides, for tests.
 * /sys/class/socinfo/board_id and boot_mode read back as "<value>\n"; root
 * may write new values to play another board or boot medium.
 */
#include <linux/device.h>
#include <linux/module.h>
#include <linux/string.h>
#include <linux/version.h>

/* From 6.4 the class callbacks take a const class and the class no owner. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 4, 0)
#define SOCINFO_CONST const
#else
#define SOCINFO_CONST
#endif

static char board_id[64] = "301";
module_param_string(board_id, board_id, sizeof(board_id), 0444);
MODULE_PARM_DESC(board_id, "initial board id");

static char boot_mode[64] = "0";
module_param_string(boot_mode, boot_mode, sizeof(boot_mode), 0444);
MODULE_PARM_DESC(boot_mode, "initial boot medium: 1 UBI, 5 raw NOR, 0 eMMC");

static DEFINE_MUTEX(lock);

static ssize_t show_value(const char *value, char *buf)
{
	ssize_t n;

	mutex_lock(&lock);
	n = sysfs_emit(buf, "%s\n", value);
	mutex_unlock(&lock);
	return n;
}

/* Keeps the first line written, as `echo VALUE >` gives it. */
static ssize_t store_value(char *value, size_t size, const char *buf, size_t count)
{
	size_t n = strcspn(buf, "\n");

	if (n >= size)
		return -EINVAL;
	mutex_lock(&lock);
	memcpy(value, buf, n);
	value[n] = '\0';
	mutex_unlock(&lock);
	return count;
}

static ssize_t board_id_show(SOCINFO_CONST struct class *c, SOCINFO_CONST struct class_attribute *a, char *buf)
{
	return show_value(board_id, buf);
}

static ssize_t board_id_store(SOCINFO_CONST struct class *c, SOCINFO_CONST struct class_attribute *a,
			      const char *buf, size_t count)
{
	return store_value(board_id, sizeof(board_id), buf, count);
}

static ssize_t boot_mode_show(SOCINFO_CONST struct class *c, SOCINFO_CONST struct class_attribute *a, char *buf)
{
	return show_value(boot_mode, buf);
}

static ssize_t boot_mode_store(SOCINFO_CONST struct class *c, SOCINFO_CONST struct class_attribute *a,
			       const char *buf, size_t count)
{
	return store_value(boot_mode, sizeof(boot_mode), buf, count);
}

static CLASS_ATTR_RW(board_id);
static CLASS_ATTR_RW(boot_mode);

static struct attribute *socinfo_attrs[] = {
	&class_attr_board_id.attr,
	&class_attr_boot_mode.attr,
	NULL,
};
ATTRIBUTE_GROUPS(socinfo);

static struct class socinfo_class = {
	.name = "socinfo",
#if LINUX_VERSION_CODE < KERNEL_VERSION(6, 4, 0)
	.owner = THIS_MODULE,
#endif
	.class_groups = socinfo_groups,
};

static int __init socinfo_init(void)
{
	return class_register(&socinfo_class);
}

static void __exit socinfo_exit(void)
{
	class_unregister(&socinfo_class);
}

module_init(socinfo_init);
module_exit(socinfo_exit);
MODULE_DESCRIPTION("Board-information class for tests");
MODULE_LICENSE("GPL");

// SPDX-License-Identifier: MIT
/*
 * halfchange: a run of the flash-volume write that dies halfway.  It asks
 * for the atomic change of LEB 0 of /dev/ubi10_0 (2048 bytes, as the
 * library does), writes 100 of them and exits without the rest.  Built
 * static for the emulated board by tests/system/run.
 */
#include <fcntl.h>
#include <mtd/ubi-user.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(void)
{
	struct ubi_leb_change_req req;
	char part[100];
	int fd = open("/dev/ubi10_0", O_RDWR);

	if (fd < 0) {
		perror("halfchange: /dev/ubi10_0");
		return 1;
	}
	memset(&req, 0, sizeof req);
	req.lnum = 0;
	req.bytes = 2048;
	req.dtype = 3; /* UBI_UNKNOWN: the data's lifetime is not known */
	if (ioctl(fd, UBI_IOCEBCH, &req) < 0) {
		perror("halfchange: UBI_IOCEBCH");
		return 1;
	}
	memset(part, 'x', sizeof part);
	if (write(fd, part, sizeof part) != (ssize_t)sizeof part) {
		perror("halfchange: write");
		return 1;
	}
	return 0; /* the kernel closes the volume with 1948 bytes missing */
}

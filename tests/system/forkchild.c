// SPDX-License-Identifier: MIT
/*
 * forkchild: a client that opens the store and forks; the child changes the
 * address field and reads it back at once, the parent reads it after.  Fails
 * when a call fails or the child took a second or more.  Built static for the
 * emulated board by tests/system/run.
 */
#include "veeprom.h"

#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long ms(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

int main(void)
{
	const char address[4] = {10, 7, 7, 7};
	char back[4] = {0};
	int status = 1;
	pid_t child = veeprom_init() == 0 ? fork() : -1;

	if (child == 0) {
		long t0 = ms();
		int ok = veeprom_write(17, address, 4) == 0 && veeprom_read(17, back, 4) == 0 && memcmp(back, address, 4) == 0;

		long took = ms() - t0;

		printf("child %s in %ld ms\n", ok ? "wrote and read" : "failed", took);
		fflush(stdout); /* _exit flushes nothing */
		_exit(ok && took < 1000 ? 0 : 1);
	}
	if (child < 0 || waitpid(child, &status, 0) != child)
		return 1;
	memset(back, 0, sizeof back);
	return status == 0 && veeprom_read(17, back, 4) == 0 && memcmp(back, address, 4) == 0 ? 0 : 1;
}

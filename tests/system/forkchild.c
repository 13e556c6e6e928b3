// SPDX-License-Identifier: MIT
/*
 * forkchild: a client that opens the store, then forks; the child changes
 * the address field and reads it back at once, as a process of its own
 * would, and the parent reads it after.  Prints the child's time; fails
 * when either call fails or the child took a second or more.  Built static
 * for the emulated board by tests/system/run.
 */
#include "veeprom.h"

#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static const char address[4] = {10, 7, 7, 7};

static long ms_since(const struct timespec *t0)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return (t.tv_sec - t0->tv_sec) * 1000 + (t.tv_nsec - t0->tv_nsec) / 1000000;
}

int main(void)
{
	char back[4] = {0};
	struct timespec t0;
	int status = 1;
	pid_t child;

	if (veeprom_init() != 0) {
		fputs("forkchild: veeprom_init failed\n", stderr);
		return 1;
	}
	child = fork();
	if (child == 0) {
		int ok;
		long ms;

		clock_gettime(CLOCK_MONOTONIC, &t0);
		ok = veeprom_write(17, address, 4) == 0 && veeprom_read(17, back, 4) == 0 && memcmp(back, address, 4) == 0;
		ms = ms_since(&t0);
		veeprom_exit();
		printf("child %s in %ld ms\n", ok ? "wrote and read" : "failed", ms);
		_exit(ok && ms < 1000 ? 0 : 1);
	}
	if (child < 0 || waitpid(child, &status, 0) != child)
		return 1;
	memset(back, 0, sizeof back);
	if (veeprom_read(17, back, 4) != 0 || memcmp(back, address, 4) != 0) {
		fputs("forkchild: the parent does not read the child's change\n", stderr);
		status = 1;
	}
	veeprom_exit();
	return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

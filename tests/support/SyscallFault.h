#ifndef PELKO_TEST_SYSCALLFAULT_H
#define PELKO_TEST_SYSCALLFAULT_H

// Makes the kernel fail one system call on one descriptor with a chosen
// error number, for faults a plain file cannot produce (EBUSY from a sysfs
// write, EIO from a modem-status ioctl). Irreversible: use it only inside a
// child process (see runForked).
//
// From the call on, syscall `nr` (SYS_write, SYS_ioctl, ...) whose first
// argument is `fd` fails with `err`; with request >= 0 only when its second
// argument is that request. Returns false when the platform cannot do it.
bool failSyscallOn(long nr, int fd, int err, long request = -1);

// The descriptor number the next open() will get.
int nextDescriptor();

#endif

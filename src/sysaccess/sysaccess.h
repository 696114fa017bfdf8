// Guarded access to small files that live where others can write (OSD
// directories) or that the kernel makes (sysfs): no link followed in the
// last component, nothing waited on, one bounded read.
#pragma once

#include <sys/types.h>

#include <climits>
#include <cstddef>

// The one size of a buffer that holds a path, realpath's destination above
// all: PATH_MAX on Linux, spelt out so that every such buffer is the same.
constexpr int PATH_BUFFER_SIZE = 4096;
static_assert(PATH_BUFFER_SIZE >= PATH_MAX, "realpath needs PATH_MAX bytes");

// ReadSmallFile's results.
constexpr int SMALL_OK = 0;
constexpr int SMALL_MISSING = 1;      // no such file (or a component is no directory)
constexpr int SMALL_NOT_REGULAR = 2;  // a link, FIFO, device, directory...: never read
constexpr int SMALL_FAILED = 3;       // open or read failed otherwise
// One read of up to size bytes of the regular file path, relative to dirFd
// (AT_FDCWD for an absolute path). The last component is never followed
// when it is a link; nothing waits on a FIFO or a device. The byte count
// goes to *length; the buffer is neither cleared nor terminated.
int ReadSmallFile(int dirFd, const char *path, char *buffer, int size, int *length);
// The same for a file of the kernel's own trees (sysfs), where no device
// node or FIFO can stand: opened at once, checked to be a regular file once open.
int ReadKernelFile(int dirFd, const char *path, char *buffer, int size, int *length);

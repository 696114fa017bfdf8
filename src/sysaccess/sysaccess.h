// Guarded access to small system files and shell commands. Nothing is
// resolved, opened or run unless its text passes IsSafeString.
#pragma once

// Row stride of ExecSafeCmd's output array.
constexpr int CMD_ROW_SIZE = 256;

// 1 when every byte is alphanumeric, ' ', '-', '/' or '_' (empty string too).
int IsSafeString(const char *str);

// One read (isWrite 0) or one write of size bytes on the resolved filePath.
// Returns 0 on success (any byte count), 1 on failure. Never creates files.
int SafeFileOperation(const char *filePath, char *buffer, int size, int isWrite);

// Runs cmd through the shell; fills up to *stringHeight rows of cmdResult
// (stride CMD_ROW_SIZE, at most size-1 chars each, line feed removed) and
// stores the number of rows filled. Returns 0 when it ran, 1 otherwise.
int ExecSafeCmd(const char *cmd, char *cmdResult, int size, int *stringHeight);

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

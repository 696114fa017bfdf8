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

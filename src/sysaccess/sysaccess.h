// Guarded access to small system files and commands. Nothing is resolved,
// opened or run unless its text passes IsSafeString.
#pragma once

#include <sys/types.h>

#include <climits>
#include <cstddef>

// The one size of a buffer that holds a path, realpath's destination above
// all: PATH_MAX on Linux, spelt out so that every such buffer is the same.
constexpr int PATH_BUFFER_SIZE = 4096;
static_assert(PATH_BUFFER_SIZE >= PATH_MAX, "realpath needs PATH_MAX bytes");

// Row stride of ExecSafeCmd's output array.
constexpr int CMD_ROW_SIZE = 256;
// Room for a command's text and its words; longer commands are refused.
constexpr size_t CMD_TEXT_SIZE = 1024;
constexpr int CMD_WORDS_MAX = 16;
constexpr size_t CMD_CHUNK_SIZE = 512;

// Milliseconds a command may take from its start to its end: past them it
// and everything it started are killed. Defined in a file of its own, so
// that a test build can link a shorter one in its place.
extern const int CMD_DEADLINE_MS;

// 1 when every byte is alphanumeric, ' ', '-', '/' or '_' (empty string too).
int IsSafeString(const char *str);

// One read (isWrite 0) or one write of size bytes on the resolved filePath.
// Returns 0 on success (any byte count), 1 on failure. Never creates files.
int SafeFileOperation(const char *filePath, char *buffer, int size, int isWrite);

// One running command, owned by its caller from StartSafeCmd to EndSafeCmd.
struct CmdRun {
    const char *cmd;         // the caller's text, kept for the log
    pid_t pid;
    int out;                 // read end of its standard output, -1 once done
    int timedOut;            // 1 once the deadline has passed
    long long deadlineMs;    // on the monotonic clock
    size_t have;             // bytes in chunk
    size_t used;             // of them, bytes already handed out
    char chunk[CMD_CHUNK_SIZE];
};

// Starts cmd (both pointers required) without a shell: its words, split at
// blanks, are the program, found on PATH, and its arguments. Standard input
// is /dev/null, standard output a pipe to run, and it leads a process group
// of its own. 0 when it runs, or when the program is not installed (then it
// has no output); EndSafeCmd must follow. 1 when it was refused or could not
// be started (logged).
int StartSafeCmd(const char *cmd, CmdRun *run);

// The next line of output into row, cut as fgets cuts it (at most size-1
// characters; a longer line goes on in the next row), line feed removed.
// 1 with a row, 0 at the end of the output or at the deadline (row untouched).
int NextCmdLine(CmdRun *run, char *row, int size);

// Closes the pipe (unread output is dropped) and waits for the command until
// its deadline; past it kills its process group. Always reaps it. 0, or 1
// when the deadline passed ("cmd timeout:" logged).
int EndSafeCmd(CmdRun *run);

// Runs cmd through StartSafeCmd; fills up to *stringHeight rows of cmdResult
// (stride CMD_ROW_SIZE, at most size-1 chars each, line feed removed) and
// stores the number of rows filled. Returns 0 when it ran to its end, 1 when
// it was refused, could not start or passed its deadline.
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

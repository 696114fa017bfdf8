// WriteLog: one line per call, escaped, appended under flock, rotated past 4 MiB.
#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "bounded/bounded.h"

constexpr size_t LOG_LINE_SIZE = 1024;
// An escape takes four bytes for one: room for a whole line of 1023
// characters escaped and its "]\n", so that escaping never cuts a line.
constexpr size_t LOG_ESCAPED_SIZE = 4 * LOG_LINE_SIZE;

static int g_logSink = LOG_SINK_FILE;

void SetLogSink(int sink)
{
    g_logSink = sink;
}

// Notices go to stdout; flush so that they reach a pipe (journal) at once.
// Under the stderr sink they stay off stdout, which then carries a report.
static void Notice(const char *text)
{
    FILE *out = g_logSink == LOG_SINK_STDERR ? stderr : stdout;
    fputs(text, out);
    fputc('\n', out);
    fflush(out);
}

static const char *LevelTag(int level)
{
    switch (level) {
    case LOG_WARNING: return "[WARNING]";
    case LOG_ERROR: return "[ERROR]";
    case LOG_INFO: return "[INFO]";
    default: return "[DEBUG]";
    }
}

static int FormatHeader(char *line, int level)
{
    time_t now = time(nullptr);
    struct tm *local = localtime(&now);
    unsigned int tid = static_cast<unsigned int>(syscall(SYS_gettid));
    if (local == nullptr) {
        return snprintf_s(line, LOG_LINE_SIZE, LOG_LINE_SIZE - 1,
                          "[unknown system time ] [process(%u)][ERROR]", tid);
    }
    return snprintf_s(line, LOG_LINE_SIZE, LOG_LINE_SIZE - 1,
                      "[%04d-%02d-%02d %02d:%02d:%02d][process(%u)]%s[", local->tm_year + 1900,
                      local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min,
                      local->tm_sec, tid, LevelTag(level));
}

static void TrimLineEnds(char *line)
{
    size_t len = strlen(line);
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) {
        line[--len] = '\0';
    }
}

// The current log, opened for appending without following a link or waiting
// on a FIFO. /var/log may be writable by a group (Ubuntu): only a regular
// file of root's with no second name is written. -1 when there is none.
static int OpenCurrentLog(off_t *size)
{
    int fd = open(LOG_FILE_PATH, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 || st.st_nlink != 1) {
        (void)close(fd);
        return -1;
    }
    *size = st.st_size;
    return fd;
}

// Moves the current log to ".old". A directory or a link in the way is
// never removed (nor followed): the rotation fails instead.
static bool RotateLog(void)
{
    struct stat old;
    if (lstat(LOG_OLD_PATH, &old) == 0 &&
        (S_ISDIR(old.st_mode) || S_ISLNK(old.st_mode) || unlink(LOG_OLD_PATH) != 0)) {
        return false;
    }
    return rename(LOG_FILE_PATH, LOG_OLD_PATH) == 0;
}

// The current log, rotated first when it has grown past the limit. A failed
// rotation is noticed, and the line still goes to the current file: better
// a file over the limit than lines lost until someone clears the way.
static int OpenLogFile(void)
{
    off_t size = 0;
    int fd = OpenCurrentLog(&size);
    if (fd < 0 || size <= LOG_ROTATE_SIZE) {
        return fd;
    }
    if (!RotateLog()) {
        Notice("Open log file failed ");
        return fd;
    }
    (void)close(fd);
    return OpenCurrentLog(&size);
}

static ssize_t WriteAll(int fd, const char *text, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, text + done, len - done);
        if (n <= 0) {
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Writes the whole line, "]\n" included, under the lock, or nothing: a write
// that the file system cuts short (full, over quota) is taken back to the
// size found under the lock, so that no entry ever sticks to a fragment and
// the next one starts a line of its own. No stdio buffer either, which would
// try the rest of the line again at close.
static void AppendLine(int fd, const char *line)
{
    size_t expected = strlen(line);
    flock(fd, LOCK_EX);
    struct stat before;
    bool sized = fstat(fd, &before) == 0;
    ssize_t written = WriteAll(fd, line, expected);
    if (written < 0) {
        if (sized) {
            (void)ftruncate(fd, before.st_size);
        }
        // "writed": operators grep this text as it stands; do not correct it.
        printf("The Disk space is full, writed %d of %d \n", static_cast<int>(written), static_cast<int>(expected));
        fflush(stdout);
    }
    flock(fd, LOCK_UN);
    (void)close(fd);
}

// The header as it is, the message escaped (EscapeText): whatever a name
// from the file system holds, the entry stays one line of plain text.
static void EscapeMessage(const char *line, size_t headerLen, char *out, size_t outSize)
{
    (void)memcpy_s(out, outSize, line, headerLen);
    (void)EscapeText(line + headerLen, out + headerLen, outSize - headerLen);
}

void WriteLog(int level, const char *fmt, ...)
{
    if (g_logSink == LOG_SINK_NONE) {
        return;
    }
    if (fmt == nullptr) {
        Notice("fmt is null");
        return;
    }
    if (geteuid() != 0) {
        Notice("Cur user is not root, Unable to access the current log");
        return;
    }
    char line[LOG_LINE_SIZE];
    (void)memset_s(line, sizeof(line), 0, sizeof(line));
    if (FormatHeader(line, level) < 0) {
        printf("prepare data failed %d\n", -1);
        fflush(stdout);
        return;
    }
    size_t len = strlen(line);
    va_list args;
    va_start(args, fmt);
    int rc = vsnprintf_s(line + len, LOG_LINE_SIZE - len, LOG_LINE_SIZE - 1 - len, fmt, args);
    va_end(args);
    if (rc < 0) {
        Notice("The log info is invalid ");
        return;
    }
    TrimLineEnds(line);
    if (level == LOG_DEBUG && g_logSink != LOG_SINK_STDERR) {
        return;
    }
    char escaped[LOG_ESCAPED_SIZE];
    (void)memset_s(escaped, sizeof(escaped), 0, sizeof(escaped));
    EscapeMessage(line, len, escaped, sizeof(escaped));
    size_t used = strlen(escaped);
    (void)snprintf_s(escaped + used, sizeof(escaped) - used, sizeof(escaped) - used - 1, "]\n");
    if (g_logSink == LOG_SINK_STDERR) {
        fputs(escaped, stderr);
        return;
    }
    int fd = OpenLogFile();
    if (fd < 0) {
        Notice("Open log file failed ");
        return;
    }
    AppendLine(fd, escaped);
}

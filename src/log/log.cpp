// WriteLog: one line per call, appended under flock, rotated past 4 MiB.
#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "bounded/bounded.h"

constexpr size_t LOG_LINE_SIZE = 1024;

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

// Opens the current log for appending, rotating it first when it has grown
// past the limit. Null when the file cannot be had.
static FILE *OpenLogFile(void)
{
    FILE *fp = fopen(LOG_FILE_PATH, "a");
    if (fp == nullptr) {
        return nullptr;
    }
    if (ftell(fp) <= LOG_ROTATE_SIZE) {  // a failed ftell (-1) never rotates
        return fp;
    }
    fclose(fp);
    if (access(LOG_OLD_PATH, F_OK) == 0 && remove(LOG_OLD_PATH) != 0) {
        return nullptr;
    }
    if (rename(LOG_FILE_PATH, LOG_OLD_PATH) != 0) {
        return nullptr;
    }
    return fopen(LOG_FILE_PATH, "a");
}

// Writes the line and its "]\n" under the lock. The flush happens inside the
// lock so that the bytes reach the file before another writer's, and so that
// a full disk is noticed here rather than lost at fclose.
static void AppendLine(FILE *fp, const char *line)
{
    size_t expected = strlen(line) + 2;
    flock(fileno(fp), LOCK_EX);
    int written = fprintf(fp, "%s]\n", line);
    if (fflush(fp) != 0) {
        written = -1;
    }
    if (written < 0 || static_cast<size_t>(written) < expected) {
        printf("The Disk space is full, writed %d of %zu \n", written, expected);
        fflush(stdout);
    }
    flock(fileno(fp), LOCK_UN);
    fclose(fp);
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
    memset_s(line, sizeof(line), 0, sizeof(line));
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
    if (g_logSink == LOG_SINK_STDERR) {
        fprintf(stderr, "%s]\n", line);
        return;
    }
    if (level == LOG_DEBUG) {
        return;
    }
    FILE *fp = OpenLogFile();
    if (fp == nullptr) {
        Notice("Open log file failed ");
        return;
    }
    AppendLine(fp, line);
}

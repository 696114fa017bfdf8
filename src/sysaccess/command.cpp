// Shell commands after the filter, their output as fixed-stride rows.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "sysaccess/sysaccess.h"

// Reads up to *stringHeight lines into the rows; returns the count read.
static int ReadRows(FILE *pipe, char *cmdResult, int size, int rows)
{
    // A row never takes more than its stride, whatever the caller says:
    // a larger size would let one line run into the next row or past the end.
    int rowSize = size < CMD_ROW_SIZE ? size : CMD_ROW_SIZE;
    int n = 0;
    while (n < rows) {
        char *row = cmdResult + static_cast<size_t>(n) * CMD_ROW_SIZE;
        if (fgets(row, rowSize, pipe) == nullptr) {
            break;
        }
        char *lineFeed = strchr(row, '\n');
        if (lineFeed != nullptr) {
            *lineFeed = '\0';
        }
        ++n;
    }
    return n;
}

int ExecSafeCmd(const char *cmd, char *cmdResult, int size, int *stringHeight)
{
    if (cmdResult == nullptr || stringHeight == nullptr || cmd == nullptr) {
        WriteLog(LOG_ERROR, "point error, cmd:%p,cmdResult:%p,stringHeight:%p\n", static_cast<const void *>(cmd),
                 static_cast<void *>(cmdResult), static_cast<void *>(stringHeight));
        return 1;
    }
    if (IsSafeString(cmd) == 0) {
        WriteLog(LOG_WARNING, "reject dangerous cmd:\"%s\" \n", cmd);
        return 1;
    }
    WriteLog(LOG_DEBUG, "cmd:\"%s\" \n", cmd);
    FILE *pipe = popen(cmd, "r");
    if (pipe == nullptr) {
        WriteLog(LOG_ERROR, "popen error: %d\n", errno);
        return 1;
    }
    int filled = ReadRows(pipe, cmdResult, size, *stringHeight);
    *stringHeight = filled;
    // The exit status is of no interest: a failed command shows as no rows.
    (void)pclose(pipe);
    for (int i = 0; i < filled; ++i) {
        WriteLog(LOG_DEBUG, "Line%d:%s\n", i, cmdResult + static_cast<size_t>(i) * CMD_ROW_SIZE);
    }
    return 0;
}

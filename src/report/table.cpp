// The table for people: one aligned row per disk.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "bounded/bounded.h"
#include "log/log.h"
#include "report/report.h"

constexpr int COLUMNS = 11;
constexpr size_t CELL_SIZE = 256;
constexpr size_t LINE_SIZE = COLUMNS * (CELL_SIZE + 2);
// A JSON disk line with two names escaped at six bytes per byte still fits.
constexpr size_t EMIT_SIZE = 8192;

static const char *const kHeadings[COLUMNS] = {"DISK", "PARTITIONS", "OSD", "MATCH", "STORE", "DB",
                                               "ROT", "KERNEL", "WCE", "VERDICT", "ACTION"};

int32_t EmitText(const char *fmt, ...)
{
    char line[EMIT_SIZE];
    (void)memset_s(line, sizeof(line), 0, sizeof(line));
    va_list args;
    va_start(args, fmt);
    int rc = vsnprintf_s(line, sizeof(line), sizeof(line) - 1, fmt, args);
    va_end(args);
    if (rc < 0 || fputs(line, stdout) == EOF) {
        return 1;
    }
    return 0;
}

// Directory and group names may hold anything but '/': the cell shows them
// escaped as the log does, so that the terminal stays sane and every byte
// can be told (a name too long for the cell once escaped is cut).
static void Printable(char *cell)
{
    char raw[CELL_SIZE];
    (void)memcpy_s(raw, sizeof(raw), cell, CELL_SIZE);
    (void)EscapeText(raw, cell, CELL_SIZE);
}

// "sdc1,sdc2", cut with "..." when the list outgrows the cell.
static void PartitionCell(const char *disk, char *cell)
{
    size_t used = 0;
    for (const char *part = NextPartition(disk, nullptr); part != nullptr; part = NextPartition(disk, part)) {
        if (snprintf_s(cell + used, CELL_SIZE - used, CELL_SIZE - used - 1, "%s%s", used > 0 ? "," : "", part) < 0) {
            (void)snprintf_s(cell + CELL_SIZE - 4, 4, 3, "...");
            return;
        }
        used = strlen(cell);
    }
    if (used == 0) {
        (void)snprintf_s(cell, CELL_SIZE, CELL_SIZE - 1, "-");
    }
}

static const char *ActionText(const DiskRow *row)
{
    switch (RowAction(row)) {
    case ACTION_SWITCH: return "would switch";
    case ACTION_RESCAN: return "would rescan";
    default: return row->rule == TARGET_SELECTED && row->nodeOpen != 1 ? "cannot open" : "-";
    }
}

static void FillCell(const DiskRow *row, int column, char *cell)
{
    bool osd = row->match.osdDir[0] != '\0';
    bool tied = row->separateDb >= 0;
    const char *db = row->separateDb < 0 ? "-" : (row->separateDb == 1 ? "separate" : "same");
    const char *wce = row->driveWce < 0 ? "?" : (row->driveWce == 1 ? "1" : "0");
    switch (column) {
    case 0: (void)snprintf_s(cell, CELL_SIZE, CELL_SIZE - 1, "%s", row->name); break;
    case 1: PartitionCell(row->name, cell); break;
    case 2: (void)snprintf_s(cell, CELL_SIZE, CELL_SIZE - 1, "%s", osd ? row->match.osdDir : "-"); break;
    case 3: (void)snprintf_s(cell, CELL_SIZE, CELL_SIZE - 1, "%s", osd ? row->match.how : "-"); break;
    case 4: (void)snprintf_s(cell, CELL_SIZE, CELL_SIZE - 1, "%s", tied ? ObjectStoreText(row->osdType) : "-"); break;
    case 5: (void)snprintf_s(cell, CELL_SIZE, CELL_SIZE - 1, "%s", db); break;
    case 6: (void)snprintf_s(cell, CELL_SIZE, CELL_SIZE - 1, "%s", row->rotational == 1 ? "yes" : "no"); break;
    case 7: (void)snprintf_s(cell, CELL_SIZE, CELL_SIZE - 1, "%s", KernelText(row->kernel)); break;
    case 8: (void)snprintf_s(cell, CELL_SIZE, CELL_SIZE - 1, "%s", wce); break;
    case 9: (void)snprintf_s(cell, CELL_SIZE, CELL_SIZE - 1, "%s", RowVerdict(row)); break;
    default: (void)snprintf_s(cell, CELL_SIZE, CELL_SIZE - 1, "%s", ActionText(row)); break;
    }
    Printable(cell);
}

// The cells of one line: the headings for row -1.
static void FillLine(const Report *report, int32_t row, char cells[COLUMNS][CELL_SIZE])
{
    for (int column = 0; column < COLUMNS; ++column) {
        (void)memset_s(cells[column], CELL_SIZE, 0, CELL_SIZE);
        if (row < 0) {
            (void)snprintf_s(cells[column], CELL_SIZE, CELL_SIZE - 1, "%s", kHeadings[column]);
        } else {
            FillCell(&report->rows[row], column, cells[column]);
        }
    }
}

// Cells padded to their column's width, two spaces apart, no trailing blanks.
static int32_t EmitLine(char cells[COLUMNS][CELL_SIZE], const size_t *widths)
{
    char line[LINE_SIZE];
    (void)memset_s(line, sizeof(line), 0, sizeof(line));
    size_t used = 0;
    for (int column = 0; column < COLUMNS; ++column) {
        size_t len = strlen(cells[column]);
        (void)memcpy_s(line + used, sizeof(line) - used, cells[column], len);
        used += len;
        for (size_t pad = len; column + 1 < COLUMNS && pad < widths[column] + 2; ++pad) {
            line[used++] = ' ';
        }
    }
    return EmitText("%s\n", line);
}

int32_t PrintTable(const Report *report)
{
    char cells[COLUMNS][CELL_SIZE];
    size_t widths[COLUMNS] = {};
    for (int32_t row = -1; row < report->count; ++row) {
        FillLine(report, row, cells);
        for (int column = 0; column < COLUMNS; ++column) {
            size_t len = strlen(cells[column]);
            widths[column] = len > widths[column] ? len : widths[column];
        }
    }
    int32_t rc = 0;
    for (int32_t row = -1; row < report->count && rc == 0; ++row) {
        FillLine(report, row, cells);
        rc = EmitLine(cells, widths);
    }
    return rc;
}

// The table for people: one aligned row per disk.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "bounded/bounded.h"
#include "log/log.h"
#include "report/report.h"

// The columns, left to right; HEADINGS and FillCell go by these names.
enum Column {
    COL_DISK,
    COL_PARTITIONS,
    COL_OSD,
    COL_MATCH,
    COL_STORE,
    COL_DB,
    COL_ROT,
    COL_KERNEL,
    COL_WCE,
    COL_VERDICT,
    COL_ACTION,
    COLUMNS
};
constexpr size_t CELL_SIZE = 256;
constexpr size_t LINE_SIZE = COLUMNS * (CELL_SIZE + 2);
// A JSON disk line with two names escaped at six bytes per byte still fits.
constexpr size_t EMIT_SIZE = 8192;

static const char *const HEADINGS[] = {"DISK", "PARTITIONS", "OSD", "MATCH", "STORE", "DB",
                                       "ROT",  "KERNEL",     "WCE", "VERDICT", "ACTION"};
static_assert(sizeof(HEADINGS) / sizeof(HEADINGS[0]) == COLUMNS, "one heading per column, in Column order");

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

// Whether block.db lies elsewhere; "none" rather than "same" for an OSD
// without one, which would read as a database beside the data.
static const char *DbCell(const DiskRow *row)
{
    if (row->separateDb < 0) {
        return "-";
    }
    if (row->separateDb == 1) {
        return row->db == DB_DOUBT ? "doubt" : "separate";
    }
    return row->db == DB_NONE ? "none" : "same";
}

static void FillCell(const DiskRow *row, int column, char *cell)
{
    bool osd = row->osdDir[0] != '\0';
    bool tied = row->separateDb >= 0;
    const char *text = "-";
    switch (column) {
    case COL_DISK: text = row->name; break;
    case COL_PARTITIONS: PartitionCell(row->name, cell); text = nullptr; break;
    case COL_OSD: text = osd ? row->osdDir : "-"; break;
    case COL_MATCH: text = osd ? row->how : "-"; break;
    case COL_STORE: text = tied ? ObjectStoreText(row->osdType) : "-"; break;
    case COL_DB: text = DbCell(row); break;
    case COL_ROT: text = row->rotational == 1 ? "yes" : "no"; break;
    case COL_KERNEL: text = KernelText(row->kernel); break;
    case COL_WCE: text = row->driveWce < 0 ? "?" : (row->driveWce == 1 ? "1" : "0"); break;
    case COL_VERDICT: text = RowVerdict(row); break;
    default: text = ActionText(row); break;
    }
    if (text != nullptr) {
        (void)snprintf_s(cell, CELL_SIZE, CELL_SIZE - 1, "%s", text);
    }
    Printable(cell);
}

// The cells of one line: the headings for row -1.
static void FillLine(const Report *report, int32_t row, char cells[COLUMNS][CELL_SIZE])
{
    for (int column = 0; column < COLUMNS; ++column) {
        (void)memset_s(cells[column], CELL_SIZE, 0, CELL_SIZE);
        if (row < 0) {
            (void)snprintf_s(cells[column], CELL_SIZE, CELL_SIZE - 1, "%s", HEADINGS[column]);
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

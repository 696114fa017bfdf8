// The report for machines: JSON for scripts, and node_exporter's textfile
// format so that a fleet can alert on a data disk whose cache is still on.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "bounded/bounded.h"
#include "log/log.h"
#include "report/report.h"
#include "wcache/wcache.h"

// Escaped text of a name of at most 255 bytes: six bytes per byte at worst.
constexpr size_t ESCAPED_SIZE = 1600;

struct Escaped {
    char text[ESCAPED_SIZE];
};

// A JSON string with its quotes (EscapeJson); "null" for a missing value.
static void JsonString(const char *value, Escaped *out)
{
    (void)memset_s(out->text, sizeof(out->text), 0, sizeof(out->text));
    if (value == nullptr) {
        (void)snprintf_s(out->text, sizeof(out->text), sizeof(out->text) - 1, "null");
        return;
    }
    out->text[0] = '"';
    (void)EscapeJson(value, out->text + 1, sizeof(out->text) - 2);
    out->text[strlen(out->text)] = '"';
}

// A label value of the exposition format (EscapeLabel): it reads as the
// log and the table show the name.
static void LabelValue(const char *value, Escaped *out)
{
    (void)memset_s(out->text, sizeof(out->text), 0, sizeof(out->text));
    (void)EscapeLabel(value, out->text, sizeof(out->text));
}

static const char *JsonAction(int action)
{
    switch (action) {
    case ACTION_SWITCH: return "switch";
    case ACTION_RESCAN: return "rescan";
    default: return "none";
    }
}

static int32_t JsonPartitions(const char *disk)
{
    int32_t rc = EmitText("[");
    const char *separator = "";
    for (const char *part = NextPartition(disk, nullptr); part != nullptr && rc == 0;
         part = NextPartition(disk, part)) {
        rc = EmitText("%s\"%s\"", separator, part);
        separator = ", ";
    }
    return rc != 0 ? rc : EmitText("]");
}

static int32_t JsonDisk(const DiskRow *row, bool last)
{
    bool osd = row->osdDir[0] != '\0';
    bool tied = row->separateDb >= 0;
    Escaped osdDir;
    Escaped match;
    JsonString(osd ? row->osdDir : nullptr, &osdDir);
    JsonString(osd ? row->how : nullptr, &match);
    char wce[8];
    (void)memset_s(wce, sizeof(wce), 0, sizeof(wce));
    (void)snprintf_s(wce, sizeof(wce), sizeof(wce) - 1, "%d", row->driveWce);
    if (EmitText("    {\"name\": \"%s\", \"partitions\": ", row->name) != 0 || JsonPartitions(row->name) != 0) {
        return 1;
    }
    return EmitText(", \"osd\": %s, \"match\": %s, \"objectStore\": %s%s%s, \"separateDb\": %s, "
                    "\"rotational\": %s, \"kernelWriteCache\": \"%s\", \"driveWce\": %s, "
                    "\"target\": %s, \"verdict\": \"%s\", \"action\": \"%s\"}%s\n",
                    osdDir.text, match.text, tied ? "\"" : "", tied ? ObjectStoreText(row->osdType) : "null",
                    tied ? "\"" : "", row->separateDb < 0 ? "null" : (row->separateDb == 1 ? "true" : "false"),
                    row->rotational == 1 ? "true" : "false", KernelText(row->kernel),
                    row->driveWce < 0 ? "null" : wce, row->rule == TARGET_SELECTED ? "true" : "false",
                    RowVerdict(row), JsonAction(RowAction(row)), last ? "" : ",");
}

int32_t PrintJson(const Report *report)
{
    if (EmitText("{\n  \"disks\": [\n") != 0) {
        return 1;
    }
    for (int32_t i = 0; i < report->count; ++i) {
        if (JsonDisk(&report->rows[i], i + 1 == report->count) != 0) {
            return 1;
        }
    }
    return EmitText("  ]\n}\n");
}

struct Gauge {
    const char *name;
    const char *help;
};

// The gauges in the order GAUGES lists them; GaugeValue goes by these names.
enum GaugeKind { GAUGE_DRIVE_WCE, GAUGE_KERNEL_VIEW, GAUGE_TARGET, GAUGE_COUNT };

static const Gauge GAUGES[] = {
    {"ceph_zarvel_drive_write_cache",
     "Drive write cache (WCE of the Caching mode page): 1 on, 0 off, -1 unreadable."},
    {"ceph_zarvel_kernel_write_cache",
     "Kernel view of the write cache (queue/write_cache): 1 write back, 0 write through, -1 unknown."},
    {"ceph_zarvel_target",
     "1 when the disk is a rotational data disk of a BlueStore OSD with block.db on another device."},
};
static_assert(sizeof(GAUGES) / sizeof(GAUGES[0]) == GAUGE_COUNT, "one gauge per GaugeKind, in its order");

static int GaugeValue(const DiskRow *row, int gauge)
{
    switch (gauge) {
    case GAUGE_DRIVE_WCE: return row->driveWce;
    case GAUGE_KERNEL_VIEW: return row->kernel == KERNEL_WC_BACK ? 1 : (row->kernel == KERNEL_WC_THROUGH ? 0 : -1);
    default: return row->rule == TARGET_SELECTED ? 1 : 0;
    }
}

// One series per disk that says how it was tied and what the verdict is;
// kept apart from the gauges so that a changed verdict never splits their
// series.
static int32_t PrintDiskInfo(const Report *report)
{
    const char *name = "ceph_zarvel_disk_info";
    if (EmitText("# HELP %s How the disk is tied to an OSD, and the verdict on it; always 1.\n# TYPE %s gauge\n",
                 name, name) != 0) {
        return 1;
    }
    Escaped osd;
    Escaped match;
    for (int32_t i = 0; i < report->count; ++i) {
        const DiskRow *row = &report->rows[i];
        LabelValue(row->osdDir, &osd);
        LabelValue(row->how, &match);
        if (EmitText("%s{disk=\"%s\",osd=\"%s\",match=\"%s\",verdict=\"%s\"} 1\n", name, row->name, osd.text,
                     match.text, RowVerdict(row)) != 0) {
            return 1;
        }
    }
    return 0;
}

int32_t PrintPrometheus(const Report *report)
{
    Escaped osd;
    int gauge = 0;
    for (const Gauge &g : GAUGES) {
        if (EmitText("# HELP %s %s\n# TYPE %s gauge\n", g.name, g.help, g.name) != 0) {
            return 1;
        }
        for (int32_t i = 0; i < report->count; ++i) {
            const DiskRow *row = &report->rows[i];
            LabelValue(row->osdDir, &osd);
            if (EmitText("%s{disk=\"%s\",osd=\"%s\"} %d\n", g.name, row->name, osd.text, GaugeValue(row, gauge)) != 0) {
                return 1;
            }
        }
        ++gauge;
    }
    if (PrintDiskInfo(report) != 0) {
        return 1;
    }
    // The time of this run: the last values stay in the collector's file when
    // a run fails or stops coming, and survive a reboot, so an alert needs
    // to see their age.
    const char *stamp = "ceph_zarvel_report_timestamp_seconds";
    return EmitText("# HELP %s When ceph-zarvel-report wrote these values (Unix time).\n# TYPE %s gauge\n%s %lld\n",
                    stamp, stamp, stamp, static_cast<long long>(time(nullptr)));
}

// ceph-zarvel-report: which disks the daemon switches, and why (not). It runs
// the daemon's own inventory and selection once, reads each drive's Caching
// page, and changes nothing: no log file, no MODE SELECT, no rescan.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "report/report.h"

constexpr int EXIT_ALL_OFF = 0;
constexpr int EXIT_CACHE_ON = 1;
constexpr int EXIT_TROUBLE = 2;

enum OutputFormat { FORMAT_TABLE, FORMAT_JSON, FORMAT_PROMETHEUS };

struct Options {
    OutputFormat format;
    bool verbose;
    bool help;
};

static const char USAGE[] =
    "usage: ceph-zarvel-report [--json | --prometheus] [--verbose]\n"
    "Shows every sd disk, the OSD it serves and whether the ceph-zarvel daemon\n"
    "switches its write cache off; changes nothing. Exit status: 0 every target\n"
    "disk has its cache off, 1 some target's cache is on or unreadable, 2 error.\n";

// False on an unknown argument or two formats.
static bool ParseOptions(int argc, char **argv, Options *options)
{
    options->format = FORMAT_TABLE;
    options->verbose = false;
    options->help = false;
    bool formatSet = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (strcmp(arg, "--verbose") == 0 || strcmp(arg, "-v") == 0) {
            options->verbose = true;
        } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            options->help = true;
        } else if (!formatSet && strcmp(arg, "--json") == 0) {
            options->format = FORMAT_JSON;
            formatSet = true;
        } else if (!formatSet && strcmp(arg, "--prometheus") == 0) {
            options->format = FORMAT_PROMETHEUS;
            formatSet = true;
        } else {
            return false;
        }
    }
    return true;
}

static int32_t Print(const Report *report, OutputFormat format)
{
    switch (format) {
    case FORMAT_JSON: return PrintJson(report);
    case FORMAT_PROMETHEUS: return PrintPrometheus(report);
    default: return PrintTable(report);
    }
}

static int ExitStatus(const Report *report)
{
    for (int32_t i = 0; i < report->count; ++i) {
        if (RowCacheStillOn(&report->rows[i]) == 1) {
            return EXIT_CACHE_ON;
        }
    }
    return EXIT_ALL_OFF;
}

int main(int argc, char **argv)
{
    // Before anything can log: the daemon's log file is the daemon's alone.
    SetLogSink(LOG_SINK_NONE);
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fputs(USAGE, stderr);
        return EXIT_TROUBLE;
    }
    if (options.help) {
        fputs(USAGE, stdout);
        return EXIT_ALL_OFF;
    }
    if (options.verbose) {
        SetLogSink(LOG_SINK_STDERR);
    }
    if (geteuid() != 0) {
        fputs("ceph-zarvel-report: must run as root (it reads drives' mode pages)\n", stderr);
        return EXIT_TROUBLE;
    }
    Report report;
    if (CollectReport(&report) != 0) {
        fputs("ceph-zarvel-report: the inventory refresh failed\n", stderr);
        return EXIT_TROUBLE;
    }
    int status = ExitStatus(&report);
    if (Print(&report, options.format) != 0 || fflush(stdout) != 0) {
        fputs("ceph-zarvel-report: could not write the report\n", stderr);
        status = EXIT_TROUBLE;
    }
    FreeReport(&report);
    return status;
}

// Interposes open/close/ioctl/write/read so that /dev/sd* nodes with a drive
// file under /var/lib/zarvel-sandbox/drives behave as disks behind the sd
// driver: SG_IO and HDIO_SET_WCACHE reach the drive model, and writing "1" to
// /sys/block/<disk>/device/rescan refreshes queue/write_cache from the WCE,
// as the kernel does. Every command is appended to drives/<disk>.cmds in hex.
// A drive file with "same=sdb" is a second path to the drive of sdb.
// Reading a served node (a drive's, or any /dev/<name> with a file in media/)
// returns the device's first bytes: media/<name>, zeros beyond (a blank disk).
// Opened O_DIRECT, a served node is a copy of its media file padded with
// zeros (or /dev/zero) for real,
// so that io_uring reads it; with media/<name>.hang it is a FIFO that never
// gives a byte, and a plain read of it waits for good.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "drive_model.h"

namespace {

const std::string kDrives = "/var/lib/zarvel-sandbox/drives/";
const std::string kMedia = "/var/lib/zarvel-sandbox/media/";

template <typename F>
F Real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

std::map<int, std::string> &DiskFds() { static std::map<int, std::string> m; return m; }
std::map<int, std::string> &RescanFds() { static std::map<int, std::string> m; return m; }
std::map<int, std::string> &MediaFds() { static std::map<int, std::string> m; return m; }
std::map<int, std::string> &DirectFds() { static std::map<int, std::string> m; return m; }
unsigned g_lastTimeout = 0;

std::string Slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Spill(const std::string &path, const std::string &text, bool append)
{
    std::ofstream out(path, append ? std::ios::app : std::ios::trunc);
    out << text;
}

bool HasDrive(const std::string &disk)
{
    return access((kDrives + disk).c_str(), F_OK) == 0;
}

// "/dev/sdc2" -> "sdc" when that disk has a drive file; "" otherwise.
std::string DiskOfNode(const char *path)
{
    if (path == nullptr || strncmp(path, "/dev/sd", 7) != 0) {
        return "";
    }
    std::string name = path + 5;
    size_t letters = name.find_first_not_of("abcdefghijklmnopqrstuvwxyz", 2);
    std::string disk = name.substr(0, letters);
    if (disk.size() < 3 || name.find_first_not_of("0123456789", disk.size()) != std::string::npos) {
        return "";
    }
    return HasDrive(disk) ? disk : "";
}

std::string DiskOfRescan(const char *path)
{
    const char *prefix = "/sys/block/", *suffix = "/device/rescan";
    std::string p = path != nullptr ? path : "";
    if (p.rfind(prefix, 0) != 0 || p.size() <= strlen(prefix) + strlen(suffix) ||
        p.compare(p.size() - strlen(suffix), std::string::npos, suffix) != 0) {
        return "";
    }
    std::string disk = p.substr(strlen(prefix), p.size() - strlen(prefix) - strlen(suffix));
    return HasDrive(disk) ? disk : "";
}

// The drive behind disk: its own, or the one it is a second path to.
std::string DriveOf(const std::string &disk)
{
    std::string profile = " " + Slurp(kDrives + disk);
    size_t at = profile.find(" same=");
    if (at == std::string::npos) {
        return disk;
    }
    std::string other = profile.substr(at + 6);
    return other.substr(0, other.find_first_of(" \n"));
}

// "/dev/dm-0" -> "dm-0" when that node has first bytes to serve.
std::string MediaOfNode(const char *path)
{
    if (path == nullptr || strncmp(path, "/dev/", 5) != 0 || strchr(path + 5, '/') != nullptr) {
        return "";
    }
    return access((kMedia + (path + 5)).c_str(), F_OK) == 0 ? std::string(path + 5) : "";
}

bool Hangs(const std::string &name) { return access((kMedia + name + ".hang").c_str(), F_OK) == 0; }

ssize_t ReadMedia(const std::string &name, void *buf, size_t count, off_t offset)
{
    while (Hangs(name)) {
        pause();
    }
    std::string bytes = Slurp(kMedia + name);
    memset(buf, 0, count);
    if (static_cast<size_t>(offset) < bytes.size()) {
        memcpy(buf, bytes.data() + offset, std::min(count, bytes.size() - static_cast<size_t>(offset)));
    }
    return static_cast<ssize_t>(count);
}

struct Loaded {
    drive::Profile profile;
    drive::State state;
};

Loaded Load(const std::string &disk)
{
    Loaded d;
    drive::ParseProfile(Slurp(kDrives + disk), &d.profile);
    d.state.wce = d.profile.wce;
    std::stringstream in(Slurp(kDrives + disk + ".state"));
    in >> d.state.wce >> d.state.senses;
    return d;
}

void Save(const std::string &disk, const drive::State &state)
{
    Spill(kDrives + disk + ".state", std::to_string(state.wce) + " " + std::to_string(state.senses) + "\n", false);
}

std::string Hex(const uint8_t *bytes, size_t n)
{
    std::string out;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof(b), i == 0 ? "%02x" : " %02x", bytes[i]);
        out += b;
    }
    return out;
}

int SgIo(const std::string &disk, sg_io_hdr_t *h)
{
    if (h->interface_id != 'S' || h->cmdp == nullptr || h->cmd_len == 0) {
        errno = EINVAL;
        return -1;
    }
    g_lastTimeout = h->timeout;
    Loaded d = Load(disk);
    std::vector<uint8_t> cdb(h->cmdp, h->cmdp + h->cmd_len), out;
    std::string line = Hex(cdb.data(), cdb.size());
    if (h->dxfer_direction == SG_DXFER_TO_DEV && h->dxferp != nullptr) {
        const uint8_t *p = static_cast<const uint8_t *>(h->dxferp);
        out.assign(p, p + h->dxfer_len);
        line += " > " + Hex(out.data(), out.size());
    }
    Spill(kDrives + disk + ".cmds", line + "\n", true);
    drive::Completion c = drive::Execute(d.profile, &d.state, cdb, out);
    Save(disk, d.state);
    if (c.ioctlFails) {
        errno = EIO;
        return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(c.delayMs));
    size_t moved = 0;
    if (h->dxfer_direction == SG_DXFER_FROM_DEV && h->dxferp != nullptr) {
        moved = std::min<size_t>(c.dataIn.size(), h->dxfer_len);
        if (moved > 0) {
            memcpy(h->dxferp, c.dataIn.data(), moved);
        }
    } else if (h->dxfer_direction == SG_DXFER_TO_DEV) {
        moved = h->dxfer_len;
    }
    h->resid = static_cast<int>(h->dxfer_len - moved);
    h->status = c.status;
    h->masked_status = static_cast<unsigned char>(c.status >> 1);
    h->msg_status = 0;
    h->host_status = c.host;
    h->driver_status = c.status == 0x02 ? 0x08 : 0;  // DRIVER_SENSE
    h->sb_len_wr = static_cast<unsigned char>(std::min<size_t>(c.sense.size(), h->mx_sb_len));
    if (h->sbp != nullptr && h->sb_len_wr > 0) {
        memcpy(h->sbp, c.sense.data(), h->sb_len_wr);
    }
    h->duration = static_cast<unsigned>(c.delayMs);
    h->info = (c.status | c.host) != 0 ? SG_INFO_CHECK : 0;
    return 0;
}

// Modern kernels refuse HDIO_SET_WCACHE on sd disks (ENOTTY or EINVAL).
int HdioSetWcache(const std::string &disk, unsigned long value)
{
    Loaded d = Load(disk);
    Spill(kDrives + disk + ".cmds", "hdio " + std::to_string(value) + "\n", true);
    if (d.profile.hdio == "ok" || d.profile.hdio == "noop") {
        if (d.profile.hdio == "ok" && value <= 1) {
            d.state.wce = static_cast<int>(value);
            Save(disk, d.state);
        }
        return 0;
    }
    errno = d.profile.hdio == "einval" ? EINVAL : ENOTTY;
    return -1;
}

// The sysfs reader opens "device/rescan" relative to the device's directory.
std::string FullPath(int dirfd, const char *path)
{
    char dir[4096] = {};
    bool relative = path != nullptr && path[0] != '/' && dirfd != AT_FDCWD &&
                    readlink(("/proc/self/fd/" + std::to_string(dirfd)).c_str(), dir, sizeof(dir) - 1) > 0;
    return relative ? std::string(dir) + "/" + path : path != nullptr ? path : "";
}

int Track(int fd, int dirfd, const char *path)
{
    if (fd >= 0) {
        std::string disk = DiskOfRescan(FullPath(dirfd, path).c_str());
        if (!disk.empty()) {
            RescanFds()[fd] = disk;
        }
    }
    return fd;
}

// A node without a driver cannot be opened; O_PATH gives a descriptor that
// still fstat()s as the block device.
int OpenAt(int dirfd, const char *path, int flags, mode_t mode)
{
    static auto realOpenAt = Real<int (*)(int, const char *, int, ...)>("openat");
    std::string disk = DiskOfNode(path);
    std::string media = MediaOfNode(path);
    if (disk.empty() && media.empty()) {
        return Track(realOpenAt(dirfd, path, flags, mode), dirfd, path);
    }
    if ((flags & O_DIRECT) != 0) {
        std::string served = Hangs(path + 5) ? kMedia + (path + 5) + ".fifo" : media.empty() ? "/dev/zero" : kMedia + media + ".blocks";
        if (Hangs(path + 5)) {
            (void)mkfifo(served.c_str(), 0600);
        } else if (!media.empty()) {  // the first bytes, then zeros as on a blank disk
            Spill(served, Slurp(kMedia + media), false);
            (void)truncate(served.c_str(), 1 << 16);
        }
        int fd = realOpenAt(AT_FDCWD, served.c_str(), O_RDWR | O_CLOEXEC);
        return fd < 0 ? fd : (DirectFds()[fd] = path, fd);
    }
    int fd = realOpenAt(dirfd, path, O_PATH | (flags & (O_CLOEXEC | O_NOFOLLOW)));
    if (fd >= 0) {
        if (!disk.empty()) {
            DiskFds()[fd] = DriveOf(disk);
        }
        MediaFds()[fd] = std::string(path + 5);
    }
    return fd;
}

mode_t ModeArg(int flags, va_list ap)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenAt(AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenAt(dirfd, path, flags, mode);
}

// Same functions under their large-file names.
int open64(const char *path, int flags, ...) __attribute__((alias("open")));
int openat64(int dirfd, const char *path, int flags, ...) __attribute__((alias("openat")));

int __open_2(const char *path, int flags) { return OpenAt(AT_FDCWD, path, flags, 0); }
int __open64_2(const char *path, int flags) { return OpenAt(AT_FDCWD, path, flags, 0); }

int close(int fd)
{
    static auto realClose = Real<int (*)(int)>("close");
    DiskFds().erase(fd);
    RescanFds().erase(fd);
    MediaFds().erase(fd);
    DirectFds().erase(fd);
    return realClose(fd);
}

ssize_t pread(int fd, void *buf, size_t count, off_t offset)
{
    static auto realPread = Real<ssize_t (*)(int, void *, size_t, off_t)>("pread");
    auto it = MediaFds().find(fd);
    return it == MediaFds().end() ? realPread(fd, buf, count, offset) : ReadMedia(it->second, buf, count, offset);
}

ssize_t pread64(int fd, void *buf, size_t count, off_t offset) __attribute__((alias("pread")));

int fstat(int fd, struct stat *st)
{
    static auto realFstat = Real<int (*)(int, struct stat *)>("fstat");
    auto it = DirectFds().find(fd);
    return it == DirectFds().end() ? realFstat(fd, st) : stat(it->second.c_str(), st);
}

ssize_t read(int fd, void *buf, size_t count)
{
    static auto realRead = Real<ssize_t (*)(int, void *, size_t)>("read");
    auto it = MediaFds().find(fd);
    return it == MediaFds().end() ? realRead(fd, buf, count) : ReadMedia(it->second, buf, count, 0);
}

ssize_t write(int fd, const void *buf, size_t count)
{
    static auto realWrite = Real<ssize_t (*)(int, const void *, size_t)>("write");
    auto it = RescanFds().find(fd);
    if (it != RescanFds().end() && count > 0 && static_cast<const char *>(buf)[0] == '1') {
        const std::string &disk = it->second;
        Spill("/sys/block/" + disk + "/queue/write_cache",
              Load(DriveOf(disk)).state.wce != 0 ? "write back\n" : "write through\n", false);
    }
    return realWrite(fd, buf, count);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    static auto realIoctl = Real<int (*)(int, unsigned long, ...)>("ioctl");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    auto it = DiskFds().find(fd);
    if (it == DiskFds().end()) {
        return realIoctl(fd, request, arg);
    }
    if (request == SG_IO) {
        return SgIo(it->second, static_cast<sg_io_hdr_t *>(arg));
    }
    if (request == HDIO_SET_WCACHE) {
        return HdioSetWcache(it->second, reinterpret_cast<unsigned long>(arg));
    }
    if (request == SG_GET_VERSION_NUM) {
        *static_cast<int *>(arg) = 30527;
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

// Timeout of the last SG_IO header the drive saw (in-process tests only).
unsigned DriveLastTimeout(void) { return g_lastTimeout; }

}  // extern "C"

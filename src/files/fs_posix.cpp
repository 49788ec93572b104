// Host file-system layer for POSIX hosts (Linux): stat, canonical paths,
// directory listing and positional reads. The only code that touches the
// host's files; it never creates, writes, renames or deletes anything.
//
// Host mapping:
// - crtime is the birth time (statx STATX_BTIME) where the file system
//   reports one; where it does not (older file systems, network mounts),
//   crtime falls back to the modification time, which is never later than
//   the real creation of the content a client sees.
// - dev is st_dev (major and minor combined as the C library does), widened
//   to 64 bits; ino is st_ino.
// - A directory reports size 0, as clients expect of a folder, whatever
//   block size the host gives it.
// - Times are whole seconds: the sub-second part is dropped.
#include "files/qv2_fs.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

struct qv2_dir {
    DIR *dir;
    char name[1024]; // UTF-8 form of the name returned last
};

struct qv2_file {
    int fd;
};

namespace {

constexpr size_t kNameArea = 1024;

// Strict UTF-8: no overlong forms, no encoded surrogates, nothing above
// U+10FFFF. A path that fails here fails every operation.
bool valid_utf8(const char *s) {
    const auto *p = reinterpret_cast<const unsigned char *>(s);
    while (*p) {
        unsigned c = *p;
        if (c < 0x80) {
            p++;
            continue;
        }
        int more;
        uint32_t cp, min;
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1, cp = c & 0x1F, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2, cp = c & 0x0F, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        p++;
        for (int i = 0; i < more; i++, p++) {
            if ((*p & 0xC0) != 0x80) return false; // also stops at the terminator
            cp = (cp << 6) | (*p & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    }
    return true;
}

bool usable_path(const char *path) { return path && *path && valid_utf8(path); }

int32_t kind_of(mode_t mode, bool report_links) {
    if (S_ISLNK(mode)) return report_links ? QV2_FS_LINK : QV2_FS_OTHER;
    if (S_ISDIR(mode)) return QV2_FS_DIR;
    if (S_ISREG(mode)) return QV2_FS_FILE;
    return QV2_FS_OTHER; // devices, FIFOs, sockets
}

void fill_from_statx(const struct statx &sx, bool report_links, qv2_fs_info *info) {
    *info = qv2_fs_info{};
    info->kind = kind_of(sx.stx_mode, report_links);
    info->size = info->kind == QV2_FS_DIR ? 0 : sx.stx_size;
    info->mtime = sx.stx_mtime.tv_sec;
    info->atime = sx.stx_atime.tv_sec;
    info->crtime = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec;
    info->dev = uint64_t(makedev(sx.stx_dev_major, sx.stx_dev_minor));
    info->ino = sx.stx_ino;
}

void fill_from_stat(const struct stat &st, bool report_links, qv2_fs_info *info) {
    *info = qv2_fs_info{};
    info->kind = kind_of(st.st_mode, report_links);
    info->size = info->kind == QV2_FS_DIR ? 0 : uint64_t(st.st_size);
    info->mtime = st.st_mtim.tv_sec;
    info->atime = st.st_atim.tv_sec;
    info->crtime = st.st_mtim.tv_sec; // no birth time through stat(2)
    info->dev = uint64_t(st.st_dev);
    info->ino = uint64_t(st.st_ino);
}

// statx where the kernel offers it (for the birth time); a sandbox that
// filters the call out gets the plain stat family instead.
int stat_at(int dirfd, const char *path, int flags, bool report_links, qv2_fs_info *info) {
    struct statx sx;
    if (statx(dirfd, path, flags | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &sx) ==
        0) {
        fill_from_statx(sx, report_links, info);
        return 0;
    }
    if (errno != ENOSYS && errno != EPERM) return -1;
    struct stat st;
    if (fstatat(dirfd, path, &st, flags) != 0) return -1;
    fill_from_stat(st, report_links, info);
    return 0;
}

int do_stat(const char *path, qv2_fs_info *info, bool follow) {
    if (!info) return -1;
    *info = qv2_fs_info{};
    if (!usable_path(path)) return -1;
    return stat_at(AT_FDCWD, path, follow ? 0 : AT_SYMLINK_NOFOLLOW, !follow, info);
}

} // namespace

int qv2_fs_lstat(const char *path, qv2_fs_info *info) { return do_stat(path, info, false); }

int qv2_fs_stat(const char *path, qv2_fs_info *info) { return do_stat(path, info, true); }

int qv2_fs_realpath(const char *path, char *out, int32_t cap) {
    if (!out || cap <= 0 || !usable_path(path)) return -1;
    char *real = realpath(path, nullptr);
    if (!real) return -1;
    size_t len = strlen(real);
    // A link may lead to a name that is not UTF-8; such a result is as
    // unusable as such a path.
    int rc = -1;
    if (len < size_t(cap) && valid_utf8(real)) {
        memcpy(out, real, len + 1);
        rc = 0;
    }
    free(real);
    return rc;
}

char qv2_fs_sep(void) { return '/'; }

qv2_dir *qv2_fs_opendir(const char *path) {
    if (!usable_path(path)) return nullptr;
    // opendir opens with O_DIRECTORY, so a FIFO or device is refused by the
    // kernel before it is opened.
    DIR *d = opendir(path);
    if (!d) return nullptr;
    auto *dir = static_cast<qv2_dir *>(calloc(1, sizeof(qv2_dir)));
    if (!dir) {
        closedir(d);
        return nullptr;
    }
    dir->dir = d;
    return dir;
}

const char *qv2_fs_readdir(qv2_dir *dir) {
    if (!dir) return nullptr;
    for (;;) {
        struct dirent *e = readdir(dir->dir);
        if (!e) return nullptr; // the end, or an error: both end the listing
        const char *n = e->d_name;
        if (strcmp(n, ".") == 0 || strcmp(n, "..") == 0) continue;
        size_t len = strlen(n);
        if (len + 1 > kNameArea || !valid_utf8(n)) continue;
        memcpy(dir->name, n, len + 1);
        return dir->name;
    }
}

void qv2_fs_closedir(qv2_dir *dir) {
    if (!dir) return;
    closedir(dir->dir);
    free(dir);
}

qv2_file *qv2_fs_open_ro(const char *path, qv2_fs_info *info) {
    qv2_fs_info local;
    if (!info) info = &local;
    // Look before opening: opening a FIFO for reading would release a writer
    // waiting on it, and opening a device can have effects of its own.
    if (qv2_fs_stat(path, info) != 0 || info->kind != QV2_FS_FILE) {
        *info = qv2_fs_info{};
        return nullptr;
    }
    // O_NONBLOCK keeps the open from hanging should the object have been
    // swapped for a FIFO since the stat; the descriptor is checked again.
    int fd;
    do {
        fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 || stat_at(fd, "", AT_EMPTY_PATH, false, info) != 0 || info->kind != QV2_FS_FILE) {
        if (fd >= 0) close(fd);
        *info = qv2_fs_info{};
        return nullptr;
    }
    auto *file = static_cast<qv2_file *>(malloc(sizeof(qv2_file)));
    if (!file) {
        close(fd);
        *info = qv2_fs_info{};
        return nullptr;
    }
    file->fd = fd;
    return file;
}

int32_t qv2_fs_pread(qv2_file *file, uint64_t offset, void *buf, int32_t len) {
    if (!file || len < 0 || (len > 0 && !buf)) return -1;
    // No file reaches past INT64_MAX, so an offset there is past the end; the
    // length is cut so that offset + length can't overflow the kernel's check.
    if (offset >= uint64_t(INT64_MAX)) return 0;
    uint64_t room = uint64_t(INT64_MAX) - offset;
    size_t n = uint64_t(len) < room ? size_t(len) : size_t(room);
    if (n == 0) return 0;
    ssize_t got;
    do {
        got = pread(file->fd, buf, n, off_t(offset));
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : int32_t(got);
}

void qv2_fs_close(qv2_file *file) {
    if (!file) return;
    close(file->fd); // not retried: on Linux the descriptor is gone either way
    free(file);
}

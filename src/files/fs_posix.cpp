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
// - The no-follow opens (READ's file, the folder a listing is made from) take
//   canonical paths and refuse a link on any component: openat2 with
//   RESOLVE_NO_SYMLINKS resolves the parent folder, or, where the kernel or a
//   sandbox refuses openat2, a walk from the root with O_NOFOLLOW; the last
//   component is then examined and opened relative to that folder.
#include "files/qv2_fs.h"

#include "foundation/qv2_util.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
constexpr size_t kPathArea = 4096;     // PATH_MAX: longer paths can't be opened anyway
constexpr size_t kComponentArea = 256; // NAME_MAX and the terminator

// Set by tests to exercise the component walk that kernels without openat2 get.
std::atomic<int> g_fs_walk_only{0};

// Strict UTF-8: no overlong forms, no encoded surrogates, nothing above
// U+10FFFF. A path that fails here fails every operation.
bool valid_utf8(const char *s) {
    while (*s)
        if (qv2_utf8_next(&s) < 0) return false;
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
    info->change_ns = uint64_t(sx.stx_ctime.tv_sec) * 1000000000u + sx.stx_ctime.tv_nsec;
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
    info->change_ns = uint64_t(st.st_ctim.tv_sec) * 1000000000u + uint64_t(st.st_ctim.tv_nsec);
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

bool is_dot_name(const char *name, size_t len) {
    return (len == 1 && name[0] == '.') || (len == 2 && name[0] == '.' && name[1] == '.');
}

int open_retry(int dirfd, const char *name, int flags) {
    int fd;
    do {
        fd = openat(dirfd, name, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The directory `path` (absolute, "." and ".." free) as an O_PATH descriptor,
// walked from the root one component at a time with O_NOFOLLOW, for kernels
// without openat2. -1 when a component is missing, is not a directory, or is
// a link.
int walk_dir_nofollow(const char *path) {
    int fd = open_retry(AT_FDCWD, "/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const char *p = path;
    while (fd >= 0) {
        while (*p == '/') p++;
        if (*p == 0) return fd;
        size_t len = strcspn(p, "/");
        char comp[kComponentArea];
        int next = -1;
        if (len < sizeof comp) {
            memcpy(comp, p, len);
            comp[len] = 0;
            // With O_PATH, O_NOFOLLOW would hand out the link itself;
            // O_DIRECTORY and the check below refuse it.
            next = open_retry(fd, comp, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        close(fd);
        struct stat st;
        if (next >= 0 && (fstat(next, &st) != 0 || !S_ISDIR(st.st_mode))) {
            close(next);
            next = -1;
        }
        fd = next;
        p += len;
    }
    return -1;
}

// The directory `path` as an O_PATH descriptor, following no link on any
// component (openat2's RESOLVE_NO_SYMLINKS, or the walk where the kernel or
// a sandbox refuses openat2). -1 on failure.
int open_dir_nofollow(const char *path) {
    if (!g_fs_walk_only.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_NO_SYMLINKS;
        long fd;
        do {
            fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) return int(fd);
        if (errno != ENOSYS && errno != EPERM) return -1;
    }
    return walk_dir_nofollow(path);
}

// Splits a canonical absolute path into its parent directory, opened as by
// open_dir_nofollow, and its last component (*leaf points into `path`; "."
// for the root itself). Refuses relative paths and "." or ".." components,
// which a canonical path never has. -1 on failure.
int open_parent_nofollow(const char *path, const char **leaf) {
    if (path[0] != '/') return -1;
    size_t n = strlen(path);
    if (n >= kPathArea) return -1;
    for (const char *p = path; *p;) {
        while (*p == '/') p++;
        size_t len = strcspn(p, "/");
        if (is_dot_name(p, len)) return -1;
        p += len;
    }
    if (n == 1) { // the root itself
        *leaf = ".";
        return open_dir_nofollow("/");
    }
    if (path[n - 1] == '/') return -1; // canonical paths have no trailing slash
    size_t slash = n;
    while (path[slash - 1] != '/') slash--; // stops at the leading slash at the latest
    char parent[kPathArea];
    size_t parent_len = slash > 1 ? slash - 1 : 1; // keep the root's slash
    memcpy(parent, path, parent_len);
    parent[parent_len] = 0;
    *leaf = path + slash;
    return open_dir_nofollow(parent);
}

// Hands out an open descriptor as a qv2_file once it is known to be a
// regular file (filling `info`); closes it and gives null otherwise.
qv2_file *wrap_file(int fd, qv2_fs_info *info) {
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

qv2_dir *wrap_dir(DIR *d) {
    if (!d) return nullptr;
    auto *dir = static_cast<qv2_dir *>(calloc(1, sizeof(qv2_dir)));
    if (!dir) {
        closedir(d);
        return nullptr;
    }
    dir->dir = d;
    return dir;
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
    return wrap_dir(opendir(path));
}

qv2_dir *qv2_fs_opendir_nofollow(const char *path) {
    if (!usable_path(path)) return nullptr;
    const char *leaf = nullptr;
    int parent = open_parent_nofollow(path, &leaf);
    if (parent < 0) return nullptr;
    // O_DIRECTORY: a FIFO or device is refused before it is opened.
    int fd = open_retry(parent, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(parent);
    if (fd < 0) return nullptr;
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return nullptr;
    }
    return wrap_dir(d);
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

int qv2_fs_lstatat(qv2_dir *dir, const char *name, qv2_fs_info *info) {
    if (!info) return -1;
    *info = qv2_fs_info{};
    if (!dir || !name || !*name || strchr(name, '/') || is_dot_name(name, strlen(name)) ||
        !valid_utf8(name))
        return -1;
    return stat_at(dirfd(dir->dir), name, AT_SYMLINK_NOFOLLOW, true, info);
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
    return wrap_file(open_retry(AT_FDCWD, path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC),
                     info);
}

qv2_file *qv2_fs_open_ro_nofollow(const char *path, qv2_fs_info *info) {
    qv2_fs_info local;
    if (!info) info = &local;
    *info = qv2_fs_info{};
    if (!usable_path(path)) return nullptr;
    const char *leaf = nullptr;
    int parent = open_parent_nofollow(path, &leaf);
    if (parent < 0) return nullptr;
    // Look before opening, as above, but at the name inside the directory
    // already held, so that nothing can be swapped in between.
    int fd = -1;
    if (stat_at(parent, leaf, AT_SYMLINK_NOFOLLOW, true, info) == 0 &&
        info->kind == QV2_FS_FILE)
        fd = open_retry(parent, leaf, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    close(parent);
    return wrap_file(fd, info);
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

void qv2_fs_force_walk(int on) { g_fs_walk_only.store(on ? 1 : 0, std::memory_order_relaxed); }

void qv2_fs_close(qv2_file *file) {
    if (!file) return;
    close(file->fd); // not retried: on Linux the descriptor is gone either way
    free(file);
}

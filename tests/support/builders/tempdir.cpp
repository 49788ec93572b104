#include "support/builders/tempdir.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void mkdirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); i++) {
        if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0755);
    }
}

int remove_one(const char *p, const struct stat *, int type, struct FTW *) {
    // Tests may have made something unreadable; a link's mode is its
    // target's, which may lie outside the folder, so links are left alone.
    if (type != FTW_SL && type != FTW_SLN) ::chmod(p, 0755);
    return ::remove(p);
}

} // namespace

TempDir::TempDir(const std::string &parent) {
    const char *env = getenv("TMPDIR");
    std::string base = !parent.empty() ? parent : env && *env ? env : "/tmp";
    std::string tmpl = base + "/dirir2i-test-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    char real[PATH_MAX];
    if (!realpath(tmpl.c_str(), real)) throw std::runtime_error("realpath failed");
    path_ = real;
}

TempDir::~TempDir() {
    nftw(path_.c_str(), remove_one, 32, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::write(const std::string &rel, const std::string &content) const {
    std::string p = join(rel);
    size_t slash = p.rfind('/');
    mkdirs(p.substr(0, slash));
    FILE *f = fopen(p.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + p);
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
    return p;
}

std::string TempDir::mkdir(const std::string &rel) const {
    std::string p = join(rel);
    mkdirs(p);
    return p;
}

std::string TempDir::symlink(const std::string &target, const std::string &rel) const {
    std::string p = join(rel);
    if (::symlink(target.c_str(), p.c_str()) != 0) throw std::runtime_error("symlink failed " + p);
    return p;
}

std::string read_file(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return "";
    std::string out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

// A temporary folder for tests, benchmarks and fuzz targets, removed with
// everything in it when the object goes out of scope.
#pragma once

#include <string>

class TempDir {
  public:
    // Made in `parent`, or when that is empty in $TMPDIR (else /tmp).
    explicit TempDir(const std::string &parent = "");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // Absolute, canonical path of the folder (no links in it).
    const std::string &path() const { return path_; }
    std::string join(const std::string &rel) const { return path_ + "/" + rel; }

    // Creates a file (and any missing parent folders); returns its path.
    std::string write(const std::string &rel, const std::string &content) const;
    // Creates a folder (and parents); returns its path.
    std::string mkdir(const std::string &rel) const;
    // Creates a symbolic link at rel pointing to target; returns its path.
    std::string symlink(const std::string &target, const std::string &rel) const;

  private:
    std::string path_;
};

// Whole content of a file, or "" when it can't be read.
std::string read_file(const std::string &path);

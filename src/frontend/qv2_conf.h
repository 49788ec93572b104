// The --config file of the dirir2i command: INI text with a global part
// (keys before any section, or in [global]) and one [NAME] section per
// share. Read and checked here; the command applies it (cli.cpp).
#pragma once

#include <string>
#include <vector>

// One KEY = VALUE line.
struct qv2_conf_item {
    std::string key;
    std::string value;
    int line;
};

// One share's section: its name as written, the line of its header, and
// its keys in file order (`path` among them).
struct qv2_conf_share {
    std::string name;
    int line;
    std::vector<qv2_conf_item> keys;
};

struct qv2_conf {
    std::string file;
    std::vector<qv2_conf_item> global; // in file order
    std::vector<qv2_conf_share> shares;
    // The global value of `key`, or null.
    const qv2_conf_item *find(const char *key) const;
};

// Reads and checks the file at `path`: the syntax, that every key is known
// for its section, that no key comes twice in a section and no share twice
// (names compared ignoring case), that every share has a path, and the
// values the command itself takes (bind, port, metrics_interval). Values
// the library takes are checked when applied. 0 with *out filled, or -1
// with "FILE line N: ..." in *msg.
int qv2_conf_read(const char *path, qv2_conf *out, std::string *msg);
// The same on text already read; `path` only names it in messages.
int qv2_conf_parse(const char *path, const char *text, qv2_conf *out, std::string *msg);

// The global keys the command takes for itself (each also a --config key),
// beside the --opt keys.
extern const char *const qv2_conf_command_keys[];
// The keys of a share's section.
extern const char *const qv2_conf_share_keys[];

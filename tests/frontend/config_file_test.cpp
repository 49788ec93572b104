// The --config file refused: each fault names the file, the line and the
// key, exits 2 and serves nothing.
#include "child_process.h"

#include "support/builders/tempdir.h"

#include <gtest/gtest.h>

#include <string>

TEST(ConfigFile, EachFaultIsRefusedWithItsLineAndKeyBeforeAnythingIsServed) {
    TempDir dir;
    const std::string d = dir.mkdir("docs");
    const struct {
        std::string text;
        std::string err; // after "--config: FILE line "
    } cases[] = {
        // Read and checked whole before anything is set.
        {"; a comment\n\ncolour = blue\n", "3: colour: unknown key"},
        {"[docs]\npath = " + d + "\ncolour = blue\n", "3: colour: unknown key in a share's section"},
        {"[docs]\npath = " + d + "\n[DOCS]\npath = " + d + "\n",
         "3: share [DOCS] given twice (first on line 1)"},
        {"[docs]\nusers = alice\n[more]\npath = " + d + "\n", "1: [docs] has no path"},
        {"[docs]\n\n[more]\npath = " + d + "\n", "1: [docs] has no path"},
        {"guest = on\n[global]\nguest = off\n", "3: guest: given twice (first on line 1)"},
        {"[global]\n[global]\nport = 1\n", "2: [global] given twice"},
        {"port = 65536\n", "1: port: 0..65535"},
        {"bind = 10.1.2\n", "1: bind: not an IPv4 or IPv6 address"},
        {"metrics_interval = 0\n", "1: metrics_interval: 1..3600 seconds"},
        {"[docs\npath = " + d + "\n", "1: not a [section], a KEY = VALUE line or a comment"},
        {"guest = on\n  on\n", "2: not a [section], a KEY = VALUE line or a comment"},
        {"server_name = " + std::string(5000, 'x') + "\n", "1: longer than 4096 bytes"},
        // Then applied: the library's own checks, with the file's line.
        {"# x\nguest = maybe\n", "2: guest: auto, on or off"},
        {"allow = 10.0.0.0/8, 10.0.0.0/33\n", "1: allow: 10.0.0.0/33 is not a CIDR"},
        {"[docs]\npath = " + dir.join("gone") + "\n",
         "2: [docs] path: " + dir.join("gone") + " does not exist"},
        {"[docs]\npath = " + d + "\nguest = perhaps\n", "3: [docs] guest: yes or no"},
        {"[docs]\nusers = alice,,bob\npath = " + d + "\n", "2: [docs] users: an empty name in the list"},
        {"[a/b]\npath = " + d + "\n", "2: [a/b] path: invalid share name"},
        {"users_file = " + dir.join("nobody") + "\n",
         "1: users_file: " + dir.join("nobody") + ": No such file or directory"},
    };
    const std::string file = dir.join("dirir2i.conf");
    for (const auto &c : cases) {
        dir.write("dirir2i.conf", c.text);
        run_result r = run_program(DIRIR2I_BIN, {"serve", "--config", file, "--port", "0"}, "", 20000);
        EXPECT_EQ(r.exit_code, 2) << c.text;
        EXPECT_EQ(r.err, "--config: " + file + " line " + c.err + "\n") << c.text;
        EXPECT_EQ(r.out, "") << "nothing is served";
    }
}

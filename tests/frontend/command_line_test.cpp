// The dirir2i command run as a child process: usage, messages, exit codes,
// the serving line and the port file.
#include "child_process.h"

#include "support/builders/tempdir.h"
#include "support/loopback_client.h"

#include <cctype>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string kUsage =
    "usage: dirir2i serve  [--config FILE] [--share NAME=PATH]... [--user USER[:PASS]]...\n"
    "                      [--users-file FILE] [--allow CIDR]... [--opt KEY=VALUE]...\n"
    "                      [--log FILE] [--log-format F] [--bind IP] [--port N]\n"
    "                      [--port-file FILE] [--metrics-file FILE] [--metrics-interval S]\n"
    "       dirir2i sim    [--config FILE] [--share NAME=PATH]... [--user USER[:PASS]]...\n"
    "                      [--opt KEY=VALUE]... [--ip IP] < SCRIPT\n"
    "       dirir2i selftest\n"
    "       dirir2i version\n"
    "       dirir2i [serve|sim] --help\n";

// An SMB2 ECHO request in its session-service packet, as a script line.
const std::string kEchoLine = "00000044"
                              "fe534d42"
                              "4000"
                              "0000"
                              "00000000"
                              "0d00"
                              "0100"
                              "00000000"
                              "00000000"
                              "0100000000000000"
                              "00000000"
                              "00000000"
                              "0000000000000000"
                              "00000000000000000000000000000000"
                              "04000000";

run_result cli(const std::vector<std::string> &args, const std::string &input = "") {
    return run_program(DIRIR2I_BIN, args, input);
}

// A serve that should fail at once; a short limit keeps a wrong success from
// holding the test for long.
run_result failing_serve(std::vector<std::string> args) {
    args.insert(args.begin(), "serve");
    return run_program(DIRIR2I_BIN, args, "", 20000);
}

} // namespace

TEST(CommandLine, MissingOrUnknownCommandPrintsTheUsageAndExits2) {
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {}, {"help"}, {"SERVE"}, {"serve-now"}, {""}, {"--port", "0"}}) {
        run_result r = cli(args);
        EXPECT_EQ(r.exit_code, 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_EQ(r.err, kUsage);
        EXPECT_EQ(r.out, "");
    }
}

TEST(CommandLine, VersionAndSelftestPrintTheirLinesAndIgnoreExtraArguments) {
    run_result v = cli({"version", "--bogus"});
    EXPECT_EQ(v.exit_code, 0);
    EXPECT_EQ(v.out, "dirir2i 1.0.1\n");
    EXPECT_EQ(v.err, "");
    run_result s = cli({"selftest", "extra"});
    EXPECT_EQ(s.exit_code, 0);
    EXPECT_EQ(s.out, "selftest ok\n");
}

TEST(CommandLine, ServePrintsWhereItServesThenWritesThePortFile) {
    TempDir dir;
    std::string port_file = dir.join("p.txt");
    running_program serve(DIRIR2I_BIN, {"serve", "--share", "docs=" + dir.path(), "--port", "0",
                                        "--port-file", port_file});
    std::string line = serve.read_line();
    int port = port_in(line, "dirir2i serving on 127.0.0.1 port ");
    ASSERT_GT(port, 0) << line << serve.errors();
    EXPECT_EQ(line, "dirir2i serving on 127.0.0.1 port " + std::to_string(port) + "\n");
    // The file follows the line; give the child a bounded moment.
    std::string expected = std::to_string(port) + "\n";
    for (int i = 0; i < 400 && read_file(port_file) != expected; i++)
        usleep(50 * 1000);
    EXPECT_EQ(read_file(port_file), expected);
    EXPECT_TRUE(nettest::port_answers(port));
    EXPECT_EQ(serve.wait_exit(300), -1); // still serving
}

TEST(CommandLine, ServeWithoutArgumentsUsesLoopbackPort4450) {
    if (nettest::try_bind("127.0.0.1", 4450) != 0)
        GTEST_SKIP() << "port 4450 is taken on this machine";
    running_program serve(DIRIR2I_BIN, {"serve"});
    std::string line = serve.read_line();
    if (line.empty() && serve.errors().find("bind failed") != std::string::npos)
        GTEST_SKIP() << "port 4450 was taken meanwhile";
    EXPECT_EQ(line, "dirir2i serving on 127.0.0.1 port 4450\n");
}

TEST(CommandLine, ServeShowsTheBindTextAsTypedAndReadsThePortLikeAtoi) {
    // Leading zeros parse as decimal; the line repeats the text unchanged.
    // "0x1F" reads as 0 (atoi stops at the x), so the system chooses.
    running_program serve(DIRIR2I_BIN, {"serve", "--bind", "127.000.000.001", "--port", "0x1F"});
    std::string line = serve.read_line();
    int port = port_in(line, "dirir2i serving on 127.000.000.001 port ");
    EXPECT_GT(port, 0) << line << serve.errors();
    EXPECT_TRUE(nettest::port_answers(port));
}

TEST(CommandLine, UnwritablePortFileIsIgnored) {
    TempDir dir;
    running_program serve(
        DIRIR2I_BIN, {"serve", "--port", "0", "--port-file", dir.join("no/such/folder/p.txt")});
    int port = port_in(serve.read_line(), "dirir2i serving on 127.0.0.1 port ");
    EXPECT_GT(port, 0);
    EXPECT_TRUE(nettest::port_answers(port));
}

TEST(CommandLine, LastValueOfARepeatedServeArgumentCounts) {
    running_program serve(DIRIR2I_BIN, {"serve", "--port", "70000", "--bind", "bogus", "--port",
                                        "0", "--bind", "127.0.0.1"});
    int port = port_in(serve.read_line(), "dirir2i serving on 127.0.0.1 port ");
    EXPECT_GT(port, 0) << serve.errors();
}

TEST(CommandLine, ServeThatCannotStartExits1WithTheStartMessage) {
    run_result r = failing_serve({"--port", "70000"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "start: start: port out of range\n");
    EXPECT_EQ(r.out, "");
    r = failing_serve({"--port", "-1"}); // atoi gives -1, which is 4294967295 unsigned
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "start: start: port out of range\n");
    r = failing_serve({"--bind", "localhost", "--port", "0"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "start: start: localhost is not an IP address\n");

    running_program first(DIRIR2I_BIN, {"serve", "--port", "0"});
    int port = port_in(first.read_line(), "dirir2i serving on 127.0.0.1 port ");
    ASSERT_GT(port, 0);
    r = failing_serve({"--port", std::to_string(port)});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "start: start: bind failed (98): Address already in use\n");
}

TEST(CommandLine, FailedConfigurationCallExits1NamingTheOperation) {
    TempDir dir;
    struct bad_config {
        std::vector<std::string> args;
        std::string err;
    };
    const bad_config cases[] = {
        {{"--share", "x=" + dir.join("missing")},
         "add_share: add_share: " + dir.join("missing") + " does not exist\n"},
        {{"--user", ":secret"}, "add_user: add_user: user must be 1..128 printable bytes\n"},
        {{"--user", "dom\\bob:pw"},
         "add_user: add_user: the user name carries no domain (the domain is ignored)\n"},
        {{"--allow", "10.0.0.0/33"}, "allow_cidr: allow_cidr: 10.0.0.0/33 is not a CIDR\n"},
        {{"--opt", "guest=maybe"}, "set_option: guest: auto, on or off\n"},
        {{"--opt", "nosuch=1"}, "set_option: unknown option nosuch\n"},
    };
    for (const bad_config &c : cases) {
        for (const char *cmd : {"serve", "sim"}) {
            std::vector<std::string> args = c.args;
            args.insert(args.begin(), cmd);
            // sim must stop before reading the script, which would fail too.
            run_result r = run_program(DIRIR2I_BIN, args, "zz\n", 20000);
            EXPECT_EQ(r.exit_code, 1) << cmd << " " << c.args[0];
            EXPECT_EQ(r.err, c.err) << cmd;
            EXPECT_EQ(r.out, "");
        }
    }
}

// (--user NAME without a password asks for one: tests/interop/passwords_test.py.)
TEST(CommandLine, ValueWithoutItsSeparatorIsAUsageError) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"sim", "--share", "docs"}, "--share needs NAME=PATH\n"},
        {{"serve", "--opt", "guest"}, "--opt needs KEY=VALUE\n"},
    };
    for (const auto &[args, err] : cases) {
        run_result r = run_program(DIRIR2I_BIN, args, "", 20000);
        EXPECT_EQ(r.exit_code, 2) << args[1];
        EXPECT_EQ(r.err, err);
    }
}

TEST(CommandLine, BadValuesOfTheLogAndUsersFileOptionsNameTheOption) {
    TempDir dir;
    std::string missing = dir.join("no/such/file");
    const struct {
        std::vector<std::string> args;
        int exit_code;
        std::string err;
    } cases[] = {
        {{"--log-format", "xml"}, 2, "--log-format needs logfmt or json\n"},
        {{"--users-file", missing}, 2, "--users-file: " + missing + ": No such file or directory\n"},
        {{"--log", missing}, 1, "log: cannot open " + missing + ": No such file or directory\n"},
    };
    for (const auto &c : cases) {
        for (const char *cmd : {"serve", "sim"}) {
            std::vector<std::string> args = c.args;
            args.insert(args.begin(), cmd);
            run_result r = run_program(DIRIR2I_BIN, args, "", 20000);
            EXPECT_EQ(r.exit_code, c.exit_code) << cmd << " " << c.args[0];
            EXPECT_EQ(r.err, c.err) << cmd;
        }
    }
}

TEST(CommandLine, HelpListsEachOptionOfItsCommandWithItsDefault) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> shown, hidden;
    } cases[] = {
        {{"--help"}, {"--bind IP", "--ip IP", "SIGUSR1", "selftest"}, {}},
        {{"serve", "--help"}, {"--bind IP", "--port N", "SIGHUP", "SIGUSR1"}, {"--ip IP"}},
        // Found where an option would be; nothing before it is applied.
        {{"sim", "--share", "bad", "-h"}, {"--ip IP"}, {"--bind IP", "SIGHUP"}},
    };
    for (const auto &c : cases) {
        run_result r = cli(c.args);
        EXPECT_EQ(r.exit_code, 0) << c.args[0];
        EXPECT_EQ(r.err, "");
        for (const std::string &s : c.shown) EXPECT_NE(r.out.find(s), std::string::npos) << s;
        for (const std::string &s : c.hidden) EXPECT_EQ(r.out.find(s), std::string::npos) << s;
        for (const char *common : {"--share NAME=PATH", "--user NAME[:PASS]", "--users-file FILE",
                                   "--allow CIDR", "--opt KEY=VALUE", "--log FILE",
                                   "--log-format FORMAT", "guest=auto|on|off", "log_format=",
                                   "server_name=", "exit codes"})
            EXPECT_NE(r.out.find(common), std::string::npos) << common;
        // Each option ("  --name VALUE") and key ("  key=VALUES") is followed
        // by its default.
        std::istringstream lines(r.out);
        size_t entries = 0, defaults = 0;
        for (std::string l; std::getline(lines, l);) {
            bool key = l.size() > 2 && l.rfind("  ", 0) == 0 && islower(l[2]) &&
                       l.find('=') < l.find(' ', 2);
            if (l.rfind("  --", 0) == 0 || key) entries++;
            if (l.find("default: ") != std::string::npos) defaults++;
        }
        EXPECT_GT(entries, 20u);
        EXPECT_EQ(defaults, entries) << r.out;
    }
}

TEST(CommandLine, UnknownOrDanglingArgumentIsNamedBeforeTheUsage) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"serve", "--share"}, "--share"},
        {{"sim", "--opt", "guest=on", "--ip"}, "--ip"},
        {{"serve", "--verbose", "1"}, "--verbose"},
        {{"sim", "stray"}, "stray"},
    };
    for (const auto &[args, name] : cases) {
        run_result r = run_program(DIRIR2I_BIN, args, "", 20000);
        EXPECT_EQ(r.exit_code, 2) << name;
        EXPECT_EQ(r.err, "unknown argument " + name + "\n" + kUsage);
    }
}

TEST(CommandLine, FirstErrorEndsTheConfigurationPass) {
    run_result r = cli({"sim", "--opt", "guest=maybe", "--share", "docs"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "set_option: guest: auto, on or off\n");
    r = cli({"sim", "--share", "docs", "--opt", "guest=maybe"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "--share needs NAME=PATH\n");
}

TEST(CommandLine, SimReplaysStandardInputAndPrintsTheTranscript) {
    run_result r = cli({"sim", "--ip", "::1"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "RESULT ok (0 frames)\n");
    EXPECT_EQ(r.err, "");

    r = cli({"sim"}, "# one echo\n" + kEchoLine + "\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind(">> ECHO\n<< fe534d42", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nRESULT ok (1 frames)\n"), std::string::npos);
}

TEST(CommandLine, SimReadsScriptsLargerThanItsFirstBuffer) {
    std::string script;
    const std::string comment = "# " + std::string(998, 'c') + "\n";
    while (script.size() < (3u << 20))
        script += comment; // 3 MiB: the buffer doubles twice
    script += kEchoLine + "\n";
    run_result r = cli({"sim"}, script);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("RESULT ok (1 frames)\n"), std::string::npos) << r.out.substr(0, 200);
}

TEST(CommandLine, SimHonoursTheAllowListAndTheClientAddress) {
    run_result r = cli({"sim", "--ip", "10.1.2.3"}, kEchoLine + "\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "refused: client address not allowed\n");
    r = cli({"sim", "--allow", "10.0.0.0/8", "--ip", "10.1.2.3"}, kEchoLine + "\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("RESULT ok (1 frames)\n"), std::string::npos) << r.out;
}

TEST(CommandLine, SimFailureExits1WithTheSimulateMessage) {
    run_result r = cli({"sim"}, "zz\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "simulate: simulate: bad frame hex on a script line\n");
    EXPECT_EQ(r.out, "");
    r = cli({"sim", "--ip", "not-an-ip"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "simulate: simulate: not-an-ip is not an IP address\n");
}

TEST(CommandLine, EachCommandUsesOnlyItsOwnValueArguments) {
    // sim accepts serve's arguments and ignores them, and the other way round.
    run_result r = cli(
        {"sim", "--bind", "bogus", "--port", "70000", "--port-file", "/", "--user", "alice:pa:ss"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "RESULT ok (0 frames)\n");
    running_program serve(DIRIR2I_BIN, {"serve", "--ip", "bogus", "--port", "0"});
    EXPECT_GT(port_in(serve.read_line(), "dirir2i serving on 127.0.0.1 port "), 0)
        << serve.errors();
}

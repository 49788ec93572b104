// `serve` ends on SIGTERM and SIGINT through a normal exit with code 0,
// closing its clients first, so exit-time checks (LeakSanitizer in the
// sanitizer build) run over a whole served session.
#include "child_process.h"

#include "support/builders/tempdir.h"
#include "support/loopback_client.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <unistd.h>

TEST(ServeStopSignal, TermAndIntStopTheServerAndExitWithZero) {
    for (int sig : {SIGTERM, SIGINT}) {
        TempDir dir;
        running_program serve(DIRIR2I_BIN,
                              {"serve", "--share", "docs=" + dir.mkdir("pub"), "--port", "0"});
        int port = port_in(serve.read_line());
        ASSERT_GT(port, 0) << serve.errors();
        int fd = nettest::connect_to("127.0.0.1", port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(nettest::session_request_answered(fd));

        ASSERT_EQ(serve.signal(sig), 0);
        EXPECT_EQ(serve.wait_exit(), 0) << "signal " << sig << ": " << serve.errors();
        EXPECT_TRUE(nettest::peer_closed(fd, 20000)) << "the connection has ended";
        close(fd);
    }
}

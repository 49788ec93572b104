// Starting, stopping and restarting the listener, and what start refuses.
#include "support/loopback_client.h"
#include "net_fixture.h"

#include "config/qv2_cfg.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace nettest;

namespace {

std::string json() {
    return dirir2i_stats_json();
}

} // namespace

using ListenerLifecycle = NetTest;

TEST_F(ListenerLifecycle, PortZeroLetsTheSystemChooseAndTheChoiceIsReported) {
    EXPECT_EQ(dirir2i_port(), 0);
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0) << dirir2i_last_error();
    int port = dirir2i_port();
    ASSERT_GT(port, 0);
    EXPECT_NE(json().find("{\"running\":true,\"port\":" + std::to_string(port) + ","),
              std::string::npos)
        << json();

    int fd = connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(session_request_answered(fd));
    close(fd);

    dirir2i_stop();
    EXPECT_EQ(dirir2i_port(), 0);
    EXPECT_EQ(json().rfind("{\"running\":false,\"port\":0,\"clients\":0,", 0), 0u) << json();
}

TEST_F(ListenerLifecycle, SecondStartFailsNamingThePortAlreadyServed) {
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0);
    int port = dirir2i_port();
    EXPECT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), DIRIR2I_ERUNNING);
    EXPECT_EQ(std::string(dirir2i_last_error()),
              "start: already running on port " + std::to_string(port));
    // The first server is untouched.
    EXPECT_EQ(dirir2i_port(), port);
    int fd = connect_to("127.0.0.1", port);
    EXPECT_TRUE(session_request_answered(fd));
    close(fd);
}

TEST_F(ListenerLifecycle, NullOrEmptyBindTextServesIPv4Loopback) {
    for (const char *bind : {static_cast<const char *>(nullptr), ""}) {
        ASSERT_EQ(dirir2i_start(bind, 0, nullptr), 0) << dirir2i_last_error();
        int fd = connect_to("127.0.0.1", dirir2i_port());
        EXPECT_TRUE(session_request_answered(fd));
        close(fd);
        dirir2i_stop();
    }
}

TEST_F(ListenerLifecycle, RestartOnTheSamePortSucceedsRightAfterStop) {
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0);
    int port = dirir2i_port();
    // A served connection that the server closes first leaves TIME_WAIT on
    // the port, which must not block the restart.
    int fd = connect_to("127.0.0.1", port);
    ASSERT_TRUE(session_request_answered(fd));
    dirir2i_stop();
    EXPECT_TRUE(peer_closed(fd));
    close(fd);

    ASSERT_EQ(dirir2i_start("127.0.0.1", uint32_t(port), nullptr), 0) << dirir2i_last_error();
    EXPECT_EQ(dirir2i_port(), port);
    fd = connect_to("127.0.0.1", port);
    EXPECT_TRUE(session_request_answered(fd));
    close(fd);
}

TEST_F(ListenerLifecycle, NoOtherSocketCanBindThePortWhileItIsServed) {
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0);
    int port = dirir2i_port();
    EXPECT_EQ(try_bind("127.0.0.1", port), EADDRINUSE);
    EXPECT_EQ(try_bind("0.0.0.0", port), EADDRINUSE);
    dirir2i_stop();
    EXPECT_EQ(try_bind("127.0.0.1", port), 0);
}

TEST_F(ListenerLifecycle, PortHeldByAnotherListenerFailsWithTheSystemText) {
    int port = 0;
    int holder = listen_loopback(&port);
    ASSERT_GE(holder, 0);

    EXPECT_EQ(dirir2i_start("127.0.0.1", uint32_t(port), nullptr), DIRIR2I_ESYS);
    EXPECT_EQ(std::string(dirir2i_last_error()),
              "start: bind failed (" + std::to_string(EADDRINUSE) + "): " + strerror(EADDRINUSE));
    EXPECT_EQ(dirir2i_port(), 0);
    close(holder);
    // The failed start left the service stopped, so it can start now.
    EXPECT_EQ(dirir2i_start("127.0.0.1", uint32_t(port), nullptr), 0) << dirir2i_last_error();
}

TEST_F(ListenerLifecycle, AddressThisMachineDoesNotHaveFailsWithTheSystemText) {
    // 203.0.113.0/24 is reserved for documentation and never assigned here.
    EXPECT_EQ(dirir2i_start("203.0.113.7", 0, nullptr), DIRIR2I_ESYS);
    EXPECT_EQ(std::string(dirir2i_last_error()), "start: bind failed (" +
                                                     std::to_string(EADDRNOTAVAIL) +
                                                     "): " + strerror(EADDRNOTAVAIL));
    EXPECT_EQ(dirir2i_port(), 0);
}

TEST_F(ListenerLifecycle, BadArgumentsAreRefusedAndLeaveTheServiceStopped) {
    struct bad_start {
        const char *bind;
        uint32_t port;
        const char *name;
        const char *message;
    };
    const std::string long_name(64, 'x');
    const bad_start cases[] = {
        {"localhost", 0, nullptr, "start: localhost is not an IP address"},
        {"1.2.3", 0, nullptr, "start: 1.2.3 is not an IP address"},
        {"::1:", 0, nullptr, "start: ::1: is not an IP address"},
        {"127.0.0.1:4450", 0, nullptr, "start: 127.0.0.1:4450 is not an IP address"},
        {"127.0.0.1", 65536, nullptr, "start: port out of range"},
        {"127.0.0.1", 0xFFFFFFFFu, nullptr, "start: port out of range"},
        {"127.0.0.1", 0, "", "start: server_name 1..63 bytes"},
        {"127.0.0.1", 0, long_name.c_str(), "start: server_name 1..63 bytes"},
        {"127.0.0.1", 0, "bad\x01name", "start: server_name printable ASCII only"},
        {"127.0.0.1", 0, "caf\xc3\xa9", "start: server_name printable ASCII only"},
        {"127.0.0.1", 0, "tab\there", "start: server_name printable ASCII only"},
    };
    for (const bad_start &c : cases) {
        EXPECT_EQ(dirir2i_start(c.bind, c.port, c.name), DIRIR2I_EARG) << c.message;
        EXPECT_STREQ(dirir2i_last_error(), c.message);
        EXPECT_EQ(dirir2i_port(), 0);
    }
    // The bind text is cut to 64 bytes in the message.
    std::string junk(100, 'z');
    EXPECT_EQ(dirir2i_start(junk.c_str(), 0, nullptr), DIRIR2I_EARG);
    EXPECT_EQ(std::string(dirir2i_last_error()),
              "start: " + std::string(64, 'z') + " is not an IP address");

    qv2_opts opts;
    qv2_opts_get(&opts);
    EXPECT_STREQ(opts.server_name, "KESTRAVONDLEX"); // no refused name was stored
}

TEST_F(ListenerLifecycle, ServerNameGivenToStartBecomesTheOption) {
    const std::string name(63, '~');
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, name.c_str()), 0) << dirir2i_last_error();
    qv2_opts opts;
    qv2_opts_get(&opts);
    EXPECT_EQ(std::string(opts.server_name), name);
}

TEST_F(ListenerLifecycle, StopWhenStoppedAndRepeatedStopsDoNothing) {
    dirir2i_stop();
    EXPECT_EQ(dirir2i_port(), 0);
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0);
    dirir2i_stop();
    dirir2i_stop();
    EXPECT_EQ(dirir2i_port(), 0);
    EXPECT_EQ(dirir2i_client_count(), 0);
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0);
    EXPECT_GT(dirir2i_port(), 0);
}

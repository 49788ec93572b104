// Which clients the listener admits: dual-stack addresses, the max_clients
// ceiling and the allow-list.
#include "support/loopback_client.h"
#include "net_fixture.h"

#include "config/qv2_cfg.h"
#include "foundation/qv2_util.h"

#include <string>
#include <unistd.h>

using namespace nettest;

using ConnectionAdmission = NetTest;

TEST_F(ConnectionAdmission, DualStackListenerSeesIPv4ClientsAsIPv4) {
    if (dirir2i_start("::", 0, nullptr) != 0)
        GTEST_SKIP() << "no IPv6 here: " << dirir2i_last_error();
    int port = dirir2i_port();
    long long refused = stat("refused_allow");

    // 127.0.0.1 arrives as ::ffff:127.0.0.1. Only once folded to family 4 is
    // it loopback, which the empty allow-list admits.
    int v4 = connect_to("127.0.0.1", port);
    ASSERT_GE(v4, 0);
    EXPECT_TRUE(session_request_answered(v4));
    int v6 = connect_to("::1", port);
    ASSERT_GE(v6, 0);
    EXPECT_TRUE(session_request_answered(v6));
    EXPECT_EQ(stat("refused_allow"), refused);
    close(v4);
    close(v6);
}

TEST_F(ConnectionAdmission, MappedBindTextListensForIPv4Clients) {
    if (dirir2i_start("::ffff:127.0.0.1", 0, nullptr) != 0)
        GTEST_SKIP() << "no IPv6 here: " << dirir2i_last_error();
    int fd = connect_to("127.0.0.1", dirir2i_port());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(session_request_answered(fd));
    close(fd);
}

TEST_F(ConnectionAdmission, ClientBeyondMaxClientsIsClosedUntilOneLeaves) {
    ASSERT_EQ(dirir2i_set_option("max_clients", "1"), 0);
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0);
    int port = dirir2i_port();
    long long full = stat("refused_full");

    int first = connect_to("127.0.0.1", port);
    ASSERT_TRUE(session_request_answered(first));
    EXPECT_EQ(dirir2i_client_count(), 1);

    int second = connect_to("127.0.0.1", port);
    ASSERT_GE(second, 0);
    EXPECT_TRUE(peer_closed(second)); // closed without a byte
    EXPECT_EQ(stat("refused_full"), full + 1);
    close(second);

    close(first);
    ASSERT_TRUE(wait_until([] { return dirir2i_client_count() == 0; }));
    int third = connect_to("127.0.0.1", port);
    EXPECT_TRUE(session_request_answered(third));
    EXPECT_EQ(stat("refused_full"), full + 1);
    close(third);
}

TEST_F(ConnectionAdmission, AllowListRefusalClosesTheConnectionAndIsCounted) {
    // Loopback is always admitted, so the refused client uses this machine's
    // own non-loopback address; the traffic still stays on the host.
    std::string self = non_loopback_ipv4();
    if (self.empty()) GTEST_SKIP() << "no non-loopback IPv4 address on this machine";
    qv2_ip ip;
    ASSERT_EQ(qv2_ip_parse(self.c_str(), &ip), 0);
    if (qv2_client_allowed(&ip)) GTEST_SKIP() << "an earlier run in this process allowed " << self;
    ASSERT_EQ(dirir2i_start(self.c_str(), 0, nullptr), 0) << dirir2i_last_error();
    int port = dirir2i_port();
    long long refused = stat("refused_allow");

    int fd = connect_to(self.c_str(), port, self.c_str());
    ASSERT_GE(fd, 0);
    const unsigned char req[4] = {0x81, 0, 0, 0};
    send_all(fd, req, sizeof req);
    EXPECT_TRUE(peer_closed(fd));
    close(fd);
    EXPECT_TRUE(wait_until([&] { return stat("refused_allow") == refused + 1; }));
    EXPECT_TRUE(wait_until([] { return dirir2i_client_count() == 0; }));

    // An entry for the address admits it (entries can't be removed again).
    ASSERT_EQ(dirir2i_allow_cidr((self + "/32").c_str()), 0);
    fd = connect_to(self.c_str(), port, self.c_str());
    EXPECT_TRUE(session_request_answered(fd));
    close(fd);
    EXPECT_EQ(stat("refused_allow"), refused + 1);
}

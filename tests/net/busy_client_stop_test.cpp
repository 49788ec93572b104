// dirir2i_stop ends a connection whose client never lets it wait: the loop
// looks at the stop flag after every message, not only after a read that
// brought nothing, so stop doesn't wait for the client to run out of work.
#include "support/loopback_client.h"
#include "net_fixture.h"

#include "support/smb2_frames.h"

#include <atomic>
#include <thread>
#include <unistd.h>

using namespace nettest;

using BusyClientStop = NetTest;

TEST_F(BusyClientStop, StopEndsAConnectionWhoseClientAlwaysHasARequestWaiting) {
    ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0) << dirir2i_last_error();
    int fd = connect_to("127.0.0.1", dirir2i_port());
    ASSERT_GE(fd, 0);

    // Far more ECHOs than can be answered before the stop comes; each is
    // sent before the previous reply is read, so one is always waiting.
    constexpr long kEchoes = 2000000;
    std::atomic<long> answered{0};
    std::atomic<bool> ran_out{false}; // every ECHO was answered: nothing cut the client off
    std::thread client([&] {
        smb2::Bytes packet = smb2::nbss(smb2::echo(1));
        if (!send_all(fd, packet.data(), packet.size())) return;
        for (long i = 0; i < kEchoes; i++) {
            // A send or a read that fails: the server has closed the connection.
            if (!send_all(fd, packet.data(), packet.size())) return;
            if (recv_exact(fd, 4 + 68).size() != 4 + 68) return;
            answered++;
        }
        ran_out = true;
    });
    ASSERT_TRUE(wait_until([&] { return answered > 1000; }));

    dirir2i_stop();
    EXPECT_EQ(dirir2i_client_count(), 0);
    client.join();
    EXPECT_FALSE(ran_out) << "the client ran out of requests before the connection ended";
    EXPECT_LT(answered.load(), kEchoes);
    close(fd);
}

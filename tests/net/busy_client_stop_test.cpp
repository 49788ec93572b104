// dirir2i_stop ends a connection whose client never lets it wait: the loop
// looks at the stop flag after every message, not only after a read that
// brought nothing, so stop doesn't wait for the client to run out of work.
#include "loopback_client.h"
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
    std::atomic<bool> cut_off{false};
    std::thread client([&] {
        smb2::Bytes packet = smb2::nbss(smb2::echo(1));
        if (!send_all(fd, packet.data(), packet.size())) return;
        for (long i = 0; i < kEchoes; i++) {
            if (!send_all(fd, packet.data(), packet.size())) break;
            if (recv_exact(fd, 4 + 68).size() != 4 + 68) {
                cut_off = true;
                return;
            }
            answered++;
        }
    });
    ASSERT_TRUE(wait_until([&] { return answered > 1000; }));

    dirir2i_stop();
    EXPECT_EQ(dirir2i_client_count(), 0);
    client.join();
    EXPECT_TRUE(cut_off) << "the client ran out of requests before the connection ended";
    EXPECT_LT(answered.load(), kEchoes);
    close(fd);
}

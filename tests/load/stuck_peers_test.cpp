// Peers that hold the server up: half a header and then silence (dropped
// after idle_timeout_ms), a peer that stops reading a large reply (dropped
// after io_timeout_ms), and dirir2i_stop while all of that goes on together
// with busy clients (returns within a second and leaves nothing behind).
#include "load_fixture.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Logs on as a guest with a small window, opens big.bin and asks for 16 MiB
// of it in 256 pipelined READs without reading a byte of the replies.
std::unique_ptr<nettest::Conn> stop_reading_a_large_reply(int port) {
    auto c = std::make_unique<nettest::Conn>(port, true);
    smb2::Session s = c->logon();
    EXPECT_TRUE(s.ok) << s.error;
    smb2::Reply t = c->exchange(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\docs"));
    smb2::Reply f = c->exchange(smb2::create(s.header(SMB2_CREATE, t.tid()), {.name = "big.bin"}));
    EXPECT_EQ(f.status(), STATUS_SUCCESS);
    uint64_t fid = smb2::create_fid(f);
    smb2::Bytes reads;
    for (int i = 0; i < 256; i++) {
        smb2::Bytes one =
            smb2::nbss(smb2::read(s.header(SMB2_READ, t.tid()),
                                  {.fid = fid, .length = 65536, .offset = (i % 16) * 65536ull}));
        reads.insert(reads.end(), one.begin(), one.end());
    }
    EXPECT_TRUE(c->send_raw(reads.data(), reads.size()));
    return c;
}

std::vector<std::unique_ptr<nettest::Conn>> half_headers(int port, int n) {
    std::vector<std::unique_ptr<nettest::Conn>> peers;
    for (int i = 0; i < n; i++) {
        peers.push_back(std::make_unique<nettest::Conn>(port));
        EXPECT_TRUE(peers.back()->send_raw("\x00\x00", 2)) << i;
    }
    return peers;
}

} // namespace

class StuckPeers : public LoadTest {
  protected:
    void stop_within_one_second(int port, bool busy);
};

TEST_F(StuckPeers, FiftyHalfHeadersAreDroppedAtTheIdleTimeoutWhileOthersAreServed) {
    // Room for all of them: half the slots may be held from one address by
    // connections that have not logged on.
    ASSERT_EQ(dirir2i_set_option("max_clients", "128"), 0);
    ASSERT_EQ(dirir2i_set_option("idle_timeout_ms", "1000"), 0);
    int port = start();
    const int threads_before = nettest::thread_count();
    long long timeouts = nettest::stat("timeouts");

    auto peers = half_headers(port, 50);
    nettest::Conn busy(port);
    smb2::Session s = busy.logon(logon_params(0));
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(browse_and_read(busy, s), "");
    busy.close();

    for (size_t i = 0; i < peers.size(); i++)
        EXPECT_TRUE(peers[i]->closed_by_peer()) << i;
    EXPECT_EQ(nettest::stat("timeouts") - timeouts, 50);
    EXPECT_TRUE(nettest::wait_until([] { return dirir2i_client_count() == 0; }));
    EXPECT_TRUE(nettest::wait_until([&] { return nettest::thread_count() == threads_before; }));
}

TEST_F(StuckPeers, PeerThatStopsReadingALargeReplyIsDroppedAfterTheWriteTimeout) {
    ASSERT_EQ(dirir2i_set_option("io_timeout_ms", "300"), 0);
    int port = start();
    const int threads_before = nettest::thread_count();
    auto stuck = stop_reading_a_large_reply(port);
    // The server gives up on its own; the peer never reads.
    EXPECT_TRUE(nettest::wait_until([] { return dirir2i_client_count() == 0; }));
    EXPECT_TRUE(stuck->closed_by_peer());
    EXPECT_TRUE(nettest::wait_until([&] { return nettest::thread_count() == threads_before; }));
}

// Everything that could hold a connection thread up at once: silent peers,
// a peer that doesn't read, logged-on idle clients, and (when `busy` is
// set) clients that send one request after another, for at most 30 s.
void StuckPeers::stop_within_one_second(int port, bool busy) {
    const int fds_before = nettest::open_fd_count();
    const int threads_before = nettest::thread_count();

    auto silent = half_headers(port, 50);
    auto stuck = stop_reading_a_large_reply(port);

    const int kClients = 40;
    std::atomic<int> logged_on{0};
    std::atomic<long> echoes{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; i++)
        clients.emplace_back([&, i] {
            nettest::Conn c(port);
            smb2::Session s = c.logon(logon_params(i));
            logged_on++;
            if (!busy) {
                c.closed_by_peer();
                return;
            }
            bool sign = !s.guest;
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (s.ok && std::chrono::steady_clock::now() < until) {
                smb2::Bytes echo = smb2::request(s.header(SMB2_ECHO), smb2::echo_body());
                if (c.exchange(sign ? s.sign(echo) : echo).size() < 64) break;
                echoes++;
            }
        });
    ASSERT_TRUE(nettest::wait_until([&] { return logged_on == kClients; }));
    if (busy) {
        ASSERT_TRUE(nettest::wait_until([&] { return echoes > 10 * kClients; }));
    }
    ASSERT_EQ(dirir2i_client_count(), 50 + 1 + kClients);

    auto t0 = std::chrono::steady_clock::now();
    dirir2i_stop();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0);
    EXPECT_LT(took.count(), 1000) << "dirir2i_stop took " << took.count() << " ms";

    EXPECT_EQ(dirir2i_client_count(), 0);
    EXPECT_EQ(dirir2i_port(), 0);
    for (std::thread &t : clients)
        t.join(); // their connections are gone
    for (auto &p : silent)
        EXPECT_TRUE(p->closed_by_peer());
    EXPECT_TRUE(stuck->closed_by_peer());
    silent.clear();
    stuck.reset();
    // The accept thread and the listening socket are gone too.
    EXPECT_EQ(nettest::thread_count(), threads_before - 1);
    EXPECT_TRUE(nettest::wait_until([&] { return nettest::open_fd_count() == fds_before - 1; }))
        << nettest::open_fd_count() << " descriptors, " << fds_before << " before";
}

TEST_F(StuckPeers, StopReturnsWithinOneSecondWithSilentStuckAndIdleClients) {
    ASSERT_EQ(dirir2i_set_option("max_clients", "1024"), 0);
    ASSERT_EQ(dirir2i_set_option("io_timeout_ms", "3600000"), 0);
    stop_within_one_second(start(), false);
}

// Busy clients: the stop flag is seen after a message as well as after a
// read that brought nothing.
TEST_F(StuckPeers, StopReturnsWithinOneSecondWhileClientsKeepSendingRequests) {
    ASSERT_EQ(dirir2i_set_option("max_clients", "1024"), 0);
    ASSERT_EQ(dirir2i_set_option("io_timeout_ms", "3600000"), 0);
    stop_within_one_second(start(), true);
}

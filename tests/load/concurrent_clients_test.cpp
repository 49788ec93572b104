// Many clients at once: 200 connections that each negotiate, log on, list a
// folder and read a file all succeed, and the threads and descriptors they
// took are all given back; with max_clients below the load, the clients
// beyond it are refused and the admitted ones are served.
#include "load_fixture.h"

#include <atomic>
#include <barrier>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Runs `work(i)` for i in [0, n) on n threads that start together and end
// together; the errors they report, one line each.
std::string run_together(int n, const std::function<std::string(int)> &work) {
    std::barrier sync(n);
    std::mutex lock;
    std::string errors;
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++)
        threads.emplace_back([&, i] {
            sync.arrive_and_wait();
            std::string e = work(i);
            if (!e.empty()) {
                std::lock_guard<std::mutex> guard(lock);
                errors += "client " + std::to_string(i) + ": " + e + "\n";
            }
        });
    for (std::thread &t : threads)
        t.join();
    return errors;
}

} // namespace

using ConcurrentClients = LoadTest;

TEST_F(ConcurrentClients, TwoHundredSessionsAllSucceedAndGiveBackTheirThreadsAndDescriptors) {
    ASSERT_EQ(dirir2i_set_option("max_clients", "1024"), 0);
    int port = start();
    const int fds_before = nettest::open_fd_count();
    const int threads_before = nettest::thread_count();
    long long sessions = nettest::stat("sessions"), guests = nettest::stat("guest_sessions");
    long long trees = nettest::stat("trees");

    const int kClients = 200;
    std::atomic<int> peak{0};
    std::atomic<long long> peak_trees{0};
    std::barrier all_done(kClients, [&]() noexcept {
        peak = dirir2i_client_count();
        peak_trees = nettest::stat("trees");
    });
    std::string errors = run_together(kClients, [&](int i) {
        nettest::Conn c(port);
        std::string e;
        if (!c.ok()) e = "connect";
        smb2::Session s;
        if (e.empty()) s = c.logon(logon_params(i));
        if (e.empty() && !s.ok) e = "logon: " + s.error;
        if (e.empty() && s.guest != (i % 2 == 1)) e = "logged on as the wrong kind";
        if (e.empty()) e = browse_and_read(c, s);
        all_done.arrive_and_wait(); // every connection is still open here
        return e;
    });
    EXPECT_EQ(errors, "");
    EXPECT_EQ(peak, kClients) << "all connections were open at once";
    // Every challenge leg counts in `sessions`, and so does a user's success.
    EXPECT_EQ(nettest::stat("sessions") - sessions, kClients + kClients / 2);
    EXPECT_EQ(nettest::stat("guest_sessions") - guests, kClients / 2);

    EXPECT_TRUE(nettest::wait_until([] { return dirir2i_client_count() == 0; }));
    // The trees gauge counts what is connected: each client's tree while it
    // was there, none once the connections that held them are gone.
    EXPECT_EQ(peak_trees - trees, kClients);
    EXPECT_TRUE(nettest::wait_until([&] { return nettest::stat("trees") == trees; }))
        << nettest::stat("trees") << " trees, " << trees << " before";
    // Finished connections are reaped by the accept thread on its next pass.
    EXPECT_TRUE(nettest::wait_until([&] { return nettest::thread_count() == threads_before; }))
        << nettest::thread_count() << " threads, " << threads_before << " before";
    EXPECT_TRUE(nettest::wait_until([&] { return nettest::open_fd_count() == fds_before; }))
        << nettest::open_fd_count() << " descriptors, " << fds_before << " before";
}

// Every slot held by a logged-on client: none makes room, so the clients
// beyond max_clients are refused while the admitted ones go on being served.
TEST_F(ConcurrentClients, BeyondMaxClientsOfLoggedOnClientsTheRestAreRefused) {
    ASSERT_EQ(dirir2i_set_option("max_clients", "120"), 0);
    int port = start();
    const int kAdmitted = 120, kMore = 80;
    std::vector<std::unique_ptr<nettest::Conn>> conns;
    std::vector<smb2::Session> sessions;
    // One at a time: each logs on before the next connects.
    for (int i = 0; i < kAdmitted; i++) {
        conns.push_back(std::make_unique<nettest::Conn>(port));
        sessions.push_back(conns.back()->logon(logon_params(i)));
        ASSERT_TRUE(sessions.back().ok) << i << ": " << sessions.back().error;
    }
    long long refused = nettest::stat("refused_full");
    for (int i = 0; i < kMore; i++) {
        nettest::Conn extra(port);
        EXPECT_TRUE(extra.closed_by_peer()) << i;
    }
    EXPECT_EQ(nettest::stat("refused_full") - refused, kMore);
    EXPECT_EQ(dirir2i_client_count(), kAdmitted);

    std::string errors = run_together(
        kAdmitted, [&](int i) { return browse_and_read(*conns[i], sessions[i]); });
    EXPECT_EQ(errors, "");

    conns.clear();
    EXPECT_TRUE(nettest::wait_until([] { return dirir2i_client_count() == 0; }));
    nettest::Conn after(port);
    EXPECT_EQ(after.exchange(smb2::echo(0)).status(), STATUS_SUCCESS) << "admitted again";
}

// Admission before logon: peers that connect and never log on can't lock out
// a client with credentials, whether they come from one address (they hold
// at most half of the slots) or from many (when every slot is taken, the
// oldest of them makes room once it has had a second to log on).
#include "load_fixture.h"

#include "support/builders/tempdir.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Threads that each keep one connection open without sending a byte, and
// connect again the moment the server closes it or turns it away.
class Squatters {
  public:
    Squatters(int port, int n, const std::function<std::string(int)> &from) {
        for (int i = 0; i < n; i++)
            threads_.emplace_back([this, port, addr = from(i)] {
                while (!stop_) {
                    int fd = nettest::connect_to("127.0.0.1", port, addr.c_str());
                    if (fd < 0) continue;
                    connects_++;
                    while (!stop_ && !nettest::peer_closed(fd, 50)) {
                    }
                    close(fd);
                }
            });
    }
    ~Squatters() {
        stop_ = true;
        for (std::thread &t : threads_) t.join();
    }
    long connects() const { return connects_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<long> connects_{0};
    std::vector<std::thread> threads_;
};

class Admission : public LoadTest {
  protected:
    TempDir logs_;
    std::string log_ = logs_.join("access.log");
    void SetUp() override {
        LoadTest::SetUp();
        ASSERT_EQ(dirir2i_set_option("max_clients", "16"), 0);
        ASSERT_EQ(dirir2i_set_option("log", log_.c_str()), 0);
    }
    void TearDown() override {
        LoadTest::TearDown();
        dirir2i_set_option("log", "off");
    }
    // A client from 127.0.0.2 that logs on and reads, connecting again while
    // it is turned away (at most 200 times, 25 ms apart). The attempts it
    // took, or 0 when it never got in.
    int legitimate_client(int port) {
        for (int attempt = 1; attempt <= 200; attempt++) {
            nettest::Conn c(port, false, "127.0.0.2");
            smb2::Session s = c.ok() ? c.logon(logon_params(1)) : smb2::Session{};
            if (s.ok) {
                EXPECT_EQ(browse_and_read(c, s), "");
                return attempt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return 0;
    }
    int evictions() {
        std::ifstream in(log_);
        std::string line;
        int n = 0;
        while (std::getline(in, line))
            if (line.find("event=disconnect") != std::string::npos &&
                line.find("reason=evicted") != std::string::npos)
                n++;
        return n;
    }
};

} // namespace

TEST_F(Admission, SquattersFromOneAddressHoldAtMostHalfTheSlots) {
    int port = start();
    Squatters squat(port, 16, [](int) { return std::string("127.0.0.1"); });
    ASSERT_TRUE(nettest::wait_until([&] { return squat.connects() >= 200; }));
    EXPECT_LE(dirir2i_client_count(), 8);
    EXPECT_EQ(legitimate_client(port), 1) << "half the slots stay free for other addresses";
}

TEST_F(Admission, TheOldestSquatterMakesRoomForALegitimateClient) {
    int port = start();
    // One squatter per address: no address passes its half, all slots fill.
    Squatters squat(port, 16, [](int i) { return "127.0.0." + std::to_string(10 + i); });
    ASSERT_TRUE(nettest::wait_until([] { return dirir2i_client_count() == 16; }));
    EXPECT_GE(legitimate_client(port), 1) << "never got in";
    EXPECT_GE(evictions(), 1);
}

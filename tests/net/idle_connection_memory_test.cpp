// What idle connections cost: a hundred logged-on clients that each read a
// megabyte and then wait hold under 1 MiB of resident memory apiece (the
// client side in this process included), and none of the heap they used
// outlives them. The bounds leave room for allocator noise (a connection
// really costs a few hundred KiB here) while catching a connection that
// keeps its megabyte-sized reply, or a leak per connection. Under AddressSanitizer, whose shadow memory makes
// resident sizes meaningless, the live heap stands in for both.
#include "support/loopback_client.h"
#include "support/memory_probe.h"
#include "net_fixture.h"

#include "engine/qv2_engine_types.h"
#include "files/scoped_share.h"
#include "support/smb2_file_requests.h"
#include "support/smb2_requests.h"
#include "support/smb2_session.h"
#include "support/builders/tempdir.h"

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace nettest;
using smb2::Bytes;

namespace {

constexpr long long kMiB = 1 << 20;
constexpr int kClients = 100;

// Logs on as a guest (large MTU), connects to the share and reads the whole
// 1 MiB file in one READ. "" or what went wrong.
std::string read_the_file(Conn &c) {
    smb2::Session s = c.logon({.capabilities = 4});
    if (!s.ok) return "logon: " + s.error;
    smb2::Reply t = c.exchange(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\idle"));
    if (t.size() < 64 || t.status() != 0) return "tree connect failed";
    smb2::Reply o = c.exchange(smb2::create(s.header(SMB2_CREATE, t.tid()), {.name = "one.bin"}));
    if (o.size() < 64 || o.status() != 0) return "create failed";
    smb2::Reply r = c.exchange(
        smb2::read(s.header(SMB2_READ, t.tid()), {.fid = smb2::create_fid(o), .length = 1 << 20}));
    if (r.size() < 64 || r.status() != 0) return "read failed";
    if (smb2::read_data(r).size() != size_t(1) << 20) return "short read";
    return "";
}

class IdleConnectionMemory : public NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        dir_.write("one.bin", std::string(1 << 20, 'i'));
        ASSERT_EQ(dirir2i_set_option("max_clients", "1024"), 0);
        ASSERT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0) << dirir2i_last_error();
    }
    TempDir dir_;
    ScopedShare share_{"idle", dir_.path()};
    smb2::ScopedOption guest_{"guest", "on"};
};

} // namespace

TEST_F(IdleConnectionMemory, AHundredIdleClientsCostUnder1MiBEachAndLeaveNothingBehind) {
    const int threads_before = thread_count();
    {
        // One client first, so that what the first connection sets up once
        // for the process (allocator arenas, the file's pages) is not counted.
        Conn warm(dirir2i_port());
        ASSERT_EQ(read_the_file(warm), "");
    }
    ASSERT_TRUE(wait_until([&] { return thread_count() == threads_before; }));
    const long long rss_before = probe::memory_in_use(), heap_before = probe::heap_in_use();

    std::vector<std::unique_ptr<Conn>> clients;
    for (int i = 0; i < kClients; i++) {
        clients.push_back(std::make_unique<Conn>(dirir2i_port()));
        ASSERT_EQ(read_the_file(*clients.back()), "") << "client " << i;
    }
    ASSERT_EQ(dirir2i_client_count(), kClients);
    usleep(300 * 1000); // every connection has waited idle at least once since its READ
    const long long rss_idle = probe::memory_in_use();
    // Half the 2 MiB a connection may cost: a connection that kept its
    // megabyte reply would be over it.
    EXPECT_LT(rss_idle - rss_before, kClients * kMiB)
        << "per idle connection: " << (rss_idle - rss_before) / kClients << " bytes";

    clients.clear();
    ASSERT_TRUE(wait_until([] { return dirir2i_client_count() == 0; }));
    ASSERT_TRUE(wait_until([&] { return thread_count() == threads_before; }));
    EXPECT_LT(probe::heap_in_use() - heap_before, kMiB)
        << "heap before " << heap_before << ", after " << probe::heap_in_use();
}

// The server of the load tests: started in-process on a loopback port chosen
// by the system, over a temporary share "docs" (hello.txt, big.bin of 1 MiB,
// the folder list/ of 50 files), with the user alice, guests admitted, and
// signing required, so that a client that requires signing too logs on as
// alice and signs while every other client is a guest. Every test leaves
// the server stopped and the options as it found them.
#pragma once

#include "support/loopback_client.h"

#include "support/smb2_file_requests.h"
#include "support/smb2_requests.h"
#include "support/smb2_transport.h"
#include "support/builders/tempdir.h"

#include "dirir2i.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

#include <string>

class LoadTest : public ::testing::Test {
  protected:
    static constexpr int kListed = 50;

    void SetUp() override {
        dirir2i_stop();
        dir_.write("hello.txt", "hello world\n");
        std::string big(1 << 20, '\0');
        for (size_t i = 0; i < big.size(); i++)
            big[i] = char(i * 7);
        dir_.write("big.bin", big);
        for (int i = 0; i < kListed; i++)
            dir_.write("list/f" + std::to_string(i) + ".txt", "x");
        ASSERT_EQ(dirir2i_add_share("docs", dir_.path().c_str()), 0) << dirir2i_last_error();
        ASSERT_EQ(dirir2i_add_user("alice", "Secret123"), 0);
        ASSERT_EQ(dirir2i_set_option("guest", "on"), 0);
        ASSERT_EQ(dirir2i_set_option("signing", "required"), 0);
    }
    void TearDown() override {
        dirir2i_stop();
        dirir2i_remove_share("docs");
        dirir2i_remove_user("alice");
    }
    int start() {
        EXPECT_EQ(dirir2i_start("127.0.0.1", 0, nullptr), 0) << dirir2i_last_error();
        return dirir2i_port();
    }

    // Client i logs on as alice (requiring signing, so it signs) when i is
    // even, else as a guest.
    static smb2::LogonParams logon_params(int i) {
        if (i % 2) return {};
        return {.user = "alice", .password = "Secret123", .security_mode = 0x02};
    }

    // Tree connect, list list/ and read hello.txt; "" on success, else what
    // went wrong. Requests are signed on a user session and the replies'
    // signatures checked.
    static std::string browse_and_read(nettest::Conn &c, smb2::Session &s) {
        bool sign = !s.guest;
        auto call = [&](smb2::Bytes req) {
            smb2::Reply r = c.exchange(sign ? s.sign(req) : req);
            if (sign && r.size() >= 64 && !r.signed_with(s.key)) return smb2::Reply();
            return r;
        };
        smb2::Reply t = call(smb2::tree_connect(s.header(SMB2_TREE_CONNECT), "\\\\h\\docs"));
        if (t.size() < 64 || t.status() != 0) return "TREE_CONNECT";
        uint32_t tid = t.tid();
        smb2::Reply d =
            call(smb2::create(s.header(SMB2_CREATE, tid), {.name = "list", .options = 1}));
        if (d.size() < 64 || d.status() != 0) return "CREATE list";
        uint64_t dir = smb2::create_fid(d);
        size_t names = 0;
        for (int page = 0; page < 10; page++) {
            smb2::Reply q = call(smb2::query_directory(s.header(SMB2_QUERY_DIRECTORY, tid),
                                                       {.fid = dir, .cls = smb2::CLS_NAMES}));
            if (q.size() < 64) return "QUERY_DIRECTORY";
            if (q.status() == STATUS_NO_MORE_FILES) break;
            if (q.status() != 0) return "QUERY_DIRECTORY status";
            for (const smb2::DirEntry &e : smb2::dir_entries(q, smb2::CLS_NAMES))
                names += e.name[0] == 'f'; // "." and ".." aside
        }
        if (names != kListed) return "listing has " + std::to_string(names) + " names";
        if (call(smb2::close(s.header(SMB2_CLOSE, tid), dir)).status() != 0) return "CLOSE list";
        smb2::Reply f = call(smb2::create(s.header(SMB2_CREATE, tid), {.name = "hello.txt"}));
        if (f.size() < 64 || f.status() != 0) return "CREATE hello.txt";
        uint64_t fid = smb2::create_fid(f);
        smb2::Reply rd = call(smb2::read(s.header(SMB2_READ, tid), {.fid = fid, .length = 4096}));
        smb2::Bytes data = smb2::read_data(rd);
        if (std::string(data.begin(), data.end()) != "hello world\n") return "READ";
        if (call(smb2::close(s.header(SMB2_CLOSE, tid), fid)).status() != 0) return "CLOSE";
        return "";
    }

    TempDir dir_;
    smb2::OptionsSnapshot restore_;
};

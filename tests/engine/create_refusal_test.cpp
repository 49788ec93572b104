// What CREATE refuses, end to end through the simulation on a temporary
// share: write access, every disposition but FILE_OPEN, write-related and
// unsupported options, malformed requests and names, names outside the
// share, the handle limit. A refusal leaves no open behind and the share's
// files exactly as they were.
#include "create_fixture.h"

#include "config/qv2_cfg.h"
#include "engine/qv2_engine_types.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>

using smb2::Bytes;
using smb2::CreateParams;
using smb2::Header;

namespace fs = std::filesystem;

namespace {

using CreateRefusal = CreateTest;

// The refusal body: StructureSize 9 and 86 zero bytes.
void expect_error_body(const smb2::Reply &r) {
    ASSERT_EQ(r.size(), 64u + 88u);
    EXPECT_EQ(r.u16(64), 9u);
    for (size_t i = 66; i < r.size(); i++)
        ASSERT_EQ(r.u8(i), 0u) << i;
}

} // namespace

TEST_F(CreateRefusal, EveryAccessBeyondReadingIsDenied) {
    const uint32_t refused[] = {
        smb2::ACCESS_GENERIC_READ | smb2::ACCESS_GENERIC_WRITE,
        smb2::ACCESS_GENERIC_WRITE,
        smb2::ACCESS_GENERIC_ALL,
        smb2::ACCESS_GENERIC_EXECUTE | smb2::ACCESS_GENERIC_WRITE,
        smb2::ACCESS_MAXIMUM_ALLOWED | smb2::ACCESS_DELETE, // what may be had, and more
        smb2::ACCESS_DELETE,
        0x00000002, // FILE_WRITE_DATA
        0x00000004, // FILE_APPEND_DATA
        0x00000010, // FILE_WRITE_EA
        0x00000040, // FILE_DELETE_CHILD
        0x00000100, // FILE_WRITE_ATTRIBUTES
        0x00040000, // WRITE_DAC
        0x00080000, // WRITE_OWNER
        0x01000000, // ACCESS_SYSTEM_SECURITY
        smb2::ACCESS_READ | 0x00000002,
    };
    std::vector<std::pair<uint32_t, CreateParams>> list;
    for (uint32_t access : refused)
        list.push_back({kDocs, {.name = "hello.txt", .access = access}});
    smb2::CounterWatch w;
    std::vector<smb2::Reply> r = creates(list);
    for (size_t i = 0; i < r.size(); i++) {
        SCOPED_TRACE(testing::Message() << "access 0x" << std::hex << refused[i]);
        EXPECT_EQ(r[i].status(), STATUS_ACCESS_DENIED);
        expect_error_body(r[i]);
    }
    EXPECT_EQ(w.delta(QV2_ST_OPEN_REFUSED), long(std::size(refused)));
    EXPECT_EQ(w.delta(QV2_ST_OPENS), 0);
}

// MAXIMUM_ALLOWED (what Java-based clients ask for) is granted the read
// rights; GENERIC_EXECUTE stands for execute, read attributes, read control.
TEST_F(CreateRefusal, ReadRightsAloneAreAccepted) {
    const uint32_t accepted[] = {smb2::ACCESS_GENERIC_READ,
                                 0x00100001 /* READ_DATA|SYNCHRONIZE */,
                                 0x00000080 /* READ_ATTRIBUTES */,
                                 0x001200A9,
                                 0x00000020,
                                 smb2::ACCESS_MAXIMUM_ALLOWED,
                                 smb2::ACCESS_MAXIMUM_ALLOWED | smb2::ACCESS_GENERIC_READ,
                                 smb2::ACCESS_GENERIC_EXECUTE,
                                 smb2::ACCESS_GENERIC_EXECUTE | smb2::ACCESS_GENERIC_READ};
    std::vector<std::pair<uint32_t, CreateParams>> list;
    for (uint32_t access : accepted)
        list.push_back({kDocs, {.name = "hello.txt", .access = access}});
    std::vector<smb2::Reply> r = creates(list);
    for (size_t i = 0; i < r.size(); i++)
        EXPECT_EQ(r[i].status(), STATUS_SUCCESS) << std::hex << accepted[i];
}

TEST_F(CreateRefusal, EveryDispositionButOpenIsDeniedOnEveryTree) {
    std::vector<std::pair<uint32_t, CreateParams>> list;
    for (uint32_t d : {0u, 2u, 3u, 4u, 5u, 6u}) {
        list.push_back({kDocs, {.name = "hello.txt", .disposition = d}});
        list.push_back({kDocs, {.name = "new.txt", .disposition = d}});
        list.push_back({kIpc, {.name = "srvsvc", .disposition = d}});
    }
    for (const smb2::Reply &r : creates(list))
        EXPECT_EQ(r.status(), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(fs::exists(docs_.dir.join("new.txt")));
}

TEST_F(CreateRefusal, WriteRelatedOptionsAreDeniedOnDiskTreesOnly) {
    std::vector<smb2::Reply> r = creates({
        {kDocs, {.name = "hello.txt", .options = smb2::OPT_WRITE_THROUGH}},
        {kDocs, {.name = "hello.txt", .options = smb2::OPT_DELETE_ON_CLOSE}},
        {kDocs, {.name = "hello.txt", .options = 0x00020000}}, // FILE_DISALLOW_EXCLUSIVE
        {kDocs, {.name = "hello.txt", .options = 0x00100000}}, // FILE_RESERVE_OPFILTER
        {kIpc, {.name = "srvsvc", .options = 0x00100000}},
        {kIpc,
         {.name = "srvsvc",
          .access = smb2::ACCESS_GENERIC_READ | smb2::ACCESS_GENERIC_WRITE,
          .options = smb2::OPT_WRITE_THROUGH | smb2::OPT_DELETE_ON_CLOSE}},
    });
    EXPECT_EQ(r[0].status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(r[1].status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(r[2].status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r[3].status(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r[4].status(), STATUS_NOT_SUPPORTED) << "on IPC$ as well";
    EXPECT_EQ(r[5].status(), STATUS_SUCCESS) << "the pipe may be opened for writing";
    EXPECT_TRUE(fs::exists(docs_.dir.join("hello.txt")));
}

TEST_F(CreateRefusal, ImpersonationAboveDelegateIsInvalid) {
    std::vector<smb2::Reply> r = creates({{kDocs, {.name = "hello.txt", .impersonation = 5}},
                                          {kDocs, {.name = "hello.txt", .impersonation = 4}}});
    EXPECT_EQ(r[0].status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r[1].status(), STATUS_SUCCESS);
}

TEST_F(CreateRefusal, UnknownOrDisconnectedTreeIsNetworkNameDeleted) {
    std::vector<Bytes> msgs = {
        smb2::tree_connect(sim_.header(SMB2_TREE_CONNECT), "\\\\h\\docs"),
        smb2::create(sim_.header(SMB2_CREATE, 9), {.name = "hello.txt"}),
        smb2::tree_disconnect(sim_.header(SMB2_TREE_DISCONNECT, kDocs)),
        smb2::create(sim_.header(SMB2_CREATE, kDocs), {.name = "hello.txt"}),
    };
    std::vector<smb2::Reply> r = sim_.run(msgs);
    EXPECT_EQ(r[1].status(), STATUS_NETWORK_NAME_DELETED);
    EXPECT_EQ(r[3].status(), STATUS_NETWORK_NAME_DELETED);
}

// Without a session nothing else is looked at (MS-SMB2 3.3.5.2.9).
TEST(CreateWithoutSession, SessionCheckComesFirst) {
    smb2::Script s;
    s.send(smb2::create(Header{.mid = 1}, {.name = "a", .disposition = 2}));
    s.send(smb2::create(Header{.mid = 2}, {.name = "a", .options = 0x00100000}));
    s.send(smb2::create(Header{.mid = 3}, {.name = "a"}));
    smb2::Transcript t = smb2::run(s);
    ASSERT_EQ(t.replies.size(), 3u);
    for (const smb2::Reply &r : t.replies) {
        EXPECT_EQ(r.status(), STATUS_USER_SESSION_DELETED);
        EXPECT_EQ(smb2::hex(r.body()), "090000000000000000") << "the dispatcher's error body";
    }
}

TEST_F(CreateRefusal, MalformedRequestsAreInvalidParameter) {
    auto edited = [&](auto edit) {
        Bytes req = smb2::create(sim_.header(SMB2_CREATE, kDocs), {.name = "hello.txt"});
        edit(req);
        return req;
    };
    std::vector<Bytes> msgs = {
        smb2::tree_connect(sim_.header(SMB2_TREE_CONNECT), "docs"),
        edited([](Bytes &b) { smb2::put_u16(b, 64, 56); }),
        edited([](Bytes &b) { b.resize(64 + 50); }),         // cut inside the fixed fields
        edited([](Bytes &b) { smb2::put_u16(b, 108, 63); }), // NameOffset inside the header
        edited([](Bytes &b) { smb2::put_u16(b, 110, 20); }), // name running past the message
        edited([](Bytes &b) {                                // 2056 bytes of name
            b.resize(120 + 2056, 'a');
            smb2::put_u16(b, 110, 2056);
        }),
    };
    std::vector<smb2::Reply> r = sim_.run(msgs);
    for (size_t i = 1; i < r.size(); i++) {
        EXPECT_EQ(r[i].status(), STATUS_INVALID_PARAMETER) << i;
        expect_error_body(r[i]);
    }
}

TEST_F(CreateRefusal, NamesThatAreNotValidUtf16AreInvalidNames) {
    std::vector<smb2::Reply> r = creates({
        {kDocs, {.raw_name = {'a', 0, 'b'}}},          // odd length
        {kDocs, {.raw_name = {'a', 0, 0x00, 0xDC}}},   // lone low surrogate
        {kDocs, {.raw_name = {'a', 0, 0, 0, 'b', 0}}}, // embedded zero unit
        {kDocs, {.raw_name = {0x3D, 0xD8}}},           // high surrogate at the end
    });
    for (const smb2::Reply &x : r)
        EXPECT_EQ(x.status(), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(CreateRefusal, PathsLeavingTheShareAreRefused) {
    smb2::CounterWatch w;
    std::vector<smb2::Reply> r = creates({
        {kDocs, {.name = "..\\secret.txt"}},
        {kDocs, {.name = "sub\\..\\hello.txt"}},
        {kDocs, {.name = "hello.txt."}},
    });
    for (const smb2::Reply &x : r)
        EXPECT_EQ(x.status(), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(w.delta(QV2_ST_PATH_REFUSED), 3);
}

// A missing last component in a folder that exists is OBJECT_NAME_NOT_FOUND,
// anything missing before it OBJECT_PATH_NOT_FOUND. A link leading out of
// the share looks exactly like a missing object at its place in the path;
// only the escape counter tells them apart.
TEST_F(CreateRefusal, MissingNamesSayWhereTheyStopAndEscapesLookTheSame) {
    struct Row {
        const char *name;
        uint32_t status;
        int escapes;
    };
    const Row rows[] = {
        {"nope.txt", STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {"sub\\nope.txt", STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {"sub\\nope\\deeper", STATUS_OBJECT_PATH_NOT_FOUND, 0},
        {"nope\\inner.txt", STATUS_OBJECT_PATH_NOT_FOUND, 0},
        {"hello.txt\\x", STATUS_OBJECT_PATH_NOT_FOUND, 0}, // a file where a folder should be
        {"out", STATUS_OBJECT_NAME_NOT_FOUND, 1},
        {"out_dir", STATUS_OBJECT_NAME_NOT_FOUND, 1},
        {"out_dir\\secret.txt", STATUS_OBJECT_PATH_NOT_FOUND, 1},
        {"OUT_DIR\\x", STATUS_OBJECT_PATH_NOT_FOUND, 1}, // found ignoring case, still outside
    };
    for (const Row &row : rows) {
        smb2::CounterWatch w;
        smb2::Reply r = create_one(kDocs, {.name = row.name});
        EXPECT_EQ(r.status(), row.status) << row.name;
        EXPECT_EQ(w.delta(QV2_ST_PATH_REFUSED), row.escapes) << row.name;
        EXPECT_EQ(w.delta(QV2_ST_OPEN_REFUSED), 1) << row.name;
        EXPECT_EQ(w.delta(QV2_ST_OPENS), 0) << row.name;
    }
}

TEST_F(CreateRefusal, OtherPipesThanSrvsvcAreNotFound) {
    std::vector<smb2::Reply> r =
        creates({{kIpc, {.name = "lsarpc"}}, {kIpc, {.name = "srvsvc2"}}, {kIpc, {.name = ""}}});
    for (const smb2::Reply &x : r)
        EXPECT_EQ(x.status(), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(CreateRefusal, HandleLimitCountsOpensInUse) {
    smb2::ScopedOption limit("max_handles", "2");
    std::vector<Bytes> msgs = {
        smb2::tree_connect(sim_.header(SMB2_TREE_CONNECT), "docs"),
        smb2::create(sim_.header(SMB2_CREATE, kDocs), {.name = "hello.txt"}),
        smb2::create(sim_.header(SMB2_CREATE, kDocs), {.name = "big.bin"}),
        smb2::create(sim_.header(SMB2_CREATE, kDocs), {.name = "sub"}),
        smb2::close(sim_.header(SMB2_CLOSE, kDocs), 0x21),
        smb2::create(sim_.header(SMB2_CREATE, kDocs), {.name = "sub"}),
    };
    std::vector<smb2::Reply> r = sim_.run(msgs);
    EXPECT_EQ(smb2::create_fid(r[1]), 0x21u);
    EXPECT_EQ(smb2::create_fid(r[2]), 0x31u);
    EXPECT_EQ(r[3].status(), STATUS_INSUFFICIENT_RESOURCES);
    expect_error_body(r[3]);
    EXPECT_EQ(r[4].status(), STATUS_SUCCESS);
    EXPECT_EQ(r[5].status(), STATUS_SUCCESS);
    EXPECT_EQ(smb2::create_fid(r[5]), 0x41u) << "a refusal draws no FileId";
}

// The refused requests above, and a few accepted ones, against a share
// whose every file, folder and time has been set to a known state first.
TEST_F(CreateRefusal, RefusedRequestsLeaveTheShareUntouched) {
    const auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    auto settle = [&](const fs::path &root) {
        for (const auto &e : fs::recursive_directory_iterator(root))
            if (!e.is_symlink()) fs::last_write_time(e.path(), old_time);
        fs::last_write_time(root, old_time);
    };
    struct State {
        fs::file_type type;
        uintmax_t size;
        fs::file_time_type mtime;
    };
    auto snapshot = [&](const fs::path &root) {
        std::map<std::string, State> m;
        for (const auto &e : fs::recursive_directory_iterator(root)) {
            fs::file_status st = e.symlink_status();
            m[e.path().string()] = {st.type(),
                                    st.type() == fs::file_type::regular ? e.file_size() : 0,
                                    e.is_symlink() ? old_time : fs::last_write_time(e.path())};
        }
        m[root.string()] = {fs::file_type::directory, 0, fs::last_write_time(root)};
        return m;
    };
    auto same = [](const std::map<std::string, State> &a, const std::map<std::string, State> &b) {
        if (a.size() != b.size()) return false;
        for (const auto &[k, v] : a) {
            auto it = b.find(k);
            if (it == b.end() || it->second.type != v.type || it->second.size != v.size ||
                it->second.mtime != v.mtime)
                return false;
        }
        return true;
    };
    settle(docs_.dir.path());
    settle(docs_.outside.path());
    auto before = snapshot(docs_.dir.path());
    auto before_out = snapshot(docs_.outside.path());

    std::vector<std::pair<uint32_t, CreateParams>> list;
    for (const char *name : {"hello.txt", "new.txt", "sub", "sub\\new", "out", "out_dir\\x", ""}) {
        for (uint32_t d : {0u, 2u, 3u, 4u, 5u})
            list.push_back({kDocs, {.name = name, .disposition = d}});
        for (uint32_t a : {0x2u, 0x4u, 0x10u, 0x100u, 0x10000u, 0x40000000u, 0x10000000u})
            list.push_back({kDocs, {.name = name, .access = a}});
        list.push_back({kDocs, {.name = name, .options = smb2::OPT_DELETE_ON_CLOSE}});
        list.push_back({kDocs, {.name = name, .options = smb2::OPT_WRITE_THROUGH}});
        list.push_back({kDocs, {.name = name}}); // may be accepted: opens for reading only
    }
    creates(list);

    EXPECT_TRUE(same(before, snapshot(docs_.dir.path())));
    EXPECT_TRUE(same(before_out, snapshot(docs_.outside.path())));
    EXPECT_EQ(read_file(docs_.dir.join("hello.txt")), "hello world\n");
    EXPECT_EQ(read_file(docs_.outside.join("secret.txt")), "secret");
    EXPECT_FALSE(fs::exists(docs_.dir.join("new.txt")));
}

#include "support/smb2_client.h"

#include <gtest/gtest.h>

namespace smb2 {

Client::Client(const LogonParams &p) {
    s_ = logon(dc_, p);
    EXPECT_TRUE(s_.ok) << "logon: " << s_.error;
}

uint32_t Client::connect(const std::string &share) {
    Reply r = send(tree_connect(header(3), "\\\\server\\" + share));
    if (r.size() < 64 || r.status() != 0) {
        ADD_FAILURE() << "TREE_CONNECT " << share << " failed: status 0x" << std::hex
                      << (r.size() >= 12 ? r.status() : 0);
        return 0;
    }
    return r.tid();
}

uint64_t Client::open(uint32_t tid, const std::string &name, uint32_t options) {
    Reply r = create(tid, {.name = name, .options = options});
    if (r.size() < 64 + 89 || r.status() != 0) {
        ADD_FAILURE() << "CREATE " << name << " failed: status 0x" << std::hex
                      << (r.size() >= 12 ? r.status() : 0);
        return 0;
    }
    return create_fid(r);
}

SimClient::SimClient(const LogonParams &p) {
    s_ = logon_script(p);
    EXPECT_TRUE(s_.ok) << "logon: " << s_.error;
}

std::vector<Reply> SimClient::run(const std::vector<Bytes> &msgs) {
    Script script = s_.script();
    for (const Bytes &m : msgs)
        script.send(m);
    t_ = smb2::run(script);
    EXPECT_TRUE(t_.ok) << t_.error;
    size_t first = s_.replies.size();
    EXPECT_EQ(t_.replies.size(), first + msgs.size()) << "one reply per request";
    std::vector<Reply> out(msgs.size());
    for (size_t i = 0; i < msgs.size() && first + i < t_.replies.size(); i++)
        out[i] = t_.replies[first + i];
    return out;
}

} // namespace smb2

// The CREATE tests' fixture: guests admitted, a fixed clock, the docs tree
// (support/builders/docs_tree.h) as share "docs", and a logged-on client run
// through the simulation. creates() connects docs (tree kDocs) and IPC$
// (tree kIpc), then sends one CREATE per entry.
#pragma once

#include "support/docs_share.h"
#include "support/smb2_client.h"

#include "engine/qv2_engine_types.h"
#include "files/qv2_fs.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

class CreateTest : public ::testing::Test {
  protected:
    static constexpr uint32_t kDocs = 1, kIpc = 2;

    smb2::ScopedOption guest_{"guest", "on"};
    smb2::ScopedOption clock_{"clock", "1700000000"};
    DocsShare docs_;
    smb2::SimClient sim_;

    // The replies to the CREATEs; `edit`, when given, changes each built
    // request before it is sent.
    std::vector<smb2::Reply>
    creates(const std::vector<std::pair<uint32_t, smb2::CreateParams>> &list,
            void (*edit)(smb2::Bytes &) = nullptr) {
        std::vector<smb2::Bytes> msgs = {
            smb2::tree_connect(sim_.header(SMB2_TREE_CONNECT), "\\\\h\\docs"),
            smb2::tree_connect(sim_.header(SMB2_TREE_CONNECT), "\\\\h\\IPC$")};
        for (const auto &[tid, p] : list) {
            msgs.push_back(smb2::create(sim_.header(SMB2_CREATE, tid), p));
            if (edit) edit(msgs.back());
        }
        std::vector<smb2::Reply> r = sim_.run(msgs);
        EXPECT_EQ(r[0].tid(), kDocs);
        EXPECT_EQ(r[1].tid(), kIpc);
        return {r.begin() + 2, r.end()};
    }
    smb2::Reply create_one(uint32_t tid, const smb2::CreateParams &p) {
        return creates({{tid, p}})[0];
    }
    // The share's root for "", else a name inside it.
    qv2_fs_info stat_of(const std::string &rel) {
        qv2_fs_info in{};
        std::string path = rel.empty() ? docs_.dir.path() : docs_.dir.join(rel);
        EXPECT_EQ(qv2_fs_stat(path.c_str(), &in), 0) << path;
        return in;
    }
};

// READ throughput and listing speed of the engine, driven in-process through
// frame_in on a hand-made, logged-on connection (no network, no simulation
// transcript). Prints MB/s for 1 MiB and 64 KiB reads of a 256 MiB file,
// unsigned and signed, and entries/s for paging through a 100,000-entry
// folder.
//
//   bench_read_list [-r | -l] [work-folder-parent]   (default: $TMPDIR or /tmp)
//
//   -r  reads only (no 100,000-file folder is made)
//   -l  listing only
//
// Each read figure is given twice: with the reply built in fresh storage for
// every message (what the session loop used to do) and in storage kept from
// one message to the next (what it does now, for storage up to 128 KiB: 64 KiB
// READs reuse it, 1 MiB READs still get fresh storage). Signed reads are measured with
// the portable SHA-256 compression and with the SHA extensions (where the CPU
// has them); "before" is fresh storage and portable, "after" kept storage and
// the compression the server picks.
//
// Everything it creates lives in one temporary folder that it removes.
#include "config/qv2_cfg.h"
#include "dirir2i.h"
#include "engine/engine.h"
#include "foundation/qv2_util.h"
#include "security/qv2_crypto.h"
#include "security/sha256_blocks.h"
#include "support/builders/requests.h"
#include "support/builders/tempdir.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

using smb2::Bytes;

namespace {

constexpr uint64_t kFileBytes = 256ull << 20;
constexpr uint32_t kChunk = 1u << 20; // the fixture is written in pieces of this size
constexpr int kEntries = 100000;
constexpr int kPasses = 3;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Header fields of a request on the session and tree the Engine below sets up.
smb2::Header on(uint64_t mid, uint32_t tid) {
    return smb2::Header{.mid = mid, .sid = 1, .tid = tid};
}

int discard_write(void *, const uint8_t *, int) {
    return 0;
}
int no_read(void *, uint8_t *, int, int) {
    return 0;
}

const uint8_t kSigningKey[16] = {0x5a, 0x11, 0x93, 0x2c, 0x07, 0xe8, 0x41, 0xbd,
                                  0x66, 0x0f, 0xa2, 0x38, 0xd4, 0x7b, 0x19, 0xc5};

struct Engine {
    qv2_io io{};
    qv2_conn *c = nullptr;
    uint64_t mid = 10;
    bool keep_reply = true; // reuse the reply storage as the session loop does (up to 128 KiB)
    bool sign = false;      // sign requests (and so get signed replies)

    Engine() {
        io.write = discard_write;
        io.read = no_read;
        c = static_cast<qv2_conn *>(calloc(1, sizeof *c));
        c->io = &io;
        qv2_opts_get(&c->opts);
        // What NEGOTIATE (2.1, large MTU) and a guest SESSION_SETUP leave behind.
        c->negotiated = 1;
        c->dialect = 0x0210;
        c->large_mtu = 1;
        c->max_read = c->max_write = 1048576;
        qv2_session *s = session_create(c, 1);
        s->valid = 1;
        memcpy(s->signing_key, kSigningKey, sizeof kSigningKey);
    }
    ~Engine() {
        qv2_buf_free(&r.buf);
        sessions_free_all(c);
        free(c);
    }
    // Runs one message; the reply stays in r until the next call.
    qv2_reply r{};
    const qv2_reply &run(Bytes msg) {
        if (keep_reply && r.buf.cap <= 131072) {
            qv2_buf kept = r.buf;
            r = qv2_reply{};
            r.buf = kept;
            r.buf.len = 0;
        } else {
            qv2_buf_free(&r.buf);
            r = qv2_reply{};
        }
        if (sign) smb2::sign(msg, kSigningKey);
        int send = 0;
        frame_in(c, msg.data(), msg.size(), &r, &send);
        return r;
    }
    uint32_t status() const { return r.buf.len >= 64 ? qv2_le32(r.buf.data + 8) : 0xFFFFFFFF; }
};

bool fail(const char *what, uint32_t status) {
    fprintf(stderr, "bench: %s failed (status 0x%08x)\n", what, status);
    return false;
}

bool make_fixture(const std::string &root, bool with_listing) {
    std::string big = root + "/big.bin";
    int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    std::vector<uint8_t> chunk(kChunk);
    for (size_t i = 0; i < chunk.size(); i++)
        chunk[i] = uint8_t(i * 31 + 7);
    for (uint64_t done = 0; done < kFileBytes; done += chunk.size())
        if (write(fd, chunk.data(), chunk.size()) != ssize_t(chunk.size())) {
            close(fd);
            return false;
        }
    close(fd);
    if (!with_listing) return true;
    std::string many = root + "/many";
    if (mkdir(many.c_str(), 0755) != 0) return false;
    char name[64];
    for (int i = 0; i < kEntries; i++) {
        snprintf(name, sizeof name, "/entry-%06d.txt", i);
        fd = open((many + name).c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd < 0) return false;
        close(fd);
    }
    return true;
}

// MB/s of reading the whole file in `length`-byte READs: the best of
// kPasses passes (a shared machine only ever slows a pass down).
bool read_mbs(Engine &e, uint32_t tid, uint64_t fid, uint32_t length, double *mbs) {
    *mbs = 0;
    for (int pass = 0; pass < kPasses; pass++) {
        Clock::time_point t0 = Clock::now();
        uint64_t bytes = 0;
        for (uint64_t off = 0; off < kFileBytes; off += length) {
            const qv2_reply &r =
                e.run(smb2::read(on(e.mid++, tid), {.fid = fid, .length = length, .offset = off}));
            if (e.status() != 0) return fail("READ", e.status());
            if (e.sign && (qv2_le32(r.buf.data + 16) & 0x08) == 0) return fail("signed READ", 0);
            bytes += qv2_le32(r.buf.data + 64 + 4);
        }
        double s = seconds_since(t0);
        if (bytes != kFileBytes) return fail("READ length", 0);
        double rate = double(bytes) / 1e6 / s;
        if (rate > *mbs) *mbs = rate;
    }
    return true;
}

bool bench_read(Engine &e, uint32_t tid) {
    e.run(smb2::create(on(e.mid++, tid), {.name = "big.bin"}));
    if (e.status() != 0) return fail("CREATE big.bin", e.status());
    uint64_t fid = qv2_le64(e.r.buf.data + 64 + 64);
    const bool accel = qv2_sha256_x86_usable() != 0;
    printf("read MB/s over a %llu MiB file, best of %d passes:\n",
           (unsigned long long)(kFileBytes >> 20), kPasses);
    printf("  %-8s %-7s %-26s %10s\n", "length", "signed", "reply storage, SHA-256", "MB/s");
    for (uint32_t length : {1u << 20, 64u << 10}) {
        struct Row {
            bool sign, keep;
            int sha;
            const char *what;
        };
        const Row rows[] = {
            {false, false, QV2_SHA256_AUTO, "fresh per message"},
            {false, true, QV2_SHA256_AUTO, "kept"},
            {true, false, QV2_SHA256_PORTABLE, "fresh, portable"},
            {true, true, QV2_SHA256_PORTABLE, "kept, portable"},
            {true, true, QV2_SHA256_X86, "kept, SHA extensions"},
        };
        for (const Row &row : rows) {
            if (row.sha == QV2_SHA256_X86 && !accel) continue;
            e.sign = row.sign;
            e.keep_reply = row.keep;
            qv2_sha256_select(row.sha);
            double mbs = 0;
            bool ok = read_mbs(e, tid, fid, length, &mbs);
            qv2_sha256_select(QV2_SHA256_AUTO);
            e.sign = false;
            e.keep_reply = true;
            if (!ok) return false;
            printf("  %4u KiB %-7s %-26s %10.0f\n", length >> 10, row.sign ? "yes" : "no", row.what,
                   mbs);
            fflush(stdout);
        }
    }
    return true;
}

bool bench_list(Engine &e, uint32_t tid, uint32_t out_len) {
    e.run(smb2::create(on(e.mid++, tid), {.name = "many"}));
    if (e.status() != 0) return fail("CREATE many", e.status());
    uint64_t fid = qv2_le64(e.r.buf.data + 64 + 64);
    for (int pass = 0; pass < kPasses; pass++) {
        Clock::time_point t0 = Clock::now();
        uint64_t entries = 0, requests = 0;
        double first = 0;
        uint8_t flags = 0x01; // each pass takes a fresh listing from the host
        for (;;) {
            const qv2_reply &r = e.run(smb2::query_directory(
                on(e.mid++, tid), {.fid = fid, .flags = flags, .out_len = out_len}));
            if (flags) first = seconds_since(t0);
            flags = 0;
            requests++;
            if (e.status() == STATUS_NO_MORE_FILES) break;
            if (e.status() != 0) return fail("QUERY_DIRECTORY", e.status());
            const uint8_t *p = r.buf.data + 72;
            uint32_t len = qv2_le32(r.buf.data + 68);
            for (uint32_t at = 0; len != 0;) {
                entries++;
                uint32_t next = qv2_le32(p + at);
                if (next == 0) break;
                at += next;
            }
        }
        double s = seconds_since(t0);
        if (entries != uint64_t(kEntries)) return fail("listing count", uint32_t(entries));
        printf("list   pass %d: %llu entries, OutputBufferLength %u, %llu requests: %.3f s "
               "(first request, with the host scan, %.3f s), %.0f entries/s\n",
               pass + 1, (unsigned long long)entries, out_len, (unsigned long long)requests, s,
               first, double(entries) / s);
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    bool reads = true, listing = true;
    int at = 1;
    if (at < argc && strcmp(argv[at], "-r") == 0) {
        listing = false;
        at++;
    } else if (at < argc && strcmp(argv[at], "-l") == 0) {
        reads = false;
        at++;
    }
    TempDir work(at < argc ? argv[at] : ""); // "": $TMPDIR or /tmp
    const char *root = work.path().c_str();
    printf("preparing %s: a %llu MiB file%s...\n", root, (unsigned long long)(kFileBytes >> 20),
           listing ? " and empty files" : "");
    fflush(stdout);
    bool ok = make_fixture(root, listing);
    if (!ok) perror("bench: fixture");
    if (ok && dirir2i_add_share("bench", root) != 0) {
        fprintf(stderr, "bench: %s\n", dirir2i_last_error());
        ok = false;
    }
    if (ok) {
        Engine e;
        e.run(smb2::tree_connect(on(e.mid++, 0), "\\\\bench\\bench"));
        uint32_t tid = e.r.buf.len >= 64 ? qv2_le32(e.r.buf.data + 36) : 0;
        if (e.status() != 0) ok = fail("TREE_CONNECT", e.status());
        ok = ok && (!reads || bench_read(e, tid));
        ok = ok && (!listing || bench_list(e, tid, 65536));
        ok = ok && (!listing || bench_list(e, tid, 0));
        dirir2i_remove_share("bench");
    }
    return ok ? 0 : 1;
}

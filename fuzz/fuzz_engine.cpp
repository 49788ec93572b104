// Fuzz target: one whole client connection through the session loop. The
// input is the byte stream a client sends (session-service frames), handed
// to the engine in reads of varying size with an occasional time-out. The
// server has a temporary share "docs", a single-file share "one", the user
// alice:Secret123, guests admitted (users verified when the client requires
// signing, as the server does) and a fixed clock, so recorded sessions
// (fuzz/corpus/engine) replay their logons byte for byte.
#include "dirir2i.h"
#include "engine/qv2_sess.h"
#include "foundation/qv2_util.h"
#include "support/builders/docs_tree.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

void die(const char *what) {
    fprintf(stderr, "fuzz_engine setup: %s: %s\n", what, dirir2i_last_error());
    abort();
}

// The tests' docs tree, with the folder of 40 files and the single file
// fuzz/record_sessions.py adds to it. Removed at exit.
std::unique_ptr<DocsTree> g_tree;

void build_share() {
    g_tree = std::make_unique<DocsTree>();
    for (int i = 0; i < 40; i++)
        g_tree->dir.write("many/file" + std::to_string(i) + ".txt", "x");
    std::string one = g_tree->outside.write("one.txt", "just one file\n");
    if (dirir2i_add_share("docs", g_tree->dir.path().c_str()) != 0) die("add_share docs");
    if (dirir2i_add_share("one", one.c_str()) != 0) die("add_share one");
    if (dirir2i_add_user("alice", "Secret123") != 0) die("add_user");
    if (dirir2i_set_option("guest", "on") != 0) die("guest");
    if (dirir2i_set_option("clock", "1700000000") != 0) die("clock");
    // Guests are admitted unless the client requires signing too; then the
    // user logon (and signing with its key) is what runs.
    if (dirir2i_set_option("signing", "required") != 0) die("signing");
}

// How the input is handed out: read sizes cycle through these (capped by
// what the engine asks for); 0 stands for one time-out (-2).
const int kPieces[] = {4096, 1, 3, 0, 65536, 7, 512, 2};

struct stream {
    const uint8_t *data;
    size_t len;
    size_t pos;
    unsigned step;
};

int fuzz_read(void *user, uint8_t *buf, int max, int) {
    stream *s = static_cast<stream *>(user);
    if (max <= 0 || s->pos >= s->len) return 0;
    int piece = kPieces[s->step++ % (sizeof kPieces / sizeof kPieces[0])];
    if (piece == 0) return -2;
    size_t n = s->len - s->pos;
    if (n > size_t(max)) n = size_t(max);
    if (n > size_t(piece)) n = size_t(piece);
    memcpy(buf, s->data + s->pos, n);
    s->pos += n;
    return int(n);
}

// Replies are dropped, but every byte of them is read, so that a reply
// built from uninitialised or freed memory shows up under the sanitizers.
int fuzz_write(void *, const uint8_t *data, int len) {
    volatile uint8_t sink = 0;
    for (int i = 0; i < len; i++)
        sink = sink ^ data[i];
    (void)sink;
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Trace lines would only slow the fuzzer down.
    unsetenv("DIRIR2I_TRACE");
    build_share();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    stream s{data, size, 0, 0};
    qv2_io io{&s, fuzz_write, fuzz_read, nullptr};
    qv2_ip peer{};
    qv2_ip_parse("127.0.0.1", &peer);
    qv2_sess_run(&io, &peer, 0);
    return 0;
}

/* Embedding dirir2i in a C program: publish a folder, add a user, restrict
 * clients, serve on a port the system chooses, read the counters, replay a
 * scripted request, stop.
 *
 *   cc -I include examples/embed_server.c -L build -ldirir2i -o embed_server
 *   ./embed_server /srv/docs
 */
#include <stdio.h>

#include "dirir2i.h"

int main(int argc, char **argv) {
    const char *folder = argc > 1 ? argv[1] : ".";

    if (dirir2i_add_share("docs", folder) != 0 || dirir2i_add_user("alice", "s3cret") != 0 ||
        dirir2i_allow_cidr("192.168.1.0/24") != 0 ||
        dirir2i_set_option("idle_timeout_ms", "60000") != 0) {
        fprintf(stderr, "configuration: %s\n", dirir2i_last_error());
        return 1;
    }
    if (dirir2i_start("127.0.0.1", 0, "EXAMPLE") != 0) {
        fprintf(stderr, "start: %s\n", dirir2i_last_error());
        return 1;
    }
    printf("serving %s as \\\\127.0.0.1\\docs on port %d\n", folder, dirir2i_port());

    /* The returned texts belong to the library; each stays valid until the
     * next dirir2i_stats_json, dirir2i_simulate or dirir2i_selftest. */
    printf("%s\n", dirir2i_stats_json());

    /* One client connection without a network: a NetBIOS session request,
     * which the server answers without a transcript line. */
    const char *transcript = dirir2i_simulate("81000000\n", "192.168.1.20");
    printf("%s", transcript ? transcript : dirir2i_last_error());

    dirir2i_stop();
    printf("stopped; port now %d\n", dirir2i_port());
    return 0;
}

// Command-line front end. Serving and the simulation arrive with the network
// service; until then only `version` works.
#include "dirir2i.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    if (argc >= 2 && strcmp(argv[1], "version") == 0) {
        printf("dirir2i %s\n", dirir2i_version());
        return 0;
    }
    fputs("usage: dirir2i version\n", stderr);
    return 2;
}

#include "support/builders/docs_tree.h"

DocsTree::DocsTree() {
    dir.write("hello.txt", "hello world\n");
    for (int i = 0; i < 70000; i++)
        big.push_back(char(i & 0xFF));
    dir.write("big.bin", big);
    dir.write("sub/inner.txt", "inner");
    dir.mkdir("empty");
    dir.symlink(dir.join("sub/inner.txt"), "in_link");
    dir.symlink(outside.write("secret.txt", "secret"), "out");
    dir.symlink(outside.path(), "out_dir");
}

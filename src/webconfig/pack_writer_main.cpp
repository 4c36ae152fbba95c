// Appends the configuration pages' static files to a program file after it
// has been linked: pack_writer <program> <resource directory>.
#include "webconfig/resource_pack.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s <program file> <resource directory>\n", argc > 0 ? argv[0] : "");
        return 2;
    }
    return resource_pack_write(argv[1], argv[2]);
}

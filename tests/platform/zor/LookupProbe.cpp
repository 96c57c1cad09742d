// Prints the URL registered under argv[1], from a process of its own.
#include "platform/zor/zor.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    char* url = zor_lookupurl(argv[1]);
    if (!url) {
        std::fprintf(stderr, "%s\n", zor_strerror(zorerrno));
        return 1;
    }
    std::printf("%s\n", url);
    zor_free_string(url);
    return 0;
}

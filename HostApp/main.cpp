#include <csignal>
#include <cstdio>

int main() {
    std::fprintf(stderr, "[QuillmereHost] starting\n");
    return 0;
}

// Program entry of the kestrum viewer.
#include <cstdio>

int main(int argc, char**)
{
    std::printf("kestrum version 0.1.2\n");
    return argc > 1 ? 0 : 1;
}

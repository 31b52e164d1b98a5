// Program entry of the kestrum viewer.
#include "app/kestrum.h"

int main(int argc, char** argv)
{
    return kestrumMain(argc, argv);
}

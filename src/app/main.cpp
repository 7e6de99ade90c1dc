#include "app/entry.h"

using namespace mornix;

int main(int argc, char **argv)
{
    return runEntry(argc, argv);
}

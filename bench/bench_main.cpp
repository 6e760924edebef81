// The main of every benchmark program that has none of its own.
#include "measured.h"

int main(int argc, char **argv) {
    return bench::runMeasured(argc, argv);
}

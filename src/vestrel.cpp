// Entry point; the run lives in the core library so the tests can drive it.
#include "main.h"

int main(int argc, char **argv) {
    return vestrel::run(argc, argv);
}

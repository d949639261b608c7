#include "conversion.h"

int main(int argc, char** argv) {
    return frameburst::run_frameburst(argc, argv);
}

#include "startup.h"

int main(int argc, char** argv) { return wdpulse::run(argc, argv); }

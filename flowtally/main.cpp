#include "monitor.h"

int main(int argc, char** argv) { return flowtally::run(argc, argv); }

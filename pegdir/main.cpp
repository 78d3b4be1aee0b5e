#include <stdlib.h>

#include "pegdir.h"

int main(int argc, char** argv) { exit(pegdir::run(argc, argv)); }

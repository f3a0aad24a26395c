// main.cc - the pmdb program: everything is in pmdbmain(), which tests
// call directly.
#include <stdio.h>

#include "pmdbtool.h"

int main(int argc, char **argv) { return pmdbtool::pmdbmain(argc, argv, stdout, stderr); }

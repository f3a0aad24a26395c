/* The public header is valid C, and a C program can run the whole life of
 * a database through the shared library. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "pmdblib.h"

int main(void) {
    char name[] = "capi_c_test.db";
    char inst = fsinit(NULL);
    if (inst < 0) return 1;
    if (!fscreatedatabase(name, 20)) return 2;
    FS *fs = fsopen(inst, name, 1, 0);
    if (fs == NULL) return 3;
    if (!fsstorebusinessdate(inst, fs, 20261208u)) return 4;
    if (!fslock(inst, fs, NULL) || !fsunlock(inst, fs)) return 5;
    fsclose(inst, fs);
    fs = fsopen(inst, name, 1, 1);
    if (fs == NULL || fsgetbusinessdate(inst, fs) != 20261208u) return 6;
    fsclose(inst, fs);
    closefs(inst);
    unlink(name);
    printf("capi ok\n");
    return 0;
}

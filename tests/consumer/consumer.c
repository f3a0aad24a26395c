/* A program of someone else's that uses pmdblib as an installed library
 * would: one record and its key written, committed, found and read back. */
#include <stdio.h>
#include <string.h>

#include <pmdblib.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: consumer_c FILE\n");
        return 2;
    }
    const char rec[] = "Baumann, Anna";
    char inst = fsinit(NULL);
    if (inst < 0 || !fscreatedatabase(argv[1], 20)) return 1;
    FS *fs = fsopen(inst, argv[1], 1, 0);
    if (fs == NULL) return 1;
    fslock(inst, fs, NULL);
    uint32_t rid = fsadd(inst, fs, rec, (short)strlen(rec), 0x10);
    if (rid == 0 || !fsaddkey(inst, fs, 0x10, rid, 7, "Baumann") || !fsunlock(inst, fs)) return 1;
    char key[196] = "Baumann";
    char back[64] = {0};
    if (fsfindkey(inst, fs, 0x10, 7, key) != rid || fsread(inst, fs, rid, back) != (short)strlen(rec)) return 1;
    fsclose(inst, fs);
    closefs(inst);
    if (strcmp(back, rec) != 0) return 1;
    printf("consumer_c ok\n");
    return 0;
}

// The same as consumer.c from C++, through the header's extern "C" block.
#include <pmdblib.h>

#include <cstdio>
#include <string>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer_cxx FILE\n");
        return 2;
    }
    const std::string rec = "Moser, Anna";
    char inst = fsinit(nullptr);
    if (inst < 0 || !fscreatedatabase(argv[1], 20)) return 1;
    FS *fs = fsopen(inst, argv[1], 1, 0);
    if (fs == nullptr) return 1;
    fslock(inst, fs, nullptr);
    uint32_t rid = fsadd(inst, fs, rec.data(), static_cast<short>(rec.size()), 0x20);
    if (rid == 0 || !fsaddkey(inst, fs, 0x20, rid, 5, "Moser") || !fsunlock(inst, fs)) return 1;
    char key[196] = "Moser";
    std::string back(64, '\0');
    if (fsfindkey(inst, fs, 0x20, 5, key) != rid) return 1;
    back.resize(static_cast<size_t>(fsread(inst, fs, rid, &back[0])));
    fsclose(inst, fs);
    closefs(inst);
    if (back != rec) return 1;
    std::printf("consumer_cxx ok\n");
    return 0;
}

/* A host program built against the installed library: it loads a registry and reads it. */
#include <stdio.h>
#include <zrregdll.h>

int main(int argc, char** argv) {
    if (argc != 2 || ZrLoadRegistry(argv[1]) != 0) return 1;
    uint32_t n = ZrRegCountSubKeys(HkeyRegRoot());
    ZrUnloadRegistry();
    printf("%u subkeys\n", (unsigned)n);
    return n == 2 ? 0 : 1;
}

#include <stdio.h>
#include "util.h"

// tools:suppress lint:unused
static int square(int x) { return x * x; }

int main(int argc, char **argv) {
    int (*op)(int) = square;
    for (int i = 0; i < argc; i++) {
        if (i % 2) continue;
        while (op(i) > 100) { break; }
    }
    printf("%d\n", op(argc));
    return 0;
}

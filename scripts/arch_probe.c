/* Prints the pointer width of the running program: "32" when an i686 program runs here. */
#include <stdio.h>

int main(void) {
    printf("%u\n", (unsigned)(sizeof(void*) * 8));
    return 0;
}

/* The smallest console program of the toolchain: the start-up time that
   scripts/bench compares Quillon's with. */
#include <stdio.h>

int main(void)
{
    puts("hello");
    return 0;
}

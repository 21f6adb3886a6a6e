// noicon - a tiny Windows program with no resources of its own, the executable
// the icon tests write into. It prints one line so a test can tell that the
// program still runs after its resources were changed.
#include <stdio.h>

int main(void)
{
    puts("noicon runs");
    return 0;
}

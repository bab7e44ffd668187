/* A host built against an installed Morlune: it links, loads and calls the
 * library. The fixed-value entries answer without any network traffic. */
#include <morlune.h>
#include <stdio.h>

int main(void) {
    int32_t search = IPSearch(12345);
    int32_t setAddr = IPSetIPAddr(1, 2, 3);
    if (search != 1 || setAddr != 0) {
        fprintf(stderr, "IPSearch gave %d (expected 1), IPSetIPAddr gave %d (expected 0)\n", search, setAddr);
        return 1;
    }
    puts("consumer: the installed library answered");
    return 0;
}

/* Prints the keys that spandsp's dtmf_rx finds in raw 16-bit mono 8000 Hz
   samples on standard input: the conformance runner's reference detector. */
#include <spandsp.h>
#include <stdio.h>

static void on_digits(void* user, const char* digits, int len)
{
    (void)user;
    fwrite(digits, 1, (size_t)len, stdout);
}

int main(void)
{
    dtmf_rx_state_t* rx = dtmf_rx_init(NULL, on_digits, NULL);
    int16_t buf[160];
    size_t n;
    while ((n = fread(buf, sizeof buf[0], 160, stdin)) > 0)
        dtmf_rx(rx, buf, (int)n);
    putchar('\n');
    dtmf_rx_free(rx);
    return 0;
}

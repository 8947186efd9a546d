/* A host program of libpelican: cc host.c $(pkg-config --cflags --libs pelican) */
#include <pelican.h>
#include <stdio.h>

int main(int argc, char **argv) {
    const char *line = argc > 1 ? argv[1] : "-o 127.0.0.1 GET boot\\pxelinux.0";
    int code = tftp_client(line);     /* 0: done; 8: a GET's partial file stays */
    uint32_t bytes = 0;
    int result = tftp_tsize(&bytes);  /* 1 finished, 0 unfinished, -1 failed */
    printf("code %d, result %d, %u bytes\n", code, result, (unsigned)bytes);
    return code;
}

/*
 * The least a stream's chunks cost, the benchmark's floor for a pipe: reads
 * standard input into BUFFERS rotating 8 MiB buffers in 256 KiB reads, as
 * uploader-file keeps each chunk until it is stored, and copies each chunk out
 * in 512 KiB pieces, as libcurl takes a body into its upload buffer, with the
 * pipe at 1 MiB as uploader-file sets it. Nothing is sent.
 *
 *   streamfloor BUFFERS < DATA
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const size_t chunk = 8 << 20, piece = 512 << 10;
    const int count = argc > 1 ? atoi(argv[1]) : 4;
    if (count < 1)
        return 2;
    char **buffers = calloc((size_t)count, sizeof *buffers);
    char *upload = malloc(piece);
    for (int i = 0; i < count; ++i)
        buffers[i] = malloc(chunk);
    fcntl(0, F_SETPIPE_SZ, 1 << 20);
    long long total = 0;
    for (int index = 0;; ++index) {
        char *buffer = buffers[index % count];
        size_t filled = 0;
        ssize_t got = 1;
        while (filled < chunk && (got = read(0, buffer + filled, 256 << 10)) > 0)
            filled += (size_t)got;
        for (size_t at = 0; at < filled; at += piece) {
            memcpy(upload, buffer + at, filled - at < piece ? filled - at : piece);
            __asm__ volatile("" : : "r"(upload) : "memory");
        }
        total += (long long)filled;
        if (got < 0)
            return 1;
        if (got == 0 || filled < chunk)
            break;
    }
    printf("%lld\n", total);
    return 0;
}

/*
 * A fast loopback HTTP(S) sink for the benchmark: a process per connection,
 * which reads the headers and every body byte by Content-Length, answers 201
 * with the count, keeps the connection for the next request, and prints one
 * line per request: "received N of M".
 *
 *   sink PORTFILE [CERT KEY]
 *
 * Listens on 127.0.0.1 on a free port and writes that port to PORTFILE.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

static SSL_CTX *tls;

struct connection {
    int fd;
    SSL *ssl;
};

static long receive(struct connection *c, char *buffer, long size)
{
    return c->ssl ? SSL_read(c->ssl, buffer, (int)size) : recv(c->fd, buffer, (size_t)size, 0);
}

static int send_all(struct connection *c, const char *data, long size)
{
    while (size > 0) {
        long sent = c->ssl ? SSL_write(c->ssl, data, (int)size) : send(c->fd, data, (size_t)size, MSG_NOSIGNAL);
        if (sent <= 0)
            return -1;
        data += sent;
        size -= sent;
    }
    return 0;
}

/* Answers 1 when the request was whole and the connection may serve the next. */
static int serve(struct connection *c)
{
    static char buffer[4 << 20];
    long filled = 0;
    char *end = NULL;
    while (!end) {
        long got = receive(c, buffer + filled, 65536 - 1 - filled);
        if (got <= 0)
            return 0;
        filled += got;
        buffer[filled] = 0;
        end = strstr(buffer, "\r\n\r\n");
        if (!end && filled >= 65536 - 1)
            return 0;
    }
    long long length = -1;
    int expect = 0;
    for (char *line = strstr(buffer, "\r\n") + 2; line < end; line = strstr(line, "\r\n") + 2) {
        if (strncasecmp(line, "content-length:", 15) == 0)
            length = atoll(line + 15);
        else if (strncasecmp(line, "expect: 100-continue", 20) == 0)
            expect = 1;
    }
    if (expect && send_all(c, "HTTP/1.1 100 Continue\r\n\r\n", 25) < 0)
        return 0;
    long long received = filled - (end + 4 - buffer);
    while (received < length) {
        long want = sizeof buffer;
        if (length - received < want)
            want = (long)(length - received);
        long got = receive(c, buffer, want);
        if (got <= 0)
            break;
        received += got;
    }
    printf("received %lld of %lld\n", received, length);
    fflush(stdout);
    char body[128], reply[512];
    int bodySize = snprintf(body, sizeof body, "{\"status_code\":%d,\"received\":%lld}", received == length ? 201 : 400, received);
    int replySize = snprintf(reply, sizeof reply,
                             "HTTP/1.1 %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n%s",
                             received == length ? "201 Created" : "400 Bad Request", bodySize, body);
    return send_all(c, reply, replySize) == 0 && received == length;
}

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "usage: sink PORTFILE [CERT KEY]\n");
        return 2;
    }
    if (argc == 4) {
        tls = SSL_CTX_new(TLS_server_method());
        if (!tls || SSL_CTX_use_certificate_chain_file(tls, argv[2]) != 1
            || SSL_CTX_use_PrivateKey_file(tls, argv[3], SSL_FILETYPE_PEM) != 1) {
            ERR_print_errors_fp(stderr);
            return 1;
        }
    }
    int server = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in address = { .sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK) };
    socklen_t addressSize = sizeof address;
    if (bind(server, (struct sockaddr *)&address, sizeof address) != 0 || listen(server, 16) != 0
        || getsockname(server, (struct sockaddr *)&address, &addressSize) != 0) {
        perror("sink");
        return 1;
    }
    FILE *portFile = fopen(argv[1], "w");
    if (!portFile)
        return 1;
    fprintf(portFile, "%d\n", ntohs(address.sin_port));
    fclose(portFile);

    signal(SIGCHLD, SIG_IGN);
    for (;;) {
        struct connection c = { accept(server, NULL, NULL), NULL };
        if (c.fd < 0)
            continue;
        if (fork() != 0) {
            close(c.fd);
            continue;
        }
        close(server);
        setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (tls) {
            c.ssl = SSL_new(tls);
            SSL_set_fd(c.ssl, c.fd);
            if (SSL_accept(c.ssl) == 1)
                while (serve(&c)) {
                }
            SSL_shutdown(c.ssl);
            SSL_free(c.ssl);
        } else {
            while (serve(&c)) {
            }
        }
        close(c.fd);
        _exit(0);
    }
}

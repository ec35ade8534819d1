// A reply body, as any server may send it, through inflation, the JSON parse
// and the status lookup. A body that starts like a gzip or zlib stream is
// inflated as one; a first byte below 8 marks raw deflate after it. The body
// arrives in pieces of every size, as the network hands it over.
#include "attemptrule.h"
#include "replybody.h"

#include <QByteArray>
#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

// The script engine needs the application object, as in the program.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    QByteArray encoding;
    if (bytes.startsWith('\x1f'))
        encoding = "gzip";
    else if (bytes.startsWith('x'))
        encoding = "deflate";
    else if (!bytes.isEmpty() && uchar(bytes.at(0)) < 8)
        encoding = "deflate";
    ReplyBody body;
    body.start(encoding);
    const int piece = bytes.isEmpty() ? 1 : 1 + uchar(bytes.at(bytes.size() - 1)) % 97;
    for (int from = encoding == "deflate" && !bytes.startsWith('x') ? 1 : 0; from < bytes.size(); from += piece)
        if (!body.append(bytes.mid(from, piece)))
            return 0;
    const QByteArray reply = body.bytes();
    if (reply.size() > ReplyBody::maximumSize)
        __builtin_trap();
    AttemptRule::statusCode(reply);
    return 0;
}

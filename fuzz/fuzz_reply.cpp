// A reply body, as any server may send it, through the JSON parse and the status lookup.
#include "filetransfer.h"

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
    FileTransfer::statusCode(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    return 0;
}

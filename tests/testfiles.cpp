#include "testfiles.h"

#include <QRandomGenerator>

#include <cstring>

bool RandomFile::create(int size, quint32 seed, const QString &name)
{
    if (!directory.isValid() || size < 0)
        return false;
    QRandomGenerator generator(seed);
    QVector<quint32> words((size + 3) / 4);
    generator.fillRange(words.data(), words.size());
    bytes.resize(size);
    if (size > 0)
        std::memcpy(bytes.data(), words.constData(), size_t(size));
    filePath = directory.filePath(name);
    return restore();
}

#ifndef RESULTFILE_H
#define RESULTFILE_H

#include <QByteArray>
#include <QSaveFile>

class UploadResult;

// Where the run's result goes: a file replaced whole or not at all, standard
// output for "-", or nowhere. Opened before anything is sent, so that an
// unusable path fails the run before the chunk goes out.
class ResultFile
{
public:
    // Prints one line and answers false when the path cannot be written.
    bool open(const QByteArray &path);
    // Prints one line and answers false when the result could not be written.
    bool write(const UploadResult &result);

private:
    QByteArray path;
    QSaveFile file;
};

#endif // RESULTFILE_H

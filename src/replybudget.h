#ifndef REPLYBUDGET_H
#define REPLYBUDGET_H

#include <QtGlobal>

// The memory that the replies of one run's chunks may hold together: the bytes
// of each body as it came and inflated, and the script engine's while it reads
// a status_code. Each chunk takes from it before its reply grows and gives back
// when it lets go, so that however many chunks are in flight, the run stays
// under the watchdog's bound: a reply that cannot get its share fails its chunk.
class ReplyBudget
{
public:
    explicit ReplyBudget(qint64 bytes = runBytes);

    // Answers false, taking nothing, when the bytes are not to be had.
    bool take(qint64 bytes);
    void give(qint64 bytes);
    qint64 held() const;
    qint64 size() const;

    // A lone reply at its cap, as it came and inflated (64 MiB each), always
    // fits; the rest of the process, with 16 chunks in flight over https and
    // the script engine's share, stays under the watchdog's 224 MiB.
    static const qint64 runBytes;
    // What the script engine takes to read a status_code, per byte of JSON:
    // measured over the process for 1 MiB of "{}", 60 with QtScript, 78 with QJSEngine.
    static constexpr int parseCostPerByte = 80;

private:
    const qint64 total;
    qint64 taken = 0;
};

#endif // REPLYBUDGET_H

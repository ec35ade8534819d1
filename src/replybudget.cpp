#include "replybudget.h"

#include "replybody.h"

const qint64 ReplyBudget::runBytes = 2 * qint64(ReplyBody::maximumSize);

ReplyBudget::ReplyBudget(qint64 bytes)
    : total(bytes)
{
}

bool ReplyBudget::take(qint64 bytes)
{
    if (bytes > total - taken)
        return false;
    taken += bytes;
    return true;
}

void ReplyBudget::give(qint64 bytes)
{
    taken = qMax<qint64>(0, taken - bytes);
}

qint64 ReplyBudget::held() const
{
    return taken;
}

qint64 ReplyBudget::size() const
{
    return total;
}

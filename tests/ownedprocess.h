#ifndef OWNEDPROCESS_H
#define OWNEDPROCESS_H

#include <QProcess>

// A program a test starts, stopped by its process id when this object goes,
// and killed by the system when the test process ends without running its
// destructors (Qt Test's time-out aborts it, ctest kills it): a server left
// behind would hold its port and a machine's cores for hours.
class OwnedProcess : public QProcess
{
    Q_OBJECT

public:
    explicit OwnedProcess(QObject *parent = nullptr);
    ~OwnedProcess() override;

    // Kills the program, if it runs, and waits until it has ended.
    void stop();

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override;
#endif
};

#endif // OWNEDPROCESS_H

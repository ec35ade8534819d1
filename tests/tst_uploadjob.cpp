#include "rangedevice.h"
#include "receiverprocess.h"
#include "testfiles.h"
#include "uploadjob.h"

#include <QNetworkAccessManager>
#include <QtTest>

Q_DECLARE_METATYPE(ExitStatus)

class TestUploadJob : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void outcome_data();
    void outcome();

private:
    QTemporaryDir directory;
    QString path;
};

void TestUploadJob::initTestCase()
{
    QVERIFY(directory.isValid());
    path = directory.filePath(QStringLiteral("chunk.bin"));
    QVERIFY(writeTestFile(path, "0123456789abcdefghij"));
}

// One job against the bundled receiver: how it ends, and the signals it says so with.
void TestUploadJob::outcome_data()
{
    QTest::addColumn<QString>("receiverOptions");
    // Idle time-out, retries, max time as the setters take them, and where the range starts (5 unless said).
    QTest::addColumn<QList<int>>("limits");
    // When the test aborts the job: "stored", once the receiver holds the body;
    // "retry", while it waits to post again; else never.
    QTest::addColumn<QString>("abortWhen");
    QTest::addColumn<ExitStatus>("exitStatus");
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<QByteArray>("failure");
    QTest::addColumn<QString>("emitted");

    const QList<int> none{ 0, 0, 0 };
    const QByteArray aborted = " >> Stopped by the test ";
    QTest::newRow("2xx stored") << "" << none << "" << ExitStatus::Success << 201 << 1 << QByteArray()
                                << "started reply finished";
    QTest::newRow("503, then stored on the retry") << "--fail-first 1 --fail-header Retry-After:0" << QList<int>{ 0, 2, 0 } << ""
                                                  << ExitStatus::Success << 201 << 2 << QByteArray()
                                                  << "started failure retry started reply finished";
    QTest::newRow("503 with no retry left") << "--fail-first 3 --fail-header Retry-After:0" << QList<int>{ 0, 1, 0 } << ""
                                            << ExitStatus::TemporaryFailure << 503 << 2
                                            << QByteArray(" >> Reply Error #: 403 ")
                                            << "started failure retry started failure finished";
    QTest::newRow("404, not retried") << "--status 404 --reason Missing" << QList<int>{ 0, 3, 0 } << "" << ExitStatus::Failure << 404
                                      << 1 << QByteArray(" >> Reply Error #: 203 ") << "started failure finished";
    QTest::newRow("idle time-out") << "--fault hold" << QList<int>{ 1, 0, 0 } << "" << ExitStatus::TemporaryFailure << 0 << 1
                                   << QByteArray(" >> Timed out: no data moved for 1 seconds ")
                                   << "started failure failure finished";
    QTest::newRow("reply declared over the cap") << "--reply-size 67108865" << none << "" << ExitStatus::Failure << 201 << 1
                                                 << QByteArray(" >> Reply too large: more than 67108864 Byte ")
                                                 << "started failure failure finished";
    QTest::newRow("two lengths") << "--header Content-Length:7" << none << "" << ExitStatus::TemporaryFailure << 201 << 1
                                 << QByteArray(" >> Reply with an unusable Content-Length ") << "started failure failure finished";
    QTest::newRow("length past 64 bits") << "--no-length --header Content-Length:99999999999999999999999" << none << "" << ExitStatus::TemporaryFailure << 201 << 1
                                         << QByteArray(" >> Reply with an unusable Content-Length ") << "started failure failure finished";
    QTest::newRow("negative length") << "--no-length --header Content-Length:-5" << none << "" << ExitStatus::TemporaryFailure << 201 << 1
                                     << QByteArray(" >> Reply with an unusable Content-Length ") << "started failure failure finished";
    // Qt 6 stalls on one line over 100 KiB: the head passes the bound by its other lines.
    QTest::newRow("header over 100 KiB") << "--long-header 102380" << none << "" << ExitStatus::TemporaryFailure << 201 << 1
                                         << QByteArray(" >> Reply header too large: more than 102400 Byte ") << "started failure failure finished";
    QTest::newRow("Retry-After past the max time") << "--fail-first 1 --fail-header Retry-After:30" << QList<int>{ 0, 3, 2 } << ""
                                                   << ExitStatus::TemporaryFailure << 503 << 1 << QByteArray(" >> Reply Error #: 403 ")
                                                   << "started failure finished";
    QTest::newRow("file gives less, not retried") << "" << QList<int>{ 0, 3, 0, 15 } << "" << ExitStatus::Failure << 0 << 1
                                                  << QByteArray(" >> Cannot read input file. ") << "started failure failure finished";
    QTest::newRow("max time") << "--fault hold" << QList<int>{ 0, 3, 1 } << "" << ExitStatus::TemporaryFailure << 0 << 1
                              << QByteArray(" >> Timed out: the run took over 1 seconds ") << "started failure failure finished";
    QTest::newRow("aborted during the attempt") << "--fault hold" << QList<int>{ 0, 3, 0 } << "stored" << ExitStatus::TemporaryFailure
                                                << 0 << 1 << aborted << "started failure failure finished";
    QTest::newRow("aborted while waiting to retry") << "--fail-first 1 --fail-header Retry-After:30" << QList<int>{ 0, 3, 0 } << "retry"
                                                    << ExitStatus::TemporaryFailure << 503 << 1 << aborted
                                                    << "started failure retry failure finished";
}

void TestUploadJob::outcome()
{
    QFETCH(QString, receiverOptions);
    QFETCH(QList<int>, limits);
    QFETCH(QString, abortWhen);
    QFETCH(ExitStatus, exitStatus);
    QFETCH(int, httpStatus);
    QFETCH(int, attempts);
    QFETCH(QByteArray, failure);
    QFETCH(QString, emitted);

    ReceiverProcess receiver(receiverOptions.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    QVERIFY(receiver.isListening());
    QNetworkAccessManager manager;
    UploadJob job(&manager);
    job.setRequest(QUrl(receiver.url()), "token", 10);
    job.setIdleTimeout(limits.at(0));
    job.setRetries(limits.at(1));
    job.setMaxTime(limits.at(2));

    QStringList seen;
    connect(&job, &UploadJob::attemptStarted, this, [&] { seen << QStringLiteral("started"); });
    connect(&job, &UploadJob::replyReceived, this, [&] { seen << QStringLiteral("reply"); });
    connect(&job, &UploadJob::failureNoticed, this, [&] { seen << QStringLiteral("failure"); });
    connect(&job, &UploadJob::retryScheduled, this, [&] {
        seen << QStringLiteral("retry");
        if (abortWhen == QLatin1String("retry"))
            QTimer::singleShot(0, &job, [&] { job.abort(" >> Stopped by the test "); });
    });
    int finished = 0;
    UploadResult result;
    connect(&job, &UploadJob::finished, this, [&](const UploadResult &ended) {
        seen << QStringLiteral("finished");
        ++finished;
        result = ended;
    });

    const int descriptor = RangeDevice::openRegularFile(QFile::encodeName(path).constData());
    QVERIFY(descriptor >= 0);
    job.start(new RangeDevice(descriptor, RangeDevice::Ownership::Taken, limits.value(3, 5), 10, nullptr));
    if (abortWhen == QLatin1String("stored")) {
        QTRY_COMPARE_WITH_TIMEOUT(receiver.storedCount(), 1, 20000);
        job.abort(" >> Stopped by the test ");
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 30000);
    // Nothing the job left running ends it a second time.
    QCoreApplication::processEvents();
    QCOMPARE(finished, 1);
    QCOMPARE(seen.join(QLatin1Char(' ')), emitted);
    QCOMPARE(result.exitStatus, exitStatus);
    QCOMPARE(result.httpStatus, httpStatus);
    QCOMPARE(result.attempts, attempts);
    QCOMPARE(result.failure, failure);
    // A head refused for its size is not kept for the console or the result.
    QVERIFY(!failure.contains("header too large") || result.headers.isEmpty());
    QCOMPARE(job.result().exitStatus, exitStatus);
    if (exitStatus == ExitStatus::Success)
        QCOMPARE(receiver.storedBody(attempts), QByteArray("56789abcde"));
}

QTEST_GUILESS_MAIN(TestUploadJob)
#include "tst_uploadjob.moc"

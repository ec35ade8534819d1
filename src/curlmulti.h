#ifndef CURLMULTI_H
#define CURLMULTI_H

#include <QHash>
#include <QObject>
#include <QTimer>

#include <curl/curl.h>

class QSocketNotifier;

// libcurl's multi interface under Qt's event loop: a notifier per socket and
// direction, as libcurl asks for them, and one timer. Transfers added here
// share its connections, which stay open for the next request to the same host.
class CurlMulti : public QObject
{
    Q_OBJECT

public:
    explicit CurlMulti(QObject *parent = nullptr);
    ~CurlMulti() override;

    // Answers false when libcurl could not start; call once before any other use.
    static bool initialize();

    // Starts a transfer; anything but CURLM_OK means it did not start and no finished() will come for it.
    CURLMcode add(CURL *easy);
    // Stops a transfer where it stands; no finished() follows for it.
    void remove(CURL *easy);

signals:
    void finished(CURL *easy, CURLcode code);

private:
    struct Watch
    {
        QSocketNotifier *reading = nullptr;
        QSocketNotifier *writing = nullptr;
    };

    static int watchSocket(CURL *easy, curl_socket_t socket, int what, void *self, void *);
    static int startTimer(CURLM *, long milliseconds, void *self);
    void watch(curl_socket_t socket, int what);
    void forget(curl_socket_t socket);
    void act(curl_socket_t socket, int events);
    void reportFinished();

    CURLM *multi;
    QTimer timer;
    QHash<curl_socket_t, Watch> watches;
};

#endif // CURLMULTI_H

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

    // Where a transfer's end goes: each handle's own, so that no other transfer hears of it.
    class Receiver
    {
    public:
        virtual void transferFinished(CURLcode code) = 0;

    protected:
        ~Receiver() = default;
    };

    // Answers false when libcurl could not start; call once before any other use.
    static bool initialize();

    // Starts a transfer whose end goes to the receiver; anything but CURLM_OK means it did not start and the receiver hears nothing.
    CURLMcode add(CURL *easy, Receiver *receiver);
    // Stops a transfer where it stands; its receiver hears nothing of it.
    void remove(CURL *easy);

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

#include "curlmulti.h"

#include <QSocketNotifier>

CurlMulti::CurlMulti(QObject *parent)
    : QObject(parent)
    , multi(curl_multi_init())
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
    // Without its callbacks no transfer could move: then none is started.
    if (multi
        && (curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &CurlMulti::watchSocket) != CURLM_OK
            || curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this) != CURLM_OK
            || curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &CurlMulti::startTimer) != CURLM_OK
            || curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this) != CURLM_OK)) {
        curl_multi_cleanup(multi);
        multi = nullptr;
    }
}

CurlMulti::~CurlMulti()
{
    curl_multi_cleanup(multi);
    for (const Watch &watch : qAsConst(watches)) {
        delete watch.reading;
        delete watch.writing;
    }
}

bool CurlMulti::initialize()
{
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}

CURLMcode CurlMulti::add(CURL *easy, Receiver *receiver)
{
    if (!multi)
        return CURLM_BAD_HANDLE;
    // The handle carries its receiver: a transfer without one would never end.
    if (curl_easy_setopt(easy, CURLOPT_PRIVATE, static_cast<void *>(receiver)) != CURLE_OK)
        return CURLM_BAD_EASY_HANDLE;
    return curl_multi_add_handle(multi, easy);
}

void CurlMulti::remove(CURL *easy)
{
    if (multi)
        curl_multi_remove_handle(multi, easy);
}

int CurlMulti::watchSocket(CURL *, curl_socket_t socket, int what, void *self, void *)
{
    static_cast<CurlMulti *>(self)->watch(socket, what);
    return 0;
}

int CurlMulti::startTimer(CURLM *, long milliseconds, void *self)
{
    QTimer &timer = static_cast<CurlMulti *>(self)->timer;
    if (milliseconds < 0)
        timer.stop();
    else
        timer.start(int(qMin<long>(milliseconds, std::numeric_limits<int>::max())));
    return 0;
}

void CurlMulti::watch(curl_socket_t socket, int what)
{
    if (what == CURL_POLL_REMOVE) {
        forget(socket);
        return;
    }
    Watch &watch = watches[socket];
    const auto notifier = [this, socket](QSocketNotifier::Type type, int event) {
        auto *created = new QSocketNotifier(socket, type);
        connect(created, &QSocketNotifier::activated, this, [this, socket, event] { act(socket, event); });
        return created;
    };
    if (!watch.reading)
        watch.reading = notifier(QSocketNotifier::Read, CURL_CSELECT_IN);
    if (!watch.writing)
        watch.writing = notifier(QSocketNotifier::Write, CURL_CSELECT_OUT);
    watch.reading->setEnabled(what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    watch.writing->setEnabled(what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
}

// libcurl may close the socket while one of its notifiers is being delivered.
void CurlMulti::forget(curl_socket_t socket)
{
    const Watch watch = watches.take(socket);
    for (QSocketNotifier *notifier : { watch.reading, watch.writing }) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
}

void CurlMulti::act(curl_socket_t socket, int events)
{
    int running = 0;
    curl_multi_socket_action(multi, socket, events, &running);
    reportFinished();
}

// A message's fields are copied first: a receiver may remove its transfer, which drops the message.
void CurlMulti::reportFinished()
{
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CURL *easy = message->easy_handle;
        const CURLcode code = message->data.result;
        // add() set it; libcurl refuses it only for what is no handle.
        void *receiver = nullptr;
        const bool found = curl_easy_getinfo(easy, CURLINFO_PRIVATE, &receiver) == CURLE_OK && receiver;
        curl_multi_remove_handle(multi, easy);
        if (found)
            static_cast<Receiver *>(receiver)->transferFinished(code);
    }
}

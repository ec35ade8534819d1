#ifndef CURLAUTHORITIES_H
#define CURLAUTHORITIES_H

#include <QByteArray>

#include <memory>

typedef struct x509_store_st X509_STORE;

// The authorities of a run as one OpenSSL store that every TLS connection of
// the run verifies with: the file read once, the hashed folders looked up by
// subject as a chain needs them, each certificate found kept for the next
// connection. Left to libcurl, a folder beside the file turned its cache of
// authorities off, and each connection parsed the whole file again.
class CurlAuthorities
{
public:
    // The file and OpenSSL's hashed folders (separated by ':'): libcurl's own
    // when null, none when empty.
    CurlAuthorities(const QByteArray &file, const QByteArray &folders);
    ~CurlAuthorities();
    Q_DISABLE_COPY(CurlAuthorities)

    // Loaded at the first call; the store lives as long as this object or a connection that uses it.
    X509_STORE *store();

private:
    QByteArray file;
    QByteArray folders;
    X509_STORE *loaded = nullptr;
};

#endif // CURLAUTHORITIES_H

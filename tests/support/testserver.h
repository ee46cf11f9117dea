#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

#include <atomic>
#include <memory>

class QThread;

// A small HTTP/1.1 server on 127.0.0.1 in a thread of its own, since the code under test
// blocks its caller's thread while it reads. It serves what each path is given, and can
// misbehave on request.
class TestServer {
public:
    enum class Misbehaviour {
        None,
        CutShort, // announce the whole body, send it up to byte `sendBytes`, hang up
        Stall,    // send the body up to byte `sendBytes`, then nothing until the client leaves
        HangUp,   // read the request, close without a response
        Silent,   // read the request, then never answer and never close
        NoLength, // no Content-Length; the end of the body is the end of the connection
        Reset,    // announce the whole body, send it up to byte `sendBytes`, reset the connection
    };

    struct Route {
        int status = 200;
        QByteArray body = {};
        QList<QPair<QByteArray, QByteArray>> headers = {};
        Misbehaviour misbehaviour = Misbehaviour::None;
        qsizetype sendBytes = 0;
        int bytesPerSecond = 0; // 0: as fast as the socket takes it; below 10, a byte at a time
        int misbehaveTimes = 0; // misbehave for this many requests of the path, then not; 0: always
        QByteArray etag = {};   // sent as the ETag header when set
        // Answers "Range: bytes=N-" with 206 and the rest, unless If-Range names another ETag.
        bool ranges = false;
        QByteArray contentRange = {}; // sent with a 206 instead of the true one
        bool ignoresIfRange = false;  // the rest whatever If-Range names, as a broken cache does
        qsizetype cutEvery = 0;       // hang up on every answer after this many bytes of its body
    };

    struct Request {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        // "-" without a Range header; else its value, with "@" and If-Range's when sent.
        QByteArray range() const;
    };

    TestServer();
    ~TestServer();

    void serve(const QByteArray &path, Route route);
    void serve(const QByteArray &path, const QByteArray &body);
    QString url(const QByteArray &path) const;
    quint16 port() const { return m_port; }
    QList<Request> requests() const;

    static Route redirectTo(const QByteArray &location);

private:
    void run();
    void answer(class QTcpSocket &socket);

    mutable QMutex m_mutex;
    QHash<QByteArray, Route> m_routes;
    QHash<QByteArray, int> m_served; // requests of each path so far
    QList<Request> m_requests;
    std::atomic<bool> m_stopping{false};
    std::atomic<quint16> m_port{0};
    std::unique_ptr<QThread> m_thread;
};

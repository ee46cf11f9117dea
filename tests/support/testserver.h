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
        CutShort, // announce the whole body, send the first `sendBytes`, hang up
        Stall,    // send the first `sendBytes`, then nothing until the client leaves
        HangUp,   // read the request, close without a response
        Silent,   // read the request, then never answer and never close
        NoLength, // no Content-Length; the end of the body is the end of the connection
        Reset,    // announce the whole body, send the first `sendBytes`, reset the connection
    };

    struct Route {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        Misbehaviour misbehaviour = Misbehaviour::None;
        qsizetype sendBytes = 0;
        int bytesPerSecond = 0; // 0: as fast as the socket takes it; below 10, a byte at a time
    };

    struct Request {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
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
    QList<Request> m_requests;
    std::atomic<bool> m_stopping{false};
    std::atomic<quint16> m_port{0};
    std::unique_ptr<QThread> m_thread;
};

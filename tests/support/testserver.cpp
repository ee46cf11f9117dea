#include "testserver.h"

#include <QDeadlineTimer>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <sys/socket.h>

namespace {

QByteArray reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

bool writeAll(QTcpSocket &socket, const QByteArray &data)
{
    socket.write(data);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(5000)) {
            return false;
        }
    }
    return true;
}

} // namespace

TestServer::TestServer()
{
    QSemaphore listening;
    m_thread.reset(QThread::create([this, &listening] {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        m_port = server.serverPort();
        listening.release();
        while (!m_stopping) {
            if (!server.waitForNewConnection(20)) {
                continue;
            }
            std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
            answer(*socket);
        }
    }));
    m_thread->start();
    listening.acquire();
}

TestServer::~TestServer()
{
    m_stopping = true;
    m_thread->wait();
}

void TestServer::serve(const QByteArray &path, Route route)
{
    const QMutexLocker lock(&m_mutex);
    m_routes.insert(path, std::move(route));
    m_served.remove(path);
}

void TestServer::serve(const QByteArray &path, const QByteArray &body)
{
    Route route;
    route.body = body;
    serve(path, std::move(route));
}

QString TestServer::url(const QByteArray &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(QString::fromLatin1(path));
}

QList<TestServer::Request> TestServer::requests() const
{
    const QMutexLocker lock(&m_mutex);
    return m_requests;
}

QByteArray TestServer::Request::range() const
{
    const QByteArray asked = headers.value("range");
    const QByteArray ifRange = headers.value("if-range");
    return asked.isEmpty() ? "-" : ifRange.isEmpty() ? asked : asked + "@" + ifRange;
}

TestServer::Route TestServer::redirectTo(const QByteArray &location)
{
    Route route;
    route.status = 302;
    route.headers.append({"Location", location});
    return route;
}

void TestServer::answer(QTcpSocket &socket)
{
    QByteArray head;
    const QDeadlineTimer deadline(5000);
    while (!head.contains("\r\n\r\n")) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime()))) {
            return;
        }
        head += socket.readAll();
    }
    Request request;
    const QList<QByteArray> lines = head.left(head.indexOf("\r\n\r\n")).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.path = requestLine.value(1).split('?').value(0);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0) {
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
        }
    }
    Route route;
    {
        const QMutexLocker lock(&m_mutex);
        m_requests.append(request);
        const auto found = m_routes.constFind(request.path);
        if (found == m_routes.constEnd()) {
            route.status = 404;
            route.body = "not found\n";
        } else {
            route = *found;
        }
        const int served = ++m_served[request.path];
        if (route.misbehaveTimes > 0 && served > route.misbehaveTimes) {
            route.misbehaviour = Misbehaviour::None;
        }
    }
    // The rest from a byte on, while If-Range, if sent, names this resource.
    qsizetype from = 0;
    const QByteArray asked = request.headers.value("range");
    const QByteArray ifRange = request.headers.value("if-range");
    if (route.ranges && route.status == 200 && asked.startsWith("bytes=") && asked.endsWith('-') &&
        (ifRange.isEmpty() || ifRange == route.etag || route.ignoresIfRange)) {
        from = asked.mid(6, asked.size() - 7).toLongLong();
    }
    const bool partialContent = from > 0 && from < route.body.size();
    // Hold the connection open until the client gives up or the server stops.
    const auto holdOpen = [this, &socket] {
        while (!m_stopping && socket.state() == QAbstractSocket::ConnectedState) {
            socket.waitForReadyRead(20);
            socket.readAll();
        }
    };
    if (route.misbehaviour == Misbehaviour::HangUp) {
        socket.abort();
        return;
    }
    if (route.misbehaviour == Misbehaviour::Silent) {
        holdOpen();
        return;
    }

    const int status = partialContent ? 206 : route.status;
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) +
                          "\r\nConnection: close\r\n";
    const QByteArray range = QStringLiteral("bytes %1-%2/%3")
                                 .arg(from)
                                 .arg(route.body.size() - 1)
                                 .arg(route.body.size())
                                 .toLatin1();
    if (partialContent) {
        response +=
            "Content-Range: " + (route.contentRange.isEmpty() ? range : route.contentRange) +
            "\r\n";
    }
    from = partialContent ? from : 0;
    if (!route.etag.isEmpty()) {
        response += "ETag: " + route.etag + "\r\n";
    }
    if (route.misbehaviour != Misbehaviour::NoLength) {
        response += "Content-Length: " + QByteArray::number(route.body.size() - from) + "\r\n";
    }
    for (const auto &[name, value] : route.headers) {
        response += name + ": " + value + "\r\n";
    }
    response += "\r\n";
    const bool head_only = request.method == "HEAD";
    QByteArray body = head_only ? QByteArray() : route.body;
    const bool partial = route.misbehaviour == Misbehaviour::CutShort ||
                         route.misbehaviour == Misbehaviour::Stall ||
                         route.misbehaviour == Misbehaviour::Reset;
    if (partial) {
        body = body.left(route.sendBytes);
    }
    body = body.mid(from);
    if (route.cutEvery > 0 && body.size() > route.cutEvery) {
        body = body.left(route.cutEvery);
        route.misbehaviour = Misbehaviour::CutShort; // a reset could lose what is on its way
    }
    if (!writeAll(socket, response)) {
        return;
    }
    // Paced bodies go out in pieces a tenth of a second's worth each, or a byte at a time.
    const qsizetype piece =
        route.bytesPerSecond > 0 ? qMax(1, route.bytesPerSecond / 10) : body.size();
    const int pause = route.bytesPerSecond > 0 ? int(1000 * piece / route.bytesPerSecond) : 0;
    for (qsizetype at = 0; at < body.size() && !m_stopping; at += piece) {
        if (!writeAll(socket, body.mid(at, piece))) {
            return;
        }
        if (pause > 0) {
            QThread::msleep(pause); // the server's pace, not the test's synchronisation
        }
    }
    if (route.misbehaviour == Misbehaviour::Reset) {
        // Without lingering, closing sends a reset instead of the orderly end.
        const linger abrupt{1, 0};
        ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
        socket.abort();
        return;
    }
    if (route.misbehaviour == Misbehaviour::Stall) {
        holdOpen();
        return;
    }
    socket.disconnectFromHost();
    if (socket.state() != QAbstractSocket::UnconnectedState) {
        socket.waitForDisconnected(5000);
    }
}

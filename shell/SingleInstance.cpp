#include "shell/SingleInstance.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>

#include "platform/TextCodec.h"

namespace vantrel {

namespace {

constexpr int kConnectTimeoutMs = 1000;
const QByteArray kShowRequest = QByteArrayLiteral("show\n");
// Followed by the path in base64, which no file name can break.
const QByteArray kRestoreRequest = QByteArrayLiteral("restore ");

}  // namespace

SingleInstance::SingleInstance(const std::filesystem::path& workDir, QObject* parent)
    : QObject(parent), m_name(serverName(workDir)) {}

QString SingleInstance::serverName(const std::filesystem::path& workDir) {
    std::error_code ec;
    auto dir = std::filesystem::weakly_canonical(std::filesystem::absolute(workDir, ec), ec);
    if (ec) {
        dir = workDir.lexically_normal();
    }
    std::string key = pathCaseKey(pathToUtf8(dir));
    while (key.size() > 1 && (key.back() == '/' || key.back() == '\\')) {
        key.pop_back();
    }
    const QByteArray hash =
        QCryptographicHash::hash(QByteArray::fromStdString(key), QCryptographicHash::Sha256)
            .toHex()
            .left(32);
    return QStringLiteral("vantrel-") + QString::fromLatin1(hash);
}

bool SingleInstance::claim(const QString& restorePath) {
    {
        QLocalSocket socket;
        socket.connectToServer(m_name);
        if (socket.waitForConnected(kConnectTimeoutMs)) {
            socket.write(restorePath.isEmpty()
                             ? kShowRequest
                             : kRestoreRequest + restorePath.toUtf8().toBase64() + '\n');
            socket.waitForBytesWritten(kConnectTimeoutMs);
            socket.disconnectFromServer();
            return false;
        }
    }
    m_server = new QLocalServer(this);
    // Only this user's processes may reach the window.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name)) {
        // No one answered, so the name is left over from a window that died.
        QLocalServer::removeServer(m_name);
        m_server->listen(m_name);
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = m_server->nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                while (peer->canReadLine()) {
                    const QByteArray line = peer->readLine().chopped(1);
                    if (line == kShowRequest.chopped(1)) {
                        emit activationRequested();
                    } else if (line.startsWith(kRestoreRequest)) {
                        emit restoreRequested(QString::fromUtf8(
                            QByteArray::fromBase64(line.mid(kRestoreRequest.size()))));
                    }
                }
            });
        }
    });
    return true;
}

}  // namespace vantrel

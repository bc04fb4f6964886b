#include "shell/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>

#include "engine/places/JobPlaces.h"
#include "platform/FileOps.h"

namespace vantrel {

namespace {

constexpr int kConnectTimeoutMs = 1000;
const QByteArray kShowRequest = QByteArrayLiteral("show\n");
// Followed by the path in base64, which no file name can break.
const QByteArray kRestoreRequest = QByteArrayLiteral("restore ");

}  // namespace

SingleInstance::SingleInstance(const std::filesystem::path& workDir, QObject* parent)
    : QObject(parent), m_name(serverName(workDir)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::serverName(const std::filesystem::path& workDir) {
    RealFileOps files;
    return QStringLiteral("vantrel-") + QString::fromStdString(jobKey(files, workDir));
}

bool SingleInstance::claim(const QString& restorePath) {
    // Whoever holds the lock is the first, even when several start at once (a file manager
    // starts one process per file chosen); the others wait for it to listen. A lock left by a
    // process that died is taken over.
    // In the user's own runtime folder: another user's lock never stands in the way.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    m_lock = std::make_unique<QLockFile>(QDir(folder).filePath(m_name + ".lock"));
    m_lock->setStaleLockTime(0);
    const bool first = m_lock->tryLock(0);
    for (int attempt = 0; !first && attempt < 50; ++attempt) {
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
        QThread::msleep(100);
    }
    if (!first) {
        return false;  // the first is there but does not answer: no second window
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

#include "shell/SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>

#include "engine/JobPlaces.h"
#include "platform/FileOps.h"

namespace vantrel {

namespace {

constexpr int kConnectTimeoutMs = 1000;
const QByteArray kShowRequest = QByteArrayLiteral("show\n");

}  // namespace

SingleInstance::SingleInstance(const std::filesystem::path& workDir, QObject* parent)
    : QObject(parent), m_name(serverName(workDir)) {}

QString SingleInstance::serverName(const std::filesystem::path& workDir) {
    RealFileOps files;
    return QStringLiteral("vantrel-") + QString::fromStdString(jobKey(files, workDir));
}

bool SingleInstance::claim() {
    {
        QLocalSocket socket;
        socket.connectToServer(m_name);
        if (socket.waitForConnected(kConnectTimeoutMs)) {
            socket.write(kShowRequest);
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
                if (peer->readAll().contains("show")) {
                    emit activationRequested();
                }
            });
        }
    });
    return true;
}

}  // namespace vantrel

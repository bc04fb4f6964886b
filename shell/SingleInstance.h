#pragma once

#include <filesystem>
#include <memory>

#include <QObject>
#include <QString>

class QLocalServer;
class QLockFile;

namespace vantrel {

// One window per working directory. The first window listens on a local socket named after
// the directory; a later start in the same directory asks it to come to the front and ends.
class SingleInstance final : public QObject {
    Q_OBJECT

public:
    explicit SingleInstance(const std::filesystem::path& workDir, QObject* parent = nullptr);
    ~SingleInstance() override;

    // The socket's name for a working directory: the job's key, as every other name of the
    // job carries it.
    static QString serverName(const std::filesystem::path& workDir);

    // True when this process is the first in the directory and now listens; false when another
    // window there was reached and asked to show itself (and, with `restorePath`, to open its
    // restore window there).
    bool claim(const QString& restorePath = {});

signals:
    // A later start in the same directory asked this window to come to the front.
    void activationRequested();
    // A later start with --restore asked this window to open its restore window at `path`.
    void restoreRequested(const QString& path);

private:
    QString m_name;
    std::unique_ptr<QLockFile> m_lock;  // held by the first process of the directory
    QLocalServer* m_server = nullptr;
};

}  // namespace vantrel

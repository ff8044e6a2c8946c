#include "workbench/launch_link.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QtEndian>

namespace ov::workbench {

QByteArray encodeNotice(const Notice& notice) {
  QByteArray out(8, '\0');
  qToLittleEndian<quint32>(notice.id, out.data());
  qToLittleEndian<quint32>(static_cast<quint32>(notice.data.size()), out.data() + 4);
  return out + notice.data;
}

std::optional<Notice> takeNotice(QByteArray& buffer, bool& bad) {
  bad = false;
  if (buffer.size() < 8) return std::nullopt;
  quint32 id = qFromLittleEndian<quint32>(buffer.constData());
  quint32 length = qFromLittleEndian<quint32>(buffer.constData() + 4);
  if (length > kMaxNoticeBytes) {
    bad = true;
    return std::nullopt;
  }
  if (static_cast<quint64>(buffer.size()) < 8u + length) return std::nullopt;
  Notice n{id, buffer.mid(8, static_cast<qsizetype>(length))};
  buffer.remove(0, 8 + static_cast<qsizetype>(length));
  return n;
}

NoticeListener::NoticeListener(const QString& prefix, std::function<void(const Notice&)> onNotice, QObject* parent)
    : QObject(parent), onNotice_(std::move(onNotice)) {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  QString name = QStringLiteral("%1-%2").arg(prefix).arg(QCoreApplication::applicationPid());
  QLocalServer::removeServer(name);
  server_.listen(name);
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
      auto buffer = std::make_shared<QByteArray>();
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
        *buffer += socket->readAll();
        bool bad = false;
        while (auto notice = takeNotice(*buffer, bad)) onNotice_(*notice);
        if (bad) socket->abort();
      });
    }
  });
}

bool sendNotice(const QString& name, const Notice& notice, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(encodeNotice(notice));
  bool ok = socket.waitForBytesWritten(timeoutMs);
  socket.disconnectFromServer();
  return ok;
}

}  // namespace ov::workbench

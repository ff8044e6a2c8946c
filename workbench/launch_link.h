// The link between a recovery program and the carver it starts: each listens on a local socket
// of its own; the launcher passes its socket's name as the carver's whole command line, and the
// two send each other small framed notices (a 32-bit identifier, a 32-bit length, the bytes).
#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QProcess>
#include <QString>

#include <functional>
#include <optional>

namespace ov::workbench {

// Notices: the carver's own socket name when its disk page opens, the carver leaving (the
// launcher shows its window again), and the launcher asking the carver to close.
inline constexpr std::uint32_t kNoticeCarverName = 10;
inline constexpr std::uint32_t kNoticeCarverLeft = 20;
inline constexpr std::uint32_t kNoticeCloseRequest = 0x10;
inline constexpr std::uint32_t kMaxNoticeBytes = 4096;

struct Notice {
  std::uint32_t id = 0;
  QByteArray data;
};
QByteArray encodeNotice(const Notice& notice);
// Takes one whole notice off the front of `buffer`; nullopt while it is incomplete. A notice
// claiming more than kMaxNoticeBytes sets `bad`.
std::optional<Notice> takeNotice(QByteArray& buffer, bool& bad);

// Listens on a socket of its own and hands every notice that arrives to `onNotice`.
class NoticeListener final : public QObject {
  Q_OBJECT
 public:
  NoticeListener(const QString& prefix, std::function<void(const Notice&)> onNotice, QObject* parent = nullptr);
  QString name() const { return server_.fullServerName(); }
  bool listening() const { return server_.isListening(); }

 private:
  QLocalServer server_;
  std::function<void(const Notice&)> onNotice_;
};

// Sends one notice to the socket `name`; false when nobody listens there.
bool sendNotice(const QString& name, const Notice& notice, int timeoutMs = 2000);

}  // namespace ov::workbench

// DesktopNotifier: notification bubbles on the desktop through the freedesktop notification
// service (org.freedesktop.Notifications on the session bus). Each bubble has a key: a later
// notice with the same key replaces that bubble instead of adding one. The calls never wait
// for the bus; without a session bus, or with no one serving the name, notices go nowhere,
// silently. The bus is connected at the first notice, on a connection of this object's own.
#pragma once

#include <QDBusPendingCallWatcher>
#include <QObject>
#include <QString>
#include <cstdint>
#include <map>
#include <optional>

namespace vireo {

class DesktopNotifier : public QObject {
 public:
  // The freedesktop urgency levels.
  enum class Urgency : uint8_t { kLow = 0, kNormal = 1, kCritical = 2 };

  explicit DesktopNotifier(QObject* parent = nullptr);
  ~DesktopNotifier() override;

  void Notify(const QString& key, const QString& summary, const QString& body, Urgency urgency);

 private:
  struct Notice {
    QString summary;
    QString body;
    Urgency urgency;
  };
  struct Bubble {
    uint32_t id = 0;       // the service's id once it has answered, 0 before
    bool waiting = false;  // a Notify is on its way; the next one waits for its id
    std::optional<Notice> next;
  };

  bool Connect();
  void Send(const QString& key, const Notice& notice);
  void Answered(const QString& key, QDBusPendingCallWatcher* watcher);

  const QString connectionName_;
  bool tried_ = false;
  bool connected_ = false;
  std::map<QString, Bubble> bubbles_;
};

}  // namespace vireo

#include "gui/desktop_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace vireo {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

}  // namespace

DesktopNotifier::DesktopNotifier(QObject* parent)
    : QObject(parent),
      connectionName_(
          QStringLiteral("vireometer-notify-%1").arg(reinterpret_cast<quintptr>(this), 0, 16)) {}

DesktopNotifier::~DesktopNotifier() {
  if (tried_) {
    QDBusConnection::disconnectFromBus(connectionName_);
  }
}

bool DesktopNotifier::Connect() {
  if (!tried_) {
    tried_ = true;
    // The address as the environment says it now; the bus library reads it only once for
    // the whole process.
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    connected_ = (address.isEmpty()
                      ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName_)
                      : QDBusConnection::connectToBus(address, connectionName_))
                     .isConnected();
  }
  return connected_;
}

void DesktopNotifier::Notify(const QString& key, const QString& summary, const QString& body,
                             Urgency urgency) {
  if (!Connect()) {
    return;
  }
  Bubble& bubble = bubbles_[key];
  const Notice notice{summary, body, urgency};
  if (bubble.waiting) {
    // Sent once the service has said which bubble to replace; only the latest counts.
    bubble.next = notice;
    return;
  }
  Send(key, notice);
}

void DesktopNotifier::Send(const QString& key, const Notice& notice) {
  Bubble& bubble = bubbles_[key];
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("urgency"), QVariant::fromValue(static_cast<uchar>(notice.urgency)));
  hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("vireometer"));
  call << QStringLiteral("VireoMeter") << bubble.id << QStringLiteral("vireometer")
       << notice.summary << notice.body << QStringList() << hints << -1;
  // No service activation: a desktop without a notification service stays without one.
  call.setAutoStartService(false);
  bubble.waiting = true;
  auto* watcher =
      new QDBusPendingCallWatcher(QDBusConnection(connectionName_).asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, key](QDBusPendingCallWatcher* w) { Answered(key, w); });
}

void DesktopNotifier::Answered(const QString& key, QDBusPendingCallWatcher* watcher) {
  watcher->deleteLater();
  Bubble& bubble = bubbles_[key];
  bubble.waiting = false;
  const QDBusPendingReply<uint> reply = *watcher;
  if (reply.isValid()) {
    bubble.id = reply.value();
  }
  if (bubble.next) {
    const Notice next = *bubble.next;
    bubble.next.reset();
    Send(key, next);
  }
}

}  // namespace vireo

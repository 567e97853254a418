#pragma once
// Tells the disk list when to look again: a libudev monitor on the "block" subsystem, read
// through a QSocketNotifier on the UI thread. A card being inserted produces a burst of events
// (the disk, then each partition, then the desktop mounting them), and the partition table or
// file system may not be readable until the burst is over; so each kind of event (re)starts a
// single-shot timer, and the list is refilled once, when the events have been quiet for the
// settle time.

#include <QObject>
#include <QTimer>

struct udev;
struct udev_monitor;
class QSocketNotifier;

namespace norvale {

class DeviceMonitor : public QObject {
    Q_OBJECT
  public:
    static constexpr int kSettleMs = 5000;

    explicit DeviceMonitor(QObject* parent = nullptr);
    ~DeviceMonitor() override;
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    // Starts listening. False when udev is unavailable (the list then only refreshes by hand);
    // true when already listening.
    bool Start();
    bool IsListening() const { return monitor_ != nullptr; }

    // How long events must be quiet before a refresh is announced (tests shorten it).
    void SetSettleInterval(int ms);
    int SettleInterval() const { return arrivalTimer_.interval(); }

    // As if udev reported an arrival or a removal (tests, and anyone who knows better).
    void SimulateArrival();
    void SimulateRemoval();

  signals:
    void refreshAfterArrival();  // the settle time after the last arrival
    void refreshAfterRemoval();  // the settle time after the last removal

  private:
    void OnUdevReadable();

    QTimer arrivalTimer_;
    QTimer removalTimer_;
    struct udev* udev_ = nullptr;
    struct udev_monitor* monitor_ = nullptr;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace norvale

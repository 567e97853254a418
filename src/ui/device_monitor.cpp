#include "ui/device_monitor.h"

#include <libudev.h>

#include <QSocketNotifier>
#include <cstring>

namespace norvale {

DeviceMonitor::DeviceMonitor(QObject* parent) : QObject(parent) {
    for (QTimer* timer : {&arrivalTimer_, &removalTimer_}) {
        timer->setSingleShot(true);
        timer->setInterval(kSettleMs);
    }
    connect(&arrivalTimer_, &QTimer::timeout, this, &DeviceMonitor::refreshAfterArrival);
    connect(&removalTimer_, &QTimer::timeout, this, &DeviceMonitor::refreshAfterRemoval);
}

DeviceMonitor::~DeviceMonitor() {
    delete notifier_;  // before the descriptor it watches goes
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
}

bool DeviceMonitor::Start() {
    if (monitor_) return true;
    udev_ = udev_new();
    if (!udev_) return false;
    // The "udev" source sends events only after udev's rules ran, so the device node exists
    // with its final permissions and the partitions are known when the list looks again.
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    const bool ready =
        monitor_ &&
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) >= 0 &&
        udev_monitor_enable_receiving(monitor_) >= 0;
    const int fd = ready ? udev_monitor_get_fd(monitor_) : -1;
    if (fd < 0) {
        if (monitor_) udev_monitor_unref(monitor_);
        udev_unref(udev_);
        monitor_ = nullptr;
        udev_ = nullptr;
        return false;
    }
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read);
    connect(notifier_, &QSocketNotifier::activated, this, &DeviceMonitor::OnUdevReadable);
    return true;
}

void DeviceMonitor::SetSettleInterval(int ms) {
    arrivalTimer_.setInterval(ms);
    removalTimer_.setInterval(ms);
}

void DeviceMonitor::SimulateArrival() {
    arrivalTimer_.start();  // restarts a running timer: one refresh per burst
}

void DeviceMonitor::SimulateRemoval() {
    removalTimer_.start();
}

void DeviceMonitor::OnUdevReadable() {
    // Drain everything queued: the notifier fires once per wake-up, not once per event.
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(device);
        if (action && std::strcmp(action, "add") == 0) {
            SimulateArrival();
        } else if (action && std::strcmp(action, "remove") == 0) {
            SimulateRemoval();
        } else if (action && std::strcmp(action, "change") == 0) {
            // A card put into a reader that stays plugged in changes the disk (its size goes
            // from 0 to the card's) rather than adding one; taking it out changes it back.
            // Both refills are cheap and each only touches what differs.
            SimulateArrival();
            SimulateRemoval();
        }
        udev_device_unref(device);
    }
}

}  // namespace norvale

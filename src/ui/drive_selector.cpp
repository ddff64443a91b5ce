#include "ui/drive_selector.h"

#include "ui/toolkit.h"

#include <QApplication>
#include <QIcon>
#include <QStyle>

namespace mirl {
namespace {

constexpr int DropDownHeight = 350;

QIcon IconOf(const Volume& volume) {
    const QIcon fallback = QApplication::style()->standardIcon(QStyle::SP_DriveHDIcon);
    return QIcon::fromTheme(volume.removable ? "drive-removable-media" : "drive-harddisk", fallback);
}

} // namespace

DriveSelector::DriveSelector(int32_t number, int32_t window, QWidget* parent)
    : QComboBox(parent), number_(number), window_(window), volumes_(ListVolumes()) {
    for (const Volume& volume : volumes_) {
        addItem(IconOf(volume), QString::fromStdString(volume.text));
    }
    setMaxVisibleItems(std::max(1, DropDownHeight / std::max(1, fontMetrics().height() + 4)));
    setCurrentIndex(-1);
    connect(this, &QComboBox::activated, this, [this](int index) { Confirm(index); });
}

uint64_t DriveSelector::CurrentDevice() const {
    const int index = currentIndex();
    if (currentPath_.empty() || index < 0 || static_cast<size_t>(index) >= volumes_.size()) {
        return 0;
    }
    return volumes_[static_cast<size_t>(index)].device;
}

void DriveSelector::SelectPath(const std::string& path) {
    const int index = path.empty() ? -1 : VolumeHolding(volumes_, path);
    setCurrentIndex(index);
    currentPath_ = index >= 0 ? volumes_[static_cast<size_t>(index)].path : std::string();
}

void DriveSelector::Confirm(int index) {
    currentPath_ = index >= 0 && static_cast<size_t>(index) < volumes_.size()
                       ? volumes_[static_cast<size_t>(index)].path
                       : std::string();
    QueueEvent(EV_GADGET, window_, number_, 0);
}

} // namespace mirl

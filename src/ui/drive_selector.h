#pragma once

#include "ui/volumes.h"

#include <QComboBox>

#include <cstdint>
#include <string>
#include <vector>

namespace mirl {

// The drop-down list of volumes. It holds the path of the confirmed entry ("" when none), and
// every confirmed choice, of the same entry too, raises one EV_GADGET of kind 0.
class DriveSelector : public QComboBox {
public:
    DriveSelector(int32_t number, int32_t window, QWidget* parent);

    const std::string& CurrentPath() const { return currentPath_; }
    // The device of the selected volume as listed; 0 when nothing is selected.
    uint64_t CurrentDevice() const;
    // Selects the volume that holds `path` and takes its path; a path on no listed volume
    // selects nothing and leaves the current path empty.
    void SelectPath(const std::string& path);

private:
    void Confirm(int index);

    int32_t number_;
    int32_t window_;
    std::vector<Volume> volumes_;
    std::string currentPath_;
};

} // namespace mirl

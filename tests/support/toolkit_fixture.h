#pragma once

#include "support/modal_box.h"
#include "ui/toolkit.h"

#include <gtest/gtest.h>

#include <QWidget>

#include <vector>

namespace mirl::test {

// Closes every toolkit window and empties the event queue after each test.
class ToolkitTest : public ::testing::Test {
public:
    void TearDown() override {
        for (int32_t number = 0; number < 16; ++number) {
            WindowClose(number);
        }
        DrainEvents();
    }

    static void DrainEvents() {
        while (EventPoll() != 0) {
        }
    }

    // Every event the toolkit has queued (after letting Qt deliver what is pending).
    struct Taken {
        int32_t code, window, object, kind;
        bool operator==(const Taken&) const = default;
    };
    static std::vector<Taken> TakeEvents() {
        std::vector<Taken> events;
        for (int32_t code = EventPoll(); code != 0; code = EventPoll()) {
            events.push_back({code, EventWindowNumber(), EventObjectNumber(), EventKind()});
        }
        return events;
    }

    template <typename T> static T* Native(intptr_t handle) { return reinterpret_cast<T*>(handle); }
};

} // namespace mirl::test
